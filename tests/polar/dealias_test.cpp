// Dealiasing: a simulated radar's folded velocity of a known wind unfolded back to the truth.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "app_test.h"
#include "polar/dealias.h"
#include "polar/velocity.h"
#include "wind_scene.h"

namespace {

using namespace velmora::polar;
using windtest::folded;
using windtest::Scene;
using windtest::sweep_of;
using windtest::Vortex;

// Every gate of got equals truth's within 1 mm/s, or is the same kind of no value.
void expect_truth(const Sweep& got, const Sweep& truth) {
    ASSERT_EQ(got.values.size(), truth.values.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < got.values.size(); ++i) {
        const float a = got.values[i], b = truth.values[i];
        const bool same = std::isfinite(b) ? std::abs(a - b) <= 1e-3f : (std::isnan(b) ? std::isnan(a) : a == b);
        if (!same && ++wrong <= 5) ADD_FAILURE() << "gate " << i << ": " << a << " instead of " << b;
    }
    EXPECT_EQ(wrong, 0u);
}

// The most Nyquist intervals (2 Vn) any gate of truth is folded by.
int most_folds(const Sweep& truth, double vn) {
    int most = 0;
    for (float v : truth.values)
        if (std::isfinite(v)) most = std::max(most, static_cast<int>(std::abs(std::lround((v - windtest::fold(v, vn)) / (2 * vn)))));
    return most;
}

// A vortex of 25 m/s at 3 km from its centre, in a wind of 21.6 m/s, seen at 16 m/s Nyquist: folded once.
const Scene kVortexScene{18, 12, {Vortex{30, 25, 3, 25}}};

TEST(Dealias, VortexInAUniformWindIsUnfoldedToTheTruth) {
    const Sweep truth = sweep_of(kVortexScene, 0.5, 360, 240, 250);
    Sweep s = folded(truth, 16);
    ASSERT_EQ(most_folds(truth, 16), 1);
    const std::size_t moved = dealias_sweep(s, nullptr, nullptr, std::nullopt);
    expect_truth(s, truth);
    std::size_t differing = 0;
    const Sweep measured = folded(truth, 16);
    for (std::size_t i = 0; i < truth.values.size(); ++i) differing += std::abs(truth.values[i] - measured.values[i]) > 1;
    EXPECT_EQ(moved, differing);
    EXPECT_GT(moved, 1000u);
}

TEST(Dealias, FoldsOfOneTwoAndThreeNyquistIntervalsAreUndone) {
    // Winds of 15, 35 and 55 m/s seen at 10 m/s Nyquist, with a vortex of 12 m/s in each.
    for (const auto& [speed, folds] : {std::pair{15.0, 1}, {35.0, 2}, {55.0, 3}}) {
        SCOPED_TRACE(speed);
        const Scene scene{speed * 0.6, speed * 0.8, {Vortex{-20, 15, 4, 12}}};
        const Sweep truth = sweep_of(scene, 1.0, 360, 100, 500);
        ASSERT_EQ(most_folds(truth, 10), folds);
        Sweep s = folded(truth, 10);
        dealias_sweep(s, nullptr, nullptr, std::nullopt);
        expect_truth(s, truth);
    }
}

TEST(Dealias, SweepWithNoEchoIsLeftAsItIs) {
    Sweep s = folded(sweep_of(Scene{10, 0, {}}, 0.5, 36, 20, 500), 8);
    for (std::size_t i = 0; i < s.values.size(); ++i) s.values[i] = i % 3 ? kNoEcho : kMissing;
    const Sweep before = s;
    EXPECT_EQ(dealias_sweep(s, nullptr, nullptr, std::nullopt), 0u);
    expect_truth(s, before);
}

TEST(Dealias, SweepWithoutNyquistIsRefusedWithANoteAndKeptAsMeasured) {
    PolarVolume v;
    v.source = "radar.h5";
    v.field = "VRADH";
    const Sweep truth = sweep_of(kVortexScene, 0.5, 360, 240, 250), truth_up = sweep_of(kVortexScene, 1.5, 360, 240, 250);
    v.sweeps = {folded(truth, 16), folded(truth_up, 16)};
    v.sweeps[1].nyquist.reset();
    v.sweeps[1].name = "dataset2";
    const Sweep measured = v.sweeps[1];
    const DealiasReport report = dealias_volume(v);
    EXPECT_EQ(report.notes, std::vector<std::string>{"radar.h5: dataset2: no Nyquist velocity in the file: not dealiased"});
    expect_truth(v.sweeps[0], truth);
    expect_truth(v.sweeps[1], measured);
    EXPECT_EQ(vtest::error_of<std::invalid_argument>([&] { dealias_sweep(v.sweeps[1], nullptr, nullptr, std::nullopt); }),
              "dataset2: no Nyquist velocity");

    // Reflectivity is no velocity to unfold.
    PolarVolume z;
    z.source = "radar.h5";
    z.field = "DBZH";
    z.sweeps = {sweep_of(Scene{}, 0.5, 4, 4, 500)};
    EXPECT_EQ(vtest::error_of<std::invalid_argument>([&] { dealias_volume(z); }),
              "radar.h5: DBZH is not a radial velocity: nothing to dealias");
}

// A patch no other echo touches, in a wind of 30 m/s from the south seen at 12 m/s Nyquist: alone it keeps
// its mean within the Nyquist range; the sweep below, the previous volume or the storm motion tell its fold.
TEST(Dealias, LonePatchTakesItsFoldFromTheSweepBelowThePreviousVolumeOrTheWind) {
    const Scene scene{0, 30, {}};
    const Sweep truth = sweep_of(scene, 2.0, 360, 100, 500);
    Sweep patch = folded(truth, 12);
    for (std::size_t r = 0; r < patch.rays(); ++r)
        for (int g = 0; g < patch.gates; ++g)
            if (r > 10 || g < 50 || g > 60) patch.values[r * 100 + static_cast<std::size_t>(g)] = kNoEcho;
    Sweep patch_truth = truth;
    for (std::size_t i = 0; i < patch.values.size(); ++i)
        if (!std::isfinite(patch.values[i])) patch_truth.values[i] = kNoEcho;

    Sweep alone = patch;
    EXPECT_EQ(dealias_sweep(alone, nullptr, nullptr, std::nullopt), 0u);
    expect_truth(alone, patch);

    const Sweep below = sweep_of(scene, 1.0, 360, 100, 500);
    for (const auto& [low, previous, wind] : {std::tuple{&below, (const Sweep*)nullptr, std::optional<Wind>{}},
                                              {nullptr, &truth, std::nullopt},
                                              {nullptr, nullptr, Wind{0, 30}}}) {
        Sweep s = patch;
        EXPECT_EQ(dealias_sweep(s, low, previous, wind), 121u);
        expect_truth(s, patch_truth);
    }
}

TEST(Dealias, EachSweepOfAVolumeIsUnfoldedTheLowestFirst) {
    PolarVolume v;
    v.source = "radar.h5";
    v.field = "VEL";
    const Sweep truth_up = sweep_of(kVortexScene, 2.4, 360, 240, 250), truth = sweep_of(kVortexScene, 0.5, 360, 240, 250);
    v.sweeps = {folded(truth_up, 16), folded(truth, 16)};
    const DealiasReport report = dealias_volume(v);
    EXPECT_TRUE(report.notes.empty());
    expect_truth(v.sweeps[0], truth_up);
    expect_truth(v.sweeps[1], truth);
    EXPECT_GT(report.unfolded, 2000u);
    EXPECT_EQ(report.dual_prf_fixed, 0u);
}

// A dual-PRF sweep of 13 and 19.5 m/s (39 m/s extended): gates off by twice either are put back, a gate
// that differs from its neighbours by less is kept.
TEST(Dealias, DualPrfOutliersArePutBackAndRealShearKept) {
    const Sweep truth = sweep_of(Scene{12, -16, {}}, 0.5, 360, 120, 500);
    Sweep s = truth;
    s.nyquist = 39;
    s.nyquist_high = 19.5;
    s.nyquist_low = 13;
    auto at = [&s](std::size_t r, int g) -> float& { return s.values[r * 120 + static_cast<std::size_t>(g)]; };
    at(10, 50) = static_cast<float>(windtest::fold(at(10, 50) + 26, 39));
    at(11, 80) = static_cast<float>(windtest::fold(at(11, 80) - 39, 39));
    at(200, 30) = static_cast<float>(windtest::fold(at(200, 30) + 52, 39));
    Sweep single = s;
    Sweep kept = truth;
    kept.values[300 * 120 + 60] += 6;
    Sweep shear = kept;
    shear.nyquist = 39, shear.nyquist_high = 19.5, shear.nyquist_low = 13;

    EXPECT_EQ(correct_dual_prf(s), 3u);
    expect_truth(s, truth);
    EXPECT_EQ(correct_dual_prf(shear), 0u);
    expect_truth(shear, kept);
    single.nyquist_high = single.nyquist_low = 0;  // one PRF: nothing to put back
    const Sweep before = single;
    EXPECT_EQ(correct_dual_prf(single), 0u);
    expect_truth(single, before);
}

TEST(Dealias, RadialWindIsTheWindAlongTheBeam) {
    EXPECT_NEAR(radial_wind(Wind{10, 0}, 90, 0), 10, 1e-12);
    EXPECT_NEAR(radial_wind(Wind{10, 0}, 270, 0), -10, 1e-12);
    EXPECT_NEAR(radial_wind(Wind{0, 10}, 0, 60), 5, 1e-12);
    EXPECT_NEAR(radial_wind(Wind{3, 4}, 45, 0), 7 / std::sqrt(2.0), 1e-12);
}

}  // namespace

namespace {

// A cell moving with the uniform wind sees no wind: its storm-relative velocity is zero, folded or not.
TEST(StormRelative, CellMovingWithTheWindSeesStillAir) {
    PolarVolume v;
    v.source = "radar.h5";
    v.field = "VRADH";
    v.sweeps = {folded(sweep_of(Scene{12, -7, {}}, 0.5, 360, 100, 500), 8), sweep_of(Scene{12, -7, {}}, 4.5, 360, 100, 500)};
    v.sweeps[1].nyquist = 8;
    v.sweeps[1].values[7] = kNoEcho;
    dealias_volume(v);
    storm_relative(v, Wind{12, -7});
    for (const Sweep& s : v.sweeps)
        for (float x : s.values)
            if (std::isfinite(x)) EXPECT_NEAR(x, 0, 1e-3);
    EXPECT_EQ(v.sweeps[1].values[7], kNoEcho);
    PolarVolume z;
    z.source = "radar.h5";
    z.field = "DBZH";
    EXPECT_EQ(vtest::error_of<std::invalid_argument>([&] { storm_relative(z, Wind{}); }), "radar.h5: DBZH is not a radial velocity");
}

}  // namespace
