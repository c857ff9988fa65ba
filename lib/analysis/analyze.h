// `velmora analyze`: the typical storm-cell analysis of a radar volume as a
// built-in network, run on the substitute host, with its results written as
// files users open (CSV, IJK text, VTK XML for ParaView, a PNG picture) and
// summed up in a short table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/cell_analysis.h"
#include "run/document.h"
#include "tracking/tracker.h"
#include "io/volume.h"
#include "io/vtk_files.h"
#include "options/options.h"

namespace velmora {

struct AnalyzeOptions {
    std::string volume;           // NetCDF or .vti file; empty: the synthetic volume
    std::string var{options::text("analyze", "var")};   // the reflectivity variable
    polar::PolarInput polar;      // how a polar volume is read and gridded
    // Polar volumes of other radars at the time of volume (itself polar):
    // gridded with it as one mosaic (polar/mosaic.h).
    std::vector<std::string> radars;
    // A mosaic even of volume alone: a time step of a network's series that
    // the other radars missed, on the series' grid (polar.grid, its extent
    // given), its heights above sea level as the other steps'.
    bool mosaic = false;
    // The radars' volumes of a mosaic read already (a network's volumes as a
    // watcher receives them): made into the mosaic instead of reading
    // volume and radars, volume then only naming it.
    std::span<const polar::PolarVolume> mosaic_volumes;
    bool seams = false;           // of a mosaic: plan.png draws where the radar kept changes
    // A polar volume already read (the chunks of a real-time feed, decoded as
    // they came): gridded as polar says instead of reading volume, which
    // then only names it.
    const polar::PolarVolume* polar_volume = nullptr;
    // Its grid, when made already (the chunks' sweeps gridded as they came,
    // as polar says): taken instead of gridding polar_volume again.
    const Volume* polar_grid = nullptr;
    // Its radial velocity and spectrum width where it has them, for the
    // cells' rotation as a file's are read for it.
    const std::optional<polar::PolarVolume>* polar_velocity = nullptr;
    const std::optional<polar::PolarVolume>* polar_width = nullptr;
    long time = kOnlyTime;        // the time step of a file of several
    std::int64_t max_voxels = max_volume_nodes;   // larger volumes are refused before they are read
    double level = options::number("analyze", "level");   // dBZ
    int min_cells = static_cast<int>(options::number("analyze", "min-cells"));   // areas of at most this many tetrahedra are dropped (DivIsovolume)
    double min_volume_km3 = kDefaultMinVolumeKm3;   // cells of less volume are left out (min_volume.h)
    std::vector<double> echo_tops = kDefaultEchoTopLevels;   // dBZ, the echo tops of cell_properties.csv
    SplitSettings split = {};     // cells divided at their cores when it has levels
    std::string out{options::text("analyze", "out")};   // replaced by the results of a run that succeeded
    // When set, the volume file was written for this run alone: it goes into
    // the results under this name, where their network reads it.
    std::string volume_as;
    bool picture = true;
    Compression compression = Compression::LZ4;   // of the VTK XML files
    bool timings = false;                          // each step's time and memory on the error stream
    // Hail (docs/hail.md): the 0 °C and -20 °C levels, km above sea level,
    // or a sounding they are read from; none: no hail columns.
    std::optional<double> freezing_level_km, minus20_level_km;
    std::string sounding;
    // The cells' rotation (rotation.h), where the volume is a polar file
    // with a radial velocity; off, its columns are left empty.
    bool rotation = true;
    // The first guesses of its dealiasing that a series gives (the volume
    // before, dealiased; the storm motion): tracking::SeriesGuess.
    polar::DealiasOptions velocity_guess;
    // Where an analysis of a series leaves what tracking needs: the volume's
    // axes, time and origin (no values), its cells and the plan view of its
    // echo (the frame's time is the volume's, NaN when it has none).
    struct ForTracking {
        Volume axes;
        tracking::Frame frame;
        PropertyTable properties;   // of its cells (none when it has no cells)
        std::vector<float> mesh;    // the MESH of every column, mm, with hail levels
        RotationPlan rotation;      // the azimuthal shear of every column, of a polar volume with velocity
        std::optional<polar::PolarVolume> velocity;   // its radial velocity as dealiased, where it has one
        double seconds = 0.0;   // spent on what only tracking needs
    };
    ForTracking* for_tracking = nullptr;
};

// What the analysis network takes of the options.
AnalysisSettings network_settings(const AnalyzeOptions& o);

// One storm cell of the table: an area of the echo at or above the level,
// measured on the radar voxels.
struct Cell {
    int no = 0;
    int voxels = 0;
    float top_km = 0.0f;
    float max_value = 0.0f;
    double volume_km3 = 0.0;
    double vil_kg_m2 = 0.0;
    double mesh_mm = 0.0;   // with hail levels
};

// The table of cells of field (the variable as the volume names it) as
// text; with hail, their MESH too. The values are in
// units (the level, the highest value); the volume's time, when known,
// follows the first line (ISO 8601 UTC). The first line says which areas are
// cells, and with sieve, how many the volume filter left out.
std::string cells_text(const std::vector<Cell>& cells, const std::string& source, const std::string& field,
                       const AnalyzeOptions& o, bool hail = false, const std::string& units = "dBZ", std::optional<double> time = std::nullopt,
                       const CellSieve* sieve = nullptr);

// What a run of the analysis found, for a front end to print or convert:
// its cells, and the summary `velmora analyze` prints (the table of cells,
// notes, the files written).
struct AnalysisSummary {
    std::vector<Cell> cells;
    std::string text;
};

// Runs the analysis; the exit status (0, 1 when the run failed, 2 when the
// input cannot be used). Messages go to err, the summary to summary.
int analyze(const AnalyzeOptions& o, std::FILE* err, AnalysisSummary& summary, ProgressWatcher* progress = nullptr);

}  // namespace velmora
