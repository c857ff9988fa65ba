// The plan view of an analysis: the highest reflectivity of each column,
// the cells' outlines and numbers, tracks, axes in km and the colour bar.
#include <vtkActor.h>
#include <vtkCamera.h>
#include <vtkCellArray.h>
#include <vtkCellData.h>
#include <vtkCoordinate.h>
#include <vtkFloatArray.h>
#include <vtkIdList.h>
#include <vtkNew.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkPolyDataMapper.h>
#include <vtkProperty.h>
#include <vtkScalarBarActor.h>
#include <vtkTextActor.h>
#include <vtkTextProperty.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "pictures/draw/common.h"
#include "pictures/draw/entry.h"

namespace velmora::drawing {

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

void draw_plan(const PlanView& p, const std::string& path, int width, int height) {
    const size_t nx = p.x.size(), ny = p.y.size();
    if (nx == 0 || ny == 0 || p.column_max.size() != nx * ny || p.plan.size() != nx * ny)
        throw std::invalid_argument("plan view: the columns do not match the grid");
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

}  // namespace

}  // namespace velmora::drawing

extern "C" int velmora_draw_plan(const velmora::PlanView* plan, const char* path, int width, int height, char* problem,
                                 std::size_t size) {
    return velmora::drawing::caught([&] { velmora::drawing::draw_plan(*plan, path, width, height); }, problem, size);
}
