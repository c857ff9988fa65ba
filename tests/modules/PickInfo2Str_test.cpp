#include "module_test.h"

namespace {

const std::string kOnePick = "\nPick 1\nxyz  1.000000e+00  2.000000e+00  3.000000e+00\n";

class PickInfo2StrTest : public vtest::InstanceTest {
protected:
    vhost::Object* posi = nullptr;
    vhost::Object* data = nullptr;
    // posi: one pick at (1, 2, 3); data: ze = 45 there.
    void build() override {
        host.reset();
        posi = &host.add_field("picks");
        field(*posi).nnodes(1).nspace(3).coord({1, 2, 3});
        data = &host.add_field("probe");
        field(*data).nnodes(1).floats("ze", {45});
        inst = &instance("text", "PickInfo2Str", {{"posi", "picks"}, {"data", "probe"}}, {{"ostr", "earlier"}});
    }
    // Data of n nodes, its components made afresh.
    vhost::FieldRef fresh_data(std::int64_t n) {
        field(*data).nnodes(n);
        data->at("nnode_data").set_int(0);
        return field(*data);
    }
    std::string ostr() { return inst->at("ostr").str_value(); }
};

TEST_F(PickInfo2StrTest, PicksAndFailuresKeepTheText) {
    EXPECT_EQ(run_stdout(*inst, {}), "ncomp = 1.\nveclen = 1.\n");
    EXPECT_EQ(ostr(), kOnePick + "ze  4.500000e+01\n\n");
    EXPECT_EQ(done(), 1);
    field(*posi).nnodes(2).coord({1, 2, 3, -4, 0.5f, 6000});
    fresh_data(2).floats("ze", {45, -12.5f}).floats("wind", {1, 2, 3, 4, 5, -6}, 3);
    EXPECT_EQ(run_stdout(*inst, {}), "ncomp = 2.\nveclen = 1.\nveclen = 3.\nveclen = 1.\nveclen = 3.\n");
    EXPECT_EQ(ostr(), kOnePick + "ze  4.500000e+01\nwind  1.000000e+00   2.000000e+00   3.000000e+00\n\n"
                                 "Pick 2\nxyz -4.000000e+00  5.000000e-01  6.000000e+03\nze -1.250000e+01\n"
                                 "wind  4.000000e+00   5.000000e+00  -6.000000e+00\n\n");
    build();
    field(*posi).nspace(2).coord({1, -2});
    run_stdout(*inst, {});
    EXPECT_EQ(ostr(), "\nPick 1\nxyz  1.000000e+00 -2.000000e+00\nze  4.500000e+01\n\n");
    // No components, or nothing linked as data: the pick, its coordinates and the empty line.
    for (bool linked : {true, false}) {
        build();
        if (linked) fresh_data(1);
        else inst->make_link("data", "nowhere");
        EXPECT_EQ(run_stdout(*inst, {}), "ncomp = 0.\n");
        EXPECT_EQ(ostr(), kOnePick + "\n");
        EXPECT_EQ(done(), 1);
    }
    // A 63-character label and 100 values: far past 1024 characters a line.
    const std::string label(63, 'L');
    std::vector<float> v(100);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i) - 50.0f;
    build();
    fresh_data(1).floats(label + "-cut-here", v, 100);   // labels hold 63 characters
    run_stdout(*inst, {});
    std::string line = label + " ";
    for (std::size_t i = 0; i < v.size(); ++i) {
        char num[32];
        std::snprintf(num, sizeof num, i + 1 < v.size() ? "% e  " : "% e\n", static_cast<double>(v[i]));
        line += num;
    }
    ASSERT_GT(line.size(), 1024u);
    EXPECT_EQ(ostr(), kOnePick + line + "\n");
    expect_failures({
        {"four dimensions", [&] { field(*posi).nspace(4); }, "unsupoort nspace(4).\n"},
        {"no dimension", [&] { field(*posi).nspace(0); }, "unsupoort nspace(0).\n"},
        {"no coordinates", [&] { posi->make_link("coord", "nowhere"); }, "can not get coord.\n"},
        {"integer component", [&] { field(*data).ints("n", {7}); }, "unsupport data_type.\n"},
        {"untyped component", [&] { field(*data).component(0).at("values").untype(); }, "unsupport data_type.\n"},
        {"veclen 0", [&] { field(*data).component(0).at("veclen").set_int(0); }, "unsupoort veclen(1 > veclen).\n"},
        {"no vals", [&] { field(*data).floats("rain", {1}); relink(field(*data).component(1), "values", DTYPE_FLOAT); },
         "can not get node_data[1].value.\n"},
        {"data with fewer nodes than picks", [&] { field(*posi).nnodes(2).coord({1, 2, 3, 4, 5, 6}); },
         "node_data[0].value holds fewer nodes than posi.\n"},
        // A vector component counts nodes: 3 values of veclen 2 are one node and a half.
        {"a vector of one node and a half",
         [&] {
             field(*posi).nnodes(2).coord({1, 2, 3, 4, 5, 6});
             fresh_data(2).floats("ze", {1, 2}).floats("w", {1, 2, 3, 4}, 2);
             relink(field(*data).component(1), "values", DTYPE_FLOAT, 3);
         },
         "node_data[1].value holds fewer nodes than posi.\n"},
    }, [&] { EXPECT_EQ(ostr(), "earlier"); });
    expect_idle({[&] { inst->at("active").set_int(0); }, [&] { field(*posi).nnodes(0); },
                 [&] { inst->make_link("posi", "nowhere"); }}, [&] { EXPECT_EQ(ostr(), "earlier"); });
    // A clear empties the text; it does not read the switch.
    inst->at("active").set_int(0);
    EXPECT_EQ(run_stdout(*inst, {}, "PickInfo2StrClear"), "");
    EXPECT_EQ(ostr(), "");
    EXPECT_EQ(done(), 0);
}

}  // namespace
