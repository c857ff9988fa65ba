// What MakeRainMesh's steps and kernels share: the grid as the lines see it,
// the record of a line, where the records live, and the kernels that find,
// measure and write the lines (rain_mesh_kernels.cpp, the AVX2 ones in
// rain_mesh_wide.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::rain_mesh {

// One line: its n points are the top point and the samples below it, in the
// column (i, j) from zbot up to ztop.
struct LineRecord {
    std::int64_t n;
    LineRecord* next;      // the line built before this one
    std::int64_t first;    // its first node in out_mesh, once placed
    std::int64_t window;   // its column's level k at windows[window + k], for k in lo .. hi
    std::int32_t i, j;
    float zbot, ztop;
    std::int32_t lo, hi;
};

// Where the records of one update live, in the order the scan made them:
// band after band, within a band by i, then j, each column's lines from the
// bottom up. The list runs through them once the scan is over (link_lines),
// newest first from `head`, and ends with the update. Next to them, each
// line's window: the values of its column from one level below its run to
// one above, copied while the scan has them in the cache. The lines are
// written in list order from their windows, so that neither out_mesh nor the
// volume is gone through out of order.
struct LineStore {
    std::vector<LineRecord> records;
    std::vector<float> windows;
    LineRecord* head = nullptr;
};

enum class Spacing { Constant, Linear };

// What the lines need of the grid and the parameters; all single precision,
// as the lines have always been computed.
struct Grid {
    const float* data;   // the selected component, node (i, j, k) at i + dims[0] (j + dims[1] k)
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
    // the plain `length`, so every step is at least `length`.
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

inline Column column_of(const Grid& g, std::int64_t i, std::int64_t j) {
    return Column{g.data + i + g.dims[0] * j, g.dims[0] * g.dims[1]};
}

// Where the line of the run of nodes s < e starts and ends: zbot, where the
// value enters the band between levels s and s + 1, and ztop, where it
// leaves it above level e - 1.
inline void line_ends(const Grid& g, Column col, std::int64_t s, std::int64_t e, float& zbot, float& ztop) {
    float a = col[s], b = col[s + 1], t = 0.0f;
    if (a < g.lower)
        t = (g.lower - a) / (b - a);
    else if (a > g.upper)
        t = (a - g.upper) / (a - b);
    zbot = g.z_at(s) + t * g.dz;

    a = col[e - 1];
    b = col[e];
    t = 0.0f;
    if (b < g.lower)
        t = (g.lower - a) / (b - a);
    else if (b > g.upper)
        t = (g.upper - a) / (b - a);
    ztop = g.z_at(e - 1) + t * g.dz;
}

// A run of nodes s < e of one column that becomes a line: column (i, j0 + jj)
// of the band of rows from j0 the run was found in.
struct Run {
    std::int32_t i, jj;
    std::int32_t s, e;
};


// Finds the runs of the columns of a band of grid rows (j0 .. j0 + rows - 1),
// reading their nodes layer by layer, 32 columns of a row at a time, with
// two bits of state per column kept between layers (whether the node below
// was in the band, so that a run is open, and whether it was null) and the
// level where each open run started. Runs come out ordered by the layer that
// ends them, so each column's runs are in order from the bottom up.
//
// A node in the band opens a run, which starts one level lower unless the
// node below is null (or there is none). A run ends at the node below a null
// node, or at the first node outside the band (which belongs to it), or at
// the last level; it becomes a line when it spans at least two levels.
class RunFinder {
public:
    void find(const Grid& g, float null_value, std::int64_t j0, std::int32_t rows, std::vector<Run>& runs);

private:
    template <bool kAvx2>
    void find_in(const Grid& g, float null_value, std::int64_t j0, std::int32_t rows, std::vector<Run>& runs);
    void find_avx2(const Grid& g, float null_value, std::int64_t j0, std::int32_t rows, std::vector<Run>& runs);

    std::vector<std::uint32_t> open_, null_;   // per word of 32 columns
    std::vector<std::int32_t> start_;          // per column
};

// Sets the point count n of the lines recs[0 .. count - 1], and whether
// their points together stay within budget. Counting takes a step per
// sample, so it stops as soon as they do not: the counts are then partial.
bool count_points(const Grid& g, LineRecord* recs, std::size_t count, std::int64_t budget);

// Whether the lines can be written eight at a time: the processor has AVX2
// and the volume's nodes and the windows can be counted in 32 bits.
bool wide_writer(const Grid& g, const LineStore& store);

// Writes the lines recs[0 .. count - 1] (each at its `first` node), eight at
// a time where `wide`, else one by one.
void write_lines(const Grid& g, const LineStore& store, bool wide, const LineRecord* const* recs, std::size_t count,
                 float* coord, float* values);

// The AVX2 kernels (rain_mesh_wide.cpp), the same steps as their baseline
// counterparts, to the bit.
bool count_constant_avx2(float length, LineRecord* recs, std::size_t count, std::int64_t budget);
void write_lines_avx2(const Grid& g, const LineRecord* const* recs, std::size_t count, const float* windows,
                      float* coord, float* values);

}  // namespace velmora::rain_mesh
