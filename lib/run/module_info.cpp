#include "run/module_info.h"

#include "run/values.h"

namespace velmora {

using vhost::Kind;
using vhost::Object;

namespace {

std::string shape_text(const Object& o) {
    if (!o.shaped()) return "[]";
    std::string s;
    for (const auto& t : o.array_shape()) {
        std::string f = t.path.empty() ? std::to_string(t.constant) : t.path;
        s += (s.empty() ? "" : " x ") + f;
    }
    return "[" + s + "]";
}

}  // namespace

std::string kind_text(const Object& o) {
    switch (o.kind()) {
        case Kind::Group: return "group";
        case Kind::Field: return "field";
        case Kind::Int: return "int";
        case Kind::Long: return "long";
        case Kind::Real: return "real";
        case Kind::String: return "string";
        case Kind::Array: return (o.typed() ? type_name(o.elem_type()) : std::string("array")) + shape_text(o);
        case Kind::StrArray: return "string" + shape_text(o);
        case Kind::GroupArray: return (o.element_template() && o.element_template()->kind() == Kind::Field ? "field" : "group") + shape_text(o);
        case Kind::Link: return "link to " + o.target();
    }
    return "?";
}

std::string default_text(const Object& o) {
    if (!o.has_value()) return "";
    switch (o.kind()) {
        case Kind::Int:
        case Kind::Long: return " = " + std::to_string(o.int_value());
        case Kind::Real: return " = " + Json(o.real_value()).dump();
        case Kind::String: return " = " + in_quotes(o.str_value());
        default: return "";
    }
}

const char* role_text(vhost::Role r) {
    switch (r) {
        case vhost::Role::In: return "in";
        case vhost::Role::Out: return "out";
        case vhost::Role::InOut: return "in/out";
        case vhost::Role::None: return "";
    }
    return "";
}

}  // namespace velmora
