// velmora track FILES... --var NAME --level DBZ --min-cells N --out DIR --max-speed M/S --max-gap S --interval S
// velmora synth --series N --interval S OUT_DIR
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "analysis/analyze.h"
#include "analysis/hail.h"
#include "analysis/track_table.h"
#include "io/cf_time.h"
#include "io/output_files.h"
#include "io/table.h"
#include "commands.h"
#include "table_options.h"
#include "tracking/series.h"
#include "tracking/track_run.h"

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

// The analyses' options, as velmora analyze takes them.
AnalyzeOptions analysis_options(const TrackOptions& o) {
    AnalyzeOptions ao;
    ao.var = o.var;
    ao.polar = o.polar.input;
    ao.level = o.level;
    ao.min_cells = o.min_cells;
    ao.min_volume_km3 = o.min_volume_km3;
    ao.picture = o.picture && o.volume_pictures;
    ao.freezing_level_km = o.freezing_km;
    ao.minus20_level_km = o.minus20_km;
    ao.sounding = o.sounding;
    return ao;
}

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// What tracking adds: the plan views and footprints taken during the
// analyses, and the linking; the analyses' writing and pictures aside.
void print_timings(double analyzing, double for_tracking, double linking) {
    const double analyses = analyzing - for_tracking;
    std::fprintf(stderr, "velmora: analyses %.3f s, tracking %.3f s (%.3f s in the analyses, %.3f s linking): %.1f %%\n",
                 analyses, for_tracking + linking, for_tracking, linking,
                 analyses > 0 ? 100.0 * (for_tracking + linking) / analyses : 0.0);
}

void print_results(const TrackOptions& o, const tracking::TrackedSeries& t, const tracking::SeriesResults& r,
                   const std::string& target) {
    if (!r.hail.empty()) std::printf("largest MESH of each track:\n");
    for (const tracking::TrackHail& h : r.hail) std::printf("  track %d: %.1f mm (%s)\n", h.track, h.mesh_mm, h.source.c_str());
    const auto [splits, merges] = tracking::split_merge_counts(t.rows);
    std::printf("%zu tracks of %zu cells in %zu volumes (%d splits, %d merges); results in %s:\n", r.tracks,
                t.rows.size(), t.frames.size(), splits, merges, target.c_str());
    for (const char* f : {"tracks.csv", "volumes.csv", "tracks.vtp", "volumes.pvd", "tracks.png", "hail_swath.nc",
                          "hail_swath.png", "hail_tracks.csv", "rotation_tracks.nc", "rotation_tracks.png", "volumes/"})
        if (fs::exists(fs::path(target) / f)) std::printf("  %s\n", f);
    if (!o.freezing_km && !o.minus20_km && o.sounding.empty()) std::printf("%s.\n", kNoHailLevels);
}

// Analyzes, links, writes and draws the series into results; 0 or the exit status.
int track_into(const TrackOptions& o, ResultFolder& results) {
    std::vector<tracking::AnalyzedVolume> analyzed;
    const auto start = Clock::now();
    try {
        // The analyses' messages name their files where they are going.
        const ShownAtTarget err(results, stderr);
        const auto said = [](const tracking::AnalyzedVolume& a) {
            std::string files = a.path;
            for (const std::string& r : a.radars) files += " + " + r;
            std::printf("%s: %zu cells\n", files.c_str(), a.result.frame.cells.size());
        };
        if (int status = tracking::analyze_series(analysis_options(o), {o.max_speed, o.max_gap}, o.volumes, results.work(), err.stream(), analyzed, said))
            return status;
    } catch (const WriteFailed& e) {
        std::fprintf(stderr, "velmora track: %s\n", e.what());
        return 1;
    }
    const double analyzing = seconds_since(start);
    double for_tracking = 0.0;
    for (const auto& a : analyzed) for_tracking += a.result.seconds;
    const auto linked = Clock::now();
    tracking::TrackedSeries t;
    try {
        t = tracking::link_series(std::move(analyzed), o.interval, {o.max_speed, o.max_gap});
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "velmora track: %s\n", e.what());
        return 2;
    }
    const double linking = seconds_since(linked);
    tracking::SeriesResults r;
    try {
        r = tracking::write_series(t, results.work(), o.freezing_km || o.minus20_km || !o.sounding.empty());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora track: %s\n", e.what());
        return 1;
    }
    if (o.picture) {
        try {
            tracking::draw_series(t, r, results.work(), fs::path(t.volumes.back().path).filename().string());
        } catch (const std::runtime_error& e) {
            std::fprintf(stderr, "velmora track: no picture: %s\n", e.what());
        }
    }
    try {
        results.commit();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmora track: %s\n", e.what());
        return 1;
    }
    if (o.timings) print_timings(analyzing, for_tracking, linking);
    print_results(o, t, r, results.target());
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
    return track_into(o, *results);
}

}  // namespace

void add_track_command(CLI::App& app, int& status) {
    auto o = std::make_shared<TrackOptions>();
    CLI::App* cmd = app.add_subcommand("track", "Follow the storm cells of a series of radar volumes over time");
    cmd->add_option("volumes", o->volumes,
                    "Radar volumes of one radar, on one grid: gridded, or polar and gridded alike (as velmora analyze "
                    "reads); polar volumes of several radars are grouped by time, each time step one mosaic")
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
    add_flag(*cmd, "pictures", o->volume_pictures);
    add_flag(*cmd, "no-picture", o->picture);
    add_flag(*cmd, "timings", o->timings);
    cmd->footer(
        "Analyzes each volume as velmora analyze does (into OUT/volumes/<file stem>/), orders them by the time of "
        "their CF time variable (else as given), links each cell to one cell of the volume before and writes "
        "tracks.csv (one row per cell per volume), tracks.vtp (one line per track, for ParaView) and tracks.png (each volume's pictures only with "
        "--pictures); with the hail levels, hail_swath.nc and hail_swath.png (the "
        "largest MESH of each column over the series) and hail_tracks.csv (the largest MESH of each track); of "
        "polar volumes with a radial velocity, rotation_tracks.nc (the largest low- and mid-level azimuthal shear of "
        "each column). "
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
    Table truth{"", {"track", "time", "x_km", "y_km", "event", "parent"}, {}};
    const double t0 = *s.volumes.front().time;
    for (const auto& p : s.truth)
        truth.rows.push_back({std::to_string(p.track), iso_utc(t0 + p.time), table_number(p.x), table_number(p.y), p.event,
                              p.parent ? std::to_string(p.parent) : ""});
    write_table(out.path("truth.csv"), truth);
    out.commit();
    std::printf("a series of %d volumes %g s apart written to %s, true tracks in truth.csv\n", count, interval,
                dir.c_str());
    return 0;
}

}  // namespace velmora::cli
