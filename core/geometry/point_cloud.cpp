#include "core/geometry/point_cloud.hpp"

#include <cmath>
#include <limits>

#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::geometry {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Folds where a NaN never replaces a number.
inline double fold_min(double acc, double v) { return (v < acc || acc != acc) ? v : acc; }
inline double fold_max(double acc, double v) { return (v > acc || acc != acc) ? v : acc; }

// Divides by the length, scaled by the largest magnitude first so that tiny and huge vectors
// neither underflow nor overflow. Zero and NaN-length vectors are left as they are.
inline void scaled_normalize(Vector3d& n) {
    // Largest magnitude, NaN components skipped. Starting from -inf instead of the first
    // component keeps this branch-free; when all three are NaN it stays -inf rather than NaN,
    // which leads to the same NaN q below.
    double s = -std::numeric_limits<double>::infinity();
    for (const double c : n) {
        const double a = std::fabs(c);
        s = a > s ? a : s;
    }
    const double x = n[0] / s, y = n[1] / s, z = n[2] / s;
    const double q = (x * x + y * y) + z * z;
    if (q > 0) {
        const double len = s * std::sqrt(q);
        n = {n[0] / len, n[1] / len, n[2] / len};
    }
}

template <class Fold>
Vector3d bound(std::span<const Vector3d> v, Fold fold) {
    if (v.empty()) return {kNaN, kNaN, kNaN};
    double x = v[0][0], y = v[0][1], z = v[0][2];
    for (std::size_t i = 1; i < v.size(); ++i) {
        x = fold(x, v[i][0]);
        y = fold(y, v[i][1]);
        z = fold(z, v[i][2]);
    }
    return {x, y, z};
}

// A 3x3 matrix held in scalars, so loops keep it in registers however they write memory.
struct Mat3 {
    double m00, m01, m02, m10, m11, m12, m20, m21, m22;
    explicit Mat3(const Matrix3d& r)
        : m00(r[0][0]), m01(r[0][1]), m02(r[0][2]), m10(r[1][0]), m11(r[1][1]), m12(r[1][2]),
          m20(r[2][0]), m21(r[2][1]), m22(r[2][2]) {}
    Vector3d operator*(const Vector3d& v) const {
        const double x = v[0], y = v[1], z = v[2];
        return {(m00 * x + m01 * y) + m02 * z, (m10 * x + m11 * y) + m12 * z, (m20 * x + m21 * y) + m22 * z};
    }
};

// Runs a per-element kernel over [first, last) ranges covering `v`. Every element is handled
// on its own, so any split gives the same result; only large arrays are worth the pool.
constexpr std::size_t kParallelMin = 100'000;
constexpr std::size_t kMinChunk = 16'384;

template <class Kernel>
void for_each_range(std::span<Vector3d> v, Kernel kernel) {
    Vector3d* base = v.data();
    if (v.size() < kParallelMin) {
        kernel(base, base + v.size());
        return;
    }
    parallel::parallel_for_chunks(
        v.size(), [&](std::size_t begin, std::size_t end) { kernel(base + begin, base + end); }, kMinChunk);
}

}  // namespace

Vector3d min_bound(std::span<const Vector3d> v) { return bound(v, fold_min); }
Vector3d max_bound(std::span<const Vector3d> v) { return bound(v, fold_max); }

Vector3d center(std::span<const Vector3d> v) {
    if (v.empty()) return {0, 0, 0};
    double x = 0, y = 0, z = 0;
    for (const auto& p : v) {
        x += p[0];
        y += p[1];
        z += p[2];
    }
    const double n = static_cast<double>(v.size());
    return {x / n, y / n, z / n};
}

void normalize_vectors(std::span<Vector3d> v) {
    for_each_range(v, [](Vector3d* first, Vector3d* last) {
        for (Vector3d* n = first; n != last; ++n) {
            scaled_normalize(*n);
            if (std::isnan((*n)[0])) *n = {0, 0, 1};
        }
    });
}

void transform_points(std::span<Vector3d> p, const Matrix4d& t) {
    // Copied out so the compiler need not reload them after every store into `p`.
    const double a00 = t[0][0], a01 = t[0][1], a02 = t[0][2], a03 = t[0][3];
    const double a10 = t[1][0], a11 = t[1][1], a12 = t[1][2], a13 = t[1][3];
    const double a20 = t[2][0], a21 = t[2][1], a22 = t[2][2], a23 = t[2][3];
    const double a30 = t[3][0], a31 = t[3][1], a32 = t[3][2], a33 = t[3][3];
    for_each_range(p, [=](Vector3d* first, Vector3d* last) {
        for (Vector3d* v = first; v != last; ++v) {
            const double x = (*v)[0], y = (*v)[1], z = (*v)[2];
            const double w = ((a30 * x + a31 * y) + a32 * z) + a33;
            if (!(std::fabs(w) > 1e-9)) {
                *v = {kNaN, kNaN, kNaN};
                continue;
            }
            double rx = ((a00 * x + a01 * y) + a02 * z) + a03;
            double ry = ((a10 * x + a11 * y) + a12 * z) + a13;
            double rz = ((a20 * x + a21 * y) + a22 * z) + a23;
            if (w != 1.0) {  // dividing by exactly 1 changes nothing; rigid transforms skip it
                rx /= w;
                ry /= w;
                rz /= w;
            }
            *v = {rx, ry, rz};
        }
    });
}

Matrix3d normal_matrix(const Matrix4d& t) {
    auto m = [&](int i, int j) { return t[i % 3][j % 3]; };
    Matrix3d c{};  // cofactors, in the cyclic form C_ij = M[i+1][j+1]M[i+2][j+2] - M[i+1][j+2]M[i+2][j+1]
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) c[i][j] = m(i + 1, j + 1) * m(i + 2, j + 2) - m(i + 1, j + 2) * m(i + 2, j + 1);
    const double det = (t[0][0] * c[0][0] + t[1][0] * c[1][0]) + t[2][0] * c[2][0];
    if (!(std::fabs(det) > 1e-12)) return identity3();
    for (auto& row : c)
        for (auto& e : row) e /= det;
    return c;
}

void transform_normals(std::span<Vector3d> n, const Matrix4d& t) {
    const Mat3 m(normal_matrix(t));
    for_each_range(n, [=](Vector3d* first, Vector3d* last) {
        for (Vector3d* v = first; v != last; ++v) {
            *v = m * *v;
            scaled_normalize(*v);
            if (std::isnan((*v)[0])) *v = {0, 0, 0};
        }
    });
}

void translate_points(std::span<Vector3d> p, const Vector3d& d) {
    const double dx = d[0], dy = d[1], dz = d[2];
    for_each_range(p, [=](Vector3d* first, Vector3d* last) {
        for (Vector3d* v = first; v != last; ++v) *v = {(*v)[0] + dx, (*v)[1] + dy, (*v)[2] + dz};
    });
}

void scale_points(std::span<Vector3d> p, double f, const Vector3d& c) {
    const double cx = c[0], cy = c[1], cz = c[2];
    for_each_range(p, [=](Vector3d* first, Vector3d* last) {
        for (Vector3d* v = first; v != last; ++v)
            *v = {((*v)[0] - cx) * f + cx, ((*v)[1] - cy) * f + cy, ((*v)[2] - cz) * f + cz};
    });
}

void rotate_points(std::span<Vector3d> p, const Matrix3d& r, const Vector3d& c) {
    const Mat3 m(r);
    const double cx = c[0], cy = c[1], cz = c[2];
    for_each_range(p, [=](Vector3d* first, Vector3d* last) {
        for (Vector3d* v = first; v != last; ++v) {
            const Vector3d d = m * Vector3d{(*v)[0] - cx, (*v)[1] - cy, (*v)[2] - cz};
            *v = {d[0] + cx, d[1] + cy, d[2] + cz};
        }
    });
}

void rotate_vectors(std::span<Vector3d> n, const Matrix3d& r) {
    const Mat3 m(r);
    for_each_range(n, [=](Vector3d* first, Vector3d* last) {
        for (Vector3d* v = first; v != last; ++v) *v = m * *v;
    });
}

Vector3d clamp_color(const Vector3d& color) {
    Vector3d c{};
    for (int i = 0; i < 3; ++i) {
        const double v = color[i];
        c[i] = v > 1 ? 1.0 : (v >= 0 ? v : 0.0);  // NaN fails both tests
    }
    return c;
}

Vector3d PointCloud::get_min_bound() const { return min_bound(points.span()); }
Vector3d PointCloud::get_max_bound() const { return max_bound(points.span()); }
Vector3d PointCloud::get_center() const { return center(points.span()); }

PointCloud& PointCloud::clear() {
    points.clear();
    normals.clear();
    colors.clear();
    return *this;
}

PointCloud& PointCloud::normalize_normals() {
    normalize_vectors(normals.span());
    return *this;
}

PointCloud& PointCloud::paint_uniform_color(const Vector3d& color) {
    const Vector3d c = clamp_color(color);
    colors.clear();
    colors.resize(points.size(), c);
    return *this;
}

PointCloud& PointCloud::transform(const Matrix4d& t) {
    transform_points(points.span(), t);
    if (has_normals()) transform_normals(normals.span(), t);
    return *this;
}

PointCloud& PointCloud::translate(const Vector3d& t, bool relative) {
    if (is_empty()) return *this;
    Vector3d d = t;
    if (!relative) {
        const Vector3d c = get_center();
        d = sub(t, c);
    }
    translate_points(points.span(), d);
    return *this;
}

PointCloud& PointCloud::scale(double factor, const Vector3d& c) {
    scale_points(points.span(), factor, c);
    return *this;
}

PointCloud& PointCloud::rotate(const Matrix3d& r, const Vector3d& c) {
    rotate_points(points.span(), r, c);
    if (has_normals()) rotate_vectors(normals.span(), r);
    return *this;
}

PointCloud& PointCloud::rotate(const Matrix3d& r) { return rotate(r, get_center()); }

}  // namespace nubiro::geometry
