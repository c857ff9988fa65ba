// Storm cells followed across a series: the synthetic series with its true
// tracks (a fast cell, a split, a merge), gaps, and the echo's own motion.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "cell_analysis.h"
#include "phase_correlation.h"
#include "series.h"
#include "track_frames.h"
#include "tracker.h"

namespace {

using namespace velmora::app;

TEST(TrackerTest, PhaseCorrelationFindsTheShiftOfTheEcho) {
    const std::size_t nx = 64, ny = 48;
    std::vector<float> a(nx * ny, NAN), b(nx * ny, NAN);
    for (std::size_t j = 0; j < ny; ++j)
        for (std::size_t i = 0; i < nx; ++i) {
            const double r1 = std::hypot(double(i) - 20, double(j) - 15), r2 = std::hypot(double(i) - 40, double(j) - 30);
            const double v = std::max(45 - 2 * r1, 35 - 3 * r2);
            if (v > 0) a[j * nx + i] = float(v);
            // The same echo 5 columns east and 3 rows south.
            const double s1 = std::hypot(double(i) - 25, double(j) - 12), s2 = std::hypot(double(i) - 45, double(j) - 27);
            const double w = std::max(45 - 2 * s1, 35 - 3 * s2);
            if (w > 0) b[j * nx + i] = float(w);
        }
    EXPECT_EQ(tracking::phase_shift(a, b, nx, ny), std::make_pair(5, -3));
    EXPECT_EQ(tracking::phase_shift(a, std::vector<float>(nx * ny, NAN), nx, ny), std::make_pair(0, 0));
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

TEST(TrackerTest, TheSyntheticSeriesIsRecovered) {
    const tracking::Series s = tracking::synthetic_series(12, 300);
    const Tracked t = track_series(s);
    const double t0 = *s.volumes.front().time;
    // Each true cell is the detected cell whose weighted centre is nearest,
    // within 4 km.
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
    // Links of cells at least 12 km from any other, at both ends.
    auto alone = [&](std::size_t f, const tracking::TruePosition& p) {
        for (const auto& q : s.truth)
            if (q.track != p.track && std::abs(q.time - p.time) < 1 && std::hypot(q.x - p.x, q.y - p.y) < 12) return false;
        return std::abs(p.time - 300.0 * f) < 1;
    };
    int links = 0, kept = 0;
    for (const auto& p : s.truth) {
        const auto f = static_cast<std::size_t>(std::lround(p.time / 300));
        if (f == 0 || p.event != "continue") continue;
        const auto* q = &p;
        for (const auto& o : s.truth)
            if (o.track == p.track && std::abs(o.time - (p.time - 300)) < 1) q = &o;
        if (q == &p || !alone(f, p) || !alone(f - 1, *q)) continue;
        ++links;
        const auto a = track_of.find({f - 1, p.track}), b = track_of.find({f, p.track});
        kept += a != track_of.end() && b != track_of.end() && a->second == b->second;
    }
    EXPECT_GE(links, 30);
    EXPECT_GE(kept, links * 95 / 100) << kept << " of " << links;
    // No detected track holds two true cells that are not split from or
    // merged into each other.
    std::map<int, std::set<int>> truths;
    for (const auto& [key, detected] : track_of) truths[detected].insert(key.second);
    const std::set<std::set<int>> related = {{3, 6}, {4, 5}};
    for (const auto& [detected, set] : truths)
        if (set.size() > 1) EXPECT_TRUE(related.count(set)) << "track " << detected << " joins " << set.size();
    // The split and the merge are recorded.
    int splits = 0, merges = 0;
    for (const tracking::Row& r : t.rows) {
        splits += r.event == tracking::Event::Split && r.parent > 0;
        merges += r.event == tracking::Event::Merge && r.parent > 0;
    }
    EXPECT_GE(splits, 1);
    EXPECT_GE(merges, 1);
}

TEST(TrackerTest, GapsOrderAndEmptyVolumes) {
    const tracking::Series s = tracking::synthetic_series(7, 300);
    const tracking::Plane plane{s.volumes[0].x, s.volumes[0].y};
    // One volume missing in a series of 5-minute steps: 10 minutes is twice
    // the usual interval, still linked; two missing are a gap that ends
    // every track.
    for (const auto& r : track_series(s, {2}).rows)
        if (r.frame == 2) EXPECT_EQ(r.event, tracking::Event::Continue);
    for (const auto& r : track_series(s, {2, 3}).rows) {
        if (r.frame == 1) EXPECT_EQ(r.event, tracking::Event::End);
        if (r.frame == 2) EXPECT_EQ(r.event, tracking::Event::Start);
    }
    // A volume without cells ends every track before it.
    std::vector<tracking::Frame> frames = track_series(s).frames;
    frames.resize(4);
    frames[2].cells.clear();
    for (const auto& r : tracking::track(plane, frames, {})) {
        if (r.frame == 1) EXPECT_EQ(r.event, tracking::Event::End);
        if (r.frame == 3) EXPECT_EQ(r.event, tracking::Event::Start);
    }
    // One volume only starts its tracks; volumes out of time order are refused.
    for (const auto& r : tracking::track(plane, {frames[0]}, {})) EXPECT_EQ(r.event, tracking::Event::Start);
    std::swap(frames[0], frames[3]);
    EXPECT_THROW(tracking::track(plane, frames, {}), std::invalid_argument);
}

}  // namespace
