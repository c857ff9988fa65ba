#include "io/table.h"

#include <csv.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace velmora {

namespace {

// What the parser's callbacks build: the fields of the line being read, and
// the lines.
struct Lines {
    std::vector<std::string> fields;
    std::vector<std::vector<std::string>> lines;
};

void on_field(void* text, std::size_t size, void* data) {
    auto* l = static_cast<Lines*>(data);
    l->fields.emplace_back(text ? static_cast<const char*>(text) : "", text ? size : 0);
}

void on_line_end(int, void* data) {
    auto* l = static_cast<Lines*>(data);
    l->lines.push_back(std::move(l->fields));
    l->fields.clear();
}

// Unquoted fields keep their spaces and tabs (the library trims them unless told).
int no_space(unsigned char) { return 0; }

struct ParserFree {
    void operator()(csv_parser* p) const {
        csv_free(p);
        delete p;
    }
};

// The line (from 1) the parser stopped at.
std::size_t line_at(std::string_view text, std::size_t offset) {
    std::size_t line = 1;
    for (std::size_t k = 0; k < offset && k < text.size(); ++k) line += text[k] == '\n';
    return line;
}

std::runtime_error bad_field(const Table& t, std::size_t row, const std::string& column, const std::string& what) {
    return std::runtime_error(t.name + ": line " + std::to_string(row + 2) + ", column " + column + ": \"" +
                              t.at(row, column) + "\" is not " + what);
}

}  // namespace

int Table::column(const std::string& column_name) const {
    for (std::size_t c = 0; c < columns.size(); ++c)
        if (columns[c] == column_name) return static_cast<int>(c);
    return -1;
}

const std::string& Table::at(std::size_t row, const std::string& column_name) const {
    static const std::string none;
    const int c = column(column_name);
    if (c < 0 || row >= rows.size() || static_cast<std::size_t>(c) >= rows[row].size()) return none;
    return rows[row][static_cast<std::size_t>(c)];
}

const std::string& Table::field(std::size_t row, const std::string& column_name) const {
    if (column(column_name) < 0) throw std::runtime_error(name + ": no column " + column_name);
    return at(row, column_name);
}

double Table::number(std::size_t row, const std::string& column_name) const {
    const std::string& v = field(row, column_name);
    if (v.empty()) return NAN;
    double out = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    if (ec != std::errc() || end != v.data() + v.size()) throw bad_field(*this, row, column_name, "a number");
    return out;
}

long long Table::integer(std::size_t row, const std::string& column_name) const {
    const std::string& v = field(row, column_name);
    long long out = 0;
    const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), out);
    if (v.empty() || ec != std::errc() || end != v.data() + v.size())
        throw bad_field(*this, row, column_name, "a whole number");
    return out;
}

std::string csv_field(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    // Quoted: twice the size and two quotes at most.
    std::string out(2 * text.size() + 2, '\0');
    out.resize(csv_write(out.data(), out.size(), text.data(), text.size()));
    return out;
}

std::string csv_line(std::span<const std::string> fields) {
    std::string line;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (k) line += ',';
        line += csv_field(fields[k]);
    }
    line += '\n';
    return line;
}

std::string table_text(const Table& t) {
    std::string text = csv_line(t.columns);
    for (const auto& row : t.rows) text += csv_line(row);
    return text;
}

Table parse_table(std::string_view text, const std::string& name) {
    std::unique_ptr<csv_parser, ParserFree> p(new csv_parser);
    if (csv_init(p.get(), CSV_STRICT | CSV_STRICT_FINI) != 0) throw std::runtime_error(name + ": out of memory");
    csv_set_space_func(p.get(), no_space);
    Lines lines;
    const std::size_t read = csv_parse(p.get(), text.data(), text.size(), on_field, on_line_end, &lines);
    if (read != text.size() || csv_fini(p.get(), on_field, on_line_end, &lines) != 0)
        throw std::runtime_error(name + ": line " + std::to_string(line_at(text, read)) + " is not CSV (" +
                                 csv_strerror(csv_error(p.get())) + ")");
    Table t;
    t.name = name;
    if (lines.lines.empty()) throw std::runtime_error(name + ": no header line");
    t.columns = std::move(lines.lines.front());
    for (std::size_t k = 1; k < lines.lines.size(); ++k) {
        if (lines.lines[k].size() != t.columns.size())
            throw std::runtime_error(name + ": row " + std::to_string(k) + " has " +
                                     std::to_string(lines.lines[k].size()) + " fields, the header " +
                                     std::to_string(t.columns.size()));
        t.rows.push_back(std::move(lines.lines[k]));
    }
    return t;
}

Table read_table(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("can not read " + path + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw std::runtime_error("can not read " + path);
    return parse_table(text.str(), path);
}

void write_table(const std::string& path, const Table& t, const WholeFile& how) {
    try {
        write_file(path, table_text(t), how);
    } catch (const OutputRefused& e) {   // its folder is gone: the table is not written
        throw WriteFailed(e.what());
    }
}

}  // namespace velmora
