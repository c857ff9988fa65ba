#include "analysis/hail.h"

#include "analysis/cell_properties.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "temp_files.h"

namespace velmora {
namespace {

// Levels 0.5 km apart from 0.5 km: layers from 0.25 km, each 0.5 km deep.
std::vector<float> levels(int n) {
    std::vector<float> z;
    for (int k = 0; k < n; ++k) z.push_back(0.5f + 0.5f * static_cast<float>(k));
    return z;
}

void near_rel(double got, double want) { EXPECT_NEAR(got, want, 1e-6 * std::abs(want)) << want; }

TEST(Hail, UniformColumnGivesTheClosedFormIntegral) {
    // 55 dBZ from the layer at 0.25 km up to the top of the level at 9 km
    // (9.25 km); H0 3 km, H-20 6 km. W_T integrates to (6-3)/2 + (9.25-6) km.
    const HailLevels l{3.0, 6.0};
    const std::vector<float> z = levels(30);
    std::vector<float> dbz(30, NAN);
    for (int k = 0; k < 18; ++k) dbz[static_cast<std::size_t>(k)] = 55.0f;
    const double e = 5e-6 * std::pow(10.0, 0.084 * 55.0);
    const double shi = 0.1 * e * (1.5 + 3.25) * 1000.0;
    near_rel(column_shi(dbz, z, l), shi);
    near_rel(mesh_witt_mm(shi), 2.54 * std::sqrt(shi));
    near_rel(mesh75_mm(shi), 15.096 * std::pow(shi, 0.206));
    near_rel(mesh95_mm(shi), 22.157 * std::pow(shi, 0.212));
    near_rel(posh_pct(shi, 3.0), 29.0 * std::log(shi / 51.5) + 50.0);
    // A 45 dBZ top at 9.25 km is 6.25 km above H0: beyond the table's end.
    EXPECT_EQ(poh_pct(9.25 - 3.0), 100.0);
    // Half weighted by W(Z) at 45 dBZ.
    std::fill(dbz.begin(), dbz.begin() + 18, 45.0f);
    near_rel(column_shi(dbz, z, l), 0.1 * 0.5 * 5e-6 * std::pow(10.0, 0.084 * 45.0) * 4750.0);
}

TEST(Hail, WeakOrWarmEchoGivesNoHail) {
    const HailLevels l{3.0, 6.0};
    const std::vector<float> z = levels(30);
    std::vector<float> weak(30, 40.0f);
    EXPECT_EQ(column_shi(weak, z, l), 0.0);
    std::vector<float> low(30, NAN);
    for (int k = 0; k < 5; ++k) low[static_cast<std::size_t>(k)] = 65.0f;   // up to 2.75 km
    EXPECT_EQ(column_shi(low, z, l), 0.0);
    EXPECT_EQ(mesh_witt_mm(0.0), 0.0);
    EXPECT_EQ(posh_pct(0.0, 3.0), 0.0);
    EXPECT_EQ(hail_reflectivity_weight(40.0), 0.0);
    EXPECT_EQ(hail_reflectivity_weight(50.0), 1.0);
    EXPECT_EQ(hail_temperature_weight(4.5, l), 0.5);
}

TEST(Hail, WarningThresholdFloorAndPoshClipping) {
    EXPECT_EQ(warning_threshold(1.0), 20.0);   // 57.5 - 121 < 20
    EXPECT_EQ(warning_threshold(3.0), 51.5);
    // At SHI = WT POSH is 50 %; far below it clips at 0, far above at 100.
    EXPECT_NEAR(posh_pct(20.0, 1.0), 50.0, 1e-12);
    EXPECT_EQ(posh_pct(0.5, 1.0), 0.0);
    EXPECT_EQ(posh_pct(1e6, 1.0), 100.0);
}

TEST(Hail, ProbabilityOfHailFollowsTheTable) {
    EXPECT_EQ(poh_pct(1.0), 0.0);
    EXPECT_EQ(poh_pct(1.65), 0.0);
    EXPECT_NEAR(poh_pct(1.71), 5.0, 1e-9);   // halfway between the rows of 1.65 and 1.77 km
    EXPECT_NEAR(poh_pct(2.78), 50.0, 1e-9);
    EXPECT_NEAR(poh_pct(5.355), 95.0, 1e-9);
    EXPECT_EQ(poh_pct(5.8), 100.0);
    EXPECT_TRUE(std::isnan(poh_pct(NAN)));
}

TEST(Hail, MeshFieldTakesEveryColumn) {
    Volume v;
    v.x = {0, 1};
    v.y = {0};
    v.z = levels(30);
    v.has_null = true;
    std::vector<float> values(60, -9999.0f);
    for (int k = 0; k < 18; ++k) values[static_cast<std::size_t>(2 * k + 1)] = 55.0f;
    const HailLevels l{3.0, 6.0};
    const std::vector<float> mesh = mesh_field(v, values, l);
    ASSERT_EQ(mesh.size(), 2u);
    EXPECT_EQ(mesh[0], 0.0f);
    std::vector<float> column(30, NAN);
    for (int k = 0; k < 18; ++k) column[static_cast<std::size_t>(k)] = 55.0f;
    EXPECT_NEAR(mesh[1], mesh_witt_mm(column_shi(column, v.z, l)), 1e-4);
}

TEST(Hail, SoundingGivesTheLevels) {
    vtest::TempDir dir;
    const std::string path = (dir.path() / "sounding.csv").string();
    std::ofstream(path) << "height_m,temperature_c\n0,20\n2000,10\n4000,0\n7000,-20\n9000,-35\n";
    const HailLevels l = read_sounding(path);
    EXPECT_NEAR(l.h0_km, 4.0, 1e-12);
    EXPECT_NEAR(l.hm20_km, 7.0, 1e-12);
    // Interpolated between rows.
    std::ofstream(path) << "0,15\n3000,-15\n6000,-25\n";
    const HailLevels m = read_sounding(path);
    EXPECT_NEAR(m.h0_km, 1.5, 1e-12);
    EXPECT_NEAR(m.hm20_km, 4.5, 1e-12);
    std::ofstream(path) << "0,25\n5000,-5\n";
    try {
        read_sounding(path);
        FAIL() << "a sounding that never reaches -20 °C was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "the sounding " + path + " never reaches -20 °C");
    }
    std::ofstream(path) << "0,25\n5000,5\n";
    EXPECT_THROW(read_sounding(path), std::runtime_error);
}

TEST(Hail, LevelsAboveTheRadar) {
    std::string note;
    const HailLevels l = above_radar({4.0, 7.0}, 0.5, &note);
    EXPECT_EQ(l.h0_km, 3.5);
    EXPECT_EQ(l.hm20_km, 6.5);
    EXPECT_TRUE(note.empty());
    const HailLevels m = above_radar({4.0, 7.0}, std::nullopt, &note);
    EXPECT_EQ(m.h0_km, 4.0);
    EXPECT_EQ(note, "the altitude of the radar is unknown: the levels are taken as heights above it (altitude 0)");
    EXPECT_EQ(hail_levels_problem({4.0, 3.0}), "the -20 °C level must lie above the 0 °C level");
    EXPECT_EQ(hail_levels_problem({4.0, 7.0}), "");
}

// A volume of nx x 1 columns on levels(30), -9999 (missing) but for a core
// of dbz from the ground up to 9 km in column at.
Volume moving_core(int nx, int at, float dbz) {
    Volume v;
    for (int i = 0; i < nx; ++i) v.x.push_back(static_cast<float>(i));
    v.y = {0};
    v.z = levels(30);
    v.has_null = true;
    v.values.assign(static_cast<std::size_t>(nx) * 30, -9999.0f);
    for (int k = 0; k < 18; ++k) v.values[static_cast<std::size_t>(k * nx + at)] = dbz;
    return v;
}

TEST(HailSwath, CoversTheColumnsPassedWithTheLargestValueEachSaw) {
    // A core moving east one column per volume, strengthening, then back
    // over column 2 weaker: column 2 keeps the stronger value it saw first.
    const HailLevels l{3.0, 6.0};
    const std::vector<std::pair<int, float>> path = {{1, 50.0f}, {2, 60.0f}, {3, 55.0f}, {4, 65.0f}, {2, 52.0f}};
    std::vector<std::vector<float>> meshes;
    for (const auto& [at, dbz] : path) {
        const Volume v = moving_core(8, at, dbz);
        meshes.push_back(mesh_field(v, std::span<const float>(v.values.data(), v.values.size()), l));
    }
    meshes.emplace_back();   // a volume without hail levels adds nothing
    const std::vector<float> swath = hail_swath(meshes);
    ASSERT_EQ(swath.size(), 8u);
    const auto mesh_of = [&](float dbz) {
        const Volume v = moving_core(1, 0, dbz);
        return static_cast<float>(mesh_witt_mm(column_shi(std::span<const float>(v.values.data(), 30), v.z, l)));
    };
    for (int c : {0, 5, 6, 7}) EXPECT_EQ(swath[static_cast<std::size_t>(c)], 0.0f) << c;
    EXPECT_NEAR(swath[1], mesh_of(50.0f), 1e-4);
    EXPECT_NEAR(swath[2], mesh_of(60.0f), 1e-4);
    EXPECT_NEAR(swath[3], mesh_of(55.0f), 1e-4);
    EXPECT_NEAR(swath[4], mesh_of(65.0f), 1e-4);
    EXPECT_THROW(hail_swath(std::vector<std::vector<float>>{{1.0f}, {1.0f, 2.0f}}), std::invalid_argument);
}

TEST(HailCells, ACellTakesItsStrongestColumn) {
    // Two columns of one cell: 55 dBZ up to 9 km, and 60 dBZ up to 5 km.
    Volume v = moving_core(2, 0, 55.0f);
    for (int k = 0; k < 10; ++k) v.values[static_cast<std::size_t>(2 * k + 1)] = 60.0f;
    std::vector<std::int32_t> labels(v.values.size(), 0);
    for (std::size_t p = 0; p < labels.size(); ++p) labels[p] = v.values[p] > 0 ? 1 : 0;
    const std::span<const float> values(v.values.data(), v.values.size());
    const PropertyTable plain = measure_cells(v, labels, values);
    EXPECT_FALSE(plain.hail);
    for (const PropertyColumn& c : property_columns(plain)) EXPECT_NE(c.name, "shi");
    const HailLevels l{3.0, 6.0};
    const PropertyTable t = measure_cells(v, labels, values, kDefaultEchoTopLevels, {}, l);
    ASSERT_EQ(t.cells.size(), 1u);
    const CellProperties& c = t.cells[0];
    std::vector<float> first(30, NAN), second(30, NAN);
    for (int k = 0; k < 18; ++k) first[static_cast<std::size_t>(k)] = 55.0f;
    for (int k = 0; k < 10; ++k) second[static_cast<std::size_t>(k)] = 60.0f;
    const double shi = std::max(column_shi(first, v.z, l), column_shi(second, v.z, l));
    near_rel(c.shi, shi);
    near_rel(c.mesh_mm, mesh_witt_mm(shi));
    near_rel(c.posh_pct, posh_pct(shi, 3.0));
    // The 45 dBZ top: the 9 km level, the highest with echo, 6 km above H0.
    EXPECT_EQ(c.poh_pct, 100.0);
    EXPECT_NEAR(c.height_max_dbz_above_h0_km, 0.5 - 3.0, 1e-6);   // 60 dBZ first met at 0.5 km
    std::vector<std::string> names;
    for (const PropertyColumn& col : property_columns(t)) names.push_back(col.name);
    const std::vector<std::string> tail(names.end() - 7, names.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"shi", "mesh_mm", "mesh75_mm", "mesh95_mm", "posh_pct", "poh_pct",
                                              "height_max_dbz_above_h0_km"}));
}

}  // namespace
}  // namespace velmora
