// Storm-relative velocity: the radial velocity less the radial component of
// a storm's motion, so that what turns or converges within the storm shows
// however fast it moves (a storm moving with the wind is still air to it).
#pragma once

#include <string>

#include "io/volume.h"
#include "polar/dealias.h"
#include "polar/polar.h"

namespace velmora::polar {

// Every gate of v's radial velocity less motion's component along its beam
// (radial_wind). std::invalid_argument when v's field is not a radial
// velocity.
void storm_relative(PolarVolume& v, Wind motion);

// The name of a velocity field as measured, written beside the field
// dealiased: VRADH_raw of VRADH.
std::string raw_name(const std::string& field);

// What the files and Python say of the two fields (CF long_name, comment).
struct FieldLabel {
    std::string long_name, comment;
};
FieldLabel dealiased_label(const std::string& field);
FieldLabel measured_label(const std::string& field);

// The grid of a dealiased radial velocity (named as its field) written as
// write_netcdf writes a grid, with raw, the same field as measured (folded
// at the Nyquist velocity) gridded alike, beside it under raw_name(); their
// long_name and comment say which is which. std::invalid_argument when raw
// is not on dealiased's grid.
void write_dealiased_netcdf(const std::string& path, const Volume& dealiased, const Volume& raw);

}  // namespace velmora::polar
