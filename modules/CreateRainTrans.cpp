// CreateRainTrans: from a reflectivity grid, a grid of the same geometry with
// two opacity components: "trans_line", a checkerboard over the horizontal
// indices, and "trans_ze", the reflectivity ramped from 0 at minlevel to 1 at
// maxlevel.
#include <cmath>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HostArray;

constexpr int kOpacityId = 672;

// Declares component comp of out as one float per node with the opacity id
// and hands out its values for writing.
void opacity_component(OMobj_id& out, int comp, const char* label, HostArray<float>& values) {
    FLDset_node_data_type(&out, comp, DTYPE_FLOAT);
    FLDset_node_data_veclen(&out, comp, 1);
    FLDset_node_data_label(&out, comp, label);
    FLDset_node_data_id(&out, comp, kOpacityId);
    velmora::node_data(out, comp, OM_GET_ARRAY_WR, values);
}

// Component 0: 1 where i + j is odd, 0 where it is even, in every layer.
int write_line_pattern(Frame& f, OMobj_id& in, OMobj_id& out) {
    HostArray<std::int64_t> dims;
    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims || ndim != 3) return f.fail("%s : can not get dims.\n");

    HostArray<float> trans;
    opacity_component(out, 0, "trans_line", trans);
    // The output shares the dims of in; an array shorter than the grid (a
    // host that sized it otherwise) is refused rather than overrun.
    const std::int64_t n = velmora::dims_product(dims.get(), 3);
    if (!trans || n < 0 || trans.size() < n) return f.fail("%s : can not get trans_data.\n");
    if (n == 0) return 1;   // a zero dim: nothing to visit, however long the others

    float* v = trans.get();
    for (std::int64_t k = 0; k < dims[2]; ++k)
        for (std::int64_t j = 0; j < dims[1]; ++j)
            for (std::int64_t i = 0; i < dims[0]; ++i) *v++ = ((i + j) & 1) ? 1.0f : 0.0f;
    return 1;
}

// Component 1: the reflectivity of component zecomp ramped between the levels.
int write_ze_ramp(Frame& f, OMobj_id& in, int zecomp, double minlevel, double maxlevel, OMobj_id& out) {
    std::int64_t nnodes = 0;
    FLDget_nnodes(&in, &nnodes);
    int type = 0;
    FLDget_node_data_type(&in, zecomp, &type);
    if (type != DTYPE_FLOAT) return f.fail("%s : DTYPE_FLOAT != dtype.\n");
    int veclen = 0;
    FLDget_node_data_veclen(&in, zecomp, &veclen);
    if (veclen != 1) return f.fail("%s : 1 != dvec.\n");

    HostArray<float> ze;
    const int ze_type = velmora::node_data(in, zecomp, OM_GET_ARRAY_RD, ze);
    // Fewer values than nodes would be read past: refused like missing ones.
    if (!ze || ze_type != DTYPE_FLOAT || ze.size() < nnodes) return f.fail("%s : can not get ze.\n");

    HostArray<float> trans;
    opacity_component(out, 1, "trans_ze", trans);
    if (!trans || trans.size() < nnodes) return f.fail("%s : can not get trans_data.\n");

    const double d = maxlevel - minlevel;
    const double s = 1e-6 > std::fabs(d) ? 0.0 : 1.0 / d;
    for (std::int64_t n = 0; n < nnodes; ++n) {
        const double v = ze[n];
        if (v < minlevel)
            trans[n] = 0.0f;
        else if (v > maxlevel)
            trans[n] = 1.0f;
        else
            trans[n] = static_cast<float>((v - minlevel) * s);
    }
    return 1;
}

void update(Frame& f) {
    double minlevel = 0.0, maxlevel = 0.0;
    int zecomp = 0;
    if (!f.require("minlevel", minlevel)) return;
    if (!f.require("maxlevel", maxlevel)) return;
    if (!f.require("zecomp", zecomp)) return;

    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

    HostArray<std::int64_t> dims;
    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims || ndim != 3) return (void)f.fail("%s : can not get dims.\n");
    HostArray<float> points;
    FLDget_points(&in, points.out(), points.size_out(), OM_GET_ARRAY_RD);
    if (!points || points.size() != 6) return (void)f.fail("%s : can not get points.\n");

    OMobj_id out = f.find("out", OM_OBJ_RD);
    FLDset_ndim(&out, 3);
    FLDset_dims(&out, dims.get());
    FLDset_nspace(&out, 3);
    FLDset_points(&out, points.get(), 6, OM_GET_ARRAY_RD);
    FLDset_node_data_ncomp(&out, 2);

    if (write_line_pattern(f, in, out) != 1) return;
    if (write_ze_ramp(f, in, zecomp, minlevel, maxlevel, out) != 1) return;
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int CreateRainTransUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes, update);
}
