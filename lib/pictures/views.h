// What the pictures of an analysis show: the 3-D scene of its cells and the
// plan view of its echo. Both the program's side (pictures.h) and the
// drawing library (draw/) read them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tree.h"

namespace velmora {

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

// What the plan view of an analysis shows: the highest reflectivity of each
// column, the outline of each cell's columns, and the cells' numbers.
struct PlanView {
    std::span<const float> x, y;            // the grid's axes, km
    std::span<const float> column_max;      // x fastest; NaN where a column has no value
    std::span<const std::int32_t> plan;     // the cell of each column, 0 outside cells
    struct Label {
        int no;
        double x, y;                        // km
    };
    std::vector<Label> labels;
    // Paths drawn over the plan, each with an arrow at its last point and
    // its label beside it (tracks of cells).
    struct Path {
        std::vector<double> x, y;           // km
        std::string label;
    };
    std::vector<Path> paths;
    std::string title;
    std::string caption;
};

}  // namespace velmora
