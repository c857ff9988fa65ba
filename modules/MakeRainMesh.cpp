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
#include <cmath>
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

// Builds the line of column (i, j) for the run of nodes s < e; col holds the
// column's values bottom to top; samples is reusable scratch (z, value pairs).
int build_line(const Grid& g, std::int64_t i, std::int64_t j, const float* col, std::int64_t s, std::int64_t e,
               std::vector<float>& samples, char* msg) {
    const float x = g.xmin + static_cast<float>(i) * g.dx;
    const float y = g.ymin + static_cast<float>(j) * g.dy;

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
    const float ztop = g.z_at(e - 1) + t * g.dz;

    samples.clear();
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

    const auto nsamples = static_cast<std::int64_t>(samples.size() / 2);
    const std::int64_t n = nsamples + 1;
    void* block = std::malloc(sizeof(LineRecord) + static_cast<std::size_t>(n) * 4 * sizeof(float));
    if (!block) return fail(msg, "%s : can not allocate memory.\n");
    auto* r = static_cast<LineRecord*>(block);
    r->n = n;
    r->points = reinterpret_cast<float*>(r + 1);
    r->values = r->points + 3 * n;
    // The top point first, then the samples from the highest to the lowest.
    r->points[0] = x;
    r->points[1] = y;
    r->points[2] = ztop;
    r->values[0] = nsamples > 0 ? samples[samples.size() - 1] : g.lower;
    for (std::int64_t m = 0; m < nsamples; ++m) {
        const std::int64_t slot = n - 1 - m;
        r->points[3 * slot] = x;
        r->points[3 * slot + 1] = y;
        r->points[3 * slot + 2] = samples[static_cast<std::size_t>(2 * m)];
        r->values[slot] = samples[static_cast<std::size_t>(2 * m + 1)];
    }
    r->next = g_lines;
    g_lines = r;
    return 1;
}

// Reads in_mesh and the parameters, then builds the lines of every column.
int scan(OMobj_id& self, Spacing spacing, char* msg) {
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
    const bool has_null = null_flag != 0;
    const float* data = values.get();
    std::vector<float> col(static_cast<std::size_t>(d2));
    std::vector<float> samples;
    for (std::int64_t i = 0; i < d0; ++i) {
        OMstatus_check(static_cast<int>(static_cast<double>(i) * 100.0 / static_cast<double>(d0)), g_name, nullptr);
        for (std::int64_t j = 0; j < d1; ++j) {
            const float* base = data + i + d0 * j;
            for (std::int64_t k = 0; k < d2; ++k) col[static_cast<std::size_t>(k)] = base[k * layer];
            const float* c = col.data();
            auto is_null = [&](std::int64_t k) { return has_null && c[k] == null_value; };

            bool open = false;
            std::int64_t s = 0;
            for (std::int64_t k = 0; k < d2; ++k) {
                std::int64_t e = -1;
                if (is_null(k)) {
                    if (!open) continue;
                    e = k - 1;
                } else if (g.lower <= c[k] && c[k] <= g.upper) {
                    if (!open) {
                        open = true;
                        s = k > 0 && !is_null(k - 1) ? k - 1 : k;
                    }
                    continue;
                } else {
                    if (!open) continue;
                    e = k;   // the first node above the band belongs to the run
                }
                open = false;
                if (e > s && build_line(g, i, j, c, s, e, samples, msg) != 1) return -1;
            }
            if (open && d2 - 1 > s && build_line(g, i, j, c, s, d2 - 1, samples, msg) != 1) return -1;
        }
    }
    return 1;
}

// Copies every line into out_mesh, newest first, one polyline per line.
int write_output(OMobj_id& self, char* msg) {
    std::int64_t nlines = 0, total = 0;
    for (const LineRecord* r = g_lines; r; r = r->next) {
        ++nlines;
        total += r->n;
    }
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

    std::int64_t b = 0, p = 0;
    for (const LineRecord* r = g_lines; r; r = r->next, ++p) {
        OMstatus_check(static_cast<int>(static_cast<double>(p) * 100.0 / static_cast<double>(nlines)), g_name, nullptr);
        std::memcpy(coord.get() + 3 * b, r->points, static_cast<std::size_t>(3 * r->n) * sizeof(float));
        std::memcpy(values.get() + b, r->values, static_cast<std::size_t>(r->n) * sizeof(float));
        connect[2 * p] = b;
        connect[2 * p + 1] = b + r->n - 1;
        b += r->n;
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
        {
            StatusRange range(0, 50);
            ok = scan(*obj, spacing, msg);
        }
        if (ok == 1) {
            StatusRange range(50, 100);
            write_output(*obj, msg);
        }
    } catch (...) {
        // Growing the sample scratch is the only thing that can throw.
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
