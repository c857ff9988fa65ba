// Azimuthal shear and radial divergence by the linear least-squares derivative, on a simulated vortex.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "polar/dealias.h"
#include "polar/shear.h"
#include "wind_scene.h"

namespace {

using namespace velmora::polar;
using windtest::folded;
using windtest::Scene;
using windtest::sweep_of;
using windtest::Vortex;

// A vortex of 30 m/s at 4 km from its centre, 40 km north of the radar, in a wind of 18 m/s: folded at
// 16 m/s, dealiased, then differentiated. Inside the core the shear is 30 / 4000 = 7.5e-3 s-1.
TEST(Shear, RankineVortexHasPeakWindOverCoreRadiusInsideItsCore) {
    const Scene scene{10, 15, {Vortex{0, 40, 4, 30}}};
    const Sweep truth = sweep_of(scene, 0.5, 360, 320, 250);
    Sweep s = folded(truth, 16);
    dealias_sweep(s, nullptr, nullptr, std::nullopt);
    const Derivatives d = llsd(s);
    // Gates within 2 km of the centre: rays 357 to 2 (azimuth within 3 degrees), 38 to 42 km.
    int checked = 0;
    for (std::size_t r : {357u, 358u, 359u, 0u, 1u, 2u})
        for (int g = 38000 / 250 - 1; g <= 42000 / 250 - 1; g += 4) {
            const float shear = d.azimuthal_shear.at(r, g), div = d.divergence.at(r, g);
            EXPECT_NEAR(shear, 7.5e-3, 7.5e-4) << "ray " << r << " gate " << g;
            EXPECT_NEAR(div, 0, 7.5e-4) << "ray " << r << " gate " << g;
            ++checked;
        }
    EXPECT_EQ(checked, 6 * 5);
    // Clockwise rotation is negative; far outside the vortex the wind alone: a few 1e-4.
    const Sweep anti = sweep_of(Scene{10, 15, {Vortex{0, 40, 4, -30}}}, 0.5, 360, 320, 250);
    EXPECT_NEAR(llsd(anti).azimuthal_shear.at(0, 159), -7.5e-3, 7.5e-4);
    EXPECT_LT(std::abs(d.azimuthal_shear.at(180, 159)), 1e-3);
}

// Too few gates with a velocity about a gate, or none at the gate: no derivative.
TEST(Shear, GatesWithoutEnoughNeighboursHaveNone) {
    Sweep s = sweep_of(Scene{10, 0, {}}, 0.5, 36, 20, 500);
    for (std::size_t i = 0; i < s.values.size(); ++i)
        if (i % 20 > 2) s.values[i] = kNoEcho;  // three gates per ray
    s.values[5 * 20 + 1] = kMissing;
    const Derivatives d = llsd(s);
    EXPECT_TRUE(std::isnan(d.azimuthal_shear.at(5, 1)));
    EXPECT_TRUE(std::isfinite(d.azimuthal_shear.at(5, 0)));
    EXPECT_TRUE(std::isnan(d.azimuthal_shear.at(5, 10)));
    Sweep empty = s;
    for (float& v : empty.values) v = kNoEcho;
    for (float v : llsd(empty).azimuthal_shear.values) EXPECT_TRUE(std::isnan(v));
}

// Weak echo and wide spectra leave the shear out; a gate the other field says nothing of keeps it.
TEST(Shear, WeakEchoAndWideSpectraAreMasked) {
    Sweep shear = sweep_of(Scene{10, 0, {}}, 0.5, 4, 4, 500);
    for (float& v : shear.values) v = 1e-3f;
    Sweep z = shear, w = shear;
    for (float& v : z.values) v = 35;
    for (float& v : w.values) v = 2;
    z.values[1] = 12;
    z.values[2] = kNoEcho;
    z.values[3] = kMissing;
    w.values[5] = 9;
    EXPECT_EQ(mask_derivatives(shear, &z, &w, ShearOptions{}), 3u);
    EXPECT_TRUE(std::isnan(shear.values[1]) && std::isnan(shear.values[2]) && std::isnan(shear.values[5]));
    EXPECT_EQ(shear.values[3], 1e-3f);
    EXPECT_EQ(shear.values[0], 1e-3f);
    EXPECT_EQ(mask_derivatives(shear, nullptr, nullptr, ShearOptions{}), 0u);
}

TEST(Shear, DerivedFieldOfAFileWithoutVelocityIsRefused) {
    const std::string knmi = VELMORA_SOURCE_DIR "/../shared/data/odim_nldhl_201106101140.h5";
    if (!std::filesystem::exists(knmi)) GTEST_SKIP() << "the real ODIM volume " << knmi << " is absent";
    try {
        read_derived(knmi, "azshear", std::nullopt, ShearOptions{}, {});
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), knmi + ": no radial velocity (VRADH, VRAD, VEL, velocity) to derive shear from");
    }
}

}  // namespace
