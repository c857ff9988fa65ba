// WriteIsoIJK: writes, for each area number from no_min to no_max, the grid
// indices (i, j, k) of every node of a structured field whose integer value
// is that number, to a text file: a line "% 6d" with the number, then one
// line "% 6d % 6d % 6d" per node, k outermost and i innermost.
#include <algorithm>

#include "frame.h"

namespace {

using velmora::Frame;
using velmora::HeapText;
using velmora::HostArray;

// Closes the file on every path.
struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct Grid {
    std::int64_t ni = 0, nj = 0, nk = 0;   // nk is 1 on a two-dimensional grid
    bool three_d = true;
    int k = 0;   // the k written on a two-dimensional grid
};

// Number of grid nodes (0 when a dim is below 1), or -1 when the product
// does not fit.
std::int64_t node_count(const Grid& g) {
    if (g.ni < 1 || g.nj < 1 || g.nk < 1) return 0;
    if (g.ni > INT64_MAX / g.nj || g.ni * g.nj > INT64_MAX / g.nk) return -1;
    return g.ni * g.nj * g.nk;
}

void write_records(std::FILE* out, const Grid& g, const int* values, std::int64_t nvalues, int no_min, int no_max) {
    // Areas outside the values' range have no node: only their number line
    // is written, without scanning the grid for them.
    int lo = 0, hi = -1;
    if (nvalues > 0) {
        const auto [mn, mx] = std::minmax_element(values, values + nvalues);
        lo = *mn;
        hi = *mx;
    }
    for (std::int64_t n = no_min; n <= no_max; ++n) {
        std::fprintf(out, "% 6d\n", static_cast<int>(n));
        if (n < lo || n > hi) continue;
        const int* v = values;
        for (std::int64_t k = 0; k < g.nk; ++k) {
            const int kk = g.three_d ? static_cast<int>(k) : g.k;
            for (std::int64_t j = 0; j < g.nj; ++j)
                for (std::int64_t i = 0; i < g.ni; ++i, ++v)
                    if (*v == n) std::fprintf(out, "% 6d % 6d % 6d\n", static_cast<int>(i), static_cast<int>(j), kk);
        }
    }
}

void update(Frame& f) {
    Grid g;
    int nspace3 = 0;
    if (!f.get_int("nspace3", nspace3)) return (void)f.fail("%s : can not get nspace3.\n");
    g.three_d = nspace3 != 0;
    if (!g.three_d && !f.get_int("k", g.k)) return (void)f.fail("%s : can not get k.\n");

    HeapText filename = f.get_str("filename");
    if (!filename) return (void)f.fail("%s : can not get filename.\n");
    if (filename.get()[0] == '\0') return (void)f.fail("%s : can not get filename(1>len).\n");

    int no_min = 0, no_max = 0;
    if (!f.get_int("no_min", no_min)) return (void)f.fail("%s : can not get no_min.\n");
    if (!f.get_int("no_max", no_max)) return (void)f.fail("%s : can not get no_max.\n");

    OMobj_id in = f.find("in", OM_OBJ_RW);
    std::int64_t nnodes = 0;
    FLDget_nnodes(&in, &nnodes);
    if (nnodes < 1) return;

    HostArray<std::int64_t> dims;
    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims || ndim < (g.three_d ? 3 : 2)) return (void)f.fail("%s : can not get dims.\n");
    g.ni = dims[0];
    g.nj = dims[1];
    g.nk = g.three_d ? dims[2] : 1;

    int type = 0, veclen = 0;
    FLDget_node_data_type(&in, 0, &type);
    if (type != DTYPE_INT) return (void)f.fail("%s : input data is wrong(DTYPE_INT only).\n");
    FLDget_node_data_veclen(&in, 0, &veclen);
    if (veclen != 1) return (void)f.fail("%s : input data is wrong(veclen=1 only).\n");

    HostArray<int> values;
    FLDget_node_data(&in, 0, &type, values.out_chars(), values.size_out(), OM_GET_ARRAY_RD);
    if (!values) return (void)f.fail("%s : can not get no.\n");
    // The node count is not compared with the dims, but the values must
    // cover every node the dims name: reading past them is refused before
    // any file is made.
    const std::int64_t covered = node_count(g);
    if (covered < 0 || covered > values.size()) return (void)f.fail("%s : input data is wrong(dims exceed values).\n");

    File out(FILEfopen(filename.get(), "w"));
    if (!out) return (void)f.fail("%s : can not open %s.\n", filename.get());
    write_records(out.get(), g, values.get(), covered, no_min, no_max);
    // A stream that failed (a full disk) must not pass for a written file.
    const bool write_error = std::ferror(out.get()) != 0;
    if (std::fclose(out.release()) != 0 || write_error)
        return (void)f.fail("%s : can not write %s.\n", filename.get());
    f.set_done();
}

}  // namespace

VELMORA_EXPORT int WriteIsoIJKUpdate(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Active::No, update);
}
