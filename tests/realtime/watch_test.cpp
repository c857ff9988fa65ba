// velmora watch over folders of volumes: the series tracked, forecast and verified as track and verify do it,
// restarts, a second watcher, late volumes, failures, and the files that must not be read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app_test.h"
#include "io/table.h"
#include "realtime/track_folder.h"
#include "watch_support.h"

namespace {

namespace fs = std::filesystem;
using velmora::realtime::VolumeOutcome;
using State = VolumeOutcome::State;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The first n fields of a CSV line.
std::string first_fields(const std::string& line, std::size_t n) {
    std::size_t at = 0;
    for (std::size_t k = 0; k < n && at != std::string::npos; ++k) at = line.find(',', at + 1);
    return line.substr(0, at);
}

std::size_t count(const std::vector<VolumeOutcome>& v, State s) {
    return static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [&](const VolumeOutcome& o) { return o.state == s; }));
}

TEST(WatchTest, TheSeriesIsTrackedForecastAndVerifiedAsTrackAndVerifyDoIt) {
    vtest::TempDir dir;
    const auto paths = vtest::write_series(dir.file("in"), 9);
    vtest::Capture messages;
    const auto done = vtest::watch_once(vtest::watch_options(dir.file("in"), dir.file("out")), messages);
    ASSERT_EQ(count(done, State::Done), 9u) << messages.text();
    EXPECT_EQ(messages.text(), "");
    std::vector<std::string> args{"track"};
    args.insert(args.end(), paths.begin(), paths.end());
    args.insert(args.end(), {"--out", dir.file("track"), "--no-picture"});
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(vtest::cli(args), 0);
    ASSERT_EQ(vtest::cli({"verify", dir.file("track"), "--out", dir.file("verify.csv")}), 0);
    ::testing::internal::GetCapturedStdout();
    // tracks.csv: the track's own columns and the properties as velmora track writes them, then the forecasts.
    const auto watched = lines_of(vtest::TempDir::read(dir.file("out/tracks.csv")));
    const auto tracked = lines_of(vtest::TempDir::read(dir.file("track/tracks.csv")));
    ASSERT_EQ(watched.size(), tracked.size());
    EXPECT_NE(watched[0].find(",x_10min_km,y_10min_km,area_10min_km2,"), std::string::npos) << watched[0];
    for (std::size_t k = 0; k < tracked.size(); ++k) EXPECT_EQ(watched[k].rfind(tracked[k] + ",", 0), 0u) << k;
    EXPECT_EQ(vtest::TempDir::read(dir.file("out/volumes.csv")), vtest::TempDir::read(dir.file("track/volumes.csv")));
    // verify.csv: the same counts as velmora verify (its centres come rounded from tracks.csv).
    const auto as_watched = lines_of(vtest::TempDir::read(dir.file("out/verify.csv")));
    const auto as_verified = lines_of(vtest::TempDir::read(dir.file("verify.csv")));
    ASSERT_EQ(as_watched.size(), 16u);
    for (std::size_t k = 0; k < as_watched.size(); ++k)
        EXPECT_EQ(first_fields(as_watched[k], 9), first_fields(as_verified[k], 9)) << k;
    // Per volume: the forecasts, and latest.json naming the newest volume's.
    const velmora::Table volumes = velmora::read_table(dir.file("out/volumes.csv"));
    ASSERT_EQ(volumes.rows.size(), 9u);
    const auto cells = volumes.integer(4, "cells");   // series_004's
    EXPECT_EQ(velmora::read_table(dir.file("out/volumes/series_004/forecast.csv")).rows.size(),
              static_cast<std::size_t>(5 * cells));
    EXPECT_NE(vtest::TempDir::read(dir.file("out/volumes/series_004/forecast.geojson")).find("\"MultiPolygon\""),
              std::string::npos);
    const std::string latest = vtest::TempDir::read(dir.file("out/latest.json"));
    EXPECT_NE(latest.find("\"volume\": \"series_008.nc\""), std::string::npos) << latest;
    EXPECT_NE(latest.find("\"forecast.csv\": \"volumes/series_008/forecast.csv\""), std::string::npos) << latest;
}

TEST(WatchTest, ARestartGoesOnWhereTheLastWatcherStopped) {
    vtest::TempDir dir;
    const auto paths = vtest::write_series(dir.file("all"), 8);
    fs::create_directories(dir.file("in"));
    vtest::Capture messages;
    {
        velmora::realtime::Watcher w(vtest::watch_options(dir.file("in"), dir.file("out")), messages.stream());
        for (std::size_t k = 0; k < 4; ++k) fs::copy(paths[k], dir.file("in"));
        EXPECT_EQ(count(vtest::run_watcher(w), State::Done), 4u);
    }
    for (std::size_t k = 4; k < 8; ++k) fs::copy(paths[k], dir.file("in"));
    velmora::realtime::Watcher again(vtest::watch_options(dir.file("in"), dir.file("out")), messages.stream());
    EXPECT_EQ(again.volumes(), 4u);
    EXPECT_EQ(count(vtest::run_watcher(again), State::Done), 4u);
    const auto whole = vtest::watch_once(vtest::watch_options(dir.file("all"), dir.file("whole")), messages);
    for (const char* f : {"tracks.csv", "verify.csv", "volumes.csv", "volumes/series_007/forecast.csv"})
        EXPECT_EQ(vtest::TempDir::read(dir.file(std::string("out/") + f)), vtest::TempDir::read(dir.file(std::string("whole/") + f))) << f;
}

// The hail levels as analyze and track take them: the same columns and hail swath, a sounding read once (one that
// cannot be used refuses the watcher), and a folder keeps its levels.
TEST(WatchTest, HailLevelsGiveTheHailOfEachCellAsTrackWritesIt) {
    vtest::TempDir dir;
    const auto paths = vtest::write_series(dir.file("in"), 3);
    vtest::Capture messages;
    auto o = vtest::watch_options(dir.file("in"), dir.file("out"));
    o.analysis.freezing_level_km = 2.0;
    o.analysis.minus20_level_km = 4.0;
    ASSERT_EQ(count(vtest::watch_once(o, messages), State::Done), 3u) << messages.text();
    std::vector<std::string> args{"track"};
    args.insert(args.end(), paths.begin(), paths.end());
    args.insert(args.end(), {"--out", dir.file("track"), "--no-picture", "--freezing-level", "2", "--minus20-level", "4"});
    ASSERT_EQ(vtest::cli_printed(args).status, 0);
    const auto watched = lines_of(vtest::TempDir::read(dir.file("out/tracks.csv")));
    const auto tracked = lines_of(vtest::TempDir::read(dir.file("track/tracks.csv")));
    ASSERT_EQ(watched.size(), tracked.size());
    EXPECT_NE(watched[0].find(",shi,mesh_mm,mesh75_mm,mesh95_mm,posh_pct,poh_pct,"), std::string::npos) << watched[0];
    for (std::size_t k = 0; k < tracked.size(); ++k) EXPECT_EQ(watched[k].rfind(tracked[k] + ",", 0), 0u) << k;
    for (const char* f : {"volumes/series_002/mesh.nc", "hail_swath.nc"})
        EXPECT_EQ(vtest::TempDir::read(dir.file(std::string("out/") + f)), vtest::TempDir::read(dir.file(std::string("track/") + f)))
            << f;
    // The same levels from a sounding: the same folder goes on; other levels are refused.
    dir.write("sounding.csv", "height_m,temperature_c\n0,12\n2000,0\n4000,-20\n9000,-50\n");
    auto sounding = vtest::watch_options(dir.file("in"), dir.file("out"));
    sounding.analysis.sounding = dir.file("sounding.csv");
    { velmora::realtime::Watcher w(sounding, messages.stream()); }
    o.analysis.minus20_level_km = 5.0;
    EXPECT_NE(vtest::error_of<std::runtime_error>([&] { velmora::realtime::Watcher w(o, messages.stream()); })
                  .find("was made by velmora watch with other options"),
              std::string::npos);
    dir.write("warm.csv", "height_m,temperature_c\n0,30\n9000,5\n");
    sounding.analysis.sounding = dir.file("warm.csv");
    sounding.out = dir.file("out2");
    EXPECT_NE(vtest::error_of<std::exception>([&] { velmora::realtime::Watcher w(sounding, messages.stream()); })
                  .find("warm.csv"),
              std::string::npos);
}

TEST(WatchTest, ASecondWatcherAndOtherOptionsAreRefused) {
    vtest::TempDir dir;
    vtest::write_series(dir.file("in"), 2);
    vtest::Capture messages;
    velmora::realtime::Watcher first(vtest::watch_options(dir.file("in"), dir.file("out")), messages.stream());
    const std::string second = vtest::error_of<std::runtime_error>(
        [&] { velmora::realtime::Watcher(vtest::watch_options(dir.file("in"), dir.file("out")), messages.stream()); });
    EXPECT_NE(second.find("is already watched by another velmora watch (process " + std::to_string(::getpid()) + "): one "
                          "watcher per output folder"), std::string::npos) << second;
    auto other = vtest::watch_options(dir.file("in"), dir.file("out2"));
    { velmora::realtime::Watcher w(other, messages.stream()); }
    other.analysis.level = 35;
    EXPECT_NE(vtest::error_of<std::runtime_error>([&] { velmora::realtime::Watcher w(other, messages.stream()); })
                  .find("was made by velmora watch with other options or another folder"),
              std::string::npos);
    EXPECT_EQ(vtest::error_of<std::runtime_error>(
                  [&] { velmora::realtime::Watcher(vtest::watch_options(dir.file("in"), dir.file("in")), messages.stream()); }),
              dir.file("in") + " is the watched folder: the results need a folder of their own");
    // The command says so with status 2.
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vtest::cli({"watch", dir.file("in"), "--out", dir.file("out"), "--once"}), 2);
    ::testing::internal::GetCapturedStdout();
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("is already watched"), std::string::npos);
}

// Volumes 0..6 given one at a time, 4 after 5 and 6 (two late: within the window) and 2 after all (outside it).
TEST(WatchTest, LateVolumesAreLinkedInOrderOrSkipped) {
    vtest::TempDir dir;
    const auto paths = vtest::write_series(dir.file("all"), 7);
    vtest::Capture messages;
    vtest::watch_once(vtest::watch_options(dir.file("all"), dir.file("in-order")), messages);
    fs::create_directories(dir.file("in"));
    velmora::realtime::Watcher w(vtest::watch_options(dir.file("in"), dir.file("out")), messages.stream());
    std::vector<VolumeOutcome> all;
    for (const int k : {0, 1, 3, 5, 6, 4}) {
        fs::copy(paths[static_cast<std::size_t>(k)], dir.file("in"));
        for (auto& v : vtest::run_watcher(w)) all.push_back(v);
    }
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all.back().relinked, 2u);
    fs::copy(paths[2], dir.file("in"));
    const auto late = vtest::run_watcher(w);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].state, State::Skipped);
    EXPECT_EQ(late[0].reason, "it is older than the 2 volumes of the reorder window (4 newer volumes are in, the newest "
                              "series_006.nc)");
    EXPECT_NE(messages.text().find("velmora watch: series_002.nc skipped: it is older than"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.file("out/volumes/series_002")));
    // Without volume 2 the series is the one made in order without it.
    fs::remove(dir.file("all/series_002.nc"));
    vtest::watch_once(vtest::watch_options(dir.file("all"), dir.file("without")), messages);
    for (const char* f : {"tracks.csv", "verify.csv", "volumes.csv", "volumes/series_004/forecast.csv"})
        EXPECT_EQ(vtest::TempDir::read(dir.file(std::string("out/") + f)), vtest::TempDir::read(dir.file(std::string("without/") + f))) << f;
}

TEST(WatchTest, AVolumeThatFailsIsRecordedAndNotTriedForever) {
    vtest::TempDir dir;
    fs::create_directories(dir.file("in"));
    dir.write("in/bad.nc", "CDF\x01 but nothing a radar wrote");
    vtest::Capture messages;
    auto o = vtest::watch_options(dir.file("in"), dir.file("out"));
    velmora::realtime::Watcher w(o, messages.stream());
    const auto first = vtest::run_watcher(w);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].state, State::Failed);
    EXPECT_NE(messages.text().find("velmora watch: bad.nc failed: "), std::string::npos) << messages.text();
    EXPECT_TRUE(vtest::run_watcher(w).empty());   // unchanged: not again
    for (int k = 0; k < 3; ++k) {
        std::ofstream(dir.file("in/bad.nc"), std::ios::app) << k;   // changed: once more, up to 3 times in all
        EXPECT_EQ(vtest::run_watcher(w).size(), k < 2 ? 1u : 0u) << k;
    }
    EXPECT_FALSE(fs::exists(dir.file("out/volumes/bad")));
}

TEST(WatchTest, OnlyCompleteRegularFilesOfTheFolderAreRead) {
    vtest::TempDir dir;
    const auto paths = vtest::write_series(dir.file("all"), 3);
    fs::create_directories(dir.file("in"));
    for (const char* name : {".series.nc", "series.nc.tmp", "series.nc.part", "SERIES.NC.PART"})
        fs::copy(paths[0], dir.file(std::string("in/") + name));
    ASSERT_EQ(::mkfifo(dir.file("in/fifo.nc").c_str(), 0644), 0);
    // A device (/dev/null's numbers) where this user may make one.
    const bool device = ::mknod(dir.file("in/device.nc").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
    fs::create_symlink(paths[1], dir.file("in/outside.nc"));
    fs::copy(paths[2], dir.file("in/series_002.nc"));
    fs::copy(paths[1], dir.file("in/.series_001.nc"));   // not read itself, but through a link within the folder
    fs::create_symlink(dir.file("in/.series_001.nc"), dir.file("in/inside.nc"));
    // Half of a NetCDF-4 (HDF5) file: waited for, read once it is whole.
    const std::string whole = vtest::TempDir::read(paths[0]);
    dir.write("in/series_000.nc", whole.substr(0, whole.size() / 2));
    vtest::Capture messages;
    velmora::realtime::Watcher w(vtest::watch_options(dir.file("in"), dir.file("out")), messages.stream());
    const auto first = vtest::run_watcher(w);
    const std::string said = messages.text();
    EXPECT_NE(said.find("velmora watch: fifo.nc refused: a FIFO, not a regular file: not read"), std::string::npos) << said;
    EXPECT_NE(said.find("velmora watch: outside.nc refused: a link out of the folder (to " + fs::canonical(paths[1]).string() +
                        "): not read"), std::string::npos) << said;
    EXPECT_NE(said.find("velmora watch: series_000.nc is not complete yet (it ends at byte"), std::string::npos) << said;
    EXPECT_EQ(count(first, State::Done), 2u);   // series_002.nc and the link within the folder
    EXPECT_EQ(count(first, State::Refused), device ? 3u : 2u);
    if (device) {
        EXPECT_NE(said.find("velmora watch: device.nc refused: a character device, not a regular file: not read"),
                  std::string::npos) << said;
    }
    EXPECT_EQ(count(first, State::Waiting), 1u);
    dir.write("in/series_000.nc", whole);
    const auto second = vtest::run_watcher(w);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].name, "series_000.nc");
    EXPECT_EQ(second[0].state, State::Done);
    EXPECT_TRUE(vtest::run_watcher(w).empty());
}

}  // namespace
