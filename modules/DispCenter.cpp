// DispCenter: the statistic parameter group turned into centre markers, one
// point per area, at the arithmetic centre (mode 0) or at the weighted centre
// of component `index` (any other mode), in a field with one "Point" cell set.
#include <cmath>
#include <cstdint>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HostArray;
using velmora::is_null;

constexpr double kZeroEpsilon = 1e-6;

struct Settings {
    int nspace3 = 0;
    int nsurf = 0;
    int mode = 0;
    int index = 0;
};

// Reads a real of obj into a float; a failed read leaves 0.
float real_of(OMobj_id obj, const char* name) {
    double v = 0.0;
    if (OMget_name_real_val(&obj, OMstr_to_name(name), &v) != 1) return 0.0f;
    return static_cast<float>(v);
}

bool beyond_zero(float v) { return std::fabs(v) > kZeroEpsilon; }

// The point of entry i and whether the entry counts. Fails when the entry or
// its centre object is missing (an index past the entry's components too).
int entry_point(Frame& f, const Settings& s, int i, float p[3], bool& counts) {
    char name[32];
    std::snprintf(name, sizeof name, "sparam[%d]", i);
    OMobj_id entry = OMfind_str_subobj(&f.self, name, OM_OBJ_RD);
    if (is_null(entry)) return f.fail("%s : can not find %s.\n", name);
    OMobj_id centre;
    if (s.mode == 0) {
        centre = OMfind_subobj(&entry, OMstr_to_name("aav"), OM_OBJ_RD);
        if (is_null(centre)) return f.fail("%s : can not find %s.\n", name);
    } else {
        char wav[32];
        std::snprintf(wav, sizeof wav, "wav[%d]", s.index);
        centre = OMfind_str_subobj(&entry, wav, OM_OBJ_RD);
        if (is_null(centre)) return f.fail("%s : can not find %s.\n", wav);
    }
    p[0] = real_of(centre, "x");
    p[1] = real_of(centre, "y");
    p[2] = real_of(centre, "z");
    if (s.mode == 0) {
        // A planar group keeps its plane height as z, so an empty area
        // still counts when that height is not 0.
        counts = beyond_zero(p[0]) || beyond_zero(p[1]) || beyond_zero(p[2]);
    } else {
        // The weighted centre's own z is not used: points stand at the top
        // of their areas, or at 0 for planar data.
        counts = beyond_zero(p[0]) || beyond_zero(p[1]);
        p[2] = s.nspace3 != 0 ? real_of(entry, "maxz") : 0.0f;
    }
    return 1;
}

void update(Frame& f) {
    Settings s;
    if (!f.require("nspace3", s.nspace3)) return;
    if (!f.get_int("nsurf", s.nsurf)) return (void)f.fail("%s : can not get the number of statistic param.\n");
    if (!f.require("mode", s.mode)) return;
    if (!f.require("index", s.index)) return;
    OMobj_id out = f.find("out", OM_OBJ_RW);

    std::int64_t count = 0;
    for (int i = 0; i < s.nsurf; ++i) {
        float p[3];
        bool counts = false;
        if (entry_point(f, s, i, p, counts) != 1) return;
        if (counts) ++count;
    }
    if (count == 0) {
        // Nothing to show: no points, the cell sets stay as they were.
        FLDset_nnodes(&out, 0);
        f.set_done();
        return;
    }

    FLDset_nnodes(&out, count);
    FLDset_nspace(&out, 3);
    HostArray<float> coord;
    FLDget_coord(&out, coord.out(), coord.size_out(), OM_GET_ARRAY_WR);
    if (!coord || coord.size() < 3 * count) return (void)f.fail("%s : can not get coord.\n");
    std::int64_t k = 0;
    for (int i = 0; i < s.nsurf && k < count; ++i) {
        float p[3];
        bool counts = false;
        if (entry_point(f, s, i, p, counts) != 1) return;
        if (!counts) continue;
        for (int c = 0; c < 3; ++c) coord[3 * k + c] = p[c];
        ++k;
    }
    coord.release();

    FLDset_ncell_sets(&out, 0);
    FLDadd_cell_set(&out, "Point");
    OMobj_id set = OMnull_obj;
    FLDget_cell_set(&out, 0, &set);
    FLDset_ncells(&set, count);
    HostArray<std::int64_t> connect;
    FLDget_node_connect(&set, connect.out(), connect.size_out(), OM_GET_ARRAY_WR);
    if (!connect || connect.size() < count) return (void)f.fail("%s : can not get node_connect.\n");
    for (std::int64_t m = 0; m < count; ++m) connect[m] = m;
    connect.release();
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int DispCenterUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
