#include "io/plan_netcdf.h"

#include <netcdf.h>
#include <netcdf_mem.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "io/file_handles.h"
#include "io/output_files.h"

namespace velmora {

namespace {

void check(int status, const std::string& path, const std::string& what) {
    if (status != NC_NOERR) throw WriteFailed("can not write " + path + ": " + what + ": " + nc_strerror(status));
}

std::vector<float> metres(const std::vector<float>& km) {
    std::vector<float> m(km.begin(), km.end());
    for (float& v : m) v *= 1000.0f;
    return m;
}

int define(int nc, const int dims[2], const PlanVariable& v, const std::string& path) {
    int id = 0;
    check(nc_def_var(nc, v.name.c_str(), NC_FLOAT, 2, dims, &id), path, "defining " + v.name);
    nc_def_var_deflate(nc, id, 1, 1, 1);
    nc_put_att_text(nc, id, "units", v.units.size(), v.units.c_str());
    nc_put_att_text(nc, id, "long_name", v.long_name.size(), v.long_name.c_str());
    if (v.fill) nc_put_att_float(nc, id, "_FillValue", NC_FLOAT, 1, &*v.fill);
    return id;
}

}  // namespace

std::string plan_netcdf(const std::string& path, const Volume& axes, std::span<const PlanVariable> variables) {
    for (const PlanVariable& v : variables)
        if (v.values.size() != axes.x.size() * axes.y.size())
            throw std::invalid_argument(v.name + " does not fit the grid of " + path);
    NcFile nc;
    check(nc_create_mem(path.c_str(), NC_NETCDF4, 0, &nc.id), path, "creating");
    int dy = 0, dx = 0, vx = 0, vy = 0;
    check(nc_def_dim(nc.id, "y", axes.y.size(), &dy), path, "defining y");
    check(nc_def_dim(nc.id, "x", axes.x.size(), &dx), path, "defining x");
    check(nc_def_var(nc.id, "x", NC_FLOAT, 1, &dx, &vx), path, "defining x");
    check(nc_def_var(nc.id, "y", NC_FLOAT, 1, &dy, &vy), path, "defining y");
    for (int id : {vx, vy}) nc_put_att_text(nc.id, id, "units", 1, "m");
    const int dims[2] = {dy, dx};
    std::vector<int> ids;
    for (const PlanVariable& v : variables) ids.push_back(define(nc.id, dims, v, path));
    check(nc_enddef(nc.id), path, "writing the header");
    check(nc_put_var_float(nc.id, vx, metres(axes.x).data()), path, "writing x");
    check(nc_put_var_float(nc.id, vy, metres(axes.y).data()), path, "writing y");
    for (std::size_t k = 0; k < variables.size(); ++k)
        check(nc_put_var_float(nc.id, ids[k], variables[k].values.data()), path, "writing " + variables[k].name);
    NC_memio image{};
    check(nc_close_memio(std::exchange(nc.id, -1), &image), path, "making it");
    const std::unique_ptr<void, decltype(&std::free)> held(image.memory, &std::free);
    return {static_cast<const char*>(image.memory), image.size};
}

void write_plan_netcdf(const std::string& path, const Volume& axes, std::span<const PlanVariable> variables) {
    write_file(path, plan_netcdf(path, axes, variables));
}

namespace {

void read_check(int status, const std::string& path, const std::string& what) {
    if (status != NC_NOERR) throw std::runtime_error(path + ": " + what + ": " + nc_strerror(status));
}

std::string text_attribute(int nc, int var, const char* name) {
    std::size_t length = 0;
    if (nc_inq_attlen(nc, var, name, &length) != NC_NOERR) return {};
    std::string text(length, '\0');
    if (nc_get_att_text(nc, var, name, text.data()) != NC_NOERR) return {};
    return text;
}

// The axis name (m in the file) in km, and its dimension.
std::vector<float> read_axis(int nc, const std::string& path, const char* name, int& dim) {
    int var = 0;
    std::size_t n = 0;
    read_check(nc_inq_dimid(nc, name, &dim), path, std::string("no dimension ") + name);
    read_check(nc_inq_dimlen(nc, dim, &n), path, std::string("reading ") + name);
    read_check(nc_inq_varid(nc, name, &var), path, std::string("no variable ") + name);
    std::vector<float> v(n);
    read_check(nc_get_var_float(nc, var, v.data()), path, std::string("reading ") + name);
    for (float& x : v) x /= 1000.0f;
    return v;
}

}  // namespace

PlanFile read_plan_netcdf(const std::string& path, std::span<const std::string> names) {
    NcFile nc;
    read_check(nc_open(path.c_str(), NC_NOWRITE, &nc.id), path, "cannot open it");
    PlanFile f;
    int dx = 0, dy = 0;
    f.axes.x = read_axis(nc.id, path, "x", dx);
    f.axes.y = read_axis(nc.id, path, "y", dy);
    if (static_cast<double>(f.axes.x.size()) * static_cast<double>(f.axes.y.size()) > static_cast<double>(max_volume_nodes))
        throw std::runtime_error(path + ": " + std::to_string(f.axes.x.size()) + " x " + std::to_string(f.axes.y.size()) +
                                 " columns are more than a plan of velmora's holds");
    for (const std::string& name : names) {
        int var = 0, rank = 0, dims[NC_MAX_VAR_DIMS];
        read_check(nc_inq_varid(nc.id, name.c_str(), &var), path, "no variable " + name);
        read_check(nc_inq_varndims(nc.id, var, &rank), path, "reading " + name);
        if (rank != 2) throw std::runtime_error(path + ": " + name + " is not a variable (y, x)");
        read_check(nc_inq_vardimid(nc.id, var, dims), path, "reading " + name);
        if (dims[0] != dy || dims[1] != dx) throw std::runtime_error(path + ": " + name + " is not a variable (y, x)");
        PlanFile::Variable v{name, text_attribute(nc.id, var, "units"), text_attribute(nc.id, var, "long_name"),
                             std::vector<float>(f.axes.x.size() * f.axes.y.size())};
        read_check(nc_get_var_float(nc.id, var, v.values.data()), path, "reading " + name);
        float fill = 0;
        if (nc_get_att_float(nc.id, var, "_FillValue", &fill) == NC_NOERR && !std::isnan(fill))
            for (float& x : v.values)
                if (x == fill) x = NAN;
        f.variables.push_back(std::move(v));
    }
    return f;
}

}  // namespace velmora
