// Saved results as `velmora view` shows them without running anything
// again: the files an `analyze` folder holds (radar.vti, the surfaces, the
// cells' tables) read into fields of the tree, and a `track` folder's series
// of such folders with its tracks.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "io/geo.h"
#include "io/table.h"
#include "io/volume.h"
#include "tree.h"

namespace velmora::scene {

// A VTK XML file (.vti, .vtp, .vtu) as the field's content: image data as a
// uniform grid, points, lines, polygons and solid cells as cell sets; numeric
// point arrays as components (integers as int, the rest as float), a string
// array as the field's text_values. std::runtime_error naming the file.
void load_vtk_file(const std::string& path, vhost::Object& field);

// What a folder holds: an analysis (radar.vti), a track series (tracks.csv
// and volumes/), or neither.
enum class SavedKind { None, Analysis, Track };
SavedKind saved_kind(const std::string& dir);

// A volume folder's grid: radar.vti, which analyze writes where it found
// cells, else the grid of a polar volume (grid.nc), written in any case.
// std::runtime_error when it has neither.
Volume volume_grid(const std::string& folder);

// Where x = y = 0 lies, from the cells' positions in km and in degrees of a
// cell_properties.csv or tracks.csv (columns x_km, y_km, lat, lon); none
// when the table has no positions on the earth.
std::optional<GeoOrigin> origin_of(const Table& cells);

// The tracks of a track folder as lines at height z: one polyline per track
// through its cells' centres in time order, and an arrow head (two short
// strokes) at its last position; each node carries its track number.
void track_lines(const Table& tracks, float z, vhost::Object& field);

}  // namespace velmora::scene
