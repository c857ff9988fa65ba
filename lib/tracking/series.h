// A synthetic series of volumes for tracking: convective cells moving
// across a 160 x 120 km grid, one fast (more than its own size per volume),
// one that splits in two, two that merge, one that grows and one that
// decays, and the true tracks.
#pragma once

#include <string>
#include <vector>

#include "io/volume.h"

namespace velmora::tracking {

// Where a true cell is at one time.
struct TruePosition {
    int track = 0;
    double time = 0;           // s since the first volume
    double x = 0, y = 0;       // km
    std::string event;         // start, continue, split, merge, end
    int parent = 0;
};

struct Series {
    std::vector<Volume> volumes;   // with their times
    std::vector<TruePosition> truth;
};

// count volumes, interval s apart from 2006-01-20T00:00:00Z; at least 2.
Series synthetic_series(int count, double interval);

}  // namespace velmora::tracking
