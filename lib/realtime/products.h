// What a watcher writes per volume and for the series, as text: each
// volume's forecast.csv and forecast.geojson, the forecast columns of
// tracks.csv, and latest.json naming the newest volume's products.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/geo.h"
#include "realtime/state_store.h"

namespace velmora::realtime {

// The forecasts of a volume's cells at each lead, in cell then lead order.
std::vector<ForecastRow> forecast_rows(const tracking::TrackedFrame& t, std::span<const tracking::Trend> trends,
                                       std::span<const double> leads);

// forecast.csv: track, cell, lead_min, valid_time, x_km, y_km, lat, lon
// (empty without an origin), area_km2, volume_km3, top_km, max_dbz, u_ms,
// v_ms, motion (track or echo).
std::string forecast_csv(const tracking::TrackedFrame& t, std::span<const ForecastRow> rows,
                         const std::optional<GeoOrigin>& origin);

// forecast.geojson: a feature per cell and lead, the forecast footprint's
// outline in lon/lat where the grid has an origin, in km east and north of
// the grid's origin otherwise.
std::string forecast_geojson(const tracking::TrackedFrame& t, std::span<const ForecastRow> rows,
                             const tracking::Plane& plane, const std::optional<GeoOrigin>& origin);

// tracks.csv's forecast columns: x, y and area at each lead.
std::string forecast_header(std::span<const double> leads);
std::string forecast_columns(std::span<const ForecastRow> rows, std::size_t cell);

// A network's volume's radars.json: the radars whose volumes made its
// mosaic, and those whose volumes did not come.
std::string radars_json(const std::vector<std::string>& radars, const std::vector<std::string>& missing);

// latest.json for the newest volume: its name, time, folder, cells and
// products (paths within out); of a network's, its radars.json's radars and
// missing radars too.
std::string latest_json(const std::string& out, const std::string& name, double time, const std::string& folder,
                        std::size_t cells, std::size_t volumes, const std::string& radars = {});

}  // namespace velmora::realtime
