// CF/Radial 1.x polar volumes: all rays of all sweeps along the time
// dimension, each sweep a run of rays given by its start and end ray index,
// fields (time, range) on gates shared by every ray.
#include <netcdf.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <numeric>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "io/cf_missing.h"
#include "io/cf_time.h"
#include "io/classic_header.h"
#include "io/file_handles.h"
#include "io/geo.h"
#include "io/input_file.h"
#include "polar/polar.h"

namespace velmora::polar {
namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) { throw std::runtime_error(path + ": " + what); }

void check(int status, const std::string& path, const std::string& doing) {
    if (status != NC_NOERR) fail(path, doing + ": " + nc_strerror(status));
}

constexpr std::size_t kMaxText = 1 << 16;
constexpr std::size_t kMaxGates = 100000;

// A text attribute (characters or a single NetCDF-4 string), or none.
std::optional<std::string> text_att(int nc, int var, const char* name) {
    std::size_t len = 0;
    nc_type type;
    if (nc_inq_att(nc, var, name, &type, &len) != NC_NOERR) return std::nullopt;
    if (type == NC_STRING) {
        if (len != 1) return std::nullopt;
        char* text = nullptr;
        if (nc_get_att_string(nc, var, name, &text) != NC_NOERR) return std::nullopt;
        std::string s = text ? text : "";
        nc_free_string(1, &text);
        return s;
    }
    if (type != NC_CHAR || len > kMaxText) return std::nullopt;
    std::string s(len, '\0');
    if (nc_get_att_text(nc, var, name, s.data()) != NC_NOERR) return std::nullopt;
    s.resize(std::strlen(s.c_str()));
    return s;
}

// A numeric attribute of one value, or none.
std::optional<double> number_att(int nc, int var, const char* name) {
    std::size_t len = 0;
    nc_type type;
    if (nc_inq_att(nc, var, name, &type, &len) != NC_NOERR || len != 1 || type == NC_CHAR || type == NC_STRING) return std::nullopt;
    double v;
    if (nc_get_att_double(nc, var, name, &v) != NC_NOERR) return std::nullopt;
    return v;
}

bool is_number(nc_type t) { return t >= NC_BYTE && t <= NC_UINT64 && t != NC_CHAR; }

class Reader {
public:
    Reader(const std::string& path, int nc) : path_(path), nc_(nc) {}

    int dim(const char* name) const {
        int id;
        check(nc_inq_dimid(nc_, name, &id), path_, std::string("no dimension ") + name);
        return id;
    }
    std::size_t dim_len(int id) const {
        std::size_t len;
        check(nc_inq_dimlen(nc_, id, &len), path_, "reading a dimension");
        return len;
    }

    std::optional<int> find_var(const char* name) const {
        int id;
        if (nc_inq_varid(nc_, name, &id) != NC_NOERR) return std::nullopt;
        return id;
    }

    // A numeric variable over exactly the dimensions dims, read as doubles.
    std::vector<double> vector(const char* name, std::initializer_list<int> dims, std::size_t count) const {
        const auto id = find_var(name);
        if (!id) fail(path_, std::string("no variable ") + name);
        expect_dims(name, *id, dims);
        std::vector<double> v(count);
        if (count > 0) check(nc_get_var_double(nc_, *id, v.data()), path_, std::string("reading ") + name);
        return v;
    }

    std::vector<int> indices(const char* name, int sweep_dim, std::size_t nsweep) const {
        const auto id = find_var(name);
        if (!id) fail(path_, std::string("no variable ") + name);
        expect_dims(name, *id, {sweep_dim});
        std::vector<long long> v(nsweep);
        check(nc_get_var_longlong(nc_, *id, v.data()), path_, std::string("reading ") + name);
        std::vector<int> out;
        for (long long i : v) out.push_back(static_cast<int>(std::clamp<long long>(i, -1, 1LL << 30)));
        return out;
    }

    // The first value of a scalar, or of a variable along time (a moving
    // platform), or none when the file lacks it.
    std::optional<double> first_value(const char* name) const {
        const auto id = find_var(name);
        if (!id) return std::nullopt;
        int ndims = 0;
        nc_type type;
        check(nc_inq_var(nc_, *id, nullptr, &type, &ndims, nullptr, nullptr), path_, std::string("reading ") + name);
        if (!is_number(type) || ndims > 1) fail(path_, std::string(name) + " is not a number or a series of numbers");
        if (ndims == 1) {
            int d;
            check(nc_inq_vardimid(nc_, *id, &d), path_, std::string("reading ") + name);
            if (dim_len(d) == 0) return std::nullopt;
        }
        const std::size_t index[1] = {0};
        double v;
        check(nc_get_var1_double(nc_, *id, index, &v), path_, std::string("reading ") + name);
        if (!std::isfinite(v)) return std::nullopt;
        return v;
    }

    void expect_dims(const std::string& name, int id, std::initializer_list<int> dims) const {
        int ndims = 0;
        nc_type type;
        check(nc_inq_var(nc_, id, nullptr, &type, &ndims, nullptr, nullptr), path_, "reading " + name);
        if (!is_number(type)) fail(path_, name + " does not hold numbers");
        int have[NC_MAX_VAR_DIMS];
        if (ndims != static_cast<int>(dims.size()) || ndims > NC_MAX_VAR_DIMS) fail(path_, name + " has " + std::to_string(ndims) + " dimensions, not " + std::to_string(dims.size()));
        check(nc_inq_vardimid(nc_, id, have), path_, "reading " + name);
        if (!std::equal(dims.begin(), dims.end(), have)) fail(path_, name + " is not along the expected dimensions");
    }

    // Variables along (time, range): the fields.
    std::vector<std::string> fields(int time, int range) const {
        int nvars = 0;
        check(nc_inq_nvars(nc_, &nvars), path_, "listing variables");
        std::vector<std::string> out;
        for (int v = 0; v < nvars; ++v) {
            char name[NC_MAX_NAME + 1] = {};
            int ndims = 0, dims[NC_MAX_VAR_DIMS];
            nc_type type;
            if (nc_inq_var(nc_, v, name, &type, &ndims, nullptr, nullptr) != NC_NOERR || ndims != 2 || !is_number(type)) continue;
            if (nc_inq_vardimid(nc_, v, dims) == NC_NOERR && dims[0] == time && dims[1] == range) out.emplace_back(name);
        }
        return out;
    }

    // The start of the volume: the string variable or attribute
    // time_coverage_start, in ISO 8601.
    std::optional<double> coverage_start() const {
        std::optional<std::string> text = text_att(nc_, NC_GLOBAL, "time_coverage_start");
        if (const auto id = find_var("time_coverage_start")) {
            nc_type type;
            int ndims = 0;
            int d;
            std::size_t len = 0;
            if (nc_inq_var(nc_, *id, nullptr, &type, &ndims, nullptr, nullptr) == NC_NOERR && type == NC_CHAR && ndims == 1 &&
                nc_inq_vardimid(nc_, *id, &d) == NC_NOERR && nc_inq_dimlen(nc_, d, &len) == NC_NOERR && len > 0 && len <= kMaxText) {
                std::string s(len, '\0');
                if (nc_get_var_text(nc_, *id, s.data()) == NC_NOERR) text = s.substr(0, std::strlen(s.c_str()));
            }
        }
        if (!text || text->empty()) return std::nullopt;
        return cf_seconds("seconds since " + *text, "", 0.0);
    }

private:
    const std::string& path_;
    int nc_;
};



// The field to read: the one named, else the one whose standard name says it
// is the reflectivity, else the first of the usual names.
std::string chosen_field(const Reader& r, int nc, int time_dim, int range_dim, const std::string& path,
                         const std::string& field) {
    const std::vector<std::string> fields = r.fields(time_dim, range_dim);
    std::string name = field;
    if (name.empty()) {
        for (const std::string& f : fields) {
            int id;
            nc_inq_varid(nc, f.c_str(), &id);
            if (text_att(nc, id, "standard_name") == "equivalent_reflectivity_factor") {
                name = f;
                break;
            }
        }
        for (const char* f : {"DBZH", "DBZ", "reflectivity", "REF"})
            if (name.empty() && std::find(fields.begin(), fields.end(), f) != fields.end()) name = f;
    }
    if (name.empty() || std::find(fields.begin(), fields.end(), name) == fields.end()) {
        std::string list;
        for (const std::string& f : fields) list += (list.empty() ? "" : ", ") + f;
        fail(path, (name.empty() ? std::string("no reflectivity field") : "no field " + name) +
                       (list.empty() ? " (the file holds no fields along time and range)" : " (the file holds " + list + ")"));
    }
    return name;
}

// Whether a field is a radial velocity: by its standard name, else its name.
bool is_velocity(int nc, int var, const std::string& name) {
    if (text_att(nc, var, "standard_name").value_or("").find("radial_velocity") != std::string::npos) return true;
    std::string n = name;
    for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return n.starts_with("vel") || n.starts_with("vrad") || n.find("velocity") != std::string::npos;
}

// The Nyquist velocity of each sweep: the median over its rays of the
// variable nyquist_velocity(time), m/s; none where the file has no such
// variable or no positive value for the sweep's rays.
void read_nyquist(const Reader& r, int time_dim, std::size_t ntime, std::vector<Sweep>& sweeps,
                  const std::vector<int>& first) {
    const auto id = r.find_var("nyquist_velocity");
    if (!id) return;
    std::vector<double> ray;
    try {
        ray = r.vector("nyquist_velocity", {time_dim}, ntime);
    } catch (const std::runtime_error&) {
        return;  // not along time: no Nyquist velocity to trust
    }
    for (std::size_t s = 0; s < sweeps.size(); ++s) {
        std::vector<double> v;
        const auto begin = static_cast<std::size_t>(first[s]);
        for (std::size_t i = begin; i < begin + sweeps[s].rays(); ++i)
            if (ray[i] > 0 && ray[i] < 1000) v.push_back(ray[i]);
        if (v.empty()) continue;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        sweeps[s].nyquist = v[v.size() / 2];
    }
}

// The spacing of the gates (centres in metres), which must be even.
double gate_spacing(int nc, const std::vector<double>& range, const std::string& path) {
    const std::size_t nrange = range.size();
    double spacing = 0.0;
    if (nrange > 1) {
        spacing = (range.back() - range.front()) / static_cast<double>(nrange - 1);
        if (!(spacing > 0) || !std::isfinite(spacing)) fail(path, "range gates do not increase");
        for (std::size_t i = 1; i < nrange; ++i)
            if (!(std::abs(range[i] - range[i - 1] - spacing) <= 1e-3 * spacing)) fail(path, "range gates not evenly spaced");
    } else {
        int id;
        nc_inq_varid(nc, "range", &id);
        spacing = number_att(nc, id, "meters_between_gates").value_or(0.0);
        if (!(spacing > 0)) fail(path, "one range gate and no meters_between_gates");
    }
    if (!std::isfinite(range.front())) fail(path, "range of the first gate is not finite");
    return spacing;
}

// The library's default fill of a variable's type, where gates never
// written hold it: for a variable without a _FillValue of its own that is
// filled.
std::optional<double> default_fill(int nc, int var, nc_type type) {
    int no_fill = 0;
    if (nc_inq_var_fill(nc, var, &no_fill, nullptr) != NC_NOERR || no_fill) return std::nullopt;
    switch (type) {
    case NC_BYTE: return NC_FILL_BYTE;
    case NC_UBYTE: return NC_FILL_UBYTE;
    case NC_SHORT: return NC_FILL_SHORT;
    case NC_USHORT: return NC_FILL_USHORT;
    case NC_INT: return NC_FILL_INT;
    case NC_UINT: return NC_FILL_UINT;
    case NC_FLOAT: return NC_FILL_FLOAT;
    case NC_DOUBLE: return NC_FILL_DOUBLE;
    default: return std::nullopt;
    }
}

// The field read ray by ray: missing values (cf_missing.h) are missing
// gates, the others unpacked.
class Field {
public:
    Field(int nc, int var, nc_type type, std::size_t gates, const std::string& path, const std::string& name)
        : nc_(nc), var_(var), gates_(gates), path_(path), name_(name),
          missing_(cf_missing(nc, var, default_fill(nc, var, type))),
          scale_(number_att(nc, var, "scale_factor").value_or(1.0)),
          offset_(number_att(nc, var, "add_offset").value_or(0.0)) {}

    // The gates of rays first to last, appended to out. Only the rays of a
    // sweep are read, a sweep at a time.
    void rays(std::size_t first, std::size_t last, std::vector<float>& out) {
        const std::size_t start[2] = {first, 0}, count[2] = {last - first + 1, gates_};
        raw_.resize(count[0] * gates_);
        check(nc_get_vara_double(nc_, var_, start, count, raw_.data()), path_, "reading " + name_);
        for (const double x : raw_) out.push_back(missing_.missing(x) ? kMissing : static_cast<float>(x * scale_ + offset_));
    }

private:
    int nc_, var_;
    std::size_t gates_;
    const std::string& path_;
    const std::string& name_;
    CfMissing missing_;
    double scale_, offset_;
    std::vector<double> raw_;
};

// Every sweep's rays within the file's and apart from every other sweep's
// (sweeps naming the same rays would hold them as many times over), every
// ray at finite angles.
void check_rays(const std::vector<int>& first, const std::vector<int>& last, const std::vector<double>& azimuth,
                const std::vector<double>& elevation, const std::string& path) {
    const std::size_t ntime = azimuth.size();
    for (std::size_t s = 0; s < first.size(); ++s)
        if (first[s] < 0 || last[s] < first[s] || static_cast<std::size_t>(last[s]) >= ntime)
            fail(path, "sweep " + std::to_string(s) + ": rays " + std::to_string(first[s]) + " to " + std::to_string(last[s]) +
                           " are not within the " + std::to_string(ntime) + " rays");
    std::vector<std::size_t> order(first.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return first[a] < first[b]; });
    for (std::size_t k = 1; k < order.size(); ++k) {
        const std::size_t a = std::min(order[k - 1], order[k]), b = std::max(order[k - 1], order[k]);
        const int shared = std::max(first[a], first[b]), shared_last = std::min(last[a], last[b]);
        if (shared <= shared_last)
            fail(path, "sweeps " + std::to_string(a) + " and " + std::to_string(b) + " share rays " + std::to_string(shared) +
                           " to " + std::to_string(shared_last) + ": each ray belongs to one sweep");
    }
    for (std::size_t i = 0; i < ntime; ++i)
        if (!std::isfinite(azimuth[i]) || !std::isfinite(elevation[i]))
            fail(path, "ray " + std::to_string(i) + ": azimuth or elevation is not finite");
}

}  // namespace

namespace {

// The variable of the field, whose gates must fit what the file can hold (a
// deflated NetCDF-4 variable at most kMaxDeflateRatio times the file).
int field_variable(int nc, const std::string& path, const std::string& name, std::size_t ntime, std::size_t nrange,
                   nc_type& type) {
    int var;
    check(nc_inq_varid(nc, name.c_str(), &var), path, "reading " + name);
    check(nc_inq_vartype(nc, var, &type), path, "reading " + name);
    std::size_t type_size = 1;
    check(nc_inq_type(nc, type, nullptr, &type_size), path, "reading " + name);
    std::error_code ec;
    const auto file_size = std::filesystem::file_size(path, ec);
    const double gates = static_cast<double>(ntime) * static_cast<double>(nrange);
    if (ec || gates * static_cast<double>(type_size) > static_cast<double>(file_size) * kMaxDeflateRatio)
        fail(path, std::to_string(ntime) + " rays x " + std::to_string(nrange) + " gates of " + name + " are more than the file holds");
    if (nrange > kMaxGates) fail(path, std::to_string(nrange) + " gates per ray");
    return var;
}

// The times of the rays, when their units are CF's.
class RayTimes {
public:
    RayTimes(const Reader& r, int nc, int time_dim, std::size_t ntime) {
        const auto id = r.find_var("time");
        if (!id) return;
        units_ = text_att(nc, *id, "units");
        calendar_ = text_att(nc, *id, "calendar").value_or("");
        if (units_) times_ = r.vector("time", {time_dim}, ntime);
    }
    std::optional<double> operator()(std::size_t ray) const {
        if (!units_ || ray >= times_.size()) return std::nullopt;
        return cf_seconds(*units_, calendar_, times_[ray]);
    }

private:
    std::optional<std::string> units_;
    std::string calendar_;
    std::vector<double> times_;
};

// The geometry every sweep shares and each sweep's own.
struct Rays {
    std::vector<double> range, azimuth, elevation, fixed_angle;
    std::vector<int> first, last;
    double spacing = 0;
};

Rays read_rays(const Reader& r, int nc, const std::string& path, int time_dim, int range_dim, int sweep_dim) {
    const std::size_t ntime = r.dim_len(time_dim), nrange = r.dim_len(range_dim), nsweep = r.dim_len(sweep_dim);
    Rays g;
    g.range = r.vector("range", {range_dim}, nrange);
    g.spacing = gate_spacing(nc, g.range, path);
    g.azimuth = r.vector("azimuth", {time_dim}, ntime);
    g.elevation = r.vector("elevation", {time_dim}, ntime);
    g.fixed_angle = r.vector("fixed_angle", {sweep_dim}, nsweep);
    g.first = r.indices("sweep_start_ray_index", sweep_dim, nsweep);
    g.last = r.indices("sweep_end_ray_index", sweep_dim, nsweep);
    check_rays(g.first, g.last, g.azimuth, g.elevation, path);
    return g;
}

// Sweep s: its rays, their angles and gates.
Sweep read_sweep(std::size_t s, const Rays& g, const RayTimes& times, Field& field) {
    Sweep sw;
    sw.name = "sweep " + std::to_string(s);
    sw.fixed_angle = g.fixed_angle[s];
    sw.range_first = g.range.front();
    sw.gate_spacing = g.spacing;
    sw.gates = static_cast<int>(g.range.size());
    const auto first = static_cast<std::size_t>(g.first[s]), last = static_cast<std::size_t>(g.last[s]);
    sw.time = times(first);
    for (std::size_t i = first; i <= last; ++i) {
        double a = std::fmod(g.azimuth[i], 360.0);
        if (a < 0) a += 360.0;
        const float af = static_cast<float>(a);
        sw.azimuth.push_back(af < 360.0f ? af : 0.0f);
        sw.elevation.push_back(static_cast<float>(g.elevation[i]));
    }
    sw.values.reserve((last - first + 1) * g.range.size());
    field.rays(first, last, sw.values);
    return sw;
}

}  // namespace

PolarVolume read_cfradial(const std::string& path, const std::string& field) {
    require_input_file(path);
    if (const std::string problem = classic_header_problem(path); !problem.empty()) fail(path, "not a valid NetCDF file: " + problem);
    NcFile nc;
    check(nc_open(path.c_str(), NC_NOWRITE, &nc.id), path, "cannot open");
    const Reader r(path, nc.id);

    const int time_dim = r.dim("time"), range_dim = r.dim("range"), sweep_dim = r.dim("sweep");
    const std::size_t ntime = r.dim_len(time_dim), nrange = r.dim_len(range_dim), nsweep = r.dim_len(sweep_dim);
    if (ntime == 0 || nrange == 0 || nsweep == 0) fail(path, "no rays, gates or sweeps (time, range or sweep is empty)");
    if (nsweep > ntime) fail(path, std::to_string(nsweep) + " sweeps of " + std::to_string(ntime) + " rays");
    const std::string name = chosen_field(r, nc.id, time_dim, range_dim, path, field);
    nc_type type = NC_NAT;
    const int var = field_variable(nc.id, path, name, ntime, nrange, type);

    PolarVolume v;
    v.source = path, v.field = name, v.units = text_att(nc.id, var, "units").value_or("");
    const Rays rays = read_rays(r, nc.id, path, time_dim, range_dim, sweep_dim);
    std::size_t gates = 0;
    for (std::size_t s = 0; s < nsweep; ++s) gates += static_cast<std::size_t>(rays.last[s] - rays.first[s] + 1) * nrange;
    check_volume_gates(path, gates);

    const RayTimes times(r, nc.id, time_dim, ntime);
    v.time = r.coverage_start();
    if (!v.time) v.time = times(0);
    const auto lat = r.first_value("latitude"), lon = r.first_value("longitude");
    if (lat && lon) {
        if (std::string problem = position_problem(*lat, *lon); !problem.empty()) fail(path, "the radar's " + problem);
        v.site = Site{*lat, *lon, r.first_value("altitude").value_or(0.0)};
    }
    if (const auto bw = r.first_value("radar_beam_width_h"); bw && *bw > 0) v.beam_width = *bw;

    Field values(nc.id, var, type, nrange, path, name);
    for (std::size_t s = 0; s < nsweep; ++s) v.sweeps.push_back(read_sweep(s, rays, times, values));
    if (is_velocity(nc.id, var, name)) read_nyquist(r, time_dim, ntime, v.sweeps, rays.first);
    return v;
}

}  // namespace velmora::polar
