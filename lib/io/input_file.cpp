#include "io/input_file.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace velmora {

std::string input_file_problem(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) return "no such file";
    if (fs::is_directory(status)) return "a folder, not a regular file";
    if (!fs::is_regular_file(status)) return "not a regular file";
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) return "cannot read: " + ec.message();
    if (size == 0) return "an empty file";
    return {};
}

void require_input_file(const std::string& path) {
    if (std::string problem = input_file_problem(path); !problem.empty()) throw std::runtime_error(path + ": " + problem);
}

}  // namespace velmora
