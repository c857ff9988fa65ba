// The ODIM HDF5 reader: a real KNMI volume, a small volume written here
// with every way ODIM writers store the same things, and damaged files.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>

#include "polar/gate_filters.h"
#include "polar/gridding.h"
#include "polar/polar.h"
#include "polar_files.h"
#include "temp_files.h"

namespace {

using namespace velmora::polar;
using polartest::H5File;

const std::string kKnmi = std::string(VELMORA_SOURCE_DIR) + "/../shared/data/odim_nldhl_201106101140.h5";

// The KNMI Den Helder volume, to the facts its description gives.
TEST(OdimRealVolume, DecodesTheKnmiVolume) {
    if (!std::filesystem::exists(kKnmi)) GTEST_SKIP() << "real ODIM volume absent: " << kKnmi;
    EXPECT_EQ(polar_format(kKnmi), PolarFormat::odim);
    const PolarVolume v = read_odim(kKnmi);
    EXPECT_EQ(v.field, "DBZH");
    EXPECT_EQ(v.units, "dBZ");
    ASSERT_TRUE(v.site);
    EXPECT_NEAR(v.site->latitude, 52.95334, 1e-5);
    EXPECT_NEAR(v.site->longitude, 4.78997, 1e-5);
    EXPECT_EQ(v.site->height, 50.0);
    EXPECT_EQ(v.time, 1307706002.0);  // 2011-06-10 11:40:02 UTC
    EXPECT_EQ(v.beam_width, 1.0);     // no how group

    // Elevation, gates, spacing, largest value and gates of 40 dBZ and more (66.5 and 622 published).
    const std::tuple<double, int, double, float, int> rows[] = {
        {0.3, 320, 1000, 66.5f, 622}, {0.4, 240, 1000, 58.0f, 44}, {0.8, 240, 1000, 46.5f, 8}, {1.1, 240, 1000, 42.5f, 4},
        {2.0, 240, 1000, 40.0f, 1},   {3.0, 340, 500, 50.0f, 2},   {4.5, 340, 500, 32.0f, 0},  {6.0, 300, 500, 34.5f, 0},
        {8.0, 300, 500, 26.0f, 0},    {10, 240, 500, 16.0f, 0},    {12, 240, 500, 28.0f, 0},   {15, 240, 500, 17.0f, 0},
        {20, 240, 500, 18.5f, 0},     {25, 240, 500, 18.0f, 0}};
    ASSERT_EQ(v.sweeps.size(), std::size(rows));
    for (std::size_t i = 0; i < v.sweeps.size(); ++i) {
        const Sweep& s = v.sweeps[i];
        const auto& [elevation, gates, spacing, max, strong] = rows[i];
        SCOPED_TRACE("sweep " + std::to_string(i));
        polartest::expect_sweep(s, elevation, gates, spacing / 2, spacing, 1e-4);  // rstart 0
        EXPECT_EQ(s.rays(), 360u);
        EXPECT_NEAR(s.azimuth.front(), 0.5, 1e-6);
        EXPECT_NEAR(s.azimuth.back(), 359.5, 1e-4);
        ASSERT_EQ(s.values.size(), 360u * gates);
        ASSERT_TRUE(s.time);
        EXPECT_GE(*s.time, i == 0 ? 1307706002.0 : *v.sweeps[i - 1].time + 1);  // in order, 11:40:02 to 11:43:55
        EXPECT_LE(*s.time, 1307706235.0);
        EXPECT_EQ(polartest::max_and_strong(s), std::pair(max, strong));
    }
}

// The small volume written by polar_files.h reads back value for value, and damaged is refused.
TEST(OdimSmallVolume, ReadsBackWhatWasWrittenAndRefusesItDamaged) {
    vtest::TempDir dir;
    const std::string path = dir.file("small.h5");
    polartest::write_odim(path);

    const PolarVolume v = read_odim(path);
    // The latitude as a float32 one-element array; 2020-01-02 03:04:05 UTC.
    polartest::expect_volume(v, path, "DBZH", {50.5, 6.25, 120.0}, 1577934245.0, 0.9);

    // dataset1, dataset2, dataset10 by number; dataset3 has no DBZH.
    ASSERT_EQ(v.sweeps.size(), 3u);
    const Sweep& s1 = v.sweeps[0];
    polartest::expect_sweep(s1, 0.5, 5, 500, 1000);
    EXPECT_EQ(s1.time, 1577934250.0);
    ASSERT_EQ(s1.rays(), 6u);
    EXPECT_EQ(s1.elevation, (std::vector<float>{0.4f, 0.5f, 0.6f, 0.5f, 0.5f, 0.5f}));
    for (int r = 0; r < 6; ++r) {
        EXPECT_NEAR(s1.azimuth[r], 20 + 60 * r, 1e-4) << r;  // mid-way from start to stop, across north for the first
        // gain and offset of the data level over the dataset's gain 2
        for (int g = 0; g < 5; ++g) EXPECT_EQ(s1.at(r, g), (40 + 10 * r + g) * 0.5f - 32) << r << " " << g;
    }

    const Sweep& s2 = v.sweeps[1];
    polartest::expect_sweep(s2, 1.5, 3, 625, 250);  // rstart in km, then half a gate
    EXPECT_FALSE(s2.time);
    ASSERT_EQ(s2.rays(), 4u);
    EXPECT_EQ(s2.azimuth, (std::vector<float>{45, 135, 225, 315}));
    EXPECT_EQ(s2.elevation, std::vector<float>(4, 1.5f));
    polartest::expect_ray(s2, 0, {kNoEcho, kMissing, 18});  // raw 0 undetect, 255 nodata
    polartest::expect_ray(s2, 2, {-31.5f, 95, -31});         // raw 254 a value

    const Sweep& s10 = v.sweeps[2];
    polartest::expect_sweep(s10, 3.0, 4, 2250, 500);
    ASSERT_EQ(s10.rays(), 3u);
    polartest::expect_ray(s10, 0, {kMissing, 1.25f, 2.25f, 3.25f});
    polartest::expect_ray(s10, 2, {8.25f, 9.25f, 10.25f, kNoEcho});

    // A second quantity by name: dataset2 and dataset3 hold it.
    const PolarVolume vr = read_odim(path, "VRADH");
    EXPECT_EQ(vr.field, "VRADH");
    EXPECT_EQ(vr.units, "m/s");
    ASSERT_EQ(vr.sweeps.size(), 2u);
    EXPECT_EQ(vr.sweeps[0].fixed_angle, 1.5);
    polartest::expect_ray(vr.sweeps[0], 0, {-10, 5, kNoEcho}, 1e-6f);
    polartest::expect_ray(vr.sweeps[0], 3, {0.7f, 0.8f, kMissing}, 1e-6f);
    EXPECT_EQ(vr.sweeps[1].fixed_angle, 2.5);
    polartest::expect_ray(vr.sweeps[1], 1, {3, 4});

    // Damaged and unusual files: each a runtime_error naming the file and the fault.
    const auto remove = [](const char* at, const char* name) {
        return [=](H5File& f) { f.remove(at, name); };
    };
    const auto number = [](const char* at, const char* name, double value, hid_t type = H5T_NATIVE_DOUBLE) {
        return [=](H5File& f) { f.numbers(at, {{name, value, type}}); };
    };
    const auto unlink = [](std::vector<const char*> paths) {
        return [=](H5File& f) { for (const char* p : paths) H5Ldelete(f.id(), p, H5P_DEFAULT); };
    };
    struct Row {
        std::function<void(H5File&)> damage;
        const char* message;
        const char* field = "";
    };
    const Row rows[] = {
        {[](H5File& f) { f.array("/dataset1/data1/data", 5, 6, std::vector<double>(30, 1), H5T_STD_U8LE); },
         "dataset1/data1/data is not 6 rays x 5 bins"},
        {[](H5File& f) { f.array("/dataset2/data1/data", 0, 12, std::vector<double>(12, 1), H5T_STD_U8LE); },
         "dataset2/data1/data is not 4 rays x 3 bins"},
        {remove("/dataset2/where", "nbins"), "missing attribute dataset2/where/nbins"},
        {remove("/dataset10/data1/what", "gain"), "missing attribute dataset10/data1/what/gain"},
        {remove("/what", "date"), "missing attribute what/date"},
        {remove("/where", "lat"), "missing attribute where/lat"},
        {number("/where", "lat", 95), "where/lat and where/lon: the radar's latitude 95 is not within -90 to 90 degrees"},
        {number("/where", "lon", 1000), "the radar's longitude 1000 is not within -180 to 360 degrees"},
        {unlink({"/dataset1/data1/data"}), "missing data array dataset1/data1/data"},
        {[](H5File& f) { f.text("/dataset2/where", "nrays", "4"); }, "dataset2/where/nrays is not a number"},
        {number("/dataset3/data1/what", "quantity", 7), "dataset3/data1/what/quantity is not a string"},
        {number("/what", "date", 20200102), "what/date is not a string"},
        {[](H5File& f) { f.text("/what", "date", "2020-01-02"); }, "is not YYYYMMDD HHMMSS"},
        {[](H5File& f) { f.numbers("/dataset2/data1/what", "gain", {0.5, 1}); }, "gain has 2 values, not one"},
        {number("/dataset2/where", "nrays", 0), "nrays 0 is not a count of rays"},
        {number("/dataset2/where", "nrays", 20000), "is not a count of rays"},
        {number("/dataset2/where", "nrays", 4.5), "is not a count of rays"},
        {number("/dataset1/where", "nbins", 1e6, H5T_STD_I32LE), "is not a count of bins"},
        {number("/dataset1/where", "rscale", 0), "rscale 0 is not a gate spacing"},
        {number("/dataset2/data1/what", "gain", 0), "dataset2/data1: gain is 0"},
        {[](H5File& f) { f.numbers("/dataset1/how", "startazA", {0, 60}); }, "startazA has 2 values for 6 rays"},
        {[](H5File&) {}, "no sweep holds TH (the file holds DBZH, VRADH)", "TH"},
        {[](H5File& f) { f.text("/what", "object", "COMP"); }, "ODIM object COMP, not a polar volume"},
        {remove("/what", "object"), "not an ODIM file"},
        {unlink({"/dataset1", "/dataset2", "/dataset3", "/dataset10"}), "no sweeps"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        {
            H5File f(path);
            polartest::write_odim(f);
            row.damage(f);
        }
        polartest::expect_refused([&] { read_odim(path, row.field); }, path, row.message);
    }
    // Strings in every form HDF5 allows: null-padded and space-padded, longer than their text, of variable
    // length, ASCII or UTF-8.
    const std::function<void(H5File&)> forms[] = {
        [](H5File& f) { f.text_as("/what", "object", "PVOL", 32, H5T_STR_NULLPAD, H5T_CSET_ASCII); },
        [](H5File& f) { f.text_as("/what", "object", "PVOL", 4, H5T_STR_NULLPAD, H5T_CSET_UTF8); },
        [](H5File& f) { f.text_as("/what", "object", "PVOL", 0, H5T_STR_NULLTERM, H5T_CSET_UTF8); },
        [](H5File& f) { f.text_as("/what", "date", "20200102", 0, H5T_STR_NULLTERM, H5T_CSET_UTF8); },
        [](H5File& f) { f.text_as("/dataset1/data1/what", "quantity", "DBZH", 0, H5T_STR_NULLTERM, H5T_CSET_UTF8); },
        [](H5File& f) { f.text_as("/dataset1/data1/what", "quantity", "DBZH", 16, H5T_STR_SPACEPAD, H5T_CSET_ASCII); },
    };
    for (std::size_t i = 0; i < std::size(forms); ++i) {
        SCOPED_TRACE("form " + std::to_string(i));
        {
            H5File f(path);
            polartest::write_odim(f);
            forms[i](f);
        }
        EXPECT_EQ(polar_format(path), PolarFormat::odim);
        const PolarVolume same = read_polar(path);
        EXPECT_EQ(same.time, 1577934245.0);
        ASSERT_EQ(same.sweeps.size(), 3u);
        EXPECT_EQ(same.sweeps[0].at(5, 4), v.sweeps[0].at(5, 4));
    }

    // A vertically pointing sweep is read, and left out of a grid with a note naming it and its angle.
    {
        H5File f(path);
        polartest::write_odim(f);
        f.numbers("/dataset10/where", {{"elangle", 90}});
    }
    const PolarVolume birdbath = read_odim(path);
    ASSERT_EQ(birdbath.sweeps.size(), 3u);
    EXPECT_EQ(birdbath.sweeps[2].name, "dataset10");
    std::vector<std::string> notes;
    velmora::polar::GridOptions o{.xmin = -2, .xmax = 2, .ymin = -2, .ymax = 2, .zmin = 0.5, .zmax = 2, .origin = {}};
    o.note = [&notes](const std::string& note) { notes.push_back(note); };
    EXPECT_EQ(grid_volumes(std::span(&birdbath, 1), o).values.size(), 5u * 5u * 4u);
    EXPECT_EQ(notes, std::vector<std::string>{path + ": dataset10 at 90 degrees elevation left out: a vertically "
                                                     "pointing scan is no part of a volume scan"});

    // A forged size of an object in the global heap, where variable-length strings are kept, made HDF5 read
    // past the heap and crash: refused before HDF5 reads the string.
    polartest::write_odim(path);
    std::string bytes = vtest::TempDir::read(path);
    const std::size_t heap = bytes.find(std::string("GCOL\x01\0\0\0", 8));
    ASSERT_NE(heap, std::string::npos);
    for (int i = 0; i < 8; ++i) bytes[heap + 16 + 8 + i] = i == 7 ? '\x0f' : '\xff';   // object 1's size
    const std::string damaged = dir.write("damaged.h5", bytes);
    polartest::expect_refused([&] { read_odim(damaged); }, damaged,
                              "a damaged HDF5 file: the global heap collection at byte " + std::to_string(heap) +
                                  ": object 1 of 1152921504606846975 bytes runs past it");

    const std::string text = dir.write("text.h5", "not a radar volume\n");
    EXPECT_EQ(polartest::error_of([&] { read_odim(text); }), text + ": not an HDF5 file");
}

// Quality groups: the first of quantity QIND of the data group, else of its dataset, decoded with its own gain
// and offset; a sweep without one has none; the filter leaves out the gates of a lower index.
TEST(OdimQuality, QualityIndexIsReadAndLeavesOutPoorGates) {
    vtest::TempDir dir;
    const std::string path = dir.file("quality.h5");
    {
        H5File f(path);
        polartest::write_odim(f);
        f.text("/dataset1/data1/quality1/what", "quantity", "PROB");   // another quantity: not the index
        f.numbers("/dataset1/data1/quality1/what", {{"gain", 1}, {"offset", 0}});
        f.array("/dataset1/data1/quality1/data", 6, 5, std::vector<double>(30, 0), H5T_STD_U8LE);
        f.text("/dataset1/data1/quality2/what", "quantity", "QIND");
        f.numbers("/dataset1/data1/quality2/what", {{"gain", 0.1}, {"offset", 0}, {"nodata", 255}});
        std::vector<double> q(30, 10);
        q[0] = 2, q[7] = 5, q[8] = 255;
        f.array("/dataset1/data1/quality2/data", 6, 5, q, H5T_STD_U8LE);
        f.text("/dataset2/quality1/what", "quantity", "QIND");
        f.numbers("/dataset2/quality1/what", {{"gain", 0.5}, {"offset", 0}});
        f.array("/dataset2/quality1/data", 4, 3, {0, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}, H5T_STD_U8LE);
    }
    PolarVolume v = read_odim(path);
    ASSERT_EQ(v.sweeps.size(), 3u);
    const Sweep &low = v.sweeps[0], &mid = v.sweeps[1];
    ASSERT_EQ(low.quality.size(), 30u);
    EXPECT_FLOAT_EQ(low.quality[0], 0.2f);
    EXPECT_FLOAT_EQ(low.quality[7], 0.5f);
    EXPECT_TRUE(std::isnan(low.quality[8]));
    EXPECT_FLOAT_EQ(low.quality[29], 1.0f);
    ASSERT_EQ(mid.quality.size(), 12u);   // the dataset's, for its data
    EXPECT_FLOAT_EQ(mid.quality[1], 0.5f);
    EXPECT_TRUE(v.sweeps[2].quality.empty());
    EXPECT_TRUE(low.clutter_power.empty());

    // Below 0.5: gate 0 of dataset1 (0.2) and gate 0 of dataset2 (0, no echo there) become missing.
    const float kept = low.values[7];
    EXPECT_EQ(filter_gates(v, {.despeckle = false, .min_quality = 0.5}), 2u);
    EXPECT_TRUE(std::isnan(v.sweeps[0].values[0]));
    EXPECT_TRUE(std::isnan(v.sweeps[1].values[0]));
    EXPECT_EQ(v.sweeps[0].values[7], kept);
    EXPECT_EQ(gate_filters_problem({.min_quality = 1.5}), "the least quality index must be from 0 to 1");
}

}  // namespace
