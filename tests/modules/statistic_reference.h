// The statistics computed directly: per area one pass for the sums and one for the deviation.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vref {
// Internal to each program that includes it, so that the compiler may specialise it as a local function.
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
    const std::size_t ncomp = value.size();
    const float highest = std::numeric_limits<float>::max();
    auto valid = [&](std::size_t j, std::int64_t n) { return std::fabs(value[j][n] - null_value[j]) > 1e-6; };
    std::vector<RefArea> out;
    for (int no = no_min; no <= no_max; ++no) {
        RefArea r{no, 0, std::vector<float>(ncomp, highest), std::vector<float>(ncomp, -highest),
                  std::vector<float>(ncomp), std::vector<float>(ncomp), std::vector<float>(3 * ncomp)};
        r.maxz = -highest;
        std::vector<std::int64_t> cnt(ncomp, 0);
        std::vector<float> sum(ncomp, 0.0f);
        for (std::int64_t n = 0; n < nnodes; ++n) {
            if (area[n] != no) continue;
            const float xyz[3] = {coord[n * nspace], nspace >= 2 ? coord[n * nspace + 1] : 0.0f,
                                  nspace >= 3 ? coord[n * nspace + 2] : 0.0f};
            r.npoints += 1;
            for (int k = 0; k < 3; ++k) r.centre[k] += xyz[k];
            if (xyz[2] > r.maxz) r.maxz = xyz[2];
            for (std::size_t j = 0; j < ncomp; ++j) {
                if (!valid(j, n)) continue;
                const float v = value[j][n], w = std::fabs(v);
                if (v < r.dmin[j]) r.dmin[j] = v;
                if (v > r.dmax[j]) r.dmax[j] = v;
                cnt[j] += 1;
                r.dave[j] += v;   // the plain sum until divided below
                for (int k = 0; k < 3; ++k)
                    r.wav[3 * j + k] = static_cast<float>(static_cast<double>(xyz[k]) * w + r.wav[3 * j + k]);
                sum[j] = static_cast<float>(static_cast<double>(sum[j]) + w);
            }
        }
        if (r.npoints >= 1) {
            for (float& d : r.dave) d /= r.npoints;
            for (float& c : r.centre) c /= r.npoints;
        }
        for (std::size_t j = 0; j < ncomp; ++j) {
            if (sum[j] > 0)
                for (int k = 0; k < 3; ++k) r.wav[3 * j + k] /= sum[j];
            if (cnt[j] < 1) r.dmin[j] = r.dmax[j] = 0.0f;
        }
        // The deviation, in a second pass over the area's nodes.
        for (std::int64_t n = 0; n < nnodes; ++n)
            for (std::size_t j = 0; j < ncomp && area[n] == no; ++j)
                if (valid(j, n)) r.sv[j] += (value[j][n] - r.dave[j]) * (value[j][n] - r.dave[j]);
        for (std::size_t j = 0; j < ncomp; ++j)
            if (cnt[j] >= 1) r.sv[j] = static_cast<float>(std::sqrt(static_cast<double>(r.sv[j] / cnt[j])));
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace
}  // namespace vref
