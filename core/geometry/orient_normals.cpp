#include "core/geometry/orient_normals.hpp"

#include <cmath>

#include "core/geometry/orient_tangent_plane.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::geometry {
namespace {

std::optional<Error> missing_normals(const PointCloud& cloud) {
    if (cloud.has_normals()) return std::nullopt;
    return runtime_error("No normals in the PointCloud. Call EstimateNormals() first.");
}

inline void negate(Vector3d& n) { n = {-n[0], -n[1], -n[2]}; }

}  // namespace

std::optional<Error> orient_normals_to_align_with_direction(PointCloud& cloud, const Vector3d& reference) {
    if (auto e = missing_normals(cloud)) return e;
    for (Vector3d& n : cloud.normals) {
        if (squared_norm(n) == 0.0)
            n = reference;
        else if (dot(n, reference) < 0.0)
            negate(n);
    }
    return std::nullopt;
}

std::optional<Error> orient_normals_towards_camera_location(PointCloud& cloud, const Vector3d& camera) {
    if (auto e = missing_normals(cloud)) return e;
    for (std::size_t i = 0; i < cloud.points.size(); ++i) {
        const Vector3d& p = cloud.points[i];
        Vector3d& n = cloud.normals[i];
        const Vector3d v = sub(camera, p);
        if (squared_norm(n) == 0.0) {
            const double l2 = squared_norm(v);
            if (l2 == 0.0) {
                n = {0.0, 0.0, 1.0};
            } else {
                const double len = std::sqrt(l2);
                n = {v[0] / len, v[1] / len, v[2] / len};
            }
        } else if (dot(v, n) < 0.0) {
            negate(n);
        }
    }
    return std::nullopt;
}

std::optional<Error> orient_normals_consistent_tangent_plane(PointCloud& cloud, std::uint64_t k, double lambda,
                                                             double cos_alpha_tol) {
    if (auto e = missing_normals(cloud)) return e;
    orient_normals_consistent_tangent_plane(cloud.points.span(), cloud.normals.span(), k, lambda, cos_alpha_tol);
    return std::nullopt;
}

}  // namespace nubiro::geometry
