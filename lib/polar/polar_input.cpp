#include "polar/polar_input.h"

#include <utility>
#include <vector>

#include "polar/shear.h"
#include "polar/velocity.h"

namespace velmora::polar {

namespace {

// The dealiasing in asks for, its notes told.
void dealias_input(PolarVolume& v, const PolarInput& in) {
    if (!in.dealias) return;
    const DealiasReport report = dealias_volume(v);
    if (in.grid.note)
        for (const std::string& note : report.notes) in.grid.note(note);
}

}  // namespace

void prepare_volume(PolarVolume& v, const PolarInput& in) {
    filter_gates(v, in.filters);
    dealias_input(v, in);
}

PolarVolume read_input(const std::string& path, const PolarInput& in, std::optional<PolarVolume>* measured) {
    if (!is_derived_field(in.field)) {
        PolarVolume v = read_polar(path, in.field, in.site);
        if (!in.dealias || !measured) {
            prepare_volume(v, in);
            return v;
        }
        filter_gates(v, in.filters);
        *measured = v;
        dealias_input(v, in);
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

Volume grid_files(std::span<const std::string> paths, const PolarInput& in, std::optional<Volume>* raw) {
    if (raw && in.dealias && paths.size() == 1) {
        std::optional<PolarVolume> measured;
        const PolarVolume v = read_input(paths.front(), in, &measured);
        if (measured) *raw = grid_volumes(std::span(&*measured, 1), in.grid);
        return grid_volumes(std::span(&v, 1), in.grid);
    }
    const std::vector<PolarVolume> volumes = read_files(paths, in);
    if (volumes.size() > 1) return std::move(mosaic_volumes(volumes, in.grid, in.mosaic).grid);
    return grid_volumes(volumes, in.grid);
}

void write_grid(const std::string& path, const Volume& grid, const std::optional<Volume>& raw) {
    if (raw) write_dealiased_netcdf(path, grid, *raw);
    else write_netcdf(path, grid);
}

Mosaic mosaic_files(std::span<const std::string> paths, const PolarInput& in) {
    return mosaic_volumes(read_files(paths, in), in.grid, in.mosaic);
}

}  // namespace velmora::polar
