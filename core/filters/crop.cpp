#include "core/filters/crop.hpp"

#include <cmath>
#include <string>

#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::filters {
namespace {

template <class Inside>
std::vector<std::uint8_t> mask_of(std::span<const Vector3d> points, const Inside& inside) {
    std::vector<std::uint8_t> keep(points.size());
    parallel::parallel_for_chunks(
        points.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) keep[i] = inside(points[i]);
        },
        1 << 14);
    return keep;
}

}  // namespace

Result<std::vector<std::uint8_t>> box_mask(std::span<const Vector3d> points, const Vector3d& min_bound,
                                           const Vector3d& max_bound) {
    for (int c = 0; c < 3; ++c) {
        if (std::isnan(min_bound[c])) return value_error("min_bound must not hold NaN");
        if (std::isnan(max_bound[c])) return value_error("max_bound must not hold NaN");
        if (min_bound[c] > max_bound[c]) return value_error("min_bound must not exceed max_bound");
    }
    return mask_of(points, [&](const Vector3d& p) {
        return min_bound[0] <= p[0] && p[0] <= max_bound[0] && min_bound[1] <= p[1] && p[1] <= max_bound[1] &&
               min_bound[2] <= p[2] && p[2] <= max_bound[2];
    });
}

Result<std::vector<std::uint8_t>> oriented_box_mask(std::span<const Vector3d> points, const Vector3d& center,
                                                    const Matrix3d& rotation, const Vector3d& extent) {
    if (!is_finite(center)) return value_error("center must be finite");
    for (const Vector3d& row : rotation)
        if (!is_finite(row)) return value_error("rotation must be finite");
    for (int c = 0; c < 3; ++c)
        if (!(extent[c] >= 0)) return value_error("extent must be non-negative");
    const Vector3d half = {extent[0] / 2, extent[1] / 2, extent[2] / 2};
    return mask_of(points, [&](const Vector3d& p) {
        const double dx = p[0] - center[0], dy = p[1] - center[1], dz = p[2] - center[2];
        for (int c = 0; c < 3; ++c) {
            // Column c of R is the box's axis c.
            const double local = rotation[0][c] * dx + rotation[1][c] * dy + rotation[2][c] * dz;
            if (!(std::fabs(local) <= half[c])) return false;
        }
        return true;
    });
}

Result<std::vector<std::uint8_t>> polygon_mask(std::span<const Vector3d> points, std::span<const Vector2d> polygon,
                                               int axis, double low, double high) {
    if (axis < 0 || axis > 2) return value_error("axis must be 0, 1 or 2, got " + std::to_string(axis));
    if (polygon.size() < 3) return value_error("polygon must have at least 3 vertices");
    for (const Vector2d& v : polygon)
        if (!std::isfinite(v[0]) || !std::isfinite(v[1])) return value_error("polygon must be finite");
    if (std::isnan(low) || std::isnan(high) || low > high) return value_error("low must not exceed high");
    const int u = axis == 0 ? 1 : 0, w = axis == 2 ? 1 : 2;
    return mask_of(points, [&](const Vector3d& p) {
        if (!(low <= p[axis] && p[axis] <= high)) return false;
        const double x = p[u], y = p[w];
        if (!std::isfinite(x) || !std::isfinite(y)) return false;
        // Crossing rule: count the sides that a ray towards +x crosses.
        bool inside = false;
        for (std::size_t i = 0, j = polygon.size() - 1; i < polygon.size(); j = i++) {
            const Vector2d& a = polygon[i];
            const Vector2d& b = polygon[j];
            if ((a[1] > y) != (b[1] > y) && x < (b[0] - a[0]) * (y - a[1]) / (b[1] - a[1]) + a[0]) inside = !inside;
        }
        return inside;
    });
}

}  // namespace nubiro::filters
