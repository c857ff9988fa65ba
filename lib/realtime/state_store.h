// The watcher's state, in a SQLite database in the output folder: the files
// seen (size, time, checksum, what became of them), the volumes with their
// cells and links, the forecasts and their verification. WAL journal, one
// transaction per volume: after the process dies at any moment the database
// holds every volume finished before it, and none half.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "polar/polar.h"
#include "realtime/alerts.h"
#include "realtime/live_series.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velmora::realtime {

// What became of a file of the watched folder.
struct FileRecord {
    FileRecord() = default;
    explicit FileRecord(std::string n, std::int64_t bytes = 0, std::int64_t mtime = 0, std::string crc = {})
        : name(std::move(n)), size(bytes), mtime_ns(mtime), checksum(std::move(crc)) {}
    std::string name;                    // in the folder; a chunked volume: its name
    std::int64_t size = 0, mtime_ns = 0;
    std::string checksum;                // CRC-32 of its bytes, hex
    std::string state;                   // done, failed, skipped, refused
    std::string reason;                  // of failed, skipped and refused
    int attempts = 0;
    std::int64_t volume = 0;             // the volume it became (done)
};

// A cell's forecast at one lead, as forecast.csv and the database hold it.
struct ForecastRow {
    std::size_t cell = 0;
    int track = 0;
    double lead = 0;                     // s
    tracking::Outlook outlook;
    double u = 0, v = 0;
    bool echo = false;
};

class StateStore {
public:
    // Opens or creates the database; std::runtime_error saying why not.
    explicit StateStore(const std::string& path);
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // BEGIN IMMEDIATE; rolled back unless committed.
    class Transaction {
    public:
        explicit Transaction(StateStore& s);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        StateStore& s_;
        bool open_ = true;
    };

    std::optional<std::string> meta(const std::string& key) const;
    void set_meta(const std::string& key, const std::string& value);

    std::map<std::string, FileRecord> files() const;
    void put_file(const FileRecord& r);

    // A new volume's row: its id.
    std::int64_t add_volume(const std::string& name, const std::string& folder, double time);
    // The volume's links, echo motion, frame (with its plan view when
    // column_max) and cells; lines: tracks.csv's line of each cell.
    void save_volume(const VolumeInfo& info, const tracking::TrackedFrame& t, bool column_max,
                     std::span<const std::string> lines);
    void drop_column_max(std::int64_t volume);
    // The largest value of each column so far (x fastest) of a plan the
    // volumes give (the MESH, the shear); empty before the first.
    std::vector<float> maximum(const std::string& name) const;
    void set_maximum(const std::string& name, std::span<const float> plan);
    // The newest volume's radial velocity as dealiased, the first guess of
    // the next one's dealiasing (tracking/velocity_guess.h); none before the
    // first. The volume's position, time and sweeps are kept, not the gates'
    // quality or folding.
    std::optional<polar::PolarVolume> velocity() const;
    void set_velocity(const polar::PolarVolume& v);
    void save_forecasts(std::int64_t volume, std::span<const ForecastRow> rows);
    // Replaces the verification of the forecasts (volume, lead) given, and
    // keeps the sums per lead and method up to date.
    void replace_verification(std::span<const std::pair<std::int64_t, double>> keys, std::span<const Verified> entries);

    // Records each alert not recorded before (a track alerts once per
    // property); how many were new.
    std::size_t record_alerts(std::int64_t volume, double time, std::span<const Alert> alerts);

    std::size_t volume_count() const;
    std::vector<std::string> folders() const;
    // The latest volumes: those within horizon s of the newest, at least
    // min_volumes of them; the tracks begun and the volumes before them.
    std::vector<LiveVolume> load_window(std::size_t min_volumes, double horizon, int& tracks_before,
                                        std::size_t& volumes_before) const;
    // The volumes in time order from the one at position first on.
    std::vector<std::int64_t> volumes_from(std::size_t first) const;
    // A volume's lines of tracks.csv, in cell order, and its line of
    // volumes.csv (volume, time, cells, folder, echo_u_ms, echo_v_ms).
    std::vector<std::string> track_lines(std::int64_t volume) const;
    std::string volume_line(std::int64_t volume) const;
    // The verification summed per lead and method.
    std::vector<tracking::VerificationRow> verification(std::span<const double> leads) const;

    sqlite3* db() const { return db_; }

private:
    friend class Statement;
    void exec(const char* sql) const;
    sqlite3* db_ = nullptr;
    // Each statement prepared once and kept: a volume's checkpoint runs some
    // forty, and preparing them anew took a third of its time.
    mutable std::unordered_map<std::string, sqlite3_stmt*> prepared_;
};

}  // namespace velmora::realtime
