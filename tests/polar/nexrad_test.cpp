// The NEXRAD Level II reader: the real KLIX volume, volumes written here in every packing, damaged files.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "polar/gridding.h"
#include "polar/gate_filters.h"
#include "polar/polar.h"
#include "polar_files.h"
#include "temp_files.h"

namespace {

using namespace velmora::polar;
using polartest::expect_ray;
using vtest::TempDir;

const char* const kKlix = VELMORA_SOURCE_DIR "/../shared/data/nexrad2_klix_200508281801.gz";

// Big-endian words of the given number of bytes.
void put(std::string& s, int bytes, std::initializer_list<std::uint32_t> words) {
    for (std::uint32_t w : words)
        for (int b = bytes - 1; b >= 0; --b) s += static_cast<char>(w >> 8 * b & 0xFF);
}
void putf(std::string& s, std::initializer_list<float> values) {
    for (float v : values) put(s, 4, {std::bit_cast<std::uint32_t>(v)});
}
// s with a big-endian word at byte at.
std::string with(std::string s, std::size_t at, int bytes, std::uint32_t word) {
    for (int b = 0; b < bytes; ++b) s[at + b] = static_cast<char>(word >> 8 * (bytes - 1 - b) & 0xFF);
    return s;
}
std::uint32_t u32(std::size_t n) { return static_cast<std::uint32_t>(n); }

constexpr std::uint32_t kDate = 15000;   // 2011-01-25
constexpr std::uint32_t kMs = 43200000;  // 12:00 UTC
constexpr double kTime = 14999 * 86400.0 + 43200;

std::string volume_header(const std::string& icao = "KTLX") {
    std::string h = "AR2V0006.001";
    put(h, 4, {kDate, kMs});
    return h + icao;
}

// CTM, message header, body; legacy messages fill a 2432-byte record.
std::string message(std::uint32_t type, std::string body, bool fixed) {
    if (body.size() % 2) body += '\0';
    std::string m(12, '\0');
    put(m, 2, {u32((16 + body.size()) / 2)});
    put(m, 1, {0, type});
    put(m, 2, {1, kDate});
    put(m, 4, {kMs});
    put(m, 2, {1, 1});
    m += body;
    if (fixed) m.resize(2432, '\0');
    return m;
}

struct Moment {
    std::string name;  // REF, VEL, "SW "
    std::uint32_t bits = 8;
    float scale = 2, offset = 66;
    std::uint32_t first = 2125, spacing = 250;
    std::vector<std::uint32_t> raw;
};

struct Ray {
    std::uint32_t cut = 1;
    float azimuth = 0, elevation = 0.5f;
    std::uint32_t ms = kMs;
    std::vector<Moment> moments;
    std::uint32_t nyquist = 0;  // of the radial block, 0.01 m/s; none when 0
};

const Site kWrittenSite{35.3331, -97.2778, 370 + 20};

// Message 31: the radial header with nine block pointers, a volume block with the site, then the moments.
std::string message31(const Ray& r) {
    std::string vol = "RVOL";
    put(vol, 2, {44});
    put(vol, 1, {1, 0});
    putf(vol, {static_cast<float>(kWrittenSite.latitude), static_cast<float>(kWrittenSite.longitude)});
    put(vol, 2, {370, 20});
    putf(vol, {0, 0, 0, 0, 0});
    put(vol, 2, {212, 0});
    std::vector<std::string> blocks{vol};
    if (r.nyquist) {
        std::string rad = "RRAD";
        put(rad, 2, {20, 1466});
        putf(rad, {-80, -80});
        put(rad, 2, {r.nyquist, 0});
        blocks.push_back(rad);
    }
    for (const Moment& m : r.moments) {
        std::string b = "D" + m.name;
        put(b, 4, {0});
        put(b, 2, {u32(m.raw.size()), m.first, m.spacing, 0, 0});
        put(b, 1, {0, m.bits});
        putf(b, {m.scale, m.offset});
        for (std::uint32_t v : m.raw) put(b, m.bits / 8, {v});
        if (b.size() % 2) b += '\0';
        blocks.push_back(b);
    }
    std::string h = "KTLX";
    put(h, 4, {r.ms});
    put(h, 2, {kDate, 1});
    putf(h, {r.azimuth});
    put(h, 1, {0, 0});
    put(h, 2, {0});  // radial length, set below
    put(h, 1, {2, 1, r.cut, 1});
    putf(h, {r.elevation});
    put(h, 1, {0, 0});
    put(h, 2, {u32(blocks.size())});
    std::size_t at = 68;
    for (std::size_t i = 0; i < 9; ++i) {
        put(h, 4, {i < blocks.size() ? u32(at) : 0});
        if (i < blocks.size()) at += blocks[i].size();
    }
    for (const auto& b : blocks) h += b;
    return message(31, with(h, 18, 2, u32(h.size())), false);
}

// Two cuts of reflectivity and velocity (the second starting with a short radial, then a longer and a
// longest one), then velocity only.
std::vector<Ray> written_rays() {
    std::vector<Ray> rays;
    for (std::uint32_t i = 0; i < 4; ++i)
        rays.push_back({1, 359.5f + i,  // 360.5 and on wrap
                        i == 0 ? 0.60f : i == 1 ? 0.49f : 0.50f,  // settling at first
                        kMs + 100 * i,
                        {{"REF", 8, 2, 66, 2125, 250, {0, 1, 2, 66, 100 + 7 * i, 255}},
                         {"VEL", 16, 10, 1000, 2125, 250, {0, 1, 1000, 1255, 745, 3000, 65535}}}});
    const std::vector<std::uint32_t> raw[] = {{40, 50}, {41, 51, 61, 71}, {42, 52, 62, 72, 82, 92}};
    for (std::uint32_t i = 0; i < 3; ++i)
        rays.push_back({2, 10.25f * i, 1.45f, kMs + 60000 + 100 * i,
                        {{"REF", 8, 2, 66, 1000, 1000, raw[i]}, {"VEL", 8, 2, 129, 1000, 250, {129, 130}}}});
    rays.push_back({3, 0, 0.5f, kMs, {{"VEL", 8, 2, 129, 2125, 250, {100, 140}}}});
    return rays;
}

// A metadata message in its fixed record ahead of the radials, as archives have.
std::string metadata() { return message(2, std::string(40, '\x11'), true); }

std::string plain_file(const std::vector<Ray>& rays) {
    std::string f = volume_header() + metadata();
    for (const Ray& r : rays) f += message31(r);
    return f;
}

// The newer layout: metadata and radials in bzip2 blocks, each behind its size (negative for the last).
std::string bzip2_file(const std::vector<Ray>& rays) {
    std::vector<std::string> blocks{metadata(), "", ""};
    for (std::size_t i = 0; i < rays.size(); ++i) blocks[i < 4 ? 1 : 2] += message31(rays[i]);
    std::string f = volume_header();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::string z(blocks[i].size() + 1024, '\0');
        unsigned size = u32(z.size());
        EXPECT_EQ(BZ2_bzBuffToBuffCompress(z.data(), &size, blocks[i].data(), u32(blocks[i].size()), 9, 0, 0), BZ_OK);
        put(f, 4, {i + 1 == blocks.size() ? -size : size});
        f += z.substr(0, size);
    }
    return f;
}

std::string gzip_to(const std::string& path, const std::string& data) {
    gzFile f = gzopen(path.c_str(), "wb");
    gzwrite(f, data.data(), u32(data.size()));
    gzclose(f);
    return path;
}

// Message 1: a 100-byte header, then reflectivity and velocity (first Doppler gate at -375 m, 1 m/s steps).
std::string message1(std::uint32_t cut, std::uint32_t azimuth_code, std::uint32_t elevation_code,
                     const std::vector<std::uint32_t>& ref, const std::vector<std::uint32_t>& vel) {
    std::string b;
    put(b, 4, {kMs});
    put(b, 2, {kDate, 1000, azimuth_code, 1, 1, elevation_code, cut, 0, 0x10000 - 375, 1000, 250, u32(ref.size()),
               u32(vel.size()), 1});
    putf(b, {0});
    put(b, 2, {ref.empty() ? 0 : 100u, vel.empty() ? 0 : u32(100 + ref.size()), 0, 4, 11});
    b.resize(60, '\0');
    put(b, 2, {2650});  // Nyquist velocity, 0.01 m/s
    b.resize(100, '\0');
    for (std::uint32_t v : ref) put(b, 1, {v});
    for (std::uint32_t v : vel) put(b, 1, {v});
    return message(1, b, true);
}

std::string message1_file() {
    std::string f = volume_header("KLIX") + metadata();
    for (std::uint32_t i = 0; i < 3; ++i) f += message1(1, 8192 * i, 88, {0, 1, 2, 108, 140}, {});
    for (std::uint32_t i = 0; i < 2; ++i) f += message1(2, 100 + 8192 * i, 96, {}, {0, 1, 129, 150, 100});
    return f;
}

TEST(NexradKlix, DecodesTheFactsOfItsDescription) {
    if (!std::filesystem::exists(kKlix)) GTEST_SKIP() << "the real NEXRAD volume " << kKlix << " is absent";
    const PolarVolume v = read_polar(kKlix);
    // Measured elevation (median), gates, maximum dBZ, gates of 40 dBZ and more.
    const std::tuple<double, int, float, int> rows[] = {
        {0.40, 460, 54.0f, 1182}, {1.41, 356, 52.0f, 433}, {2.29, 356, 53.0f, 111}, {3.30, 268, 48.5f, 24},
        {4.17, 216, 47.0f, 9},    {5.19, 216, 38.0f, 0},   {6.11, 176, 32.5f, 0},   {7.38, 137, 34.5f, 0},
        {8.57, 127, 44.5f, 2},    {9.93, 110, 43.0f, 1},   {11.95, 100, 27.5f, 0},  {13.89, 90, 30.5f, 0},
        {16.66, 80, 33.5f, 0},    {19.38, 70, 19.0f, 0}};
    EXPECT_EQ(v.field, "REF");
    EXPECT_EQ(v.units, "dBZ");
    EXPECT_DOUBLE_EQ(v.beam_width, 0.95);
    EXPECT_EQ(v.time, 1125252109.0);  // 2005-08-28 18:01:49 UTC, the volume header's
    ASSERT_EQ(v.sweeps.size(), std::size(rows));  // the Doppler halves of the split cuts left out
    for (std::size_t i = 0; i < v.sweeps.size(); ++i) {
        SCOPED_TRACE("sweep " + std::to_string(i));
        const Sweep& s = v.sweeps[i];
        const auto& [elevation, gates, max, strong] = rows[i];
        polartest::expect_sweep(s, elevation, gates, 0, 1000, 1e-9);
        EXPECT_TRUE(s.rays() >= 362u && s.rays() <= 367u) << s.rays();
        EXPECT_EQ(s.values.size(), s.rays() * s.gates);
        EXPECT_EQ(polartest::max_and_strong(s), std::pair(max, strong));
        for (float a : s.azimuth) ASSERT_TRUE(a >= 0.0f && a < 360.0f) << a;
        ASSERT_TRUE(s.time.has_value());
        EXPECT_TRUE(*s.time >= 1125252089.0 && *s.time <= 1125252387.0) << *s.time;  // radials 18:01:29 to 18:06:27
    }
    EXPECT_NEAR(v.sweeps[0].azimuth[0], 256.0, 0.1);
    EXPECT_NEAR(*v.sweeps[0].time, 1125252089.465, 1e-3);
}

TEST(NexradMessage31, ReadsBackWhatWasWrittenInEveryPackingAndRefusesItDamaged) {
    TempDir dir;
    const std::vector<Ray> rays = written_rays();
    const std::string plain = plain_file(rays), blocks = bzip2_file(rays);
    const std::string files[] = {dir.write("plain", plain), dir.write("bzip2", blocks),
                                 gzip_to(dir.file("plain.gz"), plain), gzip_to(dir.file("bzip2.gz"), blocks)};
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        ASSERT_EQ(polar_format(path), PolarFormat::nexrad);
        const PolarVolume ref = read_nexrad(path);
        EXPECT_EQ(ref.field, "REF");
        EXPECT_EQ(ref.units, "dBZ");
        ASSERT_TRUE(ref.site.has_value());  // from the volume block
        EXPECT_NEAR(ref.site->latitude, kWrittenSite.latitude, 1e-5);
        EXPECT_NEAR(ref.site->longitude, kWrittenSite.longitude, 1e-5);
        EXPECT_DOUBLE_EQ(ref.site->height, kWrittenSite.height);
        EXPECT_EQ(ref.time, kTime);
        ASSERT_EQ(ref.sweeps.size(), 2u);  // the velocity-only cut has no reflectivity

        const Sweep& low = ref.sweeps[0];
        ASSERT_EQ(low.rays(), 4u);
        polartest::expect_sweep(low, 0.50, 6, 2125, 250);  // the median elevation, not the mean
        EXPECT_EQ(low.time, kTime);
        EXPECT_EQ(low.azimuth, (std::vector<float>{359.5f, 0.5f, 1.5f, 2.5f}));
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_FLOAT_EQ(low.elevation[i], rays[i].elevation);
            // 0 no echo, 1 missing, then (raw - 66) / 2
            expect_ray(low, i, {kNoEcho, kMissing, -32, 0, 17 + 3.5f * i, 94.5f}, 1e-4f);
        }

        // Each radial keeps its own gates, however short the cut's first: the sweep is as long as its longest
        // radial, the shorter ones padded with missing gates.
        const Sweep& high = ref.sweeps[1];
        ASSERT_EQ(high.rays(), 3u);
        polartest::expect_sweep(high, 1.45, 6, 1000, 1000);
        EXPECT_EQ(high.time, kTime + 60);
        EXPECT_EQ(high.azimuth, (std::vector<float>{0, 10.25f, 20.5f}));
        expect_ray(high, 0, {-13, -8, kMissing, kMissing, kMissing, kMissing}, 1e-4f);
        expect_ray(high, 1, {-12.5f, -7.5f, -2.5f, 2.5f, kMissing, kMissing}, 1e-4f);
        expect_ray(high, 2, {-12, -7, -2, 3, 8, 13}, 1e-4f);

        // Velocity: 16-bit words in the first cut, and the Doppler-only cut.
        const PolarVolume vel = read_nexrad(path, "vel");
        EXPECT_EQ(vel.field, "VEL");
        EXPECT_EQ(vel.units, "m/s");
        ASSERT_EQ(vel.sweeps.size(), 3u);
        expect_ray(vel.sweeps[0], 2, {kNoEcho, kMissing, 0, 25.5f, -25.5f, 200, 6453.5f}, 1e-4f);
        expect_ray(vel.sweeps[2], 0, {-14.5f, 5.5f});

        // The caller's site comes first.
        const PolarVolume placed = read_polar(path, "DBZH", Site{1, 2, 3});
        EXPECT_EQ(placed.field, "REF");
        EXPECT_DOUBLE_EQ(placed.site->latitude, 1.0);
        EXPECT_DOUBLE_EQ(placed.site->height, 3.0);
    }

    const std::string legacy = message1_file();
    // Where the first radial's message, its body, and the second record of message 1 start.
    const std::size_t first31 = 24 + 2432, body = first31 + 28, second1 = 24 + 2 * 2432;
    const std::size_t vol_pointer = body + 32, ref_block = body + 68 + 44;
    std::vector<Ray> other_gates = rays;
    other_gates[6].moments[0].spacing = 500;
    // The bytes of a gzip file of data.
    const auto gzipped = [&dir](const std::string& data) {
        std::ifstream in(gzip_to(dir.file("bomb.gz"), data), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::string garbled = blocks;
    for (std::size_t i = 40; i < 60; ++i) garbled[i] = 'x';
    struct Case {
        std::string bytes, message, field = "";
    };
    const std::vector<Case> cases = {
        {"neither radar nor volume", "not a NEXRAD Level II"},
        {plain.substr(0, 20), "truncated volume header"},
        {legacy.substr(0, 24 + 2432 + 20), "truncated record"},
        {legacy.substr(0, second1 + 100), "run past the end of the data"},
        {with(plain, first31 + 12, 2, 30000), "run past the end of the data"},
        {with(plain, first31 + 12, 2, 4), "shorter than its header"},
        {with(legacy, 24 + 2432 + 12, 2, 1300), "does not fit its 2432-byte record"},
        {with(plain, vol_pointer + 4, 4, 60000), "data block pointer 60000 outside"},
        {with(plain, vol_pointer, 4, 8), "data block pointer 8 outside"},  // into the radial header
        {with(plain, body + 30, 2, 300), "300 data blocks"},
        {with(plain, ref_block + 8, 2, 5000), "5000 gates run past the end of the message"},
        {with(plain, ref_block + 19, 1, 12), "data words of 12 bits"},
        {with(plain, ref_block + 20, 4, 0), "scale 0"},
        {with(legacy, second1 + 28 + 36, 2, 3000), "data pointer 3000 outside"},
        {with(legacy, second1 + 28 + 26, 2, 2400), "2400 REF gates run past"},
        {garbled, "bzip2 block at byte 24"},
        {with(blocks, 24, 4, 0x7FFFFFFF), "bzip2 block of 2147483647 bytes at byte 24 runs past the end of the file"},
        {blocks.substr(0, blocks.size() - 30), "runs past the end of the file"},
        {with(blocks.substr(0, blocks.size() - 3), 24, 4, 16), "bzip2 block at byte 24 ends early"},
        {plain_file({rays.back()}), "no REF gates in the volume"},
        {"", "bad: an empty file"},
        {plain_file(other_gates), "elevation cut 2: radial 2 has gates from 1000 m every 500 m, the cut's first "
                                  "radial from 1000 m every 1000 m"},
        // Bombs: stopped once their first bytes show no volume, or at 200 times the file and 4 MB.
        {gzipped(std::string(std::size_t{64} << 20, '\0')), "not a NEXRAD Level II (Archive II) file"},
        {gzipped(volume_header() + std::string(std::size_t{64} << 20, '\0')),
         "decompresses to more than 16 MB (200 times its size and 4 MB, or 512 MB): not a radar volume"},
        {plain, "no ZDR gates in the volume", "ZDR"},
        {plain, "no field 'rain'", "rain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string path = dir.write("bad", c.bytes);
        polartest::expect_refused([&] { read_nexrad(path, c.field); }, path, c.message);
    }
}

// A vertically pointing cut is read as any other, and left out of the grid with a note naming it and its angle.
TEST(NexradMessage31, BirdbathCutIsLeftOutOfTheGridWithANote) {
    TempDir dir;
    std::vector<Ray> rays = written_rays();
    const std::string path = dir.write("plain", plain_file(rays));
    for (std::uint32_t i = 0; i < 4; ++i)
        rays.push_back({4, 90.0f * i, 90.0f, kMs + 90000, {{"REF", 8, 2, 66, 2125, 250, {100, 120, 140}}}});
    const std::string birdbath = dir.write("birdbath", plain_file(rays));
    const PolarVolume v = read_nexrad(birdbath);
    ASSERT_EQ(v.sweeps.size(), 3u);
    EXPECT_EQ(v.sweeps[2].fixed_angle, 90.0);
    std::vector<std::string> notes;
    GridOptions o{.xmin = -2, .xmax = 2, .ymin = -2, .ymax = 2, .zmin = 0.5, .zmax = 2, .origin = {}};
    o.note = [&notes](const std::string& note) { notes.push_back(note); };
    const velmora::Volume with = velmora::polar::grid_volumes(std::span(&v, 1), o);
    EXPECT_EQ(notes, std::vector<std::string>{birdbath + ": elevation cut 4 at 90 degrees elevation left out: a "
                                                         "vertically pointing scan is no part of a volume scan"});
    const PolarVolume plain = read_nexrad(path);
    const velmora::Volume without = velmora::polar::grid_volumes(std::span(&plain, 1), o);
    EXPECT_TRUE(std::equal(with.values.begin(), with.values.end(), without.values.begin(), without.values.end()));
}

TEST(NexradMessage1, ReadsReflectivityAndVelocityOfSplitCuts) {
    TempDir dir;
    const std::string path = dir.write("msg1", message1_file());
    const PolarVolume ref = read_nexrad(path);
    ASSERT_EQ(ref.sweeps.size(), 1u);  // the Doppler half of the split cut has no reflectivity
    const Sweep& s = ref.sweeps[0];
    ASSERT_EQ(s.rays(), 3u);
    polartest::expect_sweep(s, 0.48, 5, 0, 1000, 1e-9);  // 88 x 180/32768 = 0.4834°
    EXPECT_FLOAT_EQ(s.elevation[0], 88 * 180.0f / 32768);
    EXPECT_FLOAT_EQ(s.azimuth[1], 45.0f);
    EXPECT_FLOAT_EQ(s.azimuth[2], 90.0f);
    expect_ray(s, 1, {kNoEcho, kMissing, -32, 21, 37}, 1e-4f);
    // No coordinates in message 1: the station list's, by the header's name in any case; 24 ft up.
    ASSERT_TRUE(ref.site.has_value());
    EXPECT_DOUBLE_EQ(ref.site->latitude, 30.33667);
    EXPECT_DOUBLE_EQ(ref.site->longitude, -89.82528);
    EXPECT_NEAR(ref.site->height, 24 * 0.3048, 1e-9);
    EXPECT_NEAR(nexrad_site("ktlx").value_or(Site{}).latitude, 35.33306, 1e-9);
    EXPECT_FALSE(nexrad_site("KXYZ").has_value());
    EXPECT_FALSE(nexrad_site("").has_value());

    // A volume header dated past what the messages' 16-bit dates reach: the first radial's time counts.
    const std::string undated = dir.write("undated", with(message1_file(), 12, 4, 0xFFFFFFFF));
    EXPECT_EQ(read_nexrad(undated).time, kTime);

    const PolarVolume vel = read_nexrad(path, "VEL");
    ASSERT_EQ(vel.sweeps.size(), 1u);
    EXPECT_DOUBLE_EQ(vel.sweeps[0].range_first, -375.0);
    EXPECT_DOUBLE_EQ(vel.sweeps[0].gate_spacing, 250.0);
    expect_ray(vel.sweeps[0], 0, {kNoEcho, kMissing, 0, 21, -29}, 1e-4f);  // 1 m/s steps around 129
}

// The clutter filter power removed (CFP) of message 31, on the reflectivity's gates by range: a coarser CFP
// moment is spread over them; a radial without it has none; the filter leaves out the gates it cleaned most.
TEST(NexradMessage31, ClutterFilterPowerIsReadOnTheGatesAndLeavesOutCleanedGates) {
    TempDir dir;
    const std::vector<Ray> rays = {
        {1, 10, 0.5f, kMs, {{"REF", 8, 2, 66, 2125, 250, {100, 100, 100, 100}}, {"CFP", 8, 2, 10, 2125, 500, {30, 50}}}},
        {1, 11, 0.5f, kMs + 100, {{"REF", 8, 2, 66, 2125, 250, {100, 100, 100, 100}}}}};
    const std::string path = dir.write("cfp", plain_file(rays));
    PolarVolume v = read_nexrad(path);
    ASSERT_EQ(v.sweeps.size(), 1u);
    const Sweep& s = v.sweeps[0];
    ASSERT_EQ(s.clutter_power.size(), 8u);
    // Gates at 2125, 2375, 2625 and 2875 m take the CFP gates at 2125, 2625, 2625 and none.
    EXPECT_FLOAT_EQ(s.clutter_power[0], 10.0f);
    EXPECT_FLOAT_EQ(s.clutter_power[1], 20.0f);
    EXPECT_FLOAT_EQ(s.clutter_power[2], 20.0f);
    EXPECT_TRUE(std::isnan(s.clutter_power[3]));
    for (int g = 4; g < 8; ++g) EXPECT_TRUE(std::isnan(s.clutter_power[g])) << g;
    EXPECT_EQ(filter_gates(v, {.despeckle = false, .max_clutter_power = 15.0}), 2u);
    expect_ray(v.sweeps[0], 0, {17, kMissing, kMissing, 17}, 1e-4f);
    expect_ray(v.sweeps[0], 1, {17, 17, 17, 17}, 1e-4f);
}

// The Nyquist velocity of message 31's radial block and of message 1's header, on the velocity's sweeps
// only; gates the radar marked range folded kept apart from those it measured nothing at.
TEST(NexradVelocity, NyquistVelocityAndRangeFoldedGatesAreRead) {
    TempDir dir;
    std::vector<Ray> rays = written_rays();
    for (Ray& r : rays) r.nyquist = r.cut == 1 ? 2815 : 0;
    const std::string path = dir.write("vel31", plain_file(rays));
    const PolarVolume vel = read_nexrad(path, "VEL");
    ASSERT_EQ(vel.sweeps.size(), 3u);
    ASSERT_TRUE(vel.sweeps[0].nyquist.has_value());
    EXPECT_NEAR(*vel.sweeps[0].nyquist, 28.15, 1e-5);
    EXPECT_FALSE(vel.sweeps[1].nyquist.has_value());
    ASSERT_EQ(vel.sweeps[0].folded.size(), vel.sweeps[0].values.size());
    EXPECT_EQ(std::vector<std::uint8_t>(vel.sweeps[0].folded.begin(), vel.sweeps[0].folded.begin() + 7),
              (std::vector<std::uint8_t>{0, 1, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(std::isnan(vel.sweeps[0].at(0, 1)));
    EXPECT_TRUE(vel.sweeps[1].folded.empty());  // none folded there
    const PolarVolume ref = read_nexrad(path, "REF");
    EXPECT_FALSE(ref.sweeps[0].nyquist.has_value());
    ASSERT_FALSE(ref.sweeps[0].folded.empty());
    EXPECT_EQ(ref.sweeps[0].folded[1], 1);

    const std::string old = dir.write("msg1", message1_file());
    const PolarVolume vel1 = read_nexrad(old, "VEL");
    ASSERT_EQ(vel1.sweeps.size(), 1u);
    EXPECT_EQ(vel1.sweeps[0].nyquist, 26.5);
    ASSERT_EQ(vel1.sweeps[0].folded.size(), 10u);
    EXPECT_EQ(vel1.sweeps[0].folded[1] + vel1.sweeps[0].folded[6], 2);
    EXPECT_FALSE(read_nexrad(old).sweeps[0].nyquist.has_value());
}

TEST(NexradVelocity, KlixVelocityHasTheNyquistOfEachCut) {
    if (!std::filesystem::exists(kKlix)) GTEST_SKIP() << "the real NEXRAD volume " << kKlix << " is absent";
    const PolarVolume v = read_polar(kKlix, "VEL");
    ASSERT_FALSE(v.sweeps.empty());
    for (const Sweep& s : v.sweeps) {
        ASSERT_TRUE(s.nyquist.has_value()) << s.name;
        EXPECT_GT(*s.nyquist, 20) << s.name;
        EXPECT_LT(*s.nyquist, 40) << s.name;
    }
}

}  // namespace
