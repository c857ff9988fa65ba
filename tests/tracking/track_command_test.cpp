// velmora track on a synthetic series: the table users open, and series that cannot be tracked.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <algorithm>
#include <filesystem>
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
    // Volumes of another grid, or of the same time, cannot be tracked; nor can a volume whose time is in units
    // velmora does not read beside volumes with a time, which says so.
    velmora::write_netcdf(dir.file("other.nc"), velmora::synthetic_scene());
    const std::string odd = dir.file("fortnights.nc");
    std::filesystem::copy_file(series + "/series_001.nc", odd);
    int nc = -1, time = -1;
    ASSERT_EQ(nc_open(odd.c_str(), NC_WRITE, &nc), NC_NOERR);
    const std::string units = "fortnights since 2006-01-20";
    EXPECT_EQ(nc_inq_varid(nc, "time", &time), NC_NOERR);
    EXPECT_EQ(nc_redef(nc), NC_NOERR);
    EXPECT_EQ(nc_put_att_text(nc, time, "units", units.size(), units.c_str()), NC_NOERR);
    EXPECT_EQ(nc_close(nc), NC_NOERR);
    const std::string no_time = odd + " has no time (its time 1137715500 in units \"fortnights since 2006-01-20\" of "
                                      "calendar \"gregorian\" is no time velmora reads (seconds, minutes, hours or "
                                      "days since a date, on the Gregorian calendar)), " + series + "/series_000.nc has "
                                      "one: give volumes of one kind";
    for (const auto& [other, says] : {std::pair{dir.file("other.nc"), std::string("lies on another grid than")},
                                      std::pair{series + "/series_000.nc", std::string("are of the same time")},
                                      std::pair{odd, no_time}}) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(vtest::cli({"track", series + "/series_000.nc", other, "--out", dir.file("t"), "--no-picture"}), 2);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(printed.find(says), std::string::npos) << printed;
    }
}

}  // namespace
