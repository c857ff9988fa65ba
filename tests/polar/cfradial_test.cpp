// The CF/Radial reader on volumes written here, and telling the polar formats apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "polar/polar.h"
#include "polar_files.h"
#include "temp_files.h"
#include "io/volume.h"

namespace {

using namespace velmora::polar;
using polartest::CfRadialLayout;

TEST(CfRadialVolume, ReadsBackWhatWasWrittenAndRefusesItDamaged) {
    vtest::TempDir dir;
    const std::string path = dir.file("cfradial.nc");
    polartest::write_cfradial(path);

    // Zh by its standard name, before DBZ by its name.
    const PolarVolume v = read_cfradial(path);
    polartest::expect_volume(v, path, "Zh", {-12.25, 131.04, 42.0}, 1614834367.0, 0.95f);   // 2021-03-04 05:06:07 UTC
    ASSERT_EQ(v.sweeps.size(), 2u);

    const Sweep& a = v.sweeps[0];
    polartest::expect_sweep(a, 0.5, 5, 125, 250);
    EXPECT_EQ(a.time, 1614834367.0);  // 7 s after 05:06:00
    EXPECT_EQ(a.azimuth, (std::vector<float>{0.5f, 90.5f, 180.5f, 270.5f}));
    EXPECT_EQ(a.elevation, (std::vector<float>{0.4f, 0.5f, 0.5f, 0.6f}));
    for (int r = 0; r < 4; ++r)
        for (int g = 0; g < 5; ++g) EXPECT_NEAR(a.at(r, g), (100 * r + 10 * g) * 0.01 + 10, 1e-5) << r << " " << g;

    const Sweep& b = v.sweeps[1];
    EXPECT_EQ(b.fixed_angle, 1.5);
    EXPECT_EQ(b.time, 1614834380.0);
    EXPECT_EQ(b.azimuth, (std::vector<float>{359.75f, 120, 240}));
    ASSERT_EQ(b.values.size(), 15u);
    polartest::expect_ray(b, 2, {16, 16.1f, 16.2f, kMissing, kMissing}, 1e-5f);  // fill beyond the last valid gate

    // Without a standard name, DBZ by its name; VEL when asked for.
    polartest::write_cfradial(path, {.standard_name = false});
    EXPECT_EQ(read_cfradial(path).field, "DBZ");
    const PolarVolume vel = read_cfradial(path, "VEL");
    EXPECT_EQ(vel.units, "m/s");
    polartest::expect_ray(vel.sweeps[0], 1, {1, kMissing, -1});
    EXPECT_EQ(vel.sweeps[1].at(2, 4), 2.0f);  // ray 6 gate 4

    struct Row {
        CfRadialLayout layout;
        const char* message;
        const char* field = "";
    };
    const Row rows[] = {
        {{.end = {3, 7}}, "sweep 1: rays 4 to 7 are not within the 7 rays"},
        {{.start = {-1, 4}}, "sweep 0: rays -1 to 3 are not within"},
        {{.start = {0, 5}, .end = {3, 4}}, "sweep 1: rays 5 to 4"},
        {{.range = {125, 375, 625, 900, 1125}}, "range gates not evenly spaced"},
        {{.range = {1125, 875, 625, 375, 125}}, "range gates do not increase"},
        {{}, "no field ZDR (the file holds Zh, DBZ, VEL)", "ZDR"},
        {{}, "no field azimuth (the file holds Zh, DBZ, VEL)", "azimuth"},  // a field off the gates
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        polartest::write_cfradial(path, row.layout);
        polartest::expect_refused([&] { read_cfradial(path, row.field); }, path, row.message);
    }

    {
        polartest::NcWriter w(path);
        w.var("DBZH", NC_FLOAT, {w.dim("time", 2), w.dim("range", 3)});
    }
    polartest::expect_refused([&] { read_cfradial(path); }, path, "no dimension sweep");
}

// polar_format by content, whatever the names; read_polar reads each format and refuses the rest.
TEST(CfRadialFormat, TellsTheFormatsApart) {
    vtest::TempDir dir;
    const std::string odim = dir.file("odim.nc"), cf4 = dir.file("cf.h5"), cf3 = dir.file("cf3");
    const std::string grid = dir.file("grid.nc"), cpol = VELMORA_SOURCE_DIR "/../shared/data/cpol_200601200050.nc";
    polartest::write_odim(odim);
    polartest::write_cfradial(cf4);
    polartest::write_cfradial(cf3, {.format = 0});
    velmora::write_netcdf(grid, velmora::synthetic_scene({.nx = 4, .ny = 3, .nz = 2}));
    const std::pair<std::string, PolarFormat> files[] = {
        {odim, PolarFormat::odim}, {cf4, PolarFormat::cfradial}, {cf3, PolarFormat::cfradial},
        {grid, PolarFormat::none}, {dir.write("text", "CDF is not enough"), PolarFormat::none},
        {dir.file("absent"), PolarFormat::none}, {std::filesystem::exists(cpol) ? cpol : grid, PolarFormat::none}};
    for (const auto& [path, format] : files) EXPECT_EQ(polar_format(path), format) << path;

    EXPECT_EQ(read_polar(odim).sweeps.size(), 3u);
    EXPECT_EQ(read_polar(cf4).field, "Zh");
    EXPECT_EQ(read_polar(cf3, "VEL").field, "VEL");
    EXPECT_THROW(read_polar(grid), std::runtime_error);
}

}  // namespace
