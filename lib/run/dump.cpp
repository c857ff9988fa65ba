#include "run/dump.h"

#include "run/field_json.h"
#include "host.h"
#include "run/values.h"

namespace velmora {

namespace {

using vhost::Kind;
using vhost::Object;

// Every field of the tree under o, links not followed.
void collect_fields(Object& o, Json& fields) {
    switch (o.kind()) {
        case Kind::Field: fields[o.path()] = field_json(o); return;
        case Kind::Group:
            for (const auto& c : o.children()) collect_fields(*c, fields);
            return;
        case Kind::GroupArray:
            o.fit();
            for (const auto& c : o.children()) collect_fields(*c, fields);
            return;
        default: return;
    }
}

// The value of a parameter or output; links are noted under their path
// relative to the instance and show as null where they stand.
Json value_json(Object& o, const std::string& rel, Json& links) {
    switch (o.kind()) {
        case Kind::Link: links[rel] = o.target(); return nullptr;
        case Kind::Field: return Json{{"$field", o.path()}};
        case Kind::Int:
        case Kind::Long: return o.has_value() ? Json(o.int_value()) : Json();
        case Kind::Real: return o.has_value() ? real_json(o.real_value()) : Json();
        case Kind::String: return o.has_value() ? Json(o.str_value()) : Json();
        case Kind::Array: return o.typed() ? array_json(o) : Json();
        case Kind::StrArray: return Json(o.strings());
        case Kind::Group: {
            Json j = Json::object();
            for (const auto& c : o.children()) j[c->name()] = value_json(*c, rel + "." + c->name(), links);
            return j;
        }
        case Kind::GroupArray: {
            Json j = Json::array();
            o.fit();
            for (std::size_t i = 0; i < o.children().size(); ++i)
                j.push_back(value_json(*o.children()[i], rel + "[" + std::to_string(i) + "]", links));
            return j;
        }
    }
    return nullptr;
}

Json instance_json(Object& inst) {
    Json links = Json::object(), params = Json::object(), outputs = Json::object();
    for (const auto& c : inst.children()) {
        Json v = value_json(*c, c->name(), links);
        if (c->kind() == Kind::Link) continue;
        bool out = c->role() == vhost::Role::Out || c->role() == vhost::Role::InOut;
        (out ? outputs : params)[c->name()] = std::move(v);
    }
    Json j = Json::object();
    j["module"] = inst.module();
    j["links"] = std::move(links);
    j["params"] = std::move(params);
    j["outputs"] = std::move(outputs);
    return j;
}

std::int64_t count_values(Object& o) {
    switch (o.kind()) {
        case Kind::Array: return o.typed() ? o.wanted_length() : 0;
        case Kind::StrArray: return o.wanted_length();
        case Kind::Group:
        case Kind::Field:
        case Kind::GroupArray: {
            if (o.kind() == Kind::GroupArray) o.fit();
            std::int64_t n = 0;
            for (const auto& c : o.children()) n += count_values(*c);
            return n;
        }
        default: return 0;
    }
}

}  // namespace

std::int64_t dump_values() { return count_values(vhost::host().root()); }

Json dump_tree(const RunRecord& run) {
    vhost::Host& host = vhost::host();
    Json fields = Json::object(), instances = Json::object();
    for (const auto& c : host.root().children()) {
        collect_fields(*c, fields);
        if (!c->module().empty()) instances[c->name()] = instance_json(*c);
    }
    Json calls = Json::array();
    for (const auto& c : run.calls) calls.push_back({{"instance", c.instance}, {"entry", c.entry}, {"result", c.result}});
    Json messages = Json::array();
    for (const auto& r : host.reports()) messages.push_back({{"object", r.object}, {"severity", r.severity}, {"text", r.text}});

    Json record = Json::object();
    record["network"] = run.network;
    record["calls"] = std::move(calls);
    record["messages"] = std::move(messages);
    record["arrays_unreleased"] = host.outstanding_arrays();
    record["instances"] = std::move(instances);
    Json j = Json::object();
    j["fields"] = std::move(fields);
    j["run"] = std::move(record);
    return j;
}

}  // namespace velmora
