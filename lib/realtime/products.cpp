#include "realtime/products.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>

#include "analysis/track_table.h"
#include "io/cf_time.h"
#include "io/table.h"
#include "tracking/outline.h"

namespace velmora::realtime {

namespace fs = std::filesystem;

std::vector<ForecastRow> forecast_rows(const tracking::TrackedFrame& t, std::span<const tracking::Trend> trends,
                                       std::span<const double> leads) {
    std::vector<ForecastRow> rows;
    for (std::size_t c = 0; c < trends.size(); ++c)
        for (const double lead : leads)
            rows.push_back({c, t.rows[c].track, lead, tracking::outlook(trends[c], lead), trends[c].u, trends[c].v,
                            trends[c].echo});
    return rows;
}

namespace {

// Latitudes and longitudes of points in km, where there is an origin.
void to_geographic(const std::optional<GeoOrigin>& origin, std::vector<double>& x, std::vector<double>& y) {
    if (!origin || x.empty()) return;
    std::vector<double> lat(x.size()), lon(x.size());
    geographic(*origin, x, y, lat, lon);
    x = std::move(lon);
    y = std::move(lat);
}

}  // namespace

std::string forecast_csv(const tracking::TrackedFrame& t, std::span<const ForecastRow> rows,
                         const std::optional<GeoOrigin>& origin) {
    const double time = t.frame.time;
    std::vector<double> x, y;
    for (const ForecastRow& r : rows) x.push_back(r.outlook.x), y.push_back(r.outlook.y);
    to_geographic(origin, x, y);
    Table out{"forecast.csv",
              {"track", "cell", "lead_min", "valid_time", "x_km", "y_km", "lat", "lon", "area_km2", "volume_km3", "top_km",
               "max_dbz", "u_ms", "v_ms", "motion"},
              {}};
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const ForecastRow& r = rows[k];
        const tracking::Outlook& o = r.outlook;
        out.rows.push_back({std::to_string(r.track), std::to_string(t.frame.cells[t.rows[r.cell].cell].no),
                            table_number(r.lead / 60.0, "%g"), iso_utc(time + r.lead), table_number(o.x),
                            table_number(o.y), origin ? table_number(y[k], "%.5f") : "",
                            origin ? table_number(x[k], "%.5f") : "", table_number(o.area_km2, "%.2f"),
                            table_number(o.volume_km3), table_number(o.top_km, "%.2f"), table_number(o.max_dbz, "%.2f"),
                            table_number(r.u, "%.2f"), table_number(r.v, "%.2f"), r.echo ? "echo" : "track"});
    }
    return table_text(out);
}

std::string forecast_geojson(const tracking::TrackedFrame& t, std::span<const ForecastRow> rows,
                             const tracking::Plane& plane, const std::optional<GeoOrigin>& origin) {
    using nlohmann::ordered_json;
    ordered_json features = ordered_json::array();
    for (const ForecastRow& r : rows) {
        const tracking::Cell& c = t.frame.cells[t.rows[r.cell].cell];
        const auto columns = tracking::footprint(c.columns, c.x, c.y, r.outlook, plane);
        ordered_json polygons = ordered_json::array();
        for (const tracking::Polygon& p : tracking::outline(columns, plane)) {
            ordered_json rings = ordered_json::array();
            for (const tracking::Ring& ring : p) {
                std::vector<double> x, y;
                for (const auto& pt : ring) x.push_back(pt[0]), y.push_back(pt[1]);
                to_geographic(origin, x, y);
                ordered_json coords = ordered_json::array();
                // 1e-6 degrees is 0.1 m; km to the metre.
                const double unit = origin ? 1e6 : 1e3;
                for (std::size_t k = 0; k < x.size(); ++k)
                    coords.push_back({std::round(x[k] * unit) / unit, std::round(y[k] * unit) / unit});
                rings.push_back(std::move(coords));
            }
            polygons.push_back(std::move(rings));
        }
        ordered_json f;
        f["type"] = "Feature";
        f["properties"] = {{"track", r.track}, {"cell", c.no}, {"lead_min", r.lead / 60.0},
                           {"valid_time", iso_utc(t.frame.time + r.lead)}, {"area_km2", std::round(r.outlook.area_km2 * 100) / 100},
                           {"motion", r.echo ? "echo" : "track"}};
        f["geometry"] = {{"type", "MultiPolygon"}, {"coordinates", std::move(polygons)}};
        features.push_back(std::move(f));
    }
    ordered_json doc;
    doc["type"] = "FeatureCollection";
    doc["coordinates"] = origin ? "longitude, latitude (WGS 84)" : "km east and north of the grid's origin";
    doc["features"] = std::move(features);
    return doc.dump(1) + '\n';
}

std::string forecast_header(std::span<const double> leads) {
    std::string h;
    for (const double lead : leads) {
        const std::string m = table_number(lead / 60.0, "%g") + "min";
        h += ",x_" + m + "_km,y_" + m + "_km,area_" + m + "_km2";
    }
    return h;
}

std::string forecast_columns(std::span<const ForecastRow> rows, std::size_t cell) {
    std::string out;
    for (const ForecastRow& r : rows)
        if (r.cell == cell)
            out += ',' + table_number(r.outlook.x) + ',' + table_number(r.outlook.y) + ',' +
                   table_number(r.outlook.area_km2, "%.2f");
    return out;
}

std::string radars_json(const std::vector<std::string>& radars, const std::vector<std::string>& missing) {
    nlohmann::ordered_json j;
    j["radars"] = radars;
    j["missing_radars"] = missing;
    return j.dump(2) + '\n';
}

std::string latest_json(const std::string& out, const std::string& name, double time, const std::string& folder,
                        std::size_t cells, std::size_t volumes, const std::string& radars) {
    nlohmann::ordered_json j;
    j["volume"] = name;
    j["time"] = iso_utc(time);
    j["folder"] = "volumes/" + folder;
    j["cells"] = cells;
    j["volumes"] = volumes;
    if (const auto r = nlohmann::ordered_json::parse(radars, nullptr, false); r.is_object())
        for (const char* key : {"radars", "missing_radars"})
            if (r.contains(key)) j[key] = r[key];
    // The analysis' files that are there (a volume without cells has none),
    // the forecasts, and the series'.
    nlohmann::ordered_json files = nlohmann::ordered_json::object();
    for (const char* f : {"cells.csv", "cell_properties.csv", "radar.vti", "plan.png"}) {
        const std::string rel = "volumes/" + folder + "/" + f;
        if (fs::exists(fs::path(out) / rel)) files[f] = rel;
    }
    for (const char* f : {"forecast.csv", "forecast.geojson"}) files[f] = "volumes/" + folder + "/" + f;
    if (!radars.empty()) files["radars.json"] = "volumes/" + folder + "/radars.json";
    for (const char* f : {"tracks.csv", "volumes.csv", "verify.csv"}) files[f] = f;
    j["files"] = std::move(files);
    return j.dump(2) + '\n';
}

}  // namespace velmora::realtime
