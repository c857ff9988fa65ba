// AlphaPlane: projects one float component of a three-dimensional grid along
// a grid axis onto the plane of one grid slice. Every column along the axis
// accumulates an opacity through a clamped linear transfer function (output
// component 0) and the sum of its values (component 1); null samples, and
// samples where a mask component is null, are left out.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <immintrin.h>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::Heap;
using velmora::HeapText;
using velmora::HostArray;

constexpr int kOpacityId = 672;
constexpr int kTextSize = 1024;
// Layers (or rows) that the 512-bit pass adds to the output at once.
constexpr int kLayersAtOnce = 8;
// (The remainder of a column is taken as 4, 2 and 1 layers.)
static_assert(kLayersAtOnce <= 8);

// The steps of this module return 1 on success and 0 on failure.
template <class... Args>
int failed(Frame& f, const char* fmt, Args... args) {
    f.fail(fmt, args...);
    return 0;
}

// Product of the dims, -1 when one is negative or the product overflows.
std::int64_t product(const std::int64_t* dims, int ndim) {
    std::int64_t n = 1;
    for (int a = 0; a < ndim; ++a) {
        if (dims[a] < 0) return -1;
        if (dims[a] > 0 && n > INT64_MAX / dims[a]) return -1;
        n *= dims[a];
    }
    return n;
}

// The output's dims for a projection along axis: the two dims of in that remain.
bool plane_dims(int axis, const std::int64_t* dims, std::int64_t odims[2]) {
    switch (axis) {
        case 0: odims[0] = dims[1], odims[1] = dims[2]; return true;
        case 1: odims[0] = dims[0], odims[1] = dims[2]; return true;
        case 2: odims[0] = dims[0], odims[1] = dims[1]; return true;
        default: return false;
    }
}

// Reads and checks the dims of in (three of them).
int in_dims(Frame& f, OMobj_id& in, HostArray<std::int64_t>& dims) {
    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims) return failed(f, "%s : can not get in.dims.\n");
    if (ndim != 3) return failed(f, "%s : in.ndim is not 3.\n");
    return 1;
}

// Reads the dims of out (two of them) and checks them against the projection
// of in's dims along axis, so that every output node has its column in in.
int out_dims(Frame& f, OMobj_id& out, int axis, const std::int64_t* dims, std::int64_t odims[2]) {
    HostArray<std::int64_t> od;
    int ndim = 0;
    FLDget_dims(&out, od.out(), &ndim);
    if (!od) return failed(f, "%s : can not get out.dims.\n");
    if (ndim != 2) return failed(f, "%s : out.ndim is not 2.\n");
    std::int64_t want[2];
    if (!plane_dims(axis, dims, want) || od[0] != want[0] || od[1] != want[1])
        return failed(f, "%s : can not get out.dims.\n");
    odims[0] = od[0];
    odims[1] = od[1];
    return 1;
}

// Step 1: space, dims and the two component descriptions of out.
int output_layout(Frame& f, int axis, OMobj_id& in, OMobj_id& out) {
    int comp = 0;
    double null_value = 0.0;
    if (!f.get_int("comp", comp)) return failed(f, "%s : can not get comp.\n");
    if (!f.get_real("null_value", null_value)) return failed(f, "%s : can not get null_value.\n");
    float null_f = static_cast<float>(null_value);

    int nspace = 0;
    if (FLDget_nspace(&in, &nspace) != 1) return failed(f, "%s : can not get in.nspace.\n");
    if (nspace != 3) return failed(f, "%s : in.nspace is not 3.\n");
    HostArray<std::int64_t> dims;
    if (in_dims(f, in, dims) != 1) return 0;

    if (FLDset_nspace(&out, 3) != 1) return failed(f, "%s : can not get out.nspace.\n");
    if (FLDset_ndim(&out, 2) != 1) return failed(f, "%s : can not get out.ndim.\n");
    std::int64_t odims[2];
    if (!plane_dims(axis, dims.get(), odims)) return failed(f, "%s : axis is invalid value.\n");
    if (FLDset_dims(&out, odims) != 1) return failed(f, "%s : can not get out.dims.\n");

    if (FLDset_node_data_ncomp(&out, 2) != 1) return failed(f, "%s : can not get out.nnode_data.\n");
    if (FLDset_node_data_type(&out, 0, DTYPE_FLOAT) != 1) return failed(f, "%s : can not get out.nnode_data[0].type.\n");
    if (FLDset_node_data_veclen(&out, 0, 1) != 1) return failed(f, "%s : can not get out.nnode_data[0].veclen.\n");
    if (FLDset_node_data_id(&out, 0, kOpacityId) != 1) return failed(f, "%s : can not get out.nnode_data[0].id.\n");
    if (FLDset_node_null_flag(&out, 0, 0) != 1) return failed(f, "%s : can not get out.nnode_data[0].null_flag.\n");
    if (FLDset_node_data_type(&out, 1, DTYPE_FLOAT) != 1) return failed(f, "%s : can not get out.nnode_data[1].type.\n");
    if (FLDset_node_data_veclen(&out, 1, 1) != 1) return failed(f, "%s : can not get out.nnode_data[1].veclen.\n");
    if (FLDset_node_null_flag(&out, 1, 1) != 1) return failed(f, "%s : can not get out.nnode_data[1].null_flag.\n");
    if (FLDset_node_null_data(&out, 1, reinterpret_cast<char*>(&null_f), DTYPE_FLOAT) != 1)
        return failed(f, "%s : can not get out.nnode_data[1].null_value.\n");

    // An unreadable label or unit copies as an empty text.
    char text[kTextSize];
    text[0] = '\0';
    FLDget_node_data_label(&in, comp, text, kTextSize);
    if (FLDset_node_data_label(&out, 1, text) != 1) return failed(f, "%s : can not get out.nnode_data[1].label.\n");
    text[0] = '\0';
    FLDget_node_data_units(&in, comp, text, kTextSize);
    if (FLDset_node_data_units(&out, 1, text) != 1) return failed(f, "%s : can not get out.nnode_data[1].units.\n");
    return 1;
}

// Step 2: out takes the coordinates of slice `plane` of in, scaled.
int coordinates(Frame& f, int axis, OMobj_id& in, OMobj_id& out) {
    int sphere = 0;
    std::int64_t plane = 0;
    double scale_d = 0.0;
    if (!f.get_int("sphere", sphere)) return failed(f, "%s : can not get sphere.\n");
    if (!f.get_long("plane", plane)) return failed(f, "%s : can not get plane.\n");
    if (!f.get_real("scale", scale_d)) return failed(f, "%s : can not get scale.\n");
    const float scale = static_cast<float>(scale_d);
    if (axis < 0 || axis > 2) return failed(f, "%s : axis is invalid value.\n");   // the layout step refused it already

    HostArray<std::int64_t> dims;
    if (in_dims(f, in, dims) != 1) return 0;
    HostArray<float> icoord;
    FLDget_coord(&in, icoord.out(), icoord.size_out(), OM_GET_ARRAY_RD);
    const std::int64_t n = product(dims.get(), 3);
    if (!icoord || n < 0 || n > INT64_MAX / 3 || icoord.size() != 3 * n) return failed(f, "%s : can not get in.coord.\n");

    if (plane > dims[axis] - 1) return failed(f, "%s : plane is over in.dims[%d].\n", axis);
    // A negative slice index has no coordinates either.
    if (plane < 0) return failed(f, "%s : plane is under 0.\n");

    std::int64_t odims[2];
    if (out_dims(f, out, axis, dims.get(), odims) != 1) return 0;
    HostArray<float> ocoord;
    FLDget_coord(&out, ocoord.out(), ocoord.size_out(), OM_GET_ARRAY_WR);
    const std::int64_t m = odims[0] * odims[1];   // at most n: no overflow
    if (!ocoord || ocoord.size() != 3 * m) return failed(f, "%s : can not get out.coord.\n");

    const std::int64_t d0 = dims[0], d1 = dims[1];
    float* oc = ocoord.get();
    if (axis != 0) {
        // Along axes 1 and 2 an output row a = 0 .. odims[0]-1 is a row of
        // the slice with i = a, contiguous in in.
        const auto len = static_cast<std::size_t>(3 * odims[0]);
        for (std::int64_t b = 0; b < odims[1]; ++b, oc += len) {
            const std::int64_t j = axis == 1 ? plane : b, k = axis == 1 ? b : plane;
            const float* c = &icoord[3 * d0 * (j + d1 * k)];
            if (sphere == 1) {
                for (std::size_t q = 0; q < len; ++q) oc[q] = scale * c[q];
            } else {
                std::memcpy(oc, c, len * sizeof(float));
                for (std::size_t q = static_cast<std::size_t>(axis); q < len; q += 3) oc[q] = c[q] * scale;
            }
        }
        return 1;
    }
    // Along axis 0, output node (a, b) is input node (plane, a, b).
    for (std::int64_t b = 0; b < odims[1]; ++b) {
        for (std::int64_t a = 0; a < odims[0]; ++a) {
            const float* c = &icoord[3 * (plane + d0 * (a + d1 * b))];
            if (sphere == 1) {
                oc[0] = scale * c[0];
                oc[1] = scale * c[1];
                oc[2] = scale * c[2];
            } else {
                oc[0] = c[0] * scale;
                oc[1] = c[1];
                oc[2] = c[2];
            }
            oc += 3;
        }
    }
    return 1;
}

// The clamped linear transfer function, on the values after ordering.
// A sample v has the opacity alpha_min when data_min > v, else alpha_max
// when v > data_max, else t = (v - data_min, in float) / data_range *
// alpha_range + alpha_min in double, taken as alpha_min when alpha_min > t
// and otherwise as the smaller of alpha_max and t (a NaN t stays NaN),
// rounded to float (transfer_stretch).
struct Transfer {
    float data_min, data_max, data_range;
    float alpha_min, alpha_max, alpha_range;
};

// Whether a sample is null: |a - b| < 1e-5, the difference formed in float
// and compared in double. The same test in float alone: |a - b| <= the
// largest float below 1e-5 in double.
float near_limit() {
    float limit = 1e-5f;
    while (static_cast<double>(limit) >= 1e-5) limit = std::nextafter(limit, 0.0f);
    return limit;
}

struct Sources {
    const float* values;
    const float* mask;   // null when no mask applies
    bool has_null;
    float null_value;
    float mask_null;
    float near;          // near_limit()
    float unreached;     // the data of an output node that no sample reached
};

// The loops below run over many samples at once and are written without
// branches, so that the compiler can treat several samples per instruction;
// they give the same floats as the transfer function and the accumulation
// written sample by sample (accumulate_node). The two that do most of the
// work are kept out of line, inlined they lose the promise that their
// arrays do not overlap, and are also built for AVX2, chosen at load time
// where the processor has it (neither variant contracts a multiply and an
// add, so both give the same floats).

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
__attribute__((noinline)) VELMORA_CLONES("avx512f", "avx2", "default") void transfer_all(
    const Transfer& tf, const float* __restrict v, float* __restrict f, std::size_t n) {
    constexpr std::size_t kShort = 16;
    std::size_t i = 0;
    for (; i + kShort <= n; i += kShort) transfer_stretch<kShort>(tf, v + i, f + i, kShort);
    for (; i < n; i += kShort) transfer_stretch<kShort>(tf, v + i, f + i, std::min(kShort, n - i));
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
__attribute__((noinline)) VELMORA_CLONES("avx2", "default") void accumulate_row(
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
__attribute__((target("avx512f,avx512bw,avx512vl,avx512dq"))) void fused_avx512(
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
void project(const Sources& s, const Transfer& tf, int axis, const std::int64_t* dims, float* alpha, float* data,
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

// Whether the projection takes the 512-bit pass: where the processor has it.
bool use_avx512() {
    __builtin_cpu_init();
    return velmora::kWidePaths && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
}

// Finds the mask: the first component of in labelled mask_label, with n
// float values and its null flag set.
int find_mask(Frame& f, OMobj_id& in, std::int64_t n, HostArray<float>& mask, float& mask_null) {
    HeapText label = f.get_str("mask_label");
    if (!label || label.get()[0] == '\0') return failed(f, "%s : can not get mask_label.\n");
    int ncomp = 0;
    if (FLDget_node_data_ncomp(&in, &ncomp) != 1) return failed(f, "%s : can not get in.nnode_data.\n");
    for (int c = 0; c < ncomp; ++c) {
        char text[kTextSize];
        text[0] = '\0';
        FLDget_node_data_label(&in, c, text, kTextSize);
        if (std::strcmp(text, label.get()) != 0) continue;
        int type = 0;
        FLDget_node_data(&in, c, &type, mask.out_chars(), mask.size_out(), OM_GET_ARRAY_RD);
        if (!mask || type != DTYPE_FLOAT || mask.size() != n)
            return failed(f, "%s : can not get in.node_data[%lld].\n", static_cast<long long>(c));
        int flag = 0;
        mask_null = 0.0f;
        FLDget_node_null_data(&in, c, &flag, reinterpret_cast<char*>(&mask_null));
        if (flag != 1) return failed(f, "%s : can not get mask_data.null_value.\n");
        return 1;
    }
    return failed(f, "%s : can not get mask_data.\n");
}

// Step 3: the opacity and the data sum of every column.
int projection(Frame& f, int axis, OMobj_id& in, OMobj_id& out) {
    int comp = 0;
    if (!f.get_int("comp", comp)) return failed(f, "%s : can not get comp.\n");
    double amin_d = 0.0, amax_d = 0.0, dmin_d = 0.0, dmax_d = 0.0, null_d = 0.0;
    if (!f.get_real("alpha_min", amin_d)) return failed(f, "%s : can not get alpha_min.\n");
    if (!f.get_real("alpha_max", amax_d)) return failed(f, "%s : can not get alpha_max.\n");
    Transfer tf{};
    tf.alpha_min = static_cast<float>(amin_d);
    tf.alpha_max = static_cast<float>(amax_d);
    if (tf.alpha_min > tf.alpha_max) std::swap(tf.alpha_min, tf.alpha_max);
    tf.alpha_range = tf.alpha_max - tf.alpha_min;
    if (!f.get_real("data_min", dmin_d)) return failed(f, "%s : can not get data_min.\n");
    if (!f.get_real("data_max", dmax_d)) return failed(f, "%s : can not get data_max.\n");
    tf.data_min = static_cast<float>(dmin_d);
    tf.data_max = static_cast<float>(dmax_d);
    if (tf.data_min > tf.data_max) std::swap(tf.data_min, tf.data_max);
    tf.data_range = tf.data_max - tf.data_min;
    if (1e-5 > tf.data_range) return failed(f, "%s : data_min and data_max are the same value.\n");
    if (!f.get_real("null_value", null_d)) return failed(f, "%s : can not get null_value.\n");
    const float null_value = static_cast<float>(null_d);

    HostArray<std::int64_t> dims;
    if (in_dims(f, in, dims) != 1) return 0;
    const std::int64_t n = product(dims.get(), 3);
    if (n < 1) return 0;

    int veclen = 0;
    if (FLDget_node_data_veclen(&in, comp, &veclen) != 1) return failed(f, "%s : can not get in.node_data[%d].veclen.\n", comp);
    if (veclen != 1) return failed(f, "%s : in.node_data[%d].veclen is not 1.\n", comp);
    HostArray<float> values;
    int type = 0;
    FLDget_node_data(&in, comp, &type, values.out_chars(), values.size_out(), OM_GET_ARRAY_RD);
    if (!values || type != DTYPE_FLOAT || values.size() != n) return failed(f, "%s : can not get in.node_data[%d].\n", comp);
    Sources src{values.get(), nullptr, false, 0.0f, 0.0f, near_limit(), null_value};
    int null_flag = 0;
    FLDget_node_null_data(&in, comp, &null_flag, reinterpret_cast<char*>(&src.null_value));
    src.has_null = null_flag != 0;

    std::int64_t odims[2];
    if (out_dims(f, out, axis, dims.get(), odims) != 1) return 0;
    const std::int64_t m = odims[0] * odims[1];
    if (m < 1) return 0;
    HostArray<float> alpha, data;
    type = 0;
    FLDget_node_data(&out, 0, &type, alpha.out_chars(), alpha.size_out(), OM_GET_ARRAY_WR);
    if (!alpha || type != DTYPE_FLOAT || alpha.size() != m) return failed(f, "%s : can not get out.node_data[0].\n");
    type = 0;
    FLDget_node_data(&out, 1, &type, data.out_chars(), data.size_out(), OM_GET_ARRAY_WR);
    if (!data || type != DTYPE_FLOAT || data.size() != m) return failed(f, "%s : can not get out.node_data[1].\n");

    int mask_active = 0;
    if (!f.get_int("mask_active", mask_active)) return failed(f, "%s : can not get mask_active.\n");
    HostArray<float> mask;
    if (mask_active != 0) {
        if (find_mask(f, in, n, mask, src.mask_null) != 1) return 0;
        src.mask = mask.get();
    }

    Heap<unsigned char[]> reached;
    if (src.has_null) {
        reached = velmora::heap_array<unsigned char>(m);
        if (!reached) return failed(f, "%s : can not allocate memory.\n");
        std::memset(reached.get(), 0, static_cast<std::size_t>(m));
    }
    // Working room for the opacities of one row of in; it fails, if ever,
    // with the message of the other working storage.
    Heap<float[]> row_alpha = velmora::heap_array<float>(dims[0]);
    if (!row_alpha) return failed(f, "%s : can not allocate memory.\n");

    // The 512-bit pass writes every output node in its first pass over it
    // and the null value of the unreached ones in its last.
    const bool wide = axis != 0 && use_avx512();
    if (!wide) {
        std::fill_n(alpha.get(), m, 0.0f);
        std::fill_n(data.get(), m, 0.0f);
    }
    if (src.mask && src.has_null)
        project<true, true>(src, tf, axis, dims.get(), alpha.get(), data.get(), reached.get(), row_alpha.get(), wide);
    else if (src.mask)
        project<true, false>(src, tf, axis, dims.get(), alpha.get(), data.get(), nullptr, row_alpha.get(), wide);
    else if (src.has_null)
        project<false, true>(src, tf, axis, dims.get(), alpha.get(), data.get(), reached.get(), row_alpha.get(), wide);
    else
        project<false, false>(src, tf, axis, dims.get(), alpha.get(), data.get(), nullptr, row_alpha.get(), wide);

    // Nodes that no sample reached carry the output's null value.
    if (reached && !wide)
        for (std::int64_t o = 0; o < m; ++o) data[o] = reached[o] ? data[o] : null_value;
    return 1;
}

void update(Frame& f) {
    OMobj_id in = f.find("in", OM_OBJ_RW);
    if (velmora::is_null(in)) return (void)f.fail("%s : can not get in.");
    OMobj_id out = f.find("out", OM_OBJ_RD);
    if (velmora::is_null(out)) return (void)f.fail("%s : can not get out.");
    std::int64_t nnodes = 0;
    FLDget_nnodes(&in, &nnodes);
    if (nnodes < 1) return;
    int axis = 0;
    if (!f.get_int("axis", axis)) return (void)f.fail("%s : can not get axis.");

    if (output_layout(f, axis, in, out) != 1) return;
    if (coordinates(f, axis, in, out) != 1) return;
    if (projection(f, axis, in, out) != 1) return;
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int AlphaPlaneUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
