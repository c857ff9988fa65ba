// Results out for ParaView and image viewers: any field of the tree as a VTK
// XML file, and an off-screen picture of an analysis.
#pragma once

#include <string>
#include <vector>

#include "tree.h"

namespace velmora::app {

// Writes a field as VTK XML and returns the path written: stem + ".vti" for
// a uniform grid, ".vts" for a grid with explicit coordinates, ".vtp" for
// points, lines, triangles and quadrilaterals, ".vtu" for tetrahedra and
// hexahedra. Every component becomes point data named by its label; float
// nulls are written as NaN so that viewers leave them out. Texts, when given
// (one per node), become the string point data "label". Throws
// std::runtime_error when the file cannot be written.
std::string write_vtk(vhost::Object& field, const std::string& stem, const std::vector<std::string>* texts = nullptr);

// What the picture of an analysis shows.
struct Scene {
    vhost::Object* grid = nullptr;         // the radar grid: its outline
    vhost::Object* surface = nullptr;      // the isosurface
    std::vector<int> area_no;              // per surface node; 0 = no area
    vhost::Object* centres = nullptr;      // one point per area
    std::vector<std::string> centre_labels;
    vhost::Object* axis = nullptr;         // legend axis: one node with a vertical vector
    vhost::Object* ticks = nullptr;        // legend ticks: nodes with horizontal vectors
    vhost::Object* tick_labels = nullptr;  // positions of the tick texts
    std::vector<std::string> tick_texts;
    std::string title;
    std::string caption;
    double vertical_exaggeration = 2.0;
};

// Renders the scene off screen into a PNG of width x height. Where there is
// no display, starts a virtual one (Xvfb) for the time of the rendering.
void render_png(const Scene& scene, const std::string& path, int width = 1280, int height = 900);

}  // namespace velmora::app
