// Transformation estimation from a correspondence set: point-to-point (closed form through a
// 3x3 SVD, optionally with a uniform scale) and point-to-plane (a linearised 6x6 least-squares
// step). The residual of the current alignment (compute_rmse) comes with each.
//
// Correspondences are (source index, target index) pairs. The public entry points validate
// them first; the estimate_* functions are for internal callers (ICP, RANSAC) whose pairs are
// valid by construction. Every sum runs in pair order, so results never depend on the thread
// count.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/eigen_solvers.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::registration {

enum class EstimationKind : std::uint8_t {
    PointToPoint = 0,
    PointToPointWithScaling = 1,
    PointToPlane = 2,
};

struct TransformationEstimation {
    EstimationKind kind = EstimationKind::PointToPoint;
    bool is_point_to_plane() const { return kind == EstimationKind::PointToPlane; }
    bool with_scaling() const { return kind == EstimationKind::PointToPointWithScaling; }
};

// The first invalid pair as ValueError ("correspondence {i} has negative source index {s}",
// "... negative target index ...", "... source index {s} is out of bounds for {n} points",
// "... target index ...", tested in that order); nothing when all pairs index real points.
std::optional<Error> validate_correspondences(std::span<const Vector2i> corres, std::size_t source_size,
                                              std::size_t target_size);

// Best c*R | t moving the paired source points onto their target points (identity without
// pairs or when the cross-covariance is not finite). c = 1 unless with_scaling.
Matrix4d estimate_point_to_point(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                 std::span<const Vector2i> corres, bool with_scaling);

// One Gauss-Newton step minimising the distances of the paired source points to the target
// points' tangent planes (identity without pairs, or when the target lacks one normal per point).
Matrix4d estimate_point_to_plane(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                 std::span<const Vector3d> target_normals, std::span<const Vector2i> corres);

// The estimator's transformation for already validated pairs.
Matrix4d estimate(const TransformationEstimation& method, std::span<const Vector3d> source,
                  std::span<const Vector3d> target, std::span<const Vector3d> target_normals,
                  std::span<const Vector2i> corres);

// Rotation Rz(gamma)*Ry(beta)*Rx(alpha) and translation from (alpha, beta, gamma, tx, ty, tz),
// through the quaternion qz*qy*qx.
Matrix4d vector_to_transform(const Vector6d& x);

// Public forms: validate the pairs, then compute. The points are used as they are.
Result<double> compute_rmse(const TransformationEstimation& method, std::span<const Vector3d> source,
                            std::span<const Vector3d> target, std::span<const Vector3d> target_normals,
                            std::span<const Vector2i> corres);
Result<Matrix4d> compute_transformation(const TransformationEstimation& method, std::span<const Vector3d> source,
                                        std::span<const Vector3d> target, std::span<const Vector3d> target_normals,
                                        std::span<const Vector2i> corres);

}  // namespace nubiro::registration
