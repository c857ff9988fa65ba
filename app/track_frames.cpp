#include "track_frames.h"

#include <algorithm>

namespace velmora::app {

tracking::Frame frame_of(const AnalysisResult& r, const Volume& axes, double time) {
    tracking::Frame f;
    f.time = time;
    f.column_max = r.column_max;
    const std::size_t columns = axes.x.size() * axes.y.size();
    int highest = 0;
    for (const CellMeasures& c : r.cells) highest = std::max(highest, c.no);
    // The columns of each cell, in one pass over the voxels.
    std::vector<std::vector<std::int32_t>> of(static_cast<std::size_t>(highest) + 1);
    for (std::size_t i = 0; i < r.labels.size(); ++i) {
        const std::int32_t no = r.labels[i];
        if (no <= 0 || no > highest) continue;
        auto& list = of[static_cast<std::size_t>(no)];
        const auto col = static_cast<std::int32_t>(i % columns);
        if (list.empty() || list.back() != col) list.push_back(col);
    }
    for (const CellMeasures& c : r.cells) {
        tracking::Cell cell;
        cell.no = c.no;
        cell.x = c.wx;
        cell.y = c.wy;
        cell.z = c.wz;
        cell.voxels = c.voxels;
        cell.top_km = c.top_km;
        cell.max_dbz = c.max;
        auto& list = of[static_cast<std::size_t>(c.no)];
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
        cell.columns = std::move(list);
        f.cells.push_back(std::move(cell));
    }
    return f;
}

}  // namespace velmora::app
