// NetCDF-4 files read on threads of their own, as Python's threads and Dask's workers read them: HDF5's own error
// stack never reaches standard error (the NetCDF library silences it only on the thread that first used it), and
// velmora's message alone says what is wrong.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../polar/polar_files.h"
#include "child.h"
#include "io/volume.h"
#include "polar/polar.h"
#include "temp_files.h"

namespace {

std::string write_volume(const std::string& path) {
    polartest::NcWriter w(path);
    const int z = w.dim("z", 2), y = w.dim("y", 2), x = w.dim("x", 2);
    for (const auto& [name, dim] : {std::pair{"z", z}, std::pair{"y", y}, std::pair{"x", x}})
        w.var(name, NC_DOUBLE, {dim}, {0, 1000}, {{"units", "m"}});
    w.var("DT", NC_FLOAT, {z, y, x}, std::vector<double>(8, 30.0), {{"units", "dBZ"}});
    w.enddef();
    return path;
}

// What reading each file on threads of its own (two at a time) writes to standard error, in a child process: the
// messages of the reads that fail, one a line, and whatever the libraries print.
std::string errors_of_threaded_reads(const std::vector<std::string>& files) {
    const vtest::ChildEnd end = vtest::in_child([&] {
        for (int round = 0; round < 2; ++round) {
            std::vector<std::thread> threads;
            for (const std::string& f : files)
                threads.emplace_back([&f] {
                    try {
                        velmora::read_netcdf(f, "DT");
                        velmora::polar::polar_format(f);
                    } catch (const std::runtime_error& e) {
                        std::fprintf(stderr, "%s\n", e.what());
                    }
                });
            for (auto& t : threads) t.join();
        }
        return 0;
    });
    EXPECT_TRUE(end.exited && end.status == 0) << end.status;
    return end.err;
}

TEST(Hdf5OnThreads, SaysNothingOfItsOwnWhetherTheFileIsWholeOrDamaged) {
    vtest::TempDir dir;
    const std::string good = write_volume(dir.file("good.nc"));
    const std::string whole = vtest::TempDir::read(good);
    const std::string cut = dir.write("cut.nc", whole.substr(0, whole.size() / 2));
    EXPECT_EQ(errors_of_threaded_reads({good, good}), "");
    const std::string err = errors_of_threaded_reads({cut});
    EXPECT_EQ(err.find("HDF5"), std::string::npos) << err;
    const std::string line = cut + ": cannot open: NetCDF: HDF error\n";
    EXPECT_EQ(err, line + line);
}

}  // namespace
