// Alerts: a cell whose property reaches a threshold (MESH of 25 mm, say) is
// an alert of its track, recorded once in the watcher's state with the volume
// and time it first crossed, so that the list survives a restart and a track
// is never alerted twice for the same property.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "analysis/cell_properties.h"
#include "tracking/nowcast.h"

namespace velmora::realtime {

// A property of the cells' table (cell_properties.csv's column name) at or
// above a threshold.
struct AlertRule {
    std::string property;
    double threshold = 0;
};

// The defaults, watch's --alert of the options table (MESH of 25 mm, POSH of
// 50 %). Both are measured only with the hail levels.
std::vector<AlertRule> default_alerts();

// "mesh_mm=25" as a rule; std::invalid_argument saying why not (the
// property must be one of the cells' table's columns).
AlertRule alert_rule(const std::string& text);

struct Alert {
    int track = 0, cell = 0;
    std::string property;
    double threshold = 0, value = 0;
};

// The cells of t at or above a rule's threshold, one alert per track and
// property, in cell order.
std::vector<Alert> crossings(const tracking::TrackedFrame& t, const PropertyTable& properties,
                             std::span<const AlertRule> rules);

}  // namespace velmora::realtime
