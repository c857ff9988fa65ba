// The step of the gridding (gridding.cpp) that SweepGridder
// (sweep_gridding.h) takes sweep by sweep, apart from both so that neither
// header includes the other.
#pragma once

#include <span>

#include "polar/polar.h"

namespace velmora::polar {

struct GridOptions;

// The step grid_volumes() takes for each sweep, made over every column
// (gridding.cpp): the sweep's gates added to the sums of the points they
// reach. x and y: each column's position from the radar, km (empty: the
// radar is the grid's origin); weight and value: the sums, column by column
// and level by level within.
struct SweepSums {
    const GridOptions& options;
    bool decibels;
    std::span<const double> x, y;
    std::span<double> weight, value;
};
void add_sweep_sums(const Sweep& sweep, const SweepSums& sums);
// Whether the volume's field is averaged as power (reflectivity) rather than
// as it is.
bool averaged_as_power(const PolarVolume& v);

}  // namespace velmora::polar
