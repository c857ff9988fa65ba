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
#include "tree.h"

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

// pick (GetPickInfo), picktext (PickInfo2Str on "pick.out" and the field
// "probe") and view (WriteXform into view_file), none called by a run.
void add_pick_and_view(Json& instances, const std::string& view_file);
// Those three alone: the network of saved results, which run nothing else.
Json saved_network(const std::string& view_file);

// The display modules (thresh, trans, slice, mesh, alpha) draw what the page
// shows, a texture of limited size: on a grid of more than max_voxels nodes
// they run on the field "display", the largest value of each block of
// nodes in x and y, which this makes under parent; the analysis and the
// picks keep the grid itself. The display grid's axes, or none when the
// grid is small enough or not uniform.
std::optional<Volume> add_display_grid(vhost::Object& parent, vhost::Object& radar, std::int64_t max_voxels);
// Links the display instances of a radar network to "display" instead of
// "radar", their planes through the display grid's middle.
void show_display_grid(Json& network, const Volume& display);

}  // namespace velmora::scene
