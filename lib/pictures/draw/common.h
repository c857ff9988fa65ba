// What both pictures draw with: colours, texts and the off-screen window.
#pragma once

#include <vtkLookupTable.h>
#include <vtkRenderer.h>

#include <cstddef>
#include <cstdio>
#include <exception>
#include <string>

namespace velmora::drawing {

inline constexpr double kInk[3] = {0.1, 0.1, 0.1};

// A distinct, readable colour per area number (0: grey).
void area_colours(vtkLookupTable* lut, int max_no);
// Bold text at a point of the scene, facing the camera.
void add_text(vtkRenderer* r, const std::string& text, double x, double y, double z, double size, const double rgb[3]);
// Text at a pixel of the picture.
void add_text2d(vtkRenderer* ren, const std::string& t, int x, int y, int size);
// Renders off screen and writes the picture; throws std::runtime_error.
void write_picture(vtkRenderer* ren, const std::string& path, int width, int height);

// Runs draw, turning an exception into a message in problem: 0 or 1.
template <class Draw>
int caught(Draw draw, char* problem, std::size_t size) {
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
