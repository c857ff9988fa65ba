// JSON text for people and programs alike: objects and lists of objects
// indented, lists of plain values on as few lines as reads well.
#pragma once

#include <ostream>
#include <string>

#include "run/document.h"

namespace velmora {

// Texts that are not valid UTF-8 have the invalid bytes replaced, so that
// whatever a module wrote into a label can still be written.
void write_json(std::ostream& out, const Json& value);
std::string json_text(const Json& value);

}  // namespace velmora
