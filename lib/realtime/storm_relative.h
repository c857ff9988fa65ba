// The storm-relative velocity of a `velmora track` or `velmora watch`
// folder's volume: the radial velocity its analysis gridded (velocity.nc)
// less the motion of its tracked cells, each where it is, and of the
// volume's storm motion elsewhere (polar/velocity.h, StormMotion). What
// the view shows and Python's storm_relative returns.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "io/table.h"
#include "io/volume.h"
#include "polar/velocity.h"

namespace velmora::realtime {

// The cells of one volume in tracks.csv (its rows of source and time):
// their centres, the radius of their area and their motion since the
// volume before. A cell at its track's start takes the motion its track
// has into the next volume; a cell without either is left to the
// background. The background is the mean motion of the cells that moved
// since the volume before, else echo (the echo's motion into the volume),
// else the mean of the motions the cells took from their tracks; none
// when nothing moved.
std::optional<polar::StormMotion> volume_motion(const Table& tracks, const std::string& source, const std::string& time,
                                                std::optional<polar::Wind> echo = std::nullopt);

// The storm-relative velocity of the folder's volume k (from 0, in
// volumes.csv's time order), m/s, named storm_relative_velocity; none when
// that volume has no velocity.nc (no radial velocity) or no motion is
// known. std::runtime_error naming the file and what is wrong otherwise.
std::optional<Volume> storm_relative_volume(const std::string& dir, std::size_t k);
// The same of the volume whose folder under volumes/ is folder (a watcher
// may have put a late volume before it since its number was read).
std::optional<Volume> storm_relative_volume(const std::string& dir, const std::string& folder);

// The name of the field.
inline constexpr const char* kStormRelative = "storm_relative_velocity";

}  // namespace velmora::realtime
