// WriteIsoIJK: writes, for each area number from no_min to no_max, the grid
// indices (i, j, k) of every node of a structured field whose integer value
// is that number, to a text file: a line "% 6d" with the number, then one
// line "% 6d % 6d % 6d" per node, k outermost and i innermost.
#include <algorithm>
#include <cstdint>
#include <vector>

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
    const std::int64_t dims[3] = {g.ni, g.nj, g.nk};
    return velmora::dims_product(dims, 3);
}

// "% 6d": a space for the sign of a non-negative number, or '-', then the
// digits, right-aligned in six characters. Formatted by hand: a large grid
// writes millions of these lines.
char* put_number(char* p, int value) {
    char digits[12];
    int n = 0;
    std::uint32_t u = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    for (int pad = 6 - (n + 1); pad > 0; --pad) *p++ = ' ';
    *p++ = value < 0 ? '-' : ' ';
    while (n > 0) *p++ = digits[--n];
    return p;
}

// The nodes of areas first..last, grouped by area and in storage order
// within each (k outermost, i innermost): node indices with the offset of
// each area's first one. One pass finds them, a stable counting sort groups
// them; where the numbers are spread too thinly for counting, a stable sort
// by number does the same.
struct AreaNodes {
    std::vector<std::uint64_t> nodes;
    std::vector<std::int64_t> start;   // area first + a starts at start[a], ends at start[a + 1]
};

AreaNodes gather(const int* values, std::int64_t nvalues, int first, int last) {
    AreaNodes out;
    std::vector<std::uint64_t> found;
    for (std::int64_t n = 0; n < nvalues; ++n)
        if (values[n] >= first && values[n] <= last) found.push_back(static_cast<std::uint64_t>(n));
    const std::int64_t span = static_cast<std::int64_t>(last) - first + 1;
    const auto m = static_cast<std::int64_t>(found.size());
    if (span <= 2 * m + 1024) {
        out.start.assign(static_cast<std::size_t>(span + 1), 0);
        for (std::uint64_t n : found) ++out.start[static_cast<std::size_t>(values[n] - first + 1)];
        for (std::int64_t a = 0; a < span; ++a) out.start[static_cast<std::size_t>(a + 1)] += out.start[static_cast<std::size_t>(a)];
        std::vector<std::int64_t> next(out.start.begin(), out.start.end() - 1);
        out.nodes.resize(found.size());
        for (std::uint64_t n : found) out.nodes[static_cast<std::size_t>(next[static_cast<std::size_t>(values[n] - first)]++)] = n;
    } else {
        std::stable_sort(found.begin(), found.end(), [values](std::uint64_t a, std::uint64_t b) { return values[a] < values[b]; });
        out.nodes = std::move(found);
    }
    return out;
}

struct Areas {
    int lo = 0, hi = -1;   // the numbers whose nodes are listed
    AreaNodes nodes;
};

// Only the areas the values can hold have nodes; the others get their
// number line alone.
Areas areas_of(const int* values, std::int64_t nvalues, int no_min, int no_max) {
    Areas a;
    if (nvalues > 0) {
        const auto [mn, mx] = std::minmax_element(values, values + nvalues);
        a.lo = std::max(*mn, no_min);
        a.hi = std::min(*mx, no_max);
    }
    if (a.lo <= a.hi) a.nodes = gather(values, nvalues, a.lo, a.hi);
    return a;
}

// Lines are put together in a buffer and written a block at a time.
class LineWriter {
public:
    explicit LineWriter(std::FILE* out) : out_(out) { buf_.resize(kBlock + 64); }
    ~LineWriter() { flush(); }
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;
    void number(int n) { end_line(put_number(at(), n)); }
    void node(int i, int j, int k) {
        char* p = put_number(at(), i);
        *p++ = ' ';
        p = put_number(p, j);
        *p++ = ' ';
        end_line(put_number(p, k));
    }
    void flush() {
        if (used_) std::fwrite(buf_.data(), 1, used_, out_);
        used_ = 0;
    }

private:
    static constexpr std::size_t kBlock = 1 << 16;
    char* at() { return buf_.data() + used_; }
    void end_line(char* p) {
        *p++ = '\n';
        used_ = static_cast<std::size_t>(p - buf_.data());
        if (used_ >= kBlock) flush();
    }
    std::FILE* out_;
    std::vector<char> buf_;
    std::size_t used_ = 0;
};

void write_records(std::FILE* out, const Grid& g, const int* values, const Areas& areas, int no_min, int no_max) {
    const AreaNodes& an = areas.nodes;
    const bool counted = !an.start.empty();
    const std::int64_t plane = g.ni * g.nj;
    LineWriter w(out);
    std::size_t next = 0;   // in an.nodes, when they were sorted rather than counted
    for (std::int64_t n = no_min; n <= no_max; ++n) {
        w.number(static_cast<int>(n));
        if (n < areas.lo || n > areas.hi) continue;
        std::size_t from = next, to = next;
        if (counted) {
            from = static_cast<std::size_t>(an.start[static_cast<std::size_t>(n - areas.lo)]);
            to = static_cast<std::size_t>(an.start[static_cast<std::size_t>(n - areas.lo + 1)]);
        } else {
            while (to < an.nodes.size() && values[an.nodes[to]] == n) ++to;
            next = to;
        }
        for (std::size_t e = from; e < to; ++e) {
            const auto node = static_cast<std::int64_t>(an.nodes[e]);
            const std::int64_t k = node / plane, j = node % plane / g.ni, i = node % g.ni;
            w.node(static_cast<int>(i), static_cast<int>(j), g.three_d ? static_cast<int>(k) : g.k);
        }
    }
}

void update(Frame& f) {
    Grid g;
    int nspace3 = 0;
    if (!f.require("nspace3", nspace3)) return;
    g.three_d = nspace3 != 0;
    if (!g.three_d && !f.require("k", g.k)) return;

    HeapText filename = f.get_str("filename");
    if (!filename) return (void)f.fail("%s : can not get filename.\n");
    if (filename.get()[0] == '\0') return (void)f.fail("%s : can not get filename(1>len).\n");

    int no_min = 0, no_max = 0;
    if (!f.require("no_min", no_min)) return;
    if (!f.require("no_max", no_max)) return;
    // Every area number of the range gets a line, with nodes or not.
    if (static_cast<std::int64_t>(no_max) - no_min + 1 > velmora::kMaxAreas)
        return (void)f.fail("%s : too many areas (no_max - no_min + 1 > %lld).\n", static_cast<long long>(velmora::kMaxAreas));

    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

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

    const Areas areas = areas_of(values.get(), covered, no_min, no_max);
    File out(FILEfopen(filename.get(), "w"));
    if (!out) return (void)f.fail("%s : can not open %s.\n", filename.get());
    write_records(out.get(), g, values.get(), areas, no_min, no_max);
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
