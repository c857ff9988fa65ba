#include "module_test.h"

namespace {

using vhost::Object;
using XYZ = std::array<double, 3>;

class DispCenterTest : public vtest::InstanceTest {
protected:
    void build() override {
        host.reset();
        inst = &instance("disp", "DispCenter");
        // A regular area, one within 1e-6 of the origin, an empty one, one with weighted x and y near 0.
        entry(0, {1, 2, 3}, {{4, 5, 6}, {7, 8, 9}}, 10);
        entry(1, {5e-7, -5e-7, 9e-7}, {{1, 0, 0}, {2, 0, 0}}, 11);
        entry(2, {0, 0, 0}, {{0, 0, 0}, {0, 0, 0}}, -3.4028235e38);
        entry(3, {3, 3, 3}, {{5e-7, 0, 50}, {0, 0, 0}}, 12);
    }
    // Entry i of the instance's own group: arithmetic centre, weighted centre per component, maxz.
    void entry(int i, XYZ aav, std::vector<XYZ> wav, double maxz) {
        if (inst->at("nsurf").int_value() <= i) inst->at("nsurf").set_int(i + 1);
        Object& e = inst->at("sparam[" + std::to_string(i) + "]");
        e.at("no").set_int(i + 1);
        e.at("ncomp").set_int(static_cast<std::int64_t>(wav.size()));
        const char* axes[3] = {"x", "y", "z"};
        for (int k = 0; k < 3; ++k) e.at(std::string("aav.") + axes[k]).set_real(aav[k]);
        for (std::size_t j = 0; j < wav.size(); ++j)
            for (int k = 0; k < 3; ++k) e.at("wav[" + std::to_string(j) + "]." + axes[k]).set_real(wav[j][k]);
        e.at("maxz").set_real(maxz);
    }
    void set(const char* name, int v) { inst->at(name).set_int(v); }
    vhost::FieldRef out() { return field(*inst, "out"); }
    void expect_points(const std::vector<float>& xyz) {
        vtest::expect_points(out(), xyz);
        EXPECT_EQ(out().ncomp(), 0);
    }
};

TEST_F(DispCenterTest, ArithmeticAndWeightedCentres) {
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    expect_points({1, 2, 3, 3, 3, 3});
    // Run again over a field that already has its cell set: still exactly one.
    run(*inst, {});
    expect_points({1, 2, 3, 3, 3, 3});
    // A centre away from the origin along one axis only counts.
    entry(1, {2, 0, 0}, {{1, 0, 0}}, 11);
    entry(2, {0, -2, 0}, {{1, 0, 0}}, 11);
    run(*inst, {});
    expect_points({1, 2, 3, 2, 0, 0, 0, -2, 0, 3, 3, 3});
    // Weighted centres stand at the top or on the plane.
    build();
    set("mode", 1);
    set("index", 1);
    run(*inst, {});
    expect_points({7, 8, 10, 2, 0, 11});   // entry 3's component 1 lies at the origin
    set("index", 0);
    run(*inst, {});
    // Entry 3: weighted x 5e-7 and y 0 leave it out whatever its z.
    expect_points({4, 5, 10, 1, 0, 11});
    set("mode", 5);   // any mode but 0 is the weighted one
    set("nspace3", 0);
    run(*inst, {});
    expect_points({4, 5, 0, 1, 0, 0});
    EXPECT_EQ(done(), 1);
    // Planar data at height 5: the empty area's centre (0, 0, 5) counts in mode 0, not in the weighted mode.
    build();
    set("nsurf", 2);
    entry(0, {2, 2, 5}, {{2, 2, 5}}, 1);
    entry(1, {0, 0, 5}, {{0, 0, 5}}, -3.4028235e38);
    run(*inst, {});
    expect_points({2, 2, 5, 0, 0, 5});
    set("mode", 1);
    run(*inst, {});
    expect_points({2, 2, 1});
}

TEST_F(DispCenterTest, NothingToShowAndFailuresInTheirOrder) {
    run(*inst, {});
    set("nsurf", 0);
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(out().nnodes(), 0);
    EXPECT_EQ(out().ncell_sets(), 1);   // left as it was
    // Entries that all lie at the origin: the same.
    set("nsurf", 1);
    entry(0, {0, 0, 0}, {{0, 0, 0}}, 0);
    out().nnodes(7);
    run(*inst, {});
    EXPECT_EQ(out().nnodes(), 0);
    expect_failures({
        unset_case("nspace3"),
        {"no nsurf", [&] { unset("nsurf"); }, "can not get the number of statistic param.\n"},
        unset_case("mode"),
        unset_case("index"),
        {"no entries", [&] { inst->make_link("sparam", "nowhere"); }, "can not find sparam[0].\n"},
        {"entry 2, no aav", [&] { inst->at("sparam[2]").make_link("aav", "nowhere"); }, "can not find sparam[2].\n"},
        {"index past the components", [&] { set("mode", 1), set("index", 2); }, "can not find wav[2].\n"},
        {"negative index", [&] { set("mode", 1), set("index", -1); }, "can not find wav[-1].\n"},
        {"no output field", [&] { inst->make_link("out", "nowhere"); }, "can not get coord.\n"},
        // An output that can hold no cell set gets its points but no cells.
        {"no cell set", [&] { inst->at("out").add_group_array("cell_set", vhost::shape({vhost::term(0)})); },
         "can not get node_connect.\n"},
    });
    // A failure in the first pass writes nothing.
    expect_failures({{"entry 3 without aav", [&] { inst->at("sparam[3]").make_link("aav", "nowhere"); },
                      "can not find sparam[3].\n"}},
                    [&] { EXPECT_EQ(out().nnodes(), 0); EXPECT_EQ(out().ncell_sets(), 0); });
}

}  // namespace
