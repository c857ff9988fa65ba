// What the three legends share: the grid-column and height helpers that the
// library exports, and the guard on the user's label format.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "frame.h"

// Defined in Legend3DAxis.cpp: x and y of grid column (i, j) of a 3D
// structured field. 1 on success; -1 with a message in msg otherwise.
extern "C" int calc_ij2xyz(OMobj_id* module, OMobj_id* field, std::int64_t i, std::int64_t j, float* x, float* y,
                           char* msg);

// Defined in Legend3DTick.cpp: ndiv + 1 equally spaced heights from min to max
// in a new malloc'ed array the caller frees. 1 on success; -1 with a message.
extern "C" int calc_zposi(OMobj_id* module, int ndiv, float min, float max, std::int64_t* count, float** heights,
                          char* msg);

namespace velmora {

// Label texts are made in a buffer of this size and cut to fit it.
constexpr int kLabelTextSize = 1024;

// A label format is printed with exactly one double. It is accepted only when
// it holds exactly one floating-point conversion (f F e E g G a A) with flags
// (- + space # 0 '), a width and a precision given as digits, and `%%`
// anywhere. Everything that could read or write another argument is refused:
// %s, %n, %d and every other conversion, `*` widths or precisions, positional
// `%1$f`, a bare or trailing `%`, two conversions. The length modifier `l` is
// accepted (`%lf` means a double in printf); `L` (long double) is not. Width
// and precision are capped at the label buffer's size, so that the C runtime
// never pads or expands digits far beyond what a label can hold.
inline bool label_format_ok(const char* fmt) {
    if (!fmt) return false;
    auto digits = [](const char*& p) {
        long v = 0;
        while (*p >= '0' && *p <= '9') {
            v = v * 10 + (*p - '0');
            if (v >= kLabelTextSize) return false;
            ++p;
        }
        return true;
    };
    int conversions = 0;
    for (const char* p = fmt; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '\'') ++p;
        if (!digits(p)) return false;
        if (*p == '.') {
            ++p;
            if (!digits(p)) return false;
        }
        if (*p == 'l') ++p;
        switch (*p) {
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': break;
            default: return false;   // another conversion, '*', '$', 'L', or the end of the text
        }
        if (++conversions > 1) return false;
    }
    return conversions == 1;
}

// A format that label_format_ok accepted; the only way a user's text reaches
// the C runtime's formatting. Borrows the text, which must outlive it.
class LabelFormat {
public:
    // Null when the text is not an acceptable label format.
    static std::optional<LabelFormat> check(const char* fmt) {
        if (!label_format_ok(fmt)) return std::nullopt;
        return LabelFormat(fmt);
    }
    // The label text of value, bounded by the buffer and cut there.
    void print(char (&text)[kLabelTextSize], double value) const {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        std::snprintf(text, sizeof text, fmt_, value);
#pragma GCC diagnostic pop
    }

private:
    explicit LabelFormat(const char* fmt) : fmt_(fmt) {}
    const char* fmt_;
};

// Reads the string parameter `format` into text and accepts it as a label
// format; -1 with its message when it is missing, empty or not acceptable.
inline int read_label_format(Frame& f, HeapText& text, std::optional<LabelFormat>& format) {
    text = f.get_str("format");
    if (!text) return f.fail("%s : can not get format.\n");
    if (text.get()[0] == '\0') return f.fail("%s : can not get format(1>len).\n");
    format = LabelFormat::check(text.get());
    if (!format) return f.fail("%s : unsupport format(one floating-point conversion only).\n");
    return 1;
}

// The grid's 4 x 4 transformation matrix (xform.mat of the field), held
// while the caller runs; empty unless it is an array of 16 floats.
inline HostArray<float> grid_matrix(OMobj_id& field) {
    OMobj_id xform = OMfind_subobj(&field, OMstr_to_name("xform"), OM_OBJ_RW);
    HostArray<float> mat;
    int type = 0;
    mat.reset(OMret_name_array_ptr(&xform, OMstr_to_name("mat"), OM_GET_ARRAY_RD, mat.size_out(), &type));
    if (mat && (mat.size() != 16 || type != DTYPE_FLOAT)) mat.release();
    return mat;
}

// --- writing the legends' point fields ---

// Sets n nodes in three dimensions and fills their coordinates through
// fill(float* xyz), three per node. -1 with the coord message when the host
// hands out no coordinates for them.
template <class Fill>
int write_coords(Frame& f, OMobj_id& field, std::int64_t n, Fill fill) {
    FLDset_nnodes(&field, n);
    FLDset_nspace(&field, 3);
    HostArray<float> xyz;
    FLDget_coord(&field, xyz.out(), xyz.size_out(), OM_GET_ARRAY_WR);
    if (!xyz || xyz.size() < 3 * n) return f.fail("%s : can not get coord.\n");
    fill(xyz.get());
    return 1;
}

// Replaces the cell sets by one "Point" set holding node m as cell m.
inline int write_point_cells(Frame& f, OMobj_id& field, std::int64_t n) {
    FLDset_ncell_sets(&field, 0);
    FLDadd_cell_set(&field, "Point");
    OMobj_id set = OMnull_obj;
    FLDget_cell_set(&field, 0, &set);
    FLDset_ncells(&set, n);
    HostArray<std::int64_t> connect;
    FLDget_node_connect(&set, connect.out(), connect.size_out(), OM_GET_ARRAY_WR);
    if (!connect || connect.size() < n) return f.fail("%s : can not get node_connect.\n");
    for (std::int64_t m = 0; m < n; ++m) connect[m] = m;
    return 1;
}

// Makes component comp a float vector of veclen per node and fills its
// n x veclen values through fill(float*); -1 with the given message when the
// host hands out no values for them.
template <class Fill>
int write_float_component(Frame& f, OMobj_id& field, int comp, int veclen, std::int64_t n, const char* missing,
                          Fill fill) {
    FLDset_node_data_type(&field, comp, DTYPE_FLOAT);
    FLDset_node_data_veclen(&field, comp, veclen);
    HostArray<float> values;
    int type = 0;
    FLDget_node_data(&field, comp, &type, values.out_chars(), values.size_out(), OM_GET_ARRAY_WR);
    if (!values || values.size() < n * veclen) return f.fail(missing);
    fill(values.get());
    return 1;
}

// Stores text(k, buffer) as entry k of the label field's text_values, for
// every k below n.
template <class Text>
void write_label_texts(OMobj_id& olabel, std::int64_t n, Text text) {
    OMobj_id values = OMfind_subobj(&olabel, OMstr_to_name("text_values"), OM_OBJ_RD);
    char buffer[kLabelTextSize];
    for (std::int64_t k = 0; k < n; ++k) {
        text(k, buffer);
        OMset_str_array_val(&values, k, buffer);
    }
}

}  // namespace velmora
