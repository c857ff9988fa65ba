// Rotation of the cells: a Rankine vortex inside a storm cell, seen by a simulated radar whose velocity folds,
// through the whole analysis; a volume without velocity has the same columns, empty; rotation tracks keep the
// largest shear of a series; the real Canberra volume's rotation.
#include "analysis/rotation.h"

#include <gtest/gtest.h>
#include <netcdf.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "analysis/analyze.h"
#include "app_test.h"
#include "host.h"
#include "io/file_handles.h"
#include "io/table.h"
#include "../polar/polar_files.h"
#include "../polar/wind_scene.h"

namespace {

namespace fs = std::filesystem;
using velmora::AnalyzeOptions;
using windtest::Scene;
using windtest::Vortex;

constexpr double kDeg = std::numbers::pi / 180.0;

// A storm cell: 50 dBZ within radius km of (x, y) up to top km.
struct Storm {
    double x, y, radius, top;
};

// Two storms: one 60 km north of the radar turning about a Rankine vortex of core radius 4 km, 30 m/s in
// the two lowest sweeps (7.5e-3 s-1) and 24 m/s above (6e-3 s-1) up to 7.5 km, its top diverging at
// 4e-3 s-1 above; one 60 km west without rotation. A wind of 15 m/s toward the north everywhere; the velocity
// folded at 16 m/s, seen only where there is echo. (At range r the radar sees a solid rotation of its
// centre at r0 as shear V / Rc x r0 / r: far off, the near side of the core is little stronger.)
const std::vector<Storm> kStorms{{0, 60, 10, 10}, {-60, 0, 8, 10}};
const Scene kLow{0, 15, {Vortex{0, 60, 4, 30}}};
const Scene kHigh{0, 15, {Vortex{0, 60, 4, 24}}};
constexpr double kTopDivergence = 4e-3, kTopBase = 7.5;
constexpr double kNyquist = 16.0;
const std::vector<double> kElevations{0.5, 1.5, 2.5, 4, 6, 8, 10, 12};

// The radial velocity of the scene at a gate of azimuth a and elevation e (degrees), range m, height h km.
double radial(double a, double e, double range, double h) {
    if (h < kTopBase) return (e < 2 ? kLow : kHigh).radial(a, e, range);
    // Outflow from the storm's centre, u = k (x - x0), v = k (y - y0): along the beam k (s - s0).
    const double s = velmora::polar::ground_distance(range / 1000.0, e);
    const double along = s - (kStorms[0].x * std::sin(a * kDeg) + kStorms[0].y * std::cos(a * kDeg));
    return Scene{0, 15, {}}.radial(a, e, range) + kTopDivergence * along * 1000.0 * std::cos(e * kDeg);
}

// Writes the scene as an ODIM volume, with the velocity (VRADH) when asked.
void write_scene(const std::string& path, bool velocity) {
    polartest::write_scene(path, "030405", kElevations, 320, 250, kNyquist, velocity, [](double a, double e, double range) {
        const double h = velmora::polar::beam_height(range / 1000.0, e);
        const double s = velmora::polar::ground_distance(range / 1000.0, e);
        const double x = s * std::sin(a * kDeg), y = s * std::cos(a * kDeg);
        bool echo = false;
        for (const Storm& st : kStorms) echo = echo || (std::hypot(x - st.x, y - st.y) <= st.radius && h <= st.top);
        return std::pair(echo ? 50 : polartest::kSceneNone,
                         echo ? windtest::fold(radial(a, e, range, h), kNyquist) : polartest::kSceneNone);
    });
}

const std::vector<std::string> kRotationColumns{"azshear_low_s1",    "azshear_low_km", "azshear_mid_s1",   "azshear_mid_km",
                                                "rotation_depth_km", "rotation",       "top_divergence_s1"};

class RotationTest : public ::testing::Test {
protected:
    vtest::TempDir tmp;
    void TearDown() override { vhost::host().reset(); }
    AnalyzeOptions options(const std::string& volume, const std::string& out) {
        AnalyzeOptions o;
        o.volume = volume;
        o.out = (tmp.path() / out).string();
        o.picture = false;
        o.level = 40;
        velmora::polar::GridOptions& g = o.polar.grid;
        g.xmin = -75, g.xmax = 15, g.ymin = -15, g.ymax = 75, g.zmax = 12;
        return o;
    }
    // The analysis of o; its cell table by column, each a row's text.
    std::map<std::string, std::vector<std::string>> analyze(const AnalyzeOptions& o, AnalyzeOptions::ForTracking* keep = nullptr) {
        AnalyzeOptions run = o;
        run.for_tracking = keep;
        vtest::Capture e;
        velmora::AnalysisSummary summary;
        EXPECT_EQ(velmora::analyze(run, e.stream(), summary), 0) << e.text();
        const velmora::Table t = velmora::read_table((fs::path(o.out) / "cell_properties.csv").string());
        std::map<std::string, std::vector<std::string>> by;
        for (std::size_t c = 0; c < t.columns.size(); ++c)
            for (const auto& row : t.rows) by[t.columns[c]].push_back(row[c]);
        for (const std::string& c : kRotationColumns) EXPECT_TRUE(by.count(c)) << c;
        return by;
    }
    // The row of the cell whose weighted centre is nearest (x, y) km.
    static std::size_t nearest(const std::map<std::string, std::vector<std::string>>& t, double x, double y) {
        std::size_t best = 0;
        for (std::size_t r = 1; r < t.at("wx_km").size(); ++r) {
            const auto d = [&](std::size_t i) { return std::hypot(std::stod(t.at("wx_km")[i]) - x, std::stod(t.at("wy_km")[i]) - y); };
            if (d(r) < d(best)) best = r;
        }
        return best;
    }
};

TEST_F(RotationTest, VortexIsMeasuredInItsCellAtItsHeight) {
    const std::string path = (tmp.path() / "vortex.h5").string();
    write_scene(path, true);
    AnalyzeOptions::ForTracking keep;
    const auto t = analyze(options(path, "out"), &keep);
    ASSERT_EQ(t.at("cell").size(), 2u);
    const std::size_t a = nearest(t, 0, 60), b = nearest(t, -60, 0);
    ASSERT_NE(a, b);
    const auto num = [&](const char* c, std::size_t r) { return std::stod(t.at(c)[r]); };
    // Peak wind over core radius, within 10 %: 30 / 4000 below, 24 / 4000 above.
    EXPECT_NEAR(num("azshear_low_s1", a), 7.5e-3, 7.5e-4);
    EXPECT_NEAR(num("azshear_mid_s1", a), 6e-3, 6e-4);
    EXPECT_GE(num("azshear_low_km", a), 0);
    EXPECT_LE(num("azshear_low_km", a), 2);
    EXPECT_GE(num("azshear_mid_km", a), 3);
    EXPECT_LE(num("azshear_mid_km", a), 7);
    // Above the threshold from the lowest sweep (0.7 km at 60 km) to the 6-degree one (6.5 km).
    EXPECT_EQ(t.at("rotation")[a], "1");
    EXPECT_GT(num("rotation_depth_km", a), 5);
    // The storm top's layer (8 to 11 km) is reached by the 8- and 10-degree sweeps: its outflow, k cos^2(e).
    EXPECT_NEAR(num("top_divergence_s1", a), kTopDivergence * std::pow(std::cos(10 * kDeg), 2), 4e-4);
    // The other cell only moves with the wind.
    EXPECT_LT(std::abs(num("azshear_low_s1", b)), 1e-3);
    EXPECT_EQ(t.at("rotation")[b], "0");
    EXPECT_EQ(num("rotation_depth_km", b), 0);
    // The plan of the series: the vortex's shear in its columns, none where there is no echo.
    ASSERT_EQ(keep.rotation.low.size(), keep.axes.x.size() * keep.axes.y.size());
    float most = 0;
    for (float s : keep.rotation.low)
        if (s > most) most = s;
    EXPECT_NEAR(most, 7.5e-3, 7.5e-4);
    EXPECT_TRUE(std::isnan(keep.rotation.low[0]));
}

TEST_F(RotationTest, VolumeWithoutVelocityHasTheColumnsEmpty) {
    const std::string path = (tmp.path() / "still.h5").string();
    write_scene(path, false);
    AnalyzeOptions::ForTracking keep;
    const auto t = analyze(options(path, "out"), &keep);
    ASSERT_EQ(t.at("cell").size(), 2u);
    for (const std::string& c : kRotationColumns)
        for (const std::string& v : t.at(c)) EXPECT_EQ(v, "") << c;
    EXPECT_TRUE(keep.rotation.low.empty());
    // A gridded volume too.
    const auto synthetic = analyze(options("", "synthetic"));
    EXPECT_FALSE(synthetic.at("cell").empty());
    for (const std::string& v : synthetic.at("azshear_low_s1")) EXPECT_EQ(v, "");
}

TEST(RotationTracks, KeepTheLargestShearOfEachColumnAndAreWrittenWhole) {
    using velmora::RotationPlan;
    const float n = NAN;
    const std::vector<RotationPlan> plans{{{1e-3f, n, 4e-3f}, {n, n, 2e-3f}}, {}, {{3e-3f, 2e-3f, n}, {n, 5e-3f, 1e-3f}}};
    const RotationPlan tracks = velmora::rotation_tracks(plans);
    EXPECT_EQ(tracks.low, (std::vector<float>{3e-3f, 2e-3f, 4e-3f}));
    ASSERT_EQ(tracks.mid.size(), 3u);
    EXPECT_TRUE(std::isnan(tracks.mid[0]));
    EXPECT_EQ(tracks.mid[1], 5e-3f);
    EXPECT_EQ(tracks.mid[2], 2e-3f);
    const std::vector<RotationPlan> other{{{1, 2}, {1, 2}}, {{1, 2, 3}, {1, 2, 3}}};
    EXPECT_THROW(velmora::rotation_tracks(other), std::invalid_argument);

    vtest::TempDir tmp;
    velmora::Volume axes;
    axes.x = {0, 1, 2};
    axes.y = {5};
    const std::string path = (tmp.path() / "rotation_tracks.nc").string();
    velmora::write_rotation_tracks(path, axes, tracks);
    const velmora::QuietHdf5 quiet;
    int nc = 0, id = 0;
    ASSERT_EQ(nc_open(path.c_str(), NC_NOWRITE, &nc), NC_NOERR);
    std::vector<float> low(3), x(3);
    EXPECT_EQ(nc_inq_varid(nc, "azshear_low", &id), NC_NOERR);
    EXPECT_EQ(nc_get_var_float(nc, id, low.data()), NC_NOERR);
    EXPECT_EQ(nc_inq_varid(nc, "x", &id), NC_NOERR);
    EXPECT_EQ(nc_get_var_float(nc, id, x.data()), NC_NOERR);
    nc_close(nc);
    EXPECT_EQ(low, tracks.low);
    EXPECT_EQ(x, (std::vector<float>{0, 1000, 2000}));
    // Only the file itself is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);
    EXPECT_THROW(velmora::write_rotation_tracks(path, axes, RotationPlan{}), std::invalid_argument);
}

// The watcher keeps the rotation tracks in its database and writes them as track does.
TEST_F(RotationTest, WatchWritesTheRotationTracksAsTrackDoes) {
    fs::create_directories(tmp.path() / "in");
    const std::string volume = (tmp.path() / "in" / "vortex.h5").string();
    write_scene(volume, true);
    const std::vector<std::string> grid{"--no-picture", "--extent", "-75,15,-15,75", "--levels", "0.5,12"};
    std::vector<std::string> track{"track", volume, "--out", (tmp.path() / "track").string()};
    std::vector<std::string> watch{"watch", (tmp.path() / "in").string(), "--out", (tmp.path() / "watch").string(),
                                   "--once", "--settle", "0"};
    track.insert(track.end(), grid.begin(), grid.end());
    watch.insert(watch.end(), grid.begin(), grid.end());
    ASSERT_EQ(vtest::cli_printed(track).status, 0);
    const vtest::Printed watched = vtest::cli_printed(watch);
    ASSERT_EQ(watched.status, 0) << watched.err;
    const std::string tracked = vtest::TempDir::read((tmp.path() / "track" / "rotation_tracks.nc").string());
    EXPECT_FALSE(tracked.empty());
    EXPECT_EQ(vtest::TempDir::read((tmp.path() / "watch" / "rotation_tracks.nc").string()), tracked);
}

// Unless --no-picture, track and watch draw rotation_tracks.png beside rotation_tracks.nc.
TEST_F(RotationTest, TrackAndWatchDrawTheRotationTracks) {
    fs::create_directories(tmp.path() / "in");
    const std::string volume = (tmp.path() / "in" / "vortex.h5").string();
    write_scene(volume, true);
    const std::vector<std::string> grid{"--extent", "-75,15,-15,75", "--levels", "0.5,12"};
    std::vector<std::string> track{"track", volume, "--out", (tmp.path() / "track").string()};
    std::vector<std::string> watch{"watch", (tmp.path() / "in").string(), "--out", (tmp.path() / "watch").string(),
                                   "--once", "--settle", "0"};
    track.insert(track.end(), grid.begin(), grid.end());
    watch.insert(watch.end(), grid.begin(), grid.end());
    const vtest::Printed tracked = vtest::cli_printed(track);
    ASSERT_EQ(tracked.status, 0) << tracked.err;
    EXPECT_NE(tracked.out.find("  rotation_tracks.nc\n  rotation_tracks.png\n"), std::string::npos) << tracked.out;
    const vtest::Printed watched = vtest::cli_printed(watch);
    ASSERT_EQ(watched.status, 0) << watched.err;
    for (const char* out : {"track", "watch"}) {
        const std::string png = vtest::TempDir::read((tmp.path() / out / "rotation_tracks.png").string());
        EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << out;
    }
}

// The real Canberra volume (2018-12-20 06:06 UTC): the rotation of its cells, printed for the record.
TEST_F(RotationTest, CanberraCellsHaveTheirRotation) {
    const std::string canberra = std::string(VELMORA_SOURCE_DIR) + "/../shared/data/odim_au40_201812200606.h5";
    if (!fs::exists(canberra)) GTEST_SKIP() << canberra << " is absent: the real volume's rotation is not checked";
    AnalyzeOptions o;
    o.volume = canberra;
    o.out = (tmp.path() / "canberra").string();
    o.picture = false;
    const auto t = analyze(o);
    ASSERT_FALSE(t.at("cell").empty());
    int measured = 0;
    for (std::size_t r = 0; r < t.at("cell").size(); ++r) {
        std::string line = "cell " + t.at("cell")[r] + ":";
        for (const std::string& c : kRotationColumns) line += " " + c + "=" + t.at(c)[r];
        std::printf("%s\n", line.c_str());
        measured += !t.at("rotation")[r].empty();
    }
    EXPECT_GT(measured, 0);
}

}  // namespace
