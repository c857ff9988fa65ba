// CalcStatistic's kernels: the index from area number to its nodes, and the
// statistics of every area over it, several areas side by side in vector
// lanes (statistic_lanes.h).
//
// Every sum of an area is formed over the same nodes in the same order and
// with the same precisions as two passes over all nodes per area would form
// it, so the results are the same to the last bit (a NaN stays a NaN; which
// one, where NaNs of different signs meet in an addition, is the processor's
// choice in either computation).
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

#include <immintrin.h>

#include "cpu_paths.h"
#include "statistic.h"

// The lane vectors below never cross a call out of this file, so the warning
// about passing vectors wider than the baseline registers does not concern
// them (it is raised where the templates are instantiated, at the file's end).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace velmora::statistic {
namespace {

// Consecutive nodes [first, last) of one area.
template <class Index>
struct Run {
    Index first, last;
};

// The index from area number to its nodes: the runs of consecutive nodes
// that carry the number, area by area, each area's runs in ascending node
// order. Connected pieces of a surface come as long runs, so walking them
// reads coordinates and values in order.
template <class Index>
struct NodeIndex {
    Heap<std::int64_t[]> at;   // nsurf + 1 offsets: area a owns runs[at[a]] .. runs[at[a + 1] - 1]
    Heap<Run<Index>[]> runs;
    Heap<std::int64_t[]> order;   // the areas that have nodes, largest first
    std::int64_t filled = 0;      // how many they are
};

// The end of the run of equal numbers that starts at node first (first <
// nnodes): the next node with another number, or nnodes. Short runs are
// looked at node by node, long ones sixteen numbers at a time.
std::int64_t run_end(const std::int32_t* area, std::int64_t first, std::int64_t nnodes) {
    const std::int32_t number = area[first];
    std::int64_t n = first + 1;
    const std::int64_t head = std::min(nnodes, first + 8);
    while (n < head && area[n] == number) ++n;
    if (n < head || n == nnodes) return n;
    const __m128i want = _mm_set1_epi32(number);
    for (; n + 16 <= nnodes; n += 16) {
        const auto* p = reinterpret_cast<const __m128i*>(area + n);
        const __m128i same = _mm_and_si128(
            _mm_and_si128(_mm_cmpeq_epi32(_mm_loadu_si128(p), want), _mm_cmpeq_epi32(_mm_loadu_si128(p + 1), want)),
            _mm_and_si128(_mm_cmpeq_epi32(_mm_loadu_si128(p + 2), want), _mm_cmpeq_epi32(_mm_loadu_si128(p + 3), want)));
        if (_mm_movemask_epi8(same) != 0xFFFF) break;
    }
    while (n < nnodes && area[n] == number) ++n;
    return n;
}

// Builds the index in one sweep over the area numbers and counts the nodes
// of every area. Nodes whose number lies outside no_min..no_max belong to no
// area.
template <class Index>
int build_index(Frame& f, const Input& in, Results& r, NodeIndex<Index>& ix) {
    ix.at = heap_array<std::int64_t>(r.nsurf + 1);
    if (!ix.at) return f.fail("%s : can not allocate memory(index).\n");
    std::int64_t* at = ix.at.get();
    std::fill_n(at, r.nsurf + 1, 0);

    // The runs in node order with their areas (a < nsurf <= INT_MAX), then
    // sorted by area keeping that order.
    struct Found {
        Run<Index> run;
        std::int32_t area;
    };
    std::vector<Found> found;
    try {
        found.reserve(4096);
        for (std::int64_t first = 0; first < in.nnodes;) {
            const std::int64_t last = run_end(in.area, first, in.nnodes);
            const std::int64_t a = static_cast<std::int64_t>(in.area[first]) - r.no_min;
            if (a >= 0 && a < r.nsurf) {
                found.push_back(Found{{static_cast<Index>(first), static_cast<Index>(last)}, static_cast<std::int32_t>(a)});
                ++at[a + 1];
                r.npoints[a] += last - first;
            }
            first = last;
        }
    } catch (const std::bad_alloc&) {
        return f.fail("%s : can not allocate memory(index).\n");
    }
    for (std::int64_t a = 0; a < r.nsurf; ++a) at[a + 1] += at[a];
    ix.runs = heap_array<Run<Index>>(std::max<std::int64_t>(at[r.nsurf], 1));
    if (!ix.runs) return f.fail("%s : can not allocate memory(index).\n");
    // Filling moves each start to the next area's start; shift them back.
    for (const Found& run : found) ix.runs[at[run.area]++] = run.run;
    for (std::int64_t a = r.nsurf; a > 0; --a) at[a] = at[a - 1];
    at[0] = 0;

    // Largest areas first, so that the lanes (below) end together.
    ix.filled = 0;
    for (std::int64_t a = 0; a < r.nsurf; ++a)
        if (r.npoints[a] > 0) ++ix.filled;
    ix.order = heap_array<std::int64_t>(std::max<std::int64_t>(ix.filled, 1));
    if (!ix.order) return f.fail("%s : can not allocate memory(index).\n");
    std::int64_t k = 0;
    for (std::int64_t a = 0; a < r.nsurf; ++a)
        if (r.npoints[a] > 0) ix.order[k++] = a;
    std::stable_sort(ix.order.get(), ix.order.get() + k,
                     [&](std::int64_t p, std::int64_t q) { return r.npoints[p] > r.npoints[q]; });
    return 1;
}

namespace baseline {
#include "statistic_lanes.h"
}   // namespace baseline

// The wide build of the lanes: the same target as VELMORA_TARGET_AVX2 (clang,
// which builds the fuzz targets, says it with an attribute).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
#define STATISTIC_LANES_AVX2
namespace avx2 {
#include "statistic_lanes.h"
}   // namespace avx2
#undef STATISTIC_LANES_AVX2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// The statistics of every area.
template <class Index>
void statistics(const Input& in, const NodeData* nd, Results& r, const NodeIndex<Index>& ix) {
    // The lanes take 256-bit registers where the processor has avx2 (and
    // fma), 128-bit ones otherwise; both give the same bits.
    const bool avx = cpu::avx2();
    if (avx)
        avx2::sums(in, nd, r, ix);
    else
        baseline::sums(in, nd, r, ix);

    const int nc = r.ncomp;
    for (std::int64_t a = 0; a < r.nsurf; ++a) {
        // The mean divides by all nodes of the area, valid or not.
        const std::int64_t npoints = r.npoints[a];
        const std::int64_t at = a * nc;
        if (npoints >= 1) {
            const auto np = static_cast<float>(npoints);
            for (int j = 0; j < nc; ++j) r.dave[at + j] = r.mean[at + j] / np;
            for (int k = 0; k < 3; ++k) r.centre[3 * a + k] /= np;
        }
        for (int j = 0; j < nc; ++j) {
            float* w = r.wav.get() + (at + j) * 3;
            if (r.sum[at + j] > 0)
                for (int k = 0; k < 3; ++k) w[k] /= r.sum[at + j];
            if (r.cnt[at + j] < 1) r.dmin[at + j] = r.dmax[at + j] = 0.0f;
        }
    }

    if (avx)
        avx2::deviations(nd, r, ix);
    else
        baseline::deviations(nd, r, ix);
    for (std::int64_t i = 0; i < r.nsurf * nc; ++i)
        if (r.cnt[i] >= 1)
            r.sv[i] = static_cast<float>(std::sqrt(static_cast<double>(r.sv[i] / static_cast<float>(r.cnt[i]))));
}

}  // namespace

// Builds the index and computes every area. Node numbers are held in 32 bits
// whenever they fit, halving the index.
int compute(Frame& f, const Input& in, const NodeData* nd, Results& r) {
    auto with = [&](auto ix) {
        if (build_index(f, in, r, ix) != 1) return -1;
        statistics(in, nd, r, ix);
        return 1;
    };
    if (in.nnodes <= static_cast<std::int64_t>(UINT32_MAX)) return with(NodeIndex<std::uint32_t>{});
    return with(NodeIndex<std::int64_t>{});
}

}  // namespace velmora::statistic
