#include "core/registration/covariance.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/eigen_solvers.hpp"
#include "core/knn_sweep.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::registration {
namespace {

// Points per task; each one is a k-nearest neighbourhood.
constexpr std::size_t kChunk = 128;

// Centred covariance of the neighbourhood (mean first, then the spread about it, so clouds far
// from the origin keep their precision), or nothing when it has fewer than three points.
bool neighbourhood_covariance(const Vector3d* points, const std::uint32_t* nb, std::size_t m, Symmetric3& out) {
    if (m < 3) return false;
    double sx = 0, sy = 0, sz = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const Vector3d& p = points[nb[j]];
        sx += p[0];
        sy += p[1];
        sz += p[2];
    }
    const double inv = 1.0 / static_cast<double>(m);
    const double mx = sx * inv, my = sy * inv, mz = sz * inv;
    double xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const Vector3d& p = points[nb[j]];
        const double x = p[0] - mx, y = p[1] - my, z = p[2] - mz;
        xx += x * x;
        xy += x * y;
        xz += x * z;
        yy += y * y;
        yz += y * z;
        zz += z * z;
    }
    out = {xx * inv, xy * inv, xz * inv, yy * inv, yz * inv, zz * inv};
    return true;
}

// Visits every point with its k-nearest neighbourhood (the points outside the tree, not finite,
// with none). Each point's value depends on it alone, so the order only schedules the work.
template <class PerPoint>
void for_each_neighbourhood(std::span<const Vector3d> points, const KDTree& tree, std::size_t k, PerPoint&& body) {
    for_each_knn_in_leaf_order(tree, k, kChunk,
                               [&](std::uint32_t i, std::span<const std::uint32_t> nb, std::span<const double>) {
                                   body(i, nb.data(), nb.size());
                               });
    if (tree.permutation().size() == points.size()) return;
    for (std::size_t i = 0; i < points.size(); ++i)
        if (!is_finite(points[i])) body(static_cast<std::uint32_t>(i), nullptr, 0);
}

// The middle eigenvalue of c given the unit eigenvector n of the smallest one, from the
// invariants: the other two eigenvalues have sum trace - l3 and product m2 - l3 (trace - l3),
// m2 the sum of the principal 2x2 minors.
double middle_eigenvalue(const Symmetric3& c, const Vector3d& n) {
    const double l3 = n[0] * (c.c00 * n[0] + c.c01 * n[1] + c.c02 * n[2]) +
                      n[1] * (c.c01 * n[0] + c.c11 * n[1] + c.c12 * n[2]) +
                      n[2] * (c.c02 * n[0] + c.c12 * n[1] + c.c22 * n[2]);
    const double sum = c.c00 + c.c11 + c.c22 - l3;
    const double m2 = (c.c00 * c.c11 - c.c01 * c.c01) + (c.c00 * c.c22 - c.c02 * c.c02) + (c.c11 * c.c22 - c.c12 * c.c12);
    const double product = m2 - l3 * sum;
    const double disc = sum * sum - 4 * product;
    return 0.5 * (sum - std::sqrt(disc > 0 ? disc : 0.0));
}

// Below this share of the spread, the second direction counts as absent (collinear points).
constexpr double kFlat = 1e-9;

Vector3d normal_of(const Vector3d* points, const std::uint32_t* nb, std::size_t m) {
    Symmetric3 c;
    if (!neighbourhood_covariance(points, nb, m, c)) return {0, 0, 0};
    const Vector3d v = smallest_eigenvector_closed_form(c);
    if (!is_finite(v) || (v[0] == 0 && v[1] == 0 && v[2] == 0)) return {0, 0, 0};
    // A line has no normal: any direction across it would do, so none is chosen.
    if (!(middle_eigenvalue(c, v) > kFlat * (c.c00 + c.c11 + c.c22))) return {0, 0, 0};
    return v;
}

}  // namespace

void estimate_local_normals(std::span<const Vector3d> points, const KDTree& tree, std::size_t k,
                            std::span<Vector3d> normals) {
    const Vector3d* pts = points.data();
    for_each_neighbourhood(points, tree, k, [&](std::uint32_t i, const std::uint32_t* nb, std::size_t m) {
        normals[i] = normal_of(pts, nb, m);
    });
}

Matrix3d plane_covariance(const Vector3d& n, double epsilon) {
    const double shrink = 1.0 - epsilon;
    Matrix3d c;
    for (int r = 0; r < 3; ++r) {
        c[r][r] = 1.0 - shrink * (n[r] * n[r]);
        for (int s = 0; s < r; ++s) c[r][s] = c[s][r] = -shrink * (n[r] * n[s]);
    }
    return c;
}

void estimate_covariances(std::span<const Vector3d> points, std::size_t k, double epsilon, std::span<Matrix3d> out) {
    if (points.empty()) return;
    parallel::report_stage("covariances");
    KDTree tree;
    tree.build_from_points(points);
    const Vector3d* pts = points.data();
    for_each_neighbourhood(points, tree, k, [&](std::uint32_t i, const std::uint32_t* nb, std::size_t m) {
        out[i] = plane_covariance(normal_of(pts, nb, m), epsilon);
    });
}

}  // namespace nubiro::registration
