// Inputs are read from regular files only: a FIFO or a device would be
// waited on for ever, a folder fails deep in a reader with a message that
// says nothing.
#pragma once

#include <optional>
#include <string>

namespace velmora {

// What keeps path from being read as an input file ("no such file", "not a
// regular file (a FIFO)", ...), without opening it; nothing when it is a
// regular file (through links).
std::optional<std::string> not_a_regular_file(const std::string& path);

}  // namespace velmora
