// The radar scene of `velmora view VOLUME`: the analysis network of
// `velmora analyze` (without its file writers) extended with the display
// modules, and the ground under the grid (outline, graticule, coastlines).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/analyze.h"
#include "io/volume.h"
#include "run/document.h"

namespace velmora::scene {

// The network on the field "radar" (in the tree already) and the field
// "probe" (the values at the picks): the analysis' instances, and
//   thresh   ThreshMin       the display threshold of the volume
//   trans    CreateRainTrans the volume's opacity (trans_ze, id 672)
//   slice    CreateRainSlice vertical planes through the grid's centre
//   mesh     MakeRainMesh    line meshes through a reflectivity band
//   alpha    AlphaPlane      the opacity projection along an axis
//   pick     GetPickInfo, picktext PickInfo2Str   picks and their text
//   view     WriteXform      the page's view into view_file
Json radar_network(const AnalyzeOptions& o, const Volume& v, const std::string& view_file);

// Lines under the grid as a mesh field's description (network-file form):
// its outline at the ground, and where it has an origin a graticule and the
// coastlines and borders of map_file (the viewer's map.bin) that lie near it.
// Empty when the grid is empty.
Json ground_field(const Volume& v, const std::string& map_file);

// Lon/lat lines of a map.bin file, with their kinds (0 coast, 1 border);
// std::runtime_error when it cannot be read.
struct MapLine {
    int kind = 0;
    std::vector<float> lonlat;
};
std::vector<MapLine> read_map(const std::string& path);

}  // namespace velmora::scene
