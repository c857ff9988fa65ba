// NEXRAD real-time chunks: decoded as each arrives, assembled after the E chunk into the volume the chunks joined by
// hand make, and a watched folder they are replayed into one by one gives that volume once, analyzed as the joined
// file is.
#include <gtest/gtest.h>

#include <filesystem>

#include <cstring>

#include "analysis/analyze.h"
#include "app_test.h"
#include "polar/gridding.h"
#include "polar/polar.h"
#include "realtime/nexrad_chunks.h"
#include "watch_support.h"

namespace {

namespace fs = std::filesystem;
using vtest::TempDir;

// A smaller grid than the default, for time: 2 km over 200 x 200 km, to 10 km.
velmora::polar::GridOptions small_grid() {
    velmora::polar::GridOptions g;
    g.xmin = g.ymin = -100;
    g.xmax = g.ymax = 100;
    g.dx = g.dy = 2;
    g.zmax = 10;
    g.dz = 1;
    return g;
}

TEST(ChunksTest, ChunksDecodedAsTheyComeMakeTheVolumeOfTheJoinedFile) {
    TempDir dir;
    const auto chunks = vtest::klot_chunks(dir.file("klot"));
    if (chunks.empty()) GTEST_SKIP() << "the real NEXRAD chunks (nexrad2_chunks_klot_20260328.tar.gz) are absent";
    std::string joined;
    for (const auto& c : chunks) joined += TempDir::read(c);
    const auto whole = velmora::polar::read_nexrad(dir.write("joined", joined));
    velmora::realtime::ChunkAssembler a("");
    // The end first, then the rest in order: complete only with every chunk.
    for (std::size_t k : {chunks.size() - 1, std::size_t{0}, std::size_t{1}}) {
        const std::string name = fs::path(chunks[k]).filename().string();
        a.add(name, *velmora::realtime::chunk_name(name), chunks[k]);
    }
    for (std::size_t k = 2; k + 1 < chunks.size(); ++k) {
        EXPECT_FALSE(a.complete("20260328-201457")) << k;
        const std::string name = fs::path(chunks[k]).filename().string();
        a.add(name, *velmora::realtime::chunk_name(name), chunks[k]);
    }
    ASSERT_TRUE(a.complete("20260328-201457"));
    EXPECT_EQ(a.checksum("20260328-201457"), velmora::realtime::checksum_of(dir.file("joined")));
    const auto v = a.take("20260328-201457", {});
    EXPECT_EQ(v.source, "20260328-201457 (NEXRAD chunks)");
    EXPECT_EQ(v.time, whole.time);
    ASSERT_TRUE(v.site && whole.site);
    EXPECT_EQ(v.site->latitude, whole.site->latitude);
    ASSERT_EQ(v.sweeps.size(), whole.sweeps.size());
    ASSERT_EQ(v.sweeps.size(), 12u);
    for (std::size_t s = 0; s < v.sweeps.size(); ++s) {
        EXPECT_EQ(v.sweeps[s].azimuth, whole.sweeps[s].azimuth) << s;
        EXPECT_EQ(v.sweeps[s].gates, whole.sweeps[s].gates) << s;
        EXPECT_EQ(std::memcmp(v.sweeps[s].values.data(), whole.sweeps[s].values.data(), v.sweeps[s].values.size() * 4), 0) << s;
    }
    EXPECT_FALSE(a.complete("20260328-201457"));   // taken
    // A chunk still being written is said to be so.
    const std::string cut = dir.write("20260328-201457-002-I", TempDir::read(chunks[1]).substr(0, 1000));
    EXPECT_NE(vtest::error_of<std::runtime_error>([&] { a.add("x", {"20260328-201457", 2, 'I'}, cut); })
                  .find("runs past the end of the file"),
              std::string::npos);
}

// Each sweep gridded as soon as its chunks are in: before the E chunk all sweeps but the last are, and the grid the
// assembler gives is the whole volume's, bit for bit. Sweeps that are not the volume's give no grid (it is gridded
// whole then).
TEST(ChunksTest, SweepsGriddedAsTheirChunksComeMakeTheWholeVolumesGrid) {
    TempDir dir;
    const auto chunks = vtest::klot_chunks(dir.file("klot"));
    if (chunks.empty()) GTEST_SKIP() << "the real NEXRAD chunks (nexrad2_chunks_klot_20260328.tar.gz) are absent";
    const auto feed = [&](velmora::realtime::ChunkAssembler& a, std::size_t from, std::size_t to) {
        for (std::size_t k = from; k < to; ++k) {
            const std::string name = fs::path(chunks[k]).filename().string();
            a.add(name, *velmora::realtime::chunk_name(name), chunks[k]);
        }
    };
    const std::string volume = "20260328-201457";
    velmora::realtime::ChunkAssembler a("", small_grid());
    feed(a, 0, 1);
    feed(a, 2, chunks.size() - 1);
    EXPECT_EQ(a.gridded(volume), 0u) << "chunk 2 is missing";
    feed(a, 1, 2);
    EXPECT_EQ(a.gridded(volume), 11u) << "all but the last of the 12 sweeps";
    feed(a, chunks.size() - 1, chunks.size());
    std::optional<velmora::Volume> grid;
    const auto v = a.take(volume, {}, &grid);
    ASSERT_TRUE(grid);
    // The gates filtered as a file's are, the whole volume at once.
    auto filtered = v;
    velmora::polar::filter_gates(filtered, {});
    const auto whole = velmora::polar::grid_volumes(std::span(&filtered, 1), small_grid());
    ASSERT_EQ(grid->values.size(), whole.values.size());
    EXPECT_EQ(std::memcmp(grid->values.data(), whole.values.data(), whole.values.size() * sizeof(float)), 0);
    EXPECT_EQ(grid->time, whole.time);
    // Another site when it is taken than when its sweeps were decoded: not the volume's sweeps.
    velmora::realtime::ChunkAssembler b("", small_grid());
    feed(b, 0, chunks.size());
    std::optional<velmora::Volume> none;
    const auto elsewhere = b.take(volume, velmora::polar::Site{41.0, -88.0, 200.0}, &none);
    EXPECT_FALSE(none);
    EXPECT_EQ(elsewhere.sweeps.size(), 12u);
}

TEST(ChunksTest, ReplayedIntoAWatchedFolderTheyGiveOneVolumeAnalyzedOnceAfterTheEndChunk) {
    TempDir dir;
    const auto chunks = vtest::klot_chunks(dir.file("klot"));
    if (chunks.empty()) GTEST_SKIP() << "the real NEXRAD chunks (nexrad2_chunks_klot_20260328.tar.gz) are absent";
    fs::create_directories(dir.file("in"));
    auto o = vtest::watch_options(dir.file("in"), dir.file("out"));
    o.analysis.level = 20;   // the light rain of this volume has cells at 20 dBZ
    o.analysis.polar.grid = small_grid();
    vtest::Capture messages;
    velmora::realtime::Watcher w(o, messages.stream());
    // As the feed lays them out: in a numbered folder of the volume's, made once the watcher runs.
    fs::create_directories(dir.file("in/123"));
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        fs::copy(chunks[k], dir.file("in/123"));
        const auto got = vtest::run_watcher(w);
        if (k + 1 < chunks.size()) {
            EXPECT_TRUE(got.empty()) << k;
        } else {
            ASSERT_EQ(got.size(), 1u) << messages.text();
            EXPECT_EQ(got[0].state, velmora::realtime::VolumeOutcome::State::Done);
            EXPECT_EQ(got[0].name, "20260328-201457");
            EXPECT_GT(got[0].cells, 0u);
        }
    }
    EXPECT_TRUE(vtest::run_watcher(w).empty());
    EXPECT_EQ(w.volumes(), 1u);
    // The same analysis of the chunks joined by hand.
    std::string joined;
    for (const auto& c : chunks) joined += TempDir::read(c);
    velmora::AnalyzeOptions by_hand = o.analysis;
    by_hand.volume = dir.write("joined", joined);
    by_hand.out = dir.file("by-hand");
    velmora::AnalysisSummary summary;
    ASSERT_EQ(velmora::analyze(by_hand, stderr, summary), 0);
    for (const char* f : {"cells.csv", "cell_properties.csv", "surface_cells.csv", "cells_ijk.txt"})
        EXPECT_EQ(TempDir::read(dir.file(std::string("out/volumes/20260328-201457/") + f)),
                  TempDir::read(dir.file(std::string("by-hand/") + f))) << f;
    // The grid keeps the field's name.
    const auto a = velmora::read_volume(dir.file("out/volumes/20260328-201457/grid.nc"), "REF");
    const auto b = velmora::read_volume(dir.file("by-hand/grid.nc"), "REF");
    ASSERT_EQ(a.values.size(), b.values.size());
    EXPECT_EQ(std::memcmp(a.values.data(), b.values.data(), a.values.size() * 4), 0);
}

// A volume whose chunks stop coming is waited for until --chunk-timeout after its newest chunk's time, then recorded
// as failed with what it lacks, once; a watcher started later gives it up at once, and later chunks are ignored.
TEST(ChunksTest, AVolumeWhoseEndChunkNeverComesIsGivenUpAfterTheTimeout) {
    TempDir dir;
    const auto chunks = vtest::klot_chunks(dir.file("klot"));
    if (chunks.empty()) GTEST_SKIP() << "the real NEXRAD chunks (nexrad2_chunks_klot_20260328.tar.gz) are absent";
    fs::create_directories(dir.file("in"));
    for (std::size_t k = 0; k + 1 < chunks.size(); ++k)
        if (k != 4) fs::copy(chunks[k], dir.file("in"));
    auto o = vtest::watch_options(dir.file("in"), dir.file("out"));
    o.analysis.polar.grid = small_grid();
    vtest::Capture messages;
    {
        velmora::realtime::Watcher w(o, messages.stream());
        EXPECT_TRUE(vtest::run_watcher(w).empty()) << messages.text();   // fresh chunks: waited for
    }
    const auto old = fs::file_time_type::clock::now() - std::chrono::seconds(601);
    for (const auto& e : fs::directory_iterator(dir.file("in"))) fs::last_write_time(e.path(), old);
    {
        velmora::realtime::Watcher w(o, messages.stream());
        const auto got = vtest::run_watcher(w);
        ASSERT_EQ(got.size(), 1u) << messages.text();
        EXPECT_EQ(got[0].name, "20260328-201457");
        EXPECT_EQ(got[0].state, velmora::realtime::VolumeOutcome::State::Failed);
        EXPECT_EQ(got[0].reason, "incomplete: no chunk came for 600 s and it lacks chunk 5, the end chunk");
        EXPECT_NE(messages.text().find("velmora watch: 20260328-201457 failed: incomplete: no chunk came for 600 s"),
                  std::string::npos) << messages.text();
        fs::copy(chunks[4], dir.file("in"));
        fs::copy(chunks.back(), dir.file("in"));
        EXPECT_TRUE(vtest::run_watcher(w).empty());
    }
    velmora::realtime::Watcher again(o, messages.stream());
    EXPECT_TRUE(vtest::run_watcher(again).empty());
    EXPECT_EQ(again.volumes(), 0u);
    EXPECT_FALSE(fs::exists(dir.file("out/volumes/20260328-201457")));
}

}  // namespace
