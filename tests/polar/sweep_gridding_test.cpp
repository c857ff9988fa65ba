// A volume gridded sweep by sweep gives, bit for bit, the grid of the whole volume gridded at once: reflectivity
// with missing gates and no echo, another field, a radar off the grid's origin, and the real KLIX volume.
#include "polar/sweep_gridding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>

#include "polar/polar.h"

namespace {

using namespace velmora;
using namespace velmora::polar;

constexpr double kDeg = std::numbers::pi / 180.0;

// A scan of a storm at (30, 20) km with gates missing and gates of no echo, rays a little off the whole degrees
// and unevenly spaced, so that rays are sorted and rims are met.
PolarVolume scan(const std::string& field, const std::string& units) {
    PolarVolume v{.source = "scan", .field = field, .units = units, .site = Site{45.0, 7.0, 300.0}, .time = 1.3e9,
                  .sweeps = {}};
    for (const double e : {0.5, 1.5, 3.4, 6.0, 9.9, 14.6}) {
        Sweep s{.fixed_angle = e, .azimuth = {}, .elevation = {}, .range_first = 250.0, .gate_spacing = 500.0,
                .gates = 200, .values = {}, .time = {}};
        for (int ray = 0; ray < 360; ++ray) {
            const double az = std::fmod(359.7 + ray * 1.0 + 0.13 * std::sin(ray), 360.0);
            s.azimuth.push_back(static_cast<float>(az));
            s.elevation.push_back(static_cast<float>(e + 0.05 * std::cos(ray)));
            for (int g = 0; g < s.gates; ++g) {
                const double r = (250.0 + 500.0 * g) / 1000.0;
                const double x = ground_distance(r, e) * std::sin(az * kDeg), y = ground_distance(r, e) * std::cos(az * kDeg);
                const double d2 = (x - 30) * (x - 30) + (y - 20) * (y - 20);
                float value = static_cast<float>(5.0 + 45.0 * std::exp(-d2 / 450.0) - 2.0 * beam_height(r, e));
                if ((ray * 7 + g) % 23 == 0) value = kMissing;
                else if (value < 8.0f) value = kNoEcho;
                s.values.push_back(value);
            }
        }
        v.sweeps.push_back(std::move(s));
    }
    return v;
}

Volume by_sweeps(const PolarVolume& v, const GridOptions& o) {
    SweepGridder gridder(v, o);
    for (const Sweep& s : v.sweeps) gridder.add(s);
    EXPECT_EQ(gridder.sweeps(), v.sweeps.size());
    return gridder.grid(v.time);
}

void expect_same_grid(const Volume& a, const Volume& b) {
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.z, b.z);
    EXPECT_EQ(a.units, b.units);
    EXPECT_EQ(a.time, b.time);
    ASSERT_TRUE(a.origin && b.origin);
    EXPECT_EQ(a.origin->lat, b.origin->lat);
    EXPECT_EQ(a.origin->lon, b.origin->lon);
    ASSERT_EQ(a.values.size(), b.values.size());
    EXPECT_EQ(std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(float)), 0);
}

TEST(SweepGridding, SweepBySweepIsTheWholeVolumesGridBitForBit) {
    GridOptions o{.xmin = -60, .xmax = 60, .ymin = -50, .ymax = 70, .zmin = 0.5, .zmax = 12, .origin = {}};
    const PolarVolume reflectivity = scan("DBZH", "dBZ");
    const Volume whole = grid_volumes(std::span(&reflectivity, 1), o);
    const Volume swept = by_sweeps(reflectivity, o);
    expect_same_grid(swept, whole);
    std::size_t echo = 0;
    for (const float v : whole.values) echo += v > 20.0f;
    EXPECT_GT(echo, 1000u) << "a grid of mostly nothing would prove little";
    // Part of the sweeps: the grid of those sweeps alone.
    PolarVolume first = reflectivity;
    first.sweeps.resize(3);
    SweepGridder part(reflectivity, o);
    for (std::size_t s = 0; s < 3; ++s) part.add(reflectivity.sweeps[s]);
    expect_same_grid(part.grid(first.time), grid_volumes(std::span(&first, 1), o));
    // A field averaged as it is, and the radar off the grid's origin.
    const PolarVolume velocity = scan("VRADH", "m/s");
    expect_same_grid(by_sweeps(velocity, o), grid_volumes(std::span(&velocity, 1), o));
    o.origin = GeoOrigin{45.2, 7.3};
    expect_same_grid(by_sweeps(reflectivity, o), grid_volumes(std::span(&reflectivity, 1), o));
}

TEST(SweepGridding, TheRealKlixVolumeSweepBySweep) {
    const std::string path = VELMORA_SOURCE_DIR "/../shared/data/nexrad2_klix_200508281801.gz";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "the KLIX volume (nexrad2_klix_200508281801.gz) is absent";
    const PolarVolume v = read_polar(path);
    const GridOptions o{.xmin = -100, .xmax = 100, .ymin = -100, .ymax = 100, .zmin = 0.5, .zmax = 15, .origin = {}};
    expect_same_grid(by_sweeps(v, o), grid_volumes(std::span(&v, 1), o));
}

TEST(SweepGridding, RefusesWhatGridVolumesRefuses) {
    PolarVolume v = scan("DBZH", "dBZ");
    v.site.reset();
    EXPECT_THROW(SweepGridder(v, GridOptions{}), std::runtime_error);
    v = scan("DBZH", "dBZ");
    GridOptions o;
    o.dx = 0;
    EXPECT_THROW(SweepGridder(v, o), std::runtime_error);
}

}  // namespace
