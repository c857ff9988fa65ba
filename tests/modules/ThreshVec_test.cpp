#include "module_test.h"

namespace {

class ThreshVecTest : public vtest::InstanceTest {
protected:
    // Five nodes: ze = 10, 20, 30, 40, 50 and a wind (n, 10 n, 100 n); the band is (20, 50).
    void build() override {
        std::vector<float> wind;
        for (int n = 1; n <= 5; ++n) wind.insert(wind.end(), {float(n), 10.0f * n, 100.0f * n});
        new_grid().nnodes(5).floats("ze", {10, 20, 30, 40, 50}, 1, "dBZ").floats("wind", wind, 3, "m/s");
        inst = &instance("tv", "ThreshVec", {{"in", "grid"}}, {{"comp", 0}, {"vec_min", 20.0}, {"vec_max", 50.0}});
    }
    vhost::FieldRef out() { return field(*inst, "out_nd"); }
};

TEST_F(ThreshVecTest, StrictBandNullValuesAndFailures) {
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(out().nnodes(), 5);
    ASSERT_EQ(out().ncomp(), 2);
    // 20 and 50 lie on the bounds: not selected.
    EXPECT_EQ(out().float_values(0), (std::vector<float>{0, 0, 30, 40, 0}));
    EXPECT_EQ(out().float_values(1),
              (std::vector<float>{0, 0, 0, 0, 0, 0, 3, 30, 300, 4, 40, 400, 0, 0, 0}));   // vectors whole
    vtest::expect_component(out(), 0, DTYPE_FLOAT, 1, "ze");   // units are not copied
    vtest::expect_component(out(), 1, DTYPE_FLOAT, 3, "wind");
    EXPECT_EQ(out().ncell_sets(), 0);
    // A band upside down selects nothing, and that is a success.
    inst->at("vec_min").set_real(60.0);
    run(*inst, {});
    EXPECT_EQ(out().float_values(1), std::vector<float>(15, 0.0f));
    // Bounds are narrowed to float: 30.1 as a double lies above 30.1f; narrowed, the node is not inside.
    build();
    field(*grid).component(0).at("values").as<float>()[2] = 30.1f;
    inst->at("vec_min").set_real(30.1);
    run(*inst, {});
    EXPECT_EQ(out().float_values(0), (std::vector<float>{0, 0, 0, 40, 0}));
    build();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // The selecting component: -999 is null and lies inside the band; NaN is never inside.
    vhost::set_floats(field(*grid).component(0).at("values"), {-999, 30, nan, 40, 45});
    field(*grid).null_value(0, -999.0);
    inst->at("vec_min").set_real(-1000.0);
    // A third component with its own null flag 2: its null values turn to zero.
    field(*grid).floats("rain", {1, 7.5f, 2, 7.5f, 3}).null_value(2, 7.5, 2);
    run(*inst, {});
    EXPECT_EQ(out().float_values(0), (std::vector<float>{0, 30, 0, 40, 45}));
    EXPECT_EQ(out().float_values(2), (std::vector<float>{0, 0, 0, 0, 3}));
    // A null flag other than 1 does not guard the selection, yet blanks the selector's null values in the copy.
    field(*grid).null_value(0, -999.0, 2);
    run(*inst, {});
    EXPECT_EQ(out().float_values(1)[0], 1.0f);   // node 0 selected now
    EXPECT_EQ(out().float_values(0)[0], 0.0f);   // yet -999 is copied as 0
    // Failures before the copy leave the output untouched.
    expect_idle({[&] { field(*grid).nnodes(0); unset("comp"); }}, [&] { EXPECT_EQ(out().nnodes(), 0); });
    expect_failures({
        unset_case("comp"),
        unset_case("vec_min"),
        unset_case("vec_max"),
        {"integer selector",
         [&] { field(*grid).ints("n", {1, 2, 3, 4, 5}); inst->at("comp").set_int(2); },
         "unsupport data_type, DTYPE_FLOAT only.\n"},
        {"vector selector", [&] { inst->at("comp").set_int(1); }, "unsupport veclen, scalar data only.\n"},
        {"no such component", [&] { inst->at("comp").set_int(7); }, "unsupport data_type, DTYPE_FLOAT only.\n"},
        {"negative component", [&] { inst->at("comp").set_int(-1); }, "unsupport data_type, DTYPE_FLOAT only.\n"},
        {"no ze", [&] { relink(field(*grid).component(0), "values", DTYPE_FLOAT); }, "can not get thresh_value.\n"},
    }, [&] { EXPECT_EQ(out().nnodes(), 0); EXPECT_EQ(out().ncomp(), 0); });
    // Failures in the copy keep the components before.
    expect_failures({
        {"int comp", [&] { field(*grid).ints("n", {1, 2, 3, 4, 5}); }, "unsupport data_type, DTYPE_FLOAT only.\n"},
        {"empty vector", [&] { field(*grid).floats("none", {}, 0); }, "1 > veclen.\n"},
        {"no input values",
         [&] {
             field(*grid).floats("rain", {1, 2, 3, 4, 5});
             relink(field(*grid).component(2), "values", DTYPE_FLOAT);
         },
         "can not get input_value.\n"},
        {"no output values",
         [&] {
             field(*grid).floats("rain", {1, 2, 3, 4, 5});
             field(inst->at("out_nd")).nnodes(5);
             field(inst->at("out_nd")).object().at("nnode_data").set_int(3);
             field(inst->at("out_nd")).component(2).make_link("values", "nowhere");
         },
         "can not get output_value.\n"},
    }, [&] {
        EXPECT_EQ(out().ncomp(), 3);
        EXPECT_EQ(out().float_values(0), (std::vector<float>{0, 0, 30, 40, 0}));
        EXPECT_EQ(out().float_values(1).size(), 15u);
    });
}

}  // namespace
