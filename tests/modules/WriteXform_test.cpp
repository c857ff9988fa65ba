#include <climits>

#include "module_test.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using vtest::msg;

// The record of the transform the fixture sets, without its framing lines.
const std::string kRecord =
    "velmora {\n  view1 {\n    Scene {\n      Top {\n        Xform {\n          mat     = {\n"
    "             1.000000e+00,  0.000000e+00,  0.000000e+00,  0.000000e+00,\n"
    "             0.000000e+00,  1.000000e+00,  0.000000e+00,  0.000000e+00,\n"
    "             0.000000e+00,  0.000000e+00, -5.000000e-01,  0.000000e+00,\n"
    "             0.000000e+00,  0.000000e+00,  0.000000e+00,  1.000000e+00 \n"
    "          };\n          center  = {  1.000000e+00,  2.000000e+00,  3.000000e+00 };\n"
    "          xlate   = {  1.000000e+01, -2.000000e+01,  2.500000e-01 };\n"
    "          dcenter = {  0.000000e+00,  0.000000e+00,  0.000000e+00 };\n"
    "          ocenter = { -1.000000e+00, -2.000000e+00, -3.000000e+00 };\n"
    "        };\n      };\n    };\n  };\n};\n";

std::string read_file(const fs::path& p) { return vtest::TempDir::read(p.string()); }

class WriteXformTest : public vtest::InstanceTest {
protected:
    vtest::TempDir temp;
    const fs::path dir = temp.path();
    // A view field whose transform the instance saves, in append mode.
    void build() override {
        fs::remove_all(dir);
        fs::create_directories(dir / "shots");
        host.reset();
        field(host.add_field("view"))
            .xform_array("mat", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -0.5f, 0, 0, 0, 0, 1})
            .xform_array("center", {1, 2, 3})
            .xform_array("xlate", {10, -20, 0.25f})
            .xform_array("dcenter", {0, 0, 0})
            .xform_array("ocenter", {-1, -2, -3});
        inst = &instance("saver", "WriteXform", {{"xform", "view.xform"}},
                         {{"save", 1}, {"appname", "velmora"}, {"viewname", "view1"},
                          {"filename", (dir / "views.v").string()}, {"dirname", (dir / "shots").string()},
                          {"prefix", "storm"}, {"cnt", 7}});
    }
    void numbered() { inst->at("mode").set_int(1); }
    std::int64_t cnt() { return inst->at("cnt").int_value(); }
    // The files written, as paths below dir.
    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(dir))
            if (e.is_regular_file()) names.push_back(fs::relative(e.path(), dir).string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(WriteXformTest, OneRecordPerSaveAndEveryFailureHasItsMessage) {
    run(*inst, {});
    run(*inst, {});
    const std::string framed = "$push\n" + kRecord + "$pop\n\n";
    EXPECT_EQ(read_file(dir / "views.v"), framed + framed);
    EXPECT_EQ(done(), 1);
    EXPECT_EQ(cnt(), 7);   // only the numbered mode counts
    EXPECT_EQ(files(), (std::vector<std::string>{"views.v"}));
    // The numbered mode writes a new file per save.
    build();
    numbered();
    run(*inst, {});
    EXPECT_EQ(cnt(), 8);
    EXPECT_EQ(done(), 1);
    run(*inst, {});
    EXPECT_EQ(cnt(), 9);
    // Both files lie in dirname.
    EXPECT_EQ(files(), (std::vector<std::string>{"shots/storm_00007.v", "shots/storm_00008.v"}));
    EXPECT_EQ(read_file(dir / "shots/storm_00007.v"), kRecord + "\n");
    // An existing file of the same number is replaced.
    inst->at("cnt").set_int(7);
    inst->at("viewname").set_str("view2");
    run(*inst, {});
    EXPECT_EQ(read_file(dir / "shots/storm_00007.v").substr(0, 20), "velmora {\n  view2 {\n");
    // Without save nothing happens and appname is not read; inactive, not even save is read.
    expect_idle({[&] { inst->at("save").set_int(0); unset("appname"); },
                 [&] { inst->at("active").set_int(0); unset("save"); }}, [&] { EXPECT_TRUE(files().empty()); });
    auto clear = [&](const char* p) { return [this, p] { unset(p); }; };
    auto empty = [&](const char* p) { return [this, p] { inst->at(p).set_str(""); }; };
    auto in_numbered = [&](std::function<void()> f) { return [this, f] { numbered(); f(); }; };
    auto short_array = [&](const char* name, std::int64_t n) {
        return [this, name, n] { relink(host.root().at("view.xform"), name, DTYPE_FLOAT, n); };
    };
    auto named = [&](const char* p, std::string name) { return [this, p, name] { inst->at(p).set_str(name); }; };
    const std::string missing = (dir / "no").string();
    std::int64_t cnt_before = 0;
    auto before = [&](std::function<void()> f) { return [&cnt_before, f, this] { f(); cnt_before = cnt(); }; };
    std::vector<Failure> cases{
        {"no save", clear("save"), "can not get save.\n"},
        {"no appname", clear("appname"), "can not get appname.\n"},
        {"empty appname", empty("appname"), "can not get appname(1>len).\n"},
        {"no viewname", clear("viewname"), "can not get viewname.\n"},
        {"empty viewname", empty("viewname"), "can not get viewname(1>len).\n"},
        {"no mode", clear("mode"), "can not get mode.\n"},
        {"no filename", clear("filename"), "can not get filename.\n"},
        {"empty filename", empty("filename"), "can not get filename(1>len).\n"},
        {"no dirname", in_numbered(clear("dirname")), "can not get dirname.\n"},
        {"empty dirname", in_numbered(empty("dirname")), "can not get dirname(1>len).\n"},
        {"no prefix", in_numbered(clear("prefix")), "can not get prefix.\n"},
        {"empty prefix", in_numbered(empty("prefix")), "can not get prefix(1>prefix).\n"},
        {"no cnt", in_numbered(clear("cnt")), "can not get cnt.\n"},
        {"mat of 9", short_array("mat", 9), "can not get mat.\n"},
        {"no transform", [&] { inst->make_link("xform", "nowhere"); }, "can not get mat.\n"},
        {"xlate of 2", short_array("xlate", 2), "can not get xlate.\n"},
        {"center of 4", short_array("center", 4), "can not get center.\n"},
        {"dcenter of 1", short_array("dcenter", 1), "can not get dcenter.\n"},
        {"ocenter of 2", short_array("ocenter", 2), "can not get ocenter.\n"},
        {"unknown mode, neither name read", [&] { inst->at("mode").set_int(2); unset("filename"); unset("dirname"); },
         "unsupport mode(2).\n"},
        {"negative mode", [&] { inst->at("mode").set_int(-1); }, "unsupport mode(-1).\n"},
        {"last cnt", in_numbered([&] { inst->at("cnt").set_int(INT_MAX); }), "cnt out of range(2147483647).\n"},
        // Files that can not be written, named in full.
        {"append, missing dir", named("filename", missing + "/views.v"), "can not open " + missing + "/views.v.\n"},
        {"numbered in a missing directory", in_numbered(named("dirname", missing + "/shots")),
         "can not open " + missing + "/shots/storm_00007.v.\n"},
        // A full disk: the record is lost, so it is not counted as saved.
        {"full disk", named("filename", "/dev/full"), "can not write /dev/full.\n"},
    };
    for (auto& c : cases) c.spoil = before(c.spoil);
    expect_failures(cases, [&] { EXPECT_TRUE(files().empty()); EXPECT_EQ(cnt(), cnt_before); });
    // The numbered name must fit its buffer.
    build();
    numbered();
    // dirname + "/" + prefix + "_00007.v" is 1023 characters: it fits.
    const std::string fits = (dir / std::string(200, 'd')).string();
    const std::size_t room = 1023 - fits.size() - 1 - 8;
    inst->at("dirname").set_str(fits);
    inst->at("prefix").set_str(std::string(room, 'p'));
    // The file name itself is too long to open: the open fails, naming it whole.
    std::string name = fits + "/" + std::string(room, 'p') + "_00007.v";
    ASSERT_EQ(name.size(), 1023u);
    run(*inst, {msg("saver", "can not open " + name + ".\n").substr(0, 1023)});

    inst->at("prefix").set_str(std::string(room + 1, 'p'));
    run(*inst, {msg("saver", "file name too long(1024>1023).\n")});
    EXPECT_EQ(cnt(), 7);
    EXPECT_TRUE(files().empty());
}

}  // namespace
