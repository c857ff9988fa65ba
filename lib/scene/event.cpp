#include "scene/event.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cmath>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "io/cf_time.h"
#include "io/geo.h"
#include "scene/map.h"
#include "scene/pack.h"
#include "scene/saved.h"

namespace velmora::scene {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kGridsKept = 2;        // the newest grid and one the slider went back to
constexpr std::size_t kColumns = std::size(kCellColumns);

std::string read_text(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> out(1);
    for (char c : line) {
        if (c == ',') out.emplace_back();
        else if (c != '\r' && c != '\n') out.back().push_back(c);
    }
    return out;
}

double number(const std::string& s) {
    if (s.empty()) return NAN;
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    return end && *end == '\0' ? v : NAN;
}

// "2006-01-20T00:05:00Z" as seconds since 1970; NaN when it is not one.
double iso_seconds(const std::string& t) {
    int y, mo, d, h, mi;
    double s;
    if (std::sscanf(t.c_str(), "%d-%d-%dT%d:%d:%lfZ", &y, &mo, &d, &h, &mi, &s) != 6) return NAN;
    return static_cast<double>(days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d))) * 86400.0 +
           h * 3600.0 + mi * 60.0 + s;
}

// The positions of kCellColumns in a header (-1: absent).
std::vector<int> column_positions(const std::vector<std::string>& header) {
    std::vector<int> at;
    for (const char* name : kCellColumns) {
        const auto it = std::find(header.begin(), header.end(), name);
        at.push_back(it == header.end() ? -1 : static_cast<int>(it - header.begin()));
    }
    return at;
}

std::vector<double> cell_row(double volume, const std::vector<std::string>& fields, const std::vector<int>& at) {
    std::vector<double> row{volume};
    for (int a : at) row.push_back(a >= 0 && static_cast<std::size_t>(a) < fields.size() ? number(fields[a]) : NAN);
    return row;
}

Json nan_null(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

// One read-only query's rows, each column as text (NULL: empty).
std::vector<std::vector<std::string>> query(sqlite3* db, const char* sql, std::int64_t bound = INT64_MIN) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("the watch database: ") + sqlite3_errmsg(db));
    if (bound != INT64_MIN) sqlite3_bind_int64(s, 1, bound);
    std::vector<std::vector<std::string>> rows;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        auto& r = rows.emplace_back();
        for (int c = 0; c < sqlite3_column_count(s); ++c) {
            const auto* t = sqlite3_column_text(s, c);
            r.emplace_back(t ? reinterpret_cast<const char*>(t) : "");
        }
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) throw std::runtime_error(std::string("the watch database: ") + sqlite3_errmsg(db));
    return rows;
}

bool has_table(sqlite3* db, const char* name) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?", -1, &s, nullptr);
    sqlite3_bind_text(s, 1, name, -1, SQLITE_STATIC);
    const bool found = sqlite3_step(s) == SQLITE_ROW;
    sqlite3_finalize(s);
    return found;
}

// POD, FAR and CSI of summed hits, misses and false alarms (null where
// undefined).
Json scores(double hits, double misses, double false_alarms) {
    auto ratio = [](double a, double b) { return b > 0 ? Json(a / b) : Json(nullptr); };
    return {{"pod", ratio(hits, hits + misses)}, {"far", ratio(false_alarms, hits + false_alarms)},
            {"csi", ratio(hits, hits + misses + false_alarms)}};
}

// The properties whose trend the console shows, as positions in a cell row
// (the volume's index first, then kCellColumns).
constexpr std::size_t kTrendColumns[] = {5, 6, 7, 8, 9, 10, 11};

// Rising (+), steady (=) or falling (-) from then to now: a change of more
// than 5 % of the larger magnitude, and more than 0.5 of the unit (dBZ, km,
// kg/m2, mm, %, km3), is a trend; '.' where either has no value.
char trend(double then, double now) {
    if (!std::isfinite(then) || !std::isfinite(now)) return '.';
    const double change = now - then, margin = std::max(0.5, 0.05 * std::max(std::abs(then), std::abs(now)));
    return change > margin ? '+' : change < -margin ? '-' : '=';
}

// Each row's trends over the last three volumes of its track (two, where
// the track has only two so far).
std::vector<std::string> trends(const std::vector<std::vector<double>>& rows) {
    std::map<double, std::vector<std::size_t>> by_track;   // rows are in volume order
    std::vector<std::string> out;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        auto& seen = by_track[rows[r][1]];
        std::string t;
        for (const std::size_t c : kTrendColumns)
            t.push_back(seen.empty() ? '.' : trend(rows[seen[seen.size() >= 2 ? seen.size() - 2 : 0]][c], rows[r][c]));
        seen.push_back(r);
        out.push_back(std::move(t));
    }
    return out;
}

Json row_json(const std::vector<double>& row) {
    Json r = Json::array();
    for (double x : row) r.push_back(nan_null(x));
    return r;
}

Json cell_columns(bool with_time) {
    Json columns = Json::array({"volume"});
    if (with_time) columns.push_back("time");
    for (const char* c : kCellColumns) columns.push_back(c);
    return columns;
}

// The rows of volume k among rows in volume order: [first, last).
std::pair<std::size_t, std::size_t> rows_of(const std::vector<std::vector<double>>& rows, std::size_t k) {
    const auto below = [](const std::vector<double>& r, double v) { return r[0] < v; };
    const auto from = std::lower_bound(rows.begin(), rows.end(), static_cast<double>(k), below);
    const auto to = std::lower_bound(from, rows.end(), static_cast<double>(k + 1), below);
    return {static_cast<std::size_t>(from - rows.begin()), static_cast<std::size_t>(to - rows.begin())};
}

}  // namespace

WatcherState watcher_state(const std::string& dir) {
    struct stat st {};
    if (::stat((fs::path(dir) / "watch.lock").c_str(), &st) != 0) return {};
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 4242 fd:01:123456 0 EOF"; waiters carry "->".
        std::istringstream in(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (!(in >> id >> kind) || kind == "->" || kind != "FLOCK" || !(in >> mode >> access >> pid >> where)) continue;
        unsigned major_no = 0, minor_no = 0;
        unsigned long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &major_no, &minor_no, &inode) != 3) continue;
        if (inode == st.st_ino && major_no == major(st.st_dev) && minor_no == minor(st.st_dev)) return {true, pid};
    }
    return {};
}

EventKind event_kind(const std::string& dir) {
    std::error_code ec;
    if (fs::is_regular_file(fs::path(dir) / "watch.db", ec)) return EventKind::Watch;
    if (saved_kind(dir) == SavedKind::Track) return EventKind::Track;
    return EventKind::None;
}

Event::Event(const std::string& dir, std::vector<std::string> map_files)
    : dir_(dir), kind_(event_kind(dir)), map_files_(std::move(map_files)) {
    if (kind_ == EventKind::None)
        throw std::runtime_error(dir + " holds no event: neither watch.db (velmora watch) nor tracks.csv and volumes.csv "
                                       "(velmora track)");
    refresh();
}

Event::~Event() { sqlite3_close(db_); }

// Read-only, never creating a file: while the watcher's write-ahead log is
// there (it runs, or was killed) through it, as WAL readers do; without one
// (it ended cleanly) as an unchanging file, reopened when a log appears.
void Event::open_db() {
    const fs::path path = fs::path(dir_) / "watch.db";
    std::error_code ec;
    const bool wal = fs::exists(fs::path(dir_) / "watch.db-wal", ec);
    if (db_ && wal == through_wal_) return;
    sqlite3_close(db_);
    db_ = nullptr;
    data_version_ = -1;
    std::string uri = "file:";
    for (const unsigned char c : path.string()) {
        if (std::isalnum(c) || std::strchr("/-._~", c)) uri.push_back(static_cast<char>(c));
        else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            uri += hex;
        }
    }
    if (!wal) uri += "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("can not read " + path.string() + ": " + why);
    }
    sqlite3_busy_timeout(db_, 2000);
    through_wal_ = wal;
}

bool Event::refresh() {
    if (kind_ == EventKind::Watch) {
        open_db();
        const auto version = query(db_, "PRAGMA data_version");
        const std::int64_t v = version.empty() ? 0 : std::atoll(version[0][0].c_str());
        if (v == data_version_) return false;
        // One read transaction: the volumes, cells and sums of one moment.
        sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
        try {
            read_watch();
        } catch (...) {
            sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
            throw;
        }
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        data_version_ = v;
        return true;
    }
    std::error_code ec;
    const auto t = fs::last_write_time(fs::path(dir_) / "tracks.csv", ec);
    const std::time_t stamp = ec ? 0 : static_cast<std::time_t>(t.time_since_epoch().count());
    if (stamp == files_time_ && !volumes_.empty()) return false;
    read_track();
    files_time_ = stamp;
    return true;
}

void Event::read_watch() {
    // A watcher starting makes its tables one at a time: until all are
    // there, the event has no volume yet.
    for (const char* table : {"meta", "volumes", "cells", "forecasts", "verification_sums"})
        if (!has_table(db_, table)) return;
    std::vector<EventVolume> volumes;
    std::map<std::string, double> index;   // volume id -> its index
    for (const auto& r : query(db_, "SELECT id, name, folder, time FROM volumes ORDER BY time")) {
        index[r[0]] = static_cast<double>(volumes.size());
        volumes.push_back({r[1], r[2], number(r[3])});
    }
    const auto header = query(db_, "SELECT value FROM meta WHERE key = 'tracks_header'");
    const auto at = column_positions(header.empty() ? std::vector<std::string>{} : split(header[0][0]));
    std::vector<std::vector<double>> cells;
    for (const auto& r : query(db_, "SELECT volume, line FROM cells ORDER BY volume, cell"))
        if (index.count(r[0])) cells.push_back(cell_row(index[r[0]], split(r[1]), at));
    std::sort(cells.begin(), cells.end());
    Json forecasts = Json::array();
    const auto newest = query(db_, "SELECT id FROM volumes ORDER BY time DESC LIMIT 1");
    if (!newest.empty())
        for (const auto& r : query(db_, "SELECT track, cell, lead, x_km, y_km, area_km2, volume_km3, top_km, max_dbz "
                                        "FROM forecasts WHERE volume = ? ORDER BY track, lead",
                                   std::atoll(newest[0][0].c_str()))) {
            Json row = Json::array();
            for (const auto& f : r) row.push_back(nan_null(number(f)));
            forecasts.push_back(row);
        }
    Json verification = Json::array();
    for (const auto& r : query(db_, "SELECT lead, method, volumes, hits, misses, false_alarms FROM verification_sums "
                                    "ORDER BY lead, method")) {
        Json row = {{"lead_min", number(r[0]) / 60.0}, {"method", r[1]}, {"volumes", number(r[2])}};
        row.update(scores(number(r[3]), number(r[4]), number(r[5])));
        verification.push_back(row);
    }
    Json alerts = Json::array();
    if (has_table(db_, "alerts"))
        for (const auto& r : query(db_, "SELECT a.track, a.property, a.threshold, a.value, v.name, a.time, a.cell "
                                        "FROM alerts a JOIN volumes v ON v.id = a.volume ORDER BY a.time, a.track")) {
            alerts.push_back({{"track", number(r[0])}, {"property", r[1]}, {"threshold", number(r[2])},
                              {"value", number(r[3])}, {"volume", r[4]}, {"time", number(r[5])}, {"cell", number(r[6])}});
        }
    const auto origin = query(db_, "SELECT value FROM meta WHERE key = 'origin'");
    if (!origin.empty()) {
        const auto parts = split(origin[0][0]);
        if (parts.size() == 2) origin_ = checked_origin(std::strtod(parts[0].c_str(), nullptr), std::strtod(parts[1].c_str(), nullptr));
    }
    // The hail levels the watcher was given, as its options say them (";hail=0C,-20C").
    Json levels = Json::object();
    const auto options = query(db_, "SELECT value FROM meta WHERE key = 'options'");
    double h0 = NAN, h20 = NAN;
    if (!options.empty()) {
        const auto at = options[0][0].find(";hail=");
        if (at != std::string::npos && std::sscanf(options[0][0].c_str() + at + 6, "%lf,%lf", &h0, &h20) >= 1) {
            if (std::isfinite(h0)) levels["freezing_level_km"] = h0;
            if (std::isfinite(h20)) levels["minus20_level_km"] = h20;
        }
    }
    volumes_ = std::move(volumes), cells_ = std::move(cells), forecasts_ = std::move(forecasts);
    trends_ = trends(cells_);
    verification_ = std::move(verification), alerts_ = std::move(alerts), levels_ = std::move(levels);
}

void Event::read_track() {
    const Table vols = read_table((fs::path(dir_) / "volumes.csv").string());
    std::vector<EventVolume> volumes;
    std::map<std::string, double> index;   // time -> volume index
    for (std::size_t r = 0; r < vols.rows.size(); ++r) {
        const std::string folder = vols.at(r, "folder");
        index[vols.at(r, "time")] = static_cast<double>(volumes.size());
        volumes.push_back({fs::path(folder).filename().string(), fs::path(folder).filename().string(),
                           iso_seconds(vols.at(r, "time"))});
    }
    const Table tracks = read_table((fs::path(dir_) / "tracks.csv").string());
    const auto at = column_positions(tracks.columns);
    const int time_column = tracks.column("time");
    std::vector<std::vector<double>> cells;
    for (const auto& row : tracks.rows) {
        if (time_column < 0 || static_cast<std::size_t>(time_column) >= row.size()) continue;
        const auto v = index.find(row[static_cast<std::size_t>(time_column)]);
        if (v != index.end()) cells.push_back(cell_row(v->second, row, at));
    }
    std::sort(cells.begin(), cells.end());
    origin_ = origin_of(tracks);
    volumes_ = std::move(volumes), cells_ = std::move(cells);
    trends_ = trends(cells_);
}

Json Event::summary() {
    Json volumes = Json::array();
    for (const auto& v : volumes_) volumes.push_back({{"name", v.name}, {"time", nan_null(v.time)}, {"iso", iso_utc(v.time)}});
    Json s = {{"kind", kind_ == EventKind::Watch ? "watch" : "track"},
              {"volumes", volumes},
              {"forecasts", {{"columns", {"track", "cell", "lead_s", "x_km", "y_km", "area_km2", "volume_km3", "top_km",
                                           "max_dbz"}},
                             {"rows", forecasts_}}},
              {"verification", verification_},
              {"alerts", alerts_},
              {"levels", levels_},
              {"origin", origin_ ? Json{origin_->lat, origin_->lon} : Json(nullptr)},
              {"severity", {"posh_pct", "mesh_mm", "vil_kg_m2", "max_dbz"}},
              {"map", map_lines()}};
    s.update(cells(volumes_.empty() ? 0 : volumes_.size() - 1));
    return s;
}

Json Event::cells(std::size_t k) const {
    Json rows = Json::array(), trend_rows = Json::array();
    const auto [from, to] = rows_of(cells_, k);
    for (std::size_t r = from; r < to; ++r) {
        rows.push_back(row_json(cells_[r]));
        trend_rows.push_back(trends_[r]);
    }
    return {{"cells", {{"columns", cell_columns(false)}, {"rows", std::move(rows)}}},
            {"trends", {{"columns", {"max_dbz", "top_km", "vil_kg_m2", "mesh_mm", "posh_pct", "poh_pct", "volume_km3"}},
                        {"rows", std::move(trend_rows)}}}};
}

Json Event::track(int track) const {
    Json rows = Json::array();
    for (const auto& row : cells_) {
        if (row[1] != track) continue;
        Json r = row_json(row);
        r.insert(r.begin() + 1, nan_null(volumes_[static_cast<std::size_t>(row[0])].time));
        rows.push_back(std::move(r));
    }
    if (rows.empty()) throw std::invalid_argument("no volume has a cell of track " + std::to_string(track));
    return {{"track", track}, {"cells", {{"columns", cell_columns(true)}, {"rows", std::move(rows)}}}};
}

// The lines of the tracks of the kTrackLineVolumes volumes up to k:
// [{track, xy: [x, y, x, y, ...]}] in km.
Json Event::track_lines(std::size_t k) const {
    constexpr std::size_t kX = 3, kY = 4;
    const std::size_t first = k + 1 > kTrackLineVolumes ? k + 1 - kTrackLineVolumes : 0;
    std::map<double, Json> lines;
    for (std::size_t r = rows_of(cells_, first).first, end = rows_of(cells_, k).second; r < end; ++r) {
        Json& xy = lines[cells_[r][1]];
        xy.push_back(nan_null(cells_[r][kX]));
        xy.push_back(nan_null(cells_[r][kY]));
    }
    Json out = Json::array();
    for (auto& [track, xy] : lines) out.push_back({{"track", track}, {"xy", std::move(xy)}});
    return out;
}

std::string Event::volume_dir(std::size_t k) const {
    if (k >= volumes_.size()) throw std::invalid_argument("no volume " + std::to_string(k) + " in the event");
    return (fs::path(dir_) / "volumes" / volumes_[k].folder).string();
}

std::shared_ptr<const Volume> Event::grid(std::size_t k) {
    const std::string folder = volume_dir(k);
    for (auto it = grids_.begin(); it != grids_.end(); ++it)
        if (it->first == folder) {
            grids_.splice(grids_.begin(), grids_, it);
            return grids_.front().second;
        }
    auto v = std::make_shared<Volume>(volume_grid(folder));
    v->origin = origin_;
    grids_.emplace_front(folder, std::move(v));
    if (grids_.size() > kGridsKept) grids_.pop_back();
    return grids_.front().second;
}

void Event::preload(std::size_t k) { grid(k); }

std::string Event::plan(std::size_t k) {
    const auto held = grid(k);
    const Volume& g = *held;
    const std::size_t nx = g.x.size(), ny = g.y.size(), nz = g.z.size();
    std::vector<float> column(nx * ny, NAN);
    for (std::size_t z = 0; z < nz; ++z)
        for (std::size_t i = 0; i < nx * ny; ++i) {
            const float v = g.values[i + nx * ny * z];
            if (std::isfinite(v) && !(g.has_null && v == g.null_value) && !(column[i] >= v)) column[i] = v;
        }
    Pack pack;
    Json& h = pack.header();
    h["volume"] = k;
    h["name"] = volumes_[k].name;
    h["time"] = nan_null(volumes_[k].time);
    h["x"] = {g.x.front(), g.x.back(), nx};
    h["y"] = {g.y.front(), g.y.back(), ny};
    h["column_max"] = pack.add(std::span<const float>(column));
    h["forecast"] = forecast_rings(k);
    h.update(cells(k));
    h["tracks"] = track_lines(k);
    return std::move(pack).take();
}

// Volume k's forecast footprints (forecast.geojson) as rings of x, y in km:
// [{track, lead_min, rings: [[x, y, x, y, ...], ...]}].
Json Event::forecast_rings(std::size_t k) const {
    const Json doc = Json::parse(read_text(fs::path(volume_dir(k)) / "forecast.geojson"), nullptr, false);
    Json out = Json::array();
    if (doc.is_discarded() || !doc.contains("features")) return out;
    const bool km = doc.value("coordinates", "").rfind("km", 0) == 0;
    if (!km && !origin_) return out;
    for (const Json& f : doc["features"]) {
        Json rings = Json::array();
        for (const Json& polygon : f["geometry"]["coordinates"])
            for (const Json& ring : polygon) {
                std::vector<double> a, b;
                for (const Json& p : ring) a.push_back(p[0].get<double>()), b.push_back(p[1].get<double>());
                std::vector<double> x = a, y = b;
                if (!km) projected(*origin_, b, a, x, y);
                Json flat = Json::array();
                for (std::size_t i = 0; i < x.size(); ++i) flat.push_back(x[i]), flat.push_back(y[i]);
                rings.push_back(std::move(flat));
            }
        out.push_back({{"track", f["properties"].value("track", 0)}, {"lead_min", f["properties"].value("lead_min", 0.0)},
                       {"rings", std::move(rings)}});
    }
    return out;
}

// The map's lines near the newest grid (x, y in km), read once: the grid
// stays the same through an event.
Json Event::map_lines() {
    if (!map_.is_null() || volumes_.empty() || !origin_) return map_.is_null() ? Json::array() : map_;
    Json lines = Json::array();
    const auto held = grid(volumes_.size() - 1);
    const Volume& g = *held;
    // The files' two kinds each (coasts and borders; states and counties in
    // the second) numbered on: 0 coast, 1 border, 2 state, 3 county.
    for (std::size_t f = 0; f < map_files_.size(); ++f) {
        std::error_code ec;
        if (!fs::is_regular_file(map_files_[f], ec)) continue;
        for (const GroundLine& l : map_near(g, map_files_[f]))
            lines.push_back({{"kind", l.kind + 2 * static_cast<int>(f)}, {"xy", l.xy}});
    }
    map_ = std::move(lines);
    return map_;
}

Event::SectionCut Event::section_cut(std::size_t k, Point2 from, Point2 to) {
    return {grid(k), k, from, to, levels_};
}

std::string Event::SectionCut::cut() const {
    const Section s = cut_section(*grid, std::span<const float>(grid->values.data(), grid->values.size()), from, to);
    Pack pack;
    Json& h = pack.header();
    h["volume"] = volume;
    h["from"] = s.from;
    h["to"] = s.to;
    h["step_km"] = s.step_km;
    h["samples"] = s.samples;
    h["z_km"] = s.z_km;
    h["levels"] = levels;
    h["values"] = pack.add(std::span<const float>(s.values));
    return std::move(pack).take();
}

Event::SectionCut Event::cell_section_cut(std::size_t k, int track) {
    constexpr std::size_t kTrack = 1, kX = 3, kY = 4, kU = 12, kV = 13;
    const auto [first, last] = rows_of(cells_, k);
    for (std::size_t r = first; r < last; ++r) {
        const auto& row = cells_[r];
        if (row[kTrack] != track) continue;
        const auto line = line_across(*grid(k), {row[kX], row[kY]},
                                      {std::isfinite(row[kU]) ? row[kU] : 0, std::isfinite(row[kV]) ? row[kV] : 0});
        return section_cut(k, line[0], line[1]);
    }
    throw std::invalid_argument("track " + std::to_string(track) + " has no cell in volume " + std::to_string(k));
}

}  // namespace velmora::scene
