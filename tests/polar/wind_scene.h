// A simulated Doppler radar looking at a known wind: a uniform wind and a
// Rankine vortex (solid rotation inside its core radius, falling off as 1/r
// outside), sampled as radial velocity on the rays and gates of a sweep and
// folded at a Nyquist velocity as the radar would measure it.
#pragma once

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "polar/polar.h"

namespace windtest {

struct Vortex {
    double x = 0, y = 0;     // centre, km east and north of the radar
    double core = 0;         // core radius, km
    double peak = 0;         // tangential wind at the core radius, m/s (positive: counterclockwise)
};

struct Scene {
    double u = 0, v = 0;     // uniform wind, m/s toward east and north
    std::vector<Vortex> vortices;

    // The wind at (x, y) km.
    void wind(double x, double y, double& ue, double& vn) const {
        ue = u, vn = v;
        for (const Vortex& o : vortices) {
            const double dx = x - o.x, dy = y - o.y, r = std::hypot(dx, dy);
            if (r == 0) continue;
            const double t = r < o.core ? o.peak * r / o.core : o.peak * o.core / r;
            ue += -t * dy / r;
            vn += t * dx / r;
        }
    }

    // The radial velocity at a gate of azimuth a, elevation e (degrees), slant range r (m).
    double radial(double a, double e, double r) const {
        constexpr double rad = std::numbers::pi / 180.0;
        const double s = r / 1000.0 * std::cos(e * rad);
        const double x = s * std::sin(a * rad), y = s * std::cos(a * rad);
        double ue, vn;
        wind(x, y, ue, vn);
        return (ue * std::sin(a * rad) + vn * std::cos(a * rad)) * std::cos(e * rad);
    }
};

// v folded into [-vn, vn).
inline double fold(double v, double vn) { return v - 2.0 * vn * std::floor((v + vn) / (2.0 * vn)); }

// A sweep of rays 360 / rays apart from 0.5 of a spacing, gates of spacing m from range_first, holding the
// scene's radial velocity (truth) and, in a copy, folded at nyquist.
inline velmora::polar::Sweep sweep_of(const Scene& scene, double elevation, int rays, int gates, double spacing,
                                      double range_first = 250.0) {
    velmora::polar::Sweep s;
    s.name = "sweep at " + std::to_string(elevation);
    s.fixed_angle = elevation;
    s.range_first = range_first;
    s.gate_spacing = spacing;
    s.gates = gates;
    for (int r = 0; r < rays; ++r) {
        const double a = (r + 0.5) * 360.0 / rays;
        s.azimuth.push_back(static_cast<float>(a));
        s.elevation.push_back(static_cast<float>(elevation));
        for (int g = 0; g < gates; ++g) s.values.push_back(static_cast<float>(scene.radial(a, elevation, range_first + g * spacing)));
    }
    return s;
}

inline velmora::polar::Sweep folded(velmora::polar::Sweep s, double nyquist) {
    s.nyquist = nyquist;
    for (float& v : s.values)
        if (std::isfinite(v)) v = static_cast<float>(fold(v, nyquist));
    return s;
}

}  // namespace windtest
