// Choosing the signs of a point cloud's normals: towards a direction, towards a camera, or
// consistently between neighbours. Only normals change, and only by negation (a zero normal
// is replaced, as each function says).
#pragma once
#include <cstdint>
#include <optional>

#include "core/geometry/point_cloud.hpp"
#include "core/result.hpp"

namespace nubiro::geometry {

// Every function fails, changing nothing, when the cloud has no points or not one normal per
// point.

// A zero normal becomes the reference itself; any other normal is negated when it points away.
std::optional<Error> orient_normals_to_align_with_direction(PointCloud& cloud, const Vector3d& reference);

// A zero normal becomes the unit vector to the camera ((0, 0, 1) at the camera itself); any
// other normal is negated when it points away from the camera.
std::optional<Error> orient_normals_towards_camera_location(PointCloud& cloud, const Vector3d& camera);

// See core/geometry/orient_tangent_plane.hpp.
std::optional<Error> orient_normals_consistent_tangent_plane(PointCloud& cloud, std::uint64_t k, double lambda,
                                                             double cos_alpha_tol);

}  // namespace nubiro::geometry
