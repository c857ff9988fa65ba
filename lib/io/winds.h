// Wind components on a radar grid, as wind retrievals (multi-Doppler
// analyses) write them beside the reflectivity: u east, v north, w up, m/s.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/volume.h"

namespace velmora {

struct Winds {
    std::vector<float> u, v, w;   // x fastest, as the volume's values
};

// A plausible wind field for a synthetic volume: a westerly that strengthens
// with height and veers a little, turning around each storm, and updrafts
// where the reflectivity is strong (up to 15 m/s). Deterministic.
Winds synthetic_winds(const Volume& v);

// A further float variable of a volume file, on the volume's grid.
struct ExtraVariable {
    std::string name, units, long_name;
    std::span<const float> values;   // as many as the volume's
    std::string comment{};           // the CF comment, when not empty
    std::optional<float> fill{};     // the value of missing points (_FillValue, missing_value)
};
// write_netcdf with further variables (time, z, y, x) beside the volume's.
void write_netcdf(const std::string& path, const Volume& v, std::span<const ExtraVariable> extra);
// The same, more adding what else the file holds: called with the file's
// NetCDF id, in data mode, before the file is made and written out.
void write_netcdf(const std::string& path, const Volume& v, std::span<const ExtraVariable> extra,
                  const std::function<void(int)>& more);

}  // namespace velmora
