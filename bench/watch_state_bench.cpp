// The watcher's state database and what follows a NEXRAD E chunk.
//
// Checkpoint: one volume's transaction in the state database (its row, its
// cells and links and those of the volume before, its forecasts, the
// verification it reaches, the file's record, and the queries that make
// tracks.csv, volumes.csv and verify.csv), after 10 and after 1,000 volumes
// of ten cells each; the reference is the analysis of the CPOL volume in
// memory, the work a checkpoint is added to (target: at most 5 %): both in
// CPU time, medians, and their ratio ("% of it").
//
// Restart: a watcher started on an output folder of 1,000 volumes (filled
// here as a watcher fills it, without their analyses) and its first look at
// the input folder of 1,000 files; the reference, one started on an empty
// folder (target: at most 1 s).
//
// The complete-file check of a CPOL and a KLIX file, and its CRC-32.
//
// KLOT: after the E chunk, decoding the volume's messages into sweeps and
// gridding its 8.8 million gates (default grid, 301 x 301 x 30), whole
// (grid:1) or only its last sweep, the others gridded as their chunks came
// (grid:2); the chunks before it are decompressed as they arrive (the first
// figure).
//
//     make bench-watch     (or build/bench/watch_state_bench)
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "analysis/cell_analysis.h"
#include "polar/gridding.h"
#include "realtime/arrivals.h"
#include "realtime/nexrad_chunks.h"
#include "realtime/state_store.h"
#include "realtime/watcher.h"

namespace {

namespace fs = std::filesystem;
using namespace velmora;

const std::string kData = VELMORA_SOURCE_DIR "/../shared/data/";

// A volume of ten round cells of about 80 columns drifting east, on a CPOL-size plane.
realtime::LiveVolume synthetic_volume(const tracking::Plane& plane, int k) {
    realtime::LiveVolume v;
    v.t.frame.time = 1.0e9 + 300.0 * k;
    v.t.frame.column_max.assign(plane.x.size() * plane.y.size(), 30.0f);
    const int nx = static_cast<int>(plane.x.size());
    for (int c = 0; c < 10; ++c) {
        tracking::Cell cell;
        cell.no = c + 1;
        const double cx = 10 + (k * 2 + c * 9) % 90, cy = 10 + c * 6;
        for (int j = 0; j < static_cast<int>(plane.y.size()); ++j)
            for (int i = 0; i < nx; ++i)
                if (std::hypot(i - cx, j - cy) <= 5.0) cell.columns.push_back(j * nx + i);
        cell.x = plane.x[static_cast<std::size_t>(cx)], cell.y = plane.y[static_cast<std::size_t>(cy)];
        cell.volume_km3 = 300, cell.top_km = 9, cell.max_dbz = 52, cell.voxels = 800;
        v.t.frame.cells.push_back(std::move(cell));
        v.info.texts.push_back({"2001-09-09T01:46:40Z,1,-12.000,3.000,2.500,800,300.000,9.00,52.00",
                                "series.nc,80,0.5,9,8,6,3,2.5,45.1,-12.0,3.0,2.5,8.6,50.4,0,"});
    }
    return v;
}

tracking::Plane cpol_plane() {
    tracking::Plane p;
    for (int i = 0; i < 111; ++i) p.x.push_back(-60.0f + float(i));
    for (int j = 0; j < 81; ++j) p.y.push_back(-50.0f + float(j));
    return p;
}

// The checkpoint is timed on the thread's CPU clock: on a machine shared with
// builds (load 4 to 9 on 2 cores) the wall clock mostly times the waits for a
// core. The database's writes (WAL, synchronous NORMAL) wait for no disk.
struct Clock {
    using time_point = double;
    static double now() {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
    }
};
double since(double t) { return Clock::now() - t; }

// The in-memory analysis of the CPOL volume a checkpoint is added to, CPU
// seconds of the whole process (its threads too), median of 9.
double cpol_analysis_cpu() {
    const std::string path = kData + "cpol_200601200050.nc";
    if (!fs::exists(path)) return NAN;
    std::vector<double> t;
    AnalysisSettings s;
    for (int k = 0; k < 9; ++k) {
        timespec a{}, b{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
        benchmark::DoNotOptimize(analyze_file(path, kOnlyTime, max_volume_nodes, s));
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
        t.push_back(double(b.tv_sec - a.tv_sec) + 1e-9 * double(b.tv_nsec - a.tv_nsec));
    }
    std::nth_element(t.begin(), t.begin() + 4, t.end());
    return t[4];
}

// One volume's transaction as the watcher makes it: the database's work (the
// checkpoint) timed apart from the forecasts and verification computed in it.
struct Timed {
    double checkpoint = 0, computing = 0;
};
Timed checkpoint(realtime::StateStore& store, realtime::LiveSeries& series, int k) {
    realtime::LiveVolume v = synthetic_volume(*series.plane(), k);
    v.info.name = "v" + std::to_string(k) + ".nc";
    v.info.folder = "v" + std::to_string(k);
    Timed t;
    auto start = Clock::now();
    realtime::StateStore::Transaction tx(store);
    v.info.id = store.add_volume(v.info.name, v.info.folder, v.t.frame.time);
    t.checkpoint += since(start);
    start = Clock::now();
    const std::size_t index = series.insert(std::move(v));
    struct Volume {
        std::size_t f;
        std::vector<realtime::ForecastRow> forecasts;
        std::vector<std::string> lines;
    };
    std::vector<Volume> changed;
    for (std::size_t f = index > 0 ? index - 1 : 0; f < series.size(); ++f) {
        Volume& c = changed.emplace_back(Volume{f, {}, std::vector<std::string>(series.frame(f).rows.size(), std::string(300, 'x'))});
        const auto trends = series.nowcasts(f);
        for (std::size_t cell = 0; cell < trends.size(); ++cell)
            for (const double lead : series.settings().leads)
                c.forecasts.push_back({cell, series.frame(f).rows[cell].track, lead, tracking::outlook(trends[cell], lead), 0, 0, false});
    }
    const auto verified = series.verification_since(index);
    t.computing += since(start);
    start = Clock::now();
    for (const Volume& c : changed) {
        store.save_volume(series.info(c.f), series.frame(c.f), c.f + 4 >= series.size(), c.lines);
        if (c.f >= index) store.save_forecasts(series.info(c.f).id, c.forecasts);
    }
    for (std::size_t f = 0; f + 4 < series.size(); ++f) store.drop_column_max(series.info(f).id);
    store.replace_verification(verified.keys, verified.entries);
    realtime::FileRecord file("v" + std::to_string(k) + ".nc", 1000, 1, "00000000");
    file.state = "done", file.volume = series.info(index).id;
    store.put_file(file);
    // The lines of the volumes a late one may still change, as the watcher's tables take them.
    for (const std::int64_t id : store.volumes_from(series.volumes_before() + (series.size() > 4 ? series.size() - 4 : 0))) {
        benchmark::DoNotOptimize(store.track_lines(id));
        benchmark::DoNotOptimize(store.volume_line(id));
    }
    benchmark::DoNotOptimize(store.verification(series.settings().leads));
    tx.commit();
    t.checkpoint += since(start);
    series.trim();
    return t;
}

struct Filled {
    fs::path dir;
    realtime::StateStore store;
    realtime::LiveSeries series;
    int volumes = 0;
    explicit Filled(const fs::path& d) : dir(d), store((d / "watch.db").string()), series(realtime::LiveSettings{}) {
        series.set_plane(cpol_plane());
    }
};

void BM_Checkpoint(benchmark::State& state) {
    const fs::path dir = fs::temp_directory_path() / ("velmora-checkpoint-" + std::to_string(state.range(0)));
    fs::remove_all(dir);
    fs::create_directories(dir);
    {
        Filled f(dir);
        for (int k = 0; k < state.range(0); ++k) checkpoint(f.store, f.series, k);
        int k = static_cast<int>(state.range(0));
        std::vector<double> times;
        double computing = 0;
        for (auto _ : state) {
            const Timed t = checkpoint(f.store, f.series, k++);
            state.SetIterationTime(t.checkpoint);
            times.push_back(t.checkpoint);
            computing += t.computing;
        }
        std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
        const double median = times[times.size() / 2], analysis = cpol_analysis_cpu();
        state.counters["median ms"] = 1000.0 * median;
        state.counters["CPOL analysis ms"] = 1000.0 * analysis;
        state.counters["% of it"] = 100.0 * median / analysis;
        state.counters["forecasts+verification ms"] = 1000.0 * computing / double(state.iterations());
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_Checkpoint)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(50)->UseManualTime();

void BM_AnalysisOfCpol(benchmark::State& state) {
    if (!fs::exists(kData + "cpol_200601200050.nc")) {
        state.SkipWithError("the CPOL volume is absent");
        return;
    }
    AnalysisSettings s;
    for (auto _ : state) benchmark::DoNotOptimize(analyze_file(kData + "cpol_200601200050.nc", kOnlyTime, max_volume_nodes, s));
}
BENCHMARK(BM_AnalysisOfCpol)->Unit(benchmark::kMillisecond)->Iterations(20);

// What a watcher reads of a file before its analysis: whether its format says
// it is whole (HDF5: every dataset read), and its CRC-32.
void BM_CompleteFileCheck(benchmark::State& state) {
    const std::string path = kData + (state.range(0) == 0 ? "cpol_200601200050.nc" : "nexrad2_klix_200508281801.gz");
    if (!fs::exists(path)) return state.SkipWithError("the volume is absent");
    for (auto _ : state) {
        benchmark::DoNotOptimize(realtime::missing_by_format(path));
        benchmark::DoNotOptimize(realtime::checksum_of(path));
    }
    state.SetLabel(fs::path(path).filename().string());
}
BENCHMARK(BM_CompleteFileCheck)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(10);

// An output folder of n volumes, as a watcher over an input folder of n files leaves it.
fs::path watched_folder(int n) {
    const fs::path dir = fs::temp_directory_path() / ("velmora-restart-" + std::to_string(n));
    fs::remove_all(dir);
    fs::create_directories(dir / "in");
    realtime::WatchOptions o;
    o.input = (dir / "in").string();
    o.out = (dir / "out").string();
    o.inotify = false;
    { realtime::Watcher w(o, stderr); }   // the options it keeps
    Filled f(dir / "out");
    f.store.set_meta("plane_x", "");
    for (int k = 0; k < n; ++k) {
        checkpoint(f.store, f.series, k);
        std::ofstream(dir / "in" / ("v" + std::to_string(k) + ".nc"));
    }
    char b[32];
    std::string x, y;
    for (float v : f.series.plane()->x) std::snprintf(b, sizeof b, "%a,", double(v)), x += b;
    for (float v : f.series.plane()->y) std::snprintf(b, sizeof b, "%a,", double(v)), y += b;
    f.store.set_meta("plane_x", x);
    f.store.set_meta("plane_y", y);
    return dir;
}

void BM_Restart(benchmark::State& state) {
    const fs::path dir = watched_folder(static_cast<int>(state.range(0)));
    realtime::WatchOptions o;
    o.input = (dir / "in").string();
    o.out = (dir / "out").string();
    o.inotify = false;
    for (auto _ : state) {
        realtime::Watcher w(o, stderr);
        benchmark::DoNotOptimize(w.step());
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_Restart)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(10);

// The KLOT chunks, extracted once.
std::vector<std::string> klot_chunks() {
    const fs::path dir = fs::temp_directory_path() / "velmora-klot-bench";
    if (!fs::exists(dir / "nexrad_chunks_KLOT") &&
        std::system(("mkdir -p '" + dir.string() + "' && tar xzf '" + kData + "nexrad2_chunks_klot_20260328.tar.gz' -C '" +
                     dir.string() + "'").c_str()) != 0)
        return {};
    std::vector<std::string> chunks;
    for (const auto& e : fs::directory_iterator(dir / "nexrad_chunks_KLOT")) chunks.push_back(e.path().string());
    std::sort(chunks.begin(), chunks.end());
    return chunks;
}

void add_chunks(realtime::ChunkAssembler& a, const std::vector<std::string>& chunks, std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k) {
        const std::string name = fs::path(chunks[k]).filename().string();
        a.add(name, *realtime::chunk_name(name), chunks[k]);
    }
}

void BM_KlotEachChunkAsItArrives(benchmark::State& state) {
    const auto chunks = klot_chunks();
    if (chunks.empty()) return state.SkipWithError("the KLOT chunks are absent");
    for (auto _ : state) {
        realtime::ChunkAssembler a("");
        add_chunks(a, chunks, 0, chunks.size());
    }
    state.counters["chunks"] = double(chunks.size());
}
BENCHMARK(BM_KlotEachChunkAsItArrives)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_KlotAfterTheEndChunk(benchmark::State& state) {
    const auto chunks = klot_chunks();
    if (chunks.empty()) return state.SkipWithError("the KLOT chunks are absent");
    // 0: decoding only; 1: the whole volume gridded after E; 2: the sweeps
    // gridded as their chunks came (before E, not timed), the last after E.
    const int grid = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        realtime::ChunkAssembler a("", grid == 2 ? std::optional(polar::GridOptions{}) : std::nullopt);
        add_chunks(a, chunks, 0, chunks.size() - 1);
        state.ResumeTiming();
        add_chunks(a, chunks, chunks.size() - 1, chunks.size());
        std::optional<Volume> swept;
        polar::PolarVolume v = a.take("20260328-201457", {}, &swept);
        if (grid == 1) benchmark::DoNotOptimize(polar::grid_volumes(std::span(&v, 1), polar::GridOptions{}));
        if (grid == 2 && !swept) state.SkipWithError("the sweeps gridded as they came were not the volume's");
    }
}
BENCHMARK(BM_KlotAfterTheEndChunk)->Arg(0)->Arg(1)->Arg(2)->ArgName("grid")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
