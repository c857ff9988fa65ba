// The substitute host: owns the object tree, hands out and takes back arrays
// (counting both), records what goes through the error channel and progress,
// and calls the modules' exported functions on instances built from their
// declarations. The C host operations act on the one process-wide Host.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "include/host_ops.h"
#include "tree.h"

namespace vhost {

struct Report {
    std::string object;
    int severity = 0;
    std::string text;
};

struct ProgressEvent {
    enum class Kind { Check, Push, Pop } kind = Kind::Check;
    int a = 0;   // percent, or the low end of a pushed range
    int b = 0;   // the high end of a pushed range
    std::string_view text;   // kept by the host (Host::keep_text) for as long as it lives
};

class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // An empty tree, no arrays out, nothing recorded. Tests call it per case.
    void reset();
    Object& root();

    // --- object ids ---
    std::int64_t enroll(Object* o);
    void withdraw(std::int64_t id);
    Object* by_id(std::int64_t id) const;
    Object* by_id(const OMobj_id* id) const { return id ? by_id(id->obj) : nullptr; }
    OMobj_id id_of(const Object& o) const { return OMobj_id{o.id(), 0}; }

    // --- names ---
    std::int32_t intern(std::string_view text);
    const std::string* name_text(std::int32_t name) const;

    // --- arrays handed to a module, valid until taken back ---
    void* hand_out(std::shared_ptr<Bytes> keep, void* p);
    bool take_back(void* p);
    std::int64_t outstanding_arrays() const { return outstanding_count_; }
    std::int64_t arrays_handed_out() const { return handed_out_; }
    std::int64_t bad_releases() const { return bad_releases_; }

    // --- error channel ---
    void report(const char* object, int severity, const char* text);
    const std::vector<Report>& reports() const { return reports_; }
    std::vector<std::string> messages() const;   // the texts, in order
    // Where reported texts are printed verbatim; null prints nothing.
    void set_error_stream(std::FILE* f) { err_ = f; }

    // --- progress ---
    void progress(ProgressEvent e);
    // A copy of text that lives as long as the host: a module reports its
    // progress under one name many thousand times per update.
    std::string_view keep_text(std::string_view text);
    // Every event so far, in order.
    std::vector<ProgressEvent> progress_events() const;
    // Forgets the recorded progress, for programs that update many times.
    void clear_progress() { progress_.clear(); }
    void set_progress_listener(std::function<void(const ProgressEvent&)> f) { on_progress_ = std::move(f); }

    // --- files the modules write ---
    // Folders the modules may create and write files in (FILEfopen for
    // writing); none: anywhere. A path is taken as it resolves, links
    // followed, so that no link leads a writer out. Kept across reset().
    void confine_writes(std::vector<std::filesystem::path> folders);
    bool may_write(const char* path) const;
    // The paths a module was refused to write, in order, so that the
    // program can say why its file could not be opened. Cleared by reset().
    void note_refused_write(const char* path) { refused_writes_.emplace_back(path ? path : ""); }
    const std::vector<std::string>& refused_writes() const { return refused_writes_; }
    const std::vector<std::filesystem::path>& write_folders() const { return write_folders_; }

    // --- networks ---
    // A module instance built from its module's declaration; throws
    // std::invalid_argument for an unknown module.
    Object& add_instance(std::string name, std::string_view module);
    Object& add_field(std::string name);
    // Makes the object at path (an instance's input or parameter) a link to
    // target, a path from the root.
    void link(std::string_view path, std::string target);
    // Calls an exported function of the instance's module (its first entry
    // when entry is empty) and returns its result.
    int call(Object& instance, std::string_view entry = {});
    using Resolver = std::function<OMupdate_fn(std::string_view)>;
    // How exported functions are found; by default in the loaded libraries.
    void set_resolver(Resolver r) { resolver_ = std::move(r); }

private:
    friend class Object;
    int link_depth_ = 0;   // links being followed through links (Object::deref)
    std::vector<Object*> objects_;
    std::unordered_map<std::string, std::int32_t> name_ids_;
    std::vector<std::string> names_;
    struct Handed {
        std::shared_ptr<Bytes> keep;
        std::int64_t count = 0;
    };
    std::unordered_map<void*, Handed> out_;
    std::int64_t outstanding_count_ = 0;
    std::int64_t handed_out_ = 0;
    std::int64_t bad_releases_ = 0;
    std::vector<Report> reports_;
    std::FILE* err_ = stderr;
    // The events as runs of equal ones: a module reports the same percentage
    // hundreds of times over, once per item of its work.
    struct ProgressRun {
        ProgressEvent event;
        std::int64_t count;
    };
    std::vector<ProgressRun> progress_;
    std::set<std::string, std::less<>> texts_;
    std::string_view last_text_;
    std::function<void(const ProgressEvent&)> on_progress_;
    Resolver resolver_;
    std::vector<std::filesystem::path> write_folders_;
    std::vector<std::string> refused_writes_;
    std::unique_ptr<Object> root_;   // last: destroyed first
};

// The process's host, on which the C operations act.
Host& host();

// Confines the modules' writes to folders for as long as it lives (none:
// anywhere), then lets them write anywhere again.
class ConfinedWrites {
public:
    ConfinedWrites(Host& host, std::vector<std::filesystem::path> folders) : host_(host) {
        host_.confine_writes(std::move(folders));
    }
    ~ConfinedWrites() { host_.confine_writes({}); }
    ConfinedWrites(const ConfinedWrites&) = delete;
    ConfinedWrites& operator=(const ConfinedWrites&) = delete;

private:
    Host& host_;
};

// Module declarations: one per module, in host/modules/<Module>.cpp.
struct ModuleDecl {
    std::string name;                  // "ThreshMin"
    std::vector<std::string> entries;  // exported functions; the first is the update
    std::string summary;               // one line for listings
    void (*declare)(Object& instance) = nullptr;   // adds parameters, inputs and outputs
    // Operations the host itself provides (not the library) give their
    // functions here, one per entry; library modules leave it empty.
    std::vector<OMupdate_fn> functions{};
};
// The library's modules, one declaration per host/modules/<Module>.cpp.
const std::vector<ModuleDecl>& module_decls();
// Adds a host operation usable like a module (replacing one of the same name).
void register_operation(ModuleDecl decl);
// Library modules, then host operations.
std::vector<const ModuleDecl*> all_modules();
const ModuleDecl* find_module(std::string_view name);

}  // namespace vhost
