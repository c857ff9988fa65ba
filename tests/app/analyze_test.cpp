// The analysis end to end on the synthetic scene, whose five convective
// cells (peaks 56, 52, 48, 46 and 44 dBZ) are known, and the mapping of
// isosurface nodes onto the cells of the grid.
#include "analyze.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "field_ref.h"
#include "host.h"
#include "network.h"
#include "runner.h"

namespace {

namespace fs = std::filesystem;
using velmora::app::AnalyzeOptions;

std::string read_file(const fs::path& p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class AnalyzeTest : public ::testing::Test {
protected:
    // One folder per test: ctest runs tests side by side.
    fs::path dir = fs::path(VELMORA_BINARY_DIR) / "test-analyze" /
                   testing::UnitTest::GetInstance()->current_test_info()->name();
    void SetUp() override { fs::remove_all(dir); }
    void TearDown() override { vhost::host().reset(); }
};

TEST_F(AnalyzeTest, TheSyntheticSceneHasItsFiveCells) {
    AnalyzeOptions o;
    o.out = dir.string();
    o.picture = false;
    o.timings = true;
    std::FILE* err = std::tmpfile();
    testing::internal::CaptureStdout();
    const int status = velmora::app::analyze(o, err, false);
    const std::string table = testing::internal::GetCapturedStdout();
    std::rewind(err);
    char buf[16384] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, err);
    std::fclose(err);
    ASSERT_EQ(status, 0) << std::string(buf, n);

    // Standard output holds the table of cells and the files written, no
    // more; what the modules print (the divisions' tables) is in
    // analysis.log. Each step's time and memory went to the error stream.
    std::vector<std::string> lines;
    for (std::istringstream in(table); std::getline(in, lines.emplace_back());) {}
    lines.pop_back();
    ASSERT_EQ(lines.size(), 2u + 5u + 1u + 12u) << table;
    EXPECT_EQ(lines[0], "5 storm cells at 40 dBZ in the synthetic scene (DT), areas of more than 8 cells:");
    EXPECT_EQ(lines[1], "  cell  voxels  top km  max dBZ");
    EXPECT_EQ(lines[7].rfind("results in " + fs::absolute(dir).lexically_normal().string() + " (", 0), 0u) << lines[7];
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end()),
              (std::vector<std::string>{"  network.json", "  analysis.log", "  cells.csv", "  surface_cells.csv",
                                        "  cells_ijk.txt", "  radar.vti", "  isosurface.vtp", "  isovolume.vtu",
                                        "  cell_tops.vtp", "  centres.vtp", "  legend_axis.vtp", "  legend_ticks.vtp"}));
    const std::string log = read_file(dir / "analysis.log");
    EXPECT_NE(log.find("get_node_connect_vol.\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '='), 4) << "end_no and start_no of both divisions: " << log;
    const std::string timings(buf, n);
    for (const char* step : {"velmora: read the synthetic scene", "velmora: cellvox (CellVoxels)",
                             "velmora: column (GridColumn)", "velmora: write radar.vti"})
        EXPECT_NE(timings.find(step), std::string::npos) << step << " in\n" << timings;
    std::istringstream timing_lines(timings);
    for (std::string l; std::getline(timing_lines, l);)
        EXPECT_TRUE(l.starts_with("velmora: ") && l.ends_with(" MB at most")) << l;

    // One CSV line per cell after the header; the IJK file and the VTK files.
    const std::string csv = read_file(dir / "cells.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 6) << csv;
    for (const char* f : {"cells_ijk.txt", "surface_cells.csv", "radar.vti", "isosurface.vtp", "isovolume.vtu",
                          "cell_tops.vtp", "centres.vtp", "legend_axis.vtp", "legend_ticks.vtp", "synthetic.nc"})
        EXPECT_TRUE(fs::exists(dir / f)) << f;

    // The cells measured on the voxels: each holds its peak, strongest first
    // in the order the scene lists them (west to east does not matter: the
    // check is on the set of maxima).
    vhost::Object& stat = vhost::host().root().at("cellstat");
    ASSERT_EQ(stat.at("nsurf").int_value(), 5);
    // The stronger a cell, the higher its 40 dBZ echo reaches.
    std::vector<std::pair<float, double>> peaks;   // (maximum, top)
    for (int i = 0; i < 5; ++i) {
        vhost::Object& e = stat.at("sparam[" + std::to_string(i) + "]");
        EXPECT_GT(e.at("npoints").int_value(), 20);
        peaks.emplace_back(vhost::floats_of(e.at("data_max"))[0], e.at("maxz").real_value());
    }
    std::sort(peaks.rbegin(), peaks.rend());
    for (int i = 1; i < 5; ++i) EXPECT_LE(peaks[static_cast<size_t>(i)].second, peaks[static_cast<size_t>(i - 1)].second);
    const float want[] = {56, 52, 48, 46, 44};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(peaks[static_cast<size_t>(i)].first, want[i], 2.5) << i;

    // `velmora run` of the network written beside the results writes the
    // same files again (to the same paths: the first ones are put aside).
    const fs::path first = dir.string() + "-first";
    fs::remove_all(first);
    fs::create_directories(first);
    const char* const results[] = {"cells.csv", "cells_ijk.txt", "surface_cells.csv"};
    for (const char* f : results) fs::rename(dir / f, first / f);
    velmora::app::RunOptions again;
    again.network = (dir / "network.json").string();
    again.writes_anywhere = true;   // the network names the folder of the first run, not this one
    std::FILE* run_err = std::tmpfile();
    testing::internal::CaptureStdout();
    EXPECT_EQ(velmora::app::run_network(again, run_err, false), velmora::app::run_ok);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::ftell(run_err), 0) << "nothing reported";
    std::fclose(run_err);
    for (const char* f : results) {
        EXPECT_FALSE(read_file(first / f).empty()) << f;
        EXPECT_TRUE(read_file(dir / f) == read_file(first / f)) << f;
    }
    fs::remove_all(first);
}

TEST_F(AnalyzeTest, AMissingVolumeOrVariableIsAUsageError) {
    AnalyzeOptions o;
    o.out = dir.string();
    o.picture = false;
    o.volume = (dir / "nowhere.nc").string();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(velmora::app::analyze(o, err, false), 2);
    std::rewind(err);
    char buf[1024] = {};
    std::fread(buf, 1, sizeof buf - 1, err);
    std::fclose(err);
    EXPECT_NE(std::string(buf).find("nowhere.nc"), std::string::npos) << buf;

    // A level that is no number of dBZ is refused before anything is read.
    for (double level : {NAN, -INFINITY, INFINITY}) {
        o.level = level;
        std::FILE* e = std::tmpfile();
        EXPECT_EQ(velmora::app::analyze(o, e, false), 2);
        std::rewind(e);
        char text[256] = {};
        std::fread(text, 1, sizeof text - 1, e);
        std::fclose(e);
        EXPECT_NE(std::string(text).find("--level must be a finite reflectivity in dBZ"), std::string::npos) << text;
    }
}

// No echo at the level, or no area above --min-cells: no cells, and no
// module is left to complain about empty input.
TEST_F(AnalyzeTest, NoCellsIsAnAnswerNotAFailure) {
    {
        // An older run's results in the folder: none of them may stand
        // beside a new run's answer.
        AnalyzeOptions o;
        o.out = dir.string();
        o.picture = false;
        testing::internal::CaptureStdout();
        ASSERT_EQ(velmora::app::analyze(o, stderr, false), 0);
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(fs::exists(dir / "cells.csv"));
    }
    for (const auto& [level, min_cells, says] :
         {std::tuple{70.0, 8, "0 storm cells at 70 dBZ in the synthetic scene (DT): no echo reaches the level (highest 56.5)."},
          std::tuple{40.0, 100000, "0 storm cells at 40 dBZ in the synthetic scene (DT): every area has at most 100000 cells"}}) {
        AnalyzeOptions o;
        o.out = dir.string();
        o.picture = false;
        o.level = level;
        o.min_cells = min_cells;
        std::FILE* err = std::tmpfile();
        testing::internal::CaptureStdout();
        EXPECT_EQ(velmora::app::analyze(o, err, false), 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(says), std::string::npos) << out;
        EXPECT_EQ(std::ftell(err), 0) << "nothing reported";
        std::fclose(err);
        EXPECT_TRUE(vhost::host().messages().empty());
        for (const char* gone : {"cells.csv", "cells_ijk.txt", "radar.vti", ".velmora-partial"})
            EXPECT_FALSE(fs::exists(dir / gone)) << gone;
    }
}

// Every voxel at the level: no surface to extract, one cell filling the
// volume, and nothing reported.
TEST_F(AnalyzeTest, OneCellFillingTheVolumeIsAnAnswer) {
    velmora::app::Volume v;
    v.name = "DT";
    v.x = {0, 1, 2, 3};
    v.y = {0, 1, 2};
    v.z = {0.5f, 1.0f};
    v.values.assign(24, 50.0f);
    fs::create_directories(dir);
    velmora::app::write_netcdf((dir / "full.nc").string(), v);
    AnalyzeOptions o;
    o.volume = (dir / "full.nc").string();
    o.out = (dir / "out").string();
    o.picture = false;
    std::FILE* err = std::tmpfile();
    testing::internal::CaptureStdout();
    EXPECT_EQ(velmora::app::analyze(o, err, false), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("1 storm cell at 40 dBZ in full.nc (DT)"), std::string::npos) << out;
    EXPECT_NE(out.find("     1      24     1.0     50.0"), std::string::npos) << out;
    EXPECT_EQ(std::ftell(err), 0) << "nothing reported";
    std::fclose(err);
    EXPECT_TRUE(vhost::host().messages().empty());
}

TEST(SurfaceCells, NodesTakeTheNumberOfTheStrongestInsideCorner) {
    velmora::app::Volume v;
    v.x = {0, 1, 2};
    v.y = {0, 1};
    v.z = {0, 1};
    v.has_null = true;
    v.null_value = -1;
    // Two inside voxels of different cells in the first column of cells.
    v.values = {45, 20, 20, 50, 20, 20, /* k = 1 */ -1, 20, 20, 20, 20, 20};
    const std::vector<std::int32_t> grid_no = {1, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<float> xyz = {0.5f, 0.5f, 0.5f, 1.5f, 0.5f, 0.5f, 9.0f, 9.0f, 9.0f};
    const auto no = velmora::app::cells_of_surface(v, v.values, grid_no, xyz, 40.0);
    // The first node's cell has both voxels: the 50 dBZ one wins; the second
    // has none inside; the third lies beyond the grid and is clamped into
    // its last cell, where nothing is inside.
    EXPECT_EQ(no, (std::vector<std::int32_t>{2, 0, 0}));
}

}  // namespace

namespace {

// A network field read from a volume file: a relative path is taken from the
// network's folder; a file that cannot be read is an error at its place.
TEST(VolumeFileField, ReadsRelativeToTheNetworkAndNamesTheProblem) {
    const fs::path dir = fs::path(VELMORA_BINARY_DIR) / "test-analyze" / "VolumeFileField";
    fs::remove_all(dir);
    fs::create_directories(dir);
    velmora::app::write_netcdf((dir / "scene.nc").string(), velmora::app::synthetic_scene());
    const std::string net = (dir / "net.json").string();
    std::ofstream(net) << R"({"fields": {"radar": {"file": "scene.nc", "var": "DT"}}})";
    vhost::host().reset();
    velmora::app::build_network(velmora::app::Document::read(net));
    vhost::FieldRef radar(vhost::host().root().at("radar"));
    EXPECT_EQ(radar.dims(), (std::vector<std::int64_t>{80, 60, 20}));
    EXPECT_EQ(radar.label(0), "DT");

    // A time step is chosen by its index.
    std::ofstream(net) << R"({"fields": {"radar": {"file": "scene.nc", "var": "DT", "time": 0}}})";
    vhost::host().reset();
    EXPECT_NO_THROW(velmora::app::build_network(velmora::app::Document::read(net)));
    std::ofstream(net) << R"({"fields": {"radar": {"file": "scene.nc", "var": "DT", "time": 1}}})";
    vhost::host().reset();
    EXPECT_THROW(velmora::app::build_network(velmora::app::Document::read(net)), velmora::app::NetworkError);

    std::ofstream(net) << "{\"fields\": {\"radar\": {\"file\": \"scene.nc\",\n  \"var\": \"ZH\"}}}";
    vhost::host().reset();
    try {
        velmora::app::build_network(velmora::app::Document::read(net));
        ADD_FAILURE() << "a missing variable was accepted";
    } catch (const velmora::app::NetworkError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("net.json:1:"), std::string::npos) << m;
        EXPECT_NE(m.find("no variable \"ZH\""), std::string::npos) << m;
        EXPECT_NE(m.find("DT"), std::string::npos) << m;   // the variables there are listed
    }
    vhost::host().reset();
}

}  // namespace
