// AlphaPlane and MakeRainMesh on a 500 x 500 x 40 reflectivity volume, each
// against the floor of a plain pass that reads every node once. A third of
// the columns hold rain (a storm of 10 to 55 dBZ up to 6 to 12 km), the rest
// lies below the band; the top levels are null (outside the radar's reach).
//
// Prints every benchmark's median, then the throughput of each module in
// nodes per second and its time as a multiple of the floor's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "field_ref.h"
#include "host.h"

namespace {

constexpr std::int64_t kNx = 500, kNy = 500, kNz = 40;
constexpr std::int64_t kNodes = kNx * kNy * kNz;
constexpr float kNull = -9999.0f;
constexpr int kRepetitions = 9;

// The volume, built once: values in storage order, i fastest.
struct Volume {
    std::vector<float> ze;
    std::vector<float> coord;   // x, y, z per node, 1 km apart horizontally, 0.5 km vertically
    Volume() : ze(static_cast<std::size_t>(kNodes)), coord(static_cast<std::size_t>(3 * kNodes)) {
        for (std::int64_t k = 0; k < kNz; ++k)
            for (std::int64_t j = 0; j < kNy; ++j)
                for (std::int64_t i = 0; i < kNx; ++i) {
                    const auto n = static_cast<std::size_t>(i + kNx * (j + kNy * k));
                    // Rain in every third band of 20 columns along i + j.
                    const bool rain = ((i + j) / 20) % 3 == 0;
                    const std::int64_t top = 12 + (i * 7 + j * 13) % 13;   // 12 .. 24 levels of echo
                    float v = 0.0f;
                    if (k >= 36)
                        v = kNull;
                    else if (rain && k < top)
                        v = 55.0f - 45.0f * static_cast<float>(k) / static_cast<float>(top);
                    ze[n] = v;
                    coord[3 * n] = static_cast<float>(i);
                    coord[3 * n + 1] = static_cast<float>(j);
                    coord[3 * n + 2] = 0.5f * static_cast<float>(k);
                }
    }
};

const Volume& volume() {
    static const Volume v;
    return v;
}

// The network: the volume as a uniform grid (for the rain mesh) and with
// explicit coordinates (for the projection), and one instance of each module.
void build_network() {
    static bool built = false;
    if (built) return;
    built = true;
    vhost::Host& h = vhost::host();
    h.reset();
    h.set_error_stream(stderr);
    const Volume& v = volume();

    vhost::FieldRef uniform(h.add_field("uniform"));
    uniform.uniform({kNx, kNy, kNz}, {0, 0, 0, kNx - 1, kNy - 1, 0.5f * (kNz - 1)}).floats("ze", v.ze, 1, "dBZ");
    uniform.null_value(0, kNull);
    vhost::FieldRef grid(h.add_field("grid"));
    grid.nspace(3).dims({kNx, kNy, kNz}).nnodes(kNodes).coord(v.coord).floats("ze", v.ze, 1, "dBZ");
    grid.null_value(0, kNull);

    vhost::Object& mesh = h.add_instance("mesh", "MakeRainMesh");
    h.link("mesh.in_mesh", "uniform");
    mesh.at("minValue").set_real(10.0);
    mesh.at("maxValue").set_real(50.0);
    mesh.at("length").set_real(0.5);   // one point per level

    vhost::Object& alpha = h.add_instance("alpha", "AlphaPlane");
    h.link("alpha.in", "grid");
    alpha.at("axis").set_int(2);
    alpha.at("plane").set_int(0);
    alpha.at("alpha_min").set_real(0.0);
    alpha.at("alpha_max").set_real(0.2);
    alpha.at("data_min").set_real(10.0);
    alpha.at("data_max").set_real(55.0);
}

// The floor: every node read once, eight sums so no add waits on the last,
// from the array the modules read (the host's copy of the volume).
void BM_ReadOnceFloor(benchmark::State& state) {
    build_network();
    const float* ze = vhost::FieldRef(vhost::host().root().at("uniform")).component(0).at("values").as<float>();
    for (auto _ : state) {
        float acc[8] = {};
        for (std::int64_t n = 0; n < kNodes; n += 8)
            for (int l = 0; l < 8; ++l) acc[l] += ze[n + l];
        float s = 0.0f;
        for (float a : acc) s += a;
        benchmark::DoNotOptimize(s);
    }
    state.SetItemsProcessed(state.iterations() * kNodes);
}

void BM_AlphaPlane(benchmark::State& state) {
    build_network();
    vhost::Host& h = vhost::host();
    vhost::Object& inst = h.root().at("alpha");
    for (auto _ : state) h.call(inst);
    if (inst.at("done").int_value() != 1 || !h.reports().empty()) state.SkipWithError("AlphaPlane failed");
    state.SetItemsProcessed(state.iterations() * kNodes);
}

void BM_MakeRainMesh(benchmark::State& state) {
    build_network();
    vhost::Host& h = vhost::host();
    vhost::Object& inst = h.root().at("mesh");
    for (auto _ : state) {
        h.call(inst, "MakeRainMeshConstant_update");
        state.PauseTiming();
        h.clear_progress();   // the host's record, not the module's work
        state.ResumeTiming();
    }
    const std::int64_t lines = inst.at("out_mesh.cell_set[0].npolys").int_value();
    if (lines == 0 || !h.reports().empty()) state.SkipWithError("MakeRainMesh failed");
    state.counters["lines"] = static_cast<double>(lines);
    state.counters["points"] = static_cast<double>(inst.at("out_mesh.nnodes").int_value());
    state.SetItemsProcessed(state.iterations() * kNodes);
}

BENCHMARK(BM_ReadOnceFloor)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_AlphaPlane)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_ReadOnceFloor)->Name("BM_ReadOnceFloor/again")->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
BENCHMARK(BM_MakeRainMesh)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// Keeps the median real time of every benchmark while printing as usual.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> median_ms;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                median_ms[r.run_name.function_name] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& m = reporter.median_ms;
    auto floor_near = [&](const char* name) {
        // The floor measured next to the module: the first for AlphaPlane, the
        // second for MakeRainMesh.
        const char* f = std::strcmp(name, "BM_AlphaPlane") == 0 ? "BM_ReadOnceFloor" : "BM_ReadOnceFloor/again";
        auto it = m.find(f);
        return it == m.end() ? 0.0 : it->second;
    };
    std::printf("\n%dx%dx%d nodes; medians of %d runs\n", static_cast<int>(kNx), static_cast<int>(kNy),
                static_cast<int>(kNz), kRepetitions);
    const struct {
        const char* name;
        double target;
    } modules[] = {{"BM_AlphaPlane", 3.0}, {"BM_MakeRainMesh", 10.0}};
    for (const auto& mod : modules) {
        auto it = m.find(mod.name);
        const double floor = floor_near(mod.name);
        if (it == m.end() || floor <= 0.0) continue;
        const double ms = it->second;
        std::printf("%-16s %8.2f ms  %6.1f Mnodes/s   floor %6.2f ms  %6.1f Mnodes/s   ratio %.2fx (target %.0fx)\n",
                    mod.name + 3, ms, kNodes / ms / 1e3, floor, kNodes / floor / 1e3, ms / floor, mod.target);
    }
    return 0;
}
