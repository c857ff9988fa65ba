// Where each cell of a tracked series will be in ten to sixty minutes: its
// centre moved along its track's weighted trend (recent volumes weigh more),
// its area, volume, top and maximum trended the same way, and its footprint
// moved and scaled by the area's trend; a track younger than three volumes
// moves with the echo. Beside it the two baselines forecasts are judged
// against: the footprint carried by the echo's motion without growth
// (Lagrangian persistence) and the footprint left where it is (Eulerian
// persistence). docs/tracking.md gives the method.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tracking/tracker.h"

namespace velmora::tracking {

// The leads forecast unless told otherwise, in s (the table gives minutes).
inline const std::vector<double> kDefaultLeads = [] {
    std::vector<double> s = options::numbers("watch", "leads");
    for (double& v : s) v *= 60.0;
    return s;
}();

// A track's cell at one time.
struct TrackPoint {
    double time = 0;                      // s
    double x = 0, y = 0;                  // km
    double area_km2 = 0, volume_km3 = 0, top_km = 0, max_dbz = 0;
};

enum class Method { Nowcast, Lagrangian, Eulerian };
const char* method_name(Method m);
inline constexpr Method kMethods[] = {Method::Nowcast, Method::Lagrangian, Method::Eulerian};

// A cell's forecast as a function of the lead time: its state when forecast
// and how fast each measure changes.
struct Trend {
    double time = 0;                      // s, of the volume forecast from
    TrackPoint now;                       // the cell then
    double u = 0, v = 0;                  // m/s
    double area_rate = 0, volume_rate = 0, top_rate = 0, max_rate = 0;   // per s
    bool echo = false;                    // moves with the echo (a young track, or a baseline)
};

// The forecast lead s after a trend's time: areas, volumes and tops do not
// fall below 0; scale is the footprint's linear scale (the square root of
// the area's ratio), 0 once the area is gone.
struct Outlook {
    double lead = 0;
    double x = 0, y = 0;
    double area_km2 = 0, volume_km3 = 0, top_km = 0, max_dbz = 0;
    double scale = 1;
};
Outlook outlook(const Trend& t, double lead);

// How many volumes of a track its trend takes, and how fast the weight of a
// step between two of them falls with its age: a trend's rates are the
// weighted mean of the rates between the track's volumes.
struct TrendSettings {
    std::size_t history = 6;              // the latest volumes of the track
    double half_life = 2.0;               // steps: a step weighs half as much as the one two steps later
    std::size_t young = 3;                // tracks of fewer volumes move with the echo and keep their size
    double max_speed = kDefaultMaxSpeed;  // m/s: an echo motion faster than this moves nothing
};

// The trend of a track's latest cell: points are its cells, oldest first
// (at least one), echo the motion of the echo into the latest volume. An
// echo motion faster than max_speed moves nothing (the phase correlation
// found no motion a storm makes); a track's own motion is taken as linked.
Trend trend(std::span<const TrackPoint> points, EchoMotion echo, const TrendSettings& s);
// The baselines: the cell carried by the echo's motion without growth, and
// left where it is.
Trend lagrangian(const TrackPoint& now, EchoMotion echo, const TrendSettings& s);
Trend eulerian(const TrackPoint& now);

// A volume of a tracked series: its frame, the rows of its cells (in cell
// order) and the motion of the echo into it.
struct TrackedFrame {
    Frame frame;
    std::vector<Row> rows;
    EchoMotion echo;
};

// A cell of a frame as a point of its track (its area: its columns).
TrackPoint point_of(const Frame& f, std::size_t cell, const Plane& plane);

// The trends of the cells of series[f], in cell order, by a method: the
// nowcast takes each cell's track back through the frames before it (as
// long as the track has a cell in each), up to s.history volumes.
std::vector<Trend> trends_of(std::span<const TrackedFrame> series, std::size_t f, Method m, const Plane& plane,
                             const TrendSettings& s);

// The columns a cell will cover: its footprint (columns, ascending, centre
// x, y) moved to the outlook's centre and scaled about it, on the plane's
// grid; ascending, those on the grid.
std::vector<std::int32_t> footprint(std::span<const std::int32_t> columns, double x, double y, const Outlook& o,
                                    const Plane& plane);

// The area of one column of the plane, km2.
double column_area(const Plane& plane);

}  // namespace velmora::tracking
