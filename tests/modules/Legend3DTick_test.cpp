#include "legend.h"
#include "legend_test_grid.h"

namespace {

using vtest::grid_x;
using vtest::grid_y;

class Legend3DTickTest : public vtest::LegendTest {
protected:
    // Ticks on column (1, 1) from 0 to 10 in 4 steps, length 2 along x (scale 1.5); labels offset (100, 200, 0.25).
    void build() override {
        legend("tick", "Legend3DTick", {1.5f, 4, 7},
               {{"indexi", 1}, {"indexj", 1}, {"min", 0.0}, {"max", 10.0}, {"ndiv", 4}, {"ticklen", 2.0},
                {"angle", 0.0}, {"format", "%.1f"}, {"tickloffx", 100.0}, {"tickloffy", 200.0}, {"tickloffz", 0.25}});
    }
    vhost::FieldRef ticks() { return field(*inst, "otick"); }
    vhost::FieldRef labels() { return field(*inst, "olabel"); }
};

TEST_F(Legend3DTickTest, TicksAndLabelsAtEqualStepsAndFailures) {
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    const float x = grid_x(1), y = grid_y(1);
    std::vector<float> want, at, vec;
    for (float h : {0.0f, 2.5f, 5.0f, 7.5f, 10.0f}) {
        want.insert(want.end(), {x, y, h});   // heights are never scaled
        at.insert(at.end(), {x + 100.0f, y + 200.0f, h + 0.25f});   // label offsets are added unscaled
        vec.insert(vec.end(), {3.0f, 0.0f, 0.0f});   // 2 x 1.5 along x
    }
    vtest::expect_points(ticks(), want);
    ASSERT_EQ(ticks().ncomp(), 1);
    vtest::expect_component(ticks(), 0, DTYPE_FLOAT, 3, "");
    EXPECT_EQ(ticks().float_values(0), vec);
    EXPECT_EQ(labels().coord(), at);
    using Ints = std::vector<std::int64_t>;
    EXPECT_EQ((Ints{labels().nnodes(), labels().nspace(), labels().ncell_sets(), labels().ncomp()}), (Ints{5, 3, 0, 0}));
    EXPECT_EQ(texts(), (std::vector<std::string>{"0.0", "2.5", "5.0", "7.5", "10.0"}));
    // The angle turns the tick with pi cut to eight decimals: at 90 degrees a tiny x component, not zero.
    inst->at("angle").set_real(90.0);
    run(*inst, {});
    const auto tx = static_cast<float>(std::cos(90.0 * 3.14159265 / 180.0) * 1.5 * 2.0);
    vec.clear();
    for (int k = 0; k < 5; ++k) vec.insert(vec.end(), {tx, 8.0f, 0.0f});   // 2 x 4 along y
    EXPECT_EQ(ticks().float_values(0), vec);
    // One tick at min; max is read but not used.
    build();
    inst->at("ndiv").set_int(0);
    inst->at("max").set_real(std::nan(""));
    run(*inst, {});
    vtest::expect_points(ticks(), {grid_x(1), grid_y(1), 0.0f});
    EXPECT_EQ(texts(), (std::vector<std::string>{"0.0"}));
    vtest::set_params(*inst, {{"max", 1.0}, {"ndiv", 3}, {"format", "%.9g"}});
    run(*inst, {});
    const float step = 1.0f / 3.0f;
    auto c = ticks().coord();
    ASSERT_EQ(c.size(), 12u);
    // The top is stored, not computed.
    EXPECT_EQ((std::vector<float>{c[5], c[8], c[11]}),
              (std::vector<float>{step, static_cast<float>(2.0 * static_cast<double>(step)), 1.0f}));
    EXPECT_EQ(texts()[3], "1");
    expect_idle({"otick", "olabel"});
    std::vector<Failure> cases{
        {"negative ndiv", [&] { inst->at("ndiv").set_int(-1); }, "parameter error (0 > ndiv).\n"},
        {"empty format", [&] { inst->at("format").set_str(""); }, "can not get format(1>len).\n"},
        {"%s", [&] { inst->at("format").set_str("%s"); }, "unsupport format(one floating-point conversion only).\n"},
        {"nspace", [&] { field(*grid).nspace(2); }, "3 != nspace.\n"},
        {"ndim", [&] { field(*grid).dims({6, 2}); }, "can not get dims or ndim.\n"},
        {"coord", [&] { grid->make_link("coord", "nowhere"); }, "can not get coord.\n"},
        {"column", [&] { inst->at("indexj").set_int(9); },
         "parameter error (indexi=1, indexj=9 outside the 3 x 2 grid).\n"},
        {"mat", [&] { grid->make_link("xform", "nowhere"); }, "can not get mat.\n"},
        {"absurd ndiv", [&] { inst->at("ndiv").set_int(2147483647); }, "can not allocate memory(zposi).\n"},
    };
    for (const char* p : {"indexi", "indexj", "min", "max", "ndiv", "ticklen", "angle", "format", "tickloffx",
                          "tickloffy", "tickloffz"})
        cases.push_back(unset_case(p));
    expect_failures(cases, [&] { EXPECT_EQ(ticks().nnodes(), 0); EXPECT_EQ(labels().nnodes(), 0); });
    auto ticks_written = [&] {
        EXPECT_EQ(ticks().nnodes(), 5);
        EXPECT_EQ(texts(), std::vector<std::string>(labels().nnodes()));   // no text written
    };
    expect_write_failures("otick", ticks_written, [&] {
        ticks_written();
        EXPECT_EQ(ticks().float_values(0).size(), 15u);
    });
}

// Formats that could read or write another argument, or print none.
const std::vector<const char*> kHostileFormats{
    "%s", "%n", "%d", "%i", "%u", "%x", "%c", "%p", "%ls", "%f %f", "%e%g", "%*f", "%-*.2f", "%.*f", "%1$f",
    "%2$.1f", "%", "km %", "%f%", "%Lf", "%llf", "%hf", "%5%", "km", "%%", "100%% %q", "%.1f %n", "%10000f",
    "%.5000f",
};

TEST_F(Legend3DTickTest, OnlyOneFloatingPointConversionIsAccepted) {
    // Every legend module checks its format with this.
    for (const char* f : kHostileFormats) EXPECT_FALSE(velmora::label_format_ok(f)) << f;
    EXPECT_FALSE(velmora::label_format_ok(nullptr));

    struct Good {
        const char* format;
        const char* top;   // the label of 10
    };
    const std::vector<Good> good{
        {"%f", "10.000000"},       {"%lf", "10.000000"},  {"%.0f km", "10 km"},   {"%8.2e", "1.00e+01"},
        {"%-6gm", "10    m"},      {"%+05.1f", "+10.0"},  {"% G", " 10"},        {"%#.0F", "10."},
        {"%%%a%%", "%0x1.4p+3%"}, {"h=%A", "h=0X1.4P+3"}, {"%.f", "10"},          {"%1023.1f", nullptr},
    };
    for (const auto& g : good) {
        SCOPED_TRACE(g.format);
        EXPECT_TRUE(velmora::label_format_ok(g.format));
        build();
        inst->at("format").set_str(g.format);
        run(*inst, {});
        ASSERT_EQ(texts().size(), 5u);
        if (g.top) {
            EXPECT_EQ(texts()[4], g.top);
        }
    }
    EXPECT_EQ(texts()[4].size(), 1023u);
    // Long labels are cut at the buffer.
    inst->at("format").set_str(std::string(1500, 'x') + "%.1f");
    run(*inst, {});
    EXPECT_EQ(texts(), std::vector<std::string>(5, std::string(1023, 'x')));
}

}  // namespace
