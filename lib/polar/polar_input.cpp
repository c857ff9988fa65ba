#include "polar/polar_input.h"

#include <utility>
#include <vector>

#include "polar/shear.h"

namespace velmora::polar {

void prepare_volume(PolarVolume& v, const PolarInput& in) {
    filter_gates(v, in.filters);
    if (!in.dealias) return;
    const DealiasReport report = dealias_volume(v);
    if (in.grid.note)
        for (const std::string& note : report.notes) in.grid.note(note);
}

PolarVolume read_input(const std::string& path, const PolarInput& in) {
    if (!is_derived_field(in.field)) {
        PolarVolume v = read_polar(path, in.field, in.site);
        prepare_volume(v, in);
        return v;
    }
    PolarVolume v = read_derived(path, in.field, in.site, ShearOptions{}, in.grid.note);
    filter_gates(v, in.filters);
    return v;
}

namespace {

std::vector<PolarVolume> read_files(std::span<const std::string> paths, const PolarInput& in) {
    std::vector<PolarVolume> volumes;
    volumes.reserve(paths.size());
    for (const std::string& path : paths) volumes.push_back(read_input(path, in));
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
