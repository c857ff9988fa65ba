// MakeRainMesh: vertical polylines through the value bands of a uniform grid.
// Every grid column is scanned upward for runs of nodes whose value lies in
// [minValue, maxValue]; each run becomes one line from the height where the
// value enters the band to the height where it leaves it, sampled every
// `length` along z (constant variant) or at a spacing that grows with the
// value (linear variant), each point carrying the value interpolated there.
//
// Unlike the other modules this one keeps its working state (the list of
// lines built so far, a status word and the name it reports under) at file
// level for the duration of one update: the host runs one update at a time.
//
// The lines are listed as if the columns were scanned one by one, grid row i
// by grid row i; the work follows the storage order instead: the runs of all
// columns are found in one pass over the volume, layer by layer, and the
// lines are sampled column by column within bands of rows.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "frame.h"

namespace {

using velmora::HostArray;

// One line: n points (x, y, z) with their values, in one allocation.
struct LineRecord {
    std::int64_t n;
    float* points;
    float* values;
    LineRecord* next;
};

// The state of the update in progress: the lines, newest first; 1 while all
// goes well, -1 after a failure; the name failures are reported under.
LineRecord* g_lines = nullptr;
int g_status = 1;
char g_name[32] = "";

void free_lines() noexcept {
    while (g_lines) {
        LineRecord* next = g_lines->next;
        std::free(g_lines);
        g_lines = next;
    }
}

// Records a failure: status -1 and the message, "<name> : <text>".
template <class... Args>
int fail(char* msg, const char* fmt, Args... args) {
    velmora::msgf(msg, fmt, g_name, args...);
    g_status = -1;
    return -1;
}

// Opens a nested progress range and closes it on every way out.
class StatusRange {
public:
    StatusRange(int low, int high) { OMpush_status_range(low, high); }
    ~StatusRange() { OMpop_status_range(); }
    StatusRange(const StatusRange&) = delete;
    StatusRange& operator=(const StatusRange&) = delete;
};

enum class Spacing { Constant, Linear };

// What the line builder needs of the grid and the parameters; all single
// precision, as the lines have always been computed.
struct Grid {
    std::int64_t dims[3];
    float xmin, ymin, zmin;
    float dx, dy, dz;
    float lower, upper, range;
    float length;
    Spacing spacing;

    float z_at(std::int64_t k) const { return zmin + static_cast<float>(k) * dz; }

    // The step after a sample of value v. The linear variant weights v / range
    // by `length` itself: points lie `length` apart where the value is 0 or
    // below and twice as far where it equals the band width, so the spacing
    // widens in proportion to the value. Values at or below 0 (and NaN) keep
    // the plain `length`, so every step is positive and each line ends.
    float step(float v) const {
        if (spacing == Spacing::Linear && v > 0.0f) return v / range * length + length;
        return length;
    }
};

// The values of one grid column, bottom to top, read in place: level k of
// the column lies one layer above level k - 1.
struct Column {
    const float* base;
    std::int64_t stride;
    float operator[](std::int64_t k) const { return base[k * stride]; }
};

// Samples the line of a column for the run of nodes s < e: finds its top
// (ztop) and appends its samples, from the lowest up, as (z, value) pairs.
int sample_line(const Grid& g, Column col, std::int64_t s, std::int64_t e, std::vector<float>& samples, float& ztop,
                char* msg) {
    // Where the value enters the band between levels s and s + 1.
    float a = col[s], b = col[s + 1], t = 0.0f;
    if (a < g.lower)
        t = (g.lower - a) / (b - a);
    else if (a > g.upper)
        t = (a - g.upper) / (a - b);
    const float zbot = g.z_at(s) + t * g.dz;

    // Where it leaves the band above level e - 1.
    a = col[e - 1];
    b = col[e];
    t = 0.0f;
    if (b < g.lower)
        t = (g.lower - a) / (b - a);
    else if (b > g.upper)
        t = (g.upper - a) / (b - a);
    ztop = g.z_at(e - 1) + t * g.dz;

    const std::int64_t top = g.dims[2] - 1;
    for (float z = zbot; z <= ztop;) {
        // Heights lie within the column; the clamp only keeps rounding (or
        // heights beyond any float) from indexing outside it.
        const float q = (z - g.zmin) / g.dz;
        std::int64_t k0 = 0;
        if (q >= static_cast<float>(top))
            k0 = top;
        else if (q > 0.0f)
            k0 = static_cast<std::int64_t>(q);
        const std::int64_t k1 = k0 + 1 < g.dims[2] ? k0 + 1 : k0;
        const float v = col[k0] + ((z - g.z_at(k0)) / g.dz) * (col[k1] - col[k0]);
        samples.push_back(z);
        samples.push_back(v);
        const float next = z + g.step(v);
        // A step lost in the rounding of z would never end the line.
        if (!(next > z)) return fail(msg, "%s : length is too small for the heights of in_mesh.\n");
        z = next;
    }
    return 1;
}

// Makes the record of the line of column (i, j) with top ztop and the
// samples (z, value pairs from the lowest up); the caller puts it on the
// list. The top point comes first, then the samples from the highest to the
// lowest; the top point has the value of the highest sample, or the lower
// bound when there is none.
int make_record(const Grid& g, std::int64_t i, std::int64_t j, float ztop, const float* samples,
                std::int64_t nsamples, LineRecord*& made, char* msg) {
    const float x = g.xmin + static_cast<float>(i) * g.dx;
    const float y = g.ymin + static_cast<float>(j) * g.dy;
    const std::int64_t n = nsamples + 1;
    void* block = std::malloc(sizeof(LineRecord) + static_cast<std::size_t>(n) * 4 * sizeof(float));
    if (!block) return fail(msg, "%s : can not allocate memory.\n");
    auto* r = static_cast<LineRecord*>(block);
    r->n = n;
    r->points = reinterpret_cast<float*>(r + 1);
    r->values = r->points + 3 * n;
    r->next = nullptr;
    r->points[0] = x;
    r->points[1] = y;
    r->points[2] = ztop;
    r->values[0] = nsamples > 0 ? samples[2 * nsamples - 1] : g.lower;
    for (std::int64_t m = 0; m < nsamples; ++m) {
        const std::int64_t slot = n - 1 - m;
        r->points[3 * slot] = x;
        r->points[3 * slot + 1] = y;
        r->points[3 * slot + 2] = samples[2 * m];
        r->values[slot] = samples[2 * m + 1];
    }
    made = r;
    return 1;
}

void push_line(LineRecord* r) noexcept {
    r->next = g_lines;
    g_lines = r;
}

// A run of nodes s < e of one column that becomes a line.
struct Run {
    std::int64_t column;   // i + dims[0] j
    std::int64_t s, e;
};

// One layer of the run finder, for every column c at once: the state byte
// st[c] holds on entry what the node below was (bit 0: in the band, so a run
// is open; bit 1: null), and on return what this node is (bits 0 and 1 as
// before) and does: bit 2, it ends the open run; bit 3, it opens a run;
// bit 4, that run starts at this node since the node below was null.
// Written without branches in bytes, so that the compiler treats many
// columns per instruction (kept out of line: inlined into the scan, it
// loses the promise that its arrays do not overlap; also built for AVX2,
// chosen at load time where the processor has it). A null value of NaN
// matches no node.
__attribute__((noinline, target_clones("avx2", "default"))) void classify_layer(
    const float* __restrict row, unsigned char* __restrict st, std::size_t n, float lower, float upper,
    float null_value) {
    for (std::size_t c = 0; c < n; ++c) {
        const float v = row[c];
        const unsigned s = st[c];
        const unsigned null = v == null_value;
        const unsigned in = (lower <= v) & (v <= upper) & (null ^ 1);
        const unsigned opens = in & ~s & 1;
        st[c] = static_cast<unsigned char>(in | null << 1 | (s & ~in & 1) << 2 | opens << 3 | (opens & s >> 1) << 4);
    }
}

// Finds the runs of every column, reading the volume once, layer by layer in
// storage order, with each column's state kept aside between layers (see
// classify_layer) together with the level where its open run started. Runs
// come out ordered by the layer that ends them, so each column's runs are in
// order from the bottom up.
//
// A node in the band opens a run, which starts one level lower unless that
// node is null (or there is none). A run ends at the node below a null node,
// or at the first node outside the band (which belongs to it), or at the
// last level; it becomes a line when it spans at least two levels.
void find_runs(const float* data, std::int64_t layer, std::int64_t levels, float lower, float upper, float null_value,
               std::vector<Run>& runs) {
    const auto n = static_cast<std::size_t>(layer);
    std::vector<unsigned char> state(n, 0);
    std::vector<std::int64_t> start(n, 0);
    unsigned char* st = state.data();
    for (std::int64_t k = 0; k < levels; ++k) {
        classify_layer(data + k * layer, st, n, lower, upper, null_value);
        // The runs that open or end here, looked for eight columns at a time.
        auto visit = [&](std::size_t c) {
            const unsigned s = st[c];
            if ((s & 8) != 0) {
                start[c] = (s & 16) != 0 || k == 0 ? k : k - 1;
            } else if ((s & 4) != 0) {
                const std::int64_t e = (s & 2) != 0 ? k - 1 : k;
                if (e > start[c]) runs.push_back(Run{static_cast<std::int64_t>(c), start[c], e});
            }
        };
        std::size_t c = 0;
        for (; c + 8 <= n; c += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, st + c, sizeof word);
            if ((word & 0x0C0C0C0C0C0C0C0CULL) == 0) continue;
            for (std::size_t l = c; l < c + 8; ++l) visit(l);
        }
        for (; c < n; ++c) visit(c);
    }
    for (std::size_t c = 0; c < n; ++c)
        if ((st[c] & 1) != 0 && levels - 1 > start[c])
            runs.push_back(Run{static_cast<std::int64_t>(c), start[c], levels - 1});
}

// Puts the runs in the order their lines are built: column (i, j) before
// (i, j + 1), all of (i, *) before (i + 1, *), each column's runs from the
// bottom up (a stable counting sort on the column's place in that order).
std::vector<Run> in_build_order(const std::vector<Run>& runs, std::int64_t d0, std::int64_t d1) {
    const auto place = [&](const Run& r) { return static_cast<std::size_t>((r.column % d0) * d1 + r.column / d0); };
    std::vector<std::size_t> first(static_cast<std::size_t>(d0 * d1) + 1, 0);
    for (const Run& r : runs) ++first[place(r) + 1];
    for (std::size_t p = 1; p < first.size(); ++p) first[p] += first[p - 1];
    std::vector<Run> sorted(runs.size());
    for (const Run& r : runs) sorted[first[place(r)]++] = r;
    return sorted;
}

// What the scan built: the number of lines and of their points.
struct Totals {
    std::int64_t lines = 0;
    std::int64_t points = 0;
};

// Builds the lines of the runs (given in build order) and puts them on the
// list as if made one after the other in that order, grid row i by grid row
// i, with the progress reported before each row.
//
// Rows are taken in bands of kBand. A band's lines are first sampled column
// by column in storage order (j outer, i inner), where neighbouring columns
// share what is read of the volume; then their records are made in build
// order, so that the list also lies in memory in its own order. Should a
// line fail to sample, the band is made again line by line in build order,
// so that the same line fails first, after the same progress, as it would
// row by row.
constexpr std::int64_t kBand = 16;

int build_lines(const Grid& g, const float* data, const std::vector<Run>& runs, Totals& totals, char* msg) {
    const std::int64_t d0 = g.dims[0], d1 = g.dims[1], layer = d0 * d1;
    auto row_of = [&](std::size_t r) { return runs[r].column % d0; };
    auto column_of = [&](std::size_t r) { return Column{data + runs[r].column, layer}; };
    auto add = [&](LineRecord* rec) {
        push_line(rec);
        ++totals.lines;
        totals.points += rec->n;
    };
    // Reports every row up to `upto` not reported yet, in order.
    std::int64_t reported = -1;
    auto report_to = [&](std::int64_t upto) {
        for (; reported < upto; ++reported)
            OMstatus_check(static_cast<int>(static_cast<double>(reported + 1) * 100.0 / static_cast<double>(d0)),
                           g_name, nullptr);
    };

    std::vector<float> samples;            // of the whole band
    std::vector<std::size_t> from;         // per run of the band: its samples
    std::vector<float> tops;               // per run of the band: its ztop
    std::vector<std::size_t> next, end;    // per row of the band: its next run, its end
    std::vector<std::size_t> order;        // the band's runs in the order sampled
    std::size_t first = 0;                 // the band's first run
    for (std::int64_t i0 = 0; i0 < d0; i0 += kBand) {
        const std::int64_t i1 = std::min(d0, i0 + kBand);
        report_to(i0);
        next.clear();
        end.clear();
        std::size_t last = first;
        for (std::int64_t i = i0; i < i1; ++i) {
            next.push_back(last);
            while (last < runs.size() && row_of(last) == i) ++last;
            end.push_back(last);
        }
        const std::size_t count = last - first;
        samples.clear();
        from.assign(count + 1, 0);
        tops.assign(count, 0.0f);

        // Sampled in storage order; `from` of the run after the last one of
        // the band holds the end of the samples.
        bool sampled = true;
        order.clear();
        for (std::int64_t j = 0; j < d1 && sampled; ++j)
            for (std::size_t b = 0; b < next.size() && sampled; ++b)
                for (std::size_t& r = next[b]; r < end[b] && runs[r].column / d0 == j; ++r) {
                    from[r - first] = samples.size();
                    if (sample_line(g, column_of(r), runs[r].s, runs[r].e, samples, tops[r - first], msg) != 1) {
                        sampled = false;
                        break;
                    }
                    order.push_back(r - first);
                }

        if (sampled) {
            // Where each run's samples end: where the next sampled run's begin.
            std::vector<std::size_t> upto(count, 0);
            for (std::size_t q = 0; q < order.size(); ++q)
                upto[order[q]] = q + 1 < order.size() ? from[order[q + 1]] : samples.size();
            for (std::size_t r = first; r < last; ++r) {
                report_to(row_of(r));
                const std::size_t a = from[r - first];
                LineRecord* rec = nullptr;
                if (make_record(g, row_of(r), runs[r].column / d0, tops[r - first], samples.data() + a,
                                static_cast<std::int64_t>((upto[r - first] - a) / 2), rec, msg) != 1)
                    return -1;
                add(rec);
            }
        } else {
            g_status = 1;
            msg[0] = '\0';
            for (std::size_t r = first; r < last; ++r) {
                report_to(row_of(r));
                samples.clear();
                float ztop = 0.0f;
                if (sample_line(g, column_of(r), runs[r].s, runs[r].e, samples, ztop, msg) != 1) return -1;
                LineRecord* rec = nullptr;
                if (make_record(g, row_of(r), runs[r].column / d0, ztop, samples.data(),
                                static_cast<std::int64_t>(samples.size() / 2), rec, msg) != 1)
                    return -1;
                add(rec);
            }
        }
        first = last;
    }
    report_to(d0 - 1);
    return 1;
}

// Reads in_mesh and the parameters, then builds the lines of every column.
int scan(OMobj_id& self, Spacing spacing, Totals& totals, char* msg) {
    int component = 0;
    OMget_name_int_val(&self, OMstr_to_name("component"), &component);   // 0 when unreadable
    OMobj_id in = OMfind_str_subobj(&self, "in_mesh", OM_OBJ_RD);
    if (velmora::is_null(in)) return fail(msg, "%s : can not get in_mesh.\n");

    HostArray<std::int64_t> dims;
    int ndim = 0;
    FLDget_dims(&in, dims.out(), &ndim);
    if (!dims || ndim != 3) return fail(msg, "%s : can not get in_mesh.dims.\n");
    // Lines need two levels to cross between, and the spacings two nodes
    // along each axis to be defined.
    for (int a = 0; a < 3; ++a)
        if (dims[a] < 2) return fail(msg, "%s : in_mesh.dims[%d] is less than 2.\n", a);
    std::int64_t nnodes = 0;
    if (__builtin_mul_overflow(dims[0], dims[1], &nnodes) || __builtin_mul_overflow(nnodes, dims[2], &nnodes))
        return fail(msg, "%s : can not get in_mesh.dims.\n");

    int ncomp = 0;
    if (FLDget_node_data_ncomp(&in, &ncomp) != 1 || ncomp < 1) return fail(msg, "%s : can not get in_mesh.nnode_data.\n");
    if (component >= ncomp) component = ncomp - 1;
    HostArray<float> values;
    int type = 0;
    FLDget_node_data(&in, component, &type, values.out_chars(), values.size_out(), OM_GET_ARRAY_RD);
    if (!values || type != DTYPE_FLOAT || values.size() != nnodes)
        return fail(msg, "%s : can not get in_mesh.node_data[%d].\n", component);
    int null_flag = 0;
    float null_value = 0.0f;
    FLDget_node_null_data(&in, component, &null_flag, reinterpret_cast<char*>(&null_value));

    Grid g{};
    g.spacing = spacing;
    float cmin = 0.0f, cmax = 0.0f;
    bool have_minmax = false;
    auto minmax = [&] {
        if (!have_minmax)
            FLDget_node_data_minmax(&in, component, reinterpret_cast<char*>(&cmin), reinterpret_cast<char*>(&cmax));
        have_minmax = true;
    };
    double v = 0.0;
    if (OMget_name_real_val(&self, OMstr_to_name("minValue"), &v) == 1) {
        g.lower = static_cast<float>(v);
    } else {
        minmax();
        g.lower = cmin;
    }
    if (OMget_name_real_val(&self, OMstr_to_name("maxValue"), &v) == 1) {
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
    g.length = OMget_name_real_val(&self, OMstr_to_name("length"), &v) == 1 ? static_cast<float>(v) : 0.1f;
    // The spacing of the points must be positive for a line to end.
    if (!(g.length > 0.0f)) return fail(msg, "%s : length is not positive.\n");

    HostArray<float> points;
    FLDget_points(&in, points.out(), points.size_out(), OM_GET_ARRAY_RD);
    if (!points || points.size() != 6) return fail(msg, "%s : can not get in_mesh.points.\n");
    for (int a = 0; a < 3; ++a) g.dims[a] = dims[a];
    g.xmin = points[0];
    g.ymin = points[1];
    g.zmin = points[2];
    g.dx = (points[3] - points[0]) / static_cast<float>(dims[0] - 1);
    g.dy = (points[4] - points[1]) / static_cast<float>(dims[1] - 1);
    g.dz = (points[5] - points[2]) / static_cast<float>(dims[2] - 1);
    // Heights are found by dividing by dz: the grid has to rise along z.
    if (!(g.dz > 0.0f) || !std::isfinite(g.dz)) return fail(msg, "%s : in_mesh.points do not rise along z.\n");

    const std::int64_t d0 = dims[0], d1 = dims[1], d2 = dims[2], layer = d0 * d1;
    std::vector<Run> found;
    // Without a null flag no node is null; NaN equals nothing.
    const float null_match = null_flag != 0 ? null_value : std::numeric_limits<float>::quiet_NaN();
    find_runs(values.get(), layer, d2, g.lower, g.upper, null_match, found);
    const std::vector<Run> runs = in_build_order(found, d0, d1);
    found = std::vector<Run>();

    return build_lines(g, values.get(), runs, totals, msg);
}

// Copies every line into out_mesh, newest first, one polyline per line; a
// line is freed once copied.
int write_output(OMobj_id& self, const Totals& totals, char* msg) {
    const std::int64_t nlines = totals.lines, total = totals.points;
    OMobj_id out = OMfind_str_subobj(&self, "out_mesh", OM_OBJ_RW);
    if (velmora::is_null(out)) return fail(msg, "%s : can not get out_mesh.\n");
    FLDset_nnodes(&out, total);

    // With nothing to write the arrays are empty and are not asked for.
    HostArray<float> coord, values;
    HostArray<std::int64_t> connect;
    if (total > 0) {
        FLDget_coord(&out, coord.out(), coord.size_out(), OM_GET_ARRAY_WR);
        if (!coord || coord.size() != 3 * total) return fail(msg, "%s : can not get out_mesh.coord.\n");
        int type = 0;
        FLDget_node_data(&out, 0, &type, values.out_chars(), values.size_out(), OM_GET_ARRAY_WR);
        if (!values || type != DTYPE_FLOAT || values.size() != total)
            return fail(msg, "%s : can not get out_mesh.node_data[0].\n");
    }
    OMobj_id set = OMnull_obj;
    FLDget_cell_set(&out, 0, &set);
    FLDset_npolys(&set, nlines);
    if (nlines > 0) {
        FLDget_poly_connect(&set, connect.out(), connect.size_out(), OM_GET_ARRAY_WR);
        if (!connect || connect.size() != 2 * nlines)
            return fail(msg, "%s : can not get out_mesh.cell_set[0].poly_connect_list.\n");
    }

    std::int64_t b = 0;
    for (std::int64_t p = 0; p < nlines && g_lines && g_lines->n <= total - b; ++p) {
        OMstatus_check(static_cast<int>(static_cast<double>(p) * 100.0 / static_cast<double>(nlines)), g_name, nullptr);
        LineRecord* r = g_lines;
        std::memcpy(coord.get() + 3 * b, r->points, static_cast<std::size_t>(3 * r->n) * sizeof(float));
        std::memcpy(values.get() + b, r->values, static_cast<std::size_t>(r->n) * sizeof(float));
        connect[2 * p] = b;
        connect[2 * p + 1] = b + r->n - 1;
        b += r->n;
        g_lines = r->next;
        std::free(r);
    }
    return 1;
}

int rain_mesh_update(OMobj_id* obj, Spacing spacing, const char* name) noexcept {
    char msg[velmora::kMessageSize];
    msg[0] = '\0';
    std::snprintf(g_name, sizeof g_name, "%s", name);
    g_status = 1;
    free_lines();
    if (!obj) return 1;
    try {
        OMstatus_check(0, g_name, nullptr);
        int ok = 0;
        Totals totals;
        {
            StatusRange range(0, 50);
            ok = scan(*obj, spacing, totals, msg);
        }
        if (ok == 1) {
            StatusRange range(50, 100);
            write_output(*obj, totals, msg);
        }
    } catch (...) {
        // Only the working vectors of the scan can throw, when they can not
        // grow.
        fail(msg, "%s : can not allocate memory.\n");
    }
    free_lines();
    if (g_status != 1) ERRverror(g_name, velmora::kSeverity, msg);
    return 1;
}

}  // namespace

VELMORA_EXPORT int MakeRainMeshConstant_update(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return rain_mesh_update(obj, Spacing::Constant, "MakeRainMeshConstant");
}

VELMORA_EXPORT int MakeRainMeshLinear_update(OMobj_id* obj, int /*event_mask*/, int /*seq_num*/) {
    return rain_mesh_update(obj, Spacing::Linear, "MakeRainMeshLinear");
}
