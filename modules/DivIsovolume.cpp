// DivIsovolume: divides a volume of tetrahedra and hexahedra (typically a
// reflectivity isovolume) into connected areas, drops areas of too few
// cells, and writes each node's area number as `area_no` with the range in
// `no_min` and `no_max`. The labelling works on quadruples of nodes: a
// tetrahedron is one, a hexahedron four.
#include <algorithm>

#include "division.h"

namespace {

using velmora::division::CellKind;

void copy_tet(const std::int64_t* t, std::int64_t* out) { std::copy(t, t + 4, out); }

// The hexahedron h0..h7 becomes four quadruples that together hold all
// eight nodes, so hexahedra sharing any node are connected.
void split_hex(const std::int64_t* h, std::int64_t* out) {
    const std::int64_t quads[16] = {h[0], h[1], h[4], h[2], h[3], h[2], h[7], h[1],
                                    h[5], h[4], h[7], h[1], h[6], h[4], h[7], h[2]};
    std::copy(quads, quads + 16, out);
}

constexpr CellKind kVolumeKinds[] = {
    {"Tet", 4, 1, "%s : 1 > ncells(Tet).\n", copy_tet},
    {"Hex", 8, 4, "%s : 1 > ncells(Hex).\n", split_hex},
};

constexpr velmora::division::Division kVolume = {
    kVolumeKinds,
    4,
    {
        "%s : can not find cell_set[%d].\n",
        "%s : can not get cell_set[%d].\n",
        "%s : 1 > ncells(can not find Tet or Hex.\n",
    },
    {
        "%s : can not allocate memory(vol_cnt).\n",
        "%s : can not allocate memory(vol_no).\n",
    },
    "%s : can not allcate memory(flag).\n",
    "get_node_connect_vol.\n",
};

}  // namespace

VELMORA_EXPORT int DivIsovolumeUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes,
                               [](velmora::Frame& f) { velmora::division::divide(f, kVolume); });
}
