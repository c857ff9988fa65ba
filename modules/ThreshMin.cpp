// ThreshMin: copies every scalar float component of a field's node data,
// replacing values below a threshold by a null value that the output declares.
#include <algorithm>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HostArray;

// Writes the thresholded copy of every component of in to out.
int threshold_components(Frame& f, OMobj_id& in, OMobj_id& out, float thresh, float null_value) {
    std::int64_t nnodes = 0;
    FLDget_nnodes(&in, &nnodes);
    if (nnodes < 1) return f.fail("%s : 1 > nnodes.\n");

    FLDset_nnodes(&out, nnodes);
    int ncomp = 0;
    FLDget_node_data_ncomp(&in, &ncomp);
    FLDset_node_data_ncomp(&out, ncomp);

    for (int i = 0; i < ncomp; ++i) {
        char label[velmora::kLabelSize] = "";
        FLDget_node_data_label(&in, i, label, velmora::kLabelSize);
        FLDset_node_data_comp(&out, i, 1, label, "");
        FLDset_node_data_type(&out, i, DTYPE_FLOAT);

        HostArray<float> ival, oval;
        velmora::node_data(in, i, OM_GET_ARRAY_RD, ival);
        if (!ival) return f.fail("%s : can not get ival.\n");
        velmora::node_data(out, i, OM_GET_ARRAY_WR, oval);
        if (!oval) return f.fail("%s : can not get oval.\n");

        // A value equal to the threshold, or not a number, is kept.
        const std::int64_t n = std::min({nnodes, ival.size(), oval.size()});
        for (std::int64_t k = 0; k < n; ++k) oval[k] = thresh > ival[k] ? null_value : ival[k];

        FLDset_node_null_data(&out, i, reinterpret_cast<char*>(&null_value), DTYPE_FLOAT);
        FLDset_node_null_flag(&out, i, 1);
    }
    return 1;
}

void update(Frame& f) {
    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

    double thresh = 0.0, null_value = 0.0;
    if (!f.require("thresh_value", thresh)) return;
    if (!f.require("null_value", null_value)) return;

    int ncomp = 0;
    FLDget_node_data_ncomp(&in, &ncomp);
    if (ncomp < 1) return (void)f.fail("%s : can not get nnode_data.\n");
    // Every component is checked before anything is written.
    for (int i = 0; i < ncomp; ++i) {
        int type = 0, veclen = 0;
        FLDget_node_data_type(&in, i, &type);
        if (type != DTYPE_FLOAT) return (void)f.fail("%s : unsupport data_type(=DTYPE_FLOAT only).\n");
        FLDget_node_data_veclen(&in, i, &veclen);
        if (veclen != 1) return (void)f.fail("%s : unsupport data(veclen=1 only).\n");
    }

    OMobj_id out = f.find("out_nd", OM_OBJ_RD);
    if (threshold_components(f, in, out, static_cast<float>(thresh), static_cast<float>(null_value)) == 1) f.set_done();
}

}  // namespace

VELMORA_EXPORT int ThreshMinUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
