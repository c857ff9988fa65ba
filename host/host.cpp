#include "host.h"

#include <dlfcn.h>

#include <stdexcept>

namespace vhost {

Host& host() {
    static Host h;
    return h;
}

Host::Host() : objects_(1, nullptr), names_(1) {}

Object& Host::root() {
    // Made on first use: objects enroll with the host as they are made.
    if (!root_) root_ = std::make_unique<Object>(*this, Kind::Group, "");
    return *root_;
}

Host::~Host() { root_.reset(); }

void Host::reset() {
    root_.reset();
    objects_.assign(1, nullptr);
    out_.clear();
    outstanding_count_ = handed_out_ = bad_releases_ = 0;
    reports_.clear();
    progress_.clear();
    refused_writes_.clear();
}

void Host::confine_writes(std::vector<std::filesystem::path> folders) {
    write_folders_.clear();
    for (const auto& f : folders) {
        std::error_code ec;
        const auto canonical = std::filesystem::weakly_canonical(std::filesystem::absolute(f, ec), ec);
        if (!ec) write_folders_.push_back(canonical);
    }
    // A folder that cannot be resolved allows nothing rather than anything.
    if (write_folders_.empty() && !folders.empty()) write_folders_.emplace_back("/nonexistent/velmora");
}

bool Host::may_write(const char* path) const {
    if (write_folders_.empty()) return true;
    if (!path || !*path) return false;
    std::error_code ec;
    const auto p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    if (ec) return false;
    for (const auto& folder : write_folders_) {
        const auto rel = p.lexically_relative(folder);
        if (!rel.empty() && rel != "." && *rel.begin() != "..") return true;
    }
    return false;
}

std::int64_t Host::enroll(Object* o) {
    objects_.push_back(o);
    return static_cast<std::int64_t>(objects_.size() - 1);
}

void Host::withdraw(std::int64_t id) {
    if (id > 0 && id < static_cast<std::int64_t>(objects_.size())) objects_[static_cast<std::size_t>(id)] = nullptr;
}

Object* Host::by_id(std::int64_t id) const {
    if (id <= 0 || id >= static_cast<std::int64_t>(objects_.size())) return nullptr;
    return objects_[static_cast<std::size_t>(id)];
}

std::int32_t Host::intern(std::string_view text) {
    auto it = name_ids_.find(std::string(text));
    if (it != name_ids_.end()) return it->second;
    auto id = static_cast<std::int32_t>(names_.size());
    names_.emplace_back(text);
    name_ids_.emplace(std::string(text), id);
    return id;
}

const std::string* Host::name_text(std::int32_t name) const {
    if (name <= 0 || name >= static_cast<std::int32_t>(names_.size())) return nullptr;
    return &names_[static_cast<std::size_t>(name)];
}

void* Host::hand_out(std::shared_ptr<Bytes> keep, void* p) {
    if (!p) return nullptr;
    Handed& h = out_[p];
    if (!h.keep) h.keep = std::move(keep);
    ++h.count;
    ++outstanding_count_;
    ++handed_out_;
    return p;
}

bool Host::take_back(void* p) {
    auto it = out_.find(p);
    if (!p || it == out_.end()) {
        ++bad_releases_;
        return false;
    }
    --outstanding_count_;
    if (--it->second.count == 0) out_.erase(it);
    return true;
}

void Host::report(const char* object, int severity, const char* text) {
    reports_.push_back(Report{object ? object : "", severity, text ? text : ""});
    if (err_ && text) {
        std::fputs(text, err_);
        std::fflush(err_);
    }
}

std::vector<std::string> Host::messages() const {
    std::vector<std::string> m;
    m.reserve(reports_.size());
    for (const auto& r : reports_) m.push_back(r.text);
    return m;
}

std::string_view Host::keep_text(std::string_view text) {
    if (text != last_text_) last_text_ = *texts_.emplace(text).first;
    return last_text_;
}

void Host::progress(ProgressEvent e) {
    // Texts are kept once (keep_text): equal texts are the same view.
    if (!progress_.empty()) {
        const ProgressEvent& last = progress_.back().event;
        if (last.kind == e.kind && last.a == e.a && last.b == e.b && last.text.data() == e.text.data() &&
            last.text.size() == e.text.size()) {
            ++progress_.back().count;
            if (on_progress_) on_progress_(e);
            return;
        }
    }
    progress_.push_back({e, 1});
    if (on_progress_) on_progress_(e);
}

std::vector<ProgressEvent> Host::progress_events() const {
    std::vector<ProgressEvent> events;
    for (const ProgressRun& run : progress_) events.insert(events.end(), static_cast<std::size_t>(run.count), run.event);
    return events;
}

Object& Host::add_instance(std::string name, std::string_view module) {
    const ModuleDecl* decl = find_module(module);
    if (!decl) throw std::invalid_argument("unknown module " + std::string(module));
    Object& inst = root().add_group(std::move(name));
    inst.extra().module = decl->name;
    decl->declare(inst);
    return inst;
}

Object& Host::add_field(std::string name) { return root().add_field(std::move(name)); }

void Host::link(std::string_view path, std::string target) {
    std::string_view parent_path, leaf = path;
    if (auto dot = path.rfind('.'); dot != std::string_view::npos) {
        parent_path = path.substr(0, dot);
        leaf = path.substr(dot + 1);
    }
    Object* parent = parent_path.empty() ? &root() : root().find(parent_path);
    if (!parent) throw std::out_of_range("no object " + std::string(parent_path));
    // "list[2]" names an element of an array of groups.
    if (auto br = leaf.find('['); br != std::string_view::npos) {
        Object* arr = parent->find(leaf.substr(0, br));
        std::vector<PathStep> steps;
        if (!arr || arr->kind() != Kind::GroupArray || !parse_path(leaf, steps) || steps.size() != 1)
            throw std::out_of_range("no object " + std::string(path));
        if (arr->length() <= steps[0].index) throw std::out_of_range("no object " + std::string(path));
        arr->make_link(leaf, std::move(target));
        return;
    }
    parent->make_link(leaf, std::move(target));
}

int Host::call(Object& instance, std::string_view entry) {
    const ModuleDecl* decl = find_module(instance.module());
    if (!decl) throw std::invalid_argument(instance.path() + " is not a module instance");
    std::string name(entry.empty() ? decl->entries.front() : entry);
    OMupdate_fn fn = nullptr;
    for (std::size_t i = 0; i < decl->functions.size() && i < decl->entries.size(); ++i)
        if (decl->entries[i] == name) fn = decl->functions[i];
    if (fn) {
    } else if (resolver_) {
        fn = resolver_(name);
    } else {
        fn = reinterpret_cast<OMupdate_fn>(dlsym(RTLD_DEFAULT, name.c_str()));
    }
    if (!fn) throw std::runtime_error("the library exports no function " + name);
    OMobj_id id = id_of(instance);
    return fn(&id, 0, 0);
}

namespace {
std::vector<std::unique_ptr<ModuleDecl>>& operations() {
    static std::vector<std::unique_ptr<ModuleDecl>> ops;
    return ops;
}
}  // namespace

void register_operation(ModuleDecl decl) {
    for (auto& op : operations())
        if (op->name == decl.name) {
            *op = std::move(decl);
            return;
        }
    operations().push_back(std::make_unique<ModuleDecl>(std::move(decl)));
}

std::vector<const ModuleDecl*> all_modules() {
    std::vector<const ModuleDecl*> all;
    for (const auto& d : module_decls()) all.push_back(&d);
    for (const auto& op : operations()) all.push_back(op.get());
    return all;
}

const ModuleDecl* find_module(std::string_view name) {
    for (const ModuleDecl* d : all_modules())
        if (d->name == name) return d;
    return nullptr;
}

}  // namespace vhost
