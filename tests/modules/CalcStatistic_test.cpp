#include <bit>

#include "module_test.h"
#include "statistic_reference.h"

namespace {

using vhost::Object;
using vtest::msg;

// The same bits, or NaN both: which NaN an addition of two NaNs returns is the compiler's choice.
std::uint32_t same_bits(float v) { return std::isnan(v) ? 0x7FC00000u : std::bit_cast<std::uint32_t>(v); }

// Null values per component: 0 none declared; from the fifth on declared with the flag off, which counts the same.
struct Case {
    std::vector<std::int32_t> numbers{};
    std::vector<float> xyz{};
    int nspace = 3;
    std::vector<std::vector<float>> values{};
    std::vector<float> nulls{};
    int no_min = 1, no_max = 1;
};

class CalcStatisticTest : public vtest::InstanceTest {
protected:
    Object* area = nullptr;
    Object* in = nullptr;
    void build(const std::vector<std::int32_t>& numbers, const std::vector<float>& xyz, int nspace,
               const std::vector<std::pair<std::string, std::vector<float>>>& comps, int no_min, int no_max) {
        host.reset();
        area = &host.add_field("area");
        field(*area).nnodes(static_cast<std::int64_t>(numbers.size())).ints("area_no", numbers);
        in = &host.add_field("in");
        field(*in).nnodes(static_cast<std::int64_t>(numbers.size())).nspace(nspace).coord(xyz);
        for (const auto& [label, v] : comps) field(*in).floats(label, v);
        inst = &instance("stat", "CalcStatistic", {{"area", "area"}, {"in", "in"}}, {{"no_min", no_min}, {"no_max", no_max}});
    }
    // Three nodes of area 1 and one of area 2; ze 2, 4, null, 7 (null -9999).
    void build() override {
        build({1, 1, 1, 2}, {0, 0, 1, 4, 0, 3, 2, 2, 2, 10, 10, 10}, 3, {{"ze", {2, 4, -9999, 7}}}, 1, 2);
        field(*in).null_value(0, -9999);
    }
    Object& entry(int i) { return inst->at("sparam[" + std::to_string(i) + "]"); }
    std::vector<float> arr(int i, const char* name) { return vhost::floats_of(entry(i).at(name)); }
    double real(int i, const std::string& path) { return entry(i).at(path).real_value(); }
    std::int64_t integer(int i, const char* name) { return entry(i).at(name).int_value(); }
    std::int64_t nsurf() { return inst->at("nsurf").int_value(); }
    vhost::FieldRef olabel() { return field(*inst, "olabel"); }
    std::vector<std::string> no_label() { return inst->at("no_label").strings(); }
    // Every published number equals the direct two-passes-per-area computation bit for bit.
    void expect_direct_results(const Case& c) {
        std::vector<std::pair<std::string, std::vector<float>>> comps;
        for (std::size_t j = 0; j < c.values.size(); ++j)
            comps.emplace_back(j == 1 ? "" : "c" + std::to_string(j), c.values[j]);
        build(c.numbers, c.xyz, c.nspace, comps, c.no_min, c.no_max);
        for (std::size_t j = 0; j < c.nulls.size(); ++j)
            if (c.nulls[j] != 0.0f) field(*in).null_value(static_cast<int>(j), c.nulls[j], j < 4 ? 1 : 0);
        run(*inst, {});
        ASSERT_EQ(done(), 1);

        auto ref = vref::reference_statistics(c.numbers, c.xyz, c.nspace, c.values, c.nulls, c.no_min, c.no_max);
        ASSERT_EQ(nsurf(), static_cast<std::int64_t>(ref.size()));
        std::vector<std::string> labels;
        for (std::size_t i = 0; i < ref.size(); ++i) {
            const vref::RefArea& r = ref[i];
            int e = static_cast<int>(i);
            SCOPED_TRACE(r.no);
            ASSERT_EQ(integer(e, "no"), r.no);
            ASSERT_EQ(integer(e, "npoints"), r.npoints);
            auto same = [](std::vector<float> v) {
                for (float& x : v) x = std::bit_cast<float>(same_bits(x));
                return vtest::bits(v);
            };
            const std::vector<float>* want[] = {&r.dmin, &r.dmax, &r.dave, &r.sv};
            int a = 0;
            for (const char* name : {"data_min", "data_max", "data_ave", "sv"}) ASSERT_EQ(same(arr(e, name)), same(*want[a++])) << name;
            auto published = [&](const std::string& path, float want) {
                const double got = real(e, path);
                ASSERT_EQ(same_bits(static_cast<float>(got)), same_bits(want)) << path;   // and written from a float:
                if (!std::isnan(got)) { ASSERT_EQ(got, static_cast<double>(static_cast<float>(got))) << path; }
            };
            const char* axes[3] = {"x", "y", "z"};
            for (int k = 0; k < 3; ++k) published(std::string("aav.") + axes[k], r.centre[k]);
            for (std::size_t j = 0; j < c.values.size(); ++j)
                for (int k = 0; k < 3; ++k)
                    published("wav[" + std::to_string(j) + "]." + axes[k], r.wav[3 * j + k]);
            published("maxz", r.maxz);
            if (r.npoints >= 1) labels.push_back(std::to_string(r.no));
        }
        if (!labels.empty()) { EXPECT_EQ(no_label(), labels); }
    }
};

// The numbers are held to the direct computation below; here the labels and label points.
TEST_F(CalcStatisticTest, LabelsAndLabelPointsOfTheAreas) {
    field(*in).floats("", {-3, 3, 0, 5});
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ((std::vector<std::int64_t>{nsurf(), integer(0, "ncomp")}), (std::vector<std::int64_t>{2, 2}));
    EXPECT_EQ(entry(0).at("label").strings(), (std::vector<std::string>{"ze", "DATA1"}));
    // One labelled point per area, at (centre x, centre y, maxz).
    vtest::expect_points(olabel(), {2, 2.0f / 3.0f, 3, 10, 10, 10});
    EXPECT_EQ(olabel().ncomp(), 0);
    EXPECT_EQ(no_label(), (std::vector<std::string>{"1", "2"}));
    // A later run with fewer areas shrinks the group and the points.
    inst->at("no_max").set_int(1);
    run(*inst, {});
    EXPECT_EQ(nsurf(), 1);
    EXPECT_EQ(inst->at("sparam").length(), 1);
    vtest::expect_points(olabel(), {2, 2.0f / 3.0f, 3});
    EXPECT_EQ(no_label(), (std::vector<std::string>{"1"}));
    // Numbers 4..6: nobody carries 5, which gets no point; nodes of 3 and 7 belong to no entry.
    build({3, 4, 7, 6, 4}, {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 5, 5}, 3, {{"ze", {10, 20, 30, 40, 50}}}, 4, 6);
    run(*inst, {});
    ASSERT_EQ(nsurf(), 3);
    EXPECT_EQ(no_label(), (std::vector<std::string>{"4", "6"}));
    EXPECT_EQ(olabel().coord(), (std::vector<float>{3.5f, 3.5f, 5, 4, 4, 4}));
    // No node carries a number of the range: the entries are rewritten, the points and labels stay.
    vtest::set_params(*inst, {{"no_min", 10}, {"no_max", 10}});
    run(*inst, {});
    using Ints = std::vector<std::int64_t>;
    EXPECT_EQ((Ints{nsurf(), integer(0, "no"), integer(0, "npoints"), olabel().nnodes()}), (Ints{1, 10, 0, 2}));
    EXPECT_EQ(no_label(), (std::vector<std::string>{"4", "6"}));
}

TEST_F(CalcStatisticTest, PlaneModeMovesOnlyThePublishedCentreHeights) {
    inst->at("nspace3").set_int(0);
    field(*in).xform_array("xlate", {0, 0, 10}).xform_array("mat", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1});
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    for (int i = 0; i < 2; ++i)
        for (const char* p : {"aav.z", "wav[0].z"}) EXPECT_EQ(real(i, p), 5.0);
    EXPECT_EQ(real(0, "aav.x"), 2.0);
    EXPECT_EQ(real(0, "maxz"), 3.0);
    EXPECT_EQ(olabel().coord(), (std::vector<float>{2, 2.0f / 3.0f, 0, 10, 10, 0}));   // points at height 0
    // No upward z scale: height 0. An unreadable nspace3 counts as plane mode.
    build();
    inst->at("nspace3").clear_value();
    field(*in).xform_array("xlate", {0, 0, 10}).xform_array("mat", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -2, 0, 0, 0, 0, 1});
    run(*inst, {});
    EXPECT_EQ((std::vector<double>{real(0, "aav.z"), real(1, "wav[0].z")}), (std::vector<double>{0, 0}));
    EXPECT_EQ(done(), 1);
    // Without a transform: the group is published unmoved, then the update fails.
    std::vector<Failure> cases;
    for (const char* which : {"xlate", "mat"})
        cases.push_back({which, [this, which] {
                             inst->at("nspace3").set_int(0);
                             in->at("xform").add_array(which, DTYPE_FLOAT, vhost::shape({vhost::term(4)}));
                         }, std::string("can not get ") + which + ".\n"});
    expect_failures(cases, [&] {
        using Ints = std::vector<std::int64_t>;
        EXPECT_EQ((Ints{nsurf(), integer(1, "npoints"), olabel().nnodes()}), (Ints{2, 1, 0}));
        EXPECT_EQ(real(0, "aav.z"), 2.0);
    });
}

TEST_F(CalcStatisticTest, InputFailuresInTheirOrder) {
    expect_failures({
        {"in without nodes", [&] { field(*in).nnodes(0); }, "1 > nnodes, can not calculate statistic_value.\n"},
        {"nnodes", [&] { field(*in).nnodes(5); }, "nnodes of area and in differ, can not calculate statistic_value.\n"},
        {"float area numbers", [&] { field(*area).component(0).at("values").retype(DTYPE_FLOAT); },
         "the type of areano is wrong(DTYPE_INT only).\n"},
        {"area no comps", [&] { area->at("nnode_data").set_int(0); }, "the type of areano is wrong(DTYPE_INT only).\n"},
        {"area vectors", [&] { field(*area).component(0).at("veclen").set_int(2); }, "the veclen of areano is not 1.\n"},
        {"in without components", [&] { in->at("nnode_data").set_int(0); }, "can not get nnode_data(in).\n"},
        {"int comp 1", [&] { field(*in).ints("n", {1, 2, 3, 4}); }, "the type of value is wrong(DTYPE_FLOAT only).\n"},
        {"vec c1", [&] { field(*in).floats("v", std::vector<float>(8, 1.0f), 2); }, "the veclen of value is not 1.\n"},
        unset_case("no_min"),
        unset_case("no_max"),
        {"reversed range", [&] { inst->at("no_max").set_int(0); }, "1 > the number of isosurface-area.\n"},
        {"wide range", [&] { inst->at("no_max").set_int(100001); }, "too many areas (no_max - no_min + 1 > 100000).\n"},
        {"no area_no", [&] { relink(field(*area).component(0), "values", DTYPE_INT, 0); }, "can not get area_no.\n"},
        {"short area_no", [&] { relink(field(*area).component(0), "values", DTYPE_INT, 3); }, "can not get area_no.\n"},
        {"no nspace", [&] { in->at("nspace").clear_value(); }, "can not get nspace.\n"},
        {"no coordinates", [&] { relink(*in, "coord", DTYPE_FLOAT, 0); }, "can not get coordinates.\n"},
        {"short coordinates", [&] { relink(*in, "coord", DTYPE_FLOAT, 11); }, "can not get coordinates.\n"},
        {"no values of component 1",
         [&] { field(*in).floats("rain", {1, 2, 3, 4}); relink(field(*in).component(1), "values", DTYPE_FLOAT, 3); },
         "can not get node_data[1].value.\n"},
    }, [&] { EXPECT_EQ(nsurf(), 0); EXPECT_EQ(olabel().nnodes(), 0); });
    // An empty area field: nothing to do, not even no_min is read.
    expect_idle({[&] { field(*area).nnodes(0); unset("no_min"); }}, [&] { EXPECT_EQ(nsurf(), 0); });
}

TEST_F(CalcStatisticTest, PublishingFailuresKeepWhatCameBefore) {
    inst->at("nsurf").set_int(2);
    // Entry 1's data_max holds two floats where one is needed.
    entry(1).add_array("data_max", DTYPE_FLOAT, vhost::shape({vhost::term(2)}));
    run(*inst, {msg("stat", "can not get data_max.\n")});
    EXPECT_EQ(done(), 0);
    EXPECT_EQ(arr(0, "sv"), (std::vector<float>{std::sqrt(2.0f)}));
    // The failing entry got its integers only.
    EXPECT_EQ((std::vector<double>{real(0, "maxz"), double(integer(1, "no")), double(integer(1, "npoints")),
                                   real(1, "maxz")}), (std::vector<double>{3, 2, 1, 0}));
    EXPECT_EQ(olabel().nnodes(), 0);
    // Failures on the label field leave the group published.
    expect_failures({
        {"no label field", [&] { inst->make_link("olabel", "nowhere"); }, "can not get coord.\n"},
        {"short connectivity",
         [&] { relink(*inst->at("olabel.cell_set").element_template(), "node_connect_list", DTYPE_LONG, 1); },
         "can not get node_connect.\n"},
        {"no cell set", [&] { inst->at("olabel").add_group_array("cell_set", vhost::shape({vhost::term(0)})); },
         "can not get node_connect.\n"},
    }, [&] { EXPECT_EQ(integer(1, "npoints"), 1); });
    // After the last case: the points are written, the labels come last.
    EXPECT_EQ(olabel().coord(), (std::vector<float>{2, 2.0f / 3.0f, 3, 10, 10, 10}));
    EXPECT_TRUE(no_label()[0].empty());
}

TEST_F(CalcStatisticTest, MatchesTheDirectComputationBitForBit) {
    std::mt19937 rng(20060120);
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        Case c;
        const int nnodes = std::uniform_int_distribution<int>(1, 3000)(rng);
        c.nspace = std::uniform_int_distribution<int>(1, 4)(rng);
        const int ncomp = std::uniform_int_distribution<int>(1, 6)(rng);
        c.no_min = std::uniform_int_distribution<int>(-5, 5)(rng);
        c.no_max = c.no_min + std::uniform_int_distribution<int>(0, 60)(rng);
        std::uniform_int_distribution<int> number(c.no_min - 2, c.no_max + 2);
        std::uniform_real_distribution<float> pos(-150000.0f, 150000.0f), val(-20.0f, 65.0f);
        c.numbers.resize(nnodes);
        for (int n = 0; n < nnodes; ++n) c.numbers[n] = (n > 0 && rng() % 4 != 0) ? c.numbers[n - 1] : number(rng);
        c.xyz.resize(static_cast<std::size_t>(nnodes) * c.nspace);
        for (float& x : c.xyz) x = pos(rng);
        c.values.assign(ncomp, std::vector<float>(nnodes));
        c.nulls.assign(ncomp, 0.0f);
        for (int j = 0; j < ncomp; ++j) {
            c.nulls[j] = j == 0 ? -9999.0f : (j % 2 == 1 ? 0.0f : 0.25f * static_cast<float>(j));
            // Values on both sides of the 1e-6 exclusion margin around the null value.
            const float near[] = {5e-7f, 1e-6f, std::nextafter(1e-6f, 1.0f), -1e-6f, -std::nextafter(1e-6f, 1.0f)};
            for (float& v : c.values[j]) {
                switch (rng() % 12) {
                    case 0: v = c.nulls[j]; break;
                    case 1:
                    case 2: v = c.nulls[j] + near[rng() % 5]; break;
                    case 3: v = std::numeric_limits<float>::quiet_NaN(); break;
                    default: v = val(rng);
                }
            }
        }
        expect_direct_results(c);
    }
}

// Signed zeros, infinities, subnormals, overflowing sums, NaN coordinates; areas long enough to cross the lanes.
TEST_F(CalcStatisticTest, EdgesOfSinglePrecisionBitForBit) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const float tiny = std::numeric_limits<float>::denorm_min(), big = std::numeric_limits<float>::max();
    const std::vector<float> odd_values = {0.0f, -0.0f, inf, -inf, tiny, -tiny, 1e-39f, big, -big, 3e38f, 1.0f, -1.0f};
    const std::vector<float> odd_coords = {0.0f, -0.0f, tiny, 1e-30f, 1e30f, 3e38f, -3e38f, inf, nan, 1.0f};
    std::mt19937 rng(7);
    Case c{.no_min = 1, .no_max = 9};
    const int nnodes = 4000;
    c.numbers.resize(nnodes);
    for (int n = 0; n < nnodes; ++n) c.numbers[n] = (n > 0 && rng() % 8 != 0) ? c.numbers[n - 1] : 1 + static_cast<int>(rng() % 10);
    c.xyz.resize(3 * static_cast<std::size_t>(nnodes));
    c.values.assign(2, std::vector<float>(nnodes));
    c.nulls = {-9999.0f, 0.0f};
    for (int n = 0; n < nnodes; ++n) {
        // Areas 1-4 keep to ordinary coordinates; the others meet every oddity.
        const bool plain = c.numbers[n] <= 4;
        for (int k = 0; k < 3; ++k)
            c.xyz[3 * n + k] = plain || rng() % 3 != 0 ? static_cast<float>(rng() % 2000) - 1000.0f
                                                      : odd_coords[rng() % odd_coords.size()];
        for (auto& v : c.values) v[n] = rng() % 2 ? odd_values[rng() % odd_values.size()] : static_cast<float>(rng() % 100);
    }
    expect_direct_results(c);
    // Minima, maxima and highest z decided between +0 and -0 only.
    for (int n = 0; n < nnodes; ++n) {
        const float zero = rng() % 2 ? 0.0f : -0.0f;
        c.xyz[3 * n + 2] = rng() % 2 ? zero : -1.0f;
        c.values[0][n] = rng() % 2 ? zero : 1.0f;
        c.values[1][n] = rng() % 2 ? -zero : -1.0f;
    }
    c.nulls = {-9999.0f, -9999.0f};
    expect_direct_results(c);
}

// One area of most nodes in long runs, many of a node or two: lanes run out of areas at different times.
TEST_F(CalcStatisticTest, AreasOfVeryDifferentSizesBitForBit) {
    std::mt19937 rng(11);
    Case c{.no_min = 0, .no_max = 200};
    for (int piece = 0; piece < 300; ++piece) {
        const bool large = piece % 3 == 0;
        const int number = large ? 7 : 1 + 2 * static_cast<int>(rng() % 100);
        const int length = large ? 50 + static_cast<int>(rng() % 200) : 1 + static_cast<int>(rng() % 2);
        c.numbers.insert(c.numbers.end(), length, number);
    }
    const auto nnodes = c.numbers.size();
    c.xyz.resize(3 * nnodes);
    for (float& x : c.xyz) x = static_cast<float>(rng() % 100000) * 0.37f;
    c.values.assign(3, std::vector<float>(nnodes));
    c.nulls = {-9999.0f, 0.0f, 0.5f};
    for (auto& v : c.values)
        for (float& x : v) x = rng() % 20 == 0 ? -9999.0f : static_cast<float>(rng() % 7000) * 0.01f;
    expect_direct_results(c);
}

}  // namespace
