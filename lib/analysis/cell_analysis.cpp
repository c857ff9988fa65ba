#include "analysis/cell_analysis.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>

#include "field_ref.h"
#include "host.h"
#include "run/json_write.h"
#include "run/network.h"
#include "om.h"
#include "run/operations.h"

namespace velmora {

namespace fs = std::filesystem;

TempFile::TempFile() {
    std::string tmpl = (fs::temp_directory_path() / "velmora-XXXXXX").string();
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) throw std::runtime_error("can not create a temporary file in " + fs::temp_directory_path().string());
    ::close(fd);
    path_ = tmpl;
}

TempFile::~TempFile() {
    std::error_code ec;
    fs::remove(path_, ec);
}

std::string TempFile::text() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

StdoutTo::StdoutTo(const std::string& path) {
    std::fflush(stdout);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0) ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

StdoutTo::~StdoutTo() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
}

void fill_volume_values(vhost::Object& field, Volume& axes, std::span<const float> values) {
    const std::span<float> dst = make_volume_field(field, axes);
    if (dst.size() != values.size())
        throw std::invalid_argument("the volume holds " + std::to_string(values.size()) + " values for " +
                                    std::to_string(dst.size()) + " grid nodes");
    for (std::size_t i = 0; i < dst.size(); ++i) {
        const float x = values[i];
        if (std::isfinite(x)) {
            dst[i] = x;
        } else {
            dst[i] = axes.null_value;
            axes.has_null = true;
        }
    }
    set_volume_null(field, axes);
}

float highest_value(vhost::Object& radar, const Volume& v) {
    float highest = -std::numeric_limits<float>::infinity();
    for (float x : vhost::FieldRef(radar).float_view(0))
        if (!(v.has_null && x == v.null_value) && x > highest) highest = x;
    return highest;
}

bool kept_nothing(const char* division) {
    vhost::Object& d = vhost::host().root().at(division);
    return d.at("done").int_value() == 1 && d.at("no_max").int_value() < 1;
}

std::vector<std::string> statistic_columns(const std::vector<std::string>& labels) {
    std::vector<std::string> out{"AreaNo", "NumPoints", "CenterX", "CenterY", "CenterZ"};
    for (const std::string& l : labels)
        for (const char* c : {"_CenterX", "_CenterY", "_CenterZ"}) out.push_back(l + c);
    for (const std::string& l : labels)
        for (const char* c : {"_Min", "_Max", "_Ave", "_SD"}) out.push_back(l + c);
    return out;
}

CallSettings analysis_call_settings(bool writers, bool timings) {
    // The instances reading the areas of a division that kept none are not
    // called.
    static const std::map<std::string, const char*> reads_areas_of = {
        {"surfstat", "divsurf"}, {"surfcsv", "divsurf"}, {"gridarea", "divvol"}, {"ijk", "divvol"},
        {"cellvox", "divvol"},   {"cellstat", "divvol"}, {"csv", "divvol"},      {"centres", "divvol"}};
    CallSettings settings;
    settings.timings = timings;
    settings.skip = [writers](const PlannedInstance& inst) {
        if (!writers && (inst.name == "surfcsv" || inst.name == "ijk" || inst.name == "csv")) return true;
        const auto it = reads_areas_of.find(inst.name);
        return it != reads_areas_of.end() && kept_nothing(it->second);
    };
    return settings;
}

namespace {

// Heights of the legend: from 0 to the top of the grid rounded up to a
// step of 1, 2, 5 or 10 km, so that the ticks fall on round heights.
struct LegendScale {
    double max = 1.0;
    int ndiv = 1;
};
LegendScale legend_scale(const Volume& v) {
    const double top = v.z.empty() ? 1.0 : std::max(1.0, static_cast<double>(v.z.back()));
    for (double step : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0}) {
        const double ndiv = std::ceil(top / step);
        if (ndiv <= 8) return {ndiv * step, static_cast<int>(ndiv)};
    }
    return {std::ceil(top), 1};
}

double spacing(const std::vector<float>& axis) {
    return axis.size() >= 2 ? std::fabs(static_cast<double>(axis[1]) - axis[0]) : 1.0;
}

}  // namespace

Json analysis_network(const AnalysisSettings& s, long time, const std::string& volume_path, const std::string& out_dir,
                      const Volume& v) {
    const auto out = [&](const char* name) { return (fs::path(out_dir) / name).string(); };
    const LegendScale scale = legend_scale(v);
    const double dx = spacing(v.x);

    char level[32];
    std::snprintf(level, sizeof level, "%g", s.level);
    Json net;
    net["description"] = "Storm cells of " + v.name + " at " + level + " " +
                         (v.units.empty() ? std::string("dBZ") : v.units) + ", written by velmora analyze";
    // The variable as the volume names it: a polar volume's grid keeps its field's name.
    net["fields"]["radar"] = {{"file", volume_path}, {"var", v.name.empty() ? s.var : v.name}};
    if (time != kOnlyTime) net["fields"]["radar"]["time"] = time;
    Json& in = net["instances"];
    in["surface"] = {{"module", "Isosurface"}, {"params", {{"level", s.level}, {"comp", 0}}}, {"links", {{"in", "radar"}}}};
    in["divsurf"] = {{"module", "DivIsosurf"}, {"params", {{"min_cells", s.min_cells}}}, {"links", {{"in", "surface.out"}}}};
    in["surfstat"] = {{"module", "CalcStatistic"},
                      {"links",
                       {{"in", "surface.out"}, {"area", "divsurf.out_nd"}, {"no_min", "divsurf.no_min"}, {"no_max", "divsurf.no_max"}}}};
    in["surfcsv"] = {{"module", "WriteStatistic"},
                     {"params", {{"filename", out("surface_cells.csv")}}},
                     {"links", {{"nsurf", "surfstat.nsurf"}, {"sparam", "surfstat.sparam"}}}};
    in["volume"] = {{"module", "Isovolume"}, {"params", {{"level", s.level}, {"comp", 0}}}, {"links", {{"in", "radar"}}}};
    in["divvol"] = {{"module", "DivIsovolume"}, {"params", {{"min_cells", s.min_cells}}}, {"links", {{"in", "volume.out"}}}};
    in["gridarea"] = {{"module", "GridArea"}, {"links", {{"in", "radar"}, {"iso", "volume.out"}, {"area", "divvol.out_nd"}}}};
    in["ijk"] = {{"module", "WriteIsoIJK"},
                 {"params", {{"filename", out("cells_ijk.txt")}}},
                 {"links", {{"in", "gridarea.out"}, {"no_min", "divvol.no_min"}, {"no_max", "divvol.no_max"}}}};
    in["cellvox"] = {{"module", "CellVoxels"}, {"links", {{"in", "radar"}, {"area", "gridarea.out"}}}};
    in["cellstat"] = {{"module", "CalcStatistic"},
                      {"links",
                       {{"in", "cellvox.out"}, {"area", "cellvox.out_area"}, {"no_min", "divvol.no_min"}, {"no_max", "divvol.no_max"}}}};
    in["csv"] = {{"module", "WriteStatistic"},
                 {"params", {{"filename", out("cells.csv")}}},
                 {"links", {{"nsurf", "cellstat.nsurf"}, {"sparam", "cellstat.sparam"}}}};
    in["centres"] = {{"module", "DispCenter"}, {"links", {{"nsurf", "cellstat.nsurf"}, {"sparam", "cellstat.sparam"}}}};
    // The legend stands on the grid's first column, which is all it reads.
    in["column"] = {{"module", "GridColumn"}, {"params", {{"indexi", 0}, {"indexj", 0}}}, {"links", {{"in", "radar"}}}};
    in["axis"] = {{"module", "Legend3DAxis"},
                  {"params", {{"indexi", 0}, {"indexj", 0}, {"min", 0.0}, {"max", scale.max}}},
                  {"links", {{"in", "column.out"}}}};
    in["ticks"] = {{"module", "Legend3DTick"},
                   {"params",
                    {{"indexi", 0}, {"indexj", 0}, {"min", 0.0}, {"max", scale.max}, {"ndiv", scale.ndiv},
                     {"ticklen", 2 * dx}, {"format", "%.0f km"}, {"tickloffx", -6 * dx}}},
                   {"links", {{"in", "column.out"}}}};
    return net;
}

std::vector<CellMeasures> cell_measures() {
    vhost::Object& stat = vhost::host().root().at("cellstat");
    std::vector<CellMeasures> cells;
    const std::int64_t n = stat.at("nsurf").int_value();
    const auto first = [](vhost::Object& array) {
        const auto v = vhost::floats_of(array);
        return v.empty() ? 0.0f : v[0];
    };
    for (std::int64_t i = 0; i < n; ++i) {
        vhost::Object& e = stat.at("sparam[" + std::to_string(i) + "]");
        CellMeasures c;
        c.no = static_cast<int>(e.at("no").int_value());
        c.voxels = static_cast<int>(e.at("npoints").int_value());
        if (c.voxels <= 0) continue;
        c.top_km = static_cast<float>(e.at("maxz").real_value());
        c.min = first(e.at("data_min"));
        c.max = first(e.at("data_max"));
        c.mean = first(e.at("data_ave"));
        c.sd = first(e.at("sv"));
        vhost::Object& aav = e.at("aav");
        c.x = static_cast<float>(aav.at("x").real_value());
        c.y = static_cast<float>(aav.at("y").real_value());
        c.z = static_cast<float>(aav.at("z").real_value());
        if (e.at("ncomp").int_value() > 0) {
            vhost::Object& wav = e.at("wav[0]");
            c.wx = static_cast<float>(wav.at("x").real_value());
            c.wy = static_cast<float>(wav.at("y").real_value());
            c.wz = static_cast<float>(wav.at("z").real_value());
        }
        cells.push_back(c);
    }
    return cells;
}

namespace {

// The cell numbers of the run's grid (gridarea.out), in place.
std::span<std::int32_t> run_cell_numbers() {
    vhost::FieldRef areas(vhost::host().root().at("gridarea").at("out"));
    if (areas.ncomp() < 1) return {};
    vhost::Object& values = areas.component(areas.ncomp() - 1).at("values");
    values.fit();
    if (!values.typed() || values.elem_type() != DTYPE_INT) return {};
    return {values.as<std::int32_t>(), static_cast<std::size_t>(values.length())};
}

std::string levels_text(const std::vector<double>& levels) {
    std::string t;
    for (double l : levels) {
        char text[32];
        std::snprintf(text, sizeof text, "%s%g", t.empty() ? "" : ", ", l);
        t += text;
    }
    return t;
}

}  // namespace

std::string split_levels_problem(double level, const SplitSettings& s) {
    for (std::size_t i = 0; i < s.levels.size(); ++i) {
        const double l = s.levels[i];
        if (!std::isfinite(l)) return "the split levels must be finite reflectivities in dBZ";
        char text[64];
        std::snprintf(text, sizeof text, "%g dBZ", i == 0 ? level : s.levels[i - 1]);
        if (i == 0 && !(l > level)) return std::string("the split levels must lie above the level of the cells, ") + text;
        if (i > 0 && !(l > s.levels[i - 1])) return std::string("the split levels must rise, each above the one before");
    }
    if (s.min_core < 1) return "a core must have at least 1 voxel";
    return "";
}

void add_split(CallSettings& settings, vhost::Object& radar, const Volume& v, const SplitSettings& s, RunSplit& out,
               std::FILE* timings_to) {
    if (s.levels.empty()) return;
    // A division that failed leaves the numbers unusable: nothing after it runs.
    settings.skip = [skip = std::move(settings.skip), &out](const PlannedInstance& inst) {
        return !out.failure.empty() || (skip && skip(inst));
    };
    settings.after = [after = std::move(settings.after), &radar, &v, s, &out, timings_to](const PlannedInstance& inst) {
        if (after) after(inst);
        if (inst.name != "gridarea") return;
        auto since = std::chrono::steady_clock::now();
        try {
            vhost::Object& no_max = vhost::host().root().at("divvol").at("no_max");
            const SplitGrid g{static_cast<std::int64_t>(v.x.size()), static_cast<std::int64_t>(v.y.size()),
                              static_cast<std::int64_t>(v.z.size()), v.has_null, v.null_value};
            out.parent = split_cells(run_cell_numbers(), vhost::FieldRef(radar).float_view(0), g,
                                     static_cast<std::int32_t>(no_max.int_value()), s);
            no_max.set_int(static_cast<std::int64_t>(out.parent.size()) - 1);
        } catch (const std::bad_alloc&) {
            out.failure = "out of memory dividing the cells";
        } catch (const std::exception& e) {
            out.failure = std::string("can not divide the cells: ") + e.what();
        }
        if (timings_to) print_timing(timings_to, "split cells (" + levels_text(s.levels) + " dBZ)", since);
    };
}

void add_min_volume(CallSettings& settings, const Volume& v, double min_km3, CellSieve& out) {
    // A filter that failed leaves the numbers unusable: nothing after it runs.
    settings.skip = [skip = std::move(settings.skip), &out](const PlannedInstance& inst) {
        return !out.failure.empty() || (skip && skip(inst));
    };
    settings.after = [after = std::move(settings.after), &v, min_km3, &out](const PlannedInstance& inst) {
        if (after) after(inst);
        if (inst.name != "gridarea") return;
        try {
            vhost::Object& no_max = vhost::host().root().at("divvol").at("no_max");
            out = sieve_cells(run_cell_numbers(), v, static_cast<std::int32_t>(no_max.int_value()), min_km3);
            // Every instance after this one numbers the kept cells alone;
            // none kept is a division that kept nothing.
            no_max.set_int(out.kept());
        } catch (const std::bad_alloc&) {
            out.failure = "out of memory measuring the volume of the cells";
        } catch (const std::exception& e) {
            out.failure = std::string("can not measure the volume of the cells: ") + e.what();
        }
    };
}

PropertyTable properties_of_run(vhost::Object& radar, const Volume& v, std::span<const double> echo_levels,
                                std::span<const std::int32_t> parent, const std::optional<HailLevels>& hail,
                                const VelocityDerivatives* velocity) {
    const std::span<const std::int32_t> labels = run_cell_numbers();
    PropertyTable t = measure_cells(v, labels, vhost::FieldRef(radar).float_view(0), echo_levels, parent, hail);
    if (velocity) add_rotation(t, v, labels, *velocity);
    return t;
}

std::vector<std::int32_t> cells_of_surface(const Volume& v, std::span<const float> values,
                                           std::span<const std::int32_t> grid_no, std::span<const float> xyz,
                                           double level) {
    const std::int64_t nx = static_cast<std::int64_t>(v.x.size()), ny = static_cast<std::int64_t>(v.y.size()),
                       nz = static_cast<std::int64_t>(v.z.size());
    std::vector<std::int32_t> out(xyz.size() / 3, 0);
    if (nx < 2 || ny < 2 || nz < 2 || static_cast<std::int64_t>(grid_no.size()) != nx * ny * nz ||
        values.size() != grid_no.size())
        return out;
    // The lower index of the grid interval holding c, clamped into the grid.
    auto lower = [](const std::vector<float>& axis, float c) {
        const auto it = std::upper_bound(axis.begin(), axis.end(), c);
        const std::int64_t i = static_cast<std::int64_t>(it - axis.begin()) - 1;
        return std::clamp<std::int64_t>(i, 0, static_cast<std::int64_t>(axis.size()) - 2);
    };
    for (std::size_t p = 0; p < out.size(); ++p) {
        const std::int64_t i = lower(v.x, xyz[3 * p]), j = lower(v.y, xyz[3 * p + 1]), k = lower(v.z, xyz[3 * p + 2]);
        float best = 0.0f;
        for (int c = 0; c < 8; ++c) {
            const std::int64_t n = (i + (c & 1)) + nx * ((j + (c >> 1 & 1)) + ny * (k + (c >> 2)));
            const float value = values[static_cast<std::size_t>(n)];
            const bool inside = !(v.has_null && value == v.null_value) && value >= level;
            if (inside && grid_no[static_cast<std::size_t>(n)] > 0 && (out[p] == 0 || value > best)) {
                out[p] = grid_no[static_cast<std::size_t>(n)];
                best = value;
            }
        }
    }
    return out;
}

namespace {

// Empties the host's tree on every way out: nothing of a run stays behind.
struct HostReset {
    ~HostReset() { vhost::host().reset(); }
};

}  // namespace

std::vector<float> column_maximum(vhost::Object& radar, const Volume& v) {
    const std::size_t nxy = v.x.size() * v.y.size();
    std::vector<float> out(nxy, std::numeric_limits<float>::quiet_NaN());
    const auto values = vhost::FieldRef(radar).float_view(0);
    // Level by level: each level is one pass along the columns.
    for (std::size_t base = 0; nxy > 0 && base + nxy <= values.size(); base += nxy)
        for (std::size_t c = 0; c < nxy; ++c) {
            const float x = values[base + c];
            float& m = out[c];
            if (!(v.has_null && x == v.null_value) && std::isfinite(x) && !(m >= x)) m = x;
        }
    return out;
}

std::vector<std::int32_t> column_cells(std::span<const std::int32_t> grid_no, std::size_t columns) {
    std::vector<std::int32_t> out(columns, 0);
    if (columns == 0) return out;
    for (std::size_t base = 0; base + columns <= grid_no.size(); base += columns)
        for (std::size_t c = 0; c < columns; ++c) out[c] = std::max(out[c], grid_no[base + c]);
    return out;
}

namespace {

// The network run on the volume in the field "radar"; the results read back.

AnalysisResult run_on_tree(vhost::Object& radar, const Volume& v, const AnalysisSettings& s,
                           const std::string& volume_path) {
    AnalysisResult r;
    r.properties.echo_levels = s.echo_tops;   // the table's columns, with cells or none
    r.column_max = column_maximum(radar, v);
    r.properties.hail = s.hail.has_value();
    if (s.hail) r.mesh = mesh_field(v, vhost::FieldRef(radar).float_view(0), *s.hail);
    r.highest = highest_value(radar, v);
    if (!(r.highest >= s.level)) {
        r.outcome = AnalysisResult::Outcome::NoEcho;
        return r;
    }
    // The writers are not called: their folder is never used.
    Json net = analysis_network(s, kOnlyTime, volume_path, fs::temp_directory_path().string(), v);
    net.erase("fields");
    const Plan plan = build_network(Document::parse("analysis", json_dump(net)));

    TempFile printed, reported;
    int status = run_ok;
    CallSettings settings = analysis_call_settings(false, false);
    RunSplit split;
    add_min_volume(settings, v, s.min_volume_km3, r.sieve);
    add_split(settings, radar, v, s.split, split, nullptr);
    {
        std::FILE* err = std::fopen(reported.path().c_str(), "w");
        if (!err) throw std::runtime_error("can not open " + reported.path());
        const StdoutTo out(printed.path());
        RunRecord record{"analysis", {}};
        try {
            status = call_instances(plan, settings, record, err);
        } catch (...) {
            std::fclose(err);
            throw;
        }
        std::fclose(err);
    }
    r.printed = lines_of(printed.text());
    if (!r.sieve.failure.empty()) throw AnalysisError(r.sieve.failure, {r.sieve.failure});
    if (!split.failure.empty()) throw AnalysisError(split.failure, {split.failure});
    if (status != run_ok || !vhost::host().reports().empty()) {
        std::vector<std::string> messages;
        for (const auto& rep : vhost::host().reports()) {
            std::string t = rep.text;
            while (!t.empty() && t.back() == '\n') t.pop_back();
            messages.push_back(t);
        }
        const auto notes = lines_of(reported.text());
        const std::string what = !messages.empty() ? messages.front() : !notes.empty() ? notes.front() : "the analysis failed";
        if (messages.empty()) messages = notes;
        throw AnalysisError(what, messages);
    }
    if (kept_nothing("divvol")) {
        r.outcome = AnalysisResult::Outcome::NothingKept;
        return r;
    }
    vhost::Object& root = vhost::host().root();
    r.cells = cell_measures();
    vhost::FieldRef grid_areas(root.at("gridarea").at("out"));
    r.labels = grid_areas.int_values(grid_areas.ncomp() - 1);
    r.properties = measure_cells(v, r.labels, vhost::FieldRef(radar).float_view(0), s.echo_tops, split.parent, s.hail);
    vhost::FieldRef surface(root.at("surface").at("out"));
    r.surface.points = surface.coord();
    if (surface.ncell_sets() > 0) r.surface.triangles = surface.connect(0);
    vhost::FieldRef surf_areas(root.at("divsurf").at("out_nd"));
    if (surf_areas.ncomp() > 0) r.surface.area_no = surf_areas.int_values(0);
    r.surface.area_no.resize(static_cast<std::size_t>(surface.nnodes()), 0);
    r.surface.cell = cells_of_surface(v, vhost::FieldRef(radar).float_view(0), grid_areas.int_view(grid_areas.ncomp() - 1),
                                      r.surface.points, s.level);
    return r;
}

// The field the volume goes into, on a host emptied for one analysis with
// its operations registered.
vhost::Object& radar_on_empty_host() {
    vhost::host().reset();
    register_operations();
    return vhost::host().root().add_field("radar");
}

void check_settings(const AnalysisSettings& s) {
    if (std::string problem = options::problem(options::option("analyze", "level"), s.level); !problem.empty())
        throw std::invalid_argument("level: " + problem);
    if (std::string problem = echo_levels_problem(s.echo_tops); !problem.empty()) throw std::invalid_argument(problem);
    if (std::string problem = split_levels_problem(s.level, s.split); !problem.empty())
        throw std::invalid_argument(problem);
    if (std::string problem = min_volume_problem(s.min_volume_km3); !problem.empty())
        throw std::invalid_argument(problem);
}

}  // namespace

AnalysisResult analyze_values(Volume axes, std::span<const float> values, const AnalysisSettings& s) {
    check_settings(s);
    const HostReset reset;
    vhost::Object& radar = radar_on_empty_host();
    if (axes.name.empty()) axes.name = s.var;
    // The operations of the analysis take NaN for missing data wherever they
    // meet it, so values that hold no infinity are read where they lie; an
    // infinity is missing data too, and only a copy can say so.
    bool nan = false, infinite = false;
    for (const float x : values) {
        nan |= std::isnan(x);
        infinite |= std::isinf(x);
    }
    if (infinite) {
        fill_volume_values(radar, axes, values);
    } else {
        axes.has_null = axes.has_null || nan;
        lend_volume_field(radar, axes, values);
    }
    return run_on_tree(radar, axes, s, "");
}

AnalysisResult analyze_file(const std::string& path, long time, std::int64_t max_voxels, AnalysisSettings s,
                            Volume* axes_out, const polar::PolarInput& polar) {
    check_settings(s);
    if (polar::is_polar(path)) {
        polar::PolarInput in = polar;
        in.grid.max_nodes = std::min(in.grid.max_nodes, max_voxels);
        Volume axes = polar::grid_files(std::span(&path, 1), in);
        auto values = std::move(axes.values);
        // The grid marks points no gate reaches with its null value; the
        // analysis of values takes NaN.
        for (float& value : values)
            if (value == axes.null_value) value = std::numeric_limits<float>::quiet_NaN();
        axes.has_null = false;
        if (axes_out) *axes_out = axes;
        return analyze_values(std::move(axes), std::span<const float>(values.data(), values.size()), s);
    }
    const HostReset reset;
    vhost::Object& radar = radar_on_empty_host();
    const std::string full = fs::absolute(path).lexically_normal().string();
    Volume v = read_volume(
        full, s.var, [&radar](const Volume& axes) { return make_volume_field(radar, axes); }, time, max_voxels);
    set_volume_null(radar, v);
    if (axes_out) *axes_out = v;
    return run_on_tree(radar, v, s, full);
}

}  // namespace velmora
