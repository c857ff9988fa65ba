#include "scene/layers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <unordered_map>

#include "field_ref.h"
#include "io/vtk_data.h"
#include "om.h"

namespace velmora::scene {

namespace {

using vhost::FieldRef;
using vhost::Object;

// The transform of a field, when it is not the identity: a point p goes to
// (p - center) mat + center + xlate, mat applied to row vectors.
void add_xform(FieldRef& f, Json& layer) {
    const auto mat = f.xform("mat");
    const auto xlate = f.xform("xlate");
    const auto center = f.xform("center");
    const std::array<float, 16> identity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const bool moved = std::any_of(xlate.begin(), xlate.end(), [](float v) { return v != 0.0f; });
    if (mat.size() == 16 && !moved && std::equal(mat.begin(), mat.end(), identity.begin())) return;
    if (mat.size() != 16 || xlate.size() != 3 || center.size() != 3) return;
    layer["xform"] = {{"mat", mat}, {"xlate", xlate}, {"center", center}};
}

Json range_of(std::span<const float> v, bool has_null, float null_value) {
    float lo = INFINITY, hi = -INFINITY;
    for (float x : v) {
        if (!std::isfinite(x) || (has_null && x == null_value)) continue;
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    if (lo > hi) return Json::array({0.0, 0.0});
    return Json::array({lo, hi});
}

Json component_meta(FieldRef& f, int c) {
    Json m = {{"label", f.label(c)}, {"units", f.units(c)}, {"veclen", f.veclen(c)}};
    if (f.null_flag(c)) m["null"] = f.null_value(c);
    Object& comp = f.component(c);
    if (Object* id = comp.child("id"); id && id->has_value()) m["id"] = id->int_value();
    return m;
}

// Float and int components, as they are (the image's are downsampled by
// the caller); int ones go as int32.
bool skipped(FieldRef& f, int c, const LayerOptions& o) {
    return std::find(o.skip.begin(), o.skip.end(), f.label(c)) != o.skip.end();
}

void add_components(FieldRef& f, Json& layer, Pack& pack, const LayerOptions& o) {
    Json comps = Json::array();
    const auto n = static_cast<std::size_t>(f.nnodes());
    for (int c = 0; c < f.ncomp(); ++c) {
        const int veclen = f.veclen(c);
        if (veclen < 1 || veclen > 3 || skipped(f, c, o)) continue;
        Json m = component_meta(f, c);
        if (auto v = f.float_view(c); v.size() >= n * static_cast<std::size_t>(veclen) && n > 0) {
            v = v.first(n * static_cast<std::size_t>(veclen));
            m["array"] = pack.add(v);
            m["range"] = range_of(v, f.null_flag(c), static_cast<float>(f.null_value(c)));
        } else if (auto iv = f.int_view(c); iv.size() >= n * static_cast<std::size_t>(veclen) && n > 0) {
            iv = iv.first(n * static_cast<std::size_t>(veclen));
            m["array"] = pack.add(iv);
            const auto [lo, hi] = std::minmax_element(iv.begin(), iv.end());
            m["range"] = {*lo, *hi};
            m["type"] = "int32";
        } else {
            continue;
        }
        comps.push_back(std::move(m));
    }
    layer["components"] = std::move(comps);
}

// The largest value of each block of s x s nodes of every level (missing
// values only where the whole block misses).
std::vector<float> block_max(std::span<const float> v, std::int64_t nx, std::int64_t ny, std::int64_t nz, std::int64_t s,
                             bool has_null, float null_value) {
    const std::int64_t mx = (nx + s - 1) / s, my = (ny + s - 1) / s;
    std::vector<float> out(static_cast<std::size_t>(mx * my * nz), has_null ? null_value : NAN);
    for (std::int64_t k = 0; k < nz; ++k)
        for (std::int64_t j = 0; j < ny; ++j)
            for (std::int64_t i = 0; i < nx; ++i) {
                const float x = v[static_cast<std::size_t>(i + nx * (j + ny * k))];
                if ((has_null && x == null_value) || std::isnan(x)) continue;
                float& o = out[static_cast<std::size_t>(i / s + mx * (j / s + my * k))];
                if ((has_null && o == null_value) || std::isnan(o) || x > o) o = x;
            }
    return out;
}

Json image_layer(FieldRef& f, Pack& pack, const LayerOptions& o) {
    const auto dims = f.dims();
    const auto pts = f.points();
    const std::int64_t nx = dims[0], ny = dims[1], nz = dims[2];
    std::int64_t s = 1;
    while ((nx / s) * (ny / s) * nz > o.max_voxels && s < nx && s < ny) ++s;
    const std::int64_t mx = (nx + s - 1) / s, my = (ny + s - 1) / s;
    Json layer = {{"kind", "image"}, {"dims", {mx, my, nz}}, {"full_dims", dims}, {"stride", s}};
    std::array<double, 3> origin{}, spacing{};
    for (int a = 0; a < 3; ++a) {
        origin[a] = pts[a];
        spacing[a] = dims[a] > 1 ? (pts[3 + a] - pts[a]) / static_cast<double>(dims[a] - 1) : 1.0;
    }
    spacing[0] *= static_cast<double>(s);
    spacing[1] *= static_cast<double>(s);
    layer["origin"] = origin;
    layer["spacing"] = spacing;
    if (s == 1) {
        add_components(f, layer, pack, o);
        return layer;
    }
    Json comps = Json::array();
    for (int c = 0; c < f.ncomp(); ++c) {
        auto v = f.float_view(c);
        if (f.veclen(c) != 1 || v.size() < static_cast<std::size_t>(nx * ny * nz) || skipped(f, c, o)) continue;
        Json m = component_meta(f, c);
        const auto down = block_max(v, nx, ny, nz, s, f.null_flag(c), static_cast<float>(f.null_value(c)));
        m["array"] = pack.add(std::span<const float>(down));
        m["range"] = range_of(v, f.null_flag(c), static_cast<float>(f.null_value(c)));
        comps.push_back(std::move(m));
    }
    layer["components"] = std::move(comps);
    return layer;
}


// Cells in vtk.js's form: the node count of each cell, then its nodes.
struct CellLists {
    std::vector<std::uint32_t> verts, lines, polys;
    void add(std::vector<std::uint32_t>& list, std::initializer_list<std::int64_t> nodes) {
        list.push_back(static_cast<std::uint32_t>(nodes.size()));
        for (auto n : nodes) list.push_back(static_cast<std::uint32_t>(n));
    }
};

// The faces of a solid cell type, by the positions of their nodes.
const std::vector<std::vector<int>>& solid_faces(const std::string& type) {
    static const std::map<std::string, std::vector<std::vector<int>>> faces = {
        {"Tet", {{0, 1, 2}, {0, 1, 3}, {1, 2, 3}, {0, 2, 3}}},
        {"Pyr", {{0, 1, 2, 3}, {0, 1, 4}, {1, 2, 4}, {2, 3, 4}, {3, 0, 4}}},
        {"Prism", {{0, 1, 2}, {3, 4, 5}, {0, 1, 4, 3}, {1, 2, 5, 4}, {2, 0, 3, 5}}},
        {"Hex", {{0, 1, 2, 3}, {4, 5, 6, 7}, {0, 1, 5, 4}, {1, 2, 6, 5}, {2, 3, 7, 6}, {3, 0, 4, 7}}}};
    static const std::vector<std::vector<int>> none;
    auto it = faces.find(type);
    return it == faces.end() ? none : it->second;
}

// The outer faces of solid cells: those no two cells share.
class Boundary {
public:
    void add(const std::int64_t* nodes, const std::vector<int>& face) {
        std::array<std::int64_t, 4> key{-1, -1, -1, -1};
        for (std::size_t i = 0; i < face.size(); ++i) key[i] = nodes[face[i]];
        std::sort(key.begin(), key.begin() + static_cast<long>(face.size()));
        auto [it, fresh] = seen_.try_emplace(key, faces_.size());
        if (!fresh) {
            shared_[it->second] = true;
            return;
        }
        std::vector<std::int64_t> f;
        for (int i : face) f.push_back(nodes[i]);
        faces_.push_back(std::move(f));
        shared_.push_back(false);
    }
    void emit(CellLists& out) const {
        for (std::size_t i = 0; i < faces_.size(); ++i) {
            if (shared_[i]) continue;
            out.polys.push_back(static_cast<std::uint32_t>(faces_[i].size()));
            for (auto n : faces_[i]) out.polys.push_back(static_cast<std::uint32_t>(n));
        }
    }

private:
    struct KeyHash {
        std::size_t operator()(const std::array<std::int64_t, 4>& k) const {
            std::size_t h = 1469598103934665603ull;
            for (auto v : k) h = (h ^ static_cast<std::size_t>(v)) * 1099511628211ull;
            return h;
        }
    };
    std::unordered_map<std::array<std::int64_t, 4>, std::size_t, KeyHash> seen_;
    std::vector<std::vector<std::int64_t>> faces_;
    std::vector<bool> shared_;
};

void cell_set_cells(FieldRef& f, CellLists& out) {
    Boundary boundary;
    for (int s = 0; s < f.ncell_sets(); ++s) {
        const std::string type = f.cell_type(s);
        if (type == "Polyline") {
            const auto pc = f.poly_connect(s);
            for (std::size_t p = 0; p + 1 < pc.size(); p += 2) {
                out.lines.push_back(static_cast<std::uint32_t>(pc[p + 1] - pc[p] + 1));
                for (auto n = pc[p]; n <= pc[p + 1]; ++n) out.lines.push_back(static_cast<std::uint32_t>(n));
            }
            continue;
        }
        const int per = vhost::cell_type_nodes(type);
        const auto c = f.connect(s);
        if (per < 1) continue;
        for (std::size_t i = 0; i + static_cast<std::size_t>(per) <= c.size(); i += static_cast<std::size_t>(per)) {
            const std::int64_t* n = c.data() + i;
            if (type == "Point") out.add(out.verts, {n[0]});
            else if (type == "Line") out.add(out.lines, {n[0], n[1]});
            else if (type == "Tri") out.add(out.polys, {n[0], n[1], n[2]});
            else if (type == "Quad") out.add(out.polys, {n[0], n[1], n[2], n[3]});
            else for (const auto& face : solid_faces(type)) boundary.add(n, face);
        }
    }
    boundary.emit(out);
}

// A structured grid: a line, every quadrilateral of a surface, or the
// quadrilaterals of the six sides of a block.
void grid_cells(const std::vector<std::int64_t>& dims, CellLists& out) {
    const std::int64_t nx = dims[0], ny = dims.size() > 1 ? dims[1] : 1, nz = dims.size() > 2 ? dims[2] : 1;
    const auto at = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return i + nx * (j + ny * k); };
    if (dims.size() == 1) {
        out.lines.push_back(static_cast<std::uint32_t>(nx));
        for (std::int64_t i = 0; i < nx; ++i) out.lines.push_back(static_cast<std::uint32_t>(i));
        return;
    }
    // Sides: (fixed axis, fixed index); a surface is its one side k = 0.
    std::vector<std::pair<int, std::int64_t>> sides{{2, 0}};
    if (dims.size() == 3) sides = {{0, 0}, {0, nx - 1}, {1, 0}, {1, ny - 1}, {2, 0}, {2, nz - 1}};
    for (const auto& side : sides) {
        // Plain copies: clang 14 (the fuzz build) lets no lambda capture a structured binding.
        const int axis = side.first;
        const std::int64_t fixed = side.second;
        const std::int64_t na = axis == 0 ? ny : nx, nb = axis == 2 ? ny : nz;
        for (std::int64_t b = 0; b + 1 < nb; ++b)
            for (std::int64_t a = 0; a + 1 < na; ++a) {
                auto node = [&](std::int64_t da, std::int64_t db) {
                    if (axis == 0) return at(fixed, a + da, b + db);
                    if (axis == 1) return at(a + da, fixed, b + db);
                    return at(a + da, b + db, fixed);
                };
                out.add(out.polys, {node(0, 0), node(1, 0), node(1, 1), node(0, 1)});
            }
    }
}

Json mesh_layer(Object& field, FieldRef& f, Pack& pack, const LayerOptions& o) {
    Json layer = {{"kind", "mesh"}};
    const std::int64_t n = f.nnodes();
    const int ns = f.nspace();
    const auto c = field_coordinates(field);
    std::vector<float> xyz(static_cast<std::size_t>(3 * n), 0.0f);
    for (std::int64_t p = 0; p < n; ++p)
        for (int a = 0; a < 3 && a < ns; ++a)
            if (auto at = static_cast<std::size_t>(p * ns + a); at < c.size()) xyz[static_cast<std::size_t>(3 * p + a)] = c[at];
    layer["points"] = pack.add(std::span<const float>(xyz));
    CellLists cells;
    if (f.ncell_sets() > 0) cell_set_cells(f, cells);
    else if (!f.dims().empty() && f.dims().size() >= 1 && n > 1) grid_cells(f.dims(), cells);
    else for (std::int64_t p = 0; p < n; ++p) cells.add(cells.verts, {p});
    if (!cells.verts.empty()) layer["verts"] = pack.add(std::span<const std::uint32_t>(cells.verts));
    if (!cells.lines.empty()) layer["lines"] = pack.add(std::span<const std::uint32_t>(cells.lines));
    if (!cells.polys.empty()) layer["polys"] = pack.add(std::span<const std::uint32_t>(cells.polys));
    add_components(f, layer, pack, o);
    if (auto texts = node_texts(field); !texts.empty()) layer["texts"] = texts;
    return layer;
}

}  // namespace

Json field_layer(Object& field, Pack& pack, const LayerOptions& options) {
    Object* d = field.deref();
    if (!d || d->kind() != vhost::Kind::Field) return {{"kind", "empty"}};
    FieldRef f(*d);
    if (f.nnodes() < 1) return {{"kind", "empty"}};
    const auto dims = f.dims();
    const bool uniform = d->child("uniform") && d->at("uniform").int_value() == 1;
    Json layer;
    if (uniform && dims.size() == 3 && f.nspace() == 3 && f.points().size() == 6 && dims[0] > 1 && dims[1] > 1 && dims[2] > 1)
        layer = image_layer(f, pack, options);
    else
        layer = mesh_layer(*d, f, pack, options);
    add_xform(f, layer);
    return layer;
}

std::vector<std::string> node_texts(Object& field) {
    for (const char* name : {"text_values", "no_label", "pick_no"}) {
        Object* a = field.child(name);
        if (a && (a = a->deref()) && a->kind() == vhost::Kind::StrArray) return a->strings();
    }
    return {};
}

}  // namespace velmora::scene
