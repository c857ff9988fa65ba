// ScaleVector: builds a 3-vector per node from three scalar components (u, v,
// w, the wind), scales each axis by the product of its three factors and
// writes it with the magnitude of the unscaled vector. Nodes where any of the
// three lies below the threshold get a zero vector and a zero magnitude.
#include <algorithm>
#include <cmath>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HostArray;

// The nine factors in the order they are read; axis a uses a, 3 + a, 6 + a.
constexpr const char* kFactorNames[9] = {"fixed_u", "fixed_v", "fixed_w", "disp_u", "disp_v",
                                         "disp_w",  "arbit_u", "arbit_v", "arbit_w"};

// Scaled vectors (3 per node) and magnitudes of the unscaled ones.
void scale_nodes(const float* const uvw[3], std::int64_t n, float thresh, const double (&factor)[9], float* vec,
                 float* mag) {
    for (std::int64_t k = 0; k < n; ++k) {
        const float u = uvw[0][k], v = uvw[1][k], w = uvw[2][k];
        if (thresh > u || thresh > v || thresh > w) {
            vec[3 * k] = vec[3 * k + 1] = vec[3 * k + 2] = 0.0f;
            mag[k] = 0.0f;
            continue;
        }
        for (int a = 0; a < 3; ++a)
            vec[3 * k + a] =
                static_cast<float>(static_cast<double>(uvw[a][k]) * factor[a] * factor[3 + a] * factor[6 + a]);
        const float sum = (u * u + v * v) + w * w;
        mag[k] = static_cast<float>(std::sqrt(static_cast<double>(sum)));
    }
}

void update(Frame& f) {
    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

    // The component indices must be exactly three integers.
    HostArray<int> comp;
    int comp_type = 0;
    comp.reset(OMret_name_array_ptr(&f.self, OMstr_to_name("comp"), OM_GET_ARRAY_RD, comp.size_out(), &comp_type));
    if (!comp || comp.size() != 3 || comp_type != DTYPE_INT) return (void)f.fail("%s : can not get vec_comp.\n");

    double thresh = 0.0;
    if (!f.require("thresh_value", thresh)) return;
    double factor[9] = {};
    for (int k = 0; k < 9; ++k)
        if (!f.require(kFactorNames[k], factor[k])) return;

    HostArray<float> input[3];
    std::int64_t n = nnodes;
    for (int k = 0; k < 3; ++k) {
        const int c = comp[k];
        int type = 0, veclen = 0;
        FLDget_node_data_type(&in, c, &type);
        if (type != DTYPE_FLOAT) return (void)f.fail("%s : the type of node_data[%d] is not DTYPE_FLOAT.\n", c);
        FLDget_node_data_veclen(&in, c, &veclen);
        if (veclen != 1) return (void)f.fail("%s : node_data[%d] is not scalar.\n", c);
        FLDget_node_data(&in, c, &type, input[k].out_chars(), input[k].size_out(), OM_GET_ARRAY_RD);
        if (!input[k]) return (void)f.fail("%s : can not get node_data[%d].value.\n", c);
        n = std::min(n, input[k].size());
    }

    OMobj_id out = f.find("out", OM_OBJ_RD);
    FLDset_nnodes(&out, nnodes);
    FLDset_node_data_ncomp(&out, 2);
    FLDset_node_data_type(&out, 0, DTYPE_FLOAT);
    FLDset_node_data_veclen(&out, 0, 3);
    HostArray<float> vec, mag;
    velmora::node_data(out, 0, OM_GET_ARRAY_WR, vec);
    if (!vec) return (void)f.fail("%s : can not get oval.\n");
    FLDset_node_data_label(&out, 0, "vec_scale");
    FLDset_node_data_type(&out, 1, DTYPE_FLOAT);
    FLDset_node_data_veclen(&out, 1, 1);
    velmora::node_data(out, 1, OM_GET_ARRAY_WR, mag);
    if (!mag) return (void)f.fail("%s : can not get omag.\n");
    FLDset_node_data_label(&out, 1, "vec_scale_mag");

    // Nodes past a short input array get a zero vector.
    n = std::min({n, vec.size() / 3, mag.size()});
    std::fill(vec.get() + 3 * n, vec.get() + vec.size(), 0.0f);
    std::fill(mag.get() + n, mag.get() + mag.size(), 0.0f);
    const float* uvw[3] = {input[0].get(), input[1].get(), input[2].get()};
    scale_nodes(uvw, n, static_cast<float>(thresh), factor, vec.get(), mag.get());
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int ScaleVectorUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
