// FieldRef: a concise C++ API over fields of the tree (the modules use the
// host operations of fld_ops.cpp instead): building them (tests, networks,
// declarations) and reading them back (tests, writers).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tree.h"

namespace vhost {

class FieldRef {
public:
    explicit FieldRef(Object& field);
    Object& object() const { return f_; }

    // --- building; each returns *this ---
    FieldRef& nnodes(std::int64_t n);
    FieldRef& nspace(int n);
    FieldRef& dims(const std::vector<std::int64_t>& d);   // sets ndim too
    // A uniform grid: dims, nnodes = product of dims, nspace = dims count,
    // corner points (lo..., hi...).
    FieldRef& uniform(const std::vector<std::int64_t>& d, const std::vector<float>& corners);
    FieldRef& coord(const std::vector<float>& xyz);       // nnodes x nspace values
    // Adds a cell set of a type with its node connectivity (cells x nodes per cell).
    FieldRef& cells(const std::string& type, const std::vector<std::int64_t>& connect);
    FieldRef& polylines(const std::vector<std::int64_t>& pairs);
    // The cell type given to cell sets created by FLDset_ncell_sets.
    FieldRef& cell_set_template(const std::string& type);
    // Adds a component; returns its index through comp when asked.
    FieldRef& floats(const std::string& label, const std::vector<float>& v, int veclen = 1, const std::string& units = "");
    FieldRef& ints(const std::string& label, const std::vector<std::int32_t>& v, int veclen = 1, const std::string& units = "");
    // Declares component comp (without values) of a type: outputs whose type
    // the host's declaration fixes.
    FieldRef& declare_component(int comp, int type, int veclen, const std::string& label = "");
    FieldRef& null_value(int comp, double value, int flag = 1);
    // Moves the last component of from, which has as many nodes, to the end
    // of this field's components under label; from loses it.
    FieldRef& move_last_component(FieldRef& from, const std::string& label);
    FieldRef& xform_array(const std::string& name, const std::vector<float>& v);   // "mat", "xlate", ...

    // --- building in place, for large fields: storage sized from nnodes
    // (and nspace, or the cell count) that the caller fills ---
    std::span<float> coord_buffer();
    std::span<std::int64_t> add_cells(const std::string& type, std::int64_t ncells);
    std::span<float> add_floats(const std::string& label, int veclen = 1, const std::string& units = "");
    // A float component whose values are read where the caller holds them
    // (Object::borrow_values); as many as the nodes times veclen.
    void lend_floats(const std::string& label, std::span<const float> values, int veclen = 1,
                     const std::string& units = "");
    std::span<std::int32_t> add_ints(const std::string& label, int veclen = 1, const std::string& units = "");

    // --- reading ---
    std::int64_t nnodes() const;
    int nspace() const;
    int ncomp() const;
    std::vector<std::int64_t> dims() const;
    std::vector<float> coord() const;
    std::vector<float> points() const;
    int ncell_sets() const;
    Object& cell_set(int i) const;
    std::string cell_type(int i) const;
    std::vector<std::int64_t> connect(int i) const;
    std::vector<std::int64_t> poly_connect(int i) const;
    Object& component(int comp) const;
    int type(int comp) const;            // -1 when untyped
    int veclen(int comp) const;
    std::string label(int comp) const;
    std::string units(int comp) const;
    std::vector<float> float_values(int comp) const;
    std::vector<std::int32_t> int_values(int comp) const;
    // The values in place, without a copy; empty when the type differs.
    std::span<const float> float_view(int comp) const;
    std::span<const std::int32_t> int_view(int comp) const;
    bool null_flag(int comp) const;
    double null_value(int comp) const;
    std::vector<float> xform(const std::string& name) const;

private:
    Object& member(const char* name) const;
    Object& f_;
};

// The coordinate of node idx of the len nodes along an axis of a uniform
// grid from lo to hi, as the host's coordinates of such a grid give it.
inline float uniform_coordinate(float lo, float hi, std::int64_t idx, std::int64_t len) {
    return len > 1 ? lo + (hi - lo) * static_cast<float>(idx) / static_cast<float>(len - 1) : lo;
}

// Values of an array object copied out, for tests and writers.
std::vector<float> floats_of(Object& array);
std::vector<std::int64_t> longs_of(Object& array);
std::vector<std::int32_t> ints_of(Object& array);
// The values of a 64-bit array in place; empty for another type.
std::span<const std::int64_t> longs_view(Object& array);
void set_floats(Object& array, const std::vector<float>& v);
void set_ints(Object& array, const std::vector<std::int32_t>& v);
void set_longs(Object& array, const std::vector<std::int64_t>& v);

}  // namespace vhost
