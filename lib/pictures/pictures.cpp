#include "pictures/pictures.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <stdexcept>

#include "io/cf_time.h"
#include "io/geo.h"
#include "pictures/draw/entry.h"
#include "scene/map.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

// The folder of the host library, wherever that was loaded from (the build
// tree, an installed prefix, the Python package's folder); empty when that
// cannot be told. The caller's run path alone is not enough: a sanitizer's
// runtime that wraps dlopen becomes the caller.
std::string library_dir() {
    Dl_info info{};
    void* host_operation = ::dlsym(RTLD_DEFAULT, "OMfind_subobj");
    if (host_operation && ::dladdr(host_operation, &info) != 0 && info.dli_fname) {
        const std::string host = info.dli_fname;
        const auto slash = host.rfind('/');
        if (slash != std::string::npos) return host.substr(0, slash + 1);
    }
    return {};
}

// The drawing library is beside the host library; by name through the run
// path when that cannot be told.
std::string pictures_path() { return library_dir() + kPicturesLibrary; }

// The drawing library, opened once and kept for the life of the process.
struct Drawing {
    DrawScene scene = nullptr;
    DrawPlan plan = nullptr;
};

const Drawing& drawing() {
    static std::string problem;
    static const Drawing loaded = [] {
        Drawing d;
        void* lib = ::dlopen(pictures_path().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            const char* why = ::dlerror();
            problem = why ? why : kPicturesLibrary;
            return d;
        }
        d.scene = reinterpret_cast<DrawScene>(::dlsym(lib, "velmora_draw_scene"));
        d.plan = reinterpret_cast<DrawPlan>(::dlsym(lib, "velmora_draw_plan"));
        if (!d.scene || !d.plan) problem = std::string(kPicturesLibrary) + " lacks its drawing entries";
        return d;
    }();
    if (!loaded.scene || !loaded.plan) throw std::runtime_error("cannot draw: " + problem);
    return loaded;
}

// Calls a drawing entry; its message, if any, becomes an exception here,
// on this side of the library boundary.
template <class Draw, class What>
PictureLayout draw_with(Draw draw, const What& what, const std::string& path, int width, int height) {
    char problem[512] = "";
    PictureLayout layout;
    if (draw(&what, path.c_str(), width, height, &layout, problem, sizeof problem) != 0) throw std::runtime_error(problem);
    return layout;
}

// A round step in degrees for three to seven ticks over span.
double degree_step(double span) {
    for (double s : {0.05, 0.1, 0.2, 0.25, 0.5, 1.0, 2.0, 5.0, 10.0})
        if (span / s <= 7) return s;
    return 20.0;
}

std::string degrees(double v, double step, bool lon) {
    const int decimals = step >= 1 ? 0 : step >= 0.1 && std::fmod(step * 10, 1.0) < 1e-9 ? 1 : 2;
    if (lon) v = std::remainder(v, 360.0);
    char text[32];
    std::snprintf(text, sizeof text, "%.*f°%c", decimals, std::fabs(v),
                  lon ? (v < 0 ? 'W' : 'E') : (v < 0 ? 'S' : 'N'));
    return text;
}

// Where round longitudes cross the bottom edge (lon: along x from a to b at
// y = at) or round latitudes the left edge (along y at x = at).
std::vector<GeoTick> edge_ticks(const GeoOrigin& origin, double a, double b, double at, bool lon) {
    constexpr int n = 256;
    std::vector<double> x(n), y(n), lat(n), lo(n);
    for (int i = 0; i < n; ++i) {
        const double t = a + (b - a) * i / (n - 1);
        x[static_cast<std::size_t>(i)] = lon ? t : at;
        y[static_cast<std::size_t>(i)] = lon ? at : t;
    }
    geographic(origin, x, y, lat, lo);
    const std::vector<double>& v = lon ? lo : lat;
    const double step = degree_step(std::fabs(v.back() - v.front()));
    std::vector<GeoTick> ticks;
    for (std::size_t i = 0; i + 1 < v.size(); ++i) {
        const double k = std::ceil(std::min(v[i], v[i + 1]) / step) * step;
        if (k > std::max(v[i], v[i + 1]) || (i > 0 && k == std::min(v[i], v[i + 1]) && k == v[i])) continue;
        const double f = v[i + 1] == v[i] ? 0.0 : (k - v[i]) / (v[i + 1] - v[i]);
        const double pos = (lon ? x : y)[i] + f * ((lon ? x : y)[i + 1] - (lon ? x : y)[i]);
        ticks.push_back({pos, degrees(k, step, lon)});
    }
    return ticks;
}

// Every pair of cells whose voxels touch, each voxel against the 13 of its
// 26 neighbours that come after it.
void touching_cells(std::span<const std::int32_t> labels, std::size_t nx, std::size_t ny, std::size_t nz,
                    std::vector<std::vector<int>>& touching) {
    const auto pair = [&](std::int32_t a, std::int32_t b) {
        if (a == b || a <= 0 || b <= 0 || static_cast<std::size_t>(std::max(a, b)) >= touching.size()) return;
        auto& list = touching[static_cast<std::size_t>(a)];
        if (std::find(list.begin(), list.end(), b) == list.end()) {
            list.push_back(b);
            touching[static_cast<std::size_t>(b)].push_back(a);
        }
    };
    for (std::size_t k = 0; k < nz; ++k)
        for (std::size_t j = 0; j < ny; ++j)
            for (std::size_t i = 0; i < nx; ++i) {
                const std::int32_t a = labels[(k * ny + j) * nx + i];
                if (a <= 0) continue;
                for (int dk = 0; dk <= 1; ++dk)
                    for (int dj = -1; dj <= 1; ++dj)
                        for (int di = -1; di <= 1; ++di) {
                            if (dk == 0 && (dj < 0 || (dj == 0 && di <= 0))) continue;   // the other half
                            const auto ii = static_cast<long>(i) + di, jj = static_cast<long>(j) + dj;
                            if (ii < 0 || jj < 0 || ii >= static_cast<long>(nx) || jj >= static_cast<long>(ny) || k + static_cast<std::size_t>(dk) >= nz) continue;
                            pair(a, labels[((k + static_cast<std::size_t>(dk)) * ny + static_cast<std::size_t>(jj)) * nx + static_cast<std::size_t>(ii)]);
                        }
            }
}

}  // namespace

std::string shipped_map_file() {
    const std::string lib = library_dir();
    if (lib.empty()) return {};
    for (const char* at : {"share/velmora/viewer/map.bin", "../share/velmora/viewer/map.bin", "map.bin"}) {
        std::error_code ec;
        const fs::path p = fs::path(lib) / at;
        if (fs::is_regular_file(p, ec)) return p.lexically_normal().string();
    }
    return {};
}

MapContext map_context(const Volume& axes, const std::string& map_file) {
    MapContext c;
    if (axes.time) c.time = iso_utc(*axes.time);
    if (!axes.origin || axes.x.size() < 2 || axes.y.size() < 2) return c;
    // A single radar's grid is laid out about the radar.
    c.radar_km = std::array<double, 2>{0.0, 0.0};
    if (!map_file.empty()) {
        try {
            for (scene::GroundLine& g : scene::map_near(axes, map_file)) {
                MapPath& m = c.map.emplace_back(MapPath{g.kind, {}, {}});
                for (std::size_t i = 0; i + 1 < g.xy.size(); i += 2) {
                    m.x.push_back(g.xy[i]);
                    m.y.push_back(g.xy[i + 1]);
                }
            }
        } catch (const std::exception&) {
            c.map.clear();   // a picture without the map rather than none
        }
    }
    c.lon_ticks = edge_ticks(*axes.origin, axes.x.front(), axes.x.back(), axes.y.front(), true);
    c.lat_ticks = edge_ticks(*axes.origin, axes.y.front(), axes.y.back(), axes.x.front(), false);
    return c;
}

std::vector<int> distinct_colours(std::span<const std::int32_t> labels, std::size_t nx, std::size_t ny, std::size_t nz,
                                  int max_no, int palette) {
    if (labels.size() != nx * ny * nz) throw std::invalid_argument("cell colours: the labels do not match the grid");
    const auto n = static_cast<std::size_t>(std::max(0, max_no) + 1);
    std::vector<std::vector<int>> touching(n);
    touching_cells(labels, nx, ny, nz, touching);
    // The cells with most neighbours first (Welsh and Powell): a cell
    // touching many is coloured before its neighbours have used the palette up.
    std::vector<std::size_t> order(n > 0 ? n - 1 : 0);
    std::iota(order.begin(), order.end(), std::size_t{1});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return touching[a].size() > touching[b].size(); });
    std::vector<int> colour(n, -1);
    for (const std::size_t no : order) {
        std::vector<bool> taken(static_cast<std::size_t>(palette), false);
        for (int other : touching[no])
            if (colour[static_cast<std::size_t>(other)] >= 0) taken[static_cast<std::size_t>(colour[static_cast<std::size_t>(other)])] = true;
        // The palette in turn, passing over the colours of the cells it
        // touches; with more neighbours than colours, its turn's.
        const int turn = static_cast<int>((no - 1) % static_cast<std::size_t>(palette));
        colour[no] = turn;
        for (int k = 0; k < palette; ++k)
            if (!taken[static_cast<std::size_t>((turn + k) % palette)]) {
                colour[no] = (turn + k) % palette;
                break;
            }
    }
    if (n > 0) colour[0] = 0;
    return colour;
}

PictureLayout render_png(const Scene& scene, const std::string& path, int width, int height) {
    if (scene.triangles.size() % 3 != 0 || scene.node_cell.size() * 3 != scene.coord.size())
        throw std::invalid_argument("3-D picture: the surface's nodes, cells and triangles do not match");
    return draw_with(drawing().scene, scene, path, width, height);
}

PictureLayout render_plan_png(const PlanView& plan, const std::string& path, int width, int height) {
    const size_t nx = plan.x.size(), ny = plan.y.size();
    if (nx == 0 || ny == 0 || plan.column_max.size() != nx * ny || plan.plan.size() != nx * ny)
        throw std::invalid_argument("plan view: the columns do not match the grid");
    return draw_with(drawing().plan, plan, path, width, height);
}

}  // namespace velmora
