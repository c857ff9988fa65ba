// Polar volumes onto a Cartesian grid: the gates of one or several radars
// mapped onto x, y, z on an azimuthal equidistant projection about the grid's
// origin, as the gridded volumes velmora analyzes.
//
// Each gate lies where the 4/3 effective earth radius model puts it (Doviak
// and Zrnic 1993, eq. 2.28): height h = sqrt(r^2 + R^2 + 2 r R sin e) - R and
// ground distance s = R asin(r cos e / (R + h)), R = 4/3 x 6371 km. A grid
// point takes every gate within its radius of influence, which widens with
// range as the beam does: z/20 + d tan(1.5 deg) with a floor of 0.5 km, d the
// point's ground distance from the radar (the default of Py-ART's gridding,
// Helmus and Collis 2016). Gates weigh (R^2 - d^2) / (R^2 + d^2) at distance
// d (Cressman 1959). Reflectivity is averaged as linear Z, no echo counting
// as zero power; missing gates are left out. A point no gate reaches, or
// reached by no echo only, is missing.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>

#include "io/geo.h"
#include "polar/polar.h"
#include "io/volume.h"
#include "options/options.h"

namespace velmora::polar {

// The work of a grid point grows as the cube of its radius of influence:
// the KLIX volume takes 0.8 s at the defaults, some 10 s at either bound,
// and would take minutes beyond. A coarser grid may take a wider floor, up
// to twice its largest spacing: its points are fewer by as much.
inline constexpr double kMaxRoiMin = 5.0;     // km
inline constexpr double kMaxRoiAngle = options::option("grid", "roi-angle").max;   // degrees

// The grid's defaults: the i-th number of the option name.
constexpr double grid_default(std::string_view name, std::size_t i) { return options::option("grid", name).value.v[i]; }

struct GridOptions {
    // Grid points in km from the origin, both ends included: x east, y north,
    // z up from the antenna height of the first radar.
    double xmin = grid_default("extent", 0), xmax = grid_default("extent", 1);
    double ymin = grid_default("extent", 2), ymax = grid_default("extent", 3);
    double zmin = grid_default("levels", 0), zmax = grid_default("levels", 1);
    double dx = grid_default("spacing", 0), dy = grid_default("spacing", 1), dz = grid_default("spacing", 2);
    // The centre of the projection; without it, the first radar.
    std::optional<GeoOrigin> origin;
    // The radius of influence: the floor in km, and the angle, degrees, by
    // which it widens with ground distance; at most kMaxRoiMin (or twice the
    // largest spacing) and kMaxRoiAngle.
    double roi_min = options::number("grid", "roi-min");
    double roi_angle = options::number("grid", "roi-angle");
    std::int64_t max_nodes = max_volume_nodes;
    // Told what the gridding leaves out, once per sweep ("<file>: dataset15
    // at 90 degrees elevation left out: ..."); nothing is told without it.
    std::function<void(const std::string&)> note{};
};

// The options' problem, or empty when they make a grid: spacings and extents
// finite and positive, at most max_nodes points.
std::string grid_problem(const GridOptions& o);

// The effective earth radius of the 4/3 model, km.
inline constexpr double kEffectiveEarthRadius = 4.0 / 3.0 * 6371.0;
// Height above the antenna and ground distance of the gate at slant range r
// (km) and elevation e (degrees).
double beam_height(double r, double elevation);
double ground_distance(double r, double elevation);

// The grid of the radars' field. Throws std::runtime_error when a radar has
// no position, the options make no grid (grid_problem) or the radars'
// fields differ; the volume has the first radar's time and field name DT,
// nulls -9999.
Volume grid_volumes(std::span<const PolarVolume> radars, const GridOptions& o);

}  // namespace velmora::polar
