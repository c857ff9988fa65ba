// The gates of polar volumes onto a Cartesian grid (gridding.h). The work
// goes column by column: for a grid column, only the rays within the angle
// its widest radius of influence subtends, and on those only the gates within
// that radius in ground distance, can reach it, so each point sees a few tens
// of gates however large the volume.
#include "polar/gridding.h"
#include "polar/sweep_sums.h"
#include "polar/gridding_steps.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <stdexcept>
#include <thread>
#include <vector>

#include "io/threads.h"

namespace velmora::polar {
namespace steps {

constexpr double kDegree = std::numbers::pi / 180.0;
constexpr float kNull = -9999.0f;

// The ground distance of the gate at slant range r (km) and elevation e,
// given its height.
double ground_distance_under(double r, double elevation, double height) {
    return kEffectiveEarthRadius * std::asin(r * std::cos(elevation * kDegree) / (kEffectiveEarthRadius + height));
}

// Reflectivity is averaged as power; other fields as they are.
bool in_decibels(const PolarVolume& v) {
    std::string units = v.units;
    for (char& c : units) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (units.find("dbz") != std::string::npos) return true;
    for (const char* name : {"DBZH", "DBZV", "DBZ", "TH", "DBTH", "REF", "reflectivity"})
        if (v.field == name) return true;
    return false;
}

Axis axis_of(double lo, double hi, double step) {
    // A hair of slack, so that 0.5 .. 15 by 0.5 ends at 15 despite rounding.
    return {lo, step, static_cast<int>(std::floor((hi - lo) / step + 1e-9)) + 1};
}

// A scan this steep points at the sky above the radar (a "birdbath" scan,
// for calibration): no part of a volume scan, and no geometry of one.
constexpr double kVertical = 89.0;

// The elevation of a vertically pointing sweep, degrees, or 0 for any other.
double vertical_angle(const Sweep& sweep) {
    if (sweep.fixed_angle >= kVertical) return sweep.fixed_angle;
    double steepest = 0.0;
    for (float e : sweep.elevation)
        if (std::fabs(e) >= kVertical) steepest = std::max(steepest, static_cast<double>(std::fabs(e)));
    return steepest;
}

std::string sweep_name(const Sweep& sweep) { return sweep.name.empty() ? std::string("a sweep") : sweep.name; }

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The sweep's rays in the order of their azimuths, from 0 to 360 whatever
// convention the file keeps.
std::vector<std::uint32_t> by_azimuth(const Sweep& sweep, std::vector<float>& azimuth) {
    const std::size_t rays = sweep.rays();
    azimuth.resize(rays);
    for (std::size_t ray = 0; ray < rays; ++ray) {
        const float a = std::fmod(sweep.azimuth[ray], 360.0f);
        azimuth[ray] = a < 0.0f ? a + 360.0f : a;
    }
    std::vector<std::uint32_t> order(rays);
    for (std::uint32_t i = 0; i < rays; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return azimuth[a] < azimuth[b]; });
    return order;
}

// Each gate's ground distance and height, once for the rays of each
// elevation: a sweep holds a few elevations (a NEXRAD sweep's rays differ by
// hundredths of a degree), most often one, however many rays.
void gate_positions(const Sweep& sweep, std::span<const std::uint32_t> order, double height_offset, SweepGates& g) {
    std::map<float, std::uint32_t> rows;
    g.row.resize(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        const float elevation = sweep.elevation[order[k]];
        const auto [at, added] = rows.emplace(elevation, static_cast<std::uint32_t>(rows.size()));
        g.row[k] = at->second;
        if (!added) continue;
        for (int i = 0; i < g.gates; ++i) {
            const double r = (sweep.range_first + sweep.gate_spacing * i) / 1000.0;
            const double height = beam_height(r, elevation);
            g.s.push_back(ground_distance_under(r, elevation, height));
            g.h.push_back(height + height_offset);
        }
    }
    const std::size_t bands = static_cast<std::size_t>(std::max(0.0, *std::max_element(g.s.begin(), g.s.end()))) + 1;
    g.band_lo.assign(bands, INFINITY);
    g.band_hi.assign(bands, -INFINITY);
    for (std::size_t i = 0; i < g.s.size(); ++i) {
        const std::size_t band = static_cast<std::size_t>(std::max(0.0, g.s[i]));
        g.band_lo[band] = std::min(g.band_lo[band], g.h[i]);
        g.band_hi[band] = std::max(g.band_hi[band], g.h[i]);
    }
}

SweepGates prepare(const Sweep& sweep, bool decibels, double height_offset) {
    SweepGates g;
    const std::size_t rays = sweep.rays();
    g.gates = sweep.gates;
    if (rays == 0 || sweep.gates <= 0) return g;
    if (sweep.elevation.size() != rays || sweep.values.size() != rays * static_cast<std::size_t>(sweep.gates))
        throw std::runtime_error("its rays, elevations and values do not agree");
    if (!std::isfinite(sweep.range_first) || !(sweep.gate_spacing > 0.0) || !std::isfinite(sweep.gate_spacing))
        throw std::runtime_error("its gates have no finite range and positive spacing");
    for (std::size_t ray = 0; ray < rays; ++ray)
        if (!std::isfinite(sweep.azimuth[ray]) || !(std::fabs(sweep.elevation[ray]) < 90.0f))
            throw std::runtime_error("ray " + std::to_string(ray) + ": azimuth " + number(sweep.azimuth[ray]) +
                                     ", elevation " + number(sweep.elevation[ray]) + " is no angle of a scan");
    std::vector<float> azimuth;
    const std::vector<std::uint32_t> order = by_azimuth(sweep, azimuth);
    gate_positions(sweep, order, height_offset, g);
    g.azimuth.resize(rays);
    g.sin_az.resize(rays);
    g.cos_az.resize(rays);
    g.sec_el.resize(rays);
    g.r0 = static_cast<double>(sweep.range_first / 1000.0);
    g.per_gate = static_cast<double>(1000.0 / sweep.gate_spacing);
    g.value.resize(rays * static_cast<std::size_t>(g.gates));
    g.s_lo = g.h_lo = INFINITY;
    g.s_hi = g.h_hi = -INFINITY;
    for (std::size_t k = 0; k < rays; ++k) {
        const std::uint32_t ray = order[k];
        g.azimuth[k] = azimuth[ray];
        g.sin_az[k] = std::sin(g.azimuth[k] * kDegree);
        g.cos_az[k] = std::cos(g.azimuth[k] * kDegree);
        const double elevation = sweep.elevation[ray];
        g.elevation += elevation / static_cast<double>(rays);
        g.sec_el[k] = static_cast<double>(1.0 / std::max(1e-3, std::cos(elevation * kDegree)));
        for (int i = 0; i < g.gates; ++i) {
            const float v = sweep.values[ray * static_cast<std::size_t>(g.gates) + i];
            // No echo is zero power in an average of reflectivity, and no
            // value at all for other fields. A power beyond what a double
            // holds (over 3,000 dBZ) is no measurement either: left out, as
            // an infinite value is of other fields.
            double value = std::isinf(v) ? NAN : v;
            if (decibels) value = v == kNoEcho ? 0.0 : std::pow(10.0, v / 10.0);
            g.value[k * g.gates + i] = std::isinf(value) ? NAN : value;
        }
        const double *s = g.s_of(k), *h = g.h_of(k);
        g.s_lo = std::min(g.s_lo, s[0]);
        g.s_hi = std::max(g.s_hi, s[g.gates - 1]);
        const auto [lo, hi] = std::minmax_element(h, h + g.gates);
        g.h_lo = std::min(g.h_lo, *lo);
        g.h_hi = std::max(g.h_hi, *hi);
    }
    return g;
}

// The radii of the column's levels into sums, and the column.
Column column_at(double x, double y, const GridOptions& o, ColumnSums& sums) {
    Column c;
    c.x = x;
    c.y = y;
    c.s = std::hypot(x, y);
    const double widen = c.s * std::tan(o.roi_angle * kDegree);
    for (std::size_t k = 0; k < sums.z.size(); ++k) {
        const double roi = std::max(o.roi_min, sums.z[k] / 20.0 + widen);
        sums.roi2[k] = static_cast<double>(roi * roi);
        c.roi_max = std::max(c.roi_max, roi);
    }
    c.azimuth = std::atan2(x, y) / kDegree;
    if (c.azimuth < 0.0) c.azimuth += 360.0;
    // Near the radar every ray may reach the column.
    if (c.s > c.roi_max) c.half_angle = std::asin(c.roi_max / c.s) / kDegree;
    return c;
}

// The first gate of ray k at or beyond ground distance d: guessed from the
// slant range d / cos(elevation) (the earth's curve moves it by a gate at
// most), then settled on the gates' own distances.
int first_beyond(const SweepGates& sw, std::size_t k, double d) {
    const double* s = sw.s_of(k);
    const double guess = (d * sw.sec_el[k] - sw.r0) * sw.per_gate;
    int g = guess <= 0.0 ? 0 : guess >= static_cast<double>(sw.gates) ? sw.gates : static_cast<int>(guess);
    while (g > 0 && s[g - 1] >= d) --g;
    while (g < sw.gates && s[g] < d) ++g;
    return g;
}

// The gates of ray k within the column's reach, into the sums' room for
// them (distance² from the column, height, value); how many, and the lowest
// and highest of their heights.
struct NearGates {
    int n = 0;
    double h_lo = INFINITY, h_hi = -INFINITY;
};

NearGates near_gates(const SweepGates& sw, std::size_t k, const Column& c, ColumnSums& sums) {
    const double* s = sw.s_of(k);
    const double* h = sw.h_of(k);
    const double* v = &sw.value[k * sw.gates];
    const double roi_max2 = static_cast<double>(c.roi_max * c.roi_max);
    // The ray passes the column at along from the radar, across from it: only
    // the gates within half a chord of there can reach it (the chord a hair
    // long, so that rounding leaves no gate out that the test below keeps).
    const double along = c.x * sw.sin_az[k] + c.y * sw.cos_az[k], across = c.x * sw.cos_az[k] - c.y * sw.sin_az[k];
    const double chord = std::sqrt(std::max(0.0, roi_max2 - across * across) + 1e-9 * (c.s * c.s + roi_max2));
    const double reach_hi = std::min(static_cast<double>(c.s + c.roi_max), along + chord);
    const double reach_lo = std::max(static_cast<double>(c.s - c.roi_max), along - chord);
    const double sin_az = sw.sin_az[k], cos_az = sw.cos_az[k];
    if (sums.near_d2.size() < static_cast<std::size_t>(sw.gates))
        sums.near_d2.resize(sw.gates), sums.near_h.resize(sw.gates), sums.near_v.resize(sw.gates);
    NearGates near;
    for (int g = first_beyond(sw, k, reach_lo); g < sw.gates && s[g] <= reach_hi; ++g) {
        if (std::isnan(v[g])) continue;
        const double dx = s[g] * sin_az - c.x, dy = s[g] * cos_az - c.y;
        const double d2h = dx * dx + dy * dy;
        if (d2h >= roi_max2) continue;
        sums.near_d2[near.n] = d2h, sums.near_h[near.n] = h[g], sums.near_v[near.n] = v[g];
        near.h_lo = std::min(near.h_lo, h[g]), near.h_hi = std::max(near.h_hi, h[g]);
        ++near.n;
    }
    return near;
}

// Four levels at once, in the processor's vector lanes where it has them.
typedef double Lanes __attribute__((vector_size(32)));

// Adds the gates of ray k within the column's reach to the sums: the gates
// first, then the levels in blocks of four, each block's sums held in
// registers while every gate adds to it in the ray's order, so that each
// level's sum is the one gate after gate gives, to the bit. No fused
// multiply-add: the sums are the same on every processor.
__attribute__((target_clones("avx2", "default")))
void add_ray(const SweepGates& sw, std::size_t k, const Column& c, ColumnSums& sums) {
    const NearGates near = near_gates(sw, k, c, sums);
    if (near.n == 0) return;
    // From the level below the lowest gate's reach to the one above the
    // highest's; a level beyond a gate's radius adds zeros.
    const int levels = static_cast<int>(sums.z.size());
    const double z0 = sums.z[0], per_level = levels > 1 ? 1.0 / (sums.z[1] - sums.z[0]) : 1.0;
    const double first = (near.h_lo - c.roi_max - z0) * per_level, last = (near.h_hi + c.roi_max - z0) * per_level + 1.0;
    if (!(last >= 0.0) || !(first < levels)) return;
    const int k1 = last >= levels - 1 ? levels - 1 : static_cast<int>(last);
    const int k0 = first > 0.0 ? static_cast<int>(first) : 0;
    // Whole blocks, moved down rather than past the top.
    int level = std::max(0, std::min(k0, k1 + 1 - 4 * ((k1 - k0 + 4) / 4)));
    const double *d2h = sums.near_d2.data(), *hn = sums.near_h.data(), *vn = sums.near_v.data();
    for (; level + 4 <= k1 + 1; level += 4) {
        Lanes z, roi2, weight, value;
        for (int l = 0; l < 4; ++l) {
            z[l] = sums.z[level + l], roi2[l] = sums.roi2[level + l];
            weight[l] = sums.weight[level + l], value[l] = sums.value[level + l];
        }
        for (int i = 0; i < near.n; ++i) {
            const Lanes dz = z - hn[i];
            const Lanes d2 = d2h[i] + dz * dz;
            const Lanes q = (roi2 - d2) / (roi2 + d2);
            const Lanes w = q > 0.0 ? q : Lanes{};
            weight += w;
            value += w * vn[i];
        }
        for (int l = 0; l < 4; ++l) sums.weight[level + l] = weight[l], sums.value[level + l] = value[l];
    }
    for (; level <= k1; ++level) {
        const double z = sums.z[level], roi2 = sums.roi2[level];
        double weight = sums.weight[level], value = sums.value[level];
        for (int i = 0; i < near.n; ++i) {
            const double dz = z - hn[i];
            const double d2 = d2h[i] + dz * dz;
            const double w = std::max(0.0, (roi2 - d2) / (roi2 + d2));
            weight += w;
            value += w * vn[i];
        }
        sums.weight[level] = weight, sums.value[level] = value;
    }
}

// Adds the gates of a sweep within the column's reach: the rays from
// azimuth - half_angle to azimuth + half_angle, round north when the window
// crosses it.
void add_sweep(const SweepGates& sw, const Column& c, ColumnSums& sums) {
    const double z_lo = sums.z.front() - c.roi_max, z_hi = sums.z.back() + c.roi_max;
    if (sw.azimuth.empty() || c.s - c.roi_max > sw.s_hi || c.s + c.roi_max < sw.s_lo) return;
    if (sw.h_lo > z_hi || sw.h_hi < z_lo) return;
    if (!sw.reaches(static_cast<double>(c.s - c.roi_max), static_cast<double>(c.s + c.roi_max), static_cast<double>(z_lo),
                    static_cast<double>(z_hi)))
        return;
    const std::size_t rays = sw.azimuth.size();
    auto rays_from = [&](std::size_t k0, std::size_t k1) {
        for (std::size_t k = k0; k < k1; ++k) add_ray(sw, k, c, sums);
    };
    if (c.half_angle >= 180.0) return rays_from(0, rays);
    const auto begin = sw.azimuth.begin(), end = sw.azimuth.end();
    auto from = [&](double a) { return static_cast<std::size_t>(std::lower_bound(begin, end, static_cast<float>(a)) - begin); };
    auto to = [&](double a) { return static_cast<std::size_t>(std::upper_bound(begin, end, static_cast<float>(a)) - begin); };
    const double a0 = c.azimuth - c.half_angle, a1 = c.azimuth + c.half_angle;
    if (a0 < 0.0) {
        rays_from(from(a0 + 360.0), rays);
        rays_from(0, to(a1));
    } else if (a1 >= 360.0) {
        rays_from(from(a0), rays);
        rays_from(0, to(a1 - 360.0));
    } else {
        rays_from(from(a0), to(a1));
    }
}

// Each radar's sweeps ready for gridding, and where the grid's columns lie
// from the radars that are not at its origin (through the geographic
// positions of their points).
std::vector<Radar> prepare_radars(std::span<const PolarVolume> volumes, const GeoOrigin& origin, const Axis& ax,
                                  const Axis& ay, bool decibels, const GridOptions& o, double height_base) {
    const std::size_t columns = static_cast<std::size_t>(ax.n) * ay.n;
    std::vector<Radar> radars(volumes.size());
    bool any = false;
    for (std::size_t r = 0; r < volumes.size(); ++r) {
        const PolarVolume& v = volumes[r];
        const double offset = v.site->height / 1000.0 - height_base;
        radars[r].height = offset;
        for (const Sweep& sweep : v.sweeps) {
            if (const double angle = vertical_angle(sweep); angle > 0.0) {
                if (o.note)
                    o.note(v.source + ": " + sweep_name(sweep) + " at " + number(angle) +
                           " degrees elevation left out: a vertically pointing scan is no part of a volume scan");
                continue;
            }
            try {
                radars[r].sweeps.push_back(prepare(sweep, decibels, offset));
                radars[r].sweeps.back().beam_width = v.beam_width;
            } catch (const std::runtime_error& e) {
                throw std::runtime_error(v.source + ": " + sweep_name(sweep) + ": " + e.what());
            }
            any = true;
        }
        if (v.site->latitude == origin.lat && v.site->longitude == origin.lon) continue;
        std::vector<double> gx(columns), gy(columns), lat(columns), lon(columns);
        for (int j = 0; j < ay.n; ++j)
            for (int i = 0; i < ax.n; ++i) gx[j * ax.n + i] = ax.at(i), gy[j * ax.n + i] = ay.at(j);
        geographic(origin, gx, gy, lat, lon);
        radars[r].x.resize(columns);
        radars[r].y.resize(columns);
        projected(GeoOrigin{v.site->latitude, v.site->longitude}, lat, lon, radars[r].x, radars[r].y);
    }
    if (!any) throw std::runtime_error(volumes[0].source + ": no sweep to grid (every sweep points vertically)");
    return radars;
}

}  // namespace steps

using namespace steps;

double beam_height(double r, double elevation) {
    const double R = kEffectiveEarthRadius;
    return std::sqrt(r * r + R * R + 2.0 * r * R * std::sin(elevation * kDegree)) - R;
}

double ground_distance(double r, double elevation) { return ground_distance_under(r, elevation, beam_height(r, elevation)); }

std::string grid_problem(const GridOptions& o) {
    for (double d : {o.dx, o.dy, o.dz})
        if (!(d > 0.0) || !std::isfinite(d)) return "the grid spacings must be positive";
    for (double e : {o.xmin, o.xmax, o.ymin, o.ymax, o.zmin, o.zmax})
        if (!std::isfinite(e)) return "the grid extent must be finite";
    if (o.xmax < o.xmin || o.ymax < o.ymin || o.zmax < o.zmin) return "the grid extent runs backwards";
    if (!(o.roi_min > 0.0) || !std::isfinite(o.roi_min) || !(o.roi_angle >= 0.0) || !std::isfinite(o.roi_angle))
        return "the radius of influence must be positive, widening by 0 degrees or more";
    // A grid point's work grows as the cube of its radius.
    const double largest = std::max({kMaxRoiMin, 2.0 * o.dx, 2.0 * o.dy, 2.0 * o.dz});
    if (o.roi_min > largest)
        return "a smallest radius of influence of " + number(o.roi_min) + " km is more than the " + number(largest) +
               " km allowed (" + number(kMaxRoiMin) + " km, or twice the grid's largest spacing)";
    if (o.roi_angle > kMaxRoiAngle)
        return "a radius of influence widening by " + number(o.roi_angle) + " degrees is more than the " +
               number(kMaxRoiAngle) + " degrees allowed";
    // Counted in floating point first: absurd extents must not overflow.
    const double nodes = (std::floor((o.xmax - o.xmin) / o.dx) + 1) * (std::floor((o.ymax - o.ymin) / o.dy) + 1) *
                         (std::floor((o.zmax - o.zmin) / o.dz) + 1);
    if (nodes > static_cast<double>(o.max_nodes)) {
        char count[32];   // in full while it fits a whole number, else as 1.2e+300
        std::snprintf(count, sizeof count, nodes < 1e15 ? "%.0f" : "%.3g", nodes);
        return "a grid of " + std::string(count) + " points is more than the " + std::to_string(o.max_nodes) +
               " allowed";
    }
    return {};
}

Volume grid_volumes(std::span<const PolarVolume> volumes, const GridOptions& o) {
    if (volumes.empty()) throw std::runtime_error("no radar volume to grid");
    if (std::string problem = grid_problem(o); !problem.empty()) throw std::runtime_error(problem);
    for (const PolarVolume& v : volumes)
        if (!v.site)
            throw std::runtime_error(v.source + ": the file gives no radar position; give it with --site LAT,LON,HEIGHT");
    const bool decibels = in_decibels(volumes[0]);
    for (const PolarVolume& v : volumes)
        if (in_decibels(v) != decibels)
            throw std::runtime_error(v.source + ": its field " + v.field + " cannot be averaged with " + volumes[0].field +
                                     " of " + volumes[0].source);
    const Site& first = *volumes[0].site;
    const GeoOrigin origin = o.origin.value_or(GeoOrigin{first.latitude, first.longitude});
    const Axis ax = axis_of(o.xmin, o.xmax, o.dx), ay = axis_of(o.ymin, o.ymax, o.dy), az = axis_of(o.zmin, o.zmax, o.dz);
    const std::vector<Radar> radars = prepare_radars(volumes, origin, ax, ay, decibels, o, first.height / 1000.0);

    Volume grid;
    for (int i = 0; i < ax.n; ++i) grid.x.push_back(static_cast<float>(ax.at(i)));
    for (int j = 0; j < ay.n; ++j) grid.y.push_back(static_cast<float>(ay.at(j)));
    for (int k = 0; k < az.n; ++k) grid.z.push_back(static_cast<float>(az.at(k)));
    const std::size_t columns = static_cast<std::size_t>(ax.n) * ay.n;
    grid.values.resize(columns * az.n);
    grid.name = volumes[0].field;
    grid.units = volumes[0].units;
    grid.has_null = true;
    grid.null_value = kNull;
    grid.origin = origin;
    grid.time = volumes[0].time;

    // Rows of columns on every core; each column is summed by one thread in
    // one order, so the grid is the same however many there are.
    auto rows = [&](int j0, int j1, ColumnSums& sums) {
        for (int j = j0; j < j1; ++j)
            for (int i = 0; i < ax.n; ++i) {
                const std::size_t column = static_cast<std::size_t>(j) * ax.n + i;
                std::fill(sums.weight.begin(), sums.weight.end(), 0.0);
                std::fill(sums.value.begin(), sums.value.end(), 0.0);
                for (const Radar& radar : radars) {
                    const double x = radar.x.empty() ? ax.at(i) : radar.x[column];
                    const double y = radar.y.empty() ? ay.at(j) : radar.y[column];
                    if (!std::isfinite(x) || !std::isfinite(y)) continue;
                    const Column c = column_at(x, y, o, sums);
                    for (const SweepGates& sweep : radar.sweeps) add_sweep(sweep, c, sums);
                }
                for (int k = 0; k < az.n; ++k) {
                    float out = kNull;
                    if (sums.weight[k] > 0.0) {
                        const double mean = sums.value[k] / sums.weight[k];
                        if (!decibels) out = static_cast<float>(mean);
                        else if (mean > 0.0) out = static_cast<float>(10.0 * std::log10(mean));
                    }
                    grid.values[static_cast<std::size_t>(k) * columns + column] = out;
                }
            }
    };
    const int workers = static_cast<int>(std::min(worker_threads(), 64u));
    // Interleaved blocks of rows: the echo is seldom spread evenly.
    constexpr int kBlock = 8;
    std::vector<double> levels(az.n);
    for (int k = 0; k < az.n; ++k) levels[k] = az.at(k);
    std::vector<ColumnSums> sums(workers, ColumnSums{std::vector<double>(az.n), std::vector<double>(az.n),
                                                     std::vector<double>(az.n), levels});
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w)
        pool.emplace_back([&, w] {
            for (int j0 = w * kBlock; j0 < ay.n; j0 += workers * kBlock) rows(j0, std::min(ay.n, j0 + kBlock), sums[w]);
        });
    for (std::thread& t : pool) t.join();
    return grid;
}

// The per-sweep entry point of SweepGridder (sweep_gridding.h): the steps
// above, with each column's sums kept between calls.
bool averaged_as_power(const PolarVolume& v) { return in_decibels(v); }

void add_sweep_sums(const Sweep& sweep, const SweepSums& into) {
    const GridOptions& o = into.options;
    const SweepGates gates = prepare(sweep, into.decibels, 0.0);
    const Axis ax = axis_of(o.xmin, o.xmax, o.dx), ay = axis_of(o.ymin, o.ymax, o.dy), az = axis_of(o.zmin, o.zmax, o.dz);
    const std::size_t levels = static_cast<std::size_t>(az.n);
    auto rows = [&](int j0, int j1, ColumnSums& sums) {
        for (int j = j0; j < j1; ++j)
            for (int i = 0; i < ax.n; ++i) {
                const std::size_t column = static_cast<std::size_t>(j) * ax.n + i;
                const double x = into.x.empty() ? ax.at(i) : into.x[column];
                const double y = into.y.empty() ? ay.at(j) : into.y[column];
                if (!std::isfinite(x) || !std::isfinite(y)) continue;
                double* weight = into.weight.data() + column * levels;
                double* value = into.value.data() + column * levels;
                std::copy(weight, weight + levels, sums.weight.begin());
                std::copy(value, value + levels, sums.value.begin());
                add_sweep(gates, column_at(x, y, o, sums), sums);
                std::copy(sums.weight.begin(), sums.weight.end(), weight);
                std::copy(sums.value.begin(), sums.value.end(), value);
            }
    };
    const int workers = static_cast<int>(std::min(worker_threads(), 64u));
    constexpr int kBlock = 8;
    std::vector<double> z(levels);
    for (int k = 0; k < az.n; ++k) z[k] = az.at(k);
    std::vector<ColumnSums> sums(workers, ColumnSums{std::vector<double>(levels), std::vector<double>(levels),
                                                     std::vector<double>(levels), z});
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w)
        pool.emplace_back([&, w] {
            for (int j0 = w * kBlock; j0 < ay.n; j0 += workers * kBlock) rows(j0, std::min(ay.n, j0 + kBlock), sums[w]);
        });
    for (std::thread& t : pool) t.join();
}

}  // namespace velmora::polar
