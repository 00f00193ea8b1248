// Closed-ball queries over a KDTree: the points at distance at most r (squared distance at
// most r^2), where KDTree::search_radius keeps only those strictly inside.
#pragma once
#include <cfloat>
#include <vector>

#include "core/kdtree.hpp"

namespace nubiro {

// Hits into `hits` (cleared first), nearest first; returns the count.
inline std::size_t search_closed_ball(const KDTree& tree, const double* query, double r,
                                      std::vector<Neighbor>& hits) {
    // A radius a few units in the last place larger has a square strictly above r^2, so the
    // open search finds every point on the sphere; the cut below restores the exact bound.
    tree.search_radius(query, r * (1 + 4 * DBL_EPSILON), hits);
    const double r2 = r * r;
    std::size_t keep = hits.size();
    while (keep > 0 && hits[keep - 1].dist2 > r2) --keep;
    hits.resize(keep);
    return keep;
}

}  // namespace nubiro
