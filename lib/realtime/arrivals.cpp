#include "realtime/arrivals.h"

#include <bzlib.h>
#include <hdf5.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "io/file_handles.h"
#include "polar/nexrad_records.h"

namespace velmora::realtime {

namespace fs = std::filesystem;

bool writing_name(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return name.empty() || name[0] == '.' || lower.ends_with(".tmp") || lower.ends_with(".part");
}

namespace {

std::string kind_of(mode_t m) {
    if (S_ISFIFO(m)) return "a FIFO";
    if (S_ISCHR(m)) return "a character device";
    if (S_ISBLK(m)) return "a block device";
    if (S_ISSOCK(m)) return "a socket";
    return "not a regular file";
}

std::int64_t mtime_ns(const struct stat& st) {
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

}  // namespace

Entry look_at(const std::string& dir, const std::string& name) {
    Entry e;
    e.path = (fs::path(dir) / name).string();
    struct stat st {};
    if (::lstat(e.path.c_str(), &st) != 0) return e;   // gone
    if (S_ISLNK(st.st_mode)) {
        std::error_code ec;
        const fs::path target = fs::canonical(e.path, ec);
        const fs::path home = fs::canonical(dir, ec);
        if (ec || target.empty()) return {Entry::Kind::Refused, e.path, 0, 0, "a link to nothing: not read"};
        const auto rel = target.lexically_relative(home);
        if (rel.empty() || *rel.begin() == "..")
            return {Entry::Kind::Refused, e.path, 0, 0, "a link out of the folder (to " + target.string() + "): not read"};
        e.path = target.string();
        if (::stat(e.path.c_str(), &st) != 0) return {};
    }
    if (S_ISDIR(st.st_mode)) return {Entry::Kind::Folder, e.path, 0, 0, {}};
    if (!S_ISREG(st.st_mode)) return {Entry::Kind::Refused, e.path, 0, 0, kind_of(st.st_mode) + ", not a regular file: not read"};
    return {Entry::Kind::File, e.path, static_cast<std::int64_t>(st.st_size), mtime_ns(st), {}};
}

std::string checksum_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path + ": cannot be read");
    uLong crc = crc32(0L, Z_NULL, 0);
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        crc = crc32(crc, reinterpret_cast<const Bytef*>(buf.data()), static_cast<uInt>(in.gcount()));
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08lx", crc);
    return hex;
}

std::optional<ChunkName> chunk_name(const std::string& name) {
    // YYYYMMDD-HHMMSS-NNN-T: digits and dashes where they belong.
    if (name.size() != 21) return std::nullopt;
    for (std::size_t i = 0; i < 19; ++i) {
        if (i == 8 || i == 15) {
            if (name[i] != '-') return std::nullopt;
        } else if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return std::nullopt;
        }
    }
    if (name[19] != '-' || (name[20] != 'S' && name[20] != 'I' && name[20] != 'E')) return std::nullopt;
    return ChunkName{name.substr(0, 15), std::stoi(name.substr(16, 3)), name[20]};
}

}  // namespace velmora::realtime
