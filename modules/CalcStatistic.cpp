// CalcStatistic: statistics of every numbered area of a divided surface or
// volume. For each area number no_min..no_max: the node count, per component
// the minimum, maximum, mean and standard deviation of the valid values, the
// arithmetic centre, per component the centre weighted by |value|, and the
// highest z. Published as the statistic parameter group (`nsurf`,
// `sparam[i]`), plus a point per non-empty area in `olabel` whose number goes
// to `no_label`.
//
// The nodes of every area are gathered once per run into an index (area
// number -> the runs of consecutive nodes that carry it, in ascending order);
// each area then walks its own nodes twice, several areas side by side in
// vector lanes (statistic_lanes.h). Every sum of an area is formed over the
// same nodes in the same order and with the same precisions as two passes
// over all nodes per area would form it, so the results are the same to the
// last bit (a NaN stays a NaN; which one, where NaNs of different signs meet
// in an addition, is the processor's choice in either computation).
#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#include <immintrin.h>

#include "frame.h"

// The lane vectors below never cross a call out of this file, so the warning
// about passing vectors wider than the baseline registers does not concern
// them (it is raised where the templates are instantiated, at the file's end).
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

using velmora::Frame;
using velmora::Heap;
using velmora::heap_array;
using velmora::HostArray;

// A value is valid when its single-precision distance from its component's
// null value exceeds 1e-6. No float lies between 1e-6f (just below 1e-6) and
// 1e-6, so comparing the float distance with 1e-6f decides exactly as
// comparing it with the double 1e-6 would, without a conversion per value.
constexpr float kNullEpsilon = 1e-6f;
static_assert(kNullEpsilon < 1e-6 && std::bit_cast<float>(std::bit_cast<std::uint32_t>(kNullEpsilon) + 1) > 1e-6);
constexpr float kFloatMax = std::numeric_limits<float>::max();   // bit pattern 0x7F7FFFFF

// One component of `in`: its values (read-only host array), the value that
// marks a node as missing, and its label.
struct NodeData {
    HostArray<float> value;
    float null_value = 0.0f;
    char label[velmora::kLabelSize] = "";
};

// The results of every area, as flat arrays: area a's component j sits at
// a * ncomp + j, its centres at a * 3 and its weighted centres at
// (a * ncomp + j) * 3.
struct Results {
    int no_min = 0;
    std::int64_t nsurf = 0;
    int ncomp = 0;
    Heap<std::int64_t[]> npoints;
    Heap<float[]> maxz, centre;
    Heap<float[]> dmin, dmax, dave, sv, wav;
    // Scratch, at a * ncomp + j: count of valid values, sum of |value| and
    // sum of values.
    Heap<std::int64_t[]> cnt;
    Heap<float[]> sum, mean;
};

// What the statistics read, all checked to hold nnodes nodes.
struct Input {
    std::int64_t nnodes = 0;
    const std::int32_t* area = nullptr;
    const float* coord = nullptr;
    int nspace = 0;
};

// Allocates the results and the scratch arrays; the messages name the array
// that could not be had.
int allocate(Frame& f, Results& r) {
    const std::int64_t n = r.nsurf, nc = r.nsurf * r.ncomp;
    r.npoints = heap_array<std::int64_t>(n);
    r.maxz = heap_array<float>(n);
    r.centre = heap_array<float>(3 * n);
    if (!r.npoints || !r.maxz || !r.centre) return f.fail("%s : can not allocate memory(StatisticParam.\n");
    if (!(r.dmin = heap_array<float>(nc))) return f.fail("%s : can not allocate memory(sparam.dmin).\n");
    if (!(r.dmax = heap_array<float>(nc))) return f.fail("%s : can not allocate memory(sparam.dmax).\n");
    if (!(r.dave = heap_array<float>(nc))) return f.fail("%s : can not allocate memory(sparam.dave).\n");
    if (!(r.sv = heap_array<float>(nc))) return f.fail("%s : can not allocate memory(sparam.sv).\n");
    if (!(r.wav = heap_array<float>(3 * nc))) return f.fail("%s : can not allocate memory(sparam.wav_arr).\n");
    if (!(r.cnt = heap_array<std::int64_t>(nc))) return f.fail("%s : can not allocate memory(cnt).\n");
    if (!(r.sum = heap_array<float>(nc))) return f.fail("%s : can not allocate memory(sum).\n");
    if (!(r.mean = heap_array<float>(nc))) return f.fail("%s : can not allocate memory(mean).\n");

    std::fill_n(r.npoints.get(), n, 0);
    std::fill_n(r.maxz.get(), n, -kFloatMax);
    std::fill_n(r.centre.get(), 3 * n, 0.0f);
    std::fill_n(r.dmin.get(), nc, kFloatMax);
    std::fill_n(r.dmax.get(), nc, -kFloatMax);
    std::fill_n(r.dave.get(), nc, 0.0f);
    std::fill_n(r.sv.get(), nc, 0.0f);
    std::fill_n(r.wav.get(), 3 * nc, 0.0f);
    std::fill_n(r.cnt.get(), nc, 0);
    std::fill_n(r.sum.get(), nc, 0.0f);
    std::fill_n(r.mean.get(), nc, 0.0f);
    return 1;
}

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

// The lanes take 256-bit registers where the processor has avx2 (and fma,
// which every processor with avx2 has had), 128-bit ones otherwise; both give
// the same bits.
bool use_avx2() {
    __builtin_cpu_init();
    return velmora::kWidePaths && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// The statistics of every area.
template <class Index>
void statistics(const Input& in, const NodeData* nd, Results& r, const NodeIndex<Index>& ix) {
    const bool avx = use_avx2();
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

OMobj_id sub(OMobj_id parent, const char* name) { return OMfind_subobj(&parent, OMstr_to_name(name), OM_OBJ_RW); }

OMobj_id element(OMobj_id parent, const char* fmt, std::int64_t i) {
    char path[64];
    std::snprintf(path, sizeof path, fmt, static_cast<long long>(i));
    return OMfind_str_subobj(&parent, path, OM_OBJ_RW);
}

void set_real(OMobj_id obj, const char* name, double v) { OMset_name_real_val(&obj, OMstr_to_name(name), v); }

// The names an entry is written through, converted once per run rather than
// once per entry.
struct EntryNames {
    OMobj_name no = OMstr_to_name("no"), npoints = OMstr_to_name("npoints"), ncomp = OMstr_to_name("ncomp");
    OMobj_name data_min = OMstr_to_name("data_min"), data_max = OMstr_to_name("data_max");
    OMobj_name data_ave = OMstr_to_name("data_ave"), sv = OMstr_to_name("sv");
    OMobj_name label = OMstr_to_name("label"), aav = OMstr_to_name("aav"), maxz = OMstr_to_name("maxz");
    OMobj_name x = OMstr_to_name("x"), y = OMstr_to_name("y"), z = OMstr_to_name("z");
};

void set_xyz(const EntryNames& names, OMobj_id obj, const float* xyz) {
    OMset_name_real_val(&obj, names.x, xyz[0]);
    OMset_name_real_val(&obj, names.y, xyz[1]);
    OMset_name_real_val(&obj, names.z, xyz[2]);
}

// A float array of the entry to fill; only one of exactly ncomp floats will do.
bool entry_array(OMobj_id entry, OMobj_name name, int ncomp, HostArray<float>& out) {
    std::int64_t size = 0;
    int type = -1;
    out.reset(OMret_name_array_ptr(&entry, name, OM_GET_ARRAY_WR, &size, &type));
    return out && size == ncomp && type == DTYPE_FLOAT;
}

// Writes nsurf and every entry sparam[i]; a failing entry stops the run with
// the entries before it already written.
int publish(Frame& f, const Results& r, const NodeData* nd) {
    const int nc = r.ncomp;
    const EntryNames names;
    f.set_int("nsurf", static_cast<int>(r.nsurf));
    for (std::int64_t i = 0; i < r.nsurf; ++i) {
        OMobj_id e = element(f.self, "sparam[%lld]", i);
        OMset_name_int_val(&e, names.no, static_cast<int>(r.no_min + i));
        OMset_name_int_val(&e, names.npoints, static_cast<int>(std::min<std::int64_t>(r.npoints[i], INT_MAX)));
        OMset_name_int_val(&e, names.ncomp, nc);
        HostArray<float> amin, amax, aave, asv;
        if (!entry_array(e, names.data_min, nc, amin)) return f.fail("%s : can not get data_min.\n");
        if (!entry_array(e, names.data_max, nc, amax)) return f.fail("%s : can not get data_max.\n");
        if (!entry_array(e, names.data_ave, nc, aave)) return f.fail("%s : can not get data_ave.\n");
        if (!entry_array(e, names.sv, nc, asv)) return f.fail("%s : can not get sv.\n");
        std::copy_n(r.dmin.get() + i * nc, nc, amin.get());
        std::copy_n(r.dmax.get() + i * nc, nc, amax.get());
        std::copy_n(r.dave.get() + i * nc, nc, aave.get());
        std::copy_n(r.sv.get() + i * nc, nc, asv.get());

        OMobj_id labels = OMfind_subobj(&e, names.label, OM_OBJ_RW);
        for (int j = 0; j < nc; ++j) OMset_str_array_val(&labels, j, nd[j].label);
        set_xyz(names, OMfind_subobj(&e, names.aav, OM_OBJ_RW), r.centre.get() + i * 3);
        for (int j = 0; j < nc; ++j) set_xyz(names, element(e, "wav[%lld]", j), r.wav.get() + (i * nc + j) * 3);
        OMset_name_real_val(&e, names.maxz, r.maxz[i]);
    }
    return 1;
}

// Plane mode: the data lie in a plane that the transform of `in` lifts to
// the height xlate.z / mat[10]; the published centres take that height.
int apply_plane(Frame& f, OMobj_id in) {
    OMobj_id xform = sub(in, "xform");
    HostArray<float> xlate, mat;
    std::int64_t size = 0;
    int type = -1;
    xlate.reset(OMret_name_array_ptr(&xform, OMstr_to_name("xlate"), OM_GET_ARRAY_RD, &size, &type));
    if (!xlate || size != 3 || type != DTYPE_FLOAT) return f.fail("%s : can not get xlate.\n");
    size = 0;
    type = -1;
    mat.reset(OMret_name_array_ptr(&xform, OMstr_to_name("mat"), OM_GET_ARRAY_RD, &size, &type));
    if (!mat || size != 16 || type != DTYPE_FLOAT) return f.fail("%s : can not get mat.\n");
    const float zp = mat[10] > 0 ? xlate[2] / mat[10] : 0.0f;

    int nsurf = 0;
    f.get_int("nsurf", nsurf);
    for (int i = 0; i < nsurf; ++i) {
        OMobj_id e = element(f.self, "sparam[%lld]", i);
        set_real(sub(e, "aav"), "z", zp);
        int ncomp = 0;
        OMget_name_int_val(&e, OMstr_to_name("ncomp"), &ncomp);
        for (int j = 0; j < ncomp; ++j) set_real(element(e, "wav[%lld]", j), "z", zp);
    }
    return 1;
}

// One point per non-empty area at (centre x, centre y, maxz), or at height 0
// for planar data, and its area number in no_label. Without any non-empty
// area both keep what they held.
int write_labels(Frame& f, const Results& r, bool nspace3) {
    std::int64_t count = 0;
    for (std::int64_t a = 0; a < r.nsurf; ++a)
        if (r.npoints[a] >= 1) ++count;
    if (count == 0) return 1;

    OMobj_id olabel = f.find("olabel", OM_OBJ_RW);
    FLDset_nnodes(&olabel, count);
    FLDset_nspace(&olabel, 3);
    HostArray<float> coord;
    FLDget_coord(&olabel, coord.out(), coord.size_out(), OM_GET_ARRAY_WR);
    if (!coord || coord.size() < 3 * count) return f.fail("%s : can not get coord.\n");
    std::int64_t k = 0;
    for (std::int64_t a = 0; a < r.nsurf; ++a) {
        if (r.npoints[a] < 1) continue;
        coord[3 * k] = r.centre[3 * a];
        coord[3 * k + 1] = r.centre[3 * a + 1];
        coord[3 * k + 2] = nspace3 ? r.maxz[a] : 0.0f;
        ++k;
    }
    coord.release();

    // The cell set's type (points) comes from the declaration of olabel.
    FLDset_ncell_sets(&olabel, 0);
    FLDset_ncell_sets(&olabel, 1);
    OMobj_id set = OMnull_obj;
    FLDget_cell_set(&olabel, 0, &set);
    FLDset_ncells(&set, count);
    HostArray<std::int64_t> connect;
    FLDget_node_connect(&set, connect.out(), connect.size_out(), OM_GET_ARRAY_WR);
    if (!connect || connect.size() < count) return f.fail("%s : can not get node_connect.\n");
    for (std::int64_t m = 0; m < count; ++m) connect[m] = m;
    connect.release();

    OMobj_id labels = f.find("no_label", OM_OBJ_RW);
    k = 0;
    for (std::int64_t a = 0; a < r.nsurf; ++a) {
        if (r.npoints[a] < 1) continue;
        char text[16];
        std::snprintf(text, sizeof text, "%d", static_cast<int>(r.no_min + a));
        OMset_str_array_val(&labels, k++, text);
    }
    return 1;
}

// The checks of the inputs, before anything is read in bulk.
int validate(Frame& f, OMobj_id area, OMobj_id in, std::int64_t nnodes) {
    std::int64_t in_nodes = 0;
    FLDget_nnodes(&in, &in_nodes);
    if (in_nodes < 1) return f.fail("%s : 1 > nnodes, can not calculate statistic_value.\n");
    // The statistics pair node n of area with node n of in; fields of
    // different sizes cannot be paired, so they are refused here.
    if (in_nodes != nnodes) return f.fail("%s : nnodes of area and in differ, can not calculate statistic_value.\n");
    int type = 0, veclen = 0;
    FLDget_node_data_type(&area, 0, &type);
    if (type != DTYPE_INT) return f.fail("%s : the type of areano is wrong(DTYPE_INT only).\n");
    FLDget_node_data_veclen(&area, 0, &veclen);
    if (veclen != 1) return f.fail("%s : the veclen of areano is not 1.\n");
    int ncomp = 0;
    FLDget_node_data_ncomp(&in, &ncomp);
    if (ncomp < 1) return f.fail("%s : can not get nnode_data(in).\n");
    for (int j = 0; j < ncomp; ++j) {
        type = 0;
        veclen = 0;
        FLDget_node_data_type(&in, j, &type);
        if (type != DTYPE_FLOAT) return f.fail("%s : the type of value is wrong(DTYPE_FLOAT only).\n");
        FLDget_node_data_veclen(&in, j, &veclen);
        if (veclen != 1) return f.fail("%s : the veclen of value is not 1.\n");
    }
    return 1;
}

// Label, exclusion value and values of every component of in.
int read_components(Frame& f, OMobj_id in, std::int64_t nnodes, int& ncomp, std::unique_ptr<NodeData[]>& nd) {
    ncomp = 0;
    FLDget_node_data_ncomp(&in, &ncomp);
    if (ncomp < 1) return f.fail("%s : 1 > nnode_data(in).\n");
    nd.reset(new (std::nothrow) NodeData[static_cast<std::size_t>(ncomp)]);
    if (!nd) return f.fail("%s : can not allocate memory(node_data).\n");
    for (int j = 0; j < ncomp; ++j) {
        NodeData& d = nd[j];
        FLDget_node_data_label(&in, j, d.label, velmora::kLabelSize);
        if (d.label[0] == '\0') std::snprintf(d.label, sizeof d.label, "DATA%d", j);
        // The null value applies whether or not the null flag is set; a
        // component without one excludes values within 1e-6 of 0.
        int flag = 0;
        FLDget_node_null_data(&in, j, &flag, reinterpret_cast<char*>(&d.null_value));
        int type = 0;
        FLDget_node_data(&in, j, &type, d.value.out_chars(), d.value.size_out(), OM_GET_ARRAY_RD);
        if (!d.value || d.value.size() < nnodes) return f.fail("%s : can not get node_data[%d].value.\n", j);
    }
    return 1;
}

void update(Frame& f) {
    OMobj_id area = f.find("area", OM_OBJ_RD);
    std::int64_t nnodes = 0;
    FLDget_nnodes(&area, &nnodes);
    if (nnodes < 1) return;

    int nspace3 = 0;
    f.get_int("nspace3", nspace3);   // unreadable: planar
    OMobj_id in = f.find("in", OM_OBJ_RD);
    if (validate(f, area, in, nnodes) != 1) return;

    Results r;
    int no_max = 0;
    if (!f.get_int("no_min", r.no_min)) return (void)f.fail("%s : can not get no_min.\n");
    if (!f.get_int("no_max", no_max)) return (void)f.fail("%s : can not get no_max.\n");
    r.nsurf = static_cast<std::int64_t>(no_max) - r.no_min + 1;
    if (r.nsurf < 1) return (void)f.fail("%s : 1 > the number of isosurface-area.\n");

    Input input;
    input.nnodes = nnodes;
    HostArray<std::int32_t> area_no;
    int type = 0;
    FLDget_node_data(&area, 0, &type, area_no.out_chars(), area_no.size_out(), OM_GET_ARRAY_RD);
    if (!area_no || area_no.size() < nnodes) return (void)f.fail("%s : can not get area_no.\n");
    input.area = area_no.get();
    // More than three coordinates per node: x, y and z are the first three.
    if (FLDget_nspace(&in, &input.nspace) != 1 || input.nspace < 1) return (void)f.fail("%s : can not get nspace.\n");
    HostArray<float> coord;
    FLDget_coord(&in, coord.out(), coord.size_out(), OM_GET_ARRAY_RD);
    if (!coord || coord.size() / input.nspace < nnodes) return (void)f.fail("%s : can not get coordinates.\n");
    input.coord = coord.get();

    std::unique_ptr<NodeData[]> nd;
    if (read_components(f, in, nnodes, r.ncomp, nd) != 1) return;

    // nsurf entries must be countable by the host's int `nsurf`.
    if (r.nsurf > INT_MAX) return (void)f.fail("%s : can not allocate memory(StatisticParam.\n");
    if (allocate(f, r) != 1) return;
    if (compute(f, input, nd.get(), r) != 1) return;

    if (publish(f, r, nd.get()) != 1) return;
    if (nspace3 == 0 && apply_plane(f, in) != 1) return;
    if (write_labels(f, r, nspace3 != 0) != 1) return;
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int CalcStatisticUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
