// Density clustering (DBSCAN) and Euclidean clustering (connected components under a distance).
// Neighbours are the points at distance at most the radius (squared distances compared), the
// point itself included. Points with a NaN or infinite coordinate belong to no cluster.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/filters/select.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::segmentation {

// One label per point, with the classic sequential algorithm's numbering: a core point has at
// least min_points neighbours; core points within eps of each other share a cluster; clusters
// are numbered 0, 1, ... in the order of their lowest-numbered core point; a non-core point
// takes the lowest cluster number among its core neighbours, or -1 (noise) without any.
// eps > 0 and min_points >= 1, else a value error.
Result<std::vector<std::int64_t>> dbscan(std::span<const Vector3d> points, double eps, std::int64_t min_points);

// The connected components of the finite points, two points being linked when within
// `tolerance`; those of min_size..max_size points, largest first (ties: lowest first member),
// each ascending. tolerance > 0, 1 <= min_size <= max_size, else a value error.
Result<std::vector<filters::Indices>> euclidean_clusters(std::span<const Vector3d> points, double tolerance,
                                                         std::int64_t min_size, std::int64_t max_size);

}  // namespace nubiro::segmentation
