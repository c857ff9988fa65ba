// velmora track on a synthetic series: the table users open, and series that cannot be tracked.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "app_test.h"
#include "io/volume.h"

namespace {

// Given out of order: the volumes' times put them right.
TEST(TrackCommandTest, ASeriesIsTrackedIntoATableOfCellsOverTimeOrRefused) {
    vtest::TempDir dir;
    const std::string series = dir.file("series"), out = dir.file("tracks");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(vtest::cli({"synth", "--series", "4", series}), 0);
    ASSERT_EQ(vtest::cli({"track", series + "/series_002.nc", series + "/series_000.nc", series + "/series_003.nc",
                          series + "/series_001.nc", "--out", out, "--no-picture"}), 0);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find(" in 4 volumes (1 splits, "), std::string::npos) << printed;
    std::vector<std::string> rows;
    std::istringstream csv(vtest::TempDir::read(out + "/tracks.csv"));
    for (std::string l; std::getline(csv, l);) rows.push_back(l);
    ASSERT_GE(rows.size(), 19u);
    // The track's own columns, then the cells' other properties.
    EXPECT_EQ(rows[0].rfind("track,time,cell,x_km,y_km,z_km,voxels,volume_km3,top_km,max_dbz,u_ms,v_ms,parent,event,"
                            "source,area_km2,base_km,echo_top_18_km,", 0), 0u) << rows[0];
    EXPECT_NE(rows[0].find(",vil_kg_m2,mass_kt,tilt_deg,tilt_dir_deg"), std::string::npos) << rows[0];
    EXPECT_EQ(rows[1].rfind("1,2006-01-20T00:00:00Z,1,", 0), 0u) << rows[1];
    // The fast cell, track 1: 7.5 km east and 2.4 km north in 5 minutes, 25 and 8 m/s.
    const auto fast = std::find_if(rows.begin(), rows.end(), [](const std::string& r) {
        return r.rfind("1,", 0) == 0 && r.find(",continue,series_001.nc") != std::string::npos;
    });
    ASSERT_NE(fast, rows.end());
    std::istringstream fields(*fast);
    std::vector<std::string> f;
    for (std::string c; std::getline(fields, c, ',');) f.push_back(c);
    ASSERT_GE(f.size(), 15u);
    EXPECT_NEAR(std::stod(f[10]), 25.0, 0.5);
    EXPECT_NEAR(std::stod(f[11]), 8.0, 0.5);
    EXPECT_TRUE(std::filesystem::exists(out + "/tracks.vtp"));
    EXPECT_TRUE(std::filesystem::exists(out + "/volumes/series_000/cells.csv"));
    // Volumes of another grid, or of the same time, cannot be tracked.
    velmora::write_netcdf(dir.file("other.nc"), velmora::synthetic_scene());
    for (const auto& [other, says] : {std::pair{dir.file("other.nc"), "lies on another grid than"},
                                      std::pair{series + "/series_000.nc", "are of the same time"}}) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(vtest::cli({"track", series + "/series_000.nc", other, "--out", dir.file("t"), "--no-picture"}), 2);
        EXPECT_NE(::testing::internal::GetCapturedStderr().find(says), std::string::npos) << says;
    }
}

// A finished track folder verified afterwards: the nowcast's table, its CSV, and folders that cannot be verified.
TEST(TrackCommandTest, AFinishedSeriesIsVerified) {
    vtest::TempDir dir;
    const std::string series = dir.file("series"), out = dir.file("tracks");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(vtest::cli({"synth", "--series", "10", series}), 0);
    std::vector<std::string> volumes;
    for (int k = 0; k < 10; ++k) volumes.push_back(series + "/series_00" + std::to_string(k) + ".nc");
    std::vector<std::string> args{"track"};
    args.insert(args.end(), volumes.begin(), volumes.end());
    args.insert(args.end(), {"--out", out, "--no-picture"});
    ASSERT_EQ(vtest::cli(args), 0);
    ASSERT_EQ(vtest::cli({"verify", out, "--leads", "10,30", "--out", dir.file("verify.csv")}), 0);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("lead min  method      volumes    POD    FAR    CSI  centre error km"), std::string::npos);
    std::istringstream csv(vtest::TempDir::read(dir.file("verify.csv")));
    std::vector<std::vector<std::string>> rows;
    for (std::string l; std::getline(csv, l);) {
        std::istringstream fields(l);
        rows.emplace_back();
        for (std::string f; std::getline(fields, f, ',');) rows.back().push_back(f);
    }
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_EQ(rows[0][0], "lead_min");
    // At 30 minutes, 4 volumes are verified: the nowcast's CSI beats both persistence baselines.
    EXPECT_EQ(rows[4][0] + rows[4][1] + rows[4][2], "30nowcast4");
    EXPECT_GT(std::stod(rows[4][8]), std::stod(rows[5][8]) + 0.1);
    EXPECT_GT(std::stod(rows[4][8]), std::stod(rows[6][8]) + 0.1);
    std::filesystem::remove(out + "/volumes.csv");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vtest::cli({"verify", out}), 2);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("volumes.csv: cannot be read"), std::string::npos);
}

}  // namespace
