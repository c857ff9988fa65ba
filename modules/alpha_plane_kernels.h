// AlphaPlane's kernels: the transfer function and the accumulation of the
// samples of every column, sample by sample in the baseline, many samples
// per instruction where the processor offers AVX2 or AVX-512.
#pragma once

#include <cmath>
#include <cstdint>

namespace velmora::alpha_plane {

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
inline float near_limit() {
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


// Whether the projection along `axis` takes the 512-bit pass, which writes
// every output node in its first pass over it and the null value of the
// unreached ones in its last.
bool wide_pass(int axis);

// Every input node adds its opacity and its value to its output node, in
// storage order; `reached` (null when the values have no null value) marks
// the output nodes some sample reached, and f is room for dims[0] opacities.
void project(const Sources& s, const Transfer& tf, int axis, const std::int64_t* dims, float* alpha, float* data,
             unsigned char* reached, float* f, bool wide);

}  // namespace velmora::alpha_plane
