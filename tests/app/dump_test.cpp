// What a user sees of a run's tree: a value of every kind through a network
// and its dump and back, the dump's layout, and `velmora modules`.
#include <CLI/CLI.hpp>

#include "commands.h"
#include "json_write.h"
#include "values.h"
#include "module_test.h"
#include "runner.h"
#include "temp_files.h"

namespace {

using velmora::app::Json;
using vhost::Object;
using vhost::Role;
using vhost::shape;
using vhost::term;

// An operation of this test whose instances declare a member of every kind.
void declare_every_kind(Object& m) {
    m.add_int("i");
    m.add_long("l");
    m.add_real("r");
    m.add_string("s");
    m.add_int("n", 2);
    for (const char* t : {"byte", "short", "int", "long", "float", "double"})
        m.add_array(std::string("a_") + t, velmora::app::type_code(t), shape({term("n")}));
    m.add_str_array("texts", shape({term("n")}));
    m.add_group("g").add_real("x", 1.0);
    m.add_int("count", 1);
    m.add_group_array("entry", shape({term("count")})).add_int("no");
    m.add_field("in");
    m.add_int("done", 0, Role::Out);
}
int set_done(OMobj_id* id, int, int) {
    vhost::host().by_id(id)->at("done").set_int(1);
    return 1;
}

class DumpTest : public vtest::ModuleTest {
protected:
    apptest::TempDir dir;
    apptest::Capture err;
    void SetUp() override {
        ModuleTest::SetUp();
        vhost::register_operation({"EveryKind", {"EveryKindUpdate"}, "holds a value of every kind", declare_every_kind,
                                   {set_done}});
    }
    Json run_and_dump(const std::string& network, const std::string& dump) {
        velmora::app::RunOptions o;
        o.network = network;
        o.dump = dir.file(dump);
        EXPECT_EQ(velmora::app::run_network(o, err.stream(), false), velmora::app::run_ok) << err.text();
        return Json::parse(apptest::TempDir::read(o.dump));
    }
};

TEST_F(DumpTest, AValueOfEveryKindReadsBackAsItWasGiven) {
    const Json params = Json::parse(R"({"i": -7, "l": 9007199254740993, "r": 0.1, "s": "é \"q\"", "n": 2,
        "a_byte": [0, 255], "a_short": [-32768, 32767], "a_int": [-2147483648, 2147483647],
        "a_long": [-9223372036854775808, 9223372036854775807], "a_float": [0.1, "-inf"], "a_double": ["nan", 1e-300],
        "texts": ["a", ""], "g": {"x": "inf"}, "count": 1, "entry": [{"no": 3}]})");
    const std::string net = dir.write("net.json", R"({"fields": {"grid": {"nnodes": 2, "node_data": [{"values": [1, "nan"]}]}},
        "instances": {"k": {"module": "EveryKind", "links": {"in": "grid"}, "params": )" + params.dump() + "}}}");
    const Json dump = run_and_dump(net, "dump.json");
    const Json& k = dump["run"]["instances"]["k"];
    EXPECT_EQ(k["params"], params);
    EXPECT_EQ(k["links"], Json::parse(R"({"in": "grid"})"));
    EXPECT_EQ(k["outputs"], Json::parse(R"({"done": 1})"));
    EXPECT_EQ(dump["fields"]["grid"]["node_data"][0]["values"], Json::parse(R"([1, "nan"])"));
    // Values out of their type's range are refused where they stand.
    for (const auto& [param, says] : {std::pair{"\"a_byte\": [0, 256]", "256 is out of range (0 to 255)"},
                                      std::pair{"\"a_short\": [0, 1.5]", "a whole number, not the number 1.5"},
                                      std::pair{"\"a_float\": [0, 1e39]", "1e+39 does not fit a single-precision float"}}) {
        velmora::app::RunOptions o;
        o.network = dir.write("bad.json", std::string(R"({"instances": {"k": {"module": "EveryKind", "params": {)") +
                                              param + "}}}}");
        apptest::Capture e;
        EXPECT_EQ(velmora::app::run_network(o, e.stream(), false), velmora::app::run_invalid);
        EXPECT_NE(e.text().find(says), std::string::npos) << e.text();
    }

    // The dump read back as a network runs nothing.
    EXPECT_EQ(run_and_dump(dir.file("dump.json"), "again.json")["run"]["calls"], Json::array());

    // Its text: two spaces a level, short lists on their key's line, long
    // ones in lines of about 100 characters, bytes that are no UTF-8 replaced.
    const std::string text = apptest::TempDir::read(dir.file("dump.json"));
    EXPECT_EQ(text.substr(0, 14), "{\n  \"fields\": ");
    EXPECT_NE(text.find("\"a_int\": [-2147483648, 2147483647],\n"), std::string::npos) << text;
    Json long_list = Json::array();
    for (int v = 0; v < 100; ++v) long_list.push_back(1000 + v);
    const std::string wrapped = velmora::app::json_text(Json{{"v", long_list}, {"e", Json::array()}, {"o", Json::object()}});
    EXPECT_EQ(wrapped.rfind("{\n  \"v\": [\n    1000, 1001, ", 0), 0u) << wrapped;
    EXPECT_EQ(wrapped.substr(wrapped.size() - 33), "1099\n  ],\n  \"e\": [],\n  \"o\": {}\n}\n");
    std::size_t longest = 0, lines = 0;
    for (std::size_t at = 0, next; (next = wrapped.find('\n', at)) != std::string::npos; at = next + 1, ++lines)
        longest = std::max(longest, next - at);
    EXPECT_LE(longest, 100u);
    EXPECT_GE(lines, 4u + 6u + 2u) << wrapped;   // 100 numbers of 6 characters take 6 lines or more
    EXPECT_EQ(Json::parse(wrapped)["v"], long_list);
    EXPECT_EQ(velmora::app::json_text(Json("a\xff")), "\"a\xEF\xBF\xBD\"\n");
}

int modules_command(std::vector<const char*> argv) {
    CLI::App app{"velmora"};
    int status = 0;
    velmora::app::add_modules_command(app, status);
    argv.insert(argv.begin(), {"velmora", "modules"});
    return velmora::app::parse_and_run(app, status, static_cast<int>(argv.size()), argv.data());
}

TEST_F(DumpTest, TheModulesCommandListsWhatAnInstanceDeclares) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(modules_command({}), 0);
    const std::string all = ::testing::internal::GetCapturedStdout();
    for (const auto& d : vhost::module_decls()) EXPECT_NE(("\n" + all).find("\n" + d.name + " "), std::string::npos) << d.name;
    EXPECT_NE(all.find("  MakeRainMeshConstant_update, MakeRainMeshLinear_update\n"), std::string::npos) << all;

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(modules_command({"EveryKind"}), 0);
    const std::string one = ::testing::internal::GetCapturedStdout();
    auto row = [](const char* name, const char* kind, const char* role = "") {
        char line[128];
        std::snprintf(line, sizeof line, "\n  %-24s %-28s %s\n", name, kind, role);
        return std::string(line);
    };
    for (const std::string& line :
         {std::string("EveryKind: holds a value of every kind\nupdate:      EveryKindUpdate\n"), row("i", "int"),
          row("n", "int = 2"), row("a_short", "short[n]"), row("texts", "string[n]"), row("g", "group"),
          row("  x", "real = 1.0"), row("entry", "group[count]"), row("  no", "int"), row("in", "field"),
          row("done", "int = 0", "out")})
        EXPECT_NE(one.find(line), std::string::npos) << line << " in\n" << one;

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(modules_command({"ThreshMn"}), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "velmora: error: unknown module \"ThreshMn\" (did you mean \"ThreshMin\"?); `velmora modules` lists them\n");
}

}  // namespace
