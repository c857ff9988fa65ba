// Object manager operations on the substitute host's tree.
#include <cstdlib>
#include <cstring>

#include "host.h"

using vhost::host;
using vhost::Kind;
using vhost::Object;

extern "C" {
OMobj_id OMnull_obj = {0, 0};
}

namespace {

// The object an id stands for, links followed; null for a stale or null id.
Object* obj(const OMobj_id* id) {
    Object* o = host().by_id(id);
    return o ? o->deref() : nullptr;
}

// The child name of obj, links followed.
Object* named(const OMobj_id* id, OMobj_name name) {
    Object* o = obj(id);
    const std::string* text = host().name_text(name);
    if (!o || !text) return nullptr;
    Object* c = o->child(*text);
    return c ? c->deref() : nullptr;
}

bool is_integer(const Object* o) { return o->kind() == Kind::Int || o->kind() == Kind::Long; }

OMobj_id id_or_null(const Object* o) { return o ? host().id_of(*o) : OMnull_obj; }

}  // namespace

extern "C" {

OMobj_name OMstr_to_name(const char* text) { return text ? host().intern(text) : 0; }

OMobj_id OMfind_subobj(OMobj_id* parent, OMobj_name name, int /*mode*/) {
    Object* c = named(parent, name);
    if (c && c->kind() == Kind::GroupArray) c->fit();
    return id_or_null(c);
}

OMobj_id OMfind_str_subobj(OMobj_id* parent, const char* path, int /*mode*/) {
    Object* o = obj(parent);
    return id_or_null(o && path ? o->find(path) : nullptr);
}

int OMget_name_int_val(OMobj_id* id, OMobj_name name, int* value) {
    Object* o = named(id, name);
    if (!o || !value || !o->has_value() || !is_integer(o)) return 0;
    *value = static_cast<int>(o->int_value());
    return 1;
}

int OMget_name_long_val(OMobj_id* id, OMobj_name name, int64_t* value) {
    Object* o = named(id, name);
    if (!o || !value || !o->has_value() || !is_integer(o)) return 0;
    *value = o->int_value();
    return 1;
}

int OMget_name_real_val(OMobj_id* id, OMobj_name name, double* value) {
    Object* o = named(id, name);
    if (!o || !value || !o->has_value()) return 0;
    if (o->kind() == Kind::Real)
        *value = o->real_value();
    else if (is_integer(o))
        *value = static_cast<double>(o->int_value());
    else
        return 0;
    return 1;
}

int OMget_name_str_val(OMobj_id* id, OMobj_name name, char** value, int size) {
    Object* o = named(id, name);
    if (!o || !value || !o->has_value() || o->kind() != Kind::String) return 0;
    const std::string& s = o->str_value();
    if (size <= 0) {
        char* copy = static_cast<char*>(std::malloc(s.size() + 1));
        if (!copy) return 0;
        std::memcpy(copy, s.c_str(), s.size() + 1);
        *value = copy;
        return 1;
    }
    if (!*value) return 0;
    std::size_t n = std::min(s.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(*value, s.data(), n);
    (*value)[n] = '\0';
    return 1;
}

int OMset_name_int_val(OMobj_id* id, OMobj_name name, int value) {
    Object* o = named(id, name);
    if (!o || (!is_integer(o) && o->kind() != Kind::Real)) return 0;
    o->set_int(value);
    return 1;
}

int OMset_name_real_val(OMobj_id* id, OMobj_name name, double value) {
    Object* o = named(id, name);
    if (!o || (!is_integer(o) && o->kind() != Kind::Real)) return 0;
    o->set_real(value);
    return 1;
}

int OMset_name_str_val(OMobj_id* id, OMobj_name name, const char* value) {
    Object* o = named(id, name);
    if (!o || !value || o->kind() != Kind::String) return 0;
    o->set_str(value);
    return 1;
}

void* OMret_name_array_ptr(OMobj_id* id, OMobj_name name, int /*mode*/, int64_t* size, int* type) {
    Object* o = named(id, name);
    if (!o || o->kind() != Kind::Array || !o->typed()) return nullptr;
    int64_t n = o->length();
    if (size) *size = n;
    if (type) *type = o->elem_type();
    if (n < 1) return nullptr;
    return host().hand_out(o->buffer(), o->data());
}

int OMget_str_array_val(OMobj_id* id, int64_t index, char** value, int size) {
    Object* o = obj(id);
    if (!o || !value || o->kind() != Kind::StrArray) return 0;
    auto& s = o->strings();
    if (index < 0 || index >= static_cast<int64_t>(s.size())) return 0;
    const std::string& t = s[static_cast<std::size_t>(index)];
    if (size <= 0) {
        char* copy = static_cast<char*>(std::malloc(t.size() + 1));
        if (!copy) return 0;
        std::memcpy(copy, t.c_str(), t.size() + 1);
        *value = copy;
        return 1;
    }
    if (!*value) return 0;
    std::size_t n = std::min(t.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(*value, t.data(), n);
    (*value)[n] = '\0';
    return 1;
}

int OMset_str_array_val(OMobj_id* id, int64_t index, const char* value) {
    Object* o = obj(id);
    if (!o || !value || index < 0 || o->kind() != Kind::StrArray) return 0;
    auto& s = o->strings();
    if (index >= static_cast<int64_t>(s.size())) {
        if (o->shaped()) return 0;   // the declared length is fixed by the tree
        o->resize(index + 1);
    }
    o->strings()[static_cast<std::size_t>(index)] = value;
    return 1;
}

const char* OMret_obj_name(OMobj_id* id) {
    Object* o = host().by_id(id);
    return o ? o->name().c_str() : "";
}

int OMstatus_check(int percent, const char* text, int* interrupt) {
    if (interrupt) *interrupt = 0;
    host().progress({vhost::ProgressEvent::Kind::Check, percent, 0, host().keep_text(text ? text : "")});
    return 1;
}

int OMpush_status_range(int low, int high) {
    host().progress({vhost::ProgressEvent::Kind::Push, low, high, {}});
    return 1;
}

int OMpop_status_range(void) {
    host().progress({vhost::ProgressEvent::Kind::Pop, 0, 0, {}});
    return 1;
}

}  // extern "C"
