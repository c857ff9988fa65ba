#include "module_test.h"

namespace {

using vtest::msg;

class ThreshMinTest : public vtest::InstanceTest {
protected:
    // grid: one float component ze = 1, 2, 3; thresh linked to it, 2 / -1.
    void build() override {
        new_grid().nnodes(3).floats("ze", {1.0f, 2.0f, 3.0f}, 1, "dBZ");
        inst = &instance("thresh", "ThreshMin", {{"in", "grid"}}, {{"thresh_value", 2.0}, {"null_value", -1.0}});
    }
    vhost::FieldRef out() { return field(*inst, "out_nd"); }
};

TEST_F(ThreshMinTest, ReplacesValuesBelowThresholdAndDeclaresNull) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    field(*grid).floats("rain", {0.5f, nan, 7.0f});
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(out().nnodes(), 3);
    ASSERT_EQ(out().ncomp(), 2);
    EXPECT_EQ(out().float_values(0), (std::vector<float>{-1.0f, 2.0f, 3.0f}));   // equal is kept
    auto rain = out().float_values(1);
    EXPECT_EQ(rain[0], -1.0f);
    EXPECT_TRUE(std::isnan(rain[1]));   // not a number is kept
    EXPECT_EQ(rain[2], 7.0f);
    vtest::expect_component(out(), 0, DTYPE_FLOAT, 1, "ze", "", -1.0);   // units are never copied
    vtest::expect_component(out(), 1, DTYPE_FLOAT, 1, "rain", "", -1.0);
    // Threshold and null are narrowed to float: 0.1 as a double lies above 0.1f, which is kept.
    build();
    field(*grid).floats("small", {0.1f, 0.0999f, 0.1001f});
    inst->at("thresh_value").set_real(0.1);
    inst->at("null_value").set_real(1e-46);   // 0 as a float
    run(*inst, {});
    EXPECT_EQ(out().float_values(1), (std::vector<float>{0.1f, 0.0f, 0.1001f}));
    EXPECT_EQ(out().null_value(1), 0.0);
    // The input's null value is not consulted.
    build();
    field(*grid).null_value(0, 1.0);
    inst->at("thresh_value").set_real(0.5);
    run(*inst, {});
    EXPECT_EQ(out().float_values(0), (std::vector<float>{1.0f, 2.0f, 3.0f}));
}

TEST_F(ThreshMinTest, FailuresLeaveOutputUntouchedAndLongNamesAreCut) {
    // Empty input: thresh_value is not even read.
    expect_idle({[&] { field(*grid).nnodes(0); unset("thresh_value"); }},
                [&] { EXPECT_EQ(out().nnodes(), 0); EXPECT_EQ(out().ncomp(), 0); });
    expect_failures({
        unset_case("thresh_value"),
        unset_case("null_value"),
        {"no components", [&] { grid->at("nnode_data").set_int(0); }, "can not get nnode_data.\n"},
        {"int comp 1", [&] { field(*grid).ints("n", {1, 2, 3}); }, "unsupport data_type(=DTYPE_FLOAT only).\n"},
        {"vector component", [&] { field(*grid).floats("wind", std::vector<float>(9, 1.0f), 3); },
         "unsupport data(veclen=1 only).\n"},
        {"untyped component", [&] { field(*grid).component(0).at("values").untype(); },
         "unsupport data_type(=DTYPE_FLOAT only).\n"},
    }, [&] { EXPECT_EQ(out().nnodes(), 0); EXPECT_EQ(out().ncomp(), 0); });
    expect_failures({{"no output field", [&] { inst->make_link("out_nd", "nowhere"); }, "can not get oval.\n"}});
    // Missing input values fail after the header and the first component are written.
    expect_failures({{"no values of rain",
                      [&] {
                          field(*grid).floats("rain", {4.0f, 5.0f, 6.0f});
                          relink(field(*grid).component(1), "values", DTYPE_FLOAT);
                      },
                      "can not get ival.\n"}},
                    [&] {
                        EXPECT_EQ(out().nnodes(), 3);
                        EXPECT_EQ(out().ncomp(), 2);
                        EXPECT_EQ(out().float_values(0), (std::vector<float>{-1.0f, 2.0f, 3.0f}));
                        EXPECT_EQ(out().label(1), "rain");
                    });
    // A long object name is cut safely.
    std::string name(1500, 'n');
    host.reset();
    field(host.add_field("grid")).nnodes(1).floats("ze", {1.0f});
    run(instance(name, "ThreshMin", {{"in", "grid"}}), {std::string(1023, 'n')});
}

}  // namespace
