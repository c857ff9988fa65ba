// The pictures of an analysis: a 3-D view of its cells and a plan view of
// its echo, drawn off screen into PNG files.
//
// The drawing itself (VTK's rendering, OpenGL, X11) lives in a library of
// its own, libvelmora_pictures.so, opened the first time a picture is
// drawn: a command that draws nothing never loads it.
#pragma once

#include <string>

#include "pictures/views.h"

namespace velmora {

// A virtual X display (Xvfb) where none is set, for as long as the object
// lives. Xvfb is started at construction and waited for by ready(), so a
// program can start it early and do its work while the server comes up.
class VirtualDisplay {
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;
    // Waits until the display accepts clients and makes it the display of
    // this process; throws std::runtime_error when there is none to be had.
    void ready();

private:
    static constexpr int kDisplayFd = 3;   // where Xvfb writes its display number
    int pid_ = -1;
    int number_fd_ = -1;                   // our end of that pipe
    bool ready_ = false;
    std::string display_;
    std::string problem_;
};

// Renders the scene off screen into a PNG of width x height, on display, or
// where that is null on a virtual display of its own when none is set.
void render_png(const Scene& scene, const std::string& path, int width = 1280, int height = 900,
                VirtualDisplay* display = nullptr);

// Renders the plan view off screen into a PNG of width x height: x and y in
// km with equal scales, a colour bar in dBZ.
void render_plan_png(const PlanView& plan, const std::string& path, int width = 1100, int height = 900,
                     VirtualDisplay* display = nullptr);

}  // namespace velmora
