// Legend3DVector: reference arrows on one grid column of the radar grid, one
// along each axis (u along x, v along y, w along z) at every legend height,
// scaled by the same nine factors as the vector scaling, with a label at each
// arrow's tip giving its reference length as text.
#include <array>

#include "frame.h"
#include "legend.h"

namespace {

using velmora::Frame;
using velmora::Heap;
using velmora::HeapText;
using velmora::LabelFormat;

struct Params {
    int indexi = 0, indexj = 0;
    float min = 0.0f, max = 0.0f;
    int ndiv = 0;
    int vecmode = 0;
    double veclenx = 0.0, vecleny = 0.0, veclenz = 0.0;
    HeapText format_text;
    std::optional<LabelFormat> format;
    std::array<std::array<float, 3>, 3> off{};   // label offsets [u, v, w][x, y, z]
    std::array<double, 3> scale{};               // S_u, S_v, S_w
};

constexpr const char* kOffsetNames[3][3] = {
    {"vecloffux", "vecloffuy", "vecloffuz"},
    {"vecloffvx", "vecloffvy", "vecloffvz"},
    {"vecloffwx", "vecloffwy", "vecloffwz"},
};
constexpr const char* kFactorNames[9] = {"fixed_u", "fixed_v", "fixed_w", "disp_u", "disp_v",
                                         "disp_w",  "arbit_u", "arbit_v", "arbit_w"};

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
    if (!f.require("vecmode", p.vecmode)) return -1;
    // The message for veclenx has always read "veclen"; users search for it.
    if (!f.get_real("veclenx", p.veclenx)) return f.fail("%s : can not get veclen.\n");
    if (!f.require("vecleny", p.vecleny)) return -1;
    if (!f.require("veclenz", p.veclenz)) return -1;
    if (velmora::read_label_format(f, p.format_text, p.format) != 1) return -1;
    for (int c = 0; c < 3; ++c)
        for (int a = 0; a < 3; ++a) {
            if (!f.require(kOffsetNames[c][a], v)) return -1;
            p.off[c][a] = static_cast<float>(v);
        }

    // The scale group: S_c = (fixed_c x disp_c) x arbit_c, kept in double.
    OMobj_id vparam = f.find("vparam", OM_OBJ_RW);
    double factor[9] = {};
    for (int k = 0; k < 9; ++k)
        if (OMget_name_real_val(&vparam, OMstr_to_name(kFactorNames[k]), &factor[k]) != 1)
            return f.fail("%s : can not get %s.\n", kFactorNames[k]);
    for (int c = 0; c < 3; ++c) p.scale[c] = (factor[c] * factor[3 + c]) * factor[6 + c];
    return 1;
}

// Arrows: three nodes per height at (x, y, z_k), the arrow vectors and the
// arrow index 0, 1, 2 that tells u, v and w apart.
int write_arrows(Frame& f, OMobj_id& out, float x, float y, const float* z, std::int64_t n,
                 const std::array<float, 3>& arrow) {
    const std::int64_t m = 3 * n;
    if (velmora::write_coords(f, out, m, [&](float* xyz) {
            for (std::int64_t node = 0; node < m; ++node) {
                xyz[3 * node] = x;
                xyz[3 * node + 1] = y;
                xyz[3 * node + 2] = z[node / 3];
            }
        }) != 1)
        return -1;
    if (velmora::write_point_cells(f, out, m) != 1) return -1;
    FLDset_node_data_ncomp(&out, 2);
    if (velmora::write_float_component(f, out, 0, 3, m, "%s : can not get val.\n", [&](float* v) {
            for (std::int64_t node = 0; node < m; ++node) {
                const auto c = static_cast<int>(node % 3);
                for (int a = 0; a < 3; ++a) v[3 * node + a] = a == c ? arrow[c] : 0.0f;
            }
        }) != 1)
        return -1;
    return velmora::write_float_component(f, out, 1, 1, m, "%s : can not get col.\n", [&](float* v) {
        for (std::int64_t node = 0; node < m; ++node) v[node] = static_cast<float>(node % 3);
    });
}

// Labels at the arrow tips, each carrying its arrow's reference length.
int write_labels(Frame& f, OMobj_id& out, float x, float y, const float* z, std::int64_t n, const Params& p,
                 const std::array<double, 3>& length) {
    const std::int64_t m = 3 * n;
    if (velmora::write_coords(f, out, m, [&](float* xyz) {
            for (std::int64_t k = 0; k < n; ++k) {
                const float base[3] = {x, y, z[k]};
                for (int c = 0; c < 3; ++c) {
                    float* at = xyz + 3 * (3 * k + c);
                    for (int a = 0; a < 3; ++a) at[a] = base[a] + p.off[c][a];
                    // Along the arrow's own axis the tip is summed in double,
                    // from the reference length rounded to single precision.
                    const double len = static_cast<float>(length[c]);
                    at[c] = static_cast<float>(p.scale[c] * len + static_cast<double>(base[c]) +
                                               static_cast<double>(p.off[c][c]));
                }
            }
        }) != 1)
        return -1;
    char text[3][velmora::kLabelTextSize];
    for (int c = 0; c < 3; ++c) p.format->print(text[c], static_cast<double>(static_cast<float>(length[c])));
    velmora::write_label_texts(out, m, [&](std::int64_t node, char(&buffer)[velmora::kLabelTextSize]) {
        std::memcpy(buffer, text[node % 3], sizeof buffer);
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

    std::int64_t n = 0;
    float* raw = nullptr;
    const int made = calc_zposi(&f.self, p.ndiv, p.min, p.max, &n, &raw, f.msg);
    Heap<float[]> z(raw);
    if (made != 1) return;

    // Reference lengths: v takes u's when vecmode is 1.
    const std::array<double, 3> length{p.veclenx, p.vecmode == 1 ? p.veclenx : p.vecleny, p.veclenz};
    std::array<float, 3> arrow{};
    for (int c = 0; c < 3; ++c) arrow[c] = static_cast<float>(p.scale[c] * length[c]);

    OMobj_id ovec = f.find("ovec", OM_OBJ_RD);
    if (write_arrows(f, ovec, x, y, z.get(), n, arrow) != 1) return;
    OMobj_id olabel = f.find("olabel", OM_OBJ_RD);
    if (write_labels(f, olabel, x, y, z.get(), n, p, length) != 1) return;
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int Legend3DVectorUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::Yes, update);
}
