// The update the two division modules share (see division.h).
#include "division.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velmora::division {
namespace {

constexpr int kCellNameSize = 32;

bool add_cells(std::int64_t& total, std::int64_t ncells, int parts) {
    if (ncells > (INT64_MAX - total) / parts) return false;
    total += ncells * parts;
    return true;
}

// Reads every cell set of `in` into one list of working cells of `stride`
// node indices, in set order. Returns 1, or -1 with the message formatted.
// The list goes to the caller as soon as it is allocated.
int build_cell_list(Frame& f, OMobj_id& in, std::int64_t nnodes, std::span<const CellKind> kinds, int stride,
                    const CellListWords& words, Heap<std::int64_t[]>& list, std::int64_t& ncells) {
    auto kind_of = [&](const char* name) -> const CellKind* {
        for (const CellKind& k : kinds)
            if (std::strcmp(name, k.name) == 0) return &k;
        return nullptr;
    };
    // Cell set i, its kind and its cell count, as both passes read them;
    // missing is the pass's message for a set that is not there.
    auto read_set = [&](int i, const char* missing, OMobj_id& set, const CellKind*& kind, std::int64_t& n) {
        set = OMnull_obj;
        FLDget_cell_set(&in, i, &set);
        if (is_null(set)) return f.fail(missing, i);
        char name[kCellNameSize] = "";
        FLDget_cell_set_name(&set, name, kCellNameSize);
        kind = kind_of(name);
        if (!kind) return f.fail("%s : unsupport cell_type(%s).\n", name);
        n = 0;
        FLDget_ncells(&set, &n);
        return 1;
    };
    int nsets = 0;
    FLDget_ncell_sets(&in, &nsets);

    std::int64_t total = 0;
    for (int i = 0; i < nsets; ++i) {
        OMobj_id set;
        const CellKind* kind = nullptr;
        std::int64_t n = 0;
        if (const int r = read_set(i, words.no_set_first, set, kind, n); r != 1) return r;
        if (n < 1) return f.fail(kind->few_cells);
        // A count beyond any memory fails as the allocation below would.
        if (!add_cells(total, n, kind->parts)) return f.fail("%s : can not get connect.\n");
    }
    if (total < 1) return f.fail(words.no_cells);

    list = heap_array<std::int64_t>(total > INT64_MAX / stride ? 0 : total * stride);
    if (!list) return f.fail("%s : can not get connect.\n");
    ncells = total;

    std::int64_t* out = list.get();
    std::int64_t filled = 0;
    for (int i = 0; i < nsets; ++i) {
        OMobj_id set;
        const CellKind* kind = nullptr;
        std::int64_t n = 0;
        if (const int r = read_set(i, words.no_set_second, set, kind, n); r != 1) return r;
        HostArray<std::int64_t> connect;
        FLDget_node_connect(&set, connect.out(), connect.size_out(), OM_GET_ARRAY_RD);
        if (!connect) return f.fail("%s : can not get node_connect.\n");
        // The counts were read once already; a set that changed in between
        // must not make us write past the list.
        if (n < 1 || n > (total - filled) / kind->parts) return f.fail("%s : can not get connect.\n");
        // Never read past the connectivity the host handed out.
        if (connect.size() / kind->nodes < n) return f.fail("%s : node_connect is shorter than ncells(%s).\n", kind->name);
        const std::int64_t* cell = connect.get();
        for (std::int64_t c = 0; c < n; ++c, cell += kind->nodes) {
            // Every node index must name a node of the field.
            for (int k = 0; k < kind->nodes; ++k)
                if (static_cast<std::uint64_t>(cell[k]) >= static_cast<std::uint64_t>(nnodes))
                    return f.fail("%s : node_connect exceeds nnodes.\n");
            kind->split(cell, out);
            out += static_cast<std::int64_t>(kind->parts) * stride;
        }
        filled += n * kind->parts;
    }
    ncells = filled;
    return 1;
}

// Drops the areas of at most min_cells cells and numbers the others from 1
// in ascending order of their labels; nodes of dropped areas and of no cell
// get 0. Cells are read `stride` node indices apart. Writes the count table
// to standard output. Returns 1, or -1 with the message formatted.
int filter_areas(Frame& f, int stride, const FilterWords& words, int min_cells, std::int64_t ncells,
                        const std::int64_t* cells, std::int64_t nnodes, int* labels, int first, int last,
                        int* no_min, int* no_max) {
    // R = last - first; both tables hold R + 1 entries indexed by label.
    // A range that is empty (last below first) cannot be allocated.
    const std::int64_t range = static_cast<std::int64_t>(last) - first;
    Heap<int[]> count = heap_array<int>(range + 1);
    if (!count) return f.fail(words.count_alloc);
    Heap<int[]> number = heap_array<int>(range + 1);
    if (!number) return f.fail(words.number_alloc);
    std::memset(count.get(), 0, static_cast<std::size_t>(range + 1) * sizeof(int));
    std::memset(number.get(), 0, static_cast<std::size_t>(range + 1) * sizeof(int));

    for (std::int64_t c = 0; c < ncells; ++c) {
        int label = labels[cells[c * stride]];
        // A label outside the table counts nowhere; the node check below
        // reports it.
        if (label >= 0 && label <= range) ++count[label];
    }

    *no_min = 1;
    int next = 0;
    for (std::int64_t l = 1; l <= range; ++l) {
        // Signed comparison: an area needs more cells than min_cells.
        if (count[l] > min_cells) {
            number[l] = ++next;
            *no_max = next;
        }
    }
    for (std::int64_t l = 0; l <= range; ++l)
        std::printf("% 5d : % 5d % 5d\n", static_cast<int>(l), count[l], number[l]);

    for (std::int64_t n = 0; n < nnodes; ++n) {
        int label = labels[n];
        if (label < 0 || label > range) return f.fail("%s : area_no exceeds max.\n");
        labels[n] = number[label];
    }
    return 1;
}

// Writes the area numbers as the one integer component "area_no" of
// `out_nd`. Returns 1, or -1 with the message formatted.
int write_area_no(Frame& f, std::int64_t nnodes, const int* labels) {
    OMobj_id out = f.find("out_nd", OM_OBJ_RD);
    FLDset_nnodes(&out, nnodes);
    FLDset_node_data_ncomp(&out, 1);
    FLDset_node_data_type(&out, 0, DTYPE_INT);
    FLDset_node_data_veclen(&out, 0, 1);
    HostArray<int> values;
    velmora::node_data(out, 0, OM_GET_ARRAY_WR, values);
    if (!values) return f.fail("%s : can not get output_value.\n");
    // The host's array holds one value per node; never write past it.
    const std::int64_t n = values.size() < nnodes ? values.size() : nnodes;
    std::memcpy(values.get(), labels, static_cast<std::size_t>(n) * sizeof(int));
    values.release();
    FLDset_node_data_label(&out, 0, "area_no");
    int null_value = 0;
    FLDset_node_null_data(&out, 0, reinterpret_cast<char*>(&null_value), DTYPE_INT);
    FLDset_node_null_flag(&out, 0, 1);
    return 1;
}

}  // namespace

void divide(Frame& f, const Division& d) {
    int min_cells = 0;
    if (!f.require("min_cells", min_cells)) return;
    OMobj_id in;
    std::int64_t nnodes = 0;
    if (!f.input("in", OM_OBJ_RW, in, nnodes)) return;

    Heap<std::int64_t[]> cells;
    std::int64_t ncells = 0;
    if (build_cell_list(f, in, nnodes, d.kinds, d.stride, d.cells, cells, ncells) != 1) return;
    if (d.cells_read) std::printf("%s", d.cells_read);

    Heap<int[]> labels = heap_array<int>(nnodes);
    if (!labels) return (void)f.fail(d.labels_alloc);
    std::fill(labels.get(), labels.get() + nnodes, 0);

    const int end_no = label_cells(ncells, cells.get(), d.stride, nnodes, labels.get(), 0, f.msg);
    if (end_no == 0) return (void)f.fail("%s : can not find area.\n");
    std::printf("end_no   = %d.\n", end_no);
    std::printf("start_no = %d.\n", 0);

    int no_min = 0, no_max = 0;
    if (filter_areas(f, d.stride, d.filter, min_cells, ncells, cells.get(), nnodes, labels.get(), 0, end_no, &no_min,
                     &no_max) != 1)
        return;
    f.set_int("no_min", no_min);
    f.set_int("no_max", no_max);

    if (write_area_no(f, nnodes, labels.get()) != 1) return;
    f.set_done();
}

}  // namespace velmora::division
