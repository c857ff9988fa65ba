#include "scene/saved.h"

#include <netcdf.h>
#include <vtkCellArray.h>
#include <vtkCommand.h>
#include <vtkDataArray.h>
#include <vtkImageData.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPolyData.h>
#include <vtkStringArray.h>
#include <vtkUnstructuredGrid.h>
#include <vtkXMLGenericDataObjectReader.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "field_ref.h"
#include "io/file_handles.h"

namespace velmora::scene {

namespace fs = std::filesystem;

namespace {

// VTK's errors collected rather than printed: said once, with the file.
class ErrorText : public vtkCommand {
public:
    static ErrorText* New() { return new ErrorText; }
    void Execute(vtkObject*, unsigned long, void* data) override {
        if (data && text.empty()) text = static_cast<const char*>(data);
    }
    std::string text;
};

// Cells by VTK type: how a solid or a polygon goes into a cell set.
const std::map<int, std::pair<const char*, int>>& solid_types() {
    static const std::map<int, std::pair<const char*, int>> types = {
        {10, {"Tet", 4}}, {12, {"Hex", 8}}, {13, {"Prism", 6}}, {14, {"Pyr", 5}}, {5, {"Tri", 3}}, {9, {"Quad", 4}}};
    return types;
}

// Vertices as points, lines and polylines as segments, polygons of three
// and four nodes as triangles and quadrilaterals.
void poly_cells(vtkPolyData* poly, vhost::FieldRef& f) {
    std::vector<std::int64_t> points, segments, tris, quads;
    auto each = [](vtkCellArray* cells, auto add) {
        vtkIdType n = 0;
        const vtkIdType* ids = nullptr;
        for (cells->InitTraversal(); cells->GetNextCell(n, ids);) add(n, ids);
    };
    each(poly->GetVerts(), [&](vtkIdType n, const vtkIdType* ids) { points.insert(points.end(), ids, ids + n); });
    each(poly->GetLines(), [&](vtkIdType n, const vtkIdType* ids) {
        for (vtkIdType i = 0; i + 1 < n; ++i) segments.insert(segments.end(), {ids[i], ids[i + 1]});
    });
    each(poly->GetPolys(), [&](vtkIdType n, const vtkIdType* ids) {
        if (n == 3) tris.insert(tris.end(), ids, ids + 3);
        else if (n == 4) quads.insert(quads.end(), ids, ids + 4);
    });
    if (!points.empty()) f.cells("Point", points);
    if (!segments.empty()) f.cells("Line", segments);
    if (!tris.empty()) f.cells("Tri", tris);
    if (!quads.empty()) f.cells("Quad", quads);
}

void grid_cells(vtkUnstructuredGrid* grid, vhost::FieldRef& f) {
    std::map<int, std::vector<std::int64_t>> by_type;
    for (vtkIdType c = 0; c < grid->GetNumberOfCells(); ++c) {
        const int type = grid->GetCellType(c);
        if (!solid_types().count(type)) continue;
        vtkIdType n = 0;
        const vtkIdType* ids = nullptr;
        grid->GetCellPoints(c, n, ids);
        if (n != solid_types().at(type).second) continue;
        by_type[type].insert(by_type[type].end(), ids, ids + n);
    }
    for (const auto& [type, connect] : by_type) f.cells(solid_types().at(type).first, connect);
}

void point_arrays(vtkPointData* pd, vhost::Object& field, vhost::FieldRef& f) {
    const vtkIdType n = f.nnodes();
    for (int a = 0; a < pd->GetNumberOfArrays(); ++a) {
        vtkDataArray* arr = pd->GetArray(a);
        const std::string name = pd->GetArrayName(a) ? pd->GetArrayName(a) : "data";
        if (!arr) {
            if (auto* s = vtkStringArray::SafeDownCast(pd->GetAbstractArray(a)); s && s->GetNumberOfValues() == n) {
                auto& texts = field.add_free_str_array("text_values").strings();
                for (vtkIdType i = 0; i < n; ++i) texts.push_back(s->GetValue(i));
            }
            continue;
        }
        const int veclen = arr->GetNumberOfComponents();
        if (veclen < 1 || veclen > 3 || arr->GetNumberOfTuples() != n) continue;
        const std::size_t count = static_cast<std::size_t>(n) * static_cast<std::size_t>(veclen);
        if (arr->GetDataType() == VTK_INT || arr->GetDataType() == VTK_SHORT || arr->GetDataType() == VTK_CHAR ||
            arr->GetDataType() == VTK_UNSIGNED_CHAR) {
            const std::span<std::int32_t> v = f.add_ints(name, veclen);
            for (std::size_t i = 0; i < count; ++i) v[i] = static_cast<std::int32_t>(arr->GetVariantValue(static_cast<vtkIdType>(i)).ToInt());
        } else {
            const std::span<float> v = f.add_floats(name, veclen);
            for (vtkIdType t = 0; t < n; ++t)
                for (int c = 0; c < veclen; ++c) v[static_cast<std::size_t>(t * veclen + c)] = static_cast<float>(arr->GetComponent(t, c));
        }
    }
}

void image_field(vtkImageData* img, vhost::FieldRef& f) {
    int d[3];
    double o[3], s[3];
    img->GetDimensions(d);
    img->GetOrigin(o);
    img->GetSpacing(s);
    std::vector<float> corners(6);
    for (int a = 0; a < 3; ++a) {
        corners[static_cast<std::size_t>(a)] = static_cast<float>(o[a]);
        corners[static_cast<std::size_t>(3 + a)] = static_cast<float>(o[a] + s[a] * (d[a] - 1));
    }
    f.uniform({d[0], d[1], d[2]}, corners);
}

}  // namespace

void load_vtk_file(const std::string& path, vhost::Object& field) {
    vtkNew<vtkXMLGenericDataObjectReader> reader;
    vtkNew<ErrorText> errors;
    reader->AddObserver(vtkCommand::ErrorEvent, errors);
    reader->AddObserver(vtkCommand::WarningEvent, errors);
    reader->SetFileName(path.c_str());
    reader->Update();
    auto* data = vtkDataSet::SafeDownCast(reader->GetOutputDataObject(0));
    if (!errors->text.empty() || !data) throw std::runtime_error("can not read " + path + (errors->text.empty() ? "" : ": " + errors->text));
    field.truncate_children(0);
    vhost::make_field_members(field);
    vhost::FieldRef f(field);
    if (auto* img = vtkImageData::SafeDownCast(data)) {
        image_field(img, f);
    } else {
        const vtkIdType n = data->GetNumberOfPoints();
        std::vector<float> xyz(static_cast<std::size_t>(3 * n));
        for (vtkIdType p = 0; p < n; ++p) {
            double q[3];
            data->GetPoint(p, q);
            for (int a = 0; a < 3; ++a) xyz[static_cast<std::size_t>(3 * p + a)] = static_cast<float>(q[a]);
        }
        f.nnodes(n).nspace(3).coord(xyz);
        if (auto* poly = vtkPolyData::SafeDownCast(data)) poly_cells(poly, f);
        else if (auto* grid = vtkUnstructuredGrid::SafeDownCast(data)) grid_cells(grid, f);
    }
    point_arrays(data->GetPointData(), field, f);
}

namespace {

// The first variable of (time, z, y, x) of a NetCDF file; empty for none.
std::string gridded_variable(const std::string& path) {
    NcFile nc;
    if (nc_open(path.c_str(), NC_NOWRITE, &nc.id) != NC_NOERR) return "";
    int count = 0;
    nc_inq_nvars(nc.id, &count);
    for (int id = 0; id < count; ++id) {
        int dims = 0;
        char name[NC_MAX_NAME + 1] = {};
        if (nc_inq_varndims(nc.id, id, &dims) == NC_NOERR && dims == 4 && nc_inq_varname(nc.id, id, name) == NC_NOERR)
            return name;
    }
    return "";
}

}  // namespace

Volume volume_grid(const std::string& folder) {
    const std::string vti = (fs::path(folder) / "radar.vti").string(), nc = (fs::path(folder) / "grid.nc").string();
    if (fs::exists(vti) || !fs::exists(nc)) return read_vti(vti, "");
    return read_volume(nc, gridded_variable(nc));
}

SavedKind saved_kind(const std::string& dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return SavedKind::None;
    if (fs::is_regular_file(fs::path(dir) / "tracks.csv", ec) && fs::is_regular_file(fs::path(dir) / "volumes.csv", ec))
        return SavedKind::Track;
    if (fs::is_regular_file(fs::path(dir) / "radar.vti", ec)) return SavedKind::Analysis;
    return SavedKind::None;
}

std::optional<GeoOrigin> origin_of(const Table& cells) {
    for (std::size_t r = 0; r < cells.rows.size(); ++r) {
        double x = 0, y = 0, lat = 0, lon = 0;
        try {
            x = std::stod(cells.at(r, "x_km")), y = std::stod(cells.at(r, "y_km"));
            lat = std::stod(cells.at(r, "lat")), lon = std::stod(cells.at(r, "lon"));
        } catch (const std::exception&) {
            continue;
        }
        // The projection inverted by a few corrections of a first guess:
        // within a grid's size the error shrinks a thousandfold each time.
        const double km_per_degree = 111.2;
        GeoOrigin o{lat - y / km_per_degree, lon - x / (km_per_degree * std::cos(lat * M_PI / 180.0))};
        for (int step = 0; step < 6; ++step) {
            double px = 0, py = 0;
            projected(o, std::span(&lat, 1), std::span(&lon, 1), std::span(&px, 1), std::span(&py, 1));
            if (!std::isfinite(px) || !std::isfinite(py)) return std::nullopt;
            o.lat += (py - y) / km_per_degree;
            o.lon += (px - x) / (km_per_degree * std::cos(o.lat * M_PI / 180.0));
        }
        return checked_origin(o.lat, o.lon);
    }
    return std::nullopt;
}

void track_lines(const Table& tracks, float z, vhost::Object& field) {
    std::map<int, std::vector<std::pair<float, float>>> paths;   // rows are in time order
    for (std::size_t r = 0; r < tracks.rows.size(); ++r) {
        try {
            paths[std::stoi(tracks.at(r, "track"))].emplace_back(std::stof(tracks.at(r, "x_km")), std::stof(tracks.at(r, "y_km")));
        } catch (const std::exception&) {
            continue;
        }
    }
    std::vector<float> xyz;
    std::vector<std::int64_t> segments;
    std::vector<std::int32_t> number;
    auto node = [&](float x, float y, int track) {
        xyz.insert(xyz.end(), {x, y, z});
        number.push_back(track);
        return static_cast<std::int64_t>(number.size() - 1);
    };
    for (const auto& [track, path] : paths) {
        std::int64_t last = node(path[0].first, path[0].second, track);
        for (std::size_t i = 1; i < path.size(); ++i) {
            const std::int64_t next = node(path[i].first, path[i].second, track);
            segments.insert(segments.end(), {last, next});
            last = next;
        }
        if (path.size() < 2) continue;
        // The head: two strokes back from the tip at 25 degrees either side.
        const auto [x0, y0] = path[path.size() - 2];
        const auto [x1, y1] = path.back();
        const float len = std::hypot(x1 - x0, y1 - y0);
        if (len <= 0.0f) continue;
        const float head = std::clamp(0.4f * len, 1.0f, 6.0f), ux = (x0 - x1) / len, uy = (y0 - y1) / len;
        for (const float a : {0.44f, -0.44f}) {
            const float c = std::cos(a), s = std::sin(a);
            segments.insert(segments.end(), {last, node(x1 + head * (c * ux - s * uy), y1 + head * (s * ux + c * uy), track)});
        }
    }
    field.truncate_children(0);
    vhost::make_field_members(field);
    vhost::FieldRef f(field);
    f.nnodes(static_cast<std::int64_t>(number.size())).nspace(3).coord(xyz);
    if (!segments.empty()) f.cells("Line", segments);
    f.ints("track", number);
}

}  // namespace velmora::scene
