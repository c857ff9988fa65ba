// Hail from reflectivity: the severe hail index (SHI), the maximum expected
// size of hail (MESH), the probability of severe hail (POSH) of Witt et al.
// (1998), the Murillo and Homeyer (2019) percentile fits of MESH, and the
// probability of hail (POH) of Waldvogel et al. (1979). docs/hail.md gives
// the definitions, their sources and what the numbers mean.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/plan_netcdf.h"
#include "io/volume.h"

namespace velmora {

// The heights of the 0 °C and -20 °C levels, km.
struct HailLevels {
    double h0_km = 0.0;
    double hm20_km = 0.0;
};

// Why two levels cannot be used (not finite, or the -20 °C level not above
// the 0 °C level); empty when they can.
std::string hail_levels_problem(const HailLevels& l);

// The levels of a sounding: a CSV of height (m above sea level) and
// temperature (°C), one pair a line, a header line allowed; both levels
// interpolated linearly where the temperature first falls through them going
// up. Throws std::runtime_error naming the file when it cannot be read or
// never reaches 0 °C or -20 °C.
HailLevels read_sounding(const std::string& path);

// The levels given as options: both heights (km above sea level), or a
// sounding file, or none of them (no hail then). Throws std::invalid_argument
// when only one height is given, both ways are, or the levels cannot be
// used; std::runtime_error from read_sounding.
std::optional<HailLevels> hail_levels_of(std::optional<double> freezing_km, std::optional<double> minus20_km,
                                         const std::string& sounding);

// Why a table has no hail columns: what to give for them.
inline constexpr const char* kNoHailLevels =
    "no hail columns: give --freezing-level and --minus20-level (km above sea level) or --sounding FILE";

// Levels above sea level as heights above the radar (the grid's z = 0),
// given its altitude, km; none: taken as 0 (note then says so).
HailLevels above_radar(const HailLevels& sea_level, std::optional<double> altitude_km, std::string* note = nullptr);

// W(Z): 0 at or below 40 dBZ, rising linearly to 1 at 50 dBZ.
double hail_reflectivity_weight(double dbz);
// The hail kinetic energy flux, E = 5e-6 10^(0.084 Z) W(Z), J m^-2 s^-1.
double hail_energy_flux(double dbz);
// W_T(H): 0 below H0, rising linearly to 1 at H-20 (heights in km).
double hail_temperature_weight(double h_km, const HailLevels& l);
// The integral of W_T over heights a..b (km), in m.
double hail_temperature_integral(double a_km, double b_km, const HailLevels& l);

// The weight of each level of a column in SHI: 0.1 times the integral of W_T
// over the level's layer (from halfway to the level below to halfway to the
// one above; the ends as wide as their one neighbour's half spacing), m.
std::vector<double> shi_layer_weights(std::span<const float> z_km, const HailLevels& l);

// The SHI of a column of reflectivity (dBZ, one per level of z_km; NaN
// missing), J m^-1 s^-1: 0.1 times the integral of W_T E over the height,
// each level's value taken over its layer.
double column_shi(std::span<const float> dbz, std::span<const float> z_km, const HailLevels& l);

double mesh_witt_mm(double shi);     // 2.54 SHI^0.5
double mesh75_mm(double shi);        // 15.096 SHI^0.206 (Murillo and Homeyer 2019)
double mesh95_mm(double shi);        // 22.157 SHI^0.212
// The warning threshold WT = 57.5 H0 - 121 (H0 in km above the radar), never below 20.
double warning_threshold(double h0_km);
// POSH = 29 ln(SHI / WT) + 50, clipped to 0..100 %; 0 where SHI is 0.
double posh_pct(double shi, double h0_km);
// POH from the height of the 45 dBZ echo top above H0, km, by Waldvogel's
// table (0 % up to 1.65 km, 100 % from 5.8 km, linear between its rows);
// NaN for NaN (no 45 dBZ echo).
double poh_pct(double top45_above_h0_km);

// The MESH (Witt) of every column of a volume (values x fastest, then y,
// then z; missing values: non-finite or axes' null), mm, x fastest then y.
std::vector<float> mesh_field(const Volume& axes, std::span<const float> values, const HailLevels& l);

// The hail swath of a series: the largest MESH each column saw, from the
// MESH fields of its volumes (all of one grid; an empty one is passed over).
std::vector<float> hail_swath(std::span<const std::vector<float>> meshes);

// The hail swath (hail_swath's) as the variable MESH_swath of a plan file.
PlanVariable swath_variable(std::span<const float> swath);

}  // namespace velmora
