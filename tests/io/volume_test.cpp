// Volumes from NetCDF and VTK image files; the synthetic volume; map positions; VTK XML output.
#include "io/volume.h"

#include <gtest/gtest.h>
#include <netcdf.h>
#include <sys/stat.h>
#include <vtkDataArray.h>
#include <vtkFloatArray.h>
#include <vtkIdList.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPolyData.h>
#include <vtkStringArray.h>
#include <vtkUnsignedCharArray.h>
#include <vtkXMLGenericDataObjectReader.h>
#include <vtkXMLImageDataWriter.h>
#include <vtkXMLPolyDataReader.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <future>

#include "../polar/polar_files.h"
#include "app_test.h"
#include "field_ref.h"
#include "io/geo.h"
#include "host.h"
#include "io/vtk_files.h"


namespace {

using velmora::Volume;
using vtest::TempDir;

// A 3 x 2 x 2 file: variable `ze` as floats (missing -9999) or short packed values.
struct SmallFile {
    bool time_axis = true;
    bool packed = false;
    const char* xy_units = "km";
    std::vector<float> z_values{0.5f, 1.5f};
    bool units_as_string = false;    // "units" of x and y stored as NetCDF-4 strings
    bool x_on_another_dim = false;   // the variable x lies on a dimension of 4
    bool xyz_order = false;          // ze stored on (x, y, z)
    float last_value = -9999.0f;     // the value of the last node
    int times = 1;                   // time steps; step t adds 100 t to the values
    int format = NC_NETCDF4;         // 0: classic
    std::vector<double> missing{-9999};   // missing_value of ze (unpacked)
    std::vector<double> valid_range{};    // valid_range of ze
    std::vector<double> origin{};         // origin_latitude, origin_longitude
    std::string time_units{};             // of a variable time, when given

    void write(const std::string& path) const {
        polartest::NcWriter w(path, format);
        const int t = time_axis ? w.dim("time", times) : -1, z = w.dim("z", 2), y = w.dim("y", 2), x = w.dim("x", 3);
        const double m = std::string(xy_units) == "m" ? 1000 : 1;
        const int vx = x_on_another_dim ? w.var("x", NC_FLOAT, {w.dim("x4", 4)}, {-m, 0, m, 2})
                                        : w.var("x", NC_FLOAT, {x}, {-m, 0, m});
        const int vy = w.var("y", NC_FLOAT, {y}, {5 * m, 7 * m});
        for (int v : {vx, vy}) {
            const char* units = xy_units;
            if (units_as_string)
                EXPECT_EQ(nc_put_att_string(w.id, v, "units", 1, &units), NC_NOERR);
            else
                w.text(v, "units", units);
        }
        w.var("z", NC_FLOAT, {z}, {z_values.begin(), z_values.end()}, {{"units", "km"}});
        std::vector<int> on{xyz_order ? x : z, y, xyz_order ? z : x};
        if (time_axis) on.insert(on.begin(), t);
        const int ze = w.var("ze", packed ? NC_SHORT : NC_FLOAT, on, {}, {{"units", "dBZ"}});
        if (packed) {
            w.number(ze, "_FillValue", NC_SHORT, -32768);
            w.number(ze, "scale_factor", NC_FLOAT, 0.5);
            w.number(ze, "add_offset", NC_FLOAT, 10);
        } else {
            EXPECT_EQ(nc_put_att_double(w.id, ze, "missing_value", NC_FLOAT, missing.size(), missing.data()), NC_NOERR);
        }
        if (!valid_range.empty()) {
            EXPECT_EQ(nc_put_att_double(w.id, ze, "valid_range", NC_FLOAT, 2, valid_range.data()), NC_NOERR);
        }
        if (!origin.empty()) {
            w.var("origin_latitude", NC_DOUBLE, {}, {origin[0]});
            w.var("origin_longitude", NC_DOUBLE, {}, {origin[1]});
        }
        if (!time_units.empty()) w.var("time", NC_DOUBLE, {t}, std::vector<double>(times, 6), {{"units", time_units}});
        w.enddef();
        // Written as floats: the writer's doubles would refuse an infinite value.
        std::vector<float> raw;
        for (int step = 0; step < times; ++step)
            for (int i = 0; i < 12; ++i)
                raw.push_back(i == 11 ? (packed ? -32768.0f : last_value) : packed ? 2.0f * i : i + 100.0f * step);
        EXPECT_EQ(nc_put_var_float(w.id, ze, raw.data()), NC_NOERR);
    }
};

// A classic (CDF-1) file, byte by byte: dimension x of 2 and variable DT on it of the given type code; dims is
// the count of dimensions its header gives.
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

const char* const kImage =
    R"(<?xml version="1.0"?><VTKFile type="ImageData" version="1.0"><ImageData WholeExtent="0 2 0 1 0 1" )"
    R"(Origin="0 0 0" Spacing="1 1 1"><Piece Extent="0 2 0 1 0 1"><PointData><DataArray type="Float32" )"
    R"(Name="ze" format="ascii">)";

// A 3 x 2 x 2 image of ze = 0 .. 10 and NaN, spaced 1 but dz along z; raw: its appended data not base64.
void write_image(const std::string& path, double dz, bool raw = false) {
    vtkNew<vtkImageData> img;
    img->SetDimensions(3, 2, 2);
    img->SetSpacing(1, 1, dz);
    vtkNew<vtkFloatArray> ze;
    ze->SetName("ze");
    for (int i = 0; i < 12; ++i) ze->InsertNextValue(i == 11 ? NAN : static_cast<float>(i));
    img->GetPointData()->AddArray(ze);
    vtkNew<vtkXMLImageDataWriter> w;
    w->SetFileName(path.c_str());
    w->SetEncodeAppendedData(!raw);
    w->SetInputData(img);
    ASSERT_EQ(w->Write(), 1);
}

// Every layout read as it means; files made to mislead the reader, or simply bad, refused with a message naming
// what is wrong, never read past an array.
TEST(RadarVolume, ReadsEveryLayoutAndRefusesBadFiles) {
    TempDir dir;
    // Each layout holds the same volume, with missing data last (infinite, or the packed fill value).
    const struct {
        const char* name;
        SmallFile file;
        float first;  // of the values first, first + 1, ... and missing data last
        long step = velmora::kOnlyTime;
    } rows[] = {{"plain", {}, 0}, {"metres", {.time_axis = false, .xy_units = "m"}, 0},
                {"strings", {.units_as_string = true}, 0}, {"infinite", {.last_value = INFINITY}, 0},
                {"packed", {.packed = true}, 10}, {"series", {.times = 3}, 100, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.file(std::string(row.name) + ".nc");
        row.file.write(path);
        const Volume v = velmora::read_volume(path, "ze", {}, row.step);
        EXPECT_EQ(v.x, (std::vector<float>{-1, 0, 1}));
        EXPECT_EQ(v.y, (std::vector<float>{5, 7}));
        EXPECT_EQ(v.units, "dBZ");
        EXPECT_TRUE(v.has_null);
        ASSERT_EQ(v.values.size(), 12u);
        for (int i = 0; i < 11; ++i) EXPECT_EQ(v.values[i], row.first + i) << i;
        EXPECT_EQ(v.values[11], v.null_value);
    }
    const Volume a = velmora::read_netcdf(dir.file("plain.nc"), "ze");
    EXPECT_EQ(a.null_value, -9999.0f);

    // As a field: uniform when evenly spaced; stretched levels stay exact as explicit coordinates.
    vhost::host().reset();
    vhost::FieldRef r(velmora::add_volume_field(vhost::host().root(), "grid", a));
    EXPECT_EQ(r.points(), (std::vector<float>{-1, 5, 0.5f, 1, 7, 1.5f}));
    EXPECT_EQ(r.object().at("uniform").int_value(), 1);
    EXPECT_TRUE(r.null_flag(0));
    const Volume v{.x = {0, 1, 2}, .y = {0, 1}, .z = {0.5f, 1.0f, 3.0f}, .values = vhost::LargeVector<float>(18, 1.0f),
                   .name = "ze", .units = "dBZ", .origin = {}, .time = {}};
    vhost::FieldRef g(velmora::add_volume_field(vhost::host().root(), "g2", v));
    EXPECT_EQ(g.object().at("uniform").int_value(), 0);
    ASSERT_EQ(g.coord().size(), 54u);
    EXPECT_EQ(g.coord()[3 * 12 + 2], 3.0f);
    EXPECT_FALSE(g.null_flag(0));
    vhost::host().reset();

    SmallFile{.x_on_another_dim = true}.write(dir.file("other_dim.nc"));
    SmallFile{.xyz_order = true}.write(dir.file("turned.nc"));
    {   // values never written: the file is small
        polartest::NcWriter w(dir.file("huge.nc"));
        w.var("ze", NC_FLOAT, {w.dim("z", 100), w.dim("y", 1100), w.dim("x", 1000)});
    }
    write_image(dir.file("image.vti"), 1.0);
    dir.write("short.vti", std::string(kImage) + "1 2 3</DataArray></PointData></Piece></ImageData></VTKFile>");
    // An array of strings beside good numbers made VTK's reader crash the process.
    const std::string numbers = std::string(kImage) + "0 1 2 3 4 5 6 7 8 9 10 11</DataArray>";
    dir.write("strings.vti", numbers + R"(<DataArray type="String" Name="label" format="ascii">97 0 98 0</DataArray>)"
                                       "</PointData></Piece></ImageData></VTKFile>");
    dir.write("field_strings.vti", R"(<?xml version="1.0"?><VTKFile type="ImageData" version="1.0"><ImageData )"
                                   R"(WholeExtent="0 2 0 1 0 1" Origin="0 0 0" Spacing="1 1 1"><FieldData><Array )"
                                   R"(type='String' Name="names" NumberOfTuples="1" format="ascii">97 0</Array>)"
                                   "</FieldData><Piece Extent=\"0 2 0 1 0 1\"><PointData>" +
                                       numbers.substr(numbers.find("<DataArray")) +
                                       "</PointData></Piece></ImageData></VTKFile>");
    // Counts VTK's reader would allocate by, binary data cut short and an array it cannot name: refused, with
    // nothing of VTK's own log.
    const std::string head = std::string(kImage).substr(0, std::string(kImage).find("<DataArray"));
    const std::string end = "</PointData></Piece></ImageData></VTKFile>";
    dir.write("components.vti", head + R"(<DataArray type="Float32" Name="ze" NumberOfComponents="-3" )"
                                       R"(format="ascii">0 1 2</DataArray>)" + end);
    dir.write("binary.vti", head + R"(<DataArray type="Float32" Name="ze" format="binary">AAAA</DataArray>)" + end);
    dir.write("unnamed.vti", head + R"(<DataArray type="Float32" format="ascii">0 1 2 3 4 5 6 7 8 9 10 11</DataArray>)" + end);
    // Compressed data whose header claims more blocks than the file holds, or blocks of gigabytes: VTK
    // allocated by those counts (10 GB for a file of 400 bytes).
    write_image(dir.file("raw.vti"), 1.0, true);
    std::string raw = vtest::TempDir::read(dir.file("raw.vti"));
    const std::size_t data = raw.find('_', raw.find("<AppendedData")) + 1;
    const int word = raw.find("header_type=\"UInt64\"") != std::string::npos ? 8 : 4;
    for (const auto& [name, field] : {std::pair{"blocks.vti", 0}, std::pair{"block.vti", 1}}) {
        std::string forged = raw;
        for (int i = 0; i < word; ++i) forged[data + field * word + i] = i == 3 ? '\x80' : '\0';   // 2^31
        dir.write(name, forged);
    }
    dir.write("underscore.vti", raw.substr(0, data - 1) + "A" + raw.substr(data));
    dir.write("inline.vti", R"(<?xml version="1.0"?><VTKFile type="ImageData" version="1.0" byte_order="LittleEndian" )"
                            R"(header_type="UInt32" compressor="vtkZLibDataCompressor"><ImageData WholeExtent="0 2 0 1 0 1" )"
                            R"(Origin="0 0 0" Spacing="1 1 1"><Piece Extent="0 2 0 1 0 1"><PointData><DataArray )"
                            R"(type="Float32" Name="ze" format="binary">BigEndianAAADwAAAADwAAAA==</DataArray>)" + end);
    // A classic file cut short: the library would read the missing bytes as fill values.
    SmallFile{.time_axis = false, .format = 0}.write(dir.file("cut.nc"));
    const auto whole = std::filesystem::file_size(dir.file("cut.nc"));
    std::filesystem::resize_file(dir.file("cut.nc"), whole - 8);
    SmallFile{.origin = {95, 4.8}}.write(dir.file("lat95.nc"));
    SmallFile{.origin = {52, 1000}}.write(dir.file("lon1000.nc"));
    write_image(dir.file("flat.vti"), 0.0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.nc").c_str(), 0600), 0);
    // Classic headers the NetCDF library would trust: a type code it takes a size of 0 for (and divides by), a
    // count of dimensions it would allocate and seek through; the same header with a float is a classic file.
    dir.write("string.nc", classic_file(12));
    dir.write("dims.nc", classic_file(5, 0x00FFFF03));
    dir.write("float.nc", classic_file(5));
    // A header the file ends inside a count of: the library read on with the count padded, and crashed.
    dir.write("cut_header.nc", classic_file(5).substr(0, 15));
    const struct {
        std::string path, variable;
        std::int64_t max_nodes;
        std::string message;
    } cases[] = {
        {"plain.nc", "reflectivity", 0, "no variable \"reflectivity\" (variables on a grid: ze)"},
        {"missing.nc", "ze", 0, "missing.nc: no such file"}, {"plain.nc", "x", 0, "has 1 dimensions"},
        {"other_dim.nc", "ze", 0, "coordinate variable x lies on dimension x4 (4) instead of x (3)"},
        {"turned.nc", "ze", 0, "variable ze lies on (x, y, z); expected (z, y, x)"},
        {"huge.nc", "ze", 0, "the volume has 1000 x 1100 x 100 nodes; at most 100000000 are read"},
        {"huge.nc", "ze", 1000, "nodes; at most 1000 are read"},   // the caller's bound, for both kinds of file
        {"image.vti", "ze", 12, "no error"},
        {"image.vti", "ze", 11, "the volume has 3 x 2 x 2 nodes; at most 11 are read"},
        {"short.vti", "ze", 0, "short.vti: not valid VTK XML image data: "},
        {"flat.vti", "ze", 0, "the spacing along z must be a positive number"},   // else every node at one place
        {"series.nc", "ze", 0, "variable ze holds 3 time steps; choose one with --time (0 to 2)"},
        {"pipe.nc", "ze", 0, "pipe.nc: not a regular file"},   // a pipe would be waited on for ever
        {"", "ze", 0, "not a regular file"},
        {"http://example.invalid/volume.nc", "ze", 0, "no such file"},
        {"string.nc", "DT", 0, "string.nc: not a valid NetCDF file: variable \"DT\" has type code 12, which no CDF-1 file holds"},
        {"dims.nc", "DT", 0, "dims.nc: not a valid NetCDF file: it counts 16776963 dimensions, more than its 88 bytes can hold"},
        {"float.nc", "DT", 0, "variable DT has 1 dimensions"},
        {"cut_header.nc", "DT", 0, "cut_header.nc: not a valid NetCDF file: its header is cut short (the file ends at byte 15)"},
        {"strings.vti", "ze", 0,
         "strings.vti: not valid VTK XML image data: array \"label\" is of type \"String\"; only arrays of numbers can "
         "be read"},
        {"field_strings.vti", "ze", 0, "array \"names\" is of type \"String\""},
        {"components.vti", "ze", 0, "array \"ze\" has NumberOfComponents \"-3\"; 1 to 1000 can be read"},
        {"binary.vti", "ze", 0, "binary.vti: not valid VTK XML image data: Error reading uncompressed binary data header"},
        {"unnamed.vti", "ze", 0, "unnamed.vti: not valid VTK XML image data: it cannot be read"},
        {"raw.vti", "ze", 0, "no error"},
        {"blocks.vti", "ze", 0, "blocks.vti: not valid VTK XML image data: array \"ze\": its compressed data claim 2147483648 blocks in "},
        {"block.vti", "ze", 0, "array \"ze\": its compressed blocks claim 2147483648 bytes each"},
        {"underscore.vti", "ze", 0, "underscore.vti: not valid VTK XML image data: its appended data do not begin with \"_\""},
        {"inline.vti", "ze", 0, "inline.vti: not valid VTK XML image data: array \"ze\": its compressed data claim "},
        {"cut.nc", "ze", 0,
         "cut.nc: not a valid NetCDF file: its " + std::to_string(whole - 8) + " bytes end before the values of "
         "variable \"ze\" (up to byte " + std::to_string(whole) + "): the file is cut short"},
        {"lat95.nc", "ze", 0, "lat95.nc: origin_latitude and origin_longitude: the origin's latitude 95 is not within -90 to 90 degrees"},
        {"lon1000.nc", "ze", 0, "the origin's longitude 1000 is not within -180 to 360 degrees"},
        {"folder.nc", "ze", 0, "folder.nc: a folder, not a regular file"},
        {"empty.nc", "ze", 0, "empty.nc: an empty file"},
    };
    std::filesystem::create_directory(dir.file("folder.nc"));
    dir.write("empty.nc", "");
    for (const auto& c : cases) {
        const std::string path = c.path.starts_with("http") ? c.path : dir.file(c.path);
        testing::internal::CaptureStderr();
        const std::string got = vtest::error_of<std::runtime_error>([&] {
            velmora::read_volume(path, c.variable, {}, velmora::kOnlyTime,
                                      c.max_nodes ? c.max_nodes : velmora::max_volume_nodes);
        });
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.path;   // nothing of VTK's own log
        EXPECT_NE((got.empty() ? "no error" : got).find(c.message), std::string::npos) << c.path << ": " << got;
    }

    // Every value of a vector missing_value is missing, and so are values outside the valid range; a time in
    // units velmora does not read says why.
    const std::pair<SmallFile, std::vector<int>> nulls[] = {
        {{.missing = {-9999, 3}}, {3, 11}},
        {{.missing = {-9999}, .valid_range = {1, 9}}, {0, 10, 11}},
        {{.format = 0, .missing = {7, -9999, 2}}, {2, 7, 11}},
    };
    for (const auto& [file, where] : nulls) {
        file.write(dir.file("nulls.nc"));
        const Volume n = velmora::read_volume(dir.file("nulls.nc"), "ze");
        std::vector<int> found;
        for (int i = 0; i < 12; ++i)
            if (n.values[i] == n.null_value) found.push_back(i);
        EXPECT_EQ(found, where);
    }
    SmallFile{.time_units = "seconds since 2020-01-01"}.write(dir.file("timed.nc"));
    EXPECT_EQ(velmora::read_volume(dir.file("timed.nc"), "ze").time, 1577836806.0);
    SmallFile{.time_units = "fortnights since 2020-01-01"}.write(dir.file("timed.nc"));
    const Volume untimed = velmora::read_volume(dir.file("timed.nc"), "ze");
    EXPECT_FALSE(untimed.time);
    EXPECT_EQ(untimed.time_problem, "its time 6 in units \"fortnights since 2020-01-01\" is no time velmora reads "
                                    "(seconds, minutes, hours or days since a date, on the Gregorian calendar)");

    // In VTK image data values that are not finite are nulls.
    const Volume image = velmora::read_volume(dir.file("image.vti"), "ze");
    EXPECT_TRUE(image.has_null);
    EXPECT_EQ(image.values[11], image.null_value);
    EXPECT_EQ(image.values[10], 10.0f);
}

TEST(RadarVolume, SyntheticScenesOfTheDefaultAndTheAskedSizeAndTheirOrigin) {
    // FNV-1a over the bits of the default scene's coordinates and values: tests and users compare against its cells.
    const Volume d = velmora::synthetic_volume();
    std::uint64_t h = 1469598103934665603ull;
    for (std::span<const float> a : {std::span<const float>(d.x), std::span<const float>(d.y),
                                     std::span<const float>(d.z), std::span<const float>(d.values)})
        for (float f : a) h = (h ^ std::bit_cast<std::uint32_t>(f)) * 1099511628211ull;
    EXPECT_EQ(h, 0x8f59d56cbca9e703ull);

    velmora::SyntheticOptions o{.nx = 120, .ny = 90, .nz = 50, .cells = 12, .seed = 3};
    const Volume s = velmora::synthetic_volume(o);
    ASSERT_EQ((std::vector<std::size_t>{s.x.size(), s.y.size(), s.z.size(), s.values.size()}),
              (std::vector<std::size_t>{120, 90, 50, 120 * 90 * 50}));
    EXPECT_FLOAT_EQ(s.z.back(), 15.0f);   // 50 levels 0.3 km apart
    EXPECT_EQ(velmora::synthetic_volume(o).values, s.values);   // the same seed, the same scene
    o.seed = 4;
    EXPECT_NE(velmora::synthetic_volume(o).values, s.values);
    o.nz = 1;
    EXPECT_THROW(velmora::synthetic_volume(o), std::invalid_argument);

    // Written and read back the same, with no origin on the map; with one when it is a position.
    TempDir dir;
    const std::string placed = dir.file("placed.nc");
    velmora::write_netcdf(placed, s);
    const Volume r = velmora::read_netcdf(placed, "DT");
    EXPECT_EQ(r.values, s.values);
    EXPECT_EQ(r.z, s.z);
    EXPECT_FALSE(r.origin);
    Volume v = velmora::synthetic_volume({.nx = 4, .ny = 3, .nz = 2});
    v.origin = velmora::GeoOrigin{52.953, 4.790};
    velmora::write_netcdf(placed, v);
    const auto back = velmora::read_netcdf(placed, "DT").origin;
    ASSERT_TRUE(back);
    EXPECT_EQ(back->lat, 52.953);
    EXPECT_EQ(back->lon, 4.790);
}

TEST(GeoTest, PositionsOnTheMapAgreeWithTheEllipsoid) {
    // On WGS 84 a degree of longitude along the equator is 111.3195 km (6378.137 km times pi/180), a degree of
    // latitude from the equator 110.574 km; at the origin nothing moves.
    const double x[] = {0.0, 111.3195, 0.0, -111.3195}, y[] = {0.0, 0.0, 110.574, 0.0};
    double lat[4], lon[4];
    velmora::geographic({0.0, 0.0}, x, y, lat, lon);
    const double want_lat[] = {0.0, 0.0, 1.0, 0.0}, want_lon[] = {0.0, 1.0, 0.0, -1.0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(lat[i], want_lat[i], 2e-5) << i;
        EXPECT_NEAR(lon[i], want_lon[i], 2e-5) << i;
    }
    // Longitudes come back within -180 to 180, whichever convention the origin uses.
    velmora::geographic({0.0, 359.5}, std::span(x + 1, 1), std::span(y + 1, 1), std::span(lat, 1), std::span(lon, 1));
    EXPECT_NEAR(lon[0], 0.5, 2e-5);

    EXPECT_TRUE(velmora::checked_origin(-12.25, 131.04));
    for (auto [la, lo] : {std::pair{91.0, 0.0}, {0.0, -181.0}, {0.0, 361.0}, {NAN, 0.0}, {0.0, INFINITY}})
        EXPECT_FALSE(velmora::checked_origin(la, lo)) << la << " " << lo;
    EXPECT_THROW(velmora::geographic({}, std::span(x, 2), std::span(y, 1), std::span(lat, 2), std::span(lon, 2)),
                 std::invalid_argument);
}

// Fields written as VTK XML read back with VTK's own readers, with every
// compression; pictures.
struct VtkOutputTest : ::testing::Test {
    vtest::TempDir dir;
    vhost::Host& host = vhost::host();
    void SetUp() override { host.reset(); }
    void TearDown() override { host.reset(); }
};

// Points, cells and point data as text, values exact and NaN as "nan".
std::string exact(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " %a", v);
    return std::isnan(v) ? " nan" : buf;
}

template <class T>
std::string exact(const std::vector<T>& v, T null = T(-9999)) {
    std::string t;
    for (T x : v) t += exact(x == null ? NAN : static_cast<double>(x));
    return t;
}

std::string data_text(vtkDataSet* d) {
    std::string t = "points";
    for (vtkIdType p = 0; p < d->GetNumberOfPoints(); ++p)
        for (int a = 0; a < 3; ++a) t += exact(d->GetPoint(p)[a]);
    for (vtkIdType c = 0; !vtkImageData::SafeDownCast(d) && c < d->GetNumberOfCells(); ++c) {   // a grid's are implied
        t += "\ncell " + std::to_string(d->GetCellType(c)) + ":";
        vtkNew<vtkIdList> ids;
        d->GetCellPoints(c, ids);
        for (vtkIdType k = 0; k < ids->GetNumberOfIds(); ++k) t += " " + std::to_string(ids->GetId(k));
    }
    for (int a = 0; a < d->GetPointData()->GetNumberOfArrays(); ++a) {
        vtkDataArray* v = d->GetPointData()->GetArray(a);
        t += "\n" + std::string(v->GetName());
        for (vtkIdType i = 0; i < v->GetNumberOfTuples(); ++i)
            for (int c = 0; c < v->GetNumberOfComponents(); ++c) t += exact(v->GetComponent(i, c));
    }
    return t;
}

TEST_F(VtkOutputTest, EveryCompressionReadsBackTheSameData) {
    // A grid, a surface and a volume, each with a float component holding nulls (NaN in the file) and an int one.
    const std::vector<float> grid_dt = {0.5f, -9999, 1, 1.5f, 2, 2.5f, 3, 3.5f, 4, 4.5f, 5, 5.5f},
                             grid_xyz = {0, 0, 0.5f, 1, 0, 0.5f, 2, 0, 0.5f, 0, 1, 0.5f, 1, 1, 0.5f, 2, 1, 0.5f,
                                         0, 0, 1.5f, 1, 0, 1.5f, 2, 0, 1.5f, 0, 1, 1.5f, 1, 1, 1.5f, 2, 1, 1.5f};
    const std::vector<std::int32_t> grid_cell = {0, 0, 1, 1, 0, 0, 2, 2, 2, 0, 0, 3};
    vhost::FieldRef(host.add_field("grid")).uniform({3, 2, 2}, {0, 0, 0.5f, 2, 1, 1.5f}).floats("DT", grid_dt)
        .null_value(0, -9999).ints("cell", grid_cell);
    const std::vector<float> xyz = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1}, surface_ze = {40, 41, -9999, 43, 44},
                             volume_ze = {-1, 50, 51, 52, 53};
    const std::vector<std::int32_t> area_no = {1, 1, 2, 2, 0}, voxel = {9, 8, 7, 6, 5};
    vhost::FieldRef(host.add_field("surface")).nnodes(5).nspace(3).coord(xyz).cells("Tri", {0, 1, 2, 1, 4, 2})
        .floats("ze", surface_ze).null_value(0, -9999).ints("area_no", area_no);
    vhost::FieldRef(host.add_field("volume")).nnodes(5).nspace(3).coord(xyz).cells("Tet", {0, 1, 2, 3, 1, 2, 3, 4})
        .floats("ze", volume_ze).null_value(0, -1).ints("voxel", voxel);
    const std::vector<std::pair<const char*, std::string>> expected = {
        {"grid", "points" + exact(grid_xyz) + "\nDT" + exact(grid_dt) + "\ncell" + exact(grid_cell)},
        {"surface", "points" + exact(xyz) + "\ncell 5: 0 1 2\ncell 5: 1 4 2\nze" + exact(surface_ze) + "\narea_no" +
                        exact(area_no)},
        {"volume", "points" + exact(xyz) + "\ncell 10: 0 1 2 3\ncell 10: 1 2 3 4\nze" + exact(volume_ze, -1.0f) +
                       "\nvoxel" + exact(voxel)}};
    for (const char* name : {"none", "lz4", "zlib"}) {
        const auto compression = velmora::compression_named(name);
        ASSERT_TRUE(compression) << name;
        for (const auto& [field, want] : expected) {
            SCOPED_TRACE(std::string(field) + " with " + name);
            // Made ready here, written on a thread of its own.
            const auto file = velmora::prepare_vtk(host.root().at(field), dir.file(field) + name, nullptr, *compression);
            std::async(std::launch::async, [&file] { file.write(); }).get();
            const std::string path = file.path;
            EXPECT_EQ(path.substr(path.size() - 4), field[0] == 'g' ? ".vti" : field[0] == 's' ? ".vtp" : ".vtu");
            // Appended raw data, compressed as asked.
            const std::string text = vtest::TempDir::read(path), head = text.substr(0, 400);
            EXPECT_NE(text.find("<AppendedData encoding=\"raw\">"), std::string::npos) << head;
            const char* compressor = *compression == velmora::Compression::LZ4    ? "vtkLZ4DataCompressor"
                                     : *compression == velmora::Compression::ZLib ? "vtkZLibDataCompressor"
                                                                                       : "compressor=";
            EXPECT_EQ(head.find(compressor) != std::string::npos, *compression != velmora::Compression::None) << head;
            vtkNew<vtkXMLGenericDataObjectReader> r;
            r->SetFileName(path.c_str());
            r->Update();
            auto* d = vtkDataSet::SafeDownCast(r->GetOutput());
            ASSERT_NE(d, nullptr);
            EXPECT_EQ(data_text(d), want);
        }
    }
    EXPECT_FALSE(velmora::compression_named("gzip"));
    EXPECT_THROW(velmora::write_vtk(host.root().at("volume"), "/nonexistent/dir/x"), std::runtime_error);
    // Texts of the nodes (legend labels) as a string array.
    std::vector<std::string> texts{"a", "b", "c", "d", "e"};
    vtkNew<vtkXMLPolyDataReader> r;
    r->SetFileName(velmora::write_vtk(host.root().at("surface"), dir.file("labelled"), &texts).c_str());
    r->Update();
    auto* labels = vtkStringArray::SafeDownCast(r->GetOutput()->GetPointData()->GetAbstractArray("label"));
    ASSERT_NE(labels, nullptr);
    EXPECT_EQ(labels->GetValue(1), "b");
}

}  // namespace
