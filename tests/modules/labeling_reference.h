// A plain reading of the connected-area labelling and filter that the fast passes must match bit for bit.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vref {

struct Labelling {
    int result = 0;
    int passes = 0;          // merge passes that relabelled the nodes
    std::string message;     // what the labelling left in the message buffer
    std::string console;     // what it wrote to standard output
};

// Labels start at 0 everywhere (as the division modules give them).
inline Labelling label(const std::vector<std::int64_t>& cells, int per, std::int64_t nnodes, std::vector<int>& labels,
                       int first_no) {
    Labelling r;
    const std::int64_t ncells = static_cast<std::int64_t>(cells.size()) / per;
    labels.assign(static_cast<std::size_t>(nnodes), 0);
    auto node = [&](std::int64_t c, int k) -> int& { return labels[static_cast<std::size_t>(cells[c * per + k])]; };
    // Provisional labels: a cell takes the first label among its nodes, or a new one.
    int k = 0;
    for (std::int64_t c = 0; c < ncells; ++c) {
        int taken = 0;
        for (int i = 0; i < per && taken == 0; ++i) taken = node(c, i);
        if (taken == 0) taken = ++k;
        for (int i = 0; i < per; ++i) node(c, i) = taken;
    }
    std::vector<int> table(static_cast<std::size_t>(k) + 1);
    auto at = [&](int l) -> int& { return table[static_cast<std::size_t>(l)]; };
    // Merge passes: each cell maps its first node's label to the first that differs; chains followed to their ends.
    while (ncells > 0) {
        std::fill(table.begin(), table.end(), -1);
        int changes = 0;
        for (std::int64_t c = 0; c < ncells; ++c)
            for (int i = 1; i < per; ++i)
                if (node(c, i) != node(c, 0)) {
                    at(node(c, 0)) = node(c, i);
                    ++changes;
                    break;
                }
        if (changes == 0) break;
        for (int replaced = 1; replaced > 0;) {
            replaced = 0;
            for (int j = 0; j <= k; ++j) {
                const int a = at(j);
                if (a == -1) continue;
                const int b = at(a);
                if (b == -1 || b == a) continue;
                if (b == j) {
                    if (a < j) at(a) = a;
                    continue;
                }
                at(j) = b;
                ++replaced;
            }
        }
        for (auto& l : labels)
            if (l != 0 && at(l) > 0) l = at(l);
        if (++r.passes > 1000) {
            r.message = "CONNECT_CHECK_MAX_COUNT exceeded!";
            r.console = "TriMeshLabeling CONNECT_CHECK_MAX_COUNT exceeded!\n";
            break;
        }
    }
    // Numbering: the labels still in use, in increasing order, from first_no (at least 1).
    std::fill(table.begin(), table.end(), -1);
    for (int l : labels)
        if (l != 0) at(l) = 1;
    int n = first_no > 1 ? first_no : 1;
    for (int l = 0; l <= k; ++l)
        if (at(l) > 0) at(l) = n++;
    for (auto& l : labels)
        if (l != 0 && at(l) > 0) l = at(l);
    r.result = n;
    return r;
}

// One hub triangle, `leaves` separate ones, then a cell per leaf from the hub: one merge pass per leaf.
inline std::vector<std::int64_t> star(int leaves) {
    std::vector<std::int64_t> cells{0, 1, 2};
    for (int i = 1; i <= leaves; ++i) cells.insert(cells.end(), {3 * i, 3 * i + 1, 3 * i + 2});
    for (int i = 1; i <= leaves; ++i) cells.insert(cells.end(), {0, 3 * i, 3 * i});
    return cells;
}

struct Filtered {
    int no_min = 0, no_max = 0;
    std::string console;
};

// The area filter with first number 0 and last number `last`.
inline Filtered filter(const std::vector<std::int64_t>& cells, int stride, std::vector<int>& labels, int min_cells,
                       int last) {
    Filtered r;
    const int range = last;
    std::vector<int> count(static_cast<std::size_t>(range) + 1, 0), number(count);
    for (std::size_t c = 0; c < cells.size(); c += static_cast<std::size_t>(stride))
        ++count[static_cast<std::size_t>(labels[static_cast<std::size_t>(cells[c])])];
    r.no_min = 1;
    int next = 0;
    for (int l = 1; l <= range; ++l)
        if (count[static_cast<std::size_t>(l)] > min_cells) r.no_max = number[static_cast<std::size_t>(l)] = ++next;
    char line[64];
    for (int l = 0; l <= range; ++l) {
        std::snprintf(line, sizeof line, "% 5d : % 5d % 5d\n", l, count[static_cast<std::size_t>(l)],
                      number[static_cast<std::size_t>(l)]);
        r.console += line;
    }
    for (auto& l : labels) l = number[static_cast<std::size_t>(l)];
    return r;
}

}  // namespace vref
