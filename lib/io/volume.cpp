#include "io/volume.h"

#include <netcdf.h>
#include <vtkCommand.h>
#include <vtkDataArray.h>
#include <vtkExecutive.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkInformation.h>
#include <vtkPointData.h>
#include <vtkStreamingDemandDrivenPipeline.h>
#include <vtkXMLImageDataReader.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <stdexcept>

#include "io/chunked_read.h"
#include "io/cf_missing.h"
#include "io/cf_time.h"
#include "io/classic_header.h"
#include "io/file_handles.h"
#include "io/input_file.h"
#include "io/vti_header.h"
#include "field_ref.h"
#include "host_ops.h"

namespace velmora {

namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw std::runtime_error(path + ": " + what);
}

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

std::vector<float> read_axis(int nc, int dim, const std::string& path) {
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
    return axis_in_km(v, text_att(nc, var, "units"), path, name);
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

bool evenly_spaced(const std::vector<float>& a) {
    if (a.size() < 2) return true;
    double step = (static_cast<double>(a.back()) - a.front()) / static_cast<double>(a.size() - 1);
    for (size_t i = 1; i < a.size(); ++i)
        if (std::fabs((static_cast<double>(a[i]) - a[i - 1]) - step) > 1e-4 * std::fabs(step)) return false;
    return true;
}

}  // namespace

namespace {

// The first error a VTK object reports, without VTK's file and line.
class ErrorText : public vtkCommand {
public:
    static ErrorText* New() { return new ErrorText; }
    void Execute(vtkObject*, unsigned long, void* data) override {
        if (!text.empty() || !data) return;
        std::string t = static_cast<const char*>(data);
        if (const auto at = t.rfind("): "); at != std::string::npos) t = t.substr(at + 3);
        while (!t.empty() && (t.back() == '\n' || t.back() == ' ' || t.back() == '.')) t.pop_back();
        text = t.empty() ? "it cannot be read" : t;
    }
    std::string text;
};

// A volume larger than the limit is refused before its values are read.
void check_size(const std::string& path, std::size_t nx, std::size_t ny, std::size_t nz, std::int64_t max_nodes) {
    const double n = static_cast<double>(nx) * static_cast<double>(ny) * static_cast<double>(nz);
    if (n > static_cast<double>(max_nodes))
        fail(path, "the volume has " + std::to_string(nx) + " x " + std::to_string(ny) + " x " + std::to_string(nz) +
                       " nodes; at most " + std::to_string(max_nodes) + " are read");
}

// The storage the values of v go to: the sink's, or v's own.
std::span<float> storage_for(Volume& v, std::size_t n, const ValueSink& sink, const std::string& path) {
    if (!sink) {
        v.values.resize(n);
        return v.values;
    }
    const std::span<float> to = sink(v);
    if (to.size() != n) fail(path, "no room for the " + std::to_string(n) + " values of " + v.name);
    return to;
}

}  // namespace

namespace {

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
// out: the volume is analysed all the same, without geographic positions.
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
    out.z = read_axis(nc.id, dims[first], path);
    out.y = read_axis(nc.id, dims[first + 1], path);
    out.x = read_axis(nc.id, dims[first + 2], path);
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
        return out;
    }
    // Wider types are read as doubles, a level at a time.
    const size_t level = out.x.size() * out.y.size();
    std::vector<double> raw(level);
    count[first] = 1;
    for (size_t k = 0; k < out.z.size(); ++k) {
        start[first] = k;
        check(nc_get_vara_double(nc.id, v, start, count, raw.data()), path, "reading " + var);
        for (size_t i = 0; i < level; ++i) values[k * level + i] = unpack(raw[i], out);
    }
    return out;
}

namespace {

// The image of a .vti file through VTK's reader, whose own error log stays
// silent: what went wrong is said once, here. Arrays the reader would fall
// over are refused before it parses them.
vtkImageData* read_image(vtkXMLImageDataReader* reader, const std::string& path, std::int64_t max_nodes) {
    if (!reader->CanReadFile(path.c_str())) fail(path, "cannot read as VTK image data");
    if (const std::string problem = vti_header_problem(path); !problem.empty())
        fail(path, "not valid VTK XML image data: " + problem);
    vtkNew<ErrorText> errors, pipeline;
    for (const auto event : {vtkCommand::ErrorEvent, vtkCommand::WarningEvent}) {
        reader->AddObserver(event, errors);
        reader->GetExecutive()->AddObserver(event, pipeline);
    }
    reader->SetParserErrorObserver(errors);
    reader->SetReaderErrorObserver(errors);
    reader->SetFileName(path.c_str());
    reader->UpdateInformation();
    const auto failed = [&] {
        if (!errors->text.empty()) fail(path, "not valid VTK XML image data: " + errors->text);
        if (!pipeline->text.empty() || reader->GetErrorCode() != 0)
            fail(path, "not valid VTK XML image data: it cannot be read");
    };
    failed();
    int extent[6] = {0, -1, 0, -1, 0, -1};
    reader->GetOutputInformation(0)->Get(vtkStreamingDemandDrivenPipeline::WHOLE_EXTENT(), extent);
    check_size(path, static_cast<std::size_t>(std::max(0, extent[1] - extent[0] + 1)),
               static_cast<std::size_t>(std::max(0, extent[3] - extent[2] + 1)),
               static_cast<std::size_t>(std::max(0, extent[5] - extent[4] + 1)), max_nodes);
    reader->Update();
    failed();
    return reader->GetOutput();
}

}  // namespace

Volume read_vti(const std::string& path, const std::string& var, const ValueSink& sink, std::int64_t max_nodes) {
    vtkNew<vtkXMLImageDataReader> reader;
    vtkImageData* img = read_image(reader, path, max_nodes);
    int d[3];
    img->GetDimensions(d);
    if (d[0] < 2 || d[1] < 2 || d[2] < 2) fail(path, "image data must have at least 2 points along each axis");
    vtkPointData* pd = img->GetPointData();
    vtkDataArray* arr = var.empty() ? pd->GetArray(0) : pd->GetArray(var.c_str());
    if (!arr) {
        std::string list;
        for (int i = 0; i < pd->GetNumberOfArrays(); ++i) list += (i ? ", " : "") + std::string(pd->GetArrayName(i));
        fail(path, "no point data \"" + var + "\"" + (list.empty() ? std::string() : " (arrays: " + list + ")"));
    }
    if (arr->GetNumberOfComponents() != 1) fail(path, std::string("point data ") + arr->GetName() + " is not scalar");
    double o[3], s[3];
    img->GetOrigin(o);
    img->GetSpacing(s);
    for (int a = 0; a < 3; ++a)
        if (!(s[a] > 0.0) || !std::isfinite(s[a]) || !std::isfinite(o[a]))
            fail(path, std::string("the spacing along ") + "xyz"[a] + " must be a positive number, not " + std::to_string(s[a]));
    Volume out;
    out.name = arr->GetName() ? arr->GetName() : "data";
    for (int i = 0; i < d[0]; ++i) out.x.push_back(static_cast<float>(o[0] + i * s[0]));
    for (int j = 0; j < d[1]; ++j) out.y.push_back(static_cast<float>(o[1] + j * s[1]));
    for (int k = 0; k < d[2]; ++k) out.z.push_back(static_cast<float>(o[2] + k * s[2]));
    const std::span<float> values = storage_for(out, static_cast<size_t>(arr->GetNumberOfTuples()), sink, path);
    for (vtkIdType i = 0; i < arr->GetNumberOfTuples(); ++i) {
        // Values that are not finite are no measurement: the volume's null.
        const double x = arr->GetTuple1(i);
        if (!std::isfinite(x)) out.has_null = true;
        values[static_cast<size_t>(i)] = std::isfinite(x) ? static_cast<float>(x) : out.null_value;
    }
    return out;
}

Volume read_volume(const std::string& path, const std::string& var, const ValueSink& sink, long time,
                   std::int64_t max_nodes) {
    require_input_file(path);
    auto ends = [&](const char* ext) {
        std::string e(ext);
        return path.size() >= e.size() && path.compare(path.size() - e.size(), e.size(), e) == 0;
    };
    if (ends(".vti")) {
        if (time > 0) fail(path, "VTK image data has no time steps; --time can only be 0");
        return read_vti(path, var, sink, max_nodes);
    }
    return read_netcdf(path, var, sink, time, max_nodes);
}

namespace {

// A smooth deterministic texture in [-1, 1] from integer grid positions.
float texture(int i, int j, int k) {
    std::uint32_t h = static_cast<std::uint32_t>(i) * 73856093u ^ static_cast<std::uint32_t>(j) * 19349663u ^
                      static_cast<std::uint32_t>(k) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<float>(h & 0xffff) / 32767.5f - 1.0f;
}

// A stratiform rain region: an ellipse of widespread light rain with a
// bright band at the melting level.
struct Stratiform {
    float x, y;       // centre, km
    float rx, ry;     // semi-axes, km
};

// The five cells and the stratiform region of the default scene.
constexpr ConvectiveCell kDefaultCells[] = {
    {-22.0f, -12.0f, 56.0f, 4.5f, 10.0f, 3.0f, 0.4f},
    {8.0f, 10.0f, 52.0f, 4.0f, 9.0f, 2.5f, 0.3f},
    {22.0f, -14.0f, 48.0f, 3.0f, 7.5f, 2.0f, 0.2f},
    {-6.0f, 18.0f, 46.0f, 3.0f, 7.0f, 2.0f, -0.2f},
    {28.0f, 16.0f, 44.0f, 2.5f, 6.0f, 1.5f, 0.0f},
};
constexpr Stratiform kDefaultStratiform{-10.0f, -20.0f, 30.0f, 12.0f};

// Grid indices [first, last] of the points within reach of centre c on an
// axis of 1 km steps starting at origin.
std::pair<std::int64_t, std::int64_t> within(float c, float reach, float origin, std::int64_t n) {
    const auto first = static_cast<std::int64_t>(std::floor(c - reach - origin));
    const auto last = static_cast<std::int64_t>(std::ceil(c + reach - origin));
    return {std::max<std::int64_t>(first, 0), std::min<std::int64_t>(last, n - 1)};
}

// The scene on a grid of nx x ny points 1 km apart centred on 0 and nz
// levels: the strongest of the stratiform rain and the cells at each point,
// with texture; what stays under 5 dBZ is no echo. Each storm is laid down
// only around itself, so that large grids with many cells stay fast: beyond
// its reach a cell is under 3 dBZ, which the texture never lifts to 5.
Volume scene(std::int64_t nx, std::int64_t ny, std::int64_t nz, std::span<const ConvectiveCell> cells,
             std::span<const Stratiform> rain) {
    Volume v;
    v.name = options::text("analyze", "var");
    v.units = "dBZ";
    v.has_null = true;
    v.null_value = -9999.0f;
    // 0.5 km levels up to 10 km; more than 30 levels share the lowest 15 km.
    const float dz = std::min(0.5f, 15.0f / static_cast<float>(nz));
    const auto x0 = static_cast<float>(-(nx / 2)), y0 = static_cast<float>(-(ny / 2));
    for (std::int64_t i = 0; i < nx; ++i) v.x.push_back(x0 + static_cast<float>(i));
    for (std::int64_t j = 0; j < ny; ++j) v.y.push_back(y0 + static_cast<float>(j));
    for (std::int64_t k = 0; k < nz; ++k) v.z.push_back(dz + dz * static_cast<float>(k));
    const auto at = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return static_cast<size_t>(i + nx * (j + ny * k)); };
    auto& ze = v.values;   // reflectivity before texture and cut-off
    ze.assign(static_cast<size_t>(nx * ny * nz), -100.0f);

    // Stratiform rain: 18-24 dBZ below 4.5 km, a bright band around it,
    // little above.
    for (const Stratiform& s : rain) {
        const auto [i0, i1] = within(s.x, s.rx + 1.0f, x0, nx);
        const auto [j0, j1] = within(s.y, s.ry + 1.0f, y0, ny);
        for (std::int64_t k = 0; k < nz; ++k) {
            const float z = v.z[static_cast<size_t>(k)];
            const float band = 6.0f * std::exp(-std::pow((z - 4.5f) / 0.5f, 2.0f));
            const float above = z > 4.5f ? (z - 4.5f) * 6.0f : 0.0f;
            for (std::int64_t j = j0; j <= j1; ++j)
                for (std::int64_t i = i0; i <= i1; ++i) {
                    const float x = v.x[static_cast<size_t>(i)], y = v.y[static_cast<size_t>(j)];
                    const float strat = 1.0f - std::hypot((x - s.x) / s.rx, (y - s.y) / s.ry);
                    if (strat <= 0.0f) continue;
                    const float base = 18.0f + 6.0f * strat;
                    float& e = ze[at(i, j, k)];
                    e = std::max(e, base + band - above);
                }
        }
    }
    for (const ConvectiveCell& c : cells) {
        // Where peak - 10 r^2 falls under 3 dBZ, plus a margin for rounding.
        const float reach = c.radius * std::sqrt(std::max(0.0f, (c.peak - 3.0f) / 10.0f)) + 1.0f;
        for (std::int64_t k = 0; k < nz; ++k) {
            const float z = v.z[static_cast<size_t>(k)];
            if (z > c.top) break;
            const float cx = c.x + c.tilt_x * z, cy = c.y;
            // Strongest at the core height, weakening to the top and a
            // little towards the ground (rain shaft).
            const float vert = z <= c.core ? 1.0f - 0.04f * (c.core - z) : 1.0f - std::pow((z - c.core) / (c.top - c.core), 2.0f);
            const auto [i0, i1] = within(cx, reach, x0, nx);
            const auto [j0, j1] = within(cy, reach, y0, ny);
            for (std::int64_t j = j0; j <= j1; ++j)
                for (std::int64_t i = i0; i <= i1; ++i) {
                    const float x = v.x[static_cast<size_t>(i)], y = v.y[static_cast<size_t>(j)];
                    const float r = std::hypot(x - cx, y - cy) / c.radius;
                    const float cz = c.peak * vert - 10.0f * r * r;
                    float& e = ze[at(i, j, k)];
                    e = std::max(e, cz);
                }
        }
    }
    for (std::int64_t k = 0; k < nz; ++k)
        for (std::int64_t j = 0; j < ny; ++j)
            for (std::int64_t i = 0; i < nx; ++i) {
                float& e = ze[at(i, j, k)];
                e += 1.2f * texture(static_cast<int>(i), static_cast<int>(j), static_cast<int>(k));
                e = e >= 5.0f ? std::round(e * 2.0f) / 2.0f : v.null_value;
            }
    return v;
}

// SplitMix64: the same numbers from a seed on every platform, which the
// standard distributions do not promise.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    float uniform(float lo, float hi) {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        z ^= z >> 31;
        return lo + (hi - lo) * (static_cast<float>(z >> 40) / 16777216.0f);
    }

private:
    std::uint64_t state_;
};

// How far a cell's echo of 20 dBZ reaches from its centre at the ground,
// the tilt of its core included.
float echo_reach(const ConvectiveCell& c) {
    return c.radius * std::sqrt(std::max(0.0f, c.peak / 10.0f - 2.0f)) + std::fabs(c.tilt_x) * c.top;
}

// n cells of random strength, size and height, placed so that their echoes
// stay apart; when the grid is too crowded for that, a cell goes where the
// last try put it and may merge with a neighbour.
std::vector<ConvectiveCell> scattered_cells(int n, std::uint32_t seed, float x0, float x1, float y0, float y1) {
    Random rnd(seed);
    std::vector<ConvectiveCell> cells;
    cells.reserve(static_cast<size_t>(n));
    for (int c = 0; c < n; ++c) {
        ConvectiveCell cell{};
        cell.peak = rnd.uniform(42.0f, 58.0f);
        cell.radius = rnd.uniform(2.0f, 4.5f);
        cell.core = rnd.uniform(1.5f, 3.5f);
        cell.top = cell.core + rnd.uniform(4.0f, 10.5f);
        cell.tilt_x = rnd.uniform(-0.4f, 0.4f);
        const float margin = std::min({4.0f, (x1 - x0) / 2.0f, (y1 - y0) / 2.0f});
        for (int attempt = 0; attempt < 1000; ++attempt) {
            cell.x = rnd.uniform(x0 + margin, x1 - margin);
            cell.y = rnd.uniform(y0 + margin, y1 - margin);
            const bool apart = std::all_of(cells.begin(), cells.end(), [&](const ConvectiveCell& o) {
                return std::hypot(cell.x - o.x, cell.y - o.y) > echo_reach(cell) + echo_reach(o) + 2.0f;
            });
            if (apart) break;
        }
        cells.push_back(cell);
    }
    return cells;
}

}  // namespace

Volume synthetic_scene(const SceneOptions& o) {
    if (o.nx < 2 || o.ny < 2 || o.nz < 2 || o.cells < 0)
        throw std::invalid_argument("a synthetic scene needs at least 2 points along each axis and no negative cell count");
    if (o.cells == 0) return scene(o.nx, o.ny, o.nz, kDefaultCells, std::span(&kDefaultStratiform, 1));
    const float x0 = static_cast<float>(-(o.nx / 2)), y0 = static_cast<float>(-(o.ny / 2));
    const float x1 = x0 + static_cast<float>(o.nx - 1), y1 = y0 + static_cast<float>(o.ny - 1);
    const std::vector<ConvectiveCell> cells = scattered_cells(o.cells, o.seed, x0, x1, y0, y1);
    // Stratiform rain as wide as the default scene's, one region to five cells.
    Random rnd(o.seed ^ 0x5851f42du);
    std::vector<Stratiform> rain(static_cast<size_t>(std::max(1, o.cells / 5)));
    for (Stratiform& s : rain) s = {rnd.uniform(x0, x1), rnd.uniform(y0, y1), rnd.uniform(20.0f, 40.0f), rnd.uniform(8.0f, 16.0f)};
    return scene(o.nx, o.ny, o.nz, cells, rain);
}

Volume scene_of_cells(const SceneOptions& o, std::span<const ConvectiveCell> cells) {
    if (o.nx < 2 || o.ny < 2 || o.nz < 2)
        throw std::invalid_argument("a synthetic scene needs at least 2 points along each axis");
    return scene(o.nx, o.ny, o.nz, cells, {});
}

vhost::Object& add_volume_field(vhost::Object& parent, const std::string& name, const Volume& v) {
    vhost::Object& f = parent.add_field(name);
    fill_volume_field(f, v);
    return f;
}

namespace {

// The geometry of a volume's field: a uniform grid when every axis is evenly
// spaced, explicit coordinates otherwise.
vhost::FieldRef volume_geometry(vhost::Object& f, const Volume& v) {
    vhost::FieldRef ref(f);
    const std::vector<std::int64_t> dims{static_cast<std::int64_t>(v.x.size()), static_cast<std::int64_t>(v.y.size()),
                                         static_cast<std::int64_t>(v.z.size())};
    if (evenly_spaced(v.x) && evenly_spaced(v.y) && evenly_spaced(v.z)) {
        ref.uniform(dims, {v.x.front(), v.y.front(), v.z.front(), v.x.back(), v.y.back(), v.z.back()});
    } else {
        ref.dims(dims).nnodes(dims[0] * dims[1] * dims[2]).nspace(3);
        const std::span<float> xyz = ref.coord_buffer();
        std::size_t at = 0;
        for (float z : v.z)
            for (float y : v.y)
                for (float x : v.x) {
                    xyz[at++] = x;
                    xyz[at++] = y;
                    xyz[at++] = z;
                }
    }
    return ref;
}

}  // namespace

std::span<float> make_volume_field(vhost::Object& f, const Volume& v) {
    return volume_geometry(f, v).add_floats(v.name, 1, v.units);
}

void lend_volume_field(vhost::Object& f, const Volume& v, std::span<const float> values) {
    if (values.size() != v.x.size() * v.y.size() * v.z.size())
        throw std::invalid_argument("the volume holds " + std::to_string(values.size()) + " values for " +
                                    std::to_string(v.x.size() * v.y.size() * v.z.size()) + " grid nodes");
    volume_geometry(f, v).lend_floats(v.name, values, 1, v.units);
    set_volume_null(f, v);
}

void set_volume_null(vhost::Object& f, const Volume& v) {
    if (v.has_null) vhost::FieldRef(f).null_value(0, v.null_value);
}

void nulls_to_nan(vhost::Object& field, int comp) {
    vhost::FieldRef f(field);
    if (f.type(comp) != DTYPE_FLOAT || !f.null_flag(comp)) return;
    const auto null = static_cast<float>(f.null_value(comp));
    const auto view = f.float_view(comp);
    // The view is read-only for readers of the tree; this is its owner's
    // own rewrite of the values.
    float* values = const_cast<float*>(view.data());
    for (size_t i = 0; i < view.size(); ++i)
        if (values[i] == null) values[i] = NAN;
    f.component(comp).at("null_flag").set_int(0);
}

void fill_volume_field(vhost::Object& f, const Volume& v) {
    const std::span<float> values = make_volume_field(f, v);
    if (values.size() != v.values.size())
        throw std::invalid_argument("the volume " + v.name + " holds " + std::to_string(v.values.size()) +
                                    " values for " + std::to_string(values.size()) + " grid nodes");
    std::copy(v.values.begin(), v.values.end(), values.begin());
    set_volume_null(f, v);
}

}  // namespace velmora
