// The table of options drives these tests: every numeric option of every
// command is given NaN, infinities, a negative number, zero, its bounds and
// one past each; what the table refuses is refused by the command before
// any work, in one line naming the option and its bound, with nothing
// written; docs/cli.md shows the table as it is.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "app_test.h"
#include "options/options.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using velmora::options::Option;
using velmora::options::Type;

// What a folder holds: each file's path, size and time of change.
std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> listing(const fs::path& dir) {
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        out[e.path().string()] = {e.is_regular_file() ? e.file_size() : 0, e.last_write_time()};
    return out;
}

std::string exact(double v) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

// The values every numeric option is tried with.
std::vector<std::string> trials(const Option& o) {
    std::vector<std::string> out{"nan", "inf", "-inf", "-1", "0", "2.5"};
    if (o.bounded()) {
        const auto past = [&](double bound) {
            return o.type == Type::Integer ? 1.0 : std::max(1e-3 * std::fabs(bound), 0.01);
        };
        for (const double v : {o.min, o.max, o.min - past(o.min), o.max + past(o.max)}) out.push_back(exact(v));
    }
    return out;
}

// Whether the value is one the option takes, said independently of the table's own check.
bool fits(const Option& o, const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v)) return false;
    if (o.type == Type::Integer && v != std::floor(v)) return false;
    return v >= o.min && v <= o.max;
}

// A command line of command with what it needs besides the option.
std::vector<std::string> command_line(const std::string& command, const vtest::TempDir& dir) {
    if (command == "grid") return {"grid", dir.file("in.h5"), "--out", dir.file("grid.nc")};
    if (command == "track") return {"track", dir.file("in.nc")};
    if (command == "watch") return {"watch", dir.file("in"), "--once", "--out", dir.file("out")};
    if (command == "verify") return {"verify", dir.file("out")};
    if (command == "synth") return {"synth", dir.file("synth.nc")};
    if (command == "run") return {"run", dir.file("network.json")};
    if (command == "analyze") return {"analyze", dir.file("in.nc"), "--out", dir.file("results")};
    return {command};
}

std::pair<int, std::string> run(const std::vector<std::string>& args) {
    const vtest::Printed p = vtest::cli_printed(args);
    return {p.status, p.err};
}

TEST(OptionTable, EveryNumericOptionRefusesWhatItsBoundsLeaveOutBeforeAnyWork) {
    vtest::TempDir dir;
    fs::create_directories(dir.file("in"));
    fs::create_directories(dir.file("out"));
    // A watcher's state that must stay as it is.
    dir.write("out/watch.db", "state");
    int refused = 0;
    for (const std::string_view command : velmora::options::kCommands) {
        if (command == "batch") continue;   // the Python parser: python/tests/test_options.py
        for (const Option* o : velmora::options::of(command)) {
            if (!o->numeric()) continue;
            for (const std::string& value : trials(*o)) {
                const std::string said = velmora::options::problem(*o, value);
                EXPECT_EQ(said.empty(), fits(*o, value)) << command << " --" << o->name << " " << value;
                if (said.empty()) continue;
                std::string given = value;
                for (std::size_t k = 1; k < o->count; ++k) given += "," + value;
                auto args = command_line(std::string(command), dir);
                args.push_back("--" + std::string(o->name) + "=" + given);
                const auto before = listing(dir.path());
                const auto [status, err] = run(args);
                const std::string line = "--" + std::string(o->name) + ": " + said;
                EXPECT_EQ(status, 2) << line;
                EXPECT_EQ(err.substr(0, err.find('\n')), line) << "velmora " << command;
                EXPECT_EQ(listing(dir.path()), before) << line;
                ++refused;
            }
        }
    }
    EXPECT_EQ(vtest::TempDir::read(dir.file("out/watch.db")), "state");
    EXPECT_GT(refused, 300);
}

TEST(OptionTable, MessagesGiveTheBoundsAndUnitsAsOneWritesThem) {
    const auto& level = velmora::options::option("watch", "level");
    EXPECT_EQ(velmora::options::problem(level, "nan"), "not a finite number from -100 to 100 dBZ: \"nan\"");
    EXPECT_EQ(velmora::options::problem(level, "101"), "101 is not from -100 to 100 dBZ");
    EXPECT_EQ(velmora::options::problem(level, "-100"), "");
    const auto& cells = velmora::options::option("analyze", "min-cells");
    EXPECT_EQ(velmora::options::problem(cells, "2.5"), "not a whole number from 0 to 2147483647: \"2.5\"");
    const auto& site = velmora::options::option("grid", "site");
    EXPECT_EQ(velmora::options::problem(site, "inf"), "not a finite number: \"inf\"");
    const auto& compress = velmora::options::option("analyze", "compress");
    EXPECT_EQ(velmora::options::problem(compress, "gzip"), "\"gzip\" is not one of none|lz4|zlib");
    EXPECT_EQ(velmora::options::bounds(velmora::options::option("synth", "interval")), "from 1 to 86400 s");
    EXPECT_EQ(velmora::options::default_text(velmora::options::option("verify", "leads")), "10,20,30,45,60");
}

TEST(OptionTable, EachOptionOfACommandIsOneEntryWithItsDefaultWithinItsBounds) {
    for (const std::string_view command : velmora::options::kCommands) {
        std::map<std::string_view, int> seen;
        for (const Option* o : velmora::options::of(command)) {
            EXPECT_EQ(++seen[o->name], 1) << command << " --" << o->name;
            EXPECT_FALSE(o->help.empty()) << o->name;
            if (!o->numeric()) continue;
            for (std::size_t i = 0; i < o->value.n; ++i)
                EXPECT_EQ(velmora::options::problem(*o, exact(o->value.v[i])), "") << command << " --" << o->name;
        }
    }
    for (const Option& o : velmora::options::kOptions) {
        bool known = false;
        for (const std::string_view c : velmora::options::kCommands) known = known || o.takes(c);
        EXPECT_TRUE(known) << o.name << " of " << o.commands;
    }
}

// The help of each command gives each option's default as the table has it,
// and no option the table does not have.
TEST(OptionTable, TheHelpShowsTheTablesOptionsAndDefaults) {
    const std::regex listed(R"(^\s+(?:-\w,)?!?--([a-z0-9-]+))");
    for (const std::string_view command : velmora::options::kCommands) {
        if (command == "batch") continue;
        const vtest::Printed help = vtest::cli_printed({std::string(command), "--help"});
        ASSERT_EQ(help.status, 0) << command;
        const std::string& out = help.out;
        std::set<std::string> table = {"help"};
        for (const Option* o : velmora::options::of(command)) {
            table.insert(std::string(o->name));
            EXPECT_NE(out.find("--" + std::string(o->name)), std::string::npos) << command << " --" << o->name;
            const std::string value = velmora::options::default_text(*o);
            if (!value.empty()) EXPECT_NE(out.find("=" + value), std::string::npos) << command << " --" << o->name;
        }
        std::istringstream lines(out);
        int seen = 0;
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (!std::regex_search(line, m, listed)) continue;
            ++seen;
            EXPECT_TRUE(table.count(m[1].str())) << "velmora " << command << " --" << m[1] << " is not in the table";
        }
        EXPECT_GE(seen, 2) << command;
    }
}

// docs/cli.md holds each command's table between "<!-- options of velmora
// COMMAND -->" and "<!-- end of options -->"; VELMORA_WRITE_DOCS=1 (`make
// docs-options`) writes them as the table is.
TEST(OptionTable, TheDocsShowEachCommandsOptionsAsTheTableHasThem) {
    const fs::path path = fs::path(VELMORA_SOURCE_DIR) / "docs" / "cli.md";
    std::stringstream read;
    read << std::ifstream(path).rdbuf();
    std::string doc = read.str();
    const bool write = std::getenv("VELMORA_WRITE_DOCS") != nullptr;
    for (const std::string_view command : velmora::options::kCommands) {
        const std::string open = "<!-- options of velmora " + std::string(command) + " -->\n";
        const std::string close = "<!-- end of options -->";
        const std::size_t begin = doc.find(open);
        ASSERT_NE(begin, std::string::npos) << "docs/cli.md has no " << open;
        const std::size_t from = begin + open.size(), to = doc.find(close, from);
        ASSERT_NE(to, std::string::npos) << open;
        const std::string table = velmora::options::markdown(command);
        if (write) doc.replace(from, to - from, table);
        else EXPECT_EQ(doc.substr(from, to - from), table) << "velmora " << command << ": make docs-options";
    }
    if (write) std::ofstream(path) << doc;
}

}  // namespace
