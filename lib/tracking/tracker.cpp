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

// One step of a series: the rows of the frame before (a) and of this one
// (b), and how far the cells may have gone.
struct Step {
    const Frame& last;
    const Frame& now;
    std::vector<Row>& before;
    std::vector<Row>& here;
    double dt = 0.0;            // s
    double gu = 0.0, gv = 0.0;  // the echo's motion, m/s
    double reach = 0.0;         // km
};

// How a cell before is looked for now: its predicted centre and footprint.
struct Prediction {
    bool own = false;                       // moved by its own motion, not the echo's
    double px = 0, py = 0;                  // km
    std::vector<std::int32_t> shifted;      // its columns moved as predicted
};

Prediction predict(const Step& st, const Row& ra, const Cell& ca, const Plane& plane) {
    const int nx = static_cast<int>(plane.x.size()), ny = static_cast<int>(plane.y.size());
    // A cell of a track moves as it did; a new one as the echo does, or not
    // at all: the echo's motion is no cell's for sure.
    Prediction p;
    p.own = !std::isnan(ra.u);
    const double u = p.own ? ra.u : st.gu, v = p.own ? ra.v : st.gv;
    p.px = ca.x + u * st.dt / 1000.0;
    p.py = ca.y + v * st.dt / 1000.0;
    p.shifted = moved(ca.columns, static_cast<int>(std::lround(u * st.dt / 1000.0 / spacing(plane.x))),
                      static_cast<int>(std::lround(v * st.dt / 1000.0 / spacing(plane.y))), nx, ny);
    return p;
}

// The links each cell before may take to a cell now, with their weights,
// and how many columns each pair shares once the cell before has moved.
std::vector<Candidate> candidates_of(const Step& st, const Plane& plane, std::vector<std::vector<std::size_t>>& overlap) {
    const double dx = spacing(plane.x), dy = spacing(plane.y), reach = st.reach;
    const std::size_t na = st.before.size(), nb = st.here.size();
    overlap.assign(na, std::vector<std::size_t>(nb, 0));
    std::vector<Candidate> candidates;
    for (std::size_t a = 0; a < na; ++a) {
        const Cell& ca = st.last.cells[st.before[a].cell];
        const Prediction p = predict(st, st.before[a], ca, plane);
        for (std::size_t b = 0; b < nb; ++b) {
            const Cell& cb = st.now.cells[st.here[b].cell];
            const std::size_t moved_common = common(p.shifted, cb.columns);
            const std::size_t still_common = p.own ? 0 : common(ca.columns, cb.columns);
            overlap[a][b] = std::max(moved_common, still_common);
            // Covering most of a predicted footprint makes the same storm, however fast.
            const bool same_storm =
                double(moved_common) >= kSameStormShare * double(std::max<std::size_t>(1, p.shifted.size())) ||
                double(still_common) >= kSameStormShare * double(std::max<std::size_t>(1, ca.columns.size()));
            const double moved_km = std::hypot(cb.x - ca.x, cb.y - ca.y);
            const double off_km = p.own ? std::hypot(cb.x - p.px, cb.y - p.py)
                                        : std::min(std::hypot(cb.x - p.px, cb.y - p.py), moved_km);
            // A cell moving as it did before is looked for near where that
            // motion takes it; a new one anywhere within reach.
            const double near_km = p.own ? std::max(0.5 * reach, 2.0 * std::max(dx, dy)) : reach;
            if (!same_storm && (moved_km > reach || (overlap[a][b] == 0 && off_km > near_km))) continue;
            const double share = double(overlap[a][b]) /
                                 double(std::max<std::size_t>(1, std::min(p.shifted.size(), cb.columns.size())));
            // Overlap counts most; nearness to the prediction decides among the rest.
            candidates.push_back({a, b, 1.0 + 2.0 * share + std::max(0.0, 1.0 - off_km / std::max(reach, 1e-9))});
        }
    }
    return candidates;
}

// Records the links chosen (mate_of_a: the cell now of each cell before, or
// -1) in the rows: continuations with their motion, and of the cells left
// over, splits off and merges into the linked cells they overlap most.
void record_links(const Step& st, const std::vector<int>& mate_of_a,
                  const std::vector<std::vector<std::size_t>>& overlap) {
    const std::size_t na = st.before.size(), nb = st.here.size();
    std::vector<int> mate_of_b(nb, -1);
    for (std::size_t a = 0; a < na; ++a)
        if (mate_of_a[a] >= 0) mate_of_b[static_cast<std::size_t>(mate_of_a[a])] = static_cast<int>(a);
    for (std::size_t b = 0; b < nb; ++b) {
        Row& rb = st.here[b];
        if (mate_of_b[b] >= 0) {
            const Row& ra = st.before[static_cast<std::size_t>(mate_of_b[b])];
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
            rb.parent = st.before[best].track;
        }
    }
    for (std::size_t a = 0; a < na; ++a) {
        if (mate_of_a[a] >= 0) continue;
        // Ended: merged into the linked cell it overlaps most.
        std::size_t best = nb;
        for (std::size_t b = 0; b < nb; ++b)
            if (overlap[a][b] > 0 && mate_of_b[b] >= 0 && (best == nb || overlap[a][b] > overlap[a][best])) best = b;
        // A track of one row keeps the event it began with.
        Row& ra = st.before[a];
        if (ra.event != Event::Continue) continue;
        if (best < nb) {
            ra.event = Event::Merge;
            ra.parent = st.here[best].track;
        } else {
            ra.event = Event::End;
        }
    }
}

}  // namespace

double usual_interval(std::span<const double> times) {
    std::vector<double> steps;
    for (std::size_t f = 1; f < times.size(); ++f) steps.push_back(times[f] - times[f - 1]);
    if (steps.empty()) return 0.0;
    std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
    return steps[steps.size() / 2];
}

Linker::Linker(Plane plane, Settings s) : plane_(std::move(plane)), s_(s) {}
Linker::~Linker() = default;

std::vector<Row> Linker::start(const Frame& now, std::size_t index, int& tracks) {
    std::vector<Row> here;
    for (std::size_t c = 0; c < now.cells.size(); ++c) here.push_back(Row{index, c, ++tracks, NAN, NAN, 0, Event::Start});
    return here;
}

std::vector<Row> Linker::link(const Frame& last, std::vector<Row>& last_rows, const Frame& now, std::size_t index,
                              int& tracks, double max_gap, EchoMotion* echo) {
    if (echo) *echo = {};
    std::vector<Row> here;
    for (std::size_t c = 0; c < now.cells.size(); ++c) here.push_back(Row{index, c, 0, NAN, NAN, 0, Event::Start});
    const double dt = now.time - last.time;
    if (dt <= max_gap && !last_rows.empty() && !here.empty()) {
        // The motion of the whole echo, for cells without a motion of their own.
        if (!echo_motion_) echo_motion_ = std::make_unique<PhaseCorrelation>(plane_.x.size(), plane_.y.size());
        const auto [gi, gj] = echo_motion_->shift(last.column_max, now.column_max);
        const double gu = gi * spacing(plane_.x) * 1000.0 / dt, gv = gj * spacing(plane_.y) * 1000.0 / dt;
        if (echo) *echo = {gu, gv};
        const Step step{last, now, last_rows, here, dt, gu, gv, s_.max_speed * dt / 1000.0};
        std::vector<std::vector<std::size_t>> overlap;
        const std::vector<Candidate> candidates = candidates_of(step, plane_, overlap);
        record_links(step, assign(last_rows.size(), here.size(), candidates), overlap);
    } else {
        // A gap, or nothing on one side: every track before ends.
        for (Row& r : last_rows)
            if (r.event == Event::Continue) r.event = Event::End;
    }
    for (Row& r : here)
        if (r.track == 0) r.track = ++tracks;
    return here;
}

std::vector<Row> track(const Plane& plane, const std::vector<Frame>& frames, const Settings& s,
                       std::vector<EchoMotion>* echo) {
    for (std::size_t f = 1; f < frames.size(); ++f)
        if (!(frames[f].time > frames[f - 1].time))
            throw std::invalid_argument("the volumes of a series must be in time order, each later than the one before");
    std::vector<double> times;
    for (const Frame& f : frames) times.push_back(f.time);
    const double max_gap = s.max_gap > 0 ? s.max_gap : 2.0 * usual_interval(times);
    Linker linker(plane, s);
    std::vector<std::vector<Row>> per_frame(frames.size());
    std::vector<EchoMotion> motion(frames.size());
    int tracks = 0;
    for (std::size_t f = 0; f < frames.size(); ++f)
        per_frame[f] = f == 0 ? Linker::start(frames[f], f, tracks)
                              : linker.link(frames[f - 1], per_frame[f - 1], frames[f], f, tracks, max_gap, &motion[f]);
    if (echo) *echo = std::move(motion);
    std::vector<Row> rows;
    for (auto& r : per_frame) rows.insert(rows.end(), r.begin(), r.end());
    return rows;
}

}  // namespace velmora::tracking
