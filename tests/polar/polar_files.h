// Small ODIM_H5 and CF/Radial volumes of known values as radar software writes them; the readers' shared checks.
#pragma once

#include <gtest/gtest.h>
#include <hdf5.h>
#include <netcdf.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app_test.h"
#include "polar/polar.h"

namespace polartest {

inline std::string error_of(const std::function<void()>& read) { return vtest::error_of<std::runtime_error>(read); }

// read throws a runtime_error that names path first and says message.
inline void expect_refused(const std::function<void()>& read, const std::string& path, const std::string& message) {
    const std::string m = error_of(read);
    EXPECT_TRUE(m.starts_with(path + ": ") && m.find(message) != std::string::npos) << m;
}

// A volume's file, field, units, site, start time (s since 1970) and beam width, each exactly.
inline void expect_volume(const velmora::polar::PolarVolume& v, const std::string& source, const char* field,
                          velmora::polar::Site site, double time, double beam_width) {
    EXPECT_EQ(std::tie(v.source, v.field, v.units), std::tie(source, field, "dBZ"));
    ASSERT_TRUE(v.site);
    EXPECT_EQ(std::tie(v.site->latitude, v.site->longitude, v.site->height),
              std::tie(site.latitude, site.longitude, site.height));
    EXPECT_EQ(v.time, time);
    EXPECT_EQ(v.beam_width, beam_width);
}

// A sweep's scheduled elevation (degrees), its gates, first gate range and spacing (m).
inline void expect_sweep(const velmora::polar::Sweep& s, double fixed_angle, int gates, double range_first,
                         double gate_spacing, double tolerance = 0) {
    EXPECT_NEAR(s.fixed_angle, fixed_angle, tolerance);
    EXPECT_EQ(s.gates, gates);
    EXPECT_EQ(s.range_first, range_first);
    EXPECT_EQ(s.gate_spacing, gate_spacing);
}

// One ray's gates: missing where want is NaN, else equal within tolerance.
inline void expect_ray(const velmora::polar::Sweep& s, std::size_t ray, const std::vector<float>& want,
                       float tolerance = 0) {
    ASSERT_GE(s.gates, static_cast<int>(want.size()));
    for (std::size_t g = 0; g < want.size(); ++g) {
        const float got = s.at(ray, g);
        EXPECT_TRUE(std::isnan(want[g]) ? std::isnan(got) : got == want[g] || std::abs(got - want[g]) <= tolerance)
            << "ray " << ray << " gate " << g << ": " << got << " instead of " << want[g];
    }
}

// A sweep's largest value and its gates of 40 dBZ and more.
inline std::pair<float, int> max_and_strong(const velmora::polar::Sweep& s) {
    float max = -1000;
    int strong = 0;
    for (float x : s.values)
        if (std::isfinite(x)) {
            max = std::max(max, x);
            strong += x >= 40;
        }
    return {max, strong};
}

// An HDF5 file being written; every call asserts success.
class H5File {
public:
    explicit H5File(const std::string& path) : id_(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT)) {
        EXPECT_GE(id_, 0) << path;
    }
    // An existing file, opened to be changed.
    enum class Existing { edit };
    H5File(const std::string& path, Existing) : id_(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT)) {
        EXPECT_GE(id_, 0) << path;
    }
    ~H5File() { H5Fclose(id_); }
    H5File(const H5File&) = delete;
    H5File& operator=(const H5File&) = delete;
    hid_t id() const { return id_; }

    // Scalars, or arrays of one, of the given file types.
    struct Number {
        const char* name;
        double value;
        hid_t type = H5T_NATIVE_DOUBLE;
        bool array = false;
    };
    void numbers(const std::string& at, std::initializer_list<Number> list) {
        for (const Number& n : list) numbers(at, n.name, {n.value}, n.type, n.array);
    }
    void numbers(const std::string& at, const char* name, const std::vector<double>& values,
                 hid_t type = H5T_NATIVE_DOUBLE, bool array = true) {
        const hsize_t n = values.size();
        attribute(at, name, type, array ? H5Screate_simple(1, &n, nullptr) : H5Screate(H5S_SCALAR), H5T_NATIVE_DOUBLE,
                  values.data());
    }

    // A string of fixed length (null-terminated, as ODIM asks) or variable length.
    void text(const std::string& at, const char* name, const std::string& value, bool variable = false,
              bool array = false) {
        hid_t type = H5Tcopy(H5T_C_S1);
        H5Tset_size(type, variable ? H5T_VARIABLE : value.size() + 1);
        const hsize_t one = 1;
        const char* p = value.c_str();
        attribute(at, name, type, array ? H5Screate_simple(1, &one, nullptr) : H5Screate(H5S_SCALAR), type,
                  variable ? static_cast<const void*>(&p) : p);
        H5Tclose(type);
    }

    // A string as HDF5 lets writers store it: of size bytes (0: variable length), padded with pad, in cset.
    void text_as(const std::string& at, const char* name, const std::string& value, std::size_t size, H5T_str_t pad,
                 H5T_cset_t cset) {
        hid_t type = H5Tcopy(H5T_C_S1);
        H5Tset_size(type, size ? size : H5T_VARIABLE);
        H5Tset_strpad(type, pad);
        H5Tset_cset(type, cset);
        std::string fixed = value;
        fixed.resize(std::max(size, value.size()), pad == H5T_STR_SPACEPAD ? ' ' : '\0');
        const char* p = value.c_str();
        attribute(at, name, type, H5Screate(H5S_SCALAR), type, size ? static_cast<const void*>(fixed.data()) : &p);
        H5Tclose(type);
    }

    void remove(const std::string& at, const char* name) {
        if (H5Aexists_by_name(id_, at.c_str(), name, H5P_DEFAULT) > 0) H5Adelete_by_name(id_, at.c_str(), name, H5P_DEFAULT);
    }

    // A rows x columns array (of one dimension without rows) of the given file type, deflated when asked.
    void array(const std::string& path, hsize_t rows, hsize_t columns, const std::vector<double>& values, hid_t type,
               bool deflate = false) {
        group(path.substr(0, path.rfind('/')));
        if (H5Lexists(id_, path.c_str(), H5P_DEFAULT) > 0) H5Ldelete(id_, path.c_str(), H5P_DEFAULT);
        const hsize_t dims[2] = {rows, columns};
        const int rank = rows ? 2 : 1;
        hid_t space = H5Screate_simple(rank, dims + 2 - rank, nullptr);
        hid_t plist = H5Pcreate(H5P_DATASET_CREATE);
        if (deflate) {
            H5Pset_chunk(plist, rank, dims + 2 - rank);
            H5Pset_deflate(plist, 6);
        }
        hid_t set = H5Dcreate2(id_, path.c_str(), type, space, H5P_DEFAULT, plist, H5P_DEFAULT);
        EXPECT_GE(set, 0) << path;
        EXPECT_GE(H5Dwrite(set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
        H5Dclose(set);
        H5Pclose(plist);
        H5Sclose(space);
    }

private:
    // A group and, first, its parents: H5Lexists fails on a path through a missing group.
    void group(const std::string& path) {
        const auto slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) group(path.substr(0, slash));
        if (H5Lexists(id_, path.c_str(), H5P_DEFAULT) > 0) return;
        hid_t g = H5Gcreate2(id_, path.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        EXPECT_GE(g, 0) << path;
        H5Gclose(g);
    }

    // Replaces any attribute of that name; takes the space.
    void attribute(const std::string& at, const char* name, hid_t type, hid_t space, hid_t memory, const void* data) {
        group(at);
        remove(at, name);
        hid_t attr = H5Acreate_by_name(id_, at.c_str(), name, type, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        EXPECT_GE(attr, 0) << at << "/" << name;
        EXPECT_GE(H5Awrite(attr, memory, data), 0);
        H5Aclose(attr);
        H5Sclose(space);
    }

    hid_t id_;
};

// An ODIM volume of 2020-01-02 03:04:05 UTC stored in the many ways real writers use: dataset2
// first, gain and offset at the dataset or data level, attributes as scalars or arrays of one.

inline void write_odim(H5File& f) {
    f.text("/what", "object", "PVOL");
    f.text("/what", "version", "H5rad 2.2");
    f.text("/what", "date", "20200102", true);
    f.text("/what", "time", "030405", false, true);
    f.text("/what", "source", "WMO:00000,NOD:xxtst");
    f.numbers("/where", {{"lat", 50.5, H5T_IEEE_F32LE, true}, {"lon", 6.25}, {"height", 120, H5T_STD_I32LE}});
    f.numbers("/how", {{"beamwH", 0.9}});

    f.numbers("/dataset2/where", {{"elangle", 1.5}, {"nrays", 4, H5T_STD_I64LE}, {"nbins", 3, H5T_STD_I64LE, true},
                                  {"rstart", 0.5}, {"rscale", 250, H5T_IEEE_F32LE}, {"a1gate", 2, H5T_STD_I64LE}});
    f.text("/dataset2/what", "product", "SCAN");
    f.text("/dataset2/data1/what", "quantity", "DBZH");
    f.numbers("/dataset2/data1/what", {{"gain", 0.5}, {"offset", -32}, {"nodata", 255}, {"undetect", 0}});
    f.array("/dataset2/data1/data", 4, 3, {0, 255, 100, 64, 65, 200, 1, 254, 2, 3, 4, 5}, H5T_STD_U8LE);
    f.text("/dataset2/data2/what", "quantity", "VRADH", true);
    f.numbers("/dataset2/data2/what", {{"gain", 0.1}, {"offset", 0}, {"nodata", -32768}, {"undetect", 0}});
    f.array("/dataset2/data2/data", 4, 3, {-100, 50, 0, 1, 2, 3, 4, 5, 6, 7, 8, -32768}, H5T_STD_I16LE);

    f.numbers("/dataset1/where", {{"elangle", 0.5, H5T_IEEE_F32LE, true}, {"nrays", 6, H5T_STD_I32LE, true},
                                  {"nbins", 5, H5T_STD_U16LE}, {"rstart", 0}, {"rscale", 1000}});
    f.text("/dataset1/what", "startdate", "20200102");
    f.text("/dataset1/what", "starttime", "030410");
    f.numbers("/dataset1/what", {{"gain", 2}, {"offset", 0}, {"nodata", 255}, {"undetect", 0}});
    f.text("/dataset1/data1/what", "quantity", "DBZH");
    f.numbers("/dataset1/data1/what", {{"gain", 0.5, H5T_IEEE_F32LE}, {"offset", -32, H5T_STD_I8LE}});
    f.numbers("/dataset1/how", "startazA", {350, 50, 110, 170, 230, 290});
    f.numbers("/dataset1/how", "stopazA", {50, 110, 170, 230, 290, 350}, H5T_IEEE_F32LE);
    f.numbers("/dataset1/how", "elangles", {0.4, 0.5, 0.6, 0.5, 0.5, 0.5});
    std::vector<double> raw1;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 5; ++g) raw1.push_back(40 + 10 * r + g);
    f.array("/dataset1/data1/data", 6, 5, raw1, H5T_STD_I16LE);

    f.numbers("/dataset3/where", {{"elangle", 2.5}, {"nrays", 2}, {"nbins", 2}, {"rstart", 0}, {"rscale", 100}});
    f.text("/dataset3/data1/what", "quantity", "VRADH");
    f.numbers("/dataset3/data1/what", {{"gain", 1}, {"offset", 0}, {"nodata", 255}, {"undetect", 0}});
    f.array("/dataset3/data1/data", 2, 2, {1, 2, 3, 4}, H5T_STD_U8LE);

    f.numbers("/dataset10/where", {{"elangle", 3.0}, {"nrays", 3}, {"nbins", 4}, {"rstart", 2}, {"rscale", 500}});
    f.text("/dataset10/data1/what", "quantity", "DBZH");
    f.numbers("/dataset10/data1/what", {{"gain", 1}, {"offset", 0}, {"nodata", -9999.9}, {"undetect", -8888}});
    std::vector<double> raw10;
    for (int r = 0; r < 3; ++r)
        for (int g = 0; g < 4; ++g) raw10.push_back(r * 4 + g + 0.25);
    raw10[0] = -9999.9;
    raw10[11] = -8888;
    f.array("/dataset10/data1/data", 3, 4, raw10, H5T_IEEE_F32LE, true);
}

inline void write_odim(const std::string& path) {
    H5File f(path);
    write_odim(f);
}

// The reflectivity (dBZ) and radial velocity (m/s) of a scene at a gate of azimuth and elevation (degrees) and
// range (m); kSceneNone for none.
using SceneGate = std::function<std::pair<double, double>(double azimuth, double elevation, double range)>;
inline constexpr double kSceneNone = -9000;

// An ODIM volume of 2020-01-02 at hhmmss from a radar at 35 N, 97 W, 100 m: a sweep at each of elevations, 360
// rays of gates gates spacing m long from the radar, Nyquist velocity nyquist; DBZH and, with velocity, VRADH
// from gate at each gate's centre.
inline void write_scene(const std::string& path, const std::string& hhmmss, const std::vector<double>& elevations,
                        int gates, double spacing, double nyquist, bool velocity, const SceneGate& gate) {
    H5File f(path);
    f.text("/what", "object", "PVOL");
    f.text("/what", "version", "H5rad 2.2");
    f.text("/what", "date", "20200102");
    f.text("/what", "time", hhmmss);
    f.text("/what", "source", "NOD:xxtst");
    f.numbers("/where", {{"lat", 35.0}, {"lon", -97.0}, {"height", 100}});
    constexpr int rays = 360;
    for (std::size_t n = 0; n < elevations.size(); ++n) {
        const double e = elevations[n];
        const std::string at = "/dataset" + std::to_string(n + 1);
        f.numbers(at + "/where", {{"elangle", e}, {"nrays", rays}, {"nbins", double(gates)}, {"rstart", 0}, {"rscale", spacing}});
        f.text(at + "/what", "product", "SCAN");
        f.numbers(at + "/how", {{"NI", nyquist}});
        std::vector<double> z, v;
        for (int r = 0; r < rays; ++r)
            for (int g = 0; g < gates; ++g) {
                const auto [dbz, radial] = gate(r + 0.5, e, 125 + g * spacing);
                z.push_back(dbz);
                v.push_back(radial);
            }
        f.text(at + "/data1/what", "quantity", "DBZH");
        f.numbers(at + "/data1/what", {{"gain", 1}, {"offset", 0}, {"nodata", -9999}, {"undetect", kSceneNone}});
        f.array(at + "/data1/data", rays, gates, z, H5T_IEEE_F32LE);
        if (!velocity) continue;
        f.text(at + "/data2/what", "quantity", "VRADH");
        f.numbers(at + "/data2/what", {{"gain", 1}, {"offset", 0}, {"nodata", -9999}, {"undetect", kSceneNone}});
        f.array(at + "/data2/data", rays, gates, v, H5T_IEEE_F32LE);
    }
}

// A NetCDF file being written; every call asserts success.
class NcWriter {
public:
    explicit NcWriter(const std::string& path, int mode = NC_NETCDF4) {
        EXPECT_EQ(nc_create(path.c_str(), NC_CLOBBER | mode, &id), NC_NOERR) << path;
    }
    ~NcWriter() { nc_close(id); }
    NcWriter(const NcWriter&) = delete;
    NcWriter& operator=(const NcWriter&) = delete;
    int dim(const char* name, std::size_t len) {
        int d;
        EXPECT_EQ(nc_def_dim(id, name, len, &d), NC_NOERR) << name;
        return d;
    }
    // A variable with its text attributes; its values are written by enddef.
    int var(const char* name, nc_type type, std::vector<int> dims, std::vector<double> values = {},
            const std::vector<std::pair<const char*, std::string>>& texts = {}) {
        int v;
        EXPECT_EQ(nc_def_var(id, name, type, static_cast<int>(dims.size()), dims.data(), &v), NC_NOERR) << name;
        for (const auto& [attribute, value] : texts) text(v, attribute, value);
        if (!values.empty()) values_.emplace_back(v, std::move(values));
        return v;
    }
    void text(int var, const char* name, const std::string& value) {
        EXPECT_EQ(nc_put_att_text(id, var, name, value.size(), value.c_str()), NC_NOERR) << name;
    }
    void number(int var, const char* name, nc_type type, double value) {
        EXPECT_EQ(nc_put_att_double(id, var, name, type, 1, &value), NC_NOERR) << name;
    }
    void enddef() {
        EXPECT_EQ(nc_enddef(id), NC_NOERR);
        for (const auto& [var, values] : values_) EXPECT_EQ(nc_put_var_double(id, var, values.data()), NC_NOERR);
    }
    int id = -1;

private:
    std::vector<std::pair<int, std::vector<double>>> values_;
};

// What the CF/Radial volume of the tests may be changed in.
struct CfRadialLayout {
    std::vector<double> range = {125, 375, 625, 875, 1125};
    std::vector<double> start = {0, 4};  // sweep_start_ray_index
    std::vector<double> end = {3, 6};    // sweep_end_ray_index, inclusive
    bool standard_name = true;           // Zh says it is the reflectivity
    int format = NC_NETCDF4;
    std::vector<double> elevation = {0.4, 0.5, 0.5, 0.6, 1.5, 1.5, 1.4};
    std::vector<double> fixed = {};      // fixed_angle; empty: 0.5, 1.5, ...
    double latitude = -12.25;
    std::vector<double> dbz_missing = {};   // missing_value of DBZ
    std::vector<double> dbz_valid = {};     // valid_range of DBZ
};

// A CF/Radial 1.4 volume of two sweeps (rays 0-3, 4-6) by 5 gates: Zh packed, raw 100 r + 10 g
// with the last two gates of ray 6 fill; DBZ all 99 but gate (0, 0) 20; VEL r - g with gate (1, 1) fill.
inline void write_cfradial(const std::string& path, const CfRadialLayout& l = {}) {
    const std::size_t gates = l.range.size();
    std::vector<double> zh, vel, numbers, fixed;
    for (std::size_t r = 0; r < 7; ++r)
        for (std::size_t g = 0; g < gates; ++g) {
            zh.push_back(r == 6 && g + 2 >= gates ? -32768 : 100.0 * r + 10.0 * g);
            vel.push_back(r == 1 && g == 1 ? -9999 : static_cast<double>(r) - static_cast<double>(g));
        }
    for (std::size_t i = 0; i < l.start.size(); ++i) {
        numbers.push_back(static_cast<double>(i));
        fixed.push_back(i < l.fixed.size() ? l.fixed[i] : static_cast<double>(i) + 0.5);
    }
    NcWriter w(path, l.format);
    w.text(NC_GLOBAL, "Conventions", "CF/Radial instrument_parameters");
    w.text(NC_GLOBAL, "version", "1.4");
    const int time = w.dim("time", 7), range = w.dim("range", gates), sweep = w.dim("sweep", l.start.size());
    w.var("time", NC_DOUBLE, {time}, {7, 8, 9, 10, 20, 21, 22},
          {{"units", "seconds since 2021-03-04T05:06:00Z"}, {"standard_name", "time"}});
    w.number(w.var("range", NC_FLOAT, {range}, l.range, {{"units", "meters"}}), "meters_to_center_of_first_gate",
             NC_FLOAT, l.range.front());
    const int vstart = w.var("time_coverage_start", NC_CHAR, {w.dim("string_length", 32)});
    w.var("azimuth", NC_FLOAT, {time}, {0.5, 90.5, 180.5, 270.5, 359.75, 120, 240});
    w.var("elevation", NC_FLOAT, {time}, l.elevation);
    w.var("fixed_angle", NC_FLOAT, {sweep}, fixed);
    w.var("sweep_number", NC_INT, {sweep}, numbers);
    w.var("sweep_start_ray_index", NC_INT, {sweep}, l.start);
    w.var("sweep_end_ray_index", NC_INT, {sweep}, l.end);
    w.var("latitude", NC_DOUBLE, {}, {l.latitude});
    w.var("longitude", NC_DOUBLE, {}, {131.04});
    w.var("altitude", NC_DOUBLE, {}, {42});
    w.var("radar_beam_width_h", NC_FLOAT, {}, {0.95});
    const int vzh = w.var("Zh", NC_SHORT, {time, range}, zh, {{"units", "dBZ"}});
    w.number(vzh, "_FillValue", NC_SHORT, -32768);
    w.number(vzh, "scale_factor", NC_FLOAT, 0.01);
    w.number(vzh, "add_offset", NC_FLOAT, 10);
    if (l.standard_name) w.text(vzh, "standard_name", "equivalent_reflectivity_factor");
    std::vector<double> dbz_values(7 * gates, 99);
    dbz_values[0] = 20;
    const int dbz = w.var("DBZ", NC_FLOAT, {time, range}, dbz_values, {{"units", "dBZ"}});
    for (const auto& [name, values] : {std::pair{"missing_value", l.dbz_missing}, std::pair{"valid_range", l.dbz_valid}})
        if (!values.empty()) {
            EXPECT_EQ(nc_put_att_double(w.id, dbz, name, NC_FLOAT, values.size(), values.data()), NC_NOERR);
        }
    w.number(w.var("VEL", NC_FLOAT, {time, range}, vel, {{"units", "m/s"}}), "_FillValue", NC_FLOAT, -9999);
    w.enddef();
    const std::string start = "2021-03-04T05:06:07Z";
    const std::size_t from = 0, count = start.size();
    EXPECT_EQ(nc_put_vara_text(w.id, vstart, &from, &count, start.c_str()), NC_NOERR);
}

}  // namespace polartest
