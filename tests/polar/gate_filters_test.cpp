// The despeckle of a crafted sweep: a lone gate goes, gates with a neighbour
// in range, in azimuth, diagonally or across the first and last rays of a
// full circle stay; a sector does not wrap; missing gates are not echo.
#include "polar/gate_filters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

namespace {

using velmora::polar::kMissing;
using velmora::polar::kNoEcho;
using velmora::polar::Sweep;

// rays x gates of no echo, rays step degrees apart from 0.
Sweep quiet_sweep(std::size_t rays, int gates, float step) {
    Sweep s;
    s.gates = gates;
    for (std::size_t r = 0; r < rays; ++r) {
        s.azimuth.push_back(static_cast<float>(r) * step);
        s.elevation.push_back(0.5f);
    }
    s.values.assign(rays * static_cast<std::size_t>(gates), kNoEcho);
    return s;
}

float& gate(Sweep& s, std::size_t ray, int g) { return s.values[ray * static_cast<std::size_t>(s.gates) + g]; }

TEST(Despeckle, LoneGatesGoAndNeighboursStay) {
    Sweep s = quiet_sweep(360, 10, 1.0f);
    gate(s, 10, 5) = 45.0f;                           // alone
    gate(s, 20, 3) = 30.0f, gate(s, 20, 4) = 31.0f;   // along the ray
    gate(s, 30, 3) = 30.0f, gate(s, 31, 3) = 31.0f;   // across rays
    gate(s, 40, 3) = 30.0f, gate(s, 41, 4) = 31.0f;   // diagonal
    gate(s, 0, 7) = 20.0f, gate(s, 359, 7) = 21.0f;   // across north, where the circle closes
    gate(s, 50, 0) = 50.0f, gate(s, 50, 1) = kMissing;   // beside a missing gate only
    gate(s, 60, 9) = 12.0f;                           // alone at the last gate
    EXPECT_EQ(velmora::polar::despeckle(s), 3u);
    EXPECT_EQ(gate(s, 10, 5), kNoEcho);
    EXPECT_EQ(gate(s, 50, 0), kNoEcho);
    EXPECT_TRUE(std::isnan(gate(s, 50, 1)));   // missing stays missing
    EXPECT_EQ(gate(s, 60, 9), kNoEcho);
    for (auto [r, g, v] : std::vector<std::tuple<int, int, float>>{
             {20, 3, 30}, {20, 4, 31}, {30, 3, 30}, {31, 3, 31}, {40, 3, 30}, {41, 4, 31}, {0, 7, 20}, {359, 7, 21}})
        EXPECT_EQ(gate(s, r, g), v) << r << " " << g;
}

TEST(Despeckle, ASectorDoesNotWrapAndTwoSpecksApartBothGo) {
    Sweep s = quiet_sweep(90, 4, 1.0f);   // a 90-degree sector
    gate(s, 0, 2) = 20.0f, gate(s, 89, 2) = 21.0f;
    gate(s, 45, 0) = 40.0f, gate(s, 45, 2) = 40.0f;   // one gate between them
    EXPECT_EQ(velmora::polar::despeckle(s), 4u);
    for (float v : s.values) EXPECT_EQ(v, kNoEcho);
}

TEST(Despeckle, VolumeFilterIsOffWhenAsked) {
    velmora::polar::PolarVolume v;
    v.sweeps.push_back(quiet_sweep(360, 4, 1.0f));
    gate(v.sweeps[0], 3, 1) = 33.0f;
    EXPECT_EQ(velmora::polar::filter_gates(v, {.despeckle = false}), 0u);
    EXPECT_EQ(gate(v.sweeps[0], 3, 1), 33.0f);
    EXPECT_EQ(velmora::polar::filter_gates(v, {}), 1u);
    EXPECT_EQ(gate(v.sweeps[0], 3, 1), kNoEcho);
}

}  // namespace
