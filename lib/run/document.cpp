#include "run/document.h"

#include <filesystem>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <unordered_set>

namespace velmora {

namespace {

// A cursor over text that nlohmann has already accepted as JSON, so it
// needs no error handling beyond staying inside the text.
class Scanner {
public:
    explicit Scanner(std::string_view s) : s_(s) {}

    std::size_t size() const { return s_.size(); }
    char at(std::size_t i) const { return i < s_.size() ? s_[i] : '\0'; }

    std::size_t skip_space(std::size_t i) const {
        while (i < s_.size() && (s_[i] == ' ' || s_[i] == '\t' || s_[i] == '\n' || s_[i] == '\r')) ++i;
        return i;
    }
    // i at an opening quote: the index after the closing one.
    std::size_t end_of_string(std::size_t i) const {
        for (++i; i < s_.size(); ++i) {
            if (s_[i] == '\\')
                ++i;
            else if (s_[i] == '"')
                return i + 1;
        }
        return s_.size();
    }
    // i at the start of a value: the index after it. Nesting is counted,
    // not recursed into, so deep documents cannot exhaust the stack.
    std::size_t end_of_value(std::size_t i) const {
        if (i >= s_.size()) return i;
        if (s_[i] == '"') return end_of_string(i);
        if (s_[i] == '{' || s_[i] == '[') {
            std::size_t depth = 0;
            while (i < s_.size()) {
                char c = s_[i];
                if (c == '"') {
                    i = end_of_string(i);
                    continue;
                }
                if (c == '{' || c == '[') ++depth;
                if ((c == '}' || c == ']') && --depth == 0) return i + 1;
                ++i;
            }
            return i;
        }
        while (i < s_.size() && !std::strchr(",}] \t\r\n", s_[i])) ++i;
        return i;
    }
    // The decoded text of the string literal [b, e).
    std::string string_at(std::size_t b, std::size_t e) const {
        std::string_view lit = s_.substr(b, e - b);
        if (lit.size() >= 2 && lit.find('\\') == std::string_view::npos) return std::string(lit.substr(1, lit.size() - 2));
        try {
            return Json::parse(lit).get<std::string>();
        } catch (const std::exception&) {
            return std::string(lit);
        }
    }

private:
    std::string_view s_;
};

struct Duplicate {
    std::vector<std::string> path;
    std::size_t offset = 0;
};

// The first key that appears twice in one object. nlohmann keeps the last
// of them silently; a network with two instances of one name is a mistake.
std::optional<Duplicate> first_duplicate(std::string_view text) {
    Scanner sc(text);
    struct Frame {
        bool object = false;
        std::size_t index = 0;
        std::string token;   // key or index of the member being read
        std::unordered_set<std::string> keys;
    };
    std::vector<Frame> stack;
    auto path_to = [&](const std::string& key) {
        std::vector<std::string> p;
        for (std::size_t k = 0; k + 1 < stack.size(); ++k) p.push_back(stack[k].token);
        p.push_back(key);
        return p;
    };
    std::size_t i = 0;
    bool want_key = false;   // else a value
    for (;;) {
        i = sc.skip_space(i);
        if (i >= sc.size()) return std::nullopt;
        if (want_key) {
            std::size_t e = sc.end_of_string(i);
            std::string key = sc.string_at(i, e);
            if (!stack.back().keys.insert(key).second) return Duplicate{path_to(key), i};
            stack.back().token = key;
            i = sc.skip_space(e) + 1;   // past ':'
            want_key = false;
            continue;
        }
        char c = sc.at(i);
        bool ended = false;
        if (c == '{' || c == '[') {
            Frame f;
            f.object = c == '{';
            if (!f.object) f.token = "0";
            stack.push_back(std::move(f));
            i = sc.skip_space(i + 1);
            if (sc.at(i) == '}' || sc.at(i) == ']') {
                stack.pop_back();
                ++i;
                ended = true;
            } else if (c == '{') {
                want_key = true;
                continue;
            } else {
                continue;
            }
        } else {
            i = sc.end_of_value(i);
            ended = true;
        }
        // After a value: separators and closing brackets.
        while (ended) {
            if (stack.empty()) return std::nullopt;
            i = sc.skip_space(i);
            char d = sc.at(i);
            if (d == ',') {
                ++i;
                Frame& top = stack.back();
                if (top.object) {
                    want_key = true;
                } else {
                    top.token = std::to_string(++top.index);
                }
                ended = false;
            } else if (d == '}' || d == ']') {
                stack.pop_back();
                ++i;
            } else {
                return std::nullopt;   // cannot happen in accepted JSON
            }
        }
    }
}

// nlohmann's text after "parse error at line L, column C: ", which repeats
// the place that the message gives in its own form.
std::string parse_error_text(const std::string& what) {
    std::size_t col = what.find("column ");
    if (col != std::string::npos) {
        std::size_t colon = what.find(": ", col);
        if (colon != std::string::npos) return what.substr(colon + 2);
    }
    std::size_t bracket = what.find("] ");
    return bracket == std::string::npos ? what : what.substr(bracket + 2);
}

// The start of the token that ends at offset: the parser reads a whole
// string or number before it finds that it does not belong there.
std::size_t token_start(std::string_view text, std::size_t offset) {
    if (offset >= text.size()) return offset;
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'; };
    std::size_t i = offset;
    if (text[i] == '"') {
        while (i > 0) {
            --i;
            if (text[i] == '"') {
                std::size_t slashes = 0;
                while (i > slashes && text[i - 1 - slashes] == '\\') ++slashes;
                if (slashes % 2 == 0) return i;
            }
            if (text[i] == '\n') break;   // a string does not span lines
        }
        return offset;
    }
    while (i > 0 && word(text[i]) && word(text[i - 1])) --i;
    return i;
}

std::string at_place(const std::string& name, TextPos pos) {
    if (pos.line == 0) return name;
    return name + ":" + std::to_string(pos.line) + ":" + std::to_string(pos.column);
}

}  // namespace

TextPos position_of(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    TextPos p{1, 1};
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++p.line;
            p.column = 1;
        } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            ++p.column;   // UTF-8 continuation bytes do not start a character
        }
    }
    return p;
}

Document Document::read(const std::string& path) {
    // A regular file of a bounded size: a pipe would never end, and parsing
    // takes several times the size of the text in memory.
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec))
        throw NetworkError(path + ": error: not a regular file");
    if (const auto size = std::filesystem::file_size(path, ec); !ec && size > kMaxDocumentBytes)
        throw NetworkError(path + ": error: the file has " + std::to_string(size) + " bytes; a network file has at most " +
                           std::to_string(kMaxDocumentBytes));
    std::ifstream in(path, std::ios::binary);
    if (!in) throw NetworkError(path + ": error: cannot read the file: " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw NetworkError(path + ": error: cannot read the file");
    return parse(path, text.str());
}

Document Document::parse(std::string name, std::string text) {
    Document doc(std::move(name), std::move(text));
    try {
        doc.root_ = Json::parse(doc.text_);
    } catch (const Json::parse_error& e) {
        // e.byte counts the characters read, the offending token included.
        std::size_t offset = token_start(doc.text_, e.byte > 0 ? e.byte - 1 : 0);
        throw NetworkError(at_place(doc.name_, position_of(doc.text_, offset)) +
                           ": error: not valid JSON: " + parse_error_text(e.what()));
    }
    if (auto dup = first_duplicate(doc.text_)) {
        std::string where;
        for (std::size_t k = 0; k + 1 < dup->path.size(); ++k) where += (where.empty() ? "" : ".") + dup->path[k];
        throw NetworkError(at_place(doc.name_, position_of(doc.text_, dup->offset)) + ": error: the key " +
                           in_quotes(dup->path.back()) + " appears twice" + (where.empty() ? "" : " in " + in_quotes(where)));
    }
    return doc;
}

TextPos Document::locate(const std::vector<std::string>& path, bool key) const {
    Scanner sc(text_);
    std::size_t i = sc.skip_space(0);
    std::size_t key_at = i;
    for (const auto& token : path) {
        char c = sc.at(i);
        if (c == '{') {
            // The last member of that name: the one nlohmann keeps.
            std::optional<std::size_t> found, found_key;
            i = sc.skip_space(i + 1);
            while (sc.at(i) == '"') {
                std::size_t e = sc.end_of_string(i);
                std::string k = sc.string_at(i, e);
                std::size_t v = sc.skip_space(sc.skip_space(e) + 1);
                if (k == token) {
                    found = v;
                    found_key = i;
                }
                i = sc.skip_space(sc.end_of_value(v));
                if (sc.at(i) != ',') break;
                i = sc.skip_space(i + 1);
            }
            if (!found) return {};
            i = *found;
            key_at = *found_key;
        } else if (c == '[') {
            std::size_t want = 0;
            auto [p, ec] = std::from_chars(token.data(), token.data() + token.size(), want);
            if (ec != std::errc() || p != token.data() + token.size()) return {};
            i = sc.skip_space(i + 1);
            for (std::size_t k = 0; k < want; ++k) {
                if (sc.at(i) == ']') return {};
                i = sc.skip_space(sc.end_of_value(i));
                if (sc.at(i) != ',') return {};
                i = sc.skip_space(i + 1);
            }
            if (sc.at(i) == ']') return {};
            key_at = i;
        } else {
            return {};
        }
    }
    return position_of(text_, key ? key_at : i);
}

Place Place::operator/(const std::string& member) const {
    Place p = *this;
    p.path_.push_back(member);
    return p;
}

Place Place::operator/(std::size_t index) const { return *this / std::to_string(index); }

std::string Place::describe(bool key) const {
    if (!doc_) return label_;
    return at_place(doc_->name(), doc_->locate(path_, key));
}

void Place::fail(const std::string& message, bool key) const {
    throw NetworkError(describe(key) + ": error: " + message);
}

std::string in_quotes(std::string_view text, std::size_t limit) {
    std::string out = "\"";
    std::size_t n = 0;
    for (char c : text) {
        if (limit && ++n > limit) {
            out += "...";
            break;
        }
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace velmora
