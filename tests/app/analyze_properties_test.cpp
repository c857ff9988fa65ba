// The cell properties and the division of cells at their cores through the
// whole analysis: cell_properties.csv beside cells.csv, the parts in every
// result, the options' checks.
#include <gtest/gtest.h>

#include <sstream>

#include "analyze.h"
#include "cell_analysis.h"
#include "host.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using velmora::app::AnalyzeOptions;

std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        auto& row = rows.emplace_back();
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, ',');) row.push_back(f);
    }
    return rows;
}

// One 40 dBZ cell of two 50 dBZ cores, 27 and 18 voxels, joined by a bridge
// of ten weaker voxels, in 0 dBZ; 1 km apart, levels 0.5 km apart.
velmora::app::Volume two_cores() {
    velmora::app::Volume v;
    v.name = "DT";
    for (int i = 0; i < 16; ++i) v.x.push_back(float(i));
    for (int j = 0; j < 5; ++j) v.y.push_back(float(j));
    for (int k = 0; k < 4; ++k) v.z.push_back(0.5f + 0.5f * float(k));
    v.values.assign(16 * 5 * 4, 0.0f);
    const auto at = [](int i, int j, int k) { return std::size_t(i + 16 * (j + 5 * k)); };
    for (int k = 0; k < 3; ++k)
        for (int j = 1; j < 4; ++j)
            for (int i = 0; i < 3; ++i) {
                v.values[at(i + 13, j, k)] = 50;
                if (k < 2) v.values[at(i, j, k)] = 50;
            }
    for (int i = 3; i < 13; ++i) v.values[at(i, 2, 0)] = 42;
    return v;
}

class AnalyzeProperties : public ::testing::Test {
protected:
    apptest::TempDir tmp;
    fs::path dir = tmp.path() / "out";
    std::string out, err;

    void TearDown() override { vhost::host().reset(); }
    AnalyzeOptions options(const std::string& volume = "") {
        AnalyzeOptions o;
        o.volume = volume;
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
    std::vector<std::vector<std::string>> rows(const char* file) { return csv_rows(apptest::TempDir::read((dir / file).string())); }
};

TEST_F(AnalyzeProperties, OneRowPerCellBesideCellsCsv) {
    ASSERT_EQ(analyze(options()), 0) << err;
    const auto cells = rows("cells.csv"), props = rows("cell_properties.csv");
    ASSERT_EQ(props.size(), cells.size());
    ASSERT_EQ(props[0].size(), 24u);   // 20 columns and the four echo tops
    EXPECT_EQ(props[0][7], "echo_top_18_km");
    for (std::size_t r = 1; r < props.size(); ++r) {
        EXPECT_EQ(props[r][0], cells[r][0]);   // the number
        EXPECT_EQ(props[r][1], cells[r][0]);   // its own parent
        EXPECT_EQ(props[r][2], cells[r][1]);   // the voxels
    }
    EXPECT_NE(out.find("  cell  voxels  top km  max dBZ  volume km3  VIL kg/m2\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  cell_properties.csv\n"), std::string::npos) << out;

    // Other echo tops name other columns; bad levels are refused.
    AnalyzeOptions o = options();
    o.echo_tops = {45, 17.5};
    ASSERT_EQ(analyze(o), 0) << err;
    EXPECT_EQ(rows("cell_properties.csv")[0][7], "echo_top_45_km");
    EXPECT_EQ(rows("cell_properties.csv")[0][8], "echo_top_17.5_km");
    const std::vector<std::pair<AnalyzeOptions, std::string>> refused = [&] {
        std::vector<std::pair<AnalyzeOptions, std::string>> r;
        AnalyzeOptions a = options();
        a.echo_tops = {30, 30};
        r.emplace_back(a, "velmora analyze: --echo-tops: the echo-top level 30 dBZ is given twice\n");
        a = options();
        a.split.levels = {40};
        r.emplace_back(a, "velmora analyze: --split-levels: the split levels must lie above the level of the cells, 40 dBZ\n");
        a.split.levels = {45, 45};
        r.emplace_back(a, "velmora analyze: --split-levels: the split levels must rise, each above the one before\n");
        a.split.levels = {45};
        a.split.min_core = 0;
        r.emplace_back(a, "velmora analyze: --min-core: a core must have at least 1 voxel\n");
        return r;
    }();
    for (const auto& [bad, message] : refused) {
        EXPECT_EQ(analyze(bad), 2);
        EXPECT_EQ(err, message);
    }
}

TEST_F(AnalyzeProperties, DividedCellsInEveryResult) {
    velmora::app::write_netcdf(tmp.file("two.nc"), two_cores());
    AnalyzeOptions o = options(tmp.file("two.nc"));
    ASSERT_EQ(analyze(o), 0) << err;
    EXPECT_EQ(rows("cells.csv").size(), 2u);
    const std::string ijk_whole = apptest::TempDir::read((dir / "cells_ijk.txt").string());

    // At 45 dBZ the cell divides: the larger core keeps number 1 with half
    // the bridge, the smaller is number 2 with the other half.
    o.split.levels = {45};
    o.timings = true;
    ASSERT_EQ(analyze(o), 0) << err;
    EXPECT_NE(err.find("velmora: split cells (45 dBZ)"), std::string::npos) << err;
    const auto cells = rows("cells.csv"), props = rows("cell_properties.csv");
    ASSERT_EQ(cells.size(), 3u);
    EXPECT_EQ(cells[1][0] + " " + cells[1][1] + " " + cells[2][0] + " " + cells[2][1], "1 32 2 23");
    ASSERT_EQ(props.size(), 3u);
    EXPECT_EQ(props[1][0] + " " + props[1][1] + " " + props[1][2], "1 1 32");
    EXPECT_EQ(props[2][0] + " " + props[2][1] + " " + props[2][2], "2 1 23");
    EXPECT_NE(apptest::TempDir::read((dir / "cells_ijk.txt").string()), ijk_whole);
    EXPECT_NE(out.find("2 storm cells at 40 dBZ"), std::string::npos) << out;

    // In memory the same parts, every voxel of the cell in one of them.
    velmora::app::Volume axes = two_cores();
    const std::vector<float> values(axes.values.begin(), axes.values.end());
    velmora::app::AnalysisSettings s;
    s.split.levels = {45};
    const auto r = velmora::app::analyze_values(axes, values, s);
    EXPECT_EQ(std::count(r.labels.begin(), r.labels.end(), 1), 32);
    EXPECT_EQ(std::count(r.labels.begin(), r.labels.end(), 2), 23);
    ASSERT_EQ(r.properties.cells.size(), 2u);
    EXPECT_EQ(r.properties.cells[1].parent, 1);
    EXPECT_EQ(r.cells.size(), 2u);
    EXPECT_EQ(vhost::host().outstanding_arrays(), 0);
    s.split.levels = {35};
    EXPECT_THROW(velmora::app::analyze_values(axes, values, s), std::invalid_argument);
}

}  // namespace
