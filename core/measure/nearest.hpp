// Cloud-to-cloud distances: for each point of a query cloud, its nearest point in a reference.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::measure {

struct Nearest {
    std::vector<double> distances;     // Euclidean; NaN for a non-finite query point
    std::vector<std::int64_t> indices; // point numbers in the reference; -1 for a non-finite query
};

// Ties go to the nearest point the KD-tree reports first (a fixed rule). The reference must hold
// at least one finite point, else a value error naming `reference_name`.
Result<Nearest> nearest_distances(std::span<const Vector3d> query, std::span<const Vector3d> reference,
                                  const char* reference_name);

}  // namespace nubiro::measure
