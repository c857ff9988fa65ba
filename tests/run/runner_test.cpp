// velmora run from end to end: dumps, the exit status of every outcome, the examples of docs/networks.md, the
// progress bar, a value of every kind through a dump, and `velmora modules`.
#include "run/runner.h"

#include <regex>

#include "app_test.h"
#include "run/document.h"
#include "run/json_write.h"
#include "module_test.h"
#include "progress.h"
#include "run/values.h"

namespace {

using velmora::Json;
using velmora::RunOptions;

const char* const network = R"({"fields": {"grid": {"nnodes": 3,
  "node_data": [{"label": "ze", "units": "dBZ", "values": [1, 2, 3]}]}}, "instances": {
  "thresh": {"module": "ThreshMin", "params": {"thresh_value": 2, "null_value": -1}, "links": {"in": "grid"}}}})";

class RunnerTest : public vtest::ModuleTest {
protected:
    void TearDown() override {
        host.set_resolver({});
        ModuleTest::TearDown();
    }
    // What the runs write from now on, apart from what came before.
    void new_error_stream() { err = std::make_unique<vtest::Capture>(); }
    static Json read_json(const std::string& path) { return Json::parse(vtest::TempDir::read(path)); }
    vtest::TempDir dir;
    std::unique_ptr<vtest::Capture> err = std::make_unique<vtest::Capture>();
};

TEST_F(RunnerTest, RunsTheNetworkAndItsDumpReadsBackWithTheSameFields) {
    std::string net = dir.write("net.json", network);
    ::testing::internal::CaptureStdout();
    RunOptions o;
    o.network = net;
    o.dump = dir.file("dump.json");
    EXPECT_EQ(velmora::run_network(o, err->stream()), velmora::run_ok);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");   // the runner adds nothing to standard output
    EXPECT_EQ(err->text(), "");
    Json dump = read_json(dir.file("dump.json"));
    // Units are not copied by ThreshMin.
    EXPECT_EQ(dump["fields"]["thresh.out_nd"], Json::parse(R"({"nnodes": 3, "node_data": [{"label": "ze", "type": "float",
        "veclen": 1, "units": "", "values": [-1, 2, 3], "null_value": -1.0}]})"));
    EXPECT_EQ(dump["run"]["network"], net);
    dump["run"].erase("network");
    EXPECT_EQ(dump["run"], Json::parse(R"({"calls": [{"instance": "thresh", "entry": "ThreshMinUpdate", "result": 1}],
        "messages": [], "arrays_unreleased": 0, "instances": {"thresh": {"module": "ThreshMin", "links": {"in": "grid"},
        "params": {"thresh_value": 2.0, "null_value": -1.0}, "outputs": {"out_nd": {"$field": "thresh.out_nd"}, "done": 1}}}})"));
}

// A module that reported a problem ends the run with a status of its own, the dump written all the same.
TEST_F(RunnerTest, ReportedTextsGoToTheErrorStreamInOrderAndIntoTheDumpAndEndWithThree) {
    std::string net = dir.write("net.json", R"({"fields": {"grid": {"nnodes": 3, "node_data": [{"values": [1, 2, 3]}]}},
      "instances": {"b": {"module": "ThreshMin", "params": {"thresh_value": 1}, "links": {"in": "a.out_nd"}},
        "a": {"module": "ThreshMin", "params": {"thresh_value": null, "null_value": 0}, "links": {"in": "grid"}}}})");
    EXPECT_EQ(vtest::run_file(net, *err, dir.file("dump.json")), velmora::run_reported);
    // a runs first (b reads from it) and fails; b then finds an empty input and ends without a message.
    EXPECT_EQ(err->text(), "a : can not get thresh_value.\n");
    const Json run = read_json(dir.file("dump.json"))["run"];
    EXPECT_EQ(run["messages"], Json::parse(R"([{"object": "a", "severity": 32, "text": "a : can not get thresh_value.\n"}])"));
    EXPECT_EQ(run["calls"][1]["instance"], "b");
    EXPECT_EQ(run["instances"]["a"]["params"]["thresh_value"], nullptr);
    EXPECT_EQ(run["instances"]["a"]["outputs"]["done"], 0);
}

// Unless the user lets them write anywhere, a network's writers cannot plant a file outside the run's folder.
TEST_F(RunnerTest, WritersStayInTheFolderOfTheRun) {
    std::filesystem::create_directories(dir.file("run"));
    std::filesystem::create_symlink(dir.file(""), dir.file("run/up"));
    vtest::InDirectory here(dir.file("run"));
    auto writing = [&](const std::string& filename) {
        return dir.write("net.json", R"({
          "fields": {"grid": {"dims": [2, 1, 1], "nspace": 3, "node_data": [{"type": "int", "values": [1, 0]}]}},
          "instances": {"ijk": {"module": "WriteIsoIJK", "links": {"in": "grid"},
                                "params": {"nspace3": 1, "no_min": 1, "no_max": 1, "filename": ")" + filename + R"("}}}})");
    };
    const struct {
        std::string filename;
        bool written;
        bool refused = !written;   // outside the folder, rather than failing on its own
    } cases[] = {{"inside.txt", true}, {"sub/../inside2.txt", false, false}, {"../outside.txt", false},   // no sub/
                 {dir.file("outside2.txt"), false}, {"up/outside3.txt", false}};
    const std::string folder = std::filesystem::weakly_canonical(dir.file("run")).string();
    for (const auto& c : cases) {
        new_error_stream();
        EXPECT_EQ(vtest::run_file(writing(c.filename), *err), c.written ? velmora::run_ok : velmora::run_reported)
            << c.filename;
        // The module's own message, then why the file could not be opened and how to let it.
        const std::string why = "velmora: ijk: refused to write " + c.filename + ": it lies outside " + folder +
                                ", the folder the run writes in (--allow-writes-anywhere lets the writers write anywhere)\n";
        EXPECT_EQ(err->text(), c.written ? "" : "ijk : can not open " + c.filename + ".\n" + (c.refused ? why : ""))
            << c.filename;
    }
    EXPECT_TRUE(std::filesystem::exists(dir.file("run/inside.txt")));
    for (const char* f : {"outside.txt", "outside2.txt", "outside3.txt"}) EXPECT_FALSE(std::filesystem::exists(dir.file(f))) << f;
    new_error_stream();
    EXPECT_EQ(vtest::run_file(writing("../outside.txt"), *err, {}, true), velmora::run_ok);
    EXPECT_EQ(err->text(), "");
    EXPECT_TRUE(std::filesystem::exists(dir.file("outside.txt")));
}

TEST_F(RunnerTest, ABrokenNetworkExitsWithTwoAndRunsNothing) {
    const std::string net = dir.write("net.json", R"({"instances": {"t": {"module": "Nope"}}})");
    EXPECT_EQ(vtest::run_file(net, *err, dir.file("dump.json")), velmora::run_invalid);
    EXPECT_EQ(err->text().rfind(net + ":1:32: error: unknown module \"Nope\"", 0), 0u) << err->text();
    EXPECT_FALSE(std::filesystem::exists(dir.file("dump.json")));
    EXPECT_EQ(vtest::run_file(dir.file("missing.json"), *err), velmora::run_invalid);
}

int keeps_an_array(OMobj_id* id, int, int) {
    OMobj_id in = OMfind_subobj(id, OMstr_to_name("in"), 1);
    int type = 0;
    char* data = nullptr;
    std::int64_t size = 0;
    FLDget_node_data(&in, 0, &type, &data, &size, 0);
    return 0;
}

TEST_F(RunnerTest, FaultsOfTheRunExitWithOne) {
    std::string net = dir.write("net.json", network);
    host.set_resolver([](std::string_view) -> OMupdate_fn { return nullptr; });
    EXPECT_EQ(vtest::run_file(net, *err, dir.file("dump.json")), velmora::run_fault);
    EXPECT_EQ(err->text(), "velmora: thresh: the library exports no function ThreshMinUpdate\n");
    EXPECT_EQ(read_json(dir.file("dump.json"))["run"]["calls"], Json::array());   // the dump is still written
    new_error_stream();
    host.set_resolver([](std::string_view) { return &keeps_an_array; });
    EXPECT_EQ(vtest::run_file(net, *err), velmora::run_fault);
    EXPECT_EQ(err->text(), "velmora: thresh: ThreshMinUpdate returned 0, not 1\n"
                           "velmora: 1 host array(s) left unreleased after the run\n");
    host.reset();
    new_error_stream();
    host.set_resolver({});
    const std::string dump = dir.file("no/such/dir/dump.json");
    EXPECT_EQ(vtest::run_file(net, *err, dump), velmora::run_fault);
    EXPECT_EQ(err->text(), "velmora: cannot write the dump " + dump + ": No such file or directory\n");
    // A tree beyond the dump's bound leaves neither a partial file nor an older dump behind.
    new_error_stream();
    const std::string old = dir.write("old.json", "{}");
    EXPECT_EQ(vtest::run_file(net, *err, old, false, 5), velmora::run_fault);
    EXPECT_NE(err->text().find("velmora: cannot write the dump " + old + ": it would hold "), std::string::npos) << err->text();
    EXPECT_NE(err->text().find(" values, more than the 5 a dump holds (raise the bound with --dump-limit)\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_FALSE(std::filesystem::exists(old + ".partial"));
}

TEST_F(RunnerTest, TheCommandLineTakesRepeatedOverridesAndRejectsMisuseWithTwo) {
    const std::string net = dir.write("net.json", network), dump = dir.file("dump.json");
    const char *n = net.c_str(), *d = dump.c_str();
    EXPECT_EQ(vtest::cli({"run", "--set", "thresh.thresh_value=3", "--set", "thresh.null_value=-5", n, "--dump", d}), 0);
    EXPECT_EQ(read_json(dump)["fields"]["thresh.out_nd"]["node_data"][0]["values"], Json::parse("[-5, -5, 3]"));
    // A level that is no number is refused, not read as 0 dBZ.
    const std::vector<std::string> misuse[] = {
        {"run"}, {}, {"run", n, "--bogus"}, {"run", n, "--set", "thresh.nothing=1"}, {"run", n, "--dump", d, "--dump-limit", "0"},
        {"analyze", "--max-voxels", "0"}, {"analyze", "--max-voxels", "3000000000"}, {"analyze", "--level", ""},
        {"analyze", "--level", "nan"}, {"analyze", "--level", "-inf"}, {"analyze", "--level", "40x"}};
    ::testing::internal::CaptureStderr();
    for (const auto& argv : misuse) EXPECT_EQ(vtest::cli(argv), 2) << testing::PrintToString(argv);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("--level: not a finite number from -100 to 100 dBZ: \"\""), std::string::npos) << errors;
    EXPECT_NE(errors.find("--set thresh.nothing=1: error: ThreshMin has no \"nothing\""), std::string::npos) << errors;
    // A dump over its own network is refused before the run, through a link too.
    std::filesystem::create_symlink(net, dir.file("link.json"));
    const std::string network_text = vtest::TempDir::read(net);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vtest::cli({"run", n, "--dump", dir.file("link.json")}), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "velmora run: --dump " + dir.file("link.json") + " is the network file: velmora does not write over what it reads\n");
    EXPECT_EQ(vtest::TempDir::read(net), network_text);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vtest::cli({"run", "--help"}), 0);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("--set INSTANCE.PARAM=VALUE"), std::string::npos);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vtest::cli({"--help"}), 0);   // every command is listed, the Python package's batch too
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("\n  batch  "), std::string::npos);
}

// File names may hold any byte; JSON holds Unicode. Names are written json_safe and read back as the same bytes.
TEST_F(RunnerTest, NamesThatAreNotUtf8AreAnalyzedAndReadBackAsTheSameBytes) {
    const std::string texts[] = {"plain", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\xa7", "dir\xff\xfe", "\xc0\xaf overlong",
                                 "\xed\xa0\x80 surrogate", "\xee\xbe\x80 U+EF80 itself", "cut \xe2\x82", std::string("\0nul", 4)};
    for (const std::string& t : texts) {
        const std::string safe = velmora::json_safe(t);
        EXPECT_EQ(velmora::raw_bytes(safe), t);
        const Json back = Json::parse(velmora::json_dump(Json{{t, t}}));   // valid JSON, key and all
        EXPECT_EQ(back.begin().key(), safe);
        EXPECT_EQ(back.begin().value(), safe);
    }
    EXPECT_EQ(velmora::json_safe("caf\xc3\xa9"), "caf\xc3\xa9");   // valid UTF-8 stays as it is
    EXPECT_EQ(velmora::json_safe("\xff"), "\xee\xbf\xbf");          // U+EFFF

    const std::string folder = dir.file("radar \xff\xfe");
    std::filesystem::create_directory(folder);
    const std::string volume = folder + "/scene.nc", out = folder + "/out";
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(vtest::cli({"synth", volume}), 0);
    ASSERT_EQ(vtest::cli({"analyze", volume, "--out", out, "--no-picture"}), 0);
    ::testing::internal::GetCapturedStdout();
    const Json net = read_json(out + "/network.json");
    EXPECT_EQ(velmora::raw_bytes(net["fields"]["radar"]["file"].get<std::string>()), volume);
    EXPECT_EQ(velmora::raw_bytes(net["instances"]["csv"]["params"]["filename"].get<std::string>()), out + "/cells.csv");
    // The network runs again, reading the volume and writing where the names say.
    const std::string first = vtest::TempDir::read(out + "/cells.csv");
    std::filesystem::remove(out + "/cells.csv");
    vtest::InDirectory here(folder);
    EXPECT_EQ(vtest::run_file(out + "/network.json", *err), velmora::run_ok) << err->text();
    EXPECT_EQ(vtest::TempDir::read(out + "/cells.csv"), first);
}

TEST_F(RunnerTest, EveryNetworkOfTheFormatGuideRunsCleanly) {
    const std::string guide = vtest::TempDir::read(VELMORA_SOURCE_DIR "/docs/networks.md");
    std::vector<std::string> blocks;   // the text of every ```json block
    const std::regex json_block("```json\n([^`]*\n)```");
    for (auto m = std::sregex_iterator(guide.begin(), guide.end(), json_block); m != std::sregex_iterator(); ++m)
        blocks.push_back((*m)[1].str());
    ASSERT_GE(blocks.size(), 10u) << "one example per construct";
    vtest::InDirectory here(dir.file(""));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE("example " + std::to_string(i + 1) + ":\n" + blocks[i]);
        new_error_stream();
        const std::string net = dir.write("net" + std::to_string(i) + ".json", blocks[i]);
        ASSERT_EQ(vtest::run_file(net, *err, dir.file("dump.json")), velmora::run_ok) << err->text();
        EXPECT_EQ(err->text(), "");
        const Json dump = read_json(dir.file("dump.json"));
        ASSERT_FALSE(dump["run"]["instances"].empty());
        for (const auto& [name, inst] : dump["run"]["instances"].items())
            EXPECT_EQ(inst["outputs"].value("done", 1), 1) << name;
    }
}

using K = vhost::ProgressEvent::Kind;
vhost::ProgressEvent check(int p, std::string text = {}) { return {K::Check, p, 0, std::move(text)}; }
vhost::ProgressEvent push(int lo, int hi) { return {K::Push, lo, hi, {}}; }
vhost::ProgressEvent pop() { return {K::Pop, 0, 0, {}}; }

TEST(ProgressBar, NestedRangesMapIntoTheOuterRange) {
    velmora::cli::ProgressBar bar(nullptr);
    bar.begin("mesh");
    // Each step: the events, then the percent of the whole (mapping a nested range is the drawn bar's test).
    const std::vector<std::pair<std::vector<vhost::ProgressEvent>, double>> steps{
        {{pop(), pop(), push(100, 50), check(0)}, 50},   // reversed ends are put in order
        {{pop(), pop(), check(150)}, 100},               // more pops than pushes keep the whole range
        {{check(-20)}, 0},
    };
    for (const auto& [events, percent] : steps) {
        for (const auto& e : events) bar.on_event(e);
        EXPECT_DOUBLE_EQ(bar.percent(), percent);
    }
    // Drawn on one line and erased; a new call starts with the whole range again.
    vtest::Capture out;
    {
        velmora::cli::ProgressBar drawn(out.stream(), 10);
        drawn.clear();   // nothing drawn, nothing to erase
        drawn.on_event(push(0, 10));
        drawn.begin("rain MakeRainMeshLinear_update");
        drawn.on_event(push(50, 100));
        drawn.on_event(check(60, "mesh\nlines"));
        drawn.clear();
    }
    EXPECT_EQ(out.text(), "\rrain MakeRainMeshLinear_update [########..]  80% mesh lines\033[K\r\033[K");
}

using vhost::shape;
using vhost::term;

// An operation of this test whose instances declare a member of every kind.
void declare_every_kind(vhost::Object& m) {
    m.add_int("i");
    m.add_long("l");
    m.add_real("r");
    m.add_string("s");
    m.add_int("n", 2);
    for (const char* t : {"byte", "short", "int", "long", "float", "double"})
        m.add_array(std::string("a_") + t, velmora::type_code(t), shape({term("n")}));
    m.add_str_array("texts", shape({term("n")}));
    m.add_group("g").add_real("x", 1.0);
    m.add_int("count", 1);
    m.add_group_array("entry", shape({term("count")})).add_int("no");
    m.add_field("in");
    m.add_int("done", 0, vhost::Role::Out);
}
int set_done(OMobj_id* id, int, int) {
    vhost::host().by_id(id)->at("done").set_int(1);
    return 1;
}

class DumpTest : public RunnerTest {
protected:
    void SetUp() override {
        RunnerTest::SetUp();
        vhost::register_operation({"EveryKind", {"EveryKindUpdate"}, "holds a value of every kind", declare_every_kind,
                                   {set_done}});
    }
    Json run_and_dump(const std::string& network, const std::string& dump) {
        EXPECT_EQ(vtest::run_file(network, *err, dir.file(dump)), velmora::run_ok) << err->text();
        return Json::parse(vtest::TempDir::read(dir.file(dump)));
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
    EXPECT_EQ(k["outputs"], Json::parse(R"({"done": 1})"));
    EXPECT_EQ(dump["fields"]["grid"]["node_data"][0]["values"], Json::parse(R"([1, "nan"])"));
    // The dump read back as a network runs nothing.
    EXPECT_EQ(run_and_dump(dir.file("dump.json"), "again.json")["run"]["calls"], Json::array());
    // Two spaces a level, short lists on their key's line, long ones in lines of 100 characters at most.
    const std::string text = vtest::TempDir::read(dir.file("dump.json"));
    EXPECT_EQ(text.substr(0, 14), "{\n  \"fields\": ");
    EXPECT_NE(text.find("\"a_int\": [-2147483648, 2147483647],\n"), std::string::npos) << text;
    Json long_list = Json::array();
    for (int v = 0; v < 100; ++v) long_list.push_back(1000 + v);
    const std::string wrapped = velmora::json_text(Json{{"v", long_list}, {"e", Json::array()}, {"o", Json::object()}});
    EXPECT_EQ(wrapped.rfind("{\n  \"v\": [\n    1000, 1001, ", 0), 0u) << wrapped;
    EXPECT_EQ(wrapped.substr(wrapped.size() - 33), "1099\n  ],\n  \"e\": [],\n  \"o\": {}\n}\n");
    for (std::size_t at = 0, next; (next = wrapped.find('\n', at)) != std::string::npos; at = next + 1)
        EXPECT_LE(next - at, 100u) << wrapped;
    // A byte that is not UTF-8 is written as U+EF00 + byte, which reads back as that byte.
    EXPECT_EQ(velmora::json_text(Json("a\xff")), "\"a\xEE\xBF\xBF\"\n");
}

TEST_F(DumpTest, TheModulesCommandListsWhatAnInstanceDeclares) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vtest::cli({"modules"}), 0);
    const std::string all = ::testing::internal::GetCapturedStdout();
    for (const auto& d : vhost::module_decls()) EXPECT_NE(("\n" + all).find("\n" + d.name + " "), std::string::npos) << d.name;
    EXPECT_NE(all.find("  MakeRainMeshConstant_update, MakeRainMeshLinear_update\n"), std::string::npos) << all;
    EXPECT_NE(all.find("face-connected tetrahedra, four per node"), std::string::npos) << all;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vtest::cli({"modules", "EveryKind"}), 0);
    const std::string one = ::testing::internal::GetCapturedStdout();
    auto row = [](const char* name, const char* kind, const char* role = "") {
        char line[128];
        std::snprintf(line, sizeof line, "\n  %-24s %-28s %s\n", name, kind, role);
        return std::string(line);
    };
    for (const std::string& line : {std::string("EveryKind: holds a value of every kind\nupdate:      EveryKindUpdate\n"),
                                    row("n", "int = 2"), row("a_short", "short[n]"), row("texts", "string[n]"),
                                    row("  x", "real = 1.0"), row("entry", "group[count]"), row("done", "int = 0", "out")})
        EXPECT_NE(one.find(line), std::string::npos) << line << " in\n" << one;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vtest::cli({"modules", "ThreshMn"}), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "velmora: error: unknown module \"ThreshMn\" (did you mean \"ThreshMin\"?); `velmora modules` lists them\n");
}

}  // namespace
