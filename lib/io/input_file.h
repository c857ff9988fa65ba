// Files velmora reads volumes from: local regular files only. A pipe or a
// device would be waited on for ever, a folder holds no volume, and the
// NetCDF library would fetch a URL over the network.
#pragma once

#include <string>

namespace velmora {

// What keeps path from being read as a volume file ("no such file", "a
// folder, not a regular file", "not a regular file (a FIFO)", "an empty
// file", ...), or "" when it is a regular file (through links) with something
// in it. Asks the file system only: opens nothing.
std::string input_file_problem(const std::string& path);

// Throws std::runtime_error "<path>: <problem>" for such a file.
void require_input_file(const std::string& path);

}  // namespace velmora
