// AlphaPlane: projects one float component of a three-dimensional grid along
// a grid axis onto the plane of one grid slice. Every column along the axis
// accumulates an opacity through a clamped linear transfer function (output
// component 0) and the sum of its values (component 1); null samples, and
// samples where a mask component is null, are left out.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "alpha_plane_kernels.h"
#include "frame.h"

namespace {

using velmora::Frame;
using velmora::Heap;
using velmora::HeapText;
using velmora::HostArray;

constexpr int kOpacityId = 672;
constexpr int kTextSize = 1024;
using velmora::alpha_plane::Sources;
using velmora::alpha_plane::Transfer;

// The output's dims for a projection along axis: the two dims of in that remain.
bool plane_dims(int axis, const std::int64_t* dims, std::int64_t odims[2]) {
    switch (axis) {
        case 0: odims[0] = dims[1], odims[1] = dims[2]; return true;
        case 1: odims[0] = dims[0], odims[1] = dims[2]; return true;
        case 2: odims[0] = dims[0], odims[1] = dims[1]; return true;
        default: return false;
    }
}

// Reads and checks the dims of in (three of them).
int in_dims(Frame& f, OMobj_id& in, HostArray<std::int64_t>& dims) {
    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims) return f.fail("%s : can not get in.dims.\n");
    if (ndim != 3) return f.fail("%s : in.ndim is not 3.\n");
    return 1;
}

// Reads the dims of out (two of them) and checks them against the projection
// of in's dims along axis, so that every output node has its column in in.
int out_dims(Frame& f, OMobj_id& out, int axis, const std::int64_t* dims, std::int64_t odims[2]) {
    HostArray<std::int64_t> od;
    int ndim = 0;
    FLDget_dims(&out, od.out(), &ndim);
    if (!od) return f.fail("%s : can not get out.dims.\n");
    if (ndim != 2) return f.fail("%s : out.ndim is not 2.\n");
    std::int64_t want[2];
    if (!plane_dims(axis, dims, want) || od[0] != want[0] || od[1] != want[1])
        return f.fail("%s : can not get out.dims.\n");
    odims[0] = od[0];
    odims[1] = od[1];
    return 1;
}

// Step 1: space, dims and the two component descriptions of out.
int output_layout(Frame& f, int axis, OMobj_id& in, OMobj_id& out) {
    int comp = 0;
    double null_value = 0.0;
    if (!f.require("comp", comp)) return -1;
    if (!f.require("null_value", null_value)) return -1;
    float null_f = static_cast<float>(null_value);

    int nspace = 0;
    if (FLDget_nspace(&in, &nspace) != 1) return f.fail("%s : can not get in.nspace.\n");
    if (nspace != 3) return f.fail("%s : in.nspace is not 3.\n");
    HostArray<std::int64_t> dims;
    if (in_dims(f, in, dims) != 1) return -1;

    if (FLDset_nspace(&out, 3) != 1) return f.fail("%s : can not get out.nspace.\n");
    if (FLDset_ndim(&out, 2) != 1) return f.fail("%s : can not get out.ndim.\n");
    std::int64_t odims[2];
    if (!plane_dims(axis, dims.get(), odims)) return f.fail("%s : axis is invalid value.\n");
    if (FLDset_dims(&out, odims) != 1) return f.fail("%s : can not get out.dims.\n");

    if (FLDset_node_data_ncomp(&out, 2) != 1) return f.fail("%s : can not get out.nnode_data.\n");
    if (FLDset_node_data_type(&out, 0, DTYPE_FLOAT) != 1) return f.fail("%s : can not get out.nnode_data[0].type.\n");
    if (FLDset_node_data_veclen(&out, 0, 1) != 1) return f.fail("%s : can not get out.nnode_data[0].veclen.\n");
    if (FLDset_node_data_id(&out, 0, kOpacityId) != 1) return f.fail("%s : can not get out.nnode_data[0].id.\n");
    if (FLDset_node_null_flag(&out, 0, 0) != 1) return f.fail("%s : can not get out.nnode_data[0].null_flag.\n");
    if (FLDset_node_data_type(&out, 1, DTYPE_FLOAT) != 1) return f.fail("%s : can not get out.nnode_data[1].type.\n");
    if (FLDset_node_data_veclen(&out, 1, 1) != 1) return f.fail("%s : can not get out.nnode_data[1].veclen.\n");
    if (FLDset_node_null_flag(&out, 1, 1) != 1) return f.fail("%s : can not get out.nnode_data[1].null_flag.\n");
    if (FLDset_node_null_data(&out, 1, reinterpret_cast<char*>(&null_f), DTYPE_FLOAT) != 1)
        return f.fail("%s : can not get out.nnode_data[1].null_value.\n");

    // An unreadable label or unit copies as an empty text.
    char text[kTextSize];
    text[0] = '\0';
    FLDget_node_data_label(&in, comp, text, kTextSize);
    if (FLDset_node_data_label(&out, 1, text) != 1) return f.fail("%s : can not get out.nnode_data[1].label.\n");
    text[0] = '\0';
    FLDget_node_data_units(&in, comp, text, kTextSize);
    if (FLDset_node_data_units(&out, 1, text) != 1) return f.fail("%s : can not get out.nnode_data[1].units.\n");
    return 1;
}

// Step 2: out takes the coordinates of slice `plane` of in, scaled.
int coordinates(Frame& f, int axis, OMobj_id& in, OMobj_id& out) {
    int sphere = 0;
    std::int64_t plane = 0;
    double scale_d = 0.0;
    if (!f.require("sphere", sphere)) return -1;
    if (!f.require("plane", plane)) return -1;
    if (!f.require("scale", scale_d)) return -1;
    const float scale = static_cast<float>(scale_d);
    if (axis < 0 || axis > 2) return f.fail("%s : axis is invalid value.\n");   // the layout step refused it already

    HostArray<std::int64_t> dims;
    if (in_dims(f, in, dims) != 1) return -1;
    HostArray<float> icoord;
    FLDget_coord(&in, icoord.out(), icoord.size_out(), OM_GET_ARRAY_RD);
    const std::int64_t n = velmora::dims_product(dims.get(), 3);
    if (!icoord || n < 0 || n > INT64_MAX / 3 || icoord.size() != 3 * n) return f.fail("%s : can not get in.coord.\n");

    if (plane > dims[axis] - 1) return f.fail("%s : plane is over in.dims[%d].\n", axis);
    // A negative slice index has no coordinates either.
    if (plane < 0) return f.fail("%s : plane is under 0.\n");

    std::int64_t odims[2];
    if (out_dims(f, out, axis, dims.get(), odims) != 1) return -1;
    HostArray<float> ocoord;
    FLDget_coord(&out, ocoord.out(), ocoord.size_out(), OM_GET_ARRAY_WR);
    const std::int64_t m = odims[0] * odims[1];   // at most n: no overflow
    if (!ocoord || ocoord.size() != 3 * m) return f.fail("%s : can not get out.coord.\n");

    const std::int64_t d0 = dims[0], d1 = dims[1];
    float* oc = ocoord.get();
    if (axis != 0) {
        // Along axes 1 and 2 an output row a = 0 .. odims[0]-1 is a row of
        // the slice with i = a, contiguous in in.
        const auto len = static_cast<std::size_t>(3 * odims[0]);
        for (std::int64_t b = 0; b < odims[1]; ++b, oc += len) {
            const std::int64_t j = axis == 1 ? plane : b, k = axis == 1 ? b : plane;
            const float* c = &icoord[3 * d0 * (j + d1 * k)];
            if (sphere == 1) {
                for (std::size_t q = 0; q < len; ++q) oc[q] = scale * c[q];
            } else {
                std::memcpy(oc, c, len * sizeof(float));
                for (std::size_t q = static_cast<std::size_t>(axis); q < len; q += 3) oc[q] = c[q] * scale;
            }
        }
        return 1;
    }
    // Along axis 0, output node (a, b) is input node (plane, a, b).
    for (std::int64_t b = 0; b < odims[1]; ++b) {
        for (std::int64_t a = 0; a < odims[0]; ++a) {
            const float* c = &icoord[3 * (plane + d0 * (a + d1 * b))];
            if (sphere == 1) {
                oc[0] = scale * c[0];
                oc[1] = scale * c[1];
                oc[2] = scale * c[2];
            } else {
                oc[0] = c[0] * scale;
                oc[1] = c[1];
                oc[2] = c[2];
            }
            oc += 3;
        }
    }
    return 1;
}

// Finds the mask: the first component of in labelled mask_label, with n
// float values and its null flag set.
int find_mask(Frame& f, OMobj_id& in, std::int64_t n, HostArray<float>& mask, float& mask_null) {
    HeapText label = f.get_str("mask_label");
    if (!label || label.get()[0] == '\0') return f.fail("%s : can not get mask_label.\n");
    int ncomp = 0;
    if (FLDget_node_data_ncomp(&in, &ncomp) != 1) return f.fail("%s : can not get in.nnode_data.\n");
    for (int c = 0; c < ncomp; ++c) {
        char text[kTextSize];
        text[0] = '\0';
        FLDget_node_data_label(&in, c, text, kTextSize);
        if (std::strcmp(text, label.get()) != 0) continue;
        const int type = velmora::node_data(in, c, OM_GET_ARRAY_RD, mask);
        if (!mask || type != DTYPE_FLOAT || mask.size() != n)
            return f.fail("%s : can not get in.node_data[%lld].\n", static_cast<long long>(c));
        int flag = 0;
        mask_null = 0.0f;
        FLDget_node_null_data(&in, c, &flag, reinterpret_cast<char*>(&mask_null));
        if (flag != 1) return f.fail("%s : can not get mask_data.null_value.\n");
        return 1;
    }
    return f.fail("%s : can not get mask_data.\n");
}

// The transfer function from alpha_min, alpha_max, data_min and data_max,
// each pair put in order.
int read_transfer(Frame& f, Transfer& tf) {
    double amin_d = 0.0, amax_d = 0.0, dmin_d = 0.0, dmax_d = 0.0;
    if (!f.require("alpha_min", amin_d)) return -1;
    if (!f.require("alpha_max", amax_d)) return -1;
    tf.alpha_min = static_cast<float>(amin_d);
    tf.alpha_max = static_cast<float>(amax_d);
    if (tf.alpha_min > tf.alpha_max) std::swap(tf.alpha_min, tf.alpha_max);
    tf.alpha_range = tf.alpha_max - tf.alpha_min;
    if (!f.require("data_min", dmin_d)) return -1;
    if (!f.require("data_max", dmax_d)) return -1;
    tf.data_min = static_cast<float>(dmin_d);
    tf.data_max = static_cast<float>(dmax_d);
    if (tf.data_min > tf.data_max) std::swap(tf.data_min, tf.data_max);
    tf.data_range = tf.data_max - tf.data_min;
    if (1e-5 > tf.data_range) return f.fail("%s : data_min and data_max are the same value.\n");
    return 1;
}

// Component comp of in (n float values, one per node) with its null value.
int read_values(Frame& f, OMobj_id& in, int comp, std::int64_t n, HostArray<float>& values, Sources& src) {
    int veclen = 0;
    if (FLDget_node_data_veclen(&in, comp, &veclen) != 1) return f.fail("%s : can not get in.node_data[%d].veclen.\n", comp);
    if (veclen != 1) return f.fail("%s : in.node_data[%d].veclen is not 1.\n", comp);
    const int type = velmora::node_data(in, comp, OM_GET_ARRAY_RD, values);
    if (!values || type != DTYPE_FLOAT || values.size() != n) return f.fail("%s : can not get in.node_data[%d].\n", comp);
    src.values = values.get();
    int null_flag = 0;
    FLDget_node_null_data(&in, comp, &null_flag, reinterpret_cast<char*>(&src.null_value));
    src.has_null = null_flag != 0;
    return 1;
}

// The two components of out to fill, m floats each.
int output_values(Frame& f, OMobj_id& out, std::int64_t m, HostArray<float>& alpha, HostArray<float>& data) {
    const int type = velmora::node_data(out, 0, OM_GET_ARRAY_WR, alpha);
    if (!alpha || type != DTYPE_FLOAT || alpha.size() != m) return f.fail("%s : can not get out.node_data[0].\n");
    const int data_type = velmora::node_data(out, 1, OM_GET_ARRAY_WR, data);
    if (!data || data_type != DTYPE_FLOAT || data.size() != m) return f.fail("%s : can not get out.node_data[1].\n");
    return 1;
}

// Step 3: the opacity and the data sum of every column.
int projection(Frame& f, int axis, OMobj_id& in, OMobj_id& out) {
    int comp = 0;
    if (!f.require("comp", comp)) return -1;
    Transfer tf{};
    if (read_transfer(f, tf) != 1) return -1;
    double null_d = 0.0;
    if (!f.require("null_value", null_d)) return -1;
    const float null_value = static_cast<float>(null_d);

    HostArray<std::int64_t> dims;
    if (in_dims(f, in, dims) != 1) return -1;
    const std::int64_t n = velmora::dims_product(dims.get(), 3);
    if (n < 1) return -1;
    HostArray<float> values;
    Sources src{nullptr, nullptr, false, 0.0f, 0.0f, velmora::alpha_plane::near_limit(), null_value};
    if (read_values(f, in, comp, n, values, src) != 1) return -1;

    std::int64_t odims[2];
    if (out_dims(f, out, axis, dims.get(), odims) != 1) return -1;
    const std::int64_t m = odims[0] * odims[1];
    if (m < 1) return -1;
    HostArray<float> alpha, data;
    if (output_values(f, out, m, alpha, data) != 1) return -1;

    int mask_active = 0;
    if (!f.require("mask_active", mask_active)) return -1;
    HostArray<float> mask;
    if (mask_active != 0) {
        if (find_mask(f, in, n, mask, src.mask_null) != 1) return -1;
        src.mask = mask.get();
    }

    Heap<unsigned char[]> reached;
    if (src.has_null) {
        reached = velmora::heap_array<unsigned char>(m);
        if (!reached) return f.fail("%s : can not allocate memory.\n");
        std::memset(reached.get(), 0, static_cast<std::size_t>(m));
    }
    // Working room for the opacities of one row of in; it fails, if ever,
    // with the message of the other working storage.
    Heap<float[]> row_alpha = velmora::heap_array<float>(dims[0]);
    if (!row_alpha) return f.fail("%s : can not allocate memory.\n");

    // The 512-bit pass writes every output node in its first pass over it
    // and the null value of the unreached ones in its last.
    const bool wide = velmora::alpha_plane::wide_pass(axis);
    if (!wide) {
        std::fill_n(alpha.get(), m, 0.0f);
        std::fill_n(data.get(), m, 0.0f);
    }
    velmora::alpha_plane::project(src, tf, axis, dims.get(), alpha.get(), data.get(), reached.get(), row_alpha.get(),
                                  wide);

    // Nodes that no sample reached carry the output's null value.
    if (reached && !wide)
        for (std::int64_t o = 0; o < m; ++o) data[o] = reached[o] ? data[o] : null_value;
    return 1;
}

void update(Frame& f) {
    OMobj_id in = f.find("in", OM_OBJ_RW);
    if (velmora::is_null(in)) return (void)f.fail("%s : can not get in.");
    OMobj_id out = f.find("out", OM_OBJ_RD);
    if (velmora::is_null(out)) return (void)f.fail("%s : can not get out.");
    std::int64_t nnodes = 0;
    FLDget_nnodes(&in, &nnodes);
    if (nnodes < 1) return;
    int axis = 0;
    if (!f.get_int("axis", axis)) return (void)f.fail("%s : can not get axis.");

    if (output_layout(f, axis, in, out) != 1) return;
    if (coordinates(f, axis, in, out) != 1) return;
    if (projection(f, axis, in, out) != 1) return;
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int AlphaPlaneUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
