// The object tree after a run, as JSON: every field in the form of a
// network file's "fields" (so that a dump can be read back, and feed the
// next run), and under "run" every instance's parameters, outputs and
// links, the calls made and the texts reported through the error channel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/document.h"
#include "options/options.h"

namespace velmora {

struct CallRecord {
    std::string instance;
    std::string entry;
    int result = 0;
};

struct RunRecord {
    std::string network;   // the file that was run
    std::vector<CallRecord> calls;
};

// How many values a dump of the host's tree holds: array elements and
// strings of arrays, over every field and instance. Each becomes a JSON
// value in memory before the file is written, so the runner bounds it.
std::int64_t dump_values();
inline constexpr auto kDefaultDumpLimit = static_cast<std::int64_t>(options::number("run", "dump-limit"));

// The host's whole tree. Fields keep their paths as names:
// "grid", "thresh.out_nd", "slice.oplanes[2]".
Json dump_tree(const RunRecord& run);

}  // namespace velmora
