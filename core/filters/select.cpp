#include "core/filters/select.hpp"

#include <cmath>

#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::filters {
namespace {

void gather_into(const Storage<Vector3d>& from, std::span<const std::int64_t> indices, Storage<Vector3d>& to) {
    to.resize_for_overwrite(indices.size());
    Vector3d* out = to.data();
    const Vector3d* in = from.data();
    parallel::parallel_for_chunks(
        indices.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = in[indices[i]];
        },
        1 << 14);
}

}  // namespace

geometry::PointCloud gather(const geometry::PointCloud& cloud, std::span<const std::int64_t> indices) {
    geometry::PointCloud out;
    gather_into(cloud.points, indices, out.points);
    if (cloud.has_normals()) gather_into(cloud.normals, indices, out.normals);
    if (cloud.has_colors()) gather_into(cloud.colors, indices, out.colors);
    return out;
}

Indices kept_indices(std::span<const std::uint8_t> keep) {
    std::size_t count = 0;
    for (const std::uint8_t k : keep) count += k != 0;
    Indices out;
    out.reserve(count);
    for (std::size_t i = 0; i < keep.size(); ++i)
        if (keep[i]) out.push_back(static_cast<std::int64_t>(i));
    return out;
}

std::vector<std::uint8_t> finite_mask(std::span<const Vector3d> points) {
    std::vector<std::uint8_t> keep(points.size());
    parallel::parallel_for_chunks(
        points.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                keep[i] = is_finite(points[i]);
            }
        },
        1 << 14);
    return keep;
}

}  // namespace nubiro::filters
