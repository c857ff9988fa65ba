#include "module_test.h"

namespace {

using vtest::msg;

class CreateRainSliceTest : public vtest::InstanceTest {
protected:
    // A 3 x 3 x 2 grid, node (i, j, k) at (10 i, 20 j, 5 k); the stack goes through node (1, 1, 1).
    void build() override {
        std::vector<float> xyz;
        for (int k = 0; k < 2; ++k)
            for (int j = 0; j < 3; ++j)
                for (int i = 0; i < 3; ++i) xyz.insert(xyz.end(), {10.0f * i, 20.0f * j, 5.0f * k});
        new_grid().nspace(3).dims({3, 3, 2}).nnodes(18).coord(xyz);
        inst = &instance("slice", "CreateRainSlice", {{"in", "grid"}},
                         {{"indexi", 1}, {"indexj", 1}, {"indexk", 1}, {"delta", 1.5}, {"angle", 0.0}, {"plane_num", 2}});
    }
    vhost::FieldRef plane(int p) { return field(*inst, "oplanes[" + std::to_string(p) + "]"); }
    std::int64_t onum() { return inst->at("onum").int_value(); }
};

TEST_F(CreateRainSliceTest, PlanesAtAnglesSpacingsAndCounts) {
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    ASSERT_EQ(onum(), 5);
    const std::vector<std::vector<float>> xlate{{10, 20, 5}, {10, 21.5f, 5}, {10, 23, 5}, {10, 18.5f, 5}, {10, 17, 5}};
    for (int p = 0; p < 5; ++p) {
        SCOPED_TRACE(p);
        EXPECT_EQ(plane(p).xform("xlate"), xlate[p]);
        EXPECT_EQ(plane(p).xform("mat"), (std::vector<float>{1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1}));
        EXPECT_EQ(plane(p).xform("center"), (std::vector<float>{0, 0, 0}));
        EXPECT_EQ(plane(p).dims(), (std::vector<std::int64_t>{2, 2}));
        EXPECT_EQ(plane(p).nspace(), 2);
        EXPECT_EQ(plane(p).points(), (std::vector<float>{-0.5f, -0.5f, 0.5f, 0.5f}));
    }
    // Angle 90 uses pi to eight decimals.
    vtest::set_params(*inst, {{"angle", 90.0}, {"plane_num", 1}});
    run(*inst, {});
    ASSERT_EQ(onum(), 3);
    const double a = 90.0 * 3.14159265 / 180.0;
    const float c = static_cast<float>(std::cos(a)), s = static_cast<float>(std::sin(a));
    EXPECT_NEAR(c, 1.79e-9f, 0.01e-9f);
    EXPECT_EQ(plane(0).xform("mat"), (std::vector<float>{c, s, 0, 0, 0, 0, 1, 0, -s, c, 0, 0, 0, 0, 0, 1}));
    // The positive side lies towards decreasing x.
    EXPECT_EQ(plane(1).xform("xlate"), (std::vector<float>{8.5f, static_cast<float>(1.5 * std::cos(a) + 20.0), 5}));
    EXPECT_EQ(plane(2).xform("xlate"), (std::vector<float>{11.5f, static_cast<float>(20.0 - 1.5 * std::cos(a)), 5}));
    // The centre follows in's rotation, not its translation: rows (0, 1, 0), (-1, 0, 0), (0, 0, 2) give (-y, x, 2 z).
    field(*grid).xform_array("mat", {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 2, 0, 7, 8, 9, 1});
    inst->at("plane_num").set_int(0);
    run(*inst, {});
    EXPECT_EQ(plane(0).xform("xlate"), (std::vector<float>{-20, 10, 10}));
    // Zero spacing, of either sign, stacks every plane on the centre.
    build();
    for (double delta : {0.0, -0.0}) {
        inst->at("delta").set_real(delta);
        run(*inst, {});
        ASSERT_EQ(onum(), 5);
        for (int p = 0; p < 5; ++p) EXPECT_EQ(plane(p).xform("xlate"), (std::vector<float>{10, 20, 5}));
    }
    // plane_num 0: the centre plane alone; the planes of the last run go.
    inst->at("plane_num").set_int(0);
    inst->at("done").set_int(0);
    run(*inst, {});
    EXPECT_EQ(onum(), 1);
    EXPECT_EQ(inst->child("oplanes")->length(), 1);
    EXPECT_EQ(plane(0).xform("xlate"), (std::vector<float>{10, 20, 5}));
    EXPECT_EQ(done(), 1);
}

TEST_F(CreateRainSliceTest, FailuresBeforeTheFirstPlaneOrStoppingTheStack) {
    // Without nodes not even delta is read.
    expect_idle({[&] { inst->at("active").set_int(0); }, [&] { field(*grid).nnodes(0); unset("delta"); }},
                [&] { EXPECT_EQ(onum(), 0); });
    std::vector<Failure> cases{
        {"negative delta", [&] { inst->at("delta").set_real(-1e-9); }, "parameter error (0.0 > delta).\n"},
        {"negative plane_num", [&] { inst->at("plane_num").set_int(-1); }, "parameter error (1 > plane_num).\n"},
        {"plane_num 10001", [&] { inst->at("plane_num").set_int(10001); }, "parameter error (plane_num > 10000).\n"},
        {"plane_num 2^30", [&] { inst->at("plane_num").set_int(1 << 30); }, "parameter error (plane_num > 10000).\n"},
        {"two space dimensions", [&] { field(*grid).nspace(2); }, "3 != nspace.\n"},
        {"two grid dimensions", [&] { field(*grid).dims({9, 2}); }, "can not get dims or ndim.\n"},
        {"indexi -1", [&] { inst->at("indexi").set_int(-1); }, "parameter error (0 > indexi or indexi >= dims[0]).\n"},
        {"indexi beyond", [&] { inst->at("indexi").set_int(3); }, "parameter error (0 > indexi or indexi >= dims[0]).\n"},
        {"indexj beyond", [&] { inst->at("indexj").set_int(3); }, "parameter error (0 > indexj or indexj >= dims[1]).\n"},
        {"indexk beyond", [&] { inst->at("indexk").set_int(2); }, "parameter error (0 > indexk or indexk >= dims[2]).\n"},
        {"indexk -5", [&] { inst->at("indexk").set_int(-5); }, "parameter error (0 > indexk or indexk >= dims[2]).\n"},
        {"no coordinates", [&] { grid->at("coord").untype(); }, "can not get coord.\n"},
        {"too few coordinates", [&] { field(*grid).nnodes(10); }, "can not get coord.\n"},
        {"no transform", [&] { grid->at("xform").make_link("mat", "nowhere"); }, "can not get mat.\n"},
        {"nine-element transform", [&] { relink(grid->at("xform"), "mat", DTYPE_FLOAT, 9); }, "can not get mat.\n"},
    };
    for (const char* p : {"indexi", "indexj", "indexk", "delta", "angle", "plane_num"}) cases.push_back(unset_case(p));
    expect_failures(cases, [&] { EXPECT_EQ(onum(), 0); });   // untouched: no plane looked up
    // Every plane is made from the template: give it a wrong array.
    auto wrong = [&](const char* member, std::int64_t n, bool in_xform = true) {
        return [this, member, n, in_xform] {
            vhost::Object* owner = inst->child("oplanes")->element_template();
            relink(in_xform ? owner->at("xform") : *owner, member, DTYPE_FLOAT, n);
        };
    };
    expect_failures({{"six corner values", wrong("points", 6, false), "can not get points.\n"},
                     {"nine-element matrix", wrong("mat", 9), "can not get mat.\n"},
                     {"two-element translation", wrong("xlate", 2), "can not get xlate.\n"},
                     {"no centre", wrong("center", 0), "can not get center.\n"}},
                    [&] { EXPECT_EQ(onum(), 1); });
    // Nothing of the transform is written unless all three arrays are there.
    EXPECT_EQ(plane(0).xform("xlate"), (std::vector<float>{0, 0, 0}));
    EXPECT_EQ(plane(0).xform("mat")[5], 1.0f);
    // A group of three planes: three are written, the fourth is missing; onum keeps its last value.
    build();
    vhost::Object& store = host.root().add_group("store");
    store.add_int("n", 3);
    store.add_field_array("planes", vhost::shape({vhost::term("n")}));
    inst->make_link("oplanes", "store.planes");
    run(*inst, {msg("slice", "can not get points.\n")});
    EXPECT_EQ(onum(), 5);
    EXPECT_EQ(done(), 0);
    EXPECT_EQ(field(host.root().at("store.planes[2]")).xform("xlate"), (std::vector<float>{10, 23, 5}));
}

}  // namespace
