// The layers the scene shows: the volume, the surface, the slices and every field.
#include "scene/scene.h"

#include <algorithm>
#include <cmath>

#include "field_ref.h"
#include "scene/slices.h"
#include "scene/wind.h"

namespace velmora::scene {

namespace {

vhost::Object& root() { return vhost::host().root(); }

}  // namespace

// The volume: the opacity grid of CreateRainTrans (trans_ze, id 672) with
// the thresholded reflectivity of ThreshMin beside it, on the same nodes.
Json Scene::volume_layer(Pack& pack) {
    vhost::Object& trans = root().at("trans").at("out");
    // The checkerboard is not drawn: only the opacity ramp goes.
    LayerOptions without_lines = options_.layers;
    without_lines.skip.push_back("trans_line");
    Json layer = field_layer(trans, pack, without_lines);
    if (layer["kind"] != "image") return layer;
    vhost::FieldRef shown(root().at("thresh").at("out_nd"));
    vhost::FieldRef radar(root().at("radar"));
    if (shown.ncomp() < 1) return layer;
    vhost::FieldRef geometry(trans);
    // The thresholded values on the grid's geometry, downsampled as the opacity is.
    const auto dims = geometry.dims();
    const std::int64_t s = layer["stride"].get<std::int64_t>();
    const auto v = shown.float_view(0);
    std::vector<float> down;
    if (s > 1) {
        const std::int64_t nx = dims[0], ny = dims[1], nz = dims[2], mx = (nx + s - 1) / s, my = (ny + s - 1) / s;
        down.assign(static_cast<std::size_t>(mx * my * nz), -INFINITY);
        for (std::int64_t k = 0; k < nz; ++k)
            for (std::int64_t j = 0; j < ny; ++j)
                for (std::int64_t i = 0; i < nx; ++i) {
                    float& o = down[static_cast<std::size_t>(i / s + mx * (j / s + my * k))];
                    o = std::max(o, v[static_cast<std::size_t>(i + nx * (j + ny * k))]);
                }
    }
    Json ze = {{"label", radar.label(0)}, {"units", radar.units(0)}, {"veclen", 1},
               {"array", pack.add(s == 1 ? v : std::span<const float>(down))}};
    // Looked up once: each lookup walks the tree by name.
    const bool has_null = shown.null_flag(0);
    const auto null_value = static_cast<float>(shown.null_value(0));
    if (has_null) ze["null"] = shown.null_value(0);
    ze["range"] = Json::array({0.0, 0.0});
    float lo = INFINITY, hi = -INFINITY;
    for (float x : v)
        if (std::isfinite(x) && !(has_null && x == null_value)) lo = std::min(lo, x), hi = std::max(hi, x);
    if (lo <= hi) ze["range"] = {lo, hi};
    layer["components"].push_back(std::move(ze));
    return layer;
}

// The isosurface with DivIsosurf's area number of every node.
Json Scene::surface_layer(Pack& pack) {
    vhost::Object& surface = root().at("surface").at("out");
    Json layer = field_layer(surface, pack, options_.layers);
    if (layer["kind"] != "mesh") return layer;
    vhost::FieldRef areas(root().at("divsurf").at("out_nd"));
    const auto n = static_cast<std::size_t>(vhost::FieldRef(surface).nnodes());
    std::vector<std::int32_t> no = areas.ncomp() > 0 ? areas.int_values(0) : std::vector<std::int32_t>{};
    no.resize(n, 0);
    const auto [lo, hi] = no.empty() ? std::pair{0, 0} : std::pair{*std::min_element(no.begin(), no.end()), *std::max_element(no.begin(), no.end())};
    layer["components"].push_back({{"label", "area_no"}, {"units", ""}, {"veclen", 1}, {"type", "int32"},
                                   {"array", pack.add(std::span<const std::int32_t>(no))}, {"range", {lo, hi}}});
    vhost::FieldRef f(surface);
    std::int64_t triangles = 0;
    for (int c = 0; c < f.ncell_sets(); ++c)
        if (f.cell_type(c) == "Tri") triangles += f.cell_set(c).at("ncells").int_value();
    layer["triangles"] = triangles;
    return layer;
}

// CreateRainSlice's planes, each through the point its transform takes the
// origin to, across the third row of its matrix (row vectors), cut through
// the radar field's full grid. Echo is drawn from the display threshold
// (ThreshMin's), and never below 5 dBZ, where the colour table starts.
Json Scene::slices_layer(Pack& pack) {
    vhost::Object* arr = root().at("slice").child("oplanes");
    vhost::FieldRef radar(root().at("radar"));
    if (!arr || !(arr = arr->deref()) || radar.ncomp() < 1) return {{"kind", "empty"}};
    const auto values = radar.float_view(0);
    const bool has_null = radar.null_flag(0);
    const auto null_value = static_cast<float>(radar.null_value(0));
    vhost::Object* thresh = root().at("thresh").child("thresh_value");
    const float from = std::max(5.0f, thresh ? static_cast<float>(thresh->real_value()) : 5.0f);
    SliceMesh mesh;
    for (const auto& p : arr->children()) {
        vhost::FieldRef f(*p);
        const auto mat = f.xform("mat"), xlate = f.xform("xlate"), centre = f.xform("center");
        if (mat.size() < 16 || xlate.size() < 3 || centre.size() < 3) continue;
        SlicePlane plane{};
        for (int j = 0; j < 3; ++j) {
            plane.normal[j] = mat[8 + j];
            plane.origin[j] = centre[j] + xlate[j];
            for (int i = 0; i < 3; ++i) plane.origin[j] -= centre[i] * mat[i * 4 + j];
        }
        cut_plane(plane, axes_, values, has_null, null_value, from, 4'000'000, mesh);
    }
    return slices_mesh_layer(mesh, radar.label(0), radar.units(0), pack);
}

Json Scene::layer(const LayerEntry& entry, Pack& pack) {
    Json l;
    const bool live = mode_ == "radar";
    if (entry.role == "volume" && live) l = volume_layer(pack);
    else if (entry.role == "surface" && live) l = surface_layer(pack);
    else if (entry.role == "winds") l = wind_arrows_layer(root().at(entry.field), axes_, pack);
    else if (entry.role == "volume") {
        LayerOptions without_cells = options_.layers;
        without_cells.skip.push_back("cell");
        l = field_layer(root().at(entry.field), pack, without_cells);
    }
    else if (entry.role == "slices") l = slices_layer(pack);
    else if (vhost::Object* f = root().find(entry.field)) l = field_layer(*f, pack, options_.layers);
    else l = {{"kind", "empty"}};
    // The cells' numbers label their tops and centres.
    if (live && (entry.role == "tops" || entry.role == "centres") && l["kind"] == "mesh") {
        const auto texts = root().at("cellstat").at("no_label").deref()->strings();
        if (texts.size() == static_cast<std::size_t>(vhost::FieldRef(*root().find(entry.field)).nnodes())) l["texts"] = texts;
    }
    l["role"] = entry.role;
    l["field"] = entry.field;
    return l;
}

}  // namespace velmora::scene
