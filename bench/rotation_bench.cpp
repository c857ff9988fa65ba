// What the cells' rotation costs `velmora analyze` of a polar volume: the
// Canberra volume (ODIM, 14 sweeps of reflectivity and radial velocity)
// analyzed with the rotation (its velocity read, dealiased, differentiated
// by LLSD and given to the cells) and without (the reference), one after
// the other, seven times each; medians of the wall time and their ratio
// (target: at most 1.30).
//
//     build/bench/rotation_bench [volume]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "analysis/analyze.h"
#include "host.h"

namespace {

namespace fs = std::filesystem;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Seconds of one analysis of path into out, with or without the rotation.
double analysis_seconds(const std::string& path, const std::string& out, bool rotation) {
    velmora::AnalyzeOptions o;
    o.volume = path;
    o.out = out;
    o.picture = false;
    o.rotation = rotation;
    velmora::AnalysisSummary summary;
    const auto start = std::chrono::steady_clock::now();
    const int status = velmora::analyze(o, stderr, summary);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    vhost::host().reset();
    if (status != 0) {
        std::fprintf(stderr, "rotation_bench: the analysis of %s failed (%d)\n", path.c_str(), status);
        std::exit(1);
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : VELMORA_SOURCE_DIR "/../shared/data/odim_au40_201812200606.h5";
    if (!fs::exists(path)) {
        std::printf("rotation_bench: %s is absent: nothing measured\n", path.c_str());
        return 0;
    }
    const fs::path out = fs::temp_directory_path() / ("velmora_rotation_bench." + std::to_string(::getpid()));
    std::vector<double> with, without;
    analysis_seconds(path, (out / "warm").string(), true);   // the file in the page cache
    for (int i = 0; i < 7; ++i) {
        without.push_back(analysis_seconds(path, (out / "without").string(), false));
        with.push_back(analysis_seconds(path, (out / "with").string(), true));
    }
    fs::remove_all(out);
    const double a = median(without), b = median(with);
    std::printf("velmora analyze of %s, medians of 7 runs:\n", fs::path(path).filename().c_str());
    std::printf("  without rotation  %.3f s\n  with rotation     %.3f s  (%.2f x; target at most 1.30 x)\n", a, b, b / a);
    return 0;
}
