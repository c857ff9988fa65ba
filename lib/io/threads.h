// How many threads one step of a volume's work (inflating its chunks,
// gridding its sweeps) may use.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace velmora {

// Every core, unless OMP_NUM_THREADS asks for fewer. Dask's workers, and
// batch systems that give a job one core, set it to 1: a process meant to
// keep to one core then does not take turns with its neighbours on theirs.
// Only a leading positive number counts ("4" or "4,2"); anything else is
// ignored.
inline unsigned worker_threads() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const char* env = std::getenv("OMP_NUM_THREADS");
    if (env == nullptr) return cores;
    char* end = nullptr;
    const long asked = std::strtol(env, &end, 10);
    if (end == env || (*end != '\0' && *end != ',') || asked < 1) return cores;
    return static_cast<unsigned>(std::min<long>(cores, asked));
}

}  // namespace velmora
