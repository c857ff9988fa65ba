// velmora._core: the binding of the velmora library and its substitute host
// for Python. Thin on purpose: the app's own functions build, run and dump
// networks and analyze volumes; this file turns their results into numpy
// arrays and their failures into Python exceptions. No C++ exception leaves
// a binding function except as a Python exception (pybind11 translates).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <new>
#include <memory>
#include <optional>
#include <sstream>

#include "analysis/analyze.h"
#include "analysis/cell_analysis.h"
#include "run/document.h"
#include "run/dump.h"
#include "host.h"
#include "run/json_write.h"
#include "run/module_info.h"
#include "run/network.h"
#include "run/operations.h"
#include "io/plan_netcdf.h"
#include "polar/network.h"
#include "polar/polar_input.h"
#include "polar/velocity.h"
#include "run/runner.h"
#include "analysis/track_frames.h"
#include "realtime/storm_relative.h"
#include "realtime/track_folder.h"
#include "realtime/watcher.h"
#include "tracking/track_run.h"
#include "tracking/tracker.h"
#include "io/output_files.h"
#include "io/volume.h"
#include "options/options.h"
#include "pictures/pictures.h"

namespace py = pybind11;
using namespace velmora;

namespace {

// The host is one per process: one call at a time uses it. Every call
// releases the interpreter while it waits and works, so that other Python
// threads run meanwhile.
std::mutex host_mutex;

// A module that reported a failure, or a run that went wrong.
struct ModuleFailure : std::runtime_error {
    ModuleFailure(const std::string& what, std::vector<std::string> m)
        : std::runtime_error(what), messages(std::move(m)) {}
    std::vector<std::string> messages;
};

std::string without_newlines(std::string t) {
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
    return t;
}

std::vector<std::string> host_messages() {
    std::vector<std::string> out;
    for (const auto& m : vhost::host().messages()) out.push_back(without_newlines(m));
    return out;
}

struct HostReset {
    ~HostReset() { vhost::host().reset(); }
};

// A text of the library as Python's str: file names may hold bytes that are
// not UTF-8, which come back as Python's os.fsdecode gives them
// (surrogateescape), never as a UnicodeDecodeError.
py::str text(const std::string& s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

// What the gridding of polar volumes left out, told while the interpreter
// is released: the Python side warns of each.
class Notes {
public:
    void listen(polar::PolarInput& in) {
        in.grid.note = [list = list_](const std::string& note) { list->push_back(note); };
    }
    py::list texts() const {
        py::list out;
        for (const std::string& note : *list_) out.append(text(note));
        return out;
    }

private:
    std::shared_ptr<std::vector<std::string>> list_ = std::make_shared<std::vector<std::string>>();
};

// A numpy array that takes over the vector's storage: no copy.
template <class T>
py::array_t<T> to_numpy(std::vector<T>&& v, std::vector<py::ssize_t> shape) {
    auto owned = std::make_unique<std::vector<T>>(std::move(v));
    T* data = owned->data();
    py::capsule owner(owned.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
    owned.release();   // the capsule owns it now
    return py::array_t<T>(shape, data, owner);
}

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v, std::vector<py::ssize_t> shape) {
    return to_numpy(std::vector<T>(v), std::move(shape));
}

void add_members(py::list& out, const vhost::Object& group, const std::string& prefix) {
    for (const auto& c : group.children()) {
        const std::string name = prefix + c->name();
        py::dict d;
        d["name"] = name;
        d["kind"] = kind_text(*c);
        const std::string def = default_text(*c);
        d["default"] = def.size() > 3 ? py::object(py::str(def.substr(3))) : py::object(py::none());
        d["role"] = role_text(c->role());
        out.append(d);
        if (c->kind() == vhost::Kind::Group) add_members(out, *c, name + ".");
        if (c->kind() == vhost::Kind::GroupArray && c->element_template() &&
            c->element_template()->kind() == vhost::Kind::Group)
            add_members(out, *c->element_template(), name + "[].");
    }
}

py::list modules() {
    std::lock_guard lock(host_mutex);
    vhost::Host& host = vhost::host();
    register_operations();
    const HostReset reset;
    py::list out;
    for (const vhost::ModuleDecl* d : vhost::all_modules()) {
        host.reset();
        vhost::Object& inst = host.add_instance(d->name, d->name);
        py::list members;
        add_members(members, inst, "");
        py::dict m;
        m["name"] = d->name;
        m["summary"] = d->summary;
        m["entries"] = d->entries;
        m["members"] = members;
        out.append(m);
    }
    return out;
}

// The outcome of a run, before it becomes Python objects.
struct RunOutput {
    std::string dump;
    std::string printed;
    std::vector<std::string> messages;
};

RunOutput run_network_impl(const std::string& source, bool is_path, const std::string& name, std::int64_t dump_limit,
                           bool writes_anywhere) {
    std::lock_guard lock(host_mutex);
    vhost::Host& host = vhost::host();
    host.reset();
    const HostReset reset;
    // As `velmora run`: the writer modules write only inside the current folder.
    const vhost::ConfinedWrites confined(host, writes_anywhere ? std::vector<std::filesystem::path>{}
                                                               : std::vector<std::filesystem::path>{
                                                                     std::filesystem::current_path()});
    register_operations();
    std::optional<Document> doc;
    Plan plan;
    const std::string label = is_path ? source : name;
    try {
        doc = is_path ? Document::read(source) : Document::parse(name, source);
        plan = build_network(*doc);
    } catch (const NetworkError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // The command's status-2 message for the same failure.
        throw NetworkError(label + ": error: " + e.what());
    }
    RunOutput out;
    TempFile printed, reported;
    RunRecord record{label, {}};
    int status = run_ok;
    {
        std::FILE* err = std::fopen(reported.path().c_str(), "w");
        if (!err) throw std::runtime_error("can not open " + reported.path());
        const StdoutTo to(printed.path());
        try {
            status = call_instances(plan, CallSettings{}, record, err);
        } catch (...) {
            std::fclose(err);
            throw;
        }
        std::fclose(err);
    }
    out.printed = printed.text();
    out.messages = host_messages();
    if (status != run_ok || !out.messages.empty()) {
        std::vector<std::string> all = out.messages;
        for (const auto& l : lines_of(reported.text()))
            if (l.starts_with("velmora: ")) all.push_back(l);
        throw ModuleFailure(all.empty() ? "the run failed" : all.front(), all);
    }
    if (const std::int64_t values = dump_values(); values > dump_limit)
        throw std::length_error("the run's tree holds " + std::to_string(values) + " values, more than the " +
                                std::to_string(dump_limit) + " a dump holds (raise dump_limit)");
    std::ostringstream s;
    write_json(s, dump_tree(record));
    out.dump = s.str();
    return out;
}

py::dict run_network_py(const std::string& source, bool is_path, const std::string& name, std::int64_t dump_limit,
                        bool writes_anywhere) {
    RunOutput r;
    {
        py::gil_scoped_release free;
        r = run_network_impl(source, is_path, name, dump_limit, writes_anywhere);
    }
    py::dict d;
    d["dump"] = r.dump;
    d["printed"] = r.printed;
    d["messages"] = r.messages;
    return d;
}

// The cell properties, column name -> numpy array (cell, parent and voxels
// int32, the others float64 with NaN where missing).
py::dict properties_dict(const PropertyTable& t) {
    py::dict d;
    const auto n = static_cast<py::ssize_t>(t.cells.size());
    for (PropertyColumn& c : property_columns(t)) {
        if (c.integer)
            d[c.name.c_str()] = to_numpy(std::vector<std::int32_t>(c.values.begin(), c.values.end()), {n});
        else
            d[c.name.c_str()] = to_numpy(std::move(c.values), {n});
    }
    return d;
}

py::dict result_dict(AnalysisResult& r, const Volume& axes) {
    py::dict d;
    d["outcome"] = r.outcome == AnalysisResult::Outcome::Cells         ? "cells"
                   : r.outcome == AnalysisResult::Outcome::NoEcho      ? "no echo"
                                                                       : "nothing kept";
    d["highest"] = r.highest;
    d["cells_found"] = r.sieve.found;
    d["cells_too_small"] = r.sieve.dropped;
    const auto n = static_cast<py::ssize_t>(r.cells.size());
    std::vector<int> no, voxels;
    std::vector<float> cols[12];
    for (const CellMeasures& c : r.cells) {
        no.push_back(c.no);
        voxels.push_back(c.voxels);
        const float v[12] = {c.top_km, c.min, c.max, c.mean, c.sd, c.x, c.y, c.z, c.wx, c.wy, c.wz, 0.0f};
        for (int i = 0; i < 11; ++i) cols[i].push_back(v[i]);
    }
    py::dict cells;
    cells["cell"] = to_numpy(no, {n});
    cells["voxels"] = to_numpy(voxels, {n});
    const char* names[11] = {"top_km", "min_dbz", "max_dbz", "mean_dbz", "sd_dbz", "x_km",
                             "y_km",   "z_km",    "wx_km",   "wy_km",    "wz_km"};
    for (int i = 0; i < 11; ++i) cells[names[i]] = to_numpy(cols[i], {n});
    d["cells"] = cells;
    d["properties"] = properties_dict(r.properties);
    const auto nx = static_cast<py::ssize_t>(axes.x.size()), ny = static_cast<py::ssize_t>(axes.y.size()),
               nz = static_cast<py::ssize_t>(axes.z.size());
    if (static_cast<py::ssize_t>(r.labels.size()) == nx * ny * nz) {
        d["labels"] = to_numpy(std::move(r.labels), {nz, ny, nx});
    } else {   // no cells: every voxel outside
        d["labels"] = to_numpy(std::vector<std::int32_t>(static_cast<std::size_t>(nx * ny * nz), 0), {nz, ny, nx});
    }
    d["column_max"] = to_numpy(std::move(r.column_max), {ny, nx});
    d["mesh"] = r.mesh.empty() ? py::object(py::none()) : py::object(to_numpy(std::move(r.mesh), {ny, nx}));
    const auto np = static_cast<py::ssize_t>(r.surface.points.size() / 3);
    py::dict s;
    s["points"] = to_numpy(std::move(r.surface.points), {np, 3});
    const auto ntri = static_cast<py::ssize_t>(r.surface.triangles.size() / 3);
    s["triangles"] = to_numpy(std::move(r.surface.triangles), {ntri, 3});
    const auto nareas = static_cast<py::ssize_t>(r.surface.area_no.size());
    const auto ncells = static_cast<py::ssize_t>(r.surface.cell.size());
    s["area_no"] = to_numpy(std::move(r.surface.area_no), {nareas});
    s["cell"] = to_numpy(std::move(r.surface.cell), {ncells});
    d["surface"] = s;
    d["x"] = to_numpy(axes.x, {nx});
    d["y"] = to_numpy(axes.y, {ny});
    d["z"] = to_numpy(axes.z, {nz});
    d["units"] = axes.units;
    d["origin"] = axes.origin ? py::object(py::make_tuple(axes.origin->lat, axes.origin->lon)) : py::object(py::none());
    d["time"] = axes.time ? py::object(py::float_(*axes.time)) : py::object(py::none());   // s since 1970, UTC
    d["time_problem"] = text(axes.time_problem);
    py::list printed;
    for (const std::string& line : r.printed) printed.append(text(line));
    d["printed"] = printed;
    return d;
}

// The hail levels of a dict of the Python side (freezing_level, minus20_level
// in km above sea level, or sounding), as heights above the radar; none
// without them.
std::optional<HailLevels> hail_of(const py::dict& d) {
    const auto number = [&](const char* key) -> std::optional<double> {
        if (!d.contains(key) || d[key].is_none()) return std::nullopt;
        return d[key].cast<double>();
    };
    const std::string sounding = d.contains("sounding") && !d["sounding"].is_none() ? d["sounding"].cast<std::string>() : "";
    const auto sea = hail_levels_of(number("freezing_level"), number("minus20_level"), sounding);
    if (!sea) return std::nullopt;
    return above_radar(*sea, std::nullopt);   // a volume carries no altitude of its radar
}

// The hail levels above sea level, km, read once (velmora.batch gives the
// workers the levels, not the sounding); ValueError when they cannot be used.
py::object hail_levels_py(std::optional<double> freezing, std::optional<double> minus20, const std::string& sounding) {
    try {
        const auto sea = hail_levels_of(freezing, minus20, sounding);
        if (!sea) return py::none();
        return py::make_tuple(sea->h0_km, sea->hm20_km);
    } catch (const std::exception& e) {
        throw py::value_error(e.what());
    }
}

// The settings of an analysis; std::invalid_argument for levels that cannot be used.
AnalysisSettings settings_of(const std::string& var, double level, int min_cells, const std::vector<double>& echo_tops,
                             const std::vector<double>& split_levels, int min_core, const py::dict& hail,
                             double min_volume) {
    AnalysisSettings s;
    s.var = var, s.level = level, s.min_cells = min_cells;
    s.min_volume_km3 = min_volume;
    s.echo_tops = echo_tops;
    s.split = SplitSettings{split_levels, min_core};
    s.hail = hail_of(hail);
    return s;
}

// The gridding of polar volumes from a dict of the Python side: field,
// site (lat, lon, height m), spacing (dx, dy, dz km), extent (xmin, xmax,
// ymin, ymax km), levels (bottom, top km), origin (lat, lon), roi_min (km),
// roi_angle (degrees); absent keys keep the defaults.
polar::PolarInput polar_input_of(const py::dict& d) {
    polar::PolarInput in;
    auto numbers = [&](const char* key, std::size_t count) {
        std::vector<double> v;
        if (!d.contains(key) || d[key].is_none()) return v;
        v = d[key].cast<std::vector<double>>();
        if (v.size() != count)
            throw std::invalid_argument(std::string(key) + " takes " + std::to_string(count) + " numbers, not " +
                                        std::to_string(v.size()));
        return v;
    };
    if (d.contains("field") && !d["field"].is_none()) in.field = d["field"].cast<std::string>();
    if (auto v = numbers("site", 3); !v.empty()) {
        if (!checked_origin(v[0], v[1])) throw std::invalid_argument("site: not a latitude and longitude");
        in.site = polar::Site{v[0], v[1], v[2]};
    }
    if (auto v = numbers("spacing", 3); !v.empty()) in.grid.dx = v[0], in.grid.dy = v[1], in.grid.dz = v[2];
    if (auto v = numbers("extent", 4); !v.empty()) {
        in.grid.xmin = v[0], in.grid.xmax = v[1], in.grid.ymin = v[2], in.grid.ymax = v[3];
        in.mosaic.extent_given = true;
    }
    if (d.contains("combine") && !d["combine"].is_none()) {
        const auto name = d["combine"].cast<std::string>();
        const auto combine = polar::combine_named(name);
        if (!combine) throw std::invalid_argument("combine: \"" + name + "\" is none of weighted, nearest, max");
        in.mosaic.combine = *combine;
    }
    if (d.contains("max_age") && !d["max_age"].is_none()) in.mosaic.max_age = d["max_age"].cast<double>();
    if (!(in.mosaic.max_age >= 0)) throw std::invalid_argument("max_age must be 0 s or more");
    if (d.contains("calibrate") && !d["calibrate"].is_none()) in.mosaic.calibrate = d["calibrate"].cast<std::string>();
    if (auto v = numbers("levels", 2); !v.empty()) in.grid.zmin = v[0], in.grid.zmax = v[1];
    if (auto v = numbers("origin", 2); !v.empty()) {
        in.grid.origin = checked_origin(v[0], v[1]);
        if (!in.grid.origin) throw std::invalid_argument("origin: not a latitude and longitude");
    }
    if (d.contains("roi_min") && !d["roi_min"].is_none()) in.grid.roi_min = d["roi_min"].cast<double>();
    if (d.contains("roi_angle") && !d["roi_angle"].is_none()) in.grid.roi_angle = d["roi_angle"].cast<double>();
    if (d.contains("despeckle") && !d["despeckle"].is_none()) in.filters.despeckle = d["despeckle"].cast<bool>();
    if (d.contains("min_quality") && !d["min_quality"].is_none())
        in.filters.min_quality = d["min_quality"].cast<double>();
    if (d.contains("max_clutter_power") && !d["max_clutter_power"].is_none())
        in.filters.max_clutter_power = d["max_clutter_power"].cast<double>();
    if (d.contains("dealias") && !d["dealias"].is_none()) in.dealias = d["dealias"].cast<bool>();
    if (std::string problem = polar::gate_filters_problem(in.filters); !problem.empty())
        throw std::invalid_argument(problem);
    if (std::string problem = polar::grid_problem(in.grid); !problem.empty()) throw std::invalid_argument(problem);
    return in;
}

py::dict analyze_file_py(const std::string& path, const std::string& var, double level, int min_cells, long time,
                         std::int64_t max_voxels, const std::vector<double>& echo_tops,
                         const std::vector<double>& split_levels, int min_core, const py::dict& polar,
                         const py::dict& hail, double min_volume) {
    const AnalysisSettings settings =
        settings_of(var, level, min_cells, echo_tops, split_levels, min_core, hail, min_volume);
    polar::PolarInput in = polar_input_of(polar);
    Notes notes;
    notes.listen(in);
    AnalysisResult r;
    Volume axes;
    {
        py::gil_scoped_release free;
        std::lock_guard lock(host_mutex);
        r = analyze_file(path, time, max_voxels, settings, &axes, in);
    }
    py::dict d = result_dict(r, axes);
    d["notes"] = notes.texts();
    return d;
}

std::vector<double> doubles_of(const py::array_t<double, py::array::c_style | py::array::forcecast>& a,
                               const char* name) {
    if (a.ndim() != 1) throw std::invalid_argument(std::string("coordinate ") + name + " must be one-dimensional");
    return {a.data(), a.data() + a.size()};
}

// values: (nz, ny, nx); a C-contiguous float32 array is read where it lies,
// anything else converted into one first (pybind11's forcecast).
py::dict analyze_array_py(const py::array_t<float, py::array::c_style | py::array::forcecast>& values,
                          const py::array_t<double, py::array::c_style | py::array::forcecast>& x,
                          const py::array_t<double, py::array::c_style | py::array::forcecast>& y,
                          const py::array_t<double, py::array::c_style | py::array::forcecast>& z,
                          const std::string& xy_units, const std::string& z_units, const std::string& var,
                          const std::string& units, double level, int min_cells, std::int64_t max_voxels,
                          const std::vector<double>& echo_tops, const std::vector<double>& split_levels, int min_core,
                          const py::dict& hail, double min_volume) {
    const AnalysisSettings settings =
        settings_of(var, level, min_cells, echo_tops, split_levels, min_core, hail, min_volume);
    Volume axes;
    axes.x = axis_in_km(doubles_of(x, "x"), xy_units, "volume", "x");
    axes.y = axis_in_km(doubles_of(y, "y"), xy_units, "volume", "y");
    axes.z = axis_in_km(doubles_of(z, "z"), z_units, "volume", "z");
    axes.name = var;
    axes.units = units;
    if (values.ndim() != 3)
        throw std::invalid_argument("the volume must have 3 dimensions (z, y, x), not " + std::to_string(values.ndim()));
    const py::ssize_t nz = values.shape(0), ny = values.shape(1), nx = values.shape(2);
    if (nx != static_cast<py::ssize_t>(axes.x.size()) || ny != static_cast<py::ssize_t>(axes.y.size()) ||
        nz != static_cast<py::ssize_t>(axes.z.size()))
        throw std::invalid_argument("the volume's shape (" + std::to_string(nz) + ", " + std::to_string(ny) + ", " +
                                    std::to_string(nx) + ") does not match the coordinates (z " +
                                    std::to_string(axes.z.size()) + ", y " + std::to_string(axes.y.size()) + ", x " +
                                    std::to_string(axes.x.size()) + ")");
    if (static_cast<std::int64_t>(values.size()) > max_voxels)
        throw std::invalid_argument("the volume has " + std::to_string(values.size()) + " voxels, more than max_voxels (" +
                                    std::to_string(max_voxels) + ")");
    AnalysisResult r;
    {
        py::gil_scoped_release free;
        std::lock_guard lock(host_mutex);
        r = analyze_values(axes, std::span<const float>(values.data(), static_cast<std::size_t>(values.size())),
                           settings);
    }
    return result_dict(r, axes);
}

// The results files of `velmora analyze --out folder` on a volume file.
py::dict write_files_py(const std::string& path, const std::string& var, double level, int min_cells, long time,
                        const std::string& folder, bool picture, std::int64_t max_voxels,
                        const std::vector<double>& echo_tops, const std::vector<double>& split_levels, int min_core,
                        const py::dict& polar, const std::string& volume_as, const py::dict& hail,
                        double min_volume) {
    AnalyzeOptions o;
    o.min_volume_km3 = min_volume;
    o.volume_as = volume_as;
    if (hail.contains("freezing_level") && !hail["freezing_level"].is_none())
        o.freezing_level_km = hail["freezing_level"].cast<double>();
    if (hail.contains("minus20_level") && !hail["minus20_level"].is_none())
        o.minus20_level_km = hail["minus20_level"].cast<double>();
    if (hail.contains("sounding") && !hail["sounding"].is_none()) o.sounding = hail["sounding"].cast<std::string>();
    o.polar = polar_input_of(polar);
    Notes notes;
    notes.listen(o.polar);
    o.echo_tops = echo_tops;
    o.split = SplitSettings{split_levels, min_core};
    o.volume = path;
    o.var = var;
    o.level = level;
    o.min_cells = min_cells;
    o.time = time;
    o.out = folder;
    o.picture = picture;
    o.max_voxels = max_voxels;
    int status = 0;
    std::string table, err_text;
    {
        py::gil_scoped_release free;
        std::lock_guard lock(host_mutex);
        TempFile reported;
        std::FILE* err = std::fopen(reported.path().c_str(), "w");
        if (!err) throw std::runtime_error("can not open " + reported.path());
        AnalysisSummary summary;
        try {
            status = analyze(o, err, summary);
        } catch (...) {
            std::fclose(err);
            vhost::host().reset();
            throw;
        }
        std::fclose(err);
        vhost::host().reset();
        table = std::move(summary.text);
        err_text = reported.text();
    }
    if (status != 0) {
        const auto lines = lines_of(err_text);
        const std::string what = lines.empty() ? "velmora analyze failed" : lines.front();
        if (status == 2) throw std::invalid_argument(what);
        throw ModuleFailure(what, lines);
    }
    py::dict d;
    d["notes"] = notes.texts();
    d["summary"] = text(table);
    d["stderr"] = text(err_text);
    return d;
}

// A grid as Python takes it: its values (z, y, x) with NaN where no gate
// reaches, its axes in km, field name and units, origin and time.
py::dict grid_dict(const Volume& v) {
    const auto nz = static_cast<py::ssize_t>(v.z.size()), ny = static_cast<py::ssize_t>(v.y.size()),
               nx = static_cast<py::ssize_t>(v.x.size());
    py::array_t<float> values({nz, ny, nx});
    float* data = values.mutable_data();
    for (std::size_t i = 0; i < v.values.size(); ++i)
        data[i] = v.values[i] == v.null_value ? std::numeric_limits<float>::quiet_NaN() : v.values[i];
    py::dict d;
    d["values"] = values;
    d["x"] = py::array_t<float>(nx, v.x.data());
    d["y"] = py::array_t<float>(ny, v.y.data());
    d["z"] = py::array_t<float>(nz, v.z.data());
    d["name"] = v.name;
    d["units"] = v.units;
    d["origin"] = v.origin ? py::object(py::make_tuple(v.origin->lat, v.origin->lon)) : py::object(py::none());
    d["time"] = v.time ? py::object(py::float_(*v.time)) : py::object(py::none());
    return d;
}

// Polar volumes read and gridded together (grid_dict); written as NetCDF to
// out as well when it is given.
py::dict grid_py(const std::vector<std::string>& paths, const py::dict& polar, const std::string& out) {
    polar::PolarInput in = polar_input_of(polar);
    Notes notes;
    notes.listen(in);
    // An output that cannot take the grid, or is one of the volumes, is said before any work.
    if (!out.empty())
        if (auto problem = output_file_problem(out, paths)) throw OutputRefused(*problem);
    Volume v;
    std::optional<Volume> raw;   // with dealias, the velocity as measured
    {
        py::gil_scoped_release free;
        v = polar::grid_files(paths, in, &raw);
        if (!out.empty()) polar::write_grid(out, v, raw);
    }
    py::dict d = grid_dict(v);
    d["raw"] = raw ? grid_dict(*raw)["values"] : py::object(py::none());
    d["raw_name"] = polar::raw_name(v.name);
    const auto label = [](const polar::FieldLabel& l) { return py::dict(py::arg("long_name") = l.long_name, py::arg("comment") = l.comment); };
    d["dealiased_label"] = label(polar::dealiased_label(v.name));
    d["raw_label"] = label(polar::measured_label(v.name));
    d["notes"] = notes.texts();
    return d;
}

// The polar volumes of paths as a network's series (polar/network.h): its
// time steps, number of radars and grid's origin and extent; None when they
// are one radar's.
py::object network_series_py(const std::vector<std::string>& paths, const py::dict& polar) {
    const polar::PolarInput in = polar_input_of(polar);
    std::optional<polar::NetworkSeries> s;
    {
        py::gil_scoped_release free;
        s = polar::network_series(paths, in);
    }
    if (!s) return py::none();
    const polar::GridOptions& g = s->grid;
    return py::dict(py::arg("steps") = s->steps, py::arg("radars") = s->radars,
                    py::arg("origin") = py::make_tuple(g.origin->lat, g.origin->lon),
                    py::arg("extent") = py::make_tuple(g.xmin, g.xmax, g.ymin, g.ymax));
}

// The mosaic of polar volumes: the grid as grid_py gives it, with the
// radars that saw each point and the one kept, the radars and the overlaps.
py::dict mosaic_py(const std::vector<std::string>& paths, const py::dict& polar, const std::string& out) {
    polar::PolarInput in = polar_input_of(polar);
    Notes notes;
    notes.listen(in);
    if (!out.empty())
        if (auto problem = output_file_problem(out, paths)) throw OutputRefused(*problem);
    polar::Mosaic m;
    {
        py::gil_scoped_release free;
        m = polar::mosaic_files(paths, in);
        if (!out.empty()) polar::write_mosaic(out, m);
    }
    const Volume& v = m.grid;
    const std::vector<py::ssize_t> shape = {static_cast<py::ssize_t>(v.z.size()), static_cast<py::ssize_t>(v.y.size()),
                                            static_cast<py::ssize_t>(v.x.size())};
    py::dict d = grid_dict(v);
    d["radar_count"] = py::array_t<std::uint8_t>(shape, m.seen_by.data());
    d["kept_radar"] = py::array_t<std::int8_t>(shape, m.kept.data());
    py::list radars, overlaps;
    for (const polar::MosaicRadar& r : m.radars)
        radars.append(py::dict(py::arg("name") = r.name, py::arg("source") = r.source,
                               py::arg("latitude") = r.site.latitude, py::arg("longitude") = r.site.longitude,
                               py::arg("altitude") = r.site.height,
                               py::arg("time") = r.time ? py::object(py::float_(*r.time)) : py::object(py::none()),
                               py::arg("adjustment") = r.adjustment));
    for (const polar::Overlap& p : m.overlaps)
        overlaps.append(py::make_tuple(m.radars[p.a].name, m.radars[p.b].name, p.median, p.count));
    d["radars"] = radars;
    d["overlaps"] = overlaps;
    d["combine"] = std::string(polar::combine_name(m.combine));
    d["time_spread"] = m.time_spread;
    d["notes"] = notes.texts();
    return d;
}

// A polar volume as the reader returns it: the radar's site and time, and
// each sweep's angles, gate geometry (m) and values (rays, gates), NaN
// missing and -inf no echo; of a radial velocity its Nyquist velocity, and
// with dealias the values unfolded, those as read beside them (raw); with
// storm_motion (u, v m/s) the velocity relative to a storm moving so.
py::dict read_polar_py(const std::string& path, const std::string& field,
                       const std::optional<std::tuple<double, double, double>>& site, bool dealias,
                       const std::optional<std::pair<double, double>>& storm_motion) {
    std::optional<polar::Site> given;
    if (site) given = polar::Site{std::get<0>(*site), std::get<1>(*site), std::get<2>(*site)};
    polar::PolarVolume v;
    std::vector<std::vector<float>> raw;
    polar::DealiasReport report;
    {
        py::gil_scoped_release free;
        v = polar::read_polar(path, field, given);
        if (dealias) {
            for (const polar::Sweep& s : v.sweeps) raw.push_back(s.values);
            report = polar::dealias_volume(v);
        }
        if (storm_motion) polar::storm_relative(v, polar::Wind{storm_motion->first, storm_motion->second});
    }
    py::list sweeps;
    for (std::size_t i = 0; i < v.sweeps.size(); ++i) {
        const polar::Sweep& s = v.sweeps[i];
        const auto rays = static_cast<py::ssize_t>(s.rays());
        const std::vector<py::ssize_t> shape{rays, static_cast<py::ssize_t>(s.gates)};
        py::dict d;
        d["name"] = s.name;
        d["fixed_angle"] = s.fixed_angle;
        d["azimuth"] = py::array_t<float>(rays, s.azimuth.data());
        d["elevation"] = py::array_t<float>(rays, s.elevation.data());
        d["range_first"] = s.range_first;
        d["gate_spacing"] = s.gate_spacing;
        d["values"] = py::array_t<float>(shape, s.values.data());
        if (dealias) d["raw"] = py::array_t<float>(shape, raw[i].data());
        py::array_t<bool> folded(shape);
        for (py::ssize_t k = 0; k < folded.size(); ++k)
            folded.mutable_data()[k] = !s.folded.empty() && s.folded[static_cast<std::size_t>(k)];
        d["range_folded"] = folded;
        d["nyquist"] = s.nyquist ? py::object(py::float_(*s.nyquist)) : py::object(py::none());
        d["time"] = s.time ? py::object(py::float_(*s.time)) : py::object(py::none());
        sweeps.append(d);
    }
    py::dict d;
    d["source"] = text(v.source);
    d["field"] = v.field;
    d["units"] = v.units;
    d["site"] = v.site ? py::object(py::make_tuple(v.site->latitude, v.site->longitude, v.site->height))
                       : py::object(py::none());
    d["time"] = v.time ? py::object(py::float_(*v.time)) : py::object(py::none());
    d["beam_width"] = v.beam_width;
    d["sweeps"] = sweeps;
    d["notes"] = report.notes;
    return d;
}

// A volume given in memory written as NetCDF, the way `velmora synth` writes
// one: the file `velmora analyze` reads for to_files().
void write_volume_py(const std::string& path, const py::array_t<float, py::array::c_style | py::array::forcecast>& values,
                     const py::array_t<double, py::array::c_style | py::array::forcecast>& x,
                     const py::array_t<double, py::array::c_style | py::array::forcecast>& y,
                     const py::array_t<double, py::array::c_style | py::array::forcecast>& z,
                     const std::string& xy_units, const std::string& z_units, const std::string& var,
                     const std::string& units, const std::optional<std::pair<double, double>>& origin) {
    Volume v;
    if (origin) v.origin = checked_origin(origin->first, origin->second);
    v.x = axis_in_km(doubles_of(x, "x"), xy_units, "volume", "x");
    v.y = axis_in_km(doubles_of(y, "y"), xy_units, "volume", "y");
    v.z = axis_in_km(doubles_of(z, "z"), z_units, "volume", "z");
    if (values.ndim() != 3 || values.shape(0) != static_cast<py::ssize_t>(v.z.size()) ||
        values.shape(1) != static_cast<py::ssize_t>(v.y.size()) || values.shape(2) != static_cast<py::ssize_t>(v.x.size()))
        throw std::invalid_argument("the volume's shape does not match its coordinates");
    v.name = var;
    v.units = units;
    v.has_null = true;
    v.values.assign(values.data(), values.data() + values.size());
    py::gil_scoped_release free;
    write_netcdf(path, v);
}

// Latitudes and longitudes of points km east and north of an origin.
py::tuple geographic_py(double lat0, double lon0, const py::array_t<double, py::array::c_style | py::array::forcecast>& x,
                        const py::array_t<double, py::array::c_style | py::array::forcecast>& y) {
    const auto origin = checked_origin(lat0, lon0);
    if (!origin)
        throw std::invalid_argument("the origin (" + std::to_string(lat0) + ", " + std::to_string(lon0) +
                                    ") is not a latitude and longitude");
    if (x.ndim() != 1 || y.ndim() != 1 || x.size() != y.size())
        throw std::invalid_argument("x and y must be one-dimensional and of the same size");
    const auto n = static_cast<std::size_t>(x.size());
    std::vector<double> lat(n), lon(n);
    geographic(*origin, std::span(x.data(), n), std::span(y.data(), n), lat, lon);
    const auto sn = static_cast<py::ssize_t>(n);
    return py::make_tuple(to_numpy(std::move(lat), {sn}), to_numpy(std::move(lon), {sn}));
}

// One volume of a series for the tracker: its axes and time, the plan view
// of its echo, the cell of every voxel and the cells' measures.
tracking::Frame frame_from(const py::dict& f, Volume& axes) {
    auto floats = [&](const char* k) {
        auto a = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(f[k]);
        if (!a) throw std::invalid_argument(std::string("frame entry ") + k + " is not an array of numbers");
        return std::vector<float>(a.data(), a.data() + a.size());
    };
    axes.x = floats("x");
    axes.y = floats("y");
    axes.z = floats("z");
    const std::size_t voxels = axes.x.size() * axes.y.size() * axes.z.size();
    auto labels = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(f["labels"]);
    if (!labels || static_cast<std::size_t>(labels.size()) != voxels)
        throw std::invalid_argument("the labels of a volume do not match its axes");
    tracking::Frame frame;
    frame.time = f["time"].cast<double>();
    frame.column_max = floats("column_max");
    if (frame.column_max.size() != axes.x.size() * axes.y.size())
        throw std::invalid_argument("the column maxima of a volume do not match its axes");
    const py::dict c = f["cells"];
    const auto no = py::array_t<int, py::array::forcecast>::ensure(c["cell"]);
    const auto vox = py::array_t<int, py::array::forcecast>::ensure(c["voxels"]);
    std::vector<std::vector<float>> cols;
    for (const char* k : {"wx_km", "wy_km", "wz_km", "top_km", "max_dbz"}) {
        auto a = py::array_t<float, py::array::forcecast>::ensure(c[k]);
        if (!a || !no || a.size() != no.size()) throw std::invalid_argument(std::string("cells entry ") + k + " is missing");
        cols.emplace_back(a.data(), a.data() + a.size());
    }
    if (!vox || vox.size() != no.size()) throw std::invalid_argument("cells entry voxels is missing");
    std::vector<CellMeasures> cells(static_cast<std::size_t>(no.size()));
    for (std::size_t i = 0; i < cells.size(); ++i) {
        cells[i].no = no.data()[i];
        cells[i].voxels = vox.data()[i];
        cells[i].wx = cols[0][i];
        cells[i].wy = cols[1][i];
        cells[i].wz = cols[2][i];
        cells[i].top_km = cols[3][i];
        cells[i].max = cols[4][i];
    }
    frame.cells = tracked_cells(cells, std::span(labels.data(), voxels), axes);
    return frame;
}

// The tracker on a series of analyzed volumes, in time order: per cell per
// volume its frame, its index among the frame's cells, track, motion,
// parent and event, and the cells' volumes.
// A track or watch folder's rotation_tracks.nc: x and y (km) and each
// layer (y, x) with its units and long_name; None when the folder has none.
py::object rotation_tracks_py(const std::string& folder) {
    const std::string path = (std::filesystem::path(folder) / "rotation_tracks.nc").string();
    if (!std::filesystem::exists(path)) return py::none();
    const std::array<std::string, 2> names{"azshear_low", "azshear_mid"};
    PlanFile f;
    {
        py::gil_scoped_release free;
        f = read_plan_netcdf(path, names);
    }
    const auto nx = static_cast<py::ssize_t>(f.axes.x.size()), ny = static_cast<py::ssize_t>(f.axes.y.size());
    py::dict d;
    d["x"] = to_numpy(f.axes.x, {nx});
    d["y"] = to_numpy(f.axes.y, {ny});
    for (PlanFile::Variable& v : f.variables)
        d[v.name.c_str()] = py::make_tuple(to_numpy(std::move(v.values), {ny, nx}), v.units, v.long_name);
    return d;
}

// The storm-relative velocity of a track or watch folder's volume k (from
// 0; negative from the last), as grid_dict gives a grid, and the volume's
// file; None when the volume has no radial velocity or no motion is known.
py::object storm_relative_py(const std::string& folder, long k) {
    const Table volumes = read_table((std::filesystem::path(folder) / "volumes.csv").string());
    const long n = static_cast<long>(volumes.rows.size());
    if (k < -n || k >= n)
        throw py::index_error(folder + " has no volume " + std::to_string(k) + " (" + std::to_string(n) + " volumes)");
    const auto at = static_cast<std::size_t>(k < 0 ? n + k : k);
    std::optional<Volume> v;
    {
        py::gil_scoped_release free;
        v = realtime::storm_relative_volume(folder, at);
    }
    if (!v) return py::none();
    py::dict d = grid_dict(*v);
    d["volume"] = volumes.at(at, "volume");
    return d;
}

// The order of a series' volumes as velmora track puts them: names, times
// (s since 1970, None for none) and why a volume has none.
py::tuple order_series_py(const std::vector<std::string>& names, const std::vector<std::optional<double>>& times,
                          const std::vector<std::string>& problems, double interval) {
    std::vector<velmora::tracking::VolumeTime> volumes;
    for (std::size_t k = 0; k < names.size(); ++k)
        volumes.push_back({names[k], k < times.size() ? times[k] : std::nullopt, k < problems.size() ? problems[k] : ""});
    const auto s = velmora::tracking::order_series(volumes, interval);
    return py::make_tuple(s.order, s.times, s.timed);
}

py::dict track_py(const py::list& frames_in, double max_speed, double max_gap) {
    std::vector<tracking::Frame> frames;
    Volume first;
    for (std::size_t i = 0; i < frames_in.size(); ++i) {
        Volume axes;
        frames.push_back(frame_from(frames_in[i].cast<py::dict>(), axes));
        if (i == 0) first = axes;
        else if (axes.x != first.x || axes.y != first.y)
            throw std::invalid_argument("volume " + std::to_string(i) +
                                        " lies on another grid than the first: the volumes of a series must share their grid");
    }
    std::vector<tracking::Row> rows;
    {
        py::gil_scoped_release free;
        rows = tracking::track({first.x, first.y}, frames, {max_speed, max_gap});
    }
    std::vector<std::int64_t> frame, cell;
    std::vector<int> track, parent;
    std::vector<double> u, v, volume;
    py::list events;
    for (const auto& r : rows) {
        frame.push_back(static_cast<std::int64_t>(r.frame));
        cell.push_back(static_cast<std::int64_t>(r.cell));
        track.push_back(r.track);
        parent.push_back(r.parent);
        u.push_back(r.u);
        v.push_back(r.v);
        volume.push_back(frames[r.frame].cells[r.cell].volume_km3);
        events.append(tracking::event_name(r.event));
    }
    const auto n = static_cast<py::ssize_t>(rows.size());
    py::dict d;
    d["frame"] = to_numpy(std::move(frame), {n});
    d["cell_index"] = to_numpy(std::move(cell), {n});
    d["track"] = to_numpy(std::move(track), {n});
    d["parent"] = to_numpy(std::move(parent), {n});
    d["u_ms"] = to_numpy(std::move(u), {n});
    d["v_ms"] = to_numpy(std::move(v), {n});
    d["volume_km3"] = to_numpy(std::move(volume), {n});
    d["event"] = events;
    return d;
}

// The table of every command's options (lib/options), one dict each: the
// Python functions' defaults and checks and the batch parser are made from it.
py::list options_table() {
    static const char* const types[] = {"text", "integer", "number", "numbers", "flag"};
    py::list out;
    for (const options::Option& o : options::kOptions) {
        py::dict d;
        py::list commands;
        for (const std::string_view c : options::kCommands)
            if (o.takes(c)) commands.append(std::string(c));
        d["commands"] = commands;
        d["name"] = std::string(o.name);
        d["setting"] = std::string(o.setting());
        d["type"] = types[static_cast<int>(o.type)];
        py::list values;
        for (std::size_t i = 0; i < o.value.n; ++i) values.append(o.value.v[i]);
        // A flag's keyword is its setting ("no-picture": picture), on unless the flag says otherwise.
        if (o.type == options::Type::Flag) d["default"] = o.negated();
        else if (!o.has_default()) d["default"] = py::none();
        else if (o.type == options::Type::Text) d["default"] = std::string(o.text);
        else if (o.type == options::Type::Numbers) d["default"] = py::tuple(values);
        else if (o.type == options::Type::Integer) d["default"] = static_cast<long long>(o.value.v[0]);
        else d["default"] = o.value.v[0];
        d["min"] = o.min;
        d["max"] = o.max;
        d["units"] = std::string(o.units);
        d["metavar"] = std::string(o.metavar);
        d["help"] = std::string(o.help);
        d["count"] = o.count;
        d["choices"] = std::string(o.choices);
        d["bounds"] = options::bounds(o);
        d["default_text"] = options::default_text(o);
        out.append(d);
    }
    return out;
}

// velmora.watch's watcher: options from a dict of the Python side (input,
// out, settle, poll, inotify, chunk_timeout, deadline, reorder_window, leads in s, var, level,
// min_cells, max_speed, max_gap, picture, polar, hail), each step's outcomes as
// dicts. The analyses use the host: a step holds its lock.
class PyWatcher {
public:
    explicit PyWatcher(const py::dict& d) {
        realtime::WatchOptions o;
        o.input = d["input"].cast<std::string>();
        o.out = d["out"].cast<std::string>();
        o.settle = d["settle"].cast<double>();
        o.poll = d["poll"].cast<double>();
        o.inotify = d["inotify"].cast<bool>();
        o.chunk_timeout = d["chunk_timeout"].cast<double>();
        o.deadline = d["deadline"].cast<double>();
        o.series.reorder_window = d["reorder_window"].cast<std::size_t>();
        o.series.leads = d["leads"].cast<std::vector<double>>();
        o.series.link.max_speed = o.series.trend.max_speed = d["max_speed"].cast<double>();
        o.series.link.max_gap = d["max_gap"].cast<double>();
        o.analysis.var = d["var"].cast<std::string>();
        o.analysis.level = d["level"].cast<double>();
        o.analysis.min_cells = d["min_cells"].cast<int>();
        if (d.contains("min_volume")) o.analysis.min_volume_km3 = d["min_volume"].cast<double>();
        o.analysis.picture = d["picture"].cast<bool>();
        o.analysis.polar = polar_input_of(d["polar"].cast<py::dict>());
        const py::dict hail = d["hail"].cast<py::dict>();
        if (hail.contains("freezing_level")) o.analysis.freezing_level_km = hail["freezing_level"].cast<double>();
        if (hail.contains("minus20_level")) o.analysis.minus20_level_km = hail["minus20_level"].cast<double>();
        if (hail.contains("sounding")) o.analysis.sounding = hail["sounding"].cast<std::string>();
        py::gil_scoped_release free;
        std::lock_guard lock(host_mutex);
        w_ = std::make_unique<realtime::Watcher>(std::move(o), stderr);
    }
    py::list step() {
        std::vector<realtime::VolumeOutcome> got;
        {
            py::gil_scoped_release free;
            std::lock_guard lock(host_mutex);
            got = open().step();
        }
        py::list out;
        for (const auto& v : got) {
            py::dict d;
            d["name"] = v.name;
            d["state"] = realtime::state_name(v.state);
            d["reason"] = v.reason;
            d["folder"] = v.folder;
            d["time"] = std::isnan(v.time) ? py::object(py::none()) : py::object(py::float_(v.time));
            d["cells"] = v.cells;
            d["relinked"] = v.relinked;
            d["radars"] = v.radars;
            d["missing"] = v.missing;
            d["seconds"] = v.seconds;
            out.append(d);
        }
        return out;
    }
    bool has_ready() { return open().has_ready(); }
    bool settling() { return open().settling(); }
    double wait_seconds() { return open().wait_seconds(); }
    int fd() { return open().fd(); }
    std::size_t volumes() { return open().volumes(); }
    void close() { w_.reset(); }   // lets another watcher take the folder

private:
    realtime::Watcher& open() {
        if (!w_) throw std::logic_error("this watcher was closed");
        return *w_;
    }
    std::unique_ptr<realtime::Watcher> w_;
};

// velmora.verify: the table of verify.csv as columns.
py::dict verify_folder_py(const std::string& dir, const std::vector<double>& leads, double max_speed, double interval) {
    std::vector<tracking::VerificationRow> rows;
    {
        py::gil_scoped_release free;
        tracking::TrendSettings s;
        s.max_speed = max_speed;
        rows = realtime::verify_folder(dir, leads, s, interval);
    }
    py::dict d;
    py::list lead, method, volumes, hits, misses, false_alarms, pod, far, csi, error, centres;
    for (const auto& r : rows) {
        const auto& c = r.scores.columns;
        lead.append(r.lead / 60.0), method.append(tracking::method_name(r.method)), volumes.append(r.scores.volumes);
        hits.append(c.hits), misses.append(c.misses), false_alarms.append(c.false_alarms);
        pod.append(tracking::pod(c)), far.append(tracking::far(c)), csi.append(tracking::csi(c));
        error.append(r.scores.mean_centre_error()), centres.append(r.scores.centres);
    }
    d["lead_min"] = lead, d["method"] = method, d["volumes"] = volumes, d["hits"] = hits, d["misses"] = misses;
    d["false_alarms"] = false_alarms, d["pod"] = pod, d["far"] = far, d["csi"] = csi, d["centre_error_km"] = error;
    d["centres"] = centres;
    return d;
}

std::int64_t outstanding_arrays() {
    std::lock_guard lock(host_mutex);
    return vhost::host().outstanding_arrays();
}

}  // namespace

void add_result_folders(py::module_& m);   // results.cpp

PYBIND11_MODULE(_core, m) {
    m.doc() = "The velmora library and its substitute host (use the package velmora)";
    py::object errors = py::module_::import("velmora._errors");
    // Kept for the life of the process, never released: the translator runs
    // after module init, and a static py::object would be released after the
    // interpreter has gone.
    static py::handle network_error = py::object(errors.attr("NetworkError")).release();
    static py::handle module_error = py::object(errors.attr("ModuleError")).release();
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const NetworkError& e) {
            PyErr_SetObject(network_error.ptr(), py::str(e.what()).ptr());
        } catch (const ModuleFailure& e) {
            py::object exc = module_error(e.what(), e.messages);
            PyErr_SetObject(module_error.ptr(), exc.ptr());
        } catch (const AnalysisError& e) {
            py::object exc = module_error(e.what(), e.messages);
            PyErr_SetObject(module_error.ptr(), exc.ptr());
        } catch (const std::length_error& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::invalid_argument& e) {
            PyErr_SetObject(PyExc_ValueError, text(e.what()).ptr());
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const py::builtin_exception&) {
            throw;   // pybind11's own (ValueError, ...), translated by pybind11
        } catch (const std::runtime_error& e) {
            // A message naming a file whose name is not UTF-8.
            PyErr_SetObject(PyExc_RuntimeError, text(e.what()).ptr());
        }
    });
    m.def("modules", &modules);
    m.def("run_network", &run_network_py, py::arg("source"), py::arg("is_path"), py::arg("name"),
          py::arg("dump_limit"), py::arg("writes_anywhere"));
    m.def("analyze_file", &analyze_file_py, py::arg("path"), py::arg("var"), py::arg("level"), py::arg("min_cells"),
          py::arg("time"), py::arg("max_voxels"), py::arg("echo_tops") = kDefaultEchoTopLevels,
          py::arg("split_levels") = std::vector<double>{}, py::arg("min_core") = kDefaultMinCore,
          py::arg("polar") = py::dict(), py::arg("hail") = py::dict(), py::arg("min_volume") = kDefaultMinVolumeKm3);
    m.def("analyze_array", &analyze_array_py, py::arg("values"), py::arg("x"), py::arg("y"), py::arg("z"),
          py::arg("xy_units"), py::arg("z_units"), py::arg("var"), py::arg("units"), py::arg("level"),
          py::arg("min_cells"), py::arg("max_voxels"), py::arg("echo_tops") = kDefaultEchoTopLevels,
          py::arg("split_levels") = std::vector<double>{}, py::arg("min_core") = kDefaultMinCore,
          py::arg("hail") = py::dict(), py::arg("min_volume") = kDefaultMinVolumeKm3);
    m.def("write_files", &write_files_py, py::arg("path"), py::arg("var"), py::arg("level"), py::arg("min_cells"),
          py::arg("time"), py::arg("folder"), py::arg("picture"), py::arg("max_voxels"),
          py::arg("echo_tops") = kDefaultEchoTopLevels, py::arg("split_levels") = std::vector<double>{},
          py::arg("min_core") = kDefaultMinCore, py::arg("polar") = py::dict(), py::arg("volume_as") = std::string(),
          py::arg("hail") = py::dict(), py::arg("min_volume") = kDefaultMinVolumeKm3);
    m.def("grid", &grid_py, py::arg("paths"), py::arg("polar") = py::dict(), py::arg("out") = std::string());
    m.def("mosaic", &mosaic_py, py::arg("paths"), py::arg("polar") = py::dict(), py::arg("out") = std::string());
    m.def("read_polar", &read_polar_py, py::arg("path"), py::arg("field") = std::string(),
          py::arg("site") = py::none(), py::arg("dealias") = false, py::arg("storm_motion") = py::none());
    m.def("hail_levels", &hail_levels_py, py::arg("freezing_level") = py::none(), py::arg("minus20_level") = py::none(),
          py::arg("sounding") = std::string());
    m.def("is_polar", [](const std::string& path) { return polar::is_polar(path); }, py::arg("path"));
    m.def("write_volume", &write_volume_py, py::arg("path"), py::arg("values"), py::arg("x"), py::arg("y"), py::arg("z"),
          py::arg("xy_units"), py::arg("z_units"), py::arg("var"), py::arg("units"), py::arg("origin") = py::none());
    m.def("geographic", &geographic_py, py::arg("lat0"), py::arg("lon0"), py::arg("x_km"), py::arg("y_km"),
          "Latitudes and longitudes of points km east and north of the origin (azimuthal equidistant, WGS 84)");
    m.def("network_series", &network_series_py, py::arg("paths"), py::arg("polar") = py::dict(),
          "The time steps of several radars' volumes, and their grid; None for one radar's");
    m.def("order_series", &order_series_py, py::arg("names"), py::arg("times"), py::arg("problems"), py::arg("interval"),
          "The volumes' indices in time order, their times and whether they are their own");
    m.def("track", &track_py, py::arg("frames"), py::arg("max_speed"), py::arg("max_gap"),
          "The tracker on analyzed volumes in time order");
    m.def("map_file", [] { return velmora::shipped_map_file(); }, "The map velmora ships (map.bin), or '' without it");
    m.def("outstanding_arrays", &outstanding_arrays, "Host arrays handed to modules and not yet taken back");
    add_result_folders(m);
    py::class_<PyWatcher>(m, "Watcher", "velmora watch on a folder (use velmora.watch)")
        .def(py::init<const py::dict&>(), py::arg("options"))
        .def("step", &PyWatcher::step)
        .def("has_ready", &PyWatcher::has_ready)
        .def("settling", &PyWatcher::settling)
        .def("wait_seconds", &PyWatcher::wait_seconds)
        .def("fd", &PyWatcher::fd)
        .def("volumes", &PyWatcher::volumes)
        .def("close", &PyWatcher::close);
    m.def("verify_folder", &verify_folder_py, py::arg("folder"), py::arg("leads"), py::arg("max_speed"),
          py::arg("interval"), "The verification of a track or watch folder's forecasts");
    m.def("storm_relative", &storm_relative_py, py::arg("folder"), py::arg("volume"),
          "The storm-relative velocity of a track or watch folder's volume; None without velocity or motion");
    m.def("rotation_tracks", &rotation_tracks_py, py::arg("folder"),
          "The rotation tracks of a track or watch folder (rotation_tracks.nc); None without one");
    m.def("options", &options_table, "Every command's options: name, type, default, bounds, units, help");
    m.def("option_problem",
          [](const std::string& command, const std::string& name, const std::string& text) {
              return options::problem(options::option(command, name), text);
          },
          py::arg("command"), py::arg("name"), py::arg("text"),
          "Why text is not a value of the option ('' when it is one), in the program's words");
    m.attr("max_volume_nodes") = max_volume_nodes;
    m.attr("only_time") = kOnlyTime;
    m.attr("default_min_volume") = kDefaultMinVolumeKm3;
    m.attr("default_dump_limit") = kDefaultDumpLimit;
}
