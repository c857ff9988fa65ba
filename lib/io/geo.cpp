#include "io/geo.h"

#include <proj.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace velmora {

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

std::string position_problem(double lat, double lon) {
    const auto text = [](double v) {
        char t[32];
        std::snprintf(t, sizeof t, "%g", v);
        return std::string(t);
    };
    if (!(std::fabs(lat) <= 90.0)) return "latitude " + text(lat) + " is not within -90 to 90 degrees";
    if (!(lon >= -180.0 && lon <= 360.0)) return "longitude " + text(lon) + " is not within -180 to 360 degrees";
    return {};
}

namespace {

// The azimuthal equidistant projection about origin, in km, with a context
// of its own: PROJ's default context is not to be shared between threads, and
// the Python package may call from several.
class Aeqd {
public:
    explicit Aeqd(const GeoOrigin& origin) : ctx_(proj_context_create()) {
        if (!ctx_) throw std::runtime_error("cannot set up the map projection");
        proj_log_level(ctx_.get(), PJ_LOG_NONE);
        char definition[160];
        std::snprintf(definition, sizeof definition, "+proj=aeqd +lat_0=%.17g +lon_0=%.17g +ellps=WGS84 +units=km",
                      origin.lat, origin.lon);
        pj_.reset(proj_create(ctx_.get(), definition));
        if (!pj_) throw std::runtime_error(std::string("cannot set up the map projection ") + definition);
    }
    PJ* get() const { return pj_.get(); }

private:
    std::unique_ptr<PJ_CONTEXT, ContextFree> ctx_;
    std::unique_ptr<PJ, ProjFree> pj_;
};

void check_sizes(std::size_t n, std::size_t a, std::size_t b, std::size_t c, const char* what) {
    if (a != n || b != n || c != n) throw std::invalid_argument(std::string(what) + ": the coordinate arrays differ in size");
}

}  // namespace

void geographic(const GeoOrigin& origin, std::span<const double> x_km, std::span<const double> y_km,
                std::span<double> lat, std::span<double> lon) {
    check_sizes(x_km.size(), y_km.size(), lat.size(), lon.size(), "geographic");
    if (x_km.empty()) return;
    const Aeqd aeqd(origin);
    for (std::size_t i = 0; i < x_km.size(); ++i) {
        // The inverse projection gives radians, east before north; a point
        // it cannot take back (beyond half the earth) has no position.
        const PJ_COORD c = proj_trans(aeqd.get(), PJ_INV, proj_coord(x_km[i], y_km[i], 0.0, 0.0));
        const bool ok = std::isfinite(c.lp.lam) && std::isfinite(c.lp.phi) && c.lp.lam != HUGE_VAL;
        lon[i] = ok ? std::remainder(proj_todeg(c.lp.lam), 360.0) : NAN;
        lat[i] = ok ? proj_todeg(c.lp.phi) : NAN;
    }
}

void projected(const GeoOrigin& origin, std::span<const double> lat, std::span<const double> lon,
               std::span<double> x_km, std::span<double> y_km) {
    check_sizes(lat.size(), lon.size(), x_km.size(), y_km.size(), "projected");
    if (lat.empty()) return;
    const Aeqd aeqd(origin);
    for (std::size_t i = 0; i < lat.size(); ++i) {
        const PJ_COORD c = proj_trans(aeqd.get(), PJ_FWD, proj_coord(proj_torad(lon[i]), proj_torad(lat[i]), 0.0, 0.0));
        const bool ok = std::isfinite(c.xy.x) && std::isfinite(c.xy.y) && c.xy.x != HUGE_VAL;
        x_km[i] = ok ? c.xy.x : NAN;
        y_km[i] = ok ? c.xy.y : NAN;
    }
}

}  // namespace velmora
