#include "run/runner.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>

#include "run/document.h"
#include "run/dump.h"
#include "host.h"
#include "run/json_write.h"
#include "run/network.h"
#include "run/operations.h"

namespace velmora {

namespace {

// Puts the host's error stream and progress listener back as they were.
class HostHooks {
public:
    explicit HostHooks(vhost::Host& host) : host_(host) { host_.set_error_stream(nullptr); }
    ~HostHooks() {
        host_.set_progress_listener({});
        host_.set_error_stream(stderr);
    }
    HostHooks(const HostHooks&) = delete;
    HostHooks& operator=(const HostHooks&) = delete;

private:
    vhost::Host& host_;
};

// The resident memory of the process now and at its highest so far, in MB.
std::pair<long, long> resident_mb() {
    long now = 0, high = 0;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            std::sscanf(line, "VmRSS: %ld", &now);
            std::sscanf(line, "VmHWM: %ld", &high);
        }
        std::fclose(f);
    }
    return {now / 1024, high / 1024};
}

std::string done_note(vhost::Object& inst) {
    vhost::Object* done = inst.child("done");
    if (!done || !(done = done->deref()) || !done->has_value()) return "";
    return ", done = " + std::to_string(done->int_value());
}

// The dump is bounded before anything is built: every value becomes a JSON
// value in memory. It is written under a temporary name and moved into
// place, so a dump that fails part-way leaves no file that looks complete,
// nor an older dump that could pass for this run's.
bool write_dump(const std::string& path, std::int64_t limit, const RunRecord& record, std::FILE* err) {
    const std::string partial = path + ".partial";
    std::string problem;
    try {
        if (const std::int64_t values = dump_values(); values > limit) {
            problem = "it would hold " + std::to_string(values) + " values, more than the " + std::to_string(limit) +
                      " a dump holds (raise the bound with --dump-limit)";
        } else {
            std::ofstream out(partial, std::ios::binary | std::ios::trunc);
            if (out) write_json(out, dump_tree(record));
            out.close();
            if (!out) problem = std::strerror(errno);
            else if (std::rename(partial.c_str(), path.c_str()) != 0) problem = std::strerror(errno);
        }
    } catch (const std::bad_alloc&) {
        problem = "out of memory";
    }
    if (problem.empty()) return true;
    std::remove(partial.c_str());
    std::remove(path.c_str());
    std::fprintf(err, "velmora: cannot write the dump %s: %s\n", path.c_str(), problem.c_str());
    return false;
}

// What a module could not open because the run keeps its writers in their
// folder: the module says only that it can not open the file.
void note_refused_writes(const vhost::Host& host, std::size_t from, const std::string& instance, std::FILE* err) {
    const auto& refused = host.refused_writes();
    const std::string folder = host.write_folders().empty() ? std::string() : host.write_folders().front().string();
    for (std::size_t i = from; i < refused.size(); ++i)
        std::fprintf(err,
                     "velmora: %s: refused to write %s: it lies outside %s, the folder the run writes in "
                     "(--allow-writes-anywhere lets the writers write anywhere)\n",
                     instance.c_str(), refused[i].c_str(), folder.c_str());
}

}  // namespace

void print_timing(std::FILE* err, const std::string& step, std::chrono::steady_clock::time_point& since) {
    const auto now = std::chrono::steady_clock::now();
    const auto [resident, highest] = resident_mb();
    std::fprintf(err, "velmora: %-32s %7.3f s  %6ld MB resident, %6ld MB at most\n", step.c_str(),
                 std::chrono::duration<double>(now - since).count(), resident, highest);
    since = now;
}

int call_instances(const Plan& plan, const CallSettings& settings, RunRecord& record, std::FILE* err,
                   ProgressWatcher* progress) {
    vhost::Host& host = vhost::host();
    auto clock = std::chrono::steady_clock::now();
    HostHooks hooks(host);
    if (progress) host.set_progress_listener([progress](const vhost::ProgressEvent& e) { progress->on_event(e); });

    int status = run_ok;
    bool stopped = false;   // a call that could not be made ends the run
    for (const auto& inst : plan.instances) {
        if (settings.skip && settings.skip(inst)) continue;
        const int before_instance = status;
        for (const auto& entry : inst.calls) {
            if (stopped) break;
            if (progress) progress->begin(inst.name + " " + entry);
            std::size_t before = host.reports().size();
            const std::size_t refused_before = host.refused_writes().size();
            int result = 0;
            std::string failure;
            try {
                result = host.call(*inst.object, entry);
            } catch (const std::exception& e) {
                failure = e.what();
            }
            if (progress) progress->clear();
            std::fflush(stdout);   // what the module printed comes before what it reported
            for (std::size_t i = before; i < host.reports().size(); ++i) std::fputs(host.reports()[i].text.c_str(), err);
            note_refused_writes(host, refused_before, inst.name, err);
            if (!failure.empty()) {
                std::fprintf(err, "velmora: %s: %s\n", inst.name.c_str(), failure.c_str());
                status = run_fault;
                stopped = true;
                continue;
            }
            record.calls.push_back({inst.name, entry, result});
            if (settings.timings) print_timing(err, inst.name + " (" + inst.object->module() + ")", clock);
            if (settings.verbose)
                std::fprintf(err, "velmora: %s (%s): %s returned %d%s\n", inst.name.c_str(), inst.object->module().c_str(),
                             entry.c_str(), result, done_note(*inst.object).c_str());
            if (result != 1) {
                std::fprintf(err, "velmora: %s: %s returned %d, not 1\n", inst.name.c_str(), entry.c_str(), result);
                status = run_fault;
            }
        }
        if (settings.after && !stopped && status == before_instance) settings.after(inst);
    }
    std::fflush(err);

    if (host.outstanding_arrays() != 0) {
        std::fprintf(err, "velmora: %lld host array(s) left unreleased after the run\n",
                     static_cast<long long>(host.outstanding_arrays()));
        status = run_fault;
    }
    return status;
}

int run_network(const RunOptions& options, std::FILE* err, ProgressWatcher* progress) {
    vhost::Host& host = vhost::host();
    host.reset();
    const vhost::ConfinedWrites confined(
        host, options.writes_anywhere ? std::vector<std::filesystem::path>{}
                                      : std::vector<std::filesystem::path>{std::filesystem::current_path()});
    register_operations();   // the host's own operations run like modules

    std::optional<Document> doc;
    Plan plan;
    try {
        doc = Document::read(options.network);
        plan = build_network(*doc, options.overrides);
    } catch (const NetworkError& e) {
        std::fprintf(err, "%s\n", e.what());
        return run_invalid;
    } catch (const std::bad_alloc&) {
        std::fprintf(err, "%s: error: out of memory building the network\n", options.network.c_str());
        return run_fault;
    } catch (const std::exception& e) {
        std::fprintf(err, "%s: error: %s\n", options.network.c_str(), e.what());
        return run_invalid;
    }

    RunRecord record{options.network, {}};
    CallSettings settings;
    settings.verbose = options.verbose;
    int status = call_instances(plan, settings, record, err, progress);
    // A run that went through but whose modules reported problems ends with
    // a status of its own, so that scripts do not take its results as whole.
    if (status == run_ok && !host.reports().empty()) status = run_reported;
    if (!options.dump.empty()) {
        if (!write_dump(options.dump, options.dump_limit, record, err))
            status = run_fault;
        else if (options.verbose)
            std::fprintf(err, "velmora: wrote %s\n", options.dump.c_str());
    }
    return status;
}

}  // namespace velmora
