#include "polar/polar_input.h"

#include <utility>
#include <vector>

namespace velmora::polar {

Volume grid_files(std::span<const std::string> paths, const PolarInput& in) {
    std::vector<PolarVolume> volumes;
    volumes.reserve(paths.size());
    for (const std::string& path : paths) {
        volumes.push_back(read_polar(path, in.field, in.site));
        filter_gates(volumes.back(), in.filters);
    }
    if (volumes.size() > 1) return std::move(mosaic_volumes(volumes, in.grid, in.mosaic).grid);
    return grid_volumes(volumes, in.grid);
}

}  // namespace velmora::polar
