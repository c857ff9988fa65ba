#include "analysis/track_frames.h"

#include <algorithm>

namespace velmora {

namespace {

// The extent of the grid cell about each coordinate, as numpy.gradient
// gives it: half the way to either neighbour, the whole step at the ends.
std::vector<double> extents(const std::vector<float>& c) {
    std::vector<double> e(c.size(), 1.0);
    if (c.size() < 2) return e;
    e.front() = double(c[1]) - c[0];
    e.back() = double(c.back()) - c[c.size() - 2];
    for (std::size_t i = 1; i + 1 < c.size(); ++i) e[i] = (double(c[i + 1]) - c[i - 1]) / 2.0;
    return e;
}

}  // namespace

std::vector<tracking::Cell> tracked_cells(const std::vector<CellMeasures>& cells, std::span<const std::int32_t> labels,
                                          const Volume& axes) {
    const std::size_t nx = axes.x.size(), columns = nx * axes.y.size();
    const auto ex = extents(axes.x), ey = extents(axes.y), ez = extents(axes.z);
    std::vector<tracking::Cell> out;
    int highest = 0;
    for (const CellMeasures& c : cells) highest = std::max(highest, c.no);
    // The columns of each cell, in one pass over the voxels.
    std::vector<std::vector<std::int32_t>> of(static_cast<std::size_t>(highest) + 1);
    std::vector<double> volume(static_cast<std::size_t>(highest) + 1, 0.0);
    for (std::size_t k = 0; columns > 0 && k < ez.size() && (k + 1) * columns <= labels.size(); ++k) {
        const std::int32_t* level = labels.data() + k * columns;
        for (std::size_t c = 0; c < columns; ++c) {
            const std::int32_t no = level[c];
            if (no <= 0 || no > highest) continue;
            auto& list = of[static_cast<std::size_t>(no)];
            if (list.empty() || list.back() != static_cast<std::int32_t>(c)) list.push_back(static_cast<std::int32_t>(c));
            volume[static_cast<std::size_t>(no)] += ex[c % nx] * ey[c / nx] * ez[k];
        }
    }
    for (const CellMeasures& c : cells) {
        tracking::Cell cell;
        cell.no = c.no;
        cell.x = c.wx;
        cell.y = c.wy;
        cell.z = c.wz;
        cell.voxels = c.voxels;
        cell.top_km = c.top_km;
        cell.max_dbz = c.max;
        cell.volume_km3 = volume[static_cast<std::size_t>(c.no)];
        auto& list = of[static_cast<std::size_t>(c.no)];
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
        cell.columns = std::move(list);
        out.push_back(std::move(cell));
    }
    return out;
}

tracking::Frame frame_of(const AnalysisResult& r, const Volume& axes, double time) {
    tracking::Frame f;
    f.time = time;
    f.column_max = r.column_max;
    f.cells = tracked_cells(r.cells, r.labels, axes);
    return f;
}

}  // namespace velmora
