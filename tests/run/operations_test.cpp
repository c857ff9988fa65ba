// The host operations on fields with known answers.
#include "run/operations.h"

#include <set>

#include "run/dump.h"
#include "run/field_json.h"
#include "module_test.h"

namespace {

using velmora::Json;
using vtest::msg;

class OperationsTest : public vtest::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        velmora::register_operations();
    }
    // A uniform 1-spaced grid of n^3 nodes with component "f" = value(i, j, k).
    template <class F>
    vhost::Object& grid(int n, F value, float null_value = NAN) {
        std::vector<float> v;
        for (int k = 0; k < n; ++k)
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i) v.push_back(value(i, j, k));
        vhost::Object& g = host.add_field("grid");
        float hi = static_cast<float>(n - 1);
        field(g).uniform({n, n, n}, {0, 0, 0, hi, hi, hi}).floats("f", v).floats("g", std::vector<float>(v.size(), 2.0f));
        if (!std::isnan(null_value)) field(g).null_value(0, null_value);
        return g;
    }
    // Every output of an instance as a dump writes it, with its fields described in place of their names.
    static Json published(vhost::Object& inst) {
        Json j = velmora::dump_tree({})["run"]["instances"][inst.name()]["outputs"];
        for (auto& [name, v] : j.items())
            if (v.contains("$field")) v = velmora::field_json(inst.at(name));
        return j;
    }
};

TEST_F(OperationsTest, IsosurfaceOfASphere) {
    grid(21, [](int i, int j, int k) { return std::sqrt(float((i - 10) * (i - 10) + (j - 10) * (j - 10) + (k - 10) * (k - 10))); });
    vhost::Object& iso = instance("iso", "Isosurface", {{"in", "grid"}}, {{"level", 6.0}});
    run(iso, {});
    auto out = field(iso, "out");
    ASSERT_GT(out.nnodes(), 100);
    ASSERT_EQ(out.ncell_sets(), 1);
    EXPECT_EQ(out.cell_type(0), "Tri");
    auto xyz = out.coord();
    for (std::int64_t n = 0; n < out.nnodes(); ++n) {
        float dx = xyz[3 * n] - 10, dy = xyz[3 * n + 1] - 10, dz = xyz[3 * n + 2] - 10;
        ASSERT_NEAR(std::sqrt(dx * dx + dy * dy + dz * dz), 6.0, 0.1);
    }
    // Neighbouring triangles share nodes: a closed surface has V - E + F = 2.
    auto tris = out.connect(0);
    std::set<std::pair<std::int64_t, std::int64_t>> edges;
    for (size_t t = 0; t < tris.size(); t += 3)
        for (int e = 0; e < 3; ++e) {
            auto a = tris[t + e], b = tris[t + (e + 1) % 3];
            edges.insert({std::min(a, b), std::max(a, b)});
        }
    EXPECT_EQ(out.nnodes() - static_cast<std::int64_t>(edges.size()) + static_cast<std::int64_t>(tris.size() / 3), 2);
    // Every component carried: the contoured one at the level, the other interpolated.
    ASSERT_EQ(out.ncomp(), 2);
    EXPECT_EQ(out.label(1), "g");
    for (float v : out.float_values(0)) ASSERT_NEAR(v, 6.0, 1e-4);
    for (float v : out.float_values(1)) ASSERT_NEAR(v, 2.0, 1e-5);
}

TEST_F(OperationsTest, IsovolumeOfABoxItsAreasOnTheGridAndWhatStandsInForTheGrid) {
    // A 3 x 2 x 2 block of echo, a lone voxel touching it only along an edge, missing data elsewhere.
    auto echo = [](int i, int j, int k) {
        if (i >= 1 && i <= 3 && j >= 1 && j <= 2 && k >= 1 && k <= 2) return 50.0f;
        return i == 4 && j == 3 && k == 1 ? 45.0f : -9999.0f;
    };
    grid(6, echo, -9999.0f);
    vhost::Object& vol = instance("vol", "Isovolume", {{"in", "grid"}});
    run(vol, {});
    auto out = field(vol, "out");
    ASSERT_EQ(out.ncell_sets(), 1);
    EXPECT_EQ(out.cell_type(0), "Tet");
    EXPECT_EQ(out.connect(0).size(), 13u * 4u * 4u);   // four tetrahedra per voxel
    // Faces of the block: 4*2*2 + 3*3*2 + 3*2*3 = 52 nodes, plus 6 of the lone voxel.
    EXPECT_EQ(out.nnodes(), 52 + 6);
    ASSERT_EQ(out.ncomp(), 2);
    EXPECT_EQ(out.label(1), "voxel");
    // The lone voxel (the seventh in storage order) shares no node with the block.
    auto conn = out.connect(0);
    std::set<std::int64_t> block, lone;
    for (size_t t = 0; t < conn.size(); ++t) (t / 16 == 6 ? lone : block).insert(conn[t]);
    EXPECT_EQ(lone.size(), 6u);
    for (auto n : lone) EXPECT_EQ(block.count(n), 0u);

    // Area numbers back on the grid: 1 for the block, 2 for the lone voxel.
    vhost::Object& area = host.add_field("area");
    std::vector<std::int32_t> no(static_cast<size_t>(out.nnodes()));
    for (auto n : block) no[static_cast<size_t>(n)] = 1;
    for (auto n : lone) no[static_cast<size_t>(n)] = 2;
    field(area).nnodes(out.nnodes()).ints("area_no", no);
    vhost::Object& map = instance("map", "GridArea", {{"in", "grid"}, {"iso", "vol.out"}, {"area", "area"}});
    run(map, {});
    auto grid_no = field(map, "out").int_values(0);
    ASSERT_EQ(grid_no.size(), 216u);
    EXPECT_EQ(std::count(grid_no.begin(), grid_no.end(), 1), 12);
    EXPECT_EQ(std::count(grid_no.begin(), grid_no.end(), 2), 1);
    EXPECT_EQ(grid_no[4 + 6 * (3 + 6 * 1)], 2);

    // The cells' voxels, carrying the grid's transform, give the statistics of the whole grid.
    vhost::Object& grid = host.root().at("grid");
    field(grid).xform_array("xlate", {0, 0, 6}).xform_array("mat", {1.5f, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0.5f, 0, 0, 0, 0, 1});
    run(instance("vox", "CellVoxels", {{"in", "grid"}, {"area", "map.out"}}), {});
    EXPECT_EQ(field(host.root().at("vox"), "out").xform("mat"), field(grid).xform("mat"));
    vhost::Object& whole = instance("whole", "CalcStatistic", {{"in", "grid"}, {"area", "map.out"}},
                                    {{"no_min", 1}, {"no_max", 2}});
    vhost::Object& cells = instance("cells", "CalcStatistic", {{"in", "vox.out"}, {"area", "vox.out_area"}},
                                    {{"no_min", 1}, {"no_max", 2}});
    run(whole, {});
    run(cells, {});
    EXPECT_EQ(published(whole)["nsurf"], 2);
    EXPECT_EQ(published(cells), published(whole));
    // One column gives the legends of the whole grid.
    run(instance("column", "GridColumn", {{"in", "grid"}}, {{"indexi", 2}, {"indexj", 1}}), {});
    for (const char* module : {"Legend3DAxis", "Legend3DTick"}) {
        vhost::Object& on_grid = instance(std::string("grid_") + module, module, {{"in", "grid"}},
                                          {{"indexi", 2}, {"indexj", 1}, {"max", 5.0}});
        vhost::Object& on_column = instance(std::string("column_") + module, module, {{"in", "column.out"}}, {{"max", 5.0}});
        run(on_grid, {});
        run(on_column, {});
        EXPECT_EQ(published(on_column)["done"], 1) << module;
        EXPECT_EQ(published(on_column), published(on_grid)) << module;
    }
}

TEST_F(OperationsTest, BadInputsAreReported) {
    grid(3, [](int, int, int) { return 1.0f; });
    vhost::Object& iso = instance("iso", "Isosurface", {{"in", "grid"}}, {{"comp", 5}});
    run(iso, {msg("iso", "in has no node_data[5].\n")});
    iso.at("comp").set_int(0);
    iso.at("level").clear_value();
    run(iso, {msg("iso", "can not get level.\n")});
    EXPECT_EQ(iso.at("done").int_value(), 0);
    vhost::Object& map = instance("map", "GridArea", {{"in", "grid"}});
    run(map, {msg("map", "iso has no voxel component.\n")});
    vhost::Object& column = instance("column", "GridColumn", {{"in", "grid"}}, {{"indexi", 3}, {"indexj", 0}});
    run(column, {msg("column", "indexi, indexj = 3, 0 lie outside the 3 x 3 grid.\n")});
    column.at("indexi").set_int(0);
    column.at("indexj").set_int(-1);
    run(column, {msg("column", "indexi, indexj = 0, -1 lie outside the 3 x 3 grid.\n")});
    EXPECT_EQ(column.at("done").int_value(), 0);
    EXPECT_EQ(field(column, "out").nnodes(), 0);
}

}  // namespace
