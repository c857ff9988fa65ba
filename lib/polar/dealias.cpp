#include "polar/dealias.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <queue>
#include <stdexcept>
#include <tuple>
#include <unordered_map>

#include "polar/gate_filters.h"

namespace velmora::polar {
namespace {

// Velocity intervals across the Nyquist range: gates of one interval that
// touch form a region (Py-ART's default, interval_splits = 3).
constexpr int kSplits = 3;

constexpr double kRad = std::numbers::pi / 180.0;

bool valid(float v) { return std::isfinite(v); }

// The neighbours of a sweep's gates: the next gate on the ray, and the same
// gate on the next ray (the first ray after the last when the sweep goes
// round the circle), and with diagonal the gates either side of it.
struct Layout {
    std::size_t rays = 0;
    int gates = 0;
    bool circle = false;

    std::size_t at(std::size_t r, int g) const { return r * static_cast<std::size_t>(gates) + static_cast<std::size_t>(g); }
    // Calls f(a, b) for every pair of neighbouring gates.
    template <class F>
    void pairs(F&& f, bool diagonal = false) const {
        for (std::size_t r = 0; r < rays; ++r) {
            const bool last = r + 1 == rays;
            if (last && (!circle || rays < 3)) {
                for (int g = 0; g + 1 < gates; ++g) f(at(r, g), at(r, g + 1));
                continue;
            }
            const std::size_t next = last ? 0 : r + 1;
            for (int g = 0; g < gates; ++g) {
                if (g + 1 < gates) f(at(r, g), at(r, g + 1));
                f(at(r, g), at(next, g));
                if (!diagonal) continue;
                if (g + 1 < gates) f(at(r, g), at(next, g + 1));
                if (g > 0) f(at(r, g), at(next, g - 1));
            }
        }
    }
};

int interval(float v, double vn) {
    const int k = static_cast<int>(std::floor((v + vn) / (2.0 * vn) * kSplits));
    return std::clamp(k, 0, kSplits - 1);
}

// Gates in regions: each gate with a value gets the number of its region
// (gates of one velocity interval joined through neighbours), the others -1.
std::vector<int> label_regions(const std::vector<float>& v, const Layout& l, double vn, int& count) {
    std::vector<int> parent(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) parent[i] = static_cast<int>(i);
    auto find = [&parent](int x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    l.pairs([&](std::size_t a, std::size_t b) {
        if (!valid(v[a]) || !valid(v[b]) || interval(v[a], vn) != interval(v[b], vn)) return;
        const int ra = find(static_cast<int>(a)), rb = find(static_cast<int>(b));
        if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
    });
    std::vector<int> label(v.size(), -1);
    count = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (!valid(v[i])) continue;
        const int root = find(static_cast<int>(i));
        label[i] = root == static_cast<int>(i) ? count++ : label[static_cast<std::size_t>(root)];
    }
    return label;
}

// What joins two sets of regions: how many pairs of neighbouring gates, and
// the sum over them of this set's velocity less the other's.
struct Edge {
    long count = 0;
    double sum = 0.0;
};

// Regions joined into sets, each shifted by whole numbers of 2 Vn.
class Joiner {
public:
    Joiner(int regions, double vn) : vn2_(2.0 * vn), offset_(regions), members_(regions), adjacent_(regions) {
        for (int r = 0; r < regions; ++r) members_[r] = {r};
    }

    void add(int a, int b, double difference) {
        Edge& e = adjacent_[a][b];
        ++e.count;
        e.sum += difference;
        Edge& back = adjacent_[b][a];
        ++back.count;
        back.sum -= difference;
    }

    // Joins along the longest common boundary first, until no two sets touch.
    void join_all() {
        using Entry = std::tuple<long, int, int>;
        std::priority_queue<Entry> heap;
        for (int a = 0; a < static_cast<int>(adjacent_.size()); ++a)
            for (const auto& [b, e] : adjacent_[a])
                if (a < b) heap.emplace(e.count, a, b);
        while (!heap.empty()) {
            const auto [count, a, b] = heap.top();
            heap.pop();
            const auto it = adjacent_[a].find(b);
            if (it == adjacent_[a].end() || it->second.count != count) continue;  // stale
            const int n = static_cast<int>(std::lround(it->second.sum / static_cast<double>(count) / vn2_));
            // Shift the smaller set: either way the two agree.
            if (members_[b].size() <= members_[a].size()) shift(b, n);
            else shift(a, -n);
            join(a, b, heap);
        }
    }

    // Each set (by its representative), and the shift of each region.
    const std::vector<std::vector<int>>& members() const { return members_; }
    int offset(int region) const { return offset_[region]; }
    double step() const { return vn2_; }

private:
    void shift(int set, int n) {
        if (n == 0) return;
        for (int r : members_[set]) offset_[r] += n;
        for (auto& [c, e] : adjacent_[set]) {
            const double d = n * vn2_ * static_cast<double>(e.count);
            e.sum += d;
            adjacent_[c][set].sum -= d;
        }
    }

    template <class Heap>
    void join(int a, int b, Heap& heap) {
        // The set with fewer neighbours is folded into the other.
        const int dst = adjacent_[a].size() >= adjacent_[b].size() ? a : b, src = dst == a ? b : a;
        adjacent_[dst].erase(src);
        for (const auto& [c, e] : adjacent_[src]) {
            if (c == dst) continue;
            Edge& to = adjacent_[dst][c];
            to.count += e.count;
            to.sum += e.sum;
            auto& theirs = adjacent_[c];
            const Edge back = theirs[src];
            theirs.erase(src);
            Edge& from = theirs[dst];
            from.count += back.count;
            from.sum += back.sum;
            heap.emplace(to.count, std::min(dst, c), std::max(dst, c));
        }
        adjacent_[src] = {};
        if (members_[dst].size() < members_[src].size()) members_[dst].swap(members_[src]);
        members_[dst].insert(members_[dst].end(), members_[src].begin(), members_[src].end());
        members_[src] = {};
    }

    double vn2_;
    std::vector<int> offset_;
    std::vector<std::vector<int>> members_;
    std::vector<std::unordered_map<int, Edge>> adjacent_;
};

// The horizontal wind of each 500 m layer above the radar, fitted to the
// sweeps already unfolded (a velocity-azimuth display: the radial velocity
// u sin a cos e + v cos a cos e, least squares over each layer's gates).
class WindProfile {
public:
    void add(const Sweep& s) {
        if (!(std::fabs(s.fixed_angle) < 45)) return;  // mostly vertical motion up there
        for (std::size_t r = 0; r < s.rays(); ++r) {
            const double a = s.azimuth[r] * kRad, e = s.elevation[r] * kRad;
            const double x = std::sin(a) * std::cos(e), y = std::cos(a) * std::cos(e);
            for (int g = 0; g < s.gates; ++g) {
                const float v = s.at(r, g);
                const int k = layer(s.range_first + g * s.gate_spacing, e);
                if (!valid(v) || k < 0) continue;
                Sums& m = sums_[static_cast<std::size_t>(k)];
                m.n += 1, m.xx += x * x, m.xy += x * y, m.yy += y * y, m.xv += x * v, m.yv += y * v;
            }
        }
    }

    // The radial wind at a gate; NaN where the layer has too few gates or
    // too narrow a spread of azimuths to tell both components.
    float operator()(double azimuth, double elevation, double range) const {
        const int k = layer(range, elevation * kRad);
        if (k < 0) return NAN;
        const Sums& m = sums_[static_cast<std::size_t>(k)];
        const double det = m.xx * m.yy - m.xy * m.xy;
        if (m.n < 200 || !(det > 0.05 * m.n * m.n)) return NAN;
        const double u = (m.xv * m.yy - m.yv * m.xy) / det, v = (m.yv * m.xx - m.xv * m.xy) / det;
        return static_cast<float>(radial_wind(Wind{u, v}, azimuth, elevation));
    }

private:
    struct Sums {
        double n = 0, xx = 0, xy = 0, yy = 0, xv = 0, yv = 0;
    };
    static constexpr int kLayers = 40;  // of 500 m: up to 20 km

    // The layer of a gate at range (m) and elevation (radians), by the 4/3
    // earth radius model; -1 above the top.
    static int layer(double range, double elevation) {
        constexpr double R = 4.0 / 3.0 * 6371000.0;
        const double h = std::sqrt(range * range + R * R + 2.0 * range * R * std::sin(elevation)) - R;
        const int k = static_cast<int>(std::floor(h / 500.0));
        return k >= 0 && k < kLayers ? k : -1;
    }

    std::array<Sums, kLayers> sums_{};
};

// The first guess at a gate: the sweep below, else the wind profile of
// the sweeps below, else the previous volume's sweep, else the wind's
// radial component; NaN when none says.
struct FirstGuess {
    std::optional<SweepLookup> below, previous;
    std::optional<Wind> wind;
    const Sweep* sweep = nullptr;
    const WindProfile* profile = nullptr;

    float operator()(std::size_t ray, int gate) const {
        if (profile)
            if (float v = (*profile)(sweep->azimuth[ray], sweep->elevation[ray], sweep->range_first + gate * sweep->gate_spacing);
                valid(v))
                return v;
        if (below)
            if (float v = (*below)(ray, gate); valid(v)) return v;
        if (previous)
            if (float v = (*previous)(ray, gate); valid(v)) return v;
        if (wind) return static_cast<float>(radial_wind(*wind, sweep->azimuth[ray], sweep->elevation[ray]));
        return NAN;
    }
};

// The whole shift of each set that nothing joined to another: the median
// of the first guess less its velocity where the guess says at enough of its
// gates, else the one that keeps its mean within +-Vn.
std::vector<int> set_shifts(const Sweep& s, const std::vector<int>& label, const Joiner& j, const FirstGuess& guess) {
    const auto& members = j.members();
    std::vector<int> set_of(members.size(), -1);
    for (std::size_t set = 0; set < members.size(); ++set)
        for (int r : members[set]) set_of[static_cast<std::size_t>(r)] = static_cast<int>(set);
    std::vector<std::vector<float>> differences(members.size());
    std::vector<double> sum(members.size(), 0.0);
    std::vector<long> gates(members.size(), 0);
    for (std::size_t r = 0; r < s.rays(); ++r)
        for (int g = 0; g < s.gates; ++g) {
            const std::size_t i = r * static_cast<std::size_t>(s.gates) + static_cast<std::size_t>(g);
            if (label[i] < 0) continue;
            const int set = set_of[static_cast<std::size_t>(label[i])];
            const double v = s.values[i] + j.step() * j.offset(label[i]);
            sum[set] += v;
            ++gates[set];
            if (const float ref = guess(r, g); valid(ref)) differences[set].push_back(static_cast<float>(ref - v));
        }
    std::vector<int> shift(members.size(), 0);
    for (std::size_t set = 0; set < members.size(); ++set) {
        if (gates[set] == 0) continue;
        auto& d = differences[set];
        const std::size_t enough = std::clamp<std::size_t>(static_cast<std::size_t>(gates[set]) / 10, 3, 20);
        double wanted = -sum[set] / static_cast<double>(gates[set]);
        if (d.size() >= enough) {
            std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2), d.end());
            wanted = d[d.size() / 2];
        }
        shift[set] = static_cast<int>(std::lround(wanted / j.step()));
    }
    // Each region's shift: its own within its set, and its set's.
    std::vector<int> region(set_of.size());
    for (std::size_t r = 0; r < set_of.size(); ++r) region[r] = j.offset(static_cast<int>(r)) + shift[static_cast<std::size_t>(set_of[r])];
    return region;
}

// The circular mean of a gate's eight neighbours on the phase circle of
// the extended Nyquist velocity vn, when at least five have values that
// agree (mean resultant length 0.8 or more); NaN otherwise.
float neighbour_mean(const std::vector<std::pair<float, float>>& phase, const Layout& l, std::size_t r, int g, double vn) {
    double c = 0, s = 0;
    int n = 0;
    for (int dr = -1; dr <= 1; ++dr) {
        long rr = static_cast<long>(r) + dr;
        if (rr < 0 || rr >= static_cast<long>(l.rays)) {
            if (!l.circle) continue;
            rr = (rr + static_cast<long>(l.rays)) % static_cast<long>(l.rays);
        }
        for (int dg = -1; dg <= 1; ++dg) {
            const int gg = g + dg;
            if ((dr == 0 && dg == 0) || gg < 0 || gg >= l.gates) continue;
            const auto [cx, sx] = phase[l.at(static_cast<std::size_t>(rr), gg)];
            if (!valid(cx)) continue;
            c += cx;
            s += sx;
            ++n;
        }
    }
    if (n < 5 || std::hypot(c, s) < 0.8 * n) return NAN;
    return static_cast<float>(std::atan2(s, c) * vn / std::numbers::pi);
}

// Gates still off their surroundings after the regions are joined (specks
// and slivers the joining put on the wrong side) are moved by the whole
// number of 2 Vn nearest the mean of the unfolded gates about them: within
// kBoxRays rays and kBoxGates gates either side, when at least kBoxCount of
// them have values (the box check of UNRAVEL, Louf et al. 2020). Returns how
// many.
constexpr int kBoxRays = 3, kBoxGates = 10, kBoxCount = 10;

std::size_t box_check(std::vector<float>& v, const Layout& l, double vn) {
    // Prefix sums along each ray of the values and of their count.
    const std::size_t row = static_cast<std::size_t>(l.gates) + 1;
    std::vector<double> sum(l.rays * row, 0.0);
    std::vector<int> count(l.rays * row, 0);
    for (std::size_t r = 0; r < l.rays; ++r)
        for (int g = 0; g < l.gates; ++g) {
            const float x = v[l.at(r, g)];
            const std::size_t at = r * row + static_cast<std::size_t>(g);
            sum[at + 1] = sum[at] + (valid(x) ? x : 0.0);
            count[at + 1] = count[at] + valid(x);
        }
    const std::vector<float> before = v;
    std::size_t moved = 0;
    const long rays = static_cast<long>(l.rays);
    for (std::size_t r = 0; r < l.rays; ++r)
        for (int g = 0; g < l.gates; ++g) {
            const float x = before[l.at(r, g)];
            if (!valid(x)) continue;
            const std::size_t lo = static_cast<std::size_t>(std::max(0, g - kBoxGates));
            const std::size_t hi = static_cast<std::size_t>(std::min(l.gates, g + kBoxGates + 1));
            double s = -x;
            int n = -1;
            for (long dr = -kBoxRays; dr <= kBoxRays; ++dr) {
                long rr = static_cast<long>(r) + dr;
                if (rr < 0 || rr >= rays) {
                    if (!l.circle) continue;
                    rr = (rr + rays) % rays;
                }
                const std::size_t base = static_cast<std::size_t>(rr) * row;
                s += sum[base + hi] - sum[base + lo];
                n += count[base + hi] - count[base + lo];
            }
            if (n < kBoxCount) continue;
            const long k = std::lround((s / n - x) / (2.0 * vn));
            if (k == 0) continue;
            v[l.at(r, g)] = static_cast<float>(x + 2.0 * vn * static_cast<double>(k));
            ++moved;
        }
    return moved;
}

// x within [-vn, vn).
double wrap(double x, double vn) { return x - 2.0 * vn * std::floor((x + vn) / (2.0 * vn)); }

}  // namespace

SweepLookup::SweepLookup(const Sweep& from, const Sweep& at) : from_(&from) {
    if (from.rays() == 0 || from.gates == 0 || !(from.gate_spacing > 0)) return;
    std::vector<std::pair<float, std::size_t>> order;
    for (std::size_t r = 0; r < from.rays(); ++r) order.emplace_back(from.azimuth[r], r);
    std::sort(order.begin(), order.end());
    const double spacing = 360.0 / static_cast<double>(from.rays());
    ray_.resize(at.rays());
    for (std::size_t r = 0; r < at.rays(); ++r) ray_[r] = nearest(order, at.azimuth[r], 1.5 * std::max(spacing, 0.5));
    gate_.resize(static_cast<std::size_t>(at.gates));
    const double scale = std::cos(at.fixed_angle * kRad) / std::cos(from.fixed_angle * kRad);
    for (int g = 0; g < at.gates; ++g) {
        const double range = (at.range_first + g * at.gate_spacing) * scale;
        const double k = std::round((range - from.range_first) / from.gate_spacing);
        gate_[static_cast<std::size_t>(g)] = k >= 0 && k < from.gates ? static_cast<int>(k) : -1;
    }
}

float SweepLookup::operator()(std::size_t ray, int gate) const {
    if (ray >= ray_.size() || ray_[ray] < 0 || gate < 0 || gate >= static_cast<int>(gate_.size()) ||
        gate_[static_cast<std::size_t>(gate)] < 0)
        return NAN;
    return from_->at(static_cast<std::size_t>(ray_[ray]), gate_[static_cast<std::size_t>(gate)]);
}

long SweepLookup::nearest(const std::vector<std::pair<float, std::size_t>>& order, float azimuth, double within) {
    auto it = std::lower_bound(order.begin(), order.end(), std::make_pair(azimuth, std::size_t{0}));
    long best = -1;
    double best_d = within;
    for (auto c : {it == order.begin() ? order.end() - 1 : it - 1, it == order.end() ? order.begin() : it}) {
        double d = std::fabs(c->first - azimuth);
        d = std::min(d, 360.0 - d);
        if (d <= best_d) best_d = d, best = static_cast<long>(c->second);
    }
    return best;
}

double radial_wind(Wind wind, double azimuth, double elevation) {
    return (wind.u * std::sin(azimuth * kRad) + wind.v * std::cos(azimuth * kRad)) * std::cos(elevation * kRad);
}

bool is_radial_velocity(const PolarVolume& v) {
    std::string f = v.field;
    for (char& c : f) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return f.starts_with("VRAD") || f.starts_with("VEL") || f.find("VELOCITY") != std::string::npos ||
           std::any_of(v.sweeps.begin(), v.sweeps.end(), [](const Sweep& s) { return s.nyquist.has_value(); });
}

std::size_t correct_dual_prf(Sweep& s) {
    if (!s.nyquist || !(s.nyquist_high > 0) || !(s.nyquist_low > 0)) return 0;
    const double vn = *s.nyquist;
    // An outlier is put back when a multiple of 2 va brings it within half
    // the lower PRF's Nyquist velocity of its neighbours' mean.
    const double within = 0.5 * std::min(s.nyquist_high, s.nyquist_low);
    const Layout l{s.rays(), s.gates, full_circle(s)};
    // Each gate's velocity as a point on the unit circle (NaN without one).
    std::vector<std::pair<float, float>> phase(s.values.size(), {NAN, NAN});
    for (std::size_t i = 0; i < s.values.size(); ++i)
        if (valid(s.values[i]))
            phase[i] = {static_cast<float>(std::cos(s.values[i] * std::numbers::pi / vn)),
                        static_cast<float>(std::sin(s.values[i] * std::numbers::pi / vn))};
    const std::vector<float> before = s.values;
    std::size_t fixed = 0;
    for (std::size_t r = 0; r < l.rays; ++r)
        for (int g = 0; g < l.gates; ++g) {
            const float v = before[l.at(r, g)];
            if (!valid(v)) continue;
            const float mean = neighbour_mean(phase, l, r, g, vn);
            if (!valid(mean) || std::fabs(wrap(v - mean, vn)) <= within) continue;
            double best = v, best_d = std::fabs(wrap(v - mean, vn));
            for (double va : {s.nyquist_high, s.nyquist_low})
                for (int k : {-2, -1, 1, 2}) {
                    const double c = v + 2.0 * k * va, d = std::fabs(wrap(c - mean, vn));
                    if (d < best_d) best = c, best_d = d;
                }
            if (best_d > within) continue;
            s.values[l.at(r, g)] = static_cast<float>(wrap(best, vn));
            ++fixed;
        }
    return fixed;
}

namespace {

// The sweep unfolded against guess (dealias_sweep); the gates moved.
std::size_t unfold(Sweep& s, const FirstGuess& guess) {
    const double vn = *s.nyquist;
    const Layout l{s.rays(), s.gates, full_circle(s)};
    int regions = 0;
    const std::vector<int> label = label_regions(s.values, l, vn, regions);
    if (regions == 0) return 0;  // no echo
    // Regions join across diagonal neighbours too: specks of noise touch
    // their surroundings that way as often as side by side.
    Joiner j(regions, vn);
    l.pairs(
        [&](std::size_t a, std::size_t b) {
            if (label[a] >= 0 && label[b] >= 0 && label[a] != label[b]) j.add(label[a], label[b], s.values[a] - s.values[b]);
        },
        true);
    j.join_all();
    const std::vector<int> shift = set_shifts(s, label, j, guess);
    const std::vector<float> measured = s.values;
    for (std::size_t i = 0; i < s.values.size(); ++i)
        if (label[i] >= 0) s.values[i] += static_cast<float>(shift[static_cast<std::size_t>(label[i])] * 2.0 * vn);
    box_check(s.values, l, vn);
    std::size_t moved = 0;
    for (std::size_t i = 0; i < s.values.size(); ++i) moved += label[i] >= 0 && s.values[i] != measured[i];
    return moved;
}

FirstGuess first_guess(const Sweep& s, const Sweep* below, const Sweep* previous, std::optional<Wind> wind,
                       const WindProfile* profile) {
    FirstGuess guess{{}, {}, wind, &s, profile};
    if (below) guess.below.emplace(*below, s);
    if (previous) guess.previous.emplace(*previous, s);
    return guess;
}

}  // namespace

std::size_t dealias_sweep(Sweep& s, const Sweep* below, const Sweep* previous, std::optional<Wind> wind) {
    if (!s.nyquist || !(*s.nyquist > 0)) throw std::invalid_argument(s.name + ": no Nyquist velocity");
    return unfold(s, first_guess(s, below, previous, wind, nullptr));
}

bool previous_fits(const PolarVolume& previous, const PolarVolume& v) {
    if (previous.site.has_value() != v.site.has_value()) return false;
    if (v.site) {
        // 100 m on the ground, east-west shrinking with the latitude.
        const double dy = (previous.site->latitude - v.site->latitude) * 111.2e3;
        const double dx = (previous.site->longitude - v.site->longitude) * 111.2e3 * std::cos(v.site->latitude * kRad);
        if (std::hypot(dx, dy) > 100.0) return false;
    }
    if (!previous.time || !v.time) return true;
    const double age = *v.time - *previous.time;
    return age > 0 && age <= kPreviousVolumeMaxAge;
}

DealiasReport dealias_volume(PolarVolume& v, const DealiasOptions& o) {
    if (!is_radial_velocity(v)) throw std::invalid_argument(v.source + ": " + v.field + " is not a radial velocity: nothing to dealias");
    std::vector<std::size_t> order(v.sweeps.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&v](std::size_t a, std::size_t b) { return v.sweeps[a].fixed_angle < v.sweeps[b].fixed_angle; });
    DealiasReport report;
    const PolarVolume* before = o.previous && previous_fits(*o.previous, v) ? o.previous : nullptr;
    report.previous_taken = before != nullptr;
    const Sweep* below = nullptr;
    WindProfile profile;
    for (std::size_t i : order) {
        Sweep& s = v.sweeps[i];
        if (!s.nyquist || !(*s.nyquist > 0)) {
            report.notes.push_back(v.source + ": " + s.name + ": no Nyquist velocity in the file: not dealiased");
            continue;
        }
        if (o.dual_prf) report.dual_prf_fixed += correct_dual_prf(s);
        const Sweep* previous = nullptr;
        if (before)
            for (const Sweep& p : before->sweeps)
                if (p.nyquist && std::fabs(p.fixed_angle - s.fixed_angle) < 0.3) previous = &p;
        report.unfolded += unfold(s, first_guess(s, below, previous, o.wind, &profile));
        profile.add(s);
        below = &s;
    }
    return report;
}

}  // namespace velmora::polar
