// The substitute host's object tree: groups, fields, scalar values, typed
// arrays whose length follows other values of the tree, string arrays, arrays
// of groups and links. Small, dependency-free, and owned by vhost::Host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "large_memory.h"

namespace vhost {

class Host;

enum class Kind : std::uint8_t { Group, Field, Int, Long, Real, String, Array, StrArray, GroupArray, Link };

// Whether a declared object is read or written by its module; used to check
// and document networks, not by the modules.
enum class Role : std::uint8_t { None, In, Out, InOut };

// One factor of an array length: a constant, or the integer value found at a
// path resolved from the array's parent upwards ("nnodes", "olabel.nnodes").
struct Term {
    std::int64_t constant = 1;
    std::string path;
};
using Shape = std::vector<Term>;
Shape shape(std::initializer_list<Term> terms);
inline Term term(std::string path) { return Term{1, std::move(path)}; }
inline Term term(std::int64_t constant) { return Term{constant, {}}; }

std::size_t elem_size(int type);
const char* kind_name(Kind kind);

// The bytes of an array: memory of its own (zeroed), or memory it borrows:
// a volume analyzed where its caller holds it. Borrowed bytes are never
// written by the tree's owner and never freed by it; whoever lends them keeps
// them alive and unchanged for as long as the tree holds them. A copy owns
// its bytes.
class Bytes {
public:
    explicit Bytes(std::size_t n) : own_(n), data_(own_.data()), size_(n) {}
    Bytes(const Bytes& o) : own_(o.data_, o.data_ + o.size_), data_(own_.data()), size_(o.size_) {}
    Bytes& operator=(const Bytes&) = delete;
    static std::shared_ptr<Bytes> borrow(const std::byte* p, std::size_t n) {
        auto b = std::shared_ptr<Bytes>(new Bytes(0));
        b->data_ = const_cast<std::byte*>(p);
        b->size_ = n;
        return b;
    }
    std::byte* data() { return data_; }
    const std::byte* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool borrowed() const { return size_ > 0 && own_.empty(); }

private:
    LargeVector<std::byte> own_;
    std::byte* data_;
    std::size_t size_;
};

class Object {
    static const std::string& no_text();

public:
    // Every object belongs to one host, which numbers it and resolves links.
    Object(Host& host, Kind kind, std::string name);
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    ~Object();

    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    Object* parent() const { return parent_; }
    std::int64_t id() const { return id_; }
    Role role() const { return role_; }
    void set_role(Role role) { role_ = role; }
    bool is_group() const { return kind_ == Kind::Group || kind_ == Kind::Field; }
    // The path from the root, as "inst.sparam[2].aav".
    std::string path() const;

    // Module instances remember their module.
    const std::string& module() const { return extra_ ? extra_->module : no_text(); }

    // --- children (groups, fields, arrays of groups) ---
    const std::vector<std::unique_ptr<Object>>& children() const { return children_; }
    Object* child(std::string_view name) const;   // no link is followed
    // Resolves "a.b[2].c" relative to this object, following links.
    Object* find(std::string_view path);
    Object& at(std::string_view path);             // throws std::out_of_range
    // Follows links to the object that holds the data (null on a broken link).
    Object* deref();

    // Declaration helpers; each returns the new child.
    Object& add_group(std::string name, Role role = Role::None);
    Object& add_field(std::string name, Role role = Role::None);
    Object& add_int(std::string name, std::optional<std::int64_t> value = {}, Role role = Role::None);
    Object& add_long(std::string name, std::optional<std::int64_t> value = {}, Role role = Role::None);
    Object& add_real(std::string name, std::optional<double> value = {}, Role role = Role::None);
    Object& add_string(std::string name, std::optional<std::string> value = {}, Role role = Role::None);
    Object& add_array(std::string name, int type, Shape shape, Role role = Role::None);
    Object& add_free_array(std::string name, int type, Role role = Role::None);
    Object& add_str_array(std::string name, Shape shape, Role role = Role::None);
    Object& add_free_str_array(std::string name, Role role = Role::None);
    // Returns the element template; elements are copies of it named "name[i]".
    Object& add_group_array(std::string name, Shape shape, Role role = Role::None);
    // An array of fields sized by a value; returns the element template.
    Object& add_field_array(std::string name, Shape shape, Role role = Role::None);
    Object& add_link(std::string name, std::string target, Role role = Role::None);
    // Drops every child after the first n, the newest ones.
    void truncate_children(std::size_t n);
    // Replaces a child by a link to target (a path from the root).
    Object& make_link(std::string_view name, std::string target);
    // Replaces the child by a deep copy of source under the same name,
    // leaving out the objects below source for which skip says true.
    Object& replace_with_copy(std::string_view name, const Object& source, bool (*skip)(const Object&) = nullptr);

    // --- scalar values ---
    bool has_value() const { return has_value_; }
    void clear_value() { has_value_ = false; }
    std::int64_t int_value() const { return ival_; }
    double real_value() const { return rval_; }
    const std::string& str_value() const { return extra_ ? extra_->text : no_text(); }
    void set_int(std::int64_t v);
    void set_real(double v);
    void set_str(std::string v);

    // --- arrays ---
    int elem_type() const { return elem_; }
    bool typed() const { return typed_; }
    void retype(int type);                       // drops the values when the type changes
    void untype() { typed_ = false; buf_.reset(); }
    bool shaped() const { return shaped_; }
    const Shape& array_shape() const { return shape_; }
    // The length the shape asks for now (arrays, string arrays, arrays of groups).
    std::int64_t wanted_length() const;
    // Brings storage to the wanted length, keeping the leading values.
    void fit();
    std::int64_t length();                        // after fit()
    std::byte* data() { return buf_ ? buf_->data() : nullptr; }
    std::shared_ptr<Bytes> buffer() { return buf_; }
    // Takes the values of another array of the same type and length, which
    // is left without values.
    void take_values(Object& from);
    // Reads its values from bytes it does not own, as many as its shape asks
    // for (std::invalid_argument otherwise); see Bytes.
    void borrow_values(const std::byte* p, std::size_t bytes);
    // Sets an unshaped array's length (shaped arrays follow their shape).
    void resize(std::int64_t n);
    template <class T> T* as() { return reinterpret_cast<T*>(data()); }
    // Values converted to double, for inspection and writing files.
    std::vector<double> values_as_double();
    void assign_doubles(const std::vector<double>& v);   // converts to the element type

    // --- string arrays ---
    std::vector<std::string>& strings() { fit(); return extra().strings; }

    // --- links ---
    const std::string& target() const { return extra_ ? extra_->target : no_text(); }

    // --- arrays of groups ---
    Object* element_template() const { return extra_ ? extra_->element.get() : nullptr; }

private:
    friend class Host;
    friend std::unique_ptr<Object> clone(const Object& src, bool (*skip)(const Object&));
    Object& adopt(std::unique_ptr<Object> child);
    Object* resolve_term(const Term& t) const;

    // What only some kinds of object hold, kept apart so that the many
    // small objects of a tree (a field has some forty, an entry of a
    // statistic group some thirty) stay small.
    struct Extra {
        std::string module;                  // module instances
        std::string text;                    // strings
        std::string target;                  // links
        std::vector<std::string> strings;    // string arrays
        std::unique_ptr<Object> element;     // arrays of groups: the element template
    };
    Extra& extra();

    Kind kind_;
    Role role_ = Role::None;
    bool has_value_ = false;
    bool typed_ = true;
    bool shaped_ = false;
    int elem_ = 4;
    std::string name_;
    Object* parent_ = nullptr;
    Host* host_;
    std::int64_t id_ = 0;
    std::vector<std::unique_ptr<Object>> children_;

    std::int64_t ival_ = 0;
    double rval_ = 0.0;

    Shape shape_;
    std::int64_t free_length_ = 0;
    std::shared_ptr<Bytes> buf_;
    std::unique_ptr<Extra> extra_;
};

std::unique_ptr<Object> clone(const Object& src, bool (*skip)(const Object&) = nullptr);

// Builds the members every field has: nnodes, nspace, ndim, dims, points,
// coord, uniform, ncell_sets, cell_set[], nnode_data, node_data[] and xform.
void make_field_members(Object& field);

// Nodes per cell of a cell type name, 0 when unknown.
int cell_type_nodes(std::string_view type);

// Splits "a.b[2].c" into ("a", -1), ("b", 2), ("c", -1); false when malformed.
struct PathStep {
    std::string name;
    std::int64_t index = -1;
};
bool parse_path(std::string_view path, std::vector<PathStep>& steps);

}  // namespace vhost
