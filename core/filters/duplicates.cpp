#include "core/filters/duplicates.hpp"

#include <algorithm>
#include <cmath>

#include "core/kdtree.hpp"
#include "core/kdtree_ball.hpp"
#include "core/number_text.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"
#include "core/point_limits.hpp"

namespace nubiro::filters {
namespace {

// Sorting by (x, y, z, point number) puts equal points next to each other with the first one
// leading its run; the order is total, so the result does not depend on the sort.
std::vector<std::uint8_t> exact(std::span<const Vector3d> points) {
    std::vector<std::uint32_t> order;
    order.reserve(points.size());
    std::vector<std::uint8_t> keep(points.size(), 1);
    for (std::size_t i = 0; i < points.size(); ++i)
        if (is_finite(points[i])) order.push_back(static_cast<std::uint32_t>(i));
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        const Vector3d &p = points[a], &q = points[b];
        if (p[0] != q[0]) return p[0] < q[0];
        if (p[1] != q[1]) return p[1] < q[1];
        if (p[2] != q[2]) return p[2] < q[2];
        return a < b;
    });
    for (std::size_t j = 1; j < order.size(); ++j)
        if (points[order[j]] == points[order[j - 1]]) keep[order[j]] = 0;
    return keep;
}

// Greedy in point order: each point that stays removes the later points within tolerance.
std::vector<std::uint8_t> within(std::span<const Vector3d> points, double tolerance) {
    KDTree tree;
    tree.build_from_points(points);
    std::vector<std::uint8_t> keep(points.size(), 1);
    std::vector<Neighbor> hits;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!keep[i] || !is_finite(points[i])) continue;
        if ((i & 4095) == 0) parallel::check_cancelled();
        search_closed_ball(tree, points[i].data(), tolerance, hits);
        for (const Neighbor& h : hits)
            if (h.index > i) keep[h.index] = 0;
    }
    return keep;
}

}  // namespace

Result<Indices> unique_points(std::span<const Vector3d> points, double tolerance) {
    if (!(tolerance >= 0) || !std::isfinite(tolerance))
        return value_error("tolerance must be a non-negative number, got " + text::format_shortest(tolerance));
    require_count(points.size(), kMaxIndexedPoints, "points in the cloud");
    return kept_indices(tolerance == 0 ? exact(points) : within(points, tolerance));
}

}  // namespace nubiro::filters
