// The labelling of connected areas of a cell list (see labelling.h).
#include "labelling.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "frame.h"

namespace {

using velmora::Heap;
using velmora::heap_array;
using velmora::msgf;

// Merge passes after which the labelling stops with the labels it has.
constexpr int kConnectCheckMaxCount = 1000;

// ---------------------------------------------------------------------------
// Labelling.
//
// Phase 1 hands out provisional labels cell by cell. Each merge pass then
// (a) lets every cell whose nodes carry different labels point the label of
// its first node at the first differing label (a later cell overwrites an
// earlier one), (b) resolves chains of such pointers in the table by sweeps
// over ascending labels until a sweep replaces nothing, and (c) relabels
// every node through the table, once. Passes repeat until no cell has
// differing labels, at most 1001 times. Phase 3 numbers the surviving labels
// in ascending order.
//
// The passes are made cheap without changing their outcome:
// - A cell whose nodes all carry one label keeps one label for ever (the
//   relabelling is a function of the label), so only cells with differing
//   labels are kept, in their order, for the next pass.
// - Only table entries written in (a) differ from -1, and (b) only ever
//   changes such entries; the sweeps visit just those, sorted ascending,
//   which is the order of a sweep over the whole table.
// - When (b) ends, every resolved target t has table[t] equal to -1 or t:
//   the table is idempotent. Relabelling every node of label L with table[L]
//   is then the same as making t the parent of L in a forest of labels, and
//   a node's label is the root of its provisional label. Roots are found
//   with path halving and written back into the node, so a pass touches
//   only the labels that changed and the nodes of cells still in play.
// ---------------------------------------------------------------------------

inline int find_root(int* parent, int label) {
    while (parent[label] != label) {
        parent[label] = parent[parent[label]];
        label = parent[label];
    }
    return label;
}

// The current label of a node, its stored label brought up to date.
inline int current(int* parent, int* labels, std::int64_t node) {
    int l = labels[node];
    if (parent[l] == l) return l;
    l = find_root(parent, l);
    labels[node] = l;
    return l;
}

// Resolves chains in the table; `touched` holds, in ascending order, the
// only entries that are not -1. Terminates: a replacement on a cycle of
// three or more labels shortens it, a cycle of two becomes a fixed point,
// and replacements on the trees hanging from them shorten their paths.
void resolve_chains(int* table, const int* touched, std::int64_t ntouched) {
    std::int64_t replaced;
    do {
        replaced = 0;
        for (std::int64_t i = 0; i < ntouched; ++i) {
            const int j = touched[i];
            const int a = table[j];
            const int b = table[a];
            if (b == -1 || b == a) continue;
            if (b == j) {   // two labels pointing at each other
                if (a < j) table[a] = a;
                continue;
            }
            table[j] = b;
            ++replaced;
        }
    } while (replaced != 0);
}

// The working arrays of the merge passes, allocated once before them.
struct MergeState {
    Heap<int[]> table;
    Heap<int[]> parent;
    Heap<int[]> touched;
    Heap<std::int64_t[]> active;   // cells whose nodes still differ, in order
};

// Phase 2: merges provisional labels until no cell has differing labels or
// the pass limit is reached; returns the number of passes that relabelled.
int merge_labels(MergeState& s, std::int64_t ncells, const std::int64_t* cells, int per, std::int64_t nnodes,
                 int* labels, std::int64_t size, char* msg) {
    int* table = s.table.get();
    int* parent = s.parent.get();
    int* touched = s.touched.get();
    std::int64_t* active = s.active.get();
    for (std::int64_t l = 0; l < size; ++l) {
        table[l] = -1;
        parent[l] = static_cast<int>(l);
    }

    int passes = 0;
    std::int64_t nactive = ncells;
    bool first_pass = true;
    while (nactive > 0) {
        // (a) one pointer per cell with differing labels.
        std::int64_t kept = 0, ntouched = 0;
        for (std::int64_t r = 0; r < nactive; ++r) {
            const std::int64_t c = first_pass ? r : active[r];
            const std::int64_t* cell = cells + c * per;
            const int l0 = current(parent, labels, cell[0]);
            for (int k = 1; k < per; ++k) {
                const int lk = current(parent, labels, cell[k]);
                if (lk != l0) {
                    if (table[l0] == -1) touched[ntouched++] = l0;
                    table[l0] = lk;
                    active[kept++] = c;
                    break;
                }
            }
        }
        first_pass = false;
        nactive = kept;
        if (kept == 0) break;

        // (b) chains, over the written entries in ascending label order.
        std::sort(touched, touched + ntouched);
        resolve_chains(table, touched, ntouched);

        // (c) relabel through the table: L becomes table[L] (resolved
        // targets are roots that stay roots), and the table is cleared.
        for (std::int64_t i = 0; i < ntouched; ++i) {
            const int j = touched[i];
            if (table[j] != j) parent[j] = table[j];
            table[j] = -1;
        }

        if (++passes > kConnectCheckMaxCount) {
            msgf(msg, "CONNECT_CHECK_MAX_COUNT exceeded!");
            std::printf("TriMeshLabeling CONNECT_CHECK_MAX_COUNT exceeded!\n");
            break;
        }
    }
    // Every node (in a cell or not) takes its label as the passes left it.
    for (std::int64_t n = 0; n < nnodes; ++n)
        if (labels[n] != 0) labels[n] = find_root(parent, labels[n]);
    return passes;
}

// Phase 3: numbers the labels still in use in ascending order from
// max(first_no, 1); returns the number after the last, or 0.
int compact_labels(int* table, std::int64_t size, std::int64_t nnodes, int* labels, int first_no, char* msg) {
    for (std::int64_t l = 0; l < size; ++l) table[l] = -1;
    for (std::int64_t n = 0; n < nnodes; ++n)
        if (labels[n] != 0) table[labels[n]] = 1;
    std::int64_t next = std::max(first_no, 1);
    for (std::int64_t l = 0; l < size; ++l) {
        if (table[l] > 0) {
            // Area numbers are ints; a first number near INT_MAX cannot
            // number every area.
            if (next >= INT_MAX) {
                msgf(msg, "area number exceeds INT_MAX");
                return 0;
            }
            table[l] = static_cast<int>(next++);
        }
    }
    for (std::int64_t n = 0; n < nnodes; ++n)
        if (labels[n] != 0 && table[labels[n]] > 0) labels[n] = table[labels[n]];
    return static_cast<int>(next);
}

}  // namespace

namespace velmora {

int label_cells(std::int64_t ncells, const std::int64_t* cells, int per, std::int64_t nnodes, int* labels,
                int first_no, char* msg) {
    // The callers guarantee a consistent cell list; a direct caller that
    // does not gets a message (no object name, like the others here) and
    // the result 0, with the labels untouched.
    if (ncells < 0 || nnodes < 0 || (ncells > 0 && (per < 1 || !cells || ncells > INT64_MAX / per)) ||
        (nnodes > 0 && !labels)) {
        msgf(msg, "can't label cells(bad arguments)");
        return 0;
    }
    for (std::int64_t i = 0; i < ncells * per; ++i) {
        if (static_cast<std::uint64_t>(cells[i]) >= static_cast<std::uint64_t>(nnodes)) {
            msgf(msg, "can't label cells(node_connect exceeds nnodes)");
            return 0;
        }
    }
    // Labels the caller gives are provisional labels like those handed out
    // below (both division modules give 0 everywhere); the table is made
    // large enough for the largest. Negative labels are refused.
    int max_label = 0;
    for (std::int64_t n = 0; n < nnodes; ++n) {
        if (labels[n] < 0) {
            msgf(msg, "can't label cells(label below 0)");
            return 0;
        }
        max_label = std::max(max_label, labels[n]);
    }

    // Phase 1: provisional labels.
    int k = 0;
    for (std::int64_t c = 0; c < ncells; ++c) {
        const std::int64_t* cell = cells + c * per;
        int taken = 0;
        for (int i = 0; i < per && taken == 0; ++i) taken = labels[cell[i]];
        if (taken == 0) {
            if (k == INT_MAX - 1) {   // the table could not be indexed
                msgf(msg, "can't alloc label_index_array");
                return 0;
            }
            taken = ++k;
        }
        for (int i = 0; i < per; ++i) labels[cell[i]] = taken;
    }

    const std::int64_t size = static_cast<std::int64_t>(std::max(k, max_label)) + 1;
    MergeState s{heap_array<int>(size), heap_array<int>(size), heap_array<int>(size),
                 heap_array<std::int64_t>(std::max<std::int64_t>(ncells, 1))};
    if (!s.table || !s.parent || !s.touched || !s.active) {
        msgf(msg, "can't alloc label_index_array");
        return 0;
    }

    // A cell list without cells goes straight to the numbering.
    if (ncells > 0) merge_labels(s, ncells, cells, per, nnodes, labels, size, msg);
    return compact_labels(s.table.get(), size, nnodes, labels, first_no, msg);
}

}  // namespace velmora
