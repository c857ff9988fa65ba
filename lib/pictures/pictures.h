// The pictures of an analysis: a 3-D view of its cells and plan views of its
// echo, hail and tracks, drawn into PNG files.
//
// The drawing itself lives in a library of its own, libvelmora_pictures.so,
// opened the first time a picture is drawn: a command that draws nothing
// never loads it. It draws with Cairo into an image in memory (no X server,
// no OpenGL): a plan view is a 2-D picture, and the 3-D view of the cells is
// a small z-buffered projection of the isosurface. VTK's rendering on Xvfb
// cost about 0.4 s and 95 MB a picture on CPOL; this costs a few tens of ms.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/volume.h"
#include "pictures/views.h"

namespace velmora {

// Draws the scene into a PNG of width x height; std::runtime_error when it
// cannot, std::invalid_argument when the scene does not hold together.
PictureLayout render_png(const Scene& scene, const std::string& path, int width = 1280, int height = 900);

// Draws the plan view into a PNG of width x height: the grid at equal scales
// in km (longitude and latitude too where the grid has an origin), the map,
// the radar and its range rings, a colour bar. The same errors.
PictureLayout render_plan_png(const PlanView& plan, const std::string& path, int width = 1100, int height = 900);

// The map velmora ships (the viewer's map.bin): beside the libraries in an
// installed prefix or the build tree, or in the Python package's folder.
// Empty when there is none.
std::string shipped_map_file();

// What a plan view of the grid of axes has around its data: its time, the
// radar at its origin with the map near the grid and lon/lat ticks where it
// has one. Without the map file the context has no map, and nothing fails.
MapContext map_context(const Volume& axes, const std::string& map_file = shipped_map_file());

// A palette entry (0 .. palette - 1) for every cell number 0 .. max_no of a
// grid of cell labels (x fastest, nx x ny x nz) such that cells whose voxels
// touch (sides, edges or corners) never share one while the palette allows.
std::vector<int> distinct_colours(std::span<const std::int32_t> labels, std::size_t nx, std::size_t ny, std::size_t nz,
                                  int max_no, int palette);

// The number of colours of the 3-D picture's palette.
inline constexpr int kCellPalette = 10;

}  // namespace velmora
