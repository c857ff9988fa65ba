// What the volume readers share: their messages and the checks and storage
// of a volume's values. Included by the readers' sources only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "io/volume.h"

namespace velmora::volume_reading {

// Throws std::runtime_error "path: what".
[[noreturn]] void fail(const std::string& path, const std::string& what);

// A volume larger than the limit is refused before its values are read.
void check_size(const std::string& path, std::size_t nx, std::size_t ny, std::size_t nz, std::int64_t max_nodes);

// The storage the values of v go to: the sink's, or v's own.
std::span<float> storage_for(Volume& v, std::size_t n, const ValueSink& sink, const std::string& path);

}  // namespace velmora::volume_reading
