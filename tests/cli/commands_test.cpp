// The commands' outputs and options: velmora grid writes its file whole or not at all, never over its input, and
// says a bad output before any work; every numeric option says its bounds plainly; synth says what is too large.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "../polar/polar_files.h"
#include "app_test.h"
#include "child.h"

namespace {

namespace fs = std::filesystem;

// The exit status and what a command line wrote to the error stream.
std::pair<int, std::string> run(const std::vector<std::string>& args) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = vtest::cli(args);
    ::testing::internal::GetCapturedStdout();
    return {status, ::testing::internal::GetCapturedStderr()};
}

std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(GridCommand, AWriteThatFailsKeepsTheEarlierFileAndEndsWithAMessage) {
    vtest::TempDir dir;
    const std::string odim = dir.file("in.h5"), good = dir.file("good.nc");
    polartest::write_odim(odim);
    const std::vector<std::string> grid{"grid", odim, "--out", good, "--extent", "-20,20,-20,20", "--levels", "0.5,5"};
    ASSERT_EQ(run(grid).first, 0);
    const std::string before = vtest::TempDir::read(good);
    ASSERT_GT(before.size(), 8000u);
    // A disk that fills (ulimit -f): status 1 and the file named, no crash as the process ends, the earlier
    // file whole and no partial file beside it.
    const auto end = vtest::in_child([&] { return vtest::cli(grid); }, 4096);
    EXPECT_TRUE(end.exited) << "killed by signal " << end.status;
    EXPECT_EQ(end.status, 1);
    EXPECT_EQ(end.err, "velmora grid: can not write " + good + ": File too large\n");
    EXPECT_EQ(vtest::TempDir::read(good), before);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"good.nc", "in.h5"}));
}

TEST(GridCommand, AnOutputThatCannotBeWrittenOrIsAnInputIsRefusedBeforeAnyWork) {
    vtest::TempDir dir;
    const std::string odim = dir.file("in.h5"), folder = dir.file("folder");
    polartest::write_odim(odim);
    const std::string volume = vtest::TempDir::read(odim);
    fs::create_directories(folder);
    fs::create_symlink(odim, dir.file("link.h5"));
    fs::create_hard_link(odim, dir.file("hard.h5"));
    const std::pair<std::string, std::string> refused[] = {
        {folder, folder + " is a folder, not a file"},
        {odim, odim + " is the input " + odim + ": velmora does not write over what it reads"},
        {dir.file("link.h5"), dir.file("link.h5") + " is the input " + odim + ": velmora does not write over what it reads"},
        {dir.file("hard.h5"), dir.file("hard.h5") + " is the input " + odim + ": velmora does not write over what it reads"},
        {dir.file("no/grid.nc"), "can not write " + dir.file("no/grid.nc") + ": the folder " + dir.file("no") +
                                     " does not exist"},
    };
    // Said before the volume is read: an unreadable volume would be said first otherwise.
    for (const auto& [out, says] : refused) {
        EXPECT_EQ(run({"grid", odim, dir.file("absent.h5"), "--out", out}),
                  std::pair(2, "velmora grid: --out: " + says + "\n"));
        EXPECT_EQ(vtest::TempDir::read(odim), volume);
    }
    // A FIFO is refused without waiting for a writer.
    ASSERT_EQ(::mkfifo(dir.file("pipe.h5").c_str(), 0600), 0);
    const auto end = vtest::in_child([&] { return vtest::cli({"grid", dir.file("pipe.h5"), "--out", dir.file("g.nc")}); },
                                     0, 20);
    EXPECT_TRUE(end.exited) << "killed by signal " << end.status;
    EXPECT_EQ(end.status, 2);
    EXPECT_EQ(end.err, "velmora grid: " + dir.file("pipe.h5") + ": not a regular file (a FIFO)\n");
}

TEST(SynthCommand, ASeriesReplacesOnlyAnEarlierSeries) {
    vtest::TempDir dir;
    const std::string series = dir.file("s");
    ASSERT_EQ(run({"synth", "--series", "3", series}).first, 0);
    ASSERT_EQ(run({"synth", "--series", "2", series}).first, 0);
    EXPECT_EQ(names_in(series),
              (std::vector<std::string>{".velmora-results", "series_000.nc", "series_001.nc", "truth.csv"}))
        << "nothing of the longer series stands beside the new one";
    std::ofstream(series + "/notes.txt") << "mine\n";
    EXPECT_EQ(run({"synth", "--series", "2", series}),
              std::pair(2, "velmora synth: " + series + " holds notes.txt, which velmora did not write: velmora replaces "
                           "only a folder of its own results (move notes.txt away, or choose another folder)\n"));
    EXPECT_EQ(vtest::TempDir::read(series + "/notes.txt"), "mine\n");
}

TEST(CommandOptions, NumbersOutOfBoundsAreSaidWithPlainBounds) {
    vtest::TempDir dir;
    const std::string nc = dir.file("v.nc");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"analyze", "--min-cells", "-1"}, "--min-cells: -1 is not from 0 to 2147483647"},
        {{"analyze", "--time", "1e12"}, "--time: 1e12 is not from 0 to 2147483647"},
        {{"analyze", "--max-voxels", "0"}, "--max-voxels: 0 is not from 1 to 2000000000"},
        {{"analyze", "--min-core", "2.5"}, "--min-core: not a whole number from 1 to 2000000000: \"2.5\""},
        {{"track", nc, "--min-cells", "-1"}, "--min-cells: -1 is not from 0 to 2147483647"},
        {{"track", nc, "--interval", "nan"}, "--interval: not a finite number from 1 to 1000000000: \"nan\""},
        {{"track", nc, "--max-speed", "0"}, "--max-speed: 0 is not from 0.1 to 500"},
        {{"track", nc, "--level", "inf"}, "--level: not a finite number from -100 to 100: \"inf\""},
        {{"synth", nc, "--cells", "-1"}, "--cells: -1 is not from 0 to 10000"},
        {{"synth", nc, "--seed", "-1"}, "--seed: -1 is not from 0 to 4294967295"},
        {{"synth", nc, "--nx", "1"}, "--nx: 1 is not from 2 to 100000"},
        {{"synth", nc, "--series", "3", "--interval", "0"}, "--interval: 0 is not from 1 to 86400"},
    };
    for (const auto& [args, says] : refused) {
        const auto [status, err] = run(args);
        EXPECT_EQ(status, 2) << says;
        EXPECT_EQ(err.substr(0, err.find('\n')), says);
    }
    // A scene larger than any volume velmora reads is said, not tried.
    EXPECT_EQ(run({"synth", nc, "--nx", "100000", "--ny", "100000"}),
              std::pair(2, std::string("velmora synth: a scene of 100000 x 100000 x 20 = 200000000000 points is too "
                                       "large: at most 100000000\n")));
    EXPECT_FALSE(fs::exists(nc));
}

}  // namespace
