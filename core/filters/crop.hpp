// Crops: which points lie inside a region. Boundaries belong to the region, except for the
// polygon's sides (the crossing rule decides those). A point with a NaN coordinate is outside.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::filters {

// min_bound <= p <= max_bound in each coordinate.
Result<std::vector<std::uint8_t>> box_mask(std::span<const Vector3d> points, const Vector3d& min_bound,
                                           const Vector3d& max_bound);

// |R^T (p - center)| <= extent / 2 in each coordinate; R's columns are the box's axes.
Result<std::vector<std::uint8_t>> oriented_box_mask(std::span<const Vector3d> points, const Vector3d& center,
                                                    const Matrix3d& rotation, const Vector3d& extent);

// Inside the polygon (even-odd rule) in the plane of the two other coordinates, taken in
// increasing order (axis 2: x, y), and low <= p[axis] <= high.
Result<std::vector<std::uint8_t>> polygon_mask(std::span<const Vector3d> points, std::span<const Vector2d> polygon,
                                               int axis, double low, double high);

}  // namespace nubiro::filters
