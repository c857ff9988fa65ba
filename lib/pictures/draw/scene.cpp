// The 3-D picture of an analysis: the isosurface coloured by cell, seen
// obliquely from the south-south-west, standing on a ground plane with the
// map, its height axis and the cells' numbers. The surface is drawn into a
// depth buffer of its own (a few lines of triangle filling) rather than by
// an OpenGL renderer: no display, no driver, a few ms.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <vector>

#include "pictures/draw/canvas.h"
#include "pictures/draw/entry.h"
#include "pictures/draw/labels.h"

namespace velmora::drawing {

namespace {

struct P3 {
    double x, y, z;
};

// An orthographic view: screen x along right, screen y against up, depth
// along the view; scale and offset fit the grid's box into the picture.
struct View {
    P3 right, up, dir;
    double ez = 1, s = 1, ox = 0, oy = 0;
    P3 screen(double x, double y, double z) const {
        z *= ez;
        return {ox + s * (x * right.x + y * right.y + z * right.z), oy - s * (x * up.x + y * up.y + z * up.z),
                x * dir.x + y * dir.y + z * dir.z};
    }
};

View view_of(const Scene& sc, int width, int height) {
    constexpr double az = 20.0 * M_PI / 180, el = 35.0 * M_PI / 180;   // from the south-south-west, 35 degrees down
    View v;
    v.dir = {std::sin(az) * std::cos(el), std::cos(az) * std::cos(el), -std::sin(el)};
    const double h = std::hypot(v.dir.x, v.dir.y);
    v.right = {v.dir.y / h, -v.dir.x / h, 0};
    v.up = {v.right.y * v.dir.z - v.right.z * v.dir.y, v.right.z * v.dir.x - v.right.x * v.dir.z,
            v.right.x * v.dir.y - v.right.y * v.dir.x};
    v.ez = sc.vertical_exaggeration;
    const auto& b = sc.box;
    double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
    for (int k = 0; k < 8; ++k) {
        const P3 p = v.screen(b[k & 1], b[2 + ((k >> 1) & 1)], b[4 + ((k >> 2) & 1)]);
        x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
    }
    const double left = 90, right = width - 40.0, top = 70, bottom = height - 50.0;
    v.s = std::min((right - left) / std::max(1e-9, x1 - x0), (bottom - top) / std::max(1e-9, y1 - y0));
    v.ox = left + ((right - left) - v.s * (x1 - x0)) / 2 - v.s * x0;
    v.oy = top + ((bottom - top) - v.s * (y1 - y0)) / 2 - v.s * y0;
    return v;
}

// The ground: the grid's floor in a pale tint, the map on it, the box's edges.
void draw_ground(const Canvas& c, const Scene& sc, const View& v) {
    cairo_t* cr = c.cr();
    const auto& b = sc.box;
    const double corner[4][2] = {{b[0], b[2]}, {b[1], b[2]}, {b[1], b[3]}, {b[0], b[3]}};
    for (int k = 0; k < 4; ++k) {
        const P3 p = v.screen(corner[k][0], corner[k][1], b[4]);
        (k == 0 ? cairo_move_to : cairo_line_to)(cr, p.x, p.y);
    }
    cairo_close_path(cr);
    c.colour({0.93, 0.92, 0.88});
    cairo_fill(cr);
    for (const MapPath& m : sc.context.map) {
        for (std::size_t i = 0; i < m.x.size() && i < m.y.size(); ++i) {
            const P3 p = v.screen(m.x[i], m.y[i], b[4]);
            (i == 0 ? cairo_move_to : cairo_line_to)(cr, p.x, p.y);
        }
        c.colour(m.kind == 0 ? Rgb{0.15, 0.25, 0.45} : Rgb{0.4, 0.4, 0.4});
        cairo_set_line_width(cr, 1.0);
        cairo_stroke(cr);
    }
    if (sc.context.radar_km) {
        const P3 p = v.screen((*sc.context.radar_km)[0], (*sc.context.radar_km)[1], b[4]);
        c.line(p.x - 6, p.y, p.x + 6, p.y, 1.5, kInk);
        c.line(p.x, p.y - 6, p.x, p.y + 6, 1.5, kInk);
    }
    for (int e = 0; e < 12; ++e) {   // the box's twelve edges
        const int axis = e / 4, a = e % 4;
        P3 p0{}, p1{};
        double lo[3], hi[3];
        for (int d = 0, k = 0; d < 3; ++d) {
            const double fixed = d == axis ? 0 : b[2 * d + ((a >> k++) & 1)];
            lo[d] = d == axis ? b[2 * d] : fixed;
            hi[d] = d == axis ? b[2 * d + 1] : fixed;
        }
        p0 = v.screen(lo[0], lo[1], lo[2]);
        p1 = v.screen(hi[0], hi[1], hi[2]);
        c.line(p0.x, p0.y, p1.x, p1.y, 1.0, {0.55, 0.55, 0.55});
    }
}

// Fills the triangles into the picture through a depth buffer, each in its
// cell's colour shaded by how it faces the light.
void draw_surface(const Canvas& c, const Scene& sc, const View& v) {
    const int w = c.width(), h = c.height();
    std::vector<float> depth(static_cast<std::size_t>(w) * h, std::numeric_limits<float>::infinity());
    cairo_surface_flush(c.surface());
    unsigned char* data = cairo_image_surface_get_data(c.surface());
    const int stride = cairo_image_surface_get_stride(c.surface());
    const P3 light{-0.4, -0.6, 0.7};
    const double ll = std::sqrt(light.x * light.x + light.y * light.y + light.z * light.z);
    const std::size_t nodes = sc.node_cell.size();
    for (std::size_t t = 0; t + 2 < sc.triangles.size(); t += 3) {
        std::size_t id[3];
        P3 s[3], wpt[3];
        bool ok = true;
        for (int k = 0; k < 3; ++k) {
            const auto n = sc.triangles[t + static_cast<std::size_t>(k)];
            ok = ok && n >= 0 && static_cast<std::size_t>(n) < nodes;
            if (!ok) break;
            id[k] = static_cast<std::size_t>(n);
            wpt[k] = {sc.coord[3 * id[k]], sc.coord[3 * id[k] + 1], sc.coord[3 * id[k] + 2] * v.ez};
            s[k] = v.screen(sc.coord[3 * id[k]], sc.coord[3 * id[k] + 1], sc.coord[3 * id[k] + 2]);
        }
        if (!ok) continue;
        const P3 a{wpt[1].x - wpt[0].x, wpt[1].y - wpt[0].y, wpt[1].z - wpt[0].z}, b{wpt[2].x - wpt[0].x, wpt[2].y - wpt[0].y, wpt[2].z - wpt[0].z};
        const P3 n{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
        const double nl = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
        const double lit = nl > 0 ? std::fabs(n.x * light.x + n.y * light.y + n.z * light.z) / (nl * ll) : 0.5;
        std::int32_t cell = 0;
        for (std::size_t k : id) cell = std::max(cell, sc.node_cell[k]);
        const Rgb base = cell > 0 ? palette_colour(static_cast<std::size_t>(cell) < sc.cell_colour.size() ? sc.cell_colour[static_cast<std::size_t>(cell)] : cell - 1)
                                  : Rgb{0.7, 0.7, 0.7};
        const double f = 0.35 + 0.65 * lit;
        const std::uint32_t px = 0xff000000u | std::uint32_t(base.r * f * 255) << 16 | std::uint32_t(base.g * f * 255) << 8 |
                                 std::uint32_t(base.b * f * 255);
        // The triangle's pixels by their barycentric weights.
        const int x0 = std::max(0, static_cast<int>(std::floor(std::min({s[0].x, s[1].x, s[2].x}))));
        const int x1 = std::min(w - 1, static_cast<int>(std::ceil(std::max({s[0].x, s[1].x, s[2].x}))));
        const int y0 = std::max(0, static_cast<int>(std::floor(std::min({s[0].y, s[1].y, s[2].y}))));
        const int y1 = std::min(h - 1, static_cast<int>(std::ceil(std::max({s[0].y, s[1].y, s[2].y}))));
        const double area = (s[1].x - s[0].x) * (s[2].y - s[0].y) - (s[2].x - s[0].x) * (s[1].y - s[0].y);
        if (std::fabs(area) < 1e-12) continue;
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                const double px_ = x + 0.5, py_ = y + 0.5;
                const double w0 = ((s[1].x - px_) * (s[2].y - py_) - (s[2].x - px_) * (s[1].y - py_)) / area;
                const double w1 = ((s[2].x - px_) * (s[0].y - py_) - (s[0].x - px_) * (s[2].y - py_)) / area;
                const double w2 = 1 - w0 - w1;
                if (w0 < 0 || w1 < 0 || w2 < 0) continue;
                const auto z = static_cast<float>(w0 * s[0].z + w1 * s[1].z + w2 * s[2].z);
                float& d = depth[static_cast<std::size_t>(y) * w + x];
                if (z >= d) continue;
                d = z;
                reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride)[x] = px;
            }
    }
    cairo_surface_mark_dirty(c.surface());
}

// The height axis up the box's nearest vertical edge, its ticks far enough
// apart on screen that their texts never touch.
void draw_height_axis(const Canvas& c, const Scene& sc, const View& v, PictureLayout& layout) {
    const auto& b = sc.box;
    const P3 p0 = v.screen(b[0], b[2], b[4]), p1 = v.screen(b[0], b[2], b[5]);
    const double span = b[5] - b[4], pixels = std::hypot(p1.x - p0.x, p1.y - p0.y);
    if (span <= 0 || pixels <= 0) return;
    // At least 26 pixels between ticks: the round step at or above that.
    const double step = tick_step(std::max(span / 6, span * 26 / pixels), 1);
    c.line(p0.x, p0.y, p1.x, p1.y, 1.5, kInk);
    for (double z = std::ceil(b[4] / step) * step; z <= b[5] + 1e-9; z += step) {
        const P3 p = v.screen(b[0], b[2], z);
        c.line(p.x - 6, p.y, p.x, p.y, 1.5, kInk);
        char text[32];
        std::snprintf(text, sizeof text, "%g", std::fabs(z) < 1e-9 ? 0.0 : z);
        layout.ticks.push_back(c.text_at(text, p.x - 9, p.y, 13, false, 1, 0.5));
    }
    c.text_at("km", p1.x - 9, p1.y - 14, 13, true, 1, 0.5);
}

// The cells' numbers at their tops, over everything, moved apart where they
// would touch.
void draw_tops(const Canvas& c, const Scene& sc, const View& v, PictureLayout& layout) {
    std::vector<Wanted> texts;
    std::vector<std::string> strings;
    cairo_t* cr = c.cr();
    for (const Scene::Top& t : sc.tops) {
        const P3 p = v.screen(t.x, t.y, t.z);
        cairo_arc(cr, p.x, p.y, 3, 0, 2 * M_PI);
        c.colour(kInk);
        cairo_fill(cr);
        strings.push_back(std::to_string(t.no));
        const Extent e = c.measure(strings.back(), 15, true);
        texts.push_back({t.no, p.x, p.y - 14, e.width + 6, e.height + 2, 15, true});
    }
    std::vector<Area> taken;
    for (const auto& b : layout.ticks) taken.push_back({b.x0, b.y0, b.x1, b.y1});
    const auto boxes = place_labels(texts, {0, 50, double(c.width()), c.height() - 30.0}, taken);
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const auto& b = boxes[i];
        const P3 top = v.screen(sc.tops[i].x, sc.tops[i].y, sc.tops[i].z);
        if (b.leader || std::hypot(b.anchor_x - top.x, b.anchor_y - top.y) > 0)
            c.line(top.x, top.y, std::clamp(top.x, b.x0, b.x1), std::clamp(top.y, b.y0, b.y1), 1.2, kInk);
        cairo_rectangle(cr, b.x0, b.y0, b.x1 - b.x0, b.y1 - b.y0);
        c.colour({1, 1, 1}, 0.85);
        cairo_fill_preserve(cr);
        const int colour = static_cast<std::size_t>(b.no) < sc.cell_colour.size() ? sc.cell_colour[static_cast<std::size_t>(b.no)] : b.no - 1;
        c.colour(palette_colour(colour));
        cairo_set_line_width(cr, 2);
        cairo_stroke(cr);
        c.text_at(strings[i], 0.5 * (b.x0 + b.x1), 0.5 * (b.y0 + b.y1), 15, true, 0.5, 0.5);
        layout.labels.push_back(b);
    }
}

void draw_scene(const Scene& sc, const std::string& path, int width, int height, PictureLayout& layout) {
    const Canvas c(width, height);
    layout = PictureLayout{};
    layout.width = width;
    layout.height = height;
    const View v = view_of(sc, width, height);
    draw_ground(c, sc, v);
    draw_surface(c, sc, v);
    draw_height_axis(c, sc, v, layout);
    draw_tops(c, sc, v, layout);
    layout.title = sc.context.time.empty() ? sc.title : sc.context.time + "  " + sc.title;
    c.text(layout.title, 20, 18, 20, true);
    if (!sc.caption.empty()) c.text(sc.caption, 20, height - 26.0, 12, false, {0.35, 0.35, 0.35});
    c.write(path);
}

}  // namespace

}  // namespace velmora::drawing

extern "C" int velmora_draw_scene(const velmora::Scene* scene, const char* path, int width, int height,
                                  velmora::PictureLayout* layout, char* problem, std::size_t size) {
    return velmora::drawing::caught(
        [&] {
            velmora::PictureLayout own;
            velmora::drawing::draw_scene(*scene, path, width, height, layout ? *layout : own);
        },
        problem, size);
}
