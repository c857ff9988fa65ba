// Saved results in the viewer's scene: an analyze folder read back field by
// field, tables, the tracks' lines with their heads, the origin found again
// from the cells' positions, and a track folder's volumes chosen one at a time.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <cstring>

#include "analysis/analyze.h"
#include "field_ref.h"
#include "host.h"
#include "polar/velocity.h"
#include "scene/saved.h"
#include "scene/scene.h"
#include "temp_files.h"

namespace {

using velmora::Json;
using velmora::read_table;
using velmora::Table;
using namespace velmora::scene;

Json header_of(const std::string& bytes) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + 4, 4);
    return Json::parse(bytes.substr(8, n));
}

// The synthetic volume analyzed into dir/name, uncompressed or not.
std::string analyzed(const vtest::TempDir& dir, const std::string& name,
                     velmora::Compression c = velmora::Compression::LZ4) {
    velmora::AnalyzeOptions o;
    o.out = dir.file(name);
    o.picture = false;
    o.compression = c;
    std::FILE* quiet = std::tmpfile();
    velmora::AnalysisSummary summary;
    EXPECT_EQ(velmora::analyze(o, quiet, summary), 0);
    std::fclose(quiet);
    return o.out;
}

TEST(SavedFiles, ReadsAnAnalysisFieldByField) {
    vtest::TempDir dir;
    const std::string out = analyzed(dir, "a");
    // The triangles of the same surface, counted in its plain XML (each run resets the host).
    const std::string text = vtest::TempDir::read(analyzed(dir, "plain", velmora::Compression::None) + "/isosurface.vtp");
    const auto polys = std::stoll(text.substr(text.find("NumberOfPolys=\"") + 15));
    vhost::host().reset();
    vhost::Object& radar = vhost::host().root().add_field("radar");
    load_vtk_file(out + "/radar.vti", radar);
    vhost::FieldRef r(radar);
    EXPECT_EQ(r.dims(), (std::vector<std::int64_t>{80, 60, 20}));
    ASSERT_EQ(r.ncomp(), 2);
    EXPECT_EQ(r.label(0), "DT");
    EXPECT_EQ(r.label(1), "cell");
    EXPECT_FALSE(r.int_view(1).empty()) << "the cells stay whole numbers";
    vhost::Object& surface = vhost::host().root().add_field("surface");
    load_vtk_file(out + "/isosurface.vtp", surface);
    vhost::FieldRef s(surface);
    ASSERT_EQ(s.ncell_sets(), 1);
    EXPECT_EQ(s.cell_type(0), "Tri");
    EXPECT_EQ(static_cast<long long>(s.connect(0).size()), 3 * polys);
    vhost::Object& tops = vhost::host().root().add_field("tops");
    load_vtk_file(out + "/cell_tops.vtp", tops);
    EXPECT_EQ(node_texts(tops).size(), static_cast<std::size_t>(vhost::FieldRef(tops).nnodes())) << "the tops' labels";
    vhost::Object& volume = vhost::host().root().add_field("volume");
    load_vtk_file(out + "/isovolume.vtu", volume);
    EXPECT_EQ(vhost::FieldRef(volume).cell_type(0), "Tet");
    EXPECT_THROW(load_vtk_file(out + "/cells.csv", volume), std::runtime_error);
    vhost::host().reset();
}

TEST(SavedFiles, TablesKindsAndOrigin) {
    vtest::TempDir dir;
    const Table t = read_table(dir.write("t.csv", "cell,x_km,y_km,lat,lon\n1,0,0,-12.25,131.04\n2,,,,\n"));
    EXPECT_EQ(t.column("lat"), 3);
    EXPECT_EQ(t.column("none"), -1);
    EXPECT_EQ(t.at(1, "x_km"), "");
    EXPECT_EQ(t.at(0, "lon"), "131.04");
    EXPECT_THROW(read_table(dir.file("missing.csv")), std::runtime_error);
    EXPECT_EQ(saved_kind(dir.file("t.csv")), SavedKind::None);
    EXPECT_EQ(saved_kind(dir.path().string()), SavedKind::None);
    // A cell 50 km east and 30 km north of the origin on the projection.
    const velmora::GeoOrigin truth{-12.249, 131.044};
    double x = 50, y = 30, lat = 0, lon = 0;
    velmora::geographic(truth, std::span(&x, 1), std::span(&y, 1), std::span(&lat, 1), std::span(&lon, 1));
    char row[200];
    std::snprintf(row, sizeof row, "x_km,y_km,lat,lon\n50,30,%.9f,%.9f\n", lat, lon);
    const auto found = origin_of(read_table(dir.write("c.csv", row)));
    ASSERT_TRUE(found);
    EXPECT_NEAR(found->lat, truth.lat, 1e-6);
    EXPECT_NEAR(found->lon, truth.lon, 1e-6);
    EXPECT_FALSE(origin_of(t.rows.size() > 1 ? read_table(dir.write("n.csv", "x_km,y_km\n1,2\n")) : t));
}

TEST(SavedFiles, TracksAsLinesWithHeadsAtTheirLastPosition) {
    vtest::TempDir dir;
    const Table t = read_table(dir.write("tracks.csv", "track,x_km,y_km\n1,0,0\n2,5,5\n1,10,0\n1,20,0\n"));
    vhost::host().reset();
    vhost::Object& f = vhost::host().root().add_field("tracks");
    track_lines(t, 0.5f, f);
    vhost::FieldRef r(f);
    // Track 1: three nodes, two steps and two strokes of its head; track 2 a lone node.
    ASSERT_EQ(r.nnodes(), 6);
    EXPECT_EQ(r.int_values(0), (std::vector<std::int32_t>{1, 1, 1, 1, 1, 2}));
    const auto c = r.connect(0);
    ASSERT_EQ(c.size(), 8u);
    const auto xyz = r.coord();
    for (int head : {3, 4}) {
        EXPECT_LT(xyz[3 * head], 20.0f) << "the head points back along the last step";
        EXPECT_NEAR(std::hypot(xyz[3 * head] - 20.0f, xyz[3 * head + 1]), 4.0f, 1e-4);
        EXPECT_EQ(xyz[3 * head + 2], 0.5f);
    }
    EXPECT_NEAR(xyz[3 * 3 + 1], -xyz[3 * 4 + 1], 1e-5) << "one stroke each side";
    vhost::host().reset();
}

TEST(SavedScene, AnAnalysisFolderIsShownWithoutRunningAndPicked) {
    vtest::TempDir dir;
    const std::string out = analyzed(dir, "a");
    ViewOptions o;
    o.input = out;
    o.out = dir.file("view");
    Scene s(o);
    const Json h = header_of(s.full());
    EXPECT_EQ(h["mode"], "analysis");
    EXPECT_EQ(h["cells"], 5);
    EXPECT_EQ(h["layers"]["volume"]["kind"], "image");
    EXPECT_EQ(h["layers"]["surface"]["kind"], "mesh");
    EXPECT_EQ(h["layers"]["centres"]["texts"], (Json{"1", "2", "3", "4", "5"}));
    EXPECT_EQ(h["table"].get<std::string>().substr(0, 12), "cell,parent,");
    // Straight down on the strongest cell's core.
    const Json p = header_of(s.pick({-21, -12, 100}, {0, 0, -1}))["pick"];
    EXPECT_EQ(p["hit"], true);
    EXPECT_NE(p["text"].get<std::string>().find("\ncell"), std::string::npos) << p["text"];
    EXPECT_THROW(s.set({{"series", "volume", 1}}), velmora::NetworkError) << "an analysis has no series";
}

// dir/t: a track folder made by hand of the same analysis twice (v0.nc, v1.nc), with tracks as its tracks.csv.
void track_folder(vtest::TempDir& dir, const std::string& tracks) {
    const std::string a = analyzed(dir, "a");
    std::filesystem::create_directories(dir.file("t/volumes"));
    std::filesystem::copy(a, dir.file("t/volumes/v0"));
    std::filesystem::copy(a, dir.file("t/volumes/v1"));
    dir.write("t/volumes.csv", "volume,time,cells,folder\nv0.nc,,5,v0\nv1.nc,,5,v1\n");
    dir.write("t/tracks.csv", tracks);
}

// A track folder made by hand: the same analysis twice, its cells 1 and 2
// on tracks 7 and 3 in the second volume only.
TEST(SavedScene, ATrackFolderShowsOneVolumeAtATimeItsCellsByTrack) {
    vtest::TempDir dir;
    track_folder(dir, "track,time,cell,x_km,y_km,source\n7,,1,0,0,v1.nc\n3,,2,5,5,v1.nc\n");
    ViewOptions o;
    o.input = dir.file("t");
    o.out = dir.file("view");
    Scene s(o);
    const Json h = header_of(s.full());
    EXPECT_EQ(h["mode"], "track");
    EXPECT_EQ(h["series"], (Json{{"volumes", 2}, {"volume", 0}, {"time", ""}, {"file", "v0.nc"}, {"tracks", 7}, {"watch", false}}));
    EXPECT_EQ(h["layers"]["tracks"]["kind"], "mesh");
    EXPECT_FALSE(h["layers"].contains("storm_relative")) << "no volume has a radial velocity";
    const Json second = header_of(s.set({{"series", "volume", 1}}));
    EXPECT_EQ(second["ran"], Json{"series"});
    EXPECT_EQ(second["series"]["volume"], 1);
    EXPECT_TRUE(second["layers"].contains("surface"));
    EXPECT_FALSE(second["layers"].contains("tracks")) << "the tracks stay as they are";
    EXPECT_EQ(second["layers"]["centres"]["texts"], (Json{"track 7", "track 3", "3", "4", "5"}));
    const auto& track = second["layers"]["surface"]["components"].back();
    EXPECT_EQ(track["label"], "track");
    EXPECT_EQ(track["range"], (Json{0, 7}));
    try {
        s.set({{"series", "volume", 2}});
        FAIL() << "a volume past the last was shown";
    } catch (const velmora::NetworkError& e) {
        EXPECT_EQ(std::string(e.what()), "there is no volume 2 (2 volumes)");
    }
    EXPECT_THROW(s.set({{"series", "volume", -1}}), velmora::NetworkError);
}

// The storm-relative velocity is a layer of a track folder whose volumes
// kept their radial velocity (velocity.nc): the velocity less the motion
// of the cells; a volume without velocity leaves it empty.
TEST(SavedScene, ATrackFolderWithVelocityShowsTheStormRelativeVelocity) {
    vtest::TempDir dir;
    track_folder(dir, "track,time,cell,x_km,y_km,u_ms,v_ms,source\n1,,1,0,0,,,v0.nc\n1,,1,0,0,6,0,v1.nc\n");
    velmora::Volume g;
    g.x = {-10, 0, 10}, g.y = {-10, 0, 10}, g.z = {0.5, 1};
    g.values.assign(18, 6.0f);
    velmora::polar::write_velocity_grid(dir.file("t/volumes/v1/velocity.nc"), {g, 0, 0});
    ViewOptions o;
    o.input = dir.file("t");
    o.out = dir.file("view");
    Scene s(o);
    const Json h = header_of(s.full());
    ASSERT_TRUE(h["layers"].contains("storm_relative"));
    EXPECT_EQ(h["layers"]["storm_relative"]["kind"], "empty") << "the first volume has no velocity";
    const Json l = header_of(s.set({{"series", "volume", 1}}))["layers"]["storm_relative"];
    EXPECT_EQ(l["kind"], "image");
    EXPECT_EQ(l["role"], "velocity");
    EXPECT_EQ(l["dims"], (Json{3, 3, 2}));
    const Json& c = l["components"][0];
    EXPECT_EQ(c["label"], "storm_relative_velocity");
    EXPECT_EQ(c["units"], "m/s");
    // 6 m/s east everywhere, less 6 m/s east: 0 east of the radar, 12 m/s toward it west of it.
    EXPECT_NEAR(c["range"][0].get<double>(), 0.0, 0.01);
    EXPECT_NEAR(c["range"][1].get<double>(), 12.0, 0.01);
}

// A track folder that grows as a watcher writes it: "newest" reads its
// tables again and shows the last volume, a volume without cells by the
// grid it was analyzed on (grid.nc, no radar.vti).
TEST(SavedScene, ATrackFolderFollowedShowsItsNewestVolume) {
    vtest::TempDir dir;
    const std::string a = analyzed(dir, "a");
    std::filesystem::create_directories(dir.file("t/volumes"));
    std::filesystem::copy(a, dir.file("t/volumes/v0"));
    dir.write("t/volumes.csv", "volume,time,cells,folder\nv0.nc,2026-01-01T00:00:00Z,5,v0\n");
    dir.write("t/tracks.csv", "track,time,cell,x_km,y_km,source\n1,2026-01-01T00:00:00Z,1,0,0,v0.nc\n");
    ViewOptions o;
    o.input = dir.file("t");
    o.out = dir.file("view");
    Scene s(o);
    EXPECT_EQ(header_of(s.full())["series"]["volumes"], 1);
    std::filesystem::copy(a, dir.file("t/volumes/v1"));
    dir.write("t/volumes.csv", "volume,time,cells,folder\nv0.nc,2026-01-01T00:00:00Z,5,v0\nv1.nc,2026-01-01T00:05:00Z,5,v1\n");
    dir.write("t/tracks.csv", "track,time,cell,x_km,y_km,source\n1,2026-01-01T00:00:00Z,1,0,0,v0.nc\n"
                              "1,2026-01-01T00:05:00Z,2,5,5,v1.nc\n");
    const Json h = header_of(s.set({{"series", "volume", "newest"}}));
    EXPECT_EQ(h["ran"], (Json{"series", "tracks"}));
    EXPECT_EQ(h["series"], (Json{{"volumes", 2}, {"volume", 1}, {"time", "2026-01-01T00:05:00Z"}, {"file", "v1.nc"}, {"tracks", 1}, {"watch", false}}));
    EXPECT_EQ(h["layers"]["centres"]["texts"][1], "track 1");
    EXPECT_EQ(h["layers"]["tracks"]["kind"], "mesh") << "the tracks' lines are made again";
    EXPECT_EQ(h["cells"], 5);
    // A third volume without cells: its polar volume's grid, no cells, no surface.
    velmora::Volume g;
    g.x = {-10, 0, 10}, g.y = {-10, 0, 10}, g.z = {0.5, 1};
    g.values.assign(18, 12.0f);
    g.name = "REF", g.units = "dBZ";
    std::filesystem::create_directories(dir.file("t/volumes/v2"));
    velmora::write_netcdf(dir.file("t/volumes/v2/grid.nc"), g);
    dir.write("t/volumes.csv", vtest::TempDir::read(dir.file("t/volumes.csv")) + "v2.nc,2026-01-01T00:10:00Z,0,v2\n");
    const Json empty = header_of(s.set({{"series", "volume", "newest"}}));
    EXPECT_EQ(empty["series"]["volume"], 2);
    EXPECT_EQ(empty["cells"], 0);
    EXPECT_EQ(empty["layers"]["volume"]["kind"], "image");
    EXPECT_EQ(empty["layers"]["volume"]["dims"], (Json{3, 3, 2}));
    EXPECT_EQ(empty["table"], "");
    // A volume listed whose folder holds neither file: said, and the page keeps what it shows.
    dir.write("t/volumes.csv", vtest::TempDir::read(dir.file("t/volumes.csv")) + "v3.nc,2026-01-01T00:15:00Z,0,v3\n");
    EXPECT_THROW(s.set({{"series", "volume", "newest"}}), velmora::NetworkError);
    EXPECT_THROW(s.set({{"series", "volume", "oldest"}}), velmora::NetworkError);
}

// A watch folder before its watcher's first volume has nothing to show yet
// (NoVolumeYet, which the server answers with 503): no tables, or tables
// without a row; its first volume recorded, it opens on it. A folder that
// is no watch's stays an error of its own.
TEST(SavedScene, AWatchFolderWithoutAVolumeYetWaits) {
    vtest::TempDir dir;
    std::filesystem::create_directories(dir.file("w/volumes"));
    std::filesystem::create_directories(dir.file("plain"));
    dir.write("w/watch.db", "");
    ViewOptions o;
    o.input = dir.file("w");
    o.out = dir.file("view");
    EXPECT_THROW(Scene{o}, NoVolumeYet);
    dir.write("w/volumes.csv", "volume,time,cells,folder\n");
    dir.write("w/tracks.csv", "track,time,cell,x_km,y_km,source\n");
    EXPECT_THROW(Scene{o}, NoVolumeYet);
    ViewOptions plain = o;
    plain.input = dir.file("plain");
    try {
        Scene s(plain);
        ADD_FAILURE() << "a folder of no results opened";
    } catch (const NoVolumeYet&) {
        ADD_FAILURE() << "a folder that is no watch's waits";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("without the results of velmora analyze"), std::string::npos) << e.what();
    }
    std::filesystem::copy(analyzed(dir, "a"), dir.file("w/volumes/v0"));
    dir.write("w/volumes.csv", "volume,time,cells,folder\nv0.nc,2026-01-01T00:00:00Z,5,v0\n");
    Scene s(o);
    EXPECT_EQ(header_of(s.full())["series"]["volumes"], 1);
    EXPECT_EQ(header_of(s.full())["series"]["watch"], true);
}

TEST(SavedScene, ReadsNothingOutsideATrackFoldersVolumes) {
    vtest::TempDir dir;
    std::filesystem::create_directories(dir.file("t/volumes"));
    dir.write("t/tracks.csv", "track,time,cell,x_km,y_km,source\n");
    ViewOptions o;
    o.input = dir.file("t");
    o.out = dir.file("view");
    for (const char* folder : {"../../a", "..", "/tmp"}) {
        dir.write("t/volumes.csv", std::string("volume,time,cells,folder\nv0.nc,,5,") + folder + "\n");
        try {
            Scene again(o);
            FAIL() << folder << " was read";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), o.input + "/volumes.csv names a folder outside volumes/: \"" + folder + "\"");
        }
    }
}

TEST(SavedScene, RefusesAFolderOfNoResults) {
    vtest::TempDir dir;
    dir.write("notes.txt", "x");
    ViewOptions o;
    o.input = dir.path().string();
    o.out = dir.file("view");
    try {
        Scene s(o);
        FAIL() << "a folder of notes was shown";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), o.input + " is a folder without the results of velmora analyze (radar.vti) "
                                                   "or velmora track (tracks.csv, volumes.csv)");
    }
}

}  // namespace
