#include "polar/velocity.h"

#include <netcdf.h>

#include <array>
#include <cmath>
#include <stdexcept>

#include "io/winds.h"

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

}  // namespace velmora::polar
