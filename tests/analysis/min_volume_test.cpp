// Cells left out by their volume: the sieve on crafted grids (uniform and
// uneven spacing, the renumbering, numbers out of range), and on the real
// volumes: the Den Helder clutter and the KLIX clutter line left out, the
// large CPOL cells kept; every result of velmora analyze agrees on the cells.
#include "analysis/min_volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "analysis/analyze.h"
#include "analysis/cell_analysis.h"
#include "app_test.h"
#include "host.h"

namespace {

namespace fs = std::filesystem;
using velmora::CellSieve;
using velmora::sieve_cells;
using velmora::Volume;

const std::string kData = std::string(VELMORA_SOURCE_DIR) + "/../shared/data/";
const std::string kCpol = kData + "cpol_200601200050.nc";
const std::string kKnmi = kData + "odim_nldhl_201106101140.h5";
const std::string kKlix = kData + "nexrad2_klix_200508281801.gz";

Volume axes(std::vector<float> x, std::vector<float> y, std::vector<float> z) {
    Volume v;
    v.x = std::move(x);
    v.y = std::move(y);
    v.z = std::move(z);
    return v;
}

TEST(SieveCells, LeavesOutSmallCellsAndNumbersTheRestWithoutGaps) {
    // 4 x 2 x 2 voxels of 1 x 1 x 0.5 km (0.5 km³): cell 1 of one voxel,
    // cell 2 of six, cell 3 of two, number 4 unused.
    const Volume v = axes({0, 1, 2, 3}, {0, 1}, {0.5f, 1.0f});
    std::vector<std::int32_t> labels = {1, 0, 2, 2, 3, 0, 2, 2,    // z = 0.5
                                        0, 0, 2, 2, 3, 0, 0, 0};   // z = 1
    const CellSieve s = sieve_cells(labels, v, 4, 1.0);
    EXPECT_EQ(s.found, 3);
    EXPECT_EQ(s.dropped, 1);
    EXPECT_EQ(s.kept(), 2);
    EXPECT_EQ(labels, (std::vector<std::int32_t>{0, 0, 1, 1, 2, 0, 1, 1, 0, 0, 1, 1, 2, 0, 0, 0}));
    EXPECT_EQ(velmora::sieve_text(s, 1.0), "3 cells found, 2 kept: 1 smaller than 1 km³");
}

TEST(SieveCells, KeepsEveryCellAtZeroAndNumbersStay) {
    const Volume v = axes({0, 1}, {0, 1}, {0.5f, 1.0f});
    std::vector<std::int32_t> labels = {1, 0, 0, 2, 0, 0, 0, 2};
    const auto before = labels;
    const CellSieve s = sieve_cells(labels, v, 2, 0.0);
    EXPECT_EQ(s.found, 2);
    EXPECT_EQ(s.dropped, 0);
    EXPECT_EQ(labels, before);
    EXPECT_EQ(velmora::sieve_text(s, 0.0), "");
}

TEST(SieveCells, UnevenLevelsSumTheVoxelsVolumes) {
    // Levels at 0.5, 1, 3 km: extents 0.5, 1.25, 2 km; voxels 1 x 1 km.
    // Cell 1 at the top level holds 2 km³, cell 2 at the bottom 0.5 km³.
    const Volume v = axes({0, 1}, {0}, {0.5f, 1.0f, 3.0f});
    std::vector<std::int32_t> labels = {2, 0, 0, 0, 1, 0};
    CellSieve s = sieve_cells(labels, v, 2, 1.9);
    EXPECT_EQ(s.dropped, 1);
    EXPECT_EQ(labels, (std::vector<std::int32_t>{0, 0, 0, 0, 1, 0}));
    labels = {2, 0, 0, 0, 1, 0};
    s = sieve_cells(labels, v, 2, 2.1);
    EXPECT_EQ(s.dropped, 2);
    EXPECT_EQ(s.kept(), 0);
    EXPECT_TRUE(std::all_of(labels.begin(), labels.end(), [](std::int32_t n) { return n == 0; }));
}

TEST(SieveCells, RefusesNumbersItWasNotToldOfAndSizesThatDoNotFit) {
    const Volume v = axes({0, 1}, {0}, {0.5f});
    std::vector<std::int32_t> labels = {1, 3};
    EXPECT_THROW(sieve_cells(labels, v, 2, 1.0), std::invalid_argument);
    std::vector<std::int32_t> short_labels = {1};
    EXPECT_THROW(sieve_cells(short_labels, v, 1, 1.0), std::invalid_argument);
    EXPECT_EQ(velmora::min_volume_problem(-1.0), "the least volume of a cell must be a finite number of km³, 0 or more");
    EXPECT_EQ(velmora::min_volume_problem(NAN), velmora::min_volume_problem(-1.0));
    EXPECT_EQ(velmora::min_volume_problem(0.0), "");
}

// The voxels of the cells of an analysis of path at 40 dBZ with the least
// volume given.
velmora::AnalysisResult analyzed(const std::string& path, double min_volume) {
    velmora::AnalysisSettings s;
    s.min_volume_km3 = min_volume;
    return velmora::analyze_file(path, velmora::kOnlyTime, velmora::max_volume_nodes, s);
}

std::vector<int> voxels_of(const velmora::AnalysisResult& r) {
    std::vector<int> v;
    for (const auto& c : r.cells) v.push_back(c.voxels);
    return v;
}

TEST(MinVolumeOnRealVolumes, DenHelderClutterIsLeftOut) {
    if (!fs::exists(kKnmi)) GTEST_SKIP() << "real ODIM volume absent: " << kKnmi;
    const auto all = analyzed(kKnmi, 0.0);
    ASSERT_EQ(all.cells.size(), 6u);
    // The clutter: 3 to 6 voxels each (1.5 to 3 km³), four of them at most 1 km high.
    int clutter = 0, low = 0;
    for (const auto& c : all.cells)
        if (c.voxels <= 6) {
            ++clutter;
            low += c.top_km <= 1.0f;
        }
    EXPECT_EQ(clutter, 5);
    EXPECT_EQ(low, 4);
    // The default leaves every one out, the wisp of rain (7.5 km³) too.
    const auto kept = analyzed(kKnmi, velmora::kDefaultMinVolumeKm3);
    EXPECT_EQ(kept.outcome, velmora::AnalysisResult::Outcome::NothingKept);
    EXPECT_EQ(kept.sieve.found, 6);
    EXPECT_EQ(kept.sieve.dropped, 6);
    EXPECT_TRUE(kept.cells.empty());
    // Below it, the rain alone is kept, numbered 1.
    const auto rain = analyzed(kKnmi, 5.0);
    EXPECT_EQ(rain.sieve.dropped, 5);
    ASSERT_EQ(rain.cells.size(), 1u);
    EXPECT_EQ(rain.cells[0].no, 1);
    EXPECT_EQ(rain.cells[0].voxels, 15);
    ASSERT_EQ(rain.properties.cells.size(), 1u);
    EXPECT_EQ(rain.properties.cells[0].volume_km3, 7.5);
    EXPECT_EQ(std::count(rain.labels.begin(), rain.labels.end(), 1), 15);
    EXPECT_EQ(*std::max_element(rain.labels.begin(), rain.labels.end()), 1);
}

TEST(MinVolumeOnRealVolumes, CpolKeepsItsLargeCells) {
    if (!fs::exists(kCpol)) GTEST_SKIP() << "real CPOL volume absent: " << kCpol;
    const auto r = analyzed(kCpol, velmora::kDefaultMinVolumeKm3);
    const std::vector<int> voxels = voxels_of(r);
    for (int large : {3098, 1427, 183, 174})
        EXPECT_NE(std::find(voxels.begin(), voxels.end(), large), voxels.end()) << large;
    EXPECT_EQ(r.sieve.found, 16);
    for (const auto& p : r.properties.cells) EXPECT_GE(p.volume_km3, velmora::kDefaultMinVolumeKm3) << p.cell;
    // Numbered 1.. without gaps.
    for (std::size_t i = 0; i < r.cells.size(); ++i) EXPECT_EQ(r.cells[i].no, static_cast<int>(i) + 1);
}

TEST(MinVolumeOnRealVolumes, KlixClutterLineIsLeftOut) {
    if (!fs::exists(kKlix)) GTEST_SKIP() << "real NEXRAD volume absent: " << kKlix;
    const auto r = analyzed(kKlix, velmora::kDefaultMinVolumeKm3);
    EXPECT_GT(r.sieve.dropped, 0);
    for (const auto& p : r.properties.cells) EXPECT_GE(p.volume_km3, velmora::kDefaultMinVolumeKm3) << p.cell;
    EXPECT_EQ(r.cells.size(), r.properties.cells.size());
}

std::vector<std::string> lines_of_file(const fs::path& p) {
    std::ifstream in(p);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// The first field of each line after the header.
std::vector<std::string> first_fields(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (std::size_t i = 1; i < lines.size(); ++i) out.push_back(lines[i].substr(0, lines[i].find(',')));
    return out;
}

// velmora analyze on the KNMI volume into tmp/out without pictures: its
// status, standard output and messages.
struct KnmiRun {
    int status;
    std::string out, err;
};
KnmiRun analyze_knmi(const vtest::TempDir& tmp, double min_volume_km3) {
    velmora::AnalyzeOptions o;
    o.volume = kKnmi;
    o.out = (tmp.path() / "out").string();
    o.picture = false;
    o.min_volume_km3 = min_volume_km3;
    vtest::Capture e;
    velmora::AnalysisSummary summary;
    const int status = velmora::analyze(o, e.stream(), summary);
    const std::string out = summary.text;
    vhost::host().reset();
    return {status, out, e.text()};
}

TEST(MinVolumeOnRealVolumes, EveryResultOfAnalyzeHoldsTheKeptCells) {
    if (!fs::exists(kKnmi)) GTEST_SKIP() << "real ODIM volume absent: " << kKnmi;
    vtest::TempDir tmp;
    const auto [status, out, err] = analyze_knmi(tmp, 5.0);
    ASSERT_EQ(status, 0) << err;
    EXPECT_EQ(out.substr(0, out.find('\n')),
              "1 storm cell at 40 dBZ in odim_nldhl_201106101140.h5 (DBZH), areas of more than 8 tetrahedra and at least "
              "5 km³ (6 cells found, 1 kept: 5 smaller than 5 km³):");
    const fs::path dir = tmp.path() / "out";
    EXPECT_EQ(first_fields(lines_of_file(dir / "cells.csv")), std::vector<std::string>{"1"});
    EXPECT_EQ(first_fields(lines_of_file(dir / "cell_properties.csv")), std::vector<std::string>{"1"});
    // cells_ijk.txt: the number of each cell on a line of its own, then its voxels.
    std::vector<std::string> numbers;
    for (const std::string& l : lines_of_file(dir / "cells_ijk.txt")) {
        std::istringstream in(l);
        std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
        if (words.size() == 1) numbers.push_back(words[0]);
    }
    EXPECT_EQ(numbers, std::vector<std::string>{"1"});
}

TEST(MinVolumeOnRealVolumes, AllLeftOutSaysWhy) {
    if (!fs::exists(kKnmi)) GTEST_SKIP() << "real ODIM volume absent: " << kKnmi;
    vtest::TempDir tmp;
    const auto [status, out, err] = analyze_knmi(tmp, velmora::kDefaultMinVolumeKm3);
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(out, "0 storm cells at 40 dBZ in odim_nldhl_201106101140.h5 (DBZH): 6 cells found, 0 kept: 6 smaller than "
                   "10 km³ (--min-volume).\n");
}

}  // namespace
