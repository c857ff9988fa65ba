#include "realtime/live_series.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "io/cf_time.h"

namespace velmora::realtime {

LiveSeries::LiveSeries(LiveSettings s) : s_(std::move(s)) {}
LiveSeries::~LiveSeries() = default;

void LiveSeries::set_plane(tracking::Plane plane) {
    plane_ = std::move(plane);
    linker_ = std::make_unique<tracking::Linker>(*plane_, s_.link);
}

void LiveSeries::restore(tracking::Plane plane, std::vector<LiveVolume> window, int tracks_before,
                         std::size_t volumes_before) {
    set_plane(std::move(plane));
    frames_.clear();
    info_.clear();
    for (LiveVolume& v : window) {
        frames_.push_back(std::move(v.t));
        info_.push_back(std::move(v.info));
    }
    tracks_before_ = tracks_before;
    volumes_before_ = volumes_before;
}

std::size_t LiveSeries::min_volumes() const { return s_.trend.history + s_.reorder_window + 12; }

double LiveSeries::horizon() const { return (s_.leads.empty() ? 0.0 : s_.leads.back()) + 3600.0; }

double LiveSeries::usual_interval(std::size_t upto) const {
    std::vector<double> times;
    for (std::size_t f = upto >= 10 ? upto - 10 : 0; f <= upto && f < frames_.size(); ++f)
        times.push_back(frames_[f].frame.time);
    return tracking::usual_interval(times);
}

double LiveSeries::max_gap(std::size_t index) const {
    return s_.link.max_gap > 0 ? s_.link.max_gap : 2.0 * usual_interval(index);
}

Placement LiveSeries::place(double time) const {
    const auto at = std::lower_bound(frames_.begin(), frames_.end(), time,
                                     [](const tracking::TrackedFrame& f, double t) { return f.frame.time < t; });
    const auto index = static_cast<std::size_t>(at - frames_.begin());
    if (at == frames_.end()) return {Placement::Kind::Newest, index, {}};
    if (at->frame.time == time)
        return {Placement::Kind::SameTime, index, "of the same time as " + info_[index].name + " (" + iso_utc(time) + ")"};
    const std::size_t newer = frames_.size() - index;
    // The volume before it must be in the window: its links are made again.
    if (newer > s_.reorder_window || (index == 0 && volumes_before_ > 0))
        return {Placement::Kind::TooLate, index,
                "older than the " + std::to_string(s_.reorder_window) + " volumes of the reorder window (" +
                    std::to_string(newer) + " newer volumes are in, the newest " + info_.back().name + ")"};
    return {Placement::Kind::Late, index, {}};
}

std::size_t LiveSeries::insert(LiveVolume v) {
    if (!plane_) throw std::logic_error("a live series needs its grid first");
    const Placement p = place(v.t.frame.time);
    if (p.kind == Placement::Kind::TooLate || p.kind == Placement::Kind::SameTime) throw std::logic_error(p.reason);
    const std::size_t k = p.index;
    frames_.insert(frames_.begin() + static_cast<std::ptrdiff_t>(k), std::move(v.t));
    info_.insert(info_.begin() + static_cast<std::ptrdiff_t>(k), std::move(v.info));
    int tracks = k > 0 ? info_[k - 1].tracks_after : tracks_before_;
    for (std::size_t f = k; f < frames_.size(); ++f) {
        tracking::TrackedFrame& now = frames_[f];
        now.echo = {};
        if (f == 0) {
            now.rows = tracking::Linker::start(now.frame, f, tracks);
        } else {
            tracking::TrackedFrame& last = frames_[f - 1];
            last.rows = info_[f - 1].began;   // as they began: their ends are decided again
            now.rows = linker_->link(last.frame, last.rows, now.frame, f, tracks, max_gap(f), &now.echo);
        }
        info_[f].began = now.rows;
        info_[f].tracks_after = tracks;
    }
    return k;
}

std::size_t LiveSeries::first_affected_issue(std::size_t index) const {
    if (index >= frames_.size()) return frames_.size();
    const double from = frames_[index].frame.time - (s_.leads.empty() ? 0.0 : s_.leads.back()) -
                        usual_interval(frames_.size() - 1);
    std::size_t f = index;
    while (f > 0 && frames_[f - 1].frame.time >= from) --f;
    return f;
}

std::vector<tracking::Trend> LiveSeries::nowcasts(std::size_t index) const {
    return tracking::trends_of(frames_, index, tracking::Method::Nowcast, *plane_, s_.trend);
}

LiveSeries::VerificationUpdate LiveSeries::verification_since(std::size_t index) const {
    VerificationUpdate u;
    if (index >= frames_.size()) return u;
    const double tolerance = 0.5 * usual_interval(frames_.size() - 1), changed = frames_[index].frame.time;
    for (std::size_t f = first_affected_issue(index); f < frames_.size(); ++f)
        for (const double lead : s_.leads) {
            // Unchanged: a forecast from before the change whose valid time
            // lies before it (its volume and the verifying one are as they were).
            if (f < index && frames_[f].frame.time + lead + tolerance < changed) continue;
            u.keys.emplace_back(info_[f].id, lead);
            const long v = tracking::verifying_frame(frames_, f, lead, tolerance);
            if (v < 0) continue;
            for (const tracking::Method m : tracking::kMethods)
                u.entries.push_back({info_[f].id, info_[static_cast<std::size_t>(v)].id, lead, m,
                                     tracking::verify_pair(frames_, f, static_cast<std::size_t>(v), m, *plane_, s_.trend)});
        }
    return u;
}

std::size_t LiveSeries::trim() {
    std::size_t dropped = 0;
    while (frames_.size() > min_volumes() && frames_.front().frame.time < frames_.back().frame.time - horizon()) {
        tracks_before_ = info_.front().tracks_after;
        ++volumes_before_;
        frames_.erase(frames_.begin());
        info_.erase(info_.begin());
        ++dropped;
    }
    return dropped;
}

}  // namespace velmora::realtime
