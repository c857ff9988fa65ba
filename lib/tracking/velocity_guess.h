// The first guesses a series gives the dealiasing of its next volume
// (polar/dealias.h): the newest volume of the radar dealiased so far, and
// the storm motion, the mean motion of the cells tracked into the newest
// volume linked. `velmora track` keeps them as it analyzes its volumes in
// the order given, the watcher as volumes arrive (the volume before in its
// state store, so that a restart dealiases as an uninterrupted run would).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "polar/dealias.h"
#include "polar/polar.h"
#include "tracking/tracker.h"

namespace velmora::tracking {

// The mean motion of the cells of rows that moved since the volume before
// (u, v finite); none when none did.
std::optional<polar::Wind> storm_motion(std::span<const Row> rows);

class VelocityGuess {
public:
    VelocityGuess();
    ~VelocityGuess();
    VelocityGuess(VelocityGuess&&) noexcept;
    VelocityGuess& operator=(VelocityGuess&&) noexcept;

    // What the next volume's dealiasing takes (pointing into this guess).
    polar::DealiasOptions options() const;
    // Keeps velocity (a volume's radial velocity, dealiased) as the previous
    // volume unless the one kept is newer.
    void keep(std::optional<polar::PolarVolume> velocity);
    // Whether keep() would keep v.
    bool newer(const polar::PolarVolume& v) const;
    const std::optional<polar::PolarVolume>& previous() const { return previous_; }
    void set_motion(std::optional<polar::Wind> motion) { motion_ = motion; }
    const std::optional<polar::Wind>& motion() const { return motion_; }
    // Links frame (a volume of the grid plane, of its own time) to the
    // frames before it as the watcher's series links its newest volume, and
    // takes the storm motion of its cells. A frame without a time, or not
    // later than the last one linked, changes nothing.
    void link(const Plane& plane, const Frame& frame, const Settings& s);

private:
    struct Links;
    std::optional<polar::PolarVolume> previous_;
    std::optional<polar::Wind> motion_;
    std::unique_ptr<Links> links_;
};

}  // namespace velmora::tracking
