// Storm cells divided at their cores: inside a cell, the separate regions at
// a higher reflectivity level are its cores, and a cell of two or more cores
// becomes as many parts, each grown from its core through the cell.
// docs/properties.md gives the rules and the numbering.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "options/options.h"

namespace velmora {

// The cores of a cell are found at each level in turn: the face-connected
// regions of the cell's voxels at or above it of at least min_core voxels.
inline constexpr int kDefaultMinCore = static_cast<int>(options::number("analyze", "min-core"));

struct SplitSettings {
    std::vector<double> levels;   // dBZ, rising; empty: no division
    int min_core = kDefaultMinCore;
};

// The grid the cells lie on, x fastest; values in dBZ, where non-finite
// values and, when has_null, null_value are missing (never in a core).
struct SplitGrid {
    std::int64_t nx = 0, ny = 0, nz = 0;
    bool has_null = false;
    float null_value = 0;
};

// Divides the cells of labels (the cell of each voxel, 0 outside) in place.
// Numbers 1..no_max are the cells' (a larger number in labels counts too);
// the part grown from a cell's largest core keeps its number, the others
// take numbers from the first free one up, cell by cell, in the order of
// their cores. Returns the parent of every number 0..the highest now, itself
// for a cell left whole (parent[0] = 0). Throws std::invalid_argument when
// the sizes do not fit the grid, a level is not finite or the levels do not
// rise, or min_core is below 1.
std::vector<std::int32_t> split_cells(std::span<std::int32_t> labels, std::span<const float> values, const SplitGrid& g,
                                      std::int32_t no_max, const SplitSettings& s);

}  // namespace velmora
