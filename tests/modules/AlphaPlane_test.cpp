#include "module_test.h"

namespace {

using vtest::msg;

class AlphaPlaneTest : public vtest::InstanceTest {
protected:
    void build() override { build({5, 1, 1}, {30, 5, 60, 10, 50}); }
    // Node (i, j, k) at (i, 10 j, 100 k), component "ze"; the transfer maps 10 .. 50 onto 0.2 .. 0.8 along k.
    void build(const std::vector<std::int64_t>& d, const std::vector<float>& ze) {
        std::vector<float> xyz;
        for (std::int64_t k = 0; k < d[2]; ++k)
            for (std::int64_t j = 0; j < d[1]; ++j)
                for (std::int64_t i = 0; i < d[0]; ++i)
                    xyz.insert(xyz.end(), {1.0f * i, 10.0f * j, 100.0f * k});
        new_grid().nspace(3).dims(d).nnodes(d[0] * d[1] * d[2]).coord(xyz).floats("ze", ze, 1, "dBZ");
        inst = &instance("alpha", "AlphaPlane", {{"in", "grid"}},
                         {{"axis", 2}, {"plane", 0}, {"comp", 0}, {"alpha_min", 0.2}, {"alpha_max", 0.8}, {"data_min", 10.0},
                          {"data_max", 50.0}, {"null_value", -9999.0}, {"sphere", 0}, {"scale", 1.0}, {"mask_active", 0}});
    }
    void set(const char* name, double v) { inst->at(name).set_real(v); }
    vhost::FieldRef out() { return field(*inst, "out"); }
    std::vector<float> alpha() { return out().float_values(0); }
    std::vector<float> data() { return out().float_values(1); }
    // out.nspace, out.ndim and out.nnode_data as a failure left them (-1: not asked).
    void expect_header(std::array<int, 3> want) {
        const char* names[3] = {"out.nspace", "out.ndim", "out.nnode_data"};
        for (int k = 0; k < 3; ++k)
            if (want[k] >= 0) {
                EXPECT_EQ(inst->at(names[k]).int_value(), want[k]) << names[k];
            }
    }
};

TEST_F(AlphaPlaneTest, TransferFunctionMaskAndOutputLayout) {
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(alpha(), (std::vector<float>{0.5f, 0.2f, 0.8f, 0.2f, 0.8f}));
    EXPECT_EQ(data(), (std::vector<float>{30, 5, 60, 10, 50}));
    EXPECT_EQ(out().nspace(), 3);
    EXPECT_EQ(out().dims(), (std::vector<std::int64_t>{5, 1}));
    ASSERT_EQ(out().ncomp(), 2);
    EXPECT_EQ(out().component(0).at("id").int_value(), 672);
    vtest::expect_component(out(), 0, DTYPE_FLOAT, 1, "");
    vtest::expect_component(out(), 1, DTYPE_FLOAT, 1, "ze", "dBZ", -9999.0);
    // The mask's first label drops the data at its null samples.
    build({3, 1, 2}, {30, 30, 30, 30, 30, 30});
    field(*grid).floats("mask", {1, 0, 0, 1, 0, 1}).null_value(1, 0.0);
    field(*grid).floats("mask", {0, 0, 0, 0, 0, 0}).null_value(2, 0.0);   // a second "mask": ignored
    inst->at("mask_active").set_int(1);
    inst->at("mask_label").set_str("mask");
    run(*inst, {});
    EXPECT_EQ(alpha(), (std::vector<float>{1.0f, 0.0f, 0.5f}));
    // Without a null flag on the data, a masked-out column keeps 0, not null_value.
    EXPECT_EQ(data(), (std::vector<float>{60, 0, 30}));
    EXPECT_EQ(done(), 1);
}

TEST_F(AlphaPlaneTest, CoordinatesOfTheSliceAndFailuresLeaveWhatWasSetBefore) {
    build({4, 5, 6}, std::vector<float>(4 * 5 * 6, 20.0f));
    struct Row {
        int axis, plane, sphere;
        double scale;
        std::vector<std::int64_t> dims;
        int node;   // an output node and its coordinates
        std::vector<float> xyz;
    } const rows[] = {
        {2, 5, 0, 1.0, {4, 5}, 7, {3, 10, 500}},
        {1, 4, 0, 2.0, {4, 6}, 9, {1, 80, 200}},   // output (1, 2): input (1, 4, 2); only y is scaled
        {1, 4, 1, 2.0, {4, 6}, 9, {2, 80, 400}},
        {0, 3, 0, 0.5, {5, 6}, 7, {1.5f, 20, 100}},   // output (2, 1): input (3, 2, 1); x halved
        {0, 3, 1, 2.0, {5, 6}, 7, {6, 40, 200}},   // the same node, each component doubled
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.axis);
        vtest::set_params(*inst, {{"axis", r.axis}, {"plane", r.plane}, {"sphere", r.sphere}, {"scale", r.scale}});
        run(*inst, {});
        EXPECT_EQ(out().dims(), r.dims);
        const auto c = out().coord();
        ASSERT_EQ(c.size(), static_cast<std::size_t>(3 * r.dims[0] * r.dims[1]));
        EXPECT_EQ(std::vector<float>(c.begin() + 3 * r.node, c.begin() + 3 * r.node + 3), r.xyz);
    }
    EXPECT_EQ(alpha(), std::vector<float>(30, 1.0f));   // four samples of 0.35, clamped
    EXPECT_EQ(data(), std::vector<float>(30, 80.0f));
    expect_failures({{"no in", [&] { inst->make_link("in", "nowhere"); }, "can not get in."},
                     {"no out", [&] { inst->make_link("out", "nowhere"); }, "can not get out."}});
    expect_failures({{"no axis", [&] { unset("axis"); }, "can not get axis."}}, [&] { expect_header({-1, -1, 0}); });
    expect_failures({unset_case("comp"), unset_case("null_value"),
                     {"unreadable nspace", [&] { grid->at("nspace").clear_value(); }, "can not get in.nspace.\n"},
                     {"two space dimensions", [&] { field(*grid).nspace(2); }, "in.nspace is not 3.\n"},
                     {"no dims", [&] { grid->at("ndim").clear_value(); }, "can not get in.dims.\n"},
                     {"two grid dimensions", [&] { field(*grid).dims({5, 1}); }, "in.ndim is not 3.\n"}},
                    [&] { expect_header({0, 0, 0}); });
    expect_failures({{"axis 3", [&] { set("axis", 3); }, "axis is invalid value.\n"},
                     {"axis -1", [&] { set("axis", -1); }, "axis is invalid value.\n"}},
                    [&] { expect_header({3, 2, 0}); });
    expect_failures({{"out.nspace not settable", [&] { inst->at("out").make_link("nspace", "nowhere"); },
                      "can not get out.nspace.\n"}}, [&] { expect_header({-1, 0, 0}); });
    expect_failures({{"out.nnode_data not settable", [&] { inst->at("out").make_link("nnode_data", "nowhere"); },
                      "can not get out.nnode_data.\n"}}, [&] { expect_header({3, 2, -1}); });
    // Past the header: the slice's coordinates written (x of node 4) or not; values only after every check.
    auto slice = [&](bool written) {
        return [this, written] {
            expect_header({3, 2, 2});
            const auto xyz = out().coord();
            ASSERT_EQ(xyz.size(), 15u);
            EXPECT_EQ(xyz[12], written ? 4.0f : 0.0f);
            EXPECT_EQ(alpha(), std::vector<float>(5, 0.0f));
        };
    };
    expect_failures({unset_case("sphere"), unset_case("plane"), unset_case("scale"),
                     {"too few coordinates", [&] { grid->at("coord").untype(); }, "can not get in.coord.\n"},
                     {"plane beyond the grid", [&] { set("plane", 1); }, "plane is over in.dims[2].\n"},
                     {"negative plane", [&] { set("plane", -1); }, "plane is under 0.\n"}},
                    slice(false));
    auto mask = [&](const char* l, int active) { set("mask_active", active); inst->at("mask_label").set_str(l); };
    std::vector<Failure> cases{
        {"data range below 1e-5", [&] { set("data_max", 10.000001); }, "data_min and data_max are the same value.\n"},
        {"vector data", [&] { field(*grid).floats("wind", std::vector<float>(15, 1.0f), 3); set("comp", 1); },
         "in.node_data[1].veclen is not 1.\n"},
        {"no such component", [&] { set("comp", 4); }, "can not get in.node_data[4].veclen.\n"},
        {"ints", [&] { field(*grid).component(0).at("values").retype(DTYPE_INT); }, "can not get in.node_data[0].\n"},
        {"empty mask label", [&] { set("mask_active", 1); }, "can not get mask_label.\n"},
        {"no mask component", [&] { mask("cloud", 2); }, "can not get mask_data.\n"},
        {"integer mask", [&] { field(*grid).ints("cloud", {1, 1, 1, 1, 1}).null_value(1, 0.0); mask("cloud", 1); },
         "can not get in.node_data[1].\n"},
        {"mask without null flag", [&] { field(*grid).floats("cloud", {1, 1, 1, 1, 1}); mask("cloud", 1); },
         "can not get mask_data.null_value.\n"},
    };
    for (const char* p : {"alpha_min", "alpha_max", "data_min", "data_max", "mask_active"})
        cases.push_back(unset_case(p));
    expect_failures(cases, slice(true));
    // No nodes: nothing at all, not even the parameters are read.
    expect_idle({[&] { field(*grid).nnodes(0); unset("axis"); }});
}

// Sample by sample in storage order: transfer in double, clamp after every addition, null tests in double.
struct Projection {
    std::vector<float> alpha, data;
};

Projection project_by_hand(const std::vector<std::int64_t>& d, int axis, const std::vector<float>& v,
                           const std::vector<float>* mask, float mask_null, bool has_null, float null_in,
                           float null_out, float amin, float amax, float dmin, float dmax) {
    if (amin > amax) std::swap(amin, amax);
    if (dmin > dmax) std::swap(dmin, dmax);
    const float arange = amax - amin, drange = dmax - dmin;
    auto f = [&](float x) -> float {
        if (dmin > x) return amin;
        if (x > dmax) return amax;
        const double t = static_cast<double>(x - dmin) / drange * arange + amin;
        if (amin > t) return amin;
        return static_cast<float>(t > amax ? static_cast<double>(amax) : t);
    };
    const std::int64_t o0 = axis == 0 ? d[1] : d[0];
    const std::int64_t m = o0 * (axis == 2 ? d[1] : d[2]);
    Projection p{std::vector<float>(static_cast<std::size_t>(m), 0.0f), std::vector<float>(static_cast<std::size_t>(m), 0.0f)};
    std::vector<bool> reached(static_cast<std::size_t>(m), false);
    for (std::int64_t k = 0; k < d[2]; ++k)
        for (std::int64_t j = 0; j < d[1]; ++j)
            for (std::int64_t i = 0; i < d[0]; ++i) {
                const auto n = static_cast<std::size_t>(i + d[0] * (j + d[1] * k));
                if (mask && static_cast<double>(std::fabs((*mask)[n] - mask_null)) < 1e-5) continue;
                const float x = v[n];
                if (has_null && static_cast<double>(std::fabs(x - null_in)) < 1e-5) continue;
                const std::int64_t a = axis == 0 ? j : i, b = axis == 2 ? j : k;
                const auto o = static_cast<std::size_t>(a + o0 * b);
                float al = f(x) + p.alpha[o];
                if (static_cast<double>(al) > 1.0) al = 1.0f;
                p.alpha[o] = al;
                reached[o] = true;
                p.data[o] = x + p.data[o];
            }
    if (has_null)
        for (std::size_t o = 0; o < reached.size(); ++o)
            if (!reached[o]) p.data[o] = null_out;
    return p;
}

TEST_F(AlphaPlaneTest, RandomGridsGiveTheProjectionSampleBySample) {
    std::mt19937 rng(77);
    auto uniform_int = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto uniform_real = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Rows long and short against the module's stretches, now and then enough layers for several passes.
        const bool deep = uniform_int(0, 3) == 0;
        const std::vector<std::int64_t> d{uniform_int(1, 3) == 1 ? uniform_int(17, 70) : uniform_int(1, 9),
                                          deep ? uniform_int(1, 27) : uniform_int(1, 6),
                                          deep ? uniform_int(1, 27) : uniform_int(1, 6)};
        const int axis = uniform_int(0, 2);
        const float dmin = uniform_real(0, 20), dmax = dmin + uniform_real(0.5f, 40);
        const float amin = uniform_real(-0.6f, 0.5f), amax = uniform_real(0.0f, 1.0f);
        const bool swap_data = round % 5 == 0, has_null = round % 3 != 0, masked = round % 4 == 0;
        const float null_in = -999.0f, mask_null = -1.0f;
        const std::int64_t n = d[0] * d[1] * d[2];
        const bool rainy_rows = uniform_int(0, 1) == 1;
        const bool sparse = uniform_int(0, 3) == 0;
        std::vector<float> v, mk;
        for (std::int64_t q = 0; q < n; ++q) {
            float x = -20;
            if (sparse && uniform_int(0, 7) > 0)
                x = null_in;
            else if (!rainy_rows || uniform_int(0, 3) > 0) switch (uniform_int(0, 9)) {
                    case 0: x = dmin; break;
                    case 1: x = dmax; break;
                    case 2: x = null_in; break;
                    case 3: x = null_in + (uniform_int(0, 1) ? 9e-6f : 2e-5f); break;
                    case 4: x = uniform_int(0, 9) == 0 ? nan : dmax + 5; break;
                    default: x = uniform_real(dmin - 5, dmax + 5); break;
                }
            v.push_back(x);
            mk.push_back(uniform_int(0, 4) == 0 ? mask_null : 1.0f);
        }

        build(d, v);
        field(*grid).null_value(0, null_in, has_null ? 1 : 0);
        if (masked) {
            field(*grid).floats("echo", mk);
            field(*grid).null_value(1, mask_null);
            inst->at("mask_active").set_int(1);
            inst->at("mask_label").set_str("echo");
        }
        inst->at("axis").set_int(axis);
        set("alpha_min", amin);
        set("alpha_max", amax);
        set("data_min", swap_data ? dmax : dmin);
        set("data_max", swap_data ? dmin : dmax);
        run(*inst, {});
        ASSERT_EQ(done(), 1);
        const Projection want = project_by_hand(d, axis, v, masked ? &mk : nullptr, mask_null, has_null, null_in,
                                                -9999.0f, amin, amax, dmin, dmax);
        EXPECT_EQ(vtest::bits(alpha()), vtest::bits(want.alpha));
        EXPECT_EQ(vtest::bits(data()), vtest::bits(want.data));
    }
}

}  // namespace
