// Storm cells followed from one volume to the next. Each cell of a volume is
// linked to at most one cell of the volume before: the candidates are the
// pairs within the maximum speed whose predicted footprint overlaps, or
// whose predicted centre lies near; the links are the one-to-one assignment
// of greatest total score (a maximum weighted matching). A cell left over
// that overlaps a linked one has split off it; a cell that ends overlapping
// a linked one has merged into it. docs/tracking.md gives the method.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora::tracking {

// One cell of one volume, as the analysis measured it.
struct Cell {
    int no = 0;                          // its number in the volume's analysis
    double x = 0, y = 0, z = 0;          // reflectivity-weighted centre, km
    int voxels = 0;
    double volume_km3 = 0, top_km = 0, max_dbz = 0;
    std::vector<std::int32_t> columns;   // the columns it covers, j * nx + i, ascending
};

// One volume: its time and its cells, and the plan view of its echo.
struct Frame {
    double time = 0;                     // s
    std::vector<Cell> cells;
    std::vector<float> column_max;       // nx x ny, x fastest; NaN where no value
};

// The grid every volume of a series shares; x, y in km, evenly spaced.
struct Plane {
    std::vector<float> x, y;
};

struct Settings {
    double max_speed = 30.0;   // m/s: no link moves faster
    double max_gap = 0.0;      // s: longer gaps end tracks; 0: twice the usual interval
};

enum class Event { Start, Continue, Split, Merge, End };
const char* event_name(Event e);

// A cell of a volume on its track.
struct Row {
    std::size_t frame = 0;
    std::size_t cell = 0;      // index into that frame's cells
    int track = 0;             // from 1, in order of first appearance
    double u = NAN, v = NAN;   // m/s since the volume before; NaN at a track's start
    int parent = 0;            // the track split off or merged into; 0 when none
    Event event = Event::Continue;
};

// The rows of every cell of every frame, frame by frame and in cell order.
// Frames must be in time order (std::invalid_argument otherwise).
std::vector<Row> track(const Plane& plane, const std::vector<Frame>& frames, const Settings& s);

}  // namespace velmora::tracking
