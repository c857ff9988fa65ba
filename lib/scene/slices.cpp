#include "scene/slices.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmora::scene {

namespace {

using Vec = std::array<double, 3>;

Vec cross(const Vec& a, const Vec& b) { return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]}; }
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec unit(const Vec& a) {
    const double n = std::sqrt(dot(a, a));
    return n > 0 ? Vec{a[0] / n, a[1] / n, a[2] / n} : Vec{0, 0, 0};
}

// Where coordinate c lies along an increasing axis: the cell's first node
// and the fraction across it; false outside.
bool locate(const std::vector<float>& axis, double c, std::size_t& i, double& t) {
    if (axis.size() < 2 || !(c >= axis.front() && c <= axis.back())) return false;
    const auto up = std::upper_bound(axis.begin(), axis.end(), static_cast<float>(c));
    i = std::min<std::size_t>(static_cast<std::size_t>(std::max<std::ptrdiff_t>(up - axis.begin(), 1)) - 1, axis.size() - 2);
    t = std::clamp((c - axis[i]) / (axis[i + 1] - axis[i]), 0.0, 1.0);
    return true;
}

double axis_step(const std::vector<float>& axis) {
    return axis.size() > 1 ? (axis.back() - axis.front()) / static_cast<double>(axis.size() - 1) : 1.0;
}

// The step along unit direction d that crosses at most one cell of any axis.
double step_along(const Vec& d, const Vec& spacing) {
    double s = 0.0;
    for (int c = 0; c < 3; ++c) s += (d[c] / spacing[c]) * (d[c] / spacing[c]);
    return s > 0 ? 1.0 / std::sqrt(s) : 1.0;
}

}  // namespace

float GridSampler::at(const std::array<double, 3>& p) const {
    std::size_t i, j, k;
    double tx, ty, tz;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    if (!locate(a_.x, p[0], i, tx) || !locate(a_.y, p[1], j, ty) || !locate(a_.z, p[2], k, tz)) return nan;
    const std::size_t nx = a_.x.size(), ny = a_.y.size();
    double sum = 0.0;
    for (int c = 0; c < 8; ++c) {
        const std::size_t di = c & 1, dj = (c >> 1) & 1, dk = (c >> 2) & 1;
        const double w = (di ? tx : 1 - tx) * (dj ? ty : 1 - ty) * (dk ? tz : 1 - tz);
        if (w == 0.0) continue;
        const float x = v_[(i + di) + nx * ((j + dj) + ny * (k + dk))];
        if (!std::isfinite(x) || (has_null_ && x == null_)) return nan;
        sum += w * x;
    }
    return static_cast<float>(sum);
}

void cut_plane(const SlicePlane& plane, const Volume& axes, std::span<const float> values, bool has_null,
               float null_value, float min_value, std::int64_t max_nodes, SliceMesh& out) {
    if (axes.x.size() < 2 || axes.y.size() < 2 || axes.z.size() < 2) return;
    const Vec n = unit(plane.normal);
    if (dot(n, n) == 0.0) return;
    // In the plane: u horizontal where the plane is not, v across it.
    const Vec u = std::abs(n[2]) < 0.9 ? unit(cross({0, 0, 1}, n)) : unit(cross(n, {0, 1, 0}));
    const Vec v = unit(cross(n, u));
    double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
    for (int c = 0; c < 8; ++c) {
        const Vec corner{(c & 1) ? axes.x.back() : axes.x.front(), (c & 2) ? axes.y.back() : axes.y.front(),
                         (c & 4) ? axes.z.back() : axes.z.front()};
        const Vec r{corner[0] - plane.origin[0], corner[1] - plane.origin[1], corner[2] - plane.origin[2]};
        for (int a = 0; a < 2; ++a) lo[a] = std::min(lo[a], dot(r, a ? v : u)), hi[a] = std::max(hi[a], dot(r, a ? v : u));
    }
    const Vec spacing{axis_step(axes.x), axis_step(axes.y), axis_step(axes.z)};
    double du = step_along(u, spacing), dv = step_along(v, spacing);
    auto count = [&](double span, double d) { return static_cast<std::int64_t>(std::floor(span / d)) + 1; };
    while (count(hi[0] - lo[0], du) * count(hi[1] - lo[1], dv) > max_nodes) du *= 1.25, dv *= 1.25;
    const std::int64_t nu = count(hi[0] - lo[0], du), nv = count(hi[1] - lo[1], dv);
    const GridSampler sample(axes, values, has_null, null_value);
    // The lattice node a + nu b in space.
    auto where = [&](std::size_t at) {
        const double su = lo[0] + static_cast<double>(at % nu) * du, sv = lo[1] + static_cast<double>(at / nu) * dv;
        return Vec{plane.origin[0] + su * u[0] + sv * v[0], plane.origin[1] + su * u[1] + sv * v[1],
                   plane.origin[2] + su * u[2] + sv * v[2]};
    };
    std::vector<float> grid(static_cast<std::size_t>(nu * nv));
    for (std::size_t at = 0; at < grid.size(); ++at) grid[at] = sample.at(where(at));
    // Nodes are numbered as quads first use them.
    std::vector<std::uint32_t> number(grid.size(), UINT32_MAX);
    auto node = [&](std::size_t at) {
        if (number[at] == UINT32_MAX) {
            number[at] = static_cast<std::uint32_t>(out.values.size());
            out.values.push_back(grid[at]);
            for (const double c : where(at)) out.xyz.push_back(static_cast<float>(c));
        }
        return number[at];
    };
    for (std::int64_t b = 0; b + 1 < nv; ++b)
        for (std::int64_t a = 0; a + 1 < nu; ++a) {
            const std::size_t c0 = static_cast<std::size_t>(a + nu * b), c1 = c0 + 1, c2 = c1 + nu, c3 = c0 + nu;
            const float sum = grid[c0] + grid[c1] + grid[c2] + grid[c3];
            if (!(sum >= 4 * min_value)) continue;   // NaN (a node without a value) fails too
            out.quads.insert(out.quads.end(), {4, node(c0), node(c1), node(c2), node(c3)});
        }
}

Json slices_mesh_layer(const SliceMesh& mesh, const std::string& label, const std::string& units, Pack& pack) {
    if (mesh.quads.empty()) return {{"kind", "empty"}};
    const auto [lo, hi] = std::minmax_element(mesh.values.begin(), mesh.values.end());
    Json layer = {{"kind", "mesh"}, {"points", pack.add(std::span<const float>(mesh.xyz))},
                  {"polys", pack.add(std::span<const std::uint32_t>(mesh.quads))}};
    layer["components"] = Json::array({{{"label", label}, {"units", units}, {"veclen", 1},
                                         {"array", pack.add(std::span<const float>(mesh.values))}, {"range", {*lo, *hi}}}});
    return layer;
}

}  // namespace velmora::scene
