#include "analysis/core_split.h"

#include "analysis/cell_properties.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

namespace velmora {

namespace {

struct Component {
    std::int32_t cell = 0;
    std::size_t start = 0, size = 0;   // its voxels in the list of all components' voxels
};

// The face neighbours of voxel p, each given to f.
template <class F>
void for_face_neighbours(std::int64_t p, const SplitGrid& g, F&& f) {
    const std::int64_t nxy = g.nx * g.ny;
    const std::int64_t i = p % g.nx, j = p / g.nx % g.ny, k = p / nxy;
    if (i > 0) f(p - 1);
    if (i + 1 < g.nx) f(p + 1);
    if (j > 0) f(p - g.nx);
    if (j + 1 < g.ny) f(p + g.nx);
    if (k > 0) f(p - nxy);
    if (k + 1 < g.nz) f(p + nxy);
}

void check(std::span<const std::int32_t> labels, std::span<const float> values, const SplitGrid& g,
           const SplitSettings& s) {
    const std::int64_t n = g.nx * g.ny * g.nz;
    if (g.nx < 0 || g.ny < 0 || g.nz < 0 || static_cast<std::int64_t>(labels.size()) != n ||
        static_cast<std::int64_t>(values.size()) != n)
        throw std::invalid_argument("the cell numbers (" + std::to_string(labels.size()) + ") and values (" +
                                    std::to_string(values.size()) + ") do not fit the " + std::to_string(g.nx) + " x " +
                                    std::to_string(g.ny) + " x " + std::to_string(g.nz) + " grid");
    for (std::size_t i = 0; i < s.levels.size(); ++i) {
        if (!std::isfinite(s.levels[i])) throw std::invalid_argument("a split level must be a finite reflectivity in dBZ");
        if (i > 0 && !(s.levels[i] > s.levels[i - 1])) throw std::invalid_argument("the split levels must rise");
    }
    if (s.min_core < 1) throw std::invalid_argument("a core must have at least 1 voxel");
}

// The highest cell number: no_max, or a larger one in labels. Throws
// std::invalid_argument for a negative one.
std::int32_t highest_number(std::span<const std::int32_t> labels, std::span<const std::int64_t> inside,
                            std::int32_t no_max) {
    std::int32_t highest = std::max<std::int32_t>(no_max, 0);
    for (const std::int64_t p : inside) {
        const std::int32_t l = labels[static_cast<std::size_t>(p)];
        if (l < 0) throw std::invalid_argument("a cell number is negative");
        highest = std::max(highest, l);
    }
    return highest;
}

// The regions of the cells at or above a level, and the buffers dividing
// them reuses from one level to the next.
struct Regions {
    std::vector<Component> comps;
    std::vector<std::int64_t> voxels;   // of every component, one after the other
    std::vector<std::int64_t> queue;    // the voxels the parts of a cell grow through
};

// The regions of each cell at or above level, face-connected, into r; their
// voxels are marked -(index + 1) while they are found, and given back their
// cell's number after.
void find_regions(std::span<std::int32_t> labels, std::span<const float> values, const SplitGrid& g,
                  std::span<const std::int64_t> inside, double level, Regions& r) {
    const auto reaches = [&](std::int64_t p) {
        const float v = values[static_cast<std::size_t>(p)];
        return std::isfinite(v) && !(g.has_null && v == g.null_value) && static_cast<double>(v) >= level;
    };
    r.comps.clear();
    r.voxels.clear();
    for (const std::int64_t p : inside) {
        const std::int32_t cell = labels[static_cast<std::size_t>(p)];
        if (cell <= 0 || !reaches(p)) continue;
        const auto mark = -static_cast<std::int32_t>(r.comps.size() + 1);
        Component& c = r.comps.emplace_back(Component{cell, r.voxels.size(), 0});
        labels[static_cast<std::size_t>(p)] = mark;
        r.voxels.push_back(p);
        // The steps of both searches are always inlined: they run for every
        // neighbour of every voxel, and GCC leaves some calls out of line.
        for (std::size_t q = c.start; q < r.voxels.size(); ++q)
            for_face_neighbours(r.voxels[q], g, [&](std::int64_t n) __attribute__((always_inline)) {
                std::int32_t& l = labels[static_cast<std::size_t>(n)];
                if (l == cell && reaches(n)) {
                    l = mark;
                    r.voxels.push_back(n);
                }
            });
        c.size = r.voxels.size() - c.start;
    }
    for (const Component& c : r.comps)
        for (std::size_t q = c.start; q < c.start + c.size; ++q) labels[static_cast<std::size_t>(r.voxels[q])] = c.cell;
}

// The cores among the regions, cell by cell, the largest first (ties: the
// one found first, whose first voxel comes first in storage order).
std::vector<std::size_t> cores_of(const std::vector<Component>& comps, int min_core) {
    std::vector<std::size_t> cores;
    for (std::size_t i = 0; i < comps.size(); ++i)
        if (comps[i].size >= static_cast<std::size_t>(min_core)) cores.push_back(i);
    std::stable_sort(cores.begin(), cores.end(), [&](std::size_t a, std::size_t b) {
        if (comps[a].cell != comps[b].cell) return comps[a].cell < comps[b].cell;
        return comps[a].size > comps[b].size;
    });
    return cores;
}

// Divides cell at its cores (two or more, cores[first..last)): every voxel
// goes to the core that reaches it first, growing one face step at a time
// through the cell's voxels, ties to the lower core. The first core's part
// keeps the cell's number, the others take highest + 1 on, their parent the
// cell's. Marked -(part) while they grow; a first-in first-out queue
// started in core order visits each step's voxels in core order, so the
// first to reach a voxel is the lowest core of those reaching it at that
// step.
void grow_parts(std::span<std::int32_t> labels, const SplitGrid& g, std::int32_t cell, std::span<const std::size_t> cores,
                Regions& r, std::int32_t& highest, std::vector<std::int32_t>& parent) {
    r.queue.clear();
    for (std::size_t n = 0; n < cores.size(); ++n) {
        std::int32_t part = cell;
        if (n > 0) {
            part = ++highest;
            parent.push_back(parent[static_cast<std::size_t>(cell)]);
        }
        const Component& c = r.comps[cores[n]];
        for (std::size_t q = c.start; q < c.start + c.size; ++q) {
            labels[static_cast<std::size_t>(r.voxels[q])] = -part;
            r.queue.push_back(r.voxels[q]);
        }
    }
    for (std::size_t q = 0; q < r.queue.size(); ++q) {
        const std::int32_t mark = labels[static_cast<std::size_t>(r.queue[q])];
        for_face_neighbours(r.queue[q], g, [&](std::int64_t n) __attribute__((always_inline)) {
            std::int32_t& l = labels[static_cast<std::size_t>(n)];
            if (l == cell) {
                l = mark;
                r.queue.push_back(n);
            }
        });
    }
    for (const std::int64_t p : r.queue) labels[static_cast<std::size_t>(p)] *= -1;
}

}  // namespace

std::vector<std::int32_t> split_cells(std::span<std::int32_t> labels, std::span<const float> values, const SplitGrid& g,
                                      std::int32_t no_max, const SplitSettings& s) {
    check(labels, values, g, s);
    // Only the cells' voxels are visited.
    const std::vector<std::int64_t> inside = labelled_voxels(labels);
    std::int32_t highest = highest_number(labels, inside, no_max);
    std::vector<std::int32_t> parent(static_cast<std::size_t>(highest) + 1);
    std::iota(parent.begin(), parent.end(), 0);
    if (s.levels.empty()) return parent;

    Regions r;
    for (const double level : s.levels) {
        find_regions(labels, values, g, inside, level, r);
        const std::vector<std::size_t> cores = cores_of(r.comps, s.min_core);
        // The cells of two or more cores are divided.
        for (std::size_t first = 0; first < cores.size();) {
            const std::int32_t cell = r.comps[cores[first]].cell;
            std::size_t last = first;
            while (last < cores.size() && r.comps[cores[last]].cell == cell) ++last;
            if (last - first >= 2)
                grow_parts(labels, g, cell, std::span<const std::size_t>(cores).subspan(first, last - first), r, highest,
                           parent);
            first = last;
        }
    }
    return parent;
}

}  // namespace velmora
