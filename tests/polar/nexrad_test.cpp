// The NEXRAD Level II reader: the real KLIX volume (message 1) against the
// facts of its description, volumes of message 31 written here by the
// record layout in every packing (plain, bzip2 blocks, gzip), and damaged
// files, each refused with a message.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "polar.h"
#include "temp_files.h"

namespace {

using namespace velmora::app::polar;
using vtest::TempDir;

const char* const kKlix = VELMORA_SOURCE_DIR "/../shared/data/nexrad2_klix_200508281801.gz";

// ---- Writers of the record layout (big-endian throughout) ----

void put8(std::string& s, unsigned v) { s += static_cast<char>(v & 0xFF); }
void put16(std::string& s, unsigned v) {
    put8(s, v >> 8);
    put8(s, v);
}
void put32(std::string& s, std::uint32_t v) {
    put16(s, v >> 16);
    put16(s, v & 0xFFFF);
}
void putf(std::string& s, float v) { put32(s, std::bit_cast<std::uint32_t>(v)); }
void set16(std::string& s, std::size_t at, unsigned v) {
    s[at] = static_cast<char>(v >> 8 & 0xFF);
    s[at + 1] = static_cast<char>(v & 0xFF);
}
void set32(std::string& s, std::size_t at, std::uint32_t v) {
    set16(s, at, v >> 16);
    set16(s, at + 2, v & 0xFFFF);
}

constexpr std::uint32_t kDate = 15000;      // 2011-01-25
constexpr std::uint32_t kMs = 43200000;     // 12:00 UTC
double seconds(std::uint32_t date, std::uint32_t ms) { return (date - 1.0) * 86400.0 + ms / 1000.0; }

std::string volume_header(const std::string& icao = "KTLX") {
    std::string h = "AR2V0006.001";
    put32(h, kDate);
    put32(h, kMs);
    return h + icao;
}

// CTM, message header, body; legacy messages fill a 2432-byte record.
std::string message(int type, std::string body, bool fixed) {
    if (body.size() % 2) body += '\0';
    std::string m(12, '\0');
    put16(m, static_cast<unsigned>((16 + body.size()) / 2));
    put8(m, 0);
    put8(m, type);
    put16(m, 1);
    put16(m, kDate);
    put32(m, kMs);
    put16(m, 1);
    put16(m, 1);
    m += body;
    if (fixed) m.resize(2432, '\0');
    return m;
}

struct Moment {
    std::string name;  // REF, VEL, "SW "
    int bits = 8;
    float scale = 2, offset = 66;
    int first = 2125, spacing = 250;
    std::vector<unsigned> raw;
};

struct Ray {
    int cut = 1;
    float azimuth = 0, elevation = 0.5f;
    std::uint32_t ms = kMs;
    std::vector<Moment> moments;
};

const Site kWrittenSite{35.3331, -97.2778, 370 + 20};

// Message 31: the radial header with nine block pointers, a volume block
// with the site, then the moments.
std::string message31(const Ray& r) {
    std::vector<std::string> blocks;
    std::string vol = "RVOL";
    put16(vol, 44);
    put8(vol, 1);
    put8(vol, 0);
    putf(vol, static_cast<float>(kWrittenSite.latitude));
    putf(vol, static_cast<float>(kWrittenSite.longitude));
    put16(vol, 370);
    put16(vol, 20);
    for (int i = 0; i < 5; ++i) putf(vol, 0);
    put16(vol, 212);
    put16(vol, 0);
    blocks.push_back(vol);
    for (const Moment& m : r.moments) {
        std::string b = "D" + m.name;
        put32(b, 0);
        put16(b, static_cast<unsigned>(m.raw.size()));
        put16(b, static_cast<unsigned>(m.first));
        put16(b, static_cast<unsigned>(m.spacing));
        put16(b, 0);
        put16(b, 0);
        put8(b, 0);
        put8(b, m.bits);
        putf(b, m.scale);
        putf(b, m.offset);
        for (unsigned v : m.raw) m.bits == 8 ? put8(b, v) : put16(b, v);
        if (b.size() % 2) b += '\0';
        blocks.push_back(b);
    }
    std::string h = "KTLX";
    put32(h, r.ms);
    put16(h, kDate);
    put16(h, 1);
    putf(h, r.azimuth);
    put8(h, 0);
    put8(h, 0);
    put16(h, 0);  // radial length, set below
    put8(h, 2);
    put8(h, 1);
    put8(h, r.cut);
    put8(h, 1);
    putf(h, r.elevation);
    put8(h, 0);
    put8(h, 0);
    put16(h, static_cast<unsigned>(blocks.size()));
    std::size_t at = 68;
    for (std::size_t i = 0; i < 9; ++i) {
        put32(h, i < blocks.size() ? static_cast<std::uint32_t>(at) : 0);
        if (i < blocks.size()) at += blocks[i].size();
    }
    for (const auto& b : blocks) h += b;
    set16(h, 18, static_cast<unsigned>(h.size()));
    return message(31, h, false);
}

// Two cuts of reflectivity and velocity (the second with a short and a long
// radial), then a cut of velocity only.
std::vector<Ray> written_rays() {
    std::vector<Ray> rays;
    for (int i = 0; i < 4; ++i) {
        Ray r;
        r.cut = 1;
        r.azimuth = 359.5f + i;  // 360.5 and on wrap
        r.elevation = i == 0 ? 0.60f : i == 1 ? 0.49f : 0.50f;  // settling at first
        r.ms = kMs + 100 * i;
        r.moments = {Moment{"REF", 8, 2, 66, 2125, 250, {0, 1, 2, 66, 100 + 7u * i, 255}},
                     Moment{"VEL", 16, 10, 1000, 2125, 250, {0, 1, 1000, 1255, 745, 3000, 65535}}};
        rays.push_back(r);
    }
    for (int i = 0; i < 3; ++i) {
        Ray r;
        r.cut = 2;
        r.azimuth = 10.25f * i;
        r.elevation = 1.45f;
        r.ms = kMs + 60000 + 100 * i;
        std::vector<unsigned> raw = {40, 50, 60, 70};
        if (i == 1) raw = {41, 51};
        if (i == 2) raw = {42, 52, 62, 72, 82, 92};
        r.moments = {Moment{"REF", 8, 2, 66, 1000, 1000, raw}, Moment{"VEL", 8, 2, 129, 1000, 250, {129, 130}}};
        rays.push_back(r);
    }
    Ray doppler;
    doppler.cut = 3;
    doppler.moments = {Moment{"VEL", 8, 2, 129, 2125, 250, {100, 140}}};
    rays.push_back(doppler);
    return rays;
}

// A metadata message in its fixed record ahead of the radials, as archives have.
std::string metadata() { return message(2, std::string(40, '\x11'), true); }

std::string plain_file(const std::vector<Ray>& rays) {
    std::string f = volume_header() + metadata();
    for (const Ray& r : rays) f += message31(r);
    return f;
}

std::string bzip2(const std::string& data) {
    std::string out(data.size() + data.size() / 50 + 1024, '\0');
    unsigned size = static_cast<unsigned>(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()), static_cast<unsigned>(data.size()), 9, 0, 0) != BZ_OK)
        throw std::runtime_error("bzip2 failed");
    out.resize(size);
    return out;
}

// The newer layout: the metadata in a block of its own, the radials in
// blocks after it, each behind its size (negative for the last).
std::string bzip2_file(const std::vector<Ray>& rays) {
    std::vector<std::string> blocks{metadata(), "", ""};
    for (std::size_t i = 0; i < rays.size(); ++i) blocks[i < 4 ? 1 : 2] += message31(rays[i]);
    std::string f = volume_header();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::string z = bzip2(blocks[i]);
        const auto size = static_cast<std::int32_t>(z.size());
        put32(f, static_cast<std::uint32_t>(i + 1 == blocks.size() ? -size : size));
        f += z;
    }
    return f;
}

std::string gzip_to(const std::string& path, const std::string& data) {
    gzFile f = gzopen(path.c_str(), "wb");
    gzwrite(f, data.data(), static_cast<unsigned>(data.size()));
    gzclose(f);
    return path;
}

// Message 1: its 100-byte header, reflectivity at byte 100 and velocity
// after it, counted from the start of that header.
std::string message1(int cut, unsigned azimuth_code, unsigned elevation_code, const std::vector<unsigned>& ref,
                     const std::vector<unsigned>& vel) {
    std::string b;
    put32(b, kMs);
    put16(b, kDate);
    put16(b, 1000);
    put16(b, azimuth_code);
    put16(b, 1);
    put16(b, 1);
    put16(b, elevation_code);
    put16(b, cut);
    put16(b, 0);
    put16(b, static_cast<unsigned>(-375 & 0xFFFF));
    put16(b, 1000);
    put16(b, 250);
    put16(b, static_cast<unsigned>(ref.size()));
    put16(b, static_cast<unsigned>(vel.size()));
    put16(b, 1);
    putf(b, 0);
    put16(b, ref.empty() ? 0 : 100);
    put16(b, vel.empty() ? 0 : static_cast<unsigned>(100 + ref.size()));
    put16(b, 0);
    put16(b, 4);  // velocity in 1 m/s
    put16(b, 11);
    b.resize(100, '\0');
    for (unsigned v : ref) put8(b, v);
    for (unsigned v : vel) put8(b, v);
    return message(1, b, true);
}

std::string message1_file() {
    std::string f = volume_header("KLIX") + metadata();
    for (int i = 0; i < 3; ++i) f += message1(1, 8192 * i, 88, {0, 1, 2, 108, 140}, {});
    for (int i = 0; i < 2; ++i) f += message1(2, 100 + 8192 * i, 96, {}, {0, 1, 129, 150, 100});
    return f;
}

float expected(unsigned raw, float scale, float offset) {
    return raw == 0 ? kNoEcho : raw == 1 ? kMissing : (static_cast<float>(raw) - offset) / scale;
}

// Equal as gate values: both missing, both no echo, or the same number.
::testing::AssertionResult same_gate(float got, float want) {
    if (std::isnan(want) ? std::isnan(got) : got == want || std::abs(got - want) < 1e-4f) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " instead of " << want;
}

// ---- The real volume ----

TEST(NexradKlix, DecodesTheFactsOfItsDescription) {
    if (!std::filesystem::exists(kKlix)) GTEST_SKIP() << "the real NEXRAD volume " << kKlix << " is absent";
    const PolarVolume v = read_polar(kKlix);
    // Measured elevation (median), gates, maximum dBZ, gates of 40 dBZ and more.
    struct Row {
        double elevation;
        int gates;
        float max;
        int strong;
    };
    const Row rows[] = {{0.40, 460, 54.0f, 1182}, {1.41, 356, 52.0f, 433}, {2.29, 356, 53.0f, 111}, {3.30, 268, 48.5f, 24},
                        {4.17, 216, 47.0f, 9},    {5.19, 216, 38.0f, 0},    {6.11, 176, 32.5f, 0},   {7.38, 137, 34.5f, 0},
                        {8.57, 127, 44.5f, 2},    {9.93, 110, 43.0f, 1},    {11.95, 100, 27.5f, 0},  {13.89, 90, 30.5f, 0},
                        {16.66, 80, 33.5f, 0},    {19.38, 70, 19.0f, 0}};
    EXPECT_EQ(v.field, "REF");
    EXPECT_EQ(v.units, "dBZ");
    EXPECT_DOUBLE_EQ(v.beam_width, 0.95);
    ASSERT_TRUE(v.time.has_value());
    EXPECT_DOUBLE_EQ(*v.time, 1125252109.0);  // 2005-08-28 18:01:49 UTC, the volume header's
    ASSERT_TRUE(v.site.has_value());
    EXPECT_NEAR(v.site->latitude, 30.33667, 1e-6);
    EXPECT_NEAR(v.site->longitude, -89.82528, 1e-6);
    EXPECT_NEAR(v.site->height, 7.3, 0.1);
    ASSERT_EQ(v.sweeps.size(), std::size(rows));  // the Doppler halves of the split cuts left out
    for (std::size_t i = 0; i < v.sweeps.size(); ++i) {
        SCOPED_TRACE("sweep " + std::to_string(i));
        const Sweep& s = v.sweeps[i];
        EXPECT_NEAR(s.fixed_angle, rows[i].elevation, 1e-9);
        EXPECT_EQ(s.gates, rows[i].gates);
        EXPECT_GE(s.rays(), 362u);
        EXPECT_LE(s.rays(), 367u);
        EXPECT_EQ(s.elevation.size(), s.rays());
        EXPECT_EQ(s.values.size(), s.rays() * s.gates);
        EXPECT_DOUBLE_EQ(s.range_first, 0.0);
        EXPECT_DOUBLE_EQ(s.gate_spacing, 1000.0);
        float max = -1e9f;
        int strong = 0;
        for (float x : s.values) {
            if (std::isnan(x) || std::isinf(x)) continue;
            max = std::max(max, x);
            strong += x >= 40.0f;
        }
        EXPECT_EQ(max, rows[i].max);
        EXPECT_EQ(strong, rows[i].strong);
        for (float a : s.azimuth) ASSERT_TRUE(a >= 0.0f && a < 360.0f) << a;
        ASSERT_TRUE(s.time.has_value());
        EXPECT_GE(*s.time, 1125252089.0);  // radials from 18:01:29
        EXPECT_LE(*s.time, 1125252387.0);  // to 18:06:27
    }
    EXPECT_NEAR(v.sweeps[0].azimuth[0], 256.0, 0.1);
    EXPECT_NEAR(*v.sweeps[0].time, 1125252089.465, 1e-3);
}

// ---- Message 31, written here ----

TEST(NexradMessage31, ReadsBackWhatWasWrittenInEveryPacking) {
    TempDir dir;
    const std::vector<Ray> rays = written_rays();
    const std::string plain = plain_file(rays), blocks = bzip2_file(rays);
    const std::string files[] = {dir.write("plain", plain), dir.write("bzip2", blocks), gzip_to(dir.file("plain.gz"), plain),
                                 gzip_to(dir.file("bzip2.gz"), blocks)};
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
        EXPECT_DOUBLE_EQ(*ref.time, seconds(kDate, kMs));
        ASSERT_EQ(ref.sweeps.size(), 2u);  // the velocity-only cut has no reflectivity

        const Sweep& low = ref.sweeps[0];
        ASSERT_EQ(low.rays(), 4u);
        ASSERT_EQ(low.gates, 6);
        EXPECT_DOUBLE_EQ(low.range_first, 2125.0);
        EXPECT_DOUBLE_EQ(low.gate_spacing, 250.0);
        EXPECT_DOUBLE_EQ(*low.time, seconds(kDate, kMs));
        EXPECT_DOUBLE_EQ(low.fixed_angle, 0.50);  // the median, not the mean
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_FLOAT_EQ(low.azimuth[i], i == 0 ? 359.5f : 0.5f + (i - 1));
            EXPECT_FLOAT_EQ(low.elevation[i], rays[i].elevation);
            const std::vector<unsigned> raw = rays[i].moments[0].raw;
            for (int g = 0; g < 6; ++g) EXPECT_TRUE(same_gate(low.at(i, g), expected(raw[g], 2, 66))) << i << " " << g;
        }
        EXPECT_EQ(low.at(0, 0), kNoEcho);
        EXPECT_TRUE(std::isnan(low.at(0, 1)));
        EXPECT_FLOAT_EQ(low.at(0, 3), 0.0f);
        EXPECT_FLOAT_EQ(low.at(0, 5), 94.5f);

        // Radials shorter than the first are padded with missing gates,
        // longer ones cut to its length.
        const Sweep& high = ref.sweeps[1];
        ASSERT_EQ(high.rays(), 3u);
        ASSERT_EQ(high.gates, 4);
        EXPECT_DOUBLE_EQ(high.range_first, 1000.0);
        EXPECT_DOUBLE_EQ(high.gate_spacing, 1000.0);
        EXPECT_DOUBLE_EQ(high.fixed_angle, 1.45);
        EXPECT_DOUBLE_EQ(*high.time, seconds(kDate, kMs + 60000));
        const float want[3][4] = {{-13, -8, -3, 2}, {-12.5f, -7.5f, kMissing, kMissing}, {-12, -7, -2, 3}};
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_FLOAT_EQ(high.azimuth[i], 10.25f * i);
            for (int g = 0; g < 4; ++g) EXPECT_TRUE(same_gate(high.at(i, g), want[i][g])) << i << " " << g;
        }

        // Velocity: 16-bit words in the first cut, and the Doppler-only cut.
        const PolarVolume vel = read_nexrad(path, "vel");
        EXPECT_EQ(vel.field, "VEL");
        EXPECT_EQ(vel.units, "m/s");
        ASSERT_EQ(vel.sweeps.size(), 3u);
        ASSERT_EQ(vel.sweeps[0].gates, 7);
        const float v0[7] = {kNoEcho, kMissing, 0.0f, 25.5f, -25.5f, 200.0f, 6453.5f};
        for (int g = 0; g < 7; ++g) EXPECT_TRUE(same_gate(vel.sweeps[0].at(2, g), v0[g])) << g;
        EXPECT_FLOAT_EQ(vel.sweeps[2].at(0, 0), -14.5f);
        EXPECT_FLOAT_EQ(vel.sweeps[2].at(0, 1), 5.5f);

        // The caller's site comes first.
        const Site mine{1, 2, 3};
        const PolarVolume placed = read_polar(path, "DBZH", mine);
        EXPECT_EQ(placed.field, "REF");
        EXPECT_DOUBLE_EQ(placed.site->latitude, 1.0);
        EXPECT_DOUBLE_EQ(placed.site->height, 3.0);
    }
}

TEST(NexradMessage1, ReadsReflectivityAndVelocityOfSplitCuts) {
    TempDir dir;
    const std::string path = dir.write("msg1", message1_file());
    const PolarVolume ref = read_nexrad(path);
    ASSERT_EQ(ref.sweeps.size(), 1u);  // the Doppler half of the split cut has no reflectivity
    const Sweep& s = ref.sweeps[0];
    ASSERT_EQ(s.rays(), 3u);
    ASSERT_EQ(s.gates, 5);
    EXPECT_DOUBLE_EQ(s.range_first, 0.0);
    EXPECT_DOUBLE_EQ(s.gate_spacing, 1000.0);
    EXPECT_NEAR(s.fixed_angle, 0.48, 1e-9);  // 88 x 180/32768 = 0.4834°
    EXPECT_FLOAT_EQ(s.elevation[0], 88 * 180.0f / 32768);
    EXPECT_FLOAT_EQ(s.azimuth[1], 45.0f);
    EXPECT_FLOAT_EQ(s.azimuth[2], 90.0f);
    const float want[5] = {kNoEcho, kMissing, -32.0f, 21.0f, 37.0f};
    for (int g = 0; g < 5; ++g) EXPECT_TRUE(same_gate(s.at(1, g), want[g])) << g;
    // No coordinates in message 1: the station list's, by the header's name.
    ASSERT_TRUE(ref.site.has_value());
    EXPECT_NEAR(ref.site->latitude, 30.33667, 1e-9);

    const PolarVolume vel = read_nexrad(path, "VEL");
    ASSERT_EQ(vel.sweeps.size(), 1u);
    EXPECT_DOUBLE_EQ(vel.sweeps[0].range_first, -375.0);
    EXPECT_DOUBLE_EQ(vel.sweeps[0].gate_spacing, 250.0);
    const float vwant[5] = {kNoEcho, kMissing, 0.0f, 21.0f, -29.0f};  // 1 m/s steps around 129
    for (int g = 0; g < 5; ++g) EXPECT_TRUE(same_gate(vel.sweeps[0].at(0, g), vwant[g])) << g;
}

// ---- Damaged files ----

TEST(NexradBadFiles, AreRefusedWithAClearMessage) {
    TempDir dir;
    const std::vector<Ray> rays = written_rays();
    const std::string plain = plain_file(rays), blocks = bzip2_file(rays), legacy = message1_file();
    // Where the first radial's message starts in the plain file, and the
    // parts of its body (after CTM and message header).
    const std::size_t first31 = 24 + 2432, body = first31 + 28;
    const std::size_t vol_pointer = body + 32, ref_block = body + 68 + 44;

    auto with = [](std::string s, auto change) {
        change(s);
        return s;
    };
    struct Case {
        std::string name, bytes, field, message;
    };
    const std::vector<Case> cases = {
        {"text", "neither radar nor volume", "", "not a NEXRAD Level II"},
        {"empty", "", "", "not a NEXRAD Level II"},
        {"short header", plain.substr(0, 20), "", "truncated volume header"},
        {"record cut in its header", legacy.substr(0, 24 + 2432 + 20), "", "truncated record"},
        {"record cut in its body", legacy.substr(0, 24 + 2 * 2432 + 100), "", "run past the end of the data"},
        {"message size past the end", with(plain, [&](std::string& s) { set16(s, first31 + 12, 30000); }), "",
         "run past the end of the data"},
        {"message shorter than its header", with(plain, [&](std::string& s) { set16(s, first31 + 12, 4); }), "",
         "shorter than its header"},
        {"legacy message larger than its record", with(legacy, [](std::string& s) { set16(s, 24 + 2432 + 12, 1300); }), "",
         "does not fit its 2432-byte record"},
        {"block pointer out of the message", with(plain, [&](std::string& s) { set32(s, vol_pointer + 4, 60000); }), "",
         "data block pointer 60000 outside"},
        {"block pointer into the radial header", with(plain, [&](std::string& s) { set32(s, vol_pointer, 8); }), "",
         "data block pointer 8 outside"},
        {"too many blocks", with(plain, [&](std::string& s) { set16(s, body + 30, 300); }), "", "300 data blocks"},
        {"gate count past the message", with(plain, [&](std::string& s) { set16(s, ref_block + 8, 5000); }), "",
         "5000 gates run past the end of the message"},
        {"word size", with(plain, [&](std::string& s) { s[ref_block + 19] = 12; }), "", "data words of 12 bits"},
        {"scale zero", with(plain, [&](std::string& s) { set32(s, ref_block + 20, 0); }), "", "scale 0"},
        {"message 1 pointer out of its record", with(legacy, [](std::string& s) { set16(s, 24 + 2 * 2432 + 28 + 36, 3000); }), "",
         "data pointer 3000 outside"},
        {"message 1 gates past its record", with(legacy, [](std::string& s) { set16(s, 24 + 2 * 2432 + 28 + 26, 2400); }), "",
         "2400 REF gates run past"},
        {"corrupt bzip2 block", with(blocks, [](std::string& s) { for (std::size_t i = 40; i < 60; ++i) s[i] = 'x'; }), "",
         "bzip2 block at byte 24"},
        {"forged huge bzip2 size", with(blocks, [](std::string& s) { set32(s, 24, 0x7FFFFFFF); }), "",
         "bzip2 block of 2147483647 bytes at byte 24 runs past the end of the file"},
        {"bzip2 file cut short", blocks.substr(0, blocks.size() - 30), "", "runs past the end of the file"},
        {"bzip2 block cut short", with(blocks, [](std::string& s) { s.resize(s.size() - 3); set32(s, 24, 16); }), "",
         "bzip2 block at byte 24 ends early"},
        {"no reflectivity", plain_file({rays.back()}), "", "no REF gates in the volume"},
        {"no such moment", plain, "ZDR", "no ZDR gates in the volume"},
        {"unknown field", plain, "rain", "no field 'rain'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("bad", c.bytes);
        try {
            read_nexrad(path, c.field);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(path + ": ", 0), 0u) << what;
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
        }
    }
    // Not a polar volume at all: read_polar says so.
    EXPECT_THROW(read_polar(dir.write("text", "neither radar nor volume")), std::runtime_error);
}

TEST(NexradSites, StationListByName) {
    const auto klix = nexrad_site("KLIX");
    ASSERT_TRUE(klix.has_value());
    EXPECT_DOUBLE_EQ(klix->latitude, 30.33667);
    EXPECT_DOUBLE_EQ(klix->longitude, -89.82528);
    EXPECT_NEAR(klix->height, 24 * 0.3048, 1e-9);  // 24 ft
    const auto tlx = nexrad_site("ktlx");
    ASSERT_TRUE(tlx.has_value());
    EXPECT_NEAR(tlx->latitude, 35.33306, 1e-9);
    EXPECT_FALSE(nexrad_site("KXYZ").has_value());
    EXPECT_FALSE(nexrad_site("").has_value());
}

}  // namespace
