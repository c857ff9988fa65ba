// The plan views: one value of each column on the conventional colour
// scale, the map, the radar and its range rings, the cells' outlines and
// numbers, tracks, axes in km and degrees, the colour bar.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include "pictures/draw/canvas.h"
#include "pictures/draw/entry.h"
#include "pictures/draw/labels.h"

namespace velmora::drawing {

namespace {

// Where the grid lies in the picture: pixel = origin + km * scale, y down.
struct Frame {
    double ox, oy, s;
    double x0, y0, x1, y1;   // the plot's pixels
    double px(double x) const { return ox + x * s; }
    double py(double y) const { return oy - y * s; }
    Area area() const { return {x0, y0, x1, y1}; }
};

// The bounds of the columns about coordinates c: halfway between
// neighbours, half a spacing beyond the ends.
std::vector<double> cell_edges(std::span<const float> c) {
    std::vector<double> e(c.size() + 1);
    for (size_t i = 1; i < c.size(); ++i) e[i] = 0.5 * (double(c[i - 1]) + c[i]);
    e.front() = c.size() > 1 ? 2.0 * c.front() - e[1] : c.front() - 0.5;
    e.back() = c.size() > 1 ? 2.0 * c.back() - e[c.size() - 1] : c.back() + 0.5;
    return e;
}

// The grid fills the space left by the title, the axes and the colour bar,
// at equal scales.
Frame frame_of(const std::vector<double>& ex, const std::vector<double>& ey, int width, int height) {
    const double left = 110, right = width - 170.0, top = 100, bottom = height - 90.0;
    const double wx = ex.back() - ex.front(), wy = ey.back() - ey.front();
    const double s = std::min((right - left) / wx, (bottom - top) / wy);
    const double x0 = left + ((right - left) - s * wx) / 2, y1 = bottom - ((bottom - top) - s * wy) / 2;
    return {x0 - ex.front() * s, y1 + ey.front() * s, s, x0, y1 - s * wy, x0 + s * wx, y1};
}

// The columns as an image of one pixel each, scaled onto the plot; values
// below the scale's first step stay transparent.
void draw_columns(const Canvas& c, const PlanView& p, const Frame& f) {
    const int nx = static_cast<int>(p.x.size()), ny = static_cast<int>(p.y.size());
    cairo_surface_t* img = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, nx, ny);
    if (cairo_surface_status(img) != CAIRO_STATUS_SUCCESS) throw std::runtime_error("no memory for the plan view");
    cairo_surface_flush(img);
    unsigned char* data = cairo_image_surface_get_data(img);
    const int stride = cairo_image_surface_get_stride(img);
    const auto steps = scale_steps(p.scale);
    for (int j = 0; j < ny; ++j) {
        auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(ny - 1 - j) * stride);
        for (int i = 0; i < nx; ++i) {
            const auto col = scale_colour(steps, p.column_max[static_cast<std::size_t>(j) * nx + i]);
            row[i] = !col ? 0u
                          : 0xff000000u | std::uint32_t(col->r * 255 + 0.5) << 16 | std::uint32_t(col->g * 255 + 0.5) << 8 |
                                std::uint32_t(col->b * 255 + 0.5);
        }
    }
    cairo_surface_mark_dirty(img);
    cairo_t* cr = c.cr();
    cairo_save(cr);
    cairo_translate(cr, f.x0, f.y0);
    cairo_scale(cr, (f.x1 - f.x0) / nx, (f.y1 - f.y0) / ny);
    cairo_set_source_surface(cr, img, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(img);
}

void polyline(const Canvas& c, const Frame& f, std::span<const float> x, std::span<const float> y) {
    for (std::size_t i = 0; i < x.size() && i < y.size(); ++i)
        (i == 0 ? cairo_move_to : cairo_line_to)(c.cr(), f.px(x[i]), f.py(y[i]));
}

// Range rings every step km about a radar out to reach km, each labelled
// where it crosses north-east when all of its text fits.
void draw_rings(const Canvas& c, const Frame& f, double rx, double ry, double step, double reach) {
    cairo_t* cr = c.cr();
    for (double r = step; r <= reach; r += step) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, f.px(rx), f.py(ry), r * f.s, 0, 2 * M_PI);
        c.colour({0.45, 0.45, 0.45}, 0.8);
        cairo_set_line_width(cr, 0.8);
        cairo_stroke(cr);
        char text[32];
        std::snprintf(text, sizeof text, "%g km", r);
        const double tx = f.px(rx) + r * f.s * M_SQRT1_2 + 2, ty = f.py(ry) - r * f.s * M_SQRT1_2 - 2;
        const Extent e = c.measure(text, 11, false);
        if (tx >= f.x0 && tx + e.width <= f.x1 && ty - e.height >= f.y0 && ty <= f.y1)
            c.text_at(text, tx, ty, 11, false, 0, 1, {0.4, 0.4, 0.4});
    }
}

// A radar's marker, a ring and cross in dark grey: where it went, none
// when the radar lies outside the plan.
std::optional<std::array<double, 2>> draw_marker(const Canvas& c, const Frame& f, double rx, double ry) {
    cairo_t* cr = c.cr();
    const double x = f.px(rx), y = f.py(ry);
    if (x < f.x0 || x > f.x1 || y < f.y0 || y > f.y1) return std::nullopt;
    cairo_arc(cr, x, y, 5, 0, 2 * M_PI);
    c.colour({1, 1, 1});
    cairo_fill_preserve(cr);
    c.colour(kInk);
    cairo_set_line_width(cr, 2);
    cairo_stroke(cr);
    c.line(x - 9, y, x + 9, y, 1.5, kInk);
    c.line(x, y - 9, x, y + 9, 1.5, kInk);
    return std::array<double, 2>{x, y};
}

// Coastlines and borders, then range rings every round distance about the
// radar and its marker; or, for a mosaic, every radar's own rings out to its
// range and its marker.
void draw_map(const Canvas& c, const MapContext& m, const Frame& f, PictureLayout& layout) {
    cairo_t* cr = c.cr();
    for (const MapPath& path : m.map) {
        polyline(c, f, path.x, path.y);
        c.colour(path.kind == 0 ? Rgb{0.15, 0.25, 0.45} : Rgb{0.35, 0.35, 0.35}, 0.9);
        cairo_set_line_width(cr, path.kind == 0 ? 1.2 : 1.0);
        const double dash[] = {5.0, 3.0};
        cairo_set_dash(cr, dash, path.kind == 0 ? 0 : 2, 0);
        cairo_stroke(cr);
    }
    cairo_set_dash(cr, nullptr, 0, 0);
    for (const auto& [rx, ry, range] : m.network) {
        draw_rings(c, f, rx, ry, tick_step(range, 3), range);
        if (auto at = draw_marker(c, f, rx, ry)) layout.network.push_back(*at);
    }
    if (!m.radar_km || !m.network.empty()) return;
    const double rx = (*m.radar_km)[0], ry = (*m.radar_km)[1];
    const double reach = std::max({std::hypot(f.x0 - f.px(rx), f.y0 - f.py(ry)), std::hypot(f.x1 - f.px(rx), f.y1 - f.py(ry)),
                                   std::hypot(f.x0 - f.px(rx), f.y1 - f.py(ry)), std::hypot(f.x1 - f.px(rx), f.y0 - f.py(ry))}) / f.s;
    draw_rings(c, f, rx, ry, tick_step(reach, 4), reach);
    layout.radar = draw_marker(c, f, rx, ry);
}

// Every side between two columns of different cells, and the grid's border
// where a cell reaches it.
void draw_outlines(const Canvas& c, const PlanView& p, const Frame& f) {
    const auto ex = cell_edges(p.x), ey = cell_edges(p.y);
    const std::size_t nx = p.x.size(), ny = p.y.size();
    auto at = [&](size_t i, size_t j) { return i < nx && j < ny ? p.plan[j * nx + i] : 0; };
    cairo_t* cr = c.cr();
    auto side = [&](double x0, double y0, double x1, double y1) {
        cairo_move_to(cr, f.px(x0), f.py(y0));
        cairo_line_to(cr, f.px(x1), f.py(y1));
    };
    for (size_t j = 0; j <= ny; ++j)
        for (size_t i = 0; i <= nx; ++i) {
            const std::int32_t here = at(i, j);
            if (j < ny && here != (i > 0 ? at(i - 1, j) : 0)) side(ex[i], ey[j], ex[i], ey[j + 1]);
            if (i < nx && here != (j > 0 ? at(i, j - 1) : 0)) side(ex[i], ey[j], ex[i + 1], ey[j]);
        }
    c.colour({0, 0, 0});
    cairo_set_line_width(cr, 1.6);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    cairo_stroke(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
}

// A mosaic's seams: dashed lines between neighbouring columns whose views
// came from different radars.
void draw_seams(const Canvas& c, const PlanView& p, const Frame& f) {
    const std::size_t nx = p.x.size(), ny = p.y.size();
    if (p.kept_radar.size() != nx * ny) return;
    const auto ex = cell_edges(p.x), ey = cell_edges(p.y);
    cairo_t* cr = c.cr();
    auto differ = [&](std::size_t a, std::size_t b) {
        return p.kept_radar[a] >= 0 && p.kept_radar[b] >= 0 && p.kept_radar[a] != p.kept_radar[b];
    };
    for (std::size_t j = 0; j < ny; ++j)
        for (std::size_t i = 0; i < nx; ++i) {
            const std::size_t here = j * nx + i;
            if (i > 0 && differ(here, here - 1)) {
                cairo_move_to(cr, f.px(ex[i]), f.py(ey[j]));
                cairo_line_to(cr, f.px(ex[i]), f.py(ey[j + 1]));
            }
            if (j > 0 && differ(here, here - nx)) {
                cairo_move_to(cr, f.px(ex[i]), f.py(ey[j]));
                cairo_line_to(cr, f.px(ex[i + 1]), f.py(ey[j]));
            }
        }
    const double dash[] = {4.0, 3.0};
    cairo_set_dash(cr, dash, 2, 0);
    c.colour({0.55, 0.1, 0.55}, 0.9);
    cairo_set_line_width(cr, 1.4);
    cairo_stroke(cr);
    cairo_set_dash(cr, nullptr, 0, 0);
}

// Ticks of one axis: texts that would touch the one before are left out.
void axis_ticks(const Canvas& c, const std::vector<GeoTick>& ticks, const Frame& f, bool bottom, bool geo,
                PictureLayout& layout) {
    double last = -1e9;
    for (const GeoTick& t : ticks) {
        const double at = bottom ? f.px(t.at) : f.py(t.at);
        if (at < (bottom ? f.x0 : f.y0) - 0.5 || at > (bottom ? f.x1 : f.y1) + 0.5) continue;
        const bool first_side = geo;   // degrees below and left, km above and right
        const double edge = bottom ? (first_side ? f.y1 : f.y0) : (first_side ? f.x0 : f.x1);
        const double out = first_side ? 1 : -1;
        if (bottom) c.line(at, edge, at, edge + out * 6, 1.2, kInk);
        else c.line(edge, at, edge - out * 6, at, 1.2, kInk);
        const Extent e = c.measure(t.text, 13, false);
        const double size = bottom ? e.width : e.height;
        if (std::fabs(at - last) < size + 6) continue;
        last = at;
        layout.ticks.push_back(bottom ? c.text_at(t.text, at, edge + out * 9, 13, false, 0.5, first_side ? 0 : 1)
                                      : c.text_at(t.text, edge - out * 9, at, 13, false, first_side ? 1 : 0, 0.5));
    }
}

std::vector<GeoTick> km_ticks(double a, double b) {
    std::vector<GeoTick> ticks;
    const double step = tick_step(b - a, 6);
    char text[32];
    for (double t = std::ceil(a / step) * step; t <= b + 1e-9; t += step) {
        std::snprintf(text, sizeof text, "%g", std::fabs(t) < 1e-9 ? 0.0 : t);
        ticks.push_back({t, text});
    }
    return ticks;
}

// The frame and its axes: degrees below and left where the grid has an
// origin, with km above and right; km below and left otherwise.
void draw_axes(const Canvas& c, const PlanView& p, const Frame& f, PictureLayout& layout) {
    c.colour(kInk);
    cairo_set_line_width(c.cr(), 1.2);
    cairo_rectangle(c.cr(), f.x0, f.y0, f.x1 - f.x0, f.y1 - f.y0);
    cairo_stroke(c.cr());
    const auto ex = cell_edges(p.x), ey = cell_edges(p.y);
    const auto kx = km_ticks(ex.front(), ex.back()), ky = km_ticks(ey.front(), ey.back());
    const bool geo = !p.context.lon_ticks.empty();
    if (geo) {
        axis_ticks(c, p.context.lon_ticks, f, true, true, layout);
        axis_ticks(c, p.context.lat_ticks, f, false, true, layout);
        axis_ticks(c, kx, f, true, false, layout);
        axis_ticks(c, ky, f, false, false, layout);
        c.text_at("x, y (km)", f.x1, f.y0 - 26, 13, false, 1, 1);
        return;
    }
    // Without an origin km go below and left, where degrees would be.
    axis_ticks(c, kx, f, true, true, layout);
    axis_ticks(c, ky, f, false, true, layout);
    c.text_at("x (km)", 0.5 * (f.x0 + f.x1), f.y1 + 34, 14, false, 0.5, 0);
    c.text_at("y (km)", f.x0 - 60, 0.5 * (f.y0 + f.y1), 14, false, 1, 0.5);
}

// The colour bar at the right: a box per step, its value at its lower edge.
void draw_colour_bar(const Canvas& c, PlanView::Scale scale, const Frame& f) {
    const auto steps = scale_steps(scale);
    const double x = c.width() - 130.0, w = 26, top = f.y0, bottom = f.y1;
    const double h = (bottom - top) / static_cast<double>(steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const double y = bottom - static_cast<double>(i + 1) * h;
        cairo_rectangle(c.cr(), x, y, w, h);
        c.colour(steps[i].colour);
        cairo_fill(c.cr());
        char text[16];
        std::snprintf(text, sizeof text, "%g", steps[i].from);
        c.text_at(text, x + w + 6, y + h, 13, false, 0, 0.5);
    }
    c.colour(kInk);
    cairo_set_line_width(c.cr(), 1);
    cairo_rectangle(c.cr(), x, top, w, bottom - top);
    cairo_stroke(c.cr());
    c.text_at(scale_unit(scale), x, top - 8, 14, true, 0, 1);
}

// A diamond (a split) or a square (a merge) about x, y.
void marker(const Canvas& c, double x, double y, bool diamond, const Rgb& colour) {
    cairo_t* cr = c.cr();
    if (diamond) {
        cairo_move_to(cr, x, y - 7);
        cairo_line_to(cr, x + 7, y);
        cairo_line_to(cr, x, y + 7);
        cairo_line_to(cr, x - 7, y);
        cairo_close_path(cr);
    } else {
        cairo_rectangle(cr, x - 5.5, y - 5.5, 11, 11);
    }
    c.colour(colour);
    cairo_fill_preserve(cr);
    c.colour(kInk);
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
}

// One track: a dark casing under its colour for contrast with the echo, a
// dot at each volume, an arrow head at its end.
void draw_path(const Canvas& c, const PlanView::Path& path, const Frame& f, const Rgb& colour) {
    cairo_t* cr = c.cr();
    const std::size_t n = std::min(path.x.size(), path.y.size());
    for (const auto& [w, col] : {std::pair{5.0, kInk}, std::pair{2.8, colour}}) {
        for (std::size_t i = 0; i < n; ++i) (i == 0 ? cairo_move_to : cairo_line_to)(cr, f.px(path.x[i]), f.py(path.y[i]));
        c.colour(col);
        cairo_set_line_width(cr, w);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        cairo_stroke(cr);
    }
    for (std::size_t i = 0; i < n; ++i) {
        cairo_arc(cr, f.px(path.x[i]), f.py(path.y[i]), 2.8, 0, 2 * M_PI);
        c.colour(colour);
        cairo_fill_preserve(cr);
        c.colour(kInk);
        cairo_set_line_width(cr, 1);
        cairo_stroke(cr);
    }
    if (n < 2) return;
    const double ex = f.px(path.x[n - 1]), ey = f.py(path.y[n - 1]);
    const double dx = ex - f.px(path.x[n - 2]), dy = ey - f.py(path.y[n - 2]), len = std::hypot(dx, dy);
    if (len <= 0) return;
    const double ux = dx / len, uy = dy / len;
    cairo_move_to(cr, ex + 4 * ux, ey + 4 * uy);
    cairo_line_to(cr, ex - 10 * ux + 6 * uy, ey - 10 * uy - 6 * ux);
    cairo_line_to(cr, ex - 10 * ux - 6 * uy, ey - 10 * uy + 6 * ux);
    cairo_close_path(cr);
    c.colour(colour);
    cairo_fill_preserve(cr);
    c.colour(kInk);
    cairo_set_line_width(cr, 1.2);
    cairo_stroke(cr);
}

// The tracks, each in a colour of its own, with splits and merges marked;
// their labels (number and last time at the end, first time at the start)
// join the texts to place.
void draw_paths(const Canvas& c, const PlanView& p, const Frame& f, std::vector<Wanted>& texts,
                std::vector<std::string>& strings) {
    for (std::size_t t = 0; t < p.paths.size(); ++t) {
        const PlanView::Path& path = p.paths[t];
        const std::size_t n = std::min(path.x.size(), path.y.size());
        if (n == 0) continue;
        const Rgb colour = palette_colour(static_cast<int>(t));
        draw_path(c, path, f, colour);
        if (path.split) marker(c, f.px(path.x[0]), f.py(path.y[0]), true, colour);
        if (path.merge) marker(c, f.px(path.x[n - 1]), f.py(path.y[n - 1]), false, colour);
        auto add = [&](const std::string& text, double x, double y, bool bold) {
            if (text.empty()) return;
            strings.push_back(text);
            const Extent e = c.measure(text, bold ? 13 : 11, bold);
            texts.push_back({-static_cast<int>(t) - 1, f.px(x), f.py(y), e.width + 6, e.height + 2, bold ? 13.0 : 11.0, bold});
        };
        add(path.label + (path.last_time.empty() ? "" : " " + path.last_time), path.x[n - 1], path.y[n - 1], true);
        if (n > 1) add(path.first_time, path.x[0], path.y[0], false);
    }
}

// The texts over everything else, each on a white ground, a leader line to
// its point where it had to move; cell numbers (no > 0) bold and larger.
void draw_labels(const Canvas& c, const std::vector<Wanted>& texts, const std::vector<std::string>& strings,
                 const Frame& f, PictureLayout& layout, std::vector<Area> taken) {
    if (layout.radar) taken.push_back({(*layout.radar)[0] - 9, (*layout.radar)[1] - 9, (*layout.radar)[0] + 9, (*layout.radar)[1] + 9});
    for (const auto& [x, y] : layout.network) taken.push_back({x - 9, y - 9, x + 9, y + 9});
    const auto boxes = place_labels(texts, f.area(), taken);
    cairo_t* cr = c.cr();
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const PictureLayout::Box& b = boxes[i];
        if (b.leader) {
            const double tx = std::clamp(b.anchor_x, b.x0, b.x1), ty = std::clamp(b.anchor_y, b.y0, b.y1);
            c.line(b.anchor_x, b.anchor_y, tx, ty, 1.2, kInk);
            cairo_arc(cr, b.anchor_x, b.anchor_y, 2.2, 0, 2 * M_PI);
            cairo_fill(cr);
        }
        cairo_rectangle(cr, b.x0, b.y0, b.x1 - b.x0, b.y1 - b.y0);
        c.colour({1, 1, 1}, 0.8);
        cairo_fill(cr);
        const bool cell = b.no > 0;
        const Rgb ink = cell ? kInk : palette_colour(-b.no - 1);
        c.text_at(strings[i], 0.5 * (b.x0 + b.x1), 0.5 * (b.y0 + b.y1), texts[i].size, texts[i].bold, 0.5, 0.5,
                  cell ? ink : Rgb{ink.r * 0.6, ink.g * 0.6, ink.b * 0.6});
        layout.labels.push_back(b);
    }
}

// The title: the radar and time first, as radar displays show them.
void draw_title(const Canvas& c, const PlanView& p, PictureLayout& layout) {
    std::string head = p.context.radar;
    if (!p.context.time.empty()) head += (head.empty() ? "" : "  ") + p.context.time;
    layout.title = head.empty() ? p.title : head + "  " + p.title;
    // A long title is set smaller rather than cut at the picture's edge.
    double size = 20;
    while (size > 11 && c.measure(layout.title, size, true).width > c.width() - 40.0) size -= 1;
    c.text(layout.title, 20, 18, size, true);
    if (!p.caption.empty()) c.text(p.caption, 20, c.height() - 28.0, 12, false, {0.35, 0.35, 0.35});
}

void draw_plan(const PlanView& p, const std::string& path, int width, int height, PictureLayout& layout) {
    const size_t nx = p.x.size(), ny = p.y.size();
    if (nx == 0 || ny == 0 || p.column_max.size() != nx * ny || p.plan.size() != nx * ny)
        throw std::invalid_argument("plan view: the columns do not match the grid");
    const Canvas c(width, height);
    const auto ex = cell_edges(p.x), ey = cell_edges(p.y);
    const Frame f = frame_of(ex, ey, width, height);
    layout = PictureLayout{};
    layout.width = width;
    layout.height = height;
    layout.origin_x = f.ox;
    layout.origin_y = f.oy;
    layout.scale = f.s;
    draw_columns(c, p, f);
    cairo_save(c.cr());
    cairo_rectangle(c.cr(), f.x0, f.y0, f.x1 - f.x0, f.y1 - f.y0);
    cairo_clip(c.cr());
    draw_map(c, p.context, f, layout);
    draw_outlines(c, p, f);
    draw_seams(c, p, f);
    std::vector<Wanted> texts;
    std::vector<std::string> strings;
    for (const auto& l : p.labels) {
        strings.push_back(std::to_string(l.no));
        const Extent e = c.measure(strings.back(), 14, true);
        texts.push_back({l.no, f.px(l.x), f.py(l.y), e.width + 6, e.height + 2});
    }
    draw_paths(c, p, f, texts, strings);
    cairo_restore(c.cr());
    // The tracks' points and markers stay in sight: no text goes over them.
    std::vector<Area> taken;
    for (const auto& path : p.paths)
        for (std::size_t i = 0; i < path.x.size() && i < path.y.size(); ++i) {
            const double r = i == 0 || i + 1 == path.x.size() ? 8 : 4;
            taken.push_back({f.px(path.x[i]) - r, f.py(path.y[i]) - r, f.px(path.x[i]) + r, f.py(path.y[i]) + r});
        }
    draw_labels(c, texts, strings, f, layout, std::move(taken));
    draw_axes(c, p, f, layout);
    draw_colour_bar(c, p.scale, f);
    draw_title(c, p, layout);
    c.write(path);
}

}  // namespace

}  // namespace velmora::drawing

extern "C" int velmora_draw_plan(const velmora::PlanView* plan, const char* path, int width, int height,
                                 velmora::PictureLayout* layout, char* problem, std::size_t size) {
    return velmora::drawing::caught(
        [&] {
            velmora::PictureLayout own;
            velmora::drawing::draw_plan(*plan, path, width, height, layout ? *layout : own);
        },
        problem, size);
}
