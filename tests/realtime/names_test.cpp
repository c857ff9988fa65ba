// Volumes whose names hold a comma, a quote or a line end: every table that
// names them is still a table with the names as given, read back by velmora
// verify, by the view of the saved folder and by a watcher that restarts.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "app_test.h"
#include "io/table.h"
#include "realtime/track_folder.h"
#include "scene/scene.h"
#include "watch_support.h"

namespace {

namespace fs = std::filesystem;
using velmora::Json;
using velmora::Table;

// In time order: the synthetic series' volumes under these names.
const std::vector<std::string> kNames = {"b,1.nc", "say \"hi\".nc", "two\nlines.nc", "a, \"b\"\r\nc.nc", "plain.nc"};

std::vector<std::string> copies(const vtest::TempDir& dir, const std::string& folder) {
    const auto series = vtest::write_series(dir.file("series"), static_cast<int>(kNames.size()));
    fs::create_directories(dir.file(folder));
    std::vector<std::string> out;
    for (std::size_t k = 0; k < kNames.size(); ++k) {
        out.push_back(dir.file(folder + "/" + kNames[k]));
        fs::copy_file(series[k], out.back());
    }
    return out;
}

Json header_of(const std::string& bytes) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + 4, 4);
    return Json::parse(bytes.substr(8, n));
}

// The folder's tables name the volumes as they are named: volumes.csv in
// time order, tracks.csv by each cell's source; the verification reads them.
void expect_names_kept(const std::string& out) {
    SCOPED_TRACE(out);
    const Table volumes = velmora::read_table(out + "/volumes.csv");
    ASSERT_EQ(volumes.rows.size(), kNames.size());
    for (std::size_t k = 0; k < kNames.size(); ++k) EXPECT_EQ(volumes.at(k, "volume"), kNames[k]);
    const Table tracks = velmora::read_table(out + "/tracks.csv");
    ASSERT_FALSE(tracks.rows.empty());
    std::set<std::string> sources;
    for (std::size_t r = 0; r < tracks.rows.size(); ++r) sources.insert(tracks.at(r, "source"));
    EXPECT_EQ(sources, std::set<std::string>(kNames.begin(), kNames.end()));
    const auto folder = velmora::realtime::read_track_folder(out);
    EXPECT_EQ(folder.volumes, kNames);
    EXPECT_EQ(folder.series.size(), kNames.size());
}

TEST(Names, CommasQuotesAndLineEndsGoThroughTrackVerifyWatchAndTheView) {
    vtest::TempDir dir;
    const auto volumes = copies(dir, "in");
    std::vector<std::string> args{"track"};
    args.insert(args.end(), volumes.rbegin(), volumes.rend());   // the volumes' times order them
    args.insert(args.end(), {"--out", dir.file("track"), "--no-picture"});
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(vtest::cli(args), 0);
    ASSERT_EQ(vtest::cli({"verify", dir.file("track"), "--leads", "10", "--out", dir.file("verify.csv")}), 0);
    ::testing::internal::GetCapturedStdout();
    expect_names_kept(dir.file("track"));
    EXPECT_EQ(velmora::read_table(dir.file("verify.csv")).rows.size(), 3u) << "one row per method";

    // The view of the saved folder: each volume by its name, its cells by their tracks.
    velmora::scene::ViewOptions o;
    o.input = dir.file("track");
    o.out = dir.file("view");
    velmora::scene::Scene s(o);
    EXPECT_EQ(header_of(s.full())["series"]["file"], kNames[0]);
    const Json last = header_of(s.set({{"series", "volume", static_cast<int>(kNames.size()) - 1}}));
    EXPECT_EQ(last["series"]["file"], kNames.back());
    const auto texts = last["layers"]["centres"]["texts"];
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0].get<std::string>().rfind("track ", 0), 0u) << texts;
    vhost::host().reset();

    // A watcher over the same files, stopped after three and started again.
    vtest::Capture messages;
    fs::create_directories(dir.file("arriving"));
    {
        velmora::realtime::Watcher w(vtest::watch_options(dir.file("arriving"), dir.file("watch")), messages.stream());
        for (std::size_t k = 0; k < 3; ++k) fs::copy(volumes[k], dir.file("arriving/" + kNames[k]));
        vtest::run_watcher(w);
    }
    for (std::size_t k = 3; k < kNames.size(); ++k) fs::copy(volumes[k], dir.file("arriving/" + kNames[k]));
    {
        velmora::realtime::Watcher again(vtest::watch_options(dir.file("arriving"), dir.file("watch")), messages.stream());
        vtest::run_watcher(again);
    }
    expect_names_kept(dir.file("watch"));
    EXPECT_EQ(velmora::read_table(dir.file("watch/volumes.csv")).rows,
              velmora::read_table(dir.file("track/volumes.csv")).rows) << messages.text();
}

}  // namespace
