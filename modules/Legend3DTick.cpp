// Legend3DTick: ticks at equally spaced heights on one grid column of the
// radar grid, each a point carrying a horizontal vector, and beside each a
// label point carrying its height as text. Also holds calc_zposi, the
// heights shared with the vector legend.
#include <cmath>

#include "frame.h"
#include "legend.h"

namespace {

using velmora::Frame;
using velmora::Heap;
using velmora::HeapText;
using velmora::HostArray;
using velmora::LabelFormat;

constexpr std::int64_t kMaxHeights = 1 << 20;

struct Params {
    int indexi = 0, indexj = 0;
    float min = 0.0f, max = 0.0f;
    int ndiv = 0;
    float ticklen = 0.0f, angle = 0.0f;
    HeapText format_text;
    std::optional<LabelFormat> format;
    float offx = 0.0f, offy = 0.0f, offz = 0.0f;
};

// Reads the parameters in their order; reals are narrowed once, here.
int read_params(Frame& f, Params& p) {
    double v = 0.0;
    if (!f.require("indexi", p.indexi)) return -1;
    if (!f.require("indexj", p.indexj)) return -1;
    if (!f.require("min", v)) return -1;
    p.min = static_cast<float>(v);
    if (!f.require("max", v)) return -1;
    p.max = static_cast<float>(v);
    if (!f.require("ndiv", p.ndiv)) return -1;
    if (p.ndiv < 0) return f.fail("%s : parameter error (0 > ndiv).\n");
    if (!f.require("ticklen", v)) return -1;
    p.ticklen = static_cast<float>(v);
    if (!f.require("angle", v)) return -1;
    p.angle = static_cast<float>(v);
    if (velmora::read_label_format(f, p.format_text, p.format) != 1) return -1;
    if (!f.require("tickloffx", v)) return -1;
    p.offx = static_cast<float>(v);
    if (!f.require("tickloffy", v)) return -1;
    p.offy = static_cast<float>(v);
    if (!f.require("tickloffz", v)) return -1;
    p.offz = static_cast<float>(v);
    return 1;
}

// n points at (x, y, z_k), each carrying the same tick vector.
int write_ticks(Frame& f, OMobj_id& out, float x, float y, const float* z, std::int64_t n, float tx, float ty) {
    if (velmora::write_coords(f, out, n, [&](float* xyz) {
            for (std::int64_t k = 0; k < n; ++k) {
                xyz[3 * k] = x;
                xyz[3 * k + 1] = y;
                xyz[3 * k + 2] = z[k];
            }
        }) != 1)
        return -1;
    if (velmora::write_point_cells(f, out, n) != 1) return -1;
    FLDset_node_data_ncomp(&out, 1);
    return velmora::write_float_component(f, out, 0, 3, n, "%s : can not get val.\n", [&](float* v) {
        for (std::int64_t k = 0; k < n; ++k) {
            v[3 * k] = tx;
            v[3 * k + 1] = ty;
            v[3 * k + 2] = 0.0f;
        }
    });
}

// n label points beside the ticks, with their heights as text.
int write_labels(Frame& f, OMobj_id& out, float x, float y, const float* z, std::int64_t n, const Params& p) {
    if (velmora::write_coords(f, out, n, [&](float* xyz) {
            for (std::int64_t k = 0; k < n; ++k) {
                xyz[3 * k] = x + p.offx;
                xyz[3 * k + 1] = y + p.offy;
                xyz[3 * k + 2] = z[k] + p.offz;
            }
        }) != 1)
        return -1;
    velmora::write_label_texts(out, n, [&](std::int64_t k, char(&text)[velmora::kLabelTextSize]) {
        p.format->print(text, static_cast<double>(z[k]));
    });
    return 1;
}

void update(Frame& f) {
    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

    Params p;
    if (read_params(f, p) != 1) return;

    float x = 0.0f, y = 0.0f;
    if (calc_ij2xyz(&f.self, &in, p.indexi, p.indexj, &x, &y, f.msg) != 1) return;

    float xscale = 0.0f, yscale = 0.0f;
    {
        HostArray<float> mat = velmora::grid_matrix(in);
        if (!mat) return (void)f.fail("%s : can not get mat.\n");
        xscale = mat[0];
        yscale = mat[5];
    }

    std::int64_t n = 0;
    float* raw = nullptr;
    const int made = calc_zposi(&f.self, p.ndiv, p.min, p.max, &n, &raw, f.msg);
    Heap<float[]> z(raw);
    if (made != 1) return;

    // The angle's constant is 3.14159265, not the full-precision pi: a
    // 90-degree tick keeps a tiny x component.
    const double a = static_cast<double>(p.angle) * 3.14159265 / 180.0;
    const auto tx = static_cast<float>(std::cos(a) * static_cast<double>(xscale) * static_cast<double>(p.ticklen));
    const auto ty = static_cast<float>(std::sin(a) * static_cast<double>(yscale) * static_cast<double>(p.ticklen));

    OMobj_id otick = f.find("otick", OM_OBJ_RD);
    if (write_ticks(f, otick, x, y, z.get(), n, tx, ty) != 1) return;
    OMobj_id olabel = f.find("olabel", OM_OBJ_RD);
    if (write_labels(f, olabel, x, y, z.get(), n, p) != 1) return;
    f.set_done();
}

}  // namespace

// Left to the caller to keep ndiv >= 0 (both legends check it first); a
// negative ndiv gets the legends' parameter error, a count of 0 and no array.
VELMORA_EXPORT int calc_zposi(OMobj_id* module, int ndiv, float min, float max, std::int64_t* count, float** heights,
                              char* msg) {
    if (!count || !heights) return -1;
    *heights = nullptr;
    if (ndiv < 0) {
        *count = 0;
        if (msg) velmora::msgf(msg, "%s : parameter error (0 > ndiv).\n", OMret_obj_name(module));
        return -1;
    }
    const std::int64_t n = static_cast<std::int64_t>(ndiv) + 1;
    *count = n;
    // A legend needs a handful of heights. Counts past kMaxHeights are refused
    // like a failed allocation, before the host is asked for fields of
    // billions of nodes on their behalf.
    Heap<float[]> z = n <= kMaxHeights ? velmora::heap_array<float>(n) : Heap<float[]>();
    if (!z) {
        if (msg) velmora::msgf(msg, "%s : can not allocate memory(zposi).\n", OMret_obj_name(module));
        return -1;
    }
    z[0] = min;
    if (ndiv >= 1) {
        const float step = (max - min) / static_cast<float>(ndiv);
        for (int k = 1; k < ndiv; ++k)
            z[k] = static_cast<float>(static_cast<double>(static_cast<float>(k)) * static_cast<double>(step) +
                                      static_cast<double>(min));
        z[ndiv] = max;   // stored, not computed: the top is exact
    }
    *heights = z.release();
    return 1;
}

VELMORA_EXPORT int Legend3DTickUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes, update);
}
