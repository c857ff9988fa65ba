// Operations the modules expect their host to do, built on VTK and usable
// from network files like any module instance:
//   Isosurface  the surface of component `comp` at `level` on a structured
//               grid, every other float component interpolated onto it,
//               points merged so that neighbouring triangles share nodes
//               ("Tri" cell set).
//   Isovolume   the grid nodes at or above `level`, each the centre of an
//               octahedron over the centres of its six faces (four "Tet"
//               cells): face neighbours share a node, so connected areas are
//               face-connected echo. A node carries the mean of the values on
//               both sides of its face and, as int component "voxel", the grid
//               index of the node whose octahedron made it.
//   GridArea    carries the area numbers of an isovolume back onto its grid:
//               `out` is the grid's geometry with int component "area_no".
#pragma once

namespace velmora::app {

// Registers the three operations with the host (once per process).
void register_operations();

}  // namespace velmora::app
