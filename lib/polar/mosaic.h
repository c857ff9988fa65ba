// The mosaic of several radars: one grid that keeps, at every point, the
// best-placed radar's view rather than an average of every gate.
//
// Each radar first gives its own value at a grid point, from its own gates
// alone, gridded as gridding.h grids one radar (the Cressman sum in three
// dimensions interpolates between its sweeps). The radars' values are then
// combined (--combine):
//
//  - weighted (default): the average, as linear Z for reflectivity, with
//    weights w = exp(-(d / L)^2) exp(-(g / H)^2). d is the point's ground
//    distance from the radar, L = 50 km: the length of the exponential
//    weight of distance of the operational 3-D mosaics (Zhang, Howard and
//    Gourley 2005; the NMQ/MRMS mosaic). g is how far the point lies outside
//    the radar's nearest beam, in height (0 within it), H the larger of the
//    beam's half width there and one grid level: a radar whose beam passes
//    through the point outweighs one that only interpolates between sweeps.
//    Nearer radars see with narrower beams; lower beams at a given height
//    come from the nearer radar. Of reflectivity, the average takes only the
//    radars that see within kAgreement (2 dB, about the radars' calibration
//    differences) of the strongest echo there: a weaker view is taken as
//    what loses echo at C and X band (attenuation by the rain between the
//    radar and the point, a beam partly blocked or partly filled, one that
//    passes over the echo), never as a correction of a stronger one. So no
//    radar's no echo or weaker echo pulls another's echo down by more than
//    kAgreement; the radar kept is the one of the greatest weight of those
//    averaged.
//  - nearest: the value of the radar of the greatest weight.
//  - max: the highest value of any radar.
//
// A radar's "no echo" counts (where no radar sees echo, and for nearest)
// only where its beams cover the point: between the lower edge of its lowest
// beam and the upper edge of its highest there. Below its lowest beam
// (overshooting far out) or above its highest (the cone of silence) its
// gridded value is an extrapolation of gates elsewhere, and another radar's
// echo there is kept. Gates a quality index marks as
// blocked or cluttered (--min-quality) are missing, never no echo.
//
// Heights are above mean sea level (a single radar's grid is above its
// antenna): the radars stand at different heights. Memory grows with the
// grid, not with the number of radars times the grid: the columns are
// gridded one at a time, every radar's values in a column at once.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/volume.h"
#include "polar/gridding.h"
#include "polar/polar.h"

namespace velmora::polar {

enum class Combine { weighted, nearest, max };

inline constexpr double kMosaicLength = 50.0;   // km, the weight's length in distance
inline constexpr double kAgreement = 2.0;      // dB below the strongest echo a weighted radar may see
inline constexpr double kMaxAge = 300.0;        // s between the earliest and latest volume, by default

// "weighted", "nearest" or "max"; none for another name.
std::optional<Combine> combine_named(const std::string& name);
const char* combine_name(Combine c);

struct MosaicOptions {
    Combine combine = Combine::weighted;
    // The most seconds between the volumes' times; further apart, refused.
    double max_age = kMaxAge;
    // The radar (its name or its file) every other is brought to the level
    // of before combining, by the median differences in the overlaps; empty:
    // the values as measured.
    std::string calibrate;
    // Whether the grid's extent was given; without it the grid covers every
    // radar's range (and its origin, when not given, is the network's centre).
    bool extent_given = false;
};

// A radar of a mosaic.
struct MosaicRadar {
    std::string name;               // its file's name without folder and extension
    std::string source;             // its file
    Site site;
    std::optional<double> time;     // of its volume, s since 1970-01-01 UTC
    double x = 0, y = 0;            // km east and north of the grid's origin
    double range = 0;               // its farthest gate's ground distance, km
    double adjustment = 0;          // dB added to its values (calibrate)
};

// What two radars see in the voxels both see with echo: the median of a's
// value minus b's, dB, and how many voxels.
struct Overlap {
    std::size_t a = 0, b = 0;
    double median = 0;
    std::int64_t count = 0;
};

struct Mosaic {
    Volume grid;                        // the field, z above mean sea level
    std::vector<std::uint8_t> seen_by;  // per point, as grid.values: how many radars saw it
    std::vector<std::int8_t> kept;      // per point: the radar whose view was kept, -1 none
    std::vector<MosaicRadar> radars;
    std::vector<Overlap> overlaps;      // every pair that shares echo, as measured
    std::vector<Overlap> residuals;     // the same after the calibration, when calibrated
    Combine combine = Combine::weighted;
    double time_spread = 0;             // s between the earliest and the latest volume
};

// The radars of volumes as a mosaic names them, with their ranges (their
// positions from the origin are network_grid's).
std::vector<MosaicRadar> mosaic_radars(std::span<const PolarVolume> volumes);

// The grid's options of a mosaic of radars: given's, its origin when not
// given the centre of the radars' positions, its extent unless
// m.extent_given every radar's range. The radars' positions from the
// origin go into radars.
GridOptions network_grid(const GridOptions& given, const MosaicOptions& m, std::vector<MosaicRadar>& radars);

// The mosaic of the radars' volumes. std::runtime_error as grid_volumes()
// gives it, and for volumes further apart in time than m.max_age (naming
// every volume's time), a calibration reference that is none of the radars,
// or a grid over every radar's range of more points than o.max_nodes.
Mosaic mosaic_volumes(std::span<const PolarVolume> radars, const GridOptions& o, const MosaicOptions& m);

// The overlaps as lines of text: "bejab - behel: +0.5 dB over 12345 voxels".
std::vector<std::string> overlap_lines(const Mosaic& m, const std::vector<Overlap>& overlaps);

// Writes the mosaic as NetCDF: the grid's layout (write_netcdf), with
// radar_count and kept_radar (time, z, y, x), the radars (name, position,
// height, time, adjustment) along a dimension radar, the overlaps along a
// dimension overlap, and the time spread and combination as attributes.
void write_mosaic(const std::string& path, const Mosaic& m);

}  // namespace velmora::polar
