// Azimuthal shear and radial divergence of a sweep's radial velocity, by the
// linear least-squares derivative (LLSD: Smith and Elmore 2004; Mahalik et
// al. 2019, Wea. Forecasting 34, 415-434).
// At each gate, the plane u = u0 + a s + b d is fitted by least squares to
// the velocities of the gates within a kernel about it, s the distance
// across the beam (range x azimuth difference) and d along it (range
// difference); a is the azimuthal shear, b the radial divergence, both s^-1.
// The kernel is 2.5 km across the beam and 750 m along it: about the radius
// of a mesocyclone's core across, three 250 m gates along; at 100 km it
// spans three 0.5-degree rays (at least three rays and three gates wherever
// the beam is).
//
// Cyclonic (counterclockwise) rotation has positive azimuthal shear: the
// radial velocity grows clockwise. A Rankine vortex of peak wind V at core
// radius Rc has azimuthal shear V / Rc inside its core, half its vorticity.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "polar/polar.h"

namespace velmora::polar {

struct ShearOptions {
    double across = 2500.0;   // kernel width across the beam, m
    double along = 750.0;     // kernel length along the beam, m
    // Gates where the reflectivity is below this (dBZ) have no shear: the
    // velocity of weak echo is noise, clear air or insects.
    double min_reflectivity = 20.0;
    // Gates whose spectrum width is above this (m/s) have none either: their
    // mean velocity is poorly measured.
    double max_spectrum_width = 8.0;
};

// The azimuthal shear and the radial divergence of a velocity sweep, on its
// gates (s^-1): kMissing where fewer than half the kernel's gates (and
// fewer than four) have a velocity, or the gate itself has none.
struct Derivatives {
    Sweep azimuthal_shear;
    Sweep divergence;
};
Derivatives llsd(const Sweep& velocity, const ShearOptions& o = {});

// The gates of sweep (of derivatives) left out where a quantity of the same
// sweep read otherwise (on its own gates) says the velocity is not to be
// trusted: reflectivity below o.min_reflectivity, or spectrum width above
// o.max_spectrum_width. Either may be absent. Returns the gates left out.
std::size_t mask_derivatives(Sweep& sweep, const Sweep* reflectivity, const Sweep* spectrum_width, const ShearOptions& o);

// The derived fields a polar volume may be gridded as: "azshear" (azimuthal
// shear) and "divergence" (radial divergence), s^-1.
bool is_derived_field(const std::string& field);

// The volume of a derived field of the polar file path: its radial velocity
// (ODIM VRADH or VRAD, NEXRAD VEL, CF/Radial the velocity field) read,
// dealiased, derived sweep by sweep, and masked by the file's reflectivity
// and spectrum width where it has them. Notes (sweeps left as measured, a
// mask not applied) go to note. std::runtime_error naming the file when it
// holds no radial velocity.
PolarVolume read_derived(const std::string& path, const std::string& field, std::optional<Site> site,
                         const ShearOptions& o, const std::function<void(const std::string&)>& note);

}  // namespace velmora::polar
