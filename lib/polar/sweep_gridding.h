// A radar volume gridded sweep by sweep as its sweeps come (the NEXRAD
// real-time chunks): every grid point's weighted sums are kept between
// sweeps, so that when the last sweep comes only that one is left to grid.
// Each point's sums take the gates in the order grid_volumes() takes them
// for the whole volume (sweep after sweep), so the grid is the same, bit for
// bit, when the sweeps are added in the volume's order.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/volume.h"
#include "polar/gridding.h"
#include "polar/polar.h"

namespace velmora::polar {

class SweepGridder {
public:
    // The grid of the radar of volume (its site, field and units; its sweeps
    // are not read) with the options o. std::runtime_error as grid_volumes()
    // gives it: no site, or options that make no grid.
    SweepGridder(const PolarVolume& volume, const GridOptions& o);

    // Adds a sweep's gates to the sums; the sweeps of the volume in its order.
    void add(const Sweep& sweep);
    std::size_t sweeps() const { return sweeps_; }
    // The grid of the sweeps added so far, as grid_volumes() makes it.
    Volume grid(std::optional<double> time) const;

private:
    GridOptions o_;
    bool decibels_ = true;
    std::string field_, units_;
    GeoOrigin origin_;
    std::vector<double> x_, y_;             // the columns from the radar, when it is not the origin
    std::vector<double> weight_, value_;    // column by column, level by level within
    std::size_t sweeps_ = 0;
};

}  // namespace velmora::polar
