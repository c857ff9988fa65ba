// The commands' outputs and options: velmora grid writes its file whole or not at all, never over its input, and
// says a bad output before any work; synth says what is too large;
// track draws each volume's pictures only when asked.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vtkDataSet.h>
#include <vtkDoubleArray.h>
#include <vtkFieldData.h>
#include <vtkNew.h>
#include <vtkXMLGenericDataObjectReader.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "../polar/polar_files.h"
#include "app_test.h"
#include "child.h"

namespace {

namespace fs = std::filesystem;

// The exit status and what a command line wrote to the error stream.
std::pair<int, std::string> run(const std::vector<std::string>& args) {
    const vtest::Printed p = vtest::cli_printed(args);
    return {p.status, p.err};
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

// ParaView animates a tracked series from volumes.pvd: every volume's files, each at the time its own data
// carries.
TEST(TrackCommand, WritesACollectionOfTheVolumesAtTheirTimes) {
    vtest::TempDir dir;
    const std::string series = dir.file("s"), out = dir.file("t");
    ASSERT_EQ(run({"synth", "--series", "3", series}).first, 0);
    std::vector<std::string> track{"track", "--out", out, "--no-picture"};
    for (const char* f : {"series_000.nc", "series_001.nc", "series_002.nc"}) track.push_back(series + "/" + f);
    ASSERT_EQ(run(track).first, 0);
    const std::string pvd = vtest::TempDir::read(out + "/volumes.pvd");
    const std::regex entry(R"re(<DataSet timestep="([^"]+)" group="" part="(\d)" file="([^"]+)"/>)re");
    std::set<double> times;
    int entries = 0;
    for (auto m = std::sregex_iterator(pvd.begin(), pvd.end(), entry); m != std::sregex_iterator(); ++m, ++entries) {
        const std::string file = (*m)[3];
        const char* kinds[] = {"radar.vti", "isosurface.vtp", "isovolume.vtu", "cell_tops.vtp", "centres.vtp"};
        EXPECT_TRUE(file.ends_with(kinds[std::stoi((*m)[2])])) << file;
        vtkNew<vtkXMLGenericDataObjectReader> r;
        r->SetFileName((out + "/" + file).c_str());
        r->Update();
        auto* d = vtkDataSet::SafeDownCast(r->GetOutput());
        ASSERT_NE(d, nullptr) << file;
        auto* t = vtkDoubleArray::SafeDownCast(d->GetFieldData()->GetAbstractArray("TimeValue"));
        ASSERT_NE(t, nullptr) << file;
        EXPECT_EQ(t->GetValue(0), std::stod((*m)[1])) << file;
        times.insert(t->GetValue(0));
    }
    EXPECT_EQ(entries, 15) << pvd;
    EXPECT_EQ(times.size(), 3u) << pvd;
}

// The bounds of every option are tested from the table (tests/options/);
// what the table cannot say is a scene too large as a whole.
TEST(CommandOptions, ASceneLargerThanAnyVolumeIsSaidNotTried) {
    vtest::TempDir dir;
    const std::string nc = dir.file("v.nc");
    // A scene larger than any volume velmora reads is said, not tried.
    EXPECT_EQ(run({"synth", nc, "--nx", "100000", "--ny", "100000"}),
              std::pair(2, std::string("velmora synth: a synthetic volume of 100000 x 100000 x 20 = 200000000000 points is too "
                                       "large: at most 100000000\n")));
    EXPECT_FALSE(fs::exists(nc));
}

}  // namespace

namespace {

bool has_png(const fs::path& folder) {
    for (const auto& e : fs::recursive_directory_iterator(folder))
        if (e.path().extension() == ".png") return true;
    return false;
}

// track always draws its series' pictures and each volume's only with
// --pictures; analyze draws mesh.png where it has the hail levels.
TEST(PictureCommands, TrackDrawsVolumePicturesOnlyWhenAsked) {
    vtest::TempDir dir;
    const std::string series = dir.file("s");
    ASSERT_EQ(run({"synth", "--series", "3", series}).first, 0);
    const std::vector<std::string> volumes{series + "/series_000.nc", series + "/series_001.nc", series + "/series_002.nc"};
    const std::vector<std::string> hail{"--freezing-level", "2", "--minus20-level", "4"};
    auto track = [&](const std::string& out, std::vector<std::string> more) {
        std::vector<std::string> args{"track"};
        args.insert(args.end(), volumes.begin(), volumes.end());
        args.insert(args.end(), hail.begin(), hail.end());
        args.insert(args.end(), {"--out", dir.file(out)});
        args.insert(args.end(), more.begin(), more.end());
        return run(args).first;
    };
    ASSERT_EQ(track("plain", {}), 0);
    EXPECT_TRUE(fs::is_regular_file(dir.file("plain/tracks.png")));
    EXPECT_TRUE(fs::is_regular_file(dir.file("plain/hail_swath.png")));
    EXPECT_FALSE(has_png(dir.file("plain/volumes")));
    ASSERT_EQ(track("all", {"--pictures"}), 0);
    for (const char* png : {"cells.png", "plan.png", "mesh.png"})
        EXPECT_TRUE(fs::is_regular_file(dir.file("all/volumes/series_001/") + png)) << png;
    ASSERT_EQ(track("none", {"--no-picture", "--pictures"}), 0);
    EXPECT_FALSE(has_png(dir.file("none")));
}

}  // namespace
