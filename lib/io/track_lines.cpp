#include <vtkCellArray.h>
#include <vtkCellData.h>
#include <vtkDoubleArray.h>
#include <vtkIntArray.h>
#include <vtkNew.h>
#include <vtkPointData.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkXMLPolyDataWriter.h>

#include <stdexcept>

#include "io/vtk_files.h"

namespace velmora {

void write_track_lines(const std::string& path, const std::vector<TrackLine>& lines) {
    vtkNew<vtkPoints> pts;
    vtkNew<vtkCellArray> verts, polylines;
    vtkNew<vtkIntArray> point_track, cell_track;
    vtkNew<vtkDoubleArray> time;
    point_track->SetName("track");
    cell_track->SetName("track");
    time->SetName("time");
    std::vector<int> vert_tracks, line_tracks;
    for (const TrackLine& l : lines) {
        std::vector<vtkIdType> ids;
        for (std::size_t i = 0; i < l.x.size(); ++i) {
            ids.push_back(pts->InsertNextPoint(l.x[i], l.y[i], i < l.z.size() ? l.z[i] : 0.0));
            point_track->InsertNextValue(l.track);
            time->InsertNextValue(i < l.time.size() ? l.time[i] : 0.0);
        }
        if (ids.empty()) continue;
        // A track of one cell is a point: a line needs two.
        (ids.size() == 1 ? verts : polylines)->InsertNextCell(static_cast<vtkIdType>(ids.size()), ids.data());
        (ids.size() == 1 ? vert_tracks : line_tracks).push_back(l.track);
    }
    // VTK numbers the cells of polydata vertices first, then lines.
    for (const int t : vert_tracks) cell_track->InsertNextValue(t);
    for (const int t : line_tracks) cell_track->InsertNextValue(t);
    vtkNew<vtkPolyData> poly;
    poly->SetPoints(pts);
    poly->SetVerts(verts);
    poly->SetLines(polylines);
    poly->GetPointData()->AddArray(point_track);
    poly->GetPointData()->AddArray(time);
    poly->GetCellData()->AddArray(cell_track);
    vtkNew<vtkXMLPolyDataWriter> w;
    w->SetInputData(poly);
    w->SetDataModeToAppended();
    w->SetCompressorTypeToLZ4();
    write_xml(*w, path);
}

}  // namespace velmora
