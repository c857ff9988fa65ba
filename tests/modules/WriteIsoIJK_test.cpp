#include <climits>
#include <cstdio>

#include "module_test.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using vtest::msg;

class WriteIsoIJKTest : public vtest::InstanceTest {
protected:
    vtest::TempDir temp;
    const fs::path dir = temp.path();
    const fs::path file = dir / "areas.txt";

    void build() override { build({2, 2, 1}, {1, 0, 0, 1}); }
    // A grid of the given dims with integer values, and the writer on it for areas 1..1.
    void build(const std::vector<std::int64_t>& dims, const std::vector<int>& values) {
        std::int64_t n = 1;
        for (auto d : dims) n *= d;
        new_grid().dims(dims).nnodes(n).ints("area_no", values);
        inst = &instance("ijk", "WriteIsoIJK", {{"in", "grid"}},
                         {{"filename", file.string()}, {"no_min", 1}, {"no_max", 1}});
    }
    std::string written() { return vtest::TempDir::read(file.string()); }
};

TEST_F(WriteIsoIJKTest, WritesTheIndicesOfEachAreaAndFailuresCreateNoFile) {
    expect_failures({
        unset_case("nspace3"),
        {"no k", [&] { inst->at("nspace3").set_int(0); unset("k"); }, "can not get k.\n"},
        unset_case("filename"),
        {"empty filename", [&] { inst->at("filename").set_str(""); }, "can not get filename(1>len).\n"},
        unset_case("no_min"),
        unset_case("no_max"),
        {"a range beyond the area bound", [&] { inst->at("no_min").set_int(-99999); inst->at("no_max").set_int(1); },
         "too many areas (no_max - no_min + 1 > 100000).\n"},
        {"the widest range", [&] { inst->at("no_min").set_int(INT32_MIN); inst->at("no_max").set_int(INT32_MAX); },
         "too many areas (no_max - no_min + 1 > 100000).\n"},
        {"no dims", [&] { field(*grid).dims({}); }, "can not get dims.\n"},
        {"two dims for a 3D grid", [&] { field(*grid).dims({2, 2}); }, "can not get dims.\n"},
        {"one dim for a 2D grid", [&] { inst->at("nspace3").set_int(0); field(*grid).dims({4}); }, "can not get dims.\n"},
        {"float values", [&] { field(*grid).component(0).at("values").retype(DTYPE_FLOAT); },
         "input data is wrong(DTYPE_INT only).\n"},
        {"vector values", [&] { grid->at("node_data[0].veclen").set_int(2); }, "input data is wrong(veclen=1 only).\n"},
        {"no values", [&] { relink(field(*grid).component(0), "values", DTYPE_INT); }, "can not get no.\n"},
        {"dims beyond the values", [&] { field(*grid).dims({2, 2, 2}); }, "input data is wrong(dims exceed values).\n"},
        {"huge dims", [&] { field(*grid).dims({INT64_MAX / 2, 4, 1}); }, "input data is wrong(dims exceed values).\n"},
        {"unopenable path", [&] { inst->at("filename").set_str((dir / "no" / "such.txt").string()); },
         "can not open " + (dir / "no" / "such.txt").string() + ".\n"},
    }, [&] { EXPECT_FALSE(fs::exists(file)); EXPECT_FALSE(fs::exists(dir / "no")); });
    // No nodes: nothing at all, not even the file.
    expect_idle({[&] { field(*grid).nnodes(0); }}, [&] { EXPECT_FALSE(fs::exists(file)); });
    build();
    run(*inst, {});
    EXPECT_EQ(written(),
              "     1\n"
              "     0      0      0\n"
              "     1      1      0\n");
    EXPECT_EQ(done(), 1);
    // A 3-D grid read as 2-D gives its first layer.
    build({2, 1, 2}, {1, 0, 1, 1});
    vtest::set_params(*inst, {{"nspace3", 0}, {"k", 0}});
    run(*inst, {});
    EXPECT_EQ(written(), "     1\n     0      0      0\n");
    // More nodes than the dims cover: only the grid part is scanned.
    build({2, 1, 1}, {1, 0});
    field(*grid).nnodes(4);
    vhost::set_ints(field(*grid).component(0).at("values"), {1, 0, 1, 1});
    run(*inst, {});
    EXPECT_EQ(written(), "     1\n     0      0      0\n");
    // An empty range makes an empty file.
    build();
    inst->at("no_min").set_int(2);
    run(*inst, {});
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(written(), "");
    EXPECT_EQ(done(), 1);
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    // Enough text to pass the stream's buffer.
    build({64, 64, 4}, std::vector<int>(64 * 64 * 4, 1));
    inst->at("filename").set_str("/dev/full");
    run(*inst, {msg("ijk", "can not write /dev/full.\n")});
    EXPECT_EQ(done(), 0);
}

// The plain algorithm: per number its line, then its nodes in storage order; a 2-D grid writes k third.
std::string plain_file(const std::vector<std::int64_t>& dims, const std::vector<int>& values, int no_min, int no_max,
                       int k) {
    std::string text;
    char line[64];
    const std::int64_t ni = dims[0], nj = dims[1], nk = dims.size() == 3 ? dims[2] : 1;
    for (std::int64_t n = no_min; n <= no_max; ++n) {
        std::snprintf(line, sizeof line, "% 6d\n", static_cast<int>(n));
        text += line;
        for (std::int64_t kk = 0, at = 0; kk < nk; ++kk)
            for (std::int64_t j = 0; j < nj; ++j)
                for (std::int64_t i = 0; i < ni; ++i, ++at) {
                    if (values[static_cast<size_t>(at)] != n) continue;
                    std::snprintf(line, sizeof line, "% 6d % 6d % 6d\n", static_cast<int>(i), static_cast<int>(j),
                                  dims.size() == 3 ? static_cast<int>(kk) : k);
                    text += line;
                }
    }
    return text;
}

TEST_F(WriteIsoIJKTest, RandomGridsGiveThePlainAlgorithmsFile) {
    // Numbers close together are grouped by counting; spread thinly (span > 2 found + 1024), by sorting.
    struct Case {
        const char* what;
        std::vector<std::int64_t> dims;   // two: a 2-D grid written with k
        std::vector<int> pool;
        int no_min, no_max, k;
    };
    const std::vector<Case> cases = {
        {"small numbers with 0", {5, 4, 3}, {0, 1, 2, 3}, 0, 3, 0},
        {"negative numbers, range partly outside", {6, 5, 4}, {-7, -3, -1, 0, 2}, -5, 1, 0},
        {"range beyond the values on both sides", {4, 4, 2}, {1, 2}, -2, 6, 0},
        {"range missing every value", {3, 3, 3}, {1, 2}, 5, 9, 0},
        {"indices of three digits", {123, 2, 1}, {0, -4}, -4, -4, 0},
        {"the widest range allowed", {2, 2, 1}, {0, 1}, -49999, 50000, 0},
        {"more text than one block", {60, 40, 3}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0, 9, 0},
        {"2-D grid", {9, 7}, {0, 4, 5, -1}, -1, 5, 12},
        {"2-D grid, k of seven digits", {5, 3}, {0, 1}, 0, 1, -1234567},
        {"far apart, narrow range", {7, 5, 3}, {-2000000000, 2000000000, -1, 1, 3}, -2, 4, 0},
        {"spread thinly: sorted", {8, 6, 4}, {-3000, -2999, 0, 2999, 3000, -2000000000, 2000000000}, -3000, 3000, 0},
        {"2-D, spread thinly", {10, 10}, {-2000, 0, 2000}, -2000, 2000, 3},
        {"wide numbers near the top", {5, 5, 5}, {INT_MAX, 1999999999, INT_MAX - 1500, 0, -2000000000},
         INT_MAX - 1500, INT_MAX, 0},
        {"wide numbers near the bottom", {5, 4, 3}, {INT_MIN, INT_MIN + 1, INT_MIN + 1400, 7}, INT_MIN, INT_MIN + 1400, 0},
    };
    std::mt19937 random(14);
    for (const Case& c : cases)
        for (int seed = 0; seed < 3; ++seed) {
            SCOPED_TRACE(std::string(c.what) + ", grid " + std::to_string(seed));
            std::int64_t n = 1;
            for (auto d : c.dims) n *= d;
            std::vector<int> values(static_cast<size_t>(n));
            std::uniform_int_distribution<size_t> pick(0, 2 * c.pool.size() - 1);
            for (int& v : values) {
                const size_t p = pick(random);
                v = p < c.pool.size() ? c.pool[p] : c.pool[0];
            }
            build(c.dims, values);
            inst->at("no_min").set_int(c.no_min);
            inst->at("no_max").set_int(c.no_max);
            if (c.dims.size() == 2) {
                inst->at("nspace3").set_int(0);
                inst->at("k").set_int(c.k);
            }
            run(*inst, {});
            EXPECT_EQ(done(), 1);
            EXPECT_EQ(written(), plain_file(c.dims, values, c.no_min, c.no_max, c.k));
        }
}

}  // namespace
