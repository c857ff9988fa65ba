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
//   CellVoxels  the grid nodes whose area number is not 0, as points in
//               storage order: `out` with their coordinates and the grid's
//               float components, `out_area` with their area numbers; the
//               statistics of areas read these instead of the whole grid.
//   GridColumn  column (indexi, indexj) of a grid as a 1 x 1 x nz grid with
//               the grid's transform, for modules that stand on one column.
#pragma once

namespace velmora {

// Registers the operations with the host (once per process).
void register_operations();

}  // namespace velmora
