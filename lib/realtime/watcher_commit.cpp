// One volume's transaction (watcher.h): it takes its place in the series,
// the links after it are made again, the forecasts of the volumes whose
// links changed and the verification they reach are computed, and every
// product they change is written, renamed into place, and committed with
// the database. A failure anywhere leaves the database and the products as
// they were.
#include <array>
#include <filesystem>
#include <fstream>

#include "analysis/cell_analysis.h"
#include "analysis/hail.h"
#include "analysis/rotation.h"
#include "io/cf_time.h"
#include "io/output_files.h"
#include "io/table.h"
#include "realtime/network_steps.h"
#include "realtime/products.h"
#include "realtime/watcher.h"
#include "tracking/track_run.h"

namespace velmora::realtime {

namespace fs = std::filesystem;


namespace {

std::string axis_text(const std::vector<float>& a) {
    std::string t;
    char b[32];
    for (const float v : a) std::snprintf(b, sizeof b, "%a,", static_cast<double>(v)), t += b;
    return t;
}

// A file's text; empty when it cannot be read.
std::string text_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// The grid, the origin and the property columns of the series, from its
// first volume (with cells, for the columns).
void Watcher::first_of_series(const Analyzed& a) {
    const Volume& axes = a.result.axes;
    if (!series_->plane()) {
        series_->set_plane({axes.x, axes.y});
        store_->set_meta("plane_x", axis_text(axes.x));
        store_->set_meta("plane_y", axis_text(axes.y));
        if (axes.origin) {
            char b[96];
            std::snprintf(b, sizeof b, "%a,%a", axes.origin->lat, axes.origin->lon);
            store_->set_meta("origin", b);
            origin_ = axes.origin;
        }
    }
    if (!table_ && !a.result.properties.cells.empty()) {
        table_.emplace(a.result.properties);
        store_->set_meta("extra", csv_line(table_->extra()));
    }
}

// The volumes from index on (and the one before, whose ends may change):
// their rows, forecasts and product files.
void Watcher::save_from(std::size_t index, StagedFiles& staged) {
    const auto& leads = o_.series.leads;
    const std::size_t n = series_->size(), plans = o_.series.reorder_window + 2;
    for (std::size_t f = index > 0 ? index - 1 : 0; f < n; ++f) {
        const tracking::TrackedFrame& t = series_->frame(f);
        const VolumeInfo& info = series_->info(f);
        const auto rows = forecast_rows(t, series_->nowcasts(f), leads);
        std::vector<std::string> lines;
        for (std::size_t c = 0; c < t.rows.size(); ++c)
            lines.push_back(TrackTable::line(t.rows[c], info.texts[c]) + forecast_columns(rows, c));
        // The plan views the links of a late volume may need again.
        store_->save_volume(info, t, f + plans >= n, lines);
        if (f < index) continue;   // the volume before forecasts as it did
        store_->save_forecasts(info.id, rows);
        const std::string dir = (fs::path(o_.out) / "volumes" / info.folder).string();
        staged.add(dir + "/forecast.csv", forecast_csv(t, rows, origin_));
        staged.add(dir + "/forecast.geojson", forecast_geojson(t, rows, *series_->plane(), origin_));
    }
    for (std::size_t f = 0; f + plans < n; ++f) store_->drop_column_max(series_->info(f).id);
    const auto verified = series_->verification_since(index);
    store_->replace_verification(verified.keys, verified.entries);
}

// tracks.csv and volumes.csv grow at their end: the lines of volumes older
// than a late volume can reach never change again, so each volume the files
// are made of the old ones' unchanged beginnings (copied by the kernel; the
// database keeps how many volumes and bytes they hold) and the lines after.
void Watcher::stage_tables(StagedFiles& staged) {
    const fs::path tracks = fs::path(o_.out) / "tracks.csv", volumes = fs::path(o_.out) / "volumes.csv";
    const std::size_t total = store_->volume_count(), reach = o_.series.reorder_window + 1;
    const std::size_t final_now = total > reach ? total - reach : 0;
    const std::string header = (table_ ? *table_ : TrackTable()).header() + forecast_header(o_.series.leads);
    const auto number = [&](const char* key) { return std::stoull(store_->meta(key).value_or("0")); };
    std::size_t final_before = number("final_volumes");
    std::uint64_t keep[2] = {number("tracks_bytes"), number("volumes_bytes")};
    std::error_code ec;
    if (store_->meta("tracks_header") != header || final_before > final_now || fs::file_size(tracks, ec) < keep[0] ||
        fs::file_size(volumes, ec) < keep[1] || ec)
        final_before = 0, keep[0] = keep[1] = 0;   // made whole again
    std::string text[2] = {keep[0] ? "" : header + '\n',
                           keep[1] ? "" : volumes_header() + '\n'};
    std::uint64_t final_bytes[2] = {keep[0] + text[0].size(), keep[1] + text[1].size()};
    const auto ids = store_->volumes_from(final_before);
    for (std::size_t k = 0; k < ids.size(); ++k) {
        for (const std::string& l : store_->track_lines(ids[k])) text[0] += l + '\n';
        text[1] += store_->volume_line(ids[k]) + '\n';
        if (final_before + k < final_now) final_bytes[0] = keep[0] + text[0].size(), final_bytes[1] = keep[1] + text[1].size();
    }
    for (int f = 0; f < 2; ++f) {
        const std::string path = (f == 0 ? tracks : volumes).string();
        if (keep[f]) staged.add_grown(path, keep[f], text[f]);
        else staged.add(path, text[f]);
    }
    store_->set_meta("tracks_header", header);
    store_->set_meta("final_volumes", std::to_string(final_now));
    store_->set_meta("tracks_bytes", std::to_string(final_bytes[0]));
    store_->set_meta("volumes_bytes", std::to_string(final_bytes[1]));
}

// The plans kept at their largest over the series: hail_swath.nc (with
// hail levels) and rotation_tracks.nc (with velocity), and their pictures. A
// volume made again after a crash changes nothing (the largest of the same
// values); a series whose grid changes starts anew.
void Watcher::stage_maxima(const Analyzed& a, double time, StagedFiles& staged) {
    const fs::path out(o_.out);
    const Volume& axes = a.result.axes;
    if (!a.result.mesh.empty()) {
        std::vector<std::vector<float>> parts = {store_->maximum("mesh"), a.result.mesh};
        if (parts[0].size() != parts[1].size()) parts[0].clear();
        const std::vector<float> swath = hail_swath(parts);
        store_->set_maximum("mesh", swath);
        const std::string path = (out / "hail_swath.nc").string();
        staged.add(path, plan_netcdf(path, axes, std::array{swath_variable(swath)}));
        if (o_.analysis.picture) {
            const TempFile drawn;
            tracking::draw_swath(drawn.path(), axes, swath, "to " + iso_utc(time));
            staged.add((out / "hail_swath.png").string(), drawn.text());
        }
    }
    if (!a.result.rotation.low.empty()) {
        RotationPlan before{store_->maximum("azshear_low"), store_->maximum("azshear_mid")};
        if (before.low.size() != a.result.rotation.low.size()) before = {};
        const RotationPlan tracks = rotation_tracks(std::array{before, a.result.rotation});
        store_->set_maximum("azshear_low", tracks.low);
        store_->set_maximum("azshear_mid", tracks.mid);
        const std::string path = (out / "rotation_tracks.nc").string();
        staged.add(path, plan_netcdf(path, axes, rotation_variables(tracks)));
        if (o_.analysis.picture) {
            const TempFile drawn;
            tracking::draw_rotation(drawn.path(), axes, tracks.low, "to " + iso_utc(time));
            staged.add((out / "rotation_tracks.png").string(), drawn.text());
        }
    }
}

// The products of the whole series; a network's volume (at index, as a
// says) with its radars.
void Watcher::stage_series(std::size_t index, const Analyzed& a, StagedFiles& staged) {
    const fs::path out(o_.out);
    stage_tables(staged);
    staged.add((out / "verify.csv").string(), tracking::verification_csv(store_->verification(o_.series.leads)));
    const std::size_t newest = series_->size() - 1;
    const VolumeInfo& info = series_->info(newest);
    std::string radars;
    if (network_) {
        radars = radars_json(a.radars, a.missing);
        staged.add((out / "volumes" / a.folder / "radars.json").string(), radars);
        if (index != newest) radars = text_of((out / "volumes" / info.folder / "radars.json").string());
    }
    staged.add((out / "latest.json").string(),
               latest_json(o_.out, info.name, series_->frame(newest).frame.time, info.folder,
                           series_->frame(newest).frame.cells.size(), store_->volume_count(), radars));
}

void Watcher::commit(const std::string& name, Analyzed& a, std::vector<FileRecord>& recs, VolumeOutcome& out) {
    StateStore::Transaction tx(*store_);
    first_of_series(a);
    LiveVolume v;
    v.t.frame = std::move(a.result.frame);
    v.info.name = name;
    v.info.folder = a.folder;
    v.info.texts = (table_ ? *table_ : TrackTable()).texts(v.t.frame, name, a.result.properties, true);
    v.info.id = store_->add_volume(name, a.folder, v.t.frame.time);
    const std::int64_t id = v.info.id;
    const std::size_t index = series_->insert(std::move(v));
    StagedFiles staged(WholeFile{false, (fs::path(o_.out) / ".velmora-staging").string()});
    save_from(index, staged);
    const tracking::TrackedFrame& added = series_->frame(index);
    store_->record_alerts(id, added.frame.time, crossings(added, a.result.properties, o_.alerts));
    stage_maxima(a, added.frame.time, staged);
    if (a.result.velocity && guess_.newer(*a.result.velocity)) store_->set_velocity(*a.result.velocity);
    for (FileRecord& rec : recs) {
        rec.state = "done";
        rec.reason.clear();
        rec.volume = id;
        store_->put_file(rec);
    }
    // Whether the folder is a network's, and its radars, kept from now on.
    std::string radars;
    for (const std::string& r : this->radars()) radars += r + '\n';
    store_->set_meta("radars", radars);
    if (network_) store_->set_meta("network_steps", network_->made_text());
    stage_series(index, a, staged);
    // Products first: a process dying between the two leaves the volume
    // undone in the database, and it is made again, the same, at the next start.
    staged.commit();
    tx.commit();
    guess_.keep(std::move(a.result.velocity));
    for (const FileRecord& rec : recs) files_[rec.name] = rec;
    folders_.push_back(a.folder);
    const tracking::TrackedFrame& t = series_->frame(index);
    out.folder = a.folder;
    out.time = t.frame.time;
    out.cells = t.frame.cells.size();
    out.relinked = series_->size() - 1 - index;
    out.radars = a.radars;
    out.missing = a.missing;
    series_->trim();
}

}  // namespace velmora::realtime
