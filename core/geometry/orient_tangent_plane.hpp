// Consistent normal orientation over a neighbourhood graph: the signs of the normals are
// propagated from the lowest point along a minimum spanning tree whose edges prefer
// neighbours with nearly parallel normals, so that neighbouring normals agree.
#pragma once
#include <cstdint>
#include <span>

#include "core/types.hpp"

namespace nubiro::geometry {

// Wall time of the stages of one call, in seconds (filled for benchmarks).
struct TangentPlaneTimings {
    double neighbourhoods = 0;  // index build and the k-nearest lists
    double trees = 0;           // candidate edges, both spanning trees, joining the components
    double propagation = 0;     // adjacency, seed and the breadth-first walk
};

// Negates normals in place; nothing else changes. points and normals have the same size n >= 1.
//   k             neighbours per point (queries use at least 2, the point itself included)
//   lambda        weight of the distance to the tangent plane in the first tree's edge weights
//   cos_alpha_tol edges leaving a point's tangent plane more steeply than this cosine are dropped
// The result does not depend on the number of worker threads.
void orient_normals_consistent_tangent_plane(std::span<const Vector3d> points, std::span<Vector3d> normals,
                                             std::uint64_t k, double lambda, double cos_alpha_tol,
                                             TangentPlaneTimings* timings = nullptr);

}  // namespace nubiro::geometry
