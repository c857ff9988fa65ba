// A volume written as NetCDF-4. The file is made in memory and written out
// by velmora itself: HDF5 writes the chunks of a file only as it closes it,
// and a close that fails for a full disk leaves the library with a file it
// can neither finish nor forget (it crashed at exit). Written out, the bytes
// go to a temporary name and are renamed into place, so a write that fails
// leaves the earlier file as it was.
#include <netcdf.h>
#include <netcdf_mem.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "io/file_handles.h"
#include "io/output_files.h"
#include "io/volume.h"
#include "io/winds.h"

namespace velmora {

namespace {

void check(int status, const std::string& path, const std::string& doing) {
    if (status != NC_NOERR) throw WriteFailed("can not write " + path + ": " + doing + ": " + nc_strerror(status));
}

void put_text(int nc, int var, const char* name, const std::string& text) {
    nc_put_att_text(nc, var, name, text.size(), text.c_str());
}

struct VolumeVars {
    int x = -1, y = -1, z = -1, values = -1, time = -1, lat = -1, lon = -1;
};

// The dimensions, variables and attributes of v: the header of the file.
VolumeVars define_volume(int nc, const std::string& path, const Volume& v) {
    int dt = 0, dz = 0, dy = 0, dx = 0;
    check(nc_def_dim(nc, "time", 1, &dt), path, "defining time");
    check(nc_def_dim(nc, "z", v.z.size(), &dz), path, "defining z");
    check(nc_def_dim(nc, "y", v.y.size(), &dy), path, "defining y");
    check(nc_def_dim(nc, "x", v.x.size(), &dx), path, "defining x");
    VolumeVars ids;
    auto axis = [&](const char* name, int dim, int& id) {
        check(nc_def_var(nc, name, NC_FLOAT, 1, &dim, &id), path, std::string("defining ") + name);
        put_text(nc, id, "units", "m");
        put_text(nc, id, "axis", name[0] == 'x' ? "X" : name[0] == 'y' ? "Y" : "Z");
    };
    axis("x", dx, ids.x);
    axis("y", dy, ids.y);
    axis("z", dz, ids.z);
    const int dd[4] = {dt, dz, dy, dx};
    const std::string name = v.name.empty() ? std::string(options::text("analyze", "var")) : v.name;
    check(nc_def_var(nc, name.c_str(), NC_FLOAT, 4, dd, &ids.values), path, "defining " + name);
    nc_def_var_deflate(nc, ids.values, 1, 1, 1);
    const float fill = v.null_value;
    nc_put_att_float(nc, ids.values, "_FillValue", NC_FLOAT, 1, &fill);
    nc_put_att_float(nc, ids.values, "missing_value", NC_FLOAT, 1, &fill);
    put_text(nc, ids.values, "units", v.units.empty() ? "dBZ" : v.units);
    // Only a reflectivity is called one: a velocity keeps its own name alone.
    if (v.units.empty() || v.units.find("dBZ") != std::string::npos) put_text(nc, ids.values, "long_name", "Reflectivity");
    if (v.time) {
        check(nc_def_var(nc, "time", NC_DOUBLE, 1, &dt, &ids.time), path, "defining time");
        put_text(nc, ids.time, "units", "seconds since 1970-01-01T00:00:00Z");
        put_text(nc, ids.time, "calendar", "gregorian");
        put_text(nc, ids.time, "standard_name", "time");
    }
    if (v.origin) {
        check(nc_def_var(nc, "origin_latitude", NC_DOUBLE, 1, &dt, &ids.lat), path, "defining origin_latitude");
        put_text(nc, ids.lat, "units", "degrees_north");
        check(nc_def_var(nc, "origin_longitude", NC_DOUBLE, 1, &dt, &ids.lon), path, "defining origin_longitude");
        put_text(nc, ids.lon, "units", "degrees_east");
    }
    check(nc_enddef(nc), path, "writing the header");
    return ids;
}

void put_values(int nc, const std::string& path, const Volume& v, const VolumeVars& ids) {
    if (v.time) check(nc_put_var_double(nc, ids.time, &*v.time), path, "writing time");
    if (v.origin) {
        check(nc_put_var_double(nc, ids.lat, &v.origin->lat), path, "writing origin_latitude");
        check(nc_put_var_double(nc, ids.lon, &v.origin->lon), path, "writing origin_longitude");
    }
    auto metres = [](const std::vector<float>& km) {
        std::vector<float> m(km.size());
        for (std::size_t i = 0; i < km.size(); ++i) m[i] = km[i] * 1000.0f;
        return m;
    };
    check(nc_put_var_float(nc, ids.x, metres(v.x).data()), path, "writing x");
    check(nc_put_var_float(nc, ids.y, metres(v.y).data()), path, "writing y");
    check(nc_put_var_float(nc, ids.z, metres(v.z).data()), path, "writing z");
    check(nc_put_var_float(nc, ids.values, v.values.data()), path, "writing " + (v.name.empty() ? std::string(options::text("analyze", "var")) : v.name));
}

// Further variables on the volume's dimensions, in a header reopened for them.
std::vector<int> define_extra(int nc, const std::string& path, const VolumeVars& ids, std::span<const ExtraVariable> extra) {
    std::vector<int> out;
    if (extra.empty()) return out;
    int dims[4] = {0, 0, 0, 0};
    check(nc_inq_vardimid(nc, ids.values, dims), path, "reading its dimensions");
    check(nc_redef(nc), path, "reopening the header");
    for (const auto& e : extra) {
        int id = -1;
        check(nc_def_var(nc, e.name.c_str(), NC_FLOAT, 4, dims, &id), path, "defining " + e.name);
        nc_def_var_deflate(nc, id, 1, 1, 1);
        put_text(nc, id, "units", e.units);
        put_text(nc, id, "long_name", e.long_name);
        if (!e.comment.empty()) put_text(nc, id, "comment", e.comment);
        if (e.fill) {
            nc_put_att_float(nc, id, "_FillValue", NC_FLOAT, 1, &*e.fill);
            nc_put_att_float(nc, id, "missing_value", NC_FLOAT, 1, &*e.fill);
        }
        out.push_back(id);
    }
    check(nc_enddef(nc), path, "writing the header");
    return out;
}

}  // namespace

void write_netcdf(const std::string& path, const Volume& v) { write_netcdf(path, v, {}); }

void write_netcdf(const std::string& path, const Volume& v, std::span<const ExtraVariable> extra) {
    write_netcdf(path, v, extra, {});
}

void write_netcdf(const std::string& path, const Volume& v, std::span<const ExtraVariable> extra,
                  const std::function<void(int)>& more) {
    // Refused before the file is made when the path cannot take it.
    if (auto problem = output_file_problem(path)) throw OutputRefused(*problem);
    for (const auto& e : extra)
        if (e.values.size() != v.values.size()) throw std::invalid_argument(e.name + " is not on the volume's grid");
    NC_memio image{};
    {
        NcFile nc;
        check(nc_create_mem(path.c_str(), NC_NETCDF4, 0, &nc.id), path, "creating it");
        const VolumeVars ids = define_volume(nc.id, path, v);
        std::vector<int> extra_ids = define_extra(nc.id, path, ids, extra);
        put_values(nc.id, path, v, ids);
        for (std::size_t i = 0; i < extra.size(); ++i)
            check(nc_put_var_float(nc.id, extra_ids[i], extra[i].values.data()), path, "writing " + extra[i].name);
        if (more) more(nc.id);
        check(nc_close_memio(std::exchange(nc.id, -1), &image), path, "making it");
    }
    const std::unique_ptr<void, decltype(&std::free)> held(image.memory, &std::free);
    write_file(path, [&image](std::FILE* f) { std::fwrite(image.memory, 1, image.size, f); });
}

}  // namespace velmora
