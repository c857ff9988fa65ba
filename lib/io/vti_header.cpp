#include "io/vti_header.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

namespace {

// A tag longer than this is no tag of a VTK file (their attributes are a
// few numbers and names).
constexpr std::size_t kMaxTag = std::size_t{1} << 16;
// More components than this make no array of a radar volume (a tensor has 9).
constexpr int kMaxComponents = 1000;

// The value of attribute name in the text of a tag, or none.
std::optional<std::string> attribute(std::string_view tag, std::string_view name) {
    for (std::size_t at = tag.find(name); at != std::string_view::npos; at = tag.find(name, at + 1)) {
        const bool starts = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t' || tag[at - 1] == '\n' || tag[at - 1] == '\r');
        std::size_t p = at + name.size();
        while (p < tag.size() && (tag[p] == ' ' || tag[p] == '\t')) ++p;
        if (!starts || p >= tag.size() || tag[p] != '=') continue;
        ++p;
        while (p < tag.size() && (tag[p] == ' ' || tag[p] == '\t')) ++p;
        if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) return std::string();
        const std::size_t end = tag.find(tag[p], p + 1);
        if (end == std::string_view::npos) return std::string();
        return std::string(tag.substr(p + 1, end - p - 1));
    }
    return std::nullopt;
}

std::string_view tag_name(std::string_view tag) {
    std::size_t end = 0;
    while (end < tag.size() && tag[end] != ' ' && tag[end] != '\t' && tag[end] != '\n' && tag[end] != '\r' &&
           tag[end] != '/' && tag[end] != '>')
        ++end;
    return tag.substr(0, end);
}

bool numeric_type(const std::string& type) {
    static constexpr std::array<std::string_view, 10> kTypes{"Int8",  "UInt8",  "Int16",   "UInt16",  "Int32",
                                                             "UInt32", "Int64", "UInt64", "Float32", "Float64"};
    return std::find(kTypes.begin(), kTypes.end(), type) != kTypes.end();
}

// An array's name for a message.
std::string quoted_name(std::string_view tag) {
    const std::string name = attribute(tag, "Name").value_or("");
    return name.empty() ? std::string("without a name") : "\"" + name + "\"";
}

// The problem with one tag (its text between < and >), or "".
std::string tag_problem(std::string_view tag) {
    const std::string_view name = tag_name(tag);
    if (name == "DataArray" || name == "Array") {
        const auto type = attribute(tag, "type").value_or("");
        const auto components = attribute(tag, "NumberOfComponents");
        if (components && !(components->find_first_not_of("0123456789") == std::string::npos && !components->empty() &&
                            components->size() <= 4 && std::stoi(*components) >= 1 && std::stoi(*components) <= kMaxComponents))
            return "array " + quoted_name(tag) + " has NumberOfComponents \"" + *components + "\"; 1 to " +
                   std::to_string(kMaxComponents) + " can be read";
        if (!numeric_type(type)) {
            return "array " + quoted_name(tag) + " is of type " +
                   (type.empty() ? std::string("none") : "\"" + type + "\"") + "; only arrays of numbers can be read";
        }
    }
    return {};
}

}  // namespace

std::string vti_header_problem(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string tag;
    bool in_tag = false, comment = false;
    char block[1 << 16];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            const char c = block[i];
            if (!in_tag) {
                in_tag = c == '<';
                continue;
            }
            if (c != '>' || (comment && !tag.ends_with("--"))) {
                if (tag.size() >= kMaxTag) return "a tag of more than " + std::to_string(kMaxTag) + " characters";
                tag += c;
                comment = tag.starts_with("!--");
                continue;
            }
            // Binary data follows the AppendedData tag, to the end of the file.
            if (tag_name(tag) == "AppendedData") return {};
            if (std::string problem = tag_problem(tag); !problem.empty()) return problem;
            tag.clear();
            in_tag = comment = false;
        }
    }
    return {};
}

}  // namespace velmora
