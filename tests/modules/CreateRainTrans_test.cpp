#include "module_test.h"

namespace {

const std::vector<float> kLines{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};   // i + j odd: 1, even: 0

class CreateRainTransTest : public vtest::InstanceTest {
protected:
    void build() override { build(std::vector<float>(12, 20.0f)); }
    // A 3 x 2 x 2 reflectivity grid; the ramp runs from 10 to 50 dBZ.
    void build(const std::vector<float>& ze) {
        new_grid().uniform({3, 2, 2}, {0, 0, 0, 2000, 1000, 1000}).floats("ze", ze, 1, "dBZ");
        inst = &instance("trans", "CreateRainTrans", {{"in", "grid"}}, {{"minlevel", 10.0}, {"maxlevel", 50.0}});
    }
    vhost::FieldRef out() { return field(*inst, "out"); }
    std::vector<float> ramp(const std::vector<float>& ze, double lo, double hi) {
        std::vector<float> v(ze);
        v.resize(12, 0.0f);
        build(v);
        vtest::set_params(*inst, {{"minlevel", lo}, {"maxlevel", hi}});
        run(*inst, {});
        EXPECT_EQ(done(), 1);
        v = out().float_values(1);
        v.resize(ze.size());
        return v;
    }
};

TEST_F(CreateRainTransTest, CheckerboardAndRampOnTheGeometryOfInAndFailures) {
    build({5, 10, 30, 50, 60, 20, 10.5f, 49.5f, 0, 0, 0, 0});
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(out().dims(), (std::vector<std::int64_t>{3, 2, 2}));
    EXPECT_EQ(out().nspace(), 3);
    EXPECT_EQ(out().nnodes(), 12);
    EXPECT_EQ(out().points(), (std::vector<float>{0, 0, 0, 2000, 1000, 1000}));
    ASSERT_EQ(out().ncomp(), 2);
    EXPECT_EQ(out().float_values(0), kLines);   // the layer does not enter
    EXPECT_EQ(out().float_values(1), (std::vector<float>{0, 0, 0.5f, 1, 1, 0.25f, 0.0125f, 0.9875f, 0, 0, 0, 0}));
    for (int c = 0; c < 2; ++c) {
        vtest::expect_component(out(), c, DTYPE_FLOAT, 1, c == 0 ? "trans_line" : "trans_ze");
        EXPECT_EQ(out().component(c).at("id").int_value(), 672);
    }
    // Below, at minlevel, at maxlevel (after rounding), above; NaN passes both tests.
    auto v = ramp({9.999f, 10, 50, 50.001f, std::numeric_limits<float>::quiet_NaN(), 30}, 10, 50);
    EXPECT_EQ(std::vector<float>(v.begin(), v.begin() + 4), (std::vector<float>{0, 0, 1, 1}));
    EXPECT_TRUE(std::isnan(v[4]));
    EXPECT_EQ(v[5], 0.5f);
    // Levels closer than 1e-6: the ramp collapses to 0 between them.
    EXPECT_EQ(ramp({0.4f, 0.5f, 0.5000004f, 0.6f}, 0.5, 0.5000008), (std::vector<float>{0, 0, 0, 1}));
    // maxlevel below minlevel: a step, 0 below minlevel, 1 from it upward.
    EXPECT_EQ(ramp({29.9f, 30, 25, 35}, 30, 20), (std::vector<float>{0, 1, 0, 1}));
    expect_idle({[&] { inst->at("active").set_int(0); }, [&] { inst->at("active").set_int(-2); },
                 [&] { unset("active"); }, [&] { field(*grid).nnodes(0); }},
                [&] { EXPECT_EQ(out().ncomp(), 0); EXPECT_EQ(out().nnodes(), 0); });
    expect_failures({unset_case("minlevel"), unset_case("maxlevel"), unset_case("zecomp"),
                     {"two-dimensional grid", [&] { field(*grid).dims({6, 2}); }, "can not get dims.\n"},
                     {"four corner values", [&] { field(*grid).nspace(2); }, "can not get points.\n"}},
                    [&] { EXPECT_EQ(out().ncomp(), 0); EXPECT_EQ(out().nnodes(), 0); });
    // Bad reflectivity leaves the geometry and the line pattern written.
    expect_failures({
        {"int ze", [&] { field(*grid).component(0).at("values").retype(DTYPE_INT); }, "DTYPE_FLOAT != dtype.\n"},
        {"no such component", [&] { inst->at("zecomp").set_int(3); }, "DTYPE_FLOAT != dtype.\n"},
        {"negative component", [&] { inst->at("zecomp").set_int(-1); }, "DTYPE_FLOAT != dtype.\n"},
        {"vector reflectivity",
         [&] { field(*grid).floats("wind", std::vector<float>(36, 1.0f), 3); inst->at("zecomp").set_int(1); },
         "1 != dvec.\n"},
        {"no values", [&] { relink(field(*grid).component(0), "values", DTYPE_FLOAT); }, "can not get ze.\n"},
    }, [&] {
        EXPECT_EQ(out().dims(), (std::vector<std::int64_t>{3, 2, 2}));
        ASSERT_EQ(out().ncomp(), 2);
        EXPECT_EQ(out().float_values(0), kLines);
        EXPECT_EQ(out().label(1), "");   // component 1 untouched
        EXPECT_EQ(out().type(1), -1);
    });
    expect_failures({{"an output without arrays", [&] { inst->make_link("out", "nowhere"); }, "can not get trans_data.\n"}});
}

}  // namespace
