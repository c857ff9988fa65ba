// MakeRainMesh's AVX2 kernels: the point counts of the constant variant and
// the writer of many lines at once. Every operation is the one of the
// baseline kernels (rain_mesh_kernels.cpp), in the same order and precision,
// so the points are the same.
#include <algorithm>
#include <immintrin.h>

#include "cpu_paths.h"
#include "rain_mesh.h"

namespace velmora::rain_mesh {
namespace {

// Turns eight registers of eight lanes (r[m], lane l) into eight registers
// holding one lane each (r[l], step m).
VELMORA_TARGET_AVX2 inline void transpose8(__m256 r[8]) {
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

    VELMORA_TARGET_AVX2 WideGrid(const Grid& g, const float* w)
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

VELMORA_TARGET_AVX2 __attribute__((always_inline)) inline Levels levels_of(const WideGrid& w, __m256 z) {
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
VELMORA_TARGET_AVX2 __attribute__((always_inline)) inline __m256 values_of(const WideGrid& w, const Levels& at,
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
VELMORA_TARGET_AVX2 __attribute__((always_inline)) inline __m256 line_values(const WideGrid& w, __m256 z,
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


constexpr int kLanes = 8, kStretch = 64;

// Eight lines side by side, one per lane; lanes without a line walk the last
// line again, unused.
struct LaneLines {
    int lanes;               // lanes with a line
    std::int64_t steps;      // the most samples of any
    __m256 z;                // the height each lane has reached
    __m256i base, window, lo, hi, samples;
    __m256i step_no;         // samples taken so far
    alignas(32) std::int32_t base0[kLanes];
};

VELMORA_TARGET_AVX2 void load_lanes(const Grid& g, const LineRecord* const* recs, int lanes, LaneLines& ll) {
    alignas(32) float z0[kLanes];
    alignas(32) std::int32_t window0[kLanes], lo0[kLanes], hi0[kLanes], samples0[kLanes];
    ll.lanes = lanes;
    ll.steps = 0;
    for (int l = 0; l < kLanes; ++l) {
        const LineRecord& r = *recs[std::min(l, lanes - 1)];
        const bool used = l < lanes;
        z0[l] = r.zbot;
        ll.base0[l] = static_cast<std::int32_t>(r.i + g.dims[0] * r.j);
        window0[l] = static_cast<std::int32_t>(r.window);
        lo0[l] = r.lo;
        hi0[l] = r.hi;
        samples0[l] = used ? static_cast<std::int32_t>(r.n - 1) : 0;
        if (used) ll.steps = std::max(ll.steps, r.n - 1);
    }
    ll.z = _mm256_load_ps(z0);
    ll.base = _mm256_load_si256(reinterpret_cast<const __m256i*>(ll.base0));
    ll.window = _mm256_load_si256(reinterpret_cast<const __m256i*>(window0));
    ll.lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(lo0));
    ll.hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(hi0));
    ll.samples = _mm256_load_si256(reinterpret_cast<const __m256i*>(samples0));
    ll.step_no = _mm256_setzero_si256();
}

// Eight steps of the linear variant: each step's height depends on the last
// value, so the values are worked out in the lanes, step by step. zr and vr
// come out line by line (transposed).
VELMORA_TARGET_AVX2 __attribute__((always_inline)) inline void steps_linear(const Grid& g, const WideGrid& wide,
                                                                           LaneLines& ll, __m256 zr[8], __m256 vr[8]) {
    const __m256 length = _mm256_set1_ps(g.length), range = _mm256_set1_ps(g.range), zero = _mm256_setzero_ps();
    const __m256i one = _mm256_set1_epi32(1);
    for (int m = 0; m < 8; ++m) {
        const Levels at = levels_of(wide, ll.z);
        const __m256 v =
            values_of(wide, at, ll.window, ll.lo, ll.hi, ll.base, _mm256_cmpgt_epi32(ll.samples, ll.step_no));
        ll.step_no = _mm256_add_epi32(ll.step_no, one);
        zr[m] = ll.z;
        vr[m] = v;
        const __m256 widened = _mm256_add_ps(_mm256_mul_ps(_mm256_div_ps(v, range), length), length);
        ll.z = _mm256_add_ps(ll.z, _mm256_blendv_ps(length, widened, _mm256_cmp_ps(v, zero, _CMP_GT_OQ)));
    }
    transpose8(zr);
    transpose8(vr);
}

// Eight steps of the constant variant: the heights alone make the steps,
// eight of them in the lanes; then the values line by line, eight samples
// each. `done` is the number of samples taken before.
VELMORA_TARGET_AVX2 __attribute__((always_inline)) inline void steps_constant(const Grid& g, const WideGrid& wide,
                                                                             const LineRecord* const* recs,
                                                                             LaneLines& ll, std::int64_t done,
                                                                             __m256 zr[8], __m256 vr[8]) {
    const __m256 length = _mm256_set1_ps(g.length);
    for (int m = 0; m < 8; ++m) {
        zr[m] = ll.z;
        ll.z = _mm256_add_ps(ll.z, length);
    }
    transpose8(zr);
    for (int l = 0; l < ll.lanes; ++l) {
        const LineRecord& r = *recs[l];
        const std::int64_t used = std::min<std::int64_t>(8, r.n - 1 - done);
        if (used > 0) vr[l] = line_values(wide, zr[l], r, ll.base0[l], static_cast<int>(used));
    }
}

// Writes samples m0 .. m0 + stretch - 1 of each lane's line, kept aside in
// zs[l] and vs[l]: sample m of a line goes to its node n - 1 - m.
VELMORA_TARGET_AVX2 void store_stretch(const Grid& g, const LineRecord* const* recs, int lanes, std::int64_t m0,
                                       int stretch, const float (*zs)[kStretch], const float (*vs)[kStretch],
                                       float* coord, float* values) {
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    for (int l = 0; l < lanes; ++l) {
        const LineRecord& r = *recs[l];
        const float x = g.xmin + static_cast<float>(r.i) * g.dx;
        const float y = g.ymin + static_cast<float>(r.j) * g.dy;
        const std::int64_t upto = std::min<std::int64_t>(r.n - 1 - m0, stretch);
        float* xyz = coord + 3 * (r.first + r.n - 1 - m0);
        float* val = values + r.first + r.n - 1 - m0;
        // Eight samples at a time: their 24 coordinates, from the highest
        // sample's node up, are x, y and the heights taken backwards, in
        // three registers.
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

// The top points, with the value of the highest sample (the lower bound
// where there is none), which is already written.
void top_points(const Grid& g, const LineRecord* const* recs, int lanes, float* coord, float* values) {
    for (int l = 0; l < lanes; ++l) {
        const LineRecord& r = *recs[l];
        const std::int64_t samples = r.n - 1;
        float* xyz = coord + 3 * r.first;
        xyz[0] = g.xmin + static_cast<float>(r.i) * g.dx;
        xyz[1] = g.ymin + static_cast<float>(r.j) * g.dy;
        xyz[2] = r.ztop;
        values[r.first] = samples > 0 ? values[r.first + 1] : g.lower;
    }
}

}  // namespace

// The point counts of the constant variant's lines, eight side by side in
// the lanes of AVX2 registers, counting the same steps as count_samples.
VELMORA_TARGET_AVX2 bool count_constant_avx2(float length, LineRecord* recs, std::size_t count, std::int64_t budget) {
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
        // Each step counts a sample of at least one line: past the budget
        // the group is refused whatever its lanes would still count.
        for (std::int64_t steps = 0;; ++steps) {
            const __m256 active = _mm256_and_ps(alive, _mm256_cmp_ps(z, ztop, _CMP_LE_OQ));
            if (_mm256_movemask_ps(active) == 0) break;
            if (steps > budget) return false;
            m = _mm256_sub_epi32(m, _mm256_castps_si256(active));
            const __m256 next = _mm256_add_ps(z, step);
            alive = _mm256_and_ps(active, _mm256_cmp_ps(next, z, _CMP_GT_OQ));
            z = next;
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(counted), m);
        for (int l = 0; l < lanes; ++l) {
            recs[q + l].n = std::int64_t{counted[l]} + 1;
            budget -= recs[q + l].n;
        }
        if (budget < 0) return false;
    }
    return true;
}


// The points of many lines, eight side by side in the lanes of AVX2
// registers: the lanes walk their lines' heights together (one add per step,
// the same as the single-line walk). The values of the samples are worked
// out eight at a time: in the lanes, step by step, where each step depends
// on the last value (linear variant), else line by line, eight samples of a
// line at once. A stretch of steps is kept aside and then written out line
// by line. The scan has counted each line's samples, so the lanes only count
// steps. Node and window indices are formed in 32 bits: only for fewer than
// 2^31 of each.
VELMORA_TARGET_AVX2 void write_lines_avx2(const Grid& g, const LineRecord* const* recs, std::size_t count,
                                          const float* windows, float* coord, float* values) {
    const WideGrid wide(g, windows);
    const bool linear = g.spacing == Spacing::Linear;
    // A stretch of steps, kept aside lane by lane: zs[l][m], vs[l][m].
    alignas(32) float zs[kLanes][kStretch], vs[kLanes][kStretch];
    LaneLines ll;
    for (std::size_t q = 0; q < count; q += kLanes) {
        const int lanes = static_cast<int>(std::min<std::size_t>(kLanes, count - q));
        load_lanes(g, recs + q, lanes, ll);
        for (std::int64_t m0 = 0; m0 < ll.steps; m0 += kStretch) {
            const int stretch = static_cast<int>(std::min<std::int64_t>(kStretch, ll.steps - m0));
            // Eight steps at a time (past the end of the longest line too:
            // unused), turned lane by lane into the stretch.
            for (int m8 = 0; m8 < stretch; m8 += 8) {
                __m256 zr[8], vr[8];
                if (linear)
                    steps_linear(g, wide, ll, zr, vr);
                else
                    steps_constant(g, wide, recs + q, ll, m0 + m8, zr, vr);
                for (int l = 0; l < lanes; ++l) {
                    _mm256_store_ps(zs[l] + m8, zr[l]);
                    _mm256_store_ps(vs[l] + m8, vr[l]);
                }
            }
            store_stretch(g, recs + q, lanes, m0, stretch, zs, vs, coord, values);
        }
        top_points(g, recs + q, lanes, coord, values);
    }
}

}  // namespace velmora::rain_mesh
