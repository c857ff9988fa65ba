#include "analysis/analyze.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdarg>
#include <cmath>
#include <filesystem>
#include <functional>
#include <fstream>
#include <future>
#include <new>
#include <optional>
#include <stdexcept>

#include "analysis/cell_analysis.h"
#include "field_ref.h"
#include "host.h"
#include "run/json_write.h"
#include "run/network.h"
#include "run/operations.h"
#include "run/runner.h"
#include "analysis/track_frames.h"
#include "io/cf_time.h"
#include "io/output_files.h"
#include "io/vtk_files.h"
#include "pictures/pictures.h"
#include "polar/shear.h"
#include "polar/velocity.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {


// The cells of the table: the statistics module's measures, with volume
// and VIL from the properties of the same cell.
std::vector<Cell> cells_of(const std::vector<CellMeasures>& measures, const PropertyTable& properties) {
    std::vector<Cell> cells;
    auto p = properties.cells.begin();
    for (const CellMeasures& m : measures) {
        Cell& c = cells.emplace_back(Cell{m.no, m.voxels, m.top_km, m.max});
        while (p != properties.cells.end() && p->cell < m.no) ++p;
        if (p != properties.cells.end() && p->cell == m.no) {
            c.volume_km3 = p->volume_km3;
            c.vil_kg_m2 = p->vil_kg_m2;
            c.mesh_mm = p->mesh_mm;
        }
    }
    return cells;
}

// The triangles of a surface's cell sets, quadrilaterals cut in two.
std::vector<std::int64_t> surface_triangles(vhost::FieldRef& surface) {
    std::vector<std::int64_t> tri;
    for (int i = 0; i < surface.ncell_sets(); ++i) {
        const std::string type = surface.cell_type(i);
        if (type != "Tri" && type != "Quad") continue;
        const std::vector<std::int64_t> c = surface.connect(i);
        if (type == "Tri") {
            tri.insert(tri.end(), c.begin(), c.end() - static_cast<std::ptrdiff_t>(c.size() % 3));
            continue;
        }
        for (std::size_t q = 0; q + 3 < c.size(); q += 4) tri.insert(tri.end(), {c[q], c[q + 1], c[q + 2], c[q], c[q + 2], c[q + 3]});
    }
    return tri;
}

std::vector<std::string> texts_of(vhost::Object& str_array) {
    vhost::Object* a = str_array.deref();
    return a ? a->strings() : std::vector<std::string>{};
}

// Every file an analysis may write, in the order they are listed (after a
// volume given in memory, under its own name).
constexpr const char* kResults[] = {
    "grid.nc",          "velocity.nc",      "network.json",     "analysis.log",    "cells.csv",     "cell_properties.csv",
    "surface_cells.csv", "cells_ijk.txt",   "radar.vti",       "isosurface.vtp", "isovolume.vtu",
    "cell_tops.vtp",    "centres.vtp",      "legend_axis.vtp", "legend_ticks.vtp", "cells.png",
    "plan.png",         "mesh.nc",          "mesh.png"};

// The unit of a column of the property table, from its name.
std::string property_unit(const std::string& name, const std::string& value_units) {
    const auto ends = [&name](std::string_view tail) { return name.ends_with(tail); };
    if (name == "lat") return "degrees_north";
    if (name == "lon") return "degrees_east";
    if (name == "shi") return "J/m/s";
    if (ends("_km3")) return "km3";
    if (ends("_km2")) return "km2";
    if (ends("_km")) return "km";
    if (ends("_dbz")) return value_units;
    if (ends("_kg_m2")) return "kg/m2";
    if (ends("_kt")) return "kt";
    if (ends("_deg")) return "degree";
    if (ends("_mm")) return "mm";
    if (ends("_pct")) return "%";
    if (ends("_s1")) return "s-1";
    return "1";   // numbers of cells and voxels
}

// What every VTK file of an analysis carries beside its field: the units of
// its arrays and the volume's time.
VtkExtras file_extras(const Volume& v, const std::string& value_label, const std::vector<PropertyColumn>& columns) {
    VtkExtras e;
    const std::string value_units = v.units.empty() ? "dBZ" : v.units;
    e.units = {{"Points", "km"}, {value_label, value_units}, {"cell", "1"}, {"area_no", "1"}, {"voxel", "1"},
               {"DATA0", "km"}};
    for (const PropertyColumn& c : columns) e.units.emplace_back(c.name, property_unit(c.name, value_units));
    e.time = v.time;
    return e;
}

// The cell number of each centre, and the properties of its cell as point
// data (NaN for a cell the table lacks).
VtkExtras centre_extras(VtkExtras e, const std::vector<CellMeasures>& measures, std::vector<PropertyColumn> columns) {
    std::vector<std::int32_t> numbers;
    for (const CellMeasures& m : measures) numbers.push_back(m.no);
    e.point_ints.emplace_back("cell", numbers);
    const auto number_column = std::find_if(columns.begin(), columns.end(), [](const auto& c) { return c.name == "cell"; });
    if (number_column == columns.end()) return e;
    const std::vector<double> rows = number_column->values;
    for (PropertyColumn& c : columns) {
        if (c.name == "cell") continue;
        std::vector<double> at(numbers.size(), NAN);
        for (std::size_t k = 0; k < numbers.size(); ++k)
            for (std::size_t r = 0; r < rows.size(); ++r)
                if (rows[r] == numbers[k]) at[k] = c.values[r];
        e.point_reals.emplace_back(c.name, std::move(at));
    }
    return e;
}

// What analysis.log holds, at its top: the modules' tables follow as they
// print them.
constexpr const char* kLogHeader =
    "# analysis.log of velmora analyze: what the division modules print as they run, unchanged.\n"
    "# First DivIsosurf divides the isosurface, then (after \"get_node_connect_vol.\") DivIsovolume the\n"
    "# isovolume. Each says how many connected areas it found (end_no, numbered from start_no + 1), then\n"
    "# one line per area: AREA : CELLS NUMBER, its triangles or tetrahedra and the number it keeps, 0 for\n"
    "# an area of at most --min-cells of them, which is dropped. The isovolume's numbers are the cells of\n"
    "# cells.csv, cell_properties.csv and the other files (docs/cli.md, \"Files of velmora analyze\").\n";

std::string seconds_since(std::chrono::steady_clock::time_point t0) {
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

}  // namespace

AnalysisSettings network_settings(const AnalyzeOptions& o) {
    AnalysisSettings s;
    s.var = o.var;
    s.level = o.level;
    s.min_cells = o.min_cells;
    s.min_volume_km3 = o.min_volume_km3;
    return s;
}

namespace {

// Text appended as printf would write it.
[[gnu::format(printf, 2, 3)]] void add_text(std::string& to, const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n > 0) {
        const std::size_t at = to.size();
        to.resize(at + static_cast<std::size_t>(n) + 1);
        std::vsnprintf(to.data() + at, static_cast<std::size_t>(n) + 1, format, again);
        to.resize(at + static_cast<std::size_t>(n));
    }
    va_end(again);
}

}  // namespace

std::string cells_text(const std::vector<Cell>& cells, const std::string& source, const std::string& field,
                       const AnalyzeOptions& o, bool hail,
                       const std::string& units, std::optional<double> time, const CellSieve* sieve) {
    std::string out;
    add_text(out, "%zu storm cell%s at %g %s in %s (%s), areas of more than %d tetrahedra and at least %g km³",
             cells.size(), cells.size() == 1 ? "" : "s", o.level, units.c_str(), source.c_str(), field.c_str(),
             o.min_cells, o.min_volume_km3);
    const std::string left_out = sieve ? sieve_text(*sieve, o.min_volume_km3) : "";
    add_text(out, left_out.empty() ? ":\n" : " (%s):\n", left_out.c_str());
    if (time && std::isfinite(*time)) add_text(out, "  time %s\n", iso_utc(*time).c_str());
    if (cells.empty()) return out;
    // The columns of the properties follow the others, which keep their places.
    const std::string max = "max " + units;
    const int width = std::max(7, static_cast<int>(max.size()));
    add_text(out, "  cell  voxels  top km  %*s  volume km3  VIL kg/m2%s\n", width, max.c_str(), hail ? "  MESH mm" : "");
    // A value not measured (VIL of a velocity) is left blank.
    const auto value = [&out](int w, double v) {
        if (std::isfinite(v)) add_text(out, "  %*.1f", w, v);
        else add_text(out, "  %*s", w, "");
    };
    for (const Cell& c : cells) {
        add_text(out, "  %4d  %6d  %6.1f  %*.1f  %10.1f", c.no, c.voxels, c.top_km, width, c.max_value, c.volume_km3);
        value(9, c.vil_kg_m2);
        if (hail) value(7, c.mesh_mm);
        out += '\n';
    }
    return out;
}

namespace {

// One run of the analysis, in its steps. A step returns 0 to go on, or the
// exit status the command ends with.
// The radar kept at each column's highest value of a mosaic (x fastest), -1 where it has none.
std::vector<std::int8_t> kept_at_column_max(const polar::Mosaic& m) {
    const std::size_t columns = m.grid.x.size() * m.grid.y.size();
    std::vector<std::int8_t> kept(columns, -1);
    std::vector<float> highest(columns, -INFINITY);
    for (std::size_t i = 0; i < m.grid.values.size(); ++i) {
        const float v = m.grid.values[i];
        if (v == m.grid.null_value || !(v > highest[i % columns])) continue;
        highest[i % columns] = v;
        kept[i % columns] = m.kept[i];
    }
    return kept;
}

class Analysis {
public:
    Analysis(const AnalyzeOptions& o, std::FILE* err, AnalysisSummary& summary, ProgressWatcher* progress)
        : o_(o), err_(err), summary_(summary), progress_(progress) {}
    int run();

private:
    bool is_mosaic() const { return o_.mosaic || !o_.radars.empty() || !o_.mosaic_volumes.empty(); }
    int prepare_output();
    int read_volume_into_tree();
    bool echo_reaches_level();
    int build(Plan& plan);
    int call(const Plan& plan);
    void write_results(const std::vector<Cell>& cells, const PropertyTable& properties);
    template <class Write>
    void write_cell_points(const VtkExtras& extras, const PropertyTable& properties,
                           const std::vector<std::string>& labels, const Write& vtk);
    int hail_levels();
    void write_mesh();
    void draw_picture(const std::vector<Cell>& cells, const std::vector<std::int32_t>& surf_cell,
                      std::span<const std::int32_t> voxel_cells);
    void draw_plan(const std::vector<float>& column_max, const std::vector<std::int32_t>& column_no);
    void draw_mesh(const std::vector<std::int32_t>& column_no);
    void draw(const std::string& name, const std::function<void(const std::string&)>& render);
    void write_empty_tables();
    int no_cells();
    bool commit();
    int keep_volume_file();
    // A division that keeps no area (every one at or under --min-cells)
    // leaves nothing to measure.
    bool kept_nothing(const char* division) { return velmora::kept_nothing(division); }
    vhost::Object& root() { return vhost::host().root(); }
    std::string value_units() const { return v_.units.empty() ? "dBZ" : v_.units; }
    // The variable as the volume names it (a polar volume's field), not as asked.
    const std::string& field() const { return v_.name.empty() ? o_.var : v_.name; }
    // The cell number of every node of the isovolume: the area the division
    // kept it in, numbered as the volume filter numbered the cells it kept;
    // 0 in the areas it left out.
    VtkExtras isovolume_extras(VtkExtras e) {
        vhost::FieldRef areas(root().at("divvol").at("out_nd"));
        if (areas.ncomp() == 0) return e;
        std::vector<std::int32_t> cell = areas.int_values(0);
        const auto& renumbered = sieve_.renumbered;
        if (!renumbered.empty())
            for (std::int32_t& no : cell)
                no = no > 0 && static_cast<std::size_t>(no) < renumbered.size() ? renumbered[static_cast<std::size_t>(no)] : 0;
        e.point_ints.emplace_back("cell", std::move(cell));
        return e;
    }
    std::string work() const { return results_->work(); }
    // A message about a file of the work folder names it where it is going.
    std::string shown(const std::string& text) const { return shown_ ? shown_->shown(text) : text; }
    void timing(const std::string& step) {
        if (o_.timings) print_timing(err_, step, clock_);
    }

    const AnalyzeOptions& o_;
    std::FILE* err_;
    AnalysisSummary& summary_;
    ProgressWatcher* progress_;
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now(), clock_ = t0_;
    std::string out_dir_;
    // The results are made here and swapped in for the output folder when
    // the run has succeeded: a failed run leaves the earlier results as
    // they were.
    std::optional<ResultFolder> results_;
    std::optional<ShownAtTarget> shown_;   // the modules' messages go through it
    bool no_pictures_ = false;
    std::optional<MapContext> context_;   // of every picture, made with the first
    std::vector<std::array<double, 3>> network_;   // a mosaic's radars: x, y and range, km
    std::vector<std::int8_t> seams_;   // a mosaic's radar kept at each column's highest value, when asked
    MapContext picture_context() const;
    std::vector<float> mesh_;             // the MESH of every column, for mesh.png
    std::optional<vhost::ConfinedWrites> confined_;
    vhost::Object* radar_ = nullptr;
    Volume v_;
    std::string volume_path_, source_, net_path_;
    // isovolume.vtu, written on a thread of its own once the volume's
    // division has kept its areas, while the cells are measured on the
    // other core; the future waits for it on every way out, before the
    // work folder goes.
    std::optional<VtkFile> isovolume_file_;
    std::future<void> isovolume_written_;
    std::future<void> velocity_written_;   // velocity.nc, likewise, from the volume's start
    void start_velocity();
    CellSieve sieve_;  // the cells found and those too small to be kept
    RunSplit split_;   // the division of the cells at their cores, when asked for
    std::optional<HailLevels> hail_;   // above the radar, when given
    // The derivatives of a polar volume's radial velocity, for the cells' rotation.
    std::optional<VelocityDerivatives> velocity_;
    void read_velocity(const polar::PolarVolume& reflectivity, const polar::PolarInput& in);
    void moments_velocity(const polar::PolarVolume& reflectivity, const polar::PolarInput& in);
    void grid_polar_volume(const polar::PolarInput& in);
    void write_velocity(const polar::PolarVolume& dealiased, const polar::Site& site) const;
};

// A series' volume keeps its radial velocity, dealiased, gridded as its
// reflectivity is (velocity.nc): the storm-relative velocity of its cells
// is made from it once they are tracked. A grid that fails costs only it.
void Analysis::write_velocity(const polar::PolarVolume& dealiased, const polar::Site& site) const {
    polar::PolarInput in = o_.polar;
    in.grid.max_nodes = std::min(in.grid.max_nodes, o_.max_voxels);
    in.grid.note = {};
    try {
        polar::VelocityGrid v{polar::grid_volumes(std::span(&dealiased, 1), in.grid)};
        if (v.grid.origin && (v.grid.origin->lat != site.latitude || v.grid.origin->lon != site.longitude))
            projected(*v.grid.origin, std::span(&site.latitude, 1), std::span(&site.longitude, 1),
                      std::span(&v.radar_x, 1), std::span(&v.radar_y, 1));
        polar::write_velocity_grid(results_->path("velocity.nc"), std::move(v));
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: no velocity.nc: %s\n", shown(e.what()).c_str());
    }
}

// velocity.nc is gridded on a thread of its own, from a copy of the
// dealiased velocity, while the cells are found and measured on the other
// core; without a thread or the memory for the copy, here and now.
void Analysis::start_velocity() {
    try {
        velocity_written_ = std::async(std::launch::async, [this, dealiased = velocity_->dealiased,
                                                            site = velocity_->site] { write_velocity(dealiased, site); });
    } catch (const std::exception&) {
        write_velocity(velocity_->dealiased, velocity_->site);
    }
}

// The velocity of the polar file analyzed, where it has one and its
// reflectivity is what is analyzed; a velocity that cannot be used leaves
// the rotation columns empty, with a note.
void Analysis::read_velocity(const polar::PolarVolume& reflectivity, const polar::PolarInput& in) {
    if (!o_.rotation || !reflectivity_units(reflectivity.units) || polar::is_derived_field(in.field)) return;
    try {
        velocity_ = read_velocity_derivatives(o_.volume, in.site, &reflectivity, in.grid.note, o_.velocity_guess);
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: no rotation: %s\n", shown(e.what()).c_str());
    }
    timing("velocity");
}

// A polar volume read already (a real-time feed's): its grid made sweep by
// sweep as the volume came where there is one, else gridded here, its gates
// filtered as a file's are, in a copy (the volume is the caller's); the
// velocity's derivatives from the moments given with it.
void Analysis::grid_polar_volume(const polar::PolarInput& in) {
    const bool velocity = o_.rotation && o_.polar_velocity && o_.polar_velocity->has_value();
    if (o_.polar_grid && !velocity) {
        v_ = *o_.polar_grid;
        return;
    }
    polar::PolarVolume filtered = *o_.polar_volume;
    polar::prepare_volume(filtered, in);
    v_ = o_.polar_grid ? *o_.polar_grid : polar::grid_volumes(std::span(&filtered, 1), in.grid);
    if (velocity) moments_velocity(filtered, in);
}

// The velocity's derivatives of a volume read already, from its moments.
void Analysis::moments_velocity(const polar::PolarVolume& reflectivity, const polar::PolarInput& in) {
    if (!reflectivity_units(reflectivity.units) || polar::is_derived_field(in.field)) return;
    try {
        velocity_ = moments_derivatives(*o_.polar_velocity, &reflectivity, o_.polar_width ? *o_.polar_width : std::nullopt,
                                        in.grid.note, o_.velocity_guess);
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: no rotation: %s\n", shown(e.what()).c_str());
    }
    timing("velocity");
}

// The hail levels of the options, above the radar; 0, or the exit status.
int Analysis::hail_levels() {
    try {
        const std::optional<HailLevels> sea = hail_levels_of(o_.freezing_level_km, o_.minus20_level_km, o_.sounding);
        if (!sea) return 0;
        std::string note;
        // A mosaic's heights are above sea level, as the levels are; a single
        // radar's grid is above its antenna, whose altitude it does not carry.
        const std::optional<double> altitude = is_mosaic() ? std::optional<double>(0.0) : std::nullopt;
        hail_ = above_radar(*sea, altitude, &note);
        if (!note.empty()) std::fprintf(err_, "velmora analyze: %s\n", note.c_str());
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: %s\n", e.what());
        return 2;
    }
    return 0;
}

// The MESH of every column, from the whole volume (not only its cells).
void Analysis::write_mesh() {
    if (!hail_) return;
    std::vector<float> mesh = mesh_field(v_, vhost::FieldRef(*radar_).float_view(0), *hail_);
    const PlanVariable variable{"MESH", "mm", "maximum expected size of hail (Witt et al. 1998)", mesh};
    write_plan_netcdf(results_->path("mesh.nc"), v_, std::span(&variable, 1));
    if (o_.picture) mesh_ = mesh;
    if (o_.for_tracking) o_.for_tracking->mesh = std::move(mesh);
    timing("mesh.nc");
}

int Analysis::prepare_output() {
    if (std::string problem = options::problem(options::option("analyze", "level"), o_.level); !problem.empty()) {
        std::fprintf(err_, "velmora analyze: --level: %s\n", problem.c_str());
        return 2;
    }
    if (std::string problem = echo_levels_problem(o_.echo_tops); !problem.empty()) {
        std::fprintf(err_, "velmora analyze: --echo-tops: %s\n", problem.c_str());
        return 2;
    }
    if (std::string problem = min_volume_problem(o_.min_volume_km3); !problem.empty()) {
        std::fprintf(err_, "velmora analyze: --min-volume: %s\n", problem.c_str());
        return 2;
    }
    if (std::string problem = split_levels_problem(o_.level, o_.split); !problem.empty()) {
        std::fprintf(err_, "velmora analyze: %s: %s\n", o_.split.min_core < 1 ? "--min-core" : "--split-levels",
                     problem.c_str());
        return 2;
    }
    // An output folder that cannot be replaced is said before any work; the
    // volume may lie in it, and is read before anything there is replaced.
    std::vector<std::string> inputs;
    if (!o_.volume.empty()) inputs.push_back(o_.volume);
    try {
        results_.emplace(o_.out, inputs);
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: --out: %s\n", e.what());
        return 2;
    }
    out_dir_ = results_->target();
    shown_.emplace(*results_, err_);
    return 0;
}

// The volume is read straight into the field "radar" of the tree, the only
// copy of its values.
int Analysis::read_volume_into_tree() {
    vhost::Host& host = vhost::host();
    host.reset();
    register_operations();
    // The writer modules write into the work folder and nowhere else.
    confined_.emplace(host, std::vector<fs::path>{work()});
    vhost::Object& radar = *(radar_ = &host.root().add_field("radar"));
    try {
        if (o_.volume.empty()) {
            v_ = synthetic_volume();
            volume_path_ = (fs::path(out_dir_) / "synthetic.nc").string();
            write_netcdf(results_->path("synthetic.nc"), v_);
            source_ = "the synthetic volume";
            fill_volume_field(radar, v_);
            decltype(v_.values)().swap(v_.values);
        } else if (is_mosaic() && o_.mosaic_volumes.empty() && (o_.polar_volume || !polar::is_polar(o_.volume))) {
            throw std::runtime_error("several volumes make one mosaic only when each is a polar volume file: " +
                                     o_.volume + " is not");
        } else if (o_.polar_volume || !o_.mosaic_volumes.empty() || polar::is_polar(o_.volume)) {
            // A polar volume is gridded first; the grid is a result of its
            // own, and the file the network reads.
            polar::PolarInput in = o_.polar;
            in.grid.max_nodes = std::min(in.grid.max_nodes, o_.max_voxels);
            if (o_.polar_volume) {
                grid_polar_volume(in);
            } else if (!is_mosaic()) {
                const polar::PolarVolume z = polar::read_input(o_.volume, in);
                v_ = polar::grid_volumes(std::span(&z, 1), in.grid);
                read_velocity(z, in);
            }
            volume_path_ = (fs::path(out_dir_) / "grid.nc").string();
            if (is_mosaic()) {
                std::vector<std::string> paths{o_.volume};
                paths.insert(paths.end(), o_.radars.begin(), o_.radars.end());
                polar::Mosaic mosaic = o_.mosaic_volumes.empty() ? polar::mosaic_files(paths, in)
                                                                 : polar::mosaic_volumes(o_.mosaic_volumes, in.grid, in.mosaic);
                polar::write_mosaic(results_->path("grid.nc"), mosaic);
                for (const polar::MosaicRadar& r : mosaic.radars) network_.push_back({r.x, r.y, r.range});
                if (o_.seams) seams_ = kept_at_column_max(mosaic);
                v_ = std::move(mosaic.grid);
            } else {
                write_netcdf(results_->path("grid.nc"), v_);
            }
            std::vector<std::string> sources;
            if (o_.mosaic_volumes.empty()) sources.push_back(o_.volume);
            sources.insert(sources.end(), o_.radars.begin(), o_.radars.end());
            for (const polar::PolarVolume& r : o_.mosaic_volumes) sources.push_back(r.source);
            source_.clear();
            for (const std::string& f : sources) source_ += (source_.empty() ? "" : ", ") + fs::path(f).filename().string();
            fill_volume_field(radar, v_);
            decltype(v_.values)().swap(v_.values);
        } else {
            const std::string path = fs::absolute(o_.volume).lexically_normal().string();
            volume_path_ = o_.volume_as.empty() ? path : (fs::path(out_dir_) / o_.volume_as).string();
            v_ = read_volume(
                path, o_.var, [&radar](const Volume& axes) { return make_volume_field(radar, axes); }, o_.time,
                o_.max_voxels);
            set_volume_null(radar, v_);
            source_ = fs::path(o_.volume_as.empty() ? o_.volume : o_.volume_as).filename().string();
        }
    } catch (const std::bad_alloc&) {
        // A volume the memory cannot hold is no usage error.
        std::fprintf(err_, "velmora analyze: out of memory reading %s\n", volume_path_.c_str());
        host.reset();
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: %s\n", shown(e.what()).c_str());
        host.reset();
        // A grid that cannot be written is no fault of the volume.
        return dynamic_cast<const WriteFailed*>(&e) ? 1 : 2;
    }
    return keep_volume_file();
}

// A volume file written for this run alone (a volume given in memory from
// Python) goes with its results, where the network reads it.
int Analysis::keep_volume_file() {
    if (o_.volume_as.empty()) return 0;
    std::error_code ec;
    fs::rename(o_.volume, results_->path(o_.volume_as.c_str()), ec);
    if (!ec) return 0;
    std::fprintf(err_, "velmora analyze: can not move %s into the results: %s\n", o_.volume.c_str(),
                 ec.message().c_str());
    return 1;
}

// A level no voxel reaches gives no cells, and nothing to extract.
bool Analysis::echo_reaches_level() {
    const float highest = highest_value(*radar_, v_);
    if (highest >= o_.level) return true;
    add_text(summary_.text, "0 storm cells at %g %s in %s (%s): no echo reaches the level (highest %.1f).\n", o_.level,
                value_units().c_str(), source_.c_str(), field().c_str(), static_cast<double>(highest));
    return false;
}

// The network, written beside the results: `velmora run` on it repeats the
// analysis, reading the volume from its file. Here the volume is already
// read: it is the field "radar", and the network is built without its
// "fields", its writers writing into the work folder.
int Analysis::build(Plan& plan) {
    net_path_ = (fs::path(out_dir_) / "network.json").string();
    try {
        const std::string text =
            json_dump(analysis_network(network_settings(o_), o_.time, volume_path_, out_dir_, v_), 2) + "\n";
        write_file(results_->path("network.json"), [&text](std::FILE* f) { std::fputs(text.c_str(), f); });
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: %s\n", shown(e.what()).c_str());
        return 1;
    }
    Json net = analysis_network(network_settings(o_), o_.time, volume_path_, work(), v_);
    net.erase("fields");
    timing("read " + source_);
    try {
        plan = build_network(Document::parse(net_path_, json_dump(net)));
    } catch (const std::exception& e) {
        std::fprintf(err_, "%s\n", e.what());
        return 2;
    }
    return 0;
}

int Analysis::call(const Plan& plan) {
    CallSettings settings = analysis_call_settings(true, o_.timings);
    add_min_volume(settings, v_, o_.min_volume_km3, sieve_);
    // isovolume.vtu is written on a thread of its own once the volume filter
    // has numbered the cells (it runs after GridArea), beside the rest.
    settings.after = [this, after = std::move(settings.after)](const PlannedInstance& inst) {
        if (after) after(inst);
        if (inst.name != "gridarea" || !sieve_.failure.empty() || sieve_.found == 0) return;
        try {
            isovolume_file_ = prepare_vtk(root().at("volume").at("out"), (fs::path(work()) / "isovolume").string(),
                                          nullptr, o_.compression);
            isovolume_file_->add(isovolume_extras(file_extras(v_, vhost::FieldRef(*radar_).label(0), {})));
            isovolume_written_ = std::async(std::launch::async, [file = &*isovolume_file_] { file->write(); });
        } catch (const std::exception&) {
            // No thread or no memory for it now: written with the others.
            isovolume_file_.reset();
        }
    };
    add_split(settings, *radar_, v_, o_.split, split_, o_.timings ? err_ : nullptr);
    RunRecord record{net_path_, {}};
    int status = run_ok;
    {
        // The division modules' tables of areas go to the log, not the terminal.
        const StdoutTo log(results_->path("analysis.log"));
        std::fputs(kLogHeader, stdout);
        status = call_instances(plan, settings, record, shown_->stream(), progress_);
        std::fflush(shown_->stream());
    }
    clock_ = std::chrono::steady_clock::now();   // the run noted each of its steps
    if (!sieve_.failure.empty()) {
        std::fprintf(err_, "velmora analyze: %s\n", sieve_.failure.c_str());
        return 1;
    }
    if (!split_.failure.empty()) {
        std::fprintf(err_, "velmora analyze: %s\n", split_.failure.c_str());
        return 1;
    }
    // The modules report only what went wrong: a step with nothing to do
    // (an empty surface when every voxel reaches the level) says nothing
    // and the analysis goes on; a step that failed said why above.
    if (status != run_ok || !vhost::host().reports().empty()) {
        std::fprintf(err_, "velmora analyze: the analysis stopped; the messages above say why\n");
        return 1;
    }
    return 0;
}

// Results for ParaView, and the picture.
void Analysis::write_results(const std::vector<Cell>& cells, const PropertyTable& properties) {
    vhost::Object& surface = root().at("surface").at("out");
    vhost::Object& stat = root().at("cellstat");
    const VtkExtras extras = file_extras(v_, vhost::FieldRef(*radar_).label(0), property_columns(properties));
    const auto vtk = [&](vhost::Object& field, const char* stem, const std::vector<std::string>* texts = nullptr,
                         const VtkExtras* more = nullptr) {
        const std::string path =
            write_vtk(field, (fs::path(work()) / stem).string(), texts, o_.compression, more ? more : &extras);
        timing("write " + fs::path(path).filename().string());
    };
    // The cell of every voxel joins the radar volume, taken from the grid of
    // area numbers, which is not needed after that.
    vhost::FieldRef r(*radar_);
    vhost::FieldRef grid_areas(root().at("gridarea").at("out"));
    r.move_last_component(grid_areas, "cell");
    const std::vector<std::int32_t> surf_cell = cells_of_surface(v_, r.float_view(0), r.int_view(r.ncomp() - 1),
                                                                 vhost::FieldRef(surface).coord(), o_.level);
    if (o_.for_tracking) {
        const auto start = std::chrono::steady_clock::now();
        o_.for_tracking->frame.cells = tracked_cells(cell_measures(), r.int_view(r.ncomp() - 1), v_);
        o_.for_tracking->seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    // The plan view, taken while the missing values are still marked as such.
    std::vector<float> column_max;
    std::vector<std::int32_t> column_no;
    if (o_.picture) {
        // A series' analysis took it already, for tracking.
        column_max = o_.for_tracking ? o_.for_tracking->frame.column_max : column_maximum(*radar_, v_);
        column_no = column_cells(r.int_view(r.ncomp() - 1), v_.x.size() * v_.y.size());
    }
    // Nothing reads the volume's values after this: its missing values
    // become NaN in place, as viewers expect them, rather than in a copy of
    // the volume made for the file.
    nulls_to_nan(*radar_, 0);
    // The volume file is the largest: it is written on a thread of its own
    // while the others are made, and waited for on every way out.
    VtkFile radar_file = prepare_vtk(*radar_, (fs::path(work()) / "radar").string(), nullptr, o_.compression);
    VtkExtras volume_extras = extras;
    volume_extras.unit_texts = false;   // read back as a volume, whose arrays must hold numbers
    radar_file.add(volume_extras);
    auto radar_written = std::async(std::launch::async, [&radar_file] { radar_file.write(); });
    timing("make radar.vti ready");
    struct Join {
        std::future<void>& f;
        ~Join() {
            if (f.valid()) f.wait();
        }
    } join{radar_written};
    vhost::FieldRef s(surface);
    // The surface's own area numbers; none when its division kept no area.
    vhost::FieldRef surf_areas(root().at("divsurf").at("out_nd"));
    std::vector<std::int32_t> area_no = surf_areas.ncomp() > 0 ? surf_areas.int_values(0) : std::vector<std::int32_t>{};
    area_no.resize(static_cast<std::size_t>(s.nnodes()), 0);
    s.ints("area_no", area_no).ints("cell", surf_cell);
    vtk(surface, "isosurface");
    const std::vector<std::string> labels = texts_of(stat.at("no_label"));
    write_cell_points(extras, properties, labels, vtk);
    if (isovolume_written_.valid()) {
        isovolume_written_.get();
        timing("write isovolume.vtu (beside the cells)");
    }
    if (!isovolume_file_) {
        const VtkExtras isovolume = isovolume_extras(extras);
        vtk(root().at("volume").at("out"), "isovolume", nullptr, &isovolume);
    }
    radar_written.get();
    timing("write radar.vti (beside those)");
    if (o_.picture) {
        draw_picture(cells, surf_cell, r.int_view(r.ncomp() - 1));
        draw_plan(column_max, column_no);
        draw_mesh(column_no);
    }
}

// The cells' tops and centres, numbered, the centres with the cells'
// properties; the legend, its ticks with their texts.
template <class Write>
void Analysis::write_cell_points(const VtkExtras& extras, const PropertyTable& properties,
                                 const std::vector<std::string>& labels, const Write& vtk) {
    VtkExtras numbered = extras;
    std::vector<std::int32_t> numbers;
    for (const CellMeasures& m : cell_measures()) numbers.push_back(m.no);
    numbered.point_ints.emplace_back("cell", numbers);
    vtk(root().at("cellstat").at("olabel"), "cell_tops", &labels, &numbered);
    const VtkExtras centres = centre_extras(extras, cell_measures(), property_columns(properties));
    vtk(root().at("centres").at("out"), "centres", nullptr, &centres);
    vtk(root().at("axis").at("oaxis"), "legend_axis", nullptr, nullptr);
    const std::vector<std::string> tick_texts = texts_of(root().at("ticks").at("olabel").at("text_values"));
    vtk(root().at("ticks").at("otick"), "legend_ticks", &tick_texts, nullptr);
}

// Draws a picture of the results; without a display the results stand
// without it.
void Analysis::draw(const std::string& name, const std::function<void(const std::string&)>& render) {
    if (no_pictures_) return;   // said once, for every picture
    const std::string png = results_->path(name);
    try {
        render(png);
    } catch (const std::runtime_error& e) {
        std::error_code gone;
        fs::remove(png, gone);   // nothing half drawn goes with the results
        std::fprintf(err_, "velmora analyze: no picture: %s\n", shown(e.what()).c_str());
        no_pictures_ = true;
    }
}

// The plan view: column maxima, the cells' outlines and numbers at their
// reflectivity-weighted centres, on the map.
// The pictures' map, time and radar: each radar of a mosaic with its own rings.
MapContext Analysis::picture_context() const {
    MapContext c = map_context(v_);
    if (!network_.empty()) {
        c.radar_km.reset();
        c.network = network_;
    }
    return c;
}

void Analysis::draw_plan(const std::vector<float>& column_max, const std::vector<std::int32_t>& column_no) {
    PlanView plan;
    plan.x = v_.x;
    plan.y = v_.y;
    plan.column_max = column_max;
    plan.plan = column_no;
    for (const CellMeasures& c : cell_measures()) plan.labels.push_back({c.no, c.wx, c.wy});
    char title[160];
    std::snprintf(title, sizeof title, "%zu storm cells at %g dBZ, highest reflectivity of each column",
                  plan.labels.size(), o_.level);
    plan.title = title;
    plan.caption = source_;
    plan.kept_radar = seams_;
    if (!context_) context_ = picture_context();
    plan.context = *context_;
    draw("plan.png", [&](const std::string& png) { render_plan_png(plan, png, 1100, 900); });
    timing("draw plan.png");
}

// The MESH of every column with the cells outlined, where there are hail levels.
void Analysis::draw_mesh(const std::vector<std::int32_t>& column_no) {
    if (mesh_.empty()) return;
    PlanView plan;
    plan.x = v_.x;
    plan.y = v_.y;
    plan.column_max = mesh_;
    plan.plan = column_no;
    plan.scale = PlanView::Scale::hail;
    for (const CellMeasures& c : cell_measures()) plan.labels.push_back({c.no, c.wx, c.wy});
    plan.title = "MESH, the maximum expected size of hail of each column";
    plan.caption = source_;
    if (!context_) context_ = picture_context();
    plan.context = *context_;
    draw("mesh.png", [&](const std::string& png) { render_plan_png(plan, png, 1100, 900); });
    timing("draw mesh.png");
}

void Analysis::draw_picture(const std::vector<Cell>& cells, const std::vector<std::int32_t>& surf_cell,
                            std::span<const std::int32_t> voxel_cells) {
    Scene scene;
    vhost::FieldRef surface(root().at("surface").at("out"));
    scene.coord = surface.coord();
    scene.triangles = surface_triangles(surface);
    scene.node_cell = surf_cell;
    scene.node_cell.resize(scene.coord.size() / 3, 0);
    int max_no = 0;
    float highest = 0.0f;
    for (const CellMeasures& c : cell_measures()) {
        scene.tops.push_back({c.no, c.wx, c.wy, c.top_km});
        max_no = std::max(max_no, c.no);
        highest = std::max(highest, c.top_km);
    }
    scene.cell_colour = distinct_colours(voxel_cells, v_.x.size(), v_.y.size(), v_.z.size(), max_no, kCellPalette);
    // The box reaches a little over the highest top, not the grid's empty levels.
    const double top = std::min<double>(v_.z.back(), 2.0 * std::ceil(0.5 * highest + 0.5));
    scene.box = {v_.x.front(), v_.x.back(), v_.y.front(), v_.y.back(), std::min(0.0f, v_.z.front()), top};
    char title[160];
    std::snprintf(title, sizeof title, "%zu storm cells at %g dBZ", cells.size(), o_.level);
    scene.title = title;
    scene.caption = source_;
    if (!context_) context_ = picture_context();
    scene.context = *context_;
    draw("cells.png", [&](const std::string& png) { render_png(scene, png, 1280, 900); });
    timing("draw cells.png");
}

// The tables of a volume without cells, each its header line alone: every
// analysis leaves the same tables to read.
void Analysis::write_empty_tables() {
    const std::vector<std::string> labels{vhost::FieldRef(*radar_).label(0)};
    for (const char* f : {"cells.csv", "surface_cells.csv"})
        if (!fs::exists(results_->path(f))) write_table(results_->path(f), Table{f, statistic_columns(labels), {}});
    PropertyTable none;
    none.echo_levels = o_.echo_tops;
    none.hail = hail_.has_value();
    none.placed = v_.origin.has_value();
    none.time = v_.time;
    none.reflectivity = reflectivity_units(v_.units);
    write_properties_csv(results_->path("cell_properties.csv"), none);
    if (o_.for_tracking) o_.for_tracking->properties = std::move(none);
}

// The results of a volume without cells put in place; 0 or the exit status.
int Analysis::no_cells() {
    try {
        write_empty_tables();
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: %s\n", shown(e.what()).c_str());
        return 1;
    }
    return commit() ? 0 : 1;
}

// Puts the results in place of the earlier ones: the last step of a run
// that succeeded.
bool Analysis::commit() {
    try {
        if (velocity_written_.valid()) {
            velocity_written_.get();
            timing("velocity.nc (beside the cells)");
        }
        results_->commit();
        return true;
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: %s\n", e.what());
        return false;
    }
}

int Analysis::run() {
    if (int status = prepare_output()) return status;
    if (int status = hail_levels()) return status;
    if (int status = read_volume_into_tree()) return status;
    if (o_.for_tracking) {
        const auto start = std::chrono::steady_clock::now();
        Volume& axes = o_.for_tracking->axes;
        axes.x = v_.x;
        axes.y = v_.y;
        axes.z = v_.z;
        axes.time = v_.time;
        axes.time_problem = v_.time_problem;
        axes.origin = v_.origin;
        o_.for_tracking->frame = {v_.time.value_or(NAN), {}, column_maximum(*radar_, v_)};
        if (velocity_) {
            start_velocity();
            o_.for_tracking->rotation = rotation_plan(v_, *velocity_);
            o_.for_tracking->velocity = std::move(velocity_->dealiased);
        }
        o_.for_tracking->seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    // No cells is an answer too: it replaces the earlier results.
    if (!echo_reaches_level()) return no_cells();
    Plan plan;
    if (int status = build(plan)) return status;
    if (int status = call(plan)) return status;
    if (kept_nothing("divvol")) {
        if (no_cells() != 0) return 1;
        if (sieve_.dropped > 0)
            add_text(summary_.text, "0 storm cells at %g %s in %s (%s): %s (--min-volume).\n", o_.level, value_units().c_str(),
                        source_.c_str(), field().c_str(), sieve_text(sieve_, o_.min_volume_km3).c_str());
        else
            add_text(summary_.text, "0 storm cells at %g %s in %s (%s): every area has at most %d tetrahedra (--min-cells).\n",
                        o_.level, value_units().c_str(), source_.c_str(), field().c_str(), o_.min_cells);
        return 0;
    }
    std::vector<Cell> cells;
    try {
        // Measured before the results are written: writing takes the cell
        // numbers from the tree into the volume.
        const PropertyTable properties =
            properties_of_run(*radar_, v_, o_.echo_tops, split_.parent, hail_, velocity_ ? &*velocity_ : nullptr);
        write_properties_csv(results_->path("cell_properties.csv"), properties);
        timing("cell properties");
        if (o_.for_tracking) o_.for_tracking->properties = properties;
        cells = cells_of(cell_measures(), properties);
        write_mesh();
        write_results(cells, properties);
    } catch (const std::bad_alloc&) {
        std::fprintf(err_, "velmora analyze: out of memory writing the results\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(err_, "velmora analyze: %s\n", shown(e.what()).c_str());
        return 1;
    }
    if (!commit()) return 1;
    std::string& text = summary_.text;
    text += cells_text(cells, source_, field(), o_, hail_.has_value(), value_units(), v_.time, &sieve_);
    summary_.cells = cells;
    if (!reflectivity_units(v_.units))
        add_text(text, "%s is in %s, not a reflectivity: %s are left empty.\n", field().c_str(), value_units().c_str(),
                 kReflectivityOnly);
    add_text(text, "results in %s (%s):\n", out_dir_.c_str(), seconds_since(t0_).c_str());
    if (!o_.volume_as.empty()) add_text(text, "  %s\n", o_.volume_as.c_str());
    for (const char* f : kResults)
        if (fs::exists(fs::path(out_dir_) / f)) add_text(text, "  %s\n", f);
    if (!hail_) add_text(text, "%s.\n", kNoHailLevels);
    return 0;
}

}  // namespace

int analyze(const AnalyzeOptions& o, std::FILE* err, AnalysisSummary& summary, ProgressWatcher* progress) {
    summary = {};
    return Analysis(o, err, summary, progress).run();
}

}  // namespace velmora
