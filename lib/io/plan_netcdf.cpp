#include "io/plan_netcdf.h"

#include <netcdf.h>
#include <netcdf_mem.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
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

}  // namespace velmora
