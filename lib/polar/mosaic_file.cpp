// A mosaic written as NetCDF (mosaic.h): the grid as write_netcdf lays it
// out, and what the mosaic says of itself beside it.
#include <netcdf.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/output_files.h"
#include "io/winds.h"
#include "polar/mosaic.h"

namespace velmora::polar {
namespace {

void check(int status, const std::string& path, const std::string& doing) {
    if (status != NC_NOERR) throw WriteFailed("can not write " + path + ": " + doing + ": " + nc_strerror(status));
}

void put_text(int nc, int var, const char* name, const std::string& text) {
    nc_put_att_text(nc, var, name, text.size(), text.c_str());
}

struct MosaicVars {
    int count = -1, kept = -1, name = -1, lat = -1, lon = -1, alt = -1, time = -1, adjust = -1;
    int a = -1, b = -1, median = -1, voxels = -1;
};

int variable(int nc, const std::string& path, const char* name, nc_type type, std::vector<int> dims, const char* units,
             const char* long_name) {
    int id = -1;
    check(nc_def_var(nc, name, type, static_cast<int>(dims.size()), dims.data(), &id), path,
          std::string("defining ") + name);
    if (units[0] != '\0') put_text(nc, id, "units", units);
    put_text(nc, id, "long_name", long_name);
    return id;
}

MosaicVars define_mosaic(int nc, const std::string& path, const Mosaic& m) {
    int time = 0, z = 0, y = 0, x = 0, radar = 0, chars = 0, overlap = 0, zvar = 0;
    for (auto [name, id] : {std::pair{"time", &time}, {"z", &z}, {"y", &y}, {"x", &x}})
        check(nc_inq_dimid(nc, name, id), path, "finding its dimensions");
    check(nc_redef(nc), path, "reopening the header");
    std::size_t longest = 1;
    for (const MosaicRadar& r : m.radars) longest = std::max(longest, r.name.size());
    check(nc_def_dim(nc, "radar", m.radars.size(), &radar), path, "defining radar");
    check(nc_def_dim(nc, "radar_name_length", longest, &chars), path, "defining radar_name_length");
    check(nc_def_dim(nc, "overlap", m.overlaps.size(), &overlap), path, "defining overlap");
    MosaicVars v;
    v.count = variable(nc, path, "radar_count", NC_UBYTE, {time, z, y, x}, "", "number of radars that saw the point");
    v.kept = variable(nc, path, "kept_radar", NC_BYTE, {time, z, y, x}, "",
                      "index along radar of the radar whose view was kept, -1 none");
    const signed char none = -1;
    nc_put_att_schar(nc, v.kept, "_FillValue", NC_BYTE, 1, &none);
    nc_def_var_deflate(nc, v.count, 1, 1, 1);
    nc_def_var_deflate(nc, v.kept, 1, 1, 1);
    v.name = variable(nc, path, "radar_name", NC_CHAR, {radar, chars}, "", "the radar's file name");
    v.lat = variable(nc, path, "radar_latitude", NC_DOUBLE, {radar}, "degrees_north", "radar latitude");
    v.lon = variable(nc, path, "radar_longitude", NC_DOUBLE, {radar}, "degrees_east", "radar longitude");
    v.alt = variable(nc, path, "radar_altitude", NC_DOUBLE, {radar}, "m", "antenna height above mean sea level");
    v.time = variable(nc, path, "radar_time", NC_DOUBLE, {radar}, "seconds since 1970-01-01T00:00:00Z",
                      "start of the radar's volume");
    const double no_time = NAN;
    nc_put_att_double(nc, v.time, "_FillValue", NC_DOUBLE, 1, &no_time);
    v.adjust = variable(nc, path, "radar_adjustment", NC_DOUBLE, {radar}, "dB", "added to the radar's values");
    v.a = variable(nc, path, "overlap_radar_a", NC_INT, {overlap}, "", "index along radar of the first radar");
    v.b = variable(nc, path, "overlap_radar_b", NC_INT, {overlap}, "", "index along radar of the second radar");
    v.median = variable(nc, path, "overlap_median_difference", NC_DOUBLE, {overlap}, "dB",
                        "median of the first radar's value minus the second's where both see echo, as measured");
    v.voxels = variable(nc, path, "overlap_count", NC_INT64, {overlap}, "", "points both radars see with echo");
    check(nc_inq_varid(nc, "z", &zvar), path, "finding z");
    put_text(nc, zvar, "long_name", "height above mean sea level");
    put_text(nc, zvar, "positive", "up");
    put_text(nc, NC_GLOBAL, "height_reference", "mean sea level");
    put_text(nc, NC_GLOBAL, "mosaic_combination", combine_name(m.combine));
    nc_put_att_double(nc, NC_GLOBAL, "volume_time_spread_seconds", NC_DOUBLE, 1, &m.time_spread);
    check(nc_enddef(nc), path, "writing the header");
    return v;
}

void put_mosaic(int nc, const std::string& path, const Mosaic& m, const MosaicVars& v) {
    check(nc_put_var_uchar(nc, v.count, m.seen_by.data()), path, "writing radar_count");
    check(nc_put_var_schar(nc, v.kept, reinterpret_cast<const signed char*>(m.kept.data())), path, "writing kept_radar");
    for (std::size_t r = 0; r < m.radars.size(); ++r) {
        const MosaicRadar& radar = m.radars[r];
        const std::size_t start[2] = {r, 0}, count[2] = {1, radar.name.size()};
        check(nc_put_vara_text(nc, v.name, start, count, radar.name.c_str()), path, "writing radar_name");
        const double time = radar.time.value_or(NAN);
        for (auto [id, value] : {std::pair{v.lat, radar.site.latitude}, {v.lon, radar.site.longitude},
                                 {v.alt, radar.site.height}, {v.time, time}, {v.adjust, radar.adjustment}})
            check(nc_put_var1_double(nc, id, &r, &value), path, "writing the radars");
    }
    for (std::size_t i = 0; i < m.overlaps.size(); ++i) {
        const Overlap& p = m.overlaps[i];
        const int a = static_cast<int>(p.a), b = static_cast<int>(p.b);
        const long long voxels = p.count;
        check(nc_put_var1_int(nc, v.a, &i, &a), path, "writing the overlaps");
        check(nc_put_var1_int(nc, v.b, &i, &b), path, "writing the overlaps");
        check(nc_put_var1_double(nc, v.median, &i, &p.median), path, "writing the overlaps");
        check(nc_put_var1_longlong(nc, v.voxels, &i, &voxels), path, "writing the overlaps");
    }
}

}  // namespace

void write_mosaic(const std::string& path, const Mosaic& m) {
    write_netcdf(path, m.grid, {}, [&](int nc) {
        const MosaicVars v = define_mosaic(nc, path, m);
        put_mosaic(nc, path, m, v);
    });
}

}  // namespace velmora::polar
