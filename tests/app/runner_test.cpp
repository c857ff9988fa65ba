// velmora run from end to end: files in, library output through, dumps out
// and read back, and the exit status of every kind of outcome.
#include "runner.h"

#include <CLI/CLI.hpp>

#include "temp_files.h"
#include "commands.h"
#include "document.h"
#include "module_test.h"

namespace {

using velmora::app::Json;
using velmora::app::RunOptions;

const char* const network = R"({
  "fields": {"grid": {"nnodes": 3, "node_data": [{"label": "ze", "units": "dBZ", "values": [1, 2, 3]}]}},
  "instances": {
    "thresh": {"module": "ThreshMin", "params": {"thresh_value": 2, "null_value": -1}, "links": {"in": "grid"}}
  }
})";

class RunnerTest : public vtest::ModuleTest {
protected:
    void TearDown() override {
        host.set_resolver({});
        ModuleTest::TearDown();
    }
    int run(const std::string& net, const std::string& dump = {}, std::vector<std::string> sets = {}, bool progress = false) {
        RunOptions o;
        o.network = net;
        o.dump = dump;
        o.dump_limit = dump_limit;
        o.overrides = std::move(sets);
        return velmora::app::run_network(o, err->stream(), progress);
    }
    // What the runs write from now on, apart from what came before.
    void new_error_stream() { err = std::make_unique<apptest::Capture>(); }
    static Json read_json(const std::string& path) { return Json::parse(apptest::TempDir::read(path)); }

    apptest::TempDir dir;
    std::int64_t dump_limit = velmora::app::kDefaultDumpLimit;
    std::unique_ptr<apptest::Capture> err = std::make_unique<apptest::Capture>();
};

TEST_F(RunnerTest, RunsTheNetworkAndItsDumpReadsBackWithTheSameFields) {
    std::string net = dir.write("net.json", network);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(run(net, dir.file("dump.json")), velmora::app::run_ok);
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

    // The dump feeds the next run through "include". (That it reads back as
    // a network with the same fields is checked on every example network.)
    dir.write("next.json", R"({"include": ["dump.json"], "instances": {"t2": {"module": "ThreshMin",
        "params": {"thresh_value": 2.5, "null_value": 0}, "links": {"in": "thresh.out_nd"}}}})");
    EXPECT_EQ(run(dir.file("next.json"), dir.file("next.dump.json")), velmora::app::run_ok);
    EXPECT_EQ(read_json(dir.file("next.dump.json"))["fields"]["t2.out_nd"]["node_data"][0]["values"],
              Json::parse("[0, 0, 3]"));
}

TEST_F(RunnerTest, ReportedTextsGoToTheErrorStreamInOrderAndIntoTheDump) {
    std::string net = dir.write("net.json", R"({
      "fields": {"grid": {"nnodes": 3, "node_data": [{"values": [1, 2, 3]}]}},
      "instances": {
        "b": {"module": "ThreshMin", "params": {"thresh_value": 1}, "links": {"in": "a.out_nd"}},
        "a": {"module": "ThreshMin", "params": {"thresh_value": null, "null_value": 0}, "links": {"in": "grid"}}
      }})");
    EXPECT_EQ(run(net, dir.file("dump.json")), velmora::app::run_ok);
    // a runs first (b reads from it) and fails; b then finds an empty input
    // and ends without a message.
    EXPECT_EQ(err->text(), "a : can not get thresh_value.\n");
    const Json run = read_json(dir.file("dump.json"))["run"];
    EXPECT_EQ(run["messages"], Json::parse(R"([{"object": "a", "severity": 32, "text": "a : can not get thresh_value.\n"}])"));
    EXPECT_EQ(run["calls"][1]["instance"], "b");
    EXPECT_EQ(run["instances"]["a"]["params"]["thresh_value"], nullptr);
    EXPECT_EQ(run["instances"]["a"]["outputs"]["done"], 0);
}

// A network's writers write inside the folder the run runs in, unless the
// user lets them write anywhere: a network from someone else cannot plant a
// file elsewhere, not even through a link.
TEST_F(RunnerTest, WritersStayInTheFolderOfTheRun) {
    std::filesystem::create_directories(dir.file("run"));
    std::filesystem::create_symlink(dir.file(""), dir.file("run/up"));
    apptest::InDirectory here(dir.file("run"));
    auto writing = [&](const std::string& filename) {
        return dir.write("net.json", R"({
          "fields": {"grid": {"dims": [2, 1, 1], "nspace": 3, "node_data": [{"type": "int", "values": [1, 0]}]}},
          "instances": {"ijk": {"module": "WriteIsoIJK", "links": {"in": "grid"},
                                "params": {"nspace3": 1, "no_min": 1, "no_max": 1, "filename": ")" + filename + R"("}}}})");
    };
    const struct {
        std::string filename;
        bool written;
    } cases[] = {{"inside.txt", true},      {"sub/../inside2.txt", false},   // sub does not exist: fopen fails
                 {"../outside.txt", false}, {dir.file("outside2.txt"), false},
                 {"up/outside3.txt", false}};
    for (const auto& c : cases) {
        new_error_stream();
        EXPECT_EQ(run(writing(c.filename)), velmora::app::run_ok) << c.filename;
        EXPECT_EQ(err->text(), c.written ? "" : "ijk : can not open " + c.filename + ".\n") << c.filename;
    }
    EXPECT_TRUE(std::filesystem::exists(dir.file("run/inside.txt")));
    for (const char* f : {"outside.txt", "outside2.txt", "outside3.txt"}) EXPECT_FALSE(std::filesystem::exists(dir.file(f))) << f;

    RunOptions anywhere;
    anywhere.network = writing("../outside.txt");
    new_error_stream();
    anywhere.writes_anywhere = true;
    EXPECT_EQ(velmora::app::run_network(anywhere, err->stream(), false), velmora::app::run_ok);
    EXPECT_EQ(err->text(), "");
    EXPECT_TRUE(std::filesystem::exists(dir.file("outside.txt")));
}

TEST_F(RunnerTest, ABrokenNetworkExitsWithTwoAndRunsNothing) {
    const std::pair<const char*, const char*> broken[] = {
        {"{\"fields\": {}\n \"instances\": {}}", ":2:2: error: not valid JSON"},
        {R"({"instances": {"t": {"module": "Nope"}}})", ":1:32: error: unknown module \"Nope\""},
        {R"({"instances": {"t": {"module": "ThreshMin", "params": {"nope": 1}}}})", ":1:56: error: ThreshMin has no \"nope\""},
        {R"({"instances": {"t": {"module": "ThreshMin", "links": {"in": "nowhere"}}}})",
         ":1:61: error: link target \"nowhere\""},
        {R"({"instances": {"t": {"module": "ThreshMin", "params": {"thresh_value": [1]}}}})",
         ":1:72: error: \"thresh_value\" is a real"},
    };
    for (const auto& [text, message] : broken) {
        std::string net = dir.write("net.json", text);
        new_error_stream();
        EXPECT_EQ(run(net, dir.file("dump.json")), velmora::app::run_invalid) << text;
        EXPECT_EQ(err->text(), net + message + err->text().substr(net.size() + std::string(message).size())) << text;
        EXPECT_FALSE(std::filesystem::exists(dir.file("dump.json")));
        EXPECT_EQ(host.arrays_handed_out(), 0);
        EXPECT_TRUE(host.reports().empty());
    }
    EXPECT_EQ(run(dir.file("missing.json")), velmora::app::run_invalid);
    EXPECT_NE(err->text().find("missing.json: error: cannot read the file"), std::string::npos);
}

int half_and_report(OMobj_id*, int, int) {
    OMpush_status_range(0, 50);
    OMstatus_check(50, "half", nullptr);
    OMpop_status_range();
    ERRverror("thresh", 32, "thresh : reported.\n");
    return 1;
}

int keeps_an_array(OMobj_id* id, int, int) {
    OMobj_id in = OMfind_subobj(id, OMstr_to_name("in"), 1);
    int type = 0;
    char* data = nullptr;
    std::int64_t size = 0;
    FLDget_node_data(&in, 0, &type, &data, &size, 0);
    return 0;
}

TEST_F(RunnerTest, ProgressIsDrawnAndErasedBeforeTheReportedTexts) {
    std::string net = dir.write("net.json", network);
    host.set_resolver([](std::string_view) { return &half_and_report; });
    EXPECT_EQ(run(net, {}, {}, false), velmora::app::run_ok);
    EXPECT_EQ(err->text(), "thresh : reported.\n");
    new_error_stream();
    EXPECT_EQ(run(net, {}, {}, true), velmora::app::run_ok);
    std::string text = err->text();
    std::size_t drawn = text.find("thresh ThreshMinUpdate ["), erased = text.find("\r\033[K"), report = text.find("thresh : reported.\n");
    ASSERT_NE(drawn, std::string::npos) << text;
    EXPECT_NE(text.find(" 25% half"), std::string::npos) << text;
    EXPECT_LT(drawn, erased);
    EXPECT_LT(erased, report);
}

TEST_F(RunnerTest, FaultsOfTheRunExitWithOne) {
    std::string net = dir.write("net.json", network);
    host.set_resolver([](std::string_view) -> OMupdate_fn { return nullptr; });
    EXPECT_EQ(run(net, dir.file("dump.json")), velmora::app::run_fault);
    EXPECT_EQ(err->text(), "velmora: thresh: the library exports no function ThreshMinUpdate\n");
    EXPECT_EQ(read_json(dir.file("dump.json"))["run"]["calls"], Json::array());   // the dump is still written

    new_error_stream();
    host.set_resolver([](std::string_view) { return &keeps_an_array; });
    EXPECT_EQ(run(net), velmora::app::run_fault);
    EXPECT_EQ(err->text(), "velmora: thresh: ThreshMinUpdate returned 0, not 1\n"
                           "velmora: 1 host array(s) left unreleased after the run\n");
    host.reset();

    new_error_stream();
    host.set_resolver({});
    const std::string dump = dir.file("no/such/dir/dump.json");
    EXPECT_EQ(run(net, dump), velmora::app::run_fault);
    EXPECT_EQ(err->text(), "velmora: cannot write the dump " + dump + ": No such file or directory\n");

    // A tree beyond the dump's bound (the grid's 3 values, the output's 3,
    // a few more) is not dumped: neither a partial file nor an older dump
    // is left behind.
    new_error_stream();
    const std::string old = dir.write("old.json", "{}");
    dump_limit = 5;
    EXPECT_EQ(run(net, old), velmora::app::run_fault);
    EXPECT_NE(err->text().find("velmora: cannot write the dump " + old + ": it would hold "), std::string::npos) << err->text();
    EXPECT_NE(err->text().find(" values, more than the 5 a dump holds (raise the bound with --dump-limit)\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(old));
    EXPECT_FALSE(std::filesystem::exists(old + ".partial"));
}

int cli(std::vector<const char*> argv) {
    CLI::App app{"velmora"};
    app.require_subcommand(1);
    int status = 0;
    velmora::app::add_run_command(app, status);
    velmora::app::add_modules_command(app, status);
    velmora::app::add_analyze_command(app, status);
    return velmora::app::parse_and_run(app, status, static_cast<int>(argv.size()), argv.data());
}

TEST_F(RunnerTest, TheCommandLineTakesRepeatedOverridesAndRejectsMisuseWithTwo) {
    std::string net = dir.write("net.json", network), dump = dir.file("dump.json");
    EXPECT_EQ(cli({"velmora", "run", "--set", "thresh.thresh_value=3", "--set", "thresh.null_value=-5", net.c_str(), "--dump",
                   dump.c_str()}),
              0);
    EXPECT_EQ(read_json(dump)["fields"]["thresh.out_nd"]["node_data"][0]["values"], Json::parse("[-5, -5, 3]"));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cli({"velmora", "run"}), 2);
    EXPECT_EQ(cli({"velmora"}), 2);
    EXPECT_EQ(cli({"velmora", "run", net.c_str(), "--bogus"}), 2);
    EXPECT_EQ(cli({"velmora", "run", net.c_str(), "--set", "thresh.nothing=1"}), 2);
    EXPECT_EQ(cli({"velmora", "modules", "Nope"}), 2);
    EXPECT_EQ(cli({"velmora", "run", net.c_str(), "--dump", dump.c_str(), "--dump-limit", "0"}), 2);
    EXPECT_EQ(cli({"velmora", "analyze", "--max-voxels", "0"}), 2);
    EXPECT_EQ(cli({"velmora", "analyze", "--max-voxels", "3000000000"}), 2);
    // A level that is no number is refused, not read as 0 dBZ.
    for (const char* level : {"", "nan", "-inf", "40x"}) EXPECT_EQ(cli({"velmora", "analyze", "--level", level}), 2) << level;
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("--level: a finite number of dBZ, not \"\""), std::string::npos) << errors;
    EXPECT_NE(errors.find("--set thresh.nothing=1: error: ThreshMin has no \"nothing\""), std::string::npos) << errors;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(cli({"velmora", "modules", "ThreshMin"}), 0);
    EXPECT_EQ(cli({"velmora", "run", "--help"}), 0);
    std::string listing = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(listing.find("update:      ThreshMinUpdate"), std::string::npos) << listing;
    EXPECT_NE(listing.find("thresh_value"), std::string::npos);
    EXPECT_NE(listing.find("--set INSTANCE.PARAM=VALUE"), std::string::npos);
}

}  // namespace
