// velmora grid POLAR... --out GRID.nc [--field --site --spacing --extent --levels --origin --roi-min --roi-angle]
// and the same gridding options for the commands that take polar files.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

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
    if (!o.origin.empty()) {
        in.grid.origin = checked_origin(o.origin[0], o.origin[1]);
        if (!in.grid.origin) return "--origin: not a latitude and longitude";
    }
    if (in.filters.min_quality && !(*in.filters.min_quality >= 0 && *in.filters.min_quality <= 1))
        return "--min-quality: " + polar::gate_filters_problem(in.filters);
    return polar::grid_problem(in.grid);
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
        ->default_str("-150,150,-150,150");
    add_numbers(cmd, "--levels", o.levels, 2, "BOTTOM,TOP",
                "Of the grid of polar volumes: the lowest and highest level, km above the (first) radar")
        ->default_str("0.5,15");
    add_numbers(cmd, "--origin", o.origin, 2, "LAT,LON",
                "Of the grid of polar volumes: its centre; default the (first) radar");
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
                    "one composite")
        ->required()
        ->type_name("POLAR");
    cmd->add_option("--out", o->out, "The NetCDF file to write")->required()->type_name("GRID.nc");
    add_polar_options(*cmd, o->polar);
    cmd->add_flag("--timings", o->timings, "Print the time of reading, gridding and writing (to standard error)");
    cmd->footer(
        "Writes DT(time, z, y, x) with coordinates x, y, z in m on an azimuthal equidistant projection about the "
        "origin, CF time and origin_latitude/origin_longitude: the layout velmora analyze and other radar toolkits "
        "read. Gates are weighted by distance within a radius of influence that widens with range; reflectivity "
        "is averaged as linear Z. docs/polar.md describes the formats and the method.\n\nExit status: 0 when the "
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
        try {
            std::vector<polar::PolarVolume> volumes;
            for (const std::string& path : o->files) {
                volumes.push_back(polar::read_polar(path, o->polar.input.field, o->polar.input.site));
                polar::filter_gates(volumes.back(), o->polar.input.filters);
            }
            lap("read");
            grid = polar::grid_volumes(volumes, o->polar.input.grid);
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
            write_netcdf(o->out, grid);
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
        std::printf("%zu x %zu x %zu grid of %zu polar volume%s written to %s (variable %s)\n", grid.x.size(),
                    grid.y.size(), grid.z.size(), o->files.size(), o->files.size() == 1 ? "" : "s", o->out.c_str(),
                    grid.name.c_str());
        status = 0;
    });
}

}  // namespace velmora::cli
