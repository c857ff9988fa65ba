// The network examples of docs/networks.md: each runs as it stands, with no
// message reported and every instance done. (That a dump reads back with the
// same fields is checked on every example network.)
#include <unistd.h>

#include "temp_files.h"
#include "document.h"
#include "module_test.h"
#include "runner.h"

namespace {

using velmora::app::Json;

// The text of every ```json block of a Markdown file.
std::vector<std::string> json_blocks(const std::string& text) {
    std::vector<std::string> blocks;
    const std::string open = "```json\n", close = "\n```";
    for (std::size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
        std::size_t begin = at + open.size(), end = text.find(close, begin);
        if (end == std::string::npos) break;
        blocks.push_back(text.substr(begin, end - begin + 1));
        at = end + close.size();
    }
    return blocks;
}

class DocsTest : public vtest::ModuleTest {};

TEST_F(DocsTest, EveryNetworkOfTheFormatGuideRunsCleanly) {
    const std::string guide = apptest::TempDir::read(VELMORA_SOURCE_DIR "/docs/networks.md");
    auto blocks = json_blocks(guide);
    ASSERT_GE(blocks.size(), 10u) << "one example per construct";
    apptest::TempDir dir;
    apptest::InDirectory here(dir.file(""));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE("example " + std::to_string(i + 1) + ":\n" + blocks[i]);
        std::string net = dir.write("net" + std::to_string(i) + ".json", blocks[i]);
        apptest::Capture err;
        velmora::app::RunOptions o;
        o.network = net;
        o.dump = dir.file("dump.json");
        ::testing::internal::CaptureStdout();
        int status = velmora::app::run_network(o, err.stream(), false);
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(status, velmora::app::run_ok) << err.text();
        EXPECT_EQ(err.text(), "");
        Json dump = Json::parse(apptest::TempDir::read(o.dump));
        ASSERT_FALSE(dump["run"]["instances"].empty());
        for (const auto& [name, inst] : dump["run"]["instances"].items())
            EXPECT_EQ(inst["outputs"].value("done", 1), 1) << name;
    }
}

}  // namespace
