#include "realtime/track_folder.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "io/cf_time.h"
#include "io/volume.h"

namespace velmora::realtime {

namespace fs = std::filesystem;

std::vector<std::string> csv_fields(const std::string& line) {
    std::vector<std::string> out(1);
    for (const char c : line) {
        if (c == ',') out.emplace_back();
        else if (c != '\r') out.back() += c;
    }
    return out;
}

namespace {

// A CSV file as its header's columns and its lines' fields.
struct Csv {
    std::string path;
    std::map<std::string, std::size_t> column;
    std::vector<std::vector<std::string>> rows;

    std::size_t at(const std::string& name) const {
        const auto c = column.find(name);
        if (c == column.end()) throw std::runtime_error(path + ": no column " + name);
        return c->second;
    }
    double number(std::size_t row, const std::string& name) const {
        const std::string& v = rows[row][at(name)];
        return v.empty() ? NAN : std::stod(v);
    }
};

Csv read_csv(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(path + ": cannot be read (a folder of velmora track or velmora watch has it)");
    Csv csv{path, {}, {}};
    std::string line;
    std::getline(in, line);
    const auto names = csv_fields(line);
    for (std::size_t k = 0; k < names.size(); ++k) csv.column[names[k]] = k;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        csv.rows.push_back(csv_fields(line));
        if (csv.rows.back().size() < names.size())
            throw std::runtime_error(path + ": line " + std::to_string(csv.rows.size() + 1) + " has too few fields");
    }
    return csv;
}

tracking::Event event_of(const std::string& name) {
    using enum tracking::Event;
    for (const auto e : {Start, Continue, Split, Merge, End})
        if (name == tracking::event_name(e)) return e;
    throw std::runtime_error("no event \"" + name + "\"");
}

// The columns of each cell of a volume, from the cell of every voxel.
std::map<int, std::vector<std::int32_t>> footprints(const std::string& vti, tracking::Plane& plane) {
    const Volume v = read_volume(vti, "cell");
    if (plane.x.empty()) plane = {v.x, v.y};
    else if (plane.x != v.x || plane.y != v.y) throw std::runtime_error(vti + ": another grid than the series'");
    const std::size_t columns = v.x.size() * v.y.size();
    std::map<int, std::vector<std::int32_t>> of;
    for (std::size_t n = 0; n < v.values.size(); ++n) {
        const float no = v.values[n];
        if (no > 0) of[static_cast<int>(no)].push_back(static_cast<std::int32_t>(n % columns));
    }
    for (auto& [no, list] : of) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    return of;
}

// The cells of tracks.csv's lines first .. first + count - 1 as one frame.
void read_cells(const Csv& tracks, std::size_t first, std::size_t count, const std::string& folder,
                tracking::TrackedFrame& t, tracking::Plane& plane) {
    auto columns = count ? footprints((fs::path(folder) / "radar.vti").string(), plane)
                         : std::map<int, std::vector<std::int32_t>>{};
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t r = first + k;
        tracking::Cell c;
        c.no = std::stoi(tracks.rows[r][tracks.at("cell")]);
        c.x = tracks.number(r, "x_km"), c.y = tracks.number(r, "y_km"), c.z = tracks.number(r, "z_km");
        c.voxels = std::stoi(tracks.rows[r][tracks.at("voxels")]);
        c.volume_km3 = tracks.number(r, "volume_km3");
        c.top_km = tracks.number(r, "top_km");
        c.max_dbz = tracks.number(r, "max_dbz");
        c.columns = std::move(columns[c.no]);
        const std::string& parent = tracks.rows[r][tracks.at("parent")];
        t.rows.push_back({0, k, std::stoi(tracks.rows[r][tracks.at("track")]), tracks.number(r, "u_ms"),
                          tracks.number(r, "v_ms"), parent.empty() ? 0 : std::stoi(parent),
                          event_of(tracks.rows[r][tracks.at("event")])});
        t.frame.cells.push_back(std::move(c));
    }
}

}  // namespace

TrackFolder read_track_folder(const std::string& dir, double interval) {
    const Csv volumes = read_csv((fs::path(dir) / "volumes.csv").string());
    const Csv tracks = read_csv((fs::path(dir) / "tracks.csv").string());
    TrackFolder out;
    std::size_t line = 0;
    try {
        for (std::size_t k = 0; k < volumes.rows.size(); ++k) {
            tracking::TrackedFrame t;
            const std::string& time = volumes.rows[k][volumes.at("time")];
            const auto seconds = time.empty() ? std::nullopt : cf_seconds("seconds since " + time, "", 0.0);
            if (!time.empty() && !seconds) throw std::runtime_error("time \"" + time + "\" is not ISO 8601");
            t.frame.time = seconds.value_or(double(k) * interval);
            t.echo = {volumes.number(k, "echo_u_ms"), volumes.number(k, "echo_v_ms")};
            const std::size_t count = std::stoul(volumes.rows[k][volumes.at("cells")]);
            if (line + count > tracks.rows.size())
                throw std::runtime_error("tracks.csv has fewer cells than volumes.csv counts");
            const std::string folder = (fs::path(dir) / "volumes" / volumes.rows[k][volumes.at("folder")]).string();
            read_cells(tracks, line, count, folder, t, out.plane);
            for (auto& r : t.rows) r.frame = k;
            line += count;
            out.volumes.push_back(volumes.rows[k][volumes.at("volume")]);
            out.series.push_back(std::move(t));
        }
    } catch (const std::logic_error& e) {   // std::stoi and friends
        throw std::runtime_error(dir + ": a number of volumes.csv or tracks.csv cannot be read (" + e.what() + ")");
    }
    if (line != tracks.rows.size()) throw std::runtime_error(dir + ": tracks.csv has more cells than volumes.csv counts");
    return out;
}

std::vector<tracking::VerificationRow> verify_folder(const std::string& dir, std::span<const double> leads,
                                                     const tracking::TrendSettings& s, double interval) {
    const TrackFolder folder = read_track_folder(dir, interval);
    std::vector<double> times;
    for (const auto& t : folder.series) times.push_back(t.frame.time);
    return tracking::verify_series(folder.series, leads, folder.plane, s, 0.5 * tracking::usual_interval(times));
}

}  // namespace velmora::realtime
