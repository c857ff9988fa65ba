// Which values of a CF variable are no measurement: every value of
// _FillValue and of missing_value (a scalar or, as CF allows, a vector), the
// values outside valid_min/valid_max or valid_range, and NaN. All compare
// with the values as stored, before scale_factor and add_offset unpack them.
#pragma once

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace velmora {

struct CfMissing {
    std::vector<double> values;   // _FillValue's first, then missing_value's
    double valid_min = -std::numeric_limits<double>::infinity();
    double valid_max = std::numeric_limits<double>::infinity();

    // Whether any value is declared missing or out of range.
    bool declared() const { return !values.empty() || std::isfinite(valid_min) || std::isfinite(valid_max); }
    bool missing(double raw) const {
        if (std::isnan(raw) || raw < valid_min || raw > valid_max) return true;
        for (double v : values)
            if (raw == v) return true;
        return false;
    }
};

// The missing values of variable var of an open NetCDF file, each rounded
// to the variable's own type (a float variable's -9999.9 is not the double
// -9999.9). fill, when given, stands for an absent _FillValue (the
// library's default fill of the type, where gates never written hold it).
CfMissing cf_missing(int nc, int var, std::optional<double> fill = std::nullopt);

}  // namespace velmora
