// The console's event: vertical sections cut through a grid (trilinear at
// the grid's spacing, clipped to it, NaN beside missing nodes), the line
// along a cell's motion, the watcher's state from the kernel's locks, and
// the event of a track folder and of a watch database, read without writing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>

#include "realtime/state_store.h"
#include "scene/event.h"
#include "temp_files.h"

namespace {

using namespace velmora::scene;
using velmora::Json;

// 11 x 9 x 6 nodes, 1 km apart across, 0.5 km up, from (-5, -4, 0); the
// field 20 + x + 2 y + 4 z, which trilinear interpolation reproduces.
struct Grid {
    velmora::Volume v;
    std::vector<float> values;
    Grid() {
        for (int i = 0; i < 11; ++i) v.x.push_back(-5.0f + i);
        for (int j = 0; j < 9; ++j) v.y.push_back(-4.0f + j);
        for (int k = 0; k < 6; ++k) v.z.push_back(0.5f * k);
        for (float z : v.z)
            for (float y : v.y)
                for (float x : v.x) values.push_back(20.0f + x + 2 * y + 4 * z);
    }
};

TEST(Sections, SampleTheFieldAtTheGridSpacingAlongTheLineClippedToTheGrid) {
    Grid g;
    // From outside the grid on the west across it diagonally to beyond its north-east corner.
    const Section s = cut_section(g.v, g.values, {-9, -6}, {9, 6});
    EXPECT_DOUBLE_EQ(s.step_km, 1.0);
    const double length = std::hypot(s.to[0] - s.from[0], s.to[1] - s.from[1]);
    EXPECT_EQ(s.samples, static_cast<std::size_t>(std::floor(length)) + 1);
    EXPECT_NEAR(s.from[0], -5, 1e-9);   // enters at the western edge
    EXPECT_NEAR(s.to[0], 5, 1e-9);      // leaves at the eastern one (y = 10/3 within the grid)
    ASSERT_EQ(s.z_km, g.v.z);
    ASSERT_EQ(s.values.size(), s.samples * g.v.z.size());
    const double ux = (s.to[0] - s.from[0]) / length, uy = (s.to[1] - s.from[1]) / length;
    for (std::size_t k = 0; k < g.v.z.size(); ++k)
        for (std::size_t i = 0; i < s.samples; ++i) {
            const double x = s.from[0] + i * ux, y = s.from[1] + i * uy;
            EXPECT_NEAR(s.values[i + s.samples * k], 20 + x + 2 * y + 4 * g.v.z[k], 1e-4) << i << ", " << k;
        }
}

TEST(Sections, MissingNodesLeaveNoValueAndBadLinesAreRefused) {
    Grid g;
    g.v.has_null = true;
    g.v.null_value = -9999.0f;
    g.values[5 + 11 * 4] = -9999.0f;   // the node (0, 0, 0)
    const Section s = cut_section(g.v, g.values, {-5, 0}, {5, 0});
    EXPECT_TRUE(std::isnan(s.values[5]));       // on the node itself
    EXPECT_TRUE(std::isfinite(s.values[3]));
    EXPECT_TRUE(std::isfinite(s.values[5 + s.samples]));   // the level above
    EXPECT_THROW(cut_section(g.v, g.values, {1, 1}, {1, 1}), std::invalid_argument);
    EXPECT_THROW(cut_section(g.v, g.values, {20, 20}, {30, 25}), std::invalid_argument);
    // Along a cell's motion, edge to edge; east where it has none.
    const auto line = line_across(g.v, {1, 1}, {0, 3});
    EXPECT_NEAR(line[0][1], -4, 1e-9);
    EXPECT_NEAR(line[1][1], 4, 1e-9);
    EXPECT_NEAR(line[0][0], 1, 1e-9);
    const auto still = line_across(g.v, {1, 1}, {0, 0});
    EXPECT_NEAR(still[0][0], -5, 1e-9);
    EXPECT_NEAR(still[1][0], 5, 1e-9);
}

TEST(Event, TheWatcherRunsWhileItHoldsTheLock) {
    vtest::TempDir dir;
    EXPECT_FALSE(watcher_state(dir.path().string()).running);   // no lock file
    dir.write("watch.lock", "");
    EXPECT_FALSE(watcher_state(dir.path().string()).running);
    const int fd = ::open(dir.file("watch.lock").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const WatcherState held = watcher_state(dir.path().string());
    EXPECT_TRUE(held.running);
    EXPECT_EQ(held.pid, ::getpid());
    // Another file's lock is not the watcher's.
    dir.write("other.lock", "");
    EXPECT_FALSE(watcher_state((dir.path() / "nothing").string()).running);
    ::close(fd);
    EXPECT_FALSE(watcher_state(dir.path().string()).running);
}

TEST(Event, ATrackFolderGivesItsCellsWithTheirTrends) {
    vtest::TempDir dir;
    EXPECT_THROW(Event(dir.path().string(), {}), std::runtime_error);
    dir.write("volumes.csv",
              "volume,time,cells,folder,echo_u_ms,echo_v_ms\n"
              "a,2006-01-20T00:00:00Z,2,volumes/a,0,0\nb,2006-01-20T00:05:00Z,1,volumes/b,0,0\n"
              "c,2006-01-20T00:10:00Z,1,volumes/c,0,0\n");
    dir.write("tracks.csv",
              "track,time,cell,x_km,y_km,z_km,voxels,volume_km3,top_km,max_dbz,u_ms,v_ms,parent,event,source,vil_kg_m2\n"
              "1,2006-01-20T00:00:00Z,1,0,0,1,10,100,8,50,5,0,0,start,a,10\n"
              "2,2006-01-20T00:00:00Z,2,9,9,1,10,100,8,40,,,0,start,a,\n"
              "1,2006-01-20T00:05:00Z,1,1,0,1,10,100,9,52,5,0,0,continue,b,12\n"
              "1,2006-01-20T00:10:00Z,1,2,0,1,10,100,8.2,60,5,0,0,continue,c,9\n");
    Event e(dir.path().string(), {});
    ASSERT_EQ(e.volumes().size(), 3u);
    EXPECT_DOUBLE_EQ(e.volumes()[1].time - e.volumes()[0].time, 300.0);
    EXPECT_EQ(e.volumes()[2].folder, "c");
    const Json s = e.summary();
    EXPECT_EQ(s["kind"], "track");
    // The summary holds the newest volume's cells only.
    ASSERT_EQ(s["cells"]["rows"].size(), 1u);
    const Json& last = s["cells"]["rows"][0];
    EXPECT_EQ(last[0], 2);      // volume c
    EXPECT_EQ(last[1], 1);      // track 1
    EXPECT_EQ(last[5], 60.0);   // max_dbz
    EXPECT_TRUE(last[8].is_null());   // no MESH column
    // Over the last three volumes: max dBZ 50 -> 60 rising, top 8 -> 8.2 steady, VIL 10 -> 9 falling.
    EXPECT_EQ(s["trends"]["rows"][0].get<std::string>().substr(0, 3), "+=-");
    const Json first = e.cells(0);
    ASSERT_EQ(first["cells"]["rows"].size(), 2u);
    EXPECT_TRUE(first["cells"]["rows"][1][12].is_null());   // track 2 without motion
    EXPECT_EQ(first["trends"]["rows"][0].get<std::string>()[0], '.');   // a first volume has no trend
    EXPECT_TRUE(e.cells(5)["cells"]["rows"].empty());
    // A track's history: each of its cells with its volume's time, oldest first.
    const Json one = e.track(1);
    ASSERT_EQ(one["cells"]["columns"][1], "time");
    ASSERT_EQ(one["cells"]["rows"].size(), 3u);
    EXPECT_DOUBLE_EQ(one["cells"]["rows"][2][1].get<double>(), e.volumes()[2].time);
    EXPECT_EQ(one["cells"]["rows"][1][6], 52.0);   // max_dbz at volume b
    EXPECT_EQ(e.track(2)["cells"]["rows"].size(), 1u);
    EXPECT_THROW(e.track(3), std::invalid_argument);
    EXPECT_FALSE(e.refresh());   // nothing changed
    EXPECT_THROW(e.plan(3), std::invalid_argument);
    // A volume without cells has no radar.vti: the grid of its polar volume is shown, named as its field.
    velmora::Volume g;
    g.x = {0, 1}, g.y = {0, 1}, g.z = {0.5, 1};
    g.values = {10, 20, 30, 40, 15, 25, 35, 45};
    g.name = "REF", g.units = "dBZ";
    std::filesystem::create_directories(dir.path() / "volumes" / "c");
    velmora::write_netcdf((dir.path() / "volumes" / "c" / "grid.nc").string(), g);
    // The plan's header holds the volume's cells and the lines of the tracks so far.
    const std::string pack = e.plan(2);
    ASSERT_GT(pack.size(), 8u);
    std::uint32_t length = 0;
    std::memcpy(&length, pack.data() + 4, 4);
    const Json h = Json::parse(pack.substr(8, length));
    ASSERT_EQ(h["cells"]["rows"].size(), 1u);
    EXPECT_EQ(h["cells"]["rows"][0][1], 1);
    ASSERT_EQ(h["tracks"].size(), 2u);
    EXPECT_EQ(h["tracks"][0]["track"], 1);
    EXPECT_EQ(h["tracks"][0]["xy"], Json({0.0, 0.0, 1.0, 0.0, 2.0, 0.0}));
    EXPECT_EQ(h["tracks"][1]["xy"], Json({9.0, 9.0}));
    EXPECT_THROW(e.plan(1), std::runtime_error);   // neither file
}

// A plan view draws the tracks' lines of the last volumes only: a page open
// through a long event holds the same.
TEST(Event, APlanHoldsTheTrackLinesOfItsLastVolumes) {
    vtest::TempDir dir;
    const std::size_t n = kTrackLineVolumes + 5;
    std::string volumes = "volume,time,cells,folder\n", tracks = "track,time,cell,x_km,y_km,max_dbz\n";
    for (std::size_t k = 0; k < n; ++k) {
        char time[32];
        std::snprintf(time, sizeof time, "2006-01-20T%02zu:%02zu:00Z", k / 12, 5 * (k % 12));
        volumes += "v" + std::to_string(k) + "," + time + ",1,volumes/v" + std::to_string(k) + "\n";
        tracks += std::string("1,") + time + ",1," + std::to_string(k) + ",0,50\n";
    }
    dir.write("volumes.csv", volumes);
    dir.write("tracks.csv", tracks);
    velmora::Volume g;
    g.x = {0, 1}, g.y = {0, 1}, g.z = {0.5, 1};
    g.values = {10, 20, 30, 40, 15, 25, 35, 45};
    std::filesystem::create_directories(dir.path() / "volumes" / ("v" + std::to_string(n - 1)));
    velmora::write_netcdf((dir.path() / "volumes" / ("v" + std::to_string(n - 1)) / "grid.nc").string(), g);
    Event e(dir.path().string(), {});
    const std::string pack = e.plan(n - 1);
    std::uint32_t length = 0;
    std::memcpy(&length, pack.data() + 4, 4);
    const Json h = Json::parse(pack.substr(8, length));
    ASSERT_EQ(h["tracks"].size(), 1u);
    const Json& xy = h["tracks"][0]["xy"];
    ASSERT_EQ(xy.size(), 2 * kTrackLineVolumes);
    EXPECT_EQ(xy[0], static_cast<double>(n - kTrackLineVolumes));   // the first x of the window
    EXPECT_EQ(xy[xy.size() - 2], static_cast<double>(n - 1));
    EXPECT_EQ(e.track(1)["cells"]["rows"].size(), n);   // the history itself is whole
}

// A page opened as a watcher starts: its database is there before its tables.
TEST(Event, AWatchDatabaseWithoutItsTablesYetHasNoVolumeYet) {
    vtest::TempDir dir;
    dir.write("watch.db", "");
    Event e(dir.path().string(), {});
    EXPECT_TRUE(e.volumes().empty());
    EXPECT_EQ(e.summary()["volumes"], Json::array());
    velmora::realtime::StateStore store(dir.file("watch.db"));
    store.add_volume("v1", "v1", 1.1e9);
    EXPECT_TRUE(e.refresh());
    ASSERT_EQ(e.volumes().size(), 1u);
    EXPECT_EQ(e.volumes()[0].name, "v1");
}

TEST(Event, AWatchDatabaseIsReadWithoutWritingIt) {
    vtest::TempDir dir;
    {
        velmora::realtime::StateStore store(dir.file("watch.db"));
        store.add_volume("v1", "v1", 1.1e9);
        store.set_meta("tracks_header", "track,time,cell,x_km,y_km,max_dbz");
    }
    auto listing = [&] {
        std::map<std::string, std::pair<std::uintmax_t, std::filesystem::file_time_type>> files;
        for (const auto& f : std::filesystem::directory_iterator(dir.path())) files[f.path().filename()] = {f.file_size(), f.last_write_time()};
        return files;
    };
    const auto before = listing();
    Event e(dir.path().string(), {});
    ASSERT_EQ(e.volumes().size(), 1u);
    EXPECT_EQ(e.volumes()[0].name, "v1");
    EXPECT_EQ(e.summary()["kind"], "watch");
    EXPECT_FALSE(e.refresh());
    EXPECT_THROW(e.section(0, {0, 0}, {1, 1}), std::runtime_error);   // v1 has no radar.vti
    // A watcher that ended cleanly left no log: nothing is made beside its database.
    EXPECT_EQ(listing(), before);
    // A volume a watcher records meanwhile is seen.
    velmora::realtime::StateStore store(dir.file("watch.db"));
    store.add_volume("v2", "v2", 1.1e9 + 300);
    EXPECT_TRUE(e.refresh());
    ASSERT_EQ(e.volumes().size(), 2u);
    EXPECT_EQ(e.volumes()[1].name, "v2");
    EXPECT_FALSE(e.refresh());
    store.add_volume("v3", "v3", 1.1e9 + 600);
    EXPECT_TRUE(e.refresh());
    EXPECT_EQ(e.volumes().size(), 3u);
}

}  // namespace
