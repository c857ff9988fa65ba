#include "division_test.h"

namespace {

using vtest::msg;
using vtest::ranges;

// An empty surface of 6 nodes with `div` linked to it.
class DivIsosurfTest : public vtest::DivisionTest {
protected:
    DivIsosurfTest() : DivisionTest("div", "DivIsosurf", 6) {}
};

TEST_F(DivIsosurfTest, TwoTrianglesFailuresAndTheMergeLimit) {
    field(*in).cells("Tri", {0, 1, 2, 3, 4, 5});
    EXPECT_EQ(run_stdout(*inst, {}),
              ranges(3) + "    0 :     0     0\n    1 :     1     1\n    2 :     1     2\n    3 :     0     0\n");
    EXPECT_EQ(range(), (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(out().nnodes(), 6);
    ASSERT_EQ(out().ncomp(), 1);
    vtest::expect_component(out(), 0, DTYPE_INT, 1, "area_no", "", 0.0);
    EXPECT_EQ(out().int_values(0), (std::vector<int>{1, 1, 1, 2, 2, 2}));
    // Only node data is written: no cell sets, no coordinates.
    EXPECT_EQ(out().ncell_sets(), 0);
    EXPECT_EQ(out().nspace(), 0);
    // min_cells 1 drops both (one cell each; equal is not enough).
    inst->at("min_cells").set_int(1);
    inst->at("no_max").set_int(77);
    EXPECT_EQ(run_stdout(*inst, {}),
              ranges(3) + "    0 :     0     0\n    1 :     1     0\n    2 :     1     0\n    3 :     0     0\n");
    EXPECT_EQ(out().int_values(0), std::vector<int>(6, 0));
    EXPECT_EQ(range(), (std::vector<int>{1, 0, 1}));
    // No output values: fails after the range is written.
    build();
    field(*in).cells("Tri", {0, 1, 2, 3, 4, 5});
    inst->make_link("out_nd", "nowhere");
    const std::string console = run_stdout(*inst, {msg("div", "can not get output_value.\n")});
    EXPECT_EQ(console.substr(0, ranges(3).size()), ranges(3));
    EXPECT_EQ(range(), (std::vector<int>{1, 2, 0}));
    expect_idle({[&] { inst->at("active").set_int(0); }, [&] { inst->at("active").set_int(-1); },
                 [&] { field(*in).nnodes(0); }}, [&] { EXPECT_EQ(out().nnodes(), 0); });
    expect_failures({
        unset_case("min_cells"),
        {"no min_cells, no nodes", [&] { field(*in).nnodes(0); unset("min_cells"); }, "can not get min_cells.\n"},
        {"no cell sets", [] {}, "1 > ncells(can not find Tri or Quad).\n"},
        {"empty Tri set", [&] { field(*in).cells("Tri", {}); }, "1 > ncells(Tri).\n"},
        {"empty Quad set", [&] { field(*in).cells("Tri", {0, 1, 2}).cells("Quad", {}); }, "1 > ncells(Quad).\n"},
        {"line set", [&] { field(*in).cells("Tri", {0, 1, 2}).polylines({0, 3}); }, "unsupport cell_type(Polyline).\n"},
        {"tetrahedra", [&] { field(*in).cells("Tet", {0, 1, 2, 3}); }, "unsupport cell_type(Tet).\n"},
        {"missing cell set", [&] { field(*in).cells("Tri", {0, 1, 2}); in->make_link("cell_set", "nowhere"); },
         "can not get cell_set[0].\n"},
        {"no connectivity", [&] { field(*in).cells("Tri", {0, 1, 2}); relink(field(*in).cell_set(0), "node_connect_list", DTYPE_LONG); },
         "can not get node_connect.\n"},
        {"short connectivity",
         [&] {
             field(*in).cells("Tri", {0, 1, 2, 3, 4, 5});
             relink(field(*in).cell_set(0), "node_connect_list", DTYPE_LONG, 4);
         },
         "node_connect is shorter than ncells(Tri).\n"},
        {"node index beyond nnodes", [&] { field(*in).cells("Tri", {0, 1, 2}).cells("Quad", {3, 4, 5, 6}); },
         "node_connect exceeds nnodes.\n"},
        {"negative node index", [&] { field(*in).cells("Tri", {0, -1, 2}); }, "node_connect exceeds nnodes.\n"},
    }, [&] {
        EXPECT_EQ(range(), (std::vector<int>{0, 0, 0}));
        EXPECT_EQ(out().nnodes(), 0);
        EXPECT_EQ(out().ncomp(), 0);
    });
    // A hub and 1001 leaves, each joined to it by a cell: one merge pass per leaf, one more than allowed.
    const int leaves = 1001;
    build(3 * (leaves + 1));
    field(*in).cells("Tri", vref::star(leaves));
    const std::string notice = run_stdout(*inst, {"CONNECT_CHECK_MAX_COUNT exceeded!"});
    EXPECT_EQ(notice.substr(0, 50), "TriMeshLabeling CONNECT_CHECK_MAX_COUNT exceeded!\n");
    EXPECT_EQ(notice.substr(50, ranges(2).size()), ranges(2));
    EXPECT_EQ(range(), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(out().int_values(0), std::vector<int>(static_cast<std::size_t>(3 * (leaves + 1)), 1));
}

// Generated triangle and quad sets against the reference (a quad is two triangles on its second diagonal).
TEST_F(DivIsosurfTest, MatchesTheReferenceOnGeneratedSurfaces) {
    std::mt19937 rng(1958);
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        const std::int64_t nnodes = 10 + rng() % 400;
        build(nnodes);
        std::vector<std::int64_t> expanded;
        const int nsets = 1 + static_cast<int>(rng() % 4);
        for (int s = 0; s < nsets; ++s) {
            const bool quad = rng() % 2;
            const int ncells = 1 + static_cast<int>(rng() % (nnodes / 3 + 1));
            std::vector<std::int64_t> connect;
            for (int c = 0; c < ncells * (quad ? 4 : 3); ++c) connect.push_back(static_cast<std::int64_t>(rng() % nnodes));
            field(*in).cells(quad ? "Quad" : "Tri", connect);
            for (int c = 0; c < ncells; ++c) {
                const std::int64_t* q = &connect[static_cast<std::size_t>((quad ? 4 : 3) * c)];
                if (quad) expanded.insert(expanded.end(), {q[0], q[1], q[3], q[1], q[2], q[3]});
                else expanded.insert(expanded.end(), q, q + 3);
            }
        }
        expect_reference(expanded, 3, static_cast<int>(rng() % 5) - 1);
    }
}

}  // namespace
