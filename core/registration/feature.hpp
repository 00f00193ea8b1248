// Per-point descriptors: a dimension x num matrix of float64 stored point by point, so that
// descriptor k is the `dimension` consecutive values starting at data[dimension * k].
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/result.hpp"

namespace nubiro::registration {

struct Feature {
    std::vector<double> data;
    std::uint64_t dimension = 0;
    std::uint64_t num = 0;

    // dim x n zeros. ValueError "dim must be non-negative", "n must be non-negative" or
    // "feature dimensions are too large" (dim * n >= 2^60), checked in that order; the
    // feature is unchanged on failure.
    std::optional<Error> resize(std::int64_t dim, std::int64_t n);

    // Copies a (d, n) matrix whose element [r, k] is at base + r*row_stride + k*col_stride
    // (strides in bytes, any sign); afterwards dimension = d and num = n. ValueError
    // "feature dimensions are too large" when d * n overflows or is >= 2^60, feature unchanged.
    std::optional<Error> set_data(const void* base, std::uint64_t d, std::uint64_t n, std::ptrdiff_t row_stride,
                                  std::ptrdiff_t col_stride);

    // Writes the (dimension, num) matrix row-major into `out` (dimension * num values).
    void copy_rows_to(double* out) const;

    const double* descriptor(std::uint64_t k) const { return data.data() + dimension * k; }
};

}  // namespace nubiro::registration
