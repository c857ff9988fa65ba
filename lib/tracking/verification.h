// How good the forecasts of a tracked series have been: when the volume at
// a forecast's valid time is there, the forecast footprints of all cells of
// the volume forecast from are compared with the cells observed, over grid
// columns (hits, misses, false alarms; POD, FAR, CSI), and each forecast
// centre with the centre of its track's cell then. The forecast is made for
// the verifying volume's own time: the volume nearest the valid time within
// the tolerance (half the usual interval between volumes).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tracking/nowcast.h"

namespace velmora::tracking {

// Grid columns forecast and observed.
struct Contingency {
    std::int64_t hits = 0, misses = 0, false_alarms = 0;
    Contingency& operator+=(const Contingency& o);
};
// Probability of detection, false alarm ratio, critical success index;
// NaN where undefined (nothing observed, nothing forecast).
double pod(const Contingency& c);
double far(const Contingency& c);
double csi(const Contingency& c);

// The columns of a forecast against those observed, both ascending and
// without repeats.
Contingency compare(std::span<const std::int32_t> forecast, std::span<const std::int32_t> observed);

// The scores of one method at one lead, summed over the volumes verified.
struct Scores {
    std::int64_t volumes = 0;        // volumes forecast from that were verified
    Contingency columns;
    double centre_error_km = 0.0;    // summed over the centres
    std::int64_t centres = 0;        // forecast cells whose track has a cell at the valid time
    Scores& operator+=(const Scores& o);
    double mean_centre_error() const;   // NaN without centres
};

// The frame of series that verifies the forecasts of frame f at lead (s):
// the frame after f nearest to its time + lead, within tolerance (s); -1 when
// none is.
long verifying_frame(std::span<const TrackedFrame> series, std::size_t f, double lead, double tolerance);

// The forecasts of frame f's cells by method, made for frame v's time,
// against frame v's cells.
Scores verify_pair(std::span<const TrackedFrame> series, std::size_t f, std::size_t v, Method m, const Plane& plane,
                   const TrendSettings& s);

// The scores of a series per lead and method (leads in the order given, the
// methods in the order of kMethods).
struct VerificationRow {
    double lead = 0;   // s
    Method method = Method::Nowcast;
    Scores scores;
};
std::vector<VerificationRow> verify_series(std::span<const TrackedFrame> series, std::span<const double> leads,
                                           const Plane& plane, const TrendSettings& s, double tolerance);

// The table of verify.csv: lead_min, method, volumes, hits, misses,
// false_alarms, pod, far, csi, centre_error_km, centres.
std::string verification_csv(std::span<const VerificationRow> rows);

// The union of several sets of columns, ascending, without repeats.
std::vector<std::int32_t> union_of(const std::vector<std::vector<std::int32_t>>& sets);

}  // namespace velmora::tracking
