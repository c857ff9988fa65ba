// Network files as JSON documents that remember their text, so that every
// message about a file can point at the line and column of the value it is
// about, and where a value came from (a place in a file, or an option typed
// on the command line).
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// Objects keep the order of the file: instances run in file order.
using Json = nlohmann::ordered_json;

// A network that cannot be run; the text is the complete message,
// "net.json:3:7: error: ...".
class NetworkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TextPos {
    std::size_t line = 0;     // 1-based; 0 when unknown
    std::size_t column = 0;   // 1-based, in characters
};
TextPos position_of(std::string_view text, std::size_t offset);

// The largest network file read: a dump of a radar volume of a few million
// nodes, with room to spare.
inline constexpr std::uintmax_t kMaxDocumentBytes = std::uintmax_t{512} << 20;

class Document {
public:
    // NetworkError when the file cannot be read, is not JSON, or repeats a key.
    static Document read(const std::string& path);
    static Document parse(std::string name, std::string text);

    const std::string& name() const { return name_; }
    const Json& root() const { return root_; }
    // Where the value at path starts (or its key, for a member of an
    // object); line 0 when the path is not in the text.
    TextPos locate(const std::vector<std::string>& path, bool key) const;

private:
    Document(std::string name, std::string text) : name_(std::move(name)), text_(std::move(text)) {}
    std::string name_;
    std::string text_;
    Json root_;
};

// Where a value came from: a member or element of a document, or a text
// given on the command line.
class Place {
public:
    explicit Place(const Document& doc) : doc_(&doc) {}
    explicit Place(std::string label) : label_(std::move(label)) {}

    Place operator/(const std::string& member) const;
    Place operator/(std::size_t index) const;

    // "net.json:3:7" (the key when key is true), or the command-line text.
    std::string describe(bool key = false) const;
    [[noreturn]] void fail(const std::string& message, bool key = false) const;
    const Document* document() const { return doc_; }

private:
    const Document* doc_ = nullptr;
    std::vector<std::string> path_;
    std::string label_;
};

// Text of a name or value for messages: quoted, control characters
// escaped, cut after limit characters ("..." added), so that a message
// never echoes more than an excerpt of what a user gave.
inline constexpr std::size_t kQuoteLimit = 200;
std::string in_quotes(std::string_view text, std::size_t limit = kQuoteLimit);

}  // namespace velmora
