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

}  // namespace

std::vector<std::int32_t> split_cells(std::span<std::int32_t> labels, std::span<const float> values, const SplitGrid& g,
                                      std::int32_t no_max, const SplitSettings& s) {
    check(labels, values, g, s);
    // Only the cells' voxels are visited.
    const std::vector<std::int64_t> inside = labelled_voxels(labels);
    std::int32_t highest = std::max<std::int32_t>(no_max, 0);
    for (const std::int64_t p : inside) {
        const std::int32_t l = labels[static_cast<std::size_t>(p)];
        if (l < 0) throw std::invalid_argument("a cell number is negative");
        highest = std::max(highest, l);
    }
    std::vector<std::int32_t> parent(static_cast<std::size_t>(highest) + 1);
    std::iota(parent.begin(), parent.end(), 0);
    if (s.levels.empty()) return parent;

    std::vector<Component> comps;
    std::vector<std::int64_t> voxels;   // of every component, one after the other
    std::vector<std::int64_t> queue;
    for (const double level : s.levels) {
        const auto reaches = [&](std::int64_t p) {
            const float v = values[static_cast<std::size_t>(p)];
            return std::isfinite(v) && !(g.has_null && v == g.null_value) && static_cast<double>(v) >= level;
        };
        // The regions of each cell at or above the level, face-connected;
        // their voxels are marked -(index + 1) while they are found.
        comps.clear();
        voxels.clear();
        for (const std::int64_t p : inside) {
            const std::int32_t cell = labels[static_cast<std::size_t>(p)];
            if (cell <= 0 || !reaches(p)) continue;
            const auto mark = -static_cast<std::int32_t>(comps.size() + 1);
            Component& c = comps.emplace_back(Component{cell, voxels.size(), 0});
            labels[static_cast<std::size_t>(p)] = mark;
            voxels.push_back(p);
            for (std::size_t q = c.start; q < voxels.size(); ++q)
                for_face_neighbours(voxels[q], g, [&](std::int64_t r) {
                    std::int32_t& l = labels[static_cast<std::size_t>(r)];
                    if (l == cell && reaches(r)) {
                        l = mark;
                        voxels.push_back(r);
                    }
                });
            c.size = voxels.size() - c.start;
        }
        for (const Component& c : comps)
            for (std::size_t q = c.start; q < c.start + c.size; ++q) labels[static_cast<std::size_t>(voxels[q])] = c.cell;

        // The cores of each cell, the largest first (ties: the one found
        // first, whose first voxel comes first in storage order).
        std::vector<std::size_t> cores;
        for (std::size_t i = 0; i < comps.size(); ++i)
            if (comps[i].size >= static_cast<std::size_t>(s.min_core)) cores.push_back(i);
        std::stable_sort(cores.begin(), cores.end(), [&](std::size_t a, std::size_t b) {
            if (comps[a].cell != comps[b].cell) return comps[a].cell < comps[b].cell;
            return comps[a].size > comps[b].size;
        });

        // A cell of two or more cores: every voxel goes to the core that
        // reaches it first, growing one face step at a time through the
        // cell's voxels, ties to the lower core. Marked -(part) while they
        // grow; a first-in first-out queue started in core order visits
        // each step's voxels in core order, so the first to reach a voxel is
        // the lowest core of those reaching it at that step.
        for (std::size_t first = 0; first < cores.size();) {
            const std::int32_t cell = comps[cores[first]].cell;
            std::size_t last = first;
            while (last < cores.size() && comps[cores[last]].cell == cell) ++last;
            if (last - first >= 2) {
                queue.clear();
                for (std::size_t r = first; r < last; ++r) {
                    std::int32_t part = cell;
                    if (r > first) {
                        part = ++highest;
                        parent.push_back(parent[static_cast<std::size_t>(cell)]);
                    }
                    const Component& c = comps[cores[r]];
                    for (std::size_t q = c.start; q < c.start + c.size; ++q) {
                        labels[static_cast<std::size_t>(voxels[q])] = -part;
                        queue.push_back(voxels[q]);
                    }
                }
                for (std::size_t q = 0; q < queue.size(); ++q) {
                    const std::int32_t mark = labels[static_cast<std::size_t>(queue[q])];
                    for_face_neighbours(queue[q], g, [&](std::int64_t r) {
                        std::int32_t& l = labels[static_cast<std::size_t>(r)];
                        if (l == cell) {
                            l = mark;
                            queue.push_back(r);
                        }
                    });
                }
                for (const std::int64_t p : queue) labels[static_cast<std::size_t>(p)] *= -1;
            }
            first = last;
        }
    }
    return parent;
}

}  // namespace velmora
