// velmora analyze [VOLUME] --var NAME --level DBZ --min-cells N --min-volume KM3 --out DIR --compress none|lz4|zlib --timings
// velmora synth OUT.nc [--nx N --ny N --nz N --cells N --seed N]; --series N --interval S OUT_DIR (cmd_track.cpp)
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "analysis/analyze.h"
#include "commands.h"
#include "progress.h"
#include "io/output_files.h"
#include "report.h"
#include "view_server.h"
#include "io/volume.h"
#include "io/winds.h"

namespace velmora::cli {

namespace {

// A level of reflectivity: an empty text would read as 0, "nan" or "inf" as
// no level at all.
CLI::Validator finite_dbz() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            char* end = nullptr;
            const double v = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(v)) return "a finite number of dBZ, not \"" + text + "\"";
            return "";
        },
        "DBZ");
}

constexpr double kMaxInt = 2147483647;
// Each scattered cell looks for room among the others: the work grows with
// the square of their number.
constexpr double kMaxCells = 10000;

// A scene larger than any volume velmora reads: said before its memory is
// asked for.
std::string scene_problem(const SceneOptions& o) {
    const double points = double(o.nx) * o.ny * o.nz;
    if (points <= double(max_volume_nodes)) return "";
    return "a scene of " + std::to_string(o.nx) + " x " + std::to_string(o.ny) + " x " + std::to_string(o.nz) + " = " +
           plain_number(points) + " points is too large: at most " + std::to_string(max_volume_nodes);
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
    cmd->add_option("volume", o->volume,
                    "A gridded radar volume: NetCDF with a variable (time, z, y, x) or (z, y, x) and coordinate "
                    "variables x, y, z in m or km, or VTK image data (.vti); or a polar volume (ODIM HDF5, NEXRAD "
                    "Level II, CF/Radial), gridded first as velmora grid does. Without it, the built-in synthetic "
                    "convective scene is analysed.")
        ->type_name("VOLUME");
    cmd->add_option("--var", o->var, "The reflectivity variable of the volume")->capture_default_str();
    cmd->add_option("--level", o->level, "The reflectivity level of the cells, dBZ")
        ->check(finite_dbz())
        ->capture_default_str();
    cmd->add_option("--min-cells", o->min_cells,
                    "Areas of at most this many cells of the division modules (triangles of the isosurface, "
                    "tetrahedra of the isovolume, four per voxel), not voxels, are dropped; 0 keeps every area")
        ->check(within(0, kMaxInt, true))
        ->capture_default_str();
    add_min_volume_option(*cmd, o->min_volume_km3);
    cmd->add_option("--time", o->time,
                    "The time step to analyse in a file of several (0 first); without it, such a file is refused")
        ->check(within(0, kMaxInt, true))
        ->type_name("INDEX");
    // The default keeps an analysis within a few GB of memory; a machine
    // with more can take larger composites.
    cmd->add_option("--max-voxels", o->max_voxels,
                    "Volumes of more voxels are refused before they are read (an analysis takes about 13 bytes of "
                    "memory per voxel)")
        ->check(within(1, 2e9, true))
        ->type_name("N")
        ->capture_default_str();
    cmd->add_option("--out", o->out, "The folder the results are written to")->capture_default_str();
    cmd->add_flag("!--no-picture", o->picture, "Do not render cells.png and plan.png");
    cmd->add_flag("--report", *report,
                  "Also write report.html: the 3-D scene, the plan view and the cells in one file that opens from "
                  "disk with no server and no network");
    cmd->add_option_function<std::string>(
           "--compress",
           [o](const std::string& name) {
               if (auto c = compression_named(name)) o->compression = *c;
           },
           "How the data of the VTK XML files is compressed: lz4 (fast, the default), zlib (smaller, slower) or none")
        ->check(CLI::IsMember({"none", "lz4", "zlib"}))
        ->type_name("none|lz4|zlib")
        ->default_str("lz4");
    // The cell properties and the division of cells at their cores.
    cmd->add_option("--echo-tops", o->echo_tops,
                    "The levels of the echo tops in cell_properties.csv, dBZ, separated by commas")
        ->delimiter(',')
        ->type_name("DBZ,...")
        ->default_str("18,30,40,50");
    cmd->add_option("--split-levels", o->split.levels,
                    "Divide each cell holding two or more separate cores at the first of these levels (rising, "
                    "above --level, separated by commas), then the parts at the next")
        ->delimiter(',')
        ->type_name("DBZ,...");
    cmd->add_option("--min-core", o->split.min_core,
                    "With --split-levels: the fewest voxels a region at a split level needs to be a core")
        ->check(within(1, 2e9, true))
        ->type_name("N")
        ->capture_default_str();
    cmd->add_flag("--timings", o->timings,
                  "Print the time each step takes and the memory of the process after it (to standard error)");
    add_hail_options(*cmd, o->freezing_level_km, o->minus20_level_km, o->sounding);
    add_polar_options(*cmd, *polar);
    cmd->footer(kAnalyzeFooter);
    cmd->callback([o, polar, report, &status] {
        if (!polar_input_ok(*polar, "analyze", status)) return;
        o->polar = polar->input;
        ProgressBar bar(stderr);
        AnalysisSummary summary;
        status = analyze(*o, stderr, summary, ::isatty(STDERR_FILENO) == 1 ? &bar : nullptr);
        std::fputs(summary.text.c_str(), stdout);
        if (status == 0 && *report && !write_report(*o, viewer_dir(), stderr)) status = 1;
    });
}

void add_min_volume_option(CLI::App& cmd, double& km3) {
    cmd.add_option("--min-volume", km3,
                   "Cells of less volume than this, km³ (the sum of their voxels' volumes), are left out of every "
                   "result: ground clutter and specks are a few voxels, a convective cell tens of km³ (TITAN's "
                   "storms); 0 keeps every cell")
        ->check(within(0, 1e9))
        ->type_name("KM3")
        ->capture_default_str();
}

void add_hail_options(CLI::App& cmd, std::optional<double>& freezing_km, std::optional<double>& minus20_km,
                      std::string& sounding) {
    cmd.add_option("--freezing-level", freezing_km,
                   "The height of the 0 °C level, km above sea level: with --minus20-level, the hail of each cell "
                   "(SHI, MESH, POSH, POH) and mesh.nc")
        ->check(CLI::Range(-1.0, 20.0))
        ->type_name("KM");
    cmd.add_option("--minus20-level", minus20_km, "The height of the -20 °C level, km above sea level")
        ->check(CLI::Range(-1.0, 25.0))
        ->type_name("KM");
    cmd.add_option("--sounding", sounding,
                   "A sounding (CSV of height in m above sea level and temperature in °C) the 0 °C and -20 °C levels "
                   "are interpolated from, instead of --freezing-level and --minus20-level")
        ->type_name("FILE");
}

void add_synth_command(CLI::App& app, int& status) {
    auto path = std::make_shared<std::string>();
    auto o = std::make_shared<SceneOptions>();
    auto series = std::make_shared<std::pair<int, double>>(0, 300.0);
    CLI::App* cmd = app.add_subcommand(
        "synth", "Write the built-in synthetic convective scene (the default of analyze), or one of another size "
                 "with scattered cells, as a NetCDF volume");
    cmd->add_option("out", *path, "The NetCDF file to write; variable DT (dBZ), coordinates x, y, z in m")
        ->required()
        ->type_name("OUT.nc");
    cmd->add_option("--nx", o->nx, "Grid points west to east, 1 km apart")->check(within(2, 100000, true))->capture_default_str();
    cmd->add_option("--ny", o->ny, "Grid points south to north, 1 km apart")->check(within(2, 100000, true))->capture_default_str();
    cmd->add_option("--nz", o->nz, "Levels: 0.5 km apart from 0.5 km; more than 30 share the lowest 15 km")
        ->check(within(2, 10000, true))
        ->capture_default_str();
    cmd->add_option("--cells", o->cells,
                    "Convective cells scattered over the grid from --seed; 0 places the five cells of the built-in scene")
        ->check(within(0, kMaxCells, true))
        ->capture_default_str();
    cmd->add_option("--seed", o->seed, "The seed of the scattered cells")
        ->check(within(0, 4294967295.0, true))
        ->capture_default_str();
    add_series_option(*cmd, series->first, series->second);
    auto winds = std::make_shared<bool>(false);
    cmd->add_flag("--winds", *winds, "Also write wind components u, v, w (m/s) as wind retrievals do, for velmora view's arrows");
    cmd->callback([path, o, series, winds, &status] {
        try {
            if (series->first > 0) {
                status = write_series(*path, series->first, series->second);
                return;
            }
            std::string problem = scene_problem(*o);
            if (problem.empty()) problem = output_file_problem(*path).value_or("");
            if (!problem.empty()) {
                std::fprintf(stderr, "velmora synth: %s\n", problem.c_str());
                status = 2;
                return;
            }
            const Volume scene = synthetic_scene(*o);
            if (*winds) {
                const Winds w = synthetic_winds(scene);
                const ExtraVariable extra[] = {{"u", "m/s", "Eastward wind", w.u}, {"v", "m/s", "Northward wind", w.v},
                                               {"w", "m/s", "Upward air velocity", w.w}};
                write_netcdf(*path, scene, extra);
            } else {
                write_netcdf(*path, scene);
            }
            std::printf("synthetic scene written to %s (variable DT%s)\n", path->c_str(), *winds ? "; winds u, v, w" : "");
            status = 0;
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "velmora synth: out of memory for a scene of %d x %d x %d points\n", o->nx, o->ny,
                         o->nz);
            status = 1;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "velmora synth: %s\n", e.what());
            status = dynamic_cast<const OutputRefused*>(&e) ? 2 : 1;
        }
    });
}

}  // namespace velmora::cli
