#include "io/vtk_data.h"

#include <vtkCellArray.h>
#include <vtkFloatArray.h>
#include <vtkImageData.h>
#include <vtkIntArray.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkStringArray.h>
#include <vtkStructuredGrid.h>
#include <vtkTypeInt64Array.h>
#include <vtkUnsignedCharArray.h>
#include <vtkUnstructuredGrid.h>

#include <algorithm>
#include <cmath>
#include <span>

#include "field_ref.h"
#include "host.h"
#include "io/vtk_arrays.h"

namespace velmora {

namespace {

using vhost::FieldRef;
using vhost::Object;

void add_node_data(FieldRef& f, vtkPointData* pd, const std::vector<std::string>* texts) {
    const std::int64_t n = f.nnodes();
    for (int c = 0; c < f.ncomp(); ++c) {
        const int vl = std::max(1, f.veclen(c));
        const std::string name = f.label(c).empty() ? "DATA" + std::to_string(c) : f.label(c);
        const auto count = static_cast<size_t>(n * vl);
        if (f.type(c) == DTYPE_INT) {
            const auto v = f.int_view(c);
            if (v.size() < count) continue;   // a component without its values has nothing to show
            // The tree's values as they are: the file is written before the
            // tree changes again.
            vtkNew<vtkIntArray> a;
            a->SetName(name.c_str());
            a->SetNumberOfComponents(vl);
            a->SetArray(const_cast<int*>(v.data()), static_cast<vtkIdType>(count), 1);
            pd->AddArray(a);
        } else if (f.type(c) == DTYPE_FLOAT) {
            const auto v = f.float_view(c);
            const bool nulls = f.null_flag(c);
            const auto nv = static_cast<float>(f.null_value(c));
            if (!nulls && v.size() >= count) {
                // Nothing to mark: the tree's values as they are.
                vtkNew<vtkFloatArray> a;
                a->SetName(name.c_str());
                a->SetNumberOfComponents(vl);
                a->SetArray(const_cast<float*>(v.data()), static_cast<vtkIdType>(count), 1);
                pd->AddArray(a);
                continue;
            }
            auto a = large_array<vtkFloatArray>(n, vl);
            a->SetName(name.c_str());
            float* out = a->GetPointer(0);
            const size_t have = std::min(count, v.size());
            for (size_t i = 0; i < have; ++i) out[i] = nulls && v[i] == nv ? NAN : v[i];
            std::fill(out + have, out + count, 0.0f);
            pd->AddArray(a);
        }
    }
    if (texts && static_cast<std::int64_t>(texts->size()) == n) {
        vtkNew<vtkStringArray> s;
        s->SetName("label");
        s->SetNumberOfValues(n);
        for (std::int64_t i = 0; i < n; ++i) s->SetValue(i, (*texts)[static_cast<size_t>(i)]);
        pd->AddArray(s);
    }
}

// The cells of a field as VTK cell arrays: for an unstructured grid all of
// them in `volumes` with their types, otherwise one array per kind of cell
// of poly data (points, lines, surfaces); polylines by their (first, last)
// pairs. Cells naming a node outside the field are left out.
struct Cells {
    vtkSmartPointer<vtkCellArray> verts, lines, polys, volumes;
    vtkSmartPointer<vtkUnsignedCharArray> volume_types;
};

vtkSmartPointer<vtkCellArray> new_cells() {
    auto a = vtkSmartPointer<vtkCellArray>::New();
    a->Use64BitStorage();
    return a;
}

bool has_volume_cells(FieldRef& f) {
    for (int s = 0; s < f.ncell_sets(); ++s)
        if (f.cell_type(s) == "Tet" || f.cell_type(s) == "Hex") return true;
    return false;
}

// A field whose cells are one set of one volume type, none of them naming a
// node outside the field: the tree's connectivity serves VTK as it is.
bool one_clean_volume_set(FieldRef& f, std::span<const std::int64_t>& conn, int& per) {
    if (f.ncell_sets() != 1) return false;
    const std::string type = f.cell_type(0);
    if (type != "Tet" && type != "Hex") return false;
    per = vhost::cell_type_nodes(type);
    conn = vhost::longs_view(f.cell_set(0).at("node_connect_list"));
    const std::int64_t n = f.nnodes();
    return conn.size() % static_cast<size_t>(per) == 0 &&
           std::all_of(conn.begin(), conn.end(), [n](std::int64_t id) { return id >= 0 && id < n; });
}

Cells cells_of(FieldRef& f, bool unstructured) {
    Cells out{new_cells(), new_cells(), new_cells(), new_cells(), vtkSmartPointer<vtkUnsignedCharArray>::New()};
    const std::int64_t n = f.nnodes();
    std::vector<vtkIdType> ids;
    for (int s = 0; s < f.ncell_sets(); ++s) {
        const std::string type = f.cell_type(s);
        if (type == "Polyline") {
            auto pairs = f.poly_connect(s);
            for (size_t p = 0; p + 1 < pairs.size(); p += 2) {
                if (pairs[p] < 0 || pairs[p + 1] >= n || pairs[p] > pairs[p + 1]) continue;
                ids.clear();
                for (auto k = pairs[p]; k <= pairs[p + 1]; ++k) ids.push_back(k);
                (unstructured ? out.volumes : out.lines)->InsertNextCell(static_cast<vtkIdType>(ids.size()), ids.data());
                if (unstructured) out.volume_types->InsertNextValue(VTK_POLY_LINE);
            }
            continue;
        }
        const int vtk_type = type == "Point" ? VTK_VERTEX : type == "Line" ? VTK_LINE : type == "Tri" ? VTK_TRIANGLE
                           : type == "Quad" ? VTK_QUAD : type == "Tet" ? VTK_TETRA : type == "Hex" ? VTK_HEXAHEDRON : -1;
        if (vtk_type < 0) continue;
        vtkCellArray* target = unstructured ? out.volumes.Get()
                             : vtk_type == VTK_VERTEX ? out.verts.Get()
                             : vtk_type == VTK_LINE ? out.lines.Get()
                             : out.polys.Get();
        const int per = vhost::cell_type_nodes(type);
        const auto conn = vhost::longs_view(f.cell_set(s).at("node_connect_list"));
        for (size_t c = 0; c + static_cast<size_t>(per) <= conn.size(); c += static_cast<size_t>(per)) {
            vtkIdType cell[8];
            bool ok = true;
            for (int k = 0; k < per; ++k) {
                cell[k] = static_cast<vtkIdType>(conn[c + static_cast<size_t>(k)]);
                ok &= cell[k] >= 0 && cell[k] < n;
            }
            if (!ok) continue;
            target->InsertNextCell(per, cell);
            if (target == out.volumes.Get()) out.volume_types->InsertNextValue(static_cast<unsigned char>(vtk_type));
        }
    }
    return out;
}

}  // namespace

std::vector<float> field_coordinates(Object& field) {
    OMobj_id id = vhost::host().id_of(*field.deref());
    float* c = nullptr;
    std::int64_t n = 0;
    std::vector<float> out;
    if (FLDget_coord(&id, &c, &n, 0) == 1 && c) out.assign(c, c + n);
    if (c) ARRfree_f(c, __FILE__, __LINE__);
    return out;
}

vtkSmartPointer<vtkPoints> vtk_points_of(Object& field) {
    FieldRef f(field);
    const auto c = field_coordinates(field);
    const int ns = f.nspace();
    const std::int64_t n = f.nnodes();
    auto xyz = large_array<vtkFloatArray>(n, 3);
    float* q = xyz->GetPointer(0);
    if (ns == 3 && static_cast<std::int64_t>(c.size()) == 3 * n) {
        std::copy(c.begin(), c.end(), q);
    } else {
        for (std::int64_t p = 0; p < n; ++p)
            for (int a = 0; a < 3; ++a) {
                const auto at = static_cast<size_t>(p * ns + a);
                q[3 * p + a] = a < ns && at < c.size() ? c[at] : 0.0f;
            }
    }
    auto pts = vtkSmartPointer<vtkPoints>::New();
    pts->SetData(xyz);
    return pts;
}

vtkSmartPointer<vtkPolyData> vtk_poly_of(Object& field, const std::vector<std::string>* texts) {
    FieldRef f(field);
    auto poly = vtkSmartPointer<vtkPolyData>::New();
    poly->SetPoints(vtk_points_of(field));
    Cells cells = cells_of(f, false);
    if (f.ncell_sets() == 0)   // bare points: one vertex each
        for (vtkIdType p = 0; p < f.nnodes(); ++p) cells.verts->InsertNextCell(1, &p);
    poly->SetVerts(cells.verts);
    poly->SetLines(cells.lines);
    poly->SetPolys(cells.polys);
    add_node_data(f, poly->GetPointData(), texts);
    return poly;
}

VtkData vtk_data_of(Object& field, const std::vector<std::string>* texts) {
    FieldRef f(field);
    auto dims = f.dims();
    if (f.ncell_sets() == 0 && dims.size() == 3 && dims[0] * dims[1] * dims[2] == f.nnodes() && f.nnodes() > 0) {
        if (f.object().at("uniform").int_value()) {
            auto p = f.points();
            auto img = vtkSmartPointer<vtkImageData>::New();
            img->SetDimensions(static_cast<int>(dims[0]), static_cast<int>(dims[1]), static_cast<int>(dims[2]));
            img->SetOrigin(p[0], p[1], p[2]);
            double s[3];
            for (int a = 0; a < 3; ++a) s[a] = (p[static_cast<size_t>(3 + a)] - p[static_cast<size_t>(a)]) / std::max<double>(1.0, static_cast<double>(dims[static_cast<size_t>(a)] - 1));
            img->SetSpacing(s);
            add_node_data(f, img->GetPointData(), texts);
            return {img, VtkKind::Image};
        }
        auto sg = vtkSmartPointer<vtkStructuredGrid>::New();
        sg->SetDimensions(static_cast<int>(dims[0]), static_cast<int>(dims[1]), static_cast<int>(dims[2]));
        sg->SetPoints(vtk_points_of(field));
        add_node_data(f, sg->GetPointData(), texts);
        return {sg, VtkKind::Structured};
    }
    if (!has_volume_cells(f)) return {vtk_poly_of(field, texts), VtkKind::Poly};
    auto ug = vtkSmartPointer<vtkUnstructuredGrid>::New();
    ug->SetPoints(vtk_points_of(field));
    std::span<const std::int64_t> conn;
    int per = 0;
    if (one_clean_volume_set(f, conn, per)) {
        // An isovolume of millions of tetrahedra: the connectivity is
        // handed over as it stands, offsets and types made in one pass.
        const auto ncells = static_cast<vtkIdType>(conn.size() / static_cast<size_t>(per));
        vtkNew<vtkTypeInt64Array> connectivity;
        connectivity->SetArray(reinterpret_cast<vtkTypeInt64*>(const_cast<std::int64_t*>(conn.data())),
                               static_cast<vtkIdType>(conn.size()), 1);
        auto offsets = large_array<vtkTypeInt64Array>(ncells + 1);
        for (vtkIdType c = 0; c <= ncells; ++c) offsets->SetValue(c, c * per);
        auto types = large_array<vtkUnsignedCharArray>(ncells);
        std::fill_n(types->GetPointer(0), ncells, static_cast<unsigned char>(per == 4 ? VTK_TETRA : VTK_HEXAHEDRON));
        vtkNew<vtkCellArray> cells;
        cells->SetData(offsets, connectivity);
        ug->SetCells(types, cells);
    } else {
        Cells cells = cells_of(f, true);
        ug->SetCells(cells.volume_types, cells.volumes);
    }
    add_node_data(f, ug->GetPointData(), texts);
    return {ug, VtkKind::Unstructured};
}

}  // namespace velmora
