// MakeRainMesh's baseline kernels and the choice of the wider ones: the
// walk of a line's samples, the run finder, the counting and the writing of
// the lines.
#include <algorithm>
#include <immintrin.h>

#include "cpu_paths.h"
#include "rain_mesh.h"

namespace velmora::rain_mesh {
namespace {

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

// How many samples a line has, counted up to limit. The constant variant's
// steps do not depend on the values, so its heights alone are counted.
std::int64_t count_samples(const Grid& g, Column col, float zbot, float ztop, std::int64_t limit) {
    if (g.spacing == Spacing::Constant) {
        std::int64_t m = 0;
        for (float z = zbot; m < limit && z <= ztop;) {
            ++m;
            const float next = z + g.length;
            if (!(next > z)) break;
            z = next;
        }
        return m;
    }
    return walk_samples(g, col, zbot, ztop, limit, [](float, float) {});
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
VELMORA_TARGET_AVX2 inline Bits classify32_avx2(const float* v, float lower, float upper, float null_value) {
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

}  // namespace

template <bool kAvx2>
__attribute__((always_inline)) inline void RunFinder::find_in(const Grid& g, float null_value, std::int64_t j0,
                                                              std::int32_t rows, std::vector<Run>& runs) {
    const std::int64_t d0 = g.dims[0], layer = d0 * g.dims[1];
    const auto levels = static_cast<std::int32_t>(g.dims[2]);
    const std::int64_t words = (d0 + 31) / 32;
    open_.assign(static_cast<std::size_t>(words * rows), 0);
    null_.assign(open_.size(), 0);
    start_.assign(static_cast<std::size_t>(d0 * rows), 0);
    for (std::int32_t k = 0; k < levels; ++k)
        for (std::int32_t jj = 0; jj < rows; ++jj) {
            const float* row = g.data + k * layer + (j0 + jj) * d0;
            std::int32_t* first = start_.data() + jj * d0;
            for (std::int64_t w = 0; w < words; ++w) {
                const auto c0 = static_cast<std::int32_t>(32 * w);
                const int n = static_cast<int>(std::min<std::int64_t>(32, d0 - c0));
                Bits b;
                if constexpr (kAvx2)
                    b = n == 32 ? classify32_avx2(row + c0, g.lower, g.upper, null_value)
                                : classify(row + c0, n, g.lower, g.upper, null_value);
                else
                    b = classify(row + c0, n, g.lower, g.upper, null_value);
                std::uint32_t& was_open = open_[static_cast<std::size_t>(jj * words + w)];
                std::uint32_t& was_null = null_[static_cast<std::size_t>(jj * words + w)];
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
            for (std::uint32_t o = open_[static_cast<std::size_t>(jj * words + w)]; o != 0; o &= o - 1) {
                const auto c = static_cast<std::int32_t>(32 * w + __builtin_ctz(o));
                const std::int32_t s = start_[static_cast<std::size_t>(jj * d0 + c)];
                if (levels - 1 > s) runs.push_back(Run{c, jj, s, levels - 1});
            }
}

void RunFinder::find(const Grid& g, float null_value, std::int64_t j0, std::int32_t rows, std::vector<Run>& runs) {
    if (cpu::avx2())
        find_avx2(g, null_value, j0, rows, runs);
    else
        find_in<false>(g, null_value, j0, rows, runs);
}

VELMORA_TARGET_AVX2 void RunFinder::find_avx2(const Grid& g, float null_value, std::int64_t j0, std::int32_t rows,
                                              std::vector<Run>& runs) {
    find_in<true>(g, null_value, j0, rows, runs);
}

bool count_points(const Grid& g, LineRecord* recs, std::size_t count, std::int64_t budget) {
    if (g.spacing == Spacing::Constant && cpu::avx2()) return count_constant_avx2(g.length, recs, count, budget);
    for (std::size_t q = 0; q < count; ++q) {
        // One sample more than the budget holds is enough to refuse.
        recs[q].n = count_samples(g, column_of(g, recs[q].i, recs[q].j), recs[q].zbot, recs[q].ztop, budget) + 1;
        budget -= recs[q].n;
        if (budget < 0) return false;
    }
    return true;
}

bool wide_writer(const Grid& g, const LineStore& store) {
    return cpu::avx2() && g.dims[0] * g.dims[1] * g.dims[2] <= INT32_MAX && store.windows.size() <= INT32_MAX;
}

void write_lines(const Grid& g, const LineStore& store, bool wide, const LineRecord* const* recs, std::size_t count,
                 float* coord, float* values) {
    if (wide) {
        write_lines_avx2(g, recs, count, store.windows.data(), coord, values);
        return;
    }
    for (std::size_t q = 0; q < count; ++q)
        write_line(g, store.windows.data(), *recs[q], coord + 3 * recs[q]->first, values + recs[q]->first);
}

}  // namespace velmora::rain_mesh
