// JSON text for people and programs alike: objects and lists of objects
// indented, lists of plain values on as few lines as reads well.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "run/document.h"

namespace velmora {

// Texts that are not valid UTF-8 are written json_safe, so that whatever a
// module wrote into a label, and any file name, can still be written.
void write_json(std::ostream& out, const Json& value);
std::string json_text(const Json& value);

// JSON's strings are Unicode; a file name on Linux may hold any byte. Every
// byte that is not part of valid UTF-8 becomes the private-use character
// U+EF00 + byte (U+EF80 to U+EFFF, as MirBSD's OPTU-8 maps raw bytes), and
// so do the bytes of those characters themselves where a text holds them:
// raw_bytes undoes it exactly, so that a name written into a network reads
// back as the same bytes.
std::string json_safe(std::string_view bytes);
std::string raw_bytes(std::string_view text);
// value.dump(indent), every string and key of it made json_safe first.
std::string json_dump(const Json& value, int indent = -1);

}  // namespace velmora
