#include "core/geometry/bounding_box.hpp"

#include <utility>

#include "core/geometry/folds.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::geometry {
namespace {

bool any_above(const Vector3d& lo, const Vector3d& hi) { return lo[0] > hi[0] || lo[1] > hi[1] || lo[2] > hi[2]; }

}  // namespace

AxisAlignedBoundingBox AxisAlignedBoundingBox::from_bounds(const Vector3d& lo, const Vector3d& hi) {
    AxisAlignedBoundingBox box;
    box.min_bound = lo;
    box.max_bound = hi;
    if (any_above(lo, hi))
        for (int k = 0; k < 3; ++k) {
            box.min_bound[k] = nan_skipping_min(lo[k], hi[k]);
            box.max_bound[k] = nan_skipping_max(lo[k], hi[k]);
        }
    return box;
}

AxisAlignedBoundingBox AxisAlignedBoundingBox::create_from_points(std::span<const Vector3d> points) {
    if (points.empty()) return {};
    return from_bounds(geometry::min_bound(points), geometry::max_bound(points));
}

bool AxisAlignedBoundingBox::is_inverted() const { return any_above(min_bound, max_bound); }

double AxisAlignedBoundingBox::box_volume() const {
    const Vector3d e = get_extent();
    return e[2] * (e[1] * e[0]);
}

bool AxisAlignedBoundingBox::is_empty() const { return is_inverted() || box_volume() <= 1e-12; }

Vector3d AxisAlignedBoundingBox::get_center() const {
    if (is_empty()) return {0, 0, 0};
    return {(min_bound[0] + max_bound[0]) * 0.5, (min_bound[1] + max_bound[1]) * 0.5,
            (min_bound[2] + max_bound[2]) * 0.5};
}

Vector3d AxisAlignedBoundingBox::get_extent() const {
    return sub(max_bound, min_bound);
}

Vector3d AxisAlignedBoundingBox::get_half_extent() const {
    const Vector3d e = get_extent();
    return {e[0] * 0.5, e[1] * 0.5, e[2] * 0.5};
}

double AxisAlignedBoundingBox::get_max_extent() const {
    const Vector3d e = get_extent();
    return nan_skipping_max(nan_skipping_max(e[0], e[1]), e[2]);
}

double AxisAlignedBoundingBox::volume() const { return is_inverted() ? 0.0 : box_volume(); }

std::array<Vector3d, 8> AxisAlignedBoundingBox::get_box_points() const {
    const Vector3d e = get_extent();
    const Vector3d& m = min_bound;
    std::array<Vector3d, 8> out;
    if (nan_skipping_min(nan_skipping_min(e[0], e[1]), e[2]) < 0) {
        out.fill(m);
        return out;
    }
    // The zero terms are added on purpose: they turn a -0.0 corner component into +0.0.
    out[0] = m;
    out[1] = {e[0] + m[0], 0 + m[1], 0 + m[2]};
    out[2] = {0 + m[0], e[1] + m[1], 0 + m[2]};
    out[3] = {0 + m[0], 0 + m[1], e[2] + m[2]};
    out[4] = {e[0] + m[0], e[1] + m[1], 0 + m[2]};
    out[5] = {0 + m[0], e[1] + m[1], e[2] + m[2]};
    out[6] = {e[0] + m[0], 0 + m[1], e[2] + m[2]};
    out[7] = max_bound;
    return out;
}

std::vector<std::int64_t> AxisAlignedBoundingBox::get_point_indices_within(std::span<const Vector3d> points) const {
    const double lx = min_bound[0] - 1e-9, ly = min_bound[1] - 1e-9, lz = min_bound[2] - 1e-9;
    const double hx = max_bound[0] + 1e-9, hy = max_bound[1] + 1e-9, hz = max_bound[2] + 1e-9;
    std::vector<std::int64_t> inside;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Vector3d& p = points[i];
        // Every comparison with a NaN coordinate is false, so such points stay out.
        if (lx <= p[0] && ly <= p[1] && lz <= p[2] && hx >= p[0] && hy >= p[1] && hz >= p[2])
            inside.push_back(static_cast<std::int64_t>(i));
    }
    return inside;
}

AxisAlignedBoundingBox& AxisAlignedBoundingBox::clear() {
    *this = {};
    return *this;
}

AxisAlignedBoundingBox& AxisAlignedBoundingBox::translate(const Vector3d& t, bool relative) {
    Vector3d d = t;
    if (!relative) {
        const Vector3d c = get_center();
        d = sub(t, c);
    }
    for (int k = 0; k < 3; ++k) {
        min_bound[k] = min_bound[k] + d[k];
        max_bound[k] = max_bound[k] + d[k];
    }
    return *this;
}

AxisAlignedBoundingBox& AxisAlignedBoundingBox::scale(double f, const Vector3d& c) {
    for (int k = 0; k < 3; ++k) {
        min_bound[k] = (min_bound[k] - c[k]) * f + c[k];
        max_bound[k] = (max_bound[k] - c[k]) * f + c[k];
    }
    if (f < 0) std::swap(min_bound, max_bound);
    return *this;
}

AxisAlignedBoundingBox& AxisAlignedBoundingBox::operator+=(const AxisAlignedBoundingBox& other) {
    if (is_empty()) {
        *this = other;
    } else if (!other.is_empty()) {
        for (int k = 0; k < 3; ++k) {
            min_bound[k] = nan_skipping_min(min_bound[k], other.min_bound[k]);
            max_bound[k] = nan_skipping_max(max_bound[k], other.max_bound[k]);
        }
    }
    return *this;
}

}  // namespace nubiro::geometry
