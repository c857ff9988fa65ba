#include "analysis/cell_properties.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <set>
#include <stdexcept>

#include "io/cf_time.h"

namespace velmora {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kLn10 = 2.302585092994045684;
// Liquid water content from reflectivity, M = 3.44e-3 Z^(4/7) g/m^3 (Z in
// mm^6/m^3), and its vertical integral, VIL = 3.44e-6 sum Z^(4/7) dz kg/m^2
// (dz in m): Greene and Clark (1972).
constexpr double kWaterPerZ = 3.44e-3;   // g/m^3
constexpr double kVilPerZ = 3.44e-6;     // kg/m^3
constexpr double kRadToDeg = 57.29577951308232;
// The echo top whose height above the freezing level gives POH, dBZ.
constexpr double kPohLevel = 45.0;

// Where the echo of one level starts in one column of a cell: the highest
// of the cell's voxels there that reaches the level.
struct EchoStart {
    std::int32_t k = -1;   // its level index; -1: none reaches the level
    float value = 0;       // dBZ
};

// One column of one cell: a link in the column's list.
struct ColumnEntry {
    std::int32_t cell = 0;
    std::int32_t next = -1;
    std::int64_t column = 0;   // i + nx j
    double z47_m = 0;          // sum of Z^(4/7) dz over the cell's voxels, dz in m
    double shi = 0;            // the SHI of the cell's voxels in the column, with hail levels
};

// The sums of one cell over its voxels.
struct Sums {
    std::int32_t cell = 0;
    std::int64_t voxels = 0;
    double volume = 0, area = 0;
    double vx = 0, vy = 0, vz = 0;        // volume-weighted coordinates
    double zv = 0, zx = 0, zy = 0, zz = 0;  // Z-volume-weighted coordinates
    double z47v = 0;                      // Z^(4/7) times volume
    float max = -std::numeric_limits<float>::infinity();
    std::int32_t max_k = 0, base_k = -1, top_k = -1;
    double base_a = 0, base_x = 0, base_y = 0;   // area-weighted, lowest level
    double top_a = 0, top_x = 0, top_y = 0;      // highest level
    double vil = 0;
    double shi = 0;   // of the strongest column
};

}  // namespace

std::vector<std::int64_t> labelled_voxels(std::span<const std::int32_t> labels) {
    std::vector<std::int64_t> out;
    for_each_labelled(labels, [&out](std::int64_t p) { out.push_back(p); });
    return out;
}

std::vector<double> voxel_extents(std::span<const float> axis) {
    const std::size_t n = axis.size();
    std::vector<double> e(n, 1.0);
    if (n < 2) return e;
    e[0] = static_cast<double>(axis[1]) - axis[0];
    e[n - 1] = static_cast<double>(axis[n - 1]) - axis[n - 2];
    for (std::size_t i = 1; i + 1 < n; ++i) e[i] = (static_cast<double>(axis[i + 1]) - axis[i - 1]) / 2.0;
    return e;
}

namespace {

std::string level_text(double level) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", level);
    return text;
}

}  // namespace

std::string echo_top_column(double level) { return "echo_top_" + level_text(level) + "_km"; }

std::string echo_levels_problem(std::span<const double> levels) {
    std::set<std::string> names;
    for (double l : levels) {
        if (!std::isfinite(l)) return "an echo-top level must be a finite reflectivity in dBZ";
        // Two levels that print alike would name one column.
        if (!names.insert(echo_top_column(l)).second) return "the echo-top level " + level_text(l) + " dBZ is given twice";
    }
    return "";
}

namespace {

// The grid and the echo-top levels, as the passes over the cells read them.
struct Grid {
    const Volume& axes;
    std::int64_t nx = 0, nxy = 0, nz = 0, n = 0;
    std::vector<double> ex, ey, ez;   // the voxels' extents along each axis, km
    std::vector<double> level;        // dBZ; with hail, 45 dBZ last (for POH)
    std::size_t nlev = 0;
    std::size_t published = 0;        // the levels of the table, the first of level
    std::vector<double> shi_weight;   // per level, with hail levels; empty without

    bool missing(float v) const { return !std::isfinite(v) || (axes.has_null && v == axes.null_value); }
};

// One voxel of a cell: where it is, its size and its reflectivity.
struct Voxel {
    std::int64_t column = 0;      // i + nx j
    std::int32_t k = 0;           // its level
    float value = 0;              // dBZ
    double x = 0, y = 0, z = 0;   // km
    double a = 0, dz = 0, dv = 0;   // its area (km^2), height (km) and volume (km^3)
    double z_lin = 0, z47 = 0;    // Z and Z^(4/7), Z in mm^6/m^3
};

// What the pass over the cells' voxels gathers: the sums of every cell, and
// every column of every cell with where its echo of each level starts.
struct Gathered {
    std::vector<std::int32_t> index;         // cell number -> sums, -1 for none
    std::vector<Sums> sums;
    std::vector<std::int32_t> column_head;   // column -> its first entry
    std::vector<ColumnEntry> entries;
    std::vector<EchoStart> starts;           // nlev per entry
};

Voxel voxel_at(const Grid& g, std::int64_t p, float v) {
    const std::int64_t c = p % g.nxy;
    const auto k = static_cast<std::size_t>(p / g.nxy);
    const auto i = static_cast<std::size_t>(c % g.nx), j = static_cast<std::size_t>(c / g.nx);
    Voxel w;
    w.column = c;
    w.k = static_cast<std::int32_t>(k);
    w.value = v;
    w.x = g.axes.x[i];
    w.y = g.axes.y[j];
    w.z = g.axes.z[k];
    w.a = g.ex[i] * g.ey[j];
    w.dz = g.ez[k];
    w.dv = w.a * w.dz;
    w.z_lin = std::exp(static_cast<double>(v) * (kLn10 / 10.0));
    w.z47 = std::exp(static_cast<double>(v) * (kLn10 * 4.0 / 70.0));
    return w;
}

// The sums of cell l, begun when its first voxel comes.
Sums& sums_of(Gathered& t, std::int32_t l) {
    if (static_cast<std::size_t>(l) >= t.index.size()) t.index.resize(static_cast<std::size_t>(l) + 1, -1);
    std::int32_t& at = t.index[static_cast<std::size_t>(l)];
    if (at < 0) {
        at = static_cast<std::int32_t>(t.sums.size());
        t.sums.emplace_back().cell = l;
    }
    return t.sums[static_cast<std::size_t>(at)];
}

void add_to_sums(Sums& s, const Voxel& w) {
    ++s.voxels;
    s.volume += w.dv;
    s.vx += w.dv * w.x;
    s.vy += w.dv * w.y;
    s.vz += w.dv * w.z;
    s.zv += w.z_lin * w.dv;
    s.zx += w.z_lin * w.dv * w.x;
    s.zy += w.z_lin * w.dv * w.y;
    s.zz += w.z_lin * w.dv * w.z;
    s.z47v += w.z47 * w.dv;
    if (w.value > s.max) {
        s.max = w.value;
        s.max_k = w.k;
    }
    // The voxels come level by level, upwards.
    if (s.base_k < 0) s.base_k = w.k;
    if (w.k == s.base_k) {
        s.base_a += w.a;
        s.base_x += w.a * w.x;
        s.base_y += w.a * w.y;
    }
    if (w.k != s.top_k) {
        s.top_k = w.k;
        s.top_a = s.top_x = s.top_y = 0;
    }
    s.top_a += w.a;
    s.top_x += w.a * w.x;
    s.top_y += w.a * w.y;
}

// The voxel into the entry of its column and cell l, made when the cell's
// first voxel in the column comes (its area then counts to the cell's).
void add_to_column(Gathered& t, const Grid& g, Sums& s, std::int32_t l, const Voxel& w) {
    std::int32_t& head = t.column_head[static_cast<std::size_t>(w.column)];
    std::int32_t e = head;
    while (e >= 0 && t.entries[static_cast<std::size_t>(e)].cell != l) e = t.entries[static_cast<std::size_t>(e)].next;
    if (e < 0) {
        e = static_cast<std::int32_t>(t.entries.size());
        t.entries.push_back({l, head, w.column, 0.0});
        t.starts.resize(t.starts.size() + g.nlev);
        head = e;
        s.area += w.a;
    }
    t.entries[static_cast<std::size_t>(e)].z47_m += w.z47 * w.dz * 1000.0;
    if (!g.shi_weight.empty() && w.value > 40.0f)
        t.entries[static_cast<std::size_t>(e)].shi += g.shi_weight[static_cast<std::size_t>(w.k)] * hail_energy_flux(w.value);
    EchoStart* start = t.starts.data() + static_cast<std::size_t>(e) * g.nlev;
    for (std::size_t L = 0; L < g.nlev; ++L)
        if (static_cast<double>(w.value) >= g.level[L]) start[L] = {w.k, w.value};
}

// The one pass over the grid: only the cells' voxels are visited.
Gathered gather(const Grid& g, std::span<const std::int32_t> labels, std::span<const float> values) {
    Gathered t;
    t.column_head.assign(static_cast<std::size_t>(g.nxy), -1);
    for_each_labelled(labels, [&](std::int64_t p) {
        const std::int32_t l = labels[static_cast<std::size_t>(p)];
        const float v = values[static_cast<std::size_t>(p)];
        if (l <= 0 || g.missing(v)) return;
        if (l > g.n)
            throw std::invalid_argument("cell number " + std::to_string(l) + " exceeds the " + std::to_string(g.n) +
                                        " voxels of the grid");
        Sums& s = sums_of(t, l);
        const Voxel w = voxel_at(g, p, v);
        add_to_sums(s, w);
        add_to_column(t, g, s, l, w);
    });
    return t;
}

// The top of the echo of level that starts at r in column: it rises through
// the voxels above as long as they reach the level, whatever cell they are
// in, and ends below a weaker voxel (interpolated towards it), a missing one
// or the top of the grid.
double echo_top(const Grid& g, std::span<const float> values, std::int64_t column, EchoStart r, double level) {
    float above = 0;
    bool weaker = false;
    for (std::int64_t q = r.k + 1; q < g.nz; ++q) {
        above = values[static_cast<std::size_t>(column + q * g.nxy)];
        if (g.missing(above)) break;
        weaker = static_cast<double>(above) < level;
        if (weaker) break;
        r = {static_cast<std::int32_t>(q), above};
    }
    const auto k = static_cast<std::size_t>(r.k);
    double top = g.axes.z[k];
    if (weaker)
        top += (r.value - level) / (static_cast<double>(r.value) - above) *
               (static_cast<double>(g.axes.z[k + 1]) - g.axes.z[k]);
    return top;
}

// Each column's VIL and echo tops; the cell takes the largest: its VIL into
// its sums, its echo tops (nlev per cell, in the order of the sums) returned.
// Only the columns of the cells are visited, from the highest voxel of a
// cell reaching a level up.
std::vector<double> column_extremes(const Grid& g, std::span<const float> values, Gathered& t) {
    std::vector<double> tops(t.sums.size() * g.nlev, kNaN);
    for (std::size_t e = 0; e < t.entries.size(); ++e) {
        const ColumnEntry& entry = t.entries[e];
        const auto at = static_cast<std::size_t>(t.index[static_cast<std::size_t>(entry.cell)]);
        t.sums[at].vil = std::max(t.sums[at].vil, kVilPerZ * entry.z47_m);
        t.sums[at].shi = std::max(t.sums[at].shi, entry.shi);
        for (std::size_t L = 0; L < g.nlev; ++L) {
            const EchoStart r = t.starts[e * g.nlev + L];
            if (r.k < 0) continue;
            const double top = echo_top(g, values, entry.column, r, g.level[L]);
            double& highest = tops[at * g.nlev + L];
            if (!(highest >= top)) highest = top;
        }
    }
    return tops;
}

// The properties of cell l from its sums and echo tops.
CellProperties properties_of(const Sums& s, std::int32_t l, std::span<const std::int32_t> parent, const Volume& axes,
                             std::span<const double> tops) {
    CellProperties p;
    p.cell = l;
    p.parent = static_cast<std::size_t>(l) < parent.size() ? parent[static_cast<std::size_t>(l)] : l;
    p.voxels = s.voxels;
    p.volume_km3 = s.volume;
    p.area_km2 = s.area;
    p.base_km = axes.z[static_cast<std::size_t>(s.base_k)];
    p.top_km = axes.z[static_cast<std::size_t>(s.top_k)];
    p.echo_top_km.assign(tops.begin(), tops.end());
    p.max_dbz = s.max;
    p.max_dbz_height_km = axes.z[static_cast<std::size_t>(s.max_k)];
    p.mean_dbz = 10.0 * std::log10(s.zv / s.volume);
    p.x_km = s.vx / s.volume;
    p.y_km = s.vy / s.volume;
    p.z_km = s.vz / s.volume;
    p.wx_km = s.zx / s.zv;
    p.wy_km = s.zy / s.zv;
    p.wz_km = s.zz / s.zv;
    p.vil_kg_m2 = s.vil;
    // g/m^3 times km^3 (1e9 m^3) is 1e9 g, a kilotonne.
    p.mass_kt = kWaterPerZ * s.z47v;
    p.tilt_deg = 0;
    p.tilt_dir_deg = kNaN;
    if (s.top_k != s.base_k) {
        const double dx = s.top_x / s.top_a - s.base_x / s.base_a, dy = s.top_y / s.top_a - s.base_y / s.base_a;
        const double rise = static_cast<double>(p.top_km) - p.base_km, run = std::hypot(dx, dy);
        p.tilt_deg = std::atan2(run, rise) * kRadToDeg;
        if (run > 0) p.tilt_dir_deg = std::fmod(std::atan2(dx, dy) * kRadToDeg + 360.0, 360.0);
    }
    return p;
}

// The hail of a cell. Its SHI is that of its strongest column, as its VIL is:
// hail falls from the columns of the strongest updraft, and a sum or mean
// over a cell's columns would grow with its area, or shrink with it, rather
// than say how large the largest hail is.
void add_hail(CellProperties& p, double shi, double top45_km, const HailLevels& l) {
    p.shi = shi;
    p.mesh_mm = mesh_witt_mm(shi);
    p.mesh75_mm = mesh75_mm(shi);
    p.mesh95_mm = mesh95_mm(shi);
    p.posh_pct = posh_pct(shi, l.h0_km);
    p.poh_pct = std::isnan(top45_km) ? 0.0 : poh_pct(top45_km - l.h0_km);   // no 45 dBZ echo: no hail
    p.height_max_dbz_above_h0_km = p.max_dbz_height_km - l.h0_km;
}

// Where the grid has an origin, the cells on the map: their weighted centres.
void place_on_map(const Volume& axes, PropertyTable& table) {
    if (!axes.origin || table.cells.empty()) return;
    std::vector<double> x, y, lat(table.cells.size()), lon(table.cells.size());
    for (const CellProperties& c : table.cells) {
        x.push_back(c.wx_km);
        y.push_back(c.wy_km);
    }
    geographic(*axes.origin, x, y, lat, lon);
    for (std::size_t i = 0; i < table.cells.size(); ++i) {
        table.cells[i].lat = lat[i];
        table.cells[i].lon = lon[i];
    }
    table.placed = true;
}

}  // namespace

bool reflectivity_units(const std::string& units) {
    std::string u;
    for (char c : units)
        if (c != ' ' && c != '(' && c != ')') u += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return u.empty() || u == "dbz" || u == "dbze";
}

namespace {

// Summed as a reflectivity, these would be numbers of no meaning for any
// other variable.
void leave_reflectivity_only_out(PropertyTable& t) {
    for (CellProperties& p : t.cells) {
        std::fill(p.echo_top_km.begin(), p.echo_top_km.end(), NAN);
        p.mean_dbz = p.vil_kg_m2 = p.mass_kt = NAN;
        p.shi = p.mesh_mm = p.mesh75_mm = p.mesh95_mm = p.posh_pct = p.poh_pct = NAN;
        p.height_max_dbz_above_h0_km = NAN;
    }
}

}  // namespace

PropertyTable measure_cells(const Volume& axes, std::span<const std::int32_t> labels, std::span<const float> values,
                            std::span<const double> echo_levels, std::span<const std::int32_t> parent,
                            const std::optional<HailLevels>& hail) {
    const auto nx = static_cast<std::int64_t>(axes.x.size()), ny = static_cast<std::int64_t>(axes.y.size()),
               nz = static_cast<std::int64_t>(axes.z.size());
    const std::int64_t nxy = nx * ny, n = nxy * nz;
    if (static_cast<std::int64_t>(labels.size()) != n || static_cast<std::int64_t>(values.size()) != n)
        throw std::invalid_argument("the cell numbers (" + std::to_string(labels.size()) + ") and values (" +
                                    std::to_string(values.size()) + ") do not fit the " + std::to_string(nx) + " x " +
                                    std::to_string(ny) + " x " + std::to_string(nz) + " grid");
    if (std::string problem = echo_levels_problem(echo_levels); !problem.empty()) throw std::invalid_argument(problem);
    PropertyTable table;
    table.echo_levels.assign(echo_levels.begin(), echo_levels.end());
    if (n == 0) return table;
    std::vector<double> levels(echo_levels.begin(), echo_levels.end());
    if (hail) levels.push_back(kPohLevel);
    const Grid g{axes, nx, nxy, nz, n, voxel_extents(axes.x), voxel_extents(axes.y), voxel_extents(axes.z),
                 levels, levels.size(), echo_levels.size(), hail ? shi_layer_weights(axes.z, *hail) : std::vector<double>{}};
    table.hail = hail.has_value();

    Gathered t = gather(g, labels, values);
    const std::vector<double> tops = column_extremes(g, values, t);
    for (std::int32_t l = 1; l < static_cast<std::int32_t>(t.index.size()); ++l) {
        const std::int32_t at = t.index[static_cast<std::size_t>(l)];
        if (at < 0) continue;
        const auto first = static_cast<std::size_t>(at) * g.nlev;
        table.cells.push_back(properties_of(t.sums[static_cast<std::size_t>(at)], l, parent, axes,
                                            std::span<const double>(tops).subspan(first, g.published)));
        if (hail) add_hail(table.cells.back(), t.sums[static_cast<std::size_t>(at)].shi, tops[first + g.published], *hail);
    }
    place_on_map(axes, table);
    table.time = axes.time;
    table.reflectivity = reflectivity_units(axes.units);
    if (!table.reflectivity) leave_reflectivity_only_out(table);
    return table;
}

namespace {

// Only a table measured with hail levels has the hail columns: without them,
// the table is as it was before hail was measured.
template <class Add>
void add_hail_columns(const PropertyTable& t, const Add& add) {
    if (!t.hail) return;
    add("shi", false, [](const CellProperties& p) { return p.shi; });
    add("mesh_mm", false, [](const CellProperties& p) { return p.mesh_mm; });
    add("mesh75_mm", false, [](const CellProperties& p) { return p.mesh75_mm; });
    add("mesh95_mm", false, [](const CellProperties& p) { return p.mesh95_mm; });
    add("posh_pct", false, [](const CellProperties& p) { return p.posh_pct; });
    add("poh_pct", false, [](const CellProperties& p) { return p.poh_pct; });
    add("height_max_dbz_above_h0_km", false, [](const CellProperties& p) { return p.height_max_dbz_above_h0_km; });
}

// Every table has the rotation columns, empty where the volume had no
// radial velocity: a table reads alike whatever the radar measured.
template <class Add>
void add_rotation_columns(const Add& add) {
    add("azshear_low_s1", false, [](const CellProperties& p) { return p.azshear_low_s1; });
    add("azshear_low_km", false, [](const CellProperties& p) { return p.azshear_low_km; });
    add("azshear_mid_s1", false, [](const CellProperties& p) { return p.azshear_mid_s1; });
    add("azshear_mid_km", false, [](const CellProperties& p) { return p.azshear_mid_km; });
    add("rotation_depth_km", false, [](const CellProperties& p) { return p.rotation_depth_km; });
    add("rotation", false, [](const CellProperties& p) { return p.rotation; });
    add("top_divergence_s1", false, [](const CellProperties& p) { return p.top_divergence_s1; });
}

}  // namespace

std::vector<PropertyColumn> property_columns(const PropertyTable& t) {
    std::vector<PropertyColumn> cols;
    const auto add = [&](const char* name, bool integer, auto get) {
        PropertyColumn& c = cols.emplace_back();
        c.name = name;
        c.integer = integer;
        c.values.reserve(t.cells.size());
        for (const CellProperties& p : t.cells) c.values.push_back(static_cast<double>(get(p)));
    };
    add("cell", true, [](const CellProperties& p) { return p.cell; });
    add("parent", true, [](const CellProperties& p) { return p.parent; });
    add("voxels", true, [](const CellProperties& p) { return p.voxels; });
    add("volume_km3", false, [](const CellProperties& p) { return p.volume_km3; });
    add("area_km2", false, [](const CellProperties& p) { return p.area_km2; });
    add("base_km", false, [](const CellProperties& p) { return p.base_km; });
    add("top_km", false, [](const CellProperties& p) { return p.top_km; });
    for (std::size_t L = 0; L < t.echo_levels.size(); ++L) {
        PropertyColumn& c = cols.emplace_back();
        c.name = echo_top_column(t.echo_levels[L]);
        for (const CellProperties& p : t.cells) c.values.push_back(p.echo_top_km[L]);
    }
    add("max_dbz", false, [](const CellProperties& p) { return p.max_dbz; });
    add("max_dbz_height_km", false, [](const CellProperties& p) { return p.max_dbz_height_km; });
    add("mean_dbz", false, [](const CellProperties& p) { return p.mean_dbz; });
    add("x_km", false, [](const CellProperties& p) { return p.x_km; });
    add("y_km", false, [](const CellProperties& p) { return p.y_km; });
    add("z_km", false, [](const CellProperties& p) { return p.z_km; });
    add("wx_km", false, [](const CellProperties& p) { return p.wx_km; });
    add("wy_km", false, [](const CellProperties& p) { return p.wy_km; });
    add("wz_km", false, [](const CellProperties& p) { return p.wz_km; });
    add("vil_kg_m2", false, [](const CellProperties& p) { return p.vil_kg_m2; });
    add("mass_kt", false, [](const CellProperties& p) { return p.mass_kt; });
    add("tilt_deg", false, [](const CellProperties& p) { return p.tilt_deg; });
    add("tilt_dir_deg", false, [](const CellProperties& p) { return p.tilt_dir_deg; });
    add_rotation_columns(add);
    add_hail_columns(t, add);
    if (t.placed) {
        add("lat", false, [](const CellProperties& p) { return p.lat; });
        add("lon", false, [](const CellProperties& p) { return p.lon; });
    }
    return cols;
}

Table properties_table(const PropertyTable& t) {
    const std::vector<PropertyColumn> cols = property_columns(t);
    Table out;
    for (const PropertyColumn& c : cols) out.columns.push_back(c.name);
    out.columns.emplace_back("time");
    const std::string time = t.time && std::isfinite(*t.time) ? iso_utc(*t.time) : "";
    char b[32];
    for (std::size_t r = 0; r < t.cells.size(); ++r) {
        std::vector<std::string>& row = out.rows.emplace_back();
        for (const PropertyColumn& c : cols) {
            const double v = c.values[r];
            if (std::isnan(v)) row.emplace_back();   // missing: an empty field
            else if (c.integer) row.emplace_back(std::to_string(static_cast<long long>(v)));
            else row.emplace_back(b, static_cast<std::size_t>(std::snprintf(b, sizeof b, "%.8g", v)));
        }
        row.push_back(time);
    }
    return out;
}

void write_properties_csv(const std::string& path, const PropertyTable& t) { write_table(path, properties_table(t)); }

}  // namespace velmora
