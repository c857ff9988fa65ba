// A polar volume's field keeps the name and units the file gives it: in what analyze prints, in the grid it writes
// and in the network that reads that grid again; velmora grid writes a velocity as a velocity.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <string>
#include <vector>

#include "../polar/polar_files.h"
#include "app_test.h"

namespace {

// The standard output of a command line and its status.
std::pair<int, std::string> printed(const std::vector<std::string>& args) {
    const vtest::Printed p = vtest::cli_printed(args);
    return {p.status, p.out};
}

// The name, units and long name of every variable of a NetCDF file on four dimensions.
std::vector<std::vector<std::string>> gridded_variables(const std::string& path) {
    int nc = -1, n = 0;
    EXPECT_EQ(nc_open(path.c_str(), NC_NOWRITE, &nc), NC_NOERR) << path;
    nc_inq_nvars(nc, &n);
    std::vector<std::vector<std::string>> out;
    for (int v = 0; v < n; ++v) {
        char name[NC_MAX_NAME + 1] = "";
        int dims = 0;
        nc_inq_var(nc, v, name, nullptr, &dims, nullptr, nullptr);
        if (dims != 4) continue;
        std::vector<std::string> row{name};
        for (const char* attribute : {"units", "long_name"}) {
            std::size_t len = 0;
            std::string text;
            if (nc_inq_attlen(nc, v, attribute, &len) == NC_NOERR) {
                text.resize(len);
                nc_get_att_text(nc, v, attribute, text.data());
            }
            row.push_back(text);
        }
        out.push_back(row);
    }
    nc_close(nc);
    return out;
}

const std::vector<std::string> kSmallGrid = {"--extent", "-2,2,-2,2", "--levels", "0.5,2"};

std::vector<std::string> with_grid(std::vector<std::string> args) {
    args.insert(args.end(), kSmallGrid.begin(), kSmallGrid.end());
    return args;
}

TEST(FieldNames, GridWritesEachFieldUnderItsOwnNameAndUnits) {
    vtest::TempDir dir;
    const std::string odim = dir.file("in.h5");
    polartest::write_odim(odim);
    ASSERT_EQ(printed(with_grid({"grid", odim, "--out", dir.file("dbzh.nc")})).first, 0);
    EXPECT_EQ(gridded_variables(dir.file("dbzh.nc")),
              (std::vector<std::vector<std::string>>{{"DBZH", "dBZ", "Reflectivity"}}));
    ASSERT_EQ(printed(with_grid({"grid", odim, "--out", dir.file("vradh.nc"), "--field", "VRADH"})).first, 0);
    EXPECT_EQ(gridded_variables(dir.file("vradh.nc")), (std::vector<std::vector<std::string>>{{"VRADH", "m/s", ""}}));
}

TEST(FieldNames, AnalyzeOfAPolarVolumeSaysItsFieldAndItsNetworkReadsItsGrid) {
    vtest::TempDir dir;
    const std::string odim = dir.file("in.h5");
    polartest::write_odim(odim);
    for (const auto& [field, level] : {std::pair{"DBZH", "-20"}, std::pair{"VRADH", "0"}}) {
        SCOPED_TRACE(field);
        const std::string out = dir.file(std::string("out-") + field);
        const auto [status, text] =
            printed(with_grid({"analyze", odim, "--field", field, "--level", level, "--out", out, "--no-picture"}));
        ASSERT_EQ(status, 0) << text;
        EXPECT_NE(text.find(" in in.h5 (" + std::string(field) + ")"), std::string::npos) << text;
        EXPECT_EQ(text.find("(DT)"), std::string::npos) << text;
        EXPECT_EQ(gridded_variables(out + "/grid.nc").at(0).at(0), field);
        // The network written beside the results reads the grid by that name.
        const std::string network = vtest::TempDir::read(out + "/network.json");
        if (!network.empty()) {
            EXPECT_NE(network.find("\"var\": \"" + std::string(field) + "\""), std::string::npos) << network;
        }
    }
}

}  // namespace
