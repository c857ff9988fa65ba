#include "polar/shear.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "polar/dealias.h"
#include "polar/gate_filters.h"

namespace velmora::polar {
namespace {

constexpr double kRad = std::numbers::pi / 180.0;

// Sums of the least-squares plane u = u0 + a s + b d.
struct Plane {
    double n = 0, s = 0, d = 0, u = 0, ss = 0, dd = 0, sd = 0, su = 0, du = 0;

    void add(double x, double y, double v) {
        n += 1, s += x, d += y, u += v, ss += x * x, dd += y * y, sd += x * y, su += x * v, du += y * v;
    }

    // a and b, by Cramer's rule on the centred normal equations; false when
    // the gates do not span both directions.
    bool solve(double& a, double& b) const {
        const double cs = ss - s * s / n, cd = dd - d * d / n, csd = sd - s * d / n;
        const double csu = su - s * u / n, cdu = du - d * u / n;
        const double det = cs * cd - csd * csd;
        if (!(det > 1e-9 * std::max(cs * cd, 1e-30))) return false;
        a = (csu * cd - cdu * csd) / det;
        b = (cdu * cs - csu * csd) / det;
        return true;
    }
};

// The kernel's half widths at gate g: gates along the beam, rays across.
struct Kernel {
    int gates = 1;
    std::vector<int> rays;  // per gate
};

Kernel kernel(const Sweep& v, const ShearOptions& o) {
    Kernel k;
    k.gates = std::max(1, static_cast<int>(std::lround(o.along / 2.0 / v.gate_spacing)));
    const double spacing = v.rays() > 1 ? 360.0 / static_cast<double>(v.rays()) : 1.0;
    const int most = std::max(1, static_cast<int>(v.rays() / 8));
    k.rays.resize(static_cast<std::size_t>(v.gates));
    for (int g = 0; g < v.gates; ++g) {
        const double range = std::max(v.range_first + g * v.gate_spacing, v.gate_spacing);
        const double half = o.across / 2.0 / range / kRad;  // degrees
        k.rays[static_cast<std::size_t>(g)] = std::clamp(static_cast<int>(std::lround(half / spacing)), 1, most);
    }
    return k;
}

// The plane's derivatives at gate (r, g); false when too few gates have a velocity.
bool derivatives_at(const Sweep& v, const Kernel& k, bool circle, std::size_t r, int g, double& a, double& b) {
    const int hr = k.rays[static_cast<std::size_t>(g)];
    const double centre = v.range_first + g * v.gate_spacing;
    const long rays = static_cast<long>(v.rays());
    Plane p;
    int window = 0;
    for (long dr = -hr; dr <= hr; ++dr) {
        long rr = static_cast<long>(r) + dr;
        if (rr < 0 || rr >= rays) {
            if (!circle) continue;
            rr = (rr % rays + rays) % rays;
        }
        double turn = v.azimuth[static_cast<std::size_t>(rr)] - v.azimuth[r];
        turn -= 360.0 * std::round(turn / 360.0);
        for (int gg = std::max(0, g - k.gates); gg <= std::min(v.gates - 1, g + k.gates); ++gg) {
            ++window;
            const float u = v.at(static_cast<std::size_t>(rr), gg);
            if (!std::isfinite(u)) continue;
            const double range = v.range_first + gg * v.gate_spacing;
            p.add(range * turn * kRad, range - centre, u);
        }
    }
    if (p.n < 4 || 2 * p.n < window) return false;
    return p.solve(a, b);
}

// The sweep of another quantity at the same elevation as s: by name (ODIM
// keeps quantities of a sweep in one dataset), else the nearest angle within
// 0.3 degrees.
const Sweep* same_sweep(const PolarVolume& other, const Sweep& s) {
    const Sweep* best = nullptr;
    for (const Sweep& o : other.sweeps) {
        if (o.name == s.name && std::fabs(o.fixed_angle - s.fixed_angle) < 0.3) return &o;
        if (std::fabs(o.fixed_angle - s.fixed_angle) < 0.3 &&
            (!best || std::fabs(o.fixed_angle - s.fixed_angle) < std::fabs(best->fixed_angle - s.fixed_angle)))
            best = &o;
    }
    return best;
}

// The first of the quantities names of the file holds (the reflectivity: an
// empty name), or none when it holds none of them.
std::optional<PolarVolume> read_other(const std::string& path, std::initializer_list<const char*> names,
                                      std::optional<Site> site) {
    for (const char* name : names) {
        try {
            return read_polar(path, name, site);
        } catch (const std::runtime_error&) {
        }
    }
    return std::nullopt;
}

// The file's radial velocity: the first of the usual names it holds.
PolarVolume read_velocity(const std::string& path, std::optional<Site> site) {
    if (auto v = read_other(path, {"VRADH", "VRAD", "VRADV", "VEL", "velocity", "corrected_velocity"}, site)) return *v;
    throw std::runtime_error(path + ": no radial velocity (VRADH, VRAD, VEL, velocity) to derive shear from");
}

}  // namespace

Derivatives llsd(const Sweep& velocity, const ShearOptions& o) {
    Derivatives out{velocity, velocity};
    out.azimuthal_shear.folded = {};
    out.divergence.folded = {};
    out.azimuthal_shear.nyquist.reset();
    out.divergence.nyquist.reset();
    if (velocity.gates <= 0 || velocity.rays() == 0 || !(velocity.gate_spacing > 0)) return out;
    const Kernel k = kernel(velocity, o);
    const bool circle = full_circle(velocity);
    for (std::size_t r = 0; r < velocity.rays(); ++r)
        for (int g = 0; g < velocity.gates; ++g) {
            const std::size_t i = r * static_cast<std::size_t>(velocity.gates) + static_cast<std::size_t>(g);
            double a = 0, b = 0;
            const bool ok = std::isfinite(velocity.values[i]) && derivatives_at(velocity, k, circle, r, g, a, b);
            out.azimuthal_shear.values[i] = ok ? static_cast<float>(a) : kMissing;
            out.divergence.values[i] = ok ? static_cast<float>(b) : kMissing;
        }
    return out;
}

std::size_t mask_derivatives(Sweep& sweep, const Sweep* reflectivity, const Sweep* spectrum_width, const ShearOptions& o) {
    std::optional<SweepLookup> z, w;
    if (reflectivity) z.emplace(*reflectivity, sweep);
    if (spectrum_width) w.emplace(*spectrum_width, sweep);
    std::size_t left = 0;
    for (std::size_t r = 0; r < sweep.rays(); ++r)
        for (int g = 0; g < sweep.gates; ++g) {
            float& x = sweep.values[r * static_cast<std::size_t>(sweep.gates) + static_cast<std::size_t>(g)];
            if (!std::isfinite(x)) continue;
            // No echo (-inf) is below any threshold; a gate the other field misses says nothing.
            const float zv = z ? (*z)(r, g) : NAN, wv = w ? (*w)(r, g) : NAN;
            if ((!std::isnan(zv) && zv < o.min_reflectivity) || (std::isfinite(wv) && wv > o.max_spectrum_width)) {
                x = kMissing;
                ++left;
            }
        }
    return left;
}

bool is_derived_field(const std::string& field) { return field == "azshear" || field == "divergence"; }

PolarVolume read_derived(const std::string& path, const std::string& field, std::optional<Site> site,
                         const ShearOptions& o, const std::function<void(const std::string&)>& note) {
    if (!is_derived_field(field)) throw std::invalid_argument(field + " is not a derived field (azshear, divergence)");
    PolarVolume v = read_velocity(path, site);
    const DealiasReport report = dealias_volume(v);
    if (note)
        for (const std::string& n : report.notes) note(n);
    const auto z = read_other(path, {""}, site);
    const auto w = read_other(path, {"WRADH", "WRAD", "SW", "spectrum_width", "WIDTH"}, site);
    const bool shear = field == "azshear";
    for (Sweep& s : v.sweeps) {
        Derivatives d = llsd(s, o);
        Sweep& out = shear ? d.azimuthal_shear : d.divergence;
        mask_derivatives(out, z ? same_sweep(*z, s) : nullptr, w ? same_sweep(*w, s) : nullptr, o);
        s = std::move(out);
    }
    v.field = field;
    v.units = "s-1";
    return v;
}

}  // namespace velmora::polar
