// The lane vectors of CalcStatistic's kernels and their few operations:
// four lanes of single and double precision, eight of single precision, and
// the conversions between them. Included by statistic_lanes.h, once per
// instruction set (STATISTIC_LANES_AVX2 for the 256-bit registers); hence no
// include guard.

constexpr int kLanes = 4;
using Floats = float __attribute__((vector_size(4 * kLanes)));
using Ints = std::int32_t __attribute__((vector_size(4 * kLanes)));
using Doubles = double __attribute__((vector_size(8 * kLanes)));

[[gnu::always_inline]] inline Floats magnitude(Floats v) { return Floats(Ints(v) & 0x7FFFFFFF); }
[[gnu::always_inline]] inline Floats splat(float v) { return Floats{} + v; }

// Lane l takes p[l][at].
[[gnu::always_inline]] inline Floats gather(const float* const* p, std::int64_t at) {
    static_assert(kLanes == 4);
    return Floats{p[0][at], p[1][at], p[2][at], p[3][at]};
}

// Eight lanes of single precision, Floats8 and its masks Ints8, as one
// 256-bit vector with avx2. The baseline has no such registers, and the
// compiler would take a vector of that size apart lane by lane, so there it
// is a pair of Floats with the few operations the kernels use.
#ifdef STATISTIC_LANES_AVX2
using Floats8 = float __attribute__((vector_size(8 * kLanes)));
using Ints8 = std::int32_t __attribute__((vector_size(8 * kLanes)));

[[gnu::always_inline]] inline Floats8 select(Ints8 m, Floats8 a, Floats8 b) { return m ? a : b; }
[[gnu::always_inline]] inline Floats8 magnitude(Floats8 v) { return Floats8(Ints8(v) & 0x7FFFFFFF); }
[[gnu::always_inline]] inline Floats8 join(Floats lo, Floats hi) {
    return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
}
// Half k (0: lanes 0-3, 1: lanes 4-7).
[[gnu::always_inline]] inline Floats half(Floats8 v, int k) {
    return k == 0 ? __builtin_shufflevector(v, v, 0, 1, 2, 3) : __builtin_shufflevector(v, v, 4, 5, 6, 7);
}
[[gnu::always_inline]] inline Ints half(Ints8 v, int k) {
    return k == 0 ? __builtin_shufflevector(v, v, 0, 1, 2, 3) : __builtin_shufflevector(v, v, 4, 5, 6, 7);
}
[[gnu::always_inline]] inline bool all_lanes(Ints8 m) { return _mm256_movemask_ps(__m256(m)) == 0xFF; }
#else
struct Floats8 {
    Floats lo, hi;
};
struct Ints8 {
    Ints lo, hi;
};

[[gnu::always_inline]] inline Floats8 operator+(Floats8 a, Floats8 b) { return {a.lo + b.lo, a.hi + b.hi}; }
[[gnu::always_inline]] inline Floats8 operator-(Floats8 a, Floats8 b) { return {a.lo - b.lo, a.hi - b.hi}; }
[[gnu::always_inline]] inline Floats8 operator*(Floats8 a, Floats8 b) { return {a.lo * b.lo, a.hi * b.hi}; }
[[gnu::always_inline]] inline Floats8& operator+=(Floats8& a, Floats8 b) { return a = a + b; }
[[gnu::always_inline]] inline Ints8 operator<(Floats8 a, Floats8 b) { return {a.lo < b.lo, a.hi < b.hi}; }
[[gnu::always_inline]] inline Ints8 operator>(Floats8 a, Floats8 b) { return {a.lo > b.lo, a.hi > b.hi}; }
[[gnu::always_inline]] inline Ints8 operator&(Ints8 a, Ints8 b) { return {a.lo & b.lo, a.hi & b.hi}; }
[[gnu::always_inline]] inline Ints8 operator~(Ints8 a) { return {~a.lo, ~a.hi}; }
[[gnu::always_inline]] inline Ints8& operator-=(Ints8& a, Ints8 b) { return a = {a.lo - b.lo, a.hi - b.hi}; }

[[gnu::always_inline]] inline Floats8 select(Ints8 m, Floats8 a, Floats8 b) {
    return {m.lo ? a.lo : b.lo, m.hi ? a.hi : b.hi};
}
[[gnu::always_inline]] inline Floats8 magnitude(Floats8 v) { return {magnitude(v.lo), magnitude(v.hi)}; }
[[gnu::always_inline]] inline Floats8 join(Floats lo, Floats hi) { return {lo, hi}; }
[[gnu::always_inline]] inline Floats half(Floats8 v, int k) { return k == 0 ? v.lo : v.hi; }
[[gnu::always_inline]] inline Ints half(Ints8 v, int k) { return k == 0 ? v.lo : v.hi; }
[[gnu::always_inline]] inline bool all_lanes(Ints8 m) { return _mm_movemask_ps(__m128(m.lo & m.hi)) == 0xF; }
#endif

// Lane l of eight.
[[gnu::always_inline]] inline float lane(const Floats8& v, int l) { return half(v, l / kLanes)[l % kLanes]; }
[[gnu::always_inline]] inline std::int32_t lane(const Ints8& v, int l) { return half(v, l / kLanes)[l % kLanes]; }
[[gnu::always_inline]] inline void set_lane(Floats8& v, int l, float x) {
    Floats h[2] = {half(v, 0), half(v, 1)};
    h[l / kLanes][l % kLanes] = x;
    v = join(h[0], h[1]);
}
[[gnu::always_inline]] inline Floats8 splat8(float v) { return join(splat(v), splat(v)); }
// Lane l takes p[l][at], for eight lanes.
[[gnu::always_inline]] inline Floats8 gather8(const float* const* p, std::int64_t at) {
    return join(gather(p, at), gather(p + kLanes, at));
}

// Single to double precision and back, four lanes, rounding to nearest;
// and a * b + c for a and b widened from single precision. Their product is
// exact in double (24 + 24 significant bits), so the fused multiply-add,
// which rounds once, gives the same double as the product followed by the
// addition.
#ifdef STATISTIC_LANES_AVX2
[[gnu::always_inline]] inline Doubles wide(Floats v) { return Doubles(_mm256_cvtps_pd(__m128(v))); }
[[gnu::always_inline]] inline Floats narrow(Doubles v) { return Floats(_mm256_cvtpd_ps(__m256d(v))); }
[[gnu::always_inline]] inline Doubles add_product(Doubles a, Doubles b, Doubles c) {
    return Doubles(_mm256_fmadd_pd(__m256d(a), __m256d(b), __m256d(c)));
}
#else
[[gnu::always_inline]] inline Doubles wide(Floats v) { return __builtin_convertvector(v, Doubles); }
[[gnu::always_inline]] inline Floats narrow(Doubles v) { return __builtin_convertvector(v, Floats); }
[[gnu::always_inline]] inline Doubles add_product(Doubles a, Doubles b, Doubles c) { return a * b + c; }
#endif
