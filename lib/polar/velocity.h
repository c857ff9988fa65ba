// Storm-relative velocity: the radial velocity less the radial component of
// a storm's motion, so that what turns or converges within the storm shows
// however fast it moves (a storm moving with the wind is still air to it).
#pragma once

#include "polar/dealias.h"
#include "polar/polar.h"

namespace velmora::polar {

// Every gate of v's radial velocity less motion's component along its beam
// (radial_wind). std::invalid_argument when v's field is not a radial
// velocity.
void storm_relative(PolarVolume& v, Wind motion);

}  // namespace velmora::polar
