#include "module_test.h"

namespace {

using vtest::msg;

const std::string kPicked = "isosurface_nest is picked.\n";

class GetPickInfoTest : public vtest::InstanceTest {
protected:
    void build() override {
        host.reset();
        inst = &instance("pick", "GetPickInfo", {}, {{"fr_num", 1}, {"bk_num", 1}});
    }
    // Entry k of list reports npicked picks, the first at p.
    void pick(const std::string& list, int k, int npicked, std::vector<float> p = {0, 0, 0}) {
        const std::string entry = list + "[" + std::to_string(k) + "].pick_info";
        inst->at(entry + ".npicked").set_int(npicked);
        if (npicked >= 1) vhost::set_floats(inst->at(entry + ".pick_data[0].point"), p);
    }
    // The update, which also writes its line to standard output every time.
    void update(const vtest::Messages& expected = {}) { EXPECT_EQ(run_stdout(*inst, expected), kPicked); }
    vhost::FieldRef out() { return field(*inst, "out"); }
    std::vector<std::string> pick_no() { return inst->at("pick_no").strings(); }
};

TEST_F(GetPickInfoTest, FirstObjectPickedOnceIsTakenFrontBeforeBack) {
    auto front = [&](int n) { inst->at("fr_num").set_int(n); };
    // Entries picked twice are skipped; no point: nothing changes.
    const std::vector<std::pair<std::function<void()>, std::vector<float>>> cases{
        {[&] { front(3); pick("fr_obj", 2, 1, {3, 3, 3}); }, {3, 3, 3}},
        {[&] { front(2); pick("fr_obj", 0, 2, {9, 9, 9}); pick("fr_obj", 1, 1, {2, 2, 2}); }, {2, 2, 2}},
        {[&] { pick("fr_obj", 0, 1, {1, 1, 1}); pick("bk_obj", 0, 1, {5, 5, 5}); }, {1, 1, 1}},
        {[&] { pick("bk_obj", 0, 1, {5, 5, 5}); }, {5, 5, 5}},
        {[&] { front(0); pick("bk_obj", 0, 1, {6, 6, 6}); }, {6, 6, 6}},
        {[] {}, {}},
        // No lists, or inactive: nothing to take, yet the line is written.
        {[&] { vtest::set_params(*inst, {{"fr_num", 0}, {"bk_num", -1}}); }, {}},
        {[&] { inst->at("active").set_int(0); pick("fr_obj", 0, 1); }, {}},
        {[&] { inst->at("active").clear_value(); pick("fr_obj", 0, 1); }, {}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        build();
        cases[i].first();
        update();
        EXPECT_EQ(done(), cases[i].second.empty() ? 0 : 1);
        EXPECT_EQ(out().coord(), cases[i].second);
        EXPECT_EQ(out().ncell_sets(), cases[i].second.empty() ? 0 : 1);
    }
}

TEST_F(GetPickInfoTest, BrokenEntriesAndEveryFailureHaveTheirMessages) {
    inst->at("fr_num").set_int(2);
    host.link("pick.fr_obj[1]", "nowhere");   // entry 0 not picked, entry 1 missing
    pick("bk_obj", 0, 1, {7, 8, 9});
    update({msg("pick", "can not find fr_obj[1].\n")});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(out().coord(), (std::vector<float>{7, 8, 9}));
    // A message from the back list replaces the front one.
    build();
    host.link("pick.fr_obj[0]", "nowhere");
    host.link("pick.bk_obj[0]", "nowhere");
    update({msg("pick", "can not find bk_obj[0].\n")});
    EXPECT_EQ(done(), 0);
    EXPECT_EQ(out().nnodes(), 0);
    // The entries after a missing one are not tried.
    build();
    vtest::set_params(*inst, {{"fr_num", 2}, {"bk_num", 0}});
    host.link("pick.fr_obj[0]", "nowhere");
    pick("fr_obj", 1, 1, {1, 2, 3});
    update({msg("pick", "can not find fr_obj[0].\n")});
    EXPECT_EQ(out().nnodes(), 0);
    auto bare_object = [&](bool with_info, bool with_data) {
        vhost::Object& o = host.root().add_group("obj");
        if (with_info) {
            vhost::Object& info = o.add_group("pick_info");
            info.add_int("npicked", 1);
            if (with_data) info.add_group_array("pick_data", vhost::shape({vhost::term(1)}));
        }
        host.link("pick.fr_obj[0]", "obj");
    };
    auto picked = [&](std::function<void()> spoil) { return [this, spoil] { pick("fr_obj", 0, 1); spoil(); }; };
    expect_failures({
        unset_case("fr_num"),
        unset_case("bk_num"),
        {"no pick_info", [&] { bare_object(false, false); }, "can not find pick_info.\n"},
        {"no pick_data", [&] { bare_object(true, false); }, "can not find pick_data[0].\n"},
        {"no point", [&] { bare_object(true, true); }, "can not get pick_data[0].point.\n"},
        {"point of two", picked([&] { relink(inst->at("fr_obj[0].pick_info.pick_data[0]"), "point", DTYPE_FLOAT, 2); }),
         "can not get pick_data[0].point.\n"},
    }, [&] { EXPECT_EQ(out().nnodes(), 0); }, kPicked);
    expect_failures({{"no output", picked([&] { inst->make_link("out", "nowhere"); }), "can not get ocoord.\n"}}, {},
                    kPicked);
    // Coordinates for the old node only: the new node is counted, nothing written past the end.
    expect_failures({{"short coordinates",
                      picked([&] { out().nnodes(1); relink(inst->at("out"), "coord", DTYPE_FLOAT, 3); }),
                      "can not get ocoord.\n"}},
                    [&] { EXPECT_EQ(out().nnodes(), 2); }, kPicked);
    // No nodes per cell: the node is already counted.
    expect_failures({{"cells without connectivity", picked([&] { out().cell_set_template("Unknown"); }),
                      "can not get oconnect.\n"}}, [&] { EXPECT_EQ(out().nnodes(), 1); }, kPicked);
}

TEST_F(GetPickInfoTest, PicksAccumulateUntilAClearCellsAndNumbersFollowTheNodes) {
    for (const auto& p : {std::vector<float>{1.5f, -2.0f, 3000.0f}, {4.0f, 5.0f, 6.0f}, {-7.0f, 8.0f, 0.25f}}) {
        pick("fr_obj", 0, 1, p);
        update();
    }
    EXPECT_EQ(done(), 1);
    vtest::expect_points(out(), {1.5f, -2.0f, 3000.0f, 4.0f, 5.0f, 6.0f, -7.0f, 8.0f, 0.25f});
    EXPECT_EQ(pick_no(), (std::vector<std::string>{"1", "2", "3"}));
    // A clear starts again at node and cell 0.
    EXPECT_EQ(run_stdout(*inst, {}, "GetPickInfoClear"), "");
    EXPECT_EQ(out().nnodes(), 0);
    EXPECT_EQ(out().cell_set(0).at("ncells").int_value(), 0);
    EXPECT_TRUE(pick_no().empty());   // the numbers follow the points

    pick("fr_obj", 0, 1, {3, 3, 3});
    update();
    vtest::expect_points(out(), {3, 3, 3});
    EXPECT_EQ(pick_no(), (std::vector<std::string>{"1"}));
    // A clear on an instance without output does nothing and returns 1.
    build();
    inst->make_link("out", "nowhere");
    run(*inst, {}, "GetPickInfoClear");
    build();
    // More cells than nodes: the count follows the nodes again.
    out().nnodes(2).coord({0, 0, 0, 1, 1, 1}).cells("Point", {0, 1, 2, 3, 4});
    pick("fr_obj", 0, 1, {2, 2, 2});
    update();
    EXPECT_EQ(out().nnodes(), 3);
    EXPECT_EQ(out().connect(0), (std::vector<std::int64_t>{0, 1, 2}));
    // Fewer cells than nodes: the missing cells are filled in, never past the connectivity's end.
    build();
    out().nnodes(3).coord({0, 0, 0, 1, 1, 1, 2, 2, 2}).cells("Point", {0});
    pick("fr_obj", 0, 1, {3, 3, 3});
    update();
    EXPECT_EQ(out().nnodes(), 4);
    EXPECT_EQ(out().connect(0), (std::vector<std::int64_t>{0, 1, 2, 3}));
    EXPECT_EQ(out().coord()[9], 3.0f);
    // Pick numbers go no further than the points, whatever count of its own.
    for (int npick : {4, 0}) {
        build();
        inst->add_int("npick", npick);
        pick("fr_obj", 0, 1);
        update();
        EXPECT_EQ(done(), 1);
        EXPECT_EQ(pick_no(), npick ? (std::vector<std::string>{"1", "", "", ""}) : std::vector<std::string>{});
    }
}

}  // namespace
