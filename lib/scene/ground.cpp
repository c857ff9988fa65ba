// The ground under the radar grid: its outline, and on the map a graticule
// and the coastlines and borders near it, projected as the grid is.
#include <algorithm>
#include <cmath>

#include "io/geo.h"
#include "scene/radar.h"

namespace velmora::scene {

namespace {

struct Lines {
    std::vector<float> coord;
    std::vector<std::int64_t> connect;
    std::vector<float> kind;
    std::int64_t open = -1;   // first node of the line being drawn
    void point(float x, float y, float k) {
        if (open < 0) open = static_cast<std::int64_t>(kind.size());
        coord.insert(coord.end(), {x, y, 0.0f});
        kind.push_back(k);
    }
    void end() {
        const auto last = static_cast<std::int64_t>(kind.size()) - 1;
        if (open >= 0 && last > open) connect.insert(connect.end(), {open, last});
        else if (open >= 0) coord.resize(coord.size() - 3), kind.pop_back();
        open = -1;
    }
};

struct Box {
    double x0, y0, x1, y1;
    bool inside(double x, double y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
};

// Lon/lat polylines projected, broken where they leave the box.
void add_projected(Lines& out, const GeoOrigin& origin, const Box& box, const std::vector<double>& lon,
                   const std::vector<double>& lat, float kind) {
    std::vector<double> x(lon.size()), y(lon.size());
    projected(origin, lat, lon, x, y);
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::isfinite(x[i]) && box.inside(x[i], y[i])) out.point(static_cast<float>(x[i]), static_cast<float>(y[i]), kind);
        else out.end();
    }
    out.end();
}

// The lon/lat box of the grid, from its edges.
void geo_bounds(const GeoOrigin& origin, const Box& box, double& lon0, double& lat0, double& lon1, double& lat1) {
    std::vector<double> x, y;
    for (int i = 0; i <= 8; ++i) {
        const double t = i / 8.0;
        for (auto [px, py] : {std::pair{box.x0 + t * (box.x1 - box.x0), box.y0}, {box.x0 + t * (box.x1 - box.x0), box.y1},
                              {box.x0, box.y0 + t * (box.y1 - box.y0)}, {box.x1, box.y0 + t * (box.y1 - box.y0)}}) {
            x.push_back(px);
            y.push_back(py);
        }
    }
    std::vector<double> lat(x.size()), lon(x.size());
    geographic(origin, x, y, lat, lon);
    lon0 = *std::min_element(lon.begin(), lon.end());
    lon1 = *std::max_element(lon.begin(), lon.end());
    lat0 = *std::min_element(lat.begin(), lat.end());
    lat1 = *std::max_element(lat.begin(), lat.end());
}

void add_graticule(Lines& out, const GeoOrigin& origin, const Box& box, double lon0, double lat0, double lon1,
                   double lat1) {
    const double span = std::max(lon1 - lon0, lat1 - lat0);
    double step = 10.0;
    for (double s : {0.1, 0.25, 0.5, 1.0, 2.0, 5.0})
        if (span / s <= 8) { step = s; break; }
    for (double lon = std::ceil(lon0 / step) * step; lon <= lon1; lon += step) {
        std::vector<double> lo, la;
        for (double t = lat0; t <= lat1; t += (lat1 - lat0) / 64) lo.push_back(lon), la.push_back(t);
        add_projected(out, origin, box, lo, la, 1.0f);
    }
    for (double lat = std::ceil(lat0 / step) * step; lat <= lat1; lat += step) {
        std::vector<double> lo, la;
        for (double t = lon0; t <= lon1; t += (lon1 - lon0) / 64) lo.push_back(t), la.push_back(lat);
        add_projected(out, origin, box, lo, la, 1.0f);
    }
}

void add_map(Lines& out, const GeoOrigin& origin, const Box& box, const std::vector<MapLine>& map, double lon0,
             double lat0, double lon1, double lat1) {
    const double margin = 0.5;
    for (const MapLine& l : map) {
        std::vector<double> lo, la;
        bool near = false;
        for (std::size_t i = 0; i + 1 < l.lonlat.size(); i += 2) {
            double lon = l.lonlat[i];
            if (origin.lon > 90 && lon < 0) lon += 360;   // grids east of 90 E in the 0..360 convention
            near = near || (lon >= lon0 - margin && lon <= lon1 + margin && l.lonlat[i + 1] >= lat0 - margin &&
                            l.lonlat[i + 1] <= lat1 + margin);
            lo.push_back(l.lonlat[i]);
            la.push_back(l.lonlat[i + 1]);
        }
        if (near) add_projected(out, origin, box, lo, la, l.kind == 0 ? 2.0f : 3.0f);
    }
}

}  // namespace

Json ground_field(const Volume& v, const std::string& map_file) {
    if (v.x.empty() || v.y.empty()) return {};
    const Box box{v.x.front(), v.y.front(), v.x.back(), v.y.back()};
    Lines lines;
    for (auto [x, y] : {std::pair{box.x0, box.y0}, {box.x1, box.y0}, {box.x1, box.y1}, {box.x0, box.y1}, {box.x0, box.y0}})
        lines.point(static_cast<float>(x), static_cast<float>(y), 0.0f);
    lines.end();
    if (v.origin) {
        double lon0 = 0, lat0 = 0, lon1 = 0, lat1 = 0;
        geo_bounds(*v.origin, box, lon0, lat0, lon1, lat1);
        add_graticule(lines, *v.origin, box, lon0, lat0, lon1, lat1);
        try {
            add_map(lines, *v.origin, box, read_map(map_file), lon0, lat0, lon1, lat1);
        } catch (const std::exception&) {
            // Without the map file the ground keeps its outline and graticule.
        }
    }
    return {{"nnodes", lines.kind.size()},
            {"nspace", 3},
            {"coord", lines.coord},
            {"cell_sets", {{{"type", "Polyline"}, {"connect", lines.connect}}}},
            {"node_data", {{{"label", "kind"}, {"values", lines.kind}}}}};
}

}  // namespace velmora::scene
