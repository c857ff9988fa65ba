#include "polar/polar_input.h"

#include <vector>

namespace velmora::polar {

void prepare_volume(PolarVolume& v, const PolarInput& in) {
    filter_gates(v, in.filters);
    if (!in.dealias) return;
    const DealiasReport report = dealias_volume(v);
    if (in.grid.note)
        for (const std::string& note : report.notes) in.grid.note(note);
}

Volume grid_files(std::span<const std::string> paths, const PolarInput& in) {
    std::vector<PolarVolume> volumes;
    volumes.reserve(paths.size());
    for (const std::string& path : paths) {
        volumes.push_back(read_polar(path, in.field, in.site));
        prepare_volume(volumes.back(), in);
    }
    return grid_volumes(volumes, in.grid);
}

}  // namespace velmora::polar
