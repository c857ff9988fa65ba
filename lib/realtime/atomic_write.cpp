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

// Writes and flushes a new file (replacing one of the same name).
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
    // On disk before it takes the place of the old file: after a power cut
    // the name holds the old bytes or the new, never an empty file.
    const bool synced = ::fdatasync(fd) == 0;
    const int err = errno;
    if (::close(fd) != 0 || !synced) {
        ::unlink(path.c_str());
        fail("write", path, synced ? errno : err);
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

void StagedFiles::commit() {
    for (const auto& [staged, path] : files_)
        if (::rename(staged.c_str(), path.c_str()) != 0) fail("move into place", path, errno);
    files_.clear();
}

}  // namespace velmora::realtime
