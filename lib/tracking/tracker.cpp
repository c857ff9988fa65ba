#include "tracking/tracker.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "tracking/assignment.h"
#include "tracking/phase_correlation.h"

namespace velmora::tracking {

const char* event_name(Event e) {
    switch (e) {
        case Event::Start: return "start";
        case Event::Continue: return "continue";
        case Event::Split: return "split";
        case Event::Merge: return "merge";
        case Event::End: return "end";
    }
    return "";
}

namespace {

double spacing(const std::vector<float>& a) {
    return a.size() > 1 ? (double(a.back()) - a.front()) / double(a.size() - 1) : 1.0;
}

// The columns of a cell moved by (di, dj), those that stay on the grid.
std::vector<std::int32_t> moved(const std::vector<std::int32_t>& columns, int di, int dj, int nx, int ny) {
    std::vector<std::int32_t> out;
    out.reserve(columns.size());
    for (const std::int32_t c : columns) {
        const int i = c % nx + di, j = c / nx + dj;
        if (i >= 0 && i < nx && j >= 0 && j < ny) out.push_back(j * nx + i);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::size_t common(const std::vector<std::int32_t>& a, const std::vector<std::int32_t>& b) {
    std::size_t n = 0;
    for (auto i = a.begin(), j = b.begin(); i != a.end() && j != b.end();) {
        if (*i < *j) ++i;
        else if (*j < *i) ++j;
        else ++n, ++i, ++j;
    }
    return n;
}

// The usual interval of a series: the median of its steps.
double usual_interval(const std::vector<Frame>& frames) {
    std::vector<double> steps;
    for (std::size_t f = 1; f < frames.size(); ++f) steps.push_back(frames[f].time - frames[f - 1].time);
    if (steps.empty()) return 0.0;
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    return steps[steps.size() / 2];
}

// One step of a series: the rows of the frame before (a) and of this one
// (b), and how far the cells may have gone.
struct Step {
    const Frame& last;
    const Frame& now;
    const std::vector<std::size_t>& before;
    const std::vector<std::size_t>& here;
    double dt = 0.0;            // s
    double gu = 0.0, gv = 0.0;  // the echo's motion, m/s
    double reach = 0.0;         // km
};

// The links each cell before may take to a cell now, with their weights,
// and how many columns each pair shares once the cell before has moved.
std::vector<Candidate> candidates_of(const Step& st, const std::vector<Row>& rows, const Plane& plane,
                                     std::vector<std::vector<std::size_t>>& overlap) {
    const int nx = static_cast<int>(plane.x.size()), ny = static_cast<int>(plane.y.size());
    const double dx = spacing(plane.x), dy = spacing(plane.y), dt = st.dt, reach = st.reach;
    const std::size_t na = st.before.size(), nb = st.here.size();
    overlap.assign(na, std::vector<std::size_t>(nb, 0));
    std::vector<Candidate> candidates;
    for (std::size_t a = 0; a < na; ++a) {
        const Row& ra = rows[st.before[a]];
        const Cell& ca = st.last.cells[ra.cell];
        // A cell of a track moves as it did; a new one as the echo does,
        // or not at all: the echo's motion is no cell's for sure.
        const bool own = !std::isnan(ra.u);
        const double u = own ? ra.u : st.gu, v = own ? ra.v : st.gv;
        const double px = ca.x + u * dt / 1000.0, py = ca.y + v * dt / 1000.0;
        const auto shifted = moved(ca.columns, static_cast<int>(std::lround(u * dt / 1000.0 / dx)),
                                   static_cast<int>(std::lround(v * dt / 1000.0 / dy)), nx, ny);
        for (std::size_t b = 0; b < nb; ++b) {
            const Cell& cb = st.now.cells[rows[st.here[b]].cell];
            overlap[a][b] = common(shifted, cb.columns);
            if (!own) overlap[a][b] = std::max(overlap[a][b], common(ca.columns, cb.columns));
            const double moved_km = std::hypot(cb.x - ca.x, cb.y - ca.y);
            const double off_km = own ? std::hypot(cb.x - px, cb.y - py)
                                      : std::min(std::hypot(cb.x - px, cb.y - py), moved_km);
            // A cell moving as it did before is looked for near where that
            // motion takes it; a new one anywhere within reach.
            const double near_km = own ? std::max(0.5 * reach, 2.0 * std::max(dx, dy)) : reach;
            if (moved_km > reach || (overlap[a][b] == 0 && off_km > near_km)) continue;
            const double share =
                double(overlap[a][b]) / double(std::max<std::size_t>(1, std::min(shifted.size(), cb.columns.size())));
            // Overlap counts most; nearness to the prediction decides among the rest.
            candidates.push_back({a, b, 1.0 + 2.0 * share + std::max(0.0, 1.0 - off_km / std::max(reach, 1e-9))});
        }
    }
    return candidates;
}

// Records the links chosen (mate_of_a: the cell now of each cell before, or
// -1) in the rows: continuations with their motion, and of the cells left
// over, splits off and merges into the linked cells they overlap most.
void record_links(const Step& st, std::vector<Row>& rows, const std::vector<int>& mate_of_a,
                  const std::vector<std::vector<std::size_t>>& overlap) {
    const std::size_t na = st.before.size(), nb = st.here.size();
    std::vector<int> mate_of_b(nb, -1);
    for (std::size_t a = 0; a < na; ++a)
        if (mate_of_a[a] >= 0) mate_of_b[static_cast<std::size_t>(mate_of_a[a])] = static_cast<int>(a);
    for (std::size_t b = 0; b < nb; ++b) {
        Row& rb = rows[st.here[b]];
        if (mate_of_b[b] >= 0) {
            const Row& ra = rows[st.before[static_cast<std::size_t>(mate_of_b[b])]];
            const Cell& ca = st.last.cells[ra.cell];
            const Cell& cb = st.now.cells[rb.cell];
            rb.track = ra.track;
            rb.event = Event::Continue;
            rb.u = (cb.x - ca.x) * 1000.0 / st.dt;
            rb.v = (cb.y - ca.y) * 1000.0 / st.dt;
            continue;
        }
        // Left over: split off the linked cell it overlaps most.
        std::size_t best = na;
        for (std::size_t a = 0; a < na; ++a)
            if (overlap[a][b] > 0 && mate_of_a[a] >= 0 && (best == na || overlap[a][b] > overlap[best][b])) best = a;
        if (best < na) {
            rb.event = Event::Split;
            rb.parent = rows[st.before[best]].track;
        }
    }
    for (std::size_t a = 0; a < na; ++a) {
        if (mate_of_a[a] >= 0) continue;
        // Ended: merged into the linked cell it overlaps most.
        std::size_t best = nb;
        for (std::size_t b = 0; b < nb; ++b)
            if (overlap[a][b] > 0 && mate_of_b[b] >= 0 && (best == nb || overlap[a][b] > overlap[a][best])) best = b;
        // A track of one row keeps the event it began with.
        Row& ra = rows[st.before[a]];
        if (ra.event != Event::Continue) continue;
        if (best < nb) {
            ra.event = Event::Merge;
            ra.parent = rows[st.here[best]].track;
        } else {
            ra.event = Event::End;
        }
    }
}

}  // namespace

std::vector<Row> track(const Plane& plane, const std::vector<Frame>& frames, const Settings& s) {
    for (std::size_t f = 1; f < frames.size(); ++f)
        if (!(frames[f].time > frames[f - 1].time))
            throw std::invalid_argument("the volumes of a series must be in time order, each later than the one before");
    const double dx = spacing(plane.x), dy = spacing(plane.y);
    const double max_gap = s.max_gap > 0 ? s.max_gap : 2.0 * usual_interval(frames);

    std::vector<Row> rows;
    std::vector<std::size_t> before;   // the rows of the frame before
    std::unique_ptr<PhaseCorrelation> echo_motion;   // planned at the first pair
    int tracks = 0;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        const Frame& now = frames[f];
        std::vector<std::size_t> here;
        for (std::size_t c = 0; c < now.cells.size(); ++c) {
            here.push_back(rows.size());
            rows.push_back(Row{f, c, 0, NAN, NAN, 0, Event::Start});
        }
        const double dt = f > 0 ? now.time - frames[f - 1].time : 0.0;
        if (f > 0 && dt <= max_gap && !before.empty() && !here.empty()) {
            const Frame& last = frames[f - 1];
            // The motion of the whole echo, for cells without a motion of their own.
            if (!echo_motion) echo_motion = std::make_unique<PhaseCorrelation>(plane.x.size(), plane.y.size());
            const auto [gi, gj] = echo_motion->shift(last.column_max, now.column_max);
            double gu = gi * dx * 1000.0 / dt, gv = gj * dy * 1000.0 / dt;
            if (std::hypot(gu, gv) > s.max_speed) gu = gv = 0.0;   // no echo motion is that fast
            const Step step{last, now, before, here, dt, gu, gv, s.max_speed * dt / 1000.0};
            std::vector<std::vector<std::size_t>> overlap;
            const std::vector<Candidate> candidates = candidates_of(step, rows, plane, overlap);
            record_links(step, rows, assign(before.size(), here.size(), candidates), overlap);
        } else if (f > 0) {
            // A gap, or nothing on one side: every track before ends.
            for (const std::size_t r : before)
                if (rows[r].event == Event::Continue) rows[r].event = Event::End;
        }
        for (const std::size_t r : here)
            if (rows[r].track == 0) rows[r].track = ++tracks;
        before = std::move(here);
    }
    return rows;
}

}  // namespace velmora::tracking
