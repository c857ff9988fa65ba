// The storm-cell analysis as a library: the volume in the host's field
// "radar", the analysis network run on it, and its results read back in
// memory. It knows no terminal and no command line: `velmora analyze`
// prints and writes what it gives, the Python package hands it to numpy and
// pandas.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/cell_properties.h"
#include "analysis/core_split.h"
#include "analysis/min_volume.h"
#include "analysis/rotation.h"
#include "run/document.h"
#include "run/runner.h"
#include "polar/polar_input.h"
#include "io/volume.h"
#include "options/options.h"

namespace velmora {

// One storm cell measured on its voxels: cellstat's entry, values as the
// statistics module gives them (single precision), coordinates in km.
struct CellMeasures {
    int no = 0;
    int voxels = 0;
    float top_km = 0.0f;
    float min = 0.0f, max = 0.0f, mean = 0.0f, sd = 0.0f;   // of the reflectivity
    float x = 0.0f, y = 0.0f, z = 0.0f;                      // arithmetic centre
    float wx = 0.0f, wy = 0.0f, wz = 0.0f;                   // reflectivity-weighted centre
};

// A volume given in memory: the axes (km, increasing), name and units of
// axes, values x fastest. Non-finite values become the null value, as a
// reader makes them; the values are copied once, into the field.
void fill_volume_values(vhost::Object& field, Volume& axes, std::span<const float> values);

// The highest value of the field that is not missing (-inf when none).
float highest_value(vhost::Object& radar, const Volume& v);

// The plan view of the volume in field radar: the highest value of each
// column that is not missing (NaN where none), x fastest.
std::vector<float> column_maximum(vhost::Object& radar, const Volume& v);

// The cell of each column: the highest cell number among its voxels (0 where
// none is in a cell); grid_no holds the cell of every voxel, x fastest.
std::vector<std::int32_t> column_cells(std::span<const std::int32_t> grid_no, std::size_t columns);

// A division of the network (divsurf, divvol) that ran and kept no area.
bool kept_nothing(const char* division);

// The columns of the statistic writer's table (cells.csv, surface_cells.csv)
// of a field whose components have these labels: area number, node count,
// arithmetic centre, each component's weighted centre, then each one's
// minimum, maximum, mean and deviation.
std::vector<std::string> statistic_columns(const std::vector<std::string>& labels);

// How the analysis network is called: the instances that read the areas of a
// division that kept none are skipped, and, when writers is false, the
// instances that write files too.
CallSettings analysis_call_settings(bool writers, bool timings);

// The cells of the run, in the order of their numbers; empty entries left out.
std::vector<CellMeasures> cell_measures();

// The division of a run's cells at their cores (split_cells), made between
// the calls of the network: after GridArea the cell numbers of gridarea.out
// are divided in place and divvol's no_max becomes the highest number, so
// that every instance after it (the statistics, the writers) and every
// result read from the tree have the parts.
struct RunSplit {
    std::vector<std::int32_t> parent;   // the parent of every cell number; empty when nothing was divided
    std::string failure;                // why the division failed; the instances after it are skipped
};
// Adds the division to settings when s has levels: radar and v are the
// volume's field and axes; what happened goes to out, which must outlive
// the run; with timings_to, a line of its time goes there.
void add_split(CallSettings& settings, vhost::Object& radar, const Volume& v, const SplitSettings& s, RunSplit& out,
               std::FILE* timings_to);

// Adds to settings the volume filter (min_volume.h) of the cells, made
// after GridArea as the division at cores is (add it before add_split, so
// that only kept cells are divided): the cell numbers of gridarea.out are
// sieved in place and divvol's no_max becomes the number of kept cells.
// What it did goes to out, which must outlive the run.
void add_min_volume(CallSettings& settings, const Volume& v, double min_km3, CellSieve& out);

// The properties of the run's cells, from the cell numbers of gridarea.out
// and the values of radar.
// With velocity, the cells' rotation too (rotation.h).
PropertyTable properties_of_run(vhost::Object& radar, const Volume& v, std::span<const double> echo_levels,
                                std::span<const std::int32_t> parent,
                                const std::optional<HailLevels>& hail = std::nullopt,
                                const VelocityDerivatives* velocity = nullptr);

// The isosurface of the run: its nodes (x, y, z in km), triangles, the
// number of the surface area of each node (0 where none was kept) and the
// cell it bounds (cells_of_surface).
struct SurfaceResult {
    std::vector<float> points;
    std::vector<std::int64_t> triangles;
    std::vector<std::int32_t> area_no;
    std::vector<std::int32_t> cell;
};

// The cell number of each isosurface node: the number of the inside voxel
// with the largest value among the corners of the grid cell holding the
// node (0 where none is inside). v gives the grid's axes and null value,
// values and grid_no the value and cell of every voxel, xyz the nodes'
// coordinates.
std::vector<std::int32_t> cells_of_surface(const Volume& v, std::span<const float> values,
                                           std::span<const std::int32_t> grid_no, std::span<const float> xyz,
                                           double level);

// The analysis of a volume, in memory.
struct AnalysisSettings {
    std::string var{options::text("analyze", "var")};
    double level = options::number("analyze", "level");
    int min_cells = static_cast<int>(options::number("analyze", "min-cells"));
    // Cells of less volume are left out (min_volume.h); 0 keeps them all.
    double min_volume_km3 = kDefaultMinVolumeKm3;
    // Levels that cannot be used (echo_levels_problem, split_levels_problem)
    // are refused with std::invalid_argument.
    std::vector<double> echo_tops = kDefaultEchoTopLevels;   // dBZ, the echo tops measured
    SplitSettings split = {};                                 // no division unless it has levels
    std::optional<HailLevels> hail;   // heights above the radar; none: no hail measured
};

// The network of the analysis (velmora analyze writes it as network.json):
// the volume as a file-backed field "radar", then
//   surface  Isosurface -> divsurf DivIsosurf -> surfstat CalcStatistic -> surfcsv WriteStatistic
//   volume   Isovolume  -> divvol DivIsovolume -> gridarea GridArea -> ijk WriteIsoIJK
//            gridarea + radar -> cellvox CellVoxels -> cellstat CalcStatistic -> csv WriteStatistic,
//                                                                          centres DispCenter
//   axis, ticks  Legend3DAxis / Legend3DTick on the grid's first column.
// It uses the variable, level and min_cells of s; volume_path is the file
// the field reads (time its time step), out_dir where the writers write.
Json analysis_network(const AnalysisSettings& s, long time, const std::string& volume_path, const std::string& out_dir,
                      const Volume& v);

struct AnalysisResult {
    enum class Outcome { Cells, NoEcho, NothingKept } outcome = Outcome::Cells;
    float highest = 0.0f;                 // the highest value, for NoEcho
    std::vector<CellMeasures> cells;
    PropertyTable properties;             // the same cells, measured as radar meteorologists do
    std::vector<std::int32_t> labels;     // the cell of every voxel, x fastest
    std::vector<float> column_max;        // the highest value of each column (x fastest), NaN where none
    std::vector<float> mesh;              // the MESH of each column (x fastest), mm, with hail levels
    SurfaceResult surface;
    std::vector<std::string> printed;     // what the modules printed (the divisions' tables)
    CellSieve sieve;                      // the cells found and those left out by their volume
};

// A step of the analysis that failed: the texts the modules reported, in
// order, and the runner's own notes.
class AnalysisError : public std::runtime_error {
public:
    AnalysisError(const std::string& what, std::vector<std::string> messages)
        : std::runtime_error(what), messages(std::move(messages)) {}
    std::vector<std::string> messages;
};

// Runs the analysis on a volume given in memory, writing no file; leaves the
// host's tree empty. The values are read where they lie unless they hold an
// infinity (then they are copied, with their missing values marked). Throws std::invalid_argument for a level that is not
// finite or values that do not fit the axes, AnalysisError when a step
// failed.
AnalysisResult analyze_values(Volume axes, std::span<const float> values, const AnalysisSettings& s);

// The same on a volume file (NetCDF or .vti), or on a polar volume gridded
// as polar says; std::runtime_error when the file cannot be read.
AnalysisResult analyze_file(const std::string& path, long time, std::int64_t max_voxels, AnalysisSettings s,
                            Volume* axes_out = nullptr, const polar::PolarInput& polar = {});

// Why the levels of a division cannot be used with the level of the cells
// (each split level finite and above the one before, the first above
// level; min_core at least 1); empty when they can.
std::string split_levels_problem(double level, const SplitSettings& s);

// A file in the temporary folder, removed when it goes.
class TempFile {
public:
    TempFile();   // std::runtime_error when none can be made
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    std::string text() const;

private:
    std::string path_;
};

// The lines of a text, without their ends.
std::vector<std::string> lines_of(const std::string& text);

// Points the process's standard output at a file for as long as it lives:
// what the modules print goes there.
class StdoutTo {
public:
    explicit StdoutTo(const std::string& path);
    ~StdoutTo();
    StdoutTo(const StdoutTo&) = delete;
    StdoutTo& operator=(const StdoutTo&) = delete;

private:
    int saved_ = -1;
};

}  // namespace velmora
