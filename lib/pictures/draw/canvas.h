// What the pictures draw with: a Cairo image in memory written as PNG, texts
// measured before they are placed, and the colour tables radar users read.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <cstdio>
#include <exception>
#include <optional>
#include <span>
#include <string>

#include "pictures/views.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace velmora::drawing {

struct Rgb {
    double r, g, b;
};

inline constexpr Rgb kInk{0.1, 0.1, 0.1};

struct Extent {
    double width, height;
};

// An ARGB image of width x height on white, with its drawing context.
class Canvas {
public:
    Canvas(int width, int height);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    cairo_t* cr() const { return cr_; }
    cairo_surface_t* surface() const { return surface_; }
    int width() const { return width_; }
    int height() const { return height_; }
    void colour(const Rgb& c, double alpha = 1.0) const { cairo_set_source_rgba(cr_, c.r, c.g, c.b, alpha); }
    Extent measure(const std::string& text, double size, bool bold) const;
    // Text with its box's top left corner at x, y; returns its box.
    PictureLayout::Box text(const std::string& text, double x, double y, double size, bool bold, const Rgb& c = kInk) const;
    // Text aligned about x, y: h 0 left, 0.5 centre, 1 right; v the same top to bottom.
    PictureLayout::Box text_at(const std::string& text, double x, double y, double size, bool bold, double h, double v,
                               const Rgb& c = kInk) const;
    void line(double x0, double y0, double x1, double y1, double width, const Rgb& c, double alpha = 1.0) const;
    // Writes the picture; std::runtime_error when it cannot.
    void write(const std::string& path) const;

private:
    int width_, height_;
    cairo_surface_t* surface_;
    cairo_t* cr_;
};

// One step of a colour scale: values from `from` up to the next step's.
struct Step {
    double from;
    Rgb colour;
};
// The steps of a plan view's scale: the conventional reflectivity colours
// in 5 dBZ steps from 5 dBZ, or MESH in mm from 2 mm; below the first step
// a value is not drawn.
std::span<const Step> scale_steps(PlanView::Scale scale);
// The colour of a value on a scale; none below the first step or for NaN.
std::optional<Rgb> scale_colour(std::span<const Step> steps, float v);
// The scale's unit as the colour bar names it.
const char* scale_unit(PlanView::Scale scale);

// Colours told apart at a glance: the cells' palette and the tracks'.
Rgb palette_colour(int i);

// A round step (1, 2, 2.5 or 5 times a power of ten) for about n ticks over span.
double tick_step(double span, int n);

// Runs draw, turning an exception into a message in problem: 0 or 1.
template <class Draw>
int caught(Draw draw, char* problem, std::size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    // Fontconfig keeps the configuration and fonts it loads for the life of
    // the process, where the leak checker cannot see them.
    __lsan::ScopedDisabler fontconfig_keeps_its_fonts;
#endif
    try {
        draw();
        return 0;
    } catch (const std::exception& e) {
        std::snprintf(problem, size, "%s", e.what());
    } catch (...) {
        std::snprintf(problem, size, "%s", "the picture cannot be drawn");
    }
    return 1;
}

}  // namespace velmora::drawing
