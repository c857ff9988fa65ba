#include "realtime/storm_relative.h"

#include <cmath>
#include <filesystem>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "io/output_files.h"

namespace velmora::realtime {

namespace fs = std::filesystem;

namespace {

// The motion the track of row r has into the first later volume it is in.
std::optional<polar::Wind> next_motion(const Table& tracks, std::size_t r) {
    const std::string& track = tracks.at(r, "track");
    for (std::size_t n = r + 1; n < tracks.rows.size(); ++n)
        if (tracks.at(n, "track") == track && tracks.at(n, "time") != tracks.at(r, "time")) {
            const double u = tracks.number(n, "u_ms"), v = tracks.number(n, "v_ms");
            if (std::isfinite(u) && std::isfinite(v)) return polar::Wind{u, v};
            return std::nullopt;
        }
    return std::nullopt;
}

}  // namespace

std::optional<polar::StormMotion> volume_motion(const Table& tracks, const std::string& source, const std::string& time,
                                                std::optional<polar::Wind> echo) {
    std::vector<polar::CellMotion> cells;
    double u = 0, v = 0;
    std::size_t own = 0;
    for (std::size_t r = 0; r < tracks.rows.size(); ++r) {
        if (tracks.at(r, "source") != source || tracks.at(r, "time") != time) continue;
        polar::CellMotion c;
        c.x = tracks.number(r, "x_km"), c.y = tracks.number(r, "y_km");
        const double area = tracks.column("area_km2") >= 0 ? tracks.number(r, "area_km2") : NAN;
        c.radius = std::isfinite(area) && area > 0 ? std::sqrt(area / std::numbers::pi) : 0.0;
        c.motion = {tracks.number(r, "u_ms"), tracks.number(r, "v_ms")};
        if (std::isfinite(c.motion.u) && std::isfinite(c.motion.v)) {
            u += c.motion.u, v += c.motion.v, ++own;
        } else if (const auto next = next_motion(tracks, r)) {
            c.motion = *next;
        } else {
            continue;
        }
        if (std::isfinite(c.x) && std::isfinite(c.y)) cells.push_back(c);
    }
    std::optional<polar::Wind> background = echo;
    if (own > 0) background = polar::Wind{u / static_cast<double>(own), v / static_cast<double>(own)};
    else if (!background && !cells.empty()) {
        for (const polar::CellMotion& c : cells) u += c.motion.u, v += c.motion.v;
        background = polar::Wind{u / static_cast<double>(cells.size()), v / static_cast<double>(cells.size())};
    }
    if (!background) return std::nullopt;
    return polar::StormMotion(*background, std::move(cells));
}

namespace {

// Volume k of volumes, velocity.nc of its folder less the motions of its cells.
std::optional<Volume> of_row(const std::string& dir, const Table& volumes, std::size_t k) {
    const std::string& folder = volumes.at(k, "folder");
    check_volume_folder(folder, dir + "/volumes.csv");
    const fs::path velocity = fs::path(dir) / "volumes" / folder / "velocity.nc";
    std::error_code ec;
    if (!fs::is_regular_file(velocity, ec)) return std::nullopt;
    std::optional<polar::Wind> echo;
    const double eu = volumes.column("echo_u_ms") >= 0 ? volumes.number(k, "echo_u_ms") : NAN;
    const double ev = volumes.column("echo_v_ms") >= 0 ? volumes.number(k, "echo_v_ms") : NAN;
    if (std::isfinite(eu) && std::isfinite(ev)) echo = polar::Wind{eu, ev};
    const auto motion = volume_motion(read_table((fs::path(dir) / "tracks.csv").string()), volumes.at(k, "volume"),
                                      volumes.at(k, "time"), echo);
    if (!motion) return std::nullopt;
    polar::VelocityGrid v = polar::read_velocity_grid(velocity.string());
    polar::storm_relative(v.grid, *motion, v.radar_x, v.radar_y);
    v.grid.name = kStormRelative;
    return std::move(v.grid);
}

}  // namespace

std::optional<Volume> storm_relative_volume(const std::string& dir, std::size_t k) {
    const Table volumes = read_table((fs::path(dir) / "volumes.csv").string());
    if (k >= volumes.rows.size())
        throw std::runtime_error(dir + " has no volume " + std::to_string(k) + " (" + std::to_string(volumes.rows.size()) +
                                 " volumes)");
    return of_row(dir, volumes, k);
}

std::optional<Volume> storm_relative_volume(const std::string& dir, const std::string& folder) {
    const Table volumes = read_table((fs::path(dir) / "volumes.csv").string());
    for (std::size_t k = 0; k < volumes.rows.size(); ++k)
        if (volumes.at(k, "folder") == folder) return of_row(dir, volumes, k);
    throw std::runtime_error(dir + "/volumes.csv lists no volume in the folder \"" + folder + "\"");
}

}  // namespace velmora::realtime
