// Selections of a cloud by point number: the gather that builds the selected cloud, and the
// compaction of a keep-mask into ascending point numbers. Every filter in this directory
// decides which points stay and hands the decision to these two.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/geometry/point_cloud.hpp"

namespace nubiro::filters {

// Point numbers as the Python side sees them.
using Indices = std::vector<std::int64_t>;

// A new cloud of the points `indices` (each in [0, size), any order, repeats allowed), with
// their normals and colours when the cloud has one per point. The caller checks the range.
geometry::PointCloud gather(const geometry::PointCloud& cloud, std::span<const std::int64_t> indices);

// The positions of the non-zero entries, ascending.
Indices kept_indices(std::span<const std::uint8_t> keep);

// 1 for a point whose three coordinates are finite.
std::vector<std::uint8_t> finite_mask(std::span<const Vector3d> points);

}  // namespace nubiro::filters
