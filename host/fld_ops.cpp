// The field library: the host operations FLDget_* and FLDset_* on the
// substitute host's tree. A field is an object of kind Field with the members
// that make_field_members gives it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "field_ref.h"
#include "host.h"

using vhost::Bytes;
using vhost::host;
using vhost::Kind;
using vhost::Object;

namespace {

Object* object(const OMobj_id* id) {
    Object* o = host().by_id(id);
    return o ? o->deref() : nullptr;
}

Object* field(const OMobj_id* id) {
    Object* o = object(id);
    return o && o->kind() == Kind::Field ? o : nullptr;
}

Object* member(Object* o, const char* name) {
    if (!o) return nullptr;
    Object* c = o->child(name);
    return c ? c->deref() : nullptr;
}

// Component comp of a field, or null.
Object* component(const OMobj_id* id, int comp) {
    Object* nd = member(field(id), "node_data");
    if (!nd || comp < 0 || comp >= nd->length()) return nullptr;
    return nd->children()[static_cast<std::size_t>(comp)]->deref();
}

int get_int(Object* o, const char* name, int64_t* out) {
    Object* v = member(o, name);
    if (!v || !v->has_value() || !out) return 0;
    *out = v->int_value();
    return 1;
}

int set_int(Object* o, const char* name, int64_t value) {
    Object* v = member(o, name);
    if (!v) return 0;
    v->set_int(value);
    return 1;
}

// Hands out an array member; *size gets its length.
template <class T>
int hand_out(Object* arr, T** out, int64_t* size) {
    if (!out) return 0;
    *out = nullptr;
    if (!arr || arr->kind() != Kind::Array || !arr->typed()) return 0;
    int64_t n = arr->length();
    if (size) *size = n;
    if (n < 1) return 0;
    *out = static_cast<T*>(host().hand_out(arr->buffer(), arr->data()));
    return 1;
}

int copy_text(const std::string& s, char* buffer, int size) {
    if (!buffer || size < 1) return 0;
    std::size_t n = std::min(s.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, s.data(), n);
    buffer[n] = '\0';
    return 1;
}

// Writes v into *dst in the data type type.
void store_as(int type, double v, char* dst) {
    switch (type) {
        case DTYPE_INT: {
            auto x = static_cast<int32_t>(v);
            std::memcpy(dst, &x, sizeof x);
            break;
        }
        case DTYPE_FLOAT: {
            auto x = static_cast<float>(v);
            std::memcpy(dst, &x, sizeof x);
            break;
        }
        case DTYPE_DOUBLE: std::memcpy(dst, &v, sizeof v); break;
        case DTYPE_LONG: {
            auto x = static_cast<int64_t>(v);
            std::memcpy(dst, &x, sizeof x);
            break;
        }
        case DTYPE_SHORT: {
            auto x = static_cast<int16_t>(v);
            std::memcpy(dst, &x, sizeof x);
            break;
        }
        default: *dst = static_cast<char>(v); break;
    }
}

double load_as(int type, const char* src) {
    switch (type) {
        case DTYPE_INT: {
            int32_t x;
            std::memcpy(&x, src, sizeof x);
            return x;
        }
        case DTYPE_FLOAT: {
            float x;
            std::memcpy(&x, src, sizeof x);
            return x;
        }
        case DTYPE_DOUBLE: {
            double x;
            std::memcpy(&x, src, sizeof x);
            return x;
        }
        case DTYPE_LONG: {
            int64_t x;
            std::memcpy(&x, src, sizeof x);
            return static_cast<double>(x);
        }
        case DTYPE_SHORT: {
            int16_t x;
            std::memcpy(&x, src, sizeof x);
            return x;
        }
        default: return static_cast<unsigned char>(*src);
    }
}

// Coordinates of a uniform grid, from its corner points and dims.
std::shared_ptr<Bytes> uniform_coords(Object* f) {
    int64_t nspace = 0, ndim = 0, nnodes = 0;
    get_int(f, "nspace", &nspace);
    get_int(f, "ndim", &ndim);
    get_int(f, "nnodes", &nnodes);
    Object* dims = member(f, "dims");
    Object* pts = member(f, "points");
    if (nspace < 1 || nspace > 3 || ndim < 1 || ndim > 3 || nnodes < 1 || !dims || !pts) return nullptr;
    if (dims->length() != ndim || pts->length() != 2 * nspace) return nullptr;
    const int64_t* d = dims->as<int64_t>();
    int64_t n = 1;
    for (int64_t a = 0; a < ndim; ++a) n *= std::max<int64_t>(d[a], 1);
    if (n != nnodes) return nullptr;
    const float* p = pts->as<float>();
    auto buf = std::make_shared<Bytes>(static_cast<std::size_t>(n * nspace) * sizeof(float));
    auto* c = reinterpret_cast<float*>(buf->data());
    for (int64_t node = 0; node < n; ++node) {
        int64_t rest = node;
        for (int64_t a = 0; a < nspace; ++a) {
            int64_t idx = 0, len = 1;
            if (a < ndim) {
                len = d[a];
                idx = rest % len;
                rest /= len;
            }
            c[node * nspace + a] = vhost::uniform_coordinate(p[a], p[nspace + a], idx, len);
        }
    }
    return buf;
}

}  // namespace

extern "C" {

int FLDget_nnodes(OMobj_id* id, int64_t* n) { return get_int(field(id), "nnodes", n); }
int FLDset_nnodes(OMobj_id* id, int64_t n) { return n < 0 ? 0 : set_int(field(id), "nnodes", n); }

int FLDget_nspace(OMobj_id* id, int* nspace) {
    int64_t v = 0;
    if (!nspace || !get_int(field(id), "nspace", &v)) return 0;
    *nspace = static_cast<int>(v);
    return 1;
}
int FLDset_nspace(OMobj_id* id, int nspace) { return nspace < 0 ? 0 : set_int(field(id), "nspace", nspace); }

int FLDget_dims(OMobj_id* id, int64_t** dims, int* ndim) {
    if (!dims) return 0;
    *dims = nullptr;
    Object* f = field(id);
    int64_t nd = 0;
    if (!get_int(f, "ndim", &nd) || nd < 1) return 0;
    if (ndim) *ndim = static_cast<int>(nd);
    return hand_out(member(f, "dims"), dims, nullptr);
}

int FLDset_dims(OMobj_id* id, int64_t* dims) {
    Object* arr = member(field(id), "dims");
    if (!arr || !dims) return 0;
    int64_t n = arr->length();
    if (n < 1) return 0;
    std::memcpy(arr->data(), dims, static_cast<std::size_t>(n) * sizeof(int64_t));
    // A structured mesh has as many nodes as the product of its dims, so
    // arrays sized by nnodes (coord, node data) follow new dims at once.
    int64_t nodes = 1;
    for (int64_t a = 0; a < n; ++a) {
        if (dims[a] < 0 || (dims[a] > 0 && nodes > INT64_MAX / dims[a])) return 1;   // leaves nnodes as it was
        nodes *= dims[a];
    }
    set_int(field(id), "nnodes", nodes);
    return 1;
}

int FLDset_ndim(OMobj_id* id, int ndim) { return ndim < 0 ? 0 : set_int(field(id), "ndim", ndim); }

int FLDget_coord(OMobj_id* id, float** coord, int64_t* size, int /*mode*/) {
    Object* f = field(id);
    int64_t uniform = 0;
    if (f && get_int(f, "uniform", &uniform) && uniform && coord) {
        auto buf = uniform_coords(f);
        *coord = nullptr;
        if (!buf || buf->empty()) return 0;
        if (size) *size = static_cast<int64_t>(buf->size() / sizeof(float));
        *coord = static_cast<float*>(host().hand_out(buf, buf->data()));
        return 1;
    }
    return hand_out(member(f, "coord"), coord, size);
}

int FLDget_points(OMobj_id* id, float** points, int64_t* size, int /*mode*/) {
    return hand_out(member(field(id), "points"), points, size);
}

int FLDset_points(OMobj_id* id, float* points, int64_t count, int /*mode*/) {
    Object* arr = member(field(id), "points");
    if (!arr || !points || count < 1) return 0;
    int64_t n = arr->length();
    std::memcpy(arr->data(), points, static_cast<std::size_t>(std::min(n, count)) * sizeof(float));
    return n == count ? 1 : 0;
}

int FLDget_ncell_sets(OMobj_id* id, int* n) {
    int64_t v = 0;
    if (!n || !get_int(field(id), "ncell_sets", &v)) return 0;
    *n = static_cast<int>(v);
    return 1;
}

int FLDset_ncell_sets(OMobj_id* id, int n) {
    Object* f = field(id);
    if (n < 0 || !set_int(f, "ncell_sets", n)) return 0;
    member(f, "cell_set")->fit();
    return 1;
}

int FLDadd_cell_set(OMobj_id* id, const char* type) {
    Object* f = field(id);
    int64_t n = 0;
    if (!type || !get_int(f, "ncell_sets", &n)) return 0;
    set_int(f, "ncell_sets", n + 1);
    Object* sets = member(f, "cell_set");
    if (!sets || sets->length() != n + 1) return 0;
    Object* set = sets->children().back()->deref();
    member(set, "cell_type")->set_str(type);
    set_int(set, "cell_nnodes", vhost::cell_type_nodes(type));
    return 1;
}

int FLDget_cell_set(OMobj_id* id, int index, OMobj_id* set) {
    Object* sets = member(field(id), "cell_set");
    if (!sets || !set || index < 0 || index >= sets->length()) return 0;
    Object* s = sets->children()[static_cast<std::size_t>(index)]->deref();
    if (!s) return 0;
    *set = host().id_of(*s);
    return 1;
}

int FLDget_cell_set_name(OMobj_id* set, char* buffer, int size) {
    Object* t = member(object(set), "cell_type");
    if (!t || !t->has_value()) return 0;
    return copy_text(t->str_value(), buffer, size);
}

int FLDget_ncells(OMobj_id* set, int64_t* n) { return get_int(object(set), "ncells", n); }
int FLDset_ncells(OMobj_id* set, int64_t n) { return n < 0 ? 0 : set_int(object(set), "ncells", n); }
int FLDset_npolys(OMobj_id* set, int64_t n) { return n < 0 ? 0 : set_int(object(set), "npolys", n); }

int FLDget_node_connect(OMobj_id* set, int64_t** connect, int64_t* size, int /*mode*/) {
    return hand_out(member(object(set), "node_connect_list"), connect, size);
}

int FLDget_poly_connect(OMobj_id* set, int64_t** connect, int64_t* size, int /*mode*/) {
    return hand_out(member(object(set), "poly_connect_list"), connect, size);
}

int FLDget_node_data_ncomp(OMobj_id* id, int* n) {
    int64_t v = 0;
    if (!n || !get_int(field(id), "nnode_data", &v)) return 0;
    *n = static_cast<int>(v);
    return 1;
}

int FLDset_node_data_ncomp(OMobj_id* id, int n) {
    Object* f = field(id);
    if (n < 0 || !set_int(f, "nnode_data", n)) return 0;
    member(f, "node_data")->fit();
    return 1;
}

int FLDget_node_data_type(OMobj_id* id, int comp, int* type) {
    Object* v = member(component(id, comp), "values");
    if (!v || !v->typed() || !type) return 0;
    *type = v->elem_type();
    return 1;
}

int FLDset_node_data_type(OMobj_id* id, int comp, int type) {
    Object* v = member(component(id, comp), "values");
    if (!v || vhost::elem_size(type) == 0) return 0;
    v->retype(type);
    return 1;
}

int FLDget_node_data_veclen(OMobj_id* id, int comp, int* veclen) {
    int64_t v = 0;
    if (!veclen || !get_int(component(id, comp), "veclen", &v)) return 0;
    *veclen = static_cast<int>(v);
    return 1;
}

int FLDset_node_data_veclen(OMobj_id* id, int comp, int veclen) {
    return veclen < 0 ? 0 : set_int(component(id, comp), "veclen", veclen);
}

int FLDget_node_data_label(OMobj_id* id, int comp, char* buffer, int size) {
    Object* l = member(component(id, comp), "labels");
    return l ? copy_text(l->str_value(), buffer, size) : 0;
}

int FLDset_node_data_label(OMobj_id* id, int comp, const char* label) {
    Object* l = member(component(id, comp), "labels");
    if (!l || !label) return 0;
    l->set_str(label);
    return 1;
}

int FLDget_node_data_units(OMobj_id* id, int comp, char* buffer, int size) {
    Object* u = member(component(id, comp), "units");
    return u ? copy_text(u->str_value(), buffer, size) : 0;
}

int FLDset_node_data_units(OMobj_id* id, int comp, const char* units) {
    Object* u = member(component(id, comp), "units");
    if (!u || !units) return 0;
    u->set_str(units);
    return 1;
}

int FLDset_node_data_comp(OMobj_id* id, int comp, int veclen, const char* label, const char* units) {
    return FLDset_node_data_veclen(id, comp, veclen) && FLDset_node_data_label(id, comp, label ? label : "") &&
           FLDset_node_data_units(id, comp, units ? units : "");
}

int FLDset_node_data_id(OMobj_id* id, int comp, int data_id) { return set_int(component(id, comp), "id", data_id); }

int FLDget_node_data(OMobj_id* id, int comp, int* type, char** data, int64_t* size, int /*mode*/) {
    Object* v = member(component(id, comp), "values");
    if (type && v && v->typed()) *type = v->elem_type();
    return hand_out(v, data, size);
}

int FLDget_node_data_minmax(OMobj_id* id, int comp, char* min, char* max) {
    Object* c = component(id, comp);
    Object* v = member(c, "values");
    if (!v || !v->typed() || !min || !max || v->length() < 1) return 0;
    int64_t flag = 0;
    get_int(c, "null_flag", &flag);
    Object* nv = member(c, "null_value");
    bool skip_null = flag && nv && nv->has_value();
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    const auto* bytes = reinterpret_cast<const char*>(v->data());
    std::size_t es = vhost::elem_size(v->elem_type());
    for (int64_t i = 0; i < v->length(); ++i) {
        double x = load_as(v->elem_type(), bytes + static_cast<std::size_t>(i) * es);
        if (std::isnan(x) || (skip_null && x == nv->real_value())) continue;
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    if (lo > hi) lo = hi = 0.0;   // nothing but nulls
    store_as(v->elem_type(), lo, min);
    store_as(v->elem_type(), hi, max);
    return 1;
}

int FLDget_node_null_data(OMobj_id* id, int comp, int* null_flag, char* null_value) {
    Object* c = component(id, comp);
    Object* v = member(c, "values");
    if (!c) return 0;
    int64_t flag = 0;
    get_int(c, "null_flag", &flag);
    if (null_flag) *null_flag = static_cast<int>(flag);
    Object* nv = member(c, "null_value");
    if (null_value && nv && nv->has_value() && v && v->typed()) store_as(v->elem_type(), nv->real_value(), null_value);
    return 1;
}

int FLDset_node_null_data(OMobj_id* id, int comp, char* null_value, int type) {
    Object* nv = member(component(id, comp), "null_value");
    if (!nv || !null_value || vhost::elem_size(type) == 0) return 0;
    nv->set_real(load_as(type, null_value));
    return 1;
}

int FLDset_node_null_flag(OMobj_id* id, int comp, int null_flag) {
    return set_int(component(id, comp), "null_flag", null_flag);
}

}  // extern "C"
