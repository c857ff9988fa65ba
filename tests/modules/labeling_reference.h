// A plain, unoptimised reading of the connected-area labelling and the area
// filter, kept as the reference that the library's fast passes must match
// bit for bit: labels, numbering, pass count, notice and console lines.
// Used by the division tests and the labelling benchmark.
#pragma once

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

    // Phase 1.
    int k = 0;
    for (std::int64_t c = 0; c < ncells; ++c) {
        int taken = 0;
        for (int i = 0; i < per; ++i)
            if (node(c, i) != 0) {
                taken = node(c, i);
                break;
            }
        if (taken == 0) taken = ++k;
        for (int i = 0; i < per; ++i) node(c, i) = taken;
    }
    std::vector<int> table(static_cast<std::size_t>(k) + 1);

    // Phase 2.
    for (;;) {
        for (auto& t : table) t = -1;
        if (ncells == 0) break;
        int changes = 0;
        for (std::int64_t c = 0; c < ncells; ++c) {
            const int l0 = node(c, 0);
            for (int i = 1; i < per; ++i)
                if (node(c, i) != l0) {
                    table[static_cast<std::size_t>(l0)] = node(c, i);
                    ++changes;
                    break;
                }
        }
        if (changes == 0) break;
        for (;;) {
            int replaced = 0;
            for (int j = 0; j <= k; ++j) {
                const int a = table[static_cast<std::size_t>(j)];
                if (a == -1) continue;
                const int b = table[static_cast<std::size_t>(a)];
                if (b == -1 || b == a) continue;
                if (b == j) {
                    if (a < j) table[static_cast<std::size_t>(a)] = a;
                    continue;
                }
                table[static_cast<std::size_t>(j)] = b;
                ++replaced;
            }
            if (replaced == 0) break;
        }
        for (auto& l : labels)
            if (l != 0 && table[static_cast<std::size_t>(l)] > 0) l = table[static_cast<std::size_t>(l)];
        if (++r.passes > 1000) {
            r.message = "CONNECT_CHECK_MAX_COUNT exceeded!";
            r.console = "TriMeshLabeling CONNECT_CHECK_MAX_COUNT exceeded!\n";
            break;
        }
    }

    // Phase 3.
    for (auto& t : table) t = -1;
    for (int l : labels)
        if (l != 0) table[static_cast<std::size_t>(l)] = 1;
    int n = first_no > 1 ? first_no : 1;
    for (int l = 0; l <= k; ++l)
        if (table[static_cast<std::size_t>(l)] > 0) table[static_cast<std::size_t>(l)] = n++;
    for (auto& l : labels)
        if (l != 0 && table[static_cast<std::size_t>(l)] > 0) l = table[static_cast<std::size_t>(l)];
    r.result = n;
    return r;
}

// One hub triangle and `leaves` separate triangles, then one cell per leaf
// from the hub: each merge pass can join only the last leaf, so the passes
// grow with the leaves.
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
