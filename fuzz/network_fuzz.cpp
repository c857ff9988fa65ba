// The network loader on fuzzed text: the input is a network document,
// followed by "--set" overrides ("INSTANCE.PARAM=VALUE"), each after a NUL
// byte. A network that loads is run as `velmora run` runs it (writes
// confined to a scratch folder) and dumped; one whose sizes would make a
// single run slow is loaded and dumped but not run.
#include <cstddef>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "run/document.h"
#include "run/dump.h"
#include "field_ref.h"
#include "fuzz_support.h"
#include "rain_mesh_bound.h"
#include "host.h"
#include "run/json_write.h"
#include "run/network.h"
#include "run/operations.h"
#include "run/runner.h"

namespace {

using velmora::PlannedInstance;
using vhost::Kind;
using vhost::Object;

// What one run may take: fields of a few thousand nodes, cells and values,
// a handful of slice planes, area numbers over a small range.
constexpr std::int64_t kMaxCount = 4096;
constexpr std::int64_t kMaxPlanes = 16;
constexpr std::int64_t kMaxDumpValues = std::int64_t{1} << 16;

bool within(std::int64_t n) { return n >= -kMaxCount && n <= kMaxCount; }

// The value an instance reads at path (links followed); 0 when unset.
std::int64_t int_at(Object& inst, std::string_view path) {
    Object* o = inst.find(path);
    if (!o || !(o = o->deref()) || !o->has_value()) return 0;
    return o->kind() == Kind::Real ? static_cast<std::int64_t>(std::min(std::max(o->real_value(), -1e15), 1e15))
                                   : o->int_value();
}

// Whether a field, as the modules will see it, stays small.
bool small_field(Object& f) {
    for (const char* n : {"nnodes", "nspace", "ndim", "ncell_sets", "nnode_data"}) {
        Object* c = f.child(n);
        if (c && (c = c->deref()) && c->has_value() && !within(c->int_value())) return false;
    }
    std::int64_t nodes = 1;
    for (std::int64_t d : vhost::longs_of(f.at("dims"))) {
        if (d < 0 || d > kMaxCount) return false;
        nodes *= std::max<std::int64_t>(d, 1);
        if (nodes > kMaxCount) return false;
    }
    Object* sets = f.child("cell_set");
    if (sets)
        for (const auto& s : sets->children())
            for (const char* n : {"ncells", "npolys", "cell_nnodes"}) {
                Object* c = s->child(n);
                if (c && (c = c->deref()) && c->has_value() && !within(c->int_value())) return false;
            }
    Object* comps = f.child("node_data");
    if (comps)
        for (const auto& c : comps->children()) {
            Object* v = c->child("veclen");
            if (v && (v = v->deref()) && v->has_value() && (v->int_value() < 0 || v->int_value() > 16)) return false;
        }
    return true;
}

// Every field an instance reads or writes, below obj.
bool small_inputs(Object& obj, int depth = 0) {
    if (depth > 8) return true;
    for (const auto& child : obj.children()) {
        Object* c = child->deref();
        if (!c) continue;
        if (c->kind() == Kind::Field) {
            if (!small_field(*c)) return false;
        } else if ((c->kind() == Kind::Group || c->kind() == Kind::GroupArray) && child->kind() != Kind::Link) {
            if (!small_inputs(*c, depth + 1)) return false;
        } else if (c->kind() == Kind::Int || c->kind() == Kind::Long) {
            // Counts of the groups and items a module makes or walks.
            static const std::set<std::string, std::less<>> counts{"nsurf", "ncomp", "fr_num", "bk_num", "npicked", "ndiv"};
            if (counts.contains(child->name()) && c->has_value() && !within(c->int_value())) return false;
        }
    }
    return true;
}

// Instances whose run would take too long for a fuzzer are not called.
bool too_large(const PlannedInstance& p) {
    Object& inst = *p.object;
    if (!small_inputs(inst)) return true;
    const std::string& module = inst.module();
    if (module == "CreateRainSlice") {
        std::int64_t planes = int_at(inst, "plane_num");
        if (planes < -kMaxPlanes || planes > kMaxPlanes) return true;
    }
    if (module == "MakeRainMesh" && velmora::fuzz::rain_mesh_too_long(inst)) return true;
    if (module == "CalcStatistic" || module == "WriteIsoIJK") {
        std::int64_t lo = int_at(inst, "no_min"), hi = int_at(inst, "no_max");
        if (hi - lo > kMaxCount) return true;
    }
    return false;
}

std::FILE* nowhere() {
    static std::FILE* f = std::fopen("/dev/null", "w");
    return f;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    velmora::fuzz::silence_stdout();
    velmora::register_operations();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t end = input.find('\0');
    std::string text(input.substr(0, end));
    std::vector<std::string> overrides;
    for (std::size_t at = end; at != std::string_view::npos && at < input.size();) {
        const std::size_t next = input.find('\0', at + 1);
        overrides.emplace_back(input.substr(at + 1, next == std::string_view::npos ? next : next - at - 1));
        at = next;
    }

    const auto& scratch = velmora::fuzz::scratch();
    vhost::Host& host = vhost::host();
    host.reset();
    host.set_error_stream(nullptr);
    const velmora::fuzz::InWorkFolder here(scratch.work());
    const vhost::ConfinedWrites confined(host, {scratch.work()});
    try {
        const auto doc = velmora::Document::parse((scratch.work() / "net.json").string(), std::move(text));
        const velmora::Plan plan = velmora::build_network(doc, overrides);
        velmora::RunRecord record{doc.name(), {}};
        velmora::CallSettings settings;
        settings.skip = too_large;
        velmora::call_instances(plan, settings, record, nowhere());
        // A dump is bounded by its value count, as the runner bounds it, at
        // a size a fuzzer can write many times a second.
        if (velmora::dump_values() <= kMaxDumpValues)
            (void)velmora::json_text(velmora::dump_tree(record));
    } catch (const velmora::NetworkError&) {
        // Refused with its place: the loader's way with bad input.
    } catch (const std::exception&) {
        // Refused with a message (an unreadable volume, too little memory).
    }
    if (host.outstanding_arrays() != 0 || host.bad_releases() != 0) {
        std::fprintf(stderr, "velmora fuzz: host arrays left unreleased (%lld) or released twice (%lld)\n",
                     static_cast<long long>(host.outstanding_arrays()), static_cast<long long>(host.bad_releases()));
        std::abort();
    }
    scratch.clear();
    return 0;
}
