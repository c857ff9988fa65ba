// velmora track FILES... --var NAME --level DBZ --min-cells N --out DIR --max-speed M/S --max-gap S --interval S
// velmora synth --series N --interval S OUT_DIR
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>

#include "analysis/analyze.h"
#include "analysis/cell_properties.h"
#include "analysis/hail.h"
#include "analysis/track_table.h"
#include "io/cf_time.h"
#include "io/output_files.h"
#include "commands.h"
#include "table_options.h"
#include "tracking/series.h"
#include "tracking/tracker.h"
#include "io/vtk_files.h"
#include "pictures/pictures.h"

namespace velmora::cli {

namespace fs = std::filesystem;

namespace {

struct TrackOptions {
    std::vector<std::string> volumes;
    std::string var;   // these from the table of options
    double level = 0.0;
    int min_cells = 0;
    double min_volume_km3 = 0.0;
    std::string out;
    double max_speed = 0.0;
    double max_gap = 0.0;
    double interval = 0.0;
    bool picture = true;            // tracks.png and hail_swath.png
    bool volume_pictures = false;   // each volume's pictures too (--pictures)
    bool timings = false;
    PolarOptionTexts polar;
    std::optional<double> freezing_km, minus20_km;   // hail levels, km above sea level
    std::string sounding;
};

// A volume of the series, analysed.
struct Analysed {
    std::string path, folder;
    AnalyzeOptions::ForTracking result;
};

std::string number(double v, const char* format = "%.3f") {
    if (!std::isfinite(v)) return "";
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

// The first volume with cells gives the table its property columns.
TrackTable table_of(const std::vector<Analysed>& series) {
    for (const Analysed& a : series)
        if (!a.result.properties.cells.empty()) return TrackTable(a.result.properties);
    return {};
}

void write_csv(const std::string& path, const std::vector<Analysed>& series, const std::vector<tracking::Frame>& frames,
               const std::vector<tracking::Row>& rows, bool timed) {
    const TrackTable table = table_of(series);
    std::vector<std::vector<CellText>> texts;
    for (std::size_t f = 0; f < frames.size(); ++f)
        texts.push_back(table.texts(frames[f], series[f].path, series[f].result.properties, timed));
    const std::string partial = path + ".partial";
    {
        std::ofstream f(partial);
        f << table.header() << '\n';
        for (const tracking::Row& r : rows) f << TrackTable::line(r, texts[r.frame][r.cell]) << '\n';
        f.close();
        if (!f) throw std::runtime_error("can not write " + path);
    }
    fs::rename(partial, path);
}

// volumes.csv: every volume of the series in time order, with the echo's
// motion into it (what velmora verify needs besides tracks.csv).
void write_volumes_csv(const std::string& path, const std::vector<Analysed>& series,
                       const std::vector<tracking::Frame>& frames, const std::vector<tracking::EchoMotion>& echo,
                       bool timed) {
    const std::string partial = path + ".partial";
    {
        std::ofstream f(partial);
        f << "volume,time,cells,folder,echo_u_ms,echo_v_ms\n";
        for (std::size_t k = 0; k < frames.size(); ++k)
            f << fs::path(series[k].path).filename().string() << ',' << (timed ? iso_utc(frames[k].time) : "") << ','
              << frames[k].cells.size() << ',' << fs::path(series[k].folder).filename().string() << ','
              << table_number(echo[k].u, "%.2f") << ',' << table_number(echo[k].v, "%.2f") << '\n';
        f.close();
        if (!f) throw std::runtime_error("can not write " + path);
    }
    fs::rename(partial, path);
}

// volumes.pvd: each volume's VTK files at its time (its place in the
// series without times), so that ParaView animates the series.
void write_volumes_pvd(const std::string& out, const std::vector<Analysed>& series,
                       const std::vector<tracking::Frame>& frames, bool timed) {
    std::vector<CollectionEntry> entries;
    for (std::size_t k = 0; k < series.size(); ++k) {
        const fs::path folder = fs::path("volumes") / fs::path(series[k].folder).filename();
        int part = 0;
        for (const char* f : {"radar.vti", "isosurface.vtp", "isovolume.vtu", "cell_tops.vtp", "centres.vtp"}) {
            if (fs::exists(fs::path(series[k].folder) / f))
                entries.push_back({timed ? frames[k].time : static_cast<double>(k), part, (folder / f).string()});
            ++part;
        }
    }
    write_collection((fs::path(out) / "volumes.pvd").string(), entries);
}

// The tracks as lines, each the weighted centres of its cells in time order.
std::vector<TrackLine> lines_of(const std::vector<tracking::Frame>& frames, const std::vector<tracking::Row>& rows) {
    std::map<int, TrackLine> by_track;
    for (const tracking::Row& r : rows) {
        const tracking::Cell& c = frames[r.frame].cells[r.cell];
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

// The time of day of a track's end, for its label; empty without times.
std::string clock_time(double t, bool timed) {
    return timed && std::isfinite(t) ? iso_utc(t).substr(11, 5) + "Z" : "";
}

// The tracks as the pictures draw them: each its number, its first and last
// times, whether it began by a split or ended by a merge.
std::vector<PlanView::Path> paths_of(const std::vector<TrackLine>& lines, const std::vector<tracking::Row>& rows, bool timed) {
    std::map<int, std::pair<bool, bool>> events;   // track -> split, merge
    for (const tracking::Row& r : rows) {
        events[r.track].first |= r.event == tracking::Event::Split;
        events[r.track].second |= r.event == tracking::Event::Merge;
    }
    std::vector<PlanView::Path> paths;
    for (const TrackLine& l : lines) {
        if (l.time.empty()) continue;
        paths.push_back({l.x, l.y, std::to_string(l.track), clock_time(l.time.front(), timed),
                         clock_time(l.time.back(), timed), events[l.track].first, events[l.track].second});
    }
    return paths;
}

// The series' time span, as the pictures' titles give it.
std::string time_span(const std::vector<tracking::Frame>& frames, bool timed) {
    if (!timed || frames.empty()) return std::to_string(frames.size()) + " volumes";
    return iso_utc(frames.front().time) + " to " + iso_utc(frames.back().time);
}

// The tracks over the plan view of the last volume, on the map.
void draw_tracks(const std::string& png, const Volume& axes, const std::vector<tracking::Frame>& frames,
                 const std::vector<PlanView::Path>& paths, const std::string& caption, bool timed) {
    const tracking::Frame& last = frames.back();
    std::vector<std::int32_t> plan(axes.x.size() * axes.y.size(), 0);
    for (const tracking::Cell& c : last.cells)
        for (const std::int32_t col : c.columns) plan[static_cast<std::size_t>(col)] = c.no;
    PlanView view;
    view.x = axes.x;
    view.y = axes.y;
    view.column_max = last.column_max;
    view.plan = plan;
    view.paths = paths;
    view.title = std::to_string(paths.size()) + " tracks, " + time_span(frames, timed);
    view.caption = "Over the highest reflectivity of the last volume, " + caption +
                   "; a diamond: a track began by a split, a square: it ended by a merge";
    view.context = map_context(axes);
    view.context.time.clear();   // the title has the series' span
    render_plan_png(view, png, 1100, 900);
}

// The hail swath over the map, with the tracks.
void draw_swath(const std::string& png, const Volume& axes, std::span<const float> swath, const std::vector<tracking::Frame>& frames,
                const std::vector<PlanView::Path>& paths, bool timed) {
    const std::vector<std::int32_t> plan(swath.size(), 0);
    PlanView view;
    view.x = axes.x;
    view.y = axes.y;
    view.column_max = swath;
    view.plan = plan;
    view.paths = paths;
    view.scale = PlanView::Scale::hail;
    view.title = "Hail swath, " + time_span(frames, timed) + ": the largest MESH of each column";
    view.context = map_context(axes);
    view.context.time.clear();
    render_plan_png(view, png, 1100, 900);
}

// The hail along the tracks: hail_swath.nc (the largest MESH each column saw)
// and hail_tracks.csv (the largest MESH of each track, and when), printed too.
std::vector<float> write_hail(const std::string& out, const std::vector<Analysed>& series, const std::vector<tracking::Frame>& frames,
                const std::vector<tracking::Row>& rows, bool timed) {
    std::vector<std::vector<float>> meshes;
    for (const Analysed& a : series) meshes.push_back(a.result.mesh);
    std::vector<float> swath = hail_swath(meshes);
    if (swath.empty()) return swath;
    write_plan_netcdf((fs::path(out) / "hail_swath.nc").string(), series.front().result.axes, swath, "MESH_swath", "mm",
                      "largest maximum expected size of hail of each column over the series");
    std::map<int, std::pair<double, std::size_t>> largest;   // track -> MESH, frame
    for (const tracking::Row& r : rows) {
        const tracking::Cell& c = frames[r.frame].cells[r.cell];
        for (const CellProperties& p : series[r.frame].result.properties.cells) {
            if (p.cell != c.no || !(p.mesh_mm >= 0)) continue;
            auto [it, fresh] = largest.try_emplace(r.track, p.mesh_mm, r.frame);
            if (!fresh && p.mesh_mm > it->second.first) it->second = {p.mesh_mm, r.frame};
        }
    }
    std::ofstream f(fs::path(out) / "hail_tracks.csv");
    f << "track,max_mesh_mm,time,source\n";
    std::printf("largest MESH of each track:\n");
    for (const auto& [track, m] : largest) {
        const std::string source = fs::path(series[m.second].path).filename().string();
        f << track << ',' << number(m.first, "%.2f") << ',' << (timed ? iso_utc(frames[m.second].time) : "") << ','
          << source << '\n';
        std::printf("  track %d: %.1f mm (%s)\n", track, m.first, source.c_str());
    }
    if (!f) throw std::runtime_error("can not write " + (fs::path(out) / "hail_tracks.csv").string());
    return swath;
}

// tracks.png, and hail_swath.png where there is a swath; without a picture
// the results stand.
void draw_series(const ResultFolder& results, const Volume& axes, const std::vector<tracking::Frame>& frames,
                 const std::vector<TrackLine>& lines, const std::vector<tracking::Row>& rows, const std::vector<float>& swath,
                 const std::string& caption, bool timed) {
    const auto paths = paths_of(lines, rows, timed);
    const std::string tracks = results.path("tracks.png"), hail = results.path("hail_swath.png");
    try {
        draw_tracks(tracks, axes, frames, paths, caption, timed);
        if (!swath.empty()) draw_swath(hail, axes, swath, frames, paths, timed);
    } catch (const std::runtime_error& e) {
        std::error_code ec;
        fs::remove(tracks, ec);
        fs::remove(hail, ec);
        std::fprintf(stderr, "velmora track: no picture: %s\n", e.what());
    }
}

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Analyses every volume of the series into its folder under work, as
// velmora analyze does, keeping what tracking needs; 0, or the exit status.
int analyse_series(const TrackOptions& o, const ResultFolder& results, std::vector<Analysed>& series,
                   double& analysing, double& for_tracking) {
    // The analyses' messages name their files where they are going.
    const ShownAtTarget err(results, stderr);
    // Named as velmora batch names them: apart, whatever their files' names.
    const auto folders = volume_folder_names(o.volumes);
    series.resize(o.volumes.size());
    for (std::size_t i = 0; i < o.volumes.size(); ++i) {
        Analysed& a = series[i];
        a.path = o.volumes[i];
        a.folder = (fs::path(results.work()) / "volumes" / folders[i]).string();
        AnalyzeOptions ao;
        ao.volume = a.path;
        ao.var = o.var;
        ao.polar = o.polar.input;
        ao.level = o.level;
        ao.min_cells = o.min_cells;
        ao.min_volume_km3 = o.min_volume_km3;
        ao.out = a.folder;
        ao.picture = o.picture && o.volume_pictures;
        ao.for_tracking = &a.result;
        ao.freezing_level_km = o.freezing_km;
        ao.minus20_level_km = o.minus20_km;
        ao.sounding = o.sounding;
        int status = 0;
        const auto start = Clock::now();
        {
            // Each volume's table stays in its folder; the series gets a line.
            TempFile table;
            {
                const StdoutTo to(table.path());
                status = analyze(ao, err.stream());
            }
            if (status == 0) {
                write_file((fs::path(a.folder) / "cells.txt").string(),
                           [&](std::FILE* f) { std::fputs(table.text().c_str(), f); });
                note_written(a.folder, "cells.txt");
            }
        }
        analysing += seconds_since(start);
        for_tracking += a.result.seconds;
        if (status != 0) {
            std::fprintf(stderr, "velmora track: the analysis of %s failed; the messages above say why\n", a.path.c_str());
            return status;
        }
        const Volume& first = series.front().result.axes;
        if (a.result.axes.x != first.x || a.result.axes.y != first.y) {
            std::fprintf(stderr,
                         "velmora track: %s lies on another grid than %s (%zu x %zu against %zu x %zu columns, or "
                         "other coordinates): the volumes of a series must share their grid\n",
                         a.path.c_str(), series.front().path.c_str(), a.result.axes.x.size(), a.result.axes.y.size(),
                         first.x.size(), first.y.size());
            return 2;
        }
        std::printf("%s: %zu cells\n", a.path.c_str(), a.result.frame.cells.size());
    }
    return 0;
}

// The series in time order, with its frames: by the volumes' own times where
// every one has one, else in the order given, --interval apart. 0, or the
// exit status.
int in_time_order(std::vector<Analysed>& series, double interval, std::vector<Analysed>& sorted,
                  std::vector<tracking::Frame>& frames, bool& timed) {
    const auto with_time =
        std::count_if(series.begin(), series.end(), [](const Analysed& a) { return a.result.axes.time.has_value(); });
    if (with_time != 0 && with_time != static_cast<long>(series.size())) {
        const auto timed = [](const Analysed& a) { return a.result.axes.time.has_value(); };
        const Analysed& without = *std::find_if_not(series.begin(), series.end(), timed);
        const Analysed& with = *std::find_if(series.begin(), series.end(), timed);
        const std::string& why = without.result.axes.time_problem;
        std::fprintf(stderr, "velmora track: %s has no time (%s), %s has one: give volumes of one kind\n",
                     without.path.c_str(), why.empty() ? "it gives none" : why.c_str(), with.path.c_str());
        return 2;
    }
    timed = with_time != 0;
    std::vector<std::size_t> order(series.size());
    std::iota(order.begin(), order.end(), 0);
    if (timed) {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return series[a].result.frame.time < series[b].result.frame.time;
        });
        for (std::size_t k = 1; k < order.size(); ++k)
            if (series[order[k]].result.frame.time == series[order[k - 1]].result.frame.time) {
                std::fprintf(stderr, "velmora track: %s and %s are of the same time (%s)\n",
                             series[order[k - 1]].path.c_str(), series[order[k]].path.c_str(),
                             iso_utc(series[order[k]].result.frame.time).c_str());
                return 2;
            }
    }
    for (std::size_t k = 0; k < order.size(); ++k) {
        sorted.push_back(std::move(series[order[k]]));
        frames.push_back(std::move(sorted.back().result.frame));
        if (!timed) frames.back().time = static_cast<double>(k) * interval;
    }
    return 0;
}

int run_track(const TrackOptions& o) {
    // The results replace those of an earlier run only when this one has
    // succeeded; the volumes may lie among them.
    std::optional<ResultFolder> results;
    try {
        results.emplace(o.out, o.volumes);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora track: --out: %s\n", e.what());
        return 2;
    }
    std::vector<Analysed> series, sorted;
    std::vector<tracking::Frame> frames;
    double analysing = 0.0, for_tracking = 0.0;
    bool timed = false;
    try {
        if (int status = analyse_series(o, *results, series, analysing, for_tracking)) return status;
    } catch (const WriteFailed& e) {
        std::fprintf(stderr, "velmora track: %s\n", e.what());
        return 1;
    }
    if (int status = in_time_order(series, o.interval, sorted, frames, timed)) return status;
    const Volume& axes = sorted.front().result.axes;
    std::vector<tracking::Row> rows;
    std::vector<tracking::EchoMotion> echo;
    const auto start = Clock::now();
    try {
        rows = tracking::track({axes.x, axes.y}, frames, {o.max_speed, o.max_gap}, &echo);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "velmora track: %s\n", e.what());
        return 2;
    }
    const auto lines = lines_of(frames, rows);
    const double linking = seconds_since(start);
    const std::string csv = results->path("tracks.csv"), vtp = results->path("tracks.vtp");
    std::vector<float> swath;
    try {
        write_csv(csv, sorted, frames, rows, timed);
        write_volumes_csv(results->path("volumes.csv"), sorted, frames, echo, timed);
        write_track_lines(vtp, lines);
        write_volumes_pvd(results->work(), sorted, frames, timed);
        swath = write_hail(results->work(), sorted, frames, rows, timed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora track: %s\n", e.what());
        return 1;
    }
    if (o.picture) draw_series(*results, axes, frames, lines, rows, swath, fs::path(sorted.back().path).filename().string(), timed);
    try {
        results->commit();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora track: %s\n", e.what());
        return 1;
    }
    if (o.timings) {
        // What tracking adds: the plan views and footprints taken during the
        // analyses, and the linking; the analyses' writing and pictures aside.
        const double analyses = analysing - for_tracking;
        std::fprintf(stderr, "velmora: analyses %.3f s, tracking %.3f s (%.3f s in the analyses, %.3f s linking): %.1f %%\n",
                     analyses, for_tracking + linking, for_tracking, linking,
                     analyses > 0 ? 100.0 * (for_tracking + linking) / analyses : 0.0);
    }
    int splits = 0, merges = 0;
    for (const auto& r : rows) {
        splits += r.event == tracking::Event::Split;
        merges += r.event == tracking::Event::Merge;
    }
    std::printf("%zu tracks of %zu cells in %zu volumes (%d splits, %d merges); results in %s:\n", lines.size(),
                rows.size(), frames.size(), splits, merges, results->target().c_str());
    for (const char* f : {"tracks.csv", "volumes.csv", "tracks.vtp", "volumes.pvd", "tracks.png", "hail_swath.nc",
                          "hail_swath.png", "hail_tracks.csv", "volumes/"})
        if (fs::exists(fs::path(results->target()) / f)) std::printf("  %s\n", f);
    if (!o.freezing_km && !o.minus20_km && o.sounding.empty()) std::printf("%s.\n", kNoHailLevels);
    return 0;
}

}  // namespace

void add_track_command(CLI::App& app, int& status) {
    auto o = std::make_shared<TrackOptions>();
    CLI::App* cmd = app.add_subcommand("track", "Follow the storm cells of a series of radar volumes over time");
    cmd->add_option("volumes", o->volumes,
                    "Radar volumes of one radar, on one grid: gridded, or polar and gridded alike (as velmora analyze "
                    "reads)")
        ->required()
        ->type_name("VOLUME...");
    add_option(*cmd, "var", o->var);
    add_option(*cmd, "level", o->level);
    add_option(*cmd, "min-cells", o->min_cells);
    add_option(*cmd, "min-volume", o->min_volume_km3);
    add_option(*cmd, "out", o->out);
    add_option(*cmd, "max-speed", o->max_speed);
    add_option(*cmd, "max-gap", o->max_gap);
    add_option(*cmd, "interval", o->interval);
    cmd->add_flag("--pictures", o->volume_pictures, "Draw each volume's pictures too (cells.png, plan.png, mesh.png)");
    cmd->add_flag("!--no-picture", o->picture, "Draw no picture at all, not even tracks.png and hail_swath.png");
    cmd->add_flag("--timings", o->timings, "Print the time of the analyses and of tracking (to standard error)");
    cmd->footer(
        "Analyses each volume as velmora analyze does (into OUT/volumes/<file stem>/), orders them by the time of "
        "their CF time variable (else as given), links each cell to one cell of the volume before and writes "
        "tracks.csv (one row per cell per volume), tracks.vtp (one line per track, for ParaView) and tracks.png (each volume's pictures only with "
        "--pictures); with the hail levels, hail_swath.nc and hail_swath.png (the "
        "largest MESH of each column over the series) and hail_tracks.csv (the largest MESH of each track). "
        "docs/tracking.md describes the method.\n\nExit status: 0 when the series was tracked, 1 when a step failed, "
        "2 when the volumes or the options cannot be used.");
    add_polar_options(*cmd, o->polar);
    add_hail_options(*cmd, o->freezing_km, o->minus20_km, o->sounding);
    cmd->callback([o, &status] {
        if (!polar_input_ok(o->polar, "track", status)) return;
        status = run_track(*o);
    });
}

void add_series_option(CLI::App& synth, int& count, double& interval) {
    add_option(synth, "series", count);
    add_option(synth, "interval", interval);
}

int write_series(const std::string& dir, int count, double interval) {
    // The series replaces an earlier one when it is complete.
    ResultFolder out(dir);
    const tracking::Series s = tracking::synthetic_series(count, interval);
    char name[32];
    for (std::size_t i = 0; i < s.volumes.size(); ++i) {
        std::snprintf(name, sizeof name, "series_%03zu.nc", i);
        write_netcdf(out.path(name), s.volumes[i]);
    }
    write_file(out.path("truth.csv"), [&](std::FILE* f) {
        std::fputs("track,time,x_km,y_km,event,parent\n", f);
        const double t0 = *s.volumes.front().time;
        for (const auto& p : s.truth)
            std::fprintf(f, "%d,%s,%s,%s,%s,%s\n", p.track, iso_utc(t0 + p.time).c_str(), number(p.x).c_str(),
                         number(p.y).c_str(), p.event.c_str(), p.parent ? std::to_string(p.parent).c_str() : "");
    });
    out.commit();
    std::printf("a series of %d volumes %g s apart written to %s, true tracks in truth.csv\n", count, interval,
                dir.c_str());
    return 0;
}

}  // namespace velmora::cli
