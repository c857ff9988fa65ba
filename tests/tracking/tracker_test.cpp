// Storm cells followed across series with true tracks (a fast cell, a split, a merge), crossings and gaps,
// and the shift of the whole echo between two plan views.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "analysis/cell_analysis.h"
#include "tracking/phase_correlation.h"
#include "tracking/series.h"
#include "analysis/track_frames.h"
#include "tracking/tracker.h"

namespace {

using namespace velmora;

TEST(TrackerTest, PhaseCorrelationFindsTheShiftOfTheEcho) {
    const std::size_t nx = 64, ny = 48;
    // A strong echo and a weaker one, shifted by dx columns and dy rows.
    const auto echo = [&](double dx, double dy) {
        std::vector<float> f(nx * ny, NAN);
        for (std::size_t j = 0; j < ny; ++j)
            for (std::size_t i = 0; i < nx; ++i) {
                const double x = double(i) - dx, y = double(j) - dy;
                const double v = std::max(45 - 2 * std::hypot(x - 20, y - 15), 35 - 3 * std::hypot(x - 40, y - 30));
                if (v > 0) f[j * nx + i] = float(v);
            }
        return f;
    };
    EXPECT_EQ(tracking::phase_shift(echo(0, 0), echo(5, -3), nx, ny), std::make_pair(5, -3));
    EXPECT_EQ(tracking::phase_shift(echo(0, 0), std::vector<float>(nx * ny, NAN), nx, ny), std::make_pair(0, 0));
}

struct Tracked {
    std::vector<tracking::Frame> frames;
    std::vector<tracking::Row> rows;
};

Tracked track_series(const tracking::Series& s, std::initializer_list<std::size_t> skip = {}) {
    Tracked t;
    tracking::Plane plane{s.volumes.front().x, s.volumes.front().y};
    for (std::size_t f = 0; f < s.volumes.size(); ++f) {
        if (std::find(skip.begin(), skip.end(), f) != skip.end()) continue;
        const Volume& v = s.volumes[f];
        Volume axes = v;
        axes.values.clear();
        const AnalysisResult r = analyze_values(axes, std::span(v.values.data(), v.values.size()), {});
        t.frames.push_back(frame_of(r, axes, *v.time));
    }
    t.rows = tracking::track(plane, t.frames, {});
    return t;
}

// How well the tracks recover the true ones (each the detected cell with the nearest weighted centre, within 4 km):
// the links kept between true cells 12 km or more from any other, and no detected track joining unrelated ones.
TEST(TrackerTest, TheSyntheticSeriesIsRecovered) {
    const double interval = 300;
    const tracking::Series s = tracking::synthetic_series(12, interval);
    const Tracked t = track_series(s);
    const double t0 = *s.volumes.front().time;
    std::map<std::pair<std::size_t, int>, int> track_of;   // (frame, true track) -> detected track
    for (const tracking::Row& r : t.rows) {
        const tracking::Cell& c = t.frames[r.frame].cells[r.cell];
        double best = 4.0;
        int which = 0;
        for (const auto& p : s.truth)
            if (std::abs(p.time - (t.frames[r.frame].time - t0)) < 1 && std::hypot(p.x - c.x, p.y - c.y) < best)
                best = std::hypot(p.x - c.x, p.y - c.y), which = p.track;
        if (which) track_of[{r.frame, which}] = r.track;
    }
    auto alone = [&](const tracking::TruePosition& p) {
        for (const auto& q : s.truth)
            if (q.track != p.track && std::abs(q.time - p.time) < 1 && std::hypot(q.x - p.x, q.y - p.y) < 12) return false;
        return true;
    };
    int links = 0, kept = 0;
    for (const auto& p : s.truth) {
        const auto f = static_cast<std::size_t>(std::lround(p.time / interval));
        if (f == 0 || p.event != "continue") continue;
        const auto* q = &p;
        for (const auto& o : s.truth)
            if (o.track == p.track && std::abs(o.time - (p.time - interval)) < 1) q = &o;
        if (q == &p || !alone(p) || !alone(*q)) continue;
        ++links;
        const auto a = track_of.find({f - 1, p.track}), b = track_of.find({f, p.track});
        kept += a != track_of.end() && b != track_of.end() && a->second == b->second;
    }
    EXPECT_GE(links, 30);
    EXPECT_GE(kept, links * 95 / 100) << kept << " of " << links;
    std::map<int, std::set<int>> truths;   // detected track -> the true tracks of its cells
    for (const auto& [key, detected] : track_of)
        for (const auto& p : s.truth)
            if (p.track == key.second && std::abs(p.time - interval * double(key.first)) < 1 && alone(p))
                truths[detected].insert(key.second);
    const std::set<std::set<int>> related = {{3, 6}, {4, 5}};   // split from or merged into each other
    for (const auto& [detected, set] : truths) EXPECT_TRUE(set.size() == 1 || related.count(set)) << detected;
    int splits = 0, merges = 0;
    for (const tracking::Row& r : t.rows) {
        splits += r.event == tracking::Event::Split && r.parent > 0;
        merges += r.event == tracking::Event::Merge && r.parent > 0;
    }
    EXPECT_GE(splits, 1);
    EXPECT_GE(merges, 1);
}

// Two cells passing each other on opposite courses, 10 km apart at their closest, 6 km a volume each.
TEST(TrackerTest, CellsPassingEachOtherKeepTheirTracks) {
    tracking::Series s;
    for (int f = 0; f < 9; ++f) {
        const float x = -24.0f + 6.0f * float(f);
        const std::vector<ConvectiveCell> cells{{x, 5, 52, 2.5f, 8.0f, 2.5f, 0.0f}, {-x, -5, 52, 2.5f, 8.0f, 2.5f, 0.0f}};
        Volume v = synthetic_volume_of_cells({.nx = 80, .ny = 60, .nz = 12}, cells);
        v.time = 1.0e9 + f * 300.0;
        s.volumes.push_back(std::move(v));
    }
    const Tracked t = track_series(s);
    std::map<int, std::set<int>> sides;   // track -> the sides (north, south) its cells lie on
    for (const tracking::Row& r : t.rows) sides[r.track].insert(t.frames[r.frame].cells[r.cell].y > 0 ? 1 : -1);
    ASSERT_EQ(sides.size(), 2u);
    for (const auto& [track, side] : sides) EXPECT_EQ(side.size(), 1u) << "track " << track << " changes sides";
}

// A storm and a squall line moving east at 33 m/s (9.9 km a volume, more than the storm's size; a cold-season squall
// line or a derecho moves that fast): each covers most of its predicted footprint, so one track each whatever the
// cap on speeds; a cell far beyond the cap that overlaps nothing predicted starts its own.
TEST(TrackerTest, FastStormsKeepOneTrackEach) {
    tracking::Series s;
    for (int f = 0; f < 8; ++f) {
        const float x = -100.0f + 9.9f * float(f);
        std::vector<ConvectiveCell> cells{{x, 25, 54, 3.0f, 9.0f, 2.5f, 0.0f}};
        for (float y : {-31.0f, -27.0f, -23.0f, -19.0f}) cells.push_back({x, y, 52, 3.0f, 8.0f, 2.5f, 0.0f});
        if (f == 4) cells.push_back({x + 40, 0, 52, 2.5f, 8.0f, 2.5f, 0.0f});   // a new cell 40 km ahead of the line
        Volume v = synthetic_volume_of_cells({.nx = 240, .ny = 100, .nz = 12}, cells);
        v.time = 1.0e9 + f * 300.0;
        s.volumes.push_back(std::move(v));
    }
    for (const double cap : {tracking::kDefaultMaxSpeed, 30.0, 5.0}) {
        Tracked t = track_series(s);
        t.rows = tracking::track({s.volumes[0].x, s.volumes[0].y}, t.frames, {cap, 0.0});
        std::map<int, std::set<int>> storms;   // track -> which storm its cells are (north, line, new)
        for (const tracking::Row& r : t.rows) {
            const tracking::Cell& c = t.frames[r.frame].cells[r.cell];
            storms[r.track].insert(c.y > 10 ? 1 : c.y < -10 ? 2 : 3);
        }
        EXPECT_EQ(storms.size(), 3u) << "cap " << cap;
        for (const auto& [track, which] : storms) EXPECT_EQ(which.size(), 1u) << "track " << track << ", cap " << cap;
        EXPECT_EQ(t.rows.size(), 17u) << "cap " << cap;
    }
}

// The events of a frame's rows.
std::set<tracking::Event> events_at(const std::vector<tracking::Row>& rows, std::size_t frame) {
    std::set<tracking::Event> events;
    for (const auto& r : rows)
        if (r.frame == frame) events.insert(r.event);
    return events;
}

TEST(TrackerTest, GapsOrderAndEmptyVolumes) {
    using enum tracking::Event;
    using Events = std::set<tracking::Event>;
    const tracking::Series s = tracking::synthetic_series(7, 300);
    const tracking::Plane plane{s.volumes[0].x, s.volumes[0].y};
    // In 5-minute steps one volume missing is still linked; two missing are a gap that ends every track.
    EXPECT_EQ(events_at(track_series(s, {2}).rows, 2), Events{Continue});
    const auto gap = track_series(s, {2, 3}).rows;
    EXPECT_EQ(events_at(gap, 1), Events{End});
    EXPECT_EQ(events_at(gap, 2), Events{Start});
    // A volume without cells ends every track before it.
    std::vector<tracking::Frame> frames = track_series(s).frames;
    frames.resize(4);
    frames[2].cells.clear();
    const auto empty = tracking::track(plane, frames, {});
    EXPECT_EQ(events_at(empty, 1), Events{End});
    EXPECT_EQ(events_at(empty, 3), Events{Start});
    // One volume only starts its tracks; volumes out of time order are refused.
    EXPECT_EQ(events_at(tracking::track(plane, {frames[0]}, {}), 0), Events{Start});
    std::swap(frames[0], frames[3]);
    EXPECT_THROW(tracking::track(plane, frames, {}), std::invalid_argument);
}

}  // namespace
