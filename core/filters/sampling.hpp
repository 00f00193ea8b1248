// Sampling: seeded random, every k-th, farthest-point. Each returns point numbers.
#pragma once
#include <cstdint>
#include <span>

#include "core/filters/select.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::filters {

// min(count, n) distinct point numbers drawn uniformly with a Mersenne Twister seeded with
// `seed` (a partial Fisher-Yates shuffle), returned ascending. count >= 1.
Result<Indices> random_indices(std::size_t n, std::int64_t count, std::uint32_t seed);

// offset, offset + k, ... below n. k >= 1, offset >= 0.
Result<Indices> every_kth_indices(std::size_t n, std::int64_t k, std::int64_t offset);

// Farthest-point sampling from `start`: each next point is the finite point farthest from the
// ones chosen so far (the lowest point number among equals); min(count, finite points) points
// in the order chosen. count >= 1; start must be a finite point.
Result<Indices> farthest_indices(std::span<const Vector3d> points, std::int64_t count, std::int64_t start);

}  // namespace nubiro::filters
