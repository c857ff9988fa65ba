// What CalcStatistic's update and its kernels (statistic_kernels.cpp) share:
// the inputs as plain arrays and the results of every area.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

#include "frame.h"

namespace velmora::statistic {

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

// Gathers the nodes of every area no_min .. no_max and computes all their
// statistics into r. Returns 1, or -1 with the message formatted.
int compute(Frame& f, const Input& in, const NodeData* nd, Results& r);

}  // namespace velmora::statistic
