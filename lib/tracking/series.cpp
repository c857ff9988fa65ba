#include "tracking/series.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velmora::tracking {

namespace {

// A true cell: where it is at step t, from its start to its end.
struct Mover {
    int track;
    int first, last;             // steps it lives
    double x0, y0, u, v;         // km at its first step, km per step
    float peak, radius;
    int parent = 0;
    const char* first_event = "start";
    const char* last_event = "end";
    float grows = 0, weakens = 0;   // km of radius and dBZ of peak a step
};

}  // namespace

Series synthetic_series(int count, double interval) {
    if (count < 2 || !(interval > 0)) throw std::invalid_argument("a series needs at least 2 volumes and an interval > 0");
    const int mid = count / 2;
    // Steps are km per volume: 1 km per step is 1000 / interval m/s.
    const double step = interval / 300.0;
    std::vector<Mover> movers = {
        // A steady cell from the west.
        {1, 0, count - 1, -65, 40, 3.6 * step, 0.3 * step, 52, 3.0f},
        // A small fast one: 7.9 km a volume at 5 minutes, more than its size.
        {2, 0, count - 1, -72, -45, 7.5 * step, 2.4 * step, 50, 2.0f},
        // One that splits: track 3 goes on north of its old path, track 6 south.
        {3, 0, count - 1, -40, 0, 3.0 * step, 0.0, 54, 3.0f},
        {6, mid, count - 1, 0, 0, 3.0 * step, 0.0, 50, 2.5f, 3, "split"},
        // Two that close in and merge: track 5 ends in track 4.
        {4, 0, count - 1, 20, -30, 1.5 * step, 0.0, 53, 3.0f},
        {5, 0, mid - 1, 20, 0, 1.5 * step, 0.0, 50, 2.5f, 0, "start", "merge"},
        // One that grows from a small cell to a large one, and one that decays
        // until it falls below 44 dBZ (after 11 volumes at 5 minutes).
        {7, 0, count - 1, 30, 42, 1.2 * step, -0.6 * step, 52, 1.6f, 0, "start", "end", float(0.25 * step)},
        {8, 0, std::min(count - 1, int(11.0 / step)), 60, -50, -0.6 * step, 0.3 * step, 55, 3.5f, 0, "start", "end", 0.0f,
         float(step)},
    };
    Series s;
    const double t0 = 1137715200.0;   // 2006-01-20T00:00:00Z
    for (int t = 0; t < count; ++t) {
        std::vector<ConvectiveCell> cells;
        for (const Mover& m : movers) {
            if (t < m.first || t > m.last) continue;
            double x = m.x0 + m.u * t, y = m.y0 + m.v * t;
            if (m.track == 3 && t >= mid) y += 3.0 + 3.0 * (t - mid);                 // drifts north after the split
            if (m.track == 6) x = movers[2].x0 + m.u * t, y = -3.0 - 3.0 * (t - mid);   // and its sibling south
            if (m.track == 5) y = -30.0 - 4.5 * (mid - t);                             // closes in on track 4
            const float radius = std::min(4.5f, m.radius + m.grows * float(t)), peak = m.peak - m.weakens * float(t);
            cells.push_back({static_cast<float>(x), static_cast<float>(y), peak, radius, 8.0f, 2.5f, 0.0f});
            const char* event = t == m.first ? m.first_event : t == m.last && t < count - 1 ? m.last_event : "continue";
            const int parent = t == m.first && m.parent ? m.parent : t == m.last && m.track == 5 ? 4 : 0;
            s.truth.push_back({m.track, t * interval, x, y, event, parent});
        }
        Volume v = synthetic_volume_of_cells({.nx = 160, .ny = 120, .nz = 20}, cells);
        v.time = t0 + t * interval;
        s.volumes.push_back(std::move(v));
    }
    return s;
}

}  // namespace velmora::tracking
