// Network files as documents: parse errors, repeated keys and the places
// that messages point at.
#include "document.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "temp_files.h"

namespace {

using velmora::app::Document;
using velmora::app::NetworkError;

std::string error_of(const std::string& text) {
    try {
        Document::parse("net.json", text);
    } catch (const NetworkError& e) {
        return e.what();
    }
    return "";
}

TEST(Document, MalformedTextAndRepeatedKeysAreReportedAtTheirPlace) {
    const std::pair<std::string, std::string> cases[] = {
        // A missing value before the closing brace of the third line.
        {"{\n  \"fields\": {},\n  \"instances\": }\n", "net.json:3:16: error: not valid JSON: syntax error while parsing value"},
        {"{\"é\": [1, 2,]}", "net.json:1:13: error: not valid JSON:"},   // characters, not bytes
        {"", "net.json:1:1: error: not valid JSON:"},
        {"{\"a\": 1} trailing", "net.json:1:10"},
        // A repeated key, at its second appearance.
        {R"({
  "instances": {
    "thresh": {"module": "ThreshMin"},
    "thresh": {"module": "ThreshMin", "params": {"a": [1, {"b": 2, "b": 3}]}}
  }
})",
         "net.json:4:5: error: the key \"thresh\" appears twice in \"instances\""},
        {R"({"l": [[], {}, {"k": 1, "k\u0031": 2, "k1": 3}]})", "net.json:1:39: error: the key \"k1\" appears twice in \"l.2\""},
        // The same key in different objects, or in a list of objects, is fine.
        {R"({"a": {"x": 1}, "b": {"x": 2}, "c": [{"x": 1}, {"x": 2}], "d": "\"x\""})", ""},
    };
    for (const auto& [text, message] : cases) {
        const std::string got = error_of(text);
        EXPECT_EQ(message.empty() ? got : got.substr(0, message.size()), message) << text;
    }
}

TEST(Document, AFileThatCannotBeReadIsNamed) {
    apptest::TempDir dir;
    try {
        Document::read(dir.file("missing.json"));
        FAIL();
    } catch (const NetworkError& e) {
        EXPECT_EQ(std::string(e.what()), dir.file("missing.json") + ": error: cannot read the file: No such file or directory");
    }
    Document d = Document::read(dir.write("ok.json", "[1, 2]"));
    EXPECT_EQ(d.root().size(), 2u);

    // A pipe, a folder, or a file past the size limit (sparse: nothing of
    // it is read) is refused before anything is read.
    ASSERT_EQ(::mkfifo(dir.file("pipe.json").c_str(), 0600), 0);
    std::filesystem::resize_file(dir.write("huge.json", "{"), velmora::app::kMaxDocumentBytes + 1);
    const std::pair<std::string, std::string> refused[] = {
        {dir.file("pipe.json"), ": error: not a regular file"},
        {dir.file(""), ": error: not a regular file"},
        {dir.file("huge.json"), ": error: the file has 536870913 bytes; a network file has at most 536870912"}};
    for (const auto& [path, says] : refused) {
        try {
            Document::read(path);
            ADD_FAILURE() << path;
        } catch (const NetworkError& e) {
            EXPECT_EQ(std::string(e.what()), path + says);
        }
    }
}

}  // namespace
