#include "tracking/nowcast.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velmora::tracking {

const char* method_name(Method m) {
    switch (m) {
        case Method::Nowcast: return "nowcast";
        case Method::Lagrangian: return "lagrangian";
        case Method::Eulerian: return "eulerian";
    }
    return "";
}

namespace {

double spacing(const std::vector<float>& a) {
    return a.size() > 1 ? (double(a.back()) - a.front()) / double(a.size() - 1) : 1.0;
}

// The rate of a measure: the mean of its rates of change between the
// track's volumes, weighted by the age of each step (the latest weighs 1).
double weighted_rate(std::span<const TrackPoint> points, double TrackPoint::*measure, double half_life) {
    double sum = 0, weights = 0;
    for (std::size_t k = 1; k < points.size(); ++k) {
        const double dt = points[k].time - points[k - 1].time;
        if (!(dt > 0)) continue;
        const double w = std::exp2(-double(points.size() - 1 - k) / half_life);
        sum += w * (points[k].*measure - points[k - 1].*measure) / dt;
        weights += w;
    }
    return weights > 0 ? sum / weights : 0.0;
}

// The echo's motion where it is one a storm makes; none otherwise.
void echo_motion(Trend& t, EchoMotion echo, double max_speed) {
    t.echo = true;
    if (echo.measured() && std::hypot(echo.u, echo.v) <= max_speed) t.u = echo.u, t.v = echo.v;
}

}  // namespace

Outlook outlook(const Trend& t, double lead) {
    Outlook o;
    o.lead = lead;
    o.x = t.now.x + t.u * lead / 1000.0;
    o.y = t.now.y + t.v * lead / 1000.0;
    o.area_km2 = std::max(0.0, t.now.area_km2 + t.area_rate * lead);
    o.volume_km3 = std::max(0.0, t.now.volume_km3 + t.volume_rate * lead);
    o.top_km = std::max(0.0, t.now.top_km + t.top_rate * lead);
    o.max_dbz = t.now.max_dbz + t.max_rate * lead;
    o.scale = t.now.area_km2 > 0 ? std::sqrt(o.area_km2 / t.now.area_km2) : 0.0;
    return o;
}

Trend trend(std::span<const TrackPoint> points, EchoMotion echo, const TrendSettings& s) {
    if (points.empty()) throw std::invalid_argument("a trend needs at least the cell now");
    Trend t;
    t.now = points.back();
    t.time = t.now.time;
    if (points.size() < s.young) {
        echo_motion(t, echo, s.max_speed);
        return t;
    }
    const std::size_t n = std::min(points.size(), std::max<std::size_t>(s.history, 2));
    const auto recent = points.subspan(points.size() - n);
    t.u = weighted_rate(recent, &TrackPoint::x, s.half_life) * 1000.0;
    t.v = weighted_rate(recent, &TrackPoint::y, s.half_life) * 1000.0;
    t.area_rate = weighted_rate(recent, &TrackPoint::area_km2, s.half_life);
    t.volume_rate = weighted_rate(recent, &TrackPoint::volume_km3, s.half_life);
    t.top_rate = weighted_rate(recent, &TrackPoint::top_km, s.half_life);
    t.max_rate = weighted_rate(recent, &TrackPoint::max_dbz, s.half_life);
    return t;
}

Trend lagrangian(const TrackPoint& now, EchoMotion echo, const TrendSettings& s) {
    Trend t;
    t.now = now;
    t.time = now.time;
    echo_motion(t, echo, s.max_speed);
    return t;
}

Trend eulerian(const TrackPoint& now) {
    Trend t;
    t.now = now;
    t.time = now.time;
    return t;
}

TrackPoint point_of(const Frame& f, std::size_t cell, const Plane& plane) {
    const Cell& c = f.cells[cell];
    return {f.time, c.x, c.y, double(c.columns.size()) * column_area(plane), c.volume_km3, c.top_km, c.max_dbz};
}

std::vector<Trend> trends_of(std::span<const TrackedFrame> series, std::size_t f, Method m, const Plane& plane,
                             const TrendSettings& s) {
    const TrackedFrame& now = series[f];
    std::vector<Trend> out;
    for (const Row& r : now.rows) {
        const TrackPoint p = point_of(now.frame, r.cell, plane);
        if (m == Method::Eulerian) {
            out.push_back(eulerian(p));
            continue;
        }
        if (m == Method::Lagrangian) {
            out.push_back(lagrangian(p, now.echo, s));
            continue;
        }
        // The track back in time: its cell in each frame before, while it
        // has one (a track has one cell a frame; its number is its own).
        std::vector<TrackPoint> points{p};
        for (std::size_t g = f; g > 0 && points.size() < s.history; --g) {
            const auto before = std::find_if(series[g - 1].rows.begin(), series[g - 1].rows.end(),
                                             [&](const Row& b) { return b.track == r.track; });
            if (before == series[g - 1].rows.end()) break;
            points.push_back(point_of(series[g - 1].frame, before->cell, plane));
        }
        std::reverse(points.begin(), points.end());
        out.push_back(trend(points, now.echo, s));
    }
    return out;
}

double column_area(const Plane& plane) { return std::abs(spacing(plane.x) * spacing(plane.y)); }

std::vector<std::int32_t> footprint(std::span<const std::int32_t> columns, double x, double y, const Outlook& o,
                                    const Plane& plane) {
    const int nx = static_cast<int>(plane.x.size()), ny = static_cast<int>(plane.y.size());
    if (columns.empty() || !(o.scale > 0) || nx < 1 || ny < 1) return {};
    const double dx = spacing(plane.x), dy = spacing(plane.y), x0 = plane.x.front(), y0 = plane.y.front();
    // The cell's columns as a mask over their bounding box.
    int i0 = nx, i1 = -1, j0 = ny, j1 = -1;
    for (const std::int32_t c : columns) {
        i0 = std::min(i0, c % nx), i1 = std::max(i1, c % nx);
        j0 = std::min(j0, c / nx), j1 = std::max(j1, c / nx);
    }
    const int w = i1 - i0 + 1;
    std::vector<char> mask(static_cast<std::size_t>(w) * static_cast<std::size_t>(j1 - j0 + 1), 0);
    for (const std::int32_t c : columns) mask[static_cast<std::size_t>((c / nx - j0) * w + (c % nx - i0))] = 1;
    // Each column of the grid near the forecast takes the cell's column its
    // centre comes from: no holes however the footprint is scaled.
    const auto to_i = [&](double km) { return (km - x0) / dx; };
    const auto to_j = [&](double km) { return (km - y0) / dy; };
    const double ax = o.x + o.scale * (x0 + (i0 - 0.5) * dx - x), bx = o.x + o.scale * (x0 + (i1 + 0.5) * dx - x);
    const double ay = o.y + o.scale * (y0 + (j0 - 0.5) * dy - y), by = o.y + o.scale * (y0 + (j1 + 0.5) * dy - y);
    const int ti0 = std::max(0, static_cast<int>(std::floor(std::min(to_i(ax), to_i(bx))))),
              ti1 = std::min(nx - 1, static_cast<int>(std::ceil(std::max(to_i(ax), to_i(bx))))),
              tj0 = std::max(0, static_cast<int>(std::floor(std::min(to_j(ay), to_j(by))))),
              tj1 = std::min(ny - 1, static_cast<int>(std::ceil(std::max(to_j(ay), to_j(by)))));
    std::vector<std::int32_t> out;
    for (int j = tj0; j <= tj1; ++j)
        for (int i = ti0; i <= ti1; ++i) {
            const long si = std::lround(to_i(x + (x0 + i * dx - o.x) / o.scale)) - i0;
            const long sj = std::lround(to_j(y + (y0 + j * dy - o.y) / o.scale)) - j0;
            if (si < 0 || si >= w || sj < 0 || sj > j1 - j0) continue;
            if (mask[static_cast<std::size_t>(sj * w + si)]) out.push_back(j * nx + i);
        }
    return out;
}

}  // namespace velmora::tracking
