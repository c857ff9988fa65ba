// velmora track on a synthetic series: the table users open, series that cannot be tracked, every volume's folder
// apart, and earlier results replaced only by a run that succeeded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <netcdf.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "app_test.h"
#include "child.h"
#include "io/volume.h"
#include "../polar/polar_files.h"

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
    velmora::write_netcdf(dir.file("other.nc"), velmora::synthetic_volume());
    const std::string odd = dir.file("fortnights.nc");
    int in = -1, nc = -1, vars = 0, time = -1;
    ASSERT_EQ(nc_open((series + "/series_001.nc").c_str(), NC_NOWRITE, &in), NC_NOERR);
    ASSERT_EQ(nc_create(odd.c_str(), NC_NETCDF4 | NC_CLOBBER, &nc), NC_NOERR);
    int dims = 0;
    EXPECT_EQ(nc_inq_ndims(in, &dims), NC_NOERR);
    for (int d = 0, id = 0; d < dims; ++d) {
        char name[NC_MAX_NAME + 1];
        std::size_t length = 0;
        EXPECT_EQ(nc_inq_dim(in, d, name, &length), NC_NOERR);
        EXPECT_EQ(nc_def_dim(nc, name, length, &id), NC_NOERR);
    }
    EXPECT_EQ(nc_inq_nvars(in, &vars), NC_NOERR);
    for (int var = 0; var < vars; ++var) EXPECT_EQ(nc_copy_var(in, var, nc), NC_NOERR);
    const std::string units = "fortnights since 2006-01-20";
    EXPECT_EQ(nc_inq_varid(nc, "time", &time), NC_NOERR);
    EXPECT_EQ(nc_put_att_text(nc, time, "units", units.size(), units.c_str()), NC_NOERR);
    EXPECT_EQ(nc_close(nc), NC_NOERR);
    EXPECT_EQ(nc_close(in), NC_NOERR);
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

// Files of the same stem, and one named as the second's numbered folder would be: each keeps a folder of its own.
TEST(TrackCommandTest, EveryVolumeKeepsItsFolderAndEarlierTracksStayUntilARunSucceeds) {
    namespace fs = std::filesystem;
    vtest::TempDir dir;
    const std::string series = dir.file("series"), out = dir.file("t");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(vtest::cli({"synth", "--series", "3", series}), 0);
    const std::vector<std::pair<std::string, std::string>> copies = {
        {"series_000.nc", "a/v.nc"}, {"series_001.nc", "b/v.nc"}, {"series_002.nc", "c/v-2.nc"}};
    std::vector<std::string> volumes;
    for (const auto& [from, to] : copies) {
        fs::create_directories(fs::path(dir.file(to)).parent_path());
        fs::copy_file(series + "/" + from, dir.file(to));
        volumes.push_back(dir.file(to));
    }
    std::vector<std::string> args{"track"};
    args.insert(args.end(), volumes.begin(), volumes.end());
    for (const char* a : {"--out", "", "--no-picture"}) args.push_back(*a ? a : out);
    ASSERT_EQ(vtest::cli(args), 0);
    const std::pair<const char*, std::string> folders[] = {{"v", volumes[0]}, {"v-3", volumes[1]}, {"v-2", volumes[2]}};
    for (const auto& [folder, volume] : folders) {
        const std::string network = vtest::TempDir::read(out + "/volumes/" + folder + "/network.json");
        EXPECT_NE(network.find("\"file\": \"" + volume + "\""), std::string::npos) << folder;
        EXPECT_TRUE(fs::exists(out + "/volumes/" + folder + "/cells.txt")) << folder;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(out + "/volumes"), fs::directory_iterator()), 3);
    // A volume's folder is velmora's, the table printed beside its results too: analyzed again in place.
    ASSERT_EQ(vtest::cli({"analyze", volumes[0], "--out", out + "/volumes/v", "--no-picture"}), 0);
    // A run that fails leaves the earlier tracks as they were.
    const std::string tracks = vtest::TempDir::read(out + "/tracks.csv");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vtest::cli({"track", volumes[0], dir.file("absent.nc"), "--out", out, "--no-picture"}), 2);
    ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(vtest::TempDir::read(out + "/tracks.csv"), tracks);
    EXPECT_TRUE(fs::exists(out + "/volumes/v-3/cells.csv"));
    // A FIFO among the volumes is refused without waiting for a writer.
    const std::string fifo = dir.file("pipe.nc");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto end =
        vtest::in_child([&] { return vtest::cli({"track", volumes[0], fifo, "--out", out, "--no-picture"}); }, 0, 20);
    EXPECT_TRUE(end.exited) << "killed by signal " << end.status;
    EXPECT_EQ(end.status, 2);
    EXPECT_NE(end.err.find("velmora analyze: " + fifo + ": not a regular file (a FIFO)\n"), std::string::npos) << end.err;
    EXPECT_EQ(vtest::TempDir::read(out + "/tracks.csv"), tracks);
}

// A plan-view product (y, x) of a NetCDF file.
std::vector<float> plan_of(const std::string& path, const char* var) {
    int nc = -1, id = -1, dims[2] = {-1, -1};
    EXPECT_EQ(nc_open(path.c_str(), NC_NOWRITE, &nc), NC_NOERR) << path;
    EXPECT_EQ(nc_inq_varid(nc, var, &id), NC_NOERR) << path;
    nc_inq_vardimid(nc, id, dims);
    std::size_t ny = 0, nx = 0;
    nc_inq_dimlen(nc, dims[0], &ny);
    nc_inq_dimlen(nc, dims[1], &nx);
    std::vector<float> v(ny * nx);
    EXPECT_EQ(nc_get_var_float(nc, id, v.data()), NC_NOERR);
    nc_close(nc);
    return v;
}

// The swath is the largest MESH each column saw: it covers every column a
// cell's hail passed over, and nothing else.
TEST(TrackCommandTest, HailLevelsGiveTheSwathAndEachTracksLargestMesh) {
    vtest::TempDir dir;
    const std::string series = dir.file("series"), out = dir.file("tracks");
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(vtest::cli({"synth", "--series", "4", series}), 0);
    ASSERT_EQ(vtest::cli({"track", series + "/series_000.nc", series + "/series_001.nc", series + "/series_002.nc",
                          series + "/series_003.nc", "--out", out, "--no-picture", "--freezing-level", "2",
                          "--minus20-level", "4"}), 0);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("largest MESH of each track:\n  track 1: "), std::string::npos) << printed;
    const std::vector<float> swath = plan_of(out + "/hail_swath.nc", "MESH_swath");
    std::vector<float> largest(swath.size(), 0.0f);
    std::vector<std::vector<float>> meshes;
    for (int i = 0; i < 4; ++i) {
        const auto mesh = plan_of(out + "/volumes/series_00" + std::to_string(i) + "/mesh.nc", "MESH");
        ASSERT_EQ(mesh.size(), swath.size());
        for (std::size_t c = 0; c < mesh.size(); ++c) largest[c] = std::max(largest[c], mesh[c]);
        meshes.push_back(mesh);
    }
    EXPECT_EQ(swath, largest);
    // The moving cells leave a trail: columns with hail in one volume only.
    std::size_t once = 0;
    for (std::size_t c = 0; c < swath.size(); ++c)
        once += swath[c] > 0 && std::count_if(meshes.begin(), meshes.end(), [c](const auto& m) { return m[c] > 0; }) == 1;
    EXPECT_GT(once, 0u);
    const std::string tracks = vtest::TempDir::read(out + "/tracks.csv");
    EXPECT_NE(tracks.find(",shi,mesh_mm,mesh75_mm,mesh95_mm,posh_pct,poh_pct,height_max_dbz_above_h0_km"),
              std::string::npos);
    EXPECT_EQ(vtest::TempDir::read(out + "/hail_tracks.csv").rfind("track,max_mesh_mm,time,source\n1,", 0), 0u);
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

// Three Belgian radars at 00:00 and two of them again at 00:05: one mosaic per time step, on one grid.
TEST(TrackCommandTest, ANetworksVolumesAreTrackedAsOneMosaicPerTimeStep) {
    namespace fs = std::filesystem;
    const std::string data = VELMORA_SOURCE_DIR "/../shared/data/";
    if (!fs::exists(data + "odim_bewid_201906060000.h5")) GTEST_SKIP() << "the Belgian radars' volumes are not in " << data;
    vtest::TempDir dir;
    std::map<std::string, std::string> file;
    for (const std::string radar : {"bejab", "bewid", "behel"})
        for (const std::string time : {"0000", "0005"}) {
            if (radar == "bewid" && time == "0005") continue;
            const std::string name = radar + "_" + time, path = dir.file(name + ".h5");
            fs::copy_file(data + "odim_" + radar + "_201906060000.h5", path);
            fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
            if (time != "0000") polartest::H5File(path, polartest::H5File::Existing::edit).text("/what", "time", time + "00");
            file[name] = path;
        }
    const std::string out = dir.file("tracks");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = vtest::cli({"track", file["bejab_0005"], file["behel_0000"], file["bewid_0000"], file["bejab_0000"],
                                   file["behel_0005"], "--extent", "80,140,0,60", "--out", out, "--no-picture"});
    const std::string printed = ::testing::internal::GetCapturedStdout(), said = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(status, 0) << said;
    EXPECT_NE(said.find("velmora track: 5 volumes of 3 radars in 2 time steps, each one mosaic\n"), std::string::npos) << said;
    // The radars in the order they first came: Jabbeke, Helchteren, Wideumont.
    EXPECT_NE(printed.find(file["bejab_0000"] + " + " + file["behel_0000"] + " + " + file["bewid_0000"] + ": "),
              std::string::npos) << printed;
    EXPECT_NE(printed.find(file["bejab_0005"] + " + " + file["behel_0005"] + ": "), std::string::npos) << printed;
    EXPECT_NE(printed.find(" in 2 volumes ("), std::string::npos) << printed;
    // Wideumont's echo here is seen by the others too: the cells of the first step go on into the second.
    const std::string tracks = vtest::TempDir::read(out + "/tracks.csv");
    EXPECT_NE(tracks.find(",continue,bejab_0005.h5"), std::string::npos) << tracks;
    for (const char* step : {"bejab_0000", "bejab_0005"}) {
        int nc = -1, dim = -1;
        std::size_t radars = 0;
        ASSERT_EQ(nc_open((out + "/volumes/" + step + "/grid.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR) << step;
        EXPECT_EQ(nc_inq_dimid(nc, "radar", &dim), NC_NOERR);
        nc_inq_dimlen(nc, dim, &radars);
        EXPECT_EQ(radars, step == std::string("bejab_0000") ? 3u : 2u);
        nc_close(nc);
    }
}

}  // namespace
