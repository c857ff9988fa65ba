#include <filesystem>
#include <sstream>

#include "module_test.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using vhost::Object;
using vtest::msg;
using XYZ = std::array<double, 3>;

struct Stats {
    std::vector<std::string> labels;   // one per component
    XYZ aav;
    std::vector<XYZ> wav;
    std::vector<float> min, max, ave, sd;
};

class WriteStatisticTest : public vtest::InstanceTest {
protected:
    vtest::TempDir temp;
    const fs::path dir = temp.path();
    const std::string path = temp.file("cells.csv");

    void build() override {
        host.reset();
        inst = &instance("csv", "WriteStatistic", {}, {{"filename", path}});
    }
    void entry(int i, int no, int npoints, const Stats& s) {
        if (inst->at("nsurf").int_value() <= i) inst->at("nsurf").set_int(i + 1);
        Object& e = inst->at("sparam[" + std::to_string(i) + "]");
        e.at("no").set_int(no);
        e.at("npoints").set_int(npoints);
        e.at("ncomp").set_int(static_cast<std::int64_t>(s.labels.size()));
        e.at("label").strings() = s.labels;
        const char* axes[3] = {"x", "y", "z"};
        for (int k = 0; k < 3; ++k) e.at(std::string("aav.") + axes[k]).set_real(s.aav[k]);
        for (std::size_t j = 0; j < s.wav.size(); ++j)
            for (int k = 0; k < 3; ++k) e.at("wav[" + std::to_string(j) + "]." + axes[k]).set_real(s.wav[j][k]);
        vhost::set_floats(e.at("data_min"), s.min);
        vhost::set_floats(e.at("data_max"), s.max);
        vhost::set_floats(e.at("data_ave"), s.ave);
        vhost::set_floats(e.at("sv"), s.sd);
        e.at("maxz").set_real(12345);   // never written out
    }
    // Three areas with two components; the second area is empty.
    void three_areas() {
        entry(0, 1, 40, {{"ze", "rain"}, {1.5, -2, 0.25}, {{1, 2, 3}, {4, 5, 6}}, {10, 0.5f}, {55.5f, 8}, {30, 2}, {3, 1.25f}});
        entry(1, 2, 0, {{"a", "b"}, {0, 0, 0}, {{0, 0, 0}, {0, 0, 0}}, {0, 0}, {0, 0}, {0, 0}, {0, 0}});
        entry(2, 3, 7, {{"c", "d"}, {1e5, 2e-5, 3}, {{7, 8, 9}, {1, 1, 1}}, {1, 2}, {3, 4}, {2, 3}, {0.5f, 0.5f}});
    }
    std::string file() const { return vtest::TempDir::read(path); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(file());
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
};

TEST_F(WriteStatisticTest, TheDocumentedExampleFromCalcStatistic) {
    // One unlabelled component; area 3 has values 1 and 3 at (0,0,0) and (2,0,0).
    field(host.add_field("area")).nnodes(2).ints("area_no", {3, 3});
    field(host.add_field("in")).nnodes(2).nspace(3).coord({0, 0, 0, 2, 0, 0}).floats("", {1, 3});
    run(instance("stat", "CalcStatistic", {{"area", "area"}, {"in", "in"}}, {{"no_min", 3}, {"no_max", 3}}), {});
    host.link("csv.nsurf", "stat.nsurf");
    host.link("csv.sparam", "stat.sparam");
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(file(),
              "AreaNo,NumPoints,CenterX,CenterY,CenterZ,DATA0_CenterX,DATA0_CenterY,DATA0_CenterZ,DATA0_Min,DATA0_Max,"
              "DATA0_Ave,DATA0_SD\n"
              "3,2,1.000000e+00,0.000000e+00,0.000000e+00,1.500000e+00,0.000000e+00,0.000000e+00,1.000000e+00,"
              "3.000000e+00,2.000000e+00,1.000000e+00\n");
}

TEST_F(WriteStatisticTest, HeaderFromTheFirstEntryAndALinePerEntry) {
    three_areas();
    run(*inst, {});
    EXPECT_EQ(done(), 1);
    auto l = lines();
    ASSERT_EQ(l.size(), 4u);
    EXPECT_EQ(l[0],
              "AreaNo,NumPoints,CenterX,CenterY,CenterZ,ze_CenterX,ze_CenterY,ze_CenterZ,rain_CenterX,rain_CenterY,"
              "rain_CenterZ,ze_Min,ze_Max,ze_Ave,ze_SD,rain_Min,rain_Max,rain_Ave,rain_SD");
    EXPECT_EQ(l[1],
              "1,40,1.500000e+00,-2.000000e+00,2.500000e-01,1.000000e+00,2.000000e+00,3.000000e+00,4.000000e+00,"
              "5.000000e+00,6.000000e+00,1.000000e+01,5.550000e+01,3.000000e+01,3.000000e+00,5.000000e-01,"
              "8.000000e+00,2.000000e+00,1.250000e+00");
    // An empty area still gets its line; the header came from entry 0 alone.
    std::string zeros;
    for (int k = 0; k < 17; ++k) zeros += ",0.000000e+00";
    EXPECT_EQ(l[2], "2,0" + zeros);
    EXPECT_EQ(l[3],
              "3,7,1.000000e+05,2.000000e-05,3.000000e+00,7.000000e+00,8.000000e+00,9.000000e+00,1.000000e+00,"
              "1.000000e+00,1.000000e+00,1.000000e+00,3.000000e+00,2.000000e+00,5.000000e-01,2.000000e+00,"
              "4.000000e+00,3.000000e+00,5.000000e-01");
    // Reals are printed as the floats they stand for.
    inst->at("sparam[0].aav.x").set_real(1e39);
    run(*inst, {});
    EXPECT_EQ(lines()[1].substr(0, 9), "1,40,inf,");
    // Labels are cut at 63 characters, or named by their index when empty.
    Object& labels = inst->at("sparam[0].label");
    labels.strings()[0] = std::string(63, 'a') + "TAIL";
    labels.strings()[1] = "";
    run(*inst, {});
    std::string cut(63, 'a');
    const std::string head = "AreaNo,NumPoints,CenterX,CenterY,CenterZ," + cut + "_CenterX,";
    EXPECT_EQ(lines()[0].substr(0, head.size()), head);
    EXPECT_NE(lines()[0].find(",DATA1_CenterX,DATA1_CenterY,DATA1_CenterZ," + cut + "_Min,"), std::string::npos);
    // Without a label array every component is named by its index.
    inst->at("sparam[0]").make_link("label", "nowhere");
    run(*inst, {});
    const std::string named = "AreaNo,NumPoints,CenterX,CenterY,CenterZ,DATA0_CenterX,DATA0_CenterY,";
    EXPECT_EQ(lines()[0].substr(0, named.size()), named);
}

TEST_F(WriteStatisticTest, FailuresKeepTheWholeLinesBeforeThem) {
    // Unreadable nsurf counts as none.
    expect_idle({[&] { three_areas(); inst->at("nsurf").set_int(0); }, [&] { three_areas(); unset("nsurf"); }},
                [&] { EXPECT_FALSE(fs::exists(path)); });
    { std::ofstream(path) << "kept\n"; }
    run(*inst, {});
    EXPECT_EQ(file(), "kept\n");
    // The name is quoted as it stands, percent signs and all.
    const std::string bad = (dir / "missing" / "%s%n.csv").string();
    std::vector<Failure> cases{
        unset_case("filename"),
        {"empty filename", [&] { inst->at("filename").set_str(""); }, "can not get filename(1>len).\n"},
        {"unopenable", [&] { inst->at("filename").set_str(bad); }, "can not open " + bad + ".\n"},
        {"full disk", [&] { inst->at("filename").set_str("/dev/full"); }, "can not write /dev/full.\n"},
    };
    if (!fs::exists("/dev/full")) cases.pop_back();
    for (auto& c : cases) c.spoil = [this, spoil = c.spoil] { three_areas(); spoil(); };
    expect_failures(cases);
    // A failure at entry i keeps the header and the lines before it (none at entry 0); a good run rewrites all.
    build();
    three_areas();
    run(*inst, {});
    const auto good = lines();
    ASSERT_EQ(good.size(), 4u);
    struct Case {
        const char* what;
        std::function<void(Object& e)> spoil;
        std::string message;
    };
    auto resized = [](const char* name, int type, std::int64_t n) {
        return [=](Object& e) { e.add_array(name, type, vhost::shape({vhost::term(n)})); };
    };
    const std::vector<Case> at_entry{
        {"no", [](Object& e) { e.at("no").clear_value(); }, "can not get no.\n"},
        {"npoints", [](Object& e) { e.at("npoints").clear_value(); }, "can not get npoints.\n"},
        {"ncomp", [](Object& e) { e.at("ncomp").clear_value(); }, "can not get ncomp.\n"},
        {"no components", [](Object& e) { e.at("ncomp").set_int(0); }, "can not get data_min.\n"},
        {"data_min missing", [](Object& e) { e.make_link("data_min", "nowhere"); }, "can not get data_min.\n"},
        {"data_max too long", resized("data_max", DTYPE_FLOAT, 3), "can not get data_max.\n"},
        {"data_ave of ints", resized("data_ave", DTYPE_INT, 2), "can not get data_ave.\n"},
        {"sv too short", resized("sv", DTYPE_FLOAT, 1), "can not get sv.\n"},
        {"aav missing", [](Object& e) { e.make_link("aav", "nowhere"); }, "can not get x (arithmetic mean).\n"},
        {"aav.y", [](Object& e) { e.at("aav.y").clear_value(); }, "can not get y (arithmetic mean).\n"},
        {"aav.z", [](Object& e) { e.at("aav.z").clear_value(); }, "can not get z (arithmetic mean).\n"},
        {"wav[1] missing", [](Object& e) { e.make_link("wav", "nowhere"); }, "can not get x (weighted mean).\n"},
        {"wav[1].y", [](Object& e) { e.at("wav[1].y").clear_value(); }, "can not get y (weighted mean).\n"},
        {"wav[1].z", [](Object& e) { e.at("wav[1].z").clear_value(); }, "can not get z (weighted mean).\n"},
    };
    for (int at : {0, 2}) {
        std::vector<Failure> failures;
        for (const auto& c : at_entry)
            failures.push_back({std::string(c.what) + " at entry " + std::to_string(at), [this, at, spoil = c.spoil] {
                                    three_areas();
                                    spoil(inst->at("sparam[" + std::to_string(at) + "]"));
                                }, c.message});
        expect_failures(failures, [&] {
            EXPECT_EQ(lines(), std::vector<std::string>(good.begin(), good.begin() + (at == 0 ? 0 : at + 1)));
        });
    }
    build();
    three_areas();
    run(*inst, {});
    EXPECT_EQ(lines(), good);
}

}  // namespace
