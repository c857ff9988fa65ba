#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "module_test.h"

namespace {

using vhost::ProgressEvent;
using vtest::msg;

const std::string kConstant = "MakeRainMeshConstant_update";
const std::string kLinear = "MakeRainMeshLinear_update";

struct Line {
    float x = 0, y = 0;
    std::vector<float> z, v;
};

class MakeRainMeshTest : public vtest::ModuleTest {
protected:
    vhost::Object* grid = nullptr;
    vhost::Object* inst = nullptr;
    static constexpr float kOut = 0.0f;   // below the band

    void SetUp() override {
        ModuleTest::SetUp();
        build({{0, 40, 60, 0}});
    }
    // A 2 x 2 x levels grid, spacing 1 (x from 0 to 1, y from 0 to 10, z
    // from zmin up); cols are the columns (0, 0), (1, 0), (0, 1), (1, 1),
    // bottom to top, missing ones filled with `fill`. Band [10, 50], length 0.5.
    void build(std::vector<std::vector<float>> cols, float zmin = 0.0f, float fill = kOut) {
        host.reset();
        const auto levels = static_cast<std::int64_t>(cols.front().size());
        cols.resize(4, std::vector<float>(static_cast<std::size_t>(levels), fill));
        std::vector<float> v(static_cast<std::size_t>(4 * levels));
        for (std::int64_t k = 0; k < levels; ++k)
            for (std::size_t c = 0; c < 4; ++c) v[static_cast<std::size_t>(4 * k) + c] = cols[c][static_cast<std::size_t>(k)];
        grid = &host.add_field("grid");
        field(*grid).uniform({2, 2, levels}, {0, 0, zmin, 1, 10, zmin + static_cast<float>(levels - 1)}).floats("rain", v);
        inst = &host.add_instance("mesh", "MakeRainMesh");
        host.link("mesh.in_mesh", "grid");
        inst->at("minValue").set_real(10.0);
        inst->at("maxValue").set_real(50.0);
        inst->at("length").set_real(0.5);
    }
    vhost::FieldRef out() { return field(*inst, "out_mesh"); }

    // The lines of out_mesh, in output order, checked for consistency.
    std::vector<Line> lines() {
        std::vector<Line> result;
        auto c = out().coord();
        auto v = out().float_values(0);
        auto pairs = out().poly_connect(0);
        EXPECT_EQ(static_cast<std::int64_t>(v.size()), out().nnodes());
        EXPECT_EQ(c.size(), 3 * v.size());
        std::int64_t next = 0;
        for (std::size_t p = 0; p + 1 < pairs.size(); p += 2) {
            EXPECT_EQ(pairs[p], next);   // line after line, no gaps
            Line l;
            l.x = c[static_cast<std::size_t>(3 * pairs[p])];
            l.y = c[static_cast<std::size_t>(3 * pairs[p] + 1)];
            for (std::int64_t n = pairs[p]; n <= pairs[p + 1]; ++n) {
                EXPECT_EQ(c[static_cast<std::size_t>(3 * n)], l.x);
                EXPECT_EQ(c[static_cast<std::size_t>(3 * n + 1)], l.y);
                l.z.push_back(c[static_cast<std::size_t>(3 * n + 2)]);
                l.v.push_back(v[static_cast<std::size_t>(n)]);
            }
            next = pairs[p + 1] + 1;
            result.push_back(l);
        }
        EXPECT_EQ(next, out().nnodes());
        return result;
    }
    Line only_line() {
        auto l = lines();
        EXPECT_EQ(l.size(), 1u);
        return l.empty() ? Line{} : l.front();
    }
};

using Floats = std::vector<float>;

TEST_F(MakeRainMeshTest, CrossingsAtBothEndsAndTheTopPointFirst) {
    // Rising through the band: enters a quarter above level 0 (10 between 0
    // and 40), leaves half-way between levels 1 and 2 (50 between 40 and 60).
    run(*inst, {}, kConstant);
    Line l = only_line();
    EXPECT_EQ(l.x, 0.0f);
    EXPECT_EQ(l.y, 0.0f);
    EXPECT_EQ(l.z, (Floats{1.5f, 1.25f, 0.75f, 0.25f}));
    EXPECT_EQ(l.v, (Floats{45, 45, 30, 10}));   // the top point has the last sample's value
    EXPECT_EQ(out().cell_type(0), "Polyline");

    // Falling through it, in column (1, 1): enters at 50 between 60 and 40,
    // leaves at 10 between 40 and 0.
    build({{kOut, kOut, kOut}, {kOut, kOut, kOut}, {kOut, kOut, kOut}, {60, 40, 0}});
    run(*inst, {}, kConstant);
    l = only_line();
    EXPECT_EQ(l.x, 1.0f);
    EXPECT_EQ(l.y, 10.0f);
    EXPECT_EQ(l.z, (Floats{1.75f, 1.5f, 1.0f, 0.5f}));
    EXPECT_EQ(l.v, (Floats{20, 20, 40, 50}));
}

TEST_F(MakeRainMeshTest, AColumnInsideTheBandEndsOneLevelBelowTheTop) {
    build({{20, 20, 20, 20}});
    run(*inst, {}, kConstant);
    Line l = only_line();
    EXPECT_EQ(l.z, (Floats{2, 2, 1.5f, 1, 0.5f, 0}));
    EXPECT_EQ(l.v, Floats(6, 20.0f));
}

TEST_F(MakeRainMeshTest, RunsAreSplitByNodesOutsideTheBandAndListedNewestFirst) {
    // Column (0, 0): two runs sharing the node between them; column (0, 1):
    // one run. Built (0, 0), (0, 1); written newest first.
    build({{40, 0, 40, 40}, {kOut, kOut, kOut, kOut}, {40, 40, 40, 40}});
    run(*inst, {}, kConstant);
    auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].y, 10.0f);   // column (0, 1)
    EXPECT_EQ(l[0].z, (Floats{2, 2, 1.5f, 1, 0.5f, 0}));
    EXPECT_EQ(l[1].y, 0.0f);    // the upper run of (0, 0): from 10 between 0 and 40
    EXPECT_EQ(l[1].z, (Floats{2, 1.75f, 1.25f}));
    EXPECT_EQ(l[1].v, (Floats{30, 30, 10}));
    EXPECT_EQ(l[2].z, (Floats{0.75f, 0.5f, 0}));   // the lower run: leaves at 10 between 40 and 0
    EXPECT_EQ(l[2].v, (Floats{20, 20, 40}));
    EXPECT_EQ(out().poly_connect(0), (std::vector<std::int64_t>{0, 5, 6, 8, 9, 11}));
}

TEST_F(MakeRainMeshTest, NullNodesEndAndStartRuns) {
    const float null = -1.0f;
    build({{30, 30, null, 0},      // ends below the null node
           {null, 40, 40, 60},     // starts exactly at the first node after it
           {0, 40, null, 0},       // the run's top lies below its bottom: no sample
           {null, 30, null, 30}});  // single nodes between nulls: no line
    field(*grid).null_value(0, null);
    run(*inst, {}, kConstant);
    auto l = lines();
    ASSERT_EQ(l.size(), 3u);
    // Built (0, 0), (0, 1), (1, 0); written newest first.
    EXPECT_EQ(l[0].x, 1.0f);
    EXPECT_EQ(l[0].y, 0.0f);
    EXPECT_EQ(l[0].z, (Floats{2.5f, 2.5f, 2, 1.5f, 1}));
    EXPECT_EQ(l[0].v, (Floats{50, 50, 40, 40, 40}));
    EXPECT_EQ(l[1].x, 0.0f);
    EXPECT_EQ(l[1].y, 10.0f);
    EXPECT_EQ(l[1].z, (Floats{0}));   // a top point alone, at the level below the null
    EXPECT_EQ(l[1].v, (Floats{10}));  // with the lower bound
    EXPECT_EQ(l[2].z, (Floats{0, 0}));
    EXPECT_EQ(l[2].v, (Floats{30, 30}));

    // Without the null flag -1 is just a value below the band.
    field(*grid).null_value(0, null, 0);
    run(*inst, {}, kConstant);
    EXPECT_EQ(lines().size(), 5u);
}

TEST_F(MakeRainMeshTest, BoundsComponentAndNothingInTheBand) {
    // Unset bounds come from the component's range; so do reversed ones.
    build({{20, 20, 20}, {30, 30, 30}, {25, 25, 25}, {22, 22, 22}});
    for (bool reversed : {false, true}) {
        if (reversed) {
            inst->at("minValue").set_real(100.0);
            inst->at("maxValue").set_real(-100.0);
        } else {
            inst->at("minValue").clear_value();
            inst->at("maxValue").clear_value();
        }
        run(*inst, {}, kConstant);
        EXPECT_EQ(lines().size(), 4u);   // every column lies in [20, 30]
    }

    // A component index beyond the last selects the last component.
    field(*grid).floats("other", Floats(12, 0.0f));
    inst->at("component").set_int(7);
    inst->at("minValue").set_real(10.0);
    inst->at("maxValue").set_real(50.0);
    run(*inst, {}, kConstant);
    EXPECT_EQ(out().nnodes(), 0);
    EXPECT_EQ(out().cell_set(0).at("npolys").int_value(), 0);
    inst->at("component").clear_value();   // unreadable: component 0
    run(*inst, {}, kConstant);
    EXPECT_EQ(lines().size(), 4u);
    // Nothing in the band: an empty mesh, and no failure.
    inst->at("minValue").set_real(31.0);
    run(*inst, {}, kConstant);
    EXPECT_EQ(out().nnodes(), 0);
    EXPECT_EQ(out().cell_set(0).at("npolys").int_value(), 0);
}

TEST_F(MakeRainMeshTest, LinearSpacingWidensWithTheValue) {
    // Band [0, 40]: a value of 40 doubles the spacing of 0.5.
    build({{40, 40, 40, 40}}, 0.0f, -100.0f);
    inst->at("minValue").set_real(0.0);
    inst->at("maxValue").set_real(40.0);
    run(*inst, {}, kLinear);
    EXPECT_EQ(only_line().z, (Floats{2, 2, 1, 0}));
    run(*inst, {}, kConstant);
    EXPECT_EQ(only_line().z, (Floats{2, 2, 1.5f, 1, 0.5f, 0}));
    // 10 in a band 40 wide: 0.5 * 10 / 40 + 0.5 = 0.625.
    build({{10, 10, 10, 10}}, 0.0f, -100.0f);
    inst->at("minValue").set_real(0.0);
    inst->at("maxValue").set_real(40.0);
    run(*inst, {}, kLinear);
    EXPECT_EQ(only_line().z, (Floats{2, 1.875f, 1.25f, 0.625f, 0}));
    // Values at or below zero keep the plain spacing: the step stays positive.
    build({{-40, -40, -40, -40}}, 0.0f, 100.0f);
    inst->at("minValue").set_real(-40.0);
    inst->at("maxValue").set_real(0.0);
    run(*inst, {}, kLinear);
    EXPECT_EQ(only_line().z, (Floats{2, 2, 1.5f, 1, 0.5f, 0}));
}

TEST_F(MakeRainMeshTest, ProgressIsReportedInTwoRanges) {
    build({{40, 40, 40}, {40, 40, 40}, {40, 40, 40}});
    run(*inst, {}, kLinear);
    using K = ProgressEvent::Kind;
    std::vector<std::tuple<K, int, int, std::string>> want{
        {K::Check, 0, 0, "MakeRainMeshLinear"}, {K::Push, 0, 50, ""},
        {K::Check, 0, 0, "MakeRainMeshLinear"}, {K::Check, 50, 0, "MakeRainMeshLinear"},   // per grid row i
        {K::Pop, 0, 0, ""},                     {K::Push, 50, 100, ""},
        {K::Check, 0, 0, "MakeRainMeshLinear"}, {K::Check, 33, 0, "MakeRainMeshLinear"},   // per line
        {K::Check, 66, 0, "MakeRainMeshLinear"}, {K::Pop, 0, 0, ""}};
    std::vector<std::tuple<K, int, int, std::string>> got;
    for (const auto& e : host.progress_events()) got.emplace_back(e.kind, e.a, e.b, e.text);
    EXPECT_EQ(got, want);

    // A failed scan closes its range and opens no other.
    host.reset();
    build({{40, 40, 40}});
    inst->make_link("in_mesh", "nowhere");
    run(*inst, {msg("MakeRainMeshConstant", "can not get in_mesh.\n")}, kConstant);
    got.clear();
    for (const auto& e : host.progress_events()) got.emplace_back(e.kind, e.a, e.b, e.text);
    EXPECT_EQ(got, (std::vector<std::tuple<K, int, int, std::string>>{
                       {K::Check, 0, 0, "MakeRainMeshConstant"}, {K::Push, 0, 50, ""}, {K::Pop, 0, 0, ""}}));
}

TEST_F(MakeRainMeshTest, ScanFailuresAreReportedUnderTheVariantsName) {
    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::string message;
    };
    const std::vector<Case> cases{
        {"no in_mesh", [&] { inst->make_link("in_mesh", "nowhere"); }, "can not get in_mesh.\n"},
        {"two dimensions", [&] { field(*grid).dims({4, 4}); }, "can not get in_mesh.dims.\n"},
        {"one level", [&] { field(*grid).uniform({2, 8, 1}, {0, 0, 0, 1, 7, 0}); }, "in_mesh.dims[2] is less than 2.\n"},
        {"one column of x", [&] { field(*grid).uniform({1, 4, 4}, {0, 0, 0, 0, 3, 3}); }, "in_mesh.dims[0] is less than 2.\n"},
        {"no components", [&] { grid->at("nnode_data").set_int(0); }, "can not get in_mesh.nnode_data.\n"},
        {"integer values", [&] { field(*grid).component(0).at("values").retype(DTYPE_INT); },
         "can not get in_mesh.node_data[0].\n"},
        {"negative component", [&] { inst->at("component").set_int(-1); }, "can not get in_mesh.node_data[-1].\n"},
        {"zero length", [&] { inst->at("length").set_real(0.0); }, "length is not positive.\n"},
        {"negative length", [&] { inst->at("length").set_real(-0.5); }, "length is not positive.\n"},
        {"NaN length", [&] { inst->at("length").set_real(std::numeric_limits<double>::quiet_NaN()); },
         "length is not positive.\n"},
        {"four corner values", [&] { field(*grid).nspace(2); }, "can not get in_mesh.points.\n"},
        {"flat grid", [&] { grid->at("points").assign_doubles({0, 0, 5, 1, 10, 5}); },
         "in_mesh.points do not rise along z.\n"},
        {"length lost in the heights",
         [&] {
             grid->at("points").assign_doubles({0, 0, 1e6, 1, 10, 1e6 + 3});
             inst->at("length").set_real(0.01);
         },
         "length is too small for the heights of in_mesh.\n"},
    };
    for (const std::string& entry : {kConstant, kLinear}) {
        const std::string name = entry == kConstant ? "MakeRainMeshConstant" : "MakeRainMeshLinear";
        for (const auto& c : cases) {
            SCOPED_TRACE(name + ": " + c.what);
            build({{20, 20, 20, 20}});
            field(inst->at("out_mesh")).nnodes(3);   // left from an earlier run
            c.spoil();
            run(*inst, {msg(name, c.message)}, entry);
            ASSERT_EQ(host.reports().size(), 1u);
            EXPECT_EQ(host.reports()[0].object, name);
            EXPECT_EQ(out().nnodes(), 3);   // the output is not reached
        }
    }
    // The next update starts afresh.
    build({{20, 20, 20, 20}});
    run(*inst, {}, kConstant);
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(MakeRainMeshTest, OutputFailuresLeaveTheNodeCount) {
    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::string message;
    };
    const std::vector<Case> cases{
        {"no out_mesh", [&] { inst->make_link("out_mesh", "nowhere"); }, "can not get out_mesh.\n"},
        {"two-dimensional points", [&] { field(inst->at("out_mesh")).nspace(2); }, "can not get out_mesh.coord.\n"},
        {"integer values", [&] { field(inst->at("out_mesh")).component(0).at("values").retype(DTYPE_INT); },
         "can not get out_mesh.node_data[0].\n"},
        {"no cell set", [&] { inst->at("out_mesh").at("ncell_sets").set_int(0); },
         "can not get out_mesh.cell_set[0].poly_connect_list.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        build({{20, 20, 20, 20}, {20, 20, 20, 20}});
        c.spoil();
        run(*inst, {msg("MakeRainMeshConstant", c.message)}, kConstant);
        if (std::string(c.what) != "no out_mesh") {
            EXPECT_EQ(out().nnodes(), 12);
        }
    }
}

}  // namespace
