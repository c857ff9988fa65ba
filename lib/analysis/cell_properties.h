// The storm cells as radar meteorologists measure them: volume, projected
// area, base and top, echo tops, reflectivity, centroids, vertically
// integrated liquid, water mass and tilt, from the cell number of every
// voxel and the reflectivity, in one pass over the volume. docs/properties.md
// gives every formula with its source and units.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/hail.h"
#include "io/table.h"
#include "io/volume.h"
#include "options/options.h"

namespace velmora {

// The echo-top levels measured unless others are asked for, dBZ.
inline const std::vector<double> kDefaultEchoTopLevels = options::numbers("analyze", "echo-tops");

// One cell. Lengths in km, reflectivity in dBZ; NaN where a value is missing
// (an echo top the cell does not reach, the direction of a cell without tilt).
struct CellProperties {
    std::int32_t cell = 0;
    std::int32_t parent = 0;       // the cell of the analysis this one came from (itself when undivided)
    std::int64_t voxels = 0;
    double volume_km3 = 0, area_km2 = 0, base_km = 0, top_km = 0;
    std::vector<double> echo_top_km;   // one per level of the table
    double max_dbz = 0, max_dbz_height_km = 0, mean_dbz = 0;
    double x_km = 0, y_km = 0, z_km = 0;      // volume centroid
    double wx_km = 0, wy_km = 0, wz_km = 0;   // centroid weighted by linear Z
    double vil_kg_m2 = 0, mass_kt = 0;
    double tilt_deg = 0, tilt_dir_deg = 0;
    double lat = NAN, lon = NAN;              // of the weighted centre, degrees, where the grid has an origin
    // Hail (docs/hail.md), measured only when the 0 °C and -20 °C levels are
    // given: the SHI of the cell's strongest column, J/m/s, and what follows
    // from it; POH from the cell's 45 dBZ echo top (NaN without one).
    double shi = NAN, mesh_mm = NAN, mesh75_mm = NAN, mesh95_mm = NAN, posh_pct = NAN, poh_pct = NAN;
    double height_max_dbz_above_h0_km = NAN;
    // Rotation (analysis/rotation.h), measured only from a polar volume
    // with a radial velocity: the strongest azimuthal shear (s^-1) in the
    // footprint 0-2 km and 3-7 km above the radar, and its height (km); the
    // depth over which it stays at the rotation threshold; the flag (1 where
    // it reaches it, 0 where not); the strongest divergence of the storm
    // top's layer (NaN where the beam reaches no gate of it).
    double azshear_low_s1 = NAN, azshear_low_km = NAN, azshear_mid_s1 = NAN, azshear_mid_km = NAN;
    double rotation_depth_km = NAN, rotation = NAN, top_divergence_s1 = NAN;
};

struct PropertyTable {
    std::vector<double> echo_levels;     // dBZ, the order of echo_top_km
    std::vector<CellProperties> cells;   // in the order of their numbers
    bool placed = false;                 // lat and lon are known (the grid has an origin)
    bool hail = false;                   // the hail columns were measured
    // The values are reflectivities (dBZ): otherwise (a velocity, m/s) the
    // properties that only a reflectivity gives (echo tops, mean
    // reflectivity, VIL, water mass, hail) are left missing.
    bool reflectivity = true;
    std::optional<double> time;          // of the volume, s since 1970-01-01 UTC, when known
};

// Units a reflectivity is given in: dBZ however written (none: dBZ).
bool reflectivity_units(const std::string& units);

// The properties a variable that is no reflectivity leaves empty, as a
// sentence: "VIL, water mass, ...".
inline constexpr const char* kReflectivityOnly = "echo tops, mean reflectivity, VIL, water mass and hail";

// Gives f the position of every voxel whose number is not 0, in storage
// order: the one pass over the whole grid that measuring and dividing cells
// need. Blocks without a number are passed over at the speed of memory:
// their test is one OR over the block, which the compiler vectorises.
template <class F>
void for_each_labelled(std::span<const std::int32_t> labels, F&& f) {
    constexpr std::size_t kBlock = 64;
    const std::size_t n = labels.size();
    std::size_t p = 0;
    for (; p + kBlock <= n; p += kBlock) {
        const std::int32_t* block = labels.data() + p;
        std::int32_t any = 0;
        for (int q = 0; q < static_cast<int>(kBlock); ++q) any |= block[q];
        if (any == 0) continue;
        for (std::size_t q = p; q < p + kBlock; ++q)
            if (labels[q] != 0) f(static_cast<std::int64_t>(q));
    }
    for (; p < n; ++p)
        if (labels[p] != 0) f(static_cast<std::int64_t>(p));
}

// The same positions as a list.
std::vector<std::int64_t> labelled_voxels(std::span<const std::int32_t> labels);

// The extent of each voxel along an axis, km: half the spacing to each
// neighbour; at either end of the axis the spacing to its one neighbour (as
// if the grid went on evenly); 1 for an axis of one point.
std::vector<double> voxel_extents(std::span<const float> axis);

// Why echo-top levels cannot be used (a level not finite, or given twice);
// empty when they can.
std::string echo_levels_problem(std::span<const double> levels);

// Measures every cell of labels (the cell of each voxel, x fastest, 0 or less
// outside cells) on values (dBZ; non-finite values and, when axes.has_null,
// axes.null_value are missing and never counted, even when labelled). axes
// gives the coordinates (km, increasing; z may be unevenly spaced).
// parent[n], when given, is the parent of cell n. Where axes has an origin,
// the cells' weighted centres are placed on the map (lat, lon). With hail
// levels (heights above the radar, as z), the hail of each cell. Throws
// std::invalid_argument when the sizes do not fit the axes, a level is not
// finite or given twice, or a cell number exceeds the number of voxels.
PropertyTable measure_cells(const Volume& axes, std::span<const std::int32_t> labels, std::span<const float> values,
                            std::span<const double> echo_levels = kDefaultEchoTopLevels,
                            std::span<const std::int32_t> parent = {},
                            const std::optional<HailLevels>& hail = std::nullopt);

// The table as named columns, in the order of cell_properties.csv; integer
// columns (cell, parent, voxels) are marked so.
struct PropertyColumn {
    std::string name;
    bool integer = false;
    std::vector<double> values;
};
std::vector<PropertyColumn> property_columns(const PropertyTable& t);

// The name of the echo-top column of a level: echo_top_18_km, echo_top_17.5_km.
std::string echo_top_column(double level);

// The table as cell_properties.csv holds it: one row per cell, empty fields
// for missing values, and last the volume's time (ISO 8601 UTC, empty when
// not known); without cells its columns alone.
Table properties_table(const PropertyTable& t);
// Writes it whole; WriteFailed naming the file.
void write_properties_csv(const std::string& path, const PropertyTable& t);

}  // namespace velmora
