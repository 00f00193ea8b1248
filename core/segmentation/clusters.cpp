#include "core/segmentation/clusters.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/kdtree.hpp"
#include "core/kdtree_ball.hpp"
#include "core/knn_sweep.hpp"
#include "core/number_text.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"
#include "core/segmentation/cell_links.hpp"
#include "core/segmentation/union_find.hpp"
#include "core/point_limits.hpp"

namespace nubiro::segmentation {
namespace {

constexpr std::size_t kChunk = 256;

Error not_positive(const char* name, double v) {
    return value_error(std::string(name) + " must be a positive number, got " + text::format_shortest(v));
}

// Links every marked point to each marked neighbour with a lower number, by a search around
// each point: for the clouds whose extent is too large for cells of the radius's size.
void link_by_search(const KDTree& tree, std::span<const Vector3d> points, const std::vector<std::uint8_t>& marked,
                    double radius, UnionFind& sets) {
    parallel::parallel_for_chunks(
        points.size(),
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            std::vector<Neighbor> hits;
            for (std::size_t i = begin; i < end; ++i) {
                if (!marked[i]) continue;
                search_closed_ball(tree, points[i].data(), radius, hits);
                for (const Neighbor& h : hits)
                    if (h.index < i && marked[h.index])
                        sets.unite(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(h.index));
            }
        },
        kChunk);
}

}  // namespace

Result<std::vector<std::int64_t>> dbscan(std::span<const Vector3d> points, double eps, std::int64_t min_points) {
    if (!(eps > 0) || !std::isfinite(eps)) return not_positive("eps", eps);
    if (min_points < 1) return value_error("min_points must be a positive integer, got " + std::to_string(min_points));
    const std::size_t n = points.size();
    parallel::report_stage("DBSCAN");
    KDTree tree;
    tree.build_from_points(points);
    const double eps2 = eps * eps;
    const auto want = static_cast<std::size_t>(min_points);

    // Core points: the min_points-th nearest (the point itself included) lies within eps.
    // Both searches visit the finite points in the tree's leaf order, where consecutive
    // queries touch the same nodes and points (far fewer cache misses than the cloud's order).
    const std::span<const std::uint32_t> leaf_order = tree.permutation();
    std::vector<std::uint8_t> core(n, 0);
    if (leaf_order.size() >= want) {
        for_each_knn_in_leaf_order(tree, want, kChunk,
                                   [&](std::uint32_t i, std::span<const std::uint32_t>, std::span<const double> d2) {
                                       core[i] = d2.size() == want && d2[want - 1] <= eps2;
                                   });
    }

    UnionFind sets(n);
    if (!link_by_cells(points, core, eps, sets)) link_by_search(tree, points, core, eps, sets);

    // Clusters numbered by their roots, which are their lowest-numbered core points.
    std::vector<std::int64_t> labels(n, -1);
    std::int64_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!core[i]) continue;
        const std::uint32_t root = sets.find(static_cast<std::uint32_t>(i));
        labels[i] = root == i ? next++ : labels[root];
    }

    // Border points: the lowest cluster number among core neighbours. Labels of core points are
    // final here and border points read only those.
    parallel::parallel_for_chunks(
        leaf_order.size(),
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            std::vector<Neighbor> hits;
            for (std::size_t j = begin; j < end; ++j) {
                const std::uint32_t i = leaf_order[j];
                if (core[i]) continue;
                search_closed_ball(tree, points[i].data(), eps, hits);
                std::int64_t label = -1;
                for (const Neighbor& h : hits)
                    if (core[h.index] && (label < 0 || labels[h.index] < label)) label = labels[h.index];
                labels[i] = label;
            }
        },
        kChunk);
    return labels;
}

Result<std::vector<filters::Indices>> euclidean_clusters(std::span<const Vector3d> points, double tolerance,
                                                         std::int64_t min_size, std::int64_t max_size) {
    if (!(tolerance > 0) || !std::isfinite(tolerance)) return not_positive("tolerance", tolerance);
    if (min_size < 1) return value_error("min_size must be a positive integer, got " + std::to_string(min_size));
    if (max_size < min_size)
        return value_error("max_size must be at least min_size, got " + std::to_string(max_size));
    require_count(points.size(), kMaxIndexedPoints, "points in the cloud");
    const std::size_t n = points.size();
    parallel::report_stage("clusters");
    std::vector<std::uint8_t> finite(n);
    for (std::size_t i = 0; i < n; ++i) finite[i] = is_finite(points[i]);
    UnionFind sets(n);
    if (!link_by_cells(points, finite, tolerance, sets)) {
        KDTree tree;
        tree.build_from_points(points);
        link_by_search(tree, points, finite, tolerance, sets);
    }

    // Components in the order of their lowest member, then sorted by size (stable).
    std::vector<std::int64_t> slot(n, -1);
    std::vector<filters::Indices> parts;
    for (std::size_t i = 0; i < n; ++i) {
        if (!finite[i]) continue;
        const std::uint32_t root = sets.find(static_cast<std::uint32_t>(i));
        if (root == i) {
            slot[i] = static_cast<std::int64_t>(parts.size());
            parts.emplace_back();
        }
        parts[static_cast<std::size_t>(slot[root])].push_back(static_cast<std::int64_t>(i));
    }
    std::vector<filters::Indices> out;
    for (auto& p : parts)
        if (static_cast<std::int64_t>(p.size()) >= min_size && static_cast<std::int64_t>(p.size()) <= max_size)
            out.push_back(std::move(p));
    std::stable_sort(out.begin(), out.end(), [](const filters::Indices& a, const filters::Indices& b) {
        return a.size() > b.size();
    });
    return out;
}

}  // namespace nubiro::segmentation
