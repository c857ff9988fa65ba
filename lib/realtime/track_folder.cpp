#include "realtime/track_folder.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "io/cf_time.h"
#include "io/output_files.h"
#include "io/table.h"
#include "io/volume.h"

namespace velmora::realtime {

namespace fs = std::filesystem;

namespace {

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
void read_cells(const Table& tracks, std::size_t first, std::size_t count, const std::string& folder,
                tracking::TrackedFrame& t, tracking::Plane& plane) {
    auto columns = count ? footprints((fs::path(folder) / "radar.vti").string(), plane)
                         : std::map<int, std::vector<std::int32_t>>{};
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t r = first + k;
        tracking::Cell c;
        c.no = static_cast<int>(tracks.integer(r, "cell"));
        c.x = tracks.number(r, "x_km"), c.y = tracks.number(r, "y_km"), c.z = tracks.number(r, "z_km");
        c.voxels = static_cast<int>(tracks.integer(r, "voxels"));
        c.volume_km3 = tracks.number(r, "volume_km3");
        c.top_km = tracks.number(r, "top_km");
        c.max_dbz = tracks.number(r, "max_dbz");
        c.columns = std::move(columns[c.no]);
        const bool parent = !tracks.field(r, "parent").empty();
        t.rows.push_back({0, k, static_cast<int>(tracks.integer(r, "track")), tracks.number(r, "u_ms"),
                          tracks.number(r, "v_ms"), parent ? static_cast<int>(tracks.integer(r, "parent")) : 0,
                          event_of(tracks.field(r, "event"))});
        t.frame.cells.push_back(std::move(c));
    }
}

// A table of the folder; std::runtime_error saying what is missing.
Table folder_table(const std::string& dir, const char* name) {
    const std::string path = (fs::path(dir) / name).string();
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        throw std::runtime_error(path + ": cannot be read (a folder of velmora track or velmora watch has it)");
    return read_table(path);
}

}  // namespace

TrackFolder read_track_folder(const std::string& dir, double interval) {
    const Table volumes = folder_table(dir, "volumes.csv");
    const Table tracks = folder_table(dir, "tracks.csv");
    TrackFolder out;
    std::size_t line = 0;
    for (std::size_t k = 0; k < volumes.rows.size(); ++k) {
        tracking::TrackedFrame t;
        const std::string& time = volumes.field(k, "time");
        const auto seconds = time.empty() ? std::nullopt : cf_seconds("seconds since " + time, "", 0.0);
        if (!time.empty() && !seconds) throw std::runtime_error(volumes.name + ": time \"" + time + "\" is not ISO 8601");
        t.frame.time = seconds.value_or(double(k) * interval);
        t.echo = {volumes.number(k, "echo_u_ms"), volumes.number(k, "echo_v_ms")};
        const long long cells = volumes.integer(k, "cells");
        if (cells < 0) throw std::runtime_error(volumes.name + ": a volume of " + std::to_string(cells) + " cells");
        const auto count = static_cast<std::size_t>(cells);
        if (line + count > tracks.rows.size())
            throw std::runtime_error(dir + ": tracks.csv has fewer cells than volumes.csv counts");
        const std::string& name = volumes.field(k, "folder");
        check_volume_folder(name, volumes.name);
        const std::string folder = (fs::path(dir) / "volumes" / name).string();
        read_cells(tracks, line, count, folder, t, out.plane);
        for (auto& r : t.rows) r.frame = k;
        line += count;
        out.volumes.push_back(volumes.field(k, "volume"));
        out.series.push_back(std::move(t));
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
