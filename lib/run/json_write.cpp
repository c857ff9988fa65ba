#include "run/json_write.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace velmora {

namespace {

constexpr std::size_t line_width = 100;

std::string scalar(const Json& v) { return v.dump(-1, ' ', false, Json::error_handler_t::replace); }

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

std::string json_text(const Json& value) {
    std::ostringstream s;
    write_json(s, value);
    return s.str();
}

}  // namespace velmora
