// Per-point descriptors: a dimension x num matrix of float64 stored point by point, so that
// descriptor k is the `dimension` consecutive values starting at data[dimension * k].
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/geometry/point_cloud.hpp"
#include "core/result.hpp"
#include "core/search_param.hpp"
#include "core/types.hpp"

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

// The 33-bin Fast Point Feature Histogram of every point: rows 0-10, 11-21 and 22-32 hold the
// histograms of the three angle features over the point's neighbourhood (the search of
// `param` around the point itself), each point's own histogram plus its neighbours' weighted
// by inverse squared distance. RuntimeError "Failed because input point cloud has no normal."
// when the cloud is empty or has no normal per point.
Result<Feature> compute_fpfh_feature(const geometry::PointCloud& input, const SearchParam& param);

// For every source descriptor, the nearest target descriptor (source index, target index), in
// ascending source order. With `mutual_filter`, only pairs that are also each other's nearest
// the other way round are kept, as long as at least ratio * source count of them (computed in
// single precision, truncated) survive; otherwise all forward pairs are returned.
std::vector<Vector2i> correspondences_from_features(const Feature& source, const Feature& target, bool mutual_filter,
                                                    float mutual_consistency_ratio);

}  // namespace nubiro::registration
