#include "io/output_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr const char* kWorkTag = ".velmora-";
constexpr std::size_t kSuffixDigits = 16;

std::string reason() { return std::strerror(errno); }

// Absolute, with every link that exists followed.
fs::path resolved(const fs::path& p) {
    std::error_code ec;
    fs::path r = fs::weakly_canonical(fs::absolute(p, ec), ec);
    return ec ? fs::absolute(p).lexically_normal() : r;
}

// A temporary name beside p: hidden, and never that of a result.
fs::path temp_beside(const fs::path& p) {
    static constexpr char hex[] = "0123456789abcdef";
    std::random_device random;
    std::string suffix;
    while (suffix.size() < kSuffixDigits) suffix += hex[random() % 16];
    return p.parent_path() / ("." + p.filename().string() + kWorkTag + suffix);
}

// A temporary file or work folder of a run that died before it ended.
bool is_left_over(const std::string& name) {
    const auto tag = name.rfind(kWorkTag);
    if (name.empty() || name[0] != '.' || tag == std::string::npos || tag == 0) return false;
    const std::string suffix = name.substr(tag + std::strlen(kWorkTag));
    return suffix.size() == kSuffixDigits && suffix.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// fsync of a file or folder: what the disk has not taken shows here at last.
void sync(const fs::path& p, bool folder, const std::string& shown) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0) throw WriteFailed("can not write " + shown + ": " + reason());
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    // Some file systems cannot sync a folder; its entries are safe anyway.
    if (synced != 0 && !(folder && (error == EINVAL || error == EROFS)))
        throw WriteFailed("can not write " + shown + ": " + std::strerror(error));
}

std::set<std::string> listed_in(const fs::path& folder) {
    std::set<std::string> names;
    std::ifstream in(folder / kResultsList);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') names.insert(line);
    return names;
}

// Every entry under folder, relative to it ('/' between names), without
// following links; nullopt with the reason in error when it cannot be read.
std::optional<std::set<std::string>> entries_of(const fs::path& folder, std::string& error) {
    std::set<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        out.insert(it->path().lexically_relative(folder).generic_string());
    if (ec) {
        error = ec.message();
        return std::nullopt;
    }
    return out;
}

// rel, and each folder leading to it.
std::vector<std::string> with_parents(const fs::path& rel) {
    std::vector<std::string> out;
    for (fs::path p = rel; !p.empty(); p = p.parent_path()) out.push_back(p.generic_string());
    return out;
}

bool inside(const fs::path& p, const fs::path& folder) {
    const std::string rel = p.lexically_relative(folder).generic_string();
    return !rel.empty() && rel != "." && !rel.starts_with("..");
}

std::optional<std::string> problem_of(const fs::path& target, const std::string& shown,
                                      std::span<const std::string> inputs) {
    if (target == target.root_path()) return shown + " is the root folder";
    std::error_code ec;
    const fs::path here = resolved(fs::current_path(ec));
    if (!ec && (here == target || inside(here, target)))
        return shown + (here == target ? " is" : " holds") +
               " the current folder, which the results would replace as a whole: choose another folder";
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        if (errno == ENOENT) return std::nullopt;
        return "can not use " + shown + ": " + reason();
    }
    if (!S_ISDIR(st.st_mode)) return shown + " is not a folder";
    std::string error;
    const auto entries = entries_of(target, error);
    if (!entries) return "can not read " + shown + ": " + error;
    std::set<std::string> allowed = listed_in(target);
    allowed.insert(kResultsList);
    for (const auto& in : inputs)
        if (const fs::path p = resolved(in); inside(p, target))
            for (auto& name : with_parents(p.lexically_relative(target))) allowed.insert(name);
    // The first in order: a folder velmora did not write comes before what it holds.
    for (const std::string& e : *entries)
        if (!allowed.contains(e))
            return shown + " holds " + e + ", which velmora did not write: velmora replaces only a folder of its own "
                   "results (move " + e + " away, or choose another folder)";
    return std::nullopt;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::optional<std::string> output_file_problem(const std::string& path, std::span<const std::string> inputs) {
    if (path.empty()) return std::string("the output file has no name");
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return path + " is a folder, not a file";
        if (!S_ISREG(st.st_mode)) return path + " is not a regular file";
        for (const std::string& in : inputs)
            if (same_file(in, path))
                return path + " is the input " + in + ": velmora does not write over what it reads";
    } else if (errno != ENOENT) {
        return "can not write " + path + ": " + reason();
    }
    fs::path folder = resolved(path).parent_path();
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return "can not write " + path + ": the folder " + folder.string() + " does not exist";
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return "can not write " + path + ": " + reason();
    return std::nullopt;
}

AtomicFile::AtomicFile(const std::string& path, WholeFile how) : path_(path), sync_(how.sync) {
    if (auto problem = output_file_problem(path)) throw OutputRefused(*problem);
    target_ = resolved(path).string();
    for (;;) {
        const fs::path beside = temp_beside(target_);
        temp_ = how.staging.empty() ? beside.string() : (fs::path(how.staging) / beside.filename()).string();
        const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return;
        }
        if (errno != EEXIST) throw OutputRefused("can not write " + path + ": " + reason());
    }
}

AtomicFile::~AtomicFile() {
    if (!committed_) ::unlink(temp_.c_str());
}

void AtomicFile::commit() {
    struct stat old {};
    if (::stat(target_.c_str(), &old) == 0) ::chmod(temp_.c_str(), old.st_mode & 07777);
    if (sync_) sync(temp_, false, path_);
    if (::rename(temp_.c_str(), target_.c_str()) != 0) throw WriteFailed("can not write " + path_ + ": " + reason());
    committed_ = true;
    if (sync_) sync(fs::path(target_).parent_path(), true, path_);
}

void AtomicFile::write(std::string_view bytes, const std::string& from, std::uint64_t keep) {
    const int out = ::open(temp_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0) throw WriteFailed("can not write " + path_ + ": " + reason());
    std::string failure;
    if (keep > 0) {
        const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) failure = "can not read " + from + ": " + reason();
        for (std::uint64_t done = 0; failure.empty() && done < keep;) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, keep - done, 0);
            if (n <= 0) failure = "can not write " + path_ + ": " + (n < 0 ? reason() : std::string(from + " is shorter"));
            else done += static_cast<std::uint64_t>(n);
        }
        if (in >= 0) ::close(in);
    }
    for (std::size_t done = 0; failure.empty() && done < bytes.size();) {
        const ssize_t n = ::write(out, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) failure = "can not write " + path_ + ": " + (n < 0 ? reason() : std::strerror(ENOSPC));
        else done += static_cast<std::size_t>(n);
    }
    if (::close(out) != 0 && failure.empty()) failure = "can not write " + path_ + ": " + reason();
    if (!failure.empty()) throw WriteFailed(failure);
}

void write_file(const std::string& path, std::string_view bytes, const WholeFile& how) {
    AtomicFile file(path, how);
    file.write(bytes);
    file.commit();
}

StagedFiles::StagedFiles(WholeFile how) : how_(std::move(how)) {
    if (how_.staging.empty()) return;
    std::error_code ec;
    fs::create_directories(how_.staging, ec);
    if (ec) throw OutputRefused("can not create " + how_.staging + ": " + ec.message());
}

StagedFiles::~StagedFiles() {
    files_.clear();   // their temporary files first
    std::error_code ec;
    if (!how_.staging.empty()) fs::remove(how_.staging, ec);   // only when empty
}

void StagedFiles::add(const std::string& path, std::string_view bytes) {
    auto file = std::make_unique<AtomicFile>(path, how_);
    file->write(bytes);
    files_.push_back(std::move(file));
}

void StagedFiles::add_grown(const std::string& path, std::uint64_t keep, std::string_view tail) {
    auto file = std::make_unique<AtomicFile>(path, how_);
    file->write(tail, path, keep);
    files_.push_back(std::move(file));
}

void StagedFiles::commit() {
    for (auto& f : files_) f->commit();
    files_.clear();
}

void write_file(const std::string& path, const std::function<void(std::FILE*)>& fill, const WholeFile& how) {
    AtomicFile file(path, how);
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> out(std::fopen(file.temp().c_str(), "w"));
    if (!out) throw WriteFailed("can not write " + path + ": " + reason());
    errno = 0;
    fill(out.get());
    std::FILE* f = out.release();
    const bool failed = std::ferror(f) != 0;
    const int error = errno;
    const bool closed = std::fclose(f) == 0;
    if (failed || !closed) {
        const int why = closed ? error : errno;
        throw WriteFailed("can not write " + path + ": " + (why ? std::strerror(why) : "write error"));
    }
    file.commit();
}

std::optional<std::string> folder_problem(const std::string& target, std::span<const std::string> inputs) {
    return problem_of(resolved(target), target, inputs);
}

ResultFolder::ResultFolder(const std::string& target, std::span<const std::string> inputs) : given_(target) {
    if (auto problem = folder_problem(target, inputs)) throw OutputRefused(*problem);
    const fs::path t = resolved(target);
    target_ = t.string();
    for (const auto& in : inputs) inputs_.push_back(resolved(in).string());
    std::error_code ec;
    fs::create_directories(t.parent_path(), ec);
    if (ec) throw OutputRefused("can not create " + t.parent_path().string() + ": " + ec.message());
    for (;;) {
        work_ = temp_beside(t).string();
        if (::mkdir(work_.c_str(), 0777) == 0) return;
        if (errno != EEXIST)
            throw OutputRefused("can not create a folder beside " + given_ + " in " + t.parent_path().string() + ": " +
                                reason());
    }
}

ResultFolder::~ResultFolder() { discard(); }

void ResultFolder::discard() {
    std::error_code ec;
    if (!done_) fs::remove_all(work_, ec);
    done_ = true;
}

void ResultFolder::carry_inputs(std::set<std::string>& foreign) const {
    const std::set<std::string> old = listed_in(target_);
    for (const std::string& in : inputs_) {
        if (!inside(in, target_)) continue;
        const fs::path rel = fs::path(in).lexically_relative(target_), to = fs::path(work_) / rel;
        std::error_code ec;
        if (fs::exists(fs::symlink_status(to, ec)) || !fs::exists(in, ec)) continue;   // a result took its name
        fs::create_directories(to.parent_path(), ec);
        if (::link(in.c_str(), to.c_str()) != 0) {
            ec.clear();
            fs::copy_file(in, to, ec);
            if (ec) throw WriteFailed("can not keep the input " + in + " among the results: " + ec.message());
        }
        for (auto& name : with_parents(rel))
            if (!old.contains(name)) foreign.insert(name);
    }
}

void ResultFolder::swap_in() {
    const fs::path target(target_);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(target, ec))) {
        if (::rename(work_.c_str(), target_.c_str()) != 0)
            throw WriteFailed("can not put the results at " + given_ + ": " + reason());
    } else if (::renameat2(AT_FDCWD, work_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) == 0) {
        fs::remove_all(work_, ec);   // the earlier results, now at the work folder's name
    } else if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
        // No exchange on this file system: the earlier folder goes aside first.
        const std::string aside = work_ + ".old";
        if (::rename(target_.c_str(), aside.c_str()) != 0)
            throw WriteFailed("can not replace " + given_ + ": " + reason());
        if (::rename(work_.c_str(), target_.c_str()) != 0) {
            const std::string why = reason();
            ::rename(aside.c_str(), target_.c_str());
            throw WriteFailed("can not replace " + given_ + ": " + why);
        }
        fs::remove_all(aside, ec);
    } else {
        throw WriteFailed("can not replace " + given_ + ": " + reason());
    }
    done_ = true;
    sync(target.parent_path(), true, given_);
}

void ResultFolder::commit() {
    if (auto problem = problem_of(target_, given_, inputs_)) {
        done_ = true;   // the new results stay where they are
        throw WriteFailed(*problem + "; the new results are in " + work_);
    }
    std::string error;
    auto entries = entries_of(work_, error);
    if (!entries) throw WriteFailed("can not read " + work_ + ": " + error);
    std::error_code ec;
    for (const std::string& e : *entries)
        if (is_left_over(fs::path(e).filename().string())) fs::remove_all(fs::path(work_) / e, ec);
    std::set<std::string> foreign;
    carry_inputs(foreign);
    entries = entries_of(work_, error);
    if (!entries) throw WriteFailed("can not read " + work_ + ": " + error);
    write_file(path(kResultsList), [&](std::FILE* f) {
        std::fputs("# What velmora wrote here. It replaces this folder only while it holds nothing else.\n", f);
        for (const std::string& e : *entries)
            if (!foreign.contains(e) && e != kResultsList) std::fprintf(f, "%s\n", e.c_str());
    });
    for (const std::string& e : *entries) {
        const fs::path p = fs::path(work_) / e;
        const auto kind = fs::symlink_status(p, ec).type();
        if (kind == fs::file_type::regular || kind == fs::file_type::directory)
            sync(p, kind == fs::file_type::directory, (fs::path(given_) / e).string());
    }
    sync(work_, true, given_);
    swap_in();
}

struct ShownAtTargetIo {
    // Whole lines go on at once, so that a path is never cut in two.
    static ssize_t write(void* cookie, const char* data, std::size_t size) {
        auto& s = *static_cast<ShownAtTarget*>(cookie);
        s.line_.append(data, size);
        for (auto end = s.line_.find('\n'); end != std::string::npos; end = s.line_.find('\n')) {
            const std::string line = s.shown(s.line_.substr(0, end + 1));
            std::fwrite(line.data(), 1, line.size(), s.to_);
            s.line_.erase(0, end + 1);
        }
        std::fflush(s.to_);
        return static_cast<ssize_t>(size);
    }
    static int close(void* cookie) {
        auto& s = *static_cast<ShownAtTarget*>(cookie);
        const std::string rest = s.shown(s.line_);
        std::fwrite(rest.data(), 1, rest.size(), s.to_);
        std::fflush(s.to_);
        return 0;
    }
};

ShownAtTarget::ShownAtTarget(const ResultFolder& folder, std::FILE* to)
    : work_(folder.work()), target_(folder.target()), to_(to) {
    stream_ = ::fopencookie(this, "w", {nullptr, &ShownAtTargetIo::write, nullptr, &ShownAtTargetIo::close});
    if (stream_) std::setvbuf(stream_, nullptr, _IOLBF, 0);
}

ShownAtTarget::~ShownAtTarget() {
    if (stream_) std::fclose(stream_);
}

std::string ShownAtTarget::shown(std::string text) const {
    for (auto at = text.find(work_); at != std::string::npos; at = text.find(work_, at + target_.size()))
        text.replace(at, work_.size(), target_);
    return text;
}

void remove_left_overs(const std::string& folder) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (is_left_over(e.path().filename().string())) fs::remove_all(e.path(), ec);
}

void note_written(const std::string& folder, const std::string& name) {
    const fs::path list = fs::path(folder) / kResultsList;
    if (!fs::exists(list)) return;   // not a folder of velmora's results
    std::ofstream out(list, std::ios::app);
    out << name << '\n';
    out.close();
    if (!out) throw WriteFailed("can not write " + list.string() + ": " + reason());
}

void check_volume_folder(const std::string& name, const std::string& table) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        throw std::runtime_error(table + " names a folder outside volumes/: \"" + name + "\"");
}

std::vector<std::string> volume_folder_names(std::span<const std::string> paths,
                                             const std::set<std::string>& reserved) {
    std::vector<std::string> stems;
    for (const std::string& p : paths) {
        fs::path name = fs::path(p).lexically_normal();
        if (name.filename().empty()) name = name.parent_path();
        std::string stem = name.stem().string();
        if (stem.empty() || stem == "." || stem == "..") stem = "volume";
        // A hidden name would hide a volume's results, or pass for velmora's own.
        if (stem[0] == '.') stem = "volume" + stem;
        stems.push_back(stem);
    }
    const std::set<std::string> taken(stems.begin(), stems.end());
    std::set<std::string> used = reserved;
    used.insert(kResultsList);
    std::vector<std::string> names;
    for (const std::string& s : stems) {
        std::string name = s;
        for (int k = 2; used.contains(name) || (name != s && taken.contains(name)); ++k) name = s + "-" + std::to_string(k);
        used.insert(name);
        names.push_back(name);
    }
    return names;
}

}  // namespace velmora
