#include "io/vti_header.h"

#include <vtksys/Base64.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// A compressed array's data start with a header (vtkXMLDataParser's): the
// number of blocks, the size of a block and of the last one uncompressed,
// then each block's compressed size. VTK allocates by those counts before
// it reads a block: a forged count made it ask for 10 GB from a file of 400
// bytes.
struct Compression {
    std::size_t word = 4;         // header_type UInt32 or UInt64
    bool big_endian = false;
    bool compressed = false;

    // The problem with the header in bytes, data of at most available
    // bytes, or "".
    std::string problem(const std::string& array, const unsigned char* bytes, std::uint64_t available) const {
        if (!compressed) return {};
        if (available < 3 * word) return "array " + array + ": its compressed data are cut short";
        const std::uint64_t blocks = number(bytes), block = number(bytes + word);
        if (blocks > available / word)
            return "array " + array + ": its compressed data claim " + std::to_string(blocks) + " blocks in " +
                   std::to_string(available) + " bytes";
        if (block > kMaxBlock)
            return "array " + array + ": its compressed blocks claim " + std::to_string(block) + " bytes each";
        return {};
    }

private:
    static constexpr std::uint64_t kMaxBlock = std::uint64_t{1} << 30;
    std::uint64_t number(const unsigned char* p) const {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < word; ++i) v = v << 8 | p[big_endian ? i : word - 1 - i];
        return v;
    }
};

// The bytes of the whole groups of four characters of base64 text, by
// VTK's decoder; none when a character before the padding is not base64
// (whose decoding would be VTK's guess).
std::optional<std::vector<unsigned char>> base64(std::string_view text) {
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.substr(0, text.find('=')).find_first_not_of(alphabet) != std::string_view::npos) return std::nullopt;
    const std::size_t whole = text.size() / 4 * 4;   // the decoder reads four at a time
    std::vector<unsigned char> out(whole / 4 * 3);
    if (whole > 0)
        out.resize(vtksysBase64_Decode(reinterpret_cast<const unsigned char*>(text.data()), 0, out.data(), whole));
    return out;
}

}  // namespace

namespace {

// The tags of a .vti file, read character by character up to its appended
// data; the headers of its compressed arrays, inline or appended.
class Scanner {
public:
    // False once the scan is over: a problem found, or the appended data reached.
    bool feed(char c, std::uint64_t offset) {
        if (state_ == State::tag) return tag_char(c, offset);
        if (c == '<') {
            if (state_ == State::inline_data) check_inline();
            state_ = State::tag;
            return problem.empty();
        }
        if (state_ == State::inline_data && c != ' ' && c != '\n' && c != '\r' && c != '\t') {
            if (head_.size() < 4 * compression_.word) head_ += c;
            ++chars_;
        }
        return true;
    }

    // The arrays of the appended data, when the scan stopped there.
    std::string appended_problem(std::ifstream& in, std::uint64_t size) const {
        if (!appended_ || arrays_.empty()) return {};
        // The data begin after an underscore, past white space.
        std::uint64_t start = *appended_;
        in.seekg(static_cast<std::streamoff>(start));
        char c = 0;
        while (in.get(c) && (c == ' ' || c == '\n' || c == '\r' || c == '\t')) ++start;
        if (c != '_') return "its appended data do not begin with \"_\"";
        ++start;
        for (const auto& [name, at] : arrays_) {
            if (at >= size - std::min(size, start)) return "array " + name + ": its data lie beyond the end of the file";
            std::string head(4 * compression_.word, '\0');
            in.clear();
            in.seekg(static_cast<std::streamoff>(start + at));
            in.read(head.data(), static_cast<std::streamsize>(head.size()));
            head.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
            const std::uint64_t left = size - start - at;
            std::string problem = base64_ ? decoded_problem(name, head, left)
                                          : compression_.problem(name, reinterpret_cast<const unsigned char*>(head.data()), left);
            if (!problem.empty()) return problem;
        }
        return {};
    }

    std::string problem;

private:
    enum class State { text, tag, inline_data };

    bool tag_char(char c, std::uint64_t offset) {
        if (c != '>' || (comment_ && !tag_.ends_with("--"))) {
            if (tag_.size() >= kMaxTag) problem = "a tag of more than " + std::to_string(kMaxTag) + " characters";
            tag_ += c;
            comment_ = tag_.starts_with("!--");
            return problem.empty();
        }
        const std::string_view name = tag_name(tag_);
        state_ = State::text;
        if (name == "VTKFile") {
            compression_.compressed = !attribute(tag_, "compressor").value_or("").empty();
            compression_.word = attribute(tag_, "header_type").value_or("") == "UInt64" ? 8 : 4;
            compression_.big_endian = attribute(tag_, "byte_order").value_or("") == "BigEndian";
        } else if (name == "AppendedData") {
            base64_ = attribute(tag_, "encoding").value_or("raw") == "base64";
            appended_ = offset + 1;
            return false;
        } else if (name == "DataArray" || name == "Array") {
            problem = tag_problem(tag_);
            const std::string format = attribute(tag_, "format").value_or("");
            if (format == "binary" && !tag_.ends_with("/")) {
                state_ = State::inline_data;
                array_ = quoted_name(tag_);
                head_.clear();
                chars_ = 0;
            } else if (format == "appended") {
                const std::string at = attribute(tag_, "offset").value_or("0");
                if (at.empty() || at.size() > 18 || at.find_first_not_of("0123456789") != std::string::npos)
                    problem = "array " + quoted_name(tag_) + " has offset \"" + at + "\"";
                else
                    arrays_.emplace_back(quoted_name(tag_), std::stoull(at));
            }
        }
        tag_.clear();
        comment_ = false;
        return problem.empty();
    }

    void check_inline() {
        if (problem.empty()) problem = decoded_problem(array_, head_, chars_ / 4 * 3);
    }

    std::string decoded_problem(const std::string& array, const std::string& text, std::uint64_t available) const {
        if (!compression_.compressed) return {};
        const auto bytes = base64(text);
        if (!bytes) return "array " + array + ": its binary data are not base64";
        if (bytes->size() < 3 * compression_.word) return "array " + array + ": its compressed data are cut short";
        return compression_.problem(array, bytes->data(), available);
    }

    State state_ = State::text;
    std::string tag_, head_, array_;
    bool comment_ = false, base64_ = false;
    std::uint64_t chars_ = 0;
    std::optional<std::uint64_t> appended_;
    std::vector<std::pair<std::string, std::uint64_t>> arrays_;
    Compression compression_;
};

}  // namespace

std::string vti_header_problem(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    Scanner scan;
    std::uint64_t offset = 0;
    char block[1 << 16];
    bool going = true;
    while (going && (in.read(block, sizeof block) || in.gcount() > 0)) {
        for (std::streamsize i = 0; going && i < in.gcount(); ++i, ++offset) going = scan.feed(block[i], offset);
    }
    if (!scan.problem.empty()) return scan.problem;
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    in.clear();
    return ec ? std::string() : scan.appended_problem(in, size);
}

}  // namespace velmora
