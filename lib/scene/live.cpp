#include "scene/live.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "host.h"
#include "large_memory.h"
#include "run/values.h"

namespace velmora::scene {

namespace {

// The instance a link target starts with ("divsurf.out_nd" -> "divsurf").
std::string first_name(const std::string& target) {
    const auto end = target.find_first_of(".[");
    return target.substr(0, end);
}

// A temporary file that takes what the modules print on standard output:
// the viewer's terminal shows the server, not the modules' diagnostics.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        if (std::FILE* f = std::tmpfile()) {
            tmp_ = f;
            dup2(fileno(f), 1);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, 1);
            close(saved_);
        }
        if (tmp_) std::fclose(tmp_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = -1;
    std::FILE* tmp_ = nullptr;
};

// Gives back the pages of an instance's large output arrays that hold only
// zeros: the area number of every voxel of a large grid is 0 outside its
// few cells, and a network that stays live should hold what its values
// need, not the grid's size again.
void give_back_zero_pages(const vhost::Object& o) {
    constexpr std::size_t kWorthScanning = std::size_t{4} << 20;
    for (const auto& c : o.children()) {
        if (c->kind() == vhost::Kind::Link) continue;
        if (c->kind() == vhost::Kind::Array) {
            const std::shared_ptr<vhost::Bytes> bytes = c->buffer();
            if (bytes && !bytes->borrowed() && bytes->size() >= kWorthScanning)
                vhost::release_zero_pages(bytes->data(), bytes->size());
        }
        give_back_zero_pages(*c);
    }
}

void release_outputs(const vhost::Object& instance) {
    for (const auto& c : instance.children())
        if (c->role() == vhost::Role::Out || c->role() == vhost::Role::InOut) give_back_zero_pages(*c);
}

}  // namespace

LiveNetwork::LiveNetwork(const Document& doc) : plan_(build_network(doc)) {
    reads_.resize(plan_.instances.size());
    const Json* insts = member(doc.root(), "instances");
    if (!insts) return;
    auto position = [this](const std::string& name) {
        for (std::size_t i = 0; i < plan_.instances.size(); ++i)
            if (plan_.instances[i].name == name) return i;
        return plan_.instances.size();
    };
    for (const auto& [name, desc] : insts->items()) {
        const Json* links = member(desc, "links");
        const std::size_t at = position(name);
        if (!links || at == plan_.instances.size()) continue;
        for (const auto& [key, target] : links->items()) {
            if (!target.is_string()) continue;
            const std::size_t from = position(first_name(target.get<std::string>()));
            if (from < plan_.instances.size() && from != at) reads_[at].insert(from);
        }
    }
}

std::vector<std::string> LiveNetwork::downstream(const std::set<std::string>& names) const {
    std::vector<bool> on(plan_.instances.size(), false);
    std::vector<std::string> out;
    // Run order puts every instance after those it reads from: one pass.
    for (std::size_t i = 0; i < plan_.instances.size(); ++i) {
        on[i] = names.count(plan_.instances[i].name) > 0 ||
                std::any_of(reads_[i].begin(), reads_[i].end(), [&](std::size_t r) { return on[r]; });
        if (on[i]) out.push_back(plan_.instances[i].name);
    }
    return out;
}

RunResult LiveNetwork::call_plan(const Plan& plan) {
    vhost::Host& host = vhost::host();
    RunResult result;
    const auto t0 = std::chrono::steady_clock::now();
    const std::size_t before = host.reports().size();
    RunRecord record;
    std::FILE* sink = std::tmpfile();
    CallSettings settings = settings_;
    settings.after = [after = settings_.after](const PlannedInstance& inst) {
        if (after) after(inst);
        release_outputs(*inst.object);
    };
    {
        QuietStdout quiet;
        result.ok = call_instances(plan, settings, record, sink ? sink : stderr) == run_ok;
    }
    if (sink) std::fclose(sink);
    for (const auto& inst : plan.instances) result.instances.push_back(inst.name);
    for (std::size_t i = before; i < host.reports().size(); ++i) result.messages.push_back(host.reports()[i].text);
    host.clear_progress();
    // Blocks the run freed are kept for the next array of their size; a
    // network that stays live gives them back until its next run.
    vhost::release_kept_large();
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return result;
}

RunResult LiveNetwork::run(const std::vector<std::string>& names) {
    Plan part;
    for (const auto& inst : plan_.instances)
        if (names.empty() || std::find(names.begin(), names.end(), inst.name) != names.end()) part.instances.push_back(inst);
    return call_plan(part);
}

void LiveNetwork::assign(const Change& c) {
    vhost::Object& inst = instance(c.instance);
    const std::string name = in_quotes(c.instance + "." + c.path);
    // A linked value takes its value from the other end of the link.
    if (vhost::Object* own = inst.child(c.path); own && own->kind() == vhost::Kind::Link)
        throw NetworkError(name + " is linked to " + in_quotes(own->target()) + " and takes its value from there");
    vhost::Object* target = inst.find(c.path);
    if (!target) throw NetworkError(in_quotes(c.instance) + " has no parameter " + in_quotes(c.path));
    if (target->role() == vhost::Role::Out) throw NetworkError(name + " is an output of its module");
    set_value(*target, c.value, Place(c.instance + "." + c.path), c.path);
}

RunResult LiveNetwork::set(const std::string& instance, const std::string& path, const Json& value) {
    return set(std::vector<Change>{{instance, path, value}});
}

RunResult LiveNetwork::set(const std::vector<Change>& changes) {
    std::set<std::string> changed;
    for (const Change& c : changes) {
        assign(c);
        changed.insert(c.instance);
    }
    return run(downstream(changed));
}

RunResult LiveNetwork::call(const std::string& instance, const std::string& entry) {
    Plan one;
    for (const auto& inst : plan_.instances)
        if (inst.name == instance) one.instances.push_back({inst.name, inst.object, {entry}});
    if (one.instances.empty()) throw NetworkError("no instance " + in_quotes(instance));
    return call_plan(one);
}

bool LiveNetwork::has(const std::string& name) const {
    return std::any_of(plan_.instances.begin(), plan_.instances.end(), [&](const auto& i) { return i.name == name; });
}

vhost::Object& LiveNetwork::instance(const std::string& name) const {
    for (const auto& inst : plan_.instances)
        if (inst.name == name) return *inst.object;
    throw NetworkError("no instance " + in_quotes(name));
}

}  // namespace velmora::scene
