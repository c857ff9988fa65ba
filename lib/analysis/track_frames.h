// The cells of an analysis as a frame of a tracked series.
#pragma once

#include "analysis/cell_analysis.h"
#include "tracking/tracker.h"

namespace velmora {

// The cells of an analysis for tracking: their weighted centres and
// measures, their volume (each voxel the size of its grid cell: half the
// spacing to either neighbour, the whole spacing at the ends) and the columns
// each covers; labels holds the cell of every voxel of the grid of axes, x
// fastest.
std::vector<tracking::Cell> tracked_cells(const std::vector<CellMeasures>& cells, std::span<const std::int32_t> labels,
                                          const Volume& axes);

// The frame of an analysis in memory: its cells and the plan view of its
// echo. time in s.
tracking::Frame frame_of(const AnalysisResult& r, const Volume& axes, double time);

}  // namespace velmora
