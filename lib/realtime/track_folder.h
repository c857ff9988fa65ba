// A finished `velmora track` or `velmora watch` folder read back as a tracked
// series, for verifying its forecasts afterwards: volumes.csv gives the
// volumes in time order with the echo's motion into each, tracks.csv each
// cell's track and measures, and each volume's radar.vti the columns its
// cells cover.
#pragma once

#include <string>
#include <vector>

#include "tracking/nowcast.h"
#include "tracking/verification.h"
#include "options/options.h"

namespace velmora::realtime {

struct TrackFolder {
    tracking::Plane plane;
    std::vector<tracking::TrackedFrame> series;
    std::vector<std::string> volumes;   // the volume files' names
};

// Reads the folder; volumes without a time are interval s apart.
// std::runtime_error naming the file and what is wrong.
TrackFolder read_track_folder(const std::string& dir, double interval = options::number("verify", "interval"));

// The verification of a folder's forecasts per lead and method, as a
// watcher makes it as volumes come: the verifying volume within half the
// usual interval of the series of its valid time.
std::vector<tracking::VerificationRow> verify_folder(const std::string& dir, std::span<const double> leads,
                                                     const tracking::TrendSettings& s, double interval = options::number("verify", "interval"));

}  // namespace velmora::realtime
