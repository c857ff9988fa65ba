#include "vtk_output.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vtkActor.h>
#include <vtkCoordinate.h>
#include <vtkDoubleArray.h>
#include <vtkIdList.h>
#include <vtkBillboardTextActor3D.h>
#include <vtkCamera.h>
#include <vtkCellArray.h>
#include <vtkCellData.h>
#include <vtkFloatArray.h>
#include <vtkGlyph3D.h>
#include <vtkImageData.h>
#include <vtkIntArray.h>
#include <vtkLookupTable.h>
#include <vtkNew.h>
#include <vtkOutlineFilter.h>
#include <vtkPNGWriter.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkRenderWindow.h>
#include <vtkRenderer.h>
#include <vtkScalarBarActor.h>
#include <vtkSmartPointer.h>
#include <vtkSphereSource.h>
#include <vtkStringArray.h>
#include <vtkStructuredGrid.h>
#include <vtkTextActor.h>
#include <vtkTextProperty.h>
#include <vtkUnsignedCharArray.h>
#include <vtkUnstructuredGrid.h>
#include <vtkWindowToImageFilter.h>
#include <vtkXMLImageDataWriter.h>
#include <vtkXMLPolyDataWriter.h>
#include <vtkXMLStructuredGridWriter.h>
#include <vtkTypeInt64Array.h>
#include <vtkXMLUnstructuredGridWriter.h>
#include <vtkXMLWriter.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "field_ref.h"
#include "host.h"
#include "vtk_arrays.h"

extern char** environ;

namespace velmora::app {

namespace {

using vhost::FieldRef;
using vhost::Object;

std::vector<float> coordinates(Object& field) {
    OMobj_id id = vhost::host().id_of(*field.deref());
    float* c = nullptr;
    std::int64_t n = 0;
    std::vector<float> out;
    if (FLDget_coord(&id, &c, &n, 0) == 1 && c) out.assign(c, c + n);
    if (c) ARRfree_f(c, __FILE__, __LINE__);
    return out;
}

vtkSmartPointer<vtkPoints> points_of(Object& field) {
    FieldRef f(field);
    const auto c = coordinates(field);
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

template <class Writer>
vtkSmartPointer<vtkXMLWriter> writer_for() {
    return vtkSmartPointer<Writer>::New();
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

vtkSmartPointer<vtkPolyData> poly_of(Object& field, const std::vector<std::string>* texts = nullptr) {
    FieldRef f(field);
    auto poly = vtkSmartPointer<vtkPolyData>::New();
    poly->SetPoints(points_of(field));
    Cells cells = cells_of(f, false);
    if (f.ncell_sets() == 0)   // bare points: one vertex each
        for (vtkIdType p = 0; p < f.nnodes(); ++p) cells.verts->InsertNextCell(1, &p);
    poly->SetVerts(cells.verts);
    poly->SetLines(cells.lines);
    poly->SetPolys(cells.polys);
    add_node_data(f, poly->GetPointData(), texts);
    return poly;
}

}  // namespace

std::optional<Compression> compression_named(std::string_view name) {
    if (name == "none") return Compression::None;
    if (name == "lz4") return Compression::LZ4;
    if (name == "zlib") return Compression::ZLib;
    return std::nullopt;
}

VtkFile prepare_vtk(Object& field, const std::string& stem, const std::vector<std::string>* texts,
                    Compression compression) {
    FieldRef f(field);
    VtkFile out;
    out.compression_ = compression;
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
            out.path = stem + ".vti";
            out.data_ = img;
            out.writer_ = writer_for<vtkXMLImageDataWriter>();
            return out;
        }
        auto sg = vtkSmartPointer<vtkStructuredGrid>::New();
        sg->SetDimensions(static_cast<int>(dims[0]), static_cast<int>(dims[1]), static_cast<int>(dims[2]));
        sg->SetPoints(points_of(field));
        add_node_data(f, sg->GetPointData(), texts);
        out.path = stem + ".vts";
        out.data_ = sg;
        out.writer_ = writer_for<vtkXMLStructuredGridWriter>();
        return out;
    }
    if (has_volume_cells(f)) {
        auto ug = vtkSmartPointer<vtkUnstructuredGrid>::New();
        ug->SetPoints(points_of(field));
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
        out.path = stem + ".vtu";
        out.data_ = ug;
        out.writer_ = writer_for<vtkXMLUnstructuredGridWriter>();
        return out;
    }
    out.path = stem + ".vtp";
    out.data_ = poly_of(field, texts);
    out.writer_ = writer_for<vtkXMLPolyDataWriter>();
    return out;
}

void VtkFile::write() const {
    if (!writer_ || !data_) throw std::runtime_error(path + ": nothing to write");
    vtkXMLWriter* w = writer_;
    w->SetFileName(path.c_str());
    w->SetInputDataObject(data_);
    w->SetDataModeToAppended();
    w->EncodeAppendedDataOff();   // raw bytes: no base64 pass over the data
    switch (compression_) {
        case Compression::None: w->SetCompressorTypeToNone(); break;
        case Compression::LZ4:
            w->SetCompressorTypeToLZ4();
            w->SetCompressionLevel(1);
            break;
        case Compression::ZLib:
            w->SetCompressorTypeToZLib();
            w->SetCompressionLevel(1);
            break;
    }
    if (w->Write() != 1 || w->GetErrorCode() != 0) throw std::runtime_error(path + ": cannot write");
}

std::string write_vtk(Object& field, const std::string& stem, const std::vector<std::string>* texts,
                      Compression compression) {
    const VtkFile file = prepare_vtk(field, stem, texts, compression);
    file.write();
    return file.path;
}

namespace {

// Whether a local display (":N" or ":N.S") accepts connections on its
// socket; VTK aborts the program on a display that does not. Displays on
// other hosts are taken as they are.
bool display_answers(const char* display) {
    const std::string d = display;
    if (d.empty() || d[0] != ':') return true;
    const std::string number = d.substr(1, d.find('.') == std::string::npos ? std::string::npos : d.find('.') - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string path = "/tmp/.X11-unix/X" + number;
    // The server listens on the socket file, or on the abstract name of the
    // same path (a leading NUL).
    for (bool abstract : {false, true}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::size_t offset = abstract ? 1 : 0;
        if (path.size() + offset >= sizeof addr.sun_path) {
            ::close(fd);
            return false;
        }
        std::memcpy(addr.sun_path + offset, path.data(), path.size());
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
        ::close(fd);
        if (ok) return true;
    }
    return false;
}

// A distinct, readable colour per area number (0: grey).
void area_colours(vtkLookupTable* lut, int max_no) {
    static const double palette[][3] = {{0.90, 0.30, 0.24}, {0.20, 0.55, 0.85}, {0.30, 0.70, 0.35}, {0.95, 0.65, 0.15},
                                        {0.60, 0.40, 0.75}, {0.10, 0.70, 0.70}, {0.85, 0.45, 0.65}, {0.60, 0.60, 0.20}};
    lut->SetNumberOfTableValues(max_no + 1);
    lut->SetTableRange(0, std::max(1, max_no));
    lut->SetTableValue(0, 0.7, 0.7, 0.7, 0.35);
    for (int i = 1; i <= max_no; ++i) {
        const double* c = palette[(i - 1) % 8];
        lut->SetTableValue(i, c[0], c[1], c[2], 1.0);
    }
    lut->Build();
}

void add_text(vtkRenderer* r, const std::string& text, double x, double y, double z, double size, const double rgb[3]) {
    vtkNew<vtkBillboardTextActor3D> t;
    t->SetInput(text.c_str());
    t->SetPosition(x, y, z);
    t->GetTextProperty()->SetFontSize(static_cast<int>(size));
    t->GetTextProperty()->SetColor(rgb[0], rgb[1], rgb[2]);
    t->GetTextProperty()->SetBold(true);
    r->AddActor(t);
}

}  // namespace

VirtualDisplay::VirtualDisplay() {
    const char* d = std::getenv("DISPLAY");
    if (d && *d && display_answers(d)) return;
    for (int n = 91; n < 140; ++n) {
        std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
        std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        struct stat st;
        if (stat(sock.c_str(), &st) == 0 || stat(lock.c_str(), &st) == 0) continue;
        display_ = ":" + std::to_string(n);
        const char* argv[] = {"Xvfb", display_.c_str(), "-screen", "0", "1600x1200x24", "-nolisten", "tcp", nullptr};
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawnp(&pid_, "Xvfb", &fa, nullptr, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) {
            pid_ = -1;
            problem_ = "no display, and Xvfb cannot be started (install xvfb)";
        }
        return;
    }
    problem_ = "no free display number for Xvfb";
}

void VirtualDisplay::ready() {
    if (!problem_.empty()) throw std::runtime_error(problem_);
    if (pid_ <= 0 || ready_) return;
    const std::string sock = "/tmp/.X11-unix/X" + display_.substr(1);
    struct stat st;
    for (int wait = 0; wait < 200 && stat(sock.c_str(), &st) != 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (stat(sock.c_str(), &st) != 0) throw std::runtime_error("Xvfb did not start");
    setenv("DISPLAY", display_.c_str(), 1);
    ready_ = true;
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        if (ready_) unsetenv("DISPLAY");
    }
}

namespace {

const double kInk[3] = {0.1, 0.1, 0.1};

// The outline of the grid.
void add_grid_box(vtkRenderer* ren, Object& grid, double ez) {
    FieldRef g(grid);
    auto p = g.points();
    vtkNew<vtkPolyData> box;
    vtkNew<vtkPoints> corners;
    if (p.size() == 6) {
        corners->InsertNextPoint(p[0], p[1], p[2]);
        corners->InsertNextPoint(p[3], p[4], p[5]);
    } else {
        auto c = coordinates(grid);
        for (size_t i = 0; i + 2 < c.size(); i += 3) corners->InsertNextPoint(c[i], c[i + 1], c[i + 2]);
    }
    box->SetPoints(corners);
    vtkNew<vtkOutlineFilter> outline;
    outline->SetInputData(box);
    vtkNew<vtkPolyDataMapper> m;
    m->SetInputConnection(outline->GetOutputPort());
    vtkNew<vtkActor> a;
    a->SetMapper(m);
    a->GetProperty()->SetColor(0.5, 0.5, 0.5);
    a->SetScale(1, 1, ez);
    ren->AddActor(a);
}

// The isosurface, coloured by the cell of each node.
void add_surface(vtkRenderer* ren, Object& surface, const std::vector<std::int32_t>& area_no, double ez) {
    auto poly = poly_of(surface);
    poly->GetPointData()->Initialize();
    vtkNew<vtkIntArray> no;
    no->SetName("area_no");
    int max_no = 0;
    for (int v : area_no) {
        no->InsertNextValue(v);
        max_no = std::max(max_no, v);
    }
    if (no->GetNumberOfTuples() == poly->GetNumberOfPoints()) poly->GetPointData()->SetScalars(no);
    vtkNew<vtkLookupTable> lut;
    area_colours(lut, max_no);
    vtkNew<vtkPolyDataMapper> m;
    m->SetInputData(poly);
    m->SetLookupTable(lut);
    m->SetScalarRange(0, std::max(1, max_no));
    m->SetScalarModeToUsePointData();
    vtkNew<vtkActor> a;
    a->SetMapper(m);
    a->SetScale(1, 1, ez);
    a->GetProperty()->SetInterpolationToGouraud();
    ren->AddActor(a);
}

// A ball at each cell's top, with its number beside it.
void add_centres(vtkRenderer* ren, Object& centres, const std::vector<std::string>& labels, double ez) {
    FieldRef c(centres);
    auto xyz = coordinates(centres);
    for (std::int64_t i = 0; i < c.nnodes() && static_cast<size_t>(3 * i + 2) < xyz.size(); ++i) {
        const auto k = static_cast<size_t>(3 * i);
        vtkNew<vtkSphereSource> ball;
        ball->SetRadius(0.8);
        ball->SetCenter(xyz[k], xyz[k + 1], xyz[k + 2] * ez);
        vtkNew<vtkPolyDataMapper> m;
        m->SetInputConnection(ball->GetOutputPort());
        vtkNew<vtkActor> a;
        a->SetMapper(m);
        a->GetProperty()->SetColor(0.1, 0.1, 0.1);
        ren->AddActor(a);
        if (static_cast<size_t>(i) < labels.size())
            add_text(ren, labels[static_cast<size_t>(i)], xyz[k] + 1.2, xyz[k + 1], xyz[k + 2] * ez + 1.0, 22, kInk);
    }
}

// Line segments from each node along its vector: the legend's axis and ticks.
void add_segments(vtkRenderer* ren, Object* field, double ez) {
    if (!field) return;
    FieldRef f(*field);
    if (f.ncomp() < 1 || f.veclen(0) != 3) return;
    auto xyz = coordinates(*field);
    auto vec = f.float_values(0);
    vtkNew<vtkPoints> pts;
    vtkNew<vtkCellArray> lines;
    for (std::int64_t i = 0; i < f.nnodes() && static_cast<size_t>(3 * i + 2) < std::min(xyz.size(), vec.size()); ++i) {
        const size_t k = static_cast<size_t>(3 * i);
        vtkIdType a = pts->InsertNextPoint(xyz[k], xyz[k + 1], xyz[k + 2] * ez);
        vtkIdType b = pts->InsertNextPoint(xyz[k] + vec[k], xyz[k + 1] + vec[k + 1], (xyz[k + 2] + vec[k + 2]) * ez);
        vtkIdType ids[2] = {a, b};
        lines->InsertNextCell(2, ids);
    }
    vtkNew<vtkPolyData> poly;
    poly->SetPoints(pts);
    poly->SetLines(lines);
    vtkNew<vtkPolyDataMapper> m;
    m->SetInputData(poly);
    vtkNew<vtkActor> a;
    a->SetMapper(m);
    a->GetProperty()->SetColor(0.1, 0.1, 0.1);
    a->GetProperty()->SetLineWidth(3);
    ren->AddActor(a);
}

void add_text2d(vtkRenderer* ren, const std::string& t, int x, int y, int size) {
    if (t.empty()) return;
    vtkNew<vtkTextActor> a;
    a->SetInput(t.c_str());
    a->SetDisplayPosition(x, y);
    a->GetTextProperty()->SetFontSize(size);
    a->GetTextProperty()->SetColor(kInk[0], kInk[1], kInk[2]);
    ren->AddViewProp(a);
}

// Renders off screen and writes the picture.
void write_picture(vtkRenderer* ren, const std::string& path, int width, int height) {
    vtkNew<vtkRenderWindow> win;
    win->SetOffScreenRendering(1);
    win->AddRenderer(ren);
    win->SetSize(width, height);
    win->SetMultiSamples(4);
    win->Render();
    vtkNew<vtkWindowToImageFilter> grab;
    grab->SetInput(win);
    grab->ReadFrontBufferOff();
    grab->Update();
    vtkNew<vtkPNGWriter> png;
    png->SetFileName(path.c_str());
    png->SetInputConnection(grab->GetOutputPort());
    png->Write();
    if (png->GetErrorCode() != 0) throw std::runtime_error(path + ": cannot write the picture");
    win->Finalize();
}

}  // namespace

void render_png(const Scene& s, const std::string& path, int width, int height, VirtualDisplay* display) {
    std::optional<VirtualDisplay> own;
    if (!display) display = &own.emplace();
    display->ready();
    const double ez = s.vertical_exaggeration;
    vtkNew<vtkRenderer> ren;
    ren->SetBackground(1.0, 1.0, 1.0);

    if (s.grid) add_grid_box(ren, *s.grid, ez);
    if (s.surface && FieldRef(*s.surface).nnodes() > 0) add_surface(ren, *s.surface, s.area_no, ez);
    if (s.centres) add_centres(ren, *s.centres, s.centre_labels, ez);
    // The legend: a vertical axis with horizontal ticks and their heights.
    add_segments(ren, s.axis, ez);
    add_segments(ren, s.ticks, ez);
    if (s.tick_labels) {
        auto xyz = coordinates(*s.tick_labels);
        for (size_t i = 0; i < s.tick_texts.size() && 3 * i + 2 < xyz.size(); ++i)
            add_text(ren, s.tick_texts[i], xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2] * ez, 18, kInk);
    }
    add_text2d(ren, s.title, 20, height - 40, 24);
    add_text2d(ren, s.caption, 20, 15, 14);

    // An oblique view from the south-south-west, looking down at about 35 degrees.
    ren->ResetCamera();
    auto* cam = ren->GetActiveCamera();
    double f[3];
    cam->GetFocalPoint(f);
    const double d = cam->GetDistance();
    cam->SetPosition(f[0] - 0.35 * d, f[1] - 0.85 * d, f[2] + 0.6 * d);
    cam->SetViewUp(0, 0, 1);
    ren->ResetCamera();
    cam->Zoom(1.3);
    write_picture(ren, path, width, height);
}

namespace {

// Reflectivity colours: the turbo colour map (dark blue through green and
// yellow to dark red), sampled at 17 points over 0 dBZ up to the top of the
// scale, as the Python package's plan view draws it.
void reflectivity_colours(vtkLookupTable* lut, double top) {
    static const double turbo[17][3] = {
        {0.190, 0.072, 0.232}, {0.251, 0.252, 0.634}, {0.276, 0.421, 0.891}, {0.259, 0.580, 0.999},
        {0.158, 0.736, 0.923}, {0.093, 0.866, 0.762}, {0.197, 0.949, 0.595}, {0.428, 0.994, 0.386},
        {0.644, 0.990, 0.234}, {0.805, 0.925, 0.205}, {0.933, 0.812, 0.227}, {0.993, 0.674, 0.203},
        {0.984, 0.493, 0.128}, {0.921, 0.315, 0.055}, {0.816, 0.185, 0.018}, {0.664, 0.084, 0.004},
        {0.480, 0.016, 0.011}};
    constexpr int n = 256;
    lut->SetNumberOfTableValues(n);
    lut->SetTableRange(0.0, top);
    for (int i = 0; i < n; ++i) {
        const double t = 16.0 * i / (n - 1);
        const int k = std::min(15, static_cast<int>(t));
        const double f = t - k;
        lut->SetTableValue(i, turbo[k][0] + f * (turbo[k + 1][0] - turbo[k][0]),
                           turbo[k][1] + f * (turbo[k + 1][1] - turbo[k][1]),
                           turbo[k][2] + f * (turbo[k + 1][2] - turbo[k][2]), 1.0);
    }
    lut->SetNanColor(1.0, 1.0, 1.0, 1.0);   // columns without a value stay blank
    lut->Build();
}

// The bounds of the grid cells about coordinates c: halfway between
// neighbours, half a spacing beyond the ends.
std::vector<double> cell_edges(std::span<const float> c) {
    std::vector<double> e(c.size() + 1);
    for (size_t i = 1; i < c.size(); ++i) e[i] = 0.5 * (double(c[i - 1]) + c[i]);
    e.front() = c.size() > 1 ? 2.0 * c.front() - e[1] : c.front() - 0.5;
    e.back() = c.size() > 1 ? 2.0 * c.back() - e[c.size() - 1] : c.back() + 0.5;
    return e;
}

// One quadrilateral per column, coloured by its value.
vtkSmartPointer<vtkPolyData> column_quads(const std::vector<double>& ex, const std::vector<double>& ey,
                                          std::span<const float> values) {
    const auto nx = static_cast<vtkIdType>(ex.size() - 1), ny = static_cast<vtkIdType>(ey.size() - 1);
    vtkNew<vtkPoints> pts;
    pts->SetNumberOfPoints((nx + 1) * (ny + 1));
    for (vtkIdType j = 0; j <= ny; ++j)
        for (vtkIdType i = 0; i <= nx; ++i) pts->SetPoint(j * (nx + 1) + i, ex[size_t(i)], ey[size_t(j)], 0.0);
    vtkNew<vtkCellArray> quads;
    vtkNew<vtkFloatArray> v;
    v->SetName("dBZ");
    v->SetNumberOfTuples(nx * ny);
    for (vtkIdType j = 0; j < ny; ++j)
        for (vtkIdType i = 0; i < nx; ++i) {
            const vtkIdType a = j * (nx + 1) + i;
            const vtkIdType ids[4] = {a, a + 1, a + nx + 2, a + nx + 1};
            quads->InsertNextCell(4, ids);
            v->SetValue(j * nx + i, values[size_t(j * nx + i)]);
        }
    auto poly = vtkSmartPointer<vtkPolyData>::New();
    poly->SetPoints(pts);
    poly->SetPolys(quads);
    poly->GetCellData()->SetScalars(v);
    return poly;
}

// The outlines of the cells: every side between two columns of different
// cells, and the grid's border where a cell reaches it.
vtkSmartPointer<vtkPolyData> cell_outlines(const std::vector<double>& ex, const std::vector<double>& ey,
                                           std::span<const std::int32_t> plan) {
    const auto nx = ex.size() - 1, ny = ey.size() - 1;
    vtkNew<vtkPoints> pts;
    vtkNew<vtkCellArray> lines;
    auto side = [&](double x0, double y0, double x1, double y1) {
        const vtkIdType ids[2] = {pts->InsertNextPoint(x0, y0, 0.01), pts->InsertNextPoint(x1, y1, 0.01)};
        lines->InsertNextCell(2, ids);
    };
    auto at = [&](size_t i, size_t j) { return i < nx && j < ny ? plan[j * nx + i] : 0; };
    for (size_t j = 0; j <= ny; ++j)
        for (size_t i = 0; i <= nx; ++i) {
            const std::int32_t here = at(i, j);
            // The side to the west of column (i, j), and the one to its south.
            if (j < ny && here != (i > 0 ? at(i - 1, j) : 0)) side(ex[i], ey[j], ex[i], ey[j + 1]);
            if (i < nx && here != (j > 0 ? at(i, j - 1) : 0)) side(ex[i], ey[j], ex[i + 1], ey[j]);
        }
    auto poly = vtkSmartPointer<vtkPolyData>::New();
    poly->SetPoints(pts);
    poly->SetLines(lines);
    return poly;
}

// A round step for about six ticks over a span of km: 1, 2 or 5 times a
// power of ten.
double tick_step(double span) {
    const double raw = span / 6.0;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (m * p >= raw) return m * p;
    return 10.0 * p;
}

// Lines of the plan view: flat (unlit), in one colour and width.
void add_flat_lines(vtkRenderer* ren, vtkPolyData* lines, double grey, double width) {
    vtkNew<vtkPolyDataMapper> m;
    m->SetInputData(lines);
    vtkNew<vtkActor> a;
    a->SetMapper(m);
    a->GetProperty()->SetColor(grey, grey, grey);
    a->GetProperty()->SetLineWidth(width);
    a->GetProperty()->LightingOff();
    ren->AddActor(a);
}

// Text at a point of the world, justified about it.
void add_world_text(vtkRenderer* ren, const std::string& text, double x, double y, int size, int h_align,
                    int v_align) {
    vtkNew<vtkTextActor> t;
    t->SetInput(text.c_str());
    t->GetPositionCoordinate()->SetCoordinateSystemToWorld();
    t->GetPositionCoordinate()->SetValue(x, y, 0.02);
    auto* p = t->GetTextProperty();
    p->SetFontSize(size);
    p->SetColor(kInk[0], kInk[1], kInk[2]);
    p->SetJustification(h_align);
    p->SetVerticalJustification(v_align);
    ren->AddViewProp(t);
}

// Axes along the bottom and the left of the box [x0, x1] x [y0, y1]: ticks
// of tick pixels outward at round values in km, their values, and titles;
// s is the scale in pixels per km.
void add_plan_axes(vtkRenderer* ren, double x0, double x1, double y0, double y1, double s) {
    vtkNew<vtkPoints> pts;
    vtkNew<vtkCellArray> lines;
    auto segment = [&](double ax, double ay, double bx, double by) {
        const vtkIdType ids[2] = {pts->InsertNextPoint(ax, ay, 0.02), pts->InsertNextPoint(bx, by, 0.02)};
        lines->InsertNextCell(2, ids);
    };
    segment(x0, y0, x1, y0);
    segment(x0, y0, x0, y1);
    const double tick = 8.0 / s, gap = 12.0 / s;
    const double dx = tick_step(x1 - x0), dy = tick_step(y1 - y0);
    char text[32];
    for (double t = std::ceil(x0 / dx) * dx; t <= x1; t += dx) {
        segment(t, y0, t, y0 - tick);
        std::snprintf(text, sizeof text, "%g", std::fabs(t) < 1e-9 ? 0.0 : t);
        add_world_text(ren, text, t, y0 - gap, 16, VTK_TEXT_CENTERED, VTK_TEXT_TOP);
    }
    for (double t = std::ceil(y0 / dy) * dy; t <= y1; t += dy) {
        segment(x0, t, x0 - tick, t);
        std::snprintf(text, sizeof text, "%g", std::fabs(t) < 1e-9 ? 0.0 : t);
        add_world_text(ren, text, x0 - gap, t, 16, VTK_TEXT_RIGHT, VTK_TEXT_CENTERED);
    }
    add_world_text(ren, "x (km)", 0.5 * (x0 + x1), y0 - 42.0 / s, 18, VTK_TEXT_CENTERED, VTK_TEXT_TOP);
    add_world_text(ren, "y (km)", x0, y1 + 12.0 / s, 18, VTK_TEXT_CENTERED, VTK_TEXT_BOTTOM);
    vtkNew<vtkPolyData> poly;
    poly->SetPoints(pts);
    poly->SetLines(lines);
    add_flat_lines(ren, poly, kInk[0], 1.5);
}

// The paths as thick dark lines with an arrow head at their last point and
// their labels beyond it.
void add_paths(vtkRenderer* ren, const std::vector<PlanView::Path>& paths) {
    vtkNew<vtkPoints> pts;
    vtkNew<vtkCellArray> lines, heads;
    for (const auto& path : paths) {
        const std::size_t n = std::min(path.x.size(), path.y.size());
        if (n == 0) continue;
        std::vector<vtkIdType> ids;
        for (std::size_t i = 0; i < n; ++i) ids.push_back(pts->InsertNextPoint(path.x[i], path.y[i], 0.03));
        if (n > 1) {
            lines->InsertNextCell(static_cast<vtkIdType>(ids.size()), ids.data());
            // An arrow head on the last step: two barbs a third of its length.
            const double ex = path.x[n - 1], ey = path.y[n - 1];
            const double dx = ex - path.x[n - 2], dy = ey - path.y[n - 2];
            const double len = std::hypot(dx, dy);
            if (len > 0) {
                const double ux = dx / len, uy = dy / len, b = std::max(1.0, len / 3.0);
                for (const double side : {1.0, -1.0}) {
                    const vtkIdType barb[2] = {ids.back(), pts->InsertNextPoint(ex - b * (ux - 0.5 * side * uy),
                                                                                ey - b * (uy + 0.5 * side * ux), 0.03)};
                    heads->InsertNextCell(2, barb);
                }
            }
        }
        add_world_text(ren, path.label, path.x[n - 1] + 1.5, path.y[n - 1] + 1.5, 16, VTK_TEXT_LEFT, VTK_TEXT_BOTTOM);
    }
    vtkNew<vtkPolyData> poly;
    poly->SetPoints(pts);
    poly->SetLines(lines);
    for (vtkIdType c = 0; c < heads->GetNumberOfCells(); ++c) {
        vtkNew<vtkIdList> ids;
        heads->GetCellAtId(c, ids);
        poly->GetLines()->InsertNextCell(ids);
    }
    add_flat_lines(ren, poly, 0.05, 3.0);
}

}  // namespace

void write_track_lines(const std::string& path, const std::vector<TrackLine>& lines) {
    vtkNew<vtkPoints> pts;
    vtkNew<vtkCellArray> verts, polylines;
    vtkNew<vtkIntArray> point_track, cell_track;
    vtkNew<vtkDoubleArray> time;
    point_track->SetName("track");
    cell_track->SetName("track");
    time->SetName("time");
    std::vector<int> vert_tracks, line_tracks;
    for (const TrackLine& l : lines) {
        std::vector<vtkIdType> ids;
        for (std::size_t i = 0; i < l.x.size(); ++i) {
            ids.push_back(pts->InsertNextPoint(l.x[i], l.y[i], i < l.z.size() ? l.z[i] : 0.0));
            point_track->InsertNextValue(l.track);
            time->InsertNextValue(i < l.time.size() ? l.time[i] : 0.0);
        }
        if (ids.empty()) continue;
        // A track of one cell is a point: a line needs two.
        (ids.size() == 1 ? verts : polylines)->InsertNextCell(static_cast<vtkIdType>(ids.size()), ids.data());
        (ids.size() == 1 ? vert_tracks : line_tracks).push_back(l.track);
    }
    // VTK numbers the cells of polydata vertices first, then lines.
    for (const int t : vert_tracks) cell_track->InsertNextValue(t);
    for (const int t : line_tracks) cell_track->InsertNextValue(t);
    vtkNew<vtkPolyData> poly;
    poly->SetPoints(pts);
    poly->SetVerts(verts);
    poly->SetLines(polylines);
    poly->GetPointData()->AddArray(point_track);
    poly->GetPointData()->AddArray(time);
    poly->GetCellData()->AddArray(cell_track);
    vtkNew<vtkXMLPolyDataWriter> w;
    w->SetFileName(path.c_str());
    w->SetInputData(poly);
    w->SetDataModeToAppended();
    w->SetCompressorTypeToLZ4();
    if (w->Write() != 1) throw std::runtime_error(path + ": cannot write the tracks");
}

namespace {

// A cell's number, bold, centred on its place on the map.
void add_cell_number(vtkRenderer* ren, int no, double x, double y) {
    vtkNew<vtkTextActor> t;
    t->SetInput(std::to_string(no).c_str());
    t->GetPositionCoordinate()->SetCoordinateSystemToWorld();
    t->GetPositionCoordinate()->SetValue(x, y, 0.02);
    t->GetTextProperty()->SetFontSize(18);
    t->GetTextProperty()->SetBold(true);
    t->GetTextProperty()->SetColor(0.0, 0.0, 0.0);
    t->GetTextProperty()->SetJustificationToCentered();
    t->GetTextProperty()->SetVerticalJustificationToCentered();
    ren->AddViewProp(t);
}

// The colour bar of reflectivity at the right of a picture of width x height
// pixels, from bottom to top pixels up, with its unit above.
void add_dbz_bar(vtkRenderer* ren, vtkLookupTable* lut, int width, int height, double bottom, double top) {
    vtkNew<vtkScalarBarActor> bar;
    bar->SetLookupTable(lut);
    bar->SetNumberOfLabels(7);
    bar->SetLabelFormat("%.0f");
    bar->SetUnconstrainedFontSize(true);
    bar->GetPositionCoordinate()->SetCoordinateSystemToDisplay();
    bar->GetPositionCoordinate()->SetValue(width - 150.0, bottom);
    bar->SetWidth(110.0 / width);
    bar->SetHeight((top - bottom) / height);
    for (vtkTextProperty* t : {bar->GetTitleTextProperty(), bar->GetLabelTextProperty()}) {
        t->SetColor(kInk[0], kInk[1], kInk[2]);
        t->SetFontSize(18);
        t->SetBold(false);
        t->SetItalic(false);
        t->ShadowOff();
    }
    ren->AddViewProp(bar);
    vtkNew<vtkTextActor> unit;
    unit->SetInput("dBZ");
    unit->SetDisplayPosition(width - 150, static_cast<int>(top) + 10);
    unit->GetTextProperty()->SetFontSize(18);
    unit->GetTextProperty()->SetColor(kInk[0], kInk[1], kInk[2]);
    ren->AddViewProp(unit);
}

}  // namespace

void render_plan_png(const PlanView& p, const std::string& path, int width, int height, VirtualDisplay* display) {
    const size_t nx = p.x.size(), ny = p.y.size();
    if (nx == 0 || ny == 0 || p.column_max.size() != nx * ny || p.plan.size() != nx * ny)
        throw std::invalid_argument("plan view: the columns do not match the grid");
    std::optional<VirtualDisplay> own;
    if (!display) display = &own.emplace();
    display->ready();
    const auto ex = cell_edges(p.x), ey = cell_edges(p.y);

    // The scale reaches 60 dBZ, or the highest value where that is higher.
    double top = 60.0;
    for (float v : p.column_max)
        if (std::isfinite(v)) top = std::max(top, double(v));
    vtkNew<vtkLookupTable> lut;
    reflectivity_colours(lut, top);

    vtkNew<vtkRenderer> ren;
    ren->SetBackground(1.0, 1.0, 1.0);
    vtkNew<vtkPolyDataMapper> image;
    image->SetInputData(column_quads(ex, ey, p.column_max));
    image->SetLookupTable(lut);
    image->SetScalarModeToUseCellData();
    image->UseLookupTableScalarRangeOn();
    vtkNew<vtkActor> columns;
    columns->SetMapper(image);
    columns->GetProperty()->LightingOff();
    ren->AddActor(columns);

    add_flat_lines(ren, cell_outlines(ex, ey, p.plan), 0.0, 2.0);

    if (!p.paths.empty()) add_paths(ren, p.paths);
    for (const auto& l : p.labels) add_cell_number(ren, l.no, l.x, l.y);

    // The grid fills the plot area at equal scales, with margins for the
    // axes, the title and the colour bar.
    const double left = 100, right = width - 190.0, bottom = 90, top_px = height - 70.0;
    const double wx = ex.back() - ex.front(), wy = ey.back() - ey.front();
    const double s = std::min((right - left) / wx, (top_px - bottom) / wy);   // pixels per km
    const double x0 = left + ((right - left) - s * wx) / 2, y0 = bottom + ((top_px - bottom) - s * wy) / 2;
    auto* cam = ren->GetActiveCamera();
    cam->ParallelProjectionOn();
    const double cx = ex.front() + (width / 2.0 - x0) / s, cy = ey.front() + (height / 2.0 - y0) / s;
    cam->SetFocalPoint(cx, cy, 0.0);
    cam->SetPosition(cx, cy, 10.0 * (wx + wy));
    cam->SetViewUp(0.0, 1.0, 0.0);
    cam->SetParallelScale(height / (2.0 * s));
    ren->ResetCameraClippingRange();

    add_plan_axes(ren, ex.front(), ex.back(), ey.front(), ey.back(), s);

    add_dbz_bar(ren, lut, width, height, bottom, top_px);

    add_text2d(ren, p.title, 20, height - 40, 24);
    add_text2d(ren, p.caption, 20, 15, 14);
    write_picture(ren, path, width, height);
}

}  // namespace velmora::app
