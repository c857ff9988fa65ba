#include "tracking/velocity_guess.h"

#include <cmath>
#include <utility>

namespace velmora::tracking {

std::optional<polar::Wind> storm_motion(std::span<const Row> rows) {
    double u = 0, v = 0;
    std::size_t n = 0;
    for (const Row& r : rows)
        if (std::isfinite(r.u) && std::isfinite(r.v)) u += r.u, v += r.v, ++n;
    if (n == 0) return std::nullopt;
    return polar::Wind{u / static_cast<double>(n), v / static_cast<double>(n)};
}

// The series linked so far: its last frame and rows, the tracks begun and
// the latest times (the usual interval, as the watcher's series takes it
// from its latest ten steps).
struct VelocityGuess::Links {
    Links(const Plane& plane, const Settings& s) : linker(plane, s) {}
    Linker linker;
    Frame last;
    std::vector<Row> rows;
    std::vector<double> times;
    int tracks = 0;
    std::size_t frames = 0;
};

VelocityGuess::VelocityGuess() = default;
VelocityGuess::~VelocityGuess() = default;
VelocityGuess::VelocityGuess(VelocityGuess&&) noexcept = default;
VelocityGuess& VelocityGuess::operator=(VelocityGuess&&) noexcept = default;

polar::DealiasOptions VelocityGuess::options() const {
    polar::DealiasOptions o;
    o.previous = previous_ ? &*previous_ : nullptr;
    o.wind = motion_;
    return o;
}

bool VelocityGuess::newer(const polar::PolarVolume& v) const {
    return !previous_ || !previous_->time || !v.time || *v.time > *previous_->time;
}

void VelocityGuess::keep(std::optional<polar::PolarVolume> velocity) {
    if (velocity && newer(*velocity)) previous_ = std::move(velocity);
}

void VelocityGuess::link(const Plane& plane, const Frame& frame, const Settings& s) {
    if (!std::isfinite(frame.time)) return;
    if (!links_) {
        links_ = std::make_unique<Links>(plane, s);
        links_->rows = Linker::start(frame, 0, links_->tracks);
    } else {
        if (!(frame.time > links_->last.time)) return;
        Links& l = *links_;
        l.times.push_back(frame.time);
        if (l.times.size() > 11) l.times.erase(l.times.begin());
        const double max_gap = s.max_gap > 0 ? s.max_gap : 2.0 * usual_interval(l.times);
        l.rows = l.linker.link(l.last, l.rows, frame, ++l.frames, l.tracks, max_gap);
    }
    if (links_->times.empty()) links_->times.push_back(frame.time);
    links_->last = frame;
    motion_ = storm_motion(links_->rows);
}

}  // namespace velmora::tracking
