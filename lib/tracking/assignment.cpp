// Compiled as C++17: LEMON 1.3 builds its maps on allocator members that
// C++20 removed. This file includes nothing of ours but its header.
#include "tracking/assignment.h"

// As templates only: no library to link.
#define LEMON_ONLY_TEMPLATES
#include <lemon/list_graph.h>
#include <lemon/matching.h>

namespace velmora::tracking {

std::vector<int> assign(std::size_t na, std::size_t nb, const std::vector<Candidate>& candidates) {
    lemon::ListGraph g;
    std::vector<lemon::ListGraph::Node> a_node(na), b_node(nb);
    for (auto& n : a_node) n = g.addNode();
    for (auto& n : b_node) n = g.addNode();
    lemon::ListGraph::EdgeMap<double> weight(g);
    lemon::ListGraph::EdgeMap<int> which(g);
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        const Candidate& c = candidates[k];
        if (c.a >= na || c.b >= nb || !(c.weight > 0)) continue;
        const auto e = g.addEdge(a_node[c.a], b_node[c.b]);
        weight[e] = c.weight;
        which[e] = static_cast<int>(k);
    }
    lemon::MaxWeightedMatching<lemon::ListGraph, lemon::ListGraph::EdgeMap<double>> matching(g, weight);
    matching.run();
    std::vector<int> mate(na, -1);
    for (lemon::ListGraph::EdgeIt e(g); e != lemon::INVALID; ++e)
        if (matching.matching(e)) {
            const Candidate& c = candidates[static_cast<std::size_t>(which[e])];
            mate[c.a] = static_cast<int>(c.b);
        }
    return mate;
}

}  // namespace velmora::tracking
