// The vector filters on a volume the size of the CPOL grid (111 x 81 x 40
// nodes), run through the substitute host, against a plain loop over
// std::vector doing the same arithmetic: the ratio is what the host
// round trip (lookups, array hand-outs, output layout) costs on top of the
// computation. Prints the median of each and the ratio module / reference.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "field_ref.h"
#include "host.h"

namespace {

constexpr std::int64_t kNx = 111, kNy = 81, kNz = 40, kNodes = kNx * kNy * kNz;

struct Volume {
    std::vector<float> ze, u, v, w, wind;
    Volume() {
        for (std::int64_t n = 0; n < kNodes; ++n) {
            const auto i = static_cast<float>(n % kNx), j = static_cast<float>((n / kNx) % kNy),
                       k = static_cast<float>(n / (kNx * kNy));
            float z = 55.0f - 0.4f * std::hypot(i - 50.0f, j - 40.0f) - 1.2f * k;
            ze.push_back(z < 5.0f ? -9999.0f : z);
            u.push_back(8.0f + 0.05f * i - 0.2f * k);
            v.push_back(-3.0f + 0.07f * j);
            w.push_back(z > 35.0f ? 0.2f * (z - 35.0f) : -0.5f);
            wind.insert(wind.end(), {u.back(), v.back(), w.back()});
        }
    }
};

const Volume& volume() {
    static const Volume vol;
    return vol;
}

vhost::Object& build_grid(vhost::Host& host) {
    vhost::Object& g = host.add_field("grid");
    const Volume& vol = volume();
    vhost::FieldRef(g)
        .nnodes(kNodes)
        .nspace(3)
        .floats("ze", vol.ze, 1, "dBZ")
        .null_value(0, -9999.0)
        .floats("u", vol.u)
        .floats("v", vol.v)
        .floats("w", vol.w)
        .floats("wind", vol.wind, 3);
    return g;
}

void BM_ThreshVec_module(benchmark::State& state) {
    vhost::Host& host = vhost::host();
    host.reset();
    build_grid(host);
    vhost::Object& inst = host.add_instance("band", "ThreshVec");
    host.link("band.in", "grid");
    inst.at("comp").set_int(0);
    inst.at("vec_min").set_real(25.0);
    inst.at("vec_max").set_real(50.0);
    for (auto _ : state) benchmark::DoNotOptimize(host.call(inst));
    if (inst.at("done").int_value() != 1) state.SkipWithError("ThreshVec did not finish");
}

// The same selection and copy of all five components on plain vectors.
void BM_ThreshVec_reference(benchmark::State& state) {
    const Volume& vol = volume();
    const std::vector<const std::vector<float>*> comps{&vol.ze, &vol.u, &vol.v, &vol.w, &vol.wind};
    std::vector<std::vector<float>> out(comps.size());
    for (std::size_t c = 0; c < comps.size(); ++c) out[c].resize(comps[c]->size());
    std::vector<unsigned char> mask(kNodes);
    for (auto _ : state) {
        for (std::int64_t n = 0; n < kNodes; ++n) {
            const float z = vol.ze[n];
            mask[n] = z > 25.0f && 50.0f > z && std::fabs(static_cast<double>(z - -9999.0f)) > 0.00001;
        }
        for (std::size_t c = 0; c < comps.size(); ++c) {
            const std::vector<float>& in = *comps[c];
            const std::int64_t veclen = static_cast<std::int64_t>(in.size()) / kNodes;
            const bool null_test = c == 0;
            for (std::int64_t idx = 0; idx < static_cast<std::int64_t>(in.size()); ++idx) {
                const bool keep = mask[idx / veclen] &&
                                  (!null_test || !(0.00001 > std::fabs(static_cast<double>(in[idx] - -9999.0f))));
                out[c][idx] = keep ? in[idx] : 0.0f;
            }
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

void BM_ScaleVector_module(benchmark::State& state) {
    vhost::Host& host = vhost::host();
    host.reset();
    build_grid(host);
    vhost::Object& inst = host.add_instance("scale", "ScaleVector");
    host.link("scale.in", "grid");
    vhost::set_ints(inst.at("comp"), {1, 2, 3});
    inst.at("thresh_value").set_real(-5.0);
    inst.at("fixed_w").set_real(20.0);
    inst.at("disp_w").set_real(10.0);
    for (auto _ : state) benchmark::DoNotOptimize(host.call(inst));
    if (inst.at("done").int_value() != 1) state.SkipWithError("ScaleVector did not finish");
}

// The same scaling and magnitude on plain vectors.
void BM_ScaleVector_reference(benchmark::State& state) {
    const Volume& vol = volume();
    const double factor[9] = {1, 1, 20, 1, 1, 10, 1, 1, 1};
    std::vector<float> vec(3 * kNodes), mag(kNodes);
    for (auto _ : state) {
        for (std::int64_t k = 0; k < kNodes; ++k) {
            const float in[3] = {vol.u[k], vol.v[k], vol.w[k]};
            if (-5.0f > in[0] || -5.0f > in[1] || -5.0f > in[2]) {
                vec[3 * k] = vec[3 * k + 1] = vec[3 * k + 2] = 0.0f;
                mag[k] = 0.0f;
                continue;
            }
            for (int a = 0; a < 3; ++a)
                vec[3 * k + a] =
                    static_cast<float>(static_cast<double>(in[a]) * factor[a] * factor[3 + a] * factor[6 + a]);
            const float sum = (in[0] * in[0] + in[1] * in[1]) + in[2] * in[2];
            mag[k] = static_cast<float>(std::sqrt(static_cast<double>(sum)));
        }
        benchmark::DoNotOptimize(vec.data());
        benchmark::DoNotOptimize(mag.data());
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_ThreshVec_module)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ThreshVec_reference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScaleVector_module)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScaleVector_reference)->Unit(benchmark::kMillisecond);

// Keeps the console output and remembers the median of every benchmark.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    struct Median {
        double real_ms = 0.0, cpu_ms = 0.0;
    };
    std::map<std::string, Median> median;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                median[r.run_name.function_name] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
    }
};

}  // namespace

int main(int argc, char** argv) {
    // Medians of interleaved repetitions: the machine is shared and noisy.
    std::vector<char*> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=9", inter = "--benchmark_enable_random_interleaving=true",
                aggr = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {reps.data(), inter.data(), aggr.data()});
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    vhost::host().set_error_stream(stderr);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\nmedians over %lld nodes, module through the host against the plain loop:\n",
                static_cast<long long>(kNodes));
    for (const char* m : {"ThreshVec", "ScaleVector"}) {
        auto mod = reporter.median.find(std::string("BM_") + m + "_module");
        auto ref = reporter.median.find(std::string("BM_") + m + "_reference");
        if (mod == reporter.median.end() || ref == reporter.median.end()) continue;
        const auto& a = mod->second;
        const auto& b = ref->second;
        std::printf("  %-12s real %7.3f ms vs %7.3f ms ratio %.2f | cpu %7.3f ms vs %7.3f ms ratio %.2f\n", m,
                    a.real_ms, b.real_ms, a.real_ms / b.real_ms, a.cpu_ms, b.cpu_ms, a.cpu_ms / b.cpu_ms);
    }
    return 0;
}
