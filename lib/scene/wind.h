// The winds of the radar scene: where a volume file carries wind components
// (u, v, w as wind retrievals write them), ThreshVec keeps them where the
// reflectivity lies in a band, ScaleVector scales them for display and
// Legend3DVector draws reference arrows with their lengths as text; the page
// draws a thinned set of the scaled vectors as arrows.
#pragma once

#include <string>

#include "io/volume.h"
#include "run/document.h"
#include "scene/pack.h"
#include "tree.h"

namespace velmora::scene {

// The names of the wind variables, in the order u, v, w.
inline constexpr const char* kWindNames[] = {"u", "v", "w"};

// Adds the volume file's u, v and w as components 1 to 3 of radar (whose
// axes are those of v) when the file holds all three on its grid; false,
// leaving radar as it was, otherwise.
bool read_winds(vhost::Object& radar, const std::string& path, const Volume& v, long time, std::int64_t max_nodes);

// windband (ThreshVec on radar's reflectivity), windscale (ScaleVector of
// u, v, w) and windlegend (Legend3DVector at the grid's south-east column,
// its vparam linked to windscale).
void add_wind_instances(Json& instances, const Volume& v);

// The thinned arrows of windscale's vectors at the radar grid's nodes: a
// mesh layer of lines (shaft and a two-stroke head each) with the wind's
// speed at every point. Nodes where the band left no wind are skipped.
Json wind_arrows_layer(vhost::Object& scaled, const Volume& v, Pack& pack);

}  // namespace velmora::scene
