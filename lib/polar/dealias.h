// Radial velocity unfolded past the Nyquist velocity. A Doppler radar
// measures a phase: a gate moving at v reads v - 2 n Vn for the n that puts
// it within +-Vn, Vn the sweep's Nyquist velocity. Unfolding finds n.
//
// The method is region-based unfolding, as Py-ART's dealias_region_based
// (Helmus and Collis 2016) does it: each sweep's gates are split into
// velocity intervals (three across the Nyquist range), the gates of one
// interval that touch one another form a region, and regions are joined
// along their longest common boundary first, each shifted by the whole
// number of 2 Vn that best matches the mean difference across that
// boundary (in the spirit of Bergen and Albers 1988, regions of continuous
// velocity unfolded against their neighbours). What stays apart (patches no
// other region touches) takes its number of 2 Vn from a first guess: the
// sweep below, already unfolded (continuity between neighbouring sweeps, as
// in James and Houze 2001), else the previous volume's sweep at the same
// elevation, else a wind (the tracked storm motion); with none of them, the
// patch keeps its mean within +-Vn. Above the lowest sweep, the wind of
// each 500 m layer fitted to the sweeps already unfolded is the first guess
// before the sweep below. Last, a gate still off the mean of the gates about
// it by more than Vn is moved by the 2 Vn nearest it (UNRAVEL's box check,
// Louf et al. 2020).
//
// Dual-PRF sweeps (two pulse repetition frequencies on alternate rays,
// extended Nyquist velocity Vn = va_h va_l / (va_h - va_l)) read some gates
// off by twice one PRF's own Nyquist velocity; those outliers are found
// against the circular mean of their eight neighbours and put back first
// (Joe and May 2003; Holleman and Beekhuis 2003).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "polar/polar.h"

namespace velmora::polar {

// A horizontal wind, m/s: u toward the east, v toward the north.
struct Wind {
    double u = 0.0;
    double v = 0.0;
};

// The oldest a previous volume may be to serve as a first guess, s: two or
// three volumes of the usual five- to ten-minute schedules, winds no longer
// the same beyond.
inline constexpr double kPreviousVolumeMaxAge = 1800.0;

struct DealiasOptions {
    // The previous volume of the same radar, already dealiased: the first
    // guess of a sweep's patches its sweep at the same elevation overlaps.
    // Passed over (previous_taken says) when it stands elsewhere (more than
    // 100 m off), or when both have times and it is not older, or older by
    // more than kPreviousVolumeMaxAge.
    const PolarVolume* previous = nullptr;
    // The storm motion (or a sounding's mean wind): the first guess where
    // neither the sweep below nor the previous volume says.
    std::optional<Wind> wind;
    // Dual-PRF outliers put back where the file says the sweep is dual-PRF.
    bool dual_prf = true;
};

struct DealiasReport {
    std::size_t unfolded = 0;         // gates moved by a multiple of 2 Vn
    std::size_t dual_prf_fixed = 0;   // dual-PRF outliers put back
    bool previous_taken = false;      // the previous volume served as first guess
    std::vector<std::string> notes;   // one per sweep left as measured, and why
};

// A sweep's values found at another sweep's gates (of the same radar): the
// nearest ray within one and a half ray spacings, the gate at the same
// ground distance.
class SweepLookup {
public:
    SweepLookup(const Sweep& from, const Sweep& at);
    // from's value at the gate of at; NaN where from has none there.
    float operator()(std::size_t ray, int gate) const;

private:
    static long nearest(const std::vector<std::pair<float, std::size_t>>& order, float azimuth, double within);
    const Sweep* from_;
    std::vector<long> ray_;
    std::vector<int> gate_;
};

// Whether the volume's field is a radial velocity (ODIM VRAD*, NEXRAD VEL,
// CF/Radial radial_velocity): what dealias_volume unfolds.
bool is_radial_velocity(const PolarVolume& v);

// Whether previous may be v's first guess (DealiasOptions::previous).
bool previous_fits(const PolarVolume& previous, const PolarVolume& v);

// Every sweep of v unfolded in place, the lowest first. A sweep without a
// Nyquist velocity is left as measured, with a note "<file>: <sweep>: no
// Nyquist velocity in the file: not dealiased" in the report. Throws
// std::invalid_argument when v's field is not a radial velocity.
DealiasReport dealias_volume(PolarVolume& v, const DealiasOptions& o = {});

// One sweep unfolded in place against the first guess of its patches:
// below (the sweep below, unfolded), previous (the previous volume's sweep
// at this elevation), wind; any may be absent. Returns the gates moved.
// The sweep must have a Nyquist velocity.
std::size_t dealias_sweep(Sweep& s, const Sweep* below, const Sweep* previous, std::optional<Wind> wind);

// The dual-PRF outliers of s put back (nothing when s has one PRF);
// returns how many.
std::size_t correct_dual_prf(Sweep& s);

// The radial component of wind at azimuth and elevation (degrees): toward
// the radar negative, away positive.
double radial_wind(Wind wind, double azimuth, double elevation);

}  // namespace velmora::polar
