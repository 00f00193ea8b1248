// The squared distance every search of the KD-tree computes, shared by the plain search and the
// batched one: their results agree only because both sum in exactly this order.
#pragma once
#include <cstddef>

namespace nubiro::kdtree_detail {

template <int D>
inline std::size_t dims_of(std::size_t d) {
    if constexpr (D == 0) return d;
    else return D;
}

// Squared distance with the fixed summation order: left to right for d <= 3; for larger d,
// groups of four summed as ((a + b) + c) + d, each then added to the running total, and the
// remainder added one at a time. `worst` only allows an early exit once the partial total
// already exceeds it; sums of squares never decrease, so such a point could not pass anyway.
template <int D>
inline double squared_distance(const double* q, const double* p, std::size_t d, double worst) {
    const std::size_t n = dims_of<D>(d);
    auto sq = [&](std::size_t i) {
        const double t = q[i] - p[i];
        return t * t;
    };
    if (n <= 3) {
        double s = sq(0);
        for (std::size_t i = 1; i < n; ++i) s = s + sq(i);
        return s;
    }
    double total = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        total = total + (((sq(i) + sq(i + 1)) + sq(i + 2)) + sq(i + 3));
        if (total > worst) return total;
    }
    for (; i < n; ++i) total = total + sq(i);
    return total;
}

}  // namespace nubiro::kdtree_detail
