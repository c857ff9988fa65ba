#include "run/json_write.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace velmora {

namespace {

constexpr std::size_t line_width = 100;

std::string scalar(const Json& v) { return v.is_string() ? Json(json_safe(v.get_ref<const std::string&>())).dump() : v.dump(); }

// The length of the valid UTF-8 sequence at the start of s, 0 for none.
std::size_t utf8_length(std::string_view s) {
    const auto b = [&s](std::size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    const auto tail = [&](std::size_t i) { return (b(i) & 0xC0u) == 0x80u; };
    const unsigned c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return tail(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return b(1) >= lo && b(1) <= hi && tail(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return b(1) >= lo && b(1) <= hi && tail(2) && tail(3) ? 4 : 0;
    }
    return 0;
}

// Whether the three bytes at the start of s are U+EF80..U+EFFF.
bool escaped_byte(std::string_view s) {
    return s.size() >= 3 && static_cast<unsigned char>(s[0]) == 0xEE && (static_cast<unsigned char>(s[1]) & 0xFE) == 0xBE &&
           (static_cast<unsigned char>(s[2]) & 0xC0) == 0x80;
}

Json safe_copy(const Json& v) {
    if (v.is_string()) return json_safe(v.get_ref<const std::string&>());
    if (v.is_array()) {
        Json out = Json::array();
        for (const Json& item : v) out.push_back(safe_copy(item));
        return out;
    }
    if (v.is_object()) {
        Json out = Json::object();
        for (const auto& [k, item] : v.items()) out[json_safe(k)] = safe_copy(item);
        return out;
    }
    return v;
}

bool is_plain(const Json& v) { return !v.is_structured() || v.empty(); }

void newline(std::ostream& out, std::size_t depth) {
    out << '\n';
    for (std::size_t i = 0; i < depth; ++i) out << "  ";
}

// Nesting is as deep as the document: the documents written here are dumps
// of the object tree, a handful of levels deep.
void write(std::ostream& out, const Json& v, std::size_t depth) {
    if (is_plain(v)) {
        out << (v.is_object() ? "{}" : v.is_array() ? "[]" : scalar(v));
        return;
    }
    if (v.is_object()) {
        out << '{';
        bool first = true;
        for (const auto& [k, item] : v.items()) {
            if (!first) out << ',';
            first = false;
            newline(out, depth + 1);
            out << scalar(Json(k)) << ": ";
            write(out, item, depth + 1);
        }
        newline(out, depth);
        out << '}';
        return;
    }
    if (std::all_of(v.begin(), v.end(), is_plain)) {
        std::vector<std::string> items;
        std::size_t total = 0;
        for (const auto& item : v) {
            items.push_back(scalar(item));
            total += items.back().size() + 2;
        }
        if (total <= 72) {   // short lists stay on their key's line
            out << '[';
            for (std::size_t i = 0; i < items.size(); ++i) out << (i ? ", " : "") << items[i];
            out << ']';
            return;
        }
        // Values run on in lines of about line_width characters.
        out << '[';
        std::size_t col = line_width;   // forces the first line break
        bool first = true;
        for (const auto& s : items) {
            if (!first) out << ',';
            if (col + s.size() + 2 > line_width) {
                newline(out, depth + 1);
                col = 2 * (depth + 1);
            } else if (!first) {
                out << ' ';
                ++col;
            }
            first = false;
            out << s;
            col += s.size() + 1;
        }
        newline(out, depth);
        out << ']';
        return;
    }
    out << '[';
    bool first = true;
    for (const auto& item : v) {
        if (!first) out << ',';
        first = false;
        newline(out, depth + 1);
        write(out, item, depth + 1);
    }
    newline(out, depth);
    out << ']';
}

}  // namespace

void write_json(std::ostream& out, const Json& value) {
    write(out, value, 0);
    out << '\n';
}

std::string json_safe(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = utf8_length(bytes.substr(i));
        if (n > 0 && !escaped_byte(bytes.substr(i))) {
            out.append(bytes.substr(i, n));
            i += n;
            continue;
        }
        // U+EF00 + byte, byte 0x80 or more: EE BE 80 to EE BF BF.
        const auto byte = static_cast<unsigned char>(bytes[i++]);
        out += static_cast<char>(0xEE);
        out += static_cast<char>(0xBC | byte >> 6);
        out += static_cast<char>(0x80 | (byte & 0x3F));
    }
    return out;
}

std::string raw_bytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (escaped_byte(text.substr(i))) {
            out += static_cast<char>((static_cast<unsigned char>(text[i + 1]) & 0x03) << 6 |
                                     (static_cast<unsigned char>(text[i + 2]) & 0x3F));
            i += 3;
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string json_dump(const Json& value, int indent) { return safe_copy(value).dump(indent); }

std::string json_text(const Json& value) {
    std::ostringstream s;
    write_json(s, value);
    return s.str();
}

}  // namespace velmora
