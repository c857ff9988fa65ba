// AlphaPlane's kernels (see alpha_plane_kernels.h).
#include "alpha_plane_kernels.h"

#include <algorithm>
#include <cstddef>
#include <immintrin.h>

#include "cpu_paths.h"

namespace velmora::alpha_plane {
namespace {

// Layers (or rows) that the 512-bit pass adds to the output at once.
constexpr int kLayersAtOnce = 8;
// (The remainder of a column is taken as 4, 2 and 1 layers.)
static_assert(kLayersAtOnce <= 8);

// The loops below run over many samples at once and are written without
// branches, so that the compiler can treat several samples per instruction;
// they give the same floats as the transfer function and the accumulation
// written sample by sample (accumulate_node). The two that do most of the
// work are kept out of line, inlined they lose the promise that their
// arrays do not overlap, and are also built for wider instruction sets,
// chosen where the processor has them (no variant contracts a multiply and
// an add, so all give the same floats).

// The opacity of m samples. Only samples within [data_min, data_max] (or
// NaN) need the division; a stretch without any is settled by one compare
// per sample.
template <std::size_t kMax>
inline void transfer_stretch(const Transfer& tf, const float* __restrict v, float* __restrict f, std::size_t m) {
    const float dmin = tf.data_min, dmax = tf.data_max, amin = tf.alpha_min, amax = tf.alpha_max;
    int divide = 0;
    for (std::size_t i = 0; i < m; ++i) divide |= !(dmin > v[i]) & !(v[i] > dmax);
    if (divide == 0) {
        for (std::size_t i = 0; i < m; ++i) f[i] = dmin > v[i] ? amin : amax;
        return;
    }
    const double range = tf.data_range, arange = tf.alpha_range, low = amin, high = amax;
    double t[kMax];
    for (std::size_t i = 0; i < m; ++i) t[i] = static_cast<double>(v[i] - dmin) / range * arange + low;
    for (std::size_t i = 0; i < m; ++i) {
        // amin and amax are floats: clamping in double and rounding once
        // gives the same float; a NaN stays NaN.
        const double c = low > t[i] ? low : t[i] > high ? high : t[i];
        const float r = static_cast<float>(c);
        const float x = v[i];
        const float g = x > dmax ? amax : r;
        f[i] = dmin > x ? amin : g;
    }
}

// The opacity of n samples, a short stretch at a time, so that only the
// stretches holding data between the bounds pay for the division. Also
// built for AVX-512, where widening a stretch of floats to doubles and
// narrowing it back takes no shuffling between halves of a register (the
// same operations, in the same order: the same floats).
__attribute__((always_inline)) inline void transfer_body(const Transfer& tf, const float* __restrict v,
                                                         float* __restrict f, std::size_t n) {
    constexpr std::size_t kShort = 16;
    std::size_t i = 0;
    for (; i + kShort <= n; i += kShort) transfer_stretch<kShort>(tf, v + i, f + i, kShort);
    for (; i < n; i += kShort) transfer_stretch<kShort>(tf, v + i, f + i, std::min(kShort, n - i));
}

__attribute__((noinline)) void transfer_base(const Transfer& tf, const float* __restrict v, float* __restrict f,
                                             std::size_t n) {
    transfer_body(tf, v, f, n);
}

__attribute__((noinline)) VELMORA_TARGET_AVX2 void transfer_avx2(const Transfer& tf, const float* __restrict v,
                                                                 float* __restrict f, std::size_t n) {
    transfer_body(tf, v, f, n);
}

__attribute__((noinline)) VELMORA_TARGET_AVX512 void transfer_avx512(const Transfer& tf, const float* __restrict v,
                                                                     float* __restrict f, std::size_t n) {
    transfer_body(tf, v, f, n);
}

void transfer_all(const Transfer& tf, const float* v, float* f, std::size_t n) {
    if (cpu::avx512())
        transfer_avx512(tf, v, f, n);
    else if (cpu::avx2())
        transfer_avx2(tf, v, f, n);
    else
        transfer_base(tf, v, f, n);
}

// Whether a sample is left out: |x - null| within the limit, written as two
// compares (NaN passes neither).
inline bool is_near(float x, float null_value, float limit) {
    const float d = x - null_value;
    return (d <= limit) & (d >= -limit);
}

// Adds n samples v with their opacities f to n output nodes in a row:
// alpha clamped to 1 after the addition, data summed, the node marked as
// reached; null samples (and samples where the mask is null) are left out.
template <bool kMask, bool kNull>
__attribute__((always_inline)) inline void accumulate_body(
    const Sources& s, const float* __restrict v, const float* __restrict mk, const float* __restrict f,
    float* __restrict alpha, float* __restrict data, unsigned char* __restrict reached, std::size_t n) {
    const float limit = s.near, mask_null = s.mask_null, null_value = s.null_value;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = v[i];
        bool skip = false;
        if (kMask) skip = is_near(mk[i], mask_null, limit);
        if (kNull) skip = skip | is_near(x, null_value, limit);
        const float old = alpha[i];
        const float sum = f[i] + old;
        const float a = sum > 1.0f ? 1.0f : sum;
        alpha[i] = skip ? old : a;
        const float od = data[i];
        data[i] = skip ? od : x + od;
    }
    if (kNull)
        for (std::size_t i = 0; i < n; ++i) {
            bool skip = is_near(v[i], null_value, limit);
            if (kMask) skip = skip | is_near(mk[i], mask_null, limit);
            reached[i] |= static_cast<unsigned char>(!skip);
        }
}

template <bool kMask, bool kNull>
__attribute__((noinline)) void accumulate_base(const Sources& s, const float* __restrict v, const float* __restrict mk,
                                          const float* __restrict f, float* __restrict alpha, float* __restrict data,
                                          unsigned char* __restrict reached, std::size_t n) {
    accumulate_body<kMask, kNull>(s, v, mk, f, alpha, data, reached, n);
}

template <bool kMask, bool kNull>
__attribute__((noinline)) VELMORA_TARGET_AVX2 void accumulate_avx2(const Sources& s, const float* __restrict v, const float* __restrict mk,
                                          const float* __restrict f, float* __restrict alpha, float* __restrict data,
                                          unsigned char* __restrict reached, std::size_t n) {
    accumulate_body<kMask, kNull>(s, v, mk, f, alpha, data, reached, n);
}

template <bool kMask, bool kNull>
void accumulate_row(const Sources& s, const float* v, const float* mk, const float* f, float* alpha, float* data,
                    unsigned char* reached, std::size_t n) {
    if (cpu::avx2())
        accumulate_avx2<kMask, kNull>(s, v, mk, f, alpha, data, reached, n);
    else
        accumulate_base<kMask, kNull>(s, v, mk, f, alpha, data, reached, n);
}

// Adds n samples to one output node o, in order.
template <bool kMask, bool kNull>
void accumulate_node(const Sources& s, const float* v, const float* mk, const float* f, float* alpha, float* data,
                     unsigned char* reached, std::size_t n, std::int64_t o) {
    for (std::size_t i = 0; i < n; ++i) {
        if (kMask && is_near(mk[i], s.mask_null, s.near)) continue;
        if (kNull && is_near(v[i], s.null_value, s.near)) continue;
        float a = f[i] + alpha[o];
        if (a > 1.0f) a = 1.0f;
        alpha[o] = a;
        if (kNull) reached[o] = 1;
        data[o] = v[i] + data[o];
    }
}

// The same transfer and accumulation in one pass, sixteen output nodes at a
// time in 512-bit registers, for kLayers stretches of n samples lying
// `stride` apart in the input that all fall onto the same n output nodes
// (successive layers k along axis 2, successive rows j along axis 1). Each
// output node takes its samples layer after layer, as in storage order,
// while its opacity and data stay in registers: the output is read and
// written once per kLayers layers. The first pass over the nodes starts
// from 0 instead of reading them, the last one also gives the nodes that no
// sample reached the output's null value. The opacity of sixteen samples is
// formed in two halves of eight doubles, and only when one of them lies
// within the bounds (or is NaN). Every operation is the one the loops above
// perform, in the same order and rounding: max(low, t) is low > t ? low : t,
// min(high, c) is high < c ? high : c (a NaN t stays NaN in both), and
// min(1, sum) is 1 < sum ? 1 : sum.
// (The intrinsics leave the unused lanes of their pass-through operand
// undefined on purpose, which GCC 12 takes for an uninitialized read.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
template <bool kMask, bool kNull, int kLayers>
VELMORA_TARGET_AVX512 void fused_avx512(
    const Sources& s, const Transfer& tf, const float* __restrict v, const float* __restrict mk, std::size_t stride,
    float* __restrict alpha, float* __restrict data, unsigned char* __restrict reached, std::size_t n, bool first,
    bool last) {
    const __m512 dmin = _mm512_set1_ps(tf.data_min), dmax = _mm512_set1_ps(tf.data_max);
    const __m512 amin = _mm512_set1_ps(tf.alpha_min), amax = _mm512_set1_ps(tf.alpha_max);
    const __m512d range = _mm512_set1_pd(tf.data_range), arange = _mm512_set1_pd(tf.alpha_range);
    const __m512d low = _mm512_set1_pd(tf.alpha_min), high = _mm512_set1_pd(tf.alpha_max);
    const __m512 limit = _mm512_set1_ps(s.near), neg_limit = _mm512_set1_ps(-s.near);
    const __m512 null_value = _mm512_set1_ps(s.null_value), mask_null = _mm512_set1_ps(s.mask_null);
    const __m512 one = _mm512_set1_ps(1.0f), unreached = _mm512_set1_ps(s.unreached);
    const __m128i ones = _mm_set1_epi8(1);
    for (std::size_t i = 0; i < n; i += 16) {
        // The last stretch takes only the lanes that exist; masked-out lanes
        // are neither read nor written.
        const __mmask16 lanes = n - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - i)) - 1u);
        __m512 a = _mm512_setzero_ps(), d = _mm512_setzero_ps();
        if (!first) {
            a = _mm512_maskz_loadu_ps(lanes, alpha + i);
            d = _mm512_maskz_loadu_ps(lanes, data + i);
        }
        __mmask16 any = 0;
        for (int l = 0; l < kLayers; ++l) {
            const std::size_t at = i + static_cast<std::size_t>(l) * stride;
            const __m512 x = _mm512_maskz_loadu_ps(lanes, v + at);
            __mmask16 skip = 0;
            if (kMask) {
                const __m512 e = _mm512_sub_ps(_mm512_maskz_loadu_ps(lanes, mk + at), mask_null);
                skip = _mm512_cmp_ps_mask(e, limit, _CMP_LE_OQ) & _mm512_cmp_ps_mask(e, neg_limit, _CMP_GE_OQ);
            }
            if (kNull) {
                const __m512 e = _mm512_sub_ps(x, null_value);
                skip |= _mm512_cmp_ps_mask(e, limit, _CMP_LE_OQ) & _mm512_cmp_ps_mask(e, neg_limit, _CMP_GE_OQ);
            }
            const __mmask16 take = lanes & static_cast<__mmask16>(~skip);
            any |= take;
            const __mmask16 below = _mm512_cmp_ps_mask(dmin, x, _CMP_GT_OQ);
            const __mmask16 above = _mm512_cmp_ps_mask(x, dmax, _CMP_GT_OQ);
            __m512 f = _mm512_mask_mov_ps(amax, below, amin);
            const __mmask16 inside = take & static_cast<__mmask16>(~(below | above));
            if (inside != 0) {
                const __m512 w = _mm512_sub_ps(x, dmin);
                __m512d t0 = _mm512_cvtps_pd(_mm512_castps512_ps256(w));
                __m512d t1 = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(w), 1)));
                t0 = _mm512_add_pd(_mm512_mul_pd(_mm512_div_pd(t0, range), arange), low);
                t1 = _mm512_add_pd(_mm512_mul_pd(_mm512_div_pd(t1, range), arange), low);
                t0 = _mm512_min_pd(high, _mm512_max_pd(low, t0));
                t1 = _mm512_min_pd(high, _mm512_max_pd(low, t1));
                const __m512 r =
                    _mm512_insertf32x8(_mm512_castps256_ps512(_mm512_cvtpd_ps(t0)), _mm512_cvtpd_ps(t1), 1);
                f = _mm512_mask_mov_ps(f, inside, r);
            }
            a = _mm512_mask_min_ps(a, take, one, _mm512_add_ps(f, a));
            d = _mm512_mask_add_ps(d, take, x, d);
        }
        if (kNull && last) {
            if (!first) {
                const __m128i r = _mm_maskz_loadu_epi8(lanes, reached + i);
                any |= _mm_test_epi8_mask(r, r);
            }
            d = _mm512_mask_mov_ps(unreached, any, d);
        } else if (kNull) {
            _mm_mask_storeu_epi8(reached + i, any, ones);
        }
        _mm512_mask_storeu_ps(alpha + i, lanes, a);
        _mm512_mask_storeu_ps(data + i, lanes, d);
    }
}
#pragma GCC diagnostic pop

// Accumulates one row of in (i = 0 .. d0-1, from storage index `row`) into
// the output nodes o0 + i (when `along` is false) or into o0 alone (axis 0);
// f is room for d0 opacities.
template <bool kMask, bool kNull>
void project_row(const Sources& s, const Transfer& tf, std::int64_t row, std::int64_t d0, std::int64_t o0, bool along,
                 float* alpha, float* data, unsigned char* reached, float* f) {
    const auto n = static_cast<std::size_t>(d0);
    const float* v = s.values + row;
    const float* mk = kMask ? s.mask + row : nullptr;
    transfer_all(tf, v, f, n);
    if (along)
        accumulate_node<kMask, kNull>(s, v, mk, f, alpha, data, reached, n, o0);
    else
        accumulate_row<kMask, kNull>(s, v, mk, f, alpha + o0, data + o0, kNull ? reached + o0 : nullptr, n);
}

// Every input node adds to its output node in storage order. Along axis 2
// the rows j are taken in blocks, each block through all layers k, so that
// the output rows of a block stay in the cache; every output node still
// receives its samples in storage order.
template <bool kMask, bool kNull>
void project_as(const Sources& s, const Transfer& tf, int axis, const std::int64_t* dims, float* alpha, float* data,
             unsigned char* reached, float* f, bool wide) {
    const std::int64_t d0 = dims[0], d1 = dims[1], d2 = dims[2];
    if (wide) {
        // `count` stretches of len samples from storage index `row` on,
        // `stride` apart, onto the output nodes from o0 on.
        auto stretches = [&](std::int64_t row, std::int64_t stride, std::int64_t count, std::int64_t o0,
                             std::int64_t len) {
            auto layers = [&]<int kLayers>(std::int64_t c) {
                const std::int64_t r = row + c * stride;
                fused_avx512<kMask, kNull, kLayers>(s, tf, s.values + r, kMask ? s.mask + r : nullptr,
                                                    static_cast<std::size_t>(stride), alpha + o0, data + o0,
                                                    kNull ? reached + o0 : nullptr, static_cast<std::size_t>(len),
                                                    c == 0, c + kLayers == count);
            };
            std::int64_t c = 0;
            for (; c + kLayersAtOnce <= count; c += kLayersAtOnce) layers.template operator()<kLayersAtOnce>(c);
            if (c + 4 <= count) layers.template operator()<4>(c), c += 4;
            if (c + 2 <= count) layers.template operator()<2>(c), c += 2;
            if (c < count) layers.template operator()<1>(c);
        };
        if (axis == 2) {
            stretches(0, d0 * d1, d2, 0, d0 * d1);
            return;
        }
        for (std::int64_t k = 0; k < d2; ++k) stretches(d0 * d1 * k, d0, d1, d0 * k, d0);
        return;
    }
    if (axis == 2) {
        const std::int64_t block = std::max<std::int64_t>(1, 4096 / std::max<std::int64_t>(d0, 1));
        for (std::int64_t j0 = 0; j0 < d1; j0 += block)
            for (std::int64_t k = 0; k < d2; ++k)
                for (std::int64_t j = j0; j < std::min(d1, j0 + block); ++j)
                    project_row<kMask, kNull>(s, tf, d0 * (j + d1 * k), d0, d0 * j, false, alpha, data, reached, f);
        return;
    }
    for (std::int64_t k = 0; k < d2; ++k)
        for (std::int64_t j = 0; j < d1; ++j) {
            const std::int64_t row = d0 * (j + d1 * k);
            if (axis == 0)
                project_row<kMask, kNull>(s, tf, row, d0, j + d1 * k, true, alpha, data, reached, f);
            else
                project_row<kMask, kNull>(s, tf, row, d0, d0 * k, false, alpha, data, reached, f);
        }
}

}  // namespace

bool wide_pass(int axis) { return axis != 0 && cpu::avx512(); }

void project(const Sources& s, const Transfer& tf, int axis, const std::int64_t* dims, float* alpha, float* data,
             unsigned char* reached, float* f, bool wide) {
    if (s.mask && s.has_null)
        project_as<true, true>(s, tf, axis, dims, alpha, data, reached, f, wide);
    else if (s.mask)
        project_as<true, false>(s, tf, axis, dims, alpha, data, nullptr, f, wide);
    else if (s.has_null)
        project_as<false, true>(s, tf, axis, dims, alpha, data, reached, f, wide);
    else
        project_as<false, false>(s, tf, axis, dims, alpha, data, nullptr, f, wide);
}

}  // namespace velmora::alpha_plane
