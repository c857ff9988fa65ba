// Archive II files whose writer marks the size of every bzip2 block negative, as some decoders' fixtures are
// written: the real KLIX and KLOT volumes rewritten so read exactly as they are.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "../realtime/watch_support.h"
#include "polar/polar.h"
#include "temp_files.h"

namespace {

using velmora::polar::PolarVolume;
using vtest::TempDir;

const std::string kData = VELMORA_SOURCE_DIR "/../shared/data/";

std::string gunzipped(const std::string& path) {
    gzFile f = gzopen(path.c_str(), "rb");
    std::string out;
    char buf[1 << 16];
    for (int got; (got = gzread(f, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(got));
    gzclose(f);
    return out;
}

std::uint32_t be32(const std::string& s, std::size_t at) {
    std::uint32_t w = 0;
    for (int b = 0; b < 4; ++b) w = w << 8 | static_cast<unsigned char>(s[at + b]);
    return w;
}

void put32(std::string& s, std::uint32_t w) {
    for (int b = 3; b >= 0; --b) s += static_cast<char>(w >> 8 * b & 0xFF);
}

// The volume header, then the messages behind it in bzip2 blocks of the given size, each marked negative.
std::string in_negative_blocks(const std::string& plain, std::size_t block) {
    std::string out = plain.substr(0, 24);
    for (std::size_t at = 24; at < plain.size(); at += block) {
        const std::string part = plain.substr(at, block);
        std::string z(part.size() + part.size() / 100 + 1024, '\0');
        unsigned size = static_cast<unsigned>(z.size());
        EXPECT_EQ(BZ2_bzBuffToBuffCompress(z.data(), &size, const_cast<char*>(part.data()),
                                           static_cast<unsigned>(part.size()), 9, 0, 0),
                  BZ_OK);
        put32(out, -size);
        out += z.substr(0, size);
    }
    return out;
}

// The same file with the size of every block negative; how many were positive.
std::string negated(std::string file, int& turned) {
    turned = 0;
    for (std::size_t at = 24; at + 4 <= file.size();) {
        const auto size = static_cast<std::int32_t>(be32(file, at));
        if (size > 0) {
            ++turned;
            std::string word;
            put32(word, static_cast<std::uint32_t>(-size));
            file.replace(at, 4, word);
        }
        at += 4 + static_cast<std::size_t>(size < 0 ? -static_cast<std::int64_t>(size) : size);
    }
    return file;
}

// Every field of every sweep alike, bit for bit: what analyze grids and measures.
void expect_same_volume(const PolarVolume& a, const PolarVolume& b) {
    EXPECT_EQ(std::tie(a.field, a.units, a.time, a.beam_width), std::tie(b.field, b.units, b.time, b.beam_width));
    ASSERT_TRUE(a.site && b.site);
    EXPECT_EQ(std::tie(a.site->latitude, a.site->longitude, a.site->height),
              std::tie(b.site->latitude, b.site->longitude, b.site->height));
    ASSERT_EQ(a.sweeps.size(), b.sweeps.size());
    const auto same_bits = [](const auto& x, const auto& y) {
        return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof x[0]) == 0);
    };
    for (std::size_t i = 0; i < a.sweeps.size(); ++i) {
        SCOPED_TRACE("sweep " + std::to_string(i));
        const auto& s = a.sweeps[i];
        const auto& t = b.sweeps[i];
        EXPECT_EQ(std::tie(s.fixed_angle, s.range_first, s.gate_spacing, s.gates, s.time, s.nyquist),
                  std::tie(t.fixed_angle, t.range_first, t.gate_spacing, t.gates, t.time, t.nyquist));
        EXPECT_EQ(s.azimuth, t.azimuth);
        EXPECT_EQ(s.elevation, t.elevation);
        EXPECT_EQ(s.folded, t.folded);
        // Bitwise: missing gates are NaN.
        EXPECT_TRUE(same_bits(s.values, t.values));
        EXPECT_TRUE(same_bits(s.clutter_power, t.clutter_power));
    }
}

TEST(NexradNegativeSizes, KlixInBlocksAllMarkedLastReadsAsTheOriginal) {
    const std::string klix = kData + "nexrad2_klix_200508281801.gz";
    if (!std::filesystem::exists(klix)) GTEST_SKIP() << "the real NEXRAD volume " << klix << " is absent";
    TempDir dir;
    // 120 records of 2432 bytes to a block, as the radar's own archive writes them.
    const std::string rewritten = dir.write("klix-negative", in_negative_blocks(gunzipped(klix), 120 * 2432));
    const PolarVolume a = velmora::polar::read_polar(klix), b = velmora::polar::read_polar(rewritten);
    EXPECT_EQ(b.sweeps.size(), 14u);
    expect_same_volume(a, b);
}

TEST(NexradNegativeSizes, KlotMessage31VolumeWithEverySizeNegativeReadsAsTheOriginal) {
    TempDir dir;
    const auto chunks = vtest::klot_chunks(dir.file("klot"));
    if (chunks.empty()) GTEST_SKIP() << "the real NEXRAD chunks (nexrad2_chunks_klot_20260328.tar.gz) are absent";
    std::string joined;
    for (const auto& c : chunks) joined += TempDir::read(c);
    int turned = 0;
    const std::string original = dir.write("klot.ar2", joined);
    const std::string rewritten = dir.write("klot-negative.ar2", negated(joined, turned));
    EXPECT_EQ(turned, 54);  // all but the last of its 55 blocks
    const PolarVolume a = velmora::polar::read_polar(original), b = velmora::polar::read_polar(rewritten);
    EXPECT_EQ(b.sweeps.size(), 12u);
    expect_same_volume(a, b);
}

}  // namespace
