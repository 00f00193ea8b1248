// The axis-aligned box: two corners and a display colour. Nothing keeps the corners ordered;
// the operations that need an order test it themselves ("inverted", "empty").
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core/types.hpp"

namespace nubiro::geometry {

struct AxisAlignedBoundingBox {
    Vector3d min_bound{0, 0, 0};
    Vector3d max_bound{0, 0, 0};
    Vector3d color{1, 1, 1};

    // A white box from candidate corners; where any minimum exceeds its maximum, every axis is
    // reordered (NaN components skipped). Every get_axis_aligned_bounding_box goes through it.
    static AxisAlignedBoundingBox from_bounds(const Vector3d& min_bound, const Vector3d& max_bound);
    // The bounds of the points, ordered as above; the default box for no points.
    static AxisAlignedBoundingBox create_from_points(std::span<const Vector3d> points);

    bool is_inverted() const;   // some min component above its max
    double box_volume() const;  // (dz)((dy)(dx)), unclamped
    bool is_empty() const;      // inverted, or box volume <= 1e-12 (a NaN volume is not empty)

    Vector3d get_center() const;  // (0, 0, 0) when empty
    Vector3d get_extent() const;
    Vector3d get_half_extent() const;
    double get_max_extent() const;  // NaN components skipped
    double volume() const;          // 0 when inverted

    // The eight corners in the fixed order (min first, max last); eight copies of min when
    // some extent is negative.
    std::array<Vector3d, 8> get_box_points() const;
    // Ascending indices of the points inside the box widened by 1e-9 on every side.
    std::vector<std::int64_t> get_point_indices_within(std::span<const Vector3d> points) const;

    AxisAlignedBoundingBox& clear();
    AxisAlignedBoundingBox& translate(const Vector3d& translation, bool relative = true);
    AxisAlignedBoundingBox& scale(double factor, const Vector3d& center);
    // Merges `other` in: an empty box becomes a copy of it; an empty `other` changes nothing.
    AxisAlignedBoundingBox& operator+=(const AxisAlignedBoundingBox& other);
};

}  // namespace nubiro::geometry
