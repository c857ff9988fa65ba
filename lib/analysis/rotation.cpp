#include "analysis/rotation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>
#include <thread>
#include <numbers>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "io/geo.h"
#include "io/threads.h"
#include "polar/dealias.h"
#include "polar/gridding.h"
#include "polar/shear.h"

namespace velmora {
namespace {

constexpr double kRad = std::numbers::pi / 180.0;

// The sweep of other at the elevation of s (within 0.3 degrees), by name first.
const polar::Sweep* same_sweep(const polar::PolarVolume* other, const polar::Sweep& s) {
    if (!other) return nullptr;
    const polar::Sweep* best = nullptr;
    for (const polar::Sweep& o : other->sweeps) {
        const double off = std::fabs(o.fixed_angle - s.fixed_angle);
        if (off >= 0.3) continue;
        if (o.name == s.name) return &o;
        if (!best || off < std::fabs(best->fixed_angle - s.fixed_angle)) best = &o;
    }
    return best;
}

// The first of names the file holds, or none.
std::optional<polar::PolarVolume> read_any(const std::string& path, std::initializer_list<const char*> names,
                                           std::optional<polar::Site> site) {
    for (const char* name : names) {
        try {
            return polar::read_polar(path, name, site);
        } catch (const std::runtime_error&) {
        }
    }
    return std::nullopt;
}

// Where the gates of a radar fall in a grid: the nearest column and level
// of each, and its height above the radar, km.
class GridPlace {
public:
    GridPlace(const Volume& axes, const polar::Site& site) : axes_(axes) {
        nx_ = static_cast<long>(axes.x.size()), ny_ = static_cast<long>(axes.y.size());
        if (axes.origin && (axes.origin->lat != site.latitude || axes.origin->lon != site.longitude)) {
            const double lat = site.latitude, lon = site.longitude;
            double x = 0, y = 0;
            projected(*axes.origin, std::span(&lat, 1), std::span(&lon, 1), std::span(&x, 1), std::span(&y, 1));
            x0_ = x, y0_ = y;
        }
        dx_ = nx_ > 1 ? (axes.x.back() - axes.x.front()) / static_cast<double>(nx_ - 1) : 1.0;
        dy_ = ny_ > 1 ? (axes.y.back() - axes.y.front()) / static_cast<double>(ny_ - 1) : 1.0;
    }

    // The column of the gate at slant range r (km), azimuth and elevation
    // (degrees), -1 outside the grid; its height in h.
    long column(double r, double sin_az, double cos_az, double elevation, double& h) const {
        h = polar::beam_height(r, elevation);
        const double s = polar::ground_distance(r, elevation);
        const long i = std::lround((x0_ + s * sin_az - axes_.x.front()) / dx_);
        const long j = std::lround((y0_ + s * cos_az - axes_.y.front()) / dy_);
        if (i < 0 || j < 0 || i >= nx_ || j >= ny_) return -1;
        return j * nx_ + i;
    }
    long columns() const { return nx_ * ny_; }

private:
    const Volume& axes_;
    long nx_ = 0, ny_ = 0;
    double x0_ = 0, y0_ = 0, dx_ = 1, dy_ = 1;
};

// Calls f(sweep, column, height km, shear, divergence) for every gate of d
// with a shear or a divergence that lies in the grid (sweep: its index in d).
template <class F>
void for_each_gate(const Volume& axes, const VelocityDerivatives& d, F&& f) {
    const GridPlace place(axes, d.site);
    for (std::size_t k = 0; k < d.shear.size(); ++k) {
        const polar::Sweep& a = d.shear[k];
        const polar::Sweep& b = d.divergence[k];
        for (std::size_t ray = 0; ray < a.rays(); ++ray) {
            const double az = a.azimuth[ray] * kRad, sin_az = std::sin(az), cos_az = std::cos(az);
            const double elevation = a.elevation.size() == a.rays() ? a.elevation[ray] : a.fixed_angle;
            for (int g = 0; g < a.gates; ++g) {
                const float shear = a.at(ray, g), div = b.at(ray, g);
                if (!std::isfinite(shear) && !std::isfinite(div)) continue;
                double h = 0;
                const long c = place.column((a.range_first + g * a.gate_spacing) / 1000.0, sin_az, cos_az, elevation, h);
                if (c >= 0) f(k, c, h, shear, div);
            }
        }
    }
}

// The strongest value of a cell in a layer, and its height.
struct Strongest {
    double value = NAN, height = NAN;
    void take(double v, double h) {
        if (std::isfinite(v) && !(v <= value)) value = v, height = h;
    }
};

// What the gates of a cell's footprint say of it.
struct CellRotation {
    Strongest low, mid, top_divergence;
    std::vector<Strongest> sweeps;   // the strongest shear of each sweep, at any height
    bool seen = false;               // some gate with a shear lies in its footprint
};

// The cell of the voxel of column c nearest height h (km) of all its
// labelled voxels; 0 where the column has none.
std::int32_t cell_at(const Volume& axes, std::span<const std::int32_t> labels, long c, double h) {
    const std::size_t nxy = axes.x.size() * axes.y.size();
    std::int32_t best = 0;
    double off = INFINITY;
    for (std::size_t k = 0; k < axes.z.size(); ++k) {
        const std::int32_t l = labels[k * nxy + static_cast<std::size_t>(c)];
        if (l > 0 && std::fabs(axes.z[k] - h) < off) best = l, off = std::fabs(axes.z[k] - h);
    }
    return best;
}

// The depth over which the shear of consecutive sweeps (in elevation order)
// stays at or above kRotationShear: from the lowest to the highest of the
// longest such run's strongest gates, km; NaN where none reaches it.
double rotation_depth(const std::vector<Strongest>& sweeps, const std::vector<std::size_t>& up) {
    double deepest = NAN;
    std::size_t from = 0;
    bool in = false;
    for (std::size_t n = 0; n <= up.size(); ++n) {
        const bool strong = n < up.size() && sweeps[up[n]].value >= kRotationShear;
        if (strong && !in) from = n, in = true;
        if (!strong && in) {
            double lo = INFINITY, hi = -INFINITY;
            for (std::size_t m = from; m < n; ++m)
                lo = std::min(lo, sweeps[up[m]].height), hi = std::max(hi, sweeps[up[m]].height);
            if (!(hi - lo <= deepest)) deepest = hi - lo;
            in = false;
        }
    }
    return deepest;
}

void set_rotation(CellProperties& p, const CellRotation& r, const std::vector<std::size_t>& up) {
    p.azshear_low_s1 = r.low.value, p.azshear_low_km = r.low.height;
    p.azshear_mid_s1 = r.mid.value, p.azshear_mid_km = r.mid.height;
    p.top_divergence_s1 = r.top_divergence.value;
    if (!r.seen) return;
    const double depth = rotation_depth(r.sweeps, up);
    p.rotation_depth_km = std::isnan(depth) ? 0.0 : depth;
    p.rotation = std::isnan(depth) ? 0.0 : 1.0;
}

// Differentiates the sweeps of the next indices taken, until none is left.
void differentiate(const std::vector<const polar::Sweep*>& sweeps, std::atomic<std::size_t>& next,
                   const polar::PolarVolume* reflectivity, const polar::PolarVolume* spectrum_width, VelocityDerivatives& d) {
    const polar::ShearOptions o;
    for (std::size_t k; (k = next++) < sweeps.size();) {
        const polar::Sweep& s = *sweeps[k];
        polar::Derivatives der = polar::llsd(s, o);
        const polar::Sweep *z = same_sweep(reflectivity, s), *w = same_sweep(spectrum_width, s);
        polar::mask_derivatives(der.azimuthal_shear, z, w, o);
        polar::mask_derivatives(der.divergence, z, w, o);
        // Cyclonic shear: mesocyclones turn clockwise south of the equator.
        if (d.site.latitude < 0)
            for (float& x : der.azimuthal_shear.values) x = -x;
        d.shear[k] = std::move(der.azimuthal_shear);
        d.divergence[k] = std::move(der.divergence);
    }
}

}  // namespace

VelocityDerivatives velocity_derivatives(polar::PolarVolume velocity, const polar::PolarVolume* reflectivity,
                                         const polar::PolarVolume* spectrum_width,
                                         const std::function<void(const std::string&)>& note,
                                         const polar::DealiasOptions& guess) {
    if (!velocity.site) throw std::runtime_error(velocity.source + ": no radar position for its velocity");
    const polar::DealiasReport report = polar::dealias_volume(velocity, guess);
    if (note)
        for (const std::string& n : report.notes) note(n);
    VelocityDerivatives d;
    d.site = *velocity.site;
    std::vector<const polar::Sweep*> sweeps;
    for (const polar::Sweep& s : velocity.sweeps)
        if (s.fixed_angle < 89.0) sweeps.push_back(&s);   // a vertically pointing scan has no azimuths to differentiate
    d.shear.resize(sweeps.size());
    d.divergence.resize(sweeps.size());
    // The sweeps are differentiated side by side, on every core the volume may use.
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failing;
    const auto work = [&] {
        try {
            differentiate(sweeps, next, reflectivity, spectrum_width, d);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failing);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::jthread> helpers;
    for (unsigned t = 1; t < std::min<unsigned>(worker_threads(), static_cast<unsigned>(sweeps.size())); ++t)
        helpers.emplace_back(work);
    work();
    helpers.clear();
    if (failure) std::rethrow_exception(failure);
    d.dealiased = std::move(velocity);
    return d;
}

std::optional<VelocityDerivatives> read_velocity_derivatives(const std::string& path, std::optional<polar::Site> site,
                                                             const polar::PolarVolume* reflectivity,
                                                             const std::function<void(const std::string&)>& note,
                                                             const polar::DealiasOptions& guess) {
    auto v = read_any(path, {"VRADH", "VRAD", "VRADV", "VEL", "velocity", "corrected_velocity"}, site);
    if (!v || !v->site || !polar::is_radial_velocity(*v)) return std::nullopt;
    std::optional<polar::PolarVolume> z;
    if (!reflectivity) z = read_any(path, {""}, site);
    const auto w = read_any(path, {"WRADH", "WRAD", "SW", "spectrum_width", "WIDTH"}, site);
    return moments_derivatives(v, reflectivity ? reflectivity : z ? &*z : nullptr, w, note, guess);
}

std::optional<VelocityDerivatives> moments_derivatives(const std::optional<polar::PolarVolume>& velocity,
                                                       const polar::PolarVolume* reflectivity,
                                                       const std::optional<polar::PolarVolume>& spectrum_width,
                                                       const std::function<void(const std::string&)>& note,
                                                       const polar::DealiasOptions& guess) {
    if (!velocity || !velocity->site || !polar::is_radial_velocity(*velocity)) return std::nullopt;
    return velocity_derivatives(*velocity, reflectivity, spectrum_width ? &*spectrum_width : nullptr, note, guess);
}

void add_rotation(PropertyTable& t, const Volume& axes, std::span<const std::int32_t> labels,
                  const VelocityDerivatives& d) {
    if (labels.size() != axes.x.size() * axes.y.size() * axes.z.size())
        throw std::invalid_argument("the cell numbers do not fit the grid of the rotation");
    std::unordered_map<std::int32_t, std::size_t> index;
    for (std::size_t n = 0; n < t.cells.size(); ++n) index.emplace(t.cells[n].cell, n);
    std::vector<CellRotation> rot(t.cells.size(), CellRotation{{}, {}, {}, std::vector<Strongest>(d.shear.size()), false});
    // Columns without a cell are passed over at once.
    const std::size_t nxy = axes.x.size() * axes.y.size();
    std::vector<std::uint8_t> occupied(nxy, 0);
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (labels[i] > 0) occupied[i % nxy] = 1;
    for_each_gate(axes, d, [&](std::size_t k, long c, double h, float shear, float div) {
        if (!occupied[static_cast<std::size_t>(c)]) return;
        const auto at = index.find(cell_at(axes, labels, c, h));
        if (at == index.end()) return;
        CellRotation& r = rot[at->second];
        const double top = t.cells[at->second].top_km;
        if (h >= top - kTopLayerBelowKm && h <= top + kTopLayerAboveKm) r.top_divergence.take(div, h);
        if (!std::isfinite(shear)) return;
        r.seen = true;
        r.sweeps[k].take(shear, h);
        if (h >= 0 && h <= kLowLevelsTopKm) r.low.take(shear, h);
        if (h >= kMidLevelsBaseKm && h <= kMidLevelsTopKm) r.mid.take(shear, h);
    });
    std::vector<std::size_t> up(d.shear.size());
    for (std::size_t k = 0; k < up.size(); ++k) up[k] = k;
    std::stable_sort(up.begin(), up.end(), [&](std::size_t a, std::size_t b) { return d.shear[a].fixed_angle < d.shear[b].fixed_angle; });
    for (std::size_t n = 0; n < t.cells.size(); ++n) set_rotation(t.cells[n], rot[n], up);
}

RotationPlan rotation_plan(const Volume& axes, const VelocityDerivatives& d) {
    const std::size_t nxy = axes.x.size() * axes.y.size();
    RotationPlan p{std::vector<float>(nxy, NAN), std::vector<float>(nxy, NAN)};
    for_each_gate(axes, d, [&](std::size_t, long c, double h, float shear, float) {
        if (!std::isfinite(shear)) return;
        float* into = h >= 0 && h <= kLowLevelsTopKm ? &p.low[static_cast<std::size_t>(c)]
                      : h >= kMidLevelsBaseKm && h <= kMidLevelsTopKm ? &p.mid[static_cast<std::size_t>(c)]
                                                                       : nullptr;
        if (into && !(shear <= *into)) *into = shear;
    });
    return p;
}

RotationPlan rotation_tracks(std::span<const RotationPlan> plans) {
    RotationPlan out;
    const auto fold = [](std::vector<float>& into, const std::vector<float>& from) {
        if (from.empty()) return;
        if (into.empty()) into.assign(from.size(), NAN);
        if (from.size() != into.size()) throw std::invalid_argument("the rotation of a series must share its grid");
        for (std::size_t c = 0; c < from.size(); ++c)
            if (!(from[c] <= into[c]) && std::isfinite(from[c])) into[c] = from[c];
    };
    for (const RotationPlan& p : plans) {
        fold(out.low, p.low);
        fold(out.mid, p.mid);
    }
    return out;
}

std::array<PlanVariable, 2> rotation_variables(const RotationPlan& tracks) {
    return {PlanVariable{"azshear_low", "s-1", "largest azimuthal shear 0-2 km above the radar over the series",
                         tracks.low, NAN},
            PlanVariable{"azshear_mid", "s-1", "largest azimuthal shear 3-7 km above the radar over the series",
                         tracks.mid, NAN}};
}

void write_rotation_tracks(const std::string& path, const Volume& axes, const RotationPlan& tracks) {
    const std::size_t nxy = axes.x.size() * axes.y.size();
    if (tracks.low.size() != nxy || tracks.mid.size() != nxy)
        throw std::invalid_argument("the rotation tracks do not fit the grid of " + path);
    write_plan_netcdf(path, axes, rotation_variables(tracks));
}

}  // namespace velmora
