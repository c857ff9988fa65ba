// Polar files where the commands and the Python package take volumes: read
// and gridded with the same options, so that a radar's own file goes straight
// into an analysis or a series.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "polar/dealias.h"
#include "polar/gate_filters.h"
#include "polar/gridding.h"
#include "polar/mosaic.h"
#include "polar/polar.h"

namespace velmora::polar {

struct PolarInput {
    std::string field;            // the quantity; empty: the reflectivity
    std::optional<Site> site;     // the radar's position, over the file's
    GridOptions grid;
    GateFilters filters;          // applied to the gates before they are gridded
    MosaicOptions mosaic;         // how several radars make one grid
    // A radial velocity unfolded past its Nyquist velocity (dealias.h)
    // after the filters; a sweep the file gives no Nyquist velocity is
    // gridded as measured, with a note to grid.note.
    bool dealias = false;
};

// What the commands do to a volume as read before gridding it: the gate
// filters, then the dealiasing when in asks. std::invalid_argument when
// in.dealias and the field is no radial velocity.
void prepare_volume(PolarVolume& v, const PolarInput& in);

// The volume of path as the commands grid it: read (a derived field, in.field
// azshear or divergence, from the file's dealiased velocity, shear.h) and
// prepared. With in.dealias and measured, the volume as measured (its
// gates filtered, not dealiased) goes there too: the raw field the grid
// files keep beside the dealiased one (velocity.h).
PolarVolume read_input(const std::string& path, const PolarInput& in, std::optional<PolarVolume>* measured = nullptr);

// Whether path holds a polar volume of a format velmora reads.
inline bool is_polar(const std::string& path) { return polar_format(path) != PolarFormat::none; }

// The polar volumes of paths read, their gates filtered (in.filters), and
// gridded: one radar as grid_volumes() grids it, several as their mosaic
// (mosaic_volumes(), in.mosaic). std::runtime_error naming the file otherwise.
// With in.dealias, one radar and raw, its field as measured gridded alike
// goes there (none otherwise).
Volume grid_files(std::span<const std::string> paths, const PolarInput& in, std::optional<Volume>* raw = nullptr);
// A grid written as NetCDF: with raw, the dealiased velocity and the field
// as measured beside it (write_dealiased_netcdf), else as write_netcdf.
void write_grid(const std::string& path, const Volume& grid, const std::optional<Volume>& raw);
// The mosaic of the polar volumes of paths, read and filtered as grid_files() does.
Mosaic mosaic_files(std::span<const std::string> paths, const PolarInput& in);

}  // namespace velmora::polar
