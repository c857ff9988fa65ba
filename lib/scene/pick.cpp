#include "scene/pick.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velmora::scene {

namespace {

// The index of the axis value nearest v (the axis increases).
std::int64_t nearest(std::span<const float> axis, double v) {
    auto it = std::lower_bound(axis.begin(), axis.end(), static_cast<float>(v));
    if (it == axis.end()) return static_cast<std::int64_t>(axis.size()) - 1;
    if (it != axis.begin() && v - *(it - 1) < *it - v) --it;
    return it - axis.begin();
}

// The part [t0, t1] of the ray inside the box of the grid widened by half a
// spacing; false when it misses.
bool clip(const std::array<std::span<const float>, 3>& axes, const std::array<double, 3>& o,
          const std::array<double, 3>& d, double& t0, double& t1) {
    t0 = 0.0;
    t1 = INFINITY;
    for (int a = 0; a < 3; ++a) {
        const auto& ax = axes[a];
        const double half = ax.size() > 1 ? (ax[1] - ax[0]) / 2 : 0.5;
        const double lo = ax.front() - half, hi = ax.back() + half;
        if (std::fabs(d[a]) < 1e-12) {
            if (o[a] < lo || o[a] > hi) return false;
            continue;
        }
        double ta = (lo - o[a]) / d[a], tb = (hi - o[a]) / d[a];
        if (ta > tb) std::swap(ta, tb);
        t0 = std::max(t0, ta);
        t1 = std::min(t1, tb);
    }
    return t0 <= t1;
}

}  // namespace

std::optional<std::int64_t> first_node_at_least(const GridValues& g, const std::array<double, 3>& origin,
                                                const std::array<double, 3>& direction, float threshold) {
    const std::array<std::span<const float>, 3> axes{g.x, g.y, g.z};
    if (g.x.empty() || g.y.empty() || g.z.empty() || g.values.size() != g.x.size() * g.y.size() * g.z.size())
        return std::nullopt;
    const double len = std::sqrt(direction[0] * direction[0] + direction[1] * direction[1] + direction[2] * direction[2]);
    if (!(len > 0)) return std::nullopt;
    const std::array<double, 3> d{direction[0] / len, direction[1] / len, direction[2] / len};
    double t0 = 0, t1 = 0;
    if (!clip(axes, origin, d, t0, t1)) return std::nullopt;
    double step = INFINITY;
    for (const auto& ax : axes)
        if (ax.size() > 1) step = std::min(step, static_cast<double>(ax[1] - ax[0]) / 4);
    if (!std::isfinite(step) || step <= 0) step = 0.25;
    const auto nx = static_cast<std::int64_t>(g.x.size()), ny = static_cast<std::int64_t>(g.y.size());
    for (double t = t0; t <= t1; t += step) {
        const std::int64_t i = nearest(g.x, origin[0] + t * d[0]), j = nearest(g.y, origin[1] + t * d[1]),
                           k = nearest(g.z, origin[2] + t * d[2]);
        const std::int64_t n = i + nx * (j + ny * k);
        const float v = g.values[static_cast<std::size_t>(n)];
        if (g.null_value && v == *g.null_value) continue;
        if (v >= threshold) return n;
    }
    return std::nullopt;
}

Json read_view_file(const std::string& path) {
    std::ifstream f(path);
    if (!f) throw std::runtime_error("can not read the view file " + path);
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string text = ss.str();
    const auto record = text.rfind("mat     = {");
    if (record == std::string::npos) throw std::runtime_error(path + " holds no view (a WriteXform file has \"mat = {\")");
    auto numbers_after = [&](const std::string& key, std::size_t count) {
        const auto at = text.find(key, record);
        if (at == std::string::npos) throw std::runtime_error(path + ": the last view has no " + key);
        std::vector<double> out;
        const char* p = text.c_str() + text.find('{', at) + 1;
        while (out.size() < count) {
            while (*p == ' ' || *p == ',' || *p == '\n') ++p;
            char* end = nullptr;
            const double v = std::strtod(p, &end);
            if (end == p) throw std::runtime_error(path + ": the last view's " + key + " is not " + std::to_string(count) + " numbers");
            out.push_back(v);
            p = end;
        }
        return out;
    };
    return {{"mat", numbers_after("mat", 16)}, {"center", numbers_after("center", 3)}, {"xlate", numbers_after("xlate", 3)},
            {"dcenter", numbers_after("dcenter", 3)}, {"ocenter", numbers_after("ocenter", 3)}};
}

}  // namespace velmora::scene
