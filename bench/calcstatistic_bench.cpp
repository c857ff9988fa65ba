// CalcStatistic at 1,000 areas over 2 million nodes with 2 components: the
// module's update (node index built once, each area walking its own nodes)
// against the direct computation that passes over all nodes twice per area.
// Both run in this program on the same data; the medians and their ratio are
// printed at the end, after a check that both give the same bits.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "field_ref.h"
#include "host.h"
#include "../tests/modules/statistic_reference.h"

namespace {

constexpr int kNodes = 2'000'000;
constexpr int kAreas = 1'000;
constexpr int kComps = 2;
constexpr float kNull = -9999.0f;

using vref::RefArea;

// A divided radar surface: runs of neighbouring nodes of one area, as the
// connected pieces of an isosurface come, each area made of a few runs
// scattered over the node list, and a few runs of no area. Along a run the
// nodes wander in space and the reflectivity wanders smoothly, with a rare
// gap of null values; the rain rate follows from it (Marshall-Palmer).
struct Data {
    std::vector<std::int32_t> area;
    std::vector<float> coord;
    std::vector<std::vector<float>> value;
    std::vector<float> null_value{kNull, 0.0f};

    Data() : area(kNodes), coord(3 * static_cast<std::size_t>(kNodes)), value(kComps, std::vector<float>(kNodes)) {
        std::mt19937 rng(200601200);
        std::uniform_int_distribution<int> run_length(50, 750), which(1, kAreas), gap(5, 20);
        std::uniform_real_distribution<float> xy(-60000.0f, 50000.0f), z(500.0f, 20000.0f), step(-250.0f, 250.0f);
        std::uniform_real_distribution<float> ze0(30.0f, 55.0f), dze(-0.8f, 0.8f);
        for (int n = 0; n < kNodes;) {
            const int len = run_length(rng), no = rng() % 50 == 0 ? 0 : which(rng);
            float x = xy(rng), y = xy(rng), h = z(rng), dbz = ze0(rng);
            int null_left = 0;
            for (int k = 0; k < len && n < kNodes; ++k, ++n) {
                area[n] = no;
                x += step(rng);
                y += step(rng);
                h = std::clamp(h + step(rng), 500.0f, 20000.0f);
                dbz = std::clamp(dbz + dze(rng), 30.0f, 55.0f);
                if (null_left == 0 && rng() % 1000 == 0) null_left = gap(rng);
                coord[3 * n] = x;
                coord[3 * n + 1] = y;
                coord[3 * n + 2] = h;
                value[0][n] = null_left > 0 ? kNull : dbz;
                value[1][n] = std::pow(std::pow(10.0f, dbz / 10.0f) / 200.0f, 0.625f);
                if (null_left > 0) --null_left;
            }
        }
    }
};

const Data& data() {
    static const Data d;
    return d;
}

// The network on the substitute host: area numbers, the surface, and a
// CalcStatistic instance over them.
vhost::Object& instance() {
    static vhost::Object* inst = [] {
        const Data& d = data();
        vhost::Host& host = vhost::host();
        vhost::FieldRef(host.add_field("area")).nnodes(kNodes).ints("area_no", d.area);
        vhost::FieldRef in(host.add_field("surface"));
        in.nnodes(kNodes).nspace(3).coord(d.coord).floats("ze", d.value[0]).floats("rain", d.value[1]);
        in.null_value(0, kNull);
        vhost::Object& stat = host.add_instance("stat", "CalcStatistic");
        host.link("stat.area", "area");
        host.link("stat.in", "surface");
        stat.at("no_min").set_int(1);
        stat.at("no_max").set_int(kAreas);
        return &stat;
    }();
    return *inst;
}

void BM_CalcStatisticUpdate(benchmark::State& state) {
    vhost::Object& stat = instance();
    for (auto _ : state) benchmark::DoNotOptimize(vhost::host().call(stat));
    state.counters["areas"] = kAreas;
}

void BM_TwoPassesPerArea(benchmark::State& state) {
    const Data& d = data();
    for (auto _ : state) {
        auto r = vref::reference_statistics(d.area, d.coord, 3, d.value, d.null_value, 1, kAreas);
        benchmark::DoNotOptimize(r.data());
    }
}

BENCHMARK(BM_CalcStatisticUpdate)->Unit(benchmark::kMillisecond)->Repetitions(7)->Iterations(3);
BENCHMARK(BM_TwoPassesPerArea)->Unit(benchmark::kMillisecond)->Repetitions(5)->Iterations(1);

// Every published number against the direct computation, bit for bit.
bool identical() {
    const Data& d = data();
    vhost::Object& stat = instance();
    vhost::host().call(stat);
    if (stat.at("done").int_value() != 1) return false;
    auto ref = vref::reference_statistics(d.area, d.coord, 3, d.value, d.null_value, 1, kAreas);
    auto same = [](float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); };
    for (int i = 0; i < kAreas; ++i) {
        vhost::Object& e = stat.at("sparam[" + std::to_string(i) + "]");
        const RefArea& r = ref[static_cast<std::size_t>(i)];
        if (e.at("npoints").int_value() != r.npoints) return false;
        const std::pair<const char*, const std::vector<float>*> arrays[] = {
            {"data_min", &r.dmin}, {"data_max", &r.dmax}, {"data_ave", &r.dave}, {"sv", &r.sv}};
        for (const auto& [name, want] : arrays) {
            auto got = vhost::floats_of(e.at(name));
            if (got.size() != want->size()) return false;
            for (std::size_t k = 0; k < got.size(); ++k)
                if (!same(got[k], (*want)[k])) return false;
        }
        const char* axes[3] = {"x", "y", "z"};
        for (int k = 0; k < 3; ++k) {
            if (!same(static_cast<float>(e.at(std::string("aav.") + axes[k]).real_value()), r.centre[k])) return false;
            for (int j = 0; j < kComps; ++j) {
                double got = e.at("wav[" + std::to_string(j) + "]." + axes[k]).real_value();
                if (!same(static_cast<float>(got), r.wav[3 * j + k])) return false;
            }
        }
        if (!same(static_cast<float>(e.at("maxz").real_value()), r.maxz)) return false;
    }
    return vhost::host().outstanding_arrays() == 0;
}

// Keeps the console output and remembers the median of each benchmark.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    struct Median {
        double real_ms = 0, cpu_ms = 0;
    };
    std::map<std::string, Median> medians;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                medians[r.run_name.function_name] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    vhost::host().set_error_stream(stderr);
    const bool same = identical();
    std::printf("CalcStatistic: %d areas, %d nodes, %d components; results identical to the direct computation: %s\n",
                kAreas, kNodes, kComps, same ? "yes" : "NO");
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto fast = reporter.medians.find("BM_CalcStatisticUpdate");
    auto ref = reporter.medians.find("BM_TwoPassesPerArea");
    if (fast != reporter.medians.end() && ref != reporter.medians.end() && fast->second.real_ms > 0 &&
        fast->second.cpu_ms > 0) {
        const auto& a = fast->second;
        const auto& b = ref->second;
        std::printf("median CalcStatisticUpdate:  %9.2f ms wall, %9.2f ms cpu\n", a.real_ms, a.cpu_ms);
        std::printf("median two passes per area:  %9.2f ms wall, %9.2f ms cpu\n", b.real_ms, b.cpu_ms);
        std::printf("ratio (two passes per area / CalcStatisticUpdate): %.1fx wall, %.1fx cpu\n", b.real_ms / a.real_ms,
                    b.cpu_ms / a.cpu_ms);
    }
    return same ? 0 : 1;
}
