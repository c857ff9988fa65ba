// The event as the forecaster's console shows it: the volumes a `velmora
// watch` folder has recorded (read from its state database, opened read-only
// while the watcher writes) or a `velmora track` folder holds, every cell of
// them on its track with its properties, the forecasts, the verification so
// far and the alerts; and, per volume, its plan view (the column maximum),
// its forecast footprints and sections through its grid. Nothing is ever
// written into the folder.
#pragma once

#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/volume.h"
#include "run/document.h"
#include "scene/sections.h"

struct sqlite3;

namespace velmora::scene {

// Whether a watcher holds the folder's lock (watch.lock), from the kernel's
// table of locks (/proc/locks): nothing opened for writing, no lock taken,
// so a watcher starting meanwhile is never refused.
struct WatcherState {
    bool running = false;
    long pid = 0;
};
WatcherState watcher_state(const std::string& dir);

// What kind of folder holds an event: a watch folder (watch.db), a track
// folder (tracks.csv and volumes.csv), or neither.
enum class EventKind { None, Watch, Track };
EventKind event_kind(const std::string& dir);

struct EventVolume {
    std::string name, folder;   // folder: within volumes/
    double time = 0;            // s since 1970-01-01 UTC
};

// The cells' columns the console sends, in this order (NaN where a volume
// has no value, such as the hail columns without hail levels).
inline constexpr const char* kCellColumns[] = {"track", "cell", "x_km", "y_km", "max_dbz", "top_km", "vil_kg_m2",
                                               "mesh_mm", "posh_pct", "poh_pct", "volume_km3", "u_ms", "v_ms"};

// How many volumes back a plan view draws the tracks' lines (4 hours at
// one volume every 5 minutes).
inline constexpr std::size_t kTrackLineVolumes = 48;

class Event {
public:
    // std::runtime_error when dir holds no event (neither kind).
    // map_files: the viewer's map.bin files whose lines near the grid the
    // summary holds.
    Event(const std::string& dir, std::vector<std::string> map_files);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    EventKind kind() const { return kind_; }
    const std::string& dir() const { return dir_; }
    // Reads the folder again when it changed; true when it did.
    bool refresh();
    const std::vector<EventVolume>& volumes() const { return volumes_; }

    // Everything but the grids: volumes, the newest volume's cells (as
    // cells(k) gives them), its forecasts, the verification per lead and
    // method, the alerts, the grid's plane and the hail levels. What a page
    // holds stays the same size through a long event: older cells come with
    // their volume's plan, a track's history with track().
    Json summary();
    // Volume k's cells: {"cells": {columns, rows}, "trends": {columns, rows}},
    // rows of kCellColumns with the volume's index first, and each cell's
    // trends ("+", "=", "-" or "." per trend column).
    Json cells(std::size_t k) const;
    // One track's cells in every volume, oldest first, with each volume's
    // time: {"track", "cells": {columns: volume, time, kCellColumns...; rows}};
    // std::invalid_argument when no volume has it.
    Json track(int track) const;
    // Volume k's plan view as a pack (scene/pack.h): the column maximum
    // (float32, x fastest), the plane's axes, and in the header its cells
    // (as cells(k)), its forecast footprints (forecast.geojson) and the
    // lines of its tracks over the last kTrackLineVolumes volumes.
    std::string plan(std::size_t k);
    // A vertical section through volume k's full grid along from -> to, as
    // a pack: the values (float32, along the line fastest) and the line.
    std::string section(std::size_t k, Point2 from, Point2 to) { return section_cut(k, from, to).cut(); }
    // Through a cell of volume k along its motion (east without one).
    std::string cell_section(std::size_t k, int track) { return cell_section_cut(k, track).cut(); }
    // What a section needs, taken from the event (the grid read if it is
    // not yet); its cut() reads nothing more of the event, so that a server
    // lets other calls at the event while a large grid is cut.
    struct SectionCut {
        std::shared_ptr<const Volume> grid;
        std::size_t volume = 0;
        Point2 from{}, to{};
        Json levels;
        std::string cut() const;
    };
    SectionCut section_cut(std::size_t k, Point2 from, Point2 to);
    SectionCut cell_section_cut(std::size_t k, int track);
    // Reads volume k's grid now (the newest, before a click asks for it).
    void preload(std::size_t k);

private:
    void open_db();
    void read_watch();
    void read_track();
    std::shared_ptr<const Volume> grid(std::size_t k);
    std::string volume_dir(std::size_t k) const;
    Json forecast_rings(std::size_t k) const;
    Json track_lines(std::size_t k) const;
    Json map_lines();

    std::string dir_;
    EventKind kind_ = EventKind::None;
    sqlite3* db_ = nullptr;
    bool through_wal_ = false;
    std::int64_t data_version_ = -1;
    std::time_t files_time_ = 0;
    std::vector<EventVolume> volumes_;
    std::vector<std::vector<double>> cells_;   // volume index, then kCellColumns; in volume order
    std::vector<std::string> trends_;          // each cell's trends
    Json forecasts_ = Json::array(), verification_ = Json::array(), alerts_ = Json::array(), levels_ = Json::object();
    std::vector<std::string> map_files_;
    std::optional<GeoOrigin> origin_;
    Json map_ = nullptr;                       // the lines near the grid, once read
    // The grids read last (the newest, mostly), by folder.
    std::list<std::pair<std::string, std::shared_ptr<const Volume>>> grids_;
};

}  // namespace velmora::scene
