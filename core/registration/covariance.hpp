// Per-point covariances for plane-to-plane (generalized) ICP.
//
// Each point's k nearest neighbours (the point itself included) give a local covariance; its
// smallest eigenvector is the surface normal n. The covariance kept is the plane model
//     C = I - (1 - epsilon) n n^T,
// i.e. the eigenvalues replaced by (epsilon, 1, 1) along (n, and two tangent directions): the
// point is known well along the normal and hardly at all within the surface, whatever the
// sampling density. Where no normal exists (fewer than three finite neighbours, all of them at
// one place, a collinear neighbourhood, a point that is not finite) the covariance is the
// identity, which makes that point's term a plain point-to-point one. Every covariance is
// therefore finite and positive definite.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "core/kdtree.hpp"
#include "core/types.hpp"

namespace nubiro::registration {

// The unit normal of each point from its k nearest neighbours (k >= 3 counts the point
// itself), or the zero vector where none exists. The sign is not fixed. `tree` indexes `points`.
void estimate_local_normals(std::span<const Vector3d> points, const KDTree& tree, std::size_t k,
                            std::span<Vector3d> normals);

// The plane covariance of a unit normal, or the identity for the zero vector.
Matrix3d plane_covariance(const Vector3d& normal, double epsilon);

// One plane covariance per point into `out` (same length as points); 0 < epsilon <= 1.
void estimate_covariances(std::span<const Vector3d> points, std::size_t k, double epsilon, std::span<Matrix3d> out);

}  // namespace nubiro::registration
