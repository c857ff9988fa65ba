// JSON values to and from the host's values: numbers, texts and arrays of
// every data type, with a message naming the place when a value does not
// fit what the tree declares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/document.h"
#include "tree.h"

namespace velmora {

// "the string \"abc\"", "the number 1.5", "a list of 3 values", ...
std::string describe(const Json& v);
// "an integer", "a real", "a field", "an array of 16 floats", ...
std::string kind_phrase(vhost::Object& o);
// "float", "int", ...; empty for a code without a name.
std::string type_name(int type);
int type_code(const std::string& name);   // -1 when unknown

// Numbers; "nan", "inf" and "-inf" stand for the values JSON cannot write.
// what, when given, names the value in messages ("\"ndiv\"").
bool is_real(const Json& v);
double real_of(const Json& v, const Place& p, const std::string& what = {});
float float_of(const Json& v, const Place& p, const std::string& what = {});
std::int64_t integer_of(const Json& v, const Place& p, std::int64_t lo, std::int64_t hi, const std::string& what = {});

// JSON for host values: the shortest text that reads back as the same
// value; not-a-number and infinities as "nan", "inf", "-inf".
Json float_json(float v);
Json real_json(double v);

// Fills a typed array of the tree from a list whose length the caller has
// checked against the array's length.
void store_list(vhost::Object& array, const Json& list, const Place& p);
// The values of a typed array.
Json array_json(vhost::Object& array);

// The value of key in a JSON object, or null.
const Json* member(const Json& obj, const char* key);
// Fails at the first key of obj that is not among known; what names obj in
// the message ("an instance").
void only_keys(const Json& obj, const Place& p, const std::vector<std::string>& known, const std::string& what);
// "a, b, c".
std::string joined(const std::vector<std::string>& items);

// " (did you mean \"x\"?)" for the candidate closest to name, or "".
std::string suggestion(const std::string& name, const std::vector<std::string>& candidates);
// The names of the children of a group, in order, as "a, b, c".
std::string child_list(const vhost::Object& group);
std::vector<std::string> child_names(const vhost::Object& group);

}  // namespace velmora
