#include "io/input_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace velmora {

std::optional<std::string> not_a_regular_file(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return "no such file";
        return std::strerror(errno);
    }
    if (S_ISREG(st.st_mode)) return std::nullopt;
    if (S_ISDIR(st.st_mode)) return "not a regular file (a folder)";
    if (S_ISFIFO(st.st_mode)) return "not a regular file (a FIFO)";
    if (S_ISSOCK(st.st_mode)) return "not a regular file (a socket)";
    return "not a regular file (a device)";
}

}  // namespace velmora
