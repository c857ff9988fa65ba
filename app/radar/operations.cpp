#include "operations.h"

#include <vtkCellArray.h>
#include <vtkContourFilter.h>
#include <vtkFloatArray.h>
#include <vtkFlyingEdges3D.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSmartPointer.h>
#include <vtkStructuredGrid.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fields.h"
#include "host.h"

namespace velmora::app {

namespace {

using vhost::FieldRef;
using vhost::Object;

// A failure to report through the host's error channel, in the house style.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The frame of an operation: runs body, reports a failure once, sets done.
template <class Body>
int run(OMobj_id* id, Body&& body) {
    Object* self = vhost::host().by_id(id);
    if (!self) return 1;
    std::string name = self->name();
    try {
        if (body(*self)) self->at("done").set_int(1);
    } catch (const std::exception& e) {
        std::string text = name + " : " + e.what() + ".\n";
        ERRverror(name.c_str(), 32, text.c_str());
    }
    return 1;
}

double real_param(Object& self, const char* name) {
    Object* p = self.find(name);
    if (!p || !p->has_value()) throw Failure(std::string("can not get ") + name);
    return p->kind() == vhost::Kind::Real ? p->real_value() : static_cast<double>(p->int_value());
}

std::int64_t int_param(Object& self, const char* name) {
    Object* p = self.find(name);
    if (!p || !p->has_value() || p->kind() == vhost::Kind::Real) throw Failure(std::string("can not get ") + name);
    return p->int_value();
}

// A three-dimensional structured grid of the tree, as the operations read it.
struct Grid {
    std::int64_t nx = 0, ny = 0, nz = 0;
    std::vector<float> xyz;    // 3 per node
    bool uniform = false;
    float origin[3] = {0, 0, 0}, spacing[3] = {1, 1, 1};
    std::int64_t nodes() const { return nx * ny * nz; }
};

Grid read_grid(Object& field) {
    FieldRef f(field);
    Grid g;
    auto dims = f.dims();
    if (dims.size() != 3 || f.nspace() != 3) throw Failure("in is not a three-dimensional grid");
    g.nx = dims[0];
    g.ny = dims[1];
    g.nz = dims[2];
    if (g.nx < 2 || g.ny < 2 || g.nz < 2 || g.nodes() != f.nnodes()) throw Failure("in has inconsistent dims");
    OMobj_id id = vhost::host().id_of(f.object());
    float* c = nullptr;
    std::int64_t n = 0;
    if (FLDget_coord(&id, &c, &n, 0) != 1 || n != 3 * g.nodes()) throw Failure("can not get in.coord");
    g.xyz.assign(c, c + n);
    ARRfree_f(c, __FILE__, __LINE__);
    g.uniform = f.object().at("uniform").int_value() != 0;
    if (g.uniform) {
        auto p = f.points();
        const std::int64_t d[3] = {g.nx, g.ny, g.nz};
        for (int a = 0; a < 3; ++a) {
            g.origin[a] = p[static_cast<size_t>(a)];
            g.spacing[a] = (p[static_cast<size_t>(3 + a)] - p[static_cast<size_t>(a)]) / static_cast<float>(d[a] - 1);
        }
    }
    return g;
}

// Float scalar components of a field with nulls replaced: by `floor` in the
// component comp (so the surface closes around missing data) and by 0 in
// the others (0 is what statistics leave out when no null is declared).
struct Component {
    std::string label;
    std::vector<float> values;
    std::string units;
};

std::vector<Component> float_components(FieldRef& f, int comp, float floor, std::int64_t nodes) {
    std::vector<Component> out;
    for (int c = 0; c < f.ncomp(); ++c) {
        if (f.type(c) != DTYPE_FLOAT || f.veclen(c) != 1) {
            if (c == comp) throw Failure("in.node_data[" + std::to_string(comp) + "] is not scalar float");
            continue;
        }
        Component k{f.label(c).empty() ? "DATA" + std::to_string(c) : f.label(c), f.float_values(c), f.units(c)};
        if (static_cast<std::int64_t>(k.values.size()) != nodes) throw Failure("in.node_data holds too few values");
        const bool nulls = f.null_flag(c);
        const auto nv = static_cast<float>(f.null_value(c));
        for (float& v : k.values)
            if (std::isnan(v) || (nulls && v == nv)) v = c == comp ? floor : 0.0f;
        out.push_back(std::move(k));
    }
    return out;
}

int comp_index(FieldRef& f, std::int64_t comp) {
    if (comp < 0 || comp >= f.ncomp()) throw Failure("in has no node_data[" + std::to_string(comp) + "]");
    return static_cast<int>(comp);
}

// The lowest valid value of comp less one: missing data reads as just below
// every echo.
float floor_value(FieldRef& f, int comp) {
    auto v = f.float_values(comp);
    const bool nulls = f.null_flag(comp);
    const auto nv = static_cast<float>(f.null_value(comp));
    float lo = INFINITY;
    for (float x : v)
        if (!std::isnan(x) && !(nulls && x == nv)) lo = std::min(lo, x);
    return std::isfinite(lo) ? lo - 1.0f : 0.0f;
}

int isosurface(Object& self) {
    FieldRef in(self.at("in"));
    if (in.nnodes() < 1) return 0;
    const double level = real_param(self, "level");
    const int comp = comp_index(in, int_param(self, "comp"));
    Grid g = read_grid(in.object());
    auto comps = float_components(in, comp, std::min(floor_value(in, comp), static_cast<float>(level) - 1.0f), g.nodes());

    vtkSmartPointer<vtkDataSet> data;
    if (g.uniform) {
        auto img = vtkSmartPointer<vtkImageData>::New();
        img->SetDimensions(static_cast<int>(g.nx), static_cast<int>(g.ny), static_cast<int>(g.nz));
        img->SetOrigin(g.origin[0], g.origin[1], g.origin[2]);
        img->SetSpacing(g.spacing[0], g.spacing[1], g.spacing[2]);
        data = img;
    } else {
        auto sg = vtkSmartPointer<vtkStructuredGrid>::New();
        sg->SetDimensions(static_cast<int>(g.nx), static_cast<int>(g.ny), static_cast<int>(g.nz));
        vtkNew<vtkPoints> pts;
        pts->SetDataTypeToFloat();
        pts->SetNumberOfPoints(g.nodes());
        for (std::int64_t n = 0; n < g.nodes(); ++n) pts->SetPoint(n, &g.xyz[static_cast<size_t>(3 * n)]);
        sg->SetPoints(pts);
        data = sg;
    }
    std::string contoured;
    int ci = 0;
    for (int c = 0; c < in.ncomp(); ++c) {
        if (in.type(c) != DTYPE_FLOAT || in.veclen(c) != 1) continue;
        Component& k = comps[static_cast<size_t>(ci++)];
        vtkNew<vtkFloatArray> a;
        a->SetName(k.label.c_str());
        a->SetNumberOfValues(static_cast<vtkIdType>(k.values.size()));
        for (size_t n = 0; n < k.values.size(); ++n) a->SetValue(static_cast<vtkIdType>(n), k.values[n]);
        data->GetPointData()->AddArray(a);
        if (c == comp) contoured = k.label;
    }

    vtkSmartPointer<vtkPolyData> surface;
    if (g.uniform) {
        vtkNew<vtkFlyingEdges3D> fe;
        fe->SetInputData(data);
        fe->SetInputArrayToProcess(0, 0, 0, vtkDataObject::FIELD_ASSOCIATION_POINTS, contoured.c_str());
        fe->SetValue(0, level);
        fe->ComputeNormalsOff();
        fe->ComputeGradientsOff();
        fe->ComputeScalarsOn();
        fe->InterpolateAttributesOn();
        fe->Update();
        surface = fe->GetOutput();
    } else {
        vtkNew<vtkContourFilter> cf;
        cf->SetInputData(data);
        cf->SetInputArrayToProcess(0, 0, 0, vtkDataObject::FIELD_ASSOCIATION_POINTS, contoured.c_str());
        cf->SetValue(0, level);
        cf->ComputeScalarsOn();
        cf->Update();
        surface = cf->GetOutput();
    }

    // Into the tree: coordinates, one "Tri" cell set, the components in order.
    Object& out = self.at("out");
    FieldRef o(out);
    out.at("ncell_sets").set_int(0);
    out.at("nnode_data").set_int(0);
    const vtkIdType np = surface->GetNumberOfPoints();
    o.nnodes(np).nspace(3);
    std::vector<float> xyz(static_cast<size_t>(3 * np));
    for (vtkIdType p = 0; p < np; ++p) {
        double q[3];
        surface->GetPoint(p, q);
        for (int a = 0; a < 3; ++a) xyz[static_cast<size_t>(3 * p + a)] = static_cast<float>(q[a]);
    }
    o.coord(xyz);
    std::vector<std::int64_t> tris;
    tris.reserve(static_cast<size_t>(3 * surface->GetNumberOfPolys()));
    vtkCellArray* polys = surface->GetPolys();
    polys->InitTraversal();
    vtkIdType npts = 0;
    const vtkIdType* ids = nullptr;
    while (polys->GetNextCell(npts, ids))
        if (npts == 3) tris.insert(tris.end(), {ids[0], ids[1], ids[2]});
    if (!tris.empty()) o.cells("Tri", tris);
    for (const Component& k : comps) {
        vtkDataArray* a = surface->GetPointData()->GetArray(k.label.c_str());
        std::vector<float> v(static_cast<size_t>(np), static_cast<float>(level));
        if (a)
            for (vtkIdType p = 0; p < np; ++p) v[static_cast<size_t>(p)] = static_cast<float>(a->GetTuple1(p));
        o.floats(k.label, v, 1, k.units);
    }
    return 1;
}

int isovolume(Object& self) {
    FieldRef in(self.at("in"));
    if (in.nnodes() < 1) return 0;
    const auto level = static_cast<float>(real_param(self, "level"));
    const int comp = comp_index(in, int_param(self, "comp"));
    Grid g = read_grid(in.object());
    auto values = in.float_values(comp);
    const bool nulls = in.null_flag(comp);
    const auto nv = static_cast<float>(in.null_value(comp));
    auto on = [&](std::int64_t n) {
        float v = values[static_cast<size_t>(n)];
        return !std::isnan(v) && !(nulls && v == nv) && v >= level;
    };
    const std::int64_t nx = g.nx, ny = g.ny, nz = g.nz;
    auto node = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return i + nx * (j + ny * k); };
    // Face f along axis a between node n and its neighbour n + e_a is
    // numbered by its upper node; faces on the far boundary by n + e_a
    // beyond the grid, so each axis numbers (n_a + 1) faces per line.
    const std::int64_t fx = (nx + 1) * ny * nz, fy = nx * (ny + 1) * nz, fz = nx * ny * (nz + 1);
    std::vector<std::int64_t> face_node(static_cast<size_t>(fx + fy + fz), -1);
    std::vector<float> xyz, value;
    std::vector<std::int32_t> owner;
    std::vector<std::int64_t> tets;
    auto pos = [&](std::int64_t n, int a) { return g.xyz[static_cast<size_t>(3 * n + a)]; };
    // The node at the centre of face `upper` of voxel (i, j, k) along axis a.
    auto face = [&](std::int64_t i, std::int64_t j, std::int64_t k, int a, bool upper) -> std::int64_t {
        std::int64_t fi = i + (a == 0 && upper), fj = j + (a == 1 && upper), fk = k + (a == 2 && upper);
        std::int64_t key = a == 0 ? fi + (nx + 1) * (fj + ny * fk)
                         : a == 1 ? fx + fi + nx * (fj + (ny + 1) * fk)
                                  : fx + fy + fi + nx * (fj + ny * fk);
        std::int64_t& id = face_node[static_cast<size_t>(key)];
        if (id >= 0) return id;
        const std::int64_t n = node(i, j, k);
        const std::int64_t len = a == 0 ? nx : a == 1 ? ny : nz;
        const std::int64_t at = a == 0 ? i : a == 1 ? j : k;
        const std::int64_t step = a == 0 ? 1 : a == 1 ? nx : nx * ny;
        // The neighbour across the face, or the mirror image at the boundary.
        const std::int64_t other = upper ? (at + 1 < len ? n + step : n - step) : (at > 0 ? n - step : n + step);
        const bool inside = upper ? at + 1 < len : at > 0;
        for (int c = 0; c < 3; ++c) {
            float p = pos(n, c), q = pos(other, c);
            xyz.push_back(inside ? 0.5f * (p + q) : p + 0.5f * (p - q));
        }
        float v = values[static_cast<size_t>(n)];
        if (inside && on(other)) v = 0.5f * (v + values[static_cast<size_t>(other)]);
        value.push_back(v);
        owner.push_back(static_cast<std::int32_t>(n));
        id = static_cast<std::int64_t>(owner.size()) - 1;
        return id;
    };
    for (std::int64_t k = 0; k < nz; ++k)
        for (std::int64_t j = 0; j < ny; ++j)
            for (std::int64_t i = 0; i < nx; ++i) {
                if (!on(node(i, j, k))) continue;
                const std::int64_t xm = face(i, j, k, 0, false), xp = face(i, j, k, 0, true);
                const std::int64_t ym = face(i, j, k, 1, false), yp = face(i, j, k, 1, true);
                const std::int64_t zm = face(i, j, k, 2, false), zp = face(i, j, k, 2, true);
                tets.insert(tets.end(), {xm, xp, yp, zp, xm, xp, zp, ym, xm, xp, ym, zm, xm, xp, zm, yp});
            }
    Object& out = self.at("out");
    FieldRef o(out);
    out.at("ncell_sets").set_int(0);
    out.at("nnode_data").set_int(0);
    o.nnodes(static_cast<std::int64_t>(owner.size())).nspace(3);
    if (owner.empty()) return 1;
    o.coord(xyz);
    o.cells("Tet", tets);
    o.floats(in.label(comp).empty() ? "DATA" : in.label(comp), value, 1, in.units(comp));
    o.ints("voxel", owner);
    return 1;
}

int grid_area(Object& self) {
    FieldRef grid(self.at("in"));
    if (grid.nnodes() < 1) return 0;
    FieldRef iso(self.at("iso"));
    FieldRef area(self.at("area"));
    int voxel = -1;
    for (int c = 0; c < iso.ncomp(); ++c)
        if (iso.label(c) == "voxel" && iso.type(c) == DTYPE_INT) voxel = c;
    if (voxel < 0) throw Failure("iso has no voxel component");
    if (area.ncomp() < 1 || area.type(0) != DTYPE_INT) throw Failure("area has no area numbers");
    auto owners = iso.int_values(voxel);
    auto numbers = area.int_values(0);
    if (owners.size() != numbers.size()) throw Failure("iso and area differ in their nodes");
    const std::int64_t n = grid.nnodes();
    std::vector<std::int32_t> out_no(static_cast<size_t>(n), 0);
    for (size_t p = 0; p < owners.size(); ++p) {
        if (owners[p] < 0 || owners[p] >= n) throw Failure("iso.voxel lies outside in");
        if (numbers[p] != 0) out_no[static_cast<size_t>(owners[p])] = numbers[p];
    }
    // The grid's geometry, then the area numbers as its only component.
    self.replace_with_copy("out", grid.object());
    Object& out = self.at("out");
    out.at("nnode_data").set_int(0);
    FieldRef(out).ints("area_no", out_no).null_value(0, 0.0);
    return 1;
}

void declare_grid_op(Object& m) {
    m.add_real("level", 40.0, vhost::Role::In);
    m.add_int("comp", 0, vhost::Role::In);
    m.add_field("in", vhost::Role::In);
    m.add_field("out", vhost::Role::Out);
    m.add_int("done", 0, vhost::Role::Out);
}

}  // namespace

void register_operations() {
    vhost::register_operation({"Isosurface", {"IsosurfaceUpdate"},
                               "surface of comp at level, other components interpolated (host operation)",
                               declare_grid_op,
                               {[](OMobj_id* id, int, int) { return run(id, isosurface); }}});
    vhost::register_operation({"Isovolume", {"IsovolumeUpdate"},
                               "grid nodes at or above level as face-connected octahedra (host operation)",
                               declare_grid_op,
                               {[](OMobj_id* id, int, int) { return run(id, isovolume); }}});
    vhost::register_operation({"GridArea", {"GridAreaUpdate"},
                               "area numbers of an isovolume carried back onto its grid (host operation)",
                               [](Object& m) {
                                   m.add_field("in", vhost::Role::In);
                                   m.add_field("iso", vhost::Role::In);
                                   m.add_field("area", vhost::Role::In);
                                   m.add_field("out", vhost::Role::Out);
                                   m.add_int("done", 0, vhost::Role::Out);
                               },
                               {[](OMobj_id* id, int, int) { return run(id, grid_area); }}});
}

}  // namespace velmora::app
