// Files as they arrive: the names writers use, NEXRAD chunk names, and each format's own word on whether a file is
// whole (NetCDF-4/HDF5, classic NetCDF, NEXRAD plain, gzip and bzip2, VTK XML) at every cut.
#include <gtest/gtest.h>

#include <cstdio>
#include <netcdf.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>

#include "io/volume.h"
#include "realtime/arrivals.h"
#include "watch_support.h"

namespace {

using velmora::realtime::missing_by_format;
using vtest::TempDir;

const char* const kKlix = VELMORA_SOURCE_DIR "/../shared/data/nexrad2_klix_200508281801.gz";

// Writes the first n bytes of text to path; what the format says of it.
std::string missing_when_cut(const TempDir& dir, const std::string& text, std::size_t n) {
    return missing_by_format(dir.write("cut", text.substr(0, n)));
}

TEST(ArrivalsTest, NamesOfFilesBeingWrittenAndOfChunks) {
    using velmora::realtime::writing_name;
    for (const char* n : {".series.nc", "series.nc.tmp", "series.nc.part", "SERIES.NC.TMP", ""}) EXPECT_TRUE(writing_name(n)) << n;
    for (const char* n : {"series.nc", "KLIX20050828_180149.gz", "tmp.nc", "part"}) EXPECT_FALSE(writing_name(n)) << n;
    const auto c = velmora::realtime::chunk_name("20260328-201457-055-E");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->volume, "20260328-201457");
    EXPECT_EQ(c->number, 55);
    EXPECT_EQ(c->type, 'E');
    for (const char* n : {"20260328-201457-055-X", "20260328-201457-55-E", "20260328_201457-055-E", "x0260328-201457-055-S"})
        EXPECT_FALSE(velmora::realtime::chunk_name(n)) << n;
}

TEST(ArrivalsTest, NetcdfFilesAreWholeOnlyOnceTheirDataIsAllThere) {
    TempDir dir;
    // NetCDF-4, as velmora and radar toolkits write it: the HDF5 superblock's end of file, then every dataset.
    velmora::write_netcdf(dir.file("v4.nc"), velmora::synthetic_volume());
    const std::string v4 = TempDir::read(dir.file("v4.nc"));
    EXPECT_EQ(missing_by_format(dir.file("v4.nc")), "");
    // The header's end of file may lie before the file's end (a file written from memory keeps its padding).
    std::size_t eof = 0;
    std::sscanf(missing_when_cut(dir, v4, 100).c_str(), "it ends at byte 100 of the %zu", &eof);
    ASSERT_GT(eof, 100u);
    ASSERT_LE(eof, v4.size());
    for (const std::size_t n : {std::size_t{100}, eof / 3, eof - 1})
        EXPECT_EQ(missing_when_cut(dir, v4, n), "it ends at byte " + std::to_string(n) + " of the " +
                                                    std::to_string(eof) + " its header gives") << n;
    // Classic (64-bit offset) with a record variable: the NetCDF library itself reads zeros past the end.
    int nc = 0, dx = 0, dt = 0, a = 0, b = 0;
    ASSERT_EQ(nc_create(dir.file("v2.nc").c_str(), NC_CLOBBER | NC_64BIT_OFFSET, &nc), NC_NOERR);
    nc_def_dim(nc, "x", 100, &dx);
    nc_def_dim(nc, "time", NC_UNLIMITED, &dt);
    const int dims[2] = {dt, dx};
    nc_def_var(nc, "a", NC_FLOAT, 1, &dx, &a);
    nc_def_var(nc, "b", NC_SHORT, 2, dims, &b);
    nc_enddef(nc);
    std::vector<float> values(100, 1.0f);
    std::vector<short> row(100, 2);
    nc_put_var_float(nc, a, values.data());
    for (std::size_t r = 0; r < 3; ++r) {
        const std::size_t start[2] = {r, 0}, count[2] = {1, 100};
        nc_put_vara_short(nc, b, start, count, row.data());
    }
    ASSERT_EQ(nc_close(nc), NC_NOERR);
    const std::string v2 = TempDir::read(dir.file("v2.nc"));
    EXPECT_EQ(missing_by_format(dir.file("v2.nc")), "");
    for (const std::size_t n : {v2.size() - 200, v2.size() - 1})
        EXPECT_EQ(missing_when_cut(dir, v2, n), "it ends at byte " + std::to_string(n) + " of the " +
                                                    std::to_string(v2.size()) + " its header gives") << n;
}

TEST(ArrivalsTest, VtkFilesAreWholeWithTheirClosingTag) {
    TempDir dir;
    const std::string vti = "<?xml version=\"1.0\"?>\n<VTKFile type=\"ImageData\">\n  <AppendedData>_xxxx</AppendedData>\n</VTKFile>\n";
    EXPECT_EQ(missing_by_format(dir.write("v.vti", vti)), "");
    EXPECT_EQ(missing_when_cut(dir, vti, vti.size() - 4), "no closing </VTKFile> yet");
}

TEST(ArrivalsTest, NexradVolumesAreWholeAtTheirEndOfVolumeRadial) {
    if (!std::filesystem::exists(kKlix)) GTEST_SKIP() << "the real NEXRAD volume " << kKlix << " is absent";
    TempDir dir;
    // Gzip-compressed, as archives keep it.
    const std::string gz = TempDir::read(kKlix);
    EXPECT_EQ(missing_by_format(kKlix), "");
    EXPECT_EQ(missing_when_cut(dir, gz, gz.size() / 2), "its gzip stream ends early");
    // Plain: the records of the legacy format end with the end-of-volume radial.
    std::string plain;
    gzFile f = gzopen(kKlix, "rb");
    char buf[1 << 16];
    for (int n; (n = gzread(f, buf, sizeof buf)) > 0;) plain.append(buf, static_cast<std::size_t>(n));
    gzclose(f);
    EXPECT_EQ(missing_by_format(dir.write("plain", plain)), "");
    EXPECT_EQ(missing_when_cut(dir, plain, 24 + 2432 * 3000), "no end-of-volume radial yet");
    EXPECT_NE(missing_when_cut(dir, plain, 24 + 2432 * 3000 + 20).find("truncated record"), std::string::npos);
    EXPECT_EQ(velmora::realtime::checksum_of(kKlix), [&] {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08lx", crc32(0, reinterpret_cast<const Bytef*>(gz.data()), static_cast<uInt>(gz.size())));
        return std::string(hex);
    }());
}

TEST(ArrivalsTest, TheRealTimeChunksJoinedAreWholeWithTheirEndChunk) {
    TempDir dir;
    const auto chunks = vtest::klot_chunks(dir.file("klot"));
    if (chunks.empty()) GTEST_SKIP() << "the real NEXRAD chunks (nexrad2_chunks_klot_20260328.tar.gz) are absent";
    ASSERT_EQ(chunks.size(), 55u);
    std::string joined;
    for (const auto& c : chunks) joined += TempDir::read(c);
    EXPECT_EQ(missing_by_format(dir.write("joined", joined)), "");
    const std::size_t without_end = joined.size() - TempDir::read(chunks.back()).size();
    EXPECT_EQ(missing_when_cut(dir, joined, without_end), "no end-of-volume radial yet");
    EXPECT_EQ(missing_when_cut(dir, joined, joined.size() - 100), "its last bzip2 block is cut short");
}

}  // namespace
