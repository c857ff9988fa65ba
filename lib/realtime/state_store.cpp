#include "realtime/state_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "io/cf_time.h"

namespace velmora::realtime {

namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw std::runtime_error("the state database: " + what + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}

}  // namespace

// A statement of the store's, prepared once and kept by the store (one in
// use already, as a query within its own loop would need, is prepared for
// the while); reset when it goes.
class Statement {
public:
    Statement(const StateStore& store, const char* sql) : db_(store.db_) {
        sqlite3_stmt*& kept = store.prepared_[sql];
        if (kept && !sqlite3_stmt_busy(kept)) {
            s_ = kept;
            return;
        }
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s_, nullptr) != SQLITE_OK)
            fail(db_, std::string("preparing ") + sql);
        if (!kept) kept = s_;
        else owned_ = true;
    }
    ~Statement() {
        if (owned_) {
            sqlite3_finalize(s_);
            return;
        }
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int i, std::int64_t v) { return check(sqlite3_bind_int64(s_, i, v)); }
    Statement& bind(int i, int v) { return check(sqlite3_bind_int64(s_, i, v)); }
    Statement& bind(int i, std::size_t v) { return check(sqlite3_bind_int64(s_, i, static_cast<std::int64_t>(v))); }
    // NaN is NULL.
    Statement& bind(int i, double v) { return check(std::isnan(v) ? sqlite3_bind_null(s_, i) : sqlite3_bind_double(s_, i, v)); }
    Statement& bind(int i, const std::string& v) {
        return check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    Statement& blob(int i, const std::string& v) {
        return check(sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    Statement& null(int i) { return check(sqlite3_bind_null(s_, i)); }
    // True for a row, false when done.
    bool step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db_, "a statement failed");
    }
    void run() {
        while (step()) {
        }
        reset();
    }
    void reset() { sqlite3_reset(s_); }
    std::int64_t i(int c) const { return sqlite3_column_int64(s_, c); }
    double d(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL ? NAN : sqlite3_column_double(s_, c); }
    std::string s(int c) const {
        const auto* t = sqlite3_column_text(s_, c);
        return t ? std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(s_, c)))
                 : std::string();
    }
    std::string b(int c) const {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(s_, c));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, c))) : std::string();
    }

private:
    Statement& check(int rc) {
        if (rc != SQLITE_OK) fail(db_, "binding a value");
        return *this;
    }
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
    bool owned_ = false;
};

namespace {

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS files(name TEXT PRIMARY KEY, size INTEGER, mtime_ns INTEGER, checksum TEXT,
  state TEXT NOT NULL, reason TEXT, attempts INTEGER NOT NULL DEFAULT 0, volume INTEGER);
CREATE TABLE IF NOT EXISTS volumes(id INTEGER PRIMARY KEY, name TEXT UNIQUE NOT NULL, folder TEXT UNIQUE NOT NULL,
  time REAL NOT NULL, tracks_after INTEGER NOT NULL DEFAULT 0, echo_u REAL, echo_v REAL, cells INTEGER NOT NULL DEFAULT 0,
  frame BLOB, column_max BLOB);
CREATE INDEX IF NOT EXISTS volumes_time ON volumes(time);
CREATE TABLE IF NOT EXISTS cells(volume INTEGER NOT NULL, cell INTEGER NOT NULL, track INTEGER NOT NULL, u REAL, v REAL,
  parent INTEGER NOT NULL, event TEXT NOT NULL, began_event TEXT NOT NULL, began_parent INTEGER NOT NULL,
  middle TEXT NOT NULL, tail TEXT NOT NULL, line TEXT NOT NULL, PRIMARY KEY(volume, cell));
CREATE TABLE IF NOT EXISTS forecasts(volume INTEGER NOT NULL, cell INTEGER NOT NULL, lead REAL NOT NULL,
  track INTEGER NOT NULL, x_km REAL, y_km REAL, area_km2 REAL, volume_km3 REAL, top_km REAL, max_dbz REAL, u_ms REAL,
  v_ms REAL, echo INTEGER NOT NULL, PRIMARY KEY(volume, cell, lead));
CREATE TABLE IF NOT EXISTS verification(issue INTEGER NOT NULL, lead REAL NOT NULL, method TEXT NOT NULL,
  valid INTEGER NOT NULL, hits INTEGER, misses INTEGER, false_alarms INTEGER, centre_error_km REAL, centres INTEGER,
  PRIMARY KEY(issue, lead, method));
CREATE TABLE IF NOT EXISTS verification_sums(lead REAL NOT NULL, method TEXT NOT NULL, volumes INTEGER NOT NULL,
  hits INTEGER NOT NULL, misses INTEGER NOT NULL, false_alarms INTEGER NOT NULL, centre_error_km REAL NOT NULL,
  centres INTEGER NOT NULL, PRIMARY KEY(lead, method));
CREATE TABLE IF NOT EXISTS alerts(track INTEGER NOT NULL, property TEXT NOT NULL, threshold REAL NOT NULL,
  value REAL NOT NULL, volume INTEGER NOT NULL, time REAL NOT NULL, cell INTEGER NOT NULL, PRIMARY KEY(track, property));
CREATE TABLE IF NOT EXISTS maxima(name TEXT PRIMARY KEY, plan BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS velocity(one INTEGER PRIMARY KEY CHECK(one = 1), source TEXT NOT NULL, field TEXT NOT NULL,
  units TEXT NOT NULL, latitude REAL, longitude REAL, height REAL, time REAL, beam_width REAL NOT NULL);
CREATE TABLE IF NOT EXISTS velocity_sweeps(sweep INTEGER PRIMARY KEY, name TEXT NOT NULL, fixed_angle REAL NOT NULL,
  range_first REAL NOT NULL, gate_spacing REAL NOT NULL, gates INTEGER NOT NULL, time REAL, nyquist REAL,
  nyquist_high REAL NOT NULL, nyquist_low REAL NOT NULL, azimuth BLOB NOT NULL, elevation BLOB NOT NULL,
  vals BLOB NOT NULL);
)";

// A frame's cells as bytes (the plan view apart).
template <class T>
void put(std::string& out, T v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}
template <class T>
T take(const std::string& in, std::size_t& at) {
    if (at + sizeof(T) > in.size()) throw std::runtime_error("the state database: a volume's cells are cut short");
    T v;
    std::memcpy(&v, in.data() + at, sizeof v);
    at += sizeof v;
    return v;
}

std::string pack_cells(const std::vector<tracking::Cell>& cells) {
    std::string out;
    put(out, static_cast<std::uint32_t>(cells.size()));
    for (const tracking::Cell& c : cells) {
        put(out, c.no), put(out, c.x), put(out, c.y), put(out, c.z), put(out, c.voxels);
        put(out, c.volume_km3), put(out, c.top_km), put(out, c.max_dbz);
        put(out, static_cast<std::uint32_t>(c.columns.size()));
        out.append(reinterpret_cast<const char*>(c.columns.data()), c.columns.size() * sizeof(std::int32_t));
    }
    return out;
}

std::vector<tracking::Cell> unpack_cells(const std::string& in) {
    std::size_t at = 0;
    std::vector<tracking::Cell> cells(take<std::uint32_t>(in, at));
    for (tracking::Cell& c : cells) {
        c.no = take<int>(in, at), c.x = take<double>(in, at), c.y = take<double>(in, at), c.z = take<double>(in, at);
        c.voxels = take<int>(in, at), c.volume_km3 = take<double>(in, at), c.top_km = take<double>(in, at);
        c.max_dbz = take<double>(in, at);
        c.columns.resize(take<std::uint32_t>(in, at));
        for (auto& col : c.columns) col = take<std::int32_t>(in, at);
    }
    return cells;
}

tracking::Event event_named(const std::string& name) {
    using enum tracking::Event;
    for (const auto e : {Start, Continue, Split, Merge, End})
        if (name == tracking::event_name(e)) return e;
    throw std::runtime_error("the state database: no event \"" + name + "\"");
}

}  // namespace

StateStore::StateStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("can not open the state database " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 5000);
    // WAL: a commit is one append, readers (velmora.watch, sqlite3) do not
    // block the watcher; NORMAL sync is safe against the process dying at
    // any moment, and against a power cut loses at most the last volumes,
    // which are then processed again.
    exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF;");
    exec(kSchema);
}

StateStore::~StateStore() {
    for (auto& [sql, s] : prepared_) sqlite3_finalize(s);
    sqlite3_close(db_);
}

void StateStore::exec(const char* sql) const {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string why = error ? error : "unknown";
        sqlite3_free(error);
        throw std::runtime_error(std::string("the state database: ") + why);
    }
}

StateStore::Transaction::Transaction(StateStore& s) : s_(s) { s_.exec("BEGIN IMMEDIATE"); }
StateStore::Transaction::~Transaction() {
    if (open_) sqlite3_exec(s_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
}
void StateStore::Transaction::commit() {
    s_.exec("COMMIT");
    open_ = false;
}

std::size_t StateStore::record_alerts(std::int64_t volume, double time, std::span<const Alert> alerts) {
    std::size_t added = 0;
    for (const Alert& a : alerts) {
        Statement q(*this, "INSERT OR IGNORE INTO alerts(track, property, threshold, value, volume, time, cell) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?)");
        q.bind(1, a.track).bind(2, a.property).bind(3, a.threshold).bind(4, a.value).bind(5, volume).bind(6, time).bind(7, a.cell);
        q.run();
        added += static_cast<std::size_t>(sqlite3_changes(db_));
    }
    return added;
}

std::optional<std::string> StateStore::meta(const std::string& key) const {
    Statement q(*this, "SELECT value FROM meta WHERE key = ?");
    q.bind(1, key);
    if (!q.step()) return std::nullopt;
    return q.s(0);
}

void StateStore::set_meta(const std::string& key, const std::string& value) {
    Statement(*this, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)").bind(1, key).bind(2, value).run();
}

std::map<std::string, FileRecord> StateStore::files() const {
    std::map<std::string, FileRecord> out;
    Statement q(*this, "SELECT name, size, mtime_ns, checksum, state, reason, attempts, volume FROM files");
    while (q.step()) {
        FileRecord& r = out[q.s(0)] = FileRecord(q.s(0), q.i(1), q.i(2), q.s(3));
        r.state = q.s(4), r.reason = q.s(5), r.attempts = static_cast<int>(q.i(6)), r.volume = q.i(7);
    }
    return out;
}

void StateStore::put_file(const FileRecord& r) {
    Statement(*this, "INSERT OR REPLACE INTO files(name, size, mtime_ns, checksum, state, reason, attempts, volume) "
              "VALUES(?, ?, ?, ?, ?, ?, ?, ?)")
        .bind(1, r.name).bind(2, r.size).bind(3, r.mtime_ns).bind(4, r.checksum).bind(5, r.state).bind(6, r.reason)
        .bind(7, r.attempts).bind(8, r.volume).run();
}

std::int64_t StateStore::add_volume(const std::string& name, const std::string& folder, double time) {
    Statement(*this, "INSERT INTO volumes(name, folder, time) VALUES(?, ?, ?)").bind(1, name).bind(2, folder).bind(3, time).run();
    return sqlite3_last_insert_rowid(db_);
}

void StateStore::save_volume(const VolumeInfo& info, const tracking::TrackedFrame& t, bool column_max,
                             std::span<const std::string> lines) {
    const auto& f = t.frame;
    Statement up(*this, "UPDATE volumes SET time = ?, tracks_after = ?, echo_u = ?, echo_v = ?, cells = ?, frame = ?, "
                 "column_max = ? WHERE id = ?");
    up.bind(1, f.time).bind(2, info.tracks_after).bind(3, t.echo.u).bind(4, t.echo.v).bind(5, f.cells.size());
    up.blob(6, pack_cells(f.cells));
    if (column_max) up.blob(7, std::string(reinterpret_cast<const char*>(f.column_max.data()), f.column_max.size() * 4));
    else up.null(7);
    up.bind(8, info.id).run();
    Statement(*this, "DELETE FROM cells WHERE volume = ?").bind(1, info.id).run();
    Statement put(*this, "INSERT INTO cells(volume, cell, track, u, v, parent, event, began_event, began_parent, middle, "
                  "tail, line) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (std::size_t c = 0; c < t.rows.size(); ++c) {
        const tracking::Row& r = t.rows[c];
        const tracking::Row& b = info.began[c];
        put.bind(1, info.id).bind(2, c).bind(3, r.track).bind(4, r.u).bind(5, r.v).bind(6, r.parent);
        put.bind(7, std::string(tracking::event_name(r.event))).bind(8, std::string(tracking::event_name(b.event)));
        put.bind(9, b.parent).bind(10, info.texts[c].middle).bind(11, info.texts[c].tail).bind(12, lines[c]).run();
    }
}

std::vector<float> StateStore::maximum(const std::string& name) const {
    Statement q(*this, "SELECT plan FROM maxima WHERE name = ?");
    if (!q.bind(1, name).step()) return {};
    const std::string bytes = q.b(0);
    std::vector<float> out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

void StateStore::set_maximum(const std::string& name, std::span<const float> plan) {
    Statement(*this, "INSERT OR REPLACE INTO maxima(name, plan) VALUES (?, ?)")
        .bind(1, name)
        .blob(2, std::string(reinterpret_cast<const char*>(plan.data()), plan.size() * 4))
        .run();
}

namespace {

std::string bytes_of(const std::vector<float>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

std::vector<float> floats_of(const std::string& bytes) {
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

double or_nan(const std::optional<double>& v) { return v ? *v : NAN; }
std::optional<double> unless_nan(double v) { return std::isnan(v) ? std::nullopt : std::optional(v); }

}  // namespace

void StateStore::set_velocity(const polar::PolarVolume& v) {
    Statement(*this, "DELETE FROM velocity_sweeps").run();
    const polar::Site site = v.site.value_or(polar::Site{NAN, NAN, NAN});
    Statement(*this, "INSERT OR REPLACE INTO velocity(one, source, field, units, latitude, longitude, height, time, "
                     "beam_width) VALUES (1, ?, ?, ?, ?, ?, ?, ?, ?)")
        .bind(1, v.source).bind(2, v.field).bind(3, v.units).bind(4, site.latitude).bind(5, site.longitude)
        .bind(6, site.height).bind(7, or_nan(v.time)).bind(8, v.beam_width)
        .run();
    Statement put(*this, "INSERT INTO velocity_sweeps(sweep, name, fixed_angle, range_first, gate_spacing, gates, time, "
                         "nyquist, nyquist_high, nyquist_low, azimuth, elevation, vals) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (std::size_t k = 0; k < v.sweeps.size(); ++k) {
        const polar::Sweep& s = v.sweeps[k];
        put.bind(1, k).bind(2, s.name).bind(3, s.fixed_angle).bind(4, s.range_first).bind(5, s.gate_spacing)
            .bind(6, s.gates).bind(7, or_nan(s.time)).bind(8, or_nan(s.nyquist)).bind(9, s.nyquist_high)
            .bind(10, s.nyquist_low).blob(11, bytes_of(s.azimuth)).blob(12, bytes_of(s.elevation))
            .blob(13, bytes_of(s.values))
            .run();
    }
}

std::optional<polar::PolarVolume> StateStore::velocity() const {
    Statement q(*this, "SELECT source, field, units, latitude, longitude, height, time, beam_width FROM velocity");
    if (!q.step()) return std::nullopt;
    polar::PolarVolume v;
    v.source = q.s(0), v.field = q.s(1), v.units = q.s(2);
    if (!std::isnan(q.d(3))) v.site = polar::Site{q.d(3), q.d(4), q.d(5)};
    v.time = unless_nan(q.d(6));
    v.beam_width = q.d(7);
    Statement sweeps(*this, "SELECT name, fixed_angle, range_first, gate_spacing, gates, time, nyquist, nyquist_high, "
                            "nyquist_low, azimuth, elevation, vals FROM velocity_sweeps ORDER BY sweep");
    while (sweeps.step()) {
        polar::Sweep& s = v.sweeps.emplace_back();
        s.name = sweeps.s(0), s.fixed_angle = sweeps.d(1), s.range_first = sweeps.d(2), s.gate_spacing = sweeps.d(3);
        s.gates = static_cast<int>(sweeps.i(4));
        s.time = unless_nan(sweeps.d(5));
        s.nyquist = unless_nan(sweeps.d(6));
        s.nyquist_high = sweeps.d(7), s.nyquist_low = sweeps.d(8);
        s.azimuth = floats_of(sweeps.b(9)), s.elevation = floats_of(sweeps.b(10)), s.values = floats_of(sweeps.b(11));
        if (s.gates <= 0 || s.elevation.size() != s.rays() || s.values.size() != s.rays() * static_cast<std::size_t>(s.gates))
            throw std::runtime_error("the state's velocity sweep " + s.name + " does not fit its rays and gates");
    }
    return v;
}

void StateStore::drop_column_max(std::int64_t volume) {
    Statement(*this, "UPDATE volumes SET column_max = NULL WHERE id = ? AND column_max IS NOT NULL").bind(1, volume).run();
}

void StateStore::save_forecasts(std::int64_t volume, std::span<const ForecastRow> rows) {
    Statement(*this, "DELETE FROM forecasts WHERE volume = ?").bind(1, volume).run();
    Statement put(*this, "INSERT INTO forecasts(volume, cell, lead, track, x_km, y_km, area_km2, volume_km3, top_km, max_dbz, "
                  "u_ms, v_ms, echo) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (const ForecastRow& r : rows) {
        const tracking::Outlook& o = r.outlook;
        put.bind(1, volume).bind(2, r.cell).bind(3, r.lead).bind(4, r.track).bind(5, o.x).bind(6, o.y);
        put.bind(7, o.area_km2).bind(8, o.volume_km3).bind(9, o.top_km).bind(10, o.max_dbz).bind(11, r.u).bind(12, r.v);
        put.bind(13, int(r.echo)).run();
    }
}

void StateStore::replace_verification(std::span<const std::pair<std::int64_t, double>> keys,
                                      std::span<const Verified> entries) {
    // The sums follow every row: its values added when it comes, taken off when it goes.
    Statement sum(*this, "INSERT INTO verification_sums VALUES(?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(lead, method) DO UPDATE SET "
                  "volumes = volumes + excluded.volumes, hits = hits + excluded.hits, misses = misses + excluded.misses, "
                  "false_alarms = false_alarms + excluded.false_alarms, centre_error_km = centre_error_km + "
                  "excluded.centre_error_km, centres = centres + excluded.centres");
    const auto add = [&](double lead, const std::string& method, int sign, std::int64_t h, std::int64_t m, std::int64_t f,
                         double e, std::int64_t c) {
        sum.bind(1, lead).bind(2, method).bind(3, sign).bind(4, sign * h).bind(5, sign * m).bind(6, sign * f);
        sum.bind(7, sign * e).bind(8, sign * c).run();
    };
    Statement old(*this, "SELECT method, hits, misses, false_alarms, centre_error_km, centres FROM verification "
                  "WHERE issue = ? AND lead = ?");
    Statement drop(*this, "DELETE FROM verification WHERE issue = ? AND lead = ?");
    for (const auto& [issue, lead] : keys) {
        old.bind(1, issue).bind(2, lead);
        while (old.step()) add(lead, old.s(0), -1, old.i(1), old.i(2), old.i(3), old.d(4), old.i(5));
        old.reset();
        drop.bind(1, issue).bind(2, lead).run();
    }
    Statement put(*this, "INSERT INTO verification(issue, lead, method, valid, hits, misses, false_alarms, centre_error_km, "
                  "centres) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (const Verified& e : entries) {
        const auto& c = e.scores.columns;
        const std::string method = tracking::method_name(e.method);
        put.bind(1, e.issue).bind(2, e.lead).bind(3, method).bind(4, e.valid);
        put.bind(5, c.hits).bind(6, c.misses).bind(7, c.false_alarms).bind(8, e.scores.centre_error_km);
        put.bind(9, e.scores.centres).run();
        add(e.lead, method, 1, c.hits, c.misses, c.false_alarms, e.scores.centre_error_km, e.scores.centres);
    }
}

std::size_t StateStore::volume_count() const {
    Statement q(*this, "SELECT COUNT(*) FROM volumes");
    q.step();
    return static_cast<std::size_t>(q.i(0));
}

std::vector<std::string> StateStore::folders() const {
    std::vector<std::string> out;
    Statement q(*this, "SELECT folder FROM volumes");
    while (q.step()) out.push_back(q.s(0));
    return out;
}

std::vector<LiveVolume> StateStore::load_window(std::size_t min_volumes, double horizon, int& tracks_before,
                                                std::size_t& volumes_before) const {
    const std::size_t total = volume_count();
    Statement within(*this, "SELECT COUNT(*) FROM volumes WHERE time >= (SELECT MAX(time) FROM volumes) - ?");
    within.bind(1, horizon).step();
    const std::size_t take = std::min(total, std::max(min_volumes, static_cast<std::size_t>(within.i(0))));
    volumes_before = total - take;
    std::vector<LiveVolume> out(take);
    Statement q(*this, "SELECT id, name, folder, time, tracks_after, echo_u, echo_v, frame, column_max FROM volumes "
                "ORDER BY time DESC LIMIT ?");
    q.bind(1, take);
    for (std::size_t k = take; k-- > 0 && q.step();) {
        LiveVolume& v = out[k];
        v.info.id = q.i(0), v.info.name = q.s(1), v.info.folder = q.s(2), v.t.frame.time = q.d(3);
        v.info.tracks_after = static_cast<int>(q.i(4));
        v.t.echo = {q.d(5), q.d(6)};
        v.t.frame.cells = unpack_cells(q.b(7));
        const std::string plan = q.b(8);
        v.t.frame.column_max.resize(plan.size() / 4);
        std::memcpy(v.t.frame.column_max.data(), plan.data(), v.t.frame.column_max.size() * 4);
    }
    tracks_before = 0;
    if (!out.empty()) {
        Statement b(*this, "SELECT tracks_after FROM volumes WHERE time < ? ORDER BY time DESC LIMIT 1");
        if (b.bind(1, out.front().t.frame.time).step()) tracks_before = static_cast<int>(b.i(0));
    }
    Statement cells(*this, "SELECT cell, track, u, v, parent, event, began_event, began_parent, middle, tail FROM cells "
                    "WHERE volume = ? ORDER BY cell");
    for (std::size_t k = 0; k < out.size(); ++k) {
        LiveVolume& v = out[k];
        cells.bind(1, v.info.id);
        while (cells.step()) {
            const auto cell = static_cast<std::size_t>(cells.i(0));
            const int track = static_cast<int>(cells.i(1));
            v.t.rows.push_back({k, cell, track, cells.d(2), cells.d(3), static_cast<int>(cells.i(4)), event_named(cells.s(5))});
            v.info.began.push_back(
                {k, cell, track, cells.d(2), cells.d(3), static_cast<int>(cells.i(7)), event_named(cells.s(6))});
            v.info.texts.push_back({cells.s(8), cells.s(9)});
        }
        cells.reset();
    }
    return out;
}

std::vector<std::int64_t> StateStore::volumes_from(std::size_t first) const {
    std::vector<std::int64_t> out;
    Statement q(*this, "SELECT id FROM volumes ORDER BY time LIMIT -1 OFFSET ?");
    q.bind(1, first);
    while (q.step()) out.push_back(q.i(0));
    return out;
}

std::vector<std::string> StateStore::track_lines(std::int64_t volume) const {
    std::vector<std::string> out;
    Statement q(*this, "SELECT line FROM cells WHERE volume = ? ORDER BY cell");
    q.bind(1, volume);
    while (q.step()) out.push_back(q.s(0));
    return out;
}

std::string StateStore::volume_line(std::int64_t volume) const {
    Statement q(*this, "SELECT name, time, cells, folder, echo_u, echo_v FROM volumes WHERE id = ?");
    if (!q.bind(1, volume).step()) return {};
    return velmora::volume_line(q.s(0), q.d(1), static_cast<std::size_t>(q.i(2)), q.s(3), {q.d(4), q.d(5)});
}

std::vector<tracking::VerificationRow> StateStore::verification(std::span<const double> leads) const {
    std::vector<tracking::VerificationRow> rows;
    Statement q(*this, "SELECT volumes, hits, misses, false_alarms, centre_error_km, centres FROM verification_sums "
                "WHERE lead = ? AND method = ?");
    for (const double lead : leads)
        for (const tracking::Method m : tracking::kMethods) {
            tracking::VerificationRow r{lead, m, {}};
            if (q.bind(1, lead).bind(2, std::string(tracking::method_name(m))).step()) {
                r.scores.volumes = q.i(0);
                r.scores.columns = {q.i(1), q.i(2), q.i(3)};
                // Sums of sums and differences: an error of exactly 0 where there is none left.
                r.scores.centres = q.i(5);
                r.scores.centre_error_km = r.scores.centres > 0 ? q.d(4) : 0.0;
            }
            q.reset();
            rows.push_back(r);
        }
    return rows;
}

}  // namespace velmora::realtime
