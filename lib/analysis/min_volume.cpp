#include "analysis/min_volume.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "analysis/cell_properties.h"

namespace velmora {

namespace {

// The volume of each cell number's voxels, km³ (index 0 unused).
std::vector<double> cell_volumes(std::span<const std::int32_t> labels, const Volume& axes, std::int32_t no_max) {
    const std::size_t nx = axes.x.size(), ny = axes.y.size(), nz = axes.z.size();
    if (labels.size() != nx * ny * nz)
        throw std::invalid_argument("the cell numbers hold " + std::to_string(labels.size()) + " values for " +
                                    std::to_string(nx * ny * nz) + " grid nodes");
    const std::vector<double> ex = voxel_extents(axes.x), ey = voxel_extents(axes.y), ez = voxel_extents(axes.z);
    std::vector<double> volume(static_cast<std::size_t>(no_max) + 1, 0.0);
    for_each_labelled(labels, [&](std::int64_t p) {
        const std::int32_t no = labels[static_cast<std::size_t>(p)];
        if (no < 0 || no > no_max)
            throw std::invalid_argument("cell number " + std::to_string(no) + " outside 1.." + std::to_string(no_max));
        const std::size_t n = static_cast<std::size_t>(p), i = n % nx, j = n / nx % ny, k = n / (nx * ny);
        volume[static_cast<std::size_t>(no)] += ex[i] * ey[j] * ez[k];
    });
    return volume;
}

}  // namespace

CellSieve sieve_cells(std::span<std::int32_t> labels, const Volume& axes, std::int32_t no_max, double min_km3) {
    CellSieve s;
    if (no_max < 1) return s;
    const std::vector<double> volume = cell_volumes(labels, axes, no_max);
    // The new number of each old one, 0 for those left out.
    std::vector<std::int32_t> renumbered(volume.size(), 0);
    std::int32_t next = 0;
    for (std::size_t no = 1; no < volume.size(); ++no) {
        if (volume[no] <= 0.0) continue;   // a number the division left empty
        ++s.found;
        if (volume[no] < min_km3) {
            ++s.dropped;
            continue;
        }
        renumbered[no] = ++next;
    }
    if (s.dropped == 0) return s;
    for_each_labelled(labels, [&](std::int64_t p) {
        std::int32_t& no = labels[static_cast<std::size_t>(p)];
        no = renumbered[static_cast<std::size_t>(no)];
    });
    s.renumbered = std::move(renumbered);
    return s;
}

std::string min_volume_problem(double min_km3) {
    if (!std::isfinite(min_km3) || min_km3 < 0.0) return "the least volume of a cell must be a finite number of km³, 0 or more";
    return "";
}

std::string sieve_text(const CellSieve& s, double min_km3) {
    if (s.dropped == 0) return "";
    char text[160];
    std::snprintf(text, sizeof text, "%d cell%s found, %d kept: %d smaller than %g km³", s.found,
                  s.found == 1 ? "" : "s", s.kept(), s.dropped, min_km3);
    return text;
}

}  // namespace velmora
