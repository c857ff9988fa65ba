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
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "options/options.h"

namespace velmora::tracking {

class PhaseCorrelation;

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

// The fastest storms on record: whole squall lines and derechos move at up
// to about 30 m/s on average (the derecho of 29 June 2012 over 27 m/s, that
// of 15 December 2021 28 m/s), their bows faster; docs/tracking.md gives the
// sources. The cap leaves room above them and still stops links no storm
// makes between volumes.
inline constexpr double kDefaultMaxSpeed = options::number("track", "max-speed");   // m/s
// A cell covering at least this share of the footprint predicted for a cell
// before it is that storm whatever the speed: the cap does not apply.
inline constexpr double kSameStormShare = 0.5;

struct Settings {
    double max_speed = kDefaultMaxSpeed;   // m/s: no link moves faster, but for the same storm (kSameStormShare)
    double max_gap = 0.0;                  // s: longer gaps end tracks; 0: twice the usual interval
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

// The motion of the whole echo between two volumes, as the phase
// correlation measures it (m/s east and north); NaN where it was not
// measured (a series' first volume, a gap, a volume without echo or cells).
struct EchoMotion {
    double u = NAN, v = NAN;
    bool measured() const { return !std::isnan(u); }
};

// The links of a series made one volume at a time, as volumes arrive: what
// track() does for a whole series, and what a watcher does for a growing one.
class Linker {
public:
    Linker(Plane plane, Settings s);
    ~Linker();
    Linker(const Linker&) = delete;
    Linker& operator=(const Linker&) = delete;

    // The rows of frame now (the series' frame number index), linked to the
    // rows of the frame before it, last. last_rows hold the events their
    // cells began with (start, split, continue), as start() or link() gave
    // them; those whose track goes on no further become end or merge. New
    // tracks are numbered after tracks, which counts them. Gaps longer than
    // max_gap (s) link nothing. echo, when given, receives the motion of the
    // echo between the two volumes.
    std::vector<Row> link(const Frame& last, std::vector<Row>& last_rows, const Frame& now, std::size_t index,
                          int& tracks, double max_gap, EchoMotion* echo = nullptr);
    // The rows of the first frame of a series: every cell starts a track.
    static std::vector<Row> start(const Frame& now, std::size_t index, int& tracks);

private:
    Plane plane_;
    Settings s_;
    std::unique_ptr<PhaseCorrelation> echo_motion_;   // planned at the first pair
};

// The usual interval of a series: the median of the steps between its frames' times (0 for fewer than two).
double usual_interval(std::span<const double> times);

// The rows of every cell of every frame, frame by frame and in cell order.
// Frames must be in time order (std::invalid_argument otherwise). echo,
// when given, receives the motion of the echo into each frame.
std::vector<Row> track(const Plane& plane, const std::vector<Frame>& frames, const Settings& s,
                       std::vector<EchoMotion>* echo = nullptr);

}  // namespace velmora::tracking
