// Filters of the gates of a polar volume before it is gridded: what a radar
// records that is no weather. A speck, one gate with echo among gates of
// none, is noise, an aircraft or a bird, never a storm: a storm fills many
// gates in range and azimuth however far it is.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "polar/polar.h"

namespace velmora::polar {

struct GateFilters {
    // Isolated gates with echo become no echo (despeckle). On by default:
    // the smallest storm cell fills tens of gates, and a speck gridded at
    // long range spreads over a radius of influence of several km.
    bool despeckle = true;
    // Gates whose quality index (ODIM QIND, 0 to 1) is below this become
    // missing; off unless given (what an index means is the producer's).
    std::optional<double> min_quality;
    // Gates from which the clutter filter removed more power than this (dB,
    // NEXRAD CFP) become missing: what is left there was mostly clutter.
    // Off unless given.
    std::optional<double> max_clutter_power;
};

// Whether the rays of a sweep go round the whole circle, so that its last
// ray lies beside its first.
bool full_circle(const Sweep& s);

// Why the filters cannot be used (a threshold not finite, a quality index
// outside 0 to 1); empty when they can.
std::string gate_filters_problem(const GateFilters& f);

// Gates of sweep whose quality is below min_quality, or whose clutter power
// is above max_clutter_power, become kMissing; gates without either (NaN),
// and sweeps whose file carries neither, are kept. Returns how many changed.
std::size_t drop_poor_gates(Sweep& sweep, const GateFilters& f);

// Gates with echo (a finite value) none of whose eight neighbours has echo:
// the gates before and after on its ray and the three nearest on the rays
// either side (the first and last rays of a sweep of 360 degrees or more
// are neighbours) become kNoEcho. Missing gates are no echo to a neighbour.
// Returns how many gates it changed.
std::size_t despeckle(Sweep& sweep);

// The filters f asks for on every sweep of v, the quality filters first (a
// clutter gate left out may leave a speck); the gates they changed.
std::size_t filter_gates(PolarVolume& v, const GateFilters& f);

}  // namespace velmora::polar
