#include "analysis/hail.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace velmora {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Waldvogel et al. (1979): the probability of hail against the height of the
// 45 dBZ echo above the freezing level, km, %: 0 % at 1.65 km, 100 % at
// 5.8 km; the rows between are where Holleman's (2001) cubic fit to
// Waldvogel's data, POH = -1.20231 + 1.00184 dH - 0.17018 dH^2 + 0.01086 dH^3,
// reaches 10, 20, ... 90 %.
constexpr std::array<std::array<double, 2>, 11> kPohTable = {{{1.65, 0.0},
                                                              {1.77, 10.0},
                                                              {1.98, 20.0},
                                                              {2.22, 30.0},
                                                              {2.48, 40.0},
                                                              {2.78, 50.0},
                                                              {3.13, 60.0},
                                                              {3.57, 70.0},
                                                              {4.15, 80.0},
                                                              {4.91, 90.0},
                                                              {5.8, 100.0}}};

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw std::runtime_error("the sounding " + path + " " + why);
}

// The sounding's rows (height m, temperature °C), in their order.
std::vector<std::array<double, 2>> sounding_rows(const std::string& path) {
    std::ifstream f(path);
    if (!f) refuse(path, "can not be read");
    std::vector<std::array<double, 2>> rows;
    std::string line;
    for (int n = 1; std::getline(f, line); ++n) {
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream in(line);
        double h = 0, t = 0;
        if (!(in >> h >> t)) {
            // A header (or a blank line) reads as no numbers at all.
            if (line.find_first_of("0123456789") == std::string::npos || (rows.empty() && n == 1)) continue;
            refuse(path, "has no height and temperature on line " + std::to_string(n));
        }
        if (!std::isfinite(h) || !std::isfinite(t)) refuse(path, "has a value that is not finite on line " + std::to_string(n));
        rows.push_back({h, t});
    }
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a[0] < b[0]; });
    return rows;
}

// The height, km, where the temperature first falls to level going up.
std::optional<double> crossing(const std::vector<std::array<double, 2>>& rows, double level) {
    if (!rows.empty() && rows.front()[1] <= level) return rows.front()[0] / 1000.0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto& a = rows[i - 1];
        const auto& b = rows[i];
        if (a[1] > level && b[1] <= level) return (a[0] + (level - a[1]) / (b[1] - a[1]) * (b[0] - a[0])) / 1000.0;
    }
    return std::nullopt;
}

}  // namespace

std::string hail_levels_problem(const HailLevels& l) {
    if (!std::isfinite(l.h0_km) || !std::isfinite(l.hm20_km)) return "the 0 °C and -20 °C levels must be finite heights";
    if (!(l.hm20_km > l.h0_km)) return "the -20 °C level must lie above the 0 °C level";
    return "";
}

HailLevels read_sounding(const std::string& path) {
    const auto rows = sounding_rows(path);
    const auto h0 = crossing(rows, 0.0), h20 = crossing(rows, -20.0);
    if (!h0) refuse(path, "never reaches 0 °C");
    if (!h20) refuse(path, "never reaches -20 °C");
    return {*h0, *h20};
}

std::optional<HailLevels> hail_levels_of(std::optional<double> freezing_km, std::optional<double> minus20_km,
                                         const std::string& sounding) {
    if (!sounding.empty() && (freezing_km || minus20_km))
        throw std::invalid_argument("give --sounding or --freezing-level and --minus20-level, not both");
    if (!sounding.empty()) return read_sounding(sounding);
    if (!freezing_km && !minus20_km) return std::nullopt;
    if (!freezing_km || !minus20_km)
        throw std::invalid_argument("give both --freezing-level and --minus20-level (or --sounding)");
    const HailLevels l{*freezing_km, *minus20_km};
    if (std::string problem = hail_levels_problem(l); !problem.empty()) throw std::invalid_argument(problem);
    return l;
}

HailLevels above_radar(const HailLevels& sea_level, std::optional<double> altitude_km, std::string* note) {
    if (!altitude_km && note)
        *note = "the altitude of the radar is unknown: the levels are taken as heights above it (altitude 0)";
    const double a = altitude_km.value_or(0.0);
    return {sea_level.h0_km - a, sea_level.hm20_km - a};
}

double hail_reflectivity_weight(double dbz) {
    if (!(dbz > 40.0)) return 0.0;
    return dbz >= 50.0 ? 1.0 : (dbz - 40.0) / 10.0;
}

double hail_energy_flux(double dbz) {
    const double w = hail_reflectivity_weight(dbz);
    return w == 0.0 ? 0.0 : 5e-6 * std::pow(10.0, 0.084 * dbz) * w;
}

double hail_temperature_weight(double h_km, const HailLevels& l) {
    if (h_km <= l.h0_km) return 0.0;
    if (h_km >= l.hm20_km) return 1.0;
    return (h_km - l.h0_km) / (l.hm20_km - l.h0_km);
}

double hail_temperature_integral(double a_km, double b_km, const HailLevels& l) {
    // The integral of W_T from below H0 up to h, km.
    const double d = l.hm20_km - l.h0_km;
    const auto upto = [&](double h) {
        if (h <= l.h0_km) return 0.0;
        if (h <= l.hm20_km) return (h - l.h0_km) * (h - l.h0_km) / (2.0 * d);
        return d / 2.0 + (h - l.hm20_km);
    };
    return (upto(b_km) - upto(a_km)) * 1000.0;
}

std::vector<double> shi_layer_weights(std::span<const float> z_km, const HailLevels& l) {
    const std::size_t n = z_km.size();
    std::vector<double> w(n, 0.0);
    // Half the spacing between levels k - 1 and k; at the ends, that of the
    // one neighbour (as the voxels' extents take it); 0.5 km for one level.
    const auto half = [&](std::size_t k) {
        if (n < 2) return 0.5;
        k = std::clamp<std::size_t>(k, 1, n - 1);
        return (static_cast<double>(z_km[k]) - z_km[k - 1]) / 2.0;
    };
    for (std::size_t k = 0; k < n; ++k) {
        const double below = half(k), above = half(k + 1);
        w[k] = 0.1 * hail_temperature_integral(z_km[k] - below, z_km[k] + above, l);
    }
    return w;
}

double column_shi(std::span<const float> dbz, std::span<const float> z_km, const HailLevels& l) {
    const std::vector<double> w = shi_layer_weights(z_km, l);
    double shi = 0.0;
    for (std::size_t k = 0; k < dbz.size() && k < w.size(); ++k)
        if (std::isfinite(dbz[k])) shi += w[k] * hail_energy_flux(dbz[k]);
    return shi;
}

double mesh_witt_mm(double shi) { return 2.54 * std::sqrt(shi); }
double mesh75_mm(double shi) { return 15.096 * std::pow(shi, 0.206); }
double mesh95_mm(double shi) { return 22.157 * std::pow(shi, 0.212); }

double warning_threshold(double h0_km) { return std::max(20.0, 57.5 * h0_km - 121.0); }

double posh_pct(double shi, double h0_km) {
    if (!(shi > 0.0)) return 0.0;
    return std::clamp(29.0 * std::log(shi / warning_threshold(h0_km)) + 50.0, 0.0, 100.0);
}

double poh_pct(double dh) {
    if (std::isnan(dh)) return kNaN;
    if (dh <= kPohTable.front()[0]) return 0.0;
    if (dh >= kPohTable.back()[0]) return 100.0;
    std::size_t i = 1;
    while (kPohTable[i][0] < dh) ++i;
    const auto& a = kPohTable[i - 1];
    const auto& b = kPohTable[i];
    return a[1] + (dh - a[0]) / (b[0] - a[0]) * (b[1] - a[1]);
}

std::vector<float> mesh_field(const Volume& axes, std::span<const float> values, const HailLevels& l) {
    const std::size_t nxy = axes.x.size() * axes.y.size(), nz = axes.z.size();
    if (values.size() != nxy * nz) throw std::invalid_argument("the values do not fit the grid of the MESH field");
    const std::vector<double> w = shi_layer_weights(axes.z, l);
    std::vector<double> shi(nxy, 0.0);
    // Level by level, in storage order; levels below H0 weigh nothing and
    // are not read, and only voxels over 40 dBZ cost an exponential.
    for (std::size_t k = 0; k < nz; ++k) {
        if (w[k] == 0.0) continue;
        const float* level = values.data() + k * nxy;
        for (std::size_t c = 0; c < nxy; ++c) {
            const float v = level[c];
            if (!(v > 40.0f) || !std::isfinite(v) || (axes.has_null && v == axes.null_value)) continue;
            shi[c] += w[k] * hail_energy_flux(v);
        }
    }
    std::vector<float> mesh(nxy);
    for (std::size_t c = 0; c < nxy; ++c) mesh[c] = static_cast<float>(mesh_witt_mm(shi[c]));
    return mesh;
}

std::vector<float> hail_swath(std::span<const std::vector<float>> meshes) {
    std::vector<float> swath;
    for (const std::vector<float>& m : meshes) {
        if (m.empty()) continue;
        if (swath.empty()) swath.assign(m.size(), 0.0f);
        if (m.size() != swath.size()) throw std::invalid_argument("the MESH fields of a swath must share their grid");
        for (std::size_t c = 0; c < m.size(); ++c) swath[c] = std::max(swath[c], m[c]);
    }
    return swath;
}

PlanVariable swath_variable(std::span<const float> swath) {
    return {"MESH_swath", "mm", "largest maximum expected size of hail of each column over the series", swath};
}

}  // namespace velmora
