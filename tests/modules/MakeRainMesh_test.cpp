#include <tuple>

#include "module_test.h"

namespace {

using vhost::ProgressEvent;
using vtest::msg;
using Floats = std::vector<float>;
using K = ProgressEvent::Kind;
using Events = std::vector<std::tuple<K, int, int, std::string>>;

const std::string kConstant = "MakeRainMeshConstant_update";
const std::string kLinear = "MakeRainMeshLinear_update";

struct Expected {
    Floats coord, values;
    std::vector<std::int64_t> connect;
    bool failed = false;
    int far_from_run = 0;
};

struct Volume {
    std::int64_t d[3];
    Floats corners, v;   // corners: 6 values
    bool has_null = false;
    float null_value = -1;
    float lower = 0, upper = 0, length = 0;
    bool linear = false;
};

class MakeRainMeshTest : public vtest::ModuleTest {
protected:
    vhost::Object* inst = nullptr;

    void SetUp() override {
        ModuleTest::SetUp();
        build({{0, 40, 60, 0}});
    }
    // A 2 x 2 x levels grid (x 0..1, y 0..10, z from zmin by 1); cols: columns (0, 0), (1, 0), (0, 1), (1, 1)
    // bottom to top, missing ones 0. Band [10, 50], length 0.5.
    void build(std::vector<Floats> cols, float zmin = 0.0f) {
        const auto levels = static_cast<std::int64_t>(cols.front().size());
        cols.resize(4, Floats(static_cast<std::size_t>(levels), 0.0f));
        Floats v;
        for (std::int64_t k = 0; k < levels; ++k)
            for (const auto& c : cols) v.push_back(c[static_cast<std::size_t>(k)]);
        new_grid().uniform({2, 2, levels}, {0, 0, zmin, 1, 10, zmin + static_cast<float>(levels - 1)}).floats("rain", v);
        inst = &instance("mesh", "MakeRainMesh", {{"in_mesh", "grid"}}, {{"minValue", 10.0}, {"maxValue", 50.0}, {"length", 0.5}});
    }
    vhost::FieldRef out() { return field(*inst, "out_mesh"); }
    Events events() {
        Events got;
        for (const auto& e : host.progress_events()) got.emplace_back(e.kind, e.a, e.b, e.text);
        return got;
    }
    std::int64_t npolys() { return out().cell_set(0).at("npolys").int_value(); }
    void check_lines(const Volume& vol, const Expected& want) {
        new_grid().uniform({vol.d[0], vol.d[1], vol.d[2]}, vol.corners).floats("rain", vol.v)
            .null_value(0, vol.null_value, vol.has_null ? 1 : 0);
        vhost::Object& mesh = instance("mesh", "MakeRainMesh", {{"in_mesh", "grid"}},
                                       {{"minValue", vol.lower}, {"maxValue", vol.upper}, {"length", vol.length}});
        const std::string name = vol.linear ? "MakeRainMeshLinear" : "MakeRainMeshConstant";
        run(mesh, want.failed ? vtest::Messages{msg(name, "length is too small for the heights of in_mesh.\n")} : vtest::Messages{},
            vol.linear ? kLinear : kConstant);
        if (want.failed) return;
        vhost::FieldRef o(mesh.at("out_mesh"));
        ASSERT_EQ(o.nnodes(), static_cast<std::int64_t>(want.values.size()));
        if (want.values.empty()) return;
        EXPECT_EQ(vtest::bits(o.coord()), vtest::bits(want.coord));
        EXPECT_EQ(vtest::bits(o.float_values(0)), vtest::bits(want.values));
        EXPECT_EQ(o.poly_connect(0), want.connect);
    }
};

TEST_F(MakeRainMeshTest, ProgressBoundsAndFailuresUnderTheVariantsName) {
    // Column (0, 0) enters the band at 0.25 (10 of 0..40) and leaves at 1.5 (50 of 40..60): one line, top down.
    run(*inst, {}, kConstant);
    EXPECT_EQ(out().coord(), (Floats{0, 0, 1.5f, 0, 0, 1.25f, 0, 0, 0.75f, 0, 0, 0.25f}));
    EXPECT_EQ(out().float_values(0), (Floats{45, 45, 30, 10}));
    EXPECT_EQ(out().cell_type(0), "Polyline");
    const std::string name = "MakeRainMeshConstant";
    EXPECT_EQ(events(), (Events{{K::Check, 0, 0, name}, {K::Push, 0, 50, ""}, {K::Check, 0, 0, name}, {K::Check, 50, 0, name},
                                {K::Pop, 0, 0, ""}, {K::Push, 50, 100, ""}, {K::Check, 0, 0, name}, {K::Pop, 0, 0, ""}}));
    // Unset bounds come from the component's range; so do reversed ones.
    build({{20, 20, 20}, {30, 30, 30}, {25, 25, 25}, {22, 22, 22}});
    for (bool reversed : {false, true}) {
        if (reversed) vtest::set_params(*inst, {{"minValue", 100.0}, {"maxValue", -100.0}});
        else for (const char* p : {"minValue", "maxValue"}) inst->at(p).clear_value();
        run(*inst, {}, kConstant);
        EXPECT_EQ(npolys(), 4);   // every column lies in [20, 30]
    }
    // A component beyond the last selects the last one, an unreadable one component 0; nothing in the band: empty.
    field(*grid).floats("other", Floats(12, 0.0f));
    vtest::set_params(*inst, {{"component", 7}, {"minValue", 10.0}, {"maxValue", 50.0}});
    run(*inst, {}, kConstant);
    EXPECT_EQ(out().nnodes(), 0);
    inst->at("component").clear_value();
    run(*inst, {}, kConstant);
    EXPECT_EQ(npolys(), 4);
    inst->at("minValue").set_real(31.0);
    run(*inst, {}, kConstant);
    EXPECT_EQ(out().nnodes(), 0);
    EXPECT_EQ(npolys(), 0);
    // Linear spacing keeps the plain length at values at or below 0; a run up to the top ends one level below it.
    build({{-40, -40, -40, -40}});
    vtest::set_params(*inst, {{"minValue", -40.0}, {"maxValue", -1.0}});
    run(*inst, {}, kLinear);
    EXPECT_EQ(out().coord(), (Floats{0, 0, 2, 0, 0, 2, 0, 0, 1.5f, 0, 0, 1, 0, 0, 0.5f, 0, 0, 0}));
    auto set_real = [&](const char* p, double v) { return [this, p, v] { inst->at(p).set_real(v); }; };
    const std::vector<vtest::Failure> cases{
        {"no in_mesh", [&] { inst->make_link("in_mesh", "nowhere"); }, "can not get in_mesh.\n"},
        {"two dimensions", [&] { field(*grid).dims({4, 4}); }, "can not get in_mesh.dims.\n"},
        {"one level", [&] { field(*grid).uniform({2, 8, 1}, {0, 0, 0, 1, 7, 0}); }, "in_mesh.dims[2] is less than 2.\n"},
        {"one column of x", [&] { field(*grid).uniform({1, 4, 4}, {0, 0, 0, 0, 3, 3}); }, "in_mesh.dims[0] is less than 2.\n"},
        {"no components", [&] { grid->at("nnode_data").set_int(0); }, "can not get in_mesh.nnode_data.\n"},
        {"integer values", [&] { field(*grid).component(0).at("values").retype(DTYPE_INT); },
         "can not get in_mesh.node_data[0].\n"},
        {"negative component", [&] { inst->at("component").set_int(-1); }, "can not get in_mesh.node_data[-1].\n"},
        {"zero length", set_real("length", 0.0), "length is not positive.\n"},
        {"negative length", set_real("length", -0.5), "length is not positive.\n"},
        {"NaN length", set_real("length", std::numeric_limits<double>::quiet_NaN()), "length is not positive.\n"},
        {"four corner values", [&] { field(*grid).nspace(2); }, "can not get in_mesh.points.\n"},
        {"flat grid", [&] { grid->at("points").assign_doubles({0, 0, 5, 1, 10, 5}); }, "in_mesh.points do not rise along z.\n"},
    };
    for (const std::string& entry : {kConstant, kLinear}) {
        const std::string name = entry.substr(0, entry.find('_'));
        for (const auto& c : cases) {
            SCOPED_TRACE(name + ": " + c.what);
            build({{20, 20, 20, 20}});
            field(inst->at("out_mesh")).nnodes(3);   // left from an earlier run
            c.spoil();
            run(*inst, {msg(name, c.message)}, entry);
            EXPECT_EQ(host.reports().at(0).object, name);
            EXPECT_EQ(out().nnodes(), 3);   // the output is not reached
        }
    }
    // Failures on the way out leave the node count of the mesh.
    const std::vector<vtest::Failure> outputs{
        {"no out_mesh", [&] { inst->make_link("out_mesh", "nowhere"); }, "can not get out_mesh.\n"},
        {"two-dimensional points", [&] { field(inst->at("out_mesh")).nspace(2); }, "can not get out_mesh.coord.\n"},
        {"integer values", [&] { field(inst->at("out_mesh")).component(0).at("values").retype(DTYPE_INT); },
         "can not get out_mesh.node_data[0].\n"},
        {"no cell set", [&] { inst->at("out_mesh").at("ncell_sets").set_int(0); },
         "can not get out_mesh.cell_set[0].poly_connect_list.\n"},
    };
    for (const auto& c : outputs) {
        SCOPED_TRACE(c.what);
        build({{20, 20, 20, 20}, {20, 20, 20, 20}});
        c.spoil();
        run(*inst, {msg("MakeRainMeshConstant", c.message)}, kConstant);
        if (c.what != "no out_mesh") { EXPECT_EQ(out().nnodes(), 12); }
    }
    // 256 columns of rain up to 15 km every centimetre: 670 million points, refused past 2^28 before any writing.
    host.reset();
    Floats tall(3 * 256, 20.0f);   // in the band up to 15 km, out of it at 30 km
    std::fill(tall.begin() + 512, tall.end(), 60.0f);
    field(host.add_field("grid")).uniform({16, 16, 3}, {0, 0, 0, 15, 15, 30000}).floats("rain", tall);
    inst = &instance("mesh", "MakeRainMesh", {{"in_mesh", "grid"}}, {{"minValue", 10.0}, {"maxValue", 50.0}, {"length", 0.01}});
    run(*inst, {msg("MakeRainMeshConstant", "can not allocate memory.\n")}, kConstant);
    EXPECT_EQ(out().nnodes(), 0);
    // At 3e6 m a step of 1 cm is lost in the rounding: refused before any row is scanned, rain or not. 1 m works.
    for (const std::string& entry : {kConstant, kLinear})
        for (const float rain : {0.0f, 20.0f}) {
            const std::string name = entry.substr(0, entry.find('_'));
            build({{rain, rain, 20}}, 3.0e6f);
            inst->at("length").set_real(0.01);
            field(inst->at("out_mesh")).nnodes(3);   // left from an earlier run
            run(*inst, {msg(name, "length is too small for the heights of in_mesh.\n")}, entry);
            EXPECT_EQ(events(), (Events{{K::Check, 0, 0, name}, {K::Push, 0, 50, ""}, {K::Pop, 0, 0, ""}}));
            EXPECT_EQ(host.reports().at(0).object, name);
            EXPECT_EQ(out().nnodes(), 3);
        }
    inst->at("length").set_real(1.0);
    run(*inst, {}, kConstant);
    EXPECT_EQ(out().coord(), (Floats{0, 0, 3.0e6f + 1, 0, 0, 3.0e6f + 1, 0, 0, 3.0e6f}));
    EXPECT_EQ(out().float_values(0), (Floats{20, 20, 20}));
}

// The lines worked out the plain way: column (i, j), i outer, read bottom to top, each line put before the others.
Expected expected_lines(const Volume& vol) {
    Expected x;
    const std::int64_t d0 = vol.d[0], d1 = vol.d[1], d2 = vol.d[2];
    const float xmin = vol.corners[0], ymin = vol.corners[1], zmin = vol.corners[2];
    const float dx = (vol.corners[3] - xmin) / static_cast<float>(d0 - 1);
    const float dy = (vol.corners[4] - ymin) / static_cast<float>(d1 - 1);
    const float dz = (vol.corners[5] - zmin) / static_cast<float>(d2 - 1);
    const float lower = vol.lower, upper = vol.upper, range = upper - lower;
    // A length lost when added to four times the largest height is refused.
    const float zlast = zmin + static_cast<float>(d2 - 1) * dz;
    const float reach = 4.0f * std::max({std::fabs(zmin), std::fabs(vol.corners[5]), std::fabs(zlast)});
    if (!(reach + vol.length > reach)) {
        x.failed = true;
        return x;
    }
    std::vector<std::pair<Floats, Floats>> made;   // xyz, values of each line
    auto build = [&](std::int64_t i, std::int64_t j, const Floats& c, std::int64_t s, std::int64_t e) {
        const float x0 = xmin + static_cast<float>(i) * dx, y0 = ymin + static_cast<float>(j) * dy;
        float a = c[s], b = c[s + 1], t = 0;
        if (a < lower) t = (lower - a) / (b - a);
        else if (a > upper) t = (a - upper) / (a - b);
        const float zbot = zmin + static_cast<float>(s) * dz + t * dz;
        a = c[e - 1], b = c[e], t = 0;
        if (b < lower) t = (lower - a) / (b - a);
        else if (b > upper) t = (upper - a) / (b - a);
        const float ztop = zmin + static_cast<float>(e - 1) * dz + t * dz;
        Floats zs, vs;
        for (float z = zbot; z <= ztop;) {
            const float q = (z - zmin) / dz;
            std::int64_t k0 = q >= static_cast<float>(d2 - 1) ? d2 - 1 : q > 0 ? static_cast<std::int64_t>(q) : 0;
            const std::int64_t k1 = k0 + 1 < d2 ? k0 + 1 : k0;
            if (k0 < s - 1 || k1 > e + 1) ++x.far_from_run;
            const float v = c[k0] + ((z - (zmin + static_cast<float>(k0) * dz)) / dz) * (c[k1] - c[k0]);
            zs.push_back(z);
            vs.push_back(v);
            const float step = vol.linear && v > 0 ? v / range * vol.length + vol.length : vol.length;
            if (!(z + step > z)) {
                ADD_FAILURE() << "a step is lost at z = " << z;
                break;
            }
            z = z + step;
        }
        auto& [xyz, val] = made.emplace_back(Floats{x0, y0, ztop}, Floats{vs.empty() ? lower : vs.back()});
        for (std::size_t n = zs.size(); n-- > 0;) {
            xyz.insert(xyz.end(), {x0, y0, zs[n]});
            val.push_back(vs[n]);
        }
    };
    Floats c(static_cast<std::size_t>(d2));
    for (std::int64_t i = 0; i < d0; ++i)
        for (std::int64_t j = 0; j < d1; ++j) {
            for (std::int64_t k = 0; k < d2; ++k) c[k] = vol.v[static_cast<std::size_t>(i + d0 * (j + d1 * k))];
            auto null = [&](std::int64_t k) { return vol.has_null && c[k] == vol.null_value; };
            bool open = false;
            std::int64_t s = 0;
            for (std::int64_t k = 0; k < d2; ++k) {
                std::int64_t e = k;
                if (null(k)) {
                    e = k - 1;
                } else if (lower <= c[k] && c[k] <= upper) {
                    if (!open) s = k > 0 && !null(k - 1) ? k - 1 : k;
                    open = true;
                    continue;
                }
                if (open && e > s) build(i, j, c, s, e);
                open = false;
            }
            if (open && d2 - 1 > s) build(i, j, c, s, d2 - 1);
        }
    std::int64_t b = 0;
    for (auto m = made.rbegin(); m != made.rend(); ++m) {
        x.coord.insert(x.coord.end(), m->first.begin(), m->first.end());
        x.values.insert(x.values.end(), m->second.begin(), m->second.end());
        const auto n = static_cast<std::int64_t>(m->second.size());
        x.connect.insert(x.connect.end(), {b, b + n - 1});
        b += n;
    }
    return x;
}

TEST_F(MakeRainMeshTest, RandomVolumesGiveTheLinesOfAColumnByColumnScan) {
    std::mt19937 rng(20240611);
    auto uniform_int = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto uniform_real = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); };
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Volume vol;
        const bool large = round % 50 == 0;
        vol.d[0] = large ? uniform_int(280, 320) : round % 5 == 0 ? uniform_int(17, 40) : uniform_int(2, 7);
        vol.d[1] = large ? uniform_int(120, 140) : uniform_int(2, 7);
        vol.d[2] = large ? 16 : uniform_int(2, 9);
        const float zmin = round % 17 == 0 ? 3.0e6f : uniform_real(-5, 5);   // high up, steps are lost
        vol.corners = {uniform_real(-10, 0), uniform_real(-10, 0), zmin, uniform_real(1, 10), uniform_real(1, 10),
                       zmin + uniform_real(0.5f, 12)};
        vol.lower = uniform_real(0, 30);
        vol.upper = vol.lower + (round % 7 == 0 ? 0.0f : uniform_real(0, 30));
        vol.length = round % 17 == 0 ? 0.01f : uniform_real(0.05f, 1.5f);
        vol.linear = round % 2 == 1;
        vol.has_null = round % 3 != 0;
        const int rainy = uniform_int(0, 100);
        for (std::int64_t m = 0; m < vol.d[0] * vol.d[1] * vol.d[2]; ++m) {
            float v = -20;
            if (uniform_int(0, 99) < rainy) switch (uniform_int(0, 7)) {
                    case 0: v = vol.lower; break;
                    case 1: v = vol.upper; break;
                    case 2: v = vol.lower - uniform_real(0, 10); break;
                    case 3: v = vol.upper + uniform_real(0, 10); break;
                    case 4: v = -1; break;
                    case 5: v = uniform_int(0, 20) == 0 ? std::numeric_limits<float>::quiet_NaN() : vol.lower; break;
                    default: v = uniform_real(vol.lower, vol.upper); break;
                }
            vol.v.push_back(v);
        }
        check_lines(vol, expected_lines(vol));
    }
    // 1e7 m up heights are whole metres, levels 0.25 m apart: a sample's level may lie levels away from its run.
    rng.seed(20261206);
    Volume vol{{9, 7, 64}, {0, 0, 1.0e7f, 8, 6, 1.0e7f + 63 * 0.25f}, {}, true, -1, 10, 50};
    for (std::int64_t m = 0; m < 9 * 7 * 64; ++m) {
        const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
        vol.v.push_back(pick < 2 ? 0.0f : pick < 3 ? -1.0f : std::uniform_real_distribution<float>(0, 60)(rng));
    }
    for (const bool linear : {false, true})
        for (const float length : {4.0f, 5.0f, 9.0f}) {
            SCOPED_TRACE(std::to_string(length) + (linear ? " linear" : " constant"));
            vol.linear = linear;
            vol.length = length;
            const Expected want = expected_lines(vol);
            ASSERT_FALSE(want.failed);
            EXPECT_GT(want.far_from_run, 0);
            check_lines(vol, want);
        }
}

}  // namespace
