// velmora's tables: every text survives a round trip, a table without rows
// is its header line, and a file that is not a table is refused with the
// file and the line named.
#include "io/table.h"

#include <gtest/gtest.h>

#include <cmath>

#include "temp_files.h"

namespace {

using velmora::Table;

TEST(Table, TextsWithCommasQuotesAndLineEndsComeBackAsWritten) {
    const std::vector<std::string> texts{"b,1.nc",    "say \"hi\"", "two\nlines", "cr\r\nlf", "",
                                         " padded ", "\"",        ",",          "plain",    "tab\there"};
    Table t{"", {"name", "x_km", "odd, column"}, {}};
    for (const std::string& s : texts) t.rows.push_back({s, "1.5", s});
    const Table back = velmora::parse_table(velmora::table_text(t), "t.csv");
    EXPECT_EQ(back.columns, t.columns);
    EXPECT_EQ(back.rows, t.rows);
    // Fields that need no quotes get none: the tables stay as plain as they were.
    EXPECT_EQ(velmora::csv_field("series_000.nc"), "series_000.nc");
    EXPECT_EQ(velmora::csv_field("b,1.nc"), "\"b,1.nc\"");
    EXPECT_EQ(velmora::csv_field("a\"b"), "\"a\"\"b\"");
    EXPECT_EQ(velmora::csv_line(std::vector<std::string>{"a", "", "c"}), "a,,c\n");
}

TEST(Table, WithoutRowsItIsItsHeaderAndReadsBackSo) {
    vtest::TempDir dir;
    velmora::write_table(dir.file("empty.csv"), Table{"", {"cell", "time"}, {}});
    EXPECT_EQ(vtest::TempDir::read(dir.file("empty.csv")), "cell,time\n");
    const Table back = velmora::read_table(dir.file("empty.csv"));
    EXPECT_EQ(back.columns, (std::vector<std::string>{"cell", "time"}));
    EXPECT_TRUE(back.rows.empty());
}

TEST(Table, FieldsByNameAsTextsAndNumbers) {
    const Table t = velmora::parse_table("cell,x_km,name\r\n3,-1.25,\"b,1\"\r\n4,,x\r\n", "t.csv");
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.at(0, "name"), "b,1");
    EXPECT_EQ(t.at(0, "none"), "");
    EXPECT_EQ(t.integer(1, "cell"), 4);
    EXPECT_DOUBLE_EQ(t.number(0, "x_km"), -1.25);
    EXPECT_TRUE(std::isnan(t.number(1, "x_km")));
    const auto message = [&](auto read) -> std::string {
        try {
            read();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(message([&] { t.number(1, "name"); }), "t.csv: line 3, column name: \"x\" is not a number");
    EXPECT_EQ(message([&] { t.integer(1, "x_km"); }), "t.csv: line 3, column x_km: \"\" is not a whole number");
    EXPECT_EQ(message([&] { t.field(0, "top_km"); }), "t.csv: no column top_km");
}

TEST(Table, WhatIsNotATableIsRefusedNamingFileAndPlace) {
    const auto message = [](const std::string& text) -> std::string {
        try {
            velmora::parse_table(text, "bad.csv");
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(message(""), "bad.csv: no header line");
    EXPECT_EQ(message("a,b\n1,2,3\n"), "bad.csv: row 1 has 3 fields, the header 2");
    EXPECT_EQ(message("a,b\n1,2\n3\n"), "bad.csv: row 2 has 1 fields, the header 2");
    EXPECT_NE(message("a,b\n1,\"open\n").find("bad.csv: line"), std::string::npos);
    EXPECT_NE(message("a,b\n1,x\"y\"z\n").find("is not CSV"), std::string::npos);
    vtest::TempDir dir;
    EXPECT_NE(message("a\n\"\"\"\n").find("is not CSV"), std::string::npos);
    EXPECT_THROW(velmora::read_table(dir.file("missing.csv")), std::runtime_error);
}

}  // namespace
