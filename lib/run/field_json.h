// Fields in network files: a description in JSON builds a field of the
// host's tree, and a field of the tree gives back the same description, so
// that what one run writes another can read.
#pragma once

#include <cstdint>

#include "run/document.h"
#include "tree.h"

#include "io/volume.h"

namespace velmora {

// The most nodes a field of a network may have: those of the largest volume
// read from a file.
inline constexpr std::int64_t max_nodes = max_volume_nodes;

// Builds field (fresh, with the members every field has) from desc; a
// NetworkError names the place of the first value that does not fit.
void load_field(const Json& desc, const Place& place, vhost::Object& field);

// The description of a field in the form load_field reads.
Json field_json(vhost::Object& field);

}  // namespace velmora
