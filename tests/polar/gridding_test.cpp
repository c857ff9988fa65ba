// Gridding polar volumes: beam geometry against closed forms, and volumes sampled from known fields.
#include "polar/gridding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>

#include "polar_files.h"

namespace {

using namespace velmora;
using namespace velmora::polar;

constexpr double kDeg = std::numbers::pi / 180.0;

TEST(PolarGeometry, BeamHeightAndGroundDistance) {
    // From the earth's centre the radar is at (0, R), the gate at (r cos e, R + r sin e).
    const double R = 4.0 / 3.0 * 6371.0;
    for (double e : {-0.5, 0.0, 0.5, 1.5, 4.0, 10.0, 19.5, 45.0, 89.0})
        for (double r : {0.0, 1.0, 25.0, 100.0, 230.0, 460.0}) {
            const double gx = r * std::cos(e * kDeg), gy = R + r * std::sin(e * kDeg);
            EXPECT_NEAR(beam_height(r, e), std::hypot(gx, gy) - R, 1e-9) << r << " km at " << e << " deg";
            EXPECT_NEAR(ground_distance(r, e), R * std::atan2(gx, gy), 1e-9) << r << " km at " << e << " deg";
        }
    // The figure of radar texts (h ~ r sin e + r^2 / (2 R) for small e).
    EXPECT_NEAR(beam_height(100.0, 0.5), 1.461, 1e-3);
}

// A smooth storm of reflectivity (dBZ) at x, y, z km: a core at (30, 20)
// fading outwards and upwards, over 5 dBZ of background; no echo beyond 80 km.
float storm(double x, double y, double z) {
    if (std::hypot(x, y) > 80.0) return kNoEcho;
    const double d2 = (x - 30) * (x - 30) + (y - 20) * (y - 20);
    return static_cast<float>(5.0 + 45.0 * std::exp(-d2 / (2 * 15.0 * 15.0)) - 2.0 * z);
}

// A volume scan of field by a radar at the origin: rays every degree from first_azimuth, gates every spacing m.
PolarVolume scan(const std::function<float(double, double, double)>& field, std::vector<double> elevations,
                 double spacing = 500.0, int gates = 240, double first_azimuth = 0.25) {
    PolarVolume v{.source = "scan", .field = "DBZH", .units = "dBZ", .site = Site{45.0, 7.0, 300.0}, .time = 1.3e9,
                  .sweeps = {}};
    for (double e : elevations) {
        Sweep s{.fixed_angle = e, .azimuth = {}, .elevation = {}, .range_first = spacing / 2, .gate_spacing = spacing,
                .gates = gates, .values = {}, .time = {}};
        for (int ray = 0; ray < 360; ++ray) {
            const double az = std::fmod(first_azimuth + ray, 360.0);
            s.azimuth.push_back(static_cast<float>(az));
            s.elevation.push_back(static_cast<float>(e));
            for (int g = 0; g < gates; ++g) {
                const double r = (s.range_first + spacing * g) / 1000.0;
                const double gs = ground_distance(r, e), gh = beam_height(r, e);
                s.values.push_back(field(gs * std::sin(az * kDeg), gs * std::cos(az * kDeg), gh));
            }
        }
        v.sweeps.push_back(std::move(s));
    }
    return v;
}

GridOptions small_grid(double xmin = -60, double xmax = 60, double ymin = -60, double ymax = 60, double zmin = 0.5,
                       double zmax = 12) {
    return {.xmin = xmin, .xmax = xmax, .ymin = ymin, .ymax = ymax, .zmin = zmin, .zmax = zmax, .origin = {}};
}

float at(const Volume& v, double x, double y, double z) {
    auto index = [](const std::vector<float>& axis, double c) {
        return static_cast<std::size_t>(std::lround((c - axis[0]) / (axis[1] - axis[0])));
    };
    return v.values[(index(v.z, z) * v.y.size() + index(v.y, y)) * v.x.size() + index(v.x, x)];
}

const std::vector<double> kElevations{0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.7, 10.0, 12.0, 14.0, 16.7, 19.5};

TEST(PolarGridding, MissingGatesAreLeftOutAndNoEchoWeighsAsZeroPower) {
    // Uniform 30 dBZ with every other ray missing stays 30 dBZ; with every other ray no echo it drops.
    PolarVolume v = scan([](double, double, double) { return 30.0f; }, kElevations);
    // A power beyond a double's range is no measurement: missing too, and
    // harming no level beyond the gate's reach.
    PolarVolume gaps = v, quiet = v, absurd = v;
    for (PolarVolume* p : {&gaps, &quiet, &absurd})
        for (Sweep& s : p->sweeps)
            for (std::size_t ray = 0; ray < s.rays(); ray += 2)
                std::fill_n(s.values.begin() + ray * s.gates, s.gates,
                            p == &gaps ? kMissing : p == &quiet ? kNoEcho : 5000.0f);
    const GridOptions o = small_grid(20, 40, 20, 40, 2, 4);
    const Volume full = grid_volumes(std::span(&v, 1), o);
    const Volume with_gaps = grid_volumes(std::span(&gaps, 1), o);
    const Volume with_quiet = grid_volumes(std::span(&quiet, 1), o);
    EXPECT_EQ(grid_volumes(std::span(&absurd, 1), o).values, with_gaps.values);
    ASSERT_EQ(full.x.size(), 21u);
    EXPECT_FLOAT_EQ(full.z.back(), 4.0f);
    EXPECT_EQ(full.origin.value().lat, 45.0);
    EXPECT_EQ(full.time, 1.3e9);
    for (std::size_t i = 0; i < full.values.size(); ++i) {
        EXPECT_NEAR(full.values[i], 30.0f, 1e-4);
        EXPECT_NEAR(with_gaps.values[i], 30.0f, 1e-4);
        // Up to about 3 dB lower where the echo and the no-echo rays weigh the same.
        EXPECT_LT(with_quiet.values[i], 29.9f);
        EXPECT_GT(with_quiet.values[i], 25.0f);
    }
    // Above the highest beam nothing reaches the grid; only no echo (beyond 80 km) is no value, not a low one.
    const PolarVolume s = scan(storm, kElevations);
    for (const GridOptions& nothing : {small_grid(-5, 5, -5, 5, 11, 12), small_grid(95, 100)}) {
        const Volume g = grid_volumes(std::span(&s, 1), nothing);
        EXPECT_TRUE(g.has_null);
        for (float value : g.values) EXPECT_EQ(value, -9999.0f);
    }
}

TEST(PolarGridding, CompositeOfTwoRadarsAndTheRadarsOrderOfRays) {
    // Radars 0.5 degrees of longitude (39.3 km) apart scan one storm; the second stores its sweeps from the
    // top down, its rays from another azimuth, in reverse, and from -180 to 180 degrees.
    PolarVolume a = scan(storm, kElevations);
    const auto storm_east = [](double x, double y, double z) { return storm(x + 39.3, y, z); };
    PolarVolume b = scan(storm_east, kElevations, 500.0, 240, 137.6);
    b.site->longitude += 0.5;
    std::reverse(b.sweeps.begin(), b.sweeps.end());
    for (Sweep& s : b.sweeps) {
        for (float& az : s.azimuth)
            if (az > 180.0f) az -= 360.0f;
        std::reverse(s.azimuth.begin(), s.azimuth.end());
        std::vector<float> values;
        for (std::size_t ray = s.rays(); ray-- > 0;)
            values.insert(values.end(), s.values.begin() + ray * s.gates, s.values.begin() + (ray + 1) * s.gates);
        s.values = values;
    }
    GridOptions o = small_grid(10, 50, 0, 40, 2, 5);
    std::vector<PolarVolume> both{a, b};
    const Volume g = grid_volumes(both, o);
    // Alone, the second radar maps onto the same grid when it is centred on the first.
    o.origin = GeoOrigin{a.site->latitude, a.site->longitude};
    const Volume only_b = grid_volumes(std::span(&b, 1), o);
    for (double x = 15; x <= 45; x += 5)
        for (double y = 5; y <= 35; y += 5)
            for (double z = 2.5; z <= 4.5; z += 1.0) {
                EXPECT_NEAR(at(g, x, y, z), storm(x, y, z), 0.5) << x << ", " << y << ", " << z;
                // Above the second radar's highest beam near it, it sees nothing.
                if (std::hypot(x - 39.3, y) > 15.0) {
                    EXPECT_NEAR(at(only_b, x, y, z), storm(x, y, z), 0.7) << x << ", " << y << ", " << z;
                }
            }
}

// The rays of a sweep at one elevation share their gates' positions; rays of
// their own elevations keep their own. A hair's difference in elevation grids
// alike either way.
TEST(PolarGridding, RaysOfOneElevationAndOfTheirOwnGridAlike) {
    const PolarVolume one = scan(storm, kElevations);
    PolarVolume own = one;
    for (Sweep& s : own.sweeps)
        for (std::size_t ray = 1; ray < s.rays(); ray += 2) s.elevation[ray] = std::nextafter(s.elevation[ray], 90.0f);
    const GridOptions o = small_grid();
    const Volume a = grid_volumes(std::span(&one, 1), o), b = grid_volumes(std::span(&own, 1), o);
    ASSERT_EQ(a.values.size(), b.values.size());
    std::size_t echo = 0;
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        EXPECT_NEAR(a.values[i], b.values[i], 1e-3) << i;
        echo += a.values[i] > 20.0f;
    }
    EXPECT_GT(echo, 1000u);
    // Half the rays half a degree higher put their gates elsewhere.
    PolarVolume tilted = one;
    for (Sweep& s : tilted.sweeps)
        for (std::size_t ray = 1; ray < s.rays(); ray += 2) s.elevation[ray] += 0.5f;
    const Volume c = grid_volumes(std::span(&tilted, 1), o);
    float moved = 0.0f;
    for (std::size_t i = 0; i < a.values.size(); ++i) moved = std::max(moved, std::fabs(a.values[i] - c.values[i]));
    EXPECT_GT(moved, 0.1f);
}

// A vertically pointing sweep (a "birdbath" scan, for calibration) is left out with a note naming it and its
// angle; the rest of the volume grids as it would without it.
TEST(PolarGridding, LeavesOutVerticallyPointingSweepsWithANote) {
    PolarVolume v = scan(storm, kElevations), with_birdbath = v;
    for (const double angle : {90.0, 89.5}) {
        PolarVolume top = scan(storm, {angle}, 500.0, 40);
        top.sweeps[0].name = "dataset15";
        with_birdbath.sweeps.insert(with_birdbath.sweeps.begin() + (angle == 90.0 ? 3 : 4), top.sweeps[0]);
    }
    // A sweep scheduled lower whose rays point up is left out too.
    with_birdbath.sweeps[5].name = "sweep 5";
    for (float& e : with_birdbath.sweeps[5].elevation) e = 89.2f;
    v.sweeps.erase(v.sweeps.begin() + 3);
    std::vector<std::string> notes;
    GridOptions o = small_grid(10, 50, 0, 40, 2, 5);
    const Volume plain = grid_volumes(std::span(&v, 1), o);
    o.note = [&notes](const std::string& note) { notes.push_back(note); };
    const Volume g = grid_volumes(std::span(&with_birdbath, 1), o);
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "scan: dataset15 at 90 degrees elevation left out: a vertically pointing scan is no part of a "
                         "volume scan",
                         "scan: dataset15 at 89.5 degrees elevation left out: a vertically pointing scan is no part of "
                         "a volume scan",
                         "scan: sweep 5 at 89.2 degrees elevation left out: a vertically pointing scan is no part of a "
                         "volume scan"}));
    ASSERT_EQ(g.values.size(), plain.values.size());
    for (std::size_t i = 0; i < g.values.size(); ++i) ASSERT_EQ(g.values[i], plain.values[i]) << i;
}

TEST(PolarGridding, RefusesWhatMakesNoGrid) {
    const std::pair<std::function<void(GridOptions&)>, std::string> options[] = {
        {[](GridOptions&) {}, ""},
        {[](GridOptions& o) { o.dz = 0; }, "the grid spacings must be positive"},
        {[](GridOptions& o) { o.dx = NAN; }, "the grid spacings must be positive"},
        {[](GridOptions& o) { o.xmax = INFINITY; }, "the grid extent must be finite"},
        {[](GridOptions& o) { o.zmax = 0; }, "the grid extent runs backwards"},
        {[](auto& o) { o.roi_min = 0; }, "the radius of influence must be positive, widening by 0 degrees or more"},
        {[](auto& o) { o.roi_angle = NAN; }, "the radius of influence must be positive, widening by 0 degrees or more"},
        // Work that grows as the cube of the radius: bounded, with the bound said.
        {[](auto& o) { o.roi_min = 50; },
         "a smallest radius of influence of 50 km is more than the 5 km allowed (5 km, or twice the grid's largest "
         "spacing)"},
        {[](auto& o) { o.roi_min = 1000, o.dx = o.dy = 3; },
         "a smallest radius of influence of 1000 km is more than the 6 km allowed (5 km, or twice the grid's largest "
         "spacing)"},
        {[](auto& o) { o.roi_min = 10, o.dx = o.dy = 5; }, ""},
        {[](auto& o) { o.roi_min = 5, o.roi_angle = 3; }, ""},
        {[](auto& o) { o.roi_angle = 10; }, "a radius of influence widening by 10 degrees is more than the 3 degrees allowed"},
        {[](GridOptions& o) { o = small_grid(-2000, 2000, -2000, 2000); },
         "a grid of 384192024 points is more than the 100000000 allowed"},
        {[](GridOptions& o) { o = small_grid(-1e300, 1e300, 0, 1); },
         "a grid of 9.6e+301 points is more than the 100000000 allowed"},
    };
    for (const auto& [change, problem] : options) {
        GridOptions o = small_grid();
        change(o);
        EXPECT_EQ(grid_problem(o), problem);
    }
    const std::pair<std::function<void(PolarVolume&)>, std::string> volumes[] = {
        {[](auto& v) { v.site.reset(); }, "the file gives no radar position; give it with --site LAT,LON,HEIGHT"},
        {[](auto& v) { v.sweeps[0].gate_spacing = 0.0; }, "its gates have no finite range and positive spacing"},
        {[](auto& v) { v.sweeps[0].elevation[7] = NAN; }, "ray 7: azimuth 7.25, elevation nan is no angle of a scan"},
        {[](auto& v) { v.sweeps[0].values.pop_back(); }, "its rays, elevations and values do not agree"},
        {[](auto& v) { v.sweeps[0].fixed_angle = 90; }, "no sweep to grid (every sweep points vertically)"},
    };
    for (const auto& [change, message] : volumes) {
        PolarVolume v = scan(storm, {0.5}, 1000.0, 20);
        v.sweeps[0].name = "sweep 0";
        change(v);
        if (message.starts_with("ray") || message.starts_with("its")) {
            EXPECT_EQ(polartest::error_of([&] { grid_volumes(std::span(&v, 1), small_grid()); }),
                      "scan: sweep 0: " + message);
            continue;
        }
        EXPECT_EQ(polartest::error_of([&] { grid_volumes(std::span(&v, 1), small_grid()); }), "scan: " + message);
    }
    PolarVolume a = scan(storm, {0.5}, 1000.0, 20), velocity = a;
    velocity.field = "VRADH";
    velocity.units = "m/s";
    std::vector<PolarVolume> mixed{a, velocity};
    EXPECT_THROW(grid_volumes(mixed, small_grid()), std::runtime_error);
}

}  // namespace
