#include "realtime/atomic_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace velmora::realtime {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int err) {
    throw std::runtime_error("can not " + what + " " + path + ": " + std::strerror(err));
}

// Writes a new file (replacing one of the same name). It is not flushed to
// disk: a rename replaces a file whole for every process, and against a
// power cut file systems that replace by rename (ext4's auto_da_alloc,
// XFS, btrfs) write the new data before the rename; a flush per file would
// cost more than the volume's checkpoint.
void write_file(const std::string& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("write", path, errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            ::close(fd);
            ::unlink(path.c_str());
            fail("write", path, err);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(path.c_str());
        fail("write", path, err);
    }
}

}  // namespace

void write_atomically(const std::string& path, std::string_view bytes) {
    const fs::path p(path);
    const std::string temporary = (p.parent_path() / ("." + p.filename().string() + ".velmora-tmp")).string();
    write_file(temporary, bytes);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temporary.c_str());
        fail("move into place", path, err);
    }
}

StagedFiles::StagedFiles(std::string staging) : staging_(std::move(staging)) {
    std::error_code ec;
    fs::remove_all(staging_, ec);
    fs::create_directories(staging_, ec);
    if (ec) throw std::runtime_error("can not create " + staging_ + ": " + ec.message());
}

StagedFiles::~StagedFiles() {
    std::error_code ec;
    fs::remove_all(staging_, ec);
}

void StagedFiles::add(const std::string& path, std::string_view bytes) {
    const std::string staged = (fs::path(staging_) / std::to_string(files_.size())).string();
    write_file(staged, bytes);
    files_.emplace_back(staged, path);
}

void StagedFiles::add_grown(const std::string& path, std::uint64_t keep, std::string_view tail) {
    const std::string staged = (fs::path(staging_) / std::to_string(files_.size())).string();
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) fail("read", path, errno);
    const int out = ::open(staged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        fail("write", staged, err);
    }
    std::uint64_t done = 0;
    while (done < keep) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, keep - done, 0);
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(in);
            ::close(out);
            ::unlink(staged.c_str());
            fail("write", staged, err);
        }
        done += static_cast<std::uint64_t>(n);
    }
    ::close(in);
    std::size_t written = 0;
    while (written < tail.size()) {
        const ssize_t n = ::write(out, tail.data() + written, tail.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            ::close(out);
            ::unlink(staged.c_str());
            fail("write", staged, err);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(out) != 0) fail("write", staged, errno);
    files_.emplace_back(staged, path);
}

void StagedFiles::commit() {
    for (const auto& [staged, path] : files_)
        if (::rename(staged.c_str(), path.c_str()) != 0) fail("move into place", path, errno);
    files_.clear();
}

}  // namespace velmora::realtime
