// Networks of module instances: a network file's fields, instances,
// parameter values and links built on the substitute host, checked before
// anything runs, and put in dataflow order.
#pragma once

#include <string>
#include <vector>

#include "run/document.h"
#include "tree.h"

namespace velmora {

struct PlannedInstance {
    std::string name;
    vhost::Object* object = nullptr;
    std::vector<std::string> calls;   // entry points, called in this order
};

struct Plan {
    std::vector<PlannedInstance> instances;   // in run order
};

// Builds the network of doc on the host, whose tree may hold fields the
// network links to (a volume loaded before) and nothing else, then
// applies the overrides ("INSTANCE.PARAM=VALUE"). Each instance runs after
// the instances it reads from, otherwise in file order. The first problem
// throws a NetworkError naming its place; nothing has been called then, and
// the tree is as it was before: a rejected network leaves nothing behind.
Plan build_network(const Document& doc, const std::vector<std::string>& overrides = {});

// Sets a value of the tree from JSON as "params" do: a number for an
// integer or a real, a text for a string, a list for an array or string
// array, an object for a group, a list of objects for an array of groups,
// null to leave a value unset. name is used in messages.
void set_value(vhost::Object& target, const Json& value, const Place& place, const std::string& name);

}  // namespace velmora
