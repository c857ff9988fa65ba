// The first guesses a series gives the dealiasing of its volumes: a patch of echo isolated from the rest of its
// sweep keeps its fold alone and is unfolded with the volume before (or, without one, the tracked storm motion);
// the watcher dealiases as track does, across a restart; the previous volume is passed over when it does not fit.
#include "tracking/velocity_guess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/analyze.h"
#include "app_test.h"
#include "host.h"
#include "realtime/state_store.h"
#include "tracking/track_run.h"
#include "../polar/polar_files.h"
#include "../polar/wind_scene.h"
#include "../realtime/watch_support.h"

namespace {

namespace fs = std::filesystem;
using velmora::polar::PolarVolume;

constexpr double kDeg = std::numbers::pi / 180.0;
constexpr double kNyquist = 10.0;
constexpr double kWind = 15.0;   // m/s toward the north, everywhere
const std::vector<double> kElevations{0.5, 1.5, 2.5};

// What a volume holds: its time (s after 03:00 UTC), a storm of 50 dBZ 6 km across centred storm_y km north of
// the radar, and where it measured the velocity: nowhere, a ring of echo all round (20 to 40 km), or a patch
// north of the radar (30 to 35 km, 10 degrees either side) that no other velocity touches.
enum class Seen { nothing, ring, patch };
struct Look {
    int seconds;
    double storm_y;
    Seen velocity;
};

// The true radial velocity of the wind at azimuth a and elevation e (degrees).
double truth(double a, double e) { return kWind * std::cos(a * kDeg) * std::cos(e * kDeg); }

bool seen(Seen where, double a, double range_km) {
    if (where == Seen::ring) return range_km >= 20 && range_km <= 40;
    const double off = std::min(a, 360 - a);
    return where == Seen::patch && off <= 10 && range_km >= 30 && range_km <= 35;
}

std::string write_volume(const std::string& path, const Look& look) {
    char hhmmss[16];
    std::snprintf(hhmmss, sizeof hhmmss, "03%02d%02d", look.seconds / 60, look.seconds % 60);
    polartest::write_scene(path, hhmmss, kElevations, 200, 250, kNyquist, look.velocity != Seen::nothing,
                           [&](double a, double e, double range_m) {
                               const double range = range_m / 1000.0, s = velmora::polar::ground_distance(range, e);
                               const bool storm = std::hypot(s * std::sin(a * kDeg), s * std::cos(a * kDeg) - look.storm_y) <= 6;
                               return std::pair(storm ? 50 : polartest::kSceneNone,
                                                seen(look.velocity, a, range) ? windtest::fold(truth(a, e), kNyquist)
                                                                              : polartest::kSceneNone);
                           });
    return path;
}

// The gates of the patch in v's lowest sweep: how many, and how many hold the true velocity (within 0.1 m/s).
std::pair<int, int> patch_right(const PolarVolume& v) {
    int gates = 0, right = 0;
    for (const velmora::polar::Sweep& s : v.sweeps) {
        if (s.fixed_angle != 0.5) continue;
        for (std::size_t r = 0; r < s.rays(); ++r)
            for (int g = 0; g < s.gates; ++g) {
                const float x = s.at(r, g);
                if (!std::isfinite(x) || !seen(Seen::patch, s.azimuth[r], (s.range_first + g * s.gate_spacing) / 1000)) continue;
                ++gates;
                right += std::abs(x - truth(s.azimuth[r], s.elevation[r])) < 0.1;
            }
    }
    return {gates, right};
}

class VelocityGuessTest : public ::testing::Test {
protected:
    vtest::TempDir tmp;
    void TearDown() override { vhost::host().reset(); }
    static void grid(velmora::AnalyzeOptions& o) {
        o.picture = false;
        o.level = 40;
        velmora::polar::GridOptions& g = o.polar.grid;
        g.xmin = -40, g.xmax = 40, g.ymin = -10, g.ymax = 50, g.zmax = 2;
    }
    std::vector<std::string> write(const std::string& folder, const std::vector<Look>& looks) {
        fs::create_directories(tmp.path() / folder);
        std::vector<std::string> paths;
        for (const Look& l : looks) {
            char name[32];
            std::snprintf(name, sizeof name, "xxtst_%04d.h5", l.seconds);
            paths.push_back(write_volume((tmp.path() / folder / name).string(), l));
        }
        return paths;
    }
    // The series analyzed as track analyzes it: each volume's velocity as dealiased (none without one).
    std::vector<std::optional<PolarVolume>> dealiased(const std::vector<std::string>& paths, const std::string& work) {
        velmora::AnalyzeOptions base;
        grid(base);
        std::vector<std::optional<PolarVolume>> out;
        std::vector<velmora::tracking::AnalyzedVolume> analyzed;
        vtest::Capture err;
        const int status = velmora::tracking::analyze_series(base, {}, paths, (tmp.path() / work).string(), err.stream(),
                                                             analyzed, [&](const auto& a) { out.push_back(a.result.velocity); });
        EXPECT_EQ(status, 0) << err.text();
        for (const auto& a : analyzed) EXPECT_FALSE(a.result.velocity) << "kept after the volume's analysis";
        return out;
    }
};

TEST_F(VelocityGuessTest, AnIsolatedPatchIsUnfoldedWithThePreviousVolume) {
    const auto paths = write("in", {{0, 20, Seen::ring}, {300, 24.5, Seen::patch}});
    // The ring, all round, is unfolded by its own continuity.
    const auto series = dealiased(paths, "series");
    ASSERT_EQ(series.size(), 2u);
    ASSERT_TRUE(series[0] && series[1]);
    int wrong = 0;
    for (const auto& s : series[0]->sweeps)
        for (std::size_t r = 0; r < s.rays(); ++r)
            for (int g = 0; g < s.gates; ++g)
                if (std::isfinite(s.at(r, g))) wrong += std::abs(s.at(r, g) - truth(s.azimuth[r], s.elevation[r])) > 0.1;
    EXPECT_EQ(wrong, 0);
    // The patch alone keeps its fold (15 m/s read as -5); with the ring before it, it is unfolded.
    const auto alone = dealiased({paths[1]}, "alone");
    const auto [gates, right_alone] = patch_right(*alone[0]);
    EXPECT_GT(gates, 100);
    EXPECT_EQ(right_alone, 0);
    EXPECT_EQ(patch_right(*series[1]), std::make_pair(gates, gates));
    // A previous volume older than the schedules keep is passed over.
    const auto late = write("late", {{0, 20, Seen::ring}, {1805, 24.5, Seen::patch}});
    EXPECT_EQ(patch_right(*dealiased(late, "late-series")[1]).second, 0);
}

TEST_F(VelocityGuessTest, WithoutAPreviousVolumeTheStormMotionIsTheGuess) {
    // The storm moves north at the wind's 15 m/s (4.5 km in 300 s); only the last volume measured a velocity.
    const auto paths = write("in", {{0, 20, Seen::nothing}, {300, 24.5, Seen::nothing}, {600, 29, Seen::patch}});
    const auto series = dealiased(paths, "series");
    ASSERT_EQ(series.size(), 3u);
    EXPECT_FALSE(series[0] || series[1]);
    ASSERT_TRUE(series[2]);
    const auto [gates, right] = patch_right(*series[2]);
    EXPECT_GT(gates, 100);
    EXPECT_EQ(right, gates);
    EXPECT_EQ(patch_right(*dealiased({paths[2]}, "alone")[0]).second, 0);

    EXPECT_FALSE(velmora::tracking::storm_motion({}));
    const std::vector<velmora::tracking::Row> rows{{0, 0, 1, NAN, NAN}, {0, 1, 2, 10, 14}, {0, 2, 3, 0, 16}};
    const auto motion = velmora::tracking::storm_motion(rows);
    ASSERT_TRUE(motion);
    EXPECT_EQ(motion->u, 5);
    EXPECT_EQ(motion->v, 15);
}

// The watcher dealiases each volume with the one before as track does, and keeps that volume in its state: a
// watcher started again after the first volume dealiases the rest as one never stopped.
TEST_F(VelocityGuessTest, WatchDealiasesAsTrackDoesAcrossARestart) {
    const std::vector<Look> looks{{0, 20, Seen::ring}, {300, 24.5, Seen::patch}, {600, 29, Seen::patch}};
    const auto paths = write("all", looks);
    const auto tracked = dealiased(paths, "track");
    ASSERT_EQ(tracked.size(), 3u);
    ASSERT_EQ(patch_right(*tracked[2]).first, patch_right(*tracked[2]).second);
    const auto options = [&](const std::string& in, const std::string& out) {
        auto o = vtest::watch_options((tmp.path() / in).string(), (tmp.path() / out).string());
        grid(o.analysis);
        return o;
    };
    const auto stored = [&](const std::string& out) {
        return velmora::realtime::StateStore((tmp.path() / out / "watch.db").string()).velocity();
    };
    vtest::Capture messages;
    EXPECT_EQ(vtest::watch_once(options("all", "whole"), messages).size(), 3u) << messages.text();
    fs::create_directories(tmp.path() / "in");
    fs::copy(paths[0], tmp.path() / "in");
    vtest::watch_once(options("in", "restarted"), messages);
    const auto first = stored("restarted");
    ASSERT_TRUE(first);
    for (std::size_t k = 1; k < 3; ++k) fs::copy(paths[k], tmp.path() / "in");
    vtest::watch_once(options("in", "restarted"), messages);
    EXPECT_EQ(messages.text(), "");
    for (const std::string out : {"whole", "restarted"}) {
        const auto v = stored(out);
        ASSERT_TRUE(v) << out;
        EXPECT_EQ(v->time, tracked[2]->time);
        ASSERT_EQ(v->sweeps.size(), tracked[2]->sweeps.size());
        for (std::size_t s = 0; s < v->sweeps.size(); ++s) {
            const auto &a = v->sweeps[s], &b = tracked[2]->sweeps[s];
            EXPECT_EQ(std::tie(a.name, a.fixed_angle, a.gates, a.range_first, a.gate_spacing, a.nyquist),
                      std::tie(b.name, b.fixed_angle, b.gates, b.range_first, b.gate_spacing, b.nyquist));
            EXPECT_EQ(a.azimuth, b.azimuth);
            EXPECT_EQ(a.elevation, b.elevation);
            ASSERT_EQ(a.values.size(), b.values.size());
            int differ = 0;
            for (std::size_t i = 0; i < a.values.size(); ++i)
                differ += !(a.values[i] == b.values[i] || (std::isnan(a.values[i]) && std::isnan(b.values[i])));
            EXPECT_EQ(differ, 0) << out << " " << a.name;
        }
    }
}

TEST(PreviousVolume, FitsOnlyFromTheSameRadarAndEarlierWithinItsAge) {
    using velmora::polar::previous_fits;
    PolarVolume now, before;
    now.site = before.site = velmora::polar::Site{-35.66, 149.51, 760};
    now.time = 1000.0 + velmora::polar::kPreviousVolumeMaxAge;
    before.time = 1000.0;
    EXPECT_TRUE(previous_fits(before, now));
    before.time = 999.0;
    EXPECT_FALSE(previous_fits(before, now));
    before.time = *now.time;
    EXPECT_FALSE(previous_fits(before, now));
    before.time = 1500.0;
    before.site->longitude += 0.0005;   // 45 m east
    EXPECT_TRUE(previous_fits(before, now));
    before.site->latitude += 0.001;     // 111 m north
    EXPECT_FALSE(previous_fits(before, now));
    before.site.reset();
    EXPECT_FALSE(previous_fits(before, now));
    now.site.reset(), now.time.reset();
    EXPECT_TRUE(previous_fits(before, now));
}

}  // namespace
