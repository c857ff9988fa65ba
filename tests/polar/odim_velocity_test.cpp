// Radial velocity read from ODIM files with its Nyquist velocity: how/NI, or the PRFs and the wavelength;
// the real Canberra volume against the Bureau's own dealiased field, and gridded dealiased beside the field as
// measured.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app_test.h"
#include "host.h"
#include "io/file_handles.h"
#include "polar/dealias.h"
#include "polar/polar.h"
#include "polar_files.h"
#include "temp_files.h"

namespace {

using namespace velmora::polar;
using polartest::H5File;

const std::string kCanberra = std::string(VELMORA_SOURCE_DIR) + "/../shared/data/odim_au40_201812200606.h5";

TEST(OdimVelocity, NyquistFromNiOrFromThePrfsAndWavelength) {
    vtest::TempDir dir;
    const std::string path = dir.file("vel.h5");
    {
        H5File f(path);
        polartest::write_odim(f);
        f.numbers("/how", {{"wavelength", 5.3}});
        f.numbers("/dataset2/how", {{"NI", 16.5}, {"highprf", 1200}, {"lowprf", 900}});
        f.numbers("/dataset3/how", {{"highprf", 1200, H5T_STD_I32LE}, {"lowprf", 900}});
    }
    const PolarVolume v = read_odim(path, "VRADH");
    ASSERT_EQ(v.sweeps.size(), 2u);
    // NI over the PRFs; each PRF's own va = wavelength x PRF / 4.
    EXPECT_EQ(v.sweeps[0].nyquist, 16.5);
    EXPECT_NEAR(v.sweeps[0].nyquist_high, 15.9, 1e-9);
    EXPECT_NEAR(v.sweeps[0].nyquist_low, 11.925, 1e-9);
    // Of two PRFs the extended Nyquist velocity, va_h va_l / (va_h - va_l).
    ASSERT_TRUE(v.sweeps[1].nyquist.has_value());
    EXPECT_NEAR(*v.sweeps[1].nyquist, 15.9 * 11.925 / (15.9 - 11.925), 1e-9);
    EXPECT_TRUE(v.sweeps[0].folded.empty());
    // Reflectivity has none, and a velocity without the numbers has none either.
    for (const Sweep& s : read_odim(path).sweeps) EXPECT_FALSE(s.nyquist.has_value());
    {
        H5File f(path);
        polartest::write_odim(f);
        f.numbers("/dataset2/how", {{"NI", -3}});
        f.text("/dataset3/how", "NI", "fast");
    }
    const PolarVolume none = read_odim(path, "VRADH");
    ASSERT_EQ(none.sweeps.size(), 2u);
    EXPECT_FALSE(none.sweeps[0].nyquist || none.sweeps[1].nyquist);
    PolarVolume copy = none;
    const DealiasReport report = dealias_volume(copy);
    EXPECT_EQ(report.notes.size(), 2u);
    EXPECT_EQ(report.notes[0], path + ": dataset2: no Nyquist velocity in the file: not dealiased");
}

// Canberra's VRADH: dual PRF 750/500 Hz at 10.4 cm, NI 39 m/s in every sweep; the Bureau's VRADDH beside
// it is the same field unfolded. Of the gates the Bureau unfolded ours agree on 90 % in each of the ten
// sweeps below 12 degrees (the specks of the steep sweeps above, a few tens of gates each, less: 85 % of
// the volume's), and leave 99.5 % of the others as they are in each of those sweeps (99.7 % of the volume's).
TEST(OdimVelocity, CanberraIsDealiasedAsTheBureauDealiasedIt) {
    if (!std::filesystem::exists(kCanberra)) GTEST_SKIP() << "the real ODIM volume " << kCanberra << " is absent";
    PolarVolume v = read_polar(kCanberra, "VRADH");
    const PolarVolume bureau = read_polar(kCanberra, "VRADDH");
    ASSERT_EQ(v.sweeps.size(), 14u);
    for (const Sweep& s : v.sweeps) {
        EXPECT_EQ(s.nyquist, 39.0) << s.name;
        EXPECT_NEAR(s.nyquist_high, 0.10409460067749023 * 750 / 4, 1e-6) << s.name;
        EXPECT_NEAR(s.nyquist_low, 0.10409460067749023 * 500 / 4, 1e-6) << s.name;
    }
    const PolarVolume raw = v;
    dealias_volume(v);
    long all[4] = {0, 0, 0, 0};
    for (std::size_t k = 0; k < v.sweeps.size(); ++k) {
        long unfolded = 0, unfolded_right = 0, others = 0, others_right = 0;
        const Sweep &ours = v.sweeps[k], &theirs = bureau.sweeps[k], &measured = raw.sweeps[k];
        for (std::size_t i = 0; i < ours.values.size(); ++i) {
            const float b = theirs.values[i], m = measured.values[i];
            if (!std::isfinite(b) || !std::isfinite(m)) continue;
            const bool right = std::abs(ours.values[i] - b) <= 2;
            if (std::abs(b - m) > 2) unfolded++, unfolded_right += right;
            else others++, others_right += right;
        }
        all[0] += unfolded, all[1] += unfolded_right, all[2] += others, all[3] += others_right;
        if (ours.fixed_angle > 12) continue;
        EXPECT_GE(unfolded_right, 0.9 * unfolded) << ours.name << ": " << unfolded_right << " of " << unfolded;
        EXPECT_GE(others_right, 0.995 * others) << ours.name << ": " << others_right << " of " << others;
    }
    EXPECT_GE(all[1], 0.85 * all[0]) << all[1] << " of " << all[0];
    EXPECT_GE(all[3], 0.997 * all[2]) << all[3] << " of " << all[2];
}

// A variable of a NetCDF file: its values (NaN where missing) and its text attributes long_name and comment.
struct Variable {
    std::vector<float> values;
    std::string long_name, comment;
};
Variable variable(const std::string& path, const char* name) {
    const velmora::QuietHdf5 quiet;
    int nc = 0, id = 0, rank = 0, dims[4];
    Variable v;
    EXPECT_EQ(nc_open(path.c_str(), NC_NOWRITE, &nc), NC_NOERR) << path;
    if (nc_inq_varid(nc, name, &id) != NC_NOERR) {
        ADD_FAILURE() << path << " has no " << name;
        nc_close(nc);
        return v;
    }
    std::size_t n = 1, length = 0;
    nc_inq_varndims(nc, id, &rank);
    nc_inq_vardimid(nc, id, dims);
    for (int d = 0; d < rank; ++d) {
        std::size_t size = 0;
        nc_inq_dimlen(nc, dims[d], &size);
        n *= size;
    }
    v.values.resize(n);
    nc_get_var_float(nc, id, v.values.data());
    float fill = 0;
    if (nc_get_att_float(nc, id, "_FillValue", &fill) == NC_NOERR)
        for (float& x : v.values)
            if (x == fill) x = NAN;
    for (auto [att, text] : {std::pair{"long_name", &v.long_name}, std::pair{"comment", &v.comment}})
        if (nc_inq_attlen(nc, id, att, &length) == NC_NOERR) {
            text->resize(length);
            nc_get_att_text(nc, id, att, text->data());
        }
    nc_close(nc);
    return v;
}

// velmora grid --field VRADH --dealias of Canberra: VRADH dealiased, and beside it VRADH_raw, the grid of the field
// as measured (what velmora grid --field VRADH writes alone), each saying which it is.
TEST(OdimVelocity, CanberraGridHoldsTheMeasuredFieldBesideTheDealiasedOne) {
    if (!std::filesystem::exists(kCanberra)) GTEST_SKIP() << "the real ODIM volume " << kCanberra << " is absent";
    vtest::TempDir tmp;
    const std::vector<std::string> grid{"--extent", "-60,60,-60,60", "--spacing", "2,2,1", "--levels", "1,6"};
    std::vector<std::string> dealiased{"grid", kCanberra, "--field", "VRADH", "--dealias", "--out", tmp.file("both.nc")};
    std::vector<std::string> measured{"grid", kCanberra, "--field", "VRADH", "--out", tmp.file("raw.nc")};
    dealiased.insert(dealiased.end(), grid.begin(), grid.end());
    measured.insert(measured.end(), grid.begin(), grid.end());
    const vtest::Printed both = vtest::cli_printed(dealiased);
    vhost::host().reset();
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.out, "61 x 61 x 6 grid of 1 polar volume written to " + tmp.file("both.nc") +
                            " (variable VRADH dealiased, VRADH_raw as measured)\n");
    ASSERT_EQ(vtest::cli_printed(measured).status, 0);
    vhost::host().reset();
    const Variable unfolded = variable(tmp.file("both.nc"), "VRADH"), raw = variable(tmp.file("both.nc"), "VRADH_raw");
    const Variable alone = variable(tmp.file("raw.nc"), "VRADH");
    EXPECT_EQ(unfolded.long_name, "Radial velocity, dealiased");
    EXPECT_EQ(unfolded.comment,
              "Unfolded past the Nyquist velocity by velmora's region-based dealiasing; VRADH_raw is the same field as measured");
    EXPECT_EQ(raw.long_name, "Radial velocity as measured");
    EXPECT_EQ(raw.comment, "Folded at the Nyquist velocity as the radar measured it; VRADH is the same field dealiased");
    ASSERT_EQ(raw.values.size(), alone.values.size());
    ASSERT_EQ(unfolded.values.size(), raw.values.size());
    long same = 0, measured_points = 0, changed = 0;
    float fastest_raw = 0;
    for (std::size_t i = 0; i < raw.values.size(); ++i) {
        const float r = raw.values[i], a = alone.values[i], u = unfolded.values[i];
        same += r == a || (std::isnan(r) && std::isnan(a));
        if (std::isnan(r)) continue;
        ++measured_points;
        EXPECT_FALSE(std::isnan(u)) << i;
        fastest_raw = std::max(fastest_raw, std::abs(r));
        changed += std::abs(u - r) > 2;
    }
    EXPECT_EQ(same, static_cast<long>(raw.values.size()));
    EXPECT_GT(measured_points, 5000);
    EXPECT_LE(fastest_raw, 39.0f);   // within the Nyquist velocity as measured
    EXPECT_GT(changed, 0);           // points where the unfolding changed the grid
    std::printf("Canberra grid: %ld points measured, %ld of them changed by more than 2 m/s once dealiased\n",
                measured_points, changed);
}

}  // namespace
