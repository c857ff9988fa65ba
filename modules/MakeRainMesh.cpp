// MakeRainMesh: vertical polylines through the value bands of a uniform grid.
// Every grid column is scanned upward for runs of nodes whose value lies in
// [minValue, maxValue]; each run becomes one line from the height where the
// value enters the band to the height where it leaves it, sampled every
// `length` along z (constant variant) or at a spacing that grows with the
// value (linear variant), each point carrying the value interpolated there.
//
// Unlike the other modules this one keeps its working state (the list of
// lines built so far, a status word and the name it reports under) at file
// level for the duration of one update: the host runs one update at a time.
//
// The lines are listed as if the columns were scanned one by one, grid row i
// by grid row i; the work follows the storage order instead: the volume is
// read once, in bands of whole grid rows j, and the runs of a band's columns
// are found layer by layer and measured while the band is still in the cache.
// A line record keeps what makes the line (its column, its ends, its point
// count and a copy of the values it reads), not its points: they are computed
// straight into out_mesh, front to back, as the list is walked, so that no
// point is written twice.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <limits>
#include <new>
#include <vector>

#include "frame.h"

namespace {

using velmora::HostArray;

// One line: its n points are the top point and the samples below it, in the
// column (i, j) from zbot up to ztop.
struct LineRecord {
    std::int64_t n;
    LineRecord* next;      // the line built before this one
    std::int64_t first;    // its first node in out_mesh, once placed
    std::int64_t window;   // its column's level k at windows[window + k], for k in lo .. hi
    std::int32_t i, j;
    float zbot, ztop;
    std::int32_t lo, hi;
};

// The state of the update in progress: the lines, newest first; 1 while all
// goes well, -1 after a failure; the name failures are reported under.
LineRecord* g_lines = nullptr;
int g_status = 1;
char g_name[32] = "";

// Where the records of one update live, in the order the scan made them:
// band after band, within a band by i, then j, each column's lines from the
// bottom up. The list runs through them once the scan is over (link_lines)
// and ends with the update. Next to them, each line's window: the values of
// its column from one level below its run to one above, copied while the
// scan has them in the cache. The lines are written in list order from
// their windows, so that neither out_mesh nor the volume is gone through
// out of order.
struct LineStore {
    std::vector<LineRecord> records;
    std::vector<float> windows;
    ~LineStore() { g_lines = nullptr; }
};

// Records a failure: status -1 and the message, "<name> : <text>".
template <class... Args>
int fail(char* msg, const char* fmt, Args... args) {
    velmora::msgf(msg, fmt, g_name, args...);
    g_status = -1;
    return -1;
}

// Opens a nested progress range and closes it on every way out.
class StatusRange {
public:
    StatusRange(int low, int high) { OMpush_status_range(low, high); }
    ~StatusRange() { OMpop_status_range(); }
    StatusRange(const StatusRange&) = delete;
    StatusRange& operator=(const StatusRange&) = delete;
};

enum class Spacing { Constant, Linear };

// What the lines need of the grid and the parameters; all single precision,
// as the lines have always been computed.
struct Grid {
    const float* data;   // the selected component, node (i, j, k) at i + dims[0] (j + dims[1] k)
    std::int64_t dims[3];
    float xmin, ymin, zmin;
    float dx, dy, dz;
    float lower, upper, range;
    float length;
    Spacing spacing;

    float z_at(std::int64_t k) const { return zmin + static_cast<float>(k) * dz; }

    // The step after a sample of value v. The linear variant weights v / range
    // by `length` itself: points lie `length` apart where the value is 0 or
    // below and twice as far where it equals the band width, so the spacing
    // widens in proportion to the value. Values at or below 0 (and NaN) keep
    // the plain `length`, so every step is at least `length`.
    float step(float v) const {
        if (spacing == Spacing::Linear && v > 0.0f) return v / range * length + length;
        return length;
    }
};

// The values of one grid column, bottom to top, read in place: level k of
// the column lies one layer above level k - 1.
struct Column {
    const float* base;
    std::int64_t stride;
    float operator[](std::int64_t k) const { return base[k * stride]; }
};

Column column_of(const Grid& g, std::int64_t i, std::int64_t j) {
    return Column{g.data + i + g.dims[0] * j, g.dims[0] * g.dims[1]};
}

// Where the line of the run of nodes s < e starts and ends: zbot, where the
// value enters the band between levels s and s + 1, and ztop, where it
// leaves it above level e - 1.
void line_ends(const Grid& g, Column col, std::int64_t s, std::int64_t e, float& zbot, float& ztop) {
    float a = col[s], b = col[s + 1], t = 0.0f;
    if (a < g.lower)
        t = (g.lower - a) / (b - a);
    else if (a > g.upper)
        t = (a - g.upper) / (a - b);
    zbot = g.z_at(s) + t * g.dz;

    a = col[e - 1];
    b = col[e];
    t = 0.0f;
    if (b < g.lower)
        t = (g.lower - a) / (b - a);
    else if (b > g.upper)
        t = (g.upper - a) / (b - a);
    ztop = g.z_at(e - 1) + t * g.dz;
}

// Walks the samples of a line from zbot up while z <= ztop, at most `limit`
// of them, handing each (z, value) to `emit`; returns how many there were.
// The values of the column are read from `col` (a Column or LineValues).
template <class Values, class Emit>
std::int64_t walk_samples(const Grid& g, const Values& col, float zbot, float ztop, std::int64_t limit, Emit&& emit) {
    const std::int64_t top = g.dims[2] - 1;
    std::int64_t m = 0;
    float z = zbot;
    while (m < limit && z <= ztop) {
        // Heights lie within the column; the clamp only keeps rounding (or
        // heights beyond any float) from indexing outside it.
        const float q = (z - g.zmin) / g.dz;
        std::int64_t k0 = 0;
        if (q >= static_cast<float>(top))
            k0 = top;
        else if (q > 0.0f)
            k0 = static_cast<std::int64_t>(q);
        const std::int64_t k1 = k0 + 1 < g.dims[2] ? k0 + 1 : k0;
        const float v = col[k0] + ((z - g.z_at(k0)) / g.dz) * (col[k1] - col[k0]);
        emit(z, v);
        ++m;
        const float next = z + g.step(v);
        // The scan refuses a length too small for the heights of the grid
        // (scan), so every step rises; this only guards the loop itself.
        if (!(next > z)) break;
        z = next;
    }
    return m;
}

// How many samples a line has. The constant variant's steps do not depend
// on the values, so its heights alone are counted.
std::int64_t count_samples(const Grid& g, Column col, float zbot, float ztop) {
    if (g.spacing == Spacing::Constant) {
        std::int64_t m = 0;
        for (float z = zbot; z <= ztop;) {
            ++m;
            const float next = z + g.length;
            if (!(next > z)) break;
            z = next;
        }
        return m;
    }
    return walk_samples(g, col, zbot, ztop, INT64_MAX, [](float, float) {});
}

// The point counts of the constant variant's lines, eight side by side in
// the lanes of AVX2 registers, counting the same steps as count_samples.
__attribute__((target("avx2"))) void count_constant_avx2(float length, LineRecord* recs, std::size_t count) {
    constexpr int kLanes = 8;
    const __m256 step = _mm256_set1_ps(length);
    alignas(32) float bot[kLanes], top[kLanes];
    alignas(32) std::int32_t counted[kLanes];
    for (std::size_t q = 0; q < count; q += kLanes) {
        const int lanes = static_cast<int>(std::min<std::size_t>(kLanes, count - q));
        for (int l = 0; l < kLanes; ++l) {
            // A lane without a line starts above its top.
            bot[l] = l < lanes ? recs[q + l].zbot : 1.0f;
            top[l] = l < lanes ? recs[q + l].ztop : 0.0f;
        }
        __m256 z = _mm256_load_ps(bot);
        const __m256 ztop = _mm256_load_ps(top);
        __m256 alive = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
        __m256i m = _mm256_setzero_si256();
        for (;;) {
            const __m256 active = _mm256_and_ps(alive, _mm256_cmp_ps(z, ztop, _CMP_LE_OQ));
            if (_mm256_movemask_ps(active) == 0) break;
            m = _mm256_sub_epi32(m, _mm256_castps_si256(active));
            const __m256 next = _mm256_add_ps(z, step);
            alive = _mm256_and_ps(active, _mm256_cmp_ps(next, z, _CMP_GT_OQ));
            z = next;
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(counted), m);
        for (int l = 0; l < lanes; ++l) recs[q + l].n = std::int64_t{counted[l]} + 1;
    }
}

// The values a line reads: its window, and beyond it (where rounding has a
// sample find its level further off) its column in the volume.
struct LineValues {
    const float* windows;
    std::int64_t window;
    std::int32_t lo, hi;
    Column col;
    float operator[](std::int64_t k) const { return k >= lo && k <= hi ? windows[window + k] : col[k]; }
};

// Writes the n points of a line and their values: the top point first, then
// the samples from the highest to the lowest; the top point has the value of
// the highest sample, or the lower bound when there is none.
void write_line(const Grid& g, const float* windows, const LineRecord& r, float* xyz, float* values) {
    const float x = g.xmin + static_cast<float>(r.i) * g.dx;
    const float y = g.ymin + static_cast<float>(r.j) * g.dy;
    std::int64_t slot = r.n;
    float last = g.lower;
    const LineValues col{windows, r.window, r.lo, r.hi, column_of(g, r.i, r.j)};
    walk_samples(g, col, r.zbot, r.ztop, r.n - 1, [&](float z, float v) {
        --slot;
        xyz[3 * slot] = x;
        xyz[3 * slot + 1] = y;
        xyz[3 * slot + 2] = z;
        values[slot] = v;
        last = v;
    });
    xyz[0] = x;
    xyz[1] = y;
    xyz[2] = r.ztop;
    values[0] = last;
}

// Turns eight registers of eight lanes (r[m], lane l) into eight registers
// holding one lane each (r[l], step m).
__attribute__((target("avx2"))) inline void transpose8(__m256 r[8]) {
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// What the wide writer needs of the grid, in registers.
struct WideGrid {
    __m256 zmin, dz, zero, top_f;
    __m256i top_i, one, layer;
    const float* windows;
    const float* data;

    __attribute__((target("avx2"))) WideGrid(const Grid& g, const float* w)
        : zmin(_mm256_set1_ps(g.zmin)), dz(_mm256_set1_ps(g.dz)), zero(_mm256_setzero_ps()),
          top_f(_mm256_set1_ps(static_cast<float>(g.dims[2] - 1))),
          top_i(_mm256_set1_epi32(static_cast<std::int32_t>(g.dims[2] - 1))), one(_mm256_set1_epi32(1)),
          layer(_mm256_set1_epi32(static_cast<std::int32_t>(g.dims[0] * g.dims[1]))), windows(w), data(g.data) {}
};

// The levels k0 and k1 of eight samples at heights z, clamped to the column
// (a NaN quotient gives 0, as in the single-line walk), and their fraction t
// of the way from k0 to the level above.
struct Levels {
    __m256i k0, k1;
    __m256 t;
};

__attribute__((target("avx2"), always_inline)) inline Levels levels_of(const WideGrid& w, __m256 z) {
    const __m256 qz = _mm256_div_ps(_mm256_sub_ps(z, w.zmin), w.dz);
    const __m256i k0 = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(qz, w.zero), w.top_f));
    const __m256i k1 = _mm256_min_epi32(_mm256_add_epi32(k0, w.one), w.top_i);
    const __m256 zk = _mm256_add_ps(w.zmin, _mm256_mul_ps(_mm256_cvtepi32_ps(k0), w.dz));
    return {k0, k1, _mm256_div_ps(_mm256_sub_ps(z, zk), w.dz)};
}

// The values of eight samples, each of the line whose window, bounds and
// column (its node at level 0) are in its lane: from the windows
// (LineValues), beyond a window from the volume itself. Samples not in
// `used` read anything within their window, unused.
__attribute__((target("avx2"), always_inline)) inline __m256 values_of(const WideGrid& w, const Levels& at,
                                                                      __m256i window, __m256i lo, __m256i hi,
                                                                      __m256i base, __m256i used) {
    const __m256i beyond =
        _mm256_and_si256(_mm256_or_si256(_mm256_cmpgt_epi32(lo, at.k0), _mm256_cmpgt_epi32(at.k1, hi)), used);
    const __m256i w0 = _mm256_add_epi32(window, _mm256_min_epi32(_mm256_max_epi32(at.k0, lo), hi));
    const __m256i w1 = _mm256_add_epi32(window, _mm256_min_epi32(_mm256_max_epi32(at.k1, lo), hi));
    __m256 c0 = _mm256_i32gather_ps(w.windows, w0, 4);
    __m256 c1 = _mm256_i32gather_ps(w.windows, w1, 4);
    if (!_mm256_testz_si256(beyond, beyond)) {
        const __m256 outside = _mm256_castsi256_ps(beyond);
        c0 = _mm256_mask_i32gather_ps(c0, w.data, _mm256_add_epi32(base, _mm256_mullo_epi32(at.k0, w.layer)), outside, 4);
        c1 = _mm256_mask_i32gather_ps(c1, w.data, _mm256_add_epi32(base, _mm256_mullo_epi32(at.k1, w.layer)), outside, 4);
    }
    return _mm256_add_ps(c0, _mm256_mul_ps(at.t, _mm256_sub_ps(c1, c0)));
}

// The values of eight samples of one line, heights z from the bottom up, of
// which the first `used` count. Their levels rise with their heights; where
// the used ones lie within the line's window and within eight levels of the
// lowest, the window is loaded there and the values picked by permutes.
__attribute__((target("avx2"), always_inline)) inline __m256 line_values(const WideGrid& w, __m256 z,
                                                                        const LineRecord& r, std::int32_t base,
                                                                        int used) {
    const Levels at = levels_of(w, z);
    alignas(32) std::int32_t k[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(k), at.k0);
    const std::int32_t lowest = k[0], highest = k[used - 1];
    if (lowest >= r.lo && highest < r.hi && highest - lowest < 8) {
        const float* from = w.windows + (r.window + lowest);
        const __m256i pick = _mm256_sub_epi32(at.k0, _mm256_set1_epi32(lowest));
        const __m256 c0 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(from), pick);
        const __m256 c1 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(from + 1), pick);
        return _mm256_add_ps(c0, _mm256_mul_ps(at.t, _mm256_sub_ps(c1, c0)));
    }
    const __m256i used_lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(used), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    return values_of(w, at, _mm256_set1_epi32(static_cast<std::int32_t>(r.window)), _mm256_set1_epi32(r.lo),
                     _mm256_set1_epi32(r.hi), _mm256_set1_epi32(base), used_lanes);
}

// The points of many lines, eight side by side in the lanes of AVX2
// registers: the lanes walk their lines' heights together (one add per step,
// the same as the single-line walk). The values of the samples are worked
// out eight at a time: in the lanes, step by step, where each step depends
// on the last value (linear variant), else line by line, eight samples of a
// line at once. A stretch of steps is kept aside and then written out line
// by line. Every operation is the one write_line does, in the same order and
// precision, so the points are the same; the scan has counted each line's
// samples, so the lanes only count steps. Node and window indices are formed
// in 32 bits: only for fewer than 2^31 of each.
__attribute__((target("avx2"))) void write_lines_avx2(const Grid& g, const LineRecord* const* recs, std::size_t count,
                                                      const float* windows, float* coord, float* values) {
    constexpr int kLanes = 8, kStretch = 64;
    const WideGrid wide(g, windows);
    const __m256 length = _mm256_set1_ps(g.length), range = _mm256_set1_ps(g.range), zero = _mm256_setzero_ps();
    const __m256i one = _mm256_set1_epi32(1);
    const bool linear = g.spacing == Spacing::Linear;
    // A stretch of steps, kept aside lane by lane: zs[l][m], vs[l][m].
    alignas(32) float zs[kLanes][kStretch], vs[kLanes][kStretch];
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    alignas(32) float z0[kLanes];
    alignas(32) std::int32_t base0[kLanes], window0[kLanes], lo0[kLanes], hi0[kLanes], samples0[kLanes];
    for (std::size_t q = 0; q < count; q += kLanes) {
        const int lanes = static_cast<int>(std::min<std::size_t>(kLanes, count - q));
        std::int64_t steps = 0;
        for (int l = 0; l < kLanes; ++l) {
            // Lanes without a line walk the last line again, unused.
            const LineRecord& r = *recs[q + std::min(l, lanes - 1)];
            const bool used = l < lanes;
            z0[l] = r.zbot;
            base0[l] = static_cast<std::int32_t>(r.i + g.dims[0] * r.j);
            window0[l] = static_cast<std::int32_t>(r.window);
            lo0[l] = r.lo;
            hi0[l] = r.hi;
            samples0[l] = used ? static_cast<std::int32_t>(r.n - 1) : 0;
            if (used) steps = std::max(steps, r.n - 1);
        }
        __m256 z = _mm256_load_ps(z0);
        const __m256i base = _mm256_load_si256(reinterpret_cast<const __m256i*>(base0));
        const __m256i window = _mm256_load_si256(reinterpret_cast<const __m256i*>(window0));
        const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo0));
        const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi0));
        const __m256i samples = _mm256_load_si256(reinterpret_cast<const __m256i*>(samples0));
        __m256i step_no = _mm256_setzero_si256();
        for (std::int64_t m0 = 0; m0 < steps; m0 += kStretch) {
            const int stretch = static_cast<int>(std::min<std::int64_t>(kStretch, steps - m0));
            // Eight steps at a time (past the end of the longest line too:
            // unused), turned lane by lane into the stretch.
            for (int m8 = 0; m8 < stretch; m8 += 8) {
              __m256 zr[8], vr[8];
              if (linear) {
                // Each step's height depends on the last value: the values
                // are worked out in the lanes, step by step.
                for (int m = 0; m < 8; ++m) {
                  const Levels at = levels_of(wide, z);
                  const __m256 v =
                      values_of(wide, at, window, lo, hi, base, _mm256_cmpgt_epi32(samples, step_no));
                  step_no = _mm256_add_epi32(step_no, one);
                  zr[m] = z;
                  vr[m] = v;
                  const __m256 widened = _mm256_add_ps(_mm256_mul_ps(_mm256_div_ps(v, range), length), length);
                  z = _mm256_add_ps(z, _mm256_blendv_ps(length, widened, _mm256_cmp_ps(v, zero, _CMP_GT_OQ)));
                }
                transpose8(zr);
                transpose8(vr);
              } else {
                // The heights alone make the steps: eight of them in the
                // lanes, then the values line by line, eight samples each.
                for (int m = 0; m < 8; ++m) {
                  zr[m] = z;
                  z = _mm256_add_ps(z, length);
                }
                transpose8(zr);
                for (int l = 0; l < lanes; ++l) {
                  const LineRecord& r = *recs[q + l];
                  const std::int64_t used = std::min<std::int64_t>(8, r.n - 1 - (m0 + m8));
                  if (used > 0) vr[l] = line_values(wide, zr[l], r, base0[l], static_cast<int>(used));
                }
              }
              for (int l = 0; l < lanes; ++l) {
                  _mm256_store_ps(zs[l] + m8, zr[l]);
                  _mm256_store_ps(vs[l] + m8, vr[l]);
              }
            }
            // Sample m of a line goes to its node n - 1 - m.
            for (int l = 0; l < lanes; ++l) {
                const LineRecord& r = *recs[q + l];
                const float x = g.xmin + static_cast<float>(r.i) * g.dx;
                const float y = g.ymin + static_cast<float>(r.j) * g.dy;
                const std::int64_t upto = std::min<std::int64_t>(r.n - 1 - m0, stretch);
                float* xyz = coord + 3 * (r.first + r.n - 1 - m0);
                float* val = values + r.first + r.n - 1 - m0;
                // Eight samples at a time: their 24 coordinates, from the
                // highest sample's node up, are x, y and the heights taken
                // backwards, in three registers.
                const __m256 xy0 = _mm256_setr_ps(x, y, 0, x, y, 0, x, y);
                const __m256 xy1 = _mm256_setr_ps(0, x, y, 0, x, y, 0, x);
                const __m256 xy2 = _mm256_setr_ps(y, 0, x, y, 0, x, y, 0);
                const __m256i at0 = _mm256_setr_epi32(0, 0, 0, 0, 0, 1, 0, 0);
                const __m256i at1 = _mm256_setr_epi32(2, 0, 0, 3, 0, 0, 4, 0);
                const __m256i at2 = _mm256_setr_epi32(0, 5, 0, 0, 6, 0, 0, 7);
                std::int64_t m = 0;
                for (; m + 8 <= upto; m += 8) {
                    const __m256 h = _mm256_permutevar8x32_ps(_mm256_load_ps(zs[l] + m), reverse);
                    float* out = xyz - 3 * (m + 7);
                    _mm256_storeu_ps(out, _mm256_blend_ps(xy0, _mm256_permutevar8x32_ps(h, at0), 0x24));
                    _mm256_storeu_ps(out + 8, _mm256_blend_ps(xy1, _mm256_permutevar8x32_ps(h, at1), 0x49));
                    _mm256_storeu_ps(out + 16, _mm256_blend_ps(xy2, _mm256_permutevar8x32_ps(h, at2), 0x92));
                    _mm256_storeu_ps(val - (m + 7), _mm256_permutevar8x32_ps(_mm256_load_ps(vs[l] + m), reverse));
                }
                for (; m < upto; ++m) {
                    xyz[-3 * m] = x;
                    xyz[-3 * m + 1] = y;
                    xyz[-3 * m + 2] = zs[l][m];
                    val[-m] = vs[l][m];
                }
            }
        }
        // The top points, with the value of the highest sample (the lower
        // bound where there is none), which is still at hand.
        for (int l = 0; l < lanes; ++l) {
            const LineRecord& r = *recs[q + l];
            const std::int64_t samples = r.n - 1;
            float* xyz = coord + 3 * r.first;
            xyz[0] = g.xmin + static_cast<float>(r.i) * g.dx;
            xyz[1] = g.ymin + static_cast<float>(r.j) * g.dy;
            xyz[2] = r.ztop;
            values[r.first] = samples > 0 ? values[r.first + 1] : g.lower;
        }
    }
}

// Whether the lines can be written eight at a time: the processor has AVX2
// and the volume's nodes and the windows can be counted in 32 bits.
bool wide_writer(const Grid& g, const LineStore& store) {
    return velmora::kWidePaths && __builtin_cpu_supports("avx2") && g.dims[0] * g.dims[1] * g.dims[2] <= INT32_MAX &&
           store.windows.size() <= INT32_MAX;
}

// Writes the lines recs[0 .. count - 1], eight at a time where `wide`, else
// one by one.
void write_lines(const Grid& g, const LineStore& store, bool wide, const LineRecord* const* recs,
                 std::size_t count, float* coord, float* values) {
    if (wide) {
        write_lines_avx2(g, recs, count, store.windows.data(), coord, values);
        return;
    }
    for (std::size_t q = 0; q < count; ++q)
        write_line(g, store.windows.data(), *recs[q], coord + 3 * recs[q]->first, values + recs[q]->first);
}

// A run of nodes s < e of one column that becomes a line: column (i, j0 + jj)
// of the band of rows from j0 the run was found in.
struct Run {
    std::int32_t i, jj;
    std::int32_t s, e;
};

// The nodes of 32 columns of one layer as two words of bits, column c in bit
// c: in the band (and not null), and null. A null value of NaN matches no
// node.
struct Bits {
    std::uint32_t in, null;
};

Bits classify(const float* v, int n, float lower, float upper, float null_value) {
    Bits b{0, 0};
    for (int c = 0; c < n; ++c) {
        const bool null = v[c] == null_value;
        b.null |= static_cast<std::uint32_t>(null) << c;
        b.in |= static_cast<std::uint32_t>(lower <= v[c] && v[c] <= upper && !null) << c;
    }
    return b;
}

// The same for 32 nodes at once, where the processor has AVX2.
__attribute__((target("avx2"))) inline Bits classify32_avx2(const float* v, float lower, float upper, float null_value) {
    const __m256 lo = _mm256_set1_ps(lower), hi = _mm256_set1_ps(upper), nv = _mm256_set1_ps(null_value);
    Bits b{0, 0};
    for (int q = 0; q < 4; ++q) {
        const __m256 x = _mm256_loadu_ps(v + 8 * q);
        const __m256 null = _mm256_cmp_ps(x, nv, _CMP_EQ_OQ);
        const __m256 in = _mm256_andnot_ps(null, _mm256_and_ps(_mm256_cmp_ps(lo, x, _CMP_LE_OQ), _mm256_cmp_ps(x, hi, _CMP_LE_OQ)));
        b.null |= static_cast<std::uint32_t>(_mm256_movemask_ps(null)) << (8 * q);
        b.in |= static_cast<std::uint32_t>(_mm256_movemask_ps(in)) << (8 * q);
    }
    return b;
}

// Finds the runs of the columns of a band of grid rows (j0 .. j0 + rows - 1),
// reading their nodes layer by layer, 32 columns of a row at a time, with
// two bits of state per column kept between layers (whether the node below
// was in the band, so that a run is open, and whether it was null) and the
// level where each open run started. Runs come out ordered by the layer that
// ends them, so each column's runs are in order from the bottom up.
//
// A node in the band opens a run, which starts one level lower unless the
// node below is null (or there is none). A run ends at the node below a null
// node, or at the first node outside the band (which belongs to it), or at
// the last level; it becomes a line when it spans at least two levels.
struct RunFinder {
    std::vector<std::uint32_t> open, null;   // per word of 32 columns
    std::vector<std::int32_t> start;         // per column

    void find(const Grid& g, float null_value, std::int64_t j0, std::int32_t rows, std::vector<Run>& runs) {
        if (velmora::kWidePaths && __builtin_cpu_supports("avx2"))
            find_avx2(g, null_value, j0, rows, runs);
        else
            find_in<false>(g, null_value, j0, rows, runs);
    }

private:
    __attribute__((target("avx2"))) void find_avx2(const Grid& g, float null_value, std::int64_t j0, std::int32_t rows,
                                                   std::vector<Run>& runs) {
        find_in<true>(g, null_value, j0, rows, runs);
    }

    template <bool kAvx2>
    __attribute__((always_inline)) inline void find_in(const Grid& g, float null_value, std::int64_t j0,
                                                       std::int32_t rows, std::vector<Run>& runs) {
        const std::int64_t d0 = g.dims[0], layer = d0 * g.dims[1];
        const auto levels = static_cast<std::int32_t>(g.dims[2]);
        const std::int64_t words = (d0 + 31) / 32;
        open.assign(static_cast<std::size_t>(words * rows), 0);
        null.assign(open.size(), 0);
        start.assign(static_cast<std::size_t>(d0 * rows), 0);
        for (std::int32_t k = 0; k < levels; ++k)
            for (std::int32_t jj = 0; jj < rows; ++jj) {
                const float* row = g.data + k * layer + (j0 + jj) * d0;
                std::int32_t* first = start.data() + jj * d0;
                for (std::int64_t w = 0; w < words; ++w) {
                    const auto c0 = static_cast<std::int32_t>(32 * w);
                    const int n = static_cast<int>(std::min<std::int64_t>(32, d0 - c0));
                    Bits b;
                    if constexpr (kAvx2)
                        b = n == 32 ? classify32_avx2(row + c0, g.lower, g.upper, null_value)
                                    : classify(row + c0, n, g.lower, g.upper, null_value);
                    else
                        b = classify(row + c0, n, g.lower, g.upper, null_value);
                    std::uint32_t& was_open = open[static_cast<std::size_t>(jj * words + w)];
                    std::uint32_t& was_null = null[static_cast<std::size_t>(jj * words + w)];
                    // Runs that end here: below a null node, or at a node
                    // outside the band.
                    for (std::uint32_t ends = was_open & ~b.in; ends != 0; ends &= ends - 1) {
                        const int bit = __builtin_ctz(ends);
                        const std::int32_t e = (b.null >> bit & 1) != 0 ? k - 1 : k;
                        const std::int32_t s = first[c0 + bit];
                        if (e > s) runs.push_back(Run{c0 + bit, jj, s, e});
                    }
                    for (std::uint32_t opens = b.in & ~was_open; opens != 0; opens &= opens - 1) {
                        const int bit = __builtin_ctz(opens);
                        first[c0 + bit] = k == 0 || (was_null >> bit & 1) != 0 ? k : k - 1;
                    }
                    was_open = b.in;
                    was_null = b.null;
                }
            }
        // Runs still open at the top end at the last level.
        for (std::int32_t jj = 0; jj < rows; ++jj)
            for (std::int64_t w = 0; w < words; ++w)
                for (std::uint32_t o = open[static_cast<std::size_t>(jj * words + w)]; o != 0; o &= o - 1) {
                    const auto c = static_cast<std::int32_t>(32 * w + __builtin_ctz(o));
                    const std::int32_t s = start[static_cast<std::size_t>(jj * d0 + c)];
                    if (levels - 1 > s) runs.push_back(Run{c, jj, s, levels - 1});
                }
    }
};

// What the scan built: the number of lines and of their points.
struct Totals {
    std::int64_t lines = 0;
    std::int64_t points = 0;
};

// More points than this in all are refused like memory that can not be had:
// 16 bytes each in out_mesh, over 34 GB. It also bounds the time the scan
// spends counting them.
constexpr std::int64_t kMaxPoints = std::int64_t{1} << 31;

// Bands of whole grid rows j, about this many bytes of values each: long
// stretches of each layer to read, and a band still in the cache when its
// lines are measured and their windows copied.
constexpr std::int64_t kBandBytes = 1024 * 1024;

// Finds and measures the lines of every column, band after band; within a
// band the records are made in the order the lines are built: (i, j) before
// (i, j + 1) and (i + 1, j), each column's lines from the bottom up. The
// progress of the rows is reported in order as the bands get done.
int build_lines(const Grid& g, float null_value, LineStore& store, Totals& totals, char* msg) {
    const std::int64_t d0 = g.dims[0], d1 = g.dims[1];
    const std::int64_t rows_per_band =
        std::clamp<std::int64_t>(kBandBytes / (d0 * g.dims[2] * std::int64_t{sizeof(float)}), 1, d1);
    const std::int64_t nbands = (d1 + rows_per_band - 1) / rows_per_band;
    const auto top = static_cast<std::int32_t>(g.dims[2] - 1);

    RunFinder finder;
    std::vector<Run> found, sorted;
    std::vector<std::size_t> place_start;
    std::int64_t reported = 0;   // rows reported so far
    for (std::int64_t band = 0; band < nbands; ++band) {
        const std::int64_t j0 = band * rows_per_band;
        // Rows, columns and levels are numbered in 32 bits (scan).
        const auto rows = static_cast<std::int32_t>(std::min(rows_per_band, d1 - j0));
        found.clear();
        finder.find(g, null_value, j0, rows, found);

        // In build order: by i, then j, each column's runs as found (a stable
        // counting sort on the column's place).
        const auto place = [&](const Run& r) { return static_cast<std::size_t>(r.i) * rows + r.jj; };
        place_start.assign(static_cast<std::size_t>(rows * d0) + 1, 0);
        for (const Run& r : found) ++place_start[place(r) + 1];
        for (std::size_t p = 1; p < place_start.size(); ++p) place_start[p] += place_start[p - 1];
        sorted.resize(found.size());
        for (const Run& r : found) sorted[place_start[place(r)]++] = r;

        // Each line's window: the levels of its run, and one more on either
        // side, which rounding may have a sample read.
        std::size_t window_values = 0;
        for (const Run& r : sorted)
            window_values += static_cast<std::size_t>(std::min(r.e + 1, top) - std::max(r.s - 1, 0) + 1);
        std::size_t at = store.windows.size();
        store.windows.resize(at + window_values);
        const std::size_t made = store.records.size();
        for (const Run& r : sorted) {
            LineRecord& rec = store.records.emplace_back();
            rec.n = 0;
            rec.next = nullptr;
            rec.first = 0;
            rec.i = r.i;
            rec.j = static_cast<std::int32_t>(j0 + r.jj);
            const Column col = column_of(g, rec.i, rec.j);
            line_ends(g, col, r.s, r.e, rec.zbot, rec.ztop);
            rec.lo = std::max(r.s - 1, 0);
            rec.hi = std::min(r.e + 1, top);
            rec.window = static_cast<std::int64_t>(at) - rec.lo;
            for (std::int32_t k = rec.lo; k <= rec.hi; ++k) store.windows[at++] = col[k];
        }
        LineRecord* recs = store.records.data() + made;
        const std::size_t count = store.records.size() - made;
        if (g.spacing == Spacing::Constant && velmora::kWidePaths && __builtin_cpu_supports("avx2")) {
            count_constant_avx2(g.length, recs, count);
        } else {
            for (std::size_t q = 0; q < count; ++q)
                recs[q].n = count_samples(g, column_of(g, recs[q].i, recs[q].j), recs[q].zbot, recs[q].ztop) + 1;
        }
        for (std::size_t q = 0; q < count; ++q) {
            totals.points += recs[q].n;
            if (totals.points > kMaxPoints) return fail(msg, "%s : can not allocate memory.\n");
        }
        totals.lines += static_cast<std::int64_t>(count);

        // Room for as many lines again in each band to come, and a quarter
        // more: the records are not moved again as they grow, most often.
        const auto expected = [&](std::size_t size) {
            return size / static_cast<std::size_t>(band + 1) * static_cast<std::size_t>(nbands) / 4 * 5;
        };
        if (expected(store.records.size()) > store.records.capacity())
            store.records.reserve(expected(store.records.size()));
        if (expected(store.windows.size()) > store.windows.capacity())
            store.windows.reserve(expected(store.windows.size()));
        const std::int64_t done = band + 1 == nbands ? d0 : d0 * (band + 1) / nbands;
        for (; reported < done; ++reported)
            OMstatus_check(static_cast<int>(static_cast<double>(reported) * 100.0 / static_cast<double>(d0)), g_name,
                           nullptr);
    }
    // Room for the wide writer to load eight values from any level of a
    // window.
    store.windows.resize(store.windows.size() + 8);
    return 1;
}

// Puts the lines on the list as if each had been put in front of those built
// before it: row by row, and within a row in the order the scan made them.
void link_lines(LineStore& store, std::int64_t d0) {
    std::vector<LineRecord*> newest(static_cast<std::size_t>(d0), nullptr), oldest(newest);
    for (LineRecord& r : store.records) {
        LineRecord*& last = newest[static_cast<std::size_t>(r.i)];
        if (!last) oldest[static_cast<std::size_t>(r.i)] = &r;
        r.next = last;
        last = &r;
    }
    for (std::size_t i = 0; i < newest.size(); ++i)
        if (newest[i]) {
            oldest[i]->next = g_lines;
            g_lines = newest[i];
        }
}

// The input of an update, held until its lines are written.
struct Input {
    HostArray<float> values, points;
    Grid grid{};
    float null_value = 0.0f;   // NaN when the component has no null flag
};

// Reads in_mesh and the parameters, then finds and measures the lines of
// every column.
int scan(OMobj_id& self, Spacing spacing, Input& input, LineStore& store, Totals& totals, char* msg) {
    int component = 0;
    OMget_name_int_val(&self, OMstr_to_name("component"), &component);   // 0 when unreadable
    OMobj_id in = OMfind_str_subobj(&self, "in_mesh", OM_OBJ_RD);
    if (velmora::is_null(in)) return fail(msg, "%s : can not get in_mesh.\n");

    HostArray<std::int64_t> dims;
    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims || ndim != 3) return fail(msg, "%s : can not get in_mesh.dims.\n");
    // Lines need two levels to cross between, and the spacings two nodes
    // along each axis to be defined.
    for (int a = 0; a < 3; ++a)
        if (dims[a] < 2) return fail(msg, "%s : in_mesh.dims[%d] is less than 2.\n", a);
    // Rows, columns and levels are numbered in 32 bits.
    for (int a = 0; a < 3; ++a)
        if (dims[a] > INT32_MAX) return fail(msg, "%s : can not get in_mesh.dims.\n");
    std::int64_t nnodes = 0;
    if (__builtin_mul_overflow(dims[0], dims[1], &nnodes) || __builtin_mul_overflow(nnodes, dims[2], &nnodes))
        return fail(msg, "%s : can not get in_mesh.dims.\n");

    int ncomp = 0;
    if (FLDget_node_data_ncomp(&in, &ncomp) != 1 || ncomp < 1) return fail(msg, "%s : can not get in_mesh.nnode_data.\n");
    if (component >= ncomp) component = ncomp - 1;
    HostArray<float>& values = input.values;
    int type = 0;
    FLDget_node_data(&in, component, &type, values.out_chars(), values.size_out(), OM_GET_ARRAY_RD);
    if (!values || type != DTYPE_FLOAT || values.size() != nnodes)
        return fail(msg, "%s : can not get in_mesh.node_data[%d].\n", component);
    int null_flag = 0;
    float null_value = 0.0f;
    FLDget_node_null_data(&in, component, &null_flag, reinterpret_cast<char*>(&null_value));
    // Without a null flag no node is null; NaN equals nothing.
    input.null_value = null_flag != 0 ? null_value : std::numeric_limits<float>::quiet_NaN();

    Grid& g = input.grid;
    g.spacing = spacing;
    float cmin = 0.0f, cmax = 0.0f;
    bool have_minmax = false;
    auto minmax = [&] {
        if (!have_minmax)
            FLDget_node_data_minmax(&in, component, reinterpret_cast<char*>(&cmin), reinterpret_cast<char*>(&cmax));
        have_minmax = true;
    };
    double v = 0.0;
    if (OMget_name_real_val(&self, OMstr_to_name("minValue"), &v) == 1) {
        g.lower = static_cast<float>(v);
    } else {
        minmax();
        g.lower = cmin;
    }
    if (OMget_name_real_val(&self, OMstr_to_name("maxValue"), &v) == 1) {
        g.upper = static_cast<float>(v);
    } else {
        minmax();
        g.upper = cmax;
    }
    if (g.lower > g.upper) {
        minmax();
        g.lower = cmin;
        g.upper = cmax;
    }
    g.range = g.upper - g.lower;
    g.length = OMget_name_real_val(&self, OMstr_to_name("length"), &v) == 1 ? static_cast<float>(v) : 0.1f;
    // The spacing of the points must be positive for a line to end.
    if (!(g.length > 0.0f)) return fail(msg, "%s : length is not positive.\n");

    HostArray<float>& points = input.points;
    FLDget_points(&in, points.out(), points.size_out(), OM_GET_ARRAY_RD);
    if (!points || points.size() != 6) return fail(msg, "%s : can not get in_mesh.points.\n");
    g.data = values.get();
    for (int a = 0; a < 3; ++a) g.dims[a] = dims[a];
    g.xmin = points[0];
    g.ymin = points[1];
    g.zmin = points[2];
    g.dx = (points[3] - points[0]) / static_cast<float>(dims[0] - 1);
    g.dy = (points[4] - points[1]) / static_cast<float>(dims[1] - 1);
    g.dz = (points[5] - points[2]) / static_cast<float>(dims[2] - 1);
    // Heights are found by dividing by dz: the grid has to rise along z.
    if (!(g.dz > 0.0f) || !std::isfinite(g.dz)) return fail(msg, "%s : in_mesh.points do not rise along z.\n");
    // Every step is at least `length`, and the samples stay within the
    // heights of the grid (up to rounding). Where a length added to four
    // times the largest height still counts, it lifts every height in reach
    // by at least one float: a shorter one would leave samples standing
    // still, and is refused before any line is made.
    const float reach =
        4.0f * std::max({std::fabs(g.zmin), std::fabs(points[5]), std::fabs(g.z_at(dims[2] - 1))});
    if (!(reach + g.length > reach)) return fail(msg, "%s : length is too small for the heights of in_mesh.\n");

    return build_lines(g, input.null_value, store, totals, msg);
}

// Writes every line into out_mesh, newest first, one polyline per line.
int write_output(OMobj_id& self, const Grid& g, const LineStore& store, const Totals& totals, char* msg) {
    const std::int64_t nlines = totals.lines, total = totals.points;
    OMobj_id out = OMfind_str_subobj(&self, "out_mesh", OM_OBJ_RW);
    if (velmora::is_null(out)) return fail(msg, "%s : can not get out_mesh.\n");
    FLDset_nnodes(&out, total);

    // With nothing to write the arrays are empty and are not asked for.
    HostArray<float> coord, values;
    HostArray<std::int64_t> connect;
    if (total > 0) {
        FLDget_coord(&out, coord.out(), coord.size_out(), OM_GET_ARRAY_WR);
        if (!coord || coord.size() != 3 * total) return fail(msg, "%s : can not get out_mesh.coord.\n");
        int type = 0;
        FLDget_node_data(&out, 0, &type, values.out_chars(), values.size_out(), OM_GET_ARRAY_WR);
        if (!values || type != DTYPE_FLOAT || values.size() != total)
            return fail(msg, "%s : can not get out_mesh.node_data[0].\n");
    }
    OMobj_id set = OMnull_obj;
    FLDget_cell_set(&out, 0, &set);
    FLDset_npolys(&set, nlines);
    if (nlines > 0) {
        FLDget_poly_connect(&set, connect.out(), connect.size_out(), OM_GET_ARRAY_WR);
        if (!connect || connect.size() != 2 * nlines)
            return fail(msg, "%s : can not get out_mesh.cell_set[0].poly_connect_list.\n");
    }

    // Every line in list order: its nodes, its polyline, the progress, and
    // its points, a batch of lines at a time: out_mesh is written from the
    // front to the back.
    constexpr std::size_t kBatch = 64;
    const bool wide = wide_writer(g, store);
    const LineRecord* batch[kBatch];
    std::size_t batched = 0;
    std::int64_t b = 0, p = 0;
    for (LineRecord* r = g_lines; r && p < nlines && r->n <= total - b; r = r->next, ++p) {
        OMstatus_check(static_cast<int>(static_cast<double>(p) * 100.0 / static_cast<double>(nlines)), g_name, nullptr);
        r->first = b;
        connect[2 * p] = b;
        connect[2 * p + 1] = b + r->n - 1;
        b += r->n;
        // Its window is asked for now, to be at hand when its batch is written.
        __builtin_prefetch(store.windows.data() + r->window + r->lo);
        __builtin_prefetch(store.windows.data() + r->window + r->hi);
        batch[batched++] = r;
        if (batched == kBatch) {
            write_lines(g, store, wide, batch, batched, coord.get(), values.get());
            batched = 0;
        }
    }
    write_lines(g, store, wide, batch, batched, coord.get(), values.get());
    return 1;
}

int rain_mesh_update(OMobj_id* obj, Spacing spacing, const char* name) noexcept {
    char msg[velmora::kMessageSize];
    msg[0] = '\0';
    std::snprintf(g_name, sizeof g_name, "%s", name);
    g_status = 1;
    g_lines = nullptr;
    if (!obj) return 1;
    try {
        OMstatus_check(0, g_name, nullptr);
        Input input;
        LineStore store;   // empties the list when it goes
        Totals totals;
        int ok = 0;
        {
            StatusRange range(0, 50);
            ok = scan(*obj, spacing, input, store, totals, msg);
        }
        if (ok == 1) {
            link_lines(store, input.grid.dims[0]);
            StatusRange range(50, 100);
            write_output(*obj, input.grid, store, totals, msg);
        }
    } catch (...) {
        // Only the working vectors of the scan can throw, when they can not
        // grow.
        fail(msg, "%s : can not allocate memory.\n");
    }
    if (g_status != 1) ERRverror(g_name, velmora::kSeverity, msg);
    return 1;
}

}  // namespace

VELMORA_EXPORT int MakeRainMeshConstant_update(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return rain_mesh_update(obj, Spacing::Constant, "MakeRainMeshConstant");
}

VELMORA_EXPORT int MakeRainMeshLinear_update(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return rain_mesh_update(obj, Spacing::Linear, "MakeRainMeshLinear");
}
