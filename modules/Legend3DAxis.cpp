// Legend3DAxis: a vertical axis standing on one grid column of the radar
// grid, written as one node at the lower height carrying a vertical vector as
// long as the height range times the grid's vertical scale. Also holds
// calc_ij2xyz, which places every legend on its grid column.
#include "frame.h"
#include "legend.h"

namespace {

using velmora::Frame;
using velmora::HostArray;

template <class... Args>
int fail_into(char* msg, OMobj_id* module, const char* fmt, Args... args) {
    if (msg) velmora::msgf(msg, fmt, OMret_obj_name(module), args...);
    return -1;
}

// One node at (x, y, zmin) carrying the vector (0, 0, length).
int write_axis(Frame& f, OMobj_id& out, float x, float y, float zmin, float length) {
    if (velmora::write_coords(f, out, 1, [&](float* xyz) {
            xyz[0] = x;
            xyz[1] = y;
            xyz[2] = zmin;
        }) != 1)
        return -1;
    if (velmora::write_point_cells(f, out, 1) != 1) return -1;
    FLDset_node_data_ncomp(&out, 1);
    return velmora::write_float_component(f, out, 0, 3, 1, "%s : can not get val.\n", [&](float* v) {
        v[0] = 0.0f;
        v[1] = 0.0f;
        v[2] = length;
    });
}

void update(Frame& f) {
    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

    int indexi = 0, indexj = 0;
    double min = 0.0, max = 0.0;
    if (!f.require("indexi", indexi)) return;
    if (!f.require("indexj", indexj)) return;
    if (!f.require("min", min)) return;
    if (!f.require("max", max)) return;
    const auto zmin = static_cast<float>(min);
    const auto zmax = static_cast<float>(max);

    float x = 0.0f, y = 0.0f;
    if (calc_ij2xyz(&f.self, &in, indexi, indexj, &x, &y, f.msg) != 1) return;

    HostArray<float> mat = velmora::grid_matrix(in);
    if (!mat) return (void)f.fail("%s : can not get mat.\n");
    const float zscale = mat[10];

    OMobj_id out = f.find("oaxis", OM_OBJ_RD);
    if (write_axis(f, out, x, y, zmin, (zmax - zmin) * zscale) == 1) f.set_done();
}

}  // namespace

VELMORA_EXPORT int calc_ij2xyz(OMobj_id* module, OMobj_id* field, std::int64_t i, std::int64_t j, float* x, float* y,
                               char* msg) {
    int nspace = 0;
    FLDget_nspace(field, &nspace);
    if (nspace != 3) return fail_into(msg, module, "%s : 3 != nspace.\n");

    HostArray<std::int64_t> dims;
    int ndim = 0;
    FLDget_dims(field, dims.out(), &ndim);
    if (!dims || ndim != 3) return fail_into(msg, module, "%s : can not get dims or ndim.\n");
    const std::int64_t di = dims[0], dj = dims[1];

    // Callers pass the column the user asked for; one outside the grid is a
    // parameter error rather than a read somewhere else in memory.
    if (i < 0 || i >= di || j < 0 || j >= dj)
        return fail_into(msg, module, "%s : parameter error (indexi=%lld, indexj=%lld outside the %lld x %lld grid).\n",
                         static_cast<long long>(i), static_cast<long long>(j), static_cast<long long>(di),
                         static_cast<long long>(dj));

    HostArray<float> coord;
    FLDget_coord(field, coord.out(), coord.size_out(), OM_GET_ARRAY_RD);
    if (!coord) return fail_into(msg, module, "%s : can not get coord.\n");

    // Node (i, j, 0); coordinates too short to hold it count as missing.
    std::int64_t node = 0;
    if (__builtin_mul_overflow(di, j, &node) || __builtin_add_overflow(node, i, &node) || coord.size() < 2 ||
        node > (coord.size() - 2) / 3)
        return fail_into(msg, module, "%s : can not get coord.\n");
    if (!x || !y) return -1;
    *x = coord[3 * node];
    *y = coord[3 * node + 1];
    return 1;
}

VELMORA_EXPORT int Legend3DAxisUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes, update);
}
