// The labelling of connected areas, shared by the two division modules and
// exported, as TriMeshLabeling, from DivIsosurf.
#pragma once

#include <cstdint>

#include "frame.h"

// Gives every node of a cell list (ncells cells of nodes_per_cell node
// indices each) the number of the connected area it belongs to; two cells
// are connected when they share a node. Areas are numbered from
// max(first_no, 1); the result is the number after the last area, or 0 when
// the cells cannot be labelled (the reason is in msg, without object name).
// A merge-limit notice may be left in msg although the result is normal.
// A null msg sends the messages to a buffer of the function's own.
VELMORA_EXPORT int TriMeshLabeling(std::int64_t ncells, const std::int64_t* cells, int nodes_per_cell,
                                   std::int64_t nnodes, int* labels, int first_no, char* msg);

namespace velmora {

// The algorithm behind TriMeshLabeling, for callers inside the library;
// msg must not be null.
int label_cells(std::int64_t ncells, const std::int64_t* cells, int per, std::int64_t nnodes, int* labels,
                int first_no, char* msg);

}  // namespace velmora
