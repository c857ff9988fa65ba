#include "run/operations.h"

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

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "field_ref.h"
#include "host.h"
#include "io/vtk_arrays.h"

namespace velmora {

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
    } catch (const std::bad_alloc&) {
        ERRverror(name.c_str(), 32, (name + " : can not allocate memory.\n").c_str());
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
    bool uniform = false;   // then xyz stays empty: positions follow from the corners
    float origin[3] = {0, 0, 0}, spacing[3] = {1, 1, 1};
    float lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};   // corner points of a uniform grid
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
    g.uniform = f.object().at("uniform").int_value() != 0;
    if (g.uniform) {
        auto p = f.points();
        if (p.size() != 6) throw Failure("in has no corner points");
        const std::int64_t d[3] = {g.nx, g.ny, g.nz};
        for (int a = 0; a < 3; ++a) {
            g.lo[a] = p[static_cast<size_t>(a)];
            g.hi[a] = p[static_cast<size_t>(3 + a)];
            g.origin[a] = g.lo[a];
            g.spacing[a] = (g.hi[a] - g.lo[a]) / static_cast<float>(d[a] - 1);
        }
        return g;
    }
    OMobj_id id = vhost::host().id_of(f.object());
    float* c = nullptr;
    std::int64_t n = 0;
    if (FLDget_coord(&id, &c, &n, 0) != 1 || n != 3 * g.nodes()) {
        if (c) ARRfree_f(c, __FILE__, __LINE__);
        throw Failure("can not get in.coord");
    }
    g.xyz.assign(c, c + n);
    ARRfree_f(c, __FILE__, __LINE__);
    return g;
}

// Float scalar components of a field with nulls replaced: by `floor` in the
// component comp (so the surface closes around missing data) and by 0 in
// the others (0 is what statistics leave out when no null is declared).
struct Component {
    std::string label;
    vtkSmartPointer<vtkFloatArray> values;
    std::string units;
};

// Only the first `used` of the `nodes` values go to VTK.
std::vector<Component> float_components(FieldRef& f, int comp, float floor, std::int64_t nodes, std::int64_t used) {
    std::vector<Component> out;
    for (int c = 0; c < f.ncomp(); ++c) {
        if (f.type(c) != DTYPE_FLOAT || f.veclen(c) != 1) {
            if (c == comp) throw Failure("in.node_data[" + std::to_string(comp) + "] is not scalar float");
            continue;
        }
        const auto all = f.float_view(c);
        if (static_cast<std::int64_t>(all.size()) != nodes) throw Failure("in.node_data holds too few values");
        const auto v = all.first(static_cast<std::size_t>(used));
        const bool nulls = f.null_flag(c);
        const auto nv = static_cast<float>(f.null_value(c));
        const auto is_missing = [&](float x) { return std::isnan(x) || (nulls && x == nv); };
        Component k{f.label(c).empty() ? "DATA" + std::to_string(c) : f.label(c), nullptr, f.units(c)};
        if (std::none_of(v.begin(), v.end(), is_missing)) {
            // Nothing to replace: VTK reads the host's values in place (it
            // only reads them, and they outlive the operation).
            k.values = vtkSmartPointer<vtkFloatArray>::New();
            k.values->SetArray(const_cast<float*>(v.data()), used, 1);
        } else {
            // A block of the whole volume's size: once given back it holds
            // the next array of that size (the cell number of every voxel)
            // without taking fresh memory.
            k.values = large_array<vtkFloatArray>(used, 1, nodes);
            float* to = k.values->GetPointer(0);
            const float missing = c == comp ? floor : 0.0f;
            for (size_t n = 0; n < v.size(); ++n) to[n] = is_missing(v[n]) ? missing : v[n];
        }
        k.values->SetName(k.label.c_str());
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
    const auto v = f.float_view(comp);
    const bool nulls = f.null_flag(comp);
    const auto nv = static_cast<float>(f.null_value(comp));
    float lo = INFINITY;
    for (float x : v)
        if (!std::isnan(x) && !(nulls && x == nv)) lo = std::min(lo, x);
    return std::isfinite(lo) ? lo - 1.0f : 0.0f;
}

// The grid as VTK data: image data when uniform, a structured grid else.
vtkSmartPointer<vtkDataSet> grid_data(const Grid& g) {
    if (g.uniform) {
        auto img = vtkSmartPointer<vtkImageData>::New();
        img->SetDimensions(static_cast<int>(g.nx), static_cast<int>(g.ny), static_cast<int>(g.nz));
        img->SetOrigin(g.origin[0], g.origin[1], g.origin[2]);
        img->SetSpacing(g.spacing[0], g.spacing[1], g.spacing[2]);
        return img;
    }
    auto sg = vtkSmartPointer<vtkStructuredGrid>::New();
    sg->SetDimensions(static_cast<int>(g.nx), static_cast<int>(g.ny), static_cast<int>(g.nz));
    vtkNew<vtkPoints> pts;
    pts->SetDataTypeToFloat();
    pts->SetNumberOfPoints(g.nodes());
    for (std::int64_t n = 0; n < g.nodes(); ++n) pts->SetPoint(n, &g.xyz[static_cast<size_t>(3 * n)]);
    sg->SetPoints(pts);
    return sg;
}

// The surface where array `label` of data crosses level, the other arrays
// interpolated onto it.
vtkSmartPointer<vtkPolyData> contour(vtkDataSet* data, bool uniform, const std::string& label, double level) {
    if (uniform) {
        vtkNew<vtkFlyingEdges3D> fe;
        fe->SetInputData(data);
        fe->SetInputArrayToProcess(0, 0, 0, vtkDataObject::FIELD_ASSOCIATION_POINTS, label.c_str());
        fe->SetValue(0, level);
        fe->ComputeNormalsOff();
        fe->ComputeGradientsOff();
        fe->ComputeScalarsOn();
        fe->InterpolateAttributesOn();
        fe->Update();
        return fe->GetOutput();
    }
    vtkNew<vtkContourFilter> cf;
    cf->SetInputData(data);
    cf->SetInputArrayToProcess(0, 0, 0, vtkDataObject::FIELD_ASSOCIATION_POINTS, label.c_str());
    cf->SetValue(0, level);
    cf->ComputeScalarsOn();
    cf->Update();
    return cf->GetOutput();
}

// Into the tree: coordinates, one "Tri" cell set, the components in order
// (a component the surface lacks holds the level). Written straight into
// the host's arrays: a surface of a large volume has millions of nodes.
void surface_into(Object& out, vtkPolyData* surface, const std::vector<Component>& comps, double level) {
    FieldRef o(out);
    out.at("ncell_sets").set_int(0);
    out.at("nnode_data").set_int(0);
    const vtkIdType np = surface->GetNumberOfPoints();
    o.nnodes(np).nspace(3);
    const std::span<float> xyz = o.coord_buffer();
    for (vtkIdType p = 0; p < np; ++p) {
        double q[3];
        surface->GetPoint(p, q);
        for (int a = 0; a < 3; ++a) xyz[static_cast<size_t>(3 * p + a)] = static_cast<float>(q[a]);
    }
    vtkCellArray* polys = surface->GetPolys();
    vtkIdType npts = 0;
    const vtkIdType* ids = nullptr;
    std::int64_t ntris = 0;
    for (polys->InitTraversal(); polys->GetNextCell(npts, ids);) ntris += npts == 3;
    if (ntris > 0) {
        const std::span<std::int64_t> tris = o.add_cells("Tri", ntris);
        std::size_t t = 0;
        for (polys->InitTraversal(); polys->GetNextCell(npts, ids);)
            if (npts == 3)
                for (int c = 0; c < 3; ++c) tris[t++] = ids[c];
    }
    for (const Component& k : comps) {
        const std::span<float> v = o.add_floats(k.label, 1, k.units);
        vtkDataArray* a = surface->GetPointData()->GetArray(k.label.c_str());
        for (vtkIdType p = 0; p < np; ++p)
            v[static_cast<size_t>(p)] = a ? static_cast<float>(a->GetTuple1(p)) : static_cast<float>(level);
    }
}

// The layers of a uniform grid the surface at level can reach: up to the
// one above the highest layer holding a value at or above the level (above
// that every edge lies below the level), at least two. Contouring those
// layers from the same origin gives every point and triangle as on the
// whole grid, numbered in the same order, for less work: the echo at a
// convective level rarely fills the upper half of a radar volume.
std::int64_t layers_reaching(FieldRef& f, int comp, const Grid& g, double level) {
    const auto v = f.float_view(comp);
    const std::int64_t layer = g.nx * g.ny;
    if (static_cast<std::int64_t>(v.size()) < g.nodes()) return g.nz;
    const bool nulls = f.null_flag(comp);
    const auto nv = static_cast<float>(f.null_value(comp));
    // Missing values (null, NaN) become the floor, below the level.
    const auto reaches = [&](float x) { return !(nulls && x == nv) && x >= level; };
    std::int64_t top = g.nz - 1;
    while (top >= 0 && std::none_of(v.begin() + top * layer, v.begin() + (top + 1) * layer, reaches)) --top;
    return std::clamp<std::int64_t>(top + 2, 2, g.nz);
}

int isosurface(Object& self) {
    FieldRef in(self.at("in"));
    if (in.nnodes() < 1) return 0;
    const double level = real_param(self, "level");
    const int comp = comp_index(in, int_param(self, "comp"));
    Grid g = read_grid(in.object());
    const float floor = std::min(floor_value(in, comp), static_cast<float>(level) - 1.0f);
    const std::int64_t nodes = g.nodes();
    if (g.uniform) g.nz = layers_reaching(in, comp, g, level);
    auto comps = float_components(in, comp, floor, nodes, g.nodes());
    vtkSmartPointer<vtkDataSet> data = grid_data(g);
    std::string contoured;
    int ci = 0;
    for (int c = 0; c < in.ncomp(); ++c) {
        if (in.type(c) != DTYPE_FLOAT || in.veclen(c) != 1) continue;
        Component& k = comps[static_cast<size_t>(ci++)];
        data->GetPointData()->AddArray(k.values);
        if (c == comp) contoured = k.label;
    }
    surface_into(self.at("out"), contour(data, g.uniform, contoured, level), comps, level);
    return 1;
}

// The position of grid node (i, j, k): from the grid's coordinates, or on a
// uniform grid from per-axis tables made as the host makes the coordinates
// of such a grid, so that both give the same floats.
class NodePositions {
public:
    explicit NodePositions(const Grid& g) : g_(g) {
        if (!g.uniform) return;
        const std::int64_t len[3] = {g.nx, g.ny, g.nz};
        for (int a = 0; a < 3; ++a) {
            axis_[a].resize(static_cast<size_t>(len[a]));
            for (std::int64_t i = 0; i < len[a]; ++i)
                axis_[a][static_cast<size_t>(i)] = vhost::uniform_coordinate(g.lo[a], g.hi[a], i, len[a]);
        }
    }
    float at(std::int64_t i, std::int64_t j, std::int64_t k, int c) const {
        if (g_.uniform) return axis_[c][static_cast<size_t>(c == 0 ? i : c == 1 ? j : k)];
        return g_.xyz[static_cast<size_t>(3 * (i + g_.nx * (j + g_.ny * k)) + c)];
    }

private:
    const Grid& g_;
    std::vector<float> axis_[3];
};

// The isovolume of a grid as tetrahedra: each voxel at or above the level
// makes the nodes at the centres of its six faces, in the order -x, +x, -y,
// +y, -z, +z, unless the voxel across a face was made before it (the -x, -y
// and -z neighbours, in storage order) and so made that face's node already.
// The nodes are counted first, so that every output array is sized once.
class VoxelFaces {
public:
    VoxelFaces(const Grid& g, std::span<const float> values, bool nulls, float null_value, float level)
        : g_(g), values_(values), nulls_(nulls), null_value_(null_value), level_(level), nx_(g.nx), ny_(g.ny), nz_(g.nz) {}

    bool on(std::int64_t n) const {
        const float v = values_[static_cast<size_t>(n)];
        return !std::isnan(v) && !(nulls_ && v == null_value_) && v >= level_;
    }
    std::int64_t node(std::int64_t i, std::int64_t j, std::int64_t k) const { return i + nx_ * (j + ny_ * k); }

    // The voxels on, and the nodes their faces make.
    std::pair<std::int64_t, std::int64_t> count() const {
        std::int64_t voxels = 0, nodes = 0;
        for (std::int64_t k = 0; k < nz_; ++k)
            for (std::int64_t j = 0; j < ny_; ++j)
                for (std::int64_t i = 0; i < nx_; ++i) {
                    const std::int64_t n = node(i, j, k);
                    if (!on(n)) continue;
                    ++voxels;
                    nodes += 6 - (i > 0 && on(n - 1)) - (j > 0 && on(n - nx_)) - (k > 0 && on(n - nx_ * ny_));
                }
        return {voxels, nodes};
    }

    // Fills the arrays count() sized: node positions, four nodes per
    // tetrahedron (four tetrahedra per voxel), node values and the voxel each
    // node belongs to.
    void build(std::span<float> xyz, std::span<std::int64_t> tets, std::span<float> value, std::span<std::int32_t> owner) {
        xyz_ = xyz, value_ = value, owner_ = owner;
        // The +y nodes of the previous row and the +z nodes of the previous
        // layer, for the voxels across those faces.
        std::vector<std::int64_t> up_y(static_cast<size_t>(nx_), -1), up_z(static_cast<size_t>(nx_ * ny_), -1);
        std::int64_t t = 0;
        for (std::int64_t k = 0; k < nz_; ++k)
            for (std::int64_t j = 0; j < ny_; ++j) {
                std::int64_t up_x = -1;   // the +x node of the previous voxel of the row
                for (std::int64_t i = 0; i < nx_; ++i) {
                    std::int64_t& yp_slot = up_y[static_cast<size_t>(i)];
                    std::int64_t& zp_slot = up_z[static_cast<size_t>(i + nx_ * j)];
                    if (!on(node(i, j, k))) {
                        up_x = yp_slot = zp_slot = -1;
                        continue;
                    }
                    const std::int64_t xm = up_x >= 0 ? up_x : face(i, j, k, 0, false);
                    const std::int64_t xp = face(i, j, k, 0, true);
                    const std::int64_t ym = j > 0 && yp_slot >= 0 ? yp_slot : face(i, j, k, 1, false);
                    const std::int64_t yp = face(i, j, k, 1, true);
                    const std::int64_t zm = zp_slot >= 0 ? zp_slot : face(i, j, k, 2, false);
                    const std::int64_t zp = face(i, j, k, 2, true);
                    up_x = xp;
                    yp_slot = yp;
                    zp_slot = zp;
                    for (std::int64_t id : {xm, xp, yp, zp, xm, xp, zp, ym, xm, xp, ym, zm, xm, xp, zm, yp})
                        tets[static_cast<size_t>(t++)] = id;
                }
            }
    }

private:
    // The node at the centre of face `upper` of voxel (i, j, k) along axis a:
    // midway to the neighbour across it, or the mirror image of that at the
    // boundary; it carries the mean of both values where the neighbour is
    // on, its own value otherwise.
    std::int64_t face(std::int64_t i, std::int64_t j, std::int64_t k, int a, bool upper) {
        const std::int64_t len = a == 0 ? nx_ : a == 1 ? ny_ : nz_;
        const std::int64_t at = a == 0 ? i : a == 1 ? j : k;
        const bool inside = upper ? at + 1 < len : at > 0;
        const std::int64_t d = upper ? (inside ? 1 : -1) : (inside ? -1 : 1);
        const std::int64_t oi = i + (a == 0) * d, oj = j + (a == 1) * d, ok = k + (a == 2) * d;
        for (int c = 0; c < 3; ++c) {
            const float p = pos_.at(i, j, k, c), q = pos_.at(oi, oj, ok, c);
            xyz_[static_cast<size_t>(3 * made_ + c)] = inside ? 0.5f * (p + q) : p + 0.5f * (p - q);
        }
        const std::int64_t n = node(i, j, k), other = node(oi, oj, ok);
        float v = values_[static_cast<size_t>(n)];
        if (inside && on(other)) v = 0.5f * (v + values_[static_cast<size_t>(other)]);
        value_[static_cast<size_t>(made_)] = v;
        owner_[static_cast<size_t>(made_)] = static_cast<std::int32_t>(n);
        return made_++;
    }

    const Grid& g_;
    std::span<const float> values_;
    bool nulls_;
    float null_value_, level_;
    std::int64_t nx_, ny_, nz_;
    const NodePositions pos_{g_};
    std::span<float> xyz_, value_;
    std::span<std::int32_t> owner_;
    std::int64_t made_ = 0;
};

int isovolume(Object& self) {
    FieldRef in(self.at("in"));
    if (in.nnodes() < 1) return 0;
    const auto level = static_cast<float>(real_param(self, "level"));
    const int comp = comp_index(in, int_param(self, "comp"));
    Grid g = read_grid(in.object());
    if (in.type(comp) != DTYPE_FLOAT) throw Failure("in.node_data[" + std::to_string(comp) + "] is not float");
    const std::span<const float> values = in.float_view(comp);
    if (static_cast<std::int64_t>(values.size()) < g.nodes()) throw Failure("in.node_data holds too few values");
    VoxelFaces faces(g, values, in.null_flag(comp), static_cast<float>(in.null_value(comp)), level);
    const auto [voxels, nodes] = faces.count();
    Object& out = self.at("out");
    FieldRef o(out);
    out.at("ncell_sets").set_int(0);
    out.at("nnode_data").set_int(0);
    o.nnodes(nodes).nspace(3);
    if (voxels == 0) return 1;
    const std::span<float> xyz = o.coord_buffer();
    const std::span<std::int64_t> tets = o.add_cells("Tet", 4 * voxels);
    const std::span<float> value = o.add_floats(in.label(comp).empty() ? "DATA" : in.label(comp), 1, in.units(comp));
    const std::span<std::int32_t> owner = o.add_ints("voxel", 1);
    faces.build(xyz, tets, value, owner);
    return 1;
}

// The node data of a field, left out where only its geometry is copied.
bool is_component(const Object& o) { return o.name().starts_with("node_data["); }

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
    const auto owners = iso.int_view(voxel);
    const auto numbers = area.int_view(0);
    if (owners.size() != numbers.size()) throw Failure("iso and area differ in their nodes");
    const std::int64_t n = grid.nnodes();
    for (const std::int32_t owner : owners)
        if (owner < 0 || owner >= n) throw Failure("iso.voxel lies outside in");
    // The grid's geometry, then the area numbers as its only component.
    self.replace_with_copy("out", grid.object(), is_component);
    Object& out = self.at("out");
    out.at("nnode_data").set_int(0);
    FieldRef o(out);
    const std::span<std::int32_t> out_no = o.add_ints("area_no");
    std::fill(out_no.begin(), out_no.end(), 0);
    for (size_t p = 0; p < owners.size(); ++p)
        if (numbers[p] != 0) out_no[static_cast<size_t>(owners[p])] = numbers[p];
    o.null_value(0, 0.0);
    return 1;
}

// The nodes of a grid that carry an area number other than 0, as a point
// field in storage order: `out` holds their coordinates and the grid's float
// components, `area` their area numbers. Statistics of the areas measured on
// these points are those measured on the whole grid, since the nodes of no
// area are never measured, at a fraction of the work.
int cell_voxels(Object& self) {
    FieldRef grid(self.at("in"));
    if (grid.nnodes() < 1) return 0;
    FieldRef area(self.at("area"));
    if (area.ncomp() < 1 || area.type(0) != DTYPE_INT) throw Failure("area has no area numbers");
    const auto numbers = area.int_view(0);
    const std::int64_t n = grid.nnodes();
    if (static_cast<std::int64_t>(numbers.size()) != n) throw Failure("in and area differ in their nodes");
    Grid g = read_grid(grid.object());
    std::vector<std::int64_t> picked;
    for (std::int64_t p = 0; p < n; ++p)
        if (numbers[static_cast<size_t>(p)] != 0) picked.push_back(p);
    const auto m = static_cast<std::int64_t>(picked.size());

    Object& out = self.at("out");
    FieldRef o(out);
    out.at("ncell_sets").set_int(0);
    out.at("nnode_data").set_int(0);
    o.nnodes(m).nspace(3);
    // The grid's transform goes with its points: statistics of planar data
    // read the plane's height from it.
    out.replace_with_copy("xform", grid.object().at("xform"));
    FieldRef a(self.at("out_area"));
    a.object().at("nnode_data").set_int(0);
    a.nnodes(m).nspace(3);
    if (m == 0) return 1;
    const NodePositions pos(g);
    const std::span<float> xyz = o.coord_buffer();
    for (std::int64_t e = 0; e < m; ++e) {
        const std::int64_t p = picked[static_cast<size_t>(e)];
        const std::int64_t i = p % g.nx, j = p / g.nx % g.ny, k = p / (g.nx * g.ny);
        for (int c = 0; c < 3; ++c) xyz[static_cast<size_t>(3 * e + c)] = pos.at(i, j, k, c);
    }
    for (int c = 0; c < grid.ncomp(); ++c) {
        if (grid.type(c) != DTYPE_FLOAT || grid.veclen(c) != 1) continue;
        const auto values = grid.float_view(c);
        if (static_cast<std::int64_t>(values.size()) != n) throw Failure("in.node_data holds too few values");
        const std::span<float> v = o.add_floats(grid.label(c), 1, grid.units(c));
        for (std::int64_t e = 0; e < m; ++e) v[static_cast<size_t>(e)] = values[static_cast<size_t>(picked[static_cast<size_t>(e)])];
        o.null_value(o.ncomp() - 1, grid.null_value(c), grid.null_flag(c) ? 1 : 0);
    }
    const std::span<std::int32_t> no = a.add_ints("area_no");
    for (std::int64_t e = 0; e < m; ++e) no[static_cast<size_t>(e)] = numbers[static_cast<size_t>(picked[static_cast<size_t>(e)])];
    return 1;
}

// One column (indexi, indexj) of a grid as a grid of its own, 1 x 1 x nz,
// with the grid's transform: where a module needs one column (the legends
// stand on one), it reads these few coordinates instead of the whole grid's.
int grid_column(Object& self) {
    FieldRef grid(self.at("in"));
    if (grid.nnodes() < 1) return 0;
    const std::int64_t ci = int_param(self, "indexi"), cj = int_param(self, "indexj");
    Grid g = read_grid(grid.object());
    if (ci < 0 || ci >= g.nx || cj < 0 || cj >= g.ny)
        throw Failure("indexi, indexj = " + std::to_string(ci) + ", " + std::to_string(cj) + " lie outside the " +
                      std::to_string(g.nx) + " x " + std::to_string(g.ny) + " grid");
    const bool uniform = g.uniform;
    self.replace_with_copy("out", grid.object(), [](const Object& o) { return is_component(o) || o.name() == "coord"; });
    Object& out = self.at("out");
    out.at("nnode_data").set_int(0);
    out.add_array("coord", DTYPE_FLOAT, vhost::shape({vhost::term("nnodes"), vhost::term("nspace")}));
    FieldRef o(out);
    const NodePositions pos(g);
    if (uniform) {
        o.uniform({1, 1, g.nz}, {pos.at(ci, cj, 0, 0), pos.at(ci, cj, 0, 1), g.lo[2], pos.at(ci, cj, 0, 0),
                                 pos.at(ci, cj, 0, 1), g.hi[2]});
        return 1;
    }
    o.dims({1, 1, g.nz}).nnodes(g.nz).nspace(3);
    const std::span<float> xyz = o.coord_buffer();
    for (std::int64_t k = 0; k < g.nz; ++k)
        for (int c = 0; c < 3; ++c) xyz[static_cast<size_t>(3 * k + c)] = pos.at(ci, cj, k, c);
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

namespace {

template <int (*Body)(Object&)>
int entry(OMobj_id* id, int, int) {
    return run(id, Body);
}

// An operation with the one entry point <name>Update.
template <int (*Body)(Object&)>
void add_operation(const std::string& name, const char* summary, void (*declare)(Object&)) {
    vhost::register_operation({name, {name + "Update"}, std::string(summary) + " (host operation)", declare, {entry<Body>}});
}

}  // namespace

void register_operations() {
    add_operation<isosurface>("Isosurface", "surface of comp at level, other components interpolated", declare_grid_op);
    add_operation<isovolume>("Isovolume", "grid nodes at or above level as face-connected tetrahedra, four per node", declare_grid_op);
    add_operation<grid_area>("GridArea", "area numbers of an isovolume carried back onto its grid", [](Object& m) {
        m.add_field("in", vhost::Role::In);
        m.add_field("iso", vhost::Role::In);
        m.add_field("area", vhost::Role::In);
        m.add_field("out", vhost::Role::Out);
        m.add_int("done", 0, vhost::Role::Out);
    });
    add_operation<grid_column>("GridColumn", "one column of a grid as a 1 x 1 x nz grid with the grid's transform",
                               [](Object& m) {
                                   m.add_int("indexi", 0, vhost::Role::In);
                                   m.add_int("indexj", 0, vhost::Role::In);
                                   m.add_field("in", vhost::Role::In);
                                   m.add_field("out", vhost::Role::Out);
                                   m.add_int("done", 0, vhost::Role::Out);
                               });
    add_operation<cell_voxels>("CellVoxels",
                               "grid nodes with an area number as points: coordinates and values, area numbers",
                               [](Object& m) {
                                   m.add_field("in", vhost::Role::In);
                                   m.add_field("area", vhost::Role::In);
                                   m.add_field("out", vhost::Role::Out);
                                   m.add_field("out_area", vhost::Role::Out);
                                   m.add_int("done", 0, vhost::Role::Out);
                               });
}

}  // namespace velmora
