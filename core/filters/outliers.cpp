#include "core/filters/outliers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/kdtree.hpp"
#include "core/number_text.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::filters {
namespace {

constexpr std::size_t kChunk = 512;

}  // namespace

Result<StatisticalOutliers> statistical_outliers(std::span<const Vector3d> points, std::int64_t k,
                                                 double std_ratio) {
    if (k < 1) return value_error("k must be a positive integer, got " + std::to_string(k));
    if (!(std_ratio > 0) || !std::isfinite(std_ratio))
        return value_error("std_ratio must be a positive number, got " + text::format_shortest(std_ratio));

    KDTree tree;
    tree.build_from_points(points);
    const std::size_t finite = tree.permutation().size();
    // The point itself comes first among its own neighbours (or an exact duplicate, at the same
    // distance 0), so one more is asked for and the first is skipped.
    const std::size_t want = std::min(static_cast<std::size_t>(k) + 1, finite);

    // Non-finite points keep NaN. The others are visited in the tree's leaf order, where
    // consecutive queries touch the same nodes and points: far fewer cache misses than in the
    // cloud's own order, same results.
    std::vector<double> mean(points.size(), std::numeric_limits<double>::quiet_NaN());
    const std::span<const std::uint32_t> leaf_order = tree.permutation();
    parallel::parallel_for_chunks(
        leaf_order.size(),
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            std::vector<std::uint32_t> idx(want);
            std::vector<double> d2(want);
            for (std::size_t j = begin; j < end; ++j) {
                const std::uint32_t i = leaf_order[j];
                const std::size_t found = tree.search_knn(points[i].data(), want, idx.data(), d2.data());
                double sum = 0;
                for (std::size_t m = 1; m < found; ++m) sum += std::sqrt(d2[m]);
                mean[i] = found > 1 ? sum / static_cast<double>(found - 1) : 0.0;
            }
        },
        kChunk);

    // Two passes in index order over the finite points: mean, then the squared deviations.
    double sum = 0;
    for (const double d : mean)
        if (!std::isnan(d)) sum += d;
    const double avg = finite ? sum / static_cast<double>(finite) : 0.0;
    double sq = 0;
    for (const double d : mean)
        if (!std::isnan(d)) sq += (d - avg) * (d - avg);
    const double sd = finite > 1 ? std::sqrt(sq / static_cast<double>(finite - 1)) : 0.0;
    const double threshold = avg + std_ratio * sd;

    std::vector<std::uint8_t> keep(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) keep[i] = mean[i] <= threshold;  // false for NaN
    return StatisticalOutliers{kept_indices(keep), std::move(mean)};
}

Result<Indices> radius_outliers(std::span<const Vector3d> points, std::int64_t min_points, double radius) {
    if (min_points < 1) return value_error("min_points must be a positive integer, got " + std::to_string(min_points));
    if (!(radius > 0) || !std::isfinite(radius))
        return value_error("radius must be a positive number, got " + text::format_shortest(radius));

    KDTree tree;
    tree.build_from_points(points);
    const std::size_t finite = tree.permutation().size();
    const std::size_t want = static_cast<std::size_t>(min_points) + 1;  // the point itself and min_points others
    const double r2 = radius * radius;

    std::vector<std::uint8_t> keep(points.size(), 0);
    if (finite >= want) {
        // The (min_points + 1)-th nearest, the point itself included, decides: no full radius
        // search is needed to know that the count reaches min_points.
        const std::span<const std::uint32_t> leaf_order = tree.permutation();  // as above
        parallel::parallel_for_chunks(
            leaf_order.size(),
            [&](std::size_t begin, std::size_t end) {
                parallel::check_cancelled();
                std::vector<std::uint32_t> idx(want);
                std::vector<double> d2(want);
                for (std::size_t j = begin; j < end; ++j) {
                    const std::uint32_t i = leaf_order[j];
                    const std::size_t found = tree.search_knn(points[i].data(), want, idx.data(), d2.data());
                    keep[i] = found == want && d2[want - 1] <= r2;
                }
            },
            kChunk);
    }
    return kept_indices(keep);
}

}  // namespace nubiro::filters
