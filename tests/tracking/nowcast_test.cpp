// Forecasts of tracked cells and their verification against worked cases: straight motion at a known speed, growth
// and decay, the young track moved by the echo, both persistence baselines, and a known overlap's scores.
#include <gtest/gtest.h>

#include <cmath>

#include "tracking/nowcast.h"
#include "tracking/verification.h"

namespace {

using namespace velmora::tracking;

// A grid of 1 km columns, nx x ny, from (0, 0).
Plane grid(int nx, int ny) {
    Plane p;
    for (int i = 0; i < nx; ++i) p.x.push_back(float(i));
    for (int j = 0; j < ny; ++j) p.y.push_back(float(j));
    return p;
}

// A square cell of side n columns with its lower left column at (i, j), centred on its columns.
Cell square(const Plane& p, int i, int j, int n, int no = 1) {
    Cell c;
    c.no = no;
    const int nx = static_cast<int>(p.x.size());
    for (int b = j; b < j + n; ++b)
        for (int a = i; a < i + n; ++a) c.columns.push_back(b * nx + a);
    c.x = i + (n - 1) / 2.0;
    c.y = j + (n - 1) / 2.0;
    c.volume_km3 = n * n * 5.0;
    c.top_km = 8;
    c.max_dbz = 50;
    return c;
}

TEST(NowcastTest, ACellMovingStraightAtAKnownSpeedIsForecastToItsTruePosition) {
    // 12 m/s east and 4 m/s north, every 5 minutes, weighed however.
    std::vector<TrackPoint> points;
    for (int k = 0; k < 5; ++k) points.push_back({300.0 * k, 10 + 3.6 * k, 20 + 1.2 * k, 50, 200, 9, 52});
    const Trend t = trend(points, {}, {});
    EXPECT_NEAR(t.u, 12.0, 1e-9);
    EXPECT_NEAR(t.v, 4.0, 1e-9);
    EXPECT_FALSE(t.echo);
    const Outlook o = outlook(t, 1800);
    EXPECT_NEAR(o.x, 10 + 3.6 * 4 + 21.6, 1e-9);
    EXPECT_NEAR(o.y, 20 + 1.2 * 4 + 7.2, 1e-9);
    EXPECT_NEAR(o.area_km2, 50, 1e-9);
    EXPECT_DOUBLE_EQ(o.scale, 1.0);
    // After a turn north the latest volumes weigh most: the trend follows the new course more than an even fit.
    points.push_back({1500, points.back().x, points.back().y + 3.6, 50, 200, 9, 52});
    const Trend turned = trend(points, {}, {}), even = trend(points, {}, {.half_life = 1e9});
    EXPECT_GT(turned.v, even.v + 1.0);
    EXPECT_LT(turned.u, even.u - 1.0);
}

TEST(NowcastTest, SizesTrendAndAYoungTrackMovesWithTheEcho) {
    // Growing by 10 km2, 20 km3, 0.5 km and 1 dBZ a volume.
    std::vector<TrackPoint> points;
    for (int k = 0; k < 4; ++k) points.push_back({300.0 * k, 0, 0, 40.0 + 10 * k, 100.0 + 20 * k, 6 + 0.5 * k, 45.0 + k});
    const Outlook o = outlook(trend(points, {}, {}), 600);
    EXPECT_NEAR(o.area_km2, 90, 1e-9);
    EXPECT_NEAR(o.volume_km3, 200, 1e-9);
    EXPECT_NEAR(o.top_km, 8.5, 1e-9);
    EXPECT_NEAR(o.max_dbz, 50, 1e-9);
    EXPECT_NEAR(o.scale, std::sqrt(90.0 / 70.0), 1e-12);
    // Decaying: the area does not go below 0, and then the footprint is gone.
    for (auto& p : points) p.area_km2 = 100 - (p.time / 300) * 30;
    const Outlook gone = outlook(trend(points, {}, {}), 1800);
    EXPECT_EQ(gone.area_km2, 0.0);
    EXPECT_EQ(gone.scale, 0.0);
    const Plane p = grid(40, 40);
    EXPECT_TRUE(footprint(square(p, 5, 5, 3).columns, 6, 6, gone, p).empty());
    // Two volumes are too few for a trend: the echo's motion, and the size as it is.
    const Trend young = trend(std::span(points).first(2), {7, -3}, {});
    EXPECT_TRUE(young.echo);
    EXPECT_EQ(young.u, 7.0);
    EXPECT_EQ(young.v, -3.0);
    EXPECT_EQ(young.area_rate, 0.0);
    // An echo faster than any storm moves nothing.
    const Trend wild = trend(std::span(points).first(1), {80, 0}, {});
    EXPECT_EQ(wild.u, 0.0);
}

TEST(NowcastTest, FootprintsMoveAndScaleOnTheGrid) {
    const Plane p = grid(20, 10);
    const Cell c = square(p, 2, 2, 3);   // columns 2..4 x 2..4, centre (3, 3)
    Outlook o;
    o.x = c.x + 5;
    o.y = c.y + 2;
    EXPECT_EQ(footprint(c.columns, c.x, c.y, o, p), square(p, 7, 4, 3).columns);
    // Twice the size about the new centre: 36 columns for 9 (6 x 6 whatever the rounding).
    o.scale = 2;
    EXPECT_EQ(footprint(c.columns, c.x, c.y, o, p).size(), 36u);
    // Off the grid columns are dropped.
    o.scale = 1;
    o.x = 19;
    EXPECT_EQ(footprint(c.columns, c.x, c.y, o, p).size(), 6u);
}

TEST(VerificationTest, AKnownOverlapGivesTheKnownScores) {
    std::vector<std::int32_t> f, o;
    for (int i = 0; i < 10; ++i) f.push_back(i);
    for (int i = 5; i < 20; ++i) o.push_back(i);
    const Contingency c = compare(f, o);
    EXPECT_EQ(c.hits, 5);
    EXPECT_EQ(c.misses, 10);
    EXPECT_EQ(c.false_alarms, 5);
    EXPECT_DOUBLE_EQ(pod(c), 1.0 / 3.0);
    EXPECT_DOUBLE_EQ(far(c), 0.5);
    EXPECT_DOUBLE_EQ(csi(c), 0.25);
    EXPECT_TRUE(std::isnan(pod(compare(f, {}))));
    EXPECT_TRUE(std::isnan(csi(compare({}, {}))));
    EXPECT_EQ(union_of({{3, 1}, {2, 3}, {}}), (std::vector<std::int32_t>{1, 2, 3}));
}

// A 4 x 4 cell moving 3 columns east every 5 minutes; the echo moves with it (echo_u) or not at all, as measured
// from a volume before the first too.
std::vector<TrackedFrame> moving_cell(const Plane& p, int frames, double echo_u) {
    std::vector<TrackedFrame> s;
    for (int f = 0; f < frames; ++f) {
        TrackedFrame t;
        t.frame.time = 300.0 * f;
        t.frame.cells.push_back(square(p, 2 + 3 * f, 10, 4));
        t.rows.push_back(Row{std::size_t(f), 0, 1, f ? 10.0 : NAN, f ? 0.0 : NAN, 0, f ? Event::Continue : Event::Start});
        t.echo = {echo_u, 0};
        s.push_back(std::move(t));
    }
    return s;
}

TEST(VerificationTest, TheNowcastAndBothPersistenceBaselinesAgainstATrueMotion) {
    const Plane p = grid(60, 30);
    const double leads[] = {600.0, 1200.0};
    // The echo moves as the cell does: the nowcast and Lagrangian persistence are right, Eulerian persistence misses
    // everything (the cell moves more than its size in 10 minutes).
    const auto s = moving_cell(p, 8, 10.0);
    const auto rows = verify_series(s, leads, p, {}, 150);
    ASSERT_EQ(rows.size(), 6u);
    for (const auto& r : rows) {
        const std::int64_t volumes = r.lead == 600 ? 6 : 4;
        EXPECT_EQ(r.scores.volumes, volumes) << method_name(r.method);
        EXPECT_EQ(r.scores.centres, volumes);
        if (r.method == Method::Eulerian) {
            EXPECT_EQ(csi(r.scores.columns), 0.0);
            EXPECT_NEAR(r.scores.mean_centre_error(), r.lead / 100.0, 1e-9);
        } else {
            EXPECT_EQ(r.scores.columns.hits, 16 * volumes) << method_name(r.method);
            EXPECT_EQ(csi(r.scores.columns), 1.0) << method_name(r.method);
            EXPECT_NEAR(r.scores.mean_centre_error(), 0.0, 1e-9);
        }
    }
    // A still echo: Lagrangian persistence is Eulerian; the nowcast keeps the cell's own motion once its track has
    // three volumes (frames 2 on; 0 and 1 move with the echo: 2 of 6 volumes at +10 min miss).
    const auto still = verify_series(moving_cell(p, 8, 0.0), leads, p, {}, 150);
    EXPECT_EQ(still[1].scores.columns.hits, still[2].scores.columns.hits);
    EXPECT_EQ(still[0].scores.columns.hits, 16 * 4);
    EXPECT_EQ(still[0].scores.columns.misses, 16 * 2);
    EXPECT_EQ(verification_csv(std::span(rows).first(1)),
              "lead_min,method,volumes,hits,misses,false_alarms,pod,far,csi,centre_error_km,centres\n"
              "10,nowcast,6,96,0,0,1.0000,0.0000,1.0000,0.000,6\n");
}

TEST(VerificationTest, TheVolumeNearestTheValidTimeVerifies) {
    const Plane p = grid(60, 30);
    auto s = moving_cell(p, 6, 10.0);
    s[2].frame.time = 640;   // 40 s late
    EXPECT_EQ(verifying_frame(s, 0, 600, 150), 2);
    EXPECT_EQ(verifying_frame(s, 0, 600, 30), -1);
    EXPECT_EQ(verifying_frame(s, 4, 600, 150), -1);   // not there yet
}

}  // namespace
