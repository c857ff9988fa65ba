// What the two division modules (DivIsosurf, DivIsovolume) share: the whole
// update. It reads the field's cell sets into one list of fixed-size cells,
// labels their connected areas (labelling.h), drops small areas and
// renumbers the rest, and writes the per-node area numbers. Each module
// passes its own cell kinds, cell stride and message words.
#pragma once

#include <cstdint>
#include <span>

#include "frame.h"
#include "labelling.h"

namespace velmora::division {

// A cell type the division accepts and how its cells become working cells
// of `stride` nodes each.
struct CellKind {
    const char* name;        // the cell set's type name, compared exactly
    int nodes;               // nodes of one input cell
    int parts;               // working cells made from one input cell
    const char* few_cells;   // message when the set has no cell
    // Writes the `parts` working cells of one input cell.
    void (*split)(const std::int64_t* cell, std::int64_t* out);
};

// The texts in which the two modules' cell-list messages differ.
struct CellListWords {
    const char* no_set_first;    // a missing cell set while counting
    const char* no_set_second;   // a missing cell set while copying
    const char* no_cells;        // no cell at all
};

// The texts in which the two modules' area filters differ.
struct FilterWords {
    const char* count_alloc;    // "%s : can not allocate memory(surf_cnt).\n"
    const char* number_alloc;   // "%s : can not allocate memory(surf_no).\n"
};

// One division module: its cells and its words.
struct Division {
    std::span<const CellKind> kinds;
    int stride;                   // nodes of a working cell
    CellListWords cells;
    FilterWords filter;
    const char* labels_alloc;     // the node labels could not be allocated
    const char* cells_read;       // console line once the cells are read, or null
};

// The update of a division module.
void divide(Frame& f, const Division& d);

}  // namespace velmora::division
