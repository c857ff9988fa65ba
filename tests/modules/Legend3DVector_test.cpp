#include "legend.h"
#include "legend_test_grid.h"

namespace {

using vtest::grid_x;
using vtest::grid_y;

const char* const kOffsets[9] = {"vecloffux", "vecloffuy", "vecloffuz", "vecloffvx", "vecloffvy",
                                 "vecloffvz", "vecloffwx", "vecloffwy", "vecloffwz"};
const char* const kFactors[9] = {"fixed_u", "fixed_v", "fixed_w", "disp_u", "disp_v",
                                 "disp_w",  "arbit_u", "arbit_v", "arbit_w"};

class Legend3DVectorTest : public vtest::LegendTest {
protected:
    // Arrows on column (2, 0) at heights 0, 5, 10; lengths 10, 5, 2; factors 1; label offsets 1 .. 9 in order.
    void build() override {
        legend("vec", "Legend3DVector", {1, 1, 1},
               {{"indexi", 2}, {"indexj", 0}, {"min", 0.0}, {"max", 10.0}, {"ndiv", 2}, {"vecmode", 0},
                {"veclenx", 10.0}, {"vecleny", 5.0}, {"veclenz", 2.0}, {"format", "%.1f"}});
        for (int k = 0; k < 9; ++k) inst->at(kOffsets[k]).set_real(k + 1);
        for (const char* f : kFactors) inst->at("vparam").at(f).set_real(1.0);
    }
    vhost::FieldRef arrows() { return field(*inst, "ovec"); }
    vhost::FieldRef labels() { return field(*inst, "olabel"); }
    static std::vector<float> node(const std::vector<float>& v, int m, int n = 3) {
        return std::vector<float>(v.begin() + n * m, v.begin() + n * m + n);
    }
};

TEST_F(Legend3DVectorTest, ThreeArrowsPerHeightWithTheirLabels) {
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    const float x = grid_x(2), y = grid_y(0);
    std::vector<float> c, vec, tips;
    for (float h : {0.0f, 5.0f, 10.0f}) {
        for (int a = 0; a < 3; ++a) c.insert(c.end(), {x, y, h});
        vec.insert(vec.end(), {10, 0, 0, 0, 5, 0, 0, 0, 2});
        // Each label sits at its arrow's tip plus its offset.
        tips.insert(tips.end(), {x + 10 + 1, y + 2, h + 3, x + 4, y + 5 + 5, h + 6, x + 7, y + 8, h + 2 + 9});
    }
    vtest::expect_points(arrows(), c);
    ASSERT_EQ(arrows().ncomp(), 2);
    vtest::expect_component(arrows(), 0, DTYPE_FLOAT, 3, "");
    vtest::expect_component(arrows(), 1, DTYPE_FLOAT, 1, "");
    EXPECT_EQ(arrows().float_values(0), vec);
    EXPECT_EQ(arrows().float_values(1), (std::vector<float>{0, 1, 2, 0, 1, 2, 0, 1, 2}));
    EXPECT_EQ(labels().coord(), tips);
    EXPECT_EQ((std::vector<std::int64_t>{labels().nnodes(), labels().ncell_sets(), labels().ncomp()}),
              (std::vector<std::int64_t>{9, 0, 0}));
    EXPECT_EQ(texts(), (std::vector<std::string>{"10.0", "5.0", "2.0", "10.0", "5.0", "2.0", "10.0", "5.0", "2.0"}));
    // Vecmode 1 gives v the length of u.
    inst->at("vecmode").set_int(1);
    inst->at("ndiv").set_int(0);
    run(*inst, {});
    ASSERT_EQ(arrows().nnodes(), 3);   // one height: min
    EXPECT_EQ(arrows().coord()[2], 0.0f);
    EXPECT_EQ(node(arrows().float_values(0), 1), (std::vector<float>{0, 10, 0}));
    EXPECT_EQ(node(labels().coord(), 1)[1], grid_y(0) + 10 + 5);
    EXPECT_EQ(texts(), (std::vector<std::string>{"10.0", "10.0", "2.0"}));
}

TEST_F(Legend3DVectorTest, FactorsPrecisionAndFailures) {
    inst->at("vparam.disp_w").set_real(3.0);
    inst->at("vparam.fixed_u").set_real(2.0);
    inst->at("vparam.arbit_u").set_real(0.25);
    inst->at("vparam.disp_v").set_real(-1.0);
    // The transformation matrix plays no part.
    field(*grid).xform_array("mat", {9, 0, 0, 0, 0, 9, 0, 0, 0, 0, 9, 0, 0, 0, 0, 1});
    run(*inst, {});
    auto v = arrows().float_values(0);
    auto l = labels().coord();
    EXPECT_EQ(node(v, 0), (std::vector<float>{5, 0, 0}));
    EXPECT_EQ(node(v, 1), (std::vector<float>{0, -5, 0}));
    EXPECT_EQ(node(v, 2), (std::vector<float>{0, 0, 6}));
    EXPECT_EQ(node(l, 0)[0], grid_x(2) + 5 + 1);
    EXPECT_EQ(node(l, 1)[1], grid_y(0) - 5 + 5);
    EXPECT_EQ(node(l, 8)[2], 10.0f + 6 + 9);   // z_k + 6 + vecloffwz
    EXPECT_EQ(texts()[2], "2.0");
    // 0.1 as read gives the arrow; rounded to float first it gives the label.
    build();
    vtest::set_params(*inst, {{"veclenx", 0.1}, {"vparam.fixed_u", 3.0}, {"format", "%.12f"}, {"vecloffux", 0.0}});
    run(*inst, {});
    EXPECT_EQ(arrows().float_values(0)[0], static_cast<float>(3.0 * 0.1));
    EXPECT_EQ(labels().coord()[0],
              static_cast<float>(3.0 * static_cast<double>(0.1f) + static_cast<double>(grid_x(2)) + 0.0));
    EXPECT_EQ(texts()[0], "0.100000001490");
    // 2^24 + 1 is 2^24 as a float: the tip is 2^24 + 2005 + 1 (one more would round up to 16779224).
    vtest::set_params(*inst,
                      {{"veclenx", 16777217.0}, {"vparam.fixed_u", 1.0}, {"format", "%.0f"}, {"vecloffux", 1.0}});
    run(*inst, {});
    EXPECT_EQ(arrows().float_values(0)[0], 16777216.0f);
    EXPECT_EQ(labels().coord()[0], 16779222.0f);
    EXPECT_EQ(texts()[0], "16777216");
    expect_idle({"ovec", "olabel"});
    std::vector<Failure> cases{
        {"negative ndiv", [&] { inst->at("ndiv").set_int(-1); }, "parameter error (0 > ndiv).\n"},
        {"veclenx", [&] { unset("veclenx"); }, "can not get veclen.\n"},   // without the x
        {"empty format", [&] { inst->at("format").set_str(""); }, "can not get format(1>len).\n"},
        {"two conversions", [&] { inst->at("format").set_str("%f%f"); },
         "unsupport format(one floating-point conversion only).\n"},
        {"nspace", [&] { field(*grid).nspace(2); }, "3 != nspace.\n"},
        {"ndim", [&] { field(*grid).dims({12}); }, "can not get dims or ndim.\n"},
        {"coord", [&] { grid->make_link("coord", "nowhere"); }, "can not get coord.\n"},
        {"column", [&] { inst->at("indexi").set_int(-2); },
         "parameter error (indexi=-2, indexj=0 outside the 3 x 2 grid).\n"},
        {"absurd ndiv", [&] { inst->at("ndiv").set_int(1 << 21); }, "can not allocate memory(zposi).\n"},
        {"no scale group", [&] { inst->make_link("vparam", "nowhere"); }, "can not get fixed_u.\n"},
    };
    for (const char* p : {"indexi", "indexj", "min", "max", "ndiv", "vecmode", "vecleny", "veclenz", "format"})
        cases.push_back(unset_case(p));
    for (const char* o : kOffsets) cases.push_back(unset_case(o));
    for (const char* f : kFactors)
        cases.push_back({f, [this, f] { unset(std::string("vparam.") + f); }, std::string("can not get ") + f + ".\n"});
    expect_failures(cases, [&] { EXPECT_EQ(arrows().nnodes(), 0); EXPECT_EQ(labels().nnodes(), 0); });
    auto arrows_written = [&] {
        EXPECT_EQ(arrows().nnodes(), 9);
        EXPECT_EQ(texts(), std::vector<std::string>(labels().nnodes()));   // no text written
    };
    expect_failures({{"indices", [&] { vtest::break_component(inst->at("ovec"), 1); }, "can not get col.\n"}},
                    arrows_written);
    expect_write_failures("ovec", arrows_written, [&] {
        arrows_written();
        EXPECT_EQ(arrows().float_values(1), (std::vector<float>{0, 1, 2, 0, 1, 2, 0, 1, 2}));
    });
}

}  // namespace
