#include "polar/velocity.h"

#include <netcdf.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

#include "io/winds.h"
#include "polar/gridding.h"

namespace velmora::polar {

void storm_relative(PolarVolume& v, Wind motion) {
    if (!is_radial_velocity(v)) throw std::invalid_argument(v.source + ": " + v.field + " is not a radial velocity");
    for (Sweep& s : v.sweeps)
        for (std::size_t r = 0; r < s.rays(); ++r) {
            const auto along = static_cast<float>(radial_wind(motion, s.azimuth[r], s.elevation[r]));
            float* row = s.values.data() + r * static_cast<std::size_t>(s.gates);
            for (int g = 0; g < s.gates; ++g)
                if (std::isfinite(row[g])) row[g] -= along;
        }
}

StormMotion::StormMotion(Wind background, std::vector<CellMotion> cells)
    : background_(background), cells_(std::move(cells)) {
    for (CellMotion& c : cells_) c.radius = std::max(c.radius, kMinCellRadius);
}

Wind StormMotion::at(double x, double y) const {
    // The nearest cell in units of its radius weighs 1 within its radius, 0 from twice it.
    double nearest_radii = 2.0;
    const CellMotion* nearest = nullptr;
    for (const CellMotion& c : cells_)
        if (const double radii = std::hypot(x - c.x, y - c.y) / c.radius; radii < nearest_radii) nearest_radii = radii, nearest = &c;
    if (!nearest) return background_;
    const double weight = std::min(1.0, 2.0 - nearest_radii);
    return {weight * nearest->motion.u + (1.0 - weight) * background_.u,
            weight * nearest->motion.v + (1.0 - weight) * background_.v};
}

void storm_relative(PolarVolume& v, const StormMotion& motion, double radar_x, double radar_y) {
    if (!is_radial_velocity(v)) throw std::invalid_argument(v.source + ": " + v.field + " is not a radial velocity");
    constexpr double kDegree = std::numbers::pi / 180.0;
    for (Sweep& s : v.sweeps)
        for (std::size_t r = 0; r < s.rays(); ++r) {
            const double sin_az = std::sin(s.azimuth[r] * kDegree), cos_az = std::cos(s.azimuth[r] * kDegree);
            float* row = s.values.data() + r * static_cast<std::size_t>(s.gates);
            for (int g = 0; g < s.gates; ++g) {
                if (!std::isfinite(row[g])) continue;
                const double d = ground_distance((s.range_first + g * s.gate_spacing) / 1000.0, s.elevation[r]);
                const Wind m = motion.at(radar_x + d * sin_az, radar_y + d * cos_az);
                row[g] -= static_cast<float>(radial_wind(m, s.azimuth[r], s.elevation[r]));
            }
        }
}

namespace {

// The elevation (degrees) of the beam that reaches height h (km above the
// antenna) at ground distance d (km), in the 4/3 earth model.
double elevation_at(double d, double h) {
    const double R = kEffectiveEarthRadius, a = d / R;
    return std::atan2((R + h) * std::cos(a) - R, (R + h) * std::sin(a)) * 180.0 / std::numbers::pi;
}

}  // namespace

void storm_relative(Volume& grid, const StormMotion& motion, double radar_x, double radar_y) {
    const std::size_t nx = grid.x.size(), ny = grid.y.size();
    for (std::size_t j = 0; j < ny; ++j)
        for (std::size_t i = 0; i < nx; ++i) {
            const double dx = grid.x[i] - radar_x, dy = grid.y[j] - radar_y, d = std::hypot(dx, dy);
            const double azimuth = std::atan2(dx, dy) * 180.0 / std::numbers::pi;
            const Wind m = motion.at(grid.x[i], grid.y[j]);
            for (std::size_t k = 0; k < grid.z.size(); ++k) {
                float& value = grid.values[i + nx * (j + ny * k)];
                if (!std::isfinite(value) || (grid.has_null && value == grid.null_value)) continue;
                value -= static_cast<float>(radial_wind(m, azimuth, elevation_at(d, grid.z[k])));
            }
        }
}

std::string raw_name(const std::string& field) { return field + "_raw"; }

FieldLabel dealiased_label(const std::string& field) {
    return {"Radial velocity, dealiased", "Unfolded past the Nyquist velocity by velmora's region-based dealiasing; " +
                                              raw_name(field) + " is the same field as measured"};
}

FieldLabel measured_label(const std::string& field) {
    return {"Radial velocity as measured",
            "Folded at the Nyquist velocity as the radar measured it; " + field + " is the same field dealiased"};
}

namespace {

constexpr const char* kRadialVelocity = "radial_velocity_of_scatterers_away_from_instrument";

void put_text(int nc, int var, const char* name, const std::string& text) {
    nc_put_att_text(nc, var, name, text.size(), text.c_str());
}

}  // namespace

void write_dealiased_netcdf(const std::string& path, const Volume& dealiased, const Volume& raw) {
    if (raw.x != dealiased.x || raw.y != dealiased.y || raw.z != dealiased.z || raw.values.size() != dealiased.values.size())
        throw std::invalid_argument("the velocity as measured is not on the grid of the dealiased one");
    const std::string name = dealiased.name, measured = raw_name(name);
    const FieldLabel as_measured = measured_label(name), unfolded = dealiased_label(name);
    const std::array extra{ExtraVariable{measured, raw.units, as_measured.long_name,
                                         std::span<const float>(raw.values.data(), raw.values.size()),
                                         as_measured.comment, raw.has_null ? std::optional(raw.null_value) : std::nullopt}};
    write_netcdf(path, dealiased, extra, [&](int nc) {
        int field = -1, folded = -1;
        if (nc_inq_varid(nc, name.c_str(), &field) != NC_NOERR || nc_inq_varid(nc, measured.c_str(), &folded) != NC_NOERR ||
            nc_redef(nc) != NC_NOERR)
            throw std::runtime_error(path + ": cannot name its velocity fields");
        put_text(nc, field, "long_name", unfolded.long_name);
        put_text(nc, field, "comment", unfolded.comment);
        put_text(nc, field, "standard_name", kRadialVelocity);
        put_text(nc, folded, "standard_name", kRadialVelocity);
        if (nc_enddef(nc) != NC_NOERR) throw std::runtime_error(path + ": cannot name its velocity fields");
    });
}

void write_velocity_grid(const std::string& path, VelocityGrid velocity) {
    velocity.grid.name = kVelocityVariable;
    velocity.grid.units = "m/s";
    write_netcdf(path, velocity.grid, {}, [&](int nc) {
        int var = -1;
        if (nc_inq_varid(nc, kVelocityVariable, &var) != NC_NOERR || nc_redef(nc) != NC_NOERR ||
            nc_put_att_double(nc, NC_GLOBAL, "radar_x_km", NC_DOUBLE, 1, &velocity.radar_x) != NC_NOERR ||
            nc_put_att_double(nc, NC_GLOBAL, "radar_y_km", NC_DOUBLE, 1, &velocity.radar_y) != NC_NOERR)
            throw std::runtime_error(path + ": cannot write where its radar stands");
        put_text(nc, var, "standard_name", kRadialVelocity);
        put_text(nc, var, "long_name", "Radial velocity, dealiased");
        if (nc_enddef(nc) != NC_NOERR) throw std::runtime_error(path + ": cannot write where its radar stands");
    });
}

VelocityGrid read_velocity_grid(const std::string& path) {
    VelocityGrid v;
    v.grid = read_volume(path, kVelocityVariable);
    int nc = -1;
    if (nc_open(path.c_str(), NC_NOWRITE, &nc) != NC_NOERR) throw std::runtime_error(path + ": cannot be opened");
    const bool placed = nc_get_att_double(nc, NC_GLOBAL, "radar_x_km", &v.radar_x) == NC_NOERR &&
                        nc_get_att_double(nc, NC_GLOBAL, "radar_y_km", &v.radar_y) == NC_NOERR;
    nc_close(nc);
    if (!placed || !std::isfinite(v.radar_x) || !std::isfinite(v.radar_y))
        throw std::runtime_error(path + ": does not say where its radar stands (radar_x_km, radar_y_km)");
    return v;
}

}  // namespace velmora::polar
