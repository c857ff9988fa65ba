#include "analysis/track_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>

#include "io/cf_time.h"
#include "io/table.h"

namespace velmora {

namespace {

// The columns the track's own hold.
bool own_column(const std::string& name) {
    for (const char* c : {"cell", "voxels", "volume_km3", "top_km", "max_dbz", "x_km", "y_km", "z_km", "parent"})
        if (name == c) return true;
    return false;
}

}  // namespace

std::string table_number(double v, const char* format) {
    if (!std::isfinite(v)) return "";
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

TrackTable::TrackTable(const PropertyTable& first_with_cells) {
    for (const PropertyColumn& c : property_columns(first_with_cells))
        if (!own_column(c.name)) extra_.push_back(c.name);
}

std::string TrackTable::header() const {
    std::string h = "track,time,cell,x_km,y_km,z_km,voxels,volume_km3,top_km,max_dbz,u_ms,v_ms,parent,event,source";
    for (const auto& name : extra_) h += ',' + csv_field(name);
    return h;
}

std::vector<CellText> TrackTable::texts(const tracking::Frame& f, const std::string& source,
                                        const PropertyTable& properties, bool timed) const {
    std::map<std::string, std::vector<double>> by_name;
    for (PropertyColumn& c : property_columns(properties)) by_name[c.name] = std::move(c.values);
    const std::string time = timed ? iso_utc(f.time) : std::string();
    const std::string file = std::filesystem::path(source).filename().string();
    std::vector<CellText> out;
    for (const tracking::Cell& c : f.cells) {
        CellText t;
        t.middle = time + ',' + std::to_string(c.no) + ',' + table_number(c.x) + ',' + table_number(c.y) + ',' +
                   table_number(c.z) + ',' + std::to_string(c.voxels) + ',' + table_number(c.volume_km3) + ',' +
                   table_number(c.top_km, "%.2f") + ',' + table_number(c.max_dbz, "%.2f");
        t.tail = csv_field(file);
        // The cell's row of its volume's property table (cells are in number order there too).
        const auto& table = properties.cells;
        const auto at = std::find_if(table.begin(), table.end(), [&](const CellProperties& p) { return p.cell == c.no; });
        for (const auto& name : extra_) {
            t.tail += ',';
            const auto col = by_name.find(name);
            if (at == table.end() || col == by_name.end()) continue;
            const double v = col->second[static_cast<std::size_t>(at - table.begin())];
            if (!std::isnan(v)) t.tail += table_number(v, "%.8g");
        }
        out.push_back(std::move(t));
    }
    return out;
}

std::string TrackTable::line(const tracking::Row& r, const CellText& t) {
    return std::to_string(r.track) + ',' + t.middle + ',' + table_number(r.u, "%.2f") + ',' +
           table_number(r.v, "%.2f") + ',' + (r.parent ? std::to_string(r.parent) : std::string()) + ',' +
           tracking::event_name(r.event) + ',' + t.tail;
}

std::string volumes_header() { return "volume,time,cells,folder,echo_u_ms,echo_v_ms"; }

std::string volume_line(const std::string& volume, std::optional<double> time, std::size_t cells,
                        const std::string& folder, const tracking::EchoMotion& echo) {
    const std::string file = std::filesystem::path(volume).filename().string();
    return csv_field(file) + ',' + (time && std::isfinite(*time) ? iso_utc(*time) : std::string()) + ',' +
           std::to_string(cells) + ',' + csv_field(folder) + ',' + table_number(echo.u, "%.2f") + ',' +
           table_number(echo.v, "%.2f");
}

}  // namespace velmora
