// Gridded NetCDF whose axes decrease (CF allows it; image-like products write rows north to south): read with the
// axis turned to increase, every cell where the same volume written increasing has it.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../polar/polar_files.h"
#include "io/volume.h"
#include "temp_files.h"

namespace {

constexpr std::size_t kNx = 4, kNy = 3, kNz = 2;

// A value of every node (i along x, j along y, k along z) that tells each apart.
double value_at(std::size_t i, std::size_t j, std::size_t k) { return 100.0 * k + 10.0 * j + i; }

// The volume written with the axes named in turned decreasing ("x", "y", "z"), in type.
std::string write_grid(const vtest::TempDir& dir, const std::string& name, const std::string& turned, nc_type type) {
    const auto axis = [&](char a, std::size_t n, double first) {
        std::vector<double> v;
        for (std::size_t i = 0; i < n; ++i) v.push_back(first + 1000.0 * static_cast<double>(i));
        if (turned.find(a) != std::string::npos) std::reverse(v.begin(), v.end());
        return v;
    };
    const auto at = [&](char a, std::size_t i, std::size_t n) { return turned.find(a) != std::string::npos ? n - 1 - i : i; };
    std::vector<double> values;
    for (std::size_t k = 0; k < kNz; ++k)
        for (std::size_t j = 0; j < kNy; ++j)
            for (std::size_t i = 0; i < kNx; ++i) values.push_back(value_at(at('x', i, kNx), at('y', j, kNy), at('z', k, kNz)));
    const std::string path = dir.file(name);
    polartest::NcWriter w(path);
    const int z = w.dim("z", kNz), y = w.dim("y", kNy), x = w.dim("x", kNx);
    w.var("z", NC_DOUBLE, {z}, axis('z', kNz, 500), {{"units", "m"}});
    w.var("y", NC_DOUBLE, {y}, axis('y', kNy, -1000), {{"units", "m"}});
    w.var("x", NC_FLOAT, {x}, axis('x', kNx, 0), {{"units", "m"}});
    w.var("DT", type, {z, y, x}, values, {{"units", "dBZ"}});
    w.enddef();
    return path;
}

TEST(DecreasingAxes, AreTurnedWithTheirValuesEveryAxisAndEveryReadingPath) {
    vtest::TempDir dir;
    // Shorts and floats are read in one piece, doubles a level at a time.
    for (const nc_type type : {NC_FLOAT, NC_SHORT, NC_DOUBLE}) {
        const velmora::Volume want = velmora::read_netcdf(write_grid(dir, "increasing.nc", "", type), "DT");
        EXPECT_EQ(want.y, (std::vector<float>{-1, 0, 1}));
        for (const std::string turned : {"y", "x", "z", "xyz"}) {
            SCOPED_TRACE(turned + " of type " + std::to_string(type));
            const velmora::Volume got = velmora::read_netcdf(write_grid(dir, turned + ".nc", turned, type), "DT");
            EXPECT_EQ(got.x, want.x);
            EXPECT_EQ(got.y, want.y);
            EXPECT_EQ(got.z, want.z);
            ASSERT_EQ(got.values.size(), kNx * kNy * kNz);
            EXPECT_EQ(0, std::memcmp(got.values.data(), want.values.data(), got.values.size() * sizeof(float)));
            // Node (i, j, k) = (3, 0, 1): x 3 km, y -1 km, z 1.5 km.
            EXPECT_EQ(got.values[1 * kNx * kNy + 0 * kNx + 3], value_at(3, 0, 1));
        }
    }
}

TEST(DecreasingAxes, AnAxisThatTurnsBackIsRefused) {
    vtest::TempDir dir;
    const std::string path = dir.file("zigzag.nc");
    {
        polartest::NcWriter w(path);
        const int z = w.dim("z", 2), y = w.dim("y", 3), x = w.dim("x", 2);
        w.var("z", NC_DOUBLE, {z}, {500, 1000});
        w.var("y", NC_DOUBLE, {y}, {2000, 0, 1000});
        w.var("x", NC_DOUBLE, {x}, {0, 1000});
        w.var("DT", NC_FLOAT, {z, y, x}, std::vector<double>(12, 10.0));
        w.enddef();
    }
    EXPECT_EQ(polartest::error_of([&] { velmora::read_netcdf(path, "DT"); }),
              path + ": coordinate variable y must increase or decrease strictly");
}

}  // namespace
