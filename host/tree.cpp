#include "tree.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "include/om.h"
#include "host.h"

namespace vhost {

Shape shape(std::initializer_list<Term> terms) { return Shape(terms); }

std::size_t elem_size(int type) {
    switch (type) {
        case DTYPE_BYTE:
        case DTYPE_CHAR: return 1;
        case DTYPE_SHORT: return 2;
        case DTYPE_INT:
        case DTYPE_FLOAT: return 4;
        case DTYPE_DOUBLE:
        case DTYPE_LONG: return 8;
        default: return 0;
    }
}

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Group: return "group";
        case Kind::Field: return "field";
        case Kind::Int: return "int";
        case Kind::Long: return "long";
        case Kind::Real: return "real";
        case Kind::String: return "string";
        case Kind::Array: return "array";
        case Kind::StrArray: return "string array";
        case Kind::GroupArray: return "group array";
        case Kind::Link: return "link";
    }
    return "?";
}

int cell_type_nodes(std::string_view type) {
    if (type == "Point") return 1;
    if (type == "Line" || type == "Polyline") return 2;
    if (type == "Tri") return 3;
    if (type == "Quad" || type == "Tet") return 4;
    if (type == "Pyr") return 5;
    if (type == "Prism") return 6;
    if (type == "Hex") return 8;
    return 0;
}

bool parse_path(std::string_view path, std::vector<PathStep>& steps) {
    steps.clear();
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t end = path.find_first_of(".[", i);
        PathStep step;
        step.name = std::string(path.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
        if (step.name.empty()) return false;
        i = end;
        if (i != std::string_view::npos && path[i] == '[') {
            std::size_t close = path.find(']', i);
            if (close == std::string_view::npos || close == i + 1) return false;
            std::int64_t n = 0;
            for (std::size_t k = i + 1; k < close; ++k) {
                if (path[k] < '0' || path[k] > '9' || n > (INT64_MAX - 9) / 10) return false;
                n = n * 10 + (path[k] - '0');
            }
            step.index = n;
            i = close + 1;
        }
        steps.push_back(std::move(step));
        if (i == std::string_view::npos || i == path.size()) return true;
        if (path[i] != '.') return false;
        ++i;
    }
    return false;
}

const std::string& Object::no_text() {
    static const std::string none;
    return none;
}

Object::Extra& Object::extra() {
    if (!extra_) extra_ = std::make_unique<Extra>();
    return *extra_;
}

Object::Object(Host& host, Kind kind, std::string name) : kind_(kind), name_(std::move(name)), host_(&host) {
    id_ = host.enroll(this);
}

Object::~Object() { host_->withdraw(id_); }

std::string Object::path() const {
    const Object* p = parent_;
    if (p && p->kind_ == Kind::GroupArray) p = p->parent_;   // elements are named "a[i]"
    if (!p) return name_;
    std::string pp = p->path();
    return pp.empty() ? name_ : pp + "." + name_;
}

Object* Object::child(std::string_view name) const {
    for (const auto& c : children_)
        if (c->name_ == name) return c.get();
    return nullptr;
}

Object* Object::deref() {
    if (kind_ != Kind::Link) return this;
    // A link's target path may pass through further links; a cycle of links
    // ends in nothing instead of recursing for ever.
    int& depth = host_->link_depth_;
    if (depth > 64) return nullptr;
    ++depth;
    Object* o = host_->root().find(target());
    --depth;
    return o;
}

Object* Object::find(std::string_view path) {
    std::vector<PathStep> steps;
    if (!parse_path(path, steps)) return nullptr;
    Object* o = deref();
    for (const auto& s : steps) {
        if (!o) return nullptr;
        Object* c = o->child(s.name);
        if (!c) return nullptr;
        c = c->deref();
        if (!c) return nullptr;
        if (s.index >= 0) {
            if (c->kind_ != Kind::GroupArray) return nullptr;
            c->fit();
            if (s.index >= static_cast<std::int64_t>(c->children_.size())) return nullptr;
            c = c->children_[static_cast<std::size_t>(s.index)]->deref();
        }
        o = c;
    }
    return o;
}

Object& Object::at(std::string_view path) {
    Object* o = find(path);
    if (!o) throw std::out_of_range("no object " + std::string(path) + " under " + this->path());
    return *o;
}

Object& Object::adopt(std::unique_ptr<Object> child) {
    child->parent_ = this;
    for (auto& c : children_)
        if (c->name_ == child->name_) {
            c = std::move(child);
            return *c;
        }
    children_.push_back(std::move(child));
    return *children_.back();
}

void Object::truncate_children(std::size_t n) {
    while (children_.size() > n) children_.pop_back();
}

namespace {
std::unique_ptr<Object> make(Host& host, Kind kind, std::string name, Role role) {
    auto o = std::make_unique<Object>(host, kind, std::move(name));
    o->set_role(role);
    return o;
}
}  // namespace

Object& Object::add_group(std::string name, Role role) { return adopt(make(*host_, Kind::Group, std::move(name), role)); }

Object& Object::add_field(std::string name, Role role) {
    Object& f = adopt(make(*host_, Kind::Field, std::move(name), role));
    make_field_members(f);
    return f;
}

Object& Object::add_int(std::string name, std::optional<std::int64_t> value, Role role) {
    Object& o = adopt(make(*host_, Kind::Int, std::move(name), role));
    if (value) o.set_int(*value);
    return o;
}

Object& Object::add_long(std::string name, std::optional<std::int64_t> value, Role role) {
    Object& o = adopt(make(*host_, Kind::Long, std::move(name), role));
    if (value) o.set_int(*value);
    return o;
}

Object& Object::add_real(std::string name, std::optional<double> value, Role role) {
    Object& o = adopt(make(*host_, Kind::Real, std::move(name), role));
    if (value) o.set_real(*value);
    return o;
}

Object& Object::add_string(std::string name, std::optional<std::string> value, Role role) {
    Object& o = adopt(make(*host_, Kind::String, std::move(name), role));
    if (value) o.set_str(std::move(*value));
    return o;
}

Object& Object::add_array(std::string name, int type, Shape shape, Role role) {
    Object& o = adopt(make(*host_, Kind::Array, std::move(name), role));
    o.elem_ = type;
    o.shaped_ = true;
    o.shape_ = std::move(shape);
    return o;
}

Object& Object::add_free_array(std::string name, int type, Role role) {
    Object& o = adopt(make(*host_, Kind::Array, std::move(name), role));
    o.elem_ = type;
    return o;
}

Object& Object::add_str_array(std::string name, Shape shape, Role role) {
    Object& o = adopt(make(*host_, Kind::StrArray, std::move(name), role));
    o.shaped_ = true;
    o.shape_ = std::move(shape);
    return o;
}

Object& Object::add_free_str_array(std::string name, Role role) {
    return adopt(make(*host_, Kind::StrArray, std::move(name), role));
}

Object& Object::add_group_array(std::string name, Shape shape, Role role) {
    Object& o = adopt(make(*host_, Kind::GroupArray, name, role));
    o.shaped_ = true;
    o.shape_ = std::move(shape);
    o.extra().element = std::make_unique<Object>(*host_, Kind::Group, name + "[]");
    return *o.extra_->element;
}

Object& Object::add_field_array(std::string name, Shape shape, Role role) {
    Object& o = adopt(make(*host_, Kind::GroupArray, name, role));
    o.shaped_ = true;
    o.shape_ = std::move(shape);
    o.extra().element = std::make_unique<Object>(*host_, Kind::Field, name + "[]");
    make_field_members(*o.extra_->element);
    return *o.extra_->element;
}

Object& Object::add_link(std::string name, std::string target, Role role) {
    Object& o = adopt(make(*host_, Kind::Link, std::move(name), role));
    o.extra().target = std::move(target);
    return o;
}

Object& Object::make_link(std::string_view name, std::string target) {
    Object* old = child(name);
    Role role = old ? old->role_ : Role::None;
    return add_link(std::string(name), std::move(target), role);
}

Object& Object::replace_with_copy(std::string_view name, const Object& source, bool (*skip)(const Object&)) {
    Object* old = child(name);
    Role role = old ? old->role_ : source.role_;
    auto copy = clone(source, skip);
    copy->name_ = std::string(name);
    copy->role_ = role;
    return adopt(std::move(copy));
}

void Object::take_values(Object& from) {
    // The lengths are compared without fitting this array: its own values
    // are never made.
    const auto bytes = static_cast<std::size_t>(wanted_length()) * elem_size(elem_);
    if (from.elem_ != elem_ || from.length() * static_cast<std::int64_t>(elem_size(elem_)) != static_cast<std::int64_t>(bytes))
        throw std::invalid_argument(from.path() + " cannot give its values to " + path());
    buf_ = std::move(from.buf_);
    from.buf_.reset();
}

void Object::borrow_values(const std::byte* p, std::size_t bytes) {
    if (kind_ != Kind::Array || !typed_ || bytes != static_cast<std::size_t>(wanted_length()) * elem_size(elem_))
        throw std::invalid_argument(path() + " cannot read " + std::to_string(bytes) + " bytes as its values");
    buf_ = Bytes::borrow(p, bytes);
}

void Object::set_int(std::int64_t v) {
    if (kind_ == Kind::Real) {
        set_real(static_cast<double>(v));
        return;
    }
    ival_ = kind_ == Kind::Int ? static_cast<std::int32_t>(v) : v;
    has_value_ = true;
}

void Object::set_real(double v) {
    if (kind_ == Kind::Int || kind_ == Kind::Long) {
        set_int(static_cast<std::int64_t>(v));
        return;
    }
    rval_ = v;
    has_value_ = true;
}

void Object::set_str(std::string v) {
    extra().text = std::move(v);
    has_value_ = true;
}

void Object::retype(int type) {
    if (typed_ && elem_ == type) return;
    elem_ = type;
    typed_ = true;
    buf_.reset();
}

Object* Object::resolve_term(const Term& t) const {
    std::vector<PathStep> steps;
    if (!parse_path(t.path, steps)) return nullptr;
    for (Object* scope = parent_; scope; scope = scope->parent_) {
        if (scope->kind_ == Kind::GroupArray) continue;
        if (scope->child(steps.front().name)) return scope->find(t.path);
    }
    return nullptr;
}

std::int64_t Object::wanted_length() const {
    if (!shaped_) {
        if (kind_ == Kind::StrArray) return extra_ ? static_cast<std::int64_t>(extra_->strings.size()) : 0;
        if (kind_ == Kind::GroupArray) return static_cast<std::int64_t>(children_.size());
        return free_length_;
    }
    std::int64_t n = 1;
    for (const auto& t : shape_) {
        std::int64_t f = t.constant;
        if (!t.path.empty()) {
            Object* v = resolve_term(t);
            f = (v && (v->kind_ == Kind::Int || v->kind_ == Kind::Long) && v->has_value_) ? v->ival_ : 0;
        }
        if (f <= 0) return 0;
        if (n > INT64_MAX / f) return 0;   // absurd sizes count as none
        n *= f;
    }
    return n;
}

void Object::fit() {
    std::int64_t n = wanted_length();
    switch (kind_) {
        case Kind::Array: {
            if (!typed_) return;
            std::size_t bytes = static_cast<std::size_t>(n) * elem_size(elem_);
            if (buf_ && buf_->size() == bytes) return;
            if (!buf_ && bytes == 0) return;
            // A fresh buffer: arrays handed out earlier keep the old one alive.
            auto fresh = std::make_shared<Bytes>(bytes);
            if (buf_ && !buf_->empty() && bytes > 0) std::memcpy(fresh->data(), buf_->data(), std::min(bytes, buf_->size()));
            buf_ = std::move(fresh);
            return;
        }
        case Kind::StrArray:
            if (n > 0 || extra_) extra().strings.resize(static_cast<std::size_t>(n));
            return;
        case Kind::GroupArray: {
            if (!shaped_) return;
            auto want = static_cast<std::size_t>(n);
            if (children_.size() > want) children_.resize(want);
            while (children_.size() < want) {
                auto e = clone(*element_template());
                e->name_ = name_ + "[" + std::to_string(children_.size()) + "]";
                e->role_ = role_;
                e->parent_ = this;
                children_.push_back(std::move(e));
            }
            return;
        }
        default: return;
    }
}

std::int64_t Object::length() {
    fit();
    if (kind_ == Kind::Array) {
        std::size_t es = elem_size(elem_);
        return buf_ && es ? static_cast<std::int64_t>(buf_->size() / es) : 0;
    }
    if (kind_ == Kind::StrArray) return extra_ ? static_cast<std::int64_t>(extra_->strings.size()) : 0;
    if (kind_ == Kind::GroupArray) return static_cast<std::int64_t>(children_.size());
    return 0;
}

void Object::resize(std::int64_t n) {
    if (shaped_) return;
    if (kind_ == Kind::StrArray) {
        extra().strings.resize(static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
        return;
    }
    free_length_ = std::max<std::int64_t>(n, 0);
    fit();
}

std::vector<double> Object::values_as_double() {
    std::int64_t n = length();
    std::vector<double> out(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        auto k = static_cast<std::size_t>(i);
        switch (elem_) {
            case DTYPE_BYTE:
            case DTYPE_CHAR: out[k] = static_cast<double>(as<unsigned char>()[k]); break;
            case DTYPE_SHORT: out[k] = as<std::int16_t>()[k]; break;
            case DTYPE_INT: out[k] = as<std::int32_t>()[k]; break;
            case DTYPE_FLOAT: out[k] = as<float>()[k]; break;
            case DTYPE_DOUBLE: out[k] = as<double>()[k]; break;
            case DTYPE_LONG: out[k] = static_cast<double>(as<std::int64_t>()[k]); break;
            default: break;
        }
    }
    return out;
}

void Object::assign_doubles(const std::vector<double>& v) {
    if (!shaped_) resize(static_cast<std::int64_t>(v.size()));
    std::int64_t n = std::min<std::int64_t>(length(), static_cast<std::int64_t>(v.size()));
    for (std::int64_t i = 0; i < n; ++i) {
        auto k = static_cast<std::size_t>(i);
        switch (elem_) {
            case DTYPE_BYTE:
            case DTYPE_CHAR: as<unsigned char>()[k] = static_cast<unsigned char>(v[k]); break;
            case DTYPE_SHORT: as<std::int16_t>()[k] = static_cast<std::int16_t>(v[k]); break;
            case DTYPE_INT: as<std::int32_t>()[k] = static_cast<std::int32_t>(v[k]); break;
            case DTYPE_FLOAT: as<float>()[k] = static_cast<float>(v[k]); break;
            case DTYPE_DOUBLE: as<double>()[k] = v[k]; break;
            case DTYPE_LONG: as<std::int64_t>()[k] = static_cast<std::int64_t>(v[k]); break;
            default: break;
        }
    }
}

std::unique_ptr<Object> clone(const Object& src, bool (*skip)(const Object&)) {
    auto o = std::make_unique<Object>(*src.host_, src.kind_, src.name_);
    o->role_ = src.role_;
    o->has_value_ = src.has_value_;
    o->ival_ = src.ival_;
    o->rval_ = src.rval_;
    o->elem_ = src.elem_;
    o->typed_ = src.typed_;
    o->shaped_ = src.shaped_;
    o->shape_ = src.shape_;
    o->free_length_ = src.free_length_;
    if (src.buf_) o->buf_ = std::make_shared<Bytes>(*src.buf_);
    if (src.extra_) {
        const Object::Extra& from = *src.extra_;
        Object::Extra& to = o->extra();
        to.module = from.module;
        to.text = from.text;
        to.target = from.target;
        to.strings = from.strings;
        if (from.element) to.element = clone(*from.element, skip);
    }
    for (const auto& c : src.children_) {
        if (skip && skip(*c)) continue;
        auto cc = clone(*c, skip);
        cc->parent_ = o.get();
        o->children_.push_back(std::move(cc));
    }
    return o;
}

void make_field_members(Object& f) {
    f.add_long("nnodes", 0);
    f.add_int("nspace");
    f.add_int("ndim");
    f.add_array("dims", DTYPE_LONG, shape({term("ndim")}));
    f.add_array("points", DTYPE_FLOAT, shape({term(2), term("nspace")}));
    f.add_array("coord", DTYPE_FLOAT, shape({term("nnodes"), term("nspace")}));
    // 1: coordinates follow from points and dims (a uniform grid).
    f.add_int("uniform", 0);
    f.add_int("ncell_sets", 0);
    Object& cs = f.add_group_array("cell_set", shape({term("ncell_sets")}));
    cs.add_string("cell_type");
    cs.add_int("cell_nnodes", 0);
    cs.add_long("ncells", 0);
    cs.add_array("node_connect_list", DTYPE_LONG, shape({term("ncells"), term("cell_nnodes")}));
    cs.add_long("npolys", 0);
    cs.add_array("poly_connect_list", DTYPE_LONG, shape({term("npolys"), term(2)}));
    f.add_int("nnode_data", 0);
    Object& t = f.add_group_array("node_data", shape({term("nnode_data")}));
    t.add_int("veclen");
    Object& values = t.add_array("values", DTYPE_FLOAT, shape({term("nnodes"), term("veclen")}));
    values.untype();   // typed by FLDset_node_data_type or the declaration
    t.add_string("labels", "");
    t.add_string("units", "");
    t.add_int("id");
    t.add_int("null_flag", 0);
    t.add_real("null_value");
    Object& x = f.add_group("xform");
    Object& mat = x.add_array("mat", DTYPE_FLOAT, shape({term(16)}));
    mat.fit();
    for (int i = 0; i < 4; ++i) mat.as<float>()[i * 5] = 1.0f;
    for (const char* n : {"xlate", "center", "dcenter", "ocenter"}) x.add_array(n, DTYPE_FLOAT, shape({term(3)})).fit();
}

}  // namespace vhost
