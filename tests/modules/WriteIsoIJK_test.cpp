// The area IJK writer: the exact file text, two-dimensional grids, empty
// ranges, every failure (none of which creates a file), values that do not
// cover the dims, and a write error.
#include "module_test.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using vtest::msg;

class WriteIsoIJKTest : public vtest::InstanceTest {
protected:
    vhost::Object* grid = nullptr;
    vtest::TempDir temp;
    const fs::path dir = temp.path();
    const fs::path file = dir / "areas.txt";

    void build() override { build({2, 2, 1}, {1, 0, 0, 1}); }
    // A grid of the given dims with integer values, and the writer on it
    // for areas 1..1.
    void build(const std::vector<std::int64_t>& dims, const std::vector<int>& values) {
        host.reset();
        grid = &host.add_field("grid");
        std::int64_t n = 1;
        for (auto d : dims) n *= d;
        field(*grid).dims(dims).nnodes(n).ints("area_no", values);
        inst = &instance("ijk", "WriteIsoIJK", {{"in", "grid"}},
                         {{"filename", file.string()}, {"no_min", 1}, {"no_max", 1}});
    }
    std::string written() { return vtest::TempDir::read(file.string()); }
};

TEST_F(WriteIsoIJKTest, WritesTheIndicesOfEachArea) {
    run(*inst, {});
    EXPECT_EQ(written(),
              "     1\n"
              "     0      0      0\n"
              "     1      1      0\n");
    EXPECT_EQ(done(), 1);

    // k outermost, i innermost; area 0 like any other; empty areas give
    // only their number; an existing file is replaced.
    build({3, 2, 2}, {0, 2, 0, 1, 0, 0, 2, 0, 0, 0, 0, 2});
    inst->at("no_min").set_int(0);
    inst->at("no_max").set_int(3);
    run(*inst, {});
    EXPECT_EQ(written(),
              "     0\n"
              "     0      0      0\n     2      0      0\n     1      1      0\n     2      1      0\n"
              "     1      0      1\n     2      0      1\n     0      1      1\n     1      1      1\n"
              "     1\n"
              "     0      1      0\n"
              "     2\n"
              "     1      0      0\n     0      0      1\n     2      1      1\n"
              "     3\n");

    // Negative numbers and wide indices keep the widths of the format.
    std::vector<int> wide(123 * 2 * 1, 0);
    wide[122] = -4;
    wide[123 + 100] = -4;
    build({123, 2, 1}, wide);
    inst->at("no_min").set_int(-4);
    inst->at("no_max").set_int(-4);
    run(*inst, {});
    EXPECT_EQ(written(), "    -4\n   122      0      0\n   100      1      0\n");
}

TEST_F(WriteIsoIJKTest, TwoDimensionalGridsWriteTheGivenK) {
    build({2, 3}, {5, 0, 0, 5, 5, 0});
    inst->at("nspace3").set_int(0);
    inst->at("k").set_int(7);
    inst->at("no_min").set_int(5);
    inst->at("no_max").set_int(5);
    run(*inst, {});
    EXPECT_EQ(written(), "     5\n     0      0      7\n     1      1      7\n     0      2      7\n");

    // A three-dimensional grid read as two-dimensional: only its first layer.
    build({2, 1, 2}, {1, 0, 1, 1});
    inst->at("nspace3").set_int(0);
    inst->at("k").clear_value();
    run(*inst, {msg("ijk", "can not get k.\n")});
    inst->at("k").set_int(0);
    run(*inst, {});
    EXPECT_EQ(written(), "     1\n     0      0      0\n");
}

TEST_F(WriteIsoIJKTest, AnEmptyRangeMakesAnEmptyFile) {
    inst->at("no_min").set_int(2);
    run(*inst, {});
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(written(), "");
    EXPECT_EQ(done(), 1);
}

TEST_F(WriteIsoIJKTest, FailuresCreateNoFile) {
    expect_failures({
        unset_case("nspace3"),
        {"no k", [&] { inst->at("nspace3").set_int(0); unset("k"); }, "can not get k.\n"},
        unset_case("filename"),
        {"empty filename", [&] { inst->at("filename").set_str(""); }, "can not get filename(1>len).\n"},
        unset_case("no_min"),
        unset_case("no_max"),
        {"no dims", [&] { field(*grid).dims({}); }, "can not get dims.\n"},
        {"two dims for a 3D grid", [&] { field(*grid).dims({2, 2}); }, "can not get dims.\n"},
        {"one dim for a 2D grid", [&] { inst->at("nspace3").set_int(0); field(*grid).dims({4}); }, "can not get dims.\n"},
        {"float values", [&] { field(*grid).component(0).at("values").retype(DTYPE_FLOAT); },
         "input data is wrong(DTYPE_INT only).\n"},
        {"vector values", [&] { grid->at("node_data[0].veclen").set_int(2); }, "input data is wrong(veclen=1 only).\n"},
        {"no values",
         [&] {
             host.root().add_free_array("empty", DTYPE_INT);
             field(*grid).component(0).make_link("values", "empty");
         },
         "can not get no.\n"},
        {"dims beyond the values", [&] { field(*grid).dims({2, 2, 2}); }, "input data is wrong(dims exceed values).\n"},
        {"huge dims", [&] { field(*grid).dims({INT64_MAX / 2, 4, 1}); }, "input data is wrong(dims exceed values).\n"},
        {"unopenable path", [&] { inst->at("filename").set_str((dir / "no" / "such.txt").string()); },
         "can not open " + (dir / "no" / "such.txt").string() + ".\n"},
    }, [&] { EXPECT_FALSE(fs::exists(file)); EXPECT_FALSE(fs::exists(dir / "no")); });
    // No nodes: nothing at all, not even the file.
    build();
    field(*grid).nnodes(0);
    run(*inst, {});
    EXPECT_EQ(done(), 0);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(WriteIsoIJKTest, ValuesBeyondTheDimsAreNotWritten) {
    // More nodes than the dims cover: only the grid part is scanned.
    build({2, 1, 1}, {1, 0});
    field(*grid).nnodes(4);
    vhost::set_ints(field(*grid).component(0).at("values"), {1, 0, 1, 1});
    run(*inst, {});
    EXPECT_EQ(written(), "     1\n     0      0      0\n");
}

TEST_F(WriteIsoIJKTest, AWriteErrorIsReported) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    // Enough text to pass the stream's buffer.
    std::vector<int> ones(64 * 64 * 4, 1);
    build({64, 64, 4}, ones);
    inst->at("filename").set_str("/dev/full");
    run(*inst, {msg("ijk", "can not write /dev/full.\n")});
    EXPECT_EQ(done(), 0);
}

}  // namespace
