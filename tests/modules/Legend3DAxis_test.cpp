#include "legend.h"
#include "legend_test_grid.h"

namespace {

using vtest::grid_x;
using vtest::grid_y;
using vtest::msg;

class Legend3DAxisTest : public vtest::LegendTest {
protected:
    // The axis on column (2, 1), from 2 to 12, with a vertical scale of 3.
    void build() override {
        legend("axis", "Legend3DAxis", {1, 1, 3}, {{"indexi", 2}, {"indexj", 1}, {"min", 2.0}, {"max", 12.0}});
    }
    vhost::FieldRef out() { return field(*inst, "oaxis"); }
};

TEST_F(Legend3DAxisTest, OneNodeCarryingTheScaledRangeAndFailures) {
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    // Only x and y of node (2, 1, 0) are used; the height is min, unscaled.
    vtest::expect_points(out(), {grid_x(2), grid_y(1), 2.0f});
    ASSERT_EQ(out().ncomp(), 1);
    vtest::expect_component(out(), 0, DTYPE_FLOAT, 3, "");
    EXPECT_EQ(out().float_values(0), (std::vector<float>{0.0f, 0.0f, 30.0f}));
    // A second run rewrites the output completely: still one cell set.
    inst->at("max").set_real(-1.0);   // below min: the axis points down
    run(*inst, {});
    EXPECT_EQ(out().ncell_sets(), 1);
    EXPECT_EQ(out().float_values(0), (std::vector<float>{0.0f, 0.0f, -9.0f}));
    // On a uniform grid the columns come from its corner points.
    host.reset();
    field(host.add_field("grid")).uniform({5, 3, 2}, {0, 0, 0, 4000, 1000, 500});
    inst = &instance("axis", "Legend3DAxis", {{"in", "grid"}}, {{"indexi", 4}, {"indexj", 2}, {"max", 1.5}});
    run(*inst, {});
    EXPECT_EQ(out().coord(), (std::vector<float>{4000.0f, 1000.0f, 0.0f}));
    EXPECT_EQ(out().float_values(0), (std::vector<float>{0.0f, 0.0f, 1.5f}));
    expect_idle({"oaxis"});
    expect_failures({
        unset_case("indexi"),
        unset_case("indexj"),
        unset_case("min"),
        unset_case("max"),
        {"two-dimensional space", [&] { field(*grid).nspace(2); }, "3 != nspace.\n"},
        {"two grid dimensions", [&] { field(*grid).dims({6, 2}); }, "can not get dims or ndim.\n"},
        {"no coordinates", [&] { grid->make_link("coord", "nowhere"); }, "can not get coord.\n"},
        {"coordinates too short for the node", [&] { field(*grid).nnodes(5); }, "can not get coord.\n"},
        // Node index past the range of its type.
        {"dims beyond the coords", [&] { grid->at("dims").as<std::int64_t>()[0] = 1LL << 62; }, "can not get coord.\n"},
        {"i past the grid", [&] { inst->at("indexi").set_int(3); },
         "parameter error (indexi=3, indexj=1 outside the 3 x 2 grid).\n"},
        {"negative i", [&] { inst->at("indexi").set_int(-1); },
         "parameter error (indexi=-1, indexj=1 outside the 3 x 2 grid).\n"},
        {"j past the grid", [&] { inst->at("indexj").set_int(2); },
         "parameter error (indexi=2, indexj=2 outside the 3 x 2 grid).\n"},
        {"negative j", [&] { inst->at("indexj").set_int(-5); },
         "parameter error (indexi=2, indexj=-5 outside the 3 x 2 grid).\n"},
        {"matrix of 9", [&] { relink(grid->at("xform"), "mat", DTYPE_FLOAT, 9); }, "can not get mat.\n"},
        {"no transform", [&] { grid->make_link("xform", "nowhere"); }, "can not get mat.\n"},
    }, [&] { EXPECT_EQ(out().nnodes(), 0); EXPECT_EQ(out().ncell_sets(), 0); });
    expect_write_failures("oaxis", [&] { EXPECT_EQ(out().nnodes(), 1); EXPECT_EQ(out().nspace(), 3); });
    // The exported lookup refuses without room to write or outside the grid, leaving x and y as they were.
    build();
    OMobj_id self = host.id_of(*inst), in = host.id_of(*grid);
    char text[velmora::kMessageSize] = "";
    float x = -1.0f, y = -1.0f;
    EXPECT_EQ(calc_ij2xyz(&self, &in, 1, 1, &x, nullptr, text), -1);
    EXPECT_EQ(calc_ij2xyz(&self, &in, 0, 2, &x, &y, text), -1);
    EXPECT_EQ((std::vector<float>{x, y}), (std::vector<float>{-1.0f, -1.0f}));
}

}  // namespace
