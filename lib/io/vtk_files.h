// Results out for ParaView: any field of the tree as a VTK XML file, and
// the tracks of storm cells.
#pragma once

#include <vtkDataObject.h>
#include <vtkSmartPointer.h>
#include <vtkXMLWriter.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tree.h"

namespace velmora {

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
// WriteFailed when the file cannot be written.
std::string write_vtk(vhost::Object& field, const std::string& stem, const std::vector<std::string>* texts = nullptr,
                      Compression compression = Compression::LZ4);

// The same in two steps: the file made ready from the field, then written.
// Integer components, and float components without a null value, are not
// copied: the tree must stay as it is until the file is written. Writing reads nothing else of the tree or the host, so it
// may run on another thread while the program goes on.
class VtkFile {
public:
    std::string path;
    // Throws WriteFailed when the file cannot be written.
    void write() const;

private:
    friend VtkFile prepare_vtk(vhost::Object&, const std::string&, const std::vector<std::string>*, Compression);
    vtkSmartPointer<vtkDataObject> data_;
    vtkSmartPointer<vtkXMLWriter> writer_;
    Compression compression_ = Compression::LZ4;
};
VtkFile prepare_vtk(vhost::Object& field, const std::string& stem, const std::vector<std::string>* texts = nullptr,
                    Compression compression = Compression::LZ4);

// Runs a VTK XML writer into path, without VTK's log; WriteFailed naming
// the file and the system's reason when it fails.
void write_xml(vtkXMLWriter& w, const std::string& path);

// Polylines as VTK XML polydata (.vtp), one line per path, with the
// number of each (point and cell data "track") and the time of every point
// (point data "time", s): the tracks of storm cells for ParaView.
struct TrackLine {
    int track = 0;
    std::vector<double> x, y, z, time;
};
void write_track_lines(const std::string& path, const std::vector<TrackLine>& lines);

}  // namespace velmora
