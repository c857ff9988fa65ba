#include "scene/sections.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "scene/slices.h"

namespace velmora::scene {

namespace {

double mean_step(const std::vector<float>& axis) {
    return axis.size() > 1 ? (axis.back() - axis.front()) / static_cast<double>(axis.size() - 1) : 1.0;
}

// The parameters t0 <= t1 of p + t d within the grid's horizontal box
// (Liang-Barsky); false when the line misses it.
bool clip(const Volume& g, Point2 p, Point2 d, double& t0, double& t1) {
    const double lo[2] = {g.x.front(), g.y.front()}, hi[2] = {g.x.back(), g.y.back()};
    for (int a = 0; a < 2; ++a) {
        if (d[a] == 0.0) {
            if (p[a] < lo[a] || p[a] > hi[a]) return false;
            continue;
        }
        double ta = (lo[a] - p[a]) / d[a], tb = (hi[a] - p[a]) / d[a];
        if (ta > tb) std::swap(ta, tb);
        t0 = std::max(t0, ta), t1 = std::min(t1, tb);
    }
    return t0 <= t1;
}

}  // namespace

Section cut_section(const Volume& grid, std::span<const float> values, Point2 from, Point2 to) {
    if (grid.x.size() < 2 || grid.y.size() < 2 || grid.z.empty()) throw std::invalid_argument("the grid has no extent to cut");
    const Point2 d{to[0] - from[0], to[1] - from[1]};
    const double length = std::hypot(d[0], d[1]);
    if (!(length > 0)) throw std::invalid_argument("a section needs two different points");
    double t0 = 0, t1 = 1;
    if (!clip(grid, from, d, t0, t1)) throw std::invalid_argument("the section's line does not cross the grid");
    Section s;
    s.from = {from[0] + t0 * d[0], from[1] + t0 * d[1]};
    s.to = {from[0] + t1 * d[0], from[1] + t1 * d[1]};
    s.step_km = std::min(mean_step(grid.x), mean_step(grid.y));
    const double span = (t1 - t0) * length;
    s.samples = static_cast<std::size_t>(std::floor(span / s.step_km + 1e-9)) + 1;
    s.z_km = grid.z;
    s.values.resize(s.samples * grid.z.size());
    const GridSampler sample(grid, values, grid.has_null, grid.null_value);
    const Point2 u{d[0] / length, d[1] / length};
    for (std::size_t k = 0; k < grid.z.size(); ++k)
        for (std::size_t i = 0; i < s.samples; ++i) {
            const double along = static_cast<double>(i) * s.step_km;
            s.values[i + s.samples * k] = sample.at({s.from[0] + along * u[0], s.from[1] + along * u[1], grid.z[k]});
        }
    return s;
}

std::array<Point2, 2> line_across(const Volume& grid, Point2 centre, Point2 direction) {
    double n = std::hypot(direction[0], direction[1]);
    Point2 d = n > 0 ? Point2{direction[0] / n, direction[1] / n} : Point2{1, 0};
    double t0 = -1e9, t1 = 1e9;
    if (!clip(grid, centre, d, t0, t1)) throw std::invalid_argument("the cell lies outside the grid");
    return {Point2{centre[0] + t0 * d[0], centre[1] + t0 * d[1]}, Point2{centre[0] + t1 * d[0], centre[1] + t1 * d[1]}};
}

}  // namespace velmora::scene
