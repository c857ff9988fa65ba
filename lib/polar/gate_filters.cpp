#include "polar/gate_filters.h"

#include <cmath>
#include <vector>

namespace velmora::polar {

namespace {

bool echo(float value) { return std::isfinite(value); }

}  // namespace

// Whether the rays of a sweep go round the whole circle, so that its last
// ray lies beside its first.
bool full_circle(const Sweep& s) {
    const std::size_t n = s.rays();
    if (n < 3) return false;
    double turned = 0.0;
    for (std::size_t r = 1; r < n; ++r) {
        double step = s.azimuth[r] - s.azimuth[r - 1];
        if (step < -180.0) step += 360.0;
        if (step > 180.0) step -= 360.0;
        turned += std::fabs(step);
    }
    // The ray spacing closes the circle: n rays of 1 degree turn 359.
    return turned + turned / static_cast<double>(n - 1) >= 359.5;
}

namespace {

// Whether any gate beside (ray r, gate g) has echo.
bool neighbour_has_echo(const Sweep& s, std::size_t r, int g, bool circle) {
    const std::size_t n = s.rays();
    for (int dr = -1; dr <= 1; ++dr) {
        std::size_t rr = r;
        if (dr < 0 && r == 0) {
            if (!circle) continue;
            rr = n - 1;
        } else if (dr > 0 && r + 1 == n) {
            if (!circle) continue;
            rr = 0;
        } else {
            rr = r + static_cast<std::size_t>(static_cast<std::ptrdiff_t>(dr));
        }
        for (int dg = -1; dg <= 1; ++dg) {
            const int gg = g + dg;
            if ((dr == 0 && dg == 0) || gg < 0 || gg >= s.gates) continue;
            if (echo(s.at(rr, gg))) return true;
        }
    }
    return false;
}

}  // namespace

std::size_t despeckle(Sweep& sweep) {
    const std::size_t n = sweep.rays();
    if (n == 0 || sweep.gates <= 0 || sweep.values.size() != n * static_cast<std::size_t>(sweep.gates)) return 0;
    const bool circle = full_circle(sweep);
    // Found first, changed after: a speck removed must not make its
    // neighbour a speck.
    std::vector<std::size_t> specks;
    for (std::size_t r = 0; r < n; ++r)
        for (int g = 0; g < sweep.gates; ++g)
            if (echo(sweep.at(r, g)) && !neighbour_has_echo(sweep, r, g, circle))
                specks.push_back(r * static_cast<std::size_t>(sweep.gates) + static_cast<std::size_t>(g));
    for (std::size_t i : specks) sweep.values[i] = kNoEcho;
    return specks.size();
}

std::string gate_filters_problem(const GateFilters& f) {
    if (f.min_quality && !(*f.min_quality >= 0.0 && *f.min_quality <= 1.0))
        return "the least quality index must be from 0 to 1";
    if (f.max_clutter_power && !std::isfinite(*f.max_clutter_power))
        return "the most clutter filter power must be a finite number of dB";
    return "";
}

std::size_t drop_poor_gates(Sweep& sweep, const GateFilters& f) {
    std::size_t changed = 0;
    const auto drop = [&](const std::vector<float>& by, const std::optional<double>& limit, bool below) {
        if (!limit || by.size() != sweep.values.size()) return;
        for (std::size_t i = 0; i < by.size(); ++i) {
            const float q = by[i];
            const bool poor = below ? q < *limit : q > *limit;   // false for NaN
            if (poor && !std::isnan(sweep.values[i])) {
                sweep.values[i] = kMissing;
                ++changed;
            }
        }
    };
    drop(sweep.quality, f.min_quality, true);
    drop(sweep.clutter_power, f.max_clutter_power, false);
    return changed;
}

std::size_t filter_gates(PolarVolume& v, const GateFilters& f) {
    std::size_t changed = 0;
    for (Sweep& s : v.sweeps) changed += drop_poor_gates(s, f);
    if (f.despeckle)
        for (Sweep& s : v.sweeps) changed += despeckle(s);
    return changed;
}

}  // namespace velmora::polar
