// The series pipeline of `velmora track` (and Python's velmora.track, which
// orders its volumes the same way): the volumes analyzed one by one into
// their folders, put in time order, their cells linked, and the results
// written into a folder: tracks.csv, volumes.csv, tracks.vtp, volumes.pvd,
// with hail levels hail_swath.nc and hail_tracks.csv, of polar volumes with
// a radial velocity rotation_tracks.nc (analysis/rotation.h), and the pictures
// tracks.png, hail_swath.png and rotation_tracks.png. The tables are those a watcher writes.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analysis/analyze.h"
#include "analysis/rotation.h"
#include "pictures/views.h"
#include "tracking/tracker.h"

namespace velmora::tracking {

// A volume's time as the ordering needs it: its name for messages, its
// time when it has one, and else why not.
struct VolumeTime {
    std::string name;
    std::optional<double> time;
    std::string problem;
};

// The volumes' indices in time order, and each one's time in that order.
struct SeriesOrder {
    std::vector<std::size_t> order;
    std::vector<double> times;
    bool timed = false;   // the volumes' own times, else k * interval
};

// By the volumes' own times where every one has one, else in the order
// given, interval s apart. std::invalid_argument naming the volumes when
// only some have a time or two have the same one.
SeriesOrder order_series(std::span<const VolumeTime> volumes, double interval);

// A volume of the series, analyzed: its file, its folder of results.
struct AnalyzedVolume {
    std::string path, folder;
    std::vector<std::string> radars;   // of a network's time step, the other radars' files
    AnalyzeOptions::ForTracking result;
    std::string summary;   // what its analysis printed, kept as cells.txt
};

// Analyzes each of paths as base says into work/volumes/<name>, keeping
// what tracking needs; files of several radars (polar/network.h) by time
// step, each step one mosaic on the series' grid, named by its first file; on_volume is told of each one analyzed (its result's
// velocity, dealiased, is taken away after it). A polar volume's velocity
// is dealiased with the first guesses the volumes before give
// (velocity_guess.h, their cells linked as link says). Messages go to err.
// 0, or the exit status: 1 when an analysis failed, 2 when a volume cannot
// be used or lies on another grid than the first.
int analyze_series(const AnalyzeOptions& base, const Settings& link, std::span<const std::string> paths,
                   const std::string& work, std::FILE* err, std::vector<AnalyzedVolume>& out,
                   const std::function<void(const AnalyzedVolume&)>& on_volume = {});

// A series in time order with its cells linked.
struct TrackedSeries {
    std::vector<AnalyzedVolume> volumes;
    std::vector<Frame> frames;
    std::vector<Row> rows;
    std::vector<EchoMotion> echo;
    bool timed = false;
};

// Orders the analyzed volumes and links their cells; std::invalid_argument
// as order_series and track() say.
TrackedSeries link_series(std::vector<AnalyzedVolume> volumes, double interval, const Settings& s);

// The largest MESH of a track, and the volume it was seen in.
struct TrackHail {
    int track = 0;
    double mesh_mm = 0;
    std::string source;
};

// What write_series wrote besides its files.
struct SeriesResults {
    std::size_t tracks = 0;
    std::vector<TrackHail> hail;   // by track number; none without hail levels
    std::vector<float> swath;      // the largest MESH of each column; empty without hail levels
    RotationPlan rotation;         // the rotation tracks; empty without velocity
};

// Writes the series' files into folder (the work folder of its results),
// with hail levels the hail's too, with velocity the rotation tracks; WriteFailed, or std::runtime_error naming
// the file.
SeriesResults write_series(const TrackedSeries& t, const std::string& folder, bool hail);

// Draws tracks.png, hail_swath.png where there is a swath and
// rotation_tracks.png where there are rotation tracks, into folder;
// caption names the last volume. std::runtime_error when no picture can be
// drawn: then neither is left.
void draw_series(const TrackedSeries& t, const SeriesResults& r, const std::string& folder, const std::string& caption);

// Draws the hail swath over the map into png, with the tracks of paths;
// span says over what time (the title's "Hail swath, SPAN: ...").
void draw_swath(const std::string& png, const Volume& axes, std::span<const float> swath, const std::string& span,
                std::vector<PlanView::Path> paths = {});

// Draws the low-level rotation tracks (rotation_tracks(), azshear_low) over
// the map into png, with the tracks of paths; span as draw_swath's. Where
// it drew what.
PictureLayout draw_rotation(const std::string& png, const Volume& axes, std::span<const float> low,
                            const std::string& span, std::vector<PlanView::Path> paths = {});

// The number of splits and merges among the rows.
std::pair<int, int> split_merge_counts(const std::vector<Row>& rows);

}  // namespace velmora::tracking
