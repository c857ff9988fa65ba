// Gridded radar volumes in and out: NetCDF files in the layout common radar
// toolkits write (variables (time, z, y, x) or (z, y, x) with coordinate
// variables x, y, z in metres or km) and VTK image data, read into a field of
// the host's tree; and the deterministic synthetic convective volume.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/geo.h"
#include "options/options.h"
#include "tree.h"

namespace velmora {

// The most nodes of a volume read from a file (a field of a network, too):
// a regional composite of 1000 x 1000 km at 1 km with 100 levels, ten times
// a radar's own volume of the same resolution; such a volume takes about
// 2 GB through an analysis.
inline constexpr std::int64_t max_volume_nodes =
    static_cast<std::int64_t>(options::number("analyze", "max-voxels"));

// A volume as read: node data on a rectilinear grid, coordinates in km.
struct Volume {
    std::vector<float> x, y, z;        // grid coordinates along each axis, km
    vhost::LargeVector<float> values;  // x fastest, then y, then z
    std::string name;                  // the variable's name
    std::string units;
    bool has_null = false;
    float null_value = -9999.0f;
    std::optional<GeoOrigin> origin;   // where x = y = 0 lies, when the file says
    std::optional<double> time;        // of the step read, s since 1970-01-01 UTC, when the file says
    std::string time_problem{};        // why a time the file gives could not be read
};

// Where a reader puts the values of a volume: given the volume with its axes,
// name and units read, storage for its nodes, x fastest. Without one they go
// to the volume's own values.
using ValueSink = std::function<std::span<float>(const Volume& axes)>;

// The time step of a variable (time, z, y, x) to read; kOnlyTime takes the
// one there is and refuses a variable of several.
inline constexpr long kOnlyTime = -1;

// The coordinates of axis name in km from values in units (m or km; none:
// m), which must increase strictly, at least 2 of them; std::runtime_error
// naming where and the axis otherwise.
std::vector<float> axis_in_km(std::span<const double> values, const std::string& units, const std::string& where,
                              const std::string& name);

// Reads variable var of a NetCDF file. An axis that decreases is turned to
// increase, the values with it. Throws std::runtime_error with a message
// naming the file and what is wrong.
// Volumes of more than max_nodes nodes are refused before their values are read.
Volume read_netcdf(const std::string& path, const std::string& var, const ValueSink& sink = {}, long time = kOnlyTime,
                   std::int64_t max_nodes = max_volume_nodes);
// Reads point-data array var (the first array when var is empty) of a .vti file.
Volume read_vti(const std::string& path, const std::string& var, const ValueSink& sink = {},
                std::int64_t max_nodes = max_volume_nodes);
// By extension: .nc/.nc4/.cdf NetCDF, .vti VTK image data (which has no time).
Volume read_volume(const std::string& path, const std::string& var, const ValueSink& sink = {}, long time = kOnlyTime,
                   std::int64_t max_nodes = max_volume_nodes);

// Writes a volume in the layout radar toolkits use: <name>(time, z, y, x)
// float (DT when the volume has no name) in its units (none: dBZ) with
// _FillValue/missing_value, coordinate variables x, y, z in metres,
// origin_latitude/origin_longitude (time) when it has an origin and a CF time
// when it has one.
void write_netcdf(const std::string& path, const Volume& v);

// One convective cell of a synthetic volume.
struct ConvectiveCell {
    float x, y;       // centre at the ground, km
    float peak;       // core reflectivity, dBZ
    float radius;     // horizontal scale of the core, km
    float top;        // echo top, km
    float core;       // height of the core, km
    float tilt_x;     // displacement of the core per km of height
};

// The size and storms of a synthetic volume. The defaults give the built-in
// volume: five convective cells and a stratiform region on an 80 x 60 km grid
// at 1 km with 20 levels (0.5 .. 10 km).
struct SyntheticOptions {
    int nx = static_cast<int>(options::number("synth", "nx"));   // grid points 1 km apart, centred on 0
    int ny = static_cast<int>(options::number("synth", "ny"));
    int nz = static_cast<int>(options::number("synth", "nz"));   // 0.5 km apart; above 30 they share the lowest 15 km
    int cells = static_cast<int>(options::number("synth", "cells"));   // scattered from seed; 0: the built-in five
    std::uint32_t seed = static_cast<std::uint32_t>(options::number("synth", "seed"));
};

// Convective cells of realistic structure (a tilted core, a rain shaft, an
// echo top), stratiform rain with a bright band and a fine texture: the same
// for the same options every time. Throws std::invalid_argument on a grid of
// fewer than 2 points along an axis or a negative cell count.
Volume synthetic_volume(const SyntheticOptions& o = {});
// Only the given cells, without stratiform rain, on the grid of o.
Volume synthetic_volume_of_cells(const SyntheticOptions& o, std::span<const ConvectiveCell> cells);

// Puts a volume into the tree as a field: a uniform grid (dims + corner
// points) when every axis is evenly spaced, explicit coordinates otherwise;
// one float component with the null flag and value, identity transform.
vhost::Object& add_volume_field(vhost::Object& parent, const std::string& name, const Volume& v);
// The same into a field that exists.
void fill_volume_field(vhost::Object& field, const Volume& v);
// The field of a volume without its values: the geometry and the one float
// component, whose storage is returned for a reader to fill (a ValueSink).
// Its null value is set afterwards with set_volume_null.
std::span<float> make_volume_field(vhost::Object& field, const Volume& axes);
// The field of a volume whose values stay where the caller holds them: the
// field reads them there, never writes them, and must go before they do.
// Nulls as v says; std::invalid_argument when they do not fit the axes.
void lend_volume_field(vhost::Object& field, const Volume& v, std::span<const float> values);
void set_volume_null(vhost::Object& field, const Volume& v);
// Marks the missing values of float component comp of a field as NaN, in
// place, and leaves the component without a null value.
void nulls_to_nan(vhost::Object& field, int comp);

}  // namespace velmora
