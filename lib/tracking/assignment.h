// The one-to-one assignment of greatest total weight between two sets
// (a maximum weighted matching of a bipartite graph), by LEMON.
#pragma once

#include <cstddef>
#include <vector>

namespace velmora::tracking {

struct Candidate {
    std::size_t a, b;   // an element of each set
    double weight;      // > 0
};

// For each element of the first set (na of them), the element of the
// second it is assigned to, or -1.
std::vector<int> assign(std::size_t na, std::size_t nb, const std::vector<Candidate>& candidates);

}  // namespace velmora::tracking
