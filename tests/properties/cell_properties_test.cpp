// The cell properties against closed forms: a cylinder of uniform
// reflectivity, a column tilted by a known angle, uneven level spacing, a
// cell at the corner and top of the grid, missing voxels inside a cell; and
// the division of a cell at its cores.
#include "properties/cell_properties.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "properties/core_split.h"
#include "temp_files.h"

namespace {

using velmora::app::CellProperties;
using velmora::app::PropertyTable;
using velmora::app::Volume;

constexpr double kNaN = NAN;
// Z^(4/7) of 50 dBZ: (10^5)^(4/7).
const double kZ47At50 = std::pow(10.0, 20.0 / 7.0);

// A grid with a background reflectivity and the cell of every voxel.
struct Scene {
    Volume axes;
    std::vector<float> values;
    std::vector<std::int32_t> labels;

    Scene(std::vector<float> x, std::vector<float> y, std::vector<float> z, float background) {
        axes.x = std::move(x);
        axes.y = std::move(y);
        axes.z = std::move(z);
        axes.has_null = true;
        axes.null_value = -9999.0f;
        values.assign(size(), background);
        labels.assign(size(), 0);
    }
    std::size_t size() const { return axes.x.size() * axes.y.size() * axes.z.size(); }
    std::size_t at(std::size_t i, std::size_t j, std::size_t k) const {
        return i + axes.x.size() * (j + axes.y.size() * k);
    }
    void set(std::size_t i, std::size_t j, std::size_t k, float v, std::int32_t cell) {
        values[at(i, j, k)] = v;
        labels[at(i, j, k)] = cell;
    }
    PropertyTable measure(std::vector<double> levels = {18, 30, 40, 50, 55}) const {
        return velmora::app::measure_cells(axes, labels, values, levels);
    }
};

std::vector<float> axis(int n, float first, float step) {
    std::vector<float> a;
    for (int i = 0; i < n; ++i) a.push_back(first + step * static_cast<float>(i));
    return a;
}

// Every property of a cell against its expected value, within 1e-5
// relative; NaN expects a missing value.
struct Expect {
    const char* name;
    double actual, expected;
};
void expect_all(const std::vector<Expect>& rows) {
    for (const auto& [name, actual, expected] : rows) {
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(actual)) << name << " = " << actual;
        } else {
            EXPECT_NEAR(actual, expected, 1e-5 * std::max(1.0, std::fabs(expected))) << name;
        }
    }
}

std::vector<Expect> all_of(const CellProperties& p) {
    return {{"voxels", double(p.voxels), 0},         {"volume_km3", p.volume_km3, 0},
            {"area_km2", p.area_km2, 0},             {"base_km", p.base_km, 0},
            {"top_km", p.top_km, 0},                 {"echo_top_18_km", p.echo_top_km[0], 0},
            {"echo_top_30_km", p.echo_top_km[1], 0}, {"echo_top_40_km", p.echo_top_km[2], 0},
            {"echo_top_50_km", p.echo_top_km[3], 0}, {"echo_top_55_km", p.echo_top_km[4], 0},
            {"max_dbz", p.max_dbz, 0},               {"max_dbz_height_km", p.max_dbz_height_km, 0},
            {"mean_dbz", p.mean_dbz, 0},             {"x_km", p.x_km, 0},
            {"y_km", p.y_km, 0},                     {"z_km", p.z_km, 0},
            {"wx_km", p.wx_km, 0},                   {"wy_km", p.wy_km, 0},
            {"wz_km", p.wz_km, 0},                   {"vil_kg_m2", p.vil_kg_m2, 0},
            {"mass_kt", p.mass_kt, 0},               {"tilt_deg", p.tilt_deg, 0},
            {"tilt_dir_deg", p.tilt_dir_deg, 0}};
}

// The expected values, in the order of all_of.
void expect_cell(const CellProperties& p, const std::vector<double>& want) {
    std::vector<Expect> rows = all_of(p);
    ASSERT_EQ(rows.size(), want.size());
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i].expected = want[i];
    expect_all(rows);
}

// A cylinder of radius 3 km of 50 dBZ on a 1 km grid, levels 0.5 km apart,
// from 1.5 to 5 km (8 levels), in 10 dBZ: 29 columns (the lattice points of
// a disc of radius 3, Gauss's circle problem).
Scene cylinder() {
    Scene s(axis(21, 0, 1), axis(21, 0, 1), axis(20, 0.5f, 0.5f), 10.0f);
    for (std::size_t k = 2; k <= 9; ++k)
        for (std::size_t j = 0; j < 21; ++j)
            for (std::size_t i = 0; i < 21; ++i)
                if ((i - 10.0) * (i - 10.0) + (j - 10.0) * (j - 10.0) <= 9.0) s.set(i, j, k, 50.0f, 1);
    return s;
}

TEST(CellProperties, UniformCylinder) {
    const PropertyTable t = cylinder().measure();
    ASSERT_EQ(t.cells.size(), 1u);
    const double columns = 29, height_m = 8 * 500.0, volume = columns * 1 * 1 * 0.5 * 8;
    // The echo of a level below 50 ends between the top (50 dBZ) and the
    // 10 dBZ above it: 5 + (50 - L) / (50 - 10) * 0.5 km.
    const auto top = [](double level) { return 5.0 + (50.0 - level) / 40.0 * 0.5; };
    expect_cell(t.cells[0], {29 * 8, volume, columns, 1.5, 5.0, top(18), top(30), top(40), 5.0, kNaN, 50, 1.5, 50, 10,
                             10, 3.25, 10, 10, 3.25, 3.44e-6 * kZ47At50 * height_m, 3.44e-3 * kZ47At50 * volume, 0, kNaN});
    EXPECT_EQ(t.cells[0].cell, 1);
    EXPECT_EQ(t.cells[0].parent, 1);
}

TEST(CellProperties, MissingVoxelsInsideAreNeverCounted) {
    // Three voxels of the axis of the cylinder missing, labelled or not:
    // the column through them loses their water, the others keep theirs.
    for (const std::int32_t label : {0, 1}) {
        Scene s = cylinder();
        for (std::size_t k : {4, 5, 6}) s.set(10, 10, k, s.axes.null_value, label);
        s.values[s.at(10, 11, 5)] = NAN;   // not finite: missing too
        s.labels[s.at(10, 11, 5)] = label;
        const PropertyTable t = s.measure();
        ASSERT_EQ(t.cells.size(), 1u);
        const double volume = (29 * 8 - 4) * 0.5;
        const auto top = [](double level) { return 5.0 + (50.0 - level) / 40.0 * 0.5; };
        // The holes lie on the axis x = 10, and symmetric about z = 3.25
        // except the one at y = 11, z = 3.
        const double sy = (29 * 8 * 10.0 - 3 * 10 - 11) / (29 * 8 - 4);
        const double sz = (29 * 8 * 3.25 - 2.5 - 3.0 - 3.5 - 3.0) / (29 * 8 - 4);
        expect_cell(t.cells[0], {29 * 8 - 4, volume, 29, 1.5, 5.0, top(18), top(30), top(40), 5.0, kNaN, 50, 1.5, 50, 10,
                                 sy, sz, 10, sy, sz, 3.44e-6 * kZ47At50 * 4000.0, 3.44e-3 * kZ47At50 * volume, 0, kNaN});
    }
}

TEST(CellProperties, TiltedColumn) {
    // A 3 x 3 km column rising 0.5 km per level over 6 levels, moving 1 km
    // east and 1 km south at each: tilted atan(sqrt 2 / 0.5) from the
    // vertical towards the south-east (135 degrees). Each level adds 5
    // columns to the 9 of the first; a column holds the cell on at most 3
    // levels (1.5 km of it).
    Scene s(axis(12, 0, 1), axis(12, 0, 1), axis(8, 1.0f, 0.5f), 0.0f);
    const int levels = 6;
    for (int k = 0; k < levels; ++k)
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i) s.set(std::size_t(1 + k + i), std::size_t(8 - k + j), std::size_t(k), 50.0f, 4);
    const PropertyTable t = s.measure();
    ASSERT_EQ(t.cells.size(), 1u);
    const double rise = 0.5 * (levels - 1), run = std::sqrt(2.0) * (levels - 1);
    const double x = 2 + (levels - 1) / 2.0, y = 9 - (levels - 1) / 2.0, z = 1.0 + 0.5 * (levels - 1) / 2.0;
    const auto top = [](double level) { return 3.5 + (50.0 - level) / 50.0 * 0.5; };
    expect_cell(t.cells[0], {9 * levels, 9 * 0.5 * levels, 9 + 5 * (levels - 1), 1.0, 3.5, top(18), top(30), top(40),
                             3.5, kNaN, 50, 1.0, 50, x, y, z, x, y, z, 3.44e-6 * kZ47At50 * 1500.0,
                             3.44e-3 * kZ47At50 * 9 * 0.5 * levels, std::atan2(run, rise) * 180 / M_PI, 135});
    EXPECT_EQ(t.cells[0].cell, 4);
}

TEST(CellProperties, UnevenLevels) {
    // One column of a cell on levels 1..4 of unevenly spaced heights;
    // extents half the spacing to either neighbour: 0.75, 1.25, 1.75 and
    // 2.25 km. 20 dBZ above the cell.
    Scene s(axis(3, 0, 2), axis(3, 0, 2), {0.5f, 1.0f, 2.0f, 3.5f, 5.5f, 8.0f}, 20.0f);
    const float dbz[] = {45, 50, 48, 42};
    for (std::size_t k = 0; k < 4; ++k) s.set(1, 1, k + 1, dbz[k], 2);
    const PropertyTable t = s.measure({40, 45, 50});
    ASSERT_EQ(t.cells.size(), 1u);
    const CellProperties& p = t.cells[0];
    // Column area 2 x 2 km, depth 6 km; means weighted by each level's depth.
    expect_all({{"volume_km3", p.volume_km3, 24},
                {"area_km2", p.area_km2, 4},
                {"top_km", p.top_km, 5.5},
                // 42 dBZ at 5.5 km, 20 above at 8 km.
                {"echo_top_40_km", p.echo_top_km[0], 5.5 + (42.0 - 40) / (42 - 20) * 2.5},
                // 48 at 3.5 km, 42 above at 5.5 km.
                {"echo_top_45_km", p.echo_top_km[1], 3.5 + (48.0 - 45) / (48 - 42) * 2.0},
                {"echo_top_50_km", p.echo_top_km[2], 2.0},
                {"max_dbz_height_km", p.max_dbz_height_km, 2.0},
                {"mean_dbz", p.mean_dbz, 46.913684},
                {"z_km", p.z_km, 3.625},
                {"wz_km", p.wz_km, 2.9047637},
                {"vil_kg_m2", p.vil_kg_m2, 9.3306398},
                {"mass_kt", p.mass_kt, 37.322559},
                {"tilt_deg", p.tilt_deg, 0},
                {"tilt_dir_deg", p.tilt_dir_deg, kNaN}});
}

TEST(CellProperties, CellAtTheCornerAndTopOfTheGrid) {
    // A 2 x 2 column in the corner of the grid, through all 3 levels. The
    // voxels at the grid's edges reach as far out as in: 1 km wide, 0.5 km
    // deep. The echo reaches the top of the grid: its top is the top level.
    Scene s(axis(4, 0, 1), axis(4, 0, 1), axis(3, 0.5f, 0.5f), 10.0f);
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t j = 0; j < 2; ++j)
            for (std::size_t i = 0; i < 2; ++i) s.set(i, j, k, 50.0f, 1);
    const PropertyTable t = s.measure();
    ASSERT_EQ(t.cells.size(), 1u);
    expect_cell(t.cells[0], {12, 6, 4, 0.5, 1.5, 1.5, 1.5, 1.5, 1.5, kNaN, 50, 0.5, 50, 0.5, 0.5, 1.0, 0.5, 0.5, 1.0,
                             3.44e-6 * kZ47At50 * 1500, 3.44e-3 * kZ47At50 * 6, 0, kNaN});
}

TEST(CellProperties, TableAndBadInput) {
    // Two cells stacked in one column, number 3 above number 1 (2 unused),
    // a 30 dBZ gap between: the 18 and 30 dBZ echo of the lower one rises
    // through the gap and the upper cell; the 40 dBZ echo of each ends in
    // its own voxels.
    Scene s(axis(2, 0, 1), axis(2, 0, 1), axis(6, 1, 1), 0.0f);
    s.set(0, 0, 0, 45, 1);
    s.set(0, 0, 1, 45, 1);
    s.values[s.at(0, 0, 2)] = 30;
    s.set(0, 0, 3, 50, 3);
    const PropertyTable t = s.measure({18, 30, 40});
    ASSERT_EQ(t.cells.size(), 2u);
    EXPECT_EQ(t.cells[0].cell, 1);
    EXPECT_EQ(t.cells[1].cell, 3);
    expect_all({{"lower 18", t.cells[0].echo_top_km[0], 4 + (50.0 - 18) / 50},
                {"lower 30", t.cells[0].echo_top_km[1], 4 + (50.0 - 30) / 50},
                {"lower 40", t.cells[0].echo_top_km[2], 2 + (45.0 - 40) / 15},
                {"upper 40", t.cells[1].echo_top_km[2], 4 + (50.0 - 40) / 50}});

    vtest::TempDir dir;
    velmora::app::write_properties_csv(dir.file("p.csv"), t);
    const std::string csv = vtest::TempDir::read(dir.file("p.csv"));
    EXPECT_EQ(csv.substr(0, csv.find('\n')),
              "cell,parent,voxels,volume_km3,area_km2,base_km,top_km,echo_top_18_km,echo_top_30_km,echo_top_40_km,"
              "max_dbz,max_dbz_height_km,mean_dbz,x_km,y_km,z_km,wx_km,wy_km,wz_km,vil_kg_m2,mass_kt,tilt_deg,"
              "tilt_dir_deg");
    // The upper cell is one level deep: no direction of tilt, an empty field.
    EXPECT_NE(csv.find("\n3,3,1,1,1,4,4,"), std::string::npos) << csv;
    EXPECT_EQ(csv.back(), '\n');
    EXPECT_EQ(csv[csv.size() - 2], ',') << csv;

    const std::vector<double> twice = {18, 18.0000001};
    EXPECT_THROW(velmora::app::measure_cells(s.axes, s.labels, s.values, twice), std::invalid_argument);
    EXPECT_THROW(velmora::app::measure_cells(s.axes, s.labels, s.values, std::vector<double>{NAN}), std::invalid_argument);
    EXPECT_THROW(velmora::app::measure_cells(s.axes, std::span(s.labels).first(5), s.values), std::invalid_argument);
    s.labels[0] = 1000;   // more than the 24 voxels
    EXPECT_THROW(velmora::app::measure_cells(s.axes, s.labels, s.values), std::invalid_argument);
    EXPECT_THROW(velmora::app::write_properties_csv(dir.file("no/such/folder.csv"), t), std::runtime_error);
}

// Two cores of 50 dBZ in one 40 dBZ cell, joined by a bridge of 42 dBZ five
// voxels long: a 3 x 3 x 3 core (27 voxels) and a 3 x 3 x 2 core (18).
struct TwoCores {
    Scene s{axis(16, 0, 1), axis(5, 0, 1), axis(4, 0.5f, 0.5f), 0.0f};
    velmora::app::SplitGrid grid{16, 5, 4, true, -9999.0f};
    TwoCores() {
        for (std::size_t k = 0; k < 3; ++k)
            for (std::size_t j = 1; j < 4; ++j)
                for (std::size_t i = 0; i < 3; ++i) {
                    s.set(i + 13, j, k, 50, 1);                 // the larger core, east
                    if (k < 2) s.set(i, j, k, 50, 1);           // the smaller, west
                }
        for (std::size_t i = 3; i < 8; ++i) s.set(i, 2, 0, 42, 1);   // the bridge, i = 3..7
        for (std::size_t i = 8; i < 13; ++i) s.set(i, 2, 0, 41, 1);  // its eastern half, i = 8..12
    }
    // The numbers the cell's voxels should end with: the bridge's ten voxels
    // (i = 3..12) as digits, the west core's, and the east core's by level.
    std::vector<std::int32_t> numbered(const char* bridge, std::int32_t west, const char* east) const {
        std::vector<std::int32_t> l = s.labels;
        for (std::size_t p = 0; p < l.size(); ++p) {
            const std::size_t i = p % 16, k = p / 80;
            if (l[p]) l[p] = i < 3 ? west : i > 12 ? east[k] - '0' : bridge[i - 3] - '0';
        }
        return l;
    }
};

TEST(CoreSplit, TwoCoresJoinedByABridge) {
    // The bridge is 10 voxels from core to core: each core takes the 5 it
    // reaches first. The larger core keeps the number; the other is 2.
    struct Case {
        std::vector<double> levels;
        int min_core;
        const char *bridge, *east;
        std::int32_t west;
        std::vector<std::int32_t> parent;
        bool peaks = false;
    };
    const std::vector<Case> cases = {
        {{45}, 8, "2222211111", "111", 2, {0, 1, 1}},
        {{45}, 19, "1111111111", "111", 1, {0, 1}},   // the smaller core is too small
        // At 41.5 the west core holds the western half of the bridge; of the
        // eastern half, the middle voxel, as far from both, goes to core 1.
        {{41.5}, 8, "2222222111", "111", 2, {0, 1, 1}},
        {{45, 49}, 8, "2222211111", "111", 2, {0, 1, 1}},   // nothing more divides at 49
        {{}, 8, "1111111111", "111", 1, {0, 1}},
        // The larger core holds two 55 dBZ regions of 9 voxels at its base and
        // top: at 55 its part divides again, the new number (3) following,
        // its parent the first cell. The 57 dBZ region (found last, as large)
        // is the new part: the middle level, one step from both, stays.
        {{45, 55}, 9, "2222211111", "113", 2, {0, 1, 1, 1}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.levels) + " min " + std::to_string(c.min_core));
        TwoCores t;
        for (std::size_t j = 1; c.peaks && j < 4; ++j)
            for (std::size_t i = 13; i < 16; ++i) {
                t.s.values[t.s.at(i, j, 0)] = 56;
                t.s.values[t.s.at(i, j, 2)] = 57;
            }
        const std::vector<std::int32_t> want = t.numbered(c.bridge, c.west, c.east);
        const auto parent = velmora::app::split_cells(t.s.labels, t.s.values, t.grid, 1, {c.levels, c.min_core});
        EXPECT_EQ(t.s.labels, want);
        EXPECT_EQ(parent, c.parent);
        // Each part measured on its own, its parent named.
        const PropertyTable p = velmora::app::measure_cells(t.s.axes, t.s.labels, t.s.values, {}, parent);
        ASSERT_EQ(p.cells.size(), c.parent.size() - 1);
        for (const CellProperties& cell : p.cells) {
            EXPECT_EQ(cell.parent, 1);
            EXPECT_EQ(cell.voxels, std::ranges::count(want, cell.cell));
        }
    }
}

TEST(CoreSplit, BadInput) {
    TwoCores bad;
    using velmora::app::split_cells;
    EXPECT_THROW(split_cells(bad.s.labels, bad.s.values, bad.grid, 1, {{45, 45}, 8}), std::invalid_argument);
    EXPECT_THROW(split_cells(bad.s.labels, bad.s.values, bad.grid, 1, {{NAN}, 8}), std::invalid_argument);
    EXPECT_THROW(split_cells(bad.s.labels, bad.s.values, bad.grid, 1, {{45}, 0}), std::invalid_argument);
    EXPECT_THROW(split_cells(std::span(bad.s.labels).first(3), bad.s.values, bad.grid, 1, {{45}, 8}),
                 std::invalid_argument);
    bad.s.labels[0] = -2;
    EXPECT_THROW(split_cells(bad.s.labels, bad.s.values, bad.grid, 1, {{45}, 8}), std::invalid_argument);
}

}  // namespace
