// velmora analyze [VOLUME] --var NAME --level DBZ --min-cells N --min-volume KM3 --out DIR --compress none|lz4|zlib --timings
// velmora synth OUT.nc [--nx N --ny N --nz N --cells N --seed N]; --series N --interval S OUT_DIR (cmd_track.cpp)
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "analysis/analyze.h"
#include "commands.h"
#include "table_options.h"
#include "progress.h"
#include "io/output_files.h"
#include "report.h"
#include "view_server.h"
#include "io/volume.h"
#include "io/winds.h"

namespace velmora::cli {

namespace {

// A synthetic volume larger than any volume velmora reads: said before its memory is
// asked for.
std::string synthetic_problem(const SyntheticOptions& o) {
    const double points = double(o.nx) * o.ny * o.nz;
    if (points <= double(max_volume_nodes)) return "";
    return "a synthetic volume of " + std::to_string(o.nx) + " x " + std::to_string(o.ny) + " x " + std::to_string(o.nz) + " = " +
           options::plain_number(points) + " points is too large: at most " + std::to_string(max_volume_nodes);
}

constexpr const char* kAnalyzeFooter =
    "Writes to the output folder: cells.csv (the cells measured on the radar voxels), cell_properties.csv (volume, "
    "area, base, top, echo tops, reflectivity, centroids, VIL, water mass and tilt of each cell; its hail with the "
    "hail levels; the volume's time last), surface_cells.csv "
    "(the areas of the isosurface), cells_ijk.txt (the grid indices of every cell), radar.vti, isosurface.vtp, "
    "isovolume.vtu, cell_tops.vtp, centres.vtp and the legend as VTK XML for ParaView (each with the cell numbers, "
    "the units of its arrays and the volume's time; docs/cli.md), cells.png, plan.png (the "
    "cells on the column maxima), grid.nc (the grid of a polar volume), mesh.nc "
    "(the MESH of every column, with the hail levels), analysis.log (what the modules print) and "
    "network.json: `velmora run network.json` repeats the analysis. Prints a table of the cells found, with the "
    "volume's time (ISO 8601 UTC).\n\n"
    "Exit status: 0 when the analysis ran, 1 when a step failed (its message says why), 2 when the volume or the "
    "options cannot be used.";

}  // namespace

void add_analyze_command(CLI::App& app, int& status) {
    auto o = std::make_shared<AnalyzeOptions>();
    auto polar = std::make_shared<PolarOptionTexts>();
    auto report = std::make_shared<bool>(false);
    CLI::App* cmd = app.add_subcommand("analyze", "Find, number and measure the storm cells of a radar volume");
    auto volumes = std::make_shared<std::vector<std::string>>();
    cmd->add_option("volume", *volumes,
                    "A gridded radar volume: NetCDF with a variable (time, z, y, x) or (z, y, x) and coordinate "
                    "variables x, y, z in m or km, or VTK image data (.vti); or a polar volume (ODIM HDF5, NEXRAD "
                    "Level II, CF/Radial), gridded first as velmora grid does; several polar volumes of one time "
                    "make one mosaic. Without it, the built-in synthetic convective volume is analyzed.")
        ->type_name("VOLUME");
    add_option(*cmd, "var", o->var);
    add_option(*cmd, "level", o->level);
    add_option(*cmd, "min-cells", o->min_cells);
    add_option(*cmd, "min-volume", o->min_volume_km3);
    add_option(*cmd, "time", o->time);
    add_option(*cmd, "max-voxels", o->max_voxels);
    add_option(*cmd, "out", o->out);
    add_flag(*cmd, "no-picture", o->picture);
    add_flag(*cmd, "seams", o->seams);
    add_flag(*cmd, "report", *report);
    auto compress = std::make_shared<std::string>();
    add_option(*cmd, "compress", *compress)->each([o](const std::string& name) {
        if (auto c = compression_named(name)) o->compression = *c;
    });
    o->compression = compression_named(*compress).value_or(o->compression);
    // The cell properties and the division of cells at their cores.
    add_option(*cmd, "echo-tops", o->echo_tops);
    add_option(*cmd, "split-levels", o->split.levels);
    add_option(*cmd, "min-core", o->split.min_core);
    add_flag(*cmd, "timings", o->timings);
    add_hail_options(*cmd, o->freezing_level_km, o->minus20_level_km, o->sounding);
    add_polar_options(*cmd, *polar);
    cmd->footer(kAnalyzeFooter);
    cmd->callback([o, polar, report, volumes, &status] {
        if (!polar_input_ok(*polar, "analyze", status)) return;
        if (!volumes->empty()) {
            o->volume = volumes->front();
            o->radars.assign(volumes->begin() + 1, volumes->end());
        }
        o->polar = polar->input;
        ProgressBar bar(stderr);
        AnalysisSummary summary;
        status = analyze(*o, stderr, summary, ::isatty(STDERR_FILENO) == 1 ? &bar : nullptr);
        std::fputs(summary.text.c_str(), stdout);
        if (status == 0 && *report && !write_report(*o, viewer_dir(), stderr)) status = 1;
    });
}

void add_hail_options(CLI::App& cmd, std::optional<double>& freezing_km, std::optional<double>& minus20_km,
                      std::string& sounding) {
    add_option(cmd, "freezing-level", freezing_km);
    add_option(cmd, "minus20-level", minus20_km);
    add_option(cmd, "sounding", sounding);
}

void add_synth_command(CLI::App& app, int& status) {
    auto path = std::make_shared<std::string>();
    auto o = std::make_shared<SyntheticOptions>();
    auto series = std::make_shared<std::pair<int, double>>(0, 0.0);   // none: one volume
    CLI::App* cmd = app.add_subcommand(
        "synth", "Write the built-in synthetic convective volume (the default of analyze), or one of another size "
                 "with scattered cells, as a NetCDF volume");
    cmd->add_option("out", *path, "The NetCDF file to write; variable " + std::string(options::text("analyze", "var")) + " (dBZ), coordinates x, y, z in m")
        ->required()
        ->type_name("OUT.nc");
    add_option(*cmd, "nx", o->nx);
    add_option(*cmd, "ny", o->ny);
    add_option(*cmd, "nz", o->nz);
    add_option(*cmd, "cells", o->cells);
    add_option(*cmd, "seed", o->seed);
    add_series_option(*cmd, series->first, series->second);
    auto winds = std::make_shared<bool>(false);
    add_flag(*cmd, "winds", *winds);
    cmd->callback([path, o, series, winds, &status] {
        try {
            if (series->first > 0) {
                status = write_series(*path, series->first, series->second);
                return;
            }
            std::string problem = synthetic_problem(*o);
            if (problem.empty()) problem = output_file_problem(*path).value_or("");
            if (!problem.empty()) {
                std::fprintf(stderr, "velmora synth: %s\n", problem.c_str());
                status = 2;
                return;
            }
            const Volume volume = synthetic_volume(*o);
            if (*winds) {
                const Winds w = synthetic_winds(volume);
                const ExtraVariable extra[] = {{"u", "m/s", "Eastward wind", w.u}, {"v", "m/s", "Northward wind", w.v},
                                               {"w", "m/s", "Upward air velocity", w.w}};
                write_netcdf(*path, volume, extra);
            } else {
                write_netcdf(*path, volume);
            }
            std::printf("synthetic volume written to %s (variable %s%s)\n", path->c_str(), volume.name.c_str(), *winds ? "; winds u, v, w" : "");
            status = 0;
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "velmora synth: out of memory for a synthetic volume of %d x %d x %d points\n", o->nx, o->ny,
                         o->nz);
            status = 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora synth: %s\n", e.what());
            status = dynamic_cast<const OutputRefused*>(&e) ? 2 : 1;
        }
    });
}

}  // namespace velmora::cli
