// The 3-D picture of an analysis: the grid's outline, the isosurface
// coloured by cell, the cells' tops and numbers, the height legend.
#include <vtkActor.h>
#include <vtkCamera.h>
#include <vtkCellArray.h>
#include <vtkIntArray.h>
#include <vtkNew.h>
#include <vtkOutlineFilter.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkSphereSource.h>

#include <algorithm>

#include "field_ref.h"
#include "io/vtk_data.h"
#include "pictures/draw/common.h"
#include "pictures/draw/entry.h"

namespace velmora::drawing {

namespace {

using vhost::FieldRef;
using vhost::Object;

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
        auto c = field_coordinates(grid);
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
    auto poly = vtk_poly_of(surface);
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
    auto xyz = field_coordinates(centres);
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
    auto xyz = field_coordinates(*field);
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

void draw_scene(const Scene& s, const std::string& path, int width, int height) {
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
        auto xyz = field_coordinates(*s.tick_labels);
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

}  // namespace

}  // namespace velmora::drawing

extern "C" int velmora_draw_scene(const velmora::Scene* scene, const char* path, int width, int height, char* problem,
                                  std::size_t size) {
    return velmora::drawing::caught([&] { velmora::drawing::draw_scene(*scene, path, width, height); }, problem, size);
}
