// A network's volumes over time: the files of several radars told apart by
// their radars, grouped into time steps, each step one mosaic, every step
// on the one grid of the whole series (a step a radar's volume missed
// still lies on it).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "polar/gridding.h"
#include "polar/polar_input.h"

namespace velmora::polar {

// Two files whose radars stand closer than this are of one radar.
inline constexpr double kSameRadarKm = 1.0;

struct NetworkSeries {
    // The files of each time step, in time order: at most one of each
    // radar, the radars in the order they first come among the files.
    std::vector<std::vector<std::string>> steps;
    std::size_t radars = 0;
    // The grid of every step: in's, its origin when not given the centre of
    // every radar of the series, its extent when not given over every
    // radar's range.
    GridOptions grid;
};

// The polar volumes of paths as a network's series, when they come from
// more than one radar; none when they come from one, or are not all polar
// files. A time step takes the earliest file not yet taken and, of each
// other radar, its earliest file no more than in.mosaic.max_age later.
// std::runtime_error naming a file of no known radar position or time.
std::optional<NetworkSeries> network_series(std::span<const std::string> paths, const PolarInput& in);

}  // namespace velmora::polar
