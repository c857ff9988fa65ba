// The steps of the gridding (gridding.cpp) that the mosaic of several radars
// (mosaic.cpp) takes radar by radar: a sweep's gates made ready, a column's
// sums from them, the grid's axes and where its columns lie from each radar.
#pragma once

#include <algorithm>
#include <span>
#include <vector>

#include "io/geo.h"
#include "polar/polar.h"

namespace velmora::polar {
struct GridOptions;
}

namespace velmora::polar::steps {

// Grid points from lo to hi (both included when hi falls on a point).
struct Axis {
    double first = 0.0, step = 1.0;
    int n = 0;
    double at(int i) const { return first + step * i; }
};

// A sweep as the gridding reads it: its rays ordered by azimuth, every
// gate's ground distance and height, and its value as it is averaged.
struct SweepGates {
    int gates = 0;
    std::vector<float> azimuth;        // degrees, ascending
    std::vector<double> sin_az, cos_az;
    std::vector<double> sec_el;        // 1 / cos(elevation): ground distance to slant range, nearly
    double r0 = 0, per_gate = 1;       // slant range of the first gate, gates per km
    // km, gate by gate along a ray (s rises along it): one row of gates
    // for each elevation of the sweep, row[ray] the ray's.
    std::vector<double> s, h;
    std::vector<std::uint32_t> row;
    std::vector<double> value;         // linear Z, or the value, ray by ray; NaN leaves a gate out
    double s_lo = 0, s_hi = 0, h_lo = 0, h_hi = 0;
    double elevation = 0;              // the rays' mean, degrees
    double beam_width = 1.0;           // degrees
    // The lowest and highest gate of the sweep in each km of ground
    // distance: a column skips the sweeps whose gates near it all lie far
    // above or below its levels (the high sweeps far out, most of all).
    std::vector<double> band_lo, band_hi;

    const double* s_of(std::size_t ray) const { return s.data() + row[ray] * static_cast<std::size_t>(gates); }
    const double* h_of(std::size_t ray) const { return h.data() + row[ray] * static_cast<std::size_t>(gates); }

    // Whether any gate between ground distances a and b (km) lies between
    // heights lo and hi.
    bool reaches(double a, double b, double lo, double hi) const {
        const int last = static_cast<int>(band_lo.size()) - 1;
        const int b0 = std::clamp(static_cast<int>(a), 0, last), b1 = std::clamp(static_cast<int>(b), 0, last);
        for (int i = b0; i <= b1; ++i)
            if (band_lo[i] <= hi && band_hi[i] >= lo) return true;
        return false;
    }
};

// One radar as the grid sees it: its sweeps, and where the grid's columns lie
// from it when it is not the grid's origin.
struct Radar {
    std::vector<SweepGates> sweeps;
    std::vector<double> x, y;   // km east and north of the radar, column by column; empty at the origin
    double height = 0;          // the antenna's height on the grid's levels, km
};

// The weighted sums of one grid column, level by level. Gate positions and
// weights are in double throughout: a point reached only at the rim of its
// radius weighs its gates by differences of nearly equal squares, which
// float would leave uncertain in the second digit.
struct ColumnSums {
    std::vector<double> weight, value, roi2, z;
    // Room for the gates of one ray within reach: distance² from the column, height, value.
    std::vector<double> near_d2{}, near_h{}, near_v{};
};

// A grid column as one radar sees it: where it lies, and how far its gates
// may be (the widest radius of influence is its top level's).
struct Column {
    double x = 0, y = 0;          // km east and north of the radar
    double s = 0;                // ground distance from the radar, km
    double roi_max = 0;          // km
    double azimuth = 0;          // degrees from north
    double half_angle = 180.0;   // rays farther round pass farther than roi_max
};

// Reflectivity is averaged as power; other fields as they are.
bool in_decibels(const PolarVolume& v);
Axis axis_of(double lo, double hi, double step);
// A sweep's gates ready for gridding, heights raised by height_offset km.
SweepGates prepare(const Sweep& sweep, bool decibels, double height_offset);
// The radii of the column's levels into sums, and the column.
Column column_at(double x, double y, const GridOptions& o, ColumnSums& sums);
// Adds the gates of a sweep within the column's reach to its sums.
void add_sweep(const SweepGates& sw, const Column& c, ColumnSums& sums);
// Each radar's sweeps, heights above height_base (km above sea level), and
// where the grid's columns lie from the radars off its origin.
std::vector<Radar> prepare_radars(std::span<const PolarVolume> volumes, const GeoOrigin& origin, const Axis& ax,
                                  const Axis& ay, bool decibels, const GridOptions& o, double height_base);

}  // namespace velmora::polar::steps
