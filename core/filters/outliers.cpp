#include "core/filters/outliers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/kdtree.hpp"
#include "core/knn_sweep.hpp"
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

    parallel::report_stage("statistical outliers");
    KDTree tree;
    tree.build_from_points(points);
    const std::size_t finite = tree.permutation().size();
    // The point itself comes first among its own neighbours (or an exact duplicate, at the same
    // distance 0), so one more is asked for and the first is skipped.
    const std::size_t want = std::min(static_cast<std::size_t>(k) + 1, finite);

    // Non-finite points keep NaN.
    std::vector<double> mean(points.size(), std::numeric_limits<double>::quiet_NaN());
    for_each_knn_in_leaf_order(tree, want, kChunk,
                               [&](std::uint32_t i, std::span<const std::uint32_t>, std::span<const double> d2) {
                                   const std::size_t found = d2.size();
                                   double sum = 0;
                                   for (std::size_t m = 1; m < found; ++m) sum += std::sqrt(d2[m]);
                                   mean[i] = found > 1 ? sum / static_cast<double>(found - 1) : 0.0;
                               });

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

    parallel::report_stage("radius outliers");
    KDTree tree;
    tree.build_from_points(points);
    const std::size_t finite = tree.permutation().size();
    const std::size_t want = static_cast<std::size_t>(min_points) + 1;  // the point itself and min_points others
    const double r2 = radius * radius;

    std::vector<std::uint8_t> keep(points.size(), 0);
    if (finite >= want) {
        // The (min_points + 1)-th nearest, the point itself included, decides: no full radius
        // search is needed to know that the count reaches min_points.
        for_each_knn_in_leaf_order(tree, want, kChunk,
                                   [&](std::uint32_t i, std::span<const std::uint32_t>, std::span<const double> d2) {
                                       keep[i] = d2.size() == want && d2[want - 1] <= r2;
                                   });
    }
    return kept_indices(keep);
}

}  // namespace nubiro::filters
