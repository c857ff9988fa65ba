// Storm-relative velocity: the radial velocity less the motion of the storm
// where each gate or grid node lies, a cell's own motion over its area.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "polar/dealias.h"
#include "polar/gridding.h"
#include "polar/velocity.h"
#include "app_test.h"
#include "temp_files.h"
#include "wind_scene.h"

namespace {

using namespace velmora::polar;
using velmora::Volume;
using windtest::Scene;
using windtest::sweep_of;

TEST(StormMotion, ACellsOwnMotionOverItsAreaGivingWayToTheBackgroundOverOneMoreRadius) {
    const StormMotion m(Wind{0, 10}, {{20, 0, 5, Wind{12, -7}}, {0, 30, 0.5, Wind{-4, 4}}});
    // Within the radius: the cell's own motion; halfway to twice it: half of each; beyond: the background.
    for (const auto& [x, y] : {std::pair{20.0, 0.0}, {24.9, 0.0}, {20.0, -4.9}}) {
        EXPECT_NEAR(m.at(x, y).u, 12, 1e-9);
        EXPECT_NEAR(m.at(x, y).v, -7, 1e-9);
    }
    EXPECT_NEAR(m.at(27.5, 0).u, 6, 1e-9);
    EXPECT_NEAR(m.at(27.5, 0).v, 1.5, 1e-9);
    EXPECT_NEAR(m.at(30.1, 0).u, 0, 1e-9);
    EXPECT_NEAR(m.at(-20, 0).v, 10, 1e-9);
    // A small cell still reaches kMinCellRadius about its centre.
    EXPECT_NEAR(m.at(0, 30 + 0.9 * kMinCellRadius).u, -4, 1e-9);
    EXPECT_EQ(m.cells()[1].radius, kMinCellRadius);
    // Where two cells reach, the nearer in units of its radius.
    const StormMotion two(Wind{}, {{0, 0, 10, Wind{1, 0}}, {12, 0, 4, Wind{2, 0}}});
    EXPECT_EQ(two.at(9, 0).u, 2.0) << "3 km is 0.75 of the small cell's radius, 9 km 0.9 of the large one's";
    EXPECT_EQ(two.at(5, 0).u, 1.0);
    EXPECT_EQ(StormMotion(Wind{3, 4}).at(100, -100).u, 3.0);
}

// A radar on a uniform wind of 12, -7 m/s, sweeps from 0.5 to 19.5 degrees out to 60 km.
PolarVolume uniform_wind() {
    PolarVolume v;
    v.source = "radar.h5";
    v.field = "VRADH";
    v.units = "m/s";
    v.site = Site{45.0, 10.0, 100.0};
    for (double e : {0.5, 1.5, 2.5, 3.5, 4.5, 6.0, 8.0, 10.0, 12.5, 15.6, 19.5}) {
        v.sweeps.push_back(sweep_of(Scene{12, -7, {}}, e, 360, 240, 250.0));
        v.sweeps.back().nyquist = 30;
    }
    return v;
}

TEST(StormRelative, EachGateLessTheMotionOfTheCellItLiesIn) {
    // A cell at 20 km east moving with the wind: still air about it; elsewhere
    // the wind less the background, 10 m/s toward the north.
    PolarVolume v = uniform_wind();
    const PolarVolume before = v;
    storm_relative(v, StormMotion(Wind{0, 10}, {{20, 0, 5, Wind{12, -7}}}));
    std::size_t inside = 0, outside = 0;
    for (std::size_t k = 0; k < v.sweeps.size(); ++k) {
        const Sweep& s = v.sweeps[k];
        for (std::size_t r = 0; r < s.rays(); ++r)
            for (int g = 0; g < s.gates; ++g) {
                const double d = ground_distance((s.range_first + g * s.gate_spacing) / 1000, s.elevation[r]);
                const double a = s.azimuth[r] * std::numbers::pi / 180;
                const double from_cell = std::hypot(d * std::sin(a) - 20, d * std::cos(a));
                if (from_cell < 4.9) {
                    EXPECT_NEAR(s.at(r, g), 0, 1e-3);
                    ++inside;
                } else if (from_cell > 10.1) {
                    EXPECT_NEAR(s.at(r, g), before.sweeps[k].at(r, g) - radial_wind(Wind{0, 10}, s.azimuth[r], s.elevation[r]), 1e-3);
                    ++outside;
                }
            }
    }
    EXPECT_GT(inside, 5'000u);
    EXPECT_GT(outside, 100'000u);
}

TEST(StormRelative, AGridOfACellMovingWithTheWindIsStillWithinTheGridsNoise) {
    PolarVolume v = uniform_wind();
    GridOptions o;
    o.xmin = -40, o.xmax = 40, o.ymin = -40, o.ymax = 40, o.zmin = 0.5, o.zmax = 8;
    Volume grid = grid_volumes(std::span(&v, 1), o);
    ASSERT_TRUE(grid.has_null);
    // The whole volume one storm moving with the wind.
    storm_relative(grid, StormMotion(Wind{0, 0}, {{0, 0, 100, Wind{12, -7}}}));
    std::vector<float> off;
    for (float x : grid.values)
        if (std::isfinite(x) && x != grid.null_value) off.push_back(std::abs(x));
    ASSERT_GT(off.size(), 50'000u);
    std::sort(off.begin(), off.end());
    const float median = off[off.size() / 2], p99 = off[off.size() * 99 / 100];
    std::printf("storm-relative grid of a cell moving with the wind: median |v| %.3f m/s, 99th percentile %.3f m/s, of %zu nodes\n",
                median, p99, off.size());
    EXPECT_LT(median, 0.05f);
    EXPECT_LT(p99, 0.5f);
    // Less a wrong motion, the grid shows it.
    Volume wrong = grid_volumes(std::span(&v, 1), o);
    storm_relative(wrong, StormMotion(Wind{0, 0}));
    std::size_t moving = 0;
    for (float x : wrong.values) moving += x != wrong.null_value && std::abs(x) > 2;
    EXPECT_GT(moving, off.size() / 2);
}

TEST(StormRelative, AVelocityGridKeepsWhereItsRadarStands) {
    Volume g;
    g.x = {-10, 0, 10}, g.y = {-10, 0, 10}, g.z = {0.5, 1};
    g.values.assign(18, 4.0f);
    g.values[3] = -9999.0f;
    g.has_null = true;
    g.name = "DT";
    vtest::TempDir dir;
    write_velocity_grid(dir.file("velocity.nc"), VelocityGrid{g, 3.5, -2.0});
    const VelocityGrid back = read_velocity_grid(dir.file("velocity.nc"));
    EXPECT_EQ(back.grid.name, kVelocityVariable);
    EXPECT_EQ(back.grid.units, "m/s");
    EXPECT_EQ(back.radar_x, 3.5);
    EXPECT_EQ(back.radar_y, -2.0);
    EXPECT_EQ(back.grid.values[0], 4.0f);
    EXPECT_EQ(back.grid.values[3], back.grid.null_value);
    // A grid that does not say where its radar stands is refused.
    velmora::write_netcdf(dir.file("plain.nc"), [&] {
        Volume p = g;
        p.name = kVelocityVariable;
        return p;
    }());
    EXPECT_EQ(vtest::error_of<std::runtime_error>([&] { read_velocity_grid(dir.file("plain.nc")); }),
              dir.file("plain.nc") + ": does not say where its radar stands (radar_x_km, radar_y_km)");
}

}  // namespace
