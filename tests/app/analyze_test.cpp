// The analysis end to end on the synthetic scene, whose five convective
// cells (peaks 56, 52, 48, 46 and 44 dBZ) are known, and the mapping of
// isosurface nodes onto the cells of the grid.
#include "analyze.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "field_ref.h"
#include "host.h"
#include "network.h"
#include "runner.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using velmora::app::AnalyzeOptions;

class AnalyzeTest : public ::testing::Test {
protected:
    apptest::TempDir tmp;
    fs::path dir = tmp.path() / "out";
    std::string out, err;   // what the last analysis wrote to standard output and the error stream

    void TearDown() override { vhost::host().reset(); }
    AnalyzeOptions options() {
        AnalyzeOptions o;
        o.out = dir.string();
        o.picture = false;
        return o;
    }
    int analyze(const AnalyzeOptions& o) {
        apptest::Capture e;
        testing::internal::CaptureStdout();
        const int status = velmora::app::analyze(o, e.stream(), false);
        out = testing::internal::GetCapturedStdout();
        err = e.text();
        return status;
    }
    static std::string read(const fs::path& p) { return apptest::TempDir::read(p.string()); }
};

TEST_F(AnalyzeTest, TheSyntheticSceneHasItsFiveCells) {
    AnalyzeOptions o = options();
    o.timings = true;
    ASSERT_EQ(analyze(o), 0) << err;

    // Standard output holds the table of cells and the files written, no
    // more; what the modules print (the divisions' tables) is in
    // analysis.log. Each step's time and memory went to the error stream.
    std::vector<std::string> lines;
    for (std::istringstream in(out); std::getline(in, lines.emplace_back());) {}
    lines.pop_back();
    ASSERT_EQ(lines.size(), 2u + 5u + 1u + 13u) << out;
    EXPECT_EQ(lines[0], "5 storm cells at 40 dBZ in the synthetic scene (DT), areas of more than 8 cells:");
    EXPECT_EQ(lines[1], "  cell  voxels  top km  max dBZ  volume km3  VIL kg/m2");
    EXPECT_EQ(lines[7].rfind("results in " + fs::absolute(dir).lexically_normal().string() + " (", 0), 0u) << lines[7];
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.end()),
              (std::vector<std::string>{"  network.json", "  analysis.log", "  cells.csv", "  cell_properties.csv",
                                        "  surface_cells.csv", "  cells_ijk.txt", "  radar.vti", "  isosurface.vtp",
                                        "  isovolume.vtu", "  cell_tops.vtp", "  centres.vtp", "  legend_axis.vtp",
                                        "  legend_ticks.vtp"}));
    const std::string log = read(dir / "analysis.log");
    EXPECT_NE(log.find("get_node_connect_vol.\n"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '='), 4) << "end_no and start_no of both divisions: " << log;
    for (const char* step : {"velmora: read the synthetic scene", "velmora: cellvox (CellVoxels)",
                             "velmora: column (GridColumn)", "velmora: write radar.vti"})
        EXPECT_NE(err.find(step), std::string::npos) << step << " in\n" << err;
    std::istringstream timing_lines(err);
    for (std::string l; std::getline(timing_lines, l);)
        EXPECT_TRUE(l.starts_with("velmora: ") && l.ends_with(" MB at most")) << l;
    const std::string csv = read(dir / "cells.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 6) << csv;   // a header and one line per cell
    EXPECT_TRUE(fs::exists(dir / "synthetic.nc"));

    // The cells measured on the voxels hold their peaks; the stronger a
    // cell, the higher its 40 dBZ echo reaches.
    vhost::Object& stat = vhost::host().root().at("cellstat");
    ASSERT_EQ(stat.at("nsurf").int_value(), 5);
    std::vector<std::pair<float, double>> peaks;   // (maximum, top)
    for (int i = 0; i < 5; ++i) {
        vhost::Object& e = stat.at("sparam[" + std::to_string(i) + "]");
        EXPECT_GT(e.at("npoints").int_value(), 20);
        peaks.emplace_back(vhost::floats_of(e.at("data_max"))[0], e.at("maxz").real_value());
    }
    std::sort(peaks.rbegin(), peaks.rend());
    const float want[] = {56, 52, 48, 46, 44};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NEAR(peaks[i].first, want[i], 2.5) << i;
        if (i > 0) {
            EXPECT_LE(peaks[i].second, peaks[i - 1].second) << i;
        }
    }

    // `velmora run` of the network written beside the results writes the
    // same files again (to the same paths: the first ones are put aside).
    const fs::path first = tmp.path() / "first";
    fs::create_directories(first);
    const char* const results[] = {"cells.csv", "cells_ijk.txt", "surface_cells.csv"};
    for (const char* f : results) fs::rename(dir / f, first / f);
    velmora::app::RunOptions again;
    again.network = (dir / "network.json").string();
    again.writes_anywhere = true;   // the network names the folder of the first run, not this one
    apptest::Capture run_err;
    testing::internal::CaptureStdout();
    EXPECT_EQ(velmora::app::run_network(again, run_err.stream(), false), velmora::app::run_ok);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(run_err.text(), "");
    for (const char* f : results) {
        EXPECT_FALSE(read(first / f).empty()) << f;
        EXPECT_TRUE(read(dir / f) == read(first / f)) << f;
    }
}

TEST_F(AnalyzeTest, UsageErrorsAndAnswersWithoutCells) {
    AnalyzeOptions o = options();
    o.volume = (tmp.path() / "nowhere.nc").string();
    EXPECT_EQ(analyze(o), 2);
    EXPECT_NE(err.find("nowhere.nc"), std::string::npos) << err;
    // A level that is no number of dBZ is refused before anything is read.
    for (double level : {NAN, -INFINITY, INFINITY}) {
        o.level = level;
        EXPECT_EQ(analyze(o), 2);
        EXPECT_NE(err.find("--level must be a finite reflectivity in dBZ"), std::string::npos) << err;
    }

    // No echo at the level, or no area above --min-cells: no cells, no
    // module left to complain about empty input, and none of an older run's
    // results beside the answer.
    ASSERT_EQ(analyze(options()), 0);
    ASSERT_TRUE(fs::exists(dir / "cells.csv"));
    for (const auto& [level, min_cells, says] :
         {std::tuple{70.0, 8, "0 storm cells at 70 dBZ in the synthetic scene (DT): no echo reaches the level (highest 56.5)."},
          std::tuple{40.0, 100000, "0 storm cells at 40 dBZ in the synthetic scene (DT): every area has at most 100000 cells"}}) {
        o = options();
        o.level = level;
        o.min_cells = min_cells;
        EXPECT_EQ(analyze(o), 0);
        EXPECT_NE(out.find(says), std::string::npos) << out;
        EXPECT_EQ(err, "");
        EXPECT_TRUE(vhost::host().messages().empty());
        for (const char* gone : {"cells.csv", "cells_ijk.txt", "radar.vti", ".velmora-partial"})
            EXPECT_FALSE(fs::exists(dir / gone)) << gone;
    }

    // Every voxel at the level: no surface to extract, one cell filling the
    // volume, and nothing reported.
    velmora::app::Volume v;
    v.name = "DT";
    v.x = {0, 1, 2, 3};
    v.y = {0, 1, 2};
    v.z = {0.5f, 1.0f};
    v.values.assign(24, 50.0f);
    velmora::app::write_netcdf(tmp.file("full.nc"), v);
    o = options();
    o.volume = tmp.file("full.nc");
    EXPECT_EQ(analyze(o), 0);
    EXPECT_NE(out.find("1 storm cell at 40 dBZ in full.nc (DT)"), std::string::npos) << out;
    EXPECT_NE(out.find("     1      24     1.0     50.0        12.0        2.5"), std::string::npos) << out;
    EXPECT_EQ(err, "");
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
    // The first node's cell has both voxels: the 50 dBZ one wins; the second
    // has none inside; the third lies beyond the grid and is clamped into
    // its last cell, where nothing is inside.
    EXPECT_EQ(velmora::app::cells_of_surface(v, v.values, grid_no, xyz, 40.0), (std::vector<std::int32_t>{2, 0, 0}));
}

// A network field read from a volume file: a relative path is taken from the
// network's folder; a file that cannot be read is an error at its place.
TEST(VolumeFileField, ReadsRelativeToTheNetworkAndNamesTheProblem) {
    apptest::TempDir dir;
    velmora::app::write_netcdf(dir.file("scene.nc"), velmora::app::synthetic_scene());
    auto build = [&](const std::string& text) {
        vhost::host().reset();
        velmora::app::build_network(velmora::app::Document::read(dir.write("net.json", text)));
    };
    build(R"({"fields": {"radar": {"file": "scene.nc", "var": "DT"}}})");
    vhost::FieldRef radar(vhost::host().root().at("radar"));
    EXPECT_EQ(radar.dims(), (std::vector<std::int64_t>{80, 60, 20}));
    EXPECT_EQ(radar.label(0), "DT");
    // A time step is chosen by its index.
    EXPECT_NO_THROW(build(R"({"fields": {"radar": {"file": "scene.nc", "var": "DT", "time": 0}}})"));
    EXPECT_THROW(build(R"({"fields": {"radar": {"file": "scene.nc", "var": "DT", "time": 1}}})"),
                 velmora::app::NetworkError);
    try {
        build("{\"fields\": {\"radar\": {\"file\": \"scene.nc\",\n  \"var\": \"ZH\"}}}");
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
