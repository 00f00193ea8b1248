// Correspondence checkers: cheap tests that reject a proposed alignment from its few sample
// pairs alone, before it is scored against the whole cloud.
#pragma once
#include <cstdint>
#include <span>

#include "core/geometry/point_cloud.hpp"
#include "core/types.hpp"

namespace nubiro::registration {

struct CorrespondenceChecker {
    enum Kind : std::uint8_t { EdgeLength = 0, Distance = 1, Normal = 2 };
    Kind kind = EdgeLength;
    // similarity_threshold, distance_threshold or normal_angle_threshold (radians), by kind.
    double threshold = 0.9;

    // Only the distance test depends on where the transformation puts the source.
    bool require_pointcloud_alignment() const { return kind == Distance; }
};

// The checker's verdict on `pairs` (already known to be valid indexes into both clouds) under
// `transformation`. The pairs are walked in order and the first failure decides; an empty
// list passes.
bool check(const CorrespondenceChecker& checker, const geometry::PointCloud& source,
           const geometry::PointCloud& target, std::span<const Vector2i> pairs, const Matrix4d& transformation);

}  // namespace nubiro::registration
