// Storm-relative velocity: the radial velocity less the radial component of
// a storm's motion, so that what turns or converges within the storm shows
// however fast it moves (a storm moving with the wind is still air to it).
#pragma once

#include <string>
#include <vector>

#include "io/volume.h"
#include "polar/dealias.h"
#include "polar/polar.h"

namespace velmora::polar {

// Every gate of v's radial velocity less motion's component along its beam
// (radial_wind). std::invalid_argument when v's field is not a radial
// velocity.
void storm_relative(PolarVolume& v, Wind motion);

// A tracked cell where it is and how it moves: its centre (km east and north
// of the grid's origin), the radius of a circle of its area (km), its
// motion since the volume before.
struct CellMotion {
    double x = 0.0, y = 0.0, radius = 0.0;
    Wind motion;
};

// The smallest radius a cell's motion reaches, km: a grid spacing or two,
// so that a cell of a few columns still covers the gates about its core.
inline constexpr double kMinCellRadius = 2.0;

// The storm motion at each place of a volume with tracked cells. A cell's
// velocity signatures (its mesocyclone, its inflow and outflow) lie within
// its echo, so within the radius of its area about its centre the cell's
// own motion is subtracted; from there to twice that radius it gives way
// linearly to the background, so that the subtraction itself draws no
// step (no false shear) at a cell's edge. Where cells reach the same place,
// the nearest in units of its radius wins. Elsewhere the background: the
// mean motion of the volume's cells (tracking's storm_motion), else the
// echo's.
class StormMotion {
public:
    explicit StormMotion(Wind background, std::vector<CellMotion> cells = {});
    Wind at(double x, double y) const;   // km from the grid's origin
    Wind background() const { return background_; }
    const std::vector<CellMotion>& cells() const { return cells_; }

private:
    Wind background_;
    std::vector<CellMotion> cells_;
};

// Every gate of v's radial velocity less the radial component of the
// storm motion where the gate lies (the 4/3 earth's ground distance on its
// azimuth), the radar at (radar_x, radar_y) km of the grid's origin.
// std::invalid_argument when v's field is not a radial velocity.
void storm_relative(PolarVolume& v, const StormMotion& motion, double radar_x = 0.0, double radar_y = 0.0);

// The same of a grid of radial velocity (gridded from a radar at
// radar_x, radar_y km, its levels above the antenna): each node less the
// storm motion's component along the beam that reaches it. Gridding averages
// the gates about a node, and the beam turns little across them, so the
// grid of storm-relative gates and this differ within the grid's noise.
void storm_relative(Volume& grid, const StormMotion& motion, double radar_x = 0.0, double radar_y = 0.0);

// A radial velocity gridded with the radar's place in the grid (km east and
// north of its origin): what a series keeps of each volume's velocity
// (velocity.nc), for the storm-relative velocity of its tracked cells.
struct VelocityGrid {
    Volume grid;
    double radar_x = 0.0, radar_y = 0.0;
};
// The variable of velocity.nc: radial_velocity(time, z, y, x), m/s.
inline constexpr const char* kVelocityVariable = "radial_velocity";
// velocity's grid written as write_netcdf writes a grid, its variable named
// kVelocityVariable, the radar's place in the global attributes radar_x_km
// and radar_y_km.
void write_velocity_grid(const std::string& path, VelocityGrid velocity);
// std::runtime_error naming the file when it is no such grid.
VelocityGrid read_velocity_grid(const std::string& path);

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
