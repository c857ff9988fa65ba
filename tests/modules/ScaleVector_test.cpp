#include "module_test.h"

namespace {

const char* const kFactors[9] = {"fixed_u", "fixed_v", "fixed_w", "disp_u", "disp_v",
                                 "disp_w",  "arbit_u", "arbit_v", "arbit_w"};

class ScaleVectorTest : public vtest::InstanceTest {
protected:
    // ze, u, v, w on three nodes; node 0 is (3, 4, 0), node 2 has w = -999; comp (1, 2, 3), factors 1, threshold -100.
    void build() override {
        new_grid().nnodes(3).floats("ze", {10, 20, 30}).floats("u", {3, 1, 5}).floats("v", {4, 2, 6});
        field(*grid).floats("w", {0, 3, -999});
        inst = &instance("sv", "ScaleVector", {{"in", "grid"}}, {{"thresh_value", -100.0}});
        vhost::set_ints(inst->at("comp"), {1, 2, 3});
        for (const char* f : kFactors) inst->at(f).set_real(1.0);
    }
    vhost::FieldRef out() { return field(*inst, "out"); }
};

TEST_F(ScaleVectorTest, ScalesEachAxisAndKeepsTheUnscaledMagnitude) {
    inst->at("thresh_value").set_real(-1000.0);
    run(*inst, {});
    EXPECT_EQ(out().float_values(0), (std::vector<float>{3, 4, 0, 1, 2, 3, 5, 6, -999}));
    inst->at("thresh_value").set_real(-100.0);
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(out().nnodes(), 3);
    ASSERT_EQ(out().ncomp(), 2);
    vtest::expect_component(out(), 0, DTYPE_FLOAT, 3, "vec_scale");
    vtest::expect_component(out(), 1, DTYPE_FLOAT, 1, "vec_scale_mag");
    // w = -999 lies below the threshold: zero vector, zero magnitude.
    EXPECT_EQ(out().float_values(0), (std::vector<float>{3, 4, 0, 1, 2, 3, 0, 0, 0}));
    EXPECT_EQ(out().float_values(1), (std::vector<float>{5, std::sqrt(14.0f), 0}));
    vtest::set_params(*inst, {{"fixed_u", 2.0}, {"disp_u", 10.0}, {"arbit_u", 0.5}});
    run(*inst, {});
    EXPECT_EQ(out().float_values(0), (std::vector<float>{30, 4, 0, 10, 2, 3, 0, 0, 0}));
    EXPECT_EQ(out().float_values(1)[0], 5.0f);   // still the unscaled magnitude
    // A value equal to the threshold is kept.
    inst->at("thresh_value").set_real(0.0);
    run(*inst, {});
    EXPECT_EQ(out().float_values(1)[0], 5.0f);
}

TEST_F(ScaleVectorTest, FactorsInDoubleAndFailuresBeforeTheOutput) {
    // Widened input times fixed, then disp, then arbit, rounded once.
    vtest::set_params(*inst, {{"fixed_v", 0.1}, {"disp_v", 0.7}, {"arbit_v", 1.0 / 3.0}});
    run(*inst, {});
    EXPECT_EQ(out().float_values(0)[1], static_cast<float>(4.0 * 0.1 * 0.7 * (1.0 / 3.0)));
    const float sum = (1.0f * 1.0f + 2.0f * 2.0f) + 3.0f * 3.0f;
    EXPECT_EQ(out().float_values(1)[1], static_cast<float>(std::sqrt(static_cast<double>(sum))));
    // Repeated components and not a number.
    build();
    vhost::set_ints(inst->at("comp"), {1, 1, 2});
    field(*grid).component(1).at("values").as<float>()[1] = std::numeric_limits<float>::quiet_NaN();
    run(*inst, {});
    const auto vec = out().float_values(0);
    EXPECT_EQ(std::vector<float>(vec.begin(), vec.begin() + 3), (std::vector<float>{3, 3, 4}));
    EXPECT_EQ(out().float_values(1)[0], std::sqrt(34.0f));
    EXPECT_TRUE(std::isnan(vec[3]));   // not a number passes the threshold test and propagates
    EXPECT_TRUE(std::isnan(out().float_values(1)[1]));
    // Failures before the output leave it untouched.
    expect_idle({[&] { field(*grid).nnodes(0); }}, [&] { EXPECT_EQ(out().ncomp(), 0); });
    std::vector<Failure> cases{
        {"two indices", [&] { vhost::set_ints(inst->at("comp"), {1, 2}); }, "can not get vec_comp.\n"},
        {"four indices", [&] { vhost::set_ints(inst->at("comp"), {1, 2, 3, 0}); }, "can not get vec_comp.\n"},
        {"no indices", [&] { vhost::set_ints(inst->at("comp"), {}); }, "can not get vec_comp.\n"},
        {"real indices", [&] { relink(*inst, "comp", DTYPE_FLOAT, 3); }, "can not get vec_comp.\n"},
        {"integer component",
         [&] { field(*grid).ints("n", {1, 2, 3}); vhost::set_ints(inst->at("comp"), {1, 4, 2}); },
         "the type of node_data[4] is not DTYPE_FLOAT.\n"},
        {"missing component", [&] { vhost::set_ints(inst->at("comp"), {1, 2, 9}); },
         "the type of node_data[9] is not DTYPE_FLOAT.\n"},
        {"vector component",
         [&] { field(*grid).floats("wind", {1, 1, 1, 1, 1, 1}, 2); vhost::set_ints(inst->at("comp"), {4, 2, 3}); },
         "node_data[4] is not scalar.\n"},
        {"no values", [&] { relink(field(*grid).component(2), "values", DTYPE_FLOAT); }, "can not get node_data[2].value.\n"},
        unset_case("thresh_value"),
    };
    for (const char* f : kFactors) cases.push_back(unset_case(f));
    expect_failures(cases, [&] { EXPECT_EQ(out().nnodes(), 0); EXPECT_EQ(out().ncomp(), 0); });
    expect_failures({{"no output", [&] { inst->make_link("out", "nowhere"); }, "can not get oval.\n"}});
    auto no_magnitudes = [&] {
        out().object().at("nnode_data").set_int(2);
        out().component(1).make_link("values", "nowhere");
    };
    expect_failures({{"no magnitudes", no_magnitudes, "can not get omag.\n"}},   // what was set before stays
                    [&] { EXPECT_EQ(out().nnodes(), 3); EXPECT_EQ(out().label(0), "vec_scale"); });
}

}  // namespace
