// Outlier removal by neighbourhood statistics. Points with a NaN or infinite coordinate are
// never kept and take no part in any neighbourhood.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/filters/select.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::filters {

struct StatisticalOutliers {
    Indices kept;                       // ascending
    std::vector<double> mean_distances; // per point; NaN for a non-finite point
};

// Per point, the mean distance to its k nearest other points (fewer when the cloud has fewer);
// a point is kept when that mean is at most mean + std_ratio * s over the finite points, s
// being their sample standard deviation (divisor m - 1; 0 for fewer than two points).
// k >= 1 and std_ratio > 0, else a value error naming the argument.
Result<StatisticalOutliers> statistical_outliers(std::span<const Vector3d> points, std::int64_t k,
                                                 double std_ratio);

// Kept when at least min_points other points lie within `radius` (squared distance at most
// radius^2). min_points >= 1 and radius > 0, else a value error naming the argument.
Result<Indices> radius_outliers(std::span<const Vector3d> points, std::int64_t min_points, double radius);

}  // namespace nubiro::filters
