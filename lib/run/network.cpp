#include "run/network.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "run/field_json.h"
#include "run/json_write.h"
#include "host.h"
#include "run/values.h"

namespace velmora {

namespace {

using vhost::Kind;
using vhost::Object;
using vhost::PathStep;

// Arrays of fields named in a file ("slice.oplanes[3]") get at most this
// many elements: enough for any display, and a typo cannot make millions.
constexpr std::int64_t max_elements = 10'000;

std::vector<PathStep> steps_of(const std::string& path, const Place& p, const std::string& what, bool key) {
    std::vector<PathStep> steps;
    if (!vhost::parse_path(path, steps))
        p.fail(in_quotes(path) + " is not a valid " + what + ": names joined by \".\", elements as name[i]", key);
    return steps;
}

std::string join_steps(const std::vector<PathStep>& steps, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n && i < steps.size(); ++i) {
        if (i) s += '.';
        s += steps[i].name;
        if (steps[i].index >= 0) s += "[" + std::to_string(steps[i].index) + "]";
    }
    return s;
}

// " (its length follows nsurf)" for an array sized by values of the tree.
std::string length_note(const Object& array) {
    std::string terms;
    for (const auto& t : array.array_shape())
        if (!t.path.empty()) terms += (terms.empty() ? "" : " x ") + t.path;
    return terms.empty() ? "" : " (its length follows " + terms + ")";
}

// The most elements an array of groups of an instance may have, and a typed
// or string array: far above any list of picks, areas or planes, and above
// the coordinates of the largest field; a mistaken count that asks for more
// is refused before anything is allocated.
constexpr std::int64_t max_group_elements = 100'000;
constexpr std::int64_t max_array_elements = 3 * max_nodes;

// Empty, or why the length the array asks for now is refused.
std::string size_problem(const Object& array, const std::string& name) {
    std::int64_t limit = array.kind() == Kind::GroupArray ? max_group_elements : max_array_elements;
    std::int64_t n = array.wanted_length();
    if (n <= limit) return "";
    return in_quotes(name) + " would have " + std::to_string(n) + " elements" + length_note(array) + "; at most " +
           std::to_string(limit);
}

// The first array under o (links not followed) whose length is refused.
std::string first_size_problem(const Object& o) {
    for (const auto& c : o.children()) {
        if (c->kind() == Kind::Array || c->kind() == Kind::StrArray || c->kind() == Kind::GroupArray)
            if (std::string problem = size_problem(*c, c->path()); !problem.empty()) return problem;
        if (c->is_group() || c->kind() == Kind::GroupArray)
            if (std::string problem = first_size_problem(*c); !problem.empty()) return problem;
    }
    return "";
}

struct Found {
    Object* object = nullptr;
    std::string problem;
};

// Follows steps from base through declared members and links. An element
// past the current length of an array of groups is a problem, unless
// pending is true: then it stands for an element the run will make, and the
// walk goes on in the array's element template. A link at the end of the
// path is followed unless stop_at_link is true: a value is never set through
// a link, which would change the object at its other end.
Found walk(Object& base, const std::vector<PathStep>& steps, bool pending, const std::string& base_label,
           bool stop_at_link = false) {
    Object* o = base.deref();
    std::string at;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const PathStep& s = steps[i];
        if (!o) return {nullptr, in_quotes(at) + " leads nowhere"};
        Object* c = o->child(s.name);
        if (!c) {
            std::string where = at.empty() ? base_label : in_quotes(at);
            return {nullptr, where + " has no " + in_quotes(s.name) + suggestion(s.name, child_names(*o)) +
                                 "; it has: " + child_list(*o)};
        }
        at += (at.empty() ? "" : ".") + s.name;
        if (stop_at_link && i + 1 == steps.size() && s.index < 0 && c->kind() == Kind::Link) return {c, {}};
        Object* d = c->deref();
        if (!d) return {nullptr, in_quotes(at) + " is a link to " + in_quotes(c->target()) + ", which leads nowhere"};
        if (s.index >= 0) {
            if (d->kind() != Kind::GroupArray) return {nullptr, in_quotes(at) + " is " + kind_phrase(*d) + ", not an array of groups"};
            if (std::string problem = size_problem(*d, at); !problem.empty()) return {nullptr, problem};
            std::int64_t n = d->length();
            std::string array = at;
            at += "[" + std::to_string(s.index) + "]";
            if (s.index < n) {
                d = d->children()[static_cast<std::size_t>(s.index)]->deref();
                if (!d) return {nullptr, in_quotes(at) + " leads nowhere"};
            } else if (pending && d->element_template()) {
                d = d->element_template();
            } else {
                return {nullptr, in_quotes(at) + " does not exist: " + in_quotes(array) + " has " + std::to_string(n) +
                                     " elements" + length_note(*d)};
            }
        }
        if (i + 1 < steps.size() && !d->is_group())
            return {nullptr, in_quotes(at) + " is " + kind_phrase(*d) + ", which has no members"};
        o = d;
    }
    return {o, {}};
}

bool plain_name(const std::string& name) {
    std::vector<PathStep> steps;
    return vhost::parse_path(name, steps) && steps.size() == 1 && steps[0].index < 0;
}

bool overlaps(const std::string& a, const std::string& b) {
    auto under = [](const std::string& x, const std::string& y) {
        return y.size() > x.size() && y.compare(0, x.size(), x) == 0 && (y[x.size()] == '.' || y[x.size()] == '[');
    };
    return a == b || under(a, b) || under(b, a);
}

// Whether an object declared as decl can be linked to target.
bool compatible(Kind decl, const Object& target) {
    switch (decl) {
        case Kind::Field: return target.kind() == Kind::Field;
        case Kind::Group: return target.is_group();
        case Kind::Int:
        case Kind::Long: return target.kind() == Kind::Int || target.kind() == Kind::Long;
        case Kind::Real: return target.kind() == Kind::Int || target.kind() == Kind::Long || target.kind() == Kind::Real;
        default: return target.kind() == decl;
    }
}

// --- fields -----------------------------------------------------------

class FieldLoader {
public:
    explicit FieldLoader(Object& root) : root_(root) {}

    void load(const Json& fields, const Place& p) {
        if (!fields.is_object()) p.fail("\"fields\" maps field names to fields, found " + describe(fields));
        // Arrays named with an index get the length of the largest index.
        std::map<std::string, std::pair<std::int64_t, bool>> arrays;   // path -> (length, holds fields)
        for (const auto& [name, desc] : fields.items()) {
            Place q = p / name;
            auto steps = steps_of(name, q, "field name", true);
            for (std::size_t k = 0; k < steps.size(); ++k) {
                if (steps[k].index < 0) continue;
                if (steps[k].index >= max_elements)
                    q.fail("the index in " + in_quotes(name) + " is above " + std::to_string(max_elements - 1), true);
                std::string path = join_steps(steps, k) + (k ? "." : "") + steps[k].name;
                bool leaf = k + 1 == steps.size();
                auto [it, fresh] = arrays.try_emplace(path, steps[k].index + 1, leaf);
                if (!fresh && it->second.second != leaf)
                    q.fail(in_quotes(path) + " holds fields in one name and groups in another", true);
                it->second.first = std::max(it->second.first, steps[k].index + 1);
            }
        }
        for (const auto& [name, desc] : fields.items()) {
            Place q = p / name;
            auto steps = steps_of(name, q, "field name", true);
            Object* parent = &root_;
            for (std::size_t k = 0; k < steps.size(); ++k) {
                const PathStep& s = steps[k];
                bool last = k + 1 == steps.size();
                std::string path = join_steps(steps, k) + (k ? "." : "") + s.name;
                Object* c = parent->child(s.name);
                if (s.index < 0) {
                    if (last) {
                        if (c) q.fail("the name " + in_quotes(name) + " is taken" + taken_by(*c), true);
                        load_field(desc, q, parent->add_field(s.name));
                        break;
                    }
                    if (!c) {
                        c = &parent->add_group(s.name);
                        made_.insert(c);
                    } else if (!made_.count(c)) {
                        q.fail("the name " + in_quotes(name) + " passes through " + in_quotes(path) + taken_by(*c), true);
                    }
                    parent = c;
                    continue;
                }
                if (!c) {
                    auto [len, holds_fields] = arrays.at(path);
                    auto shape = vhost::shape({vhost::term(std::int64_t{len})});
                    if (holds_fields)
                        parent->add_field_array(s.name, shape);
                    else
                        parent->add_group_array(s.name, shape);
                    c = parent->child(s.name);
                    c->fit();
                    made_.insert(c);
                } else if (c->kind() != Kind::GroupArray || !made_.count(c)) {
                    q.fail("the name " + in_quotes(name) + " passes through " + in_quotes(path) + taken_by(*c), true);
                }
                Object* e = c->children()[static_cast<std::size_t>(s.index)].get();
                if (last) {
                    if (!loaded_.insert(e).second) q.fail("the field " + in_quotes(name) + " is given twice", true);
                    load_field(desc, q, *e);
                    break;
                }
                parent = e;
            }
        }
    }

private:
    static std::string taken_by(Object& o) {
        if (!o.module().empty()) return " by the instance " + in_quotes(o.path()) + " (" + o.module() + ")";
        return " by " + kind_phrase(o) + " " + in_quotes(o.path());
    }
    Object& root_;
    std::set<Object*> made_;     // groups and arrays made for field names
    std::set<Object*> loaded_;   // elements of arrays of fields already loaded
};

// --- instances --------------------------------------------------------

struct LinkRecord {
    std::string instance;
    std::string key;
    std::string target;
    Kind kind = Kind::Group;
    std::string phrase;   // what the linked object was
    Place place;          // of the target value
};

void set_members(Object& group, const Json& v, const Place& p, const std::string& name) {
    for (const auto& [k, item] : v.items()) {
        Place q = p / k;
        auto steps = steps_of(k, q, "parameter path", true);
        Found f = walk(group, steps, false, in_quotes(name), true);
        if (!f.object) q.fail(f.problem, true);
        set_value(*f.object, item, q, name + "." + k);
    }
}

Object* instance_named(const std::string& name) {
    Object* o = vhost::host().root().child(name);
    return o && !o->module().empty() ? o : nullptr;
}

std::vector<std::string> instance_names() {
    std::vector<std::string> names;
    for (const auto& c : vhost::host().root().children())
        if (!c->module().empty()) names.push_back(c->name());
    return names;
}

void apply_override(const std::string& text) {
    Place p("--set " + text);
    std::size_t eq = text.find('=');
    if (eq == std::string::npos) p.fail("expected INSTANCE.PARAM=VALUE");
    std::string lhs = text.substr(0, eq), rhs = text.substr(eq + 1);
    auto steps = steps_of(lhs, p, "parameter path", false);
    Object* inst = instance_named(steps[0].name);
    if (!inst || steps[0].index >= 0)
        p.fail("there is no instance " + in_quotes(steps[0].name) + suggestion(steps[0].name, instance_names()));
    if (steps.size() < 2) p.fail("name a parameter of " + in_quotes(steps[0].name) + ": INSTANCE.PARAM=VALUE");
    std::vector<PathStep> rest(steps.begin() + 1, steps.end());
    Found f = walk(*inst, rest, false, inst->module(), true);
    if (!f.object) p.fail(f.problem);
    // A string parameter takes the text as it stands; everything else is
    // read as JSON, so that lists and objects can be given too.
    Json value;
    if (f.object->kind() == Kind::String && (rhs.empty() || rhs.front() != '"')) {
        value = rhs;
    } else {
        try {
            value = Json::parse(rhs);
        } catch (const Json::exception&) {
            value = rhs;
        }
    }
    set_value(*f.object, value, p, lhs);
    if (std::string problem = first_size_problem(*inst); !problem.empty()) p.fail(problem);
}

// The run order: each instance after those it reads from, else file order.
std::vector<std::size_t> order(const std::vector<std::string>& names,
                               const std::vector<std::map<std::size_t, Place>>& deps) {
    std::vector<std::size_t> out;
    std::vector<bool> done(names.size(), false);
    while (out.size() < names.size()) {
        bool progressed = false;
        for (std::size_t i = 0; i < names.size() && !progressed; ++i) {
            if (done[i]) continue;
            bool ready = std::all_of(deps[i].begin(), deps[i].end(), [&](const auto& d) { return done[d.first]; });
            if (ready) {
                done[i] = true;
                out.push_back(i);
                progressed = true;
            }
        }
        if (progressed) continue;
        // Every remaining instance waits for another: follow the waits from
        // the first of them until one repeats.
        std::size_t i = 0;
        while (done[i]) ++i;
        std::vector<std::size_t> chain;
        std::vector<bool> seen(names.size(), false);
        while (!seen[i]) {
            seen[i] = true;
            chain.push_back(i);
            for (const auto& d : deps[i])
                if (!done[d.first]) {
                    i = d.first;
                    break;
                }
        }
        auto start = std::find(chain.begin(), chain.end(), i);
        std::string cycle;
        for (auto it = start; it != chain.end(); ++it) cycle += in_quotes(names[*it]) + " -> ";
        cycle += in_quotes(names[i]);
        std::size_t next = start + 1 != chain.end() ? *(start + 1) : i;
        deps[*start].at(next).fail("the links make a cycle: " + cycle +
                                   " (each instance would have to run after the one it reads from)");
    }
    return out;
}

}  // namespace

void set_value(Object& o, const Json& v, const Place& p, const std::string& name) {
    auto wrong = [&](const std::string& wanted) {
        p.fail(in_quotes(name) + " is " + kind_phrase(o) + " and takes " + wanted + ", not " + describe(v));
    };
    switch (o.kind()) {
        case Kind::Int:
        case Kind::Long:
            if (v.is_null()) return o.clear_value();
            if (!v.is_number()) wrong("a whole number");
            o.set_int(o.kind() == Kind::Int ? integer_of(v, p, INT32_MIN, INT32_MAX, in_quotes(name))
                                            : integer_of(v, p, INT64_MIN, INT64_MAX, in_quotes(name)));
            return;
        case Kind::Real:
            if (v.is_null()) return o.clear_value();
            if (!is_real(v)) wrong("a number (or \"nan\", \"inf\", \"-inf\")");
            o.set_real(real_of(v, p));
            return;
        case Kind::String:
            if (v.is_null()) return o.clear_value();
            if (!v.is_string()) wrong("a text");
            o.set_str(raw_bytes(v.get<std::string>()));
            return;
        case Kind::Array: {
            if (!v.is_array()) wrong("a list of numbers");
            if (!o.typed()) p.fail(in_quotes(name) + " has no data type yet and cannot be given values");
            if (!o.shaped()) o.resize(static_cast<std::int64_t>(v.size()));
            // Lengths are compared before the array is made: a length that a
            // mistaken count asks for is never allocated.
            auto n = static_cast<std::uint64_t>(o.wanted_length());
            if (v.size() != n)
                p.fail(in_quotes(name) + " holds " + std::to_string(n) + " values" + length_note(o) + "; the list has " +
                       std::to_string(v.size()));
            o.fit();
            store_list(o, v, p);
            return;
        }
        case Kind::StrArray: {
            if (!v.is_array() || !std::all_of(v.begin(), v.end(), [](const Json& s) { return s.is_string(); }))
                wrong("a list of texts");
            if (!o.shaped()) o.resize(static_cast<std::int64_t>(v.size()));
            auto n = static_cast<std::uint64_t>(o.wanted_length());
            if (v.size() != n)
                p.fail(in_quotes(name) + " holds " + std::to_string(n) + " texts" + length_note(o) + "; the list has " +
                       std::to_string(v.size()));
            auto& strings = o.strings();
            for (std::size_t i = 0; i < v.size(); ++i) strings[i] = raw_bytes(v[i].get<std::string>());
            return;
        }
        case Kind::Group:
            if (!v.is_object()) wrong("an object of member values");
            set_members(o, v, p, name);
            return;
        case Kind::GroupArray: {
            if (!v.is_array() || !std::all_of(v.begin(), v.end(), [](const Json& e) { return e.is_object(); }))
                wrong("a list of objects");
            auto n = static_cast<std::size_t>(o.wanted_length());
            if (v.size() != n)
                p.fail(in_quotes(name) + " has " + std::to_string(n) + " elements" + length_note(o) + "; the list has " +
                       std::to_string(v.size()));
            o.fit();
            for (std::size_t i = 0; i < n; ++i) {
                Object* e = o.children()[i]->deref();
                std::string en = name + "[" + std::to_string(i) + "]";
                if (!e) (p / i).fail(in_quotes(en) + " leads nowhere");
                if (e->kind() == Kind::Field) (p / i).fail(in_quotes(en) + " is a field; link it to a field under \"fields\"");
                set_members(*e, v[i], p / i, en);
            }
            return;
        }
        case Kind::Field:
            p.fail(in_quotes(name) + " is a field: link it under \"links\" to a field declared under \"fields\"");
        case Kind::Link: p.fail(in_quotes(name) + " is linked to " + in_quotes(o.target()) + " and takes its value from there");
    }
}

namespace {

// Included files give fields only: a run's dump feeds the next run. They
// stay open while the network is built, as places in them name problems.
void load_includes(const Document& doc, const Place& top, FieldLoader& fields,
                   std::vector<std::unique_ptr<Document>>& included) {
    const Json* inc = member(doc.root(), "include");
    if (!inc) return;
    Place p = top / "include";
    if (!inc->is_array()) p.fail("\"include\" is a list of file names, found " + describe(*inc));
    for (std::size_t i = 0; i < inc->size(); ++i) {
        const Json& name = (*inc)[i];
        if (!name.is_string()) (p / i).fail("an included file is named by a text, found " + describe(name));
        std::filesystem::path path = raw_bytes(name.get<std::string>());
        if (path.is_relative()) path = std::filesystem::path(doc.name()).parent_path() / path;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) (p / i).fail("cannot include " + in_quotes(path.string()) + ": no such file");
        included.push_back(std::make_unique<Document>(Document::read(path.string())));
        const Document& d = *included.back();
        if (!d.root().is_object()) Place(d).fail("an included file holds an object with \"fields\", found " + describe(d.root()));
        if (const Json* f = member(d.root(), "fields")) fields.load(*f, Place(d) / "fields");
    }
}

const vhost::ModuleDecl& module_of(const std::string& name, const Json& desc, const Place& p) {
    const Json* jm = member(desc, "module");
    if (!jm) p.fail("the instance " + in_quotes(name) + " names no \"module\"", true);
    if (!jm->is_string()) (p / "module").fail("\"module\" is a module name, found " + describe(*jm));
    std::string module = jm->get<std::string>();
    const vhost::ModuleDecl* decl = vhost::find_module(module);
    if (!decl) {
        std::vector<std::string> known;
        for (const vhost::ModuleDecl* d : vhost::all_modules()) known.push_back(d->name);
        (p / "module").fail("unknown module " + in_quotes(module) + suggestion(module, known) + "; known modules: " +
                            joined(known));
    }
    return *decl;
}

// Sets the instance's "params"; returns their keys.
std::vector<std::string> set_params(Object& inst, const Json& desc, const Place& p, const std::string& module) {
    std::vector<std::string> keys;
    const Json* params = member(desc, "params");
    if (!params) return keys;
    Place pp = p / "params";
    if (!params->is_object()) pp.fail("\"params\" maps parameter paths to values, found " + describe(*params));
    for (const auto& [key, value] : params->items()) {
        Place q = pp / key;
        auto steps = steps_of(key, q, "parameter path", true);
        Found f = walk(inst, steps, false, module, true);
        if (!f.object) q.fail(f.problem, true);
        set_value(*f.object, value, q, key);
        keys.push_back(key);
    }
    if (std::string problem = first_size_problem(inst); !problem.empty()) pp.fail(problem);
    return keys;
}

// The entry points to call: "calls", or the module's first.
std::vector<std::string> entry_points(const vhost::ModuleDecl& decl, const Json& desc, const Place& p) {
    const Json* jc = member(desc, "calls");
    if (!jc) return {decl.entries.front()};
    Place pc = p / "calls";
    if (!jc->is_array()) pc.fail("\"calls\" is a list of entry points, found " + describe(*jc));
    std::vector<std::string> calls;
    for (std::size_t i = 0; i < jc->size(); ++i) {
        const Json& e = (*jc)[i];
        std::string entry = e.is_string() ? e.get<std::string>() : std::string();
        if (std::find(decl.entries.begin(), decl.entries.end(), entry) == decl.entries.end()) {
            (pc / i).fail(e.is_string() ? decl.name + " has no entry point " + in_quotes(entry) +
                                              suggestion(entry, decl.entries) + "; it has: " + joined(decl.entries)
                                        : "an entry point is named by a text, found " + describe(e));
        }
        calls.push_back(entry);
    }
    return calls;
}

// Makes the instance's "links"; their targets are checked once every link
// of the network is made.
void make_links(Object& inst, const std::string& name, const Json& desc, const Place& p, const std::string& module,
                const std::vector<std::string>& param_keys, std::vector<LinkRecord>& links) {
    const Json* jl = member(desc, "links");
    if (!jl) return;
    Place pl = p / "links";
    if (!jl->is_object()) pl.fail("\"links\" maps paths of the instance to paths of the network, found " + describe(*jl));
    for (const auto& [key, target] : jl->items()) {
        Place q = pl / key;
        auto steps = steps_of(key, q, "link path", true);
        Found f = walk(inst, steps, false, module);
        if (!f.object) q.fail(f.problem, true);
        for (const auto& pk : param_keys)
            if (overlaps(pk, key)) q.fail(in_quotes(key) + " is both linked and given under \"params\" as " + in_quotes(pk), true);
        if (!target.is_string())
            q.fail("a link goes to a path of the network (a field name or \"instance.path\"), found " + describe(target));
        LinkRecord r{name, key, target.get<std::string>(), f.object->kind(), kind_phrase(*f.object), q};
        try {
            vhost::host().link(name + "." + key, r.target);
        } catch (const std::exception& e) {
            q.fail(std::string("cannot link ") + in_quotes(key) + ": " + e.what(), true);
        }
        links.push_back(std::move(r));
    }
}

// Checks each link's target; an instance depends on those it links to.
std::vector<std::map<std::size_t, Place>> dependencies(const std::vector<LinkRecord>& links,
                                                       const std::vector<std::string>& names) {
    std::vector<std::map<std::size_t, Place>> deps(names.size());
    for (const auto& r : links) {
        auto steps = steps_of(r.target, r.place, "link target", false);
        Found t = walk(vhost::host().root(), steps, true, "the network");
        if (!t.object) r.place.fail("link target " + in_quotes(r.target) + ": " + t.problem);
        if (!compatible(r.kind, *t.object))
            r.place.fail(in_quotes(r.key) + " is " + r.phrase + " and cannot be linked to " + in_quotes(r.target) + ", " +
                         kind_phrase(*t.object));
        auto from = std::find(names.begin(), names.end(), r.instance) - names.begin();
        auto to = std::find(names.begin(), names.end(), steps[0].name) - names.begin();
        if (static_cast<std::size_t>(to) < names.size() && to != from)
            deps[static_cast<std::size_t>(from)].try_emplace(static_cast<std::size_t>(to), r.place);
    }
    return deps;
}

Plan build_into_tree(const Document& doc, const std::vector<std::string>& overrides) {
    vhost::Host& host = vhost::host();
    Place top(doc);
    const Json& root = doc.root();
    if (!root.is_object())
        top.fail("a network file holds an object with \"fields\" and \"instances\", found " + describe(root));
    only_keys(root, top, {"description", "include", "fields", "instances", "run"}, "a network file");
    if (const Json* d = member(root, "description"); d && !d->is_string())
        (top / "description").fail("\"description\" is a text, found " + describe(*d));

    FieldLoader fields(host.root());
    std::vector<std::unique_ptr<Document>> included;
    load_includes(doc, top, fields, included);
    if (const Json* f = member(root, "fields")) fields.load(*f, top / "fields");

    Plan plan;
    std::vector<std::string> names;
    std::vector<LinkRecord> links;
    if (const Json* insts = member(root, "instances")) {
        Place pi = top / "instances";
        if (!insts->is_object()) pi.fail("\"instances\" maps instance names to instances, found " + describe(*insts));
        for (const auto& [name, desc] : insts->items()) {
            Place p = pi / name;
            if (!plain_name(name)) p.fail("an instance name is a plain name, without \".\" or \"[\": " + in_quotes(name), true);
            if (Object* taken = host.root().child(name))
                p.fail("the instance name " + in_quotes(name) + " is taken by " + kind_phrase(*taken) + " of that name", true);
            if (!desc.is_object()) p.fail("an instance is an object with \"module\", \"params\", \"links\", \"calls\", found " + describe(desc));
            only_keys(desc, p, {"module", "description", "params", "links", "calls"}, "an instance");
            const vhost::ModuleDecl& decl = module_of(name, desc, p);
            Object& inst = host.add_instance(name, decl.name);
            const std::vector<std::string> param_keys = set_params(inst, desc, p, decl.name);
            std::vector<std::string> calls = entry_points(decl, desc, p);
            make_links(inst, name, desc, p, decl.name, param_keys, links);
            names.push_back(name);
            plan.instances.push_back({name, &inst, std::move(calls)});
        }
    }

    for (const auto& o : overrides) apply_override(o);

    // Targets are checked once every link is made: one may pass through another.
    const auto deps = dependencies(links, names);
    std::vector<PlannedInstance> ordered;
    for (std::size_t i : order(names, deps)) ordered.push_back(std::move(plan.instances[i]));
    plan.instances = std::move(ordered);
    return plan;
}

}  // namespace

Plan build_network(const Document& doc, const std::vector<std::string>& overrides) {
    // A network is built whole or not at all: what a rejected one added to
    // the tree goes again, and the tree is as it was.
    vhost::Object& root = vhost::host().root();
    const std::size_t before = root.children().size();
    try {
        return build_into_tree(doc, overrides);
    } catch (...) {
        root.truncate_children(before);
        throw;
    }
}

}  // namespace velmora
