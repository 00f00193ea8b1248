// Point-to-mesh distances: for each point, the nearest point on any triangle of a mesh.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::measure {

struct MeshDistances {
    std::vector<double> distances;      // Euclidean; NaN for a non-finite point
    std::vector<std::int64_t> triangles; // the nearest triangle (lowest number among equals); -1 for a non-finite point
    std::vector<Vector3d> closest;      // the nearest point on it; NaN for a non-finite point
};

// Triangles with a non-finite vertex are ignored. A vertex index out of range, or no usable
// triangle, is a value error.
Result<MeshDistances> point_to_mesh(std::span<const Vector3d> points, std::span<const Vector3d> vertices,
                                    std::span<const Vector3i> triangles);

// The point of triangle (a, b, c) nearest to p (a degenerate triangle counts as its sides).
Vector3d closest_on_triangle(const Vector3d& p, const Vector3d& a, const Vector3d& b, const Vector3d& c);

}  // namespace nubiro::measure
