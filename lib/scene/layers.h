// Fields of the tree as layers of the viewer: a uniform three-dimensional
// grid becomes an image (drawn as a volume, sliced, contoured), anything
// else a mesh of points, lines and polygons (tetrahedra, hexahedra and the
// cells of structured grids by their outer faces), with its node data and
// the texts it carries. Coordinates and values go into a Pack.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scene/pack.h"
#include "tree.h"

namespace velmora::scene {

struct LayerOptions {
    // An image of more voxels is sent downsampled in x and y, each block's
    // largest value standing for it: a 3-D texture has its limits. Read-outs
    // and re-runs use the full data on the server.
    std::int64_t max_voxels = 4'000'000;
    // Components by label that are not sent.
    std::vector<std::string> skip;
};

// The layer of a field: {"kind": "image" | "mesh" | "empty", ...}; see
// docs/view.md for its members.
Json field_layer(vhost::Object& field, Pack& pack, const LayerOptions& options = {});

// The texts a field keeps one per node (a legend's text_values, the
// statistics' no_label, the picks' pick_no), or none.
std::vector<std::string> node_texts(vhost::Object& field);

}  // namespace velmora::scene
