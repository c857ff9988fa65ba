// GetPickInfo: the display records, per pickable object, whether the user's
// last pick hit it and where. The update takes the first object of fr_obj,
// then of bk_obj, that reports exactly one picked point and appends that
// point to the point field `out`, one node and one point cell per pick, so
// that `out` accumulates the picks; `pick_no` receives the pick numbers
// 1, 2, ... as texts for labelling them. GetPickInfoClear empties `out`.
#include <algorithm>
#include <array>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HostArray;

using Point = std::array<float, 3>;

// Searches the list `list` ("fr_obj" or "bk_obj") over its first `count`
// entries for the first object picked exactly once and copies its point.
// Returns 1 with the point, -1 when nothing was taken (with a message when an
// entry or its pick record is broken, without one when nothing is picked).
int search_list(Frame& f, const char* list, int count, Point& point) {
    if (count < 1) return -1;
    OMobj_id info = OMnull_obj;
    bool picked = false;
    for (int k = 0; k < count && !picked; ++k) {
        char path[64];
        std::snprintf(path, sizeof path, "%s[%d]", list, k);
        OMobj_id entry = OMfind_str_subobj(&f.self, path, OM_OBJ_RW);
        if (velmora::is_null(entry)) return f.fail("%s : can not find %s.\n", path);
        info = OMfind_subobj(&entry, OMstr_to_name("pick_info"), OM_OBJ_RW);
        if (velmora::is_null(info)) return f.fail("%s : can not find pick_info.\n");
        int npicked = 0;
        OMget_name_int_val(&info, OMstr_to_name("npicked"), &npicked);
        picked = npicked == 1;
    }
    if (!picked) return -1;

    OMobj_id data = OMfind_str_subobj(&info, "pick_data[0]", OM_OBJ_RW);
    if (velmora::is_null(data)) return f.fail("%s : can not find pick_data[0].\n");
    std::int64_t size = 0;
    HostArray<float> xyz;
    xyz.reset(OMret_name_array_ptr(&data, OMstr_to_name("point"), OM_GET_ARRAY_RD, &size, nullptr));
    if (!xyz || size != 3) return f.fail("%s : can not get pick_data[0].point.\n");
    std::copy(xyz.get(), xyz.get() + 3, point.begin());
    return 1;
}

// Appends the point as node n of `out`, with a point cell holding n.
int append_point(Frame& f, const Point& point) {
    OMobj_id out = f.find("out", OM_OBJ_RD);
    std::int64_t n = 0;
    FLDget_nnodes(&out, &n);
    n = std::max<std::int64_t>(n, 0);
    if (n == INT64_MAX) return f.fail("%s : can not get ocoord.\n");
    FLDset_nnodes(&out, n + 1);
    FLDset_nspace(&out, 3);

    HostArray<float> coord;
    FLDget_coord(&out, coord.out(), coord.size_out(), OM_GET_ARRAY_WR);
    if (!coord || coord.size() / 3 < n + 1) return f.fail("%s : can not get ocoord.\n");
    std::copy(point.begin(), point.end(), coord.get() + 3 * n);
    coord.release();

    // No cell type is named here: a cell set made now takes the type that
    // the declaration of `out` gives (a point set).
    int ncell_sets = 0;
    FLDget_ncell_sets(&out, &ncell_sets);
    if (ncell_sets < 1) FLDset_ncell_sets(&out, 1);
    OMobj_id cells = OMnull_obj;
    FLDget_cell_set(&out, 0, &cells);
    std::int64_t m = 0;
    FLDget_ncells(&cells, &m);
    m = std::max<std::int64_t>(m, 0);
    // One point cell per node: the cell count follows the node count, so a
    // cell set that fell out of step with the nodes (cells kept after the
    // nodes were emptied elsewhere) is brought back to one cell per node and
    // entry n is never written past the connectivity's end.
    FLDset_ncells(&cells, n + 1);
    HostArray<std::int64_t> connect;
    FLDget_node_connect(&cells, connect.out(), connect.size_out(), OM_GET_ARRAY_WR);
    if (!connect || connect.size() < n + 1) return f.fail("%s : can not get oconnect.\n");
    for (std::int64_t i = std::min(m, n); i <= n; ++i) connect[i] = i;
    return 1;
}

void update(Frame& f) {
    int fr_num = 0, bk_num = 0;
    if (!f.require("fr_num", fr_num)) return;
    if (!f.require("bk_num", bk_num)) return;
    if (fr_num < 1 && bk_num < 1) return;

    // A broken entry of fr_obj leaves its message, reported even when
    // bk_obj then gives the point; a message from bk_obj replaces it.
    Point point{0.0f, 0.0f, 0.0f};
    if (search_list(f, "fr_obj", fr_num, point) != 1 && search_list(f, "bk_obj", bk_num, point) != 1) return;
    if (append_point(f, point) != 1) return;

    int npick = 0;
    f.get_int("npick", npick);
    if (npick >= 1) {
        // Pick numbers label the points of `out`; numbers past its node
        // count would label nothing, so the count bounds the loop (a huge
        // npick can not make the module write texts without end).
        std::int64_t nnodes = 0;
        OMobj_id out = f.find("out", OM_OBJ_RD);
        FLDget_nnodes(&out, &nnodes);
        const std::int64_t count = std::min<std::int64_t>(npick, nnodes);
        OMobj_id pick_no = f.find("pick_no", OM_OBJ_RD);
        for (std::int64_t k = 0; k < count; ++k) {
            char text[32];
            std::snprintf(text, sizeof text, "%d", static_cast<int>(k + 1));
            OMset_str_array_val(&pick_no, k, text);
        }
    }
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int GetPickInfoUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    // Written on every call, before the switch is read.
    std::fputs("isosurface_nest is picked.\n", stdout);
    return velmora::run_update(obj, velmora::Active::Yes, update);
}

// Empties `out`. Its point cell set is emptied with it, so that cell count
// and node count stay equal and the next pick is node 0 in cell 0.
VELMORA_EXPORT int GetPickInfoClear(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    if (!obj) return 1;
    OMobj_id self = *obj;
    OMobj_id out = OMfind_subobj(&self, OMstr_to_name("out"), OM_OBJ_RD);
    FLDset_nnodes(&out, 0);
    int ncell_sets = 0;
    FLDget_ncell_sets(&out, &ncell_sets);
    if (ncell_sets >= 1) {
        OMobj_id cells = OMnull_obj;
        if (FLDget_cell_set(&out, 0, &cells) == 1) FLDset_ncells(&cells, 0);
    }
    return 1;
}
