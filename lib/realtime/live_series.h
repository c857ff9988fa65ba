// The tracked series of a watcher, as volumes arrive: the latest volumes
// with their cells, links, the echo's motion and the forecasts made from
// them. A volume is put in its place by its time: after the newest, or, when
// it comes late but within the reorder window, before the volumes newer than
// it, whose links are then made again. Only the window the forecasts, their
// verification and a late volume can reach is kept; a restarted watcher
// loads the same window from its state store and goes on exactly as an
// uninterrupted one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/track_table.h"
#include "options/options.h"
#include "tracking/nowcast.h"
#include "tracking/verification.h"

namespace velmora::realtime {

struct LiveSettings {
    tracking::Settings link;                                   // max_gap 0: twice the usual interval
    tracking::TrendSettings trend;
    std::vector<double> leads = tracking::kDefaultLeads;       // s, ascending
    std::size_t reorder_window = static_cast<std::size_t>(options::number("watch", "reorder-window"));                          // volumes
};

// What the watcher keeps of a volume besides its frame.
struct VolumeInfo {
    std::int64_t id = 0;                 // in the state store
    std::string name;                    // its file, or the chunked volume's name
    std::string folder;                  // under volumes/
    std::vector<tracking::Row> began;    // its rows as their own link left them
    int tracks_after = 0;                // tracks begun up to it
    std::vector<CellText> texts;         // the fixed columns of tracks.csv, per cell
};

struct LiveVolume {
    VolumeInfo info;
    tracking::TrackedFrame t;
};

// Where a volume of a given time goes.
struct Placement {
    enum class Kind { Newest, Late, TooLate, SameTime } kind = Kind::Newest;
    std::size_t index = 0;               // in the window
    std::string reason;                  // of TooLate and SameTime
};

// The verification of one volume's forecasts at one lead by one method.
struct Verified {
    std::int64_t issue = 0, valid = 0;   // the volumes' ids
    double lead = 0;
    tracking::Method method = tracking::Method::Nowcast;
    tracking::Scores scores;
};

class LiveSeries {
public:
    explicit LiveSeries(LiveSettings s);
    ~LiveSeries();

    // The window as stored (oldest first), the tracks begun before it and
    // how many volumes are older than it.
    void restore(tracking::Plane plane, std::vector<LiveVolume> window, int tracks_before, std::size_t volumes_before);
    void set_plane(tracking::Plane plane);
    const std::optional<tracking::Plane>& plane() const { return plane_; }
    const LiveSettings& settings() const { return s_; }

    Placement place(double time) const;
    // Puts a volume where place() said it goes and links it and every
    // volume after it again; the index of the volume.
    std::size_t insert(LiveVolume v);
    // The first volume whose forecasts' verification may change when the
    // volumes from index on changed.
    std::size_t first_affected_issue(std::size_t index) const;
    // What changes in the verification when the volumes from index on
    // changed: the forecasts (volume, lead) verified anew, and their
    // verification (none for a forecast no volume verifies yet).
    struct VerificationUpdate {
        std::vector<std::pair<std::int64_t, double>> keys;
        std::vector<Verified> entries;
    };
    VerificationUpdate verification_since(std::size_t index) const;
    // The nowcast trends of a volume's cells, in cell order.
    std::vector<tracking::Trend> nowcasts(std::size_t index) const;
    // Drops the volumes no longer needed; how many.
    std::size_t trim();

    std::size_t size() const { return frames_.size(); }
    const tracking::TrackedFrame& frame(std::size_t i) const { return frames_[i]; }
    const VolumeInfo& info(std::size_t i) const { return info_[i]; }
    VolumeInfo& info(std::size_t i) { return info_[i]; }
    int tracks_before() const { return tracks_before_; }
    std::size_t volumes_before() const { return volumes_before_; }
    // The median of the latest (up to 10) steps between volumes.
    double usual_interval(std::size_t upto) const;
    // How many volumes the window keeps at least, and how far back in time.
    std::size_t min_volumes() const;
    double horizon() const;

private:
    double max_gap(std::size_t index) const;

    LiveSettings s_;
    std::optional<tracking::Plane> plane_;
    std::vector<tracking::TrackedFrame> frames_;
    std::vector<VolumeInfo> info_;
    int tracks_before_ = 0;
    std::size_t volumes_before_ = 0;
    std::unique_ptr<tracking::Linker> linker_;
};

}  // namespace velmora::realtime
