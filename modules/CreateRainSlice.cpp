// CreateRainSlice: a stack of 1 x 1 slice planes through one node of a grid,
// all containing the vertical, turned about it by `angle` and spaced `delta`
// apart along their normal: the centre plane oplanes[0], then plane_num
// planes on the side the normal points to, then plane_num on the other side.
#include <cmath>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HostArray;

using Vec3 = double[3];

// The directions shared by every plane of the stack: A and B span a plane,
// C is its normal.
struct Axes {
    double a[3];
    double b[3];
    double c[3];
};

// The centre point: node (ii, ij, ik) of in, turned by the upper-left 3 x 3
// part of in's transform (its translation row does not move the point).
int centre_point(Frame& f, OMobj_id& in, int ii, int ij, int ik, Vec3 p) {
    int nspace = 0;
    FLDget_nspace(&in, &nspace);
    if (nspace != 3) return f.fail("%s : 3 != nspace.\n");
    HostArray<std::int64_t> dims;
    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims || ndim != 3) return f.fail("%s : can not get dims or ndim.\n");
    // The indices must address a node of the grid; anything else would read
    // coordinates that are not there.
    if (ii < 0 || ii >= dims[0]) return f.fail("%s : parameter error (0 > indexi or indexi >= dims[0]).\n");
    if (ij < 0 || ij >= dims[1]) return f.fail("%s : parameter error (0 > indexj or indexj >= dims[1]).\n");
    if (ik < 0 || ik >= dims[2]) return f.fail("%s : parameter error (0 > indexk or indexk >= dims[2]).\n");

    HostArray<float> coord;
    FLDget_coord(&in, coord.out(), coord.size_out(), OM_GET_ARRAY_RD);
    if (!coord) return f.fail("%s : can not get coord.\n");
    // Node index i + dims[0] * (j + dims[1] * k); a coordinate array too short
    // for it (or dims whose product overflows) counts as missing.
    std::int64_t node = 0;
    if (__builtin_mul_overflow(dims[1], static_cast<std::int64_t>(ik), &node) ||
        __builtin_add_overflow(node, static_cast<std::int64_t>(ij), &node) ||
        __builtin_mul_overflow(node, dims[0], &node) || __builtin_add_overflow(node, static_cast<std::int64_t>(ii), &node) ||
        node >= coord.size() / 3)
        return f.fail("%s : can not get coord.\n");
    const double x = coord[3 * node], y = coord[3 * node + 1], z = coord[3 * node + 2];
    coord.release();

    OMobj_id xform = OMfind_subobj(&in, OMstr_to_name("xform"), OM_OBJ_RW);
    HostArray<float> mat;
    std::int64_t size = 0;
    mat.reset(OMret_name_array_ptr(&xform, OMstr_to_name("mat"), OM_GET_ARRAY_RD, &size, nullptr));
    if (!mat || size != 16) return f.fail("%s : can not get mat.\n");
    for (int c = 0; c < 3; ++c) p[c] = (y * mat[4 + c] + x * mat[c]) + z * mat[8 + c];
    return 1;
}

// Writes one plane: a 2 x 2 unit square about the origin, placed by its
// transform at xlate with the axes of the stack.
int write_plane(Frame& f, OMobj_id& plane, const Axes& ax, const Vec3 xlate) {
    FLDset_ndim(&plane, 2);
    std::int64_t dims[2] = {2, 2};
    FLDset_dims(&plane, dims);
    FLDset_nspace(&plane, 2);
    HostArray<float> points;
    FLDget_points(&plane, points.out(), points.size_out(), OM_GET_ARRAY_WR);
    if (!points || points.size() != 4) return f.fail("%s : can not get points.\n");
    points[0] = -0.5f;
    points[1] = -0.5f;
    points[2] = 0.5f;
    points[3] = 0.5f;
    points.release();

    OMobj_id xform = OMfind_subobj(&plane, OMstr_to_name("xform"), OM_OBJ_RD);
    std::int64_t size = 0;
    HostArray<float> mat, xl, center;
    mat.reset(OMret_name_array_ptr(&xform, OMstr_to_name("mat"), OM_GET_ARRAY_WR, &size, nullptr));
    if (!mat || size != 16) return f.fail("%s : can not get mat.\n");
    size = 0;
    xl.reset(OMret_name_array_ptr(&xform, OMstr_to_name("xlate"), OM_GET_ARRAY_WR, &size, nullptr));
    if (!xl || size != 3) return f.fail("%s : can not get xlate.\n");
    size = 0;
    center.reset(OMret_name_array_ptr(&xform, OMstr_to_name("center"), OM_GET_ARRAY_WR, &size, nullptr));
    if (!center || size != 3) return f.fail("%s : can not get center.\n");

    const double* rows[3] = {ax.a, ax.b, ax.c};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) mat[4 * r + c] = static_cast<float>(rows[r][c]);
        mat[4 * r + 3] = 0.0f;
    }
    mat[12] = mat[13] = mat[14] = 0.0f;
    mat[15] = 1.0f;
    for (int c = 0; c < 3; ++c) {
        center[c] = 0.0f;
        xl[c] = static_cast<float>(xlate[c]);
    }
    return 1;
}

// The centre plane oplanes[0] at P; fills the axes for the other planes.
int centre_plane(Frame& f, OMobj_id& plane, const Vec3 p, double angle, Axes& ax) {
    // Pi to eight decimals, as stacks have always been placed: at 90 degrees
    // cos a is about 1.8e-9 rather than 0.
    const double a = angle * 3.14159265 / 180.0;
    const double ca = std::cos(a), sa = std::sin(a);
    ax = Axes{{ca, sa, 0.0}, {0.0, 0.0, 1.0}, {-sa, ca, 0.0}};
    return write_plane(f, plane, ax, p);
}

OMobj_id plane_object(Frame& f, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "oplanes[%d]", index);
    return OMfind_str_subobj(&f.self, name, OM_OBJ_RD);
}

// oplanes[1] .. oplanes[n]: P + k delta C.
int positive_side(Frame& f, int n, const Vec3 p, double delta, const Axes& ax) {
    for (int k = 1; k <= n; ++k) {
        OMobj_id plane = plane_object(f, k);
        double xlate[3];
        for (int c = 0; c < 3; ++c) xlate[c] = (delta * ax.c[c]) * k + p[c];
        if (write_plane(f, plane, ax, xlate) != 1) return -1;
    }
    return 1;
}

// oplanes[n + 1] .. oplanes[2n]: P - k delta C.
int negative_side(Frame& f, int n, const Vec3 p, double delta, const Axes& ax) {
    for (int k = 1; k <= n; ++k) {
        OMobj_id plane = plane_object(f, n + k);
        double xlate[3];
        for (int c = 0; c < 3; ++c) xlate[c] = p[c] - (delta * ax.c[c]) * k;
        if (write_plane(f, plane, ax, xlate) != 1) return -1;
    }
    return 1;
}

void update(Frame& f) {
    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

    int ii = 0, ij = 0, ik = 0, n = 0;
    double delta = 0.0, angle = 0.0;
    if (!f.require("indexi", ii)) return;
    if (!f.require("indexj", ij)) return;
    if (!f.require("indexk", ik)) return;
    if (!f.require("delta", delta)) return;
    if (0.0 > delta) return (void)f.fail("%s : parameter error (0.0 > delta).\n");
    if (!f.require("angle", angle)) return;
    if (!f.require("plane_num", n)) return;
    // plane_num 0 is a single plane: onum stays 1 and only oplanes[0] is
    // written. Negative counts are refused.
    if (0 > n) return (void)f.fail("%s : parameter error (1 > plane_num).\n");
    // Every plane is a field of its own in the host: the count is bounded.
    if (n > velmora::kMaxPlanesEachSide)
        return (void)f.fail("%s : parameter error (plane_num > %d).\n", velmora::kMaxPlanesEachSide);

    double p[3];
    if (centre_point(f, in, ii, ij, ik, p) != 1) return;

    f.set_int("onum", 1);
    Axes ax{};
    OMobj_id centre = plane_object(f, 0);
    if (centre_plane(f, centre, p, angle, ax) != 1) return;
    if (n >= 1) {
        // The count goes up before the planes it covers are looked up.
        f.set_int("onum", n + 1);
        if (positive_side(f, n, p, delta, ax) != 1) return;
        f.set_int("onum", 2 * n + 1);
        if (negative_side(f, n, p, delta, ax) != 1) return;
    }
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int CalcRainSliceUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes, update);
}
