// The map under a radar grid: the coastlines and borders of the map file
// velmora ships (the viewer's map.bin, Natural Earth through world-atlas),
// projected as the grid is, for the ground of velmora view and for the
// pictures.
#pragma once

#include <string>
#include <vector>

#include "io/volume.h"
#include "run/document.h"

namespace velmora::scene {

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

// The coastlines (kind 0) and borders (kind 1) of map_file near the grid of
// v, projected as the grid is (x, y in km, interleaved) and cut at its
// edges: the map of the pictures. Empty without an origin; std::runtime_error
// when the file cannot be read.
struct GroundLine {
    int kind = 0;
    std::vector<float> xy;
};
std::vector<GroundLine> map_near(const Volume& v, const std::string& map_file);

}  // namespace velmora::scene
