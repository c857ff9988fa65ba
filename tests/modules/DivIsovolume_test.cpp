// Each hexahedron is read as four quadruples.
#include "division_test.h"

namespace {

const std::string kVolume = "get_node_connect_vol.\n";

// The four quadruples of a hexahedron, in order.
void split_hex(const std::int64_t* h, std::vector<std::int64_t>& out) {
    out.insert(out.end(), {h[0], h[1], h[4], h[2], h[3], h[2], h[7], h[1], h[5], h[4], h[7], h[1], h[6], h[4], h[7], h[2]});
}

class DivIsovolumeTest : public vtest::DivisionTest {
protected:
    DivIsovolumeTest() : DivisionTest("divvol", "DivIsovolume", 8) {}
};

TEST_F(DivIsovolumeTest, HexahedraSharingANodeAndFailuresInVolumeWords) {
    // Node `shared` of the first hexahedron is node p of the second, for every position of both.
    for (int shared = 0; shared < 8; ++shared) {
        SCOPED_TRACE(shared);
        const int p = (3 * shared + 1) % 8;
        build(16);
        std::vector<std::int64_t> hexes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
        hexes[static_cast<std::size_t>(8 + p)] = shared;
        field(*in).cells("Hex", hexes);
        run_stdout(*inst, {});
        std::vector<int> want(16, 1);
        want[static_cast<std::size_t>(8 + p)] = 0;   // left out of the second hexahedron
        EXPECT_EQ(out().int_values(0), want);
        EXPECT_EQ(param("no_max"), 1);
    }
    // Failures use the volume words.
    expect_failures({
        unset_case("min_cells"),
        {"no cell sets", [] {}, "1 > ncells(can not find Tet or Hex.\n"},
        {"empty Tet set", [&] { field(*in).cells("Tet", {}); }, "1 > ncells(Tet).\n"},
        {"empty Hex set", [&] { field(*in).cells("Tet", {0, 1, 2, 3}).cells("Hex", {}); }, "1 > ncells(Hex).\n"},
        {"Tri", [&] { field(*in).cells("Tet", {0, 1, 2, 3}).cells("Tri", {0, 1, 2}); }, "unsupport cell_type(Tri).\n"},
        {"missing cell set", [&] { field(*in).cells("Tet", {0, 1, 2, 3}); in->make_link("cell_set", "nowhere"); },
         "can not find cell_set[0].\n"},
        {"no connectivity", [&] { field(*in).cells("Hex", {0, 1, 2, 3, 4, 5, 6, 7}); relink(field(*in).cell_set(0), "node_connect_list", DTYPE_LONG); },
         "can not get node_connect.\n"},
        {"short connectivity",
         [&] {
             field(*in).cells("Hex", {0, 1, 2, 3, 4, 5, 6, 7});
             relink(field(*in).cell_set(0), "node_connect_list", DTYPE_LONG, 7);
         },
         "node_connect is shorter than ncells(Hex).\n"},
        {"node 8 of 8", [&] { field(*in).cells("Hex", {0, 1, 2, 3, 4, 5, 6, 8}); }, "node_connect exceeds nnodes.\n"},
    }, [&] { EXPECT_EQ(param("no_max"), 0); EXPECT_EQ(out().nnodes(), 0); });
    expect_idle({[&] { field(*in).cells("Tet", {0, 1, 2, 3}); inst->at("active").set_int(0); },
                 [&] { field(*in).cells("Tet", {0, 1, 2, 3}); field(*in).nnodes(0); }});
}

// Generated tetrahedron and hexahedron sets against the reference.
TEST_F(DivIsovolumeTest, MatchesTheReferenceOnGeneratedVolumes) {
    std::mt19937 rng(2006);
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        const std::int64_t nnodes = 16 + rng() % 600;
        build(nnodes);
        std::vector<std::int64_t> expanded;
        const int nsets = 1 + static_cast<int>(rng() % 3);
        for (int s = 0; s < nsets; ++s) {
            const bool hex = rng() % 3 != 0;
            const int ncells = 1 + static_cast<int>(rng() % (nnodes / 10 + 1));
            std::vector<std::int64_t> connect;
            for (int c = 0; c < ncells * (hex ? 8 : 4); ++c) connect.push_back(static_cast<std::int64_t>(rng() % nnodes));
            field(*in).cells(hex ? "Hex" : "Tet", connect);
            for (int c = 0; c < ncells; ++c) {
                const std::int64_t* cell = &connect[static_cast<std::size_t>((hex ? 8 : 4) * c)];
                if (hex) split_hex(cell, expanded);
                else expanded.insert(expanded.end(), cell, cell + 4);
            }
        }
        expect_reference(expanded, 4, static_cast<int>(rng() % 9) - 1, kVolume);
    }
}

}  // namespace
