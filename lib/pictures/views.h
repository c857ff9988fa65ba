// What the pictures of an analysis show: the 3-D scene of its cells and the
// plan views of its echo, hail and tracks. Both the program's side
// (pictures.h) and the drawing library (draw/) read them; they hold plain
// numbers and texts only, so that the drawing library needs nothing of the
// host or of VTK.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmora {

// A coastline (kind 0) or border (kind 1) near a grid, in the grid's km.
struct MapPath {
    int kind = 0;
    std::vector<float> x, y;
};

// A tick of a geographic axis: where a meridian crosses the bottom edge of
// the grid (x in km), or a parallel its left edge (y in km), and its text.
struct GeoTick {
    double at = 0.0;
    std::string text;
};

// What a plan view has around its data: the time, the radar, the map.
struct MapContext {
    std::string time;                       // ISO 8601 UTC, empty when unknown
    std::string radar;                      // the radar's name, empty when unknown
    std::optional<std::array<double, 2>> radar_km;   // where the radar is, km
    // The radars of a mosaic instead, each marked with rings to its range:
    // x, y and range, km.
    std::vector<std::array<double, 3>> network;
    std::vector<MapPath> map;
    std::vector<GeoTick> lon_ticks, lat_ticks;       // empty without an origin
};

// What the plan view of an analysis shows: one value of each column, the
// outline of each cell's columns, and the cells' numbers.
struct PlanView {
    // dBZ in 5 dBZ steps, MESH in mm, or azimuthal shear in 10^-3 s^-1
    enum class Scale { reflectivity, hail, shear };
    std::span<const float> x, y;            // the grid's axes, km
    std::span<const float> column_max;      // x fastest; NaN where a column has no value
    std::span<const std::int32_t> plan;     // the cell of each column, 0 outside cells
    struct Label {
        int no;
        double x, y;                        // km
    };
    std::vector<Label> labels;
    // Paths drawn over the plan (tracks of cells), each in a colour of its
    // own, its label and time at its last point, its first time at its first.
    struct Path {
        std::vector<double> x, y;           // km
        std::string label;
        std::string first_time, last_time;  // empty when unknown
        bool split = false, merge = false;  // the track began by a split, ended by a merge
    };
    std::vector<Path> paths;
    // A mosaic's seams: the radar whose view was kept in each column (x
    // fastest, -1 none), lines drawn where it changes; empty: none drawn.
    std::span<const std::int8_t> kept_radar;
    std::string title;
    std::string caption;
    Scale scale = Scale::reflectivity;
    MapContext context;
};

// What the 3-D picture of an analysis shows: the isosurface coloured by
// cell, the cells' tops and numbers, the grid's box on a ground of the map.
struct Scene {
    std::vector<float> coord;               // the surface's nodes, x y z in km
    std::vector<std::int64_t> triangles;    // three nodes each
    std::vector<std::int32_t> node_cell;    // per node; 0 = no cell
    std::vector<int> cell_colour;           // the palette entry of each cell number
    struct Top {
        int no;
        float x, y, z;                      // km
    };
    std::vector<Top> tops;
    std::array<double, 6> box{};            // x0 x1 y0 y1 z0 z1 of the grid, km
    std::string title;
    std::string caption;
    double vertical_exaggeration = 2.0;
    MapContext context;
};

// Where a drawing put things, in pixels from the picture's top left corner:
// what tests and callers check instead of reading the picture.
struct PictureLayout {
    struct Box {
        int no = 0;                         // the cell or track, or the tick's index
        double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        double anchor_x = 0, anchor_y = 0;  // the point the text names
        bool leader = false;                // a line joins box and anchor
    };
    std::string title;
    std::vector<Box> labels;                // cell numbers, track labels and times
    std::vector<Box> ticks;                 // axis texts
    std::optional<std::array<double, 2>> radar;   // the radar's marker
    std::vector<std::array<double, 2>> network;    // the markers of a mosaic's radars within the plan
    // Pixel = origin + km * scale (y grows downwards): plan views only.
    double origin_x = 0, origin_y = 0, scale = 0;
    int width = 0, height = 0;
};

}  // namespace velmora
