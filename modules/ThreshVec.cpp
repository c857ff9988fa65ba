// ThreshVec: selects the nodes at which one scalar component lies strictly
// inside a band (for example reflectivity between two levels) and copies
// every component, wind vectors included, with zeros at the other nodes.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::Heap;
using velmora::HostArray;

constexpr double kNullTolerance = 0.00001;

// The null tests: the difference taken in float, its size compared in
// double. Selection asks for a clear distance from the null value, the copy
// blanks values close to it; a difference that is not a number passes
// neither test.
double null_distance(float v, float null_value) { return std::fabs(static_cast<double>(v - null_value)); }

// One byte per node: 1 where the selecting value lies strictly inside
// (vmin, vmax) and, when its null flag is 1, away from its null value. Not a
// number is never inside.
void select_nodes(const float* v, std::int64_t n, float vmin, float vmax, int null_flag, float null_value,
                  unsigned char* mask) {
    for (std::int64_t k = 0; k < n; ++k) {
        bool in = v[k] > vmin && vmax > v[k];
        if (in && null_flag == 1) in = null_distance(v[k], null_value) > kNullTolerance;
        mask[k] = in ? 1 : 0;
    }
}

// Copies every component of in to out, zero where the node is not selected
// (and, for a component with a null flag, where its value is null).
int copy_components(Frame& f, OMobj_id& in, OMobj_id& out, std::int64_t nnodes, const unsigned char* mask) {
    int ncomp = 0;
    FLDget_node_data_ncomp(&in, &ncomp);
    for (int i = 0; i < ncomp; ++i) {
        int type = 0, veclen = 0;
        FLDget_node_data_type(&in, i, &type);
        if (type != DTYPE_FLOAT) return f.fail("%s : unsupport data_type, DTYPE_FLOAT only.\n");
        FLDget_node_data_veclen(&in, i, &veclen);
        if (veclen < 1) return f.fail("%s : 1 > veclen.\n");

        char label[velmora::kLabelSize] = "";
        FLDget_node_data_label(&in, i, label, velmora::kLabelSize);
        int null_flag = 0;
        float null_value = 0.0f;
        FLDget_node_null_data(&in, i, &null_flag, reinterpret_cast<char*>(&null_value));

        FLDset_node_data_type(&out, i, DTYPE_FLOAT);
        FLDset_node_data_veclen(&out, i, veclen);
        FLDset_node_data_label(&out, i, label);

        HostArray<float> ival, oval;
        FLDget_node_data(&in, i, &type, ival.out_chars(), ival.size_out(), OM_GET_ARRAY_RD);
        if (!ival) return f.fail("%s : can not get input_value.\n");
        FLDget_node_data(&out, i, &type, oval.out_chars(), oval.size_out(), OM_GET_ARRAY_WR);
        if (!oval) return f.fail("%s : can not get output_value.\n");

        // Values past a short input array are written as unselected.
        const std::int64_t total = oval.size() / veclen >= nnodes ? nnodes * veclen : oval.size();
        for (std::int64_t idx = 0; idx < total; ++idx) {
            const bool keep = idx < ival.size() && mask[idx / veclen] &&
                              (null_flag == 0 || !(kNullTolerance > null_distance(ival[idx], null_value)));
            oval[idx] = keep ? ival[idx] : 0.0f;
        }
    }
    return 1;
}

void update(Frame& f) {
    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

    int comp = 0;
    double vmin = 0.0, vmax = 0.0;
    if (!f.require("comp", comp)) return;
    if (!f.require("vec_min", vmin)) return;
    if (!f.require("vec_max", vmax)) return;

    // A comp that names no component has no type: the type message covers it.
    int type = 0, veclen = 0;
    FLDget_node_data_type(&in, comp, &type);
    if (type != DTYPE_FLOAT) return (void)f.fail("%s : unsupport data_type, DTYPE_FLOAT only.\n");
    FLDget_node_data_veclen(&in, comp, &veclen);
    if (veclen != 1) return (void)f.fail("%s : unsupport veclen, scalar data only.\n");

    HostArray<float> sel;
    FLDget_node_data(&in, comp, &type, sel.out_chars(), sel.size_out(), OM_GET_ARRAY_RD);
    if (!sel) return (void)f.fail("%s : can not get thresh_value.\n");
    int null_flag = 0;
    float null_value = 0.0f;
    FLDget_node_null_data(&in, comp, &null_flag, reinterpret_cast<char*>(&null_value));

    Heap<unsigned char[]> mask = velmora::heap_array<unsigned char>(nnodes);
    if (!mask) return (void)f.fail("%s : can not allocate memory(flag).\n");
    std::memset(mask.get(), 0, static_cast<std::size_t>(nnodes));
    select_nodes(sel.get(), std::min(nnodes, sel.size()), static_cast<float>(vmin), static_cast<float>(vmax),
                 null_flag, null_value, mask.get());

    OMobj_id out = f.find("out_nd", OM_OBJ_RD);
    FLDset_nnodes(&out, nnodes);
    int ncomp = 0;
    FLDget_node_data_ncomp(&in, &ncomp);
    FLDset_node_data_ncomp(&out, ncomp);
    if (copy_components(f, in, out, nnodes, mask.get()) == 1) f.set_done();
}

}  // namespace

VELMORA_EXPORT int ThreshVecUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
