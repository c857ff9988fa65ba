#include "scene/wind.h"

#include <netcdf.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "field_ref.h"
#include "io/file_handles.h"

namespace velmora::scene {

namespace {

// At most about 40 arrows across and 8 levels of them.
std::int64_t across_stride(const Volume& v) { return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::max(v.x.size(), v.y.size()) + 39) / 40); }
std::int64_t level_stride(const Volume& v) { return std::max<std::int64_t>(1, static_cast<std::int64_t>(v.z.size() + 7) / 8); }

double spacing(const std::vector<float>& axis) {
    return axis.size() > 1 ? (axis.back() - axis.front()) / static_cast<double>(axis.size() - 1) : 1.0;
}

bool netcdf_has_winds(const std::string& path) {
    NcFile nc;
    if (nc_open(path.c_str(), NC_NOWRITE, &nc.id) != NC_NOERR) return false;
    bool all = true;
    for (const char* name : kWindNames) {
        int id = -1;
        all = all && nc_inq_varid(nc.id, name, &id) == NC_NOERR;
    }
    return all;
}

struct Arrows {
    std::vector<float> xyz, speed;
    std::vector<std::uint32_t> lines;
    std::uint32_t point(float x, float y, float z, float s) {
        xyz.insert(xyz.end(), {x, y, z});
        speed.push_back(s);
        return static_cast<std::uint32_t>(speed.size() - 1);
    }
    // A shaft from p along d and a head of two strokes back from its tip,
    // in the plane of d and the horizontal across it.
    void add(const std::array<float, 3>& p, const std::array<float, 3>& d, float s) {
        const float len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        const std::uint32_t tail = point(p[0], p[1], p[2], s);
        const std::uint32_t tip = point(p[0] + d[0], p[1] + d[1], p[2] + d[2], s);
        lines.insert(lines.end(), {2, tail, tip});
        float ax = -d[1], ay = d[0];
        const float across = std::hypot(ax, ay);
        if (across > 1e-6f * len) ax /= across, ay /= across;
        else ax = 1.0f, ay = 0.0f;
        for (const float side : {1.0f, -1.0f}) {
            const float back = 0.3f, wide = 0.12f * side * len;
            const std::uint32_t h = point(p[0] + (1 - back) * d[0] + wide * ax, p[1] + (1 - back) * d[1] + wide * ay,
                                          p[2] + (1 - back) * d[2], s);
            lines.insert(lines.end(), {2, tip, h});
        }
    }
};

}  // namespace

bool read_winds(vhost::Object& radar, const std::string& path, const Volume& v, long time, std::int64_t max_nodes) {
    const auto ext = path.substr(path.find_last_of('.') + 1);
    if (path.find('.') == std::string::npos || ext == "vti" || !netcdf_has_winds(path)) return false;
    std::vector<Volume> winds;
    try {
        for (const char* name : kWindNames) {
            Volume w = read_volume(path, name, {}, time, max_nodes);
            if (w.x != v.x || w.y != v.y || w.z != v.z) return false;
            if (w.has_null)
                for (float& x : w.values)
                    if (x == w.null_value) x = NAN;
            winds.push_back(std::move(w));
        }
    } catch (const std::runtime_error&) {
        return false;
    }
    vhost::FieldRef f(radar);
    for (std::size_t c = 0; c < winds.size(); ++c) {
        const std::span<float> values = f.add_floats(kWindNames[c], 1, "m/s");
        std::copy(winds[c].values.begin(), winds[c].values.end(), values.begin());
    }
    return true;
}

void add_wind_instances(Json& in, const Volume& v) {
    // 15 m/s spans the distance between two arrows.
    const double per_ms = static_cast<double>(across_stride(v)) * spacing(v.x) / 15.0;
    const double dx = spacing(v.x);
    in["windband"] = {{"module", "ThreshVec"}, {"params", {{"comp", 0}, {"vec_min", 20.0}, {"vec_max", 100.0}}},
                      {"links", {{"in", "radar"}}}};
    in["windscale"] = {{"module", "ScaleVector"},
                       {"params", {{"comp", {1, 2, 3}}, {"thresh_value", -1000.0},
                                   {"fixed_u", per_ms}, {"fixed_v", per_ms}, {"fixed_w", per_ms},
                                   {"disp_u", 1.0}, {"disp_v", 1.0}, {"disp_w", 1.0},
                                   {"arbit_u", 1.0}, {"arbit_v", 1.0}, {"arbit_w", 1.0}}},
                       {"links", {{"in", "windband.out_nd"}}}};
    in["windlegend"] = {{"module", "Legend3DVector"},
                        {"params", {{"active", 1}, {"indexi", static_cast<int>(v.x.size()) - 1}, {"indexj", 0},
                                    {"min", v.z.front()}, {"max", v.z.back()}, {"ndiv", 2}, {"vecmode", 1},
                                    {"veclenx", 10.0}, {"vecleny", 10.0}, {"veclenz", 10.0}, {"format", "%g m/s"},
                                    {"vecloffux", dx}, {"vecloffuy", 0.0}, {"vecloffuz", 0.0},
                                    {"vecloffvx", 0.0}, {"vecloffvy", dx}, {"vecloffvz", 0.0},
                                    {"vecloffwx", 0.0}, {"vecloffwy", 0.0}, {"vecloffwz", dx}}},
                        {"links", {{"in", "radar"}, {"vparam", "windscale"}}}};
}

Json wind_arrows_layer(vhost::Object& scaled, const Volume& v, Pack& pack) {
    vhost::Object* d = scaled.deref();
    if (!d || vhost::FieldRef(*d).ncomp() < 2) return {{"kind", "empty"}};
    vhost::FieldRef f(*d);
    const auto vec = f.float_view(0), speed = f.float_view(1);
    const std::size_t nx = v.x.size(), ny = v.y.size(), nz = v.z.size();
    if (vec.size() < 3 * nx * ny * nz || speed.size() < nx * ny * nz) return {{"kind", "empty"}};
    const auto s = static_cast<std::size_t>(across_stride(v)), sz = static_cast<std::size_t>(level_stride(v));
    Arrows a;
    float top = 0.0f;
    for (std::size_t k = 0; k < nz; k += sz)
        for (std::size_t j = s / 2; j < ny; j += s)
            for (std::size_t i = s / 2; i < nx; i += s) {
                const std::size_t n = i + nx * (j + ny * k);
                const std::array<float, 3> dv{vec[3 * n], vec[3 * n + 1], vec[3 * n + 2]};
                const bool none = dv[0] == 0.0f && dv[1] == 0.0f && dv[2] == 0.0f;
                if (none || !std::isfinite(dv[0] + dv[1] + dv[2]) || !std::isfinite(speed[n])) continue;
                a.add({v.x[i], v.y[j], v.z[k]}, dv, speed[n]);
                top = std::max(top, speed[n]);
            }
    if (a.speed.empty()) return {{"kind", "empty"}};
    Json layer = {{"kind", "mesh"}, {"points", pack.add(std::span<const float>(a.xyz))},
                  {"lines", pack.add(std::span<const std::uint32_t>(a.lines))}};
    layer["components"] = Json::array({{{"label", "speed"}, {"units", "m/s"}, {"veclen", 1},
                                         {"array", pack.add(std::span<const float>(a.speed))}, {"range", {0.0f, top}}}});
    layer["arrows"] = a.speed.size() / 4;
    return layer;
}

}  // namespace velmora::scene
