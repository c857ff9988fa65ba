// Rotation of the storm cells, from the radial velocity of a polar volume:
// the azimuthal shear and radial divergence of every sweep (polar/shear.h,
// on the dealiased velocity) taken at each gate's place in the grid, and
// given to the cell whose footprint holds the gate. docs/properties.md
// gives the columns and the thresholds.
//
// Heights are above the radar (the grid's z = 0), which stands for the
// ground: the low levels are 0-2 km, the middle levels 3-7 km, the layers of
// the rotation tracks of the U.S. Multi-Radar Multi-Sensor system (Smith et
// al. 2016, Bull. Amer. Meteor. Soc. 97, 1617-1630; Mahalik et al. 2019,
// Wea. Forecasting 34, 415-434).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/cell_properties.h"
#include "io/plan_netcdf.h"
#include "io/volume.h"
#include "polar/dealias.h"
#include "polar/polar.h"

namespace velmora {

inline constexpr double kLowLevelsTopKm = 2.0;
inline constexpr double kMidLevelsBaseKm = 3.0, kMidLevelsTopKm = 7.0;
// The azimuthal shear of a rotation, s^-1, on the LLSD shear of a 2.5 km
// kernel: mesocyclones reach 0.004-0.006 s^-1 and more, tornadic storms'
// low levels often 0.01 (Smith et al. 2016; Mahalik et al. 2019 put
// their mesocyclone thresholds near 0.005). The middle of that range.
inline constexpr double kRotationShear = 0.005;
// The storm top's layer: from this far below a cell's top to this far above.
inline constexpr double kTopLayerBelowKm = 2.0, kTopLayerAboveKm = 1.0;

// The derivatives of one radar's radial velocity, sweep by sweep on its
// gates (s^-1, NaN where none), and where the radar stands. The shear is
// cyclonic: positive for rotation counterclockwise north of the equator and
// clockwise south of it, as mesocyclones turn.
// The velocity they were derived from, dealiased: the first guess of the
// next volume of a series.
struct VelocityDerivatives {
    std::vector<polar::Sweep> shear, divergence;
    polar::Site site;
    polar::PolarVolume dealiased;
};

// Of velocity (a radial velocity with its site): dealiased (with guess's
// first guesses), derived, masked by reflectivity (and spectrum width)
// where given. Notes (a sweep left as measured) go to note.
VelocityDerivatives velocity_derivatives(polar::PolarVolume velocity, const polar::PolarVolume* reflectivity,
                                         const polar::PolarVolume* spectrum_width,
                                         const std::function<void(const std::string&)>& note = {},
                                         const polar::DealiasOptions& guess = {});

// The same of moments already read (a real-time feed's): none without a
// radial velocity with its position.
std::optional<VelocityDerivatives> moments_derivatives(const std::optional<polar::PolarVolume>& velocity,
                                                       const polar::PolarVolume* reflectivity,
                                                       const std::optional<polar::PolarVolume>& spectrum_width,
                                                       const std::function<void(const std::string&)>& note = {},
                                                       const polar::DealiasOptions& guess = {});

// Of the polar file path, masked by its reflectivity (read, unless given)
// and spectrum width; none when the file holds no radial velocity or no
// position.
std::optional<VelocityDerivatives> read_velocity_derivatives(const std::string& path, std::optional<polar::Site> site,
                                                             const polar::PolarVolume* reflectivity = nullptr,
                                                             const std::function<void(const std::string&)>& note = {},
                                                             const polar::DealiasOptions& guess = {});

// The rotation columns of every cell of t (labels: the cell number of every
// voxel of axes, x fastest) from d. Cells no gate with a velocity reaches
// keep them empty (NaN), with the flag 0 where some sweep reached them.
void add_rotation(PropertyTable& t, const Volume& axes, std::span<const std::int32_t> labels,
                  const VelocityDerivatives& d);

// The largest azimuthal shear of every column of axes (x fastest), s^-1, in
// the low and the middle levels; NaN where no gate tells.
struct RotationPlan {
    std::vector<float> low, mid;
};
RotationPlan rotation_plan(const Volume& axes, const VelocityDerivatives& d);

// The rotation tracks of a series: the largest shear each column saw in
// its volumes' plans (of one grid; an empty plan is passed over).
RotationPlan rotation_tracks(std::span<const RotationPlan> plans);

// The rotation tracks as the variables azshear_low and azshear_mid (s-1,
// NaN where no gate measured) of a plan file.
std::array<PlanVariable, 2> rotation_variables(const RotationPlan& tracks);

// Writes tracks as such a file, whole or not at all.
void write_rotation_tracks(const std::string& path, const Volume& axes, const RotationPlan& tracks);

}  // namespace velmora
