// DivIsosurf: divides a surface of triangles and quadrilaterals (typically a
// reflectivity isosurface) into connected areas, drops areas of too few
// triangles, and writes each node's area number as `area_no` with the range
// in `no_min` and `no_max`. Also home of the exported TriMeshLabeling.
#include <algorithm>

#include "division.h"
#include "labelling.h"

namespace {

using velmora::division::CellKind;

void copy_tri(const std::int64_t* t, std::int64_t* out) { std::copy(t, t + 3, out); }

// The quadrilateral q0 q1 q2 q3 becomes (q0, q1, q3) and (q1, q2, q3).
void split_quad(const std::int64_t* q, std::int64_t* out) {
    const std::int64_t tris[6] = {q[0], q[1], q[3], q[1], q[2], q[3]};
    std::copy(tris, tris + 6, out);
}

constexpr CellKind kSurfaceKinds[] = {
    {"Tri", 3, 1, "%s : 1 > ncells(Tri).\n", copy_tri},
    {"Quad", 4, 2, "%s : 1 > ncells(Quad).\n", split_quad},
};

constexpr velmora::division::Division kSurface = {
    kSurfaceKinds,
    3,
    {
        "%s : can not get cell_set[%d].\n",
        "%s : can not get cell_set[%d].\n",
        "%s : 1 > ncells(can not find Tri or Quad).\n",
    },
    {
        "%s : can not allocate memory(surf_cnt).\n",
        "%s : can not allocate memory(surf_no).\n",
    },
    "%s : can not allocate memory(flag).\n",
    nullptr,
};

}  // namespace

VELMORA_EXPORT int TriMeshLabeling(std::int64_t ncells, const std::int64_t* cells, int nodes_per_cell,
                                   std::int64_t nnodes, int* labels, int first_no, char* msg) {
    // Without a message buffer the messages go to one of our own.
    char own[velmora::kMessageSize] = "";
    return velmora::label_cells(ncells, cells, nodes_per_cell, nnodes, labels, first_no, msg ? msg : own);
}

VELMORA_EXPORT int DivIsosurfUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes,
                               [](velmora::Frame& f) { velmora::division::divide(f, kSurface); });
}
