#include "polar/network.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "io/geo.h"
#include "polar/mosaic.h"

namespace velmora::polar {

namespace {

struct Timed {
    std::size_t file = 0, radar = 0;
    double time = 0;
};

// Each file's radar (the index of the first file of a radar that stands
// within kSameRadarKm) and time; the index of each radar's first file.
std::vector<Timed> radars_and_times(std::span<const std::string> paths, const PolarInput& in,
                                    std::vector<std::size_t>& first_files) {
    std::vector<Site> sites;
    std::vector<Timed> files;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const PolarHeader h = read_polar_header(paths[i], in.site);
        if (!h.site) throw std::runtime_error(paths[i] + ": the file gives no radar position; give it with --site LAT,LON,HEIGHT");
        if (!h.time) throw std::runtime_error(paths[i] + ": the file gives no time, which a network's volumes are grouped by");
        std::size_t r = 0;
        for (; r < sites.size(); ++r) {
            const double lat[] = {h.site->latitude}, lon[] = {h.site->longitude};
            double x[1], y[1];
            projected(GeoOrigin{sites[r].latitude, sites[r].longitude}, lat, lon, x, y);
            if (std::hypot(x[0], y[0]) < kSameRadarKm) break;
        }
        if (r == sites.size()) {
            sites.push_back(*h.site);
            first_files.push_back(i);
        }
        files.push_back({i, r, *h.time});
    }
    return files;
}

// The files grouped into time steps, as network_series says.
std::vector<std::vector<std::string>> time_steps(std::span<const std::string> paths, std::vector<Timed> files,
                                                 double max_age) {
    std::stable_sort(files.begin(), files.end(), [](const Timed& a, const Timed& b) { return a.time < b.time; });
    std::vector<bool> taken(files.size(), false);
    std::vector<std::vector<std::string>> steps;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (taken[i]) continue;
        std::vector<const Timed*> step{&files[i]};
        for (std::size_t j = i + 1; j < files.size() && files[j].time - files[i].time <= max_age; ++j) {
            const bool radar_in = std::any_of(step.begin(), step.end(), [&](const Timed* t) { return t->radar == files[j].radar; });
            if (taken[j] || radar_in) continue;
            step.push_back(&files[j]);
            taken[j] = true;
        }
        std::stable_sort(step.begin(), step.end(), [](const Timed* a, const Timed* b) { return a->radar < b->radar; });
        std::vector<std::string>& out = steps.emplace_back();
        for (const Timed* t : step) out.push_back(paths[t->file]);
    }
    return steps;
}

}  // namespace

std::optional<NetworkSeries> network_series(std::span<const std::string> paths, const PolarInput& in) {
    if (paths.size() < 2 || !std::all_of(paths.begin(), paths.end(), is_polar)) return std::nullopt;
    std::vector<std::size_t> first_files;
    std::vector<Timed> files = radars_and_times(paths, in, first_files);
    if (first_files.size() < 2) return std::nullopt;
    NetworkSeries s;
    s.radars = first_files.size();
    s.steps = time_steps(paths, std::move(files), in.mosaic.max_age);
    // The grid over every radar, from each one's first volume: its range
    // is its farthest gate's.
    std::vector<MosaicRadar> radars;
    for (std::size_t f : first_files) {
        const PolarVolume v = read_input(paths[f], in);
        radars.push_back(mosaic_radars(std::span(&v, 1)).front());
    }
    s.grid = network_grid(in.grid, in.mosaic, radars);
    return s;
}

}  // namespace velmora::polar
