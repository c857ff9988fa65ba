#include "io/input_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velmora {

std::string input_file_problem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return "no such file";
        return std::string("cannot read: ") + std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode)) return "a folder, not a regular file";
    if (S_ISFIFO(st.st_mode)) return "not a regular file (a FIFO)";
    if (S_ISSOCK(st.st_mode)) return "not a regular file (a socket)";
    if (!S_ISREG(st.st_mode)) return "not a regular file (a device)";
    if (st.st_size == 0) return "an empty file";
    return {};
}

void require_input_file(const std::string& path) {
    if (std::string problem = input_file_problem(path); !problem.empty()) throw std::runtime_error(path + ": " + problem);
}

}  // namespace velmora
