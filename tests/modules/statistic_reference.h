// The statistics of CalcStatistic computed directly: for every area, one
// pass over all nodes for the sums and one for the deviation. The tests hold
// the module to it bit for bit; the benchmark measures the module against it.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vref {
// Internal to each program that includes it, so that the compiler may
// specialise it for the call at hand as it would a local function.
namespace {

struct RefArea {
    int no = 0, npoints = 0;
    std::vector<float> dmin, dmax, dave, sv, wav;   // wav: x, y, z per component
    float centre[3] = {0, 0, 0};
    float maxz = 0;
};

std::vector<RefArea> reference_statistics(const std::vector<std::int32_t>& area, const std::vector<float>& coord,
                                                 int nspace, const std::vector<std::vector<float>>& value,
                                                 const std::vector<float>& null_value, int no_min, int no_max) {
    const auto nnodes = static_cast<std::int64_t>(area.size());
    const int ncomp = static_cast<int>(value.size());
    std::vector<RefArea> out;
    for (int no = no_min; no <= no_max; ++no) {
        RefArea r;
        r.no = no;
        r.dmin.assign(ncomp, std::numeric_limits<float>::max());
        r.dmax.assign(ncomp, -std::numeric_limits<float>::max());
        r.dave.assign(ncomp, 0.0f);
        r.sv.assign(ncomp, 0.0f);
        r.wav.assign(3 * ncomp, 0.0f);
        r.maxz = -std::numeric_limits<float>::max();
        std::vector<std::int64_t> cnt(ncomp, 0);
        std::vector<float> sum(ncomp, 0.0f), mean(ncomp, 0.0f);
        for (std::int64_t n = 0; n < nnodes; ++n) {
            float x = coord[n * nspace];
            float y = nspace >= 2 ? coord[n * nspace + 1] : 0.0f;
            float z = nspace >= 3 ? coord[n * nspace + 2] : 0.0f;
            if (area[n] != no) continue;
            r.npoints += 1;
            r.centre[0] += x;
            r.centre[1] += y;
            r.centre[2] += z;
            if (z > r.maxz) r.maxz = z;
            for (int j = 0; j < ncomp; ++j) {
                float v = value[j][n];
                if (!(std::fabs(v - null_value[j]) > 1e-6)) continue;
                if (v < r.dmin[j]) r.dmin[j] = v;
                if (v > r.dmax[j]) r.dmax[j] = v;
                cnt[j] += 1;
                mean[j] += v;
                float w = std::fabs(v);
                r.wav[3 * j] = static_cast<float>(static_cast<double>(x) * w + r.wav[3 * j]);
                r.wav[3 * j + 1] = static_cast<float>(static_cast<double>(y) * w + r.wav[3 * j + 1]);
                r.wav[3 * j + 2] = static_cast<float>(static_cast<double>(z) * w + r.wav[3 * j + 2]);
                sum[j] = static_cast<float>(static_cast<double>(sum[j]) + w);
            }
        }
        if (r.npoints >= 1) {
            for (int j = 0; j < ncomp; ++j) r.dave[j] = mean[j] / r.npoints;
            for (float& c : r.centre) c /= r.npoints;
        }
        for (int j = 0; j < ncomp; ++j)
            if (sum[j] > 0)
                for (int k = 0; k < 3; ++k) r.wav[3 * j + k] /= sum[j];
        for (int j = 0; j < ncomp; ++j)
            if (cnt[j] < 1) r.dmin[j] = r.dmax[j] = 0.0f;
        for (std::int64_t n = 0; n < nnodes; ++n) {
            if (area[n] != no) continue;
            for (int j = 0; j < ncomp; ++j) {
                float v = value[j][n];
                if (!(std::fabs(v - null_value[j]) > 1e-6)) continue;
                r.sv[j] += (v - r.dave[j]) * (v - r.dave[j]);
            }
        }
        for (int j = 0; j < ncomp; ++j)
            if (cnt[j] >= 1) r.sv[j] = static_cast<float>(std::sqrt(static_cast<double>(r.sv[j] / cnt[j])));
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace
}  // namespace vref
