#include "field_ref.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "include/om.h"

namespace vhost {

namespace {

template <class T>
std::vector<T> copy_out(Object& a) {
    std::int64_t n = a.length();
    std::vector<T> v(static_cast<std::size_t>(n));
    if (n > 0 && a.typed() && elem_size(a.elem_type()) == sizeof(T))
        std::memcpy(v.data(), a.data(), v.size() * sizeof(T));
    return v;
}

template <class T>
void copy_in(Object& a, const std::vector<T>& v) {
    if (!a.shaped()) a.resize(static_cast<std::int64_t>(v.size()));
    std::int64_t n = a.length();
    if (n != static_cast<std::int64_t>(v.size()))
        throw std::invalid_argument(a.path() + " holds " + std::to_string(n) + " values, not " + std::to_string(v.size()));
    if (n > 0) std::memcpy(a.data(), v.data(), v.size() * sizeof(T));
}

template <class T>
std::span<T> storage(Object& a, int type) {
    a.fit();
    if (!a.typed() || a.elem_type() != type || a.length() < 1) return {};
    return {a.as<T>(), static_cast<std::size_t>(a.length())};
}

}  // namespace

std::vector<float> floats_of(Object& a) { return copy_out<float>(a); }
std::vector<std::int64_t> longs_of(Object& a) { return copy_out<std::int64_t>(a); }
std::vector<std::int32_t> ints_of(Object& a) { return copy_out<std::int32_t>(a); }
std::span<const std::int64_t> longs_view(Object& a) { return storage<std::int64_t>(a, DTYPE_LONG); }
void set_floats(Object& a, const std::vector<float>& v) { copy_in(a, v); }
void set_ints(Object& a, const std::vector<std::int32_t>& v) { copy_in(a, v); }
void set_longs(Object& a, const std::vector<std::int64_t>& v) { copy_in(a, v); }

FieldRef::FieldRef(Object& field) : f_(*field.deref()) {
    if (f_.kind() != Kind::Field) throw std::invalid_argument(field.path() + " is not a field");
}

Object& FieldRef::member(const char* name) const { return f_.at(name); }

FieldRef& FieldRef::nnodes(std::int64_t n) {
    member("nnodes").set_int(n);
    return *this;
}

FieldRef& FieldRef::nspace(int n) {
    member("nspace").set_int(n);
    return *this;
}

FieldRef& FieldRef::dims(const std::vector<std::int64_t>& d) {
    member("ndim").set_int(static_cast<std::int64_t>(d.size()));
    set_longs(member("dims"), d);
    return *this;
}

FieldRef& FieldRef::uniform(const std::vector<std::int64_t>& d, const std::vector<float>& corners) {
    std::int64_t n = 1;
    for (auto x : d) n *= x;
    dims(d).nnodes(n).nspace(static_cast<int>(d.size()));
    set_floats(member("points"), corners);
    member("uniform").set_int(1);
    return *this;
}

FieldRef& FieldRef::coord(const std::vector<float>& xyz) {
    set_floats(member("coord"), xyz);
    return *this;
}

FieldRef& FieldRef::cells(const std::string& type, const std::vector<std::int64_t>& connect) {
    const int per = std::max(cell_type_nodes(type), 1);
    add_cells(type, static_cast<std::int64_t>(connect.size()) / per);
    set_longs(cell_set(ncell_sets() - 1).at("node_connect_list"), connect);
    return *this;
}

FieldRef& FieldRef::polylines(const std::vector<std::int64_t>& pairs) {
    Object& n = member("ncell_sets");
    n.set_int(n.int_value() + 1);
    Object& set = cell_set(ncell_sets() - 1);
    set.at("cell_type").set_str("Polyline");
    set.at("cell_nnodes").set_int(2);
    set.at("npolys").set_int(static_cast<std::int64_t>(pairs.size()) / 2);
    set_longs(set.at("poly_connect_list"), pairs);
    return *this;
}

FieldRef& FieldRef::cell_set_template(const std::string& type) {
    Object& t = *member("cell_set").element_template();
    t.at("cell_type").set_str(type);
    t.at("cell_nnodes").set_int(cell_type_nodes(type));
    return *this;
}

FieldRef& FieldRef::declare_component(int comp, int type, int veclen, const std::string& label) {
    Object& n = member("nnode_data");
    if (n.int_value() <= comp) n.set_int(comp + 1);
    Object& c = component(comp);
    c.at("veclen").set_int(veclen);
    c.at("values").retype(type);
    c.at("labels").set_str(label);
    return *this;
}

FieldRef& FieldRef::floats(const std::string& label, const std::vector<float>& v, int veclen, const std::string& units) {
    add_floats(label, veclen, units);
    set_floats(component(ncomp() - 1).at("values"), v);
    return *this;
}

FieldRef& FieldRef::ints(const std::string& label, const std::vector<std::int32_t>& v, int veclen, const std::string& units) {
    add_ints(label, veclen, units);
    set_ints(component(ncomp() - 1).at("values"), v);
    return *this;
}

FieldRef& FieldRef::null_value(int comp, double value, int flag) {
    component(comp).at("null_value").set_real(value);
    component(comp).at("null_flag").set_int(flag);
    return *this;
}

FieldRef& FieldRef::move_last_component(FieldRef& from, const std::string& label) {
    const int last = from.ncomp() - 1;
    if (last < 0 || from.nnodes() != nnodes()) throw std::invalid_argument(from.f_.path() + " has no component to give");
    const int comp = ncomp();
    declare_component(comp, from.type(last), from.veclen(last), label);
    component(comp).at("units").set_str(from.units(last));
    if (from.null_flag(last)) null_value(comp, from.null_value(last));
    component(comp).at("values").take_values(from.component(last).at("values"));
    from.member("nnode_data").set_int(last);
    return *this;
}

FieldRef& FieldRef::xform_array(const std::string& name, const std::vector<float>& v) {
    set_floats(f_.at("xform").at(name), v);
    return *this;
}

std::span<float> FieldRef::coord_buffer() { return storage<float>(member("coord"), DTYPE_FLOAT); }

std::span<std::int64_t> FieldRef::add_cells(const std::string& type, std::int64_t ncells) {
    int per = cell_type_nodes(type);
    if (per < 1 || type == "Polyline") throw std::invalid_argument("unknown cell type " + type);
    Object& n = member("ncell_sets");
    n.set_int(n.int_value() + 1);
    Object& set = cell_set(ncell_sets() - 1);
    set.at("cell_type").set_str(type);
    set.at("cell_nnodes").set_int(per);
    set.at("ncells").set_int(ncells);
    return storage<std::int64_t>(set.at("node_connect_list"), DTYPE_LONG);
}

std::span<float> FieldRef::add_floats(const std::string& label, int veclen, const std::string& units) {
    int comp = ncomp();
    declare_component(comp, DTYPE_FLOAT, veclen, label);
    component(comp).at("units").set_str(units);
    return storage<float>(component(comp).at("values"), DTYPE_FLOAT);
}

void FieldRef::lend_floats(const std::string& label, std::span<const float> values, int veclen,
                           const std::string& units) {
    int comp = ncomp();
    declare_component(comp, DTYPE_FLOAT, veclen, label);
    component(comp).at("units").set_str(units);
    component(comp).at("values").borrow_values(reinterpret_cast<const std::byte*>(values.data()),
                                               values.size_bytes());
}

std::span<std::int32_t> FieldRef::add_ints(const std::string& label, int veclen, const std::string& units) {
    int comp = ncomp();
    declare_component(comp, DTYPE_INT, veclen, label);
    component(comp).at("units").set_str(units);
    return storage<std::int32_t>(component(comp).at("values"), DTYPE_INT);
}

std::int64_t FieldRef::nnodes() const { return member("nnodes").int_value(); }
int FieldRef::nspace() const { return static_cast<int>(member("nspace").int_value()); }
int FieldRef::ncomp() const { return static_cast<int>(member("nnode_data").int_value()); }
std::vector<std::int64_t> FieldRef::dims() const { return longs_of(member("dims")); }
std::vector<float> FieldRef::coord() const { return floats_of(member("coord")); }
std::vector<float> FieldRef::points() const { return floats_of(member("points")); }
int FieldRef::ncell_sets() const { return static_cast<int>(member("ncell_sets").int_value()); }

Object& FieldRef::cell_set(int i) const {
    Object& sets = member("cell_set");
    if (i < 0 || i >= sets.length()) throw std::out_of_range(f_.path() + " has no cell set " + std::to_string(i));
    return *sets.children()[static_cast<std::size_t>(i)];
}

std::string FieldRef::cell_type(int i) const { return cell_set(i).at("cell_type").str_value(); }
std::vector<std::int64_t> FieldRef::connect(int i) const { return longs_of(cell_set(i).at("node_connect_list")); }
std::vector<std::int64_t> FieldRef::poly_connect(int i) const { return longs_of(cell_set(i).at("poly_connect_list")); }

Object& FieldRef::component(int comp) const {
    Object& nd = member("node_data");
    if (comp < 0 || comp >= nd.length()) throw std::out_of_range(f_.path() + " has no component " + std::to_string(comp));
    return *nd.children()[static_cast<std::size_t>(comp)];
}

int FieldRef::type(int comp) const {
    Object& v = component(comp).at("values");
    return v.typed() ? v.elem_type() : -1;
}
int FieldRef::veclen(int comp) const { return static_cast<int>(component(comp).at("veclen").int_value()); }
std::string FieldRef::label(int comp) const { return component(comp).at("labels").str_value(); }
std::string FieldRef::units(int comp) const { return component(comp).at("units").str_value(); }
std::vector<float> FieldRef::float_values(int comp) const { return floats_of(component(comp).at("values")); }
std::vector<std::int32_t> FieldRef::int_values(int comp) const { return ints_of(component(comp).at("values")); }
std::span<const float> FieldRef::float_view(int comp) const {
    return storage<float>(component(comp).at("values"), DTYPE_FLOAT);
}
std::span<const std::int32_t> FieldRef::int_view(int comp) const {
    return storage<std::int32_t>(component(comp).at("values"), DTYPE_INT);
}
bool FieldRef::null_flag(int comp) const { return component(comp).at("null_flag").int_value() != 0; }
double FieldRef::null_value(int comp) const { return component(comp).at("null_value").real_value(); }
std::vector<float> FieldRef::xform(const std::string& name) const { return floats_of(f_.at("xform").at(name)); }

}  // namespace vhost
