// Linking the points of a cloud that lie within a distance of each other, through a grid of
// cells instead of one neighbourhood search per point.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/segmentation/union_find.hpp"
#include "core/types.hpp"

namespace nubiro::segmentation {

// Unites in `sets` every two marked points at distance at most `radius` (squared distances
// compared with radius^2), or returns false without touching `sets` when the cloud's extent
// is too large for cells of that size (the caller then searches point by point).
bool link_by_cells(std::span<const Vector3d> points, const std::vector<std::uint8_t>& marked, double radius,
                   UnionFind& sets);

}  // namespace nubiro::segmentation
