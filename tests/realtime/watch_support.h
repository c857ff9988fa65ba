// What the watcher's tests share: a synthetic series written as files, a watcher run over a folder until nothing is
// left settling, and the files of an output folder.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "io/volume.h"
#include "realtime/watcher.h"
#include "temp_files.h"
#include "tracking/series.h"

namespace vtest {

// series_000.nc ... of a synthetic series of n volumes in dir.
inline std::vector<std::string> write_series(const std::string& dir, int n) {
    std::filesystem::create_directories(dir);
    const auto s = velmora::tracking::synthetic_series(n, 300.0);
    std::vector<std::string> paths;
    for (int k = 0; k < n; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "series_%03d.nc", k);
        paths.push_back((std::filesystem::path(dir) / name).string());
        velmora::write_netcdf(paths.back(), s.volumes[static_cast<std::size_t>(k)]);
    }
    return paths;
}

inline velmora::realtime::WatchOptions watch_options(const std::string& in, const std::string& out) {
    velmora::realtime::WatchOptions o;
    o.input = in;
    o.out = out;
    o.settle = 0;
    o.inotify = false;
    o.analysis.picture = false;
    return o;
}

// Steps a watcher until nothing is left settling: what became of each volume.
inline std::vector<velmora::realtime::VolumeOutcome> run_watcher(velmora::realtime::Watcher& w) {
    std::vector<velmora::realtime::VolumeOutcome> all;
    do {
        for (auto& v : w.step()) all.push_back(std::move(v));
    } while (w.has_ready() || w.settling());
    return all;
}

inline std::vector<velmora::realtime::VolumeOutcome> watch_once(const velmora::realtime::WatchOptions& o,
                                                                 Capture& messages) {
    velmora::realtime::Watcher w(o, messages.stream());
    return run_watcher(w);
}

// The real KLOT volume's chunks as the real-time feed delivered them, extracted into dir, in number order; none when
// the data is absent.
inline std::vector<std::string> klot_chunks(const std::string& dir) {
    const std::string tar = VELMORA_SOURCE_DIR "/../shared/data/nexrad2_chunks_klot_20260328.tar.gz";
    if (!std::filesystem::exists(tar)) return {};
    std::filesystem::create_directories(dir);
    if (std::system(("tar xzf '" + tar + "' -C '" + dir + "'").c_str()) != 0) return {};
    std::vector<std::string> chunks;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::path(dir) / "nexrad_chunks_KLOT"))
        chunks.push_back(e.path().string());
    std::sort(chunks.begin(), chunks.end());
    return chunks;
}

// Every file under dir (its path within dir -> its bytes), but the watcher's state.
inline std::map<std::string, std::string> files_under(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        const std::string rel = std::filesystem::relative(e.path(), dir).string();
        if (rel.rfind("watch.", 0) == 0) continue;
        out[rel] = TempDir::read(e.path().string());
    }
    return out;
}

}  // namespace vtest
