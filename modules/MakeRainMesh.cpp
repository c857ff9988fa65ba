// MakeRainMesh: vertical polylines through the value bands of a uniform grid.
// Every grid column is scanned upward for runs of nodes whose value lies in
// [minValue, maxValue]; each run becomes one line from the height where the
// value enters the band to the height where it leaves it, sampled every
// `length` along z (constant variant) or at a spacing that grows with the
// value (linear variant), each point carrying the value interpolated there.
//
// Unlike the other modules this one reports under a fixed name of its own
// ("MakeRainMeshConstant" or "MakeRainMeshLinear"), reports progress, and
// never sets `done`. Its working state (the list of lines, their records and
// windows) belongs to the update in progress (LineStore).
//
// The lines are listed as if the columns were scanned one by one, grid row i
// by grid row i; the work follows the storage order instead: the volume is
// read once, in bands of whole grid rows j, and the runs of a band's columns
// are found layer by layer and measured while the band is still in the cache.
// A line record keeps what makes the line (its column, its ends, its point
// count and a copy of the values it reads), not its points: they are computed
// straight into out_mesh, front to back, as the list is walked, so that no
// point is written twice. The kernels are in rain_mesh_kernels.cpp and
// rain_mesh_wide.cpp.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "frame.h"
#include "rain_mesh.h"

namespace {

using velmora::Frame;
using velmora::HostArray;
using namespace velmora::rain_mesh;

// Opens a nested progress range and closes it on every way out.
class StatusRange {
public:
    StatusRange(int low, int high) { OMpush_status_range(low, high); }
    ~StatusRange() { OMpop_status_range(); }
    StatusRange(const StatusRange&) = delete;
    StatusRange& operator=(const StatusRange&) = delete;
};

// What the scan built: the number of lines and of their points.
struct Totals {
    std::int64_t lines = 0;
    std::int64_t points = 0;
};

// More points than this in all are refused like memory that can not be had:
// 16 bytes each in out_mesh, over 4 GB, where a radar volume's lines make
// tens of millions. The lines are counted sample by sample, so the bound
// also caps the time spent counting before such a run is refused.
constexpr std::int64_t kMaxPoints = std::int64_t{1} << 28;

// Bands of whole grid rows j, about this many bytes of values each: long
// stretches of each layer to read, and a band still in the cache when its
// lines are measured and their windows copied.
constexpr std::int64_t kBandBytes = 1024 * 1024;

// The runs of one band (rows from j0) become records, in build order: by i,
// then j, each column's runs as found (a stable counting sort on the
// column's place). Each line's window holds the levels of its run and one
// more on either side, which rounding may have a sample read. Returns the
// first record made.
std::size_t add_records(const Grid& g, std::int64_t j0, std::int32_t rows, const std::vector<Run>& found,
                        std::vector<Run>& sorted, std::vector<std::size_t>& place_start, LineStore& store) {
    const std::int64_t d0 = g.dims[0];
    const auto top = static_cast<std::int32_t>(g.dims[2] - 1);
    const auto place = [&](const Run& r) { return static_cast<std::size_t>(r.i) * rows + r.jj; };
    place_start.assign(static_cast<std::size_t>(rows * d0) + 1, 0);
    for (const Run& r : found) ++place_start[place(r) + 1];
    for (std::size_t p = 1; p < place_start.size(); ++p) place_start[p] += place_start[p - 1];
    sorted.resize(found.size());
    for (const Run& r : found) sorted[place_start[place(r)]++] = r;

    std::size_t window_values = 0;
    for (const Run& r : sorted)
        window_values += static_cast<std::size_t>(std::min(r.e + 1, top) - std::max(r.s - 1, 0) + 1);
    std::size_t at = store.windows.size();
    store.windows.resize(at + window_values);
    const std::size_t made = store.records.size();
    for (const Run& r : sorted) {
        LineRecord& rec = store.records.emplace_back();
        rec.n = 0;
        rec.next = nullptr;
        rec.first = 0;
        rec.i = r.i;
        rec.j = static_cast<std::int32_t>(j0 + r.jj);
        const Column col = column_of(g, rec.i, rec.j);
        line_ends(g, col, r.s, r.e, rec.zbot, rec.ztop);
        rec.lo = std::max(r.s - 1, 0);
        rec.hi = std::min(r.e + 1, top);
        rec.window = static_cast<std::int64_t>(at) - rec.lo;
        for (std::int32_t k = rec.lo; k <= rec.hi; ++k) store.windows[at++] = col[k];
    }
    return made;
}

// Room for as many lines again in each band to come, and a quarter more:
// the records are not moved again as they grow, most often.
void reserve_ahead(LineStore& store, std::int64_t band, std::int64_t nbands) {
    const auto expected = [&](std::size_t size) {
        return size / static_cast<std::size_t>(band + 1) * static_cast<std::size_t>(nbands) / 4 * 5;
    };
    if (expected(store.records.size()) > store.records.capacity())
        store.records.reserve(expected(store.records.size()));
    if (expected(store.windows.size()) > store.windows.capacity())
        store.windows.reserve(expected(store.windows.size()));
}

// Finds and measures the lines of every column, band after band; within a
// band the records are made in the order the lines are built: (i, j) before
// (i, j + 1) and (i + 1, j), each column's lines from the bottom up. The
// progress of the rows is reported in order as the bands get done.
int build_lines(Frame& f, const Grid& g, float null_value, LineStore& store, Totals& totals) {
    const std::int64_t d0 = g.dims[0], d1 = g.dims[1];
    const std::int64_t rows_per_band =
        std::clamp<std::int64_t>(kBandBytes / (d0 * g.dims[2] * std::int64_t{sizeof(float)}), 1, d1);
    const std::int64_t nbands = (d1 + rows_per_band - 1) / rows_per_band;

    RunFinder finder;
    std::vector<Run> found, sorted;
    std::vector<std::size_t> place_start;
    std::int64_t reported = 0;   // rows reported so far
    for (std::int64_t band = 0; band < nbands; ++band) {
        const std::int64_t j0 = band * rows_per_band;
        // Rows, columns and levels are numbered in 32 bits (scan).
        const auto rows = static_cast<std::int32_t>(std::min(rows_per_band, d1 - j0));
        found.clear();
        finder.find(g, null_value, j0, rows, found);
        const std::size_t made = add_records(g, j0, rows, found, sorted, place_start, store);

        LineRecord* recs = store.records.data() + made;
        const std::size_t count = store.records.size() - made;
        if (!count_points(g, recs, count, kMaxPoints - totals.points)) return f.fail("%s : can not allocate memory.\n");
        for (std::size_t q = 0; q < count; ++q) totals.points += recs[q].n;
        totals.lines += static_cast<std::int64_t>(count);

        reserve_ahead(store, band, nbands);
        const std::int64_t done = band + 1 == nbands ? d0 : d0 * (band + 1) / nbands;
        for (; reported < done; ++reported)
            OMstatus_check(static_cast<int>(static_cast<double>(reported) * 100.0 / static_cast<double>(d0)), f.name(),
                           nullptr);
    }
    // Room for the wide writer to load eight values from any level of a
    // window.
    store.windows.resize(store.windows.size() + 8);
    return 1;
}

// Puts the lines on the list as if each had been put in front of those built
// before it: row by row, and within a row in the order the scan made them.
void link_lines(LineStore& store, std::int64_t d0) {
    std::vector<LineRecord*> newest(static_cast<std::size_t>(d0), nullptr), oldest(newest);
    for (LineRecord& r : store.records) {
        LineRecord*& last = newest[static_cast<std::size_t>(r.i)];
        if (!last) oldest[static_cast<std::size_t>(r.i)] = &r;
        r.next = last;
        last = &r;
    }
    for (std::size_t i = 0; i < newest.size(); ++i)
        if (newest[i]) {
            oldest[i]->next = store.head;
            store.head = newest[i];
        }
}

// The input of an update, held until its lines are written.
struct Input {
    HostArray<float> values, points;
    Grid grid{};
    OMobj_id in;
    int component = 0;
    float null_value = 0.0f;   // NaN when the component has no null flag
};

// Finds in_mesh, checks its dims and reads the chosen component with its
// null value.
int read_values(Frame& f, Input& input, HostArray<std::int64_t>& dims) {
    input.component = 0;
    f.get_int("component", input.component);   // 0 when unreadable
    OMobj_id& in = input.in;
    in = OMfind_str_subobj(&f.self, "in_mesh", OM_OBJ_RD);
    if (velmora::is_null(in)) return f.fail("%s : can not get in_mesh.\n");

    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims || ndim != 3) return f.fail("%s : can not get in_mesh.dims.\n");
    // Lines need two levels to cross between, and the spacings two nodes
    // along each axis to be defined.
    for (int a = 0; a < 3; ++a)
        if (dims[a] < 2) return f.fail("%s : in_mesh.dims[%d] is less than 2.\n", a);
    // Rows, columns and levels are numbered in 32 bits.
    for (int a = 0; a < 3; ++a)
        if (dims[a] > INT32_MAX) return f.fail("%s : can not get in_mesh.dims.\n");
    const std::int64_t nnodes = velmora::dims_product(dims.get(), 3);
    if (nnodes < 0) return f.fail("%s : can not get in_mesh.dims.\n");

    int ncomp = 0;
    if (FLDget_node_data_ncomp(&in, &ncomp) != 1 || ncomp < 1) return f.fail("%s : can not get in_mesh.nnode_data.\n");
    int& component = input.component;
    if (component >= ncomp) component = ncomp - 1;
    HostArray<float>& values = input.values;
    const int type = velmora::node_data(in, component, OM_GET_ARRAY_RD, values);
    if (!values || type != DTYPE_FLOAT || values.size() != nnodes)
        return f.fail("%s : can not get in_mesh.node_data[%d].\n", component);
    int null_flag = 0;
    float null_value = 0.0f;
    FLDget_node_null_data(&in, component, &null_flag, reinterpret_cast<char*>(&null_value));
    // Without a null flag no node is null; NaN equals nothing.
    input.null_value = null_flag != 0 ? null_value : std::numeric_limits<float>::quiet_NaN();
    return 1;
}

// The band [lower, upper] from minValue and maxValue, each taken from the
// component's range where it cannot be read, and both where they are
// reversed; then the spacing `length`.
int read_band(Frame& f, Input& input) {
    Grid& g = input.grid;
    float cmin = 0.0f, cmax = 0.0f;
    bool have_minmax = false;
    auto minmax = [&] {
        if (!have_minmax)
            FLDget_node_data_minmax(&input.in, input.component, reinterpret_cast<char*>(&cmin),
                                    reinterpret_cast<char*>(&cmax));
        have_minmax = true;
    };
    double v = 0.0;
    if (f.get_real("minValue", v)) {
        g.lower = static_cast<float>(v);
    } else {
        minmax();
        g.lower = cmin;
    }
    if (f.get_real("maxValue", v)) {
        g.upper = static_cast<float>(v);
    } else {
        minmax();
        g.upper = cmax;
    }
    if (g.lower > g.upper) {
        minmax();
        g.lower = cmin;
        g.upper = cmax;
    }
    g.range = g.upper - g.lower;
    g.length = f.get_real("length", v) ? static_cast<float>(v) : 0.1f;
    // The spacing of the points must be positive for a line to end.
    if (!(g.length > 0.0f)) return f.fail("%s : length is not positive.\n");
    return 1;
}

// The corners of the grid, its spacings, and the checks that the lines can
// be walked along z.
int read_geometry(Frame& f, Input& input, const std::int64_t* dims) {
    Grid& g = input.grid;
    HostArray<float>& points = input.points;
    FLDget_points(&input.in, points.out(), points.size_out(), OM_GET_ARRAY_RD);
    if (!points || points.size() != 6) return f.fail("%s : can not get in_mesh.points.\n");
    g.data = input.values.get();
    for (int a = 0; a < 3; ++a) g.dims[a] = dims[a];
    g.xmin = points[0];
    g.ymin = points[1];
    g.zmin = points[2];
    g.dx = (points[3] - points[0]) / static_cast<float>(dims[0] - 1);
    g.dy = (points[4] - points[1]) / static_cast<float>(dims[1] - 1);
    g.dz = (points[5] - points[2]) / static_cast<float>(dims[2] - 1);
    // Heights are found by dividing by dz: the grid has to rise along z.
    if (!(g.dz > 0.0f) || !std::isfinite(g.dz)) return f.fail("%s : in_mesh.points do not rise along z.\n");
    // Every step is at least `length`, and the samples stay within the
    // heights of the grid (up to rounding). Where a length added to four
    // times the largest height still counts, it lifts every height in reach
    // by at least one float: a shorter one would leave samples standing
    // still, and is refused before any line is made.
    const float reach =
        4.0f * std::max({std::fabs(g.zmin), std::fabs(points[5]), std::fabs(g.z_at(dims[2] - 1))});
    if (!(reach + g.length > reach)) return f.fail("%s : length is too small for the heights of in_mesh.\n");
    return 1;
}

// Reads in_mesh and the parameters, then finds and measures the lines of
// every column.
int scan(Frame& f, Spacing spacing, Input& input, LineStore& store, Totals& totals) {
    HostArray<std::int64_t> dims;
    if (read_values(f, input, dims) != 1) return -1;
    input.grid.spacing = spacing;
    if (read_band(f, input) != 1) return -1;
    if (read_geometry(f, input, dims.get()) != 1) return -1;
    return build_lines(f, input.grid, input.null_value, store, totals);
}

// Writes every line into out_mesh, newest first, one polyline per line.
int write_output(Frame& f, const Grid& g, LineStore& store, const Totals& totals) {
    const std::int64_t nlines = totals.lines, total = totals.points;
    OMobj_id out = OMfind_str_subobj(&f.self, "out_mesh", OM_OBJ_RW);
    if (velmora::is_null(out)) return f.fail("%s : can not get out_mesh.\n");
    FLDset_nnodes(&out, total);

    // With nothing to write the arrays are empty and are not asked for.
    HostArray<float> coord, values;
    HostArray<std::int64_t> connect;
    if (total > 0) {
        FLDget_coord(&out, coord.out(), coord.size_out(), OM_GET_ARRAY_WR);
        if (!coord || coord.size() != 3 * total) return f.fail("%s : can not get out_mesh.coord.\n");
        const int type = velmora::node_data(out, 0, OM_GET_ARRAY_WR, values);
        if (!values || type != DTYPE_FLOAT || values.size() != total)
            return f.fail("%s : can not get out_mesh.node_data[0].\n");
    }
    OMobj_id set = OMnull_obj;
    FLDget_cell_set(&out, 0, &set);
    FLDset_npolys(&set, nlines);
    if (nlines > 0) {
        FLDget_poly_connect(&set, connect.out(), connect.size_out(), OM_GET_ARRAY_WR);
        if (!connect || connect.size() != 2 * nlines)
            return f.fail("%s : can not get out_mesh.cell_set[0].poly_connect_list.\n");
    }

    // Every line in list order: its nodes, its polyline, the progress, and
    // its points, a batch of lines at a time: out_mesh is written from the
    // front to the back.
    constexpr std::size_t kBatch = 64;
    const bool wide = wide_writer(g, store);
    const LineRecord* batch[kBatch];
    std::size_t batched = 0;
    std::int64_t b = 0, p = 0;
    for (LineRecord* r = store.head; r && p < nlines && r->n <= total - b; r = r->next, ++p) {
        OMstatus_check(static_cast<int>(static_cast<double>(p) * 100.0 / static_cast<double>(nlines)), f.name(), nullptr);
        r->first = b;
        connect[2 * p] = b;
        connect[2 * p + 1] = b + r->n - 1;
        b += r->n;
        // Its window is asked for now, to be at hand when its batch is written.
        __builtin_prefetch(store.windows.data() + r->window + r->lo);
        __builtin_prefetch(store.windows.data() + r->window + r->hi);
        batch[batched++] = r;
        if (batched == kBatch) {
            write_lines(g, store, wide, batch, batched, coord.get(), values.get());
            batched = 0;
        }
    }
    write_lines(g, store, wide, batch, batched, coord.get(), values.get());
    return 1;
}

void update(Frame& f, Spacing spacing) {
    OMstatus_check(0, f.name(), nullptr);
    Input input;
    LineStore store;
    Totals totals;
    {
        StatusRange range(0, 50);
        if (scan(f, spacing, input, store, totals) != 1) return;
    }
    link_lines(store, input.grid.dims[0]);
    StatusRange range(50, 100);
    write_output(f, input.grid, store, totals);
}

}  // namespace

VELMORA_EXPORT int MakeRainMeshConstant_update(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Report{velmora::Active::No, "MakeRainMeshConstant"},
                               [](Frame& f) { update(f, Spacing::Constant); });
}

VELMORA_EXPORT int MakeRainMeshLinear_update(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return velmora::run_update(obj, velmora::Report{velmora::Active::No, "MakeRainMeshLinear"},
                               [](Frame& f) { update(f, Spacing::Linear); });
}
