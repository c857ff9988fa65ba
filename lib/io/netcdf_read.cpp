// The NetCDF reader of gridded volumes.
#include <netcdf.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>

#include "io/cf_missing.h"
#include "io/cf_time.h"
#include "io/chunked_read.h"
#include "io/classic_header.h"
#include "io/file_handles.h"
#include "io/volume.h"
#include "io/volume_reading.h"

namespace velmora {

using volume_reading::check_size;
using volume_reading::fail;
using volume_reading::storage_for;

namespace {

void check(int status, const std::string& path, const std::string& doing) {
    if (status != NC_NOERR) fail(path, doing + ": " + nc_strerror(status));
}

// A text attribute, stored as characters or as a (NetCDF-4) string.
std::string text_att(int nc, int var, const char* name) {
    size_t len = 0;
    nc_type type;
    if (nc_inq_att(nc, var, name, &type, &len) != NC_NOERR) return {};
    if (type == NC_STRING) {
        if (len != 1) return {};
        char* text = nullptr;
        if (nc_get_att_string(nc, var, name, &text) != NC_NOERR) return {};
        std::string s = text ? text : "";
        nc_free_string(1, &text);
        return s;
    }
    if (type != NC_CHAR) return {};
    std::string s(len, '\0');
    if (nc_get_att_text(nc, var, name, s.data()) != NC_NOERR) return {};
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

bool number_att(int nc, int var, const char* name, double& out) {
    size_t len = 0;
    nc_type type;
    if (nc_inq_att(nc, var, name, &type, &len) != NC_NOERR || len < 1 || type == NC_CHAR || type == NC_STRING)
        return false;
    std::vector<double> v(len);
    if (nc_get_att_double(nc, var, name, v.data()) != NC_NOERR) return false;
    out = v[0];
    return true;
}

// Factor from a coordinate's units to km. CF projection coordinates without
// units are taken as metres.
double to_km(const std::string& units, const std::string& path, const std::string& dim) {
    std::string u = units;
    std::transform(u.begin(), u.end(), u.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (u.empty() || u == "m" || u == "meter" || u == "meters" || u == "metre" || u == "metres") return 0.001;
    if (u == "km" || u == "kilometer" || u == "kilometers" || u == "kilometre" || u == "kilometres") return 1.0;
    fail(path, "coordinate variable " + dim + " has units \"" + units + "\"; expected m or km");
}

}  // namespace

std::vector<float> axis_in_km(std::span<const double> v, const std::string& units, const std::string& where,
                              const std::string& name) {
    const double f = to_km(units, where, name);
    std::vector<float> out(v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        out[i] = static_cast<float>(v[i] * f);
        if (!std::isfinite(out[i]) || (i > 0 && !(out[i] > out[i - 1])))
            fail(where, std::string("coordinate variable ") + name + " must increase strictly");
    }
    if (v.size() < 2) fail(where, std::string("dimension ") + name + " needs at least 2 levels");
    return out;
}

namespace {

// The coordinates of dimension dim in km, increasing: an axis that decreases
// (CF allows it; image-like products write rows north to south) is turned,
// and turned says so.
std::vector<float> read_axis(int nc, int dim, const std::string& path, bool& turned) {
    char name[NC_MAX_NAME + 1] = "";
    size_t len = 0;
    check(nc_inq_dim(nc, dim, name, &len), path, "reading a dimension");
    int var = -1;
    if (nc_inq_varid(nc, name, &var) != NC_NOERR)
        fail(path, std::string("no coordinate variable for dimension ") + name);
    int nd = 0;
    nc_inq_varndims(nc, var, &nd);
    if (nd != 1) fail(path, std::string("coordinate variable ") + name + " is not one-dimensional");
    // The variable of that name must lie on that dimension: its length is
    // what is read.
    int on = -1;
    nc_inq_vardimid(nc, var, &on);
    if (on != dim) {
        char other[NC_MAX_NAME + 1] = "";
        size_t other_len = 0;
        nc_inq_dim(nc, on, other, &other_len);
        fail(path, std::string("coordinate variable ") + name + " lies on dimension " + other + " (" +
                       std::to_string(other_len) + ") instead of " + name + " (" + std::to_string(len) + ")");
    }
    std::vector<double> v(len);
    check(nc_get_var_double(nc, var, v.data()), path, std::string("reading ") + name);
    turned = v.size() >= 2 && v.front() > v.back();
    if (turned) std::reverse(v.begin(), v.end());
    for (size_t i = 1; i < v.size(); ++i)
        if (!(v[i] > v[i - 1])) fail(path, std::string("coordinate variable ") + name + " must increase or decrease strictly");
    return axis_in_km(v, text_att(nc, var, "units"), path, name);
}

// Values read on axes that decrease, put in the order of the axes turned to
// increase: levels (turned[0]), rows (turned[1]), columns (turned[2]).
void turn_values(std::span<float> values, size_t nx, size_t ny, size_t nz, const bool turned[3]) {
    const auto at = [&values](size_t i) { return values.begin() + static_cast<std::ptrdiff_t>(i); };
    const size_t level = nx * ny;
    if (turned[0])
        for (size_t k = 0; k < nz / 2; ++k) std::swap_ranges(at(k * level), at((k + 1) * level), at((nz - 1 - k) * level));
    if (turned[1])
        for (size_t k = 0; k < nz; ++k)
            for (size_t j = 0; j < ny / 2; ++j)
                std::swap_ranges(at(k * level + j * nx), at(k * level + (j + 1) * nx), at(k * level + (ny - 1 - j) * nx));
    if (turned[2])
        for (size_t row = 0; row < ny * nz; ++row) std::reverse(at(row * nx), at((row + 1) * nx));
}

std::vector<std::string> grid_variables(int nc) {
    int nvars = 0;
    nc_inq_nvars(nc, &nvars);
    std::vector<std::string> names;
    for (int v = 0; v < nvars; ++v) {
        int nd = 0;
        char name[NC_MAX_NAME + 1] = "";
        nc_inq_var(nc, v, name, nullptr, &nd, nullptr, nullptr);
        if (nd == 3 || nd == 4) names.emplace_back(name);
    }
    return names;
}

// Axes named x, y and z must stand in the order (z, y, x): another order
// would be read as that one.
void check_axis_order(int nc, const int* axes, const std::string& path, const std::string& var) {
    char names[3][NC_MAX_NAME + 1] = {"", "", ""};
    for (int a = 0; a < 3; ++a) nc_inq_dimname(nc, axes[a], names[a]);
    const std::string order = std::string(names[0]) + ", " + names[1] + ", " + names[2];
    const auto axis_name = [](const char* n) { return std::string(n) == "x" || std::string(n) == "y" || std::string(n) == "z"; };
    if (axis_name(names[0]) && axis_name(names[1]) && axis_name(names[2]) && order != "z, y, x")
        fail(path, "variable " + var + " lies on (" + order + "); expected (z, y, x)");
}

// The index on the time dimension to read. A file of several time steps is
// not taken as its first one unasked.
size_t time_step(int nc, int time_dim, long time, const std::string& path, const std::string& var) {
    size_t nt = 0;
    nc_inq_dimlen(nc, time_dim, &nt);
    if (nt < 1) fail(path, "variable " + var + " holds no time step");
    if (time == kOnlyTime && nt > 1)
        fail(path, "variable " + var + " holds " + std::to_string(nt) + " time steps; choose one with --time (0 to " +
                       std::to_string(nt - 1) + ")");
    if (time != kOnlyTime && (time < 0 || static_cast<size_t>(time) >= nt))
        fail(path, "variable " + var + " has no time step " + std::to_string(time) + "; it holds " + std::to_string(nt) +
                       " (0 to " + std::to_string(nt - 1) + ")");
    return time == kOnlyTime ? 0 : static_cast<size_t>(time);
}

// Missing data: _FillValue, missing_value and the valid range (cf_missing.h)
// compare with the packed values; scale_factor/add_offset unpack the rest.
// Infinite values are no measurement either.
struct Unpacking {
    CfMissing missing;
    double scale = 1, offset = 0;

    Unpacking(int nc, int v, Volume& out) : missing(cf_missing(nc, v)) {
        const bool has_scale = number_att(nc, v, "scale_factor", scale);
        const bool has_offset = number_att(nc, v, "add_offset", offset);
        const bool packed = has_scale || has_offset;
        out.has_null = missing.declared();
        // Unpacked, the first finite missing value stands for them all.
        for (double m : missing.values)
            if (!packed && std::isfinite(static_cast<float>(m))) {
                out.null_value = static_cast<float>(m);
                break;
            }
    }
    float operator()(double r, Volume& out) const {
        const bool null = !std::isfinite(r) || missing.missing(r);
        if (null) out.has_null = true;
        return null ? out.null_value : static_cast<float>(r * scale + offset);
    }
};

// The grid's origin, from the variables origin_latitude and origin_longitude
// (scalars, or on the time dimension of the variable read) as radar toolkits
// write them. An origin that is missing (or NaN, or the fill value) is left
// out: the volume is analyzed all the same, without geographic positions.
// One that is no position on the earth is refused, as --site refuses it.
std::optional<GeoOrigin> read_origin(int nc, int time_dim, size_t step, const std::string& path) {
    double at[2];
    const char* names[2] = {"origin_latitude", "origin_longitude"};
    for (int i = 0; i < 2; ++i) {
        int v = -1, nd = 0, dims[NC_MAX_VAR_DIMS];
        if (nc_inq_varid(nc, names[i], &v) != NC_NOERR || nc_inq_varndims(nc, v, &nd) != NC_NOERR || nd > 1)
            return std::nullopt;
        nc_inq_vardimid(nc, v, dims);
        size_t index[1] = {0};
        if (nd == 1) {
            size_t len = 0;
            nc_inq_dimlen(nc, dims[0], &len);
            if (dims[0] == time_dim) index[0] = step;
            else if (len != 1) return std::nullopt;
            if (index[0] >= len) return std::nullopt;
        }
        if (nc_get_var1_double(nc, v, index, &at[i]) != NC_NOERR) return std::nullopt;
        double fill = 0.0;
        if ((number_att(nc, v, "_FillValue", fill) && at[i] == fill) || std::isnan(at[i])) return std::nullopt;
    }
    if (std::string problem = position_problem(at[0], at[1]); !problem.empty())
        fail(path, "origin_latitude and origin_longitude: the origin's " + problem);
    return checked_origin(at[0], at[1]);
}

// The time of step of the CF coordinate variable time, when the variable
// read lies on it; why it cannot be read, when it is there in a form velmora
// does not read.
void read_time(int nc, int time_dim, size_t step, Volume& out) {
    int v = -1, nd = 0, dim = -1;
    if (time_dim < 0 || nc_inq_varid(nc, "time", &v) != NC_NOERR || nc_inq_varndims(nc, v, &nd) != NC_NOERR || nd != 1)
        return;
    nc_inq_vardimid(nc, v, &dim);
    double value = 0.0;
    const size_t index[1] = {step};
    if (dim != time_dim || nc_get_var1_double(nc, v, index, &value) != NC_NOERR) return;
    const std::string units = text_att(nc, v, "units"), calendar = text_att(nc, v, "calendar");
    out.time = cf_seconds(units, calendar, value);
    char number[32];
    std::snprintf(number, sizeof number, "%.12g", value);
    if (!out.time)
        out.time_problem = "its time " + std::string(number) + " in units \"" + units + "\"" +
                           (calendar.empty() ? std::string() : " of calendar \"" + calendar + "\"") +
                           " is no time velmora reads (seconds, minutes, hours or days since a date, on the "
                           "Gregorian calendar)";
}

}  // namespace

Volume read_netcdf(const std::string& path, const std::string& var, const ValueSink& sink, long time,
                   std::int64_t max_nodes) {
    // A damaged classic header is refused before the library trusts it.
    if (const std::string problem = classic_header_problem(path); !problem.empty())
        fail(path, "not a valid NetCDF file: " + problem);
    NcFile nc;
    check(nc_open(path.c_str(), NC_NOWRITE, &nc.id), path, "cannot open");
    int v = -1;
    if (nc_inq_varid(nc.id, var.c_str(), &v) != NC_NOERR) {
        std::string list;
        for (const auto& n : grid_variables(nc.id)) list += (list.empty() ? "" : ", ") + n;
        fail(path, "no variable \"" + var + "\"" + (list.empty() ? std::string() : " (variables on a grid: " + list + ")"));
    }
    int ndims = 0;
    int dims[NC_MAX_VAR_DIMS];
    check(nc_inq_var(nc.id, v, nullptr, nullptr, &ndims, dims, nullptr), path, "reading " + var);
    if (ndims != 3 && ndims != 4)
        fail(path, "variable " + var + " has " + std::to_string(ndims) + " dimensions; expected (time, z, y, x) or (z, y, x)");
    const int first = ndims - 3;
    check_axis_order(nc.id, dims + first, path, var);
    size_t lengths[3] = {0, 0, 0};
    for (int a = 0; a < 3; ++a) nc_inq_dimlen(nc.id, dims[first + a], &lengths[a]);
    check_size(path, lengths[2], lengths[1], lengths[0], max_nodes);
    Volume out;
    out.name = var;
    out.units = text_att(nc.id, v, "units");
    bool turned[3] = {false, false, false};
    out.z = read_axis(nc.id, dims[first], path, turned[0]);
    out.y = read_axis(nc.id, dims[first + 1], path, turned[1]);
    out.x = read_axis(nc.id, dims[first + 2], path, turned[2]);
    size_t start[4] = {0, 0, 0, 0}, count[4] = {1, 1, 1, 1};
    if (first == 1) start[0] = time_step(nc.id, dims[0], time, path, var);
    else if (time > 0) fail(path, "variable " + var + " has no time dimension; --time can only be 0");
    count[first] = out.z.size();
    count[first + 1] = out.y.size();
    count[first + 2] = out.x.size();
    const size_t n = out.x.size() * out.y.size() * out.z.size();
    out.origin = read_origin(nc.id, first == 1 ? dims[0] : -1, start[0], path);
    read_time(nc.id, first == 1 ? dims[0] : -1, start[0], out);

    const Unpacking unpack(nc.id, v, out);
    const std::span<float> values = storage_for(out, n, sink, path);
    nc_type type = NC_NAT;
    nc_inq_vartype(nc.id, v, &type);
    if (type == NC_FLOAT || type == NC_SHORT || type == NC_USHORT || type == NC_BYTE || type == NC_UBYTE) {
        // Every value of these types is a float: read in place, then unpacked
        // from its exact double as any other value is.
        if (type != NC_FLOAT ||
            !read_chunked_floats(path, var, std::span(start, static_cast<size_t>(ndims)),
                                 std::span(count, static_cast<size_t>(ndims)), values.data()))
            check(nc_get_vara_float(nc.id, v, start, count, values.data()), path, "reading " + var);
        for (float& x : values) x = unpack(static_cast<double>(x), out);
    } else {
        // Wider types are read as doubles, a level at a time.
        const size_t level = out.x.size() * out.y.size();
        std::vector<double> raw(level);
        count[first] = 1;
        for (size_t k = 0; k < out.z.size(); ++k) {
            start[first] = k;
            check(nc_get_vara_double(nc.id, v, start, count, raw.data()), path, "reading " + var);
            for (size_t i = 0; i < level; ++i) values[k * level + i] = unpack(raw[i], out);
        }
    }
    turn_values(values, out.x.size(), out.y.size(), out.z.size(), turned);
    return out;
}

}  // namespace velmora
