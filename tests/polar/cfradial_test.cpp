// The CF/Radial reader on volumes written here, and telling the polar formats apart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "polar/gridding.h"
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
        // Sweeps naming the same rays would hold them many times over.
        {{.start = {0, 0}, .end = {6, 6}}, "sweeps 0 and 1 share rays 0 to 6: each ray belongs to one sweep"},
        {{.start = {4, 0}, .end = {6, 4}}, "sweeps 0 and 1 share rays 4 to 4: each ray belongs to one sweep"},
        {{.latitude = 95}, "the radar's latitude 95 is not within -90 to 90 degrees"},
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

    // A classic file cut short is refused: the library would read its missing bytes as fill values.
    polartest::write_cfradial(path, {.format = 0});
    const auto size = std::filesystem::file_size(path);
    std::filesystem::resize_file(path, size - 40);
    polartest::expect_refused([&] { read_cfradial(path); }, path,
                              "not a valid NetCDF file: its " + std::to_string(size - 40) +
                                  " bytes end before the values of variable \"VEL\" (up to byte " +
                                  std::to_string(size) + "): the file is cut short");
}

// Every value of a vector missing_value, and values outside the valid range, are missing gates.
TEST(CfRadialVolume, MissingValuesOfEveryForm) {
    vtest::TempDir dir;
    const std::string path = dir.file("cfradial.nc");
    const std::pair<CfRadialLayout, int> rows[] = {
        {{}, 35},                                   // DBZ: 99 but gate (0, 0) 20
        {{.dbz_missing = {-9999, 99}}, 1},          // a vector, as CF allows: both values missing
        {{.dbz_missing = {99, -9999}}, 1},
        {{.dbz_valid = {-30, 80}}, 1},
        {{.dbz_valid = {30, 100}}, 34},
        {{.format = 0, .dbz_missing = {-9999, 99}}, 1},
    };
    for (const auto& [layout, valid] : rows) {
        polartest::write_cfradial(path, layout);
        const PolarVolume v = read_cfradial(path, "DBZ");
        int count = 0;
        for (const Sweep& s : v.sweeps)
            for (float x : s.values) count += !std::isnan(x);
        EXPECT_EQ(count, valid);
    }
}

// polar_format by content, whatever the names; read_polar reads each format and refuses the rest.
// A vertically pointing sweep is read, and left out of a grid with a note naming it and its angle.
TEST(CfRadialVolume, BirdbathSweepIsLeftOutOfTheGridWithANote) {
    vtest::TempDir dir;
    const std::string path = dir.file("cfradial.nc");
    polartest::write_cfradial(path, {.elevation = {0.4, 0.5, 0.5, 0.6, 90, 90, 90}, .fixed = {0.5, 90}});
    const PolarVolume v = read_cfradial(path);
    ASSERT_EQ(v.sweeps.size(), 2u);
    std::vector<std::string> notes;
    velmora::polar::GridOptions o{.xmin = -2, .xmax = 2, .ymin = -2, .ymax = 2, .zmin = 0.5, .zmax = 2, .origin = {}};
    o.note = [&notes](const std::string& note) { notes.push_back(note); };
    velmora::polar::grid_volumes(std::span(&v, 1), o);
    EXPECT_EQ(notes, std::vector<std::string>{path + ": sweep 1 at 90 degrees elevation left out: a vertically "
                                                     "pointing scan is no part of a volume scan"});
}

TEST(CfRadialFormat, TellsTheFormatsApart) {
    vtest::TempDir dir;
    const std::string odim = dir.file("odim.nc"), cf4 = dir.file("cf.h5"), cf3 = dir.file("cf3");
    const std::string grid = dir.file("grid.nc"), cpol = VELMORA_SOURCE_DIR "/../shared/data/cpol_200601200050.nc";
    polartest::write_odim(odim);
    polartest::write_cfradial(cf4);
    polartest::write_cfradial(cf3, {.format = 0});
    velmora::write_netcdf(grid, velmora::synthetic_volume({.nx = 4, .ny = 3, .nz = 2}));
    const std::pair<std::string, PolarFormat> files[] = {
        {odim, PolarFormat::odim}, {cf4, PolarFormat::cfradial}, {cf3, PolarFormat::cfradial},
        {grid, PolarFormat::none}, {dir.write("text", "CDF is not enough"), PolarFormat::none},
        {dir.file("absent"), PolarFormat::none}, {std::filesystem::exists(cpol) ? cpol : grid, PolarFormat::none}};
    for (const auto& [path, format] : files) EXPECT_EQ(polar_format(path), format) << path;

    EXPECT_EQ(read_polar(odim).sweeps.size(), 3u);
    EXPECT_EQ(read_polar(cf4).field, "Zh");
    EXPECT_EQ(read_polar(cf3, "VEL").field, "VEL");

    // What is no polar volume says what it is; a pipe is not opened (it would be waited on for ever).
    const std::string cut = dir.write("cut.h5", vtest::TempDir::read(odim).substr(0, 1500));
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    const std::pair<std::string, std::string> refused[] = {
        {grid, "not a polar radar volume (ODIM HDF5, NEXRAD Level II or CF/Radial)"},
        {dir.file("absent"), "no such file"},
        {dir.path().string(), "a folder, not a regular file"},
        {dir.write("empty", ""), "an empty file"},
        {cut, "an HDF5 file HDF5 cannot open (truncated file: eof = 1500, "},
        {dir.file("pipe"), "not a regular file"},
    };
    for (const auto& [path, message] : refused) {
        EXPECT_EQ(polar_format(path), PolarFormat::none) << path;
        polartest::expect_refused([&] { read_polar(path); }, path, message);
    }
}

}  // namespace
