// Results out for ParaView and image viewers: any field of the tree as a VTK
// XML file, and an off-screen picture of an analysis.
#pragma once

#include <vtkDataObject.h>
#include <vtkSmartPointer.h>
#include <vtkXMLWriter.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tree.h"

namespace velmora::app {

// How the data of VTK XML files is compressed: LZ4 by default, fast enough
// to keep up with the disk; zlib gives smaller files at some cost of time.
enum class Compression { None, LZ4, ZLib };
// "none", "lz4" or "zlib".
std::optional<Compression> compression_named(std::string_view name);

// Writes a field as VTK XML and returns the path written: stem + ".vti" for
// a uniform grid, ".vts" for a grid with explicit coordinates, ".vtp" for
// points, lines, triangles and quadrilaterals, ".vtu" for tetrahedra and
// hexahedra. Every component becomes point data named by its label; float
// nulls are written as NaN so that viewers leave them out. Texts, when given
// (one per node), become the string point data "label". Throws
// std::runtime_error when the file cannot be written.
std::string write_vtk(vhost::Object& field, const std::string& stem, const std::vector<std::string>* texts = nullptr,
                      Compression compression = Compression::LZ4);

// The same in two steps: the file made ready from the field, then written.
// Integer components, and float components without a null value, are not
// copied: the tree must stay as it is until the file is written. Writing reads nothing else of the tree or the host, so it
// may run on another thread while the program goes on.
class VtkFile {
public:
    std::string path;
    // Throws std::runtime_error when the file cannot be written.
    void write() const;

private:
    friend VtkFile prepare_vtk(vhost::Object&, const std::string&, const std::vector<std::string>*, Compression);
    vtkSmartPointer<vtkDataObject> data_;
    vtkSmartPointer<vtkXMLWriter> writer_;
    Compression compression_ = Compression::LZ4;
};
VtkFile prepare_vtk(vhost::Object& field, const std::string& stem, const std::vector<std::string>* texts = nullptr,
                    Compression compression = Compression::LZ4);

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
    int pid_ = -1;
    bool ready_ = false;
    std::string display_;
    std::string problem_;
};

// Renders the scene off screen into a PNG of width x height, on display, or
// where that is null on a virtual display of its own when none is set.
void render_png(const Scene& scene, const std::string& path, int width = 1280, int height = 900,
                VirtualDisplay* display = nullptr);

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

// Renders the plan view off screen into a PNG of width x height: x and y in
// km with equal scales, a colour bar in dBZ.
void render_plan_png(const PlanView& plan, const std::string& path, int width = 1100, int height = 900,
                     VirtualDisplay* display = nullptr);

// Polylines as VTK XML polydata (.vtp), one line per path, with the
// number of each (point and cell data "track") and the time of every point
// (point data "time", s): the tracks of storm cells for ParaView.
struct TrackLine {
    int track = 0;
    std::vector<double> x, y, z, time;
};
void write_track_lines(const std::string& path, const std::vector<TrackLine>& lines);

}  // namespace velmora::app
