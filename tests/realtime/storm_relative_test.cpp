// The storm-relative velocity of a track folder's volume: its velocity.nc
// less the motion of its tracked cells, read from tracks.csv.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "app_test.h"
#include "polar/velocity.h"
#include "realtime/storm_relative.h"
#include "temp_files.h"

namespace {

using namespace velmora;

// A still grid (0 m/s everywhere) 30 km about the radar, at 0.5 and 1 km, in dir/volumes/name/velocity.nc.
void still_velocity(const vtest::TempDir& dir, const std::string& name) {
    Volume g;
    for (int i = -30; i <= 30; i += 2) g.x.push_back(static_cast<float>(i)), g.y.push_back(static_cast<float>(i));
    g.z = {0.5f, 1.0f};
    g.values.assign(g.x.size() * g.y.size() * 2, 0.0f);
    std::filesystem::create_directories(dir.path() / "t/volumes" / name);
    polar::write_velocity_grid((dir.path() / "t/volumes" / name / "velocity.nc").string(), polar::VelocityGrid{g, 0, 0});
}

float at(const Volume& v, float x, float y) {
    const auto i = static_cast<std::size_t>(std::find(v.x.begin(), v.x.end(), x) - v.x.begin());
    const auto j = static_cast<std::size_t>(std::find(v.y.begin(), v.y.end(), y) - v.y.begin());
    return v.values[i + v.x.size() * j];
}

// Two volumes: track 1 begins in the first at 10 km east and moves east at
// 5 m/s into the second, where track 2 (20 km west, 20 km north) moves west
// at 1 m/s. A third volume has no velocity.
TEST(StormRelativeFolder, TheVolumesCellsMotionsWhereTheyAreTheirMeanElsewhere) {
    vtest::TempDir dir;
    still_velocity(dir, "a");
    still_velocity(dir, "b");
    std::filesystem::create_directories(dir.path() / "t/volumes/c");
    dir.write("t/volumes.csv", "volume,time,cells,folder,echo_u_ms,echo_v_ms\n"
                               "a.h5,2026-01-01T00:00:00Z,1,a,,\nb.h5,2026-01-01T00:05:00Z,2,b,3,3\n"
                               "c.h5,2026-01-01T00:10:00Z,0,c,,\n");
    dir.write("t/tracks.csv", "track,time,cell,x_km,y_km,u_ms,v_ms,source,area_km2\n"
                              "1,2026-01-01T00:00:00Z,1,10,0,,,a.h5,28.27\n"
                              "1,2026-01-01T00:05:00Z,1,12,0,5,0,b.h5,28.27\n"
                              "2,2026-01-01T00:05:00Z,2,-20,20,-1,0,b.h5,3\n");
    const std::string t = dir.file("t");
    // The first volume: its cell at its track's start takes the motion into the next.
    const auto a = realtime::storm_relative_volume(t, 0);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->name, realtime::kStormRelative);
    EXPECT_NEAR(at(*a, 10, 0), -5, 0.01) << "5 m/s east, away from the radar east of it";
    EXPECT_NEAR(at(*a, -10, 0), 5, 0.01) << "the background, the same one cell's motion";
    // The second: each cell its own motion (a radius of 3 km, of 28.27 km2), the mean of both elsewhere.
    const auto b = realtime::storm_relative_volume(t, 1);
    ASSERT_TRUE(b);
    EXPECT_NEAR(at(*b, 12, 0), -5, 0.01);
    EXPECT_NEAR(at(*b, 14, 0), -5, 0.01);
    EXPECT_NEAR(at(*b, -20, 20), -1 / std::sqrt(2.0), 0.01) << "1 m/s west, north-west of the radar";
    EXPECT_NEAR(at(*b, -20, 0), 2, 0.01) << "the mean motion, 2 m/s east, toward a gate west of the radar";
    EXPECT_NEAR(at(*b, 0, 20), 0, 0.01);
    EXPECT_FALSE(realtime::storm_relative_volume(t, 2)) << "no velocity.nc";
    // By its folder: the same.
    const auto by_folder = realtime::storm_relative_volume(t, std::string("b"));
    ASSERT_TRUE(by_folder);
    EXPECT_EQ(at(*by_folder, -20, 0), at(*b, -20, 0));
    EXPECT_EQ(vtest::error_of<std::runtime_error>([&] { realtime::storm_relative_volume(t, std::string("d")); }),
              t + "/volumes.csv lists no volume in the folder \"d\"");
    EXPECT_EQ(vtest::error_of<std::runtime_error>([&] { realtime::storm_relative_volume(t, 3); }), t + " has no volume 3 (3 volumes)");
    dir.write("t/volumes.csv", "volume,time,cells,folder\na.h5,,1,../a\n");
    EXPECT_EQ(vtest::error_of<std::runtime_error>([&] { realtime::storm_relative_volume(t, 0); }),
              t + "/volumes.csv names a folder outside volumes/: \"../a\"");
}

TEST(StormRelativeFolder, NoMotionKnownNoStormRelativeVelocity) {
    Table tracks = parse_table("track,time,cell,x_km,y_km,u_ms,v_ms,source\n1,,1,0,0,,,a.h5\n", "tracks.csv");
    EXPECT_FALSE(realtime::volume_motion(tracks, "a.h5", ""));
    const auto echo = realtime::volume_motion(tracks, "a.h5", "", polar::Wind{4, 1});
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->background().u, 4);
    EXPECT_TRUE(echo->cells().empty());
}

}  // namespace
