#include "pictures/draw/canvas.h"

#include <png.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace velmora::drawing {

namespace {

constexpr Rgb hex(unsigned v) { return {((v >> 16) & 255) / 255.0, ((v >> 8) & 255) / 255.0, (v & 255) / 255.0}; }

// The reflectivity colours of the NWS radar displays, 5 dBZ a step.
constexpr Step kReflectivity[] = {
    {5, hex(0x04e9e7)},  {10, hex(0x019ff4)}, {15, hex(0x0300f4)}, {20, hex(0x02fd02)}, {25, hex(0x01c501)},
    {30, hex(0x008e00)}, {35, hex(0xfdf802)}, {40, hex(0xe5bc00)}, {45, hex(0xfd9500)}, {50, hex(0xfd0000)},
    {55, hex(0xd40000)}, {60, hex(0xbc0000)}, {65, hex(0xf800fd)}, {70, hex(0x9854c6)}, {75, hex(0xfdfdfd)}};

// MESH: pale yellow through orange and red to purple; 2 mm and less is no hail worth drawing.
constexpr Step kHail[] = {{2, hex(0xfff7bc)},  {5, hex(0xfee391)},  {10, hex(0xfec44f)}, {15, hex(0xfe9929)},
                          {20, hex(0xec7014)}, {25, hex(0xcc4c02)}, {30, hex(0xe31a1c)}, {40, hex(0xb10026)},
                          {50, hex(0xae017e)}, {65, hex(0x7a0177)}, {80, hex(0x49006a)}, {100, hex(0x252525)}};

// Azimuthal shear, 10^-3 s^-1: greys below the rotation threshold (5), then
// green through yellow and red to purple, as rotation tracks are drawn.
constexpr Step kShear[] = {{2, hex(0xd9d9d9)},  {3, hex(0xa6a6a6)},  {4, hex(0x6baed6)}, {5, hex(0x31a354)},
                           {6, hex(0xfed976)},  {8, hex(0xfd8d3c)},  {10, hex(0xe31a1c)}, {12, hex(0xb10026)},
                           {15, hex(0xce1256)}, {20, hex(0x7a0177)}};

// The picture's rows as RGB into f. libpng reports errors by a long jump:
// nothing here has a destructor for it to skip.
bool write_png_rows(std::FILE* f, const unsigned char* data, int width, int height, int stride, unsigned char* row) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_init_io(png, f);
    // Fast deflate without row filters: a sixth of the time of the usual
    // settings for a file a fifth larger (a picture of flat colours).
    png_set_compression_level(png, 3);
    png_set_filter(png, 0, PNG_FILTER_NONE);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
        const auto* px = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<unsigned char>(px[x] >> 16);
            row[3 * x + 1] = static_cast<unsigned char>(px[x] >> 8);
            row[3 * x + 2] = static_cast<unsigned char>(px[x]);
        }
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

constexpr Rgb kPalette[] = {hex(0x1f77b4), hex(0xff7f0e), hex(0x2ca02c), hex(0xd62728), hex(0x9467bd),
                            hex(0x8c564b), hex(0xe377c2), hex(0x17becf), hex(0xbcbd22), hex(0x393b79)};

}  // namespace

Canvas::Canvas(int width, int height)
    : width_(width), height_(height), surface_(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height)),
      cr_(cairo_create(surface_)) {
    if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS || cairo_status(cr_) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr_);
        cairo_surface_destroy(surface_);
        throw std::runtime_error("no memory for a picture of " + std::to_string(width) + " x " + std::to_string(height));
    }
    cairo_set_source_rgb(cr_, 1, 1, 1);
    cairo_paint(cr_);
}

Canvas::~Canvas() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
}

Extent Canvas::measure(const std::string& text, double size, bool bold) const {
    cairo_select_font_face(cr_, "sans-serif", CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, size);
    cairo_text_extents_t t;
    cairo_text_extents(cr_, text.c_str(), &t);
    cairo_font_extents_t f;
    cairo_font_extents(cr_, &f);
    return {t.x_advance, f.ascent + f.descent};
}

PictureLayout::Box Canvas::text(const std::string& s, double x, double y, double size, bool bold, const Rgb& c) const {
    const Extent e = measure(s, size, bold);
    cairo_font_extents_t f;
    cairo_font_extents(cr_, &f);
    colour(c);
    cairo_move_to(cr_, x, y + f.ascent);
    cairo_show_text(cr_, s.c_str());
    cairo_new_path(cr_);   // no current point left for the next path to start from
    return {0, x, y, x + e.width, y + e.height, x, y, false};
}

PictureLayout::Box Canvas::text_at(const std::string& s, double x, double y, double size, bool bold, double h, double v,
                                   const Rgb& c) const {
    const Extent e = measure(s, size, bold);
    PictureLayout::Box b = text(s, x - h * e.width, y - v * e.height, size, bold, c);
    b.anchor_x = x;
    b.anchor_y = y;
    return b;
}

void Canvas::line(double x0, double y0, double x1, double y1, double width, const Rgb& c, double alpha) const {
    colour(c, alpha);
    cairo_set_line_width(cr_, width);
    cairo_move_to(cr_, x0, y0);
    cairo_line_to(cr_, x1, y1);
    cairo_stroke(cr_);
}

// Written with libpng rather than Cairo's own writer, whose slow deflate
// settings cost more than the drawing. The picture is opaque: RGB.
void Canvas::write(const std::string& path) const {
    cairo_surface_flush(surface_);
    std::vector<unsigned char> row(3 * static_cast<std::size_t>(width_));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
    const bool ok = f && write_png_rows(f.get(), cairo_image_surface_get_data(surface_), width_, height_,
                                        cairo_image_surface_get_stride(surface_), row.data());
    if (!ok || std::fclose(f.release()) != 0) throw std::runtime_error(path + ": cannot write the picture");
}

std::span<const Step> scale_steps(PlanView::Scale scale) {
    if (scale == PlanView::Scale::hail) return kHail;
    if (scale == PlanView::Scale::shear) return kShear;
    return kReflectivity;
}

std::optional<Rgb> scale_colour(std::span<const Step> steps, float v) {
    if (!(v >= steps.front().from)) return std::nullopt;   // NaN too
    std::size_t i = 0;
    while (i + 1 < steps.size() && v >= steps[i + 1].from) ++i;
    return steps[i].colour;
}

const char* scale_unit(PlanView::Scale scale) {
    if (scale == PlanView::Scale::hail) return "MESH mm";
    if (scale == PlanView::Scale::shear) return "10\u207b\u00b3 s\u207b\u00b9";
    return "dBZ";
}

Rgb palette_colour(int i) {
    constexpr int n = sizeof kPalette / sizeof kPalette[0];
    return kPalette[((i % n) + n) % n];
}

double tick_step(double span, int n) {
    const double raw = std::max(span, 1e-9) / std::max(1, n);
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 2.5, 5.0})
        if (m * p >= raw) return m * p;
    return 10.0 * p;
}

}  // namespace velmora::drawing
