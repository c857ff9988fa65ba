// Vertical cross-sections through a radar grid, cut from its full data: the
// values along a line on the ground at every level of the grid, sampled at
// the grid's horizontal spacing (trilinear between its nodes), as the
// forecaster's console draws them beside the plan view.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "io/volume.h"

namespace velmora::scene {

using Point2 = std::array<double, 2>;   // x, y in km

struct Section {
    Point2 from{}, to{};             // the line as cut (clipped to the grid)
    double step_km = 0;              // between two samples along it
    std::vector<float> z_km;         // the grid's levels
    std::size_t samples = 0;         // along the line, from `from` on
    std::vector<float> values;       // samples along the line fastest, then level; NaN: no value
};

// The section along from -> to, clipped to the grid's horizontal extent, a
// sample every min(dx, dy) of the grid (its mean spacing), at every level.
// std::invalid_argument when the line misses the grid or has no length.
Section cut_section(const Volume& grid, std::span<const float> values, Point2 from, Point2 to);

// The line through centre along direction (east when it has no length),
// from edge to edge of the grid's horizontal extent.
std::array<Point2, 2> line_across(const Volume& grid, Point2 centre, Point2 direction);

}  // namespace velmora::scene
