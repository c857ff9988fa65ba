// CreateRainSlice's planes cut through the radar grid on the server, from
// the full data: each plane becomes quads whose nodes carry the reflectivity
// sampled there (trilinear between the grid's nodes), so that the page draws
// them as any coloured mesh, with no reslicing of its downsampled texture
// and no shader of their own.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "io/volume.h"
#include "scene/pack.h"

namespace velmora::scene {

// A plane: a point on it and its unit normal.
struct SlicePlane {
    std::array<double, 3> origin, normal;
};

// The value of a grid at any point: trilinear between its nodes; NaN
// outside the grid or beside a node without a value (missing or null).
class GridSampler {
public:
    GridSampler(const Volume& axes, std::span<const float> values, bool has_null, float null_value)
        : a_(axes), v_(values), has_null_(has_null), null_(null_value) {}
    float at(const std::array<double, 3>& p) const;

private:
    const Volume& a_;
    std::span<const float> v_;
    bool has_null_;
    float null_;
};

// The quads of one plane (points x, y, z; values; cells as 4, a, b, c, d).
struct SliceMesh {
    std::vector<float> xyz, values;
    std::vector<std::uint32_t> quads;
};

// The plane through the grid (axes), sampled at about the grid's spacing
// along each direction in it, at most max_nodes nodes. A quad is kept where
// its four nodes have values (neither missing nor null) averaging at least
// min_value: a slice shows echo, not the empty air around it.
void cut_plane(const SlicePlane& plane, const Volume& axes, std::span<const float> values, bool has_null,
               float null_value, float min_value, std::int64_t max_nodes, SliceMesh& out);

// The layer of the planes: a mesh of all their quads, the values labelled
// as the radar field's component, or {"kind": "empty"} when none is kept.
Json slices_mesh_layer(const SliceMesh& mesh, const std::string& label, const std::string& units, Pack& pack);

}  // namespace velmora::scene
