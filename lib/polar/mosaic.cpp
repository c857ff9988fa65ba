// The mosaic of several radars (mosaic.h): column by column, each radar's
// own sums from the gridding's steps (gridding_steps.h), its values weighed
// and combined level by level.
#include "polar/mosaic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <stdexcept>
#include <thread>

#include "io/cf_time.h"
#include "io/threads.h"
#include "polar/gridding_steps.h"

namespace velmora::polar {
namespace {

using steps::Axis;
using steps::ColumnSums;

constexpr double kDegree = std::numbers::pi / 180.0;
constexpr float kNull = -9999.0f;

// The differences of two radars' values go into bins of 0.05 dB from -30 to
// +30 dB (the ends take what lies beyond): a median to a twentieth of a dB
// without keeping every voxel's difference.
constexpr double kBinWidth = 0.05, kBinLow = -30.0;
constexpr int kBins = 1200;

std::string file_name_stem(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (const std::size_t dot = name.find('.'); dot != 0 && dot != std::string::npos) name.resize(dot);
    return name;
}

// The seconds between the earliest and the latest volume; refused beyond max_age.
double time_spread(const std::vector<MosaicRadar>& radars, double max_age) {
    double lo = INFINITY, hi = -INFINITY;
    for (const MosaicRadar& r : radars)
        if (r.time) lo = std::min(lo, *r.time), hi = std::max(hi, *r.time);
    if (!(hi >= lo)) return 0.0;
    if (hi - lo <= max_age) return hi - lo;
    std::string times;
    for (const MosaicRadar& r : radars)
        times += (times.empty() ? "" : ", ") + r.name + " at " + (r.time ? iso_utc(*r.time) : std::string("no time"));
    char text[160];
    std::snprintf(text, sizeof text, "the volumes are %.0f s apart, more than the %.0f s allowed (--max-age): ", hi - lo,
                  max_age);
    throw std::runtime_error(text + times);
}

// One radar's view of one column, level by level: whether its value there
// counts as no echo, and its weight.
struct RadarColumn {
    ColumnSums sums;
    std::vector<double> weight;    // the radar's weight in the combination, 0 where it has no value
    std::vector<double> dbz;       // the value (dBZ for reflectivity, adjusted), -inf no echo
};

// Where a radar's beams pass over a column s km from it: how far each level
// lies outside the nearest beam (km, 0 within it), that beam's half width,
// and the lower edge of the lowest beam and the upper edge of the highest.
struct BeamGaps {
    std::vector<double> gap, half;
    double bottom = 0, top = 0;
};

// A sweep's beam as beam_gaps reads it: its elevation (radians), that
// elevation's cosine and the tangent of half the beam's width, once for all
// columns.
struct Beam {
    double e, cos_e, tan_half;
};

std::vector<Beam> beams_of(const steps::Radar& radar) {
    std::vector<Beam> beams;
    for (const steps::SweepGates& sw : radar.sweeps)
        if (!sw.azimuth.empty()) {
            const double e = sw.elevation * kDegree;
            beams.push_back({e, std::cos(e), std::tan(sw.beam_width / 2 * kDegree)});
        }
    return beams;
}

void beam_gaps(std::span<const Beam> beams, double height, double s, std::span<const double> z, BeamGaps& b) {
    const double R = kEffectiveEarthRadius;
    std::fill(b.gap.begin(), b.gap.end(), INFINITY);
    std::fill(b.half.begin(), b.half.end(), 0.0);
    b.bottom = INFINITY;
    b.top = -INFINITY;
    const double arc = R * std::sin(s / R);
    for (const Beam& beam : beams) {
        const double turn = beam.e + s / R;
        if (turn >= std::numbers::pi / 2) continue;
        const double cos_turn = std::cos(turn);
        const double axis = R * beam.cos_e / cos_turn - R + height;
        const double half = arc / cos_turn * beam.tan_half;
        b.bottom = std::min(b.bottom, axis - half);
        b.top = std::max(b.top, axis + half);
        for (std::size_t k = 0; k < z.size(); ++k)
            if (const double g = std::max(0.0, std::fabs(z[k] - axis) - half); g < b.gap[k]) b.gap[k] = g, b.half[k] = half;
    }
}

// What every pass shares: the radars ready, the grid, the options.
struct Context {
    const GridOptions& o;
    const MosaicOptions& m;
    Combine combine;
    bool decibels;
    Axis ax, ay, az;
    std::vector<steps::Radar> radars;
    std::vector<std::vector<Beam>> beams;   // per radar
    std::vector<double> adjustment;   // dB per radar
    std::vector<double> range;        // km per radar
    std::size_t columns() const { return static_cast<std::size_t>(ax.n) * ay.n; }
    std::size_t pairs() const { return radars.size() * (radars.size() - 1) / 2; }
};

std::size_t pair_index(std::size_t a, std::size_t b, std::size_t n) { return a * n - a * (a + 1) / 2 + (b - a - 1); }

// Each radar's values in column (i, j); false when fewer than need radars reach it.
// beams: room for each level's gap, as long as the column.
bool radar_values(const Context& c, int i, int j, std::vector<RadarColumn>& out, std::size_t need, BeamGaps& beams) {
    const std::size_t column = static_cast<std::size_t>(j) * c.ax.n + i;
    const std::size_t levels = static_cast<std::size_t>(c.az.n);
    std::size_t reached = 0;
    for (std::size_t r = 0; r < c.radars.size(); ++r) {
        const steps::Radar& radar = c.radars[r];
        RadarColumn& rc = out[r];
        std::fill(rc.weight.begin(), rc.weight.end(), 0.0);
        const double x = radar.x.empty() ? c.ax.at(i) : radar.x[column];
        const double y = radar.y.empty() ? c.ay.at(j) : radar.y[column];
        const double s = std::hypot(x, y);
        // Beyond its farthest gate by more than the widest radius there, no gate of the radar reaches.
        const double widest = std::max(c.o.roi_min, c.o.zmax / 20.0 + s * std::tan(c.o.roi_angle * kDegree));
        if (!std::isfinite(s) || s - widest > c.range[r]) continue;
        ++reached;
        std::fill(rc.sums.weight.begin(), rc.sums.weight.end(), 0.0);
        std::fill(rc.sums.value.begin(), rc.sums.value.end(), 0.0);
        const steps::Column col = steps::column_at(x, y, c.o, rc.sums);
        for (const steps::SweepGates& sweep : radar.sweeps) steps::add_sweep(sweep, col, rc.sums);
        beam_gaps(c.beams[r], radar.height, s, rc.sums.z, beams);
        const double distance = std::exp(-(s / kMosaicLength) * (s / kMosaicLength));
        for (std::size_t k = 0; k < levels; ++k) {
            if (!(rc.sums.weight[k] > 0.0)) continue;
            const double mean = rc.sums.value[k] / rc.sums.weight[k];
            if (c.decibels && !(mean > 0.0)) {
                // No echo counts only within the radar's beams.
                if (rc.sums.z[k] < beams.bottom || rc.sums.z[k] > beams.top) continue;
                rc.dbz[k] = -INFINITY;
            } else {
                rc.dbz[k] = (c.decibels ? 10.0 * std::log10(mean) : mean) + c.adjustment[r];
            }
            // Within a beam (most levels a radar sees) its weight is whole.
            const double g = beams.gap[k] / std::max(c.az.step, beams.half[k]);
            const double outside = g == 0.0 ? 1.0 : std::exp(-g * g);
            // Never quite 0: a radar far out keeps its value where it is alone.
            rc.weight[k] = std::max(distance * outside, 1e-300);
        }
    }
    return reached >= need;
}

// The combined value of level k, the radar kept and how many radars saw it.
struct Combined {
    float value = kNull;
    std::int8_t kept = -1;
    std::uint8_t seen = 0;
};

Combined combine_level(const Context& c, const std::vector<RadarColumn>& rcs, std::size_t k) {
    Combined out;
    double highest = -INFINITY;
    for (const RadarColumn& rc : rcs)
        if (rc.weight[k] > 0.0) ++out.seen, highest = std::max(highest, rc.dbz[k]);
    if (out.seen == 0) return out;
    // The weighted mean of reflectivity leaves out the radars that see less
    // than the strongest echo there by more than kAgreement (mosaic.h). The
    // weight falls from whole at half kAgreement below to none at kAgreement,
    // so that a small change of a value never moves the mean by a jump.
    const bool agreeing = c.combine == Combine::weighted && c.decibels && std::isfinite(highest);
    double sum_w = 0, sum_wz = 0, best_w = 0, best_v = -INFINITY;
    for (std::size_t r = 0; r < rcs.size(); ++r) {
        const double v = rcs[r].dbz[k];
        double w = rcs[r].weight[k];
        if (agreeing) w *= std::isinf(v) ? 0.0 : std::clamp(2.0 * (kAgreement - (highest - v)) / kAgreement, 0.0, 1.0);
        if (!(w > 0.0)) continue;
        sum_w += w;
        sum_wz += w * (c.decibels ? (std::isinf(v) ? 0.0 : std::pow(10.0, v / 10.0)) : v);
        const bool keep = c.combine == Combine::max ? (v > best_v || (v == best_v && w > best_w)) : w > best_w;
        if (keep) best_w = w, best_v = v, out.kept = static_cast<std::int8_t>(r);
    }
    double v = best_v;
    if (c.combine == Combine::weighted) {
        const double mean = sum_wz / sum_w;
        v = !c.decibels ? mean : mean > 0.0 ? 10.0 * std::log10(mean) : -INFINITY;
    }
    // No echo is missing in the grid, as a single radar's grid has it.
    if (std::isfinite(v)) out.value = static_cast<float>(v);
    return out;
}

// The differences of every pair of radars with echo at level k into the bins
// (as adjusted: as measured before a calibration, what is left after it).
void add_differences(const std::vector<RadarColumn>& rcs, std::size_t k, std::vector<std::int64_t>& bins) {
    const std::size_t n = rcs.size();
    for (std::size_t a = 0; a + 1 < n; ++a) {
        if (!(rcs[a].weight[k] > 0.0) || std::isinf(rcs[a].dbz[k])) continue;
        for (std::size_t b = a + 1; b < n; ++b) {
            if (!(rcs[b].weight[k] > 0.0) || std::isinf(rcs[b].dbz[k])) continue;
            const double d = (rcs[a].dbz[k] - rcs[b].dbz[k] - kBinLow) / kBinWidth;
            const int bin = std::clamp(static_cast<int>(std::floor(d)), 0, kBins - 1);
            ++bins[pair_index(a, b, n) * kBins + static_cast<std::size_t>(bin)];
        }
    }
}

// One pass over every column: the overlaps' bins, and the mosaic's values
// into out when it is given. Rows of columns on every core, in interleaved
// blocks (the echo is seldom spread evenly); each column is one thread's.
std::vector<std::int64_t> run_pass(const Context& c, Mosaic* out) {
    const std::size_t levels = static_cast<std::size_t>(c.az.n), columns = c.columns(), n = c.radars.size();
    std::vector<double> z(levels);
    for (std::size_t k = 0; k < levels; ++k) z[k] = c.az.at(static_cast<int>(k));
    const int workers = static_cast<int>(std::min(worker_threads(), 64u));
    std::vector<std::vector<std::int64_t>> bins(workers, std::vector<std::int64_t>(c.pairs() * kBins));
    auto rows = [&](int j0, int j1, std::vector<std::int64_t>& into) {
        const std::vector<double> zero(levels);
        std::vector<RadarColumn> rcs(n, RadarColumn{ColumnSums{zero, zero, zero, z}, zero, zero});
        BeamGaps beams{zero, zero};
        for (int j = j0; j < j1; ++j)
            for (int i = 0; i < c.ax.n; ++i) {
                if (!radar_values(c, i, j, rcs, out ? 1 : 2, beams)) continue;
                const std::size_t column = static_cast<std::size_t>(j) * c.ax.n + i;
                for (std::size_t k = 0; k < levels; ++k) {
                    if (n > 1) add_differences(rcs, k, into);
                    if (!out) continue;
                    const Combined v = combine_level(c, rcs, k);
                    const std::size_t at = k * columns + column;
                    out->grid.values[at] = v.value;
                    out->kept[at] = v.kept;
                    out->seen_by[at] = v.seen;
                }
            }
    };
    constexpr int kBlock = 8;
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w)
        pool.emplace_back([&, w] {
            for (int j0 = w * kBlock; j0 < c.ay.n; j0 += workers * kBlock) rows(j0, std::min(c.ay.n, j0 + kBlock), bins[w]);
        });
    for (std::thread& t : pool) t.join();
    for (int w = 1; w < workers; ++w)
        for (std::size_t i = 0; i < bins[0].size(); ++i) bins[0][i] += bins[w][i];
    return std::move(bins[0]);
}

// The median difference of every pair with shared echo, from its bins.
std::vector<Overlap> overlaps_of(const std::vector<std::int64_t>& bins, std::size_t n) {
    std::vector<Overlap> overlaps;
    for (std::size_t a = 0; a + 1 < n; ++a)
        for (std::size_t b = a + 1; b < n; ++b) {
            const std::int64_t* h = &bins[pair_index(a, b, n) * kBins];
            std::int64_t count = 0;
            for (int i = 0; i < kBins; ++i) count += h[i];
            if (count == 0) continue;
            // The median within its bin, as if the bin's differences were spread evenly.
            const double half = static_cast<double>(count) / 2.0;
            std::int64_t below = 0;
            int i = 0;
            while (static_cast<double>(below + h[i]) < half) below += h[i++];
            const double median = kBinLow + kBinWidth * (i + (half - static_cast<double>(below)) / static_cast<double>(h[i]));
            overlaps.push_back(Overlap{a, b, median, count});
        }
    return overlaps;
}

// The radar named ref: by its name, its file, or a part of its name found in
// no other radar's.
std::size_t reference_radar(const std::vector<MosaicRadar>& radars, const std::string& ref) {
    std::vector<std::size_t> found;
    for (std::size_t r = 0; r < radars.size(); ++r)
        if (radars[r].name == ref || radars[r].source == ref) return r;
    for (std::size_t r = 0; r < radars.size(); ++r)
        if (radars[r].name.find(ref) != std::string::npos) found.push_back(r);
    if (found.size() == 1) return found[0];
    std::string names;
    for (const MosaicRadar& r : radars) names += (names.empty() ? "" : ", ") + r.name;
    throw std::runtime_error("--calibrate: " + ref + (found.empty() ? " is none of the radars (" : " names several radars (") +
                             names + ")");
}

// The dB to add to each radar's values to bring it to the reference's level:
// through the overlaps, from the reference outwards (a radar that shares no
// echo with the reference is reached through one that does). A radar reached
// by no chain of overlaps keeps its values, and the note says so.
std::vector<double> adjustments(const std::vector<MosaicRadar>& radars, const std::vector<Overlap>& overlaps,
                                std::size_t ref, const GridOptions& o) {
    std::vector<double> offset(radars.size(), NAN);   // each radar's level minus the reference's
    offset[ref] = 0.0;
    for (bool grew = true; grew;) {
        grew = false;
        for (const Overlap& p : overlaps) {
            if (std::isnan(offset[p.a]) == std::isnan(offset[p.b])) continue;
            if (std::isnan(offset[p.b])) offset[p.b] = offset[p.a] - p.median;
            else offset[p.a] = offset[p.b] + p.median;
            grew = true;
        }
    }
    std::vector<double> adjust(radars.size(), 0.0);
    for (std::size_t r = 0; r < radars.size(); ++r) {
        if (!std::isnan(offset[r])) adjust[r] = -offset[r];
        else if (o.note)
            o.note(radars[r].name + " shares no echo with " + radars[ref].name +
                   " through any chain of radars: its values are not calibrated");
    }
    return adjust;
}

Context context_of(std::span<const PolarVolume> volumes, const GridOptions& o, const MosaicOptions& m,
                   const std::vector<MosaicRadar>& radars) {
    const bool decibels = steps::in_decibels(volumes[0]);
    for (const PolarVolume& v : volumes)
        if (steps::in_decibels(v) != decibels)
            throw std::runtime_error(v.source + ": its field " + v.field + " cannot be combined with " +
                                     volumes[0].field + " of " + volumes[0].source);
    Context c{o, m, m.combine, decibels, steps::axis_of(o.xmin, o.xmax, o.dx), steps::axis_of(o.ymin, o.ymax, o.dy),
              steps::axis_of(o.zmin, o.zmax, o.dz), {}, {}, std::vector<double>(radars.size(), 0.0), {}};
    c.radars = steps::prepare_radars(volumes, *o.origin, c.ax, c.ay, decibels, o, 0.0);
    for (const steps::Radar& radar : c.radars) c.beams.push_back(beams_of(radar));
    for (const MosaicRadar& r : radars) c.range.push_back(r.range);
    return c;
}

}  // namespace

std::optional<Combine> combine_named(const std::string& name) {
    if (name == "weighted") return Combine::weighted;
    if (name == "nearest") return Combine::nearest;
    if (name == "max") return Combine::max;
    return std::nullopt;
}

const char* combine_name(Combine c) {
    return c == Combine::weighted ? "weighted" : c == Combine::nearest ? "nearest" : "max";
}

std::vector<MosaicRadar> mosaic_radars(std::span<const PolarVolume> volumes) {
    std::vector<MosaicRadar> radars;
    for (const PolarVolume& v : volumes) {
        MosaicRadar r{.name = file_name_stem(v.source), .source = v.source, .site = *v.site, .time = v.time};
        // Two files of one name in different folders stay two radars.
        for (int n = 2; std::any_of(radars.begin(), radars.end(), [&](const MosaicRadar& o) { return o.name == r.name; });
             ++n)
            r.name = file_name_stem(v.source) + "#" + std::to_string(n);
        for (const Sweep& s : v.sweeps)
            if (s.gates > 0 && s.fixed_angle < 89.0)
                r.range = std::max(r.range, ground_distance((s.range_first + s.gate_spacing * (s.gates - 1)) / 1000.0,
                                                            std::max(0.0, s.fixed_angle)));
        radars.push_back(std::move(r));
    }
    return radars;
}

GridOptions network_grid(const GridOptions& given, const MosaicOptions& m, std::vector<MosaicRadar>& radars) {
    GridOptions o = given;
    if (!o.origin) {
        double lat0 = INFINITY, lat1 = -INFINITY, lon0 = INFINITY, lon1 = -INFINITY;
        for (const MosaicRadar& r : radars) {
            lat0 = std::min(lat0, r.site.latitude), lat1 = std::max(lat1, r.site.latitude);
            lon0 = std::min(lon0, r.site.longitude), lon1 = std::max(lon1, r.site.longitude);
        }
        o.origin = GeoOrigin{(lat0 + lat1) / 2, (lon0 + lon1) / 2};
    }
    std::vector<double> lat, lon, x(radars.size()), y(radars.size());
    for (const MosaicRadar& r : radars) lat.push_back(r.site.latitude), lon.push_back(r.site.longitude);
    projected(*o.origin, lat, lon, x, y);
    for (std::size_t i = 0; i < radars.size(); ++i) radars[i].x = x[i], radars[i].y = y[i];
    if (m.extent_given) return o;
    o.xmin = o.ymin = INFINITY;
    o.xmax = o.ymax = -INFINITY;
    for (const MosaicRadar& r : radars) {
        o.xmin = std::min(o.xmin, std::floor((r.x - r.range) / o.dx) * o.dx);
        o.xmax = std::max(o.xmax, std::ceil((r.x + r.range) / o.dx) * o.dx);
        o.ymin = std::min(o.ymin, std::floor((r.y - r.range) / o.dy) * o.dy);
        o.ymax = std::max(o.ymax, std::ceil((r.y + r.range) / o.dy) * o.dy);
    }
    return o;
}

Mosaic mosaic_volumes(std::span<const PolarVolume> volumes, const GridOptions& given, const MosaicOptions& m) {
    if (volumes.empty()) throw std::runtime_error("no radar volume to grid");
    if (volumes.size() > 127) throw std::runtime_error("a mosaic of more than 127 radars");
    for (const PolarVolume& v : volumes)
        if (!v.site)
            throw std::runtime_error(v.source + ": the file gives no radar position; give it with --site LAT,LON,HEIGHT");
    Mosaic out;
    out.combine = m.combine;
    out.radars = mosaic_radars(volumes);
    out.time_spread = time_spread(out.radars, m.max_age);
    const GridOptions o = network_grid(given, m, out.radars);
    if (std::string problem = grid_problem(o); !problem.empty())
        throw std::runtime_error(m.extent_given ? problem : "over every radar's range, " + problem + " (give --extent or a coarser --spacing)");
    Context c = context_of(volumes, o, m, out.radars);
    if (!m.calibrate.empty()) {
        const std::size_t ref = reference_radar(out.radars, m.calibrate);
        out.overlaps = overlaps_of(run_pass(c, nullptr), volumes.size());
        c.adjustment = adjustments(out.radars, out.overlaps, ref, o);
        for (std::size_t r = 0; r < out.radars.size(); ++r) out.radars[r].adjustment = c.adjustment[r];
    }
    Volume& grid = out.grid;
    for (int i = 0; i < c.ax.n; ++i) grid.x.push_back(static_cast<float>(c.ax.at(i)));
    for (int j = 0; j < c.ay.n; ++j) grid.y.push_back(static_cast<float>(c.ay.at(j)));
    for (int k = 0; k < c.az.n; ++k) grid.z.push_back(static_cast<float>(c.az.at(k)));
    const std::size_t points = c.columns() * static_cast<std::size_t>(c.az.n);
    grid.values.resize(points);
    std::fill(grid.values.begin(), grid.values.end(), kNull);
    out.kept.assign(points, -1);
    out.seen_by.assign(points, 0);
    grid.name = volumes[0].field;
    grid.units = volumes[0].units;
    grid.has_null = true;
    grid.null_value = kNull;
    grid.origin = o.origin;
    for (const MosaicRadar& r : out.radars)
        if (r.time && (!grid.time || *r.time < *grid.time)) grid.time = r.time;
    std::vector<Overlap> overlaps = overlaps_of(run_pass(c, &out), volumes.size());
    (m.calibrate.empty() ? out.overlaps : out.residuals) = std::move(overlaps);
    return out;
}

std::vector<std::string> overlap_lines(const Mosaic& m, const std::vector<Overlap>& overlaps) {
    std::vector<std::string> lines;
    for (const Overlap& p : overlaps) {
        char text[64];
        std::snprintf(text, sizeof text, ": %+.1f dB over %lld voxels", p.median, static_cast<long long>(p.count));
        lines.push_back(m.radars[p.a].name + " - " + m.radars[p.b].name + text);
    }
    return lines;
}

}  // namespace velmora::polar
