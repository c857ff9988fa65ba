// velmora grid POLAR... --out GRID.nc [--field --site --spacing --extent --levels --origin --roi-min --roi-angle]
// and the same gridding options for the commands that take polar files.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "commands.h"
#include "io/output_files.h"
#include "polar/polar_input.h"

namespace velmora::cli {

namespace {

// A list of numbers of a given length, separated by commas.
CLI::Option* add_numbers(CLI::App& cmd, const std::string& name, std::vector<double>& into, std::size_t count,
                         const std::string& type, const std::string& help) {
    return cmd.add_option(name, into, help)
        ->delimiter(',')
        ->expected(static_cast<int>(count))
        ->type_name(type)
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                char* end = nullptr;
                const double v = std::strtod(text.c_str(), &end);
                if (text.empty() || *end != '\0' || !std::isfinite(v)) return "not a finite number: \"" + text + "\"";
                return "";
            },
            ""));
}

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
    in.mosaic.extent_given = !o.extent.empty();
    if (!o.combine.empty()) {
        const auto combine = polar::combine_named(o.combine);
        if (!combine) return "--combine: \"" + o.combine + "\" is none of weighted, nearest, max";
        in.mosaic.combine = *combine;
    }
    if (!o.origin.empty()) {
        in.grid.origin = checked_origin(o.origin[0], o.origin[1]);
        if (!in.grid.origin) return "--origin: not a latitude and longitude";
    }
    if (in.filters.min_quality && !(*in.filters.min_quality >= 0 && *in.filters.min_quality <= 1))
        return "--min-quality: " + polar::gate_filters_problem(in.filters);
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
    std::printf("%zu x %zu x %zu grid of %zu polar volumes written to %s (variable DT, heights above sea level)\n",
                g.x.size(), g.y.size(), g.z.size(), m.radars.size(), out.c_str());
}

}  // namespace

void add_polar_options(CLI::App& cmd, PolarOptionTexts& o) {
    cmd.add_option("--field", o.field,
                   "Of polar volumes: the quantity to grid (ODIM what/quantity, NEXRAD moment, CF/Radial variable); "
                   "default the reflectivity")
        ->type_name("NAME");
    add_numbers(cmd, "--site", o.site, 3, "LAT,LON,HEIGHT",
                "Of a polar volume: the radar's latitude, longitude (degrees) and antenna height (m above sea level), "
                "over what the file says; needed for NEXRAD files of stations velmora does not know");
    add_numbers(cmd, "--spacing", o.spacing, 3, "DX,DY,DZ", "Of the grid of polar volumes, km")->default_str("1,1,0.5");
    add_numbers(cmd, "--extent", o.extent, 4, "XMIN,XMAX,YMIN,YMAX",
                "Of the grid of polar volumes: km east and north of its origin")
        ->default_str("-150,150,-150,150; of several radars, every radar's range");
    add_numbers(cmd, "--levels", o.levels, 2, "BOTTOM,TOP",
                "Of the grid of polar volumes: the lowest and highest level, km above the radar (of several radars, "
                "above sea level)")
        ->default_str("0.5,15");
    add_numbers(cmd, "--origin", o.origin, 2, "LAT,LON",
                "Of the grid of polar volumes: its centre; default the radar (of several, the network's centre)");
    cmd.add_option("--combine", o.combine,
                   "Of several radars: how their values at a point make one: weighted (by distance from the radar "
                   "and the beam's height), nearest (the radar of the greatest weight) or max")
        ->type_name("weighted|nearest|max")
        ->default_str("weighted");
    cmd.add_option("--max-age", o.input.mosaic.max_age,
                   "Of several radars: the most seconds between their volumes' times; further apart, refused")
        ->check(within(0, 1e9))
        ->capture_default_str()
        ->type_name("S");
    cmd.add_option("--calibrate", o.input.mosaic.calibrate,
                   "Of several radars: bring every radar to the level of this one (its file or name) by the median "
                   "differences where they overlap, before combining")
        ->type_name("REFERENCE");
    cmd.add_option("--roi-min", o.input.grid.roi_min, "The smallest radius of influence of a grid point, km")
        ->capture_default_str();
    cmd.add_option("--roi-angle", o.input.grid.roi_angle,
                   "The angle by which the radius of influence widens with range, degrees")
        ->capture_default_str();
    cmd.add_flag("!--no-despeckle", o.input.filters.despeckle,
                 "Of polar volumes: keep isolated gates with echo (by default a gate with echo none of whose eight "
                 "neighbours in range and azimuth has any becomes no echo before gridding)");
    cmd.add_option("--min-quality", o.input.filters.min_quality,
                   "Of ODIM volumes with a quality index (quality group QIND): gates of a lower index (0 to 1) are "
                   "left out as missing; off unless given")
        ->type_name("Q");
    cmd.add_option("--max-clutter-power", o.input.filters.max_clutter_power,
                   "Of NEXRAD volumes with the clutter filter power removed (moment CFP): gates from which the "
                   "filter removed more, dB, are left out as missing; off unless given")
        ->check(within(-1000, 1000))
        ->type_name("DB");
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
    cmd->add_option("--out", o->out, "The NetCDF file to write")->required()->type_name("GRID.nc");
    add_polar_options(*cmd, o->polar);
    cmd->add_flag("--timings", o->timings, "Print the time of reading, gridding and writing (to standard error)");
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
        std::optional<polar::Mosaic> mosaic;
        try {
            std::vector<polar::PolarVolume> volumes;
            for (const std::string& path : o->files) {
                volumes.push_back(polar::read_polar(path, o->polar.input.field, o->polar.input.site));
                polar::filter_gates(volumes.back(), o->polar.input.filters);
            }
            lap("read");
            if (volumes.size() > 1) mosaic = polar::mosaic_volumes(volumes, o->polar.input.grid, o->polar.input.mosaic);
            else grid = polar::grid_volumes(volumes, o->polar.input.grid);
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
            else write_netcdf(o->out, grid);
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
            std::printf("%zu x %zu x %zu grid of 1 polar volume written to %s (variable DT)\n", grid.x.size(),
                        grid.y.size(), grid.z.size(), o->out.c_str());
        }
        status = 0;
    });
}

}  // namespace velmora::cli
