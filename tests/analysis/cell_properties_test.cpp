// The cell properties against closed forms on small scenes, and the division of a cell at its cores.
#include "analysis/cell_properties.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "analysis/core_split.h"
#include "temp_files.h"

namespace {

using velmora::CellProperties;
using velmora::PropertyTable;
using velmora::Volume;

constexpr double kNaN = NAN;
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
        return velmora::measure_cells(axes, labels, values, levels);
    }
};

std::vector<float> axis(int n, float first, float step) {
    std::vector<float> a;
    for (int i = 0; i < n; ++i) a.push_back(first + step * static_cast<float>(i));
    return a;
}

// A property against its expected value, within 1e-5 relative; NaN expects a missing value.
void expect_near(const std::string& name, double actual, double expected) {
    if (std::isnan(expected))
        EXPECT_TRUE(std::isnan(actual)) << name << " = " << actual;
    else
        EXPECT_NEAR(actual, expected, 1e-5 * std::max(1.0, std::fabs(expected))) << name;
}

// Every column of the table's only cell against the expected values, in the order of cell_properties.csv;
// the rotation's columns, there in every table, empty without a velocity.
void expect_cell(const PropertyTable& t, const std::vector<double>& want) {
    ASSERT_EQ(t.cells.size(), 1u);
    auto columns = velmora::property_columns(t);
    const auto rotation = std::find_if(columns.begin(), columns.end(), [](const auto& c) { return c.name == "azshear_low_s1"; });
    ASSERT_GE(columns.end() - rotation, 7);
    for (auto c = rotation; c != rotation + 7; ++c) EXPECT_TRUE(std::isnan(c->values[0])) << c->name;
    EXPECT_EQ((rotation + 6)->name, "top_divergence_s1");
    columns.erase(rotation, rotation + 7);
    ASSERT_EQ(columns.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) expect_near(columns[i].name, columns[i].values[0], want[i]);
}

// A cylinder of radius 3 km of 50 dBZ on a 1 km grid from 1.5 to 5 km (8 levels 0.5 km apart), in 10 dBZ:
// 29 columns (the lattice points of a disc of radius 3, Gauss's circle problem).
Scene cylinder() {
    Scene s(axis(21, 0, 1), axis(21, 0, 1), axis(20, 0.5f, 0.5f), 10.0f);
    for (std::size_t k = 2; k <= 9; ++k)
        for (std::size_t j = 0; j < 21; ++j)
            for (std::size_t i = 0; i < 21; ++i)
                if ((i - 10.0) * (i - 10.0) + (j - 10.0) * (j - 10.0) <= 9.0) s.set(i, j, k, 50.0f, 1);
    return s;
}

// The echo of a level below 50 ends between the top (50 dBZ) and the 10 dBZ above it.
double cylinder_top(double level) { return 5.0 + (50.0 - level) / 40.0 * 0.5; }

TEST(CellProperties, UniformCylinderAndMissingVoxelsInside) {
    const double whole = 29 * 0.5 * 8;
    expect_cell(cylinder().measure(), {1, 1, 29 * 8, whole, 29, 1.5, 5.0, cylinder_top(18), cylinder_top(30),
                                       cylinder_top(40), 5.0, kNaN, 50, 1.5, 50, 10, 10, 3.25, 10, 10, 3.25,
                                       3.44e-6 * kZ47At50 * 4000.0, 3.44e-3 * kZ47At50 * whole, 0, kNaN});
    // Four voxels missing, labelled or not, on the axis x = 10: three symmetric about z = 3.25, one not finite.
    for (const std::int32_t label : {0, 1}) {
        Scene s = cylinder();
        for (std::size_t k : {4, 5, 6}) s.set(10, 10, k, s.axes.null_value, label);
        s.set(10, 11, 5, NAN, label);
        const double volume = (29 * 8 - 4) * 0.5;
        const double sy = (29 * 8 * 10.0 - 3 * 10 - 11) / (29 * 8 - 4);
        const double sz = (29 * 8 * 3.25 - 2.5 - 3.0 - 3.5 - 3.0) / (29 * 8 - 4);
        expect_cell(s.measure(), {1, 1, 29 * 8 - 4, volume, 29, 1.5, 5.0, cylinder_top(18), cylinder_top(30),
                                  cylinder_top(40), 5.0, kNaN, 50, 1.5, 50, 10, sy, sz, 10, sy, sz,
                                  3.44e-6 * kZ47At50 * 4000.0, 3.44e-3 * kZ47At50 * volume, 0, kNaN});
    }
}

TEST(CellProperties, TiltedColumn) {
    // A 3 x 3 km column moving 1 km east and 1 km south per 0.5 km level over 6 levels: tilted atan(sqrt 2 / 0.5)
    // towards the south-east (135 degrees); each level adds 5 columns to the first 9.
    Scene s(axis(12, 0, 1), axis(12, 0, 1), axis(8, 1.0f, 0.5f), 0.0f);
    const int levels = 6;
    for (int k = 0; k < levels; ++k)
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i) s.set(std::size_t(1 + k + i), std::size_t(8 - k + j), std::size_t(k), 50.0f, 4);
    const double rise = 0.5 * (levels - 1), run = std::sqrt(2.0) * (levels - 1);
    const double x = 2 + (levels - 1) / 2.0, y = 9 - (levels - 1) / 2.0, z = 1.0 + 0.5 * (levels - 1) / 2.0;
    const auto top = [](double level) { return 3.5 + (50.0 - level) / 50.0 * 0.5; };
    // A column holds the cell on at most 3 levels (1.5 km of it).
    expect_cell(s.measure(), {4, 4, 9 * levels, 9 * 0.5 * levels, 9 + 5 * (levels - 1), 1.0, 3.5, top(18), top(30),
                              top(40), 3.5, kNaN, 50, 1.0, 50, x, y, z, x, y, z, 3.44e-6 * kZ47At50 * 1500.0,
                              3.44e-3 * kZ47At50 * 9 * 0.5 * levels, std::atan2(run, rise) * 180 / M_PI, 135});
}

TEST(CellProperties, UnevenLevels) {
    // One 2 x 2 km column of a cell on levels 1..4 of uneven heights, each level's depth half the spacing to
    // either neighbour (0.75, 1.25, 1.75, 2.25 km); 20 dBZ above. Means are weighted by depth.
    Scene s(axis(3, 0, 2), axis(3, 0, 2), {0.5f, 1.0f, 2.0f, 3.5f, 5.5f, 8.0f}, 20.0f);
    const float dbz[] = {45, 50, 48, 42};
    for (std::size_t k = 0; k < 4; ++k) s.set(1, 1, k + 1, dbz[k], 2);
    // Echo tops: 42 dBZ at 5.5 km under 20 at 8 km, 48 at 3.5 km under 42 at 5.5 km, and 50 at 2 km.
    expect_cell(s.measure({40, 45, 50}), {2, 2, 4, 24, 4, 1.0, 5.5, 5.5 + (42.0 - 40) / (42 - 20) * 2.5,
                                          3.5 + (48.0 - 45) / (48 - 42) * 2.0, 2.0, 50, 2.0, 46.913684, 2, 2, 3.625,
                                          2, 2, 2.9047637, 9.3306398, 37.322559, 0, kNaN});
}

TEST(CellProperties, CellAtTheCornerAndTopOfTheGrid) {
    // Edge voxels reach as far out as in (1 km wide, 0.5 km deep); an echo reaching the grid's top ends there.
    Scene s(axis(4, 0, 1), axis(4, 0, 1), axis(3, 0.5f, 0.5f), 10.0f);
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t j = 0; j < 2; ++j)
            for (std::size_t i = 0; i < 2; ++i) s.set(i, j, k, 50.0f, 1);
    expect_cell(s.measure(), {1, 1, 12, 6, 4, 0.5, 1.5, 1.5, 1.5, 1.5, 1.5, kNaN, 50, 0.5, 50, 0.5, 0.5, 1.0, 0.5,
                              0.5, 1.0, 3.44e-6 * kZ47At50 * 1500, 3.44e-3 * kZ47At50 * 6, 0, kNaN});
}

TEST(CellProperties, TableAndBadInput) {
    // Cell 3 above cell 1 in one column, a 30 dBZ gap between: the lower one's 18 and 30 dBZ echo rises through
    // the gap and the upper cell; each one's 40 dBZ echo ends in its own voxels.
    Scene s(axis(2, 0, 1), axis(2, 0, 1), axis(6, 1, 1), 0.0f);
    s.set(0, 0, 0, 45, 1);
    s.set(0, 0, 1, 45, 1);
    s.values[s.at(0, 0, 2)] = 30;
    s.set(0, 0, 3, 50, 3);
    const PropertyTable t = s.measure({18, 30, 40});
    ASSERT_EQ(t.cells.size(), 2u);
    EXPECT_EQ(t.cells[0].cell, 1);
    EXPECT_EQ(t.cells[1].cell, 3);
    expect_near("lower 18", t.cells[0].echo_top_km[0], 4 + (50.0 - 18) / 50);
    expect_near("lower 30", t.cells[0].echo_top_km[1], 4 + (50.0 - 30) / 50);
    expect_near("lower 40", t.cells[0].echo_top_km[2], 2 + (45.0 - 40) / 15);
    expect_near("upper 40", t.cells[1].echo_top_km[2], 4 + (50.0 - 40) / 50);
    vtest::TempDir dir;
    velmora::write_properties_csv(dir.file("p.csv"), t);
    const std::string csv = vtest::TempDir::read(dir.file("p.csv"));
    EXPECT_EQ(csv.substr(0, csv.find('\n')),
              "cell,parent,voxels,volume_km3,area_km2,base_km,top_km,echo_top_18_km,echo_top_30_km,echo_top_40_km,"
              "max_dbz,max_dbz_height_km,mean_dbz,x_km,y_km,z_km,wx_km,wy_km,wz_km,vil_kg_m2,mass_kt,tilt_deg,"
              "tilt_dir_deg,azshear_low_s1,azshear_low_km,azshear_mid_s1,azshear_mid_km,rotation_depth_km,rotation,"
              "top_divergence_s1,time");
    // The upper cell is one level deep: no direction of tilt; the volume has no time: empty last fields.
    EXPECT_NE(csv.find("\n3,3,1,1,1,4,4,"), std::string::npos) << csv;
    EXPECT_TRUE(csv.ends_with(",,\n")) << csv;
    // The volume's time ends every line; a velocity leaves empty what only a reflectivity gives.
    for (const char* dbz : {"", "dBZ", "DBZ", "dB(Z)", "dbz"}) EXPECT_TRUE(velmora::reflectivity_units(dbz)) << dbz;
    for (const char* other : {"m/s", "meters_per_second", "dB", "mm/h"}) EXPECT_FALSE(velmora::reflectivity_units(other)) << other;
    velmora::Volume moving = s.axes;
    moving.time = 1137718208.0;
    moving.units = "m/s";
    const PropertyTable v = velmora::measure_cells(moving, s.labels, s.values, std::vector<double>{18});
    ASSERT_EQ(v.cells.size(), 2u);
    EXPECT_FALSE(v.reflectivity);
    EXPECT_TRUE(std::isnan(v.cells[0].vil_kg_m2) && std::isnan(v.cells[0].mass_kt) && std::isnan(v.cells[0].mean_dbz) &&
                std::isnan(v.cells[0].echo_top_km[0]));
    EXPECT_EQ(v.cells[0].max_dbz, t.cells[0].max_dbz);
    EXPECT_EQ(v.cells[0].volume_km3, t.cells[0].volume_km3);
    velmora::write_properties_csv(dir.file("v.csv"), v);
    const std::string timed = vtest::TempDir::read(dir.file("v.csv"));
    EXPECT_EQ(std::count(timed.begin(), timed.end(), '\n'), 3);
    EXPECT_TRUE(timed.ends_with(",2006-01-20T00:50:08Z\n")) << timed;
    const std::vector<double> twice = {18, 18.0000001};
    EXPECT_THROW(velmora::measure_cells(s.axes, s.labels, s.values, twice), std::invalid_argument);
    EXPECT_THROW(velmora::measure_cells(s.axes, s.labels, s.values, std::vector<double>{NAN}), std::invalid_argument);
    EXPECT_THROW(velmora::measure_cells(s.axes, std::span(s.labels).first(5), s.values), std::invalid_argument);
    s.labels[0] = 1000;   // more than the 24 voxels
    EXPECT_THROW(velmora::measure_cells(s.axes, s.labels, s.values), std::invalid_argument);
    EXPECT_THROW(velmora::write_properties_csv(dir.file("no/such/folder.csv"), t), std::runtime_error);
}

// Two 50 dBZ cores in one cell, 3 x 3 x 3 (east) and 3 x 3 x 2 (west), joined by a bridge of 42 then 41 dBZ.
struct TwoCores {
    Scene s{axis(16, 0, 1), axis(5, 0, 1), axis(4, 0.5f, 0.5f), 0.0f};
    velmora::SplitGrid grid{16, 5, 4, true, -9999.0f};
    TwoCores() {
        for (std::size_t k = 0; k < 3; ++k)
            for (std::size_t j = 1; j < 4; ++j)
                for (std::size_t i = 0; i < 3; ++i) {
                    s.set(i + 13, j, k, 50, 1);
                    if (k < 2) s.set(i, j, k, 50, 1);
                }
        for (std::size_t i = 3; i < 13; ++i) s.set(i, 2, 0, i < 8 ? 42 : 41, 1);
    }
    // The numbers the voxels should end with: the bridge's ten (i = 3..12) as digits, the west core's, the east's by k.
    std::vector<std::int32_t> numbered(const char* bridge, std::int32_t west, const char* east) const {
        std::vector<std::int32_t> l = s.labels;
        for (std::size_t p = 0; p < l.size(); ++p) {
            const std::size_t i = p % 16, k = p / 80;
            if (l[p]) l[p] = i < 3 ? west : i > 12 ? east[k] - '0' : bridge[i - 3] - '0';
        }
        return l;
    }
};

TEST(CoreSplit, TwoCoresJoinedByABridgeAndBadInput) {
    // Each core takes the 5 voxels of the bridge it reaches first; the larger keeps the number, the other is 2.
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
        // At 41.5 the west core holds the bridge's 42 dBZ half; the middle voxel of the rest, as far from both, is 1's.
        {{41.5}, 8, "2222222111", "111", 2, {0, 1, 1}},
        {{45, 49}, 8, "2222211111", "111", 2, {0, 1, 1}},   // nothing more divides at 49
        {{}, 8, "1111111111", "111", 1, {0, 1}},
        // 56 and 57 dBZ regions of 9 voxels at the east core's base and top: at 55 its part divides again, the
        // 57 dBZ region (found last, as large) becoming 3, parent 1; the middle level, one step from both, stays.
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
        const auto parent = velmora::split_cells(t.s.labels, t.s.values, t.grid, 1, {c.levels, c.min_core});
        EXPECT_EQ(t.s.labels, want);
        EXPECT_EQ(parent, c.parent);
        const PropertyTable p = velmora::measure_cells(t.s.axes, t.s.labels, t.s.values, {}, parent);
        ASSERT_EQ(p.cells.size(), c.parent.size() - 1);
        for (const CellProperties& cell : p.cells) {
            EXPECT_EQ(cell.parent, 1);
            EXPECT_EQ(cell.voxels, std::ranges::count(want, cell.cell));
        }
    }
    TwoCores bad;
    using velmora::split_cells;
    for (const velmora::SplitSettings& s : {velmora::SplitSettings{{45, 45}, 8}, {{NAN}, 8}, {{45}, 0}})
        EXPECT_THROW(split_cells(bad.s.labels, bad.s.values, bad.grid, 1, s), std::invalid_argument);
    EXPECT_THROW(split_cells(std::span(bad.s.labels).first(3), bad.s.values, bad.grid, 1, {{45}, 8}),
                 std::invalid_argument);
    bad.s.labels[0] = -2;
    EXPECT_THROW(split_cells(bad.s.labels, bad.s.values, bad.grid, 1, {{45}, 8}), std::invalid_argument);
}

}  // namespace
