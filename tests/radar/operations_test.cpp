// The host operations built on VTK, on fields with known answers.
#include "operations.h"

#include <cmath>
#include <set>

#include "module_test.h"

namespace {

using vtest::msg;

class OperationsTest : public vtest::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        velmora::app::register_operations();
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
};

TEST_F(OperationsTest, IsosurfaceOfASphere) {
    grid(21, [](int i, int j, int k) { return std::sqrt(float((i - 10) * (i - 10) + (j - 10) * (j - 10) + (k - 10) * (k - 10))); });
    vhost::Object& iso = host.add_instance("iso", "Isosurface");
    host.link("iso.in", "grid");
    iso.at("level").set_real(6.0);
    run(iso, {});
    EXPECT_EQ(iso.at("done").int_value(), 1);
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
    // Every component is carried: the contoured one at the level, the other interpolated.
    ASSERT_EQ(out.ncomp(), 2);
    EXPECT_EQ(out.label(1), "g");
    for (float v : out.float_values(0)) ASSERT_NEAR(v, 6.0, 1e-4);
    for (float v : out.float_values(1)) ASSERT_NEAR(v, 2.0, 1e-5);
}

TEST_F(OperationsTest, IsovolumeOfABoxAndItsAreasOnTheGrid) {
    // A 3 x 2 x 2 block of echo at 50, a lone voxel touching it only along an
    // edge, missing data elsewhere.
    vhost::Object& g = grid(
        6,
        [](int i, int j, int k) {
            if (i >= 1 && i <= 3 && j >= 1 && j <= 2 && k >= 1 && k <= 2) return 50.0f;
            if (i == 4 && j == 3 && k == 1) return 45.0f;
            return -9999.0f;
        },
        -9999.0f);
    (void)g;
    vhost::Object& vol = host.add_instance("vol", "Isovolume");
    host.link("vol.in", "grid");
    run(vol, {});
    auto out = field(vol, "out");
    ASSERT_EQ(out.ncell_sets(), 1);
    EXPECT_EQ(out.cell_type(0), "Tet");
    EXPECT_EQ(out.connect(0).size(), 13u * 4u * 4u);   // four tetrahedra per voxel
    // Faces of the block: 4*2*2 + 3*3*2 + 3*2*3 = 52 nodes, plus 6 of the lone voxel.
    EXPECT_EQ(out.nnodes(), 52 + 6);
    ASSERT_EQ(out.ncomp(), 2);
    EXPECT_EQ(out.label(1), "voxel");
    // The lone voxel (the seventh in storage order, k outermost) shares no
    // node with the block: edge contact only.
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
    vhost::Object& map = host.add_instance("map", "GridArea");
    host.link("map.in", "grid");
    host.link("map.iso", "vol.out");
    host.link("map.area", "area");
    run(map, {});
    auto grid_no = field(map, "out").int_values(0);
    ASSERT_EQ(grid_no.size(), 216u);
    int ones = 0, twos = 0;
    for (auto v : grid_no) ones += v == 1, twos += v == 2;
    EXPECT_EQ(ones, 12);
    EXPECT_EQ(twos, 1);
    EXPECT_EQ(grid_no[4 + 6 * (3 + 6 * 1)], 2);
    EXPECT_EQ(field(map, "out").dims(), (std::vector<std::int64_t>{6, 6, 6}));
}

TEST_F(OperationsTest, BadInputsAreReported) {
    grid(3, [](int, int, int) { return 1.0f; });
    vhost::Object& iso = host.add_instance("iso", "Isosurface");
    host.link("iso.in", "grid");
    iso.at("comp").set_int(5);
    run(iso, {msg("iso", "in has no node_data[5].\n")});
    iso.at("comp").set_int(0);
    iso.at("level").clear_value();
    run(iso, {msg("iso", "can not get level.\n")});
    EXPECT_EQ(iso.at("done").int_value(), 0);
    vhost::Object& map = host.add_instance("map", "GridArea");
    host.link("map.in", "grid");
    run(map, {msg("map", "iso has no voxel component.\n")});
}

}  // namespace
