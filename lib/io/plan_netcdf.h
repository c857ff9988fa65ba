// Plan-view products (one value per column of a grid) as NetCDF files:
// MESH, the hail swath, the rotation tracks.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "io/volume.h"

namespace velmora {

// A variable (y, x) of nx * ny values, x fastest.
struct PlanVariable {
    std::string name, units, long_name;
    std::span<const float> values;
    std::optional<float> fill = {};   // its _FillValue, where it has one
};

// The bytes of a NetCDF-4 file of the variables, with coordinates x, y in
// metres from the axes in km; path names the file in messages. WriteFailed
// when the library refuses, std::invalid_argument when a variable does not
// fit the grid.
std::string plan_netcdf(const std::string& path, const Volume& axes, std::span<const PlanVariable> variables);

// plan_netcdf written to path, whole or not at all.
void write_plan_netcdf(const std::string& path, const Volume& axes, std::span<const PlanVariable> variables);

}  // namespace velmora
