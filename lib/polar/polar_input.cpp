#include "polar/polar_input.h"

#include <utility>
#include <vector>

namespace velmora::polar {
namespace {

std::vector<PolarVolume> read_files(std::span<const std::string> paths, const PolarInput& in) {
    std::vector<PolarVolume> volumes;
    volumes.reserve(paths.size());
    for (const std::string& path : paths) {
        volumes.push_back(read_polar(path, in.field, in.site));
        filter_gates(volumes.back(), in.filters);
    }
    return volumes;
}

}  // namespace

Volume grid_files(std::span<const std::string> paths, const PolarInput& in) {
    const std::vector<PolarVolume> volumes = read_files(paths, in);
    if (volumes.size() > 1) return std::move(mosaic_volumes(volumes, in.grid, in.mosaic).grid);
    return grid_volumes(volumes, in.grid);
}

Mosaic mosaic_files(std::span<const std::string> paths, const PolarInput& in) {
    return mosaic_volumes(read_files(paths, in), in.grid, in.mosaic);
}

}  // namespace velmora::polar
