// The point cloud record: points with optional per-point normals and colours, its bounds and
// centre, and its in-place edits (normalisation, painting, rigid and projective transforms).
#pragma once
#include <span>

#include "core/result.hpp"
#include "core/search_param.hpp"
#include "core/storage.hpp"
#include "core/types.hpp"

namespace nubiro::geometry {

struct PointCloud {
    Storage<Vector3d> points;
    Storage<Vector3d> normals;
    Storage<Vector3d> colors;

    // Normals and colours count only when there is one per point.
    bool has_points() const { return points.size() > 0; }
    bool has_normals() const { return has_points() && normals.size() == points.size(); }
    bool has_colors() const { return has_points() && colors.size() == points.size(); }
    bool is_empty() const { return points.size() == 0; }

    Vector3d get_min_bound() const;  // NaN-skipping fold; (NaN, NaN, NaN) when empty
    Vector3d get_max_bound() const;
    Vector3d get_center() const;  // index-order sum / count; (0, 0, 0) when empty

    // In-place edits; each returns the cloud. An empty cloud is left as it is.
    PointCloud& clear();
    PointCloud& normalize_normals();  // whatever the normal count
    PointCloud& paint_uniform_color(const Vector3d& color);
    PointCloud& transform(const Matrix4d& transformation);
    PointCloud& translate(const Vector3d& translation, bool relative = true);
    PointCloud& scale(double factor, const Vector3d& center);
    PointCloud& rotate(const Matrix3d& r, const Vector3d& center);
    PointCloud& rotate(const Matrix3d& r);  // about get_center()

    // One unit normal per point from the covariance of its neighbourhood (closed-form or
    // iterative eigen-solver), flipped towards the normals held before the call when there
    // was one per point. An empty cloud is left as it is.
    PointCloud& estimate_normals(const SearchParam& param = {}, bool fast_normal_computation = true);

    // A new cloud with one averaged point (normal, colour) per occupied voxel, in the voxel
    // map's iteration order.
    Result<PointCloud> voxel_down_sample(double voxel_size) const;
};

// Kernels over plain arrays of 3-vectors, shared by every geometry that stores them.

// Folds in index order: NaN-skipping bounds ((NaN, NaN, NaN) when empty), sum / count
// ((0, 0, 0) when empty).
Vector3d min_bound(std::span<const Vector3d> v);
Vector3d max_bound(std::span<const Vector3d> v);
Vector3d center(std::span<const Vector3d> v);

// Per-element edits in place. Each element is handled on its own, so large arrays are split
// over the worker pool with results identical to a serial pass.
void normalize_vectors(std::span<Vector3d> v);                                  // NaN x -> (0, 0, 1)
void transform_points(std::span<Vector3d> p, const Matrix4d& t);                // homogeneous divide
void transform_normals(std::span<Vector3d> n, const Matrix4d& t);               // by normal_matrix, unit
void translate_points(std::span<Vector3d> p, const Vector3d& d);                // p + d
void scale_points(std::span<Vector3d> p, double f, const Vector3d& c);          // (p - c)*f + c
void rotate_points(std::span<Vector3d> p, const Matrix3d& r, const Vector3d& c);  // r(p - c) + c
void rotate_vectors(std::span<Vector3d> v, const Matrix3d& r);                  // r*v

// Inverse-transpose of the upper-left 3x3 block of t, or the identity when it is singular.
Matrix3d normal_matrix(const Matrix4d& t);

// Clamp to [0, 1] per component, NaN -> 0.
Vector3d clamp_color(const Vector3d& color);

}  // namespace nubiro::geometry
