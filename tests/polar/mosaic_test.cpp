// Mosaics of several radars: analytic storms sampled by radars at known places, against the truth and
// against each radar gridded alone; the overlaps' calibration, the volumes' times, the file.
#include "polar/mosaic.h"
#include "polar/network.h"

#include <gtest/gtest.h>
#include <netcdf.h>

#include <cmath>
#include <functional>
#include <numbers>

#include "analysis/cell_analysis.h"
#include "io/geo.h"
#include "io/volume.h"
#include "polar_files.h"
#include "temp_files.h"

namespace {

using namespace velmora;
using namespace velmora::polar;

constexpr double kDeg = std::numbers::pi / 180.0;
constexpr float kNullValue = -9999.0f;
// A field of reflectivity (dBZ, or kNoEcho) at x, y km from the grid's origin and z km above sea level.
using Field = std::function<float(double, double, double)>;

const GeoOrigin kOrigin{50.0, 5.0};
const std::vector<double> kElevations{0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.7, 10.0, 12.0, 14.0, 16.7, 19.5};

// Where each gate of a radar at x, y km from kOrigin, height m, lies: x, y km from kOrigin and km above sea
// level, sweep by sweep, ray by ray; rays every degree, 500 m gates to range km.
struct Gates {
    double x = 0, y = 0, height = 0, range = 0;   // the radar's
    std::vector<std::vector<double>> gx, gy, gz;
};

Gates gates_of(double x, double y, double height, double range) {
    std::vector<double> sx{x}, sy{y}, lat(1), lon(1);
    geographic(kOrigin, sx, sy, lat, lon);
    const GeoOrigin site{lat[0], lon[0]};
    const int gates = static_cast<int>(range * 2);
    Gates out{.x = x, .y = y, .height = height, .range = range, .gx = {}, .gy = {}, .gz = {}};
    for (double e : kElevations) {
        std::vector<double> gx, gy, gh;
        for (int ray = 0; ray < 360; ++ray) {
            const double az = ray + 0.5;
            for (int g = 0; g < gates; ++g) {
                const double r = (250.0 + 500.0 * g) / 1000.0, d = ground_distance(r, e);
                gx.push_back(d * std::sin(az * kDeg));
                gy.push_back(d * std::cos(az * kDeg));
                gh.push_back(beam_height(r, e) + height / 1000.0);
            }
        }
        std::vector<double> glat(gx.size()), glon(gx.size()), ox(gx.size()), oy(gx.size());
        geographic(site, gx, gy, glat, glon);
        projected(kOrigin, glat, glon, ox, oy);
        out.gx.push_back(std::move(ox));
        out.gy.push_back(std::move(oy));
        out.gz.push_back(std::move(gh));
    }
    return out;
}

// The radar of p scanning field, its values offset_db high.
PolarVolume scan(const std::string& name, const Gates& p, const Field& field, double offset_db = 0.0,
                 double time = 1.56e9) {
    std::vector<double> sx{p.x}, sy{p.y}, lat(1), lon(1);
    geographic(kOrigin, sx, sy, lat, lon);
    PolarVolume v{.source = "/data/" + name + ".h5", .field = "DBZH", .units = "dBZ",
                  .site = Site{lat[0], lon[0], p.height}, .time = time, .sweeps = {}};
    for (std::size_t k = 0; k < kElevations.size(); ++k) {
        Sweep s;
        s.fixed_angle = kElevations[k], s.range_first = 250.0, s.gate_spacing = 500.0;
        s.gates = static_cast<int>(p.range * 2);
        for (int ray = 0; ray < 360; ++ray) {
            s.azimuth.push_back(static_cast<float>(ray + 0.5));
            s.elevation.push_back(static_cast<float>(kElevations[k]));
        }
        for (std::size_t i = 0; i < p.gx[k].size(); ++i) {
            const float f = field(p.gx[k][i], p.gy[k][i], p.gz[k][i]);
            s.values.push_back(f == kNoEcho ? f : static_cast<float>(f + offset_db));
        }
        v.sweeps.push_back(std::move(s));
    }
    return v;
}

// A radar at x, y km from kOrigin, height m, scanning field: rays every degree, 500 m gates to range km.
PolarVolume scan(const std::string& name, double x, double y, double height, const Field& field,
                 double range = 130.0, double offset_db = 0.0, double time = 1.56e9) {
    return scan(name, gates_of(x, y, height, range), field, offset_db, time);
}

// A convective storm centred at cx, cy: 55 dBZ at its core, falling off outwards and, above 4 km, upwards;
// its 40 dBZ echo reaches 9 km. No echo below 10 dBZ.
Field storm(double cx, double cy) {
    return [=](double x, double y, double z) {
        const double r2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / 36.0;
        const double v = 55.0 - 10.0 * r2 - 3.0 * std::max(0.0, z - 4.0) - (z > 12.0 ? 100.0 : 0.0);
        return v < 10.0 ? kNoEcho : static_cast<float>(v);
    };
}

GridOptions storm_grid(double cx) {
    return {.xmin = cx - 20, .xmax = cx + 20, .ymin = -20, .ymax = 20, .zmin = 0.5, .zmax = 14, .origin = kOrigin};
}

MosaicOptions given_extent(Combine c = Combine::weighted) { return {.combine = c, .calibrate = {}, .extent_given = true}; }

struct Measures {
    double top = 0;      // km, the highest level with 40 dBZ
    double volume = 0;   // km3 of 40 dBZ and more
};

Measures measures(const Volume& v, double level = 40.0) {
    Measures m;
    const std::size_t columns = v.x.size() * v.y.size();
    for (std::size_t i = 0; i < v.values.size(); ++i)
        if (v.values[i] != v.null_value && v.values[i] >= level) {
            m.volume += 1.0 * 1.0 * 0.5;
            m.top = std::max(m.top, static_cast<double>(v.z[i / columns]));
        }
    return m;
}

// The truth on the same grid.
Volume truth(const Volume& axes, const Field& f) {
    Volume t = axes;
    const std::size_t nx = t.x.size(), ny = t.y.size();
    for (std::size_t k = 0; k < t.z.size(); ++k)
        for (std::size_t j = 0; j < ny; ++j)
            for (std::size_t i = 0; i < nx; ++i) {
                const float v = f(t.x[i], t.y[j], t.z[k]);
                t.values[(k * ny + j) * nx + i] = v == kNoEcho ? t.null_value : v;
            }
    return t;
}

TEST(Mosaic, StormInOneRadarsConeOfSilenceAndFarFromAnother) {
    // The storm 4 km from A, over A's cone of silence; B 100 km west of it.
    const Field f = storm(4.0, 0.0);
    const std::vector<PolarVolume> radars{scan("near", 0, 0, 100, f), scan("far", -96, 0, 500, f)};
    const GridOptions o = storm_grid(4.0);
    const Mosaic both = mosaic_volumes(radars, o, given_extent());
    const Mosaic near = mosaic_volumes(std::span(&radars[0], 1), o, given_extent());
    const Mosaic far = mosaic_volumes(std::span(&radars[1], 1), o, given_extent());
    const Measures t = measures(truth(both.grid, f)), m = measures(both.grid), a = measures(near.grid),
                   b = measures(far.grid);
    EXPECT_NEAR(t.top, 9.0, 0.01);
    EXPECT_LE(std::fabs(m.top - t.top), 0.5) << "mosaic " << m.top << ", near " << a.top << ", far " << b.top;
    EXPECT_LE(std::fabs(m.volume - t.volume), 0.3 * t.volume) << m.volume << " km3 against " << t.volume;
    // The near radar loses the top, the far one inflates the volume: the mosaic is closer than either.
    EXPECT_LT(std::fabs(m.top - t.top), std::fabs(a.top - t.top));
    EXPECT_LT(std::fabs(m.volume - t.volume), std::fabs(a.volume - t.volume));
    EXPECT_LT(std::fabs(m.volume - t.volume), std::fabs(b.volume - t.volume));
    EXPECT_LE(std::fabs(m.top - t.top), std::fabs(b.top - t.top));
    // Low down the near radar's view is kept, above its cone the far one's.
    const std::size_t columns = both.grid.x.size() * both.grid.y.size(), centre = 20 * both.grid.x.size() + 20;
    EXPECT_EQ(both.kept[1 * columns + centre], 0);   // 1 km
    EXPECT_EQ(both.kept[16 * columns + centre], 1);  // 8.5 km
    EXPECT_EQ(both.seen_by[16 * columns + centre], 1);
    EXPECT_EQ(both.radars[0].name, "near");
    EXPECT_EQ(both.radars[1].name, "far");
}

TEST(Mosaic, NoEchoBelowARadarsBeamLeavesAnotherRadarsEcho) {
    // A shallow shower (tops near 3 km) 20 km from A and 190 km from B, whose lowest beam passes over it:
    // B's gates there see no echo, and its grid below them is theirs, spread by its wide radius.
    const Field shower = [](double x, double y, double z) {
        const double r2 = ((x - 20) * (x - 20) + y * y) / 25.0;
        const double v = 45.0 - 8.0 * r2 - (z > 3.0 ? 60.0 : 0.0);
        return v < 10.0 ? kNoEcho : static_cast<float>(v);
    };
    const std::vector<PolarVolume> radars{scan("a", 0, 0, 0, shower), scan("b", -170, 0, 0, shower, 200)};
    const GridOptions o{.xmin = 10, .xmax = 30, .ymin = -10, .ymax = 10, .zmin = 0.5, .zmax = 5, .origin = kOrigin};
    const Mosaic a = mosaic_volumes(std::span(&radars[0], 1), o, given_extent());
    for (Combine c : {Combine::weighted, Combine::nearest, Combine::max}) {
        const Mosaic both = mosaic_volumes(radars, o, given_extent(c));
        std::size_t echo = 0;
        for (std::size_t i = 0; i < a.grid.values.size(); ++i) {
            if (a.grid.values[i] == kNullValue) continue;
            ++echo;
            ASSERT_NE(both.grid.values[i], kNullValue) << combine_name(c) << " at " << i;
            ASSERT_GE(both.grid.values[i], a.grid.values[i] - 0.05f) << combine_name(c) << " at " << i;
        }
        EXPECT_GT(echo, 500u);
    }
    // The old composite averaged B's no echo in.
    const Volume composite = grid_volumes(radars, GridOptions{.xmin = o.xmin, .xmax = o.xmax, .ymin = o.ymin, .ymax = o.ymax, .zmin = 0.5, .zmax = 5.0, .origin = {}});
    EXPECT_LT(measures(composite, 30).volume, measures(mosaic_volumes(radars, o, given_extent()).grid, 30).volume);
}

TEST(Mosaic, WeakerOrNoEchoOfABetterPlacedRadarLeavesTheStrongerView) {
    // B stands nearer the storm than A (40 km against 60), but its beam comes through rain that takes 8 dB
    // off the storm, or sees nothing of it: the weighted mosaic stays within kAgreement of A's view.
    const Field f = storm(60.0, 0.0);
    const Field weak = [&](double x, double y, double z) {
        const float v = f(x, y, z);
        return v == kNoEcho ? v : v - 8.0f;
    };
    const Field none = [](double, double, double) { return kNoEcho; };
    const GridOptions o = storm_grid(60.0);
    const PolarVolume a = scan("a", 0, 0, 0, f);
    const Gates b = gates_of(100, 0, 0, 130);
    const Mosaic alone = mosaic_volumes(std::span(&a, 1), o, given_extent());
    for (const Field& seen : {weak, none}) {
        const Mosaic both = mosaic_volumes(std::vector<PolarVolume>{a, scan("b", b, seen)}, o, given_extent());
        std::size_t echo = 0;
        for (std::size_t i = 0; i < alone.grid.values.size(); ++i) {
            if (alone.grid.values[i] == kNullValue) continue;
            ++echo;
            ASSERT_NE(both.grid.values[i], kNullValue) << i;
            ASSERT_GE(both.grid.values[i], alone.grid.values[i] - kAgreement - 0.01) << i;
        }
        EXPECT_GT(echo, 5000u);
    }
    // Views that agree within kAgreement are averaged, weighted: between the two, not their highest.
    const std::vector<PolarVolume> agreeing{a, scan("b", b, f, -1.5)};
    const Mosaic weighted = mosaic_volumes(agreeing, o, given_extent());
    const Mosaic highest = mosaic_volumes(agreeing, o, given_extent(Combine::max));
    std::size_t below = 0;
    for (std::size_t i = 0; i < weighted.grid.values.size(); ++i) {
        if (highest.grid.values[i] == kNullValue) continue;
        ASSERT_NE(weighted.grid.values[i], kNullValue) << i;
        ASSERT_GE(weighted.grid.values[i], highest.grid.values[i] - kAgreement - 0.01) << i;
        ASSERT_LE(weighted.grid.values[i], highest.grid.values[i] + 0.01) << i;
        below += weighted.grid.values[i] < highest.grid.values[i] - 0.5f;
    }
    EXPECT_GT(below, 1000u);
}

// Broad rain everywhere within reach: 30 dBZ with a gentle pattern, to 6 km.
float rain(double x, double y, double z) {
    if (z > 6.0) return kNoEcho;
    return static_cast<float>(30.0 + 5.0 * std::sin(x / 40.0) * std::cos(y / 35.0) - z);
}

TEST(Mosaic, CalibrationOffsetsAreMeasuredInTheOverlapsAndRemoved) {
    // B reads 2.5 dB high, C 1.5 dB low.
    const Gates a = gates_of(-60, 0, 50, 110), b = gates_of(60, 0, 50, 110), c3 = gates_of(0, 90, 50, 110);
    const std::vector<PolarVolume> radars{scan("a", a, rain), scan("b", b, rain, 2.5), scan("c", c3, rain, -1.5)};
    const GridOptions o{.xmin = -120, .xmax = 120, .ymin = -60, .ymax = 150, .zmin = 0.5, .zmax = 6,
                        .dx = 2, .dy = 2, .dz = 0.5, .origin = kOrigin};
    const Mosaic m = mosaic_volumes(radars, o, given_extent());
    ASSERT_EQ(m.overlaps.size(), 3u);
    const double expected[3] = {-2.5, 1.5, 4.0};   // a - b, a - c, b - c
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(m.overlaps[i].median, expected[i], 0.3) << overlap_lines(m, m.overlaps)[i];
        EXPECT_GT(m.overlaps[i].count, 1000);
    }
    MosaicOptions calibrated = given_extent();
    calibrated.calibrate = "a";
    const Mosaic c = mosaic_volumes(radars, o, calibrated);
    EXPECT_NEAR(c.radars[1].adjustment, -2.5, 0.3);
    EXPECT_NEAR(c.radars[2].adjustment, 1.5, 0.3);
    EXPECT_EQ(c.overlaps.size(), 3u);
    for (const Overlap& p : c.residuals) EXPECT_NEAR(p.median, 0.0, 0.3) << p.a << " - " << p.b;
    // Calibrated, the mosaic is that of radars that agree.
    const std::vector<PolarVolume> agreeing{radars[0], scan("b", b, rain), scan("c", c3, rain)};
    const Mosaic truth = mosaic_volumes(agreeing, o, given_extent());
    double worst = 0;
    for (std::size_t i = 0; i < truth.grid.values.size(); ++i)
        if (truth.grid.values[i] != kNullValue && c.grid.values[i] != kNullValue)
            worst = std::max(worst, std::fabs(static_cast<double>(truth.grid.values[i] - c.grid.values[i])));
    EXPECT_LT(worst, 0.3);
    // A reference that is none of the radars is refused with their names.
    calibrated.calibrate = "d";
    EXPECT_EQ(polartest::error_of([&] { mosaic_volumes(radars, o, calibrated); }),
              "--calibrate: d is none of the radars (a, b, c)");
}

TEST(Mosaic, VolumesFurtherApartThanTheMaxAgeAreRefusedWithTheirTimes) {
    const Field f = storm(0, 0);
    std::vector<PolarVolume> radars{scan("a", 0, 0, 0, f, 30, 0, 1559779222.0), scan("b", 20, 0, 0, f, 30, 0, 1559779216.0)};
    const GridOptions o = storm_grid(0);
    EXPECT_EQ(mosaic_volumes(radars, o, given_extent()).time_spread, 6.0);
    radars[1].time = 1559779222.0 + 301.0;
    EXPECT_EQ(polartest::error_of([&] { mosaic_volumes(radars, o, given_extent()); }),
              "the volumes are 301 s apart, more than the 300 s allowed (--max-age): a at 2019-06-06T00:00:22Z, "
              "b at 2019-06-06T00:05:23Z");
    MosaicOptions longer = given_extent();
    longer.max_age = 600;
    EXPECT_EQ(mosaic_volumes(radars, o, longer).time_spread, 301.0);
}

TEST(Mosaic, DefaultGridCoversEveryRadarAboutTheNetworksCentre) {
    const std::vector<PolarVolume> radars{scan("a", -50, 0, 0, rain, 40), scan("b", 50, 20, 0, rain, 60)};
    const Mosaic m = mosaic_volumes(radars, GridOptions{.dx = 2, .dy = 2, .dz = 1, .origin = {}}, MosaicOptions{});
    // The centre between the radars, and each radar's range within the grid.
    EXPECT_NEAR(m.radars[0].x, -50, 0.5);
    EXPECT_NEAR(m.radars[1].y, 10, 0.5);
    EXPECT_NEAR(m.radars[0].y, -10, 0.5);
    EXPECT_LE(m.grid.x.front(), -50 - m.radars[0].range);
    EXPECT_GE(m.grid.x.back(), 50 + m.radars[1].range);
    EXPECT_LE(m.grid.y.front(), -10 - m.radars[0].range);
    EXPECT_GE(m.grid.y.back(), 10 + m.radars[1].range);
    EXPECT_GT(m.radars[1].range, 59.0);
}

TEST(Mosaic, StormCrossingTheSeamStaysOneCell) {
    // Radars 120 km apart; a storm moving from one's side of the seam to the other's.
    const Gates a = gates_of(-60, 0, 0, 100), b = gates_of(60, 0, 0, 100);
    for (double cx : {-20.0, -6.0, 0.0, 2.0, 21.0}) {
        const Field f = storm(cx, 5.0);
        const std::vector<PolarVolume> radars{scan("a", a, f), scan("b", b, f)};
        const GridOptions o{.xmin = -40, .xmax = 40, .ymin = -25, .ymax = 35, .zmin = 0.5, .zmax = 12,
                            .origin = kOrigin};
        const Mosaic m = mosaic_volumes(radars, o, given_extent());
        const AnalysisResult r = analyze_values(m.grid, std::span(m.grid.values.data(), m.grid.values.size()), {});
        EXPECT_EQ(r.cells.size(), 1u) << "storm at " << cx << " km";
        // Both radars are kept somewhere in the storm near the seam.
        if (std::fabs(cx) < 3) {
            bool a = false, b = false;
            for (std::size_t i = 0; i < m.kept.size(); ++i)
                if (m.grid.values[i] >= 40) a |= m.kept[i] == 0, b |= m.kept[i] == 1;
            EXPECT_TRUE(a && b) << cx;
        }
    }
}

TEST(Mosaic, FileSaysWhatTheMosaicIs) {
    vtest::TempDir dir;
    const Field f = storm(0, 0);
    const std::vector<PolarVolume> radars{scan("a", -30, 0, 50, f, 60), scan("b", 30, 0, 590, f, 60, 1.0, 1.56e9 + 7)};
    const Mosaic m = mosaic_volumes(radars, storm_grid(0), given_extent());
    const std::string path = dir.file("m.nc");
    write_mosaic(path, m);
    int nc = -1, id = -1;
    ASSERT_EQ(nc_open(path.c_str(), NC_NOWRITE, &nc), NC_NOERR);
    char names[2] = {};   // one character each
    ASSERT_EQ(nc_inq_varid(nc, "radar_name", &id), NC_NOERR);
    ASSERT_EQ(nc_get_var_text(nc, id, names), NC_NOERR);
    EXPECT_EQ(std::string(names, 2), "ab");
    double altitude[2] = {}, time[2] = {}, spread = 0;
    ASSERT_EQ(nc_inq_varid(nc, "radar_altitude", &id), NC_NOERR);
    nc_get_var_double(nc, id, altitude);
    ASSERT_EQ(nc_inq_varid(nc, "radar_time", &id), NC_NOERR);
    nc_get_var_double(nc, id, time);
    EXPECT_EQ(altitude[1], 590.0);
    EXPECT_EQ(time[1] - time[0], 7.0);
    nc_get_att_double(nc, NC_GLOBAL, "volume_time_spread_seconds", &spread);
    EXPECT_EQ(spread, 7.0);
    char text[64] = {};
    ASSERT_EQ(nc_inq_varid(nc, "z", &id), NC_NOERR);
    nc_get_att_text(nc, id, "long_name", text);
    EXPECT_STREQ(text, "height above mean sea level");
    std::vector<std::uint8_t> count(m.seen_by.size());
    std::vector<signed char> kept(m.kept.size());
    ASSERT_EQ(nc_inq_varid(nc, "radar_count", &id), NC_NOERR);
    nc_get_var_uchar(nc, id, count.data());
    ASSERT_EQ(nc_inq_varid(nc, "kept_radar", &id), NC_NOERR);
    nc_get_var_schar(nc, id, kept.data());
    EXPECT_EQ(count, m.seen_by);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), m.kept.begin()));
    EXPECT_EQ(*std::max_element(count.begin(), count.end()), 2);
    std::size_t overlaps = 0;
    ASSERT_EQ(nc_inq_dimid(nc, "overlap", &id), NC_NOERR);
    nc_inq_dimlen(nc, id, &overlaps);
    EXPECT_EQ(overlaps, 1u);
    double median = 0;
    ASSERT_EQ(nc_inq_varid(nc, "overlap_median_difference", &id), NC_NOERR);
    nc_get_var_double(nc, id, &median);
    EXPECT_NEAR(median, -1.0, 0.3);
    nc_close(nc);
}

// A small ODIM volume of a radar at lat, lon, of hhmmss on 2020-01-02.
std::string radar_file(const vtest::TempDir& dir, const std::string& name, double lat, double lon, const std::string& hhmmss) {
    const std::string path = dir.file(name);
    polartest::H5File f(path);
    polartest::write_odim(f);
    f.numbers("/where", {{"lat", lat}, {"lon", lon}});
    f.text("/what", "time", hhmmss);
    return path;
}

TEST(Network, VolumesOfSeveralRadarsAreGroupedByTimeOnTheGridOfEveryRadar) {
    vtest::TempDir dir;
    // Radar b 0.6 degrees (67 km) north of a; a2 stands 300 m from a: the same radar. b misses the third step;
    // a's fourth volume comes more than --max-age after b's third.
    const std::string a0 = radar_file(dir, "a0.h5", 50.5, 6.25, "030405"), b0 = radar_file(dir, "b0.h5", 51.1, 6.25, "030505"),
                      a1 = radar_file(dir, "a1.h5", 50.5, 6.25, "030905"), b1 = radar_file(dir, "b1.h5", 51.1, 6.25, "031000"),
                      a2 = radar_file(dir, "a2.h5", 50.5027, 6.25, "031405"), a3 = radar_file(dir, "a3.h5", 50.5, 6.25, "031905"),
                      b3 = radar_file(dir, "b3.h5", 51.1, 6.25, "032406");
    PolarInput in;
    in.grid.dx = in.grid.dy = 1.0;
    const std::vector<std::string> files{b1, a2, a0, b3, a1, b0, a3};
    const std::optional<NetworkSeries> s = network_series(files, in);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->radars, 2u);
    // Within a step the radars keep the order they first came in: b first.
    EXPECT_EQ(s->steps, (std::vector<std::vector<std::string>>{{b0, a0}, {b1, a1}, {a2}, {a3}, {b3}}));
    // The grid about the radars' centre, over both ranges (5 km beyond each).
    ASSERT_TRUE(s->grid.origin);
    // Of radar a, its first file given: a2.
    EXPECT_NEAR(s->grid.origin->lat, (51.1 + 50.5027) / 2, 1e-9);
    EXPECT_EQ(s->grid.origin->lon, 6.25);
    EXPECT_LT(s->grid.ymin, -33.4 - 4.0);
    EXPECT_GT(s->grid.ymax, 33.4 + 4.0);
    EXPECT_LT(s->grid.ymax, 33.4 + 7.0);
    // One radar's series, or a file that is no polar volume among them, is no network's.
    EXPECT_FALSE(network_series(std::vector<std::string>{a0, a1, a2}, in));
    velmora::write_netcdf(dir.file("grid.nc"), velmora::synthetic_volume());
    EXPECT_FALSE(network_series(std::vector<std::string>{a0, b0, dir.file("grid.nc")}, in));
    // A radar given with --site is every file's.
    in.site = Site{50.0, 5.0, 0.0};
    EXPECT_FALSE(network_series(files, in));
}

}  // namespace
