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
#include "scene/map.h"

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

}  // namespace velmora::scene
