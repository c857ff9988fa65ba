// What a module declares on an instance, as text: `velmora modules` prints
// it, the Python package lists it.
#pragma once

#include <string>

#include "tree.h"

namespace velmora {

// "int", "float[nnodes]", "group[nsurf]", "link to ..."
std::string kind_text(const vhost::Object& o);
// " = 3", " = 0.5", " = \"text\""; empty without a default.
std::string default_text(const vhost::Object& o);
// "in", "out", "in/out", or empty.
const char* role_text(vhost::Role r);

}  // namespace velmora
