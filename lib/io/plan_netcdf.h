// Plan-view products (one value per column of a grid) as NetCDF files:
// MESH, the hail swath, the rotation tracks.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

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

// A plan file read back: its axes (km) and the variables asked for, each
// with its units and long_name, NaN where it has its _FillValue.
struct PlanFile {
    Volume axes;
    struct Variable {
        std::string name, units, long_name;
        std::vector<float> values;   // x fastest
    };
    std::vector<Variable> variables;
};
// std::runtime_error naming path when it cannot be read, or lacks x, y or
// one of names on them.
PlanFile read_plan_netcdf(const std::string& path, std::span<const std::string> names);

}  // namespace velmora
