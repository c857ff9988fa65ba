// velmora grid POLAR... --out GRID.nc [--field --site --spacing --extent --levels --origin --roi-min --roi-angle]
// and the same gridding options for the commands that take polar files.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "commands.h"
#include "table_options.h"
#include "io/output_files.h"
#include "polar/polar_input.h"
#include "polar/velocity.h"

namespace velmora::cli {

namespace {

std::string polar_input_problem(PolarOptionTexts& o) {
    polar::PolarInput& in = o.input;
    in.field = o.field;
    if (!o.site.empty()) {
        const auto origin = checked_origin(o.site[0], o.site[1]);
        if (!origin) return "--site: not a latitude and longitude";
        in.site = polar::Site{o.site[0], o.site[1], o.site[2]};
    }
    if (!o.spacing.empty()) in.grid.dx = o.spacing[0], in.grid.dy = o.spacing[1], in.grid.dz = o.spacing[2];
    if (!o.extent.empty())
        in.grid.xmin = o.extent[0], in.grid.xmax = o.extent[1], in.grid.ymin = o.extent[2], in.grid.ymax = o.extent[3];
    if (!o.levels.empty()) in.grid.zmin = o.levels[0], in.grid.zmax = o.levels[1];
    in.mosaic.extent_given = o.extent_option != nullptr && o.extent_option->count() > 0;
    if (!o.combine.empty()) {
        const auto combine = polar::combine_named(o.combine);
        if (!combine) return "--combine: \"" + o.combine + "\" is none of weighted, nearest, max";
        in.mosaic.combine = *combine;
    }
    if (!o.origin.empty()) {
        in.grid.origin = checked_origin(o.origin[0], o.origin[1]);
        if (!in.grid.origin) return "--origin: not a latitude and longitude";
    }
    return polar::grid_problem(in.grid);
}

// What a mosaic says of itself, then the line of the grid written.
void print_mosaic(const polar::Mosaic& m, const std::string& out) {
    std::printf("mosaic of %zu radars (%s), volumes %.0f s apart\n", m.radars.size(), polar::combine_name(m.combine),
                m.time_spread);
    for (const polar::MosaicRadar& r : m.radars)
        if (r.adjustment != 0.0) std::printf("%s calibrated by %+.1f dB\n", r.name.c_str(), r.adjustment);
    std::printf("overlaps, median difference where both see echo:\n");
    for (const std::string& line : polar::overlap_lines(m, m.overlaps)) std::printf("  %s\n", line.c_str());
    if (!m.residuals.empty()) {
        std::printf("after the calibration:\n");
        for (const std::string& line : polar::overlap_lines(m, m.residuals)) std::printf("  %s\n", line.c_str());
    }
    const Volume& g = m.grid;
    std::printf("%zu x %zu x %zu grid of %zu polar volumes written to %s (variable %s, heights above sea level)\n",
                g.x.size(), g.y.size(), g.z.size(), m.radars.size(), out.c_str(), g.name.c_str());
}

}  // namespace

void add_polar_options(CLI::App& cmd, PolarOptionTexts& o) {
    add_option(cmd, "field", o.field);
    add_option(cmd, "site", o.site);
    add_option(cmd, "spacing", o.spacing);
    o.extent_option = add_option(cmd, "extent", o.extent);
    add_option(cmd, "levels", o.levels);
    add_option(cmd, "origin", o.origin);
    add_option(cmd, "roi-min", o.input.grid.roi_min);
    add_option(cmd, "roi-angle", o.input.grid.roi_angle);
    // The commands that make a mosaic of several radars.
    const auto taken = options::of(cmd.get_name());
    if (std::any_of(taken.begin(), taken.end(), [](const options::Option* t) { return t->name == "combine"; })) {
        add_option(cmd, "combine", o.combine);
        add_option(cmd, "max-age", o.input.mosaic.max_age);
        add_option(cmd, "calibrate", o.input.mosaic.calibrate);
    }
    add_flag(cmd, "no-despeckle", o.input.filters.despeckle);
    add_flag(cmd, "dealias", o.input.dealias);
    add_option(cmd, "min-quality", o.input.filters.min_quality);
    add_option(cmd, "max-clutter-power", o.input.filters.max_clutter_power);
}

bool polar_input_ok(PolarOptionTexts& o, const char* command, int& status) {
    const std::string problem = polar_input_problem(o);
    // What the gridding leaves out is said, and the work goes on.
    o.input.grid.note = [name = std::string(command)](const std::string& note) {
        std::fprintf(stderr, "velmora %s: %s\n", name.c_str(), note.c_str());
    };
    if (problem.empty()) return true;
    std::fprintf(stderr, "velmora %s: %s\n", command, problem.c_str());
    status = 2;
    return false;
}

void add_grid_command(CLI::App& app, int& status) {
    struct Options {
        std::vector<std::string> files;
        std::string out;
        PolarOptionTexts polar;
        bool timings = false;
    };
    auto o = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("grid", "Grid polar radar volumes onto a Cartesian volume");
    cmd->add_option("polar", o->files,
                    "Polar volumes: ODIM HDF5, NEXRAD Level II (plain, gzip or bzip2) or CF/Radial; several radars make "
                    "one mosaic")
        ->required()
        ->type_name("POLAR");
    add_option(*cmd, "out", o->out)->required();
    add_polar_options(*cmd, o->polar);
    add_flag(*cmd, "timings", o->timings);
    cmd->footer(
        "Writes DT(time, z, y, x) with coordinates x, y, z in m on an azimuthal equidistant projection about the "
        "origin, CF time and origin_latitude/origin_longitude: the layout velmora analyze and other radar toolkits "
        "read. Gates are weighted by distance within a radius of influence that widens with range; reflectivity "
        "is averaged as linear Z. Several radars make a mosaic that keeps, at each point, the best-placed radar's "
        "view (--combine), with radar_count, kept_radar, the radars and their overlaps' differences in the file. "
        "docs/polar.md describes the formats and the method.\n\nExit status: 0 when the "
        "grid was written, 1 when writing failed, 2 when a file or the options cannot be used.");
    cmd->callback([o, &status] {
        if (!polar_input_ok(o->polar, "grid", status)) return;
        // An output that cannot be written, or is an input, is said before any work.
        if (auto problem = output_file_problem(o->out, o->files)) {
            std::fprintf(stderr, "velmora grid: --out: %s\n", problem->c_str());
            status = 2;
            return;
        }
        using Clock = std::chrono::steady_clock;
        auto t = Clock::now();
        auto lap = [&](const char* step) {
            if (!o->timings) return;
            const auto now = Clock::now();
            std::fprintf(stderr, "%-8s %.3f s\n", step, std::chrono::duration<double>(now - t).count());
            t = now;
        };
        Volume grid;
        std::optional<Volume> raw;   // the velocity as measured, beside the dealiased one
        std::optional<polar::Mosaic> mosaic;
        try {
            std::vector<polar::PolarVolume> volumes;
            std::optional<polar::PolarVolume> measured;
            for (const std::string& path : o->files) {
                volumes.push_back(polar::read_input(path, o->polar.input, o->files.size() == 1 ? &measured : nullptr));
            }
            lap("read");
            if (volumes.size() > 1) mosaic = polar::mosaic_volumes(volumes, o->polar.input.grid, o->polar.input.mosaic);
            else grid = polar::grid_volumes(volumes, o->polar.input.grid);
            if (measured) raw = polar::grid_volumes(std::span(&*measured, 1), o->polar.input.grid);
            lap("grid");
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "velmora grid: out of memory\n");
            status = 1;
            return;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora grid: %s\n", e.what());
            status = 2;
            return;
        }
        try {
            if (mosaic) write_mosaic(o->out, *mosaic);
            else polar::write_grid(o->out, grid, raw);
            lap("write");
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "velmora grid: out of memory writing %s\n", o->out.c_str());
            status = 1;
            return;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora grid: %s\n", e.what());
            status = 1;
            return;
        }
        if (mosaic) {
            print_mosaic(*mosaic, o->out);
        } else {
            std::printf("%zu x %zu x %zu grid of 1 polar volume written to %s (variable %s%s)\n", grid.x.size(),
                        grid.y.size(), grid.z.size(), o->out.c_str(), grid.name.c_str(),
                        raw ? (" dealiased, " + polar::raw_name(grid.name) + " as measured").c_str() : "");
        }
        status = 0;
    });
}

}  // namespace velmora::cli
