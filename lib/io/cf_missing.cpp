#include "io/cf_missing.h"

#include <netcdf.h>

namespace velmora {

namespace {

// More values than this are no list of missing values.
constexpr std::size_t kMaxValues = 256;

// The values of a numeric attribute, none when it is absent or not numbers.
std::vector<double> numbers(int nc, int var, const char* name) {
    std::size_t len = 0;
    nc_type type;
    if (nc_inq_att(nc, var, name, &type, &len) != NC_NOERR || len < 1 || len > kMaxValues || type == NC_CHAR ||
        type == NC_STRING || type > NC_UINT64)
        return {};
    std::vector<double> v(len);
    if (nc_get_att_double(nc, var, name, v.data()) != NC_NOERR) return {};
    return v;
}

}  // namespace

CfMissing cf_missing(int nc, int var, std::optional<double> fill) {
    nc_type type = NC_NAT;
    nc_inq_vartype(nc, var, &type);
    const auto as_stored = [type](double v) { return type == NC_FLOAT ? static_cast<double>(static_cast<float>(v)) : v; };
    CfMissing m;
    std::vector<double> fills = numbers(nc, var, "_FillValue");
    if (fills.empty() && fill) fills.push_back(*fill);
    for (double v : fills) m.values.push_back(as_stored(v));
    for (double v : numbers(nc, var, "missing_value")) m.values.push_back(as_stored(v));
    if (const auto range = numbers(nc, var, "valid_range"); range.size() == 2) {
        m.valid_min = as_stored(range[0]);
        m.valid_max = as_stored(range[1]);
    }
    if (const auto lo = numbers(nc, var, "valid_min"); lo.size() == 1) m.valid_min = as_stored(lo[0]);
    if (const auto hi = numbers(nc, var, "valid_max"); hi.size() == 1) m.valid_max = as_stored(hi[0]);
    return m;
}

}  // namespace velmora
