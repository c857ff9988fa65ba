// DivIsovolume: divides a volume of tetrahedra and hexahedra (typically a
// reflectivity isovolume) into connected areas, drops areas of too few
// cells, and writes each node's area number as `area_no` with the range in
// `no_min` and `no_max`. The labelling is TriMeshLabeling, on quadruples of
// nodes: a tetrahedron is one, a hexahedron four.
#include <algorithm>

#include "division.h"

namespace {

using velmora::Frame;
using velmora::Heap;
using velmora::heap_array;
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

constexpr velmora::division::CellListWords kVolumeWords = {
    "%s : can not find cell_set[%d].\n",
    "%s : can not get cell_set[%d].\n",
    "%s : 1 > ncells(can not find Tet or Hex.\n",
};

constexpr velmora::division::FilterWords kVolumeFilter = {
    "%s : can not allocate memory(vol_cnt).\n",
    "%s : can not allocate memory(vol_no).\n",
};

void update(Frame& f) {
    int min_cells = 0;
    if (!f.get_int("min_cells", min_cells)) return (void)f.fail("%s : can not get min_cells.\n");

    OMobj_id in = f.find("in", OM_OBJ_RW);
    std::int64_t nnodes = 0;
    FLDget_nnodes(&in, &nnodes);
    if (nnodes < 1) return;

    Heap<std::int64_t[]> cells;
    std::int64_t ncells = 0;
    if (velmora::division::build_cell_list(f, in, nnodes, kVolumeKinds, 4, kVolumeWords, cells, ncells) != 1) return;
    std::printf("get_node_connect_vol.\n");

    Heap<int[]> labels = heap_array<int>(nnodes);
    if (!labels) return (void)f.fail("%s : can not allcate memory(flag).\n");
    std::fill(labels.get(), labels.get() + nnodes, 0);

    const int end_no = TriMeshLabeling(ncells, cells.get(), 4, nnodes, labels.get(), 0, f.msg);
    if (end_no == 0) return (void)f.fail("%s : can not find area.\n");
    std::printf("end_no   = %d.\n", end_no);
    std::printf("start_no = %d.\n", 0);

    int no_min = 0, no_max = 0;
    if (velmora::division::filter_areas(f, 4, kVolumeFilter, min_cells, ncells, cells.get(), nnodes, labels.get(), 0,
                                        end_no, &no_min, &no_max) != 1)
        return;
    f.set_int("no_min", no_min);
    f.set_int("no_max", no_max);

    if (velmora::division::write_area_no(f, nnodes, labels.get()) != 1) return;
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int DivIsovolumeUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes, update);
}
