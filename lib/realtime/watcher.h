// velmora watch as a library: a folder watched for radar volumes, each
// analyzed once it is complete, its cells linked to the tracks so far and
// forecast, the forecasts that come true verified, and the products written
// into the output folder and named by latest.json. The state lives in the
// output folder's watch.db; a watcher started again on the same folder goes
// on where the last one stopped, and a second one at the same time is
// refused. docs/realtime.md describes the folder it writes.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/analyze.h"
#include "polar/polar.h"
#include "realtime/alerts.h"
#include "realtime/live_series.h"
#include "realtime/state_store.h"
#include "tracking/velocity_guess.h"
#include "options/options.h"

namespace velmora {
class StagedFiles;
}

namespace velmora::realtime {

class ChunkAssembler;
class NetworkSteps;
struct ChunkMoments;
struct ChunkName;
struct TimeStep;

struct WatchOptions {
    std::string input;                  // the watched folder
    std::string out{options::text("watch", "out")};   // the output folder
    AnalyzeOptions analysis;            // its volume, out and for_tracking are set per volume
    LiveSettings series;
    double settle = options::number("watch", "settle");               // s a file must stay unchanged
    double poll = options::number("watch", "poll");                // s between scans of the folder when nothing else wakes the watcher
    bool inotify = true;                // false: scans only (network file systems)
    double give_up = 60.0;              // s a file whose format says it is cut short may stay unchanged
    int max_attempts = 3;               // of a volume whose analysis fails
    double chunk_timeout = options::number("watch", "chunk-timeout");       // s after its newest chunk that a chunked volume not complete is given up
    double deadline = options::number("watch", "deadline");   // s after a network's first volume of a time that its mosaic is made with the radars that came
    std::vector<AlertRule> alerts = default_alerts();   // the cells' properties recorded when they reach a threshold
};

// What became of one volume (or a file of the folder).
struct VolumeOutcome {
    enum class State { Done, Failed, Skipped, Refused, Waiting, Retry };
    VolumeOutcome() = default;
    explicit VolumeOutcome(std::string n, State s = State::Done, std::string why = {})
        : name(std::move(n)), state(s), reason(std::move(why)) {}
    std::string name;                   // the file, or the chunked volume
    State state = State::Done;
    std::string reason;                 // of every state but Done
    std::string folder;                 // Done: under volumes/
    double time = NAN;                  // of the volume, s since 1970
    std::size_t cells = 0;
    std::size_t relinked = 0;           // volumes after it linked again (a late volume)
    double seconds = 0;                 // from the start of its reading to its products in place
    double recording = 0;               // of which in its transaction: the state, the forecasts, the products
    bool counted = false;               // Retry: a failure of its own (not of the output folder), counted
    // Of a network's mosaic: the radars whose volumes made it, and those whose did not come.
    std::vector<std::string> radars, missing;
};
const char* state_name(VolumeOutcome::State s);

class Watcher {
public:
    // Takes the output folder; std::runtime_error when another watcher holds
    // it, when its state was made with other options, or when the folders
    // cannot be used. Messages (refused files, failures) go to messages.
    Watcher(WatchOptions o, std::FILE* messages);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Looks at the folder, takes the NEXRAD chunks that came and processes the
    // first volume that is ready (by name); what became of them.
    std::vector<VolumeOutcome> step();
    // Whether a volume is ready now (step again without waiting).
    bool has_ready() const;
    // A descriptor that becomes readable when the folder changes (-1 when
    // the watcher only scans), and how long to wait at most before the next
    // step: until a settling file may be ready, or the scan interval.
    int fd() const;
    double wait_seconds() const;
    // Whether files present are still settling (a step later may process
    // them); --once waits for them.
    bool settling() const;
    // Volumes done so far.
    std::size_t volumes() const;
    // Of a network: its radars (their folders); none when the folder is one radar's.
    std::vector<std::string> radars() const;

private:
    using Clock = std::chrono::steady_clock;
    // A file of the folder not yet done: how it was when last seen, and since when.
    struct Pending {
        std::string path;
        std::int64_t size = -1, mtime_ns = 0;
        Clock::time_point since;        // unchanged since
        std::string partial;            // what its format says is missing
        bool said = false;              // the message about it was given
        Clock::time_point retry_at;     // not before (after a failure to be retried)
        int attempts = 0;               // analyses that failed on it
        int waits = 0;                  // times it waited for the output folder (a full disk)
    };
    // A volume analyzed into its folder, with what tracking needs.
    struct Analyzed {
        int status = 0;
        std::string reason;             // what the analysis said when it failed
        std::string folder;
        AnalyzeOptions::ForTracking result;
        std::vector<std::string> radars, missing;   // of a network's step
    };
    void take_lock();
    void check_options();
    void fix_hail_levels();
    void restore_series();
    void start_network();
    std::vector<std::string> entries();
    void watch_folder(const std::string& path);
    std::string radar_of(const std::string& name) const;
    std::optional<ChunkName> chunk_of(const std::string& name) const;
    void scan(std::vector<VolumeOutcome>& out);
    void look(const std::string& name, std::vector<VolumeOutcome>& out);
    bool ready(const Pending& p) const;
    bool whole(const std::string& name, Pending& p, const std::string& missing, std::vector<VolumeOutcome>& out);
    std::vector<std::string> ready_names() const;
    void take_chunk(const std::string& name, const ChunkName& chunk, std::vector<VolumeOutcome>& out);
    void expire_chunks(std::vector<VolumeOutcome>& out);
    VolumeOutcome process(const std::string& name, Pending& p);
    VolumeOutcome process_chunks(const std::string& volume);
    void enter(const std::string& name, Pending& p, std::vector<VolumeOutcome>& out);
    void enter_chunks(const std::string& volume, std::vector<VolumeOutcome>& out);
    void process_step(TimeStep s, std::vector<VolumeOutcome>& out);
    void fix_network_grid(std::span<const polar::PolarVolume> volumes);
    polar::PolarInput reading() const;
    Analyzed analysis_of(const std::string& name, const std::string& path, const polar::PolarVolume* polar_volume,
                         const Volume* polar_grid = nullptr, const ChunkMoments* moments = nullptr,
                         std::span<const polar::PolarVolume> mosaic = {});
    VolumeOutcome place(const std::string& name, Analyzed& a, std::vector<FileRecord> recs);
    void commit(const std::string& name, Analyzed& a, std::vector<FileRecord>& recs, VolumeOutcome& out);
    void first_of_series(const Analyzed& a);
    void save_from(std::size_t index, StagedFiles& staged);
    void stage_series(std::size_t index, const Analyzed& a, StagedFiles& staged);
    void stage_tables(StagedFiles& staged);
    void stage_maxima(const Analyzed& a, double time, StagedFiles& staged);
    void record(const FileRecord& r);
    VolumeOutcome failed(const std::string& name, FileRecord rec, VolumeOutcome::State s, const std::string& reason);
    VolumeOutcome failed(const std::string& name, std::vector<FileRecord> recs, VolumeOutcome::State s,
                         const std::string& reason);
    std::string folder_for(const std::string& name) const;
    bool out_writable() const;
    std::string options_text() const;

    WatchOptions o_;
    std::FILE* msg_;
    int lock_fd_ = -1;
    int inotify_fd_ = -1;
    std::unique_ptr<StateStore> store_;
    std::unique_ptr<LiveSeries> series_;
    std::optional<TrackTable> table_;
    std::optional<GeoOrigin> origin_;
    std::map<std::string, FileRecord> files_;
    std::map<std::string, Pending> pending_;
    std::vector<std::string> folders_;
    std::unique_ptr<ChunkAssembler> chunks_;
    // A network's time steps (one folder per radar); none for one radar.
    std::unique_ptr<NetworkSteps> network_;
    std::vector<std::string> watched_;   // the subfolders inotify watches
    Clock::time_point step_retry_at_;    // a step the output folder did not take: not before
    // The dealiasing's first guesses: the newest volume's velocity as the
    // state store keeps it (not re-read from its file, which may be gone
    // or a volume of chunks, and whose own dealiasing took the volume before
    // it), the storm motion of the series' newest volume.
    tracking::VelocityGuess guess_;
    std::string out_canonical_;
};

}  // namespace velmora::realtime
