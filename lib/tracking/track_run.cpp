#include "tracking/track_run.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <numeric>
#include <stdexcept>

#include "analysis/hail.h"
#include "analysis/track_table.h"
#include "io/cf_time.h"
#include "io/output_files.h"
#include "io/table.h"
#include "io/vtk_files.h"
#include "pictures/pictures.h"
#include "polar/network.h"
#include "tracking/velocity_guess.h"

namespace velmora::tracking {

namespace fs = std::filesystem;

namespace {

std::string file_name(const std::string& path) { return fs::path(path).filename().string(); }

// The first volume with cells gives the table its property columns; a
// series without cells those its volumes' empty tables have.
TrackTable table_of(const std::vector<AnalyzedVolume>& volumes) {
    for (const AnalyzedVolume& a : volumes)
        if (!a.result.properties.cells.empty()) return TrackTable(a.result.properties);
    return volumes.empty() ? TrackTable() : TrackTable(volumes.front().result.properties);
}

std::string tracks_text(const TrackedSeries& t) {
    const TrackTable table = table_of(t.volumes);
    std::vector<std::vector<CellText>> texts;
    for (std::size_t f = 0; f < t.frames.size(); ++f)
        texts.push_back(table.texts(t.frames[f], t.volumes[f].path, t.volumes[f].result.properties, t.timed));
    std::string text = table.header() + '\n';
    for (const Row& r : t.rows) text += TrackTable::line(r, texts[r.frame][r.cell]) + '\n';
    return text;
}

std::string volumes_text(const TrackedSeries& t) {
    std::string text = volumes_header() + '\n';
    for (std::size_t k = 0; k < t.frames.size(); ++k)
        text += volume_line(t.volumes[k].path, t.timed ? std::optional(t.frames[k].time) : std::nullopt,
                            t.frames[k].cells.size(), file_name(t.volumes[k].folder), t.echo[k]) +
                '\n';
    return text;
}

// volumes.pvd: each volume's VTK files at its time (its place in the
// series without times), so that ParaView animates the series.
void write_volumes_pvd(const std::string& folder, const TrackedSeries& t) {
    std::vector<CollectionEntry> entries;
    for (std::size_t k = 0; k < t.volumes.size(); ++k) {
        const fs::path under = fs::path("volumes") / file_name(t.volumes[k].folder);
        int part = 0;
        for (const char* f : {"radar.vti", "isosurface.vtp", "isovolume.vtu", "cell_tops.vtp", "centres.vtp"}) {
            if (fs::exists(fs::path(t.volumes[k].folder) / f))
                entries.push_back({t.timed ? t.frames[k].time : static_cast<double>(k), part, (under / f).string()});
            ++part;
        }
    }
    write_collection((fs::path(folder) / "volumes.pvd").string(), entries);
}

// The tracks as lines, each the weighted centres of its cells in time order.
std::vector<TrackLine> lines_of(const std::vector<Frame>& frames, const std::vector<Row>& rows) {
    std::map<int, TrackLine> by_track;
    for (const Row& r : rows) {
        const Cell& c = frames[r.frame].cells[r.cell];
        TrackLine& l = by_track[r.track];
        l.track = r.track;
        l.x.push_back(c.x);
        l.y.push_back(c.y);
        l.z.push_back(c.z);
        l.time.push_back(frames[r.frame].time);
    }
    std::vector<TrackLine> out;
    for (auto& [no, l] : by_track) out.push_back(std::move(l));
    return out;
}

// The largest MESH of each track, and the volume it was seen in.
std::vector<TrackHail> hail_of_tracks(const TrackedSeries& t, std::map<int, std::size_t>& frame_of) {
    std::map<int, TrackHail> largest;
    for (const Row& r : t.rows) {
        const Cell& c = t.frames[r.frame].cells[r.cell];
        for (const CellProperties& p : t.volumes[r.frame].result.properties.cells) {
            if (p.cell != c.no || !(p.mesh_mm >= 0)) continue;
            const auto [it, fresh] = largest.try_emplace(r.track, TrackHail{r.track, p.mesh_mm, file_name(t.volumes[r.frame].path)});
            if (fresh || p.mesh_mm > it->second.mesh_mm) {
                it->second = {r.track, p.mesh_mm, file_name(t.volumes[r.frame].path)};
                frame_of[r.track] = r.frame;
            }
        }
    }
    std::vector<TrackHail> out;
    for (auto& [no, h] : largest) out.push_back(std::move(h));
    return out;
}

// hail_swath.nc (the largest MESH each column saw, where the volumes had
// echo to measure) and hail_tracks.csv (the largest MESH of each track, and
// when); nothing without hail levels.
void write_hail(const std::string& folder, const TrackedSeries& t, SeriesResults& r) {
    std::vector<std::vector<float>> meshes;
    for (const AnalyzedVolume& a : t.volumes) meshes.push_back(a.result.mesh);
    r.swath = hail_swath(meshes);
    if (const std::string path = (fs::path(folder) / "hail_swath.nc").string(); !r.swath.empty())
        write_plan_netcdf(path, t.volumes.front().result.axes, std::array{swath_variable(r.swath)});
    std::map<int, std::size_t> frame_of;
    r.hail = hail_of_tracks(t, frame_of);
    Table table{"", {"track", "max_mesh_mm", "time", "source"}, {}};
    for (const TrackHail& h : r.hail)
        table.rows.push_back({std::to_string(h.track), table_number(h.mesh_mm, "%.2f"),
                              t.timed ? iso_utc(t.frames[frame_of[h.track]].time) : "", h.source});
    write_table((fs::path(folder) / "hail_tracks.csv").string(), table);
}

// The time of day of a track's end, for its label; empty without times.
std::string clock_time(double s, bool timed) { return timed && std::isfinite(s) ? iso_utc(s).substr(11, 5) + "Z" : ""; }

// The tracks as the pictures draw them: each its number, its first and last
// times, whether it began by a split or ended by a merge.
std::vector<PlanView::Path> paths_of(const TrackedSeries& t) {
    std::map<int, std::pair<bool, bool>> events;   // track -> split, merge
    for (const Row& r : t.rows) {
        events[r.track].first |= r.event == Event::Split;
        events[r.track].second |= r.event == Event::Merge;
    }
    std::vector<PlanView::Path> paths;
    for (const TrackLine& l : lines_of(t.frames, t.rows)) {
        if (l.time.empty()) continue;
        paths.push_back({l.x, l.y, std::to_string(l.track), clock_time(l.time.front(), t.timed),
                         clock_time(l.time.back(), t.timed), events[l.track].first, events[l.track].second});
    }
    return paths;
}

// The series' time span, as the pictures' titles give it.
std::string time_span(const TrackedSeries& t) {
    if (!t.timed || t.frames.empty()) return std::to_string(t.frames.size()) + " volumes";
    return iso_utc(t.frames.front().time) + " to " + iso_utc(t.frames.back().time);
}

// A plan view of the series' grid on the map, its title giving the span.
PlanView plan_of(const Volume& axes, std::vector<PlanView::Path> paths) {
    PlanView view;
    view.x = axes.x;
    view.y = axes.y;
    view.paths = std::move(paths);
    view.context = map_context(axes);
    view.context.time.clear();   // the title has the series' span
    return view;
}

// The tracks over the plan view of the last volume, on the map.
void draw_tracks(const std::string& png, const TrackedSeries& t, std::vector<PlanView::Path> paths,
                 const std::string& caption) {
    const Volume& axes = t.volumes.front().result.axes;
    const Frame& last = t.frames.back();
    std::vector<std::int32_t> plan(axes.x.size() * axes.y.size(), 0);
    for (const Cell& c : last.cells)
        for (const std::int32_t col : c.columns) plan[static_cast<std::size_t>(col)] = c.no;
    PlanView view = plan_of(axes, std::move(paths));
    view.column_max = last.column_max;
    view.plan = plan;
    view.title = std::to_string(view.paths.size()) + " tracks, " + time_span(t);
    view.caption = "Over the highest reflectivity of the last volume, " + caption +
                   "; a diamond: a track began by a split, a square: it ended by a merge";
    render_plan_png(view, png, 1100, 900);
}

using Clock = std::chrono::steady_clock;

// One volume of the series analyzed into its folder; 0 or the exit status.
int analyze_volume(const AnalyzeOptions& base, const polar::DealiasOptions& guess, std::FILE* err, AnalyzedVolume& a) {
    AnalyzeOptions o = base;
    o.velocity_guess = guess;
    o.volume = a.path;
    o.radars = a.radars;
    o.out = a.folder;
    o.for_tracking = &a.result;
    AnalysisSummary summary;
    const int status = analyze(o, err, summary);
    if (status != 0) {
        std::fprintf(err, "velmora track: the analysis of %s failed; the messages above say why\n", a.path.c_str());
        return status;
    }
    // Each volume's table stays in its folder.
    a.summary = std::move(summary.text);
    write_file((fs::path(a.folder) / "cells.txt").string(), a.summary);
    note_written(a.folder, "cells.txt");
    return 0;
}

// The files by time step: one each, or a network's (polar/network.h),
// whose mosaics options then makes on the series' grid; 0 or the exit status.
int time_steps(std::span<const std::string> paths, std::FILE* err, AnalyzeOptions& options,
               std::vector<std::vector<std::string>>& steps) {
    std::optional<polar::NetworkSeries> network;
    try {
        network = polar::network_series(paths, options.polar);
    } catch (const std::exception& e) {
        std::fprintf(err, "velmora track: %s\n", e.what());
        return 2;
    }
    if (!network) {
        for (const std::string& p : paths) steps.push_back({p});
        return 0;
    }
    std::fprintf(err, "velmora track: %zu volumes of %zu radars in %zu time step%s, each one mosaic\n", paths.size(),
                 network->radars, network->steps.size(), network->steps.size() == 1 ? "" : "s");
    options.polar.grid = network->grid;
    options.polar.mosaic.extent_given = true;
    options.mosaic = true;
    steps = std::move(network->steps);
    return 0;
}

}  // namespace

SeriesOrder order_series(std::span<const VolumeTime> volumes, double interval) {
    const auto has_time = [](const VolumeTime& v) { return v.time.has_value(); };
    const auto with_time = std::count_if(volumes.begin(), volumes.end(), has_time);
    if (with_time != 0 && with_time != static_cast<long>(volumes.size())) {
        const VolumeTime& without = *std::find_if_not(volumes.begin(), volumes.end(), has_time);
        const VolumeTime& with = *std::find_if(volumes.begin(), volumes.end(), has_time);
        throw std::invalid_argument(without.name + " has no time (" +
                                    (without.problem.empty() ? "it gives none" : without.problem) + "), " + with.name +
                                    " has one: give volumes of one kind");
    }
    SeriesOrder s;
    s.timed = with_time != 0;
    s.order.resize(volumes.size());
    std::iota(s.order.begin(), s.order.end(), 0);
    if (s.timed)
        std::stable_sort(s.order.begin(), s.order.end(),
                         [&](std::size_t a, std::size_t b) { return *volumes[a].time < *volumes[b].time; });
    for (std::size_t k = 0; k < s.order.size(); ++k) {
        const VolumeTime& v = volumes[s.order[k]];
        if (k > 0 && s.timed && *v.time == s.times.back())
            throw std::invalid_argument(volumes[s.order[k - 1]].name + " and " + v.name + " are of the same time (" +
                                        iso_utc(*v.time) + ")");
        s.times.push_back(s.timed ? *v.time : static_cast<double>(k) * interval);
    }
    return s;
}

int analyze_series(const AnalyzeOptions& base, const Settings& link, std::span<const std::string> paths,
                   const std::string& work, std::FILE* err, std::vector<AnalyzedVolume>& out,
                   const std::function<void(const AnalyzedVolume&)>& on_volume) {
    AnalyzeOptions options = base;
    std::vector<std::vector<std::string>> steps;
    if (int status = time_steps(paths, err, options, steps)) return status;
    std::vector<std::string> leads;
    for (const auto& step : steps) leads.push_back(step.front());
    // Named as velmora batch names them: apart, whatever their files' names.
    const auto folders = volume_folder_names(leads);
    out.resize(steps.size());
    VelocityGuess guess;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        AnalyzedVolume& a = out[i];
        a.path = steps[i].front();
        a.radars.assign(steps[i].begin() + 1, steps[i].end());
        a.folder = (fs::path(work) / "volumes" / folders[i]).string();
        if (int status = analyze_volume(options, guess.options(), err, a)) return status;
        const Volume& first = out.front().result.axes;
        if (a.result.axes.x != first.x || a.result.axes.y != first.y) {
            std::fprintf(err,
                         "velmora track: %s lies on another grid than %s (%zu x %zu against %zu x %zu columns, or "
                         "other coordinates): the volumes of a series must share their grid\n",
                         a.path.c_str(), out.front().path.c_str(), a.result.axes.x.size(), a.result.axes.y.size(),
                         first.x.size(), first.y.size());
            return 2;
        }
        if (on_volume) on_volume(a);
        guess.keep(std::move(a.result.velocity));
        a.result.velocity.reset();
        guess.link({first.x, first.y}, a.result.frame, link);
    }
    return 0;
}

TrackedSeries link_series(std::vector<AnalyzedVolume> volumes, double interval, const Settings& s) {
    std::vector<VolumeTime> times;
    for (const AnalyzedVolume& a : volumes)
        times.push_back({a.path, a.result.axes.time ? std::optional(a.result.frame.time) : std::nullopt,
                         a.result.axes.time_problem});
    const SeriesOrder order = order_series(times, interval);
    TrackedSeries t;
    t.timed = order.timed;
    for (std::size_t k = 0; k < order.order.size(); ++k) {
        t.volumes.push_back(std::move(volumes[order.order[k]]));
        t.frames.push_back(std::move(t.volumes.back().result.frame));
        t.frames.back().time = order.times[k];
    }
    if (t.volumes.empty()) throw std::invalid_argument("no volumes to track");
    const Volume& axes = t.volumes.front().result.axes;
    t.rows = track({axes.x, axes.y}, t.frames, s, &t.echo);
    return t;
}

namespace {

// rotation_tracks.nc (the largest low- and mid-level azimuthal shear each
// column saw), where the volumes had a radial velocity.
void write_rotation(const std::string& folder, const TrackedSeries& t, SeriesResults& r) {
    std::vector<RotationPlan> plans;
    for (const AnalyzedVolume& a : t.volumes) plans.push_back(a.result.rotation);
    r.rotation = rotation_tracks(plans);
    if (!r.rotation.low.empty())
        write_rotation_tracks((fs::path(folder) / "rotation_tracks.nc").string(), t.volumes.front().result.axes, r.rotation);
}

}  // namespace

namespace {

// A plan of one value per column (no cells), on scale, with the tracks of paths.
PictureLayout draw_columns(const std::string& png, const Volume& axes, std::span<const float> columns,
                           PlanView::Scale scale, std::vector<PlanView::Path> paths, std::string title,
                           std::string caption = {}) {
    const std::vector<std::int32_t> plan(columns.size(), 0);
    PlanView view = plan_of(axes, std::move(paths));
    view.column_max = columns;
    view.plan = plan;
    view.scale = scale;
    view.title = std::move(title);
    view.caption = std::move(caption);
    return render_plan_png(view, png, 1100, 900);
}

}  // namespace

void draw_swath(const std::string& png, const Volume& axes, std::span<const float> swath, const std::string& span,
                std::vector<PlanView::Path> paths) {
    draw_columns(png, axes, swath, PlanView::Scale::hail, std::move(paths),
                 "Hail swath, " + span + ": the largest MESH of each column");
}

PictureLayout draw_rotation(const std::string& png, const Volume& axes, std::span<const float> low, const std::string& span,
                            std::vector<PlanView::Path> paths) {
    // Drawn in 10^-3 s^-1, as the scale reads.
    std::vector<float> shear(low.begin(), low.end());
    for (float& s : shear) s *= 1e3f;
    return draw_columns(png, axes, shear, PlanView::Scale::shear, std::move(paths),
                        "Rotation tracks, " + span + ": the largest azimuthal shear 0-2 km above the radar",
                        "Cyclonic azimuthal shear of the dealiased radial velocity; 5 and more: rotation");
}

SeriesResults write_series(const TrackedSeries& t, const std::string& folder, bool hail) {
    SeriesResults r;
    write_file((fs::path(folder) / "tracks.csv").string(), tracks_text(t));
    write_file((fs::path(folder) / "volumes.csv").string(), volumes_text(t));
    const auto lines = lines_of(t.frames, t.rows);
    r.tracks = lines.size();
    write_track_lines((fs::path(folder) / "tracks.vtp").string(), lines);
    write_volumes_pvd(folder, t);
    if (hail) write_hail(folder, t, r);
    write_rotation(folder, t, r);
    return r;
}

void draw_series(const TrackedSeries& t, const SeriesResults& r, const std::string& folder, const std::string& caption) {
    const auto paths = paths_of(t);
    const std::string tracks = (fs::path(folder) / "tracks.png").string();
    const std::string hail = (fs::path(folder) / "hail_swath.png").string();
    const std::string rotation = (fs::path(folder) / "rotation_tracks.png").string();
    try {
        draw_tracks(tracks, t, paths, caption);
        if (!r.swath.empty()) draw_swath(hail, t.volumes.front().result.axes, r.swath, time_span(t), paths);
        if (!r.rotation.low.empty()) draw_rotation(rotation, t.volumes.front().result.axes, r.rotation.low, time_span(t), paths);
    } catch (const std::runtime_error&) {
        std::error_code ec;
        for (const std::string& png : {tracks, hail, rotation}) fs::remove(png, ec);
        throw;
    }
}

std::pair<int, int> split_merge_counts(const std::vector<Row>& rows) {
    int splits = 0, merges = 0;
    for (const Row& r : rows) {
        splits += r.event == Event::Split;
        merges += r.event == Event::Merge;
    }
    return {splits, merges};
}

}  // namespace velmora::tracking
