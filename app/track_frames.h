// The cells of an analysis as a frame of a tracked series.
#pragma once

#include "cell_analysis.h"
#include "tracker.h"

namespace velmora::app {

// The frame of an analysis: its cells with their weighted centres and the
// columns each covers, and the plan view of its echo. time in s.
tracking::Frame frame_of(const AnalysisResult& r, const Volume& axes, double time);

}  // namespace velmora::app
