// Storm cells that are too small to be storms: the areas the volume's
// division keeps are measured by the volume of their voxels, and those
// smaller than a least volume are left out of every result. A radar sees
// ground clutter, ships, birds and second-trip echo as a few strong voxels
// near the ground (at most 7.5 km³ on the volumes of the tests); TITAN
// (Dixon and Wiener 1993) calls storms only regions of 30 to 50 km³ or more.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/volume.h"
#include "options/options.h"

namespace velmora {

// The least volume of a storm cell by default, km³: above clutter and
// specks, below TITAN's thunderstorms, so that young cells are kept
// (docs/cli.md says why).
inline constexpr double kDefaultMinVolumeKm3 = options::number("analyze", "min-volume");

// What the volume filter did: the areas it was given and how many it left
// out. The kept cells are numbered again from 1, in the order of their
// numbers, so that every result numbers them alike and without gaps.
struct CellSieve {
    int found = 0;     // the division's areas (those of more than --min-cells tetrahedra)
    int dropped = 0;   // smaller than the least volume
    std::string failure;   // why the filter failed in a run; the instances after it are skipped
    std::vector<std::int32_t> renumbered;   // the new number of each old one, 0 when left out; empty when none was
    int kept() const { return found - dropped; }
};

// Leaves out of labels (the cell of every voxel, x fastest, 0 outside cells,
// numbers 1 to no_max) the cells whose voxels' volume (km³, each voxel as
// wide as voxel_extents makes it: the sum of their volumes on an uneven
// grid) is below min_km3, and numbers the rest 1, 2, ... in the order of
// their numbers. Throws std::invalid_argument when labels do not fit the
// axes or hold a number outside 0..no_max.
CellSieve sieve_cells(std::span<std::int32_t> labels, const Volume& axes, std::int32_t no_max, double min_km3);

// Why a least volume cannot be used (not finite, or negative); empty when it
// can.
std::string min_volume_problem(double min_km3);

// "6 cells found, 1 kept: 5 smaller than 30 km³"; empty when none was left out.
std::string sieve_text(const CellSieve& s, double min_km3);

}  // namespace velmora
