// Radar volumes from NetCDF files: the layouts radar toolkits write.
#include "volume.h"

#include <gtest/gtest.h>
#include <vtkFloatArray.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkXMLImageDataWriter.h>
#include <netcdf.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>

#include "field_ref.h"
#include "host.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using vtest::TempDir;


// A 3 x 2 x 2 file: variable `ze` as short packed values or floats.
struct SmallFile {
    bool time_axis = true;
    bool packed = false;
    const char* xy_units = "km";
    std::vector<float> z_values{0.5f, 1.5f};
    bool units_as_string = false;   // "units" of x and y stored as NetCDF-4 strings
    bool x_on_another_dim = false;   // the variable x lies on a dimension of 4
    bool xyz_order = false;          // ze stored on (x, y, z)
    float last_value = -9999.0f;     // the value of the last node
    int times = 1;                   // time steps; step t adds 100 t to the values

    void write(const std::string& path) const {
        int nc = 0, dt = 0, dz = 0, dy = 0, dx = 0, vx = 0, vy = 0, vz = 0, v = 0;
        ASSERT_EQ(nc_create(path.c_str(), NC_CLOBBER | NC_NETCDF4, &nc), NC_NOERR);
        if (time_axis) nc_def_dim(nc, "time", static_cast<size_t>(times), &dt);
        nc_def_dim(nc, "z", 2, &dz);
        nc_def_dim(nc, "y", 2, &dy);
        nc_def_dim(nc, "x", 3, &dx);
        int dx4 = dx;
        if (x_on_another_dim) nc_def_dim(nc, "x4", 4, &dx4);
        nc_def_var(nc, "x", NC_FLOAT, 1, &dx4, &vx);
        nc_def_var(nc, "y", NC_FLOAT, 1, &dy, &vy);
        nc_def_var(nc, "z", NC_FLOAT, 1, &dz, &vz);
        if (units_as_string) {
            const char* text = xy_units;
            nc_put_att_string(nc, vx, "units", 1, &text);
            nc_put_att_string(nc, vy, "units", 1, &text);
        } else {
            nc_put_att_text(nc, vx, "units", std::strlen(xy_units), xy_units);
            nc_put_att_text(nc, vy, "units", std::strlen(xy_units), xy_units);
        }
        nc_put_att_text(nc, vz, "units", 2, "km");
        int dims[4] = {dt, dz, dy, dx};
        if (xyz_order) dims[1] = dx, dims[3] = dz;
        int* d = time_axis ? dims : dims + 1;
        int nd = time_axis ? 4 : 3;
        if (packed) {
            nc_def_var(nc, "ze", NC_SHORT, nd, d, &v);
            short fill = -32768;
            float scale = 0.5f, offset = 10.0f;
            nc_put_att_short(nc, v, "_FillValue", NC_SHORT, 1, &fill);
            nc_put_att_float(nc, v, "scale_factor", NC_FLOAT, 1, &scale);
            nc_put_att_float(nc, v, "add_offset", NC_FLOAT, 1, &offset);
        } else {
            nc_def_var(nc, "ze", NC_FLOAT, nd, d, &v);
            float missing = -9999.0f;
            nc_put_att_float(nc, v, "missing_value", NC_FLOAT, 1, &missing);
        }
        nc_put_att_text(nc, v, "units", 3, "dBZ");
        nc_enddef(nc);
        float x[4] = {-1, 0, 1, 2}, y[2] = {5, 7};
        if (std::string(xy_units) == "m") x[0] = -1000, x[1] = 0, x[2] = 1000, y[0] = 5000, y[1] = 7000;
        nc_put_var_float(nc, vx, x);
        nc_put_var_float(nc, vy, y);
        nc_put_var_float(nc, vz, z_values.data());
        if (packed) {
            short raw[12] = {0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, -32768};
            nc_put_var_short(nc, v, raw);
        } else {
            std::vector<float> raw;
            for (int t = 0; t < times; ++t)
                for (float x : {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f, 9.0f, 10.0f})
                    raw.push_back(x + 100.0f * static_cast<float>(t));
            raw.insert(raw.begin() + 11, last_value);
            for (int t = 1; t < times; ++t) raw.insert(raw.begin() + 12 * t + 11, last_value);
            nc_put_var_float(nc, v, raw.data());
        }
        nc_close(nc);
    }
};

// Writes the file into dir and reads its variable ze.
velmora::app::Volume written_and_read(const TempDir& dir, const SmallFile& f, const std::string& name) {
    f.write(dir.file(name));
    return velmora::app::read_netcdf(dir.file(name), "ze");
}

TEST(RadarVolume, ReadsBothLayoutsUnitsFillAndPacking) {
    TempDir dir;
    const velmora::app::Volume a = written_and_read(dir, SmallFile{}, "plain.nc");
    EXPECT_EQ(a.x, (std::vector<float>{-1, 0, 1}));
    EXPECT_EQ(a.y, (std::vector<float>{5, 7}));
    EXPECT_TRUE(a.has_null);
    EXPECT_EQ(a.null_value, -9999.0f);
    EXPECT_EQ(a.values[10], 10.0f);
    EXPECT_EQ(a.values[11], -9999.0f);
    EXPECT_EQ(a.units, "dBZ");
    // No time axis, metres: the same volume in km.
    const velmora::app::Volume b = written_and_read(dir, SmallFile{.time_axis = false, .xy_units = "m"}, "metres.nc");
    EXPECT_EQ(std::tie(b.x, b.y, b.values), std::tie(a.x, a.y, a.values));
    // Packed: raw * 0.5 + 10, the packed fill value is missing data.
    const velmora::app::Volume c = written_and_read(dir, SmallFile{.packed = true}, "packed.nc");
    EXPECT_EQ(c.values[0], 10.0f);
    EXPECT_EQ(c.values[10], 20.0f);
    EXPECT_TRUE(c.has_null);
    EXPECT_EQ(c.values[11], c.null_value);
    // Units stored as NetCDF-4 strings are read (km, not m); an infinite value is missing data.
    EXPECT_EQ(written_and_read(dir, SmallFile{.units_as_string = true}, "strings.nc").x, a.x);
    const velmora::app::Volume inf = written_and_read(dir, SmallFile{.last_value = INFINITY}, "infinite.nc");
    EXPECT_EQ(inf.values[11], inf.null_value);
}

TEST(RadarVolume, FieldIsUniformWhenEvenlySpacedElseRectilinear) {
    TempDir dir;
    vhost::host().reset();
    vhost::FieldRef r(velmora::app::add_volume_field(vhost::host().root(), "grid", written_and_read(dir, SmallFile{}, "even.nc")));
    EXPECT_EQ(r.dims(), (std::vector<std::int64_t>{3, 2, 2}));
    EXPECT_EQ(r.points(), (std::vector<float>{-1, 5, 0.5f, 1, 7, 1.5f}));
    EXPECT_EQ(r.object().at("uniform").int_value(), 1);
    EXPECT_TRUE(r.null_flag(0));
    EXPECT_EQ(r.label(0), "ze");
    // Stretched levels stay exact as explicit coordinates.
    velmora::app::Volume v;
    v.name = "ze";
    v.x = {0, 1, 2};
    v.y = {0, 1};
    v.z = {0.5f, 1.0f, 3.0f};
    v.values.assign(18, 1.0f);
    vhost::FieldRef g(velmora::app::add_volume_field(vhost::host().root(), "g2", v));
    EXPECT_EQ(g.object().at("uniform").int_value(), 0);
    ASSERT_EQ(g.coord().size(), 54u);
    EXPECT_EQ(g.coord()[3 * 12 + 2], 3.0f);
    EXPECT_FALSE(g.null_flag(0));
    vhost::host().reset();
}

std::string refusal(const std::string& path, std::int64_t max_nodes = velmora::app::max_volume_nodes,
                    const std::string& variable = "ze") {
    try {
        velmora::app::read_volume(path, variable, {}, velmora::app::kOnlyTime, max_nodes);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

// A classic (CDF-1) file, byte by byte: one dimension x of 2 and the
// variable DT on it with the given type code; dims is the count of the
// dimension list as the header gives it.
std::string classic_file(std::uint32_t type, std::uint32_t dims = 1) {
    std::string b = "CDF\x01";
    auto u32 = [&b](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) b += static_cast<char>((v >> s) & 0xFF);
    };
    u32(0);                          // records
    u32(0x0A), u32(dims);            // dimensions
    u32(1), b += std::string("x\0\0\0", 4), u32(2);   //   x = 2
    u32(0), u32(0);                  // no global attributes
    u32(0x0B), u32(1);               // variables
    u32(2), b += std::string("DT\0\0", 4);            //   DT
    u32(1), u32(0);                  //   on x
    u32(0), u32(0);                  //   no attributes
    u32(type), u32(8);               //   its type, its size
    u32(static_cast<std::uint32_t>(b.size() + 4));   // where its values begin
    b += std::string(8, '\0');
    return b;
}

// Damaged classic headers the NetCDF library would trust: a type code it
// takes a size of 0 for (and divides by), a count of dimensions it would
// allocate and seek through. Refused before the library parses them.
TEST(RadarVolume, DamagedClassicHeadersAreRefusedBeforeTheLibraryReadsThem) {
    TempDir dir;
    auto message = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir.file(name), std::ios::binary) << bytes;
        try {
            velmora::app::read_netcdf(dir.file(name), "DT");
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message("string.nc", classic_file(12)),
              dir.file("string.nc") + ": not a valid NetCDF file: variable \"DT\" has type code 12, which no CDF-1 file holds");
    EXPECT_EQ(message("dims.nc", classic_file(5, 0x00FFFF03)),
              dir.file("dims.nc") + ": not a valid NetCDF file: it counts 16776963 dimensions, more than its 88 bytes can hold");
    // The same header with a float variable is a classic file as any other.
    EXPECT_NE(message("float.nc", classic_file(5)).find("variable DT has 1 dimensions"), std::string::npos);
}

const char* const kImage =
    R"(<?xml version="1.0"?><VTKFile type="ImageData" version="1.0"><ImageData WholeExtent="0 2 0 1 0 1" )"
    R"(Origin="0 0 0" Spacing="1 1 1"><Piece Extent="0 2 0 1 0 1"><PointData><DataArray type="Float32" )"
    R"(Name="ze" format="ascii">)";

// Files made to mislead the reader, or simply bad: refused with a message
// naming what is wrong, or read as they mean, never past an array.
TEST(RadarVolume, BadAndMisleadingFilesAreRefusedOrReadAsTheyMean) {
    TempDir dir;
    SmallFile{}.write(dir.file("f.nc"));
    SmallFile{.z_values = {1.5f, 0.5f}}.write(dir.file("down.nc"));
    SmallFile{.x_on_another_dim = true}.write(dir.file("other_dim.nc"));
    SmallFile{.xyz_order = true}.write(dir.file("turned.nc"));
    SmallFile{.times = 3}.write(dir.file("series.nc"));
    {   // values never written: the file is small
        int nc = 0, dz = 0, dy = 0, dx = 0, v = 0;
        ASSERT_EQ(nc_create(dir.file("huge.nc").c_str(), NC_CLOBBER | NC_NETCDF4, &nc), NC_NOERR);
        nc_def_dim(nc, "z", 100, &dz);
        nc_def_dim(nc, "y", 1100, &dy);
        nc_def_dim(nc, "x", 1000, &dx);
        int dims[3] = {dz, dy, dx};
        nc_def_var(nc, "ze", NC_FLOAT, 3, dims, &v);
        nc_close(nc);
    }
    std::ofstream(dir.file("small.vti")) << kImage << "1 2 3 4 5 6 7 8 9 10 11 12</DataArray></PointData></Piece></ImageData></VTKFile>";
    std::ofstream(dir.file("short.vti")) << kImage << "1 2 3</DataArray></PointData></Piece></ImageData></VTKFile>";
    ASSERT_EQ(::mkfifo(dir.file("pipe.nc").c_str(), 0600), 0);
    const struct {
        std::string path, variable;
        std::int64_t max_nodes;
        std::string message;
    } cases[] = {
        {"f.nc", "reflectivity", 0, "no variable \"reflectivity\" (variables on a grid: ze)"},
        {"missing.nc", "ze", 0, "missing.nc: no such file"},
        {"f.nc", "x", 0, "has 1 dimensions"},
        {"down.nc", "ze", 0, "z must increase"},
        {"other_dim.nc", "ze", 0, "coordinate variable x lies on dimension x4 (4) instead of x (3)"},
        {"turned.nc", "ze", 0, "variable ze lies on (x, y, z); expected (z, y, x)"},
        {"huge.nc", "ze", 0, "the volume has 1000 x 1100 x 100 nodes; at most 100000000 are read"},
        {"huge.nc", "ze", 1000, "nodes; at most 1000 are read"},   // the caller's bound, for both kinds of file
        {"small.vti", "ze", 12, "no error"},
        {"small.vti", "ze", 11, "the volume has 3 x 2 x 2 nodes; at most 11 are read"},
        {"short.vti", "ze", 0, "short.vti: not valid VTK XML image data: "},
        {"series.nc", "ze", 0, "variable ze holds 3 time steps; choose one with --time (0 to 2)"},
        {"pipe.nc", "ze", 0, "pipe.nc: not a regular file"},   // a pipe would be waited on for ever
        {"", "ze", 0, "not a regular file"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        const std::string got = refusal(dir.file(c.path), c.max_nodes ? c.max_nodes : velmora::app::max_volume_nodes, c.variable);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.path;   // nothing of VTK's own log
        EXPECT_NE(got.find(c.message), std::string::npos) << c.path << ": " << got;
    }
    EXPECT_NE(refusal("http://example.invalid/volume.nc").find("no such file"), std::string::npos);

    // Several time steps: the one asked for.
    const velmora::app::Volume second = velmora::app::read_volume(dir.file("series.nc"), "ze", {}, 1);
    EXPECT_EQ(second.values[0], 100.0f);
    EXPECT_EQ(second.values[10], 110.0f);
    EXPECT_EQ(second.values[11], second.null_value);
    try {
        velmora::app::read_volume(dir.file("series.nc"), "ze", {}, 3);
        ADD_FAILURE() << "time step 3 of 3 was read";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("has no time step 3; it holds 3 (0 to 2)"), std::string::npos) << e.what();
    }

    // VTK image data: a spacing of 0 would put every node at one place;
    // values that are not finite are nulls.
    for (double dz : {0.0, 1.0}) {
        vtkNew<vtkImageData> img;
        img->SetDimensions(3, 2, 2);
        img->SetSpacing(1, 1, dz);
        vtkNew<vtkFloatArray> ze;
        ze->SetName("ze");
        for (int i = 0; i < 12; ++i) ze->InsertNextValue(i == 11 ? NAN : static_cast<float>(i));
        img->GetPointData()->AddArray(ze);
        vtkNew<vtkXMLImageDataWriter> w;
        w->SetFileName(dir.file("image.vti").c_str());
        w->SetInputData(img);
        ASSERT_EQ(w->Write(), 1);
        if (dz == 0.0) {
            EXPECT_NE(refusal(dir.file("image.vti")).find("the spacing along z must be a positive number"), std::string::npos);
        } else {
            const velmora::app::Volume image = velmora::app::read_volume(dir.file("image.vti"), "ze");
            EXPECT_TRUE(image.has_null);
            EXPECT_EQ(image.values[11], image.null_value);
            EXPECT_EQ(image.values[10], 10.0f);
        }
    }
}

// FNV-1a over the bits of the coordinates and values: the default scene is
// pinned, since tests and users compare against its cells.
std::uint64_t fingerprint(const velmora::app::Volume& v) {
    std::uint64_t h = 1469598103934665603ull;
    auto add = [&h](std::span<const float> a) {
        for (float f : a) {
            std::uint32_t bits = 0;
            std::memcpy(&bits, &f, sizeof bits);
            h = (h ^ bits) * 1099511628211ull;
        }
    };
    add(v.x);
    add(v.y);
    add(v.z);
    add(v.values);
    return h;
}

TEST(RadarVolume, TheDefaultSceneIsUnchanged) {
    EXPECT_EQ(fingerprint(velmora::app::synthetic_scene()), 0x8f59d56cbca9e703ull);
    // The same five cells on a wider grid; the texture follows the grid
    // indices, so the values differ by a little.
    velmora::app::SceneOptions wide;
    wide.nx = 100;
    const velmora::app::Volume w = velmora::app::synthetic_scene(wide);
    ASSERT_EQ(w.x.size(), 100u);
    EXPECT_EQ(w.x.front(), -50.0f);
    const velmora::app::Volume d = velmora::app::synthetic_scene();
    // The first cell's core: x -22, y -12, z 3 km.
    EXPECT_NEAR(w.values[28 + 100 * (18 + 60 * 5)], d.values[18 + 80 * (18 + 60 * 5)], 3.0f);
    EXPECT_GT(w.values[28 + 100 * (18 + 60 * 5)], 50.0f);
}

TEST(RadarVolume, SyntheticSceneOfTheAskedSizeAndCells) {
    TempDir dir;
    velmora::app::SceneOptions o;
    o.nx = 120;
    o.ny = 90;
    o.nz = 50;
    o.cells = 12;
    o.seed = 3;
    const velmora::app::Volume s = velmora::app::synthetic_scene(o);
    ASSERT_EQ((std::vector<std::size_t>{s.x.size(), s.y.size(), s.z.size(), s.values.size()}),
              (std::vector<std::size_t>{120, 90, 50, 120 * 90 * 50}));
    EXPECT_EQ(s.x[1] - s.x[0], 1.0f);
    EXPECT_FLOAT_EQ(s.z.back(), 15.0f);   // 50 levels 0.3 km apart
    EXPECT_EQ(velmora::app::synthetic_scene(o).values, s.values);   // the same seed, the same scene
    o.seed = 4;
    EXPECT_NE(velmora::app::synthetic_scene(o).values, s.values);

    velmora::app::write_netcdf(dir.file("big.nc"), s);
    const velmora::app::Volume r = velmora::app::read_netcdf(dir.file("big.nc"), "DT");
    EXPECT_EQ(r.values, s.values);
    EXPECT_EQ(r.z, s.z);

    o.nz = 1;
    EXPECT_THROW(velmora::app::synthetic_scene(o), std::invalid_argument);
}

}  // namespace
