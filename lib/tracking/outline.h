// The outline of a set of grid columns as polygons: the edges between
// columns inside and outside, chained into rings around the columns'
// squares, the outer rings counter-clockwise and their holes clockwise
// (GeoJSON's order), two squares that touch at a corner only kept apart.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "tracking/tracker.h"

namespace velmora::tracking {

using Ring = std::vector<std::array<double, 2>>;   // x, y in km; closed (the first point again at the end)

// One polygon: its outer ring, then its holes.
using Polygon = std::vector<Ring>;

// The polygons of columns (ascending, j * nx + i) on the plane's grid, each
// column the square half a spacing about its point.
std::vector<Polygon> outline(std::span<const std::int32_t> columns, const Plane& plane);

}  // namespace velmora::tracking
