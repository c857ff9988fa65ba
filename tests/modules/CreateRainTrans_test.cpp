#include <cmath>
#include <functional>
#include <limits>

#include "module_test.h"

namespace {

using vtest::msg;

class CreateRainTransTest : public vtest::ModuleTest {
protected:
    vhost::Object* grid = nullptr;
    vhost::Object* inst = nullptr;

    void SetUp() override {
        ModuleTest::SetUp();
        build({5, 10, 30, 50, 60, 20, 10.5f, 49.5f, 0, 0, 0, 0});
    }
    // A 3 x 2 x 2 reflectivity grid; the ramp runs from 10 to 50 dBZ.
    void build(const std::vector<float>& ze) {
        host.reset();
        grid = &host.add_field("grid");
        field(*grid).uniform({3, 2, 2}, {0, 0, 0, 2000, 1000, 1000}).floats("ze", ze, 1, "dBZ");
        inst = &host.add_instance("trans", "CreateRainTrans");
        host.link("trans.in", "grid");
        inst->at("minlevel").set_real(10.0);
        inst->at("maxlevel").set_real(50.0);
    }
    vhost::FieldRef out() { return field(*inst, "out"); }
    int done() { return static_cast<int>(inst->at("done").int_value()); }
};

TEST_F(CreateRainTransTest, CheckerboardAndRampOnTheGeometryOfIn) {
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(out().dims(), (std::vector<std::int64_t>{3, 2, 2}));
    EXPECT_EQ(out().nspace(), 3);
    EXPECT_EQ(out().nnodes(), 12);
    EXPECT_EQ(out().points(), (std::vector<float>{0, 0, 0, 2000, 1000, 1000}));
    ASSERT_EQ(out().ncomp(), 2);
    // i + j odd: 1, even: 0; the layer does not enter.
    EXPECT_EQ(out().float_values(0), (std::vector<float>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
    EXPECT_EQ(out().float_values(1),
              (std::vector<float>{0, 0, 0.5f, 1, 1, 0.25f, 0.0125f, 0.9875f, 0, 0, 0, 0}));
    const char* labels[] = {"trans_line", "trans_ze"};
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(out().label(c), labels[c]);
        EXPECT_EQ(out().type(c), DTYPE_FLOAT);
        EXPECT_EQ(out().veclen(c), 1);
        EXPECT_EQ(out().component(c).at("id").int_value(), 672);
        EXPECT_FALSE(out().null_flag(c));
        EXPECT_EQ(out().units(c), "");
    }
}

TEST_F(CreateRainTransTest, RampEndsNaNAndNarrowOrReversedLevels) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    build({9.999f, 10, 50, 50.001f, nan, 30, 0, 0, 0, 0, 0, 0});
    run(*inst, {});
    auto v = out().float_values(1);
    EXPECT_EQ(v[0], 0.0f);   // below
    EXPECT_EQ(v[1], 0.0f);   // at minlevel
    EXPECT_EQ(v[2], 1.0f);   // at maxlevel, after rounding
    EXPECT_EQ(v[3], 1.0f);   // above
    EXPECT_TRUE(std::isnan(v[4]));   // NaN passes both tests
    EXPECT_EQ(v[5], 0.5f);

    // Levels closer than 1e-6: the ramp collapses to 0 between them.
    build({0.4f, 0.5f, 0.5000004f, 0.6f, 0, 0, 0, 0, 0, 0, 0, 0});
    inst->at("minlevel").set_real(0.5);
    inst->at("maxlevel").set_real(0.5000008);
    run(*inst, {});
    v = out().float_values(1);
    EXPECT_EQ(v[0], 0.0f);
    EXPECT_EQ(v[1], 0.0f);
    EXPECT_EQ(v[2], 0.0f);
    EXPECT_EQ(v[3], 1.0f);

    // maxlevel below minlevel: a step, 0 below minlevel, 1 from it upward.
    build({29.9f, 30, 25, 35, 0, 0, 0, 0, 0, 0, 0, 0});
    inst->at("minlevel").set_real(30.0);
    inst->at("maxlevel").set_real(20.0);
    run(*inst, {});
    v = out().float_values(1);
    EXPECT_EQ(v[0], 0.0f);
    EXPECT_EQ(v[1], 1.0f);
    EXPECT_EQ(v[2], 0.0f);
    EXPECT_EQ(v[3], 1.0f);
    EXPECT_EQ(done(), 1);
}

TEST_F(CreateRainTransTest, InactiveOrEmptyDoesNothing) {
    for (int active : {0, -2}) {
        inst->at("active").set_int(active);
        run(*inst, {});
    }
    inst->at("active").clear_value();
    run(*inst, {});
    EXPECT_EQ(done(), 0);
    EXPECT_EQ(out().ncomp(), 0);

    inst->at("active").set_int(1);
    field(*grid).nnodes(0);
    run(*inst, {});
    EXPECT_EQ(done(), 0);
    EXPECT_EQ(out().ncomp(), 0);
    EXPECT_EQ(out().nnodes(), 0);
}

TEST_F(CreateRainTransTest, FailuresBeforeTheOutputLeaveItUntouched) {
    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::string message;
    };
    const std::vector<Case> cases{
        {"no minlevel", [&] { inst->at("minlevel").clear_value(); }, "can not get minlevel.\n"},
        {"no maxlevel", [&] { inst->at("maxlevel").clear_value(); }, "can not get maxlevel.\n"},
        {"no zecomp", [&] { inst->at("zecomp").clear_value(); }, "can not get zecomp.\n"},
        {"two-dimensional grid", [&] { field(*grid).dims({6, 2}); }, "can not get dims.\n"},
        {"four corner values", [&] { field(*grid).nspace(2); }, "can not get points.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build(std::vector<float>(12, 20.0f));
        c.spoil();
        run(*inst, {msg("trans", c.message)});
        EXPECT_EQ(done(), 0);
        EXPECT_EQ(out().ncomp(), 0);
        EXPECT_EQ(out().nnodes(), 0);
    }
}

TEST_F(CreateRainTransTest, BadReflectivityLeavesGeometryAndLinePattern) {
    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::string message;
    };
    const std::vector<Case> cases{
        {"integer reflectivity", [&] { field(*grid).component(0).at("values").retype(DTYPE_INT); },
         "DTYPE_FLOAT != dtype.\n"},
        {"no such component", [&] { inst->at("zecomp").set_int(3); }, "DTYPE_FLOAT != dtype.\n"},
        {"negative component", [&] { inst->at("zecomp").set_int(-1); }, "DTYPE_FLOAT != dtype.\n"},
        {"vector reflectivity",
         [&] {
             field(*grid).floats("wind", std::vector<float>(36, 1.0f), 3);
             inst->at("zecomp").set_int(1);
         },
         "1 != dvec.\n"},
        {"no values",
         [&] {
             host.root().add_free_array("empty", DTYPE_FLOAT);
             field(*grid).component(0).make_link("values", "empty");
         },
         "can not get ze.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build(std::vector<float>(12, 20.0f));
        c.spoil();
        run(*inst, {msg("trans", c.message)});
        EXPECT_EQ(done(), 0);
        EXPECT_EQ(out().dims(), (std::vector<std::int64_t>{3, 2, 2}));
        ASSERT_EQ(out().ncomp(), 2);
        EXPECT_EQ(out().float_values(0), (std::vector<float>{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
        EXPECT_EQ(out().label(1), "");   // component 1 untouched
        EXPECT_EQ(out().type(1), -1);
    }
}

TEST_F(CreateRainTransTest, AnOutputWithoutArraysFails) {
    inst->make_link("out", "nowhere");
    run(*inst, {msg("trans", "can not get trans_data.\n")});
    EXPECT_EQ(done(), 0);
}

}  // namespace
