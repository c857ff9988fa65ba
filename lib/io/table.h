// velmora's tables: CSV as RFC 4180 has it (a field holding a comma, a
// quote or a line end is quoted, its quotes doubled), a header line naming
// the columns, one line per row ending in "\n", times in ISO 8601 UTC
// (iso_utc). Every table velmora writes and reads back goes through here;
// a table without rows is its header line alone.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/output_files.h"

namespace velmora {

struct Table {
    std::string name;                              // the file, for messages
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;   // as many fields as columns

    // The column's index, or -1.
    int column(const std::string& column_name) const;
    // The field of a row in a named column; empty when there is none.
    const std::string& at(std::size_t row, const std::string& column_name) const;
    // The field of a row in a column the table must have: std::runtime_error
    // naming the file and the column when it has not.
    const std::string& field(std::size_t row, const std::string& column_name) const;
    // The field as a number, NaN when empty; std::runtime_error naming the
    // file, line and column when it is not one.
    double number(std::size_t row, const std::string& column_name) const;
    // The field as a whole number; std::runtime_error as number() when it is
    // empty or not one.
    long long integer(std::size_t row, const std::string& column_name) const;
};

// A field as a table's line holds it.
std::string csv_field(std::string_view text);
// The fields as one line, with its end.
std::string csv_line(std::span<const std::string> fields);
// The table's text: its header line, then its rows.
std::string table_text(const Table& t);

// The table in text; std::runtime_error naming `name` and the line when it
// is not CSV (a quote left open, a stray quote) or a row has another number
// of fields than the header.
Table parse_table(std::string_view text, const std::string& name);
// The table in the file; std::runtime_error "can not read PATH: ..." when
// it cannot be read, as parse_table when it is not a table.
Table read_table(const std::string& path);

// Writes the table whole (write_file); WriteFailed naming the file, also
// when its folder is not there.
void write_table(const std::string& path, const Table& t, const WholeFile& how = {});

}  // namespace velmora
