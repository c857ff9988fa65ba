#include "geo.h"

#include <proj.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace velmora::app {

namespace {

struct ContextFree {
    void operator()(PJ_CONTEXT* c) const { proj_context_destroy(c); }
};
struct ProjFree {
    void operator()(PJ* p) const { proj_destroy(p); }
};

}  // namespace

std::optional<GeoOrigin> checked_origin(double lat, double lon) {
    if (!std::isfinite(lat) || !std::isfinite(lon) || std::fabs(lat) > 90.0 || lon < -180.0 || lon > 360.0)
        return std::nullopt;
    return GeoOrigin{lat, lon};
}

void geographic(const GeoOrigin& origin, std::span<const double> x_km, std::span<const double> y_km,
                std::span<double> lat, std::span<double> lon) {
    if (y_km.size() != x_km.size() || lat.size() != x_km.size() || lon.size() != x_km.size())
        throw std::invalid_argument("geographic: the coordinate arrays differ in size");
    if (x_km.empty()) return;
    // A context of its own: PROJ's default context is not to be shared
    // between threads, and the Python package may call from several.
    std::unique_ptr<PJ_CONTEXT, ContextFree> ctx(proj_context_create());
    if (!ctx) throw std::runtime_error("cannot set up the map projection");
    proj_log_level(ctx.get(), PJ_LOG_NONE);
    char definition[160];
    std::snprintf(definition, sizeof definition, "+proj=aeqd +lat_0=%.17g +lon_0=%.17g +ellps=WGS84 +units=km",
                  origin.lat, origin.lon);
    std::unique_ptr<PJ, ProjFree> aeqd(proj_create(ctx.get(), definition));
    if (!aeqd) throw std::runtime_error(std::string("cannot set up the map projection ") + definition);
    for (std::size_t i = 0; i < x_km.size(); ++i) {
        // The inverse projection gives radians, east before north; a point
        // it cannot take back (beyond half the earth) has no position.
        const PJ_COORD c = proj_trans(aeqd.get(), PJ_INV, proj_coord(x_km[i], y_km[i], 0.0, 0.0));
        const bool ok = std::isfinite(c.lp.lam) && std::isfinite(c.lp.phi) && c.lp.lam != HUGE_VAL;
        lon[i] = ok ? std::remainder(proj_todeg(c.lp.lam), 360.0) : NAN;
        lat[i] = ok ? proj_todeg(c.lp.phi) : NAN;
    }
}

}  // namespace velmora::app
