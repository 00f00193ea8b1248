#include "core/registration/estimation.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::registration {
namespace {

// Pairs from which the point-to-plane sums are split between two threads.
constexpr std::size_t kSplitSums = 16384;

double det3(const Matrix3d& m) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// u * diag(1, 1, s) * v^T.
Matrix3d rotation_from(const Matrix3d& u, const Matrix3d& v, double s) {
    Matrix3d r;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) r[i][j] = u[i][0] * v[j][0] + u[i][1] * v[j][1] + (u[i][2] * s) * v[j][2];
    return r;
}

bool same_bits(const Vector3d& a, const Vector3d& b) { return std::memcmp(a.data(), b.data(), sizeof(Vector3d)) == 0; }

std::string message(std::size_t i, const char* what, long long index) {
    return "correspondence " + std::to_string(i) + what + std::to_string(index);
}

}  // namespace

std::optional<Error> validate_correspondences(std::span<const Vector2i> corres, std::size_t source_size,
                                              std::size_t target_size) {
    for (std::size_t i = 0; i < corres.size(); ++i) {
        const long long s = corres[i][0], t = corres[i][1];
        if (s < 0) return value_error(message(i, " has negative source index ", s));
        if (t < 0) return value_error(message(i, " has negative target index ", t));
        if (static_cast<std::size_t>(s) >= source_size)
            return value_error(message(i, " source index ", s) + " is out of bounds for " +
                               std::to_string(source_size) + " points");
        if (static_cast<std::size_t>(t) >= target_size)
            return value_error(message(i, " target index ", t) + " is out of bounds for " +
                               std::to_string(target_size) + " points");
    }
    return std::nullopt;
}

Matrix4d estimate_point_to_point(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                 std::span<const Vector2i> corres, bool with_scaling) {
    const std::size_t m = corres.size();
    if (m == 0) return identity4();
    const double inv_m = 1.0 / static_cast<double>(m);

    Vector3d sum_p{0, 0, 0}, sum_q{0, 0, 0};
    // A mean of identical points need not round back to the point, which would leave a variance
    // made of rounding noise; identical source points have none.
    bool one_source_point = true;
    const Vector3d& first = source[corres[0][0]];
    for (const Vector2i& c : corres) {
        const Vector3d& p = source[c[0]];
        const Vector3d& q = target[c[1]];
        for (int k = 0; k < 3; ++k) {
            sum_p[k] = sum_p[k] + p[k];
            sum_q[k] = sum_q[k] + q[k];
        }
        one_source_point = one_source_point && same_bits(p, first);
    }
    const Vector3d mu_p{sum_p[0] * inv_m, sum_p[1] * inv_m, sum_p[2] * inv_m};
    const Vector3d mu_q{sum_q[0] * inv_m, sum_q[1] * inv_m, sum_q[2] * inv_m};

    double spread = 0.0;
    Matrix3d cov{};
    for (const Vector2i& c : corres) {
        const Vector3d a = sub(source[c[0]], mu_p);
        const Vector3d b = sub(target[c[1]], mu_q);
        spread = spread + dot(a, a);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) cov[i][j] = cov[i][j] + b[i] * a[j];
    }
    const double variance = one_source_point ? 0.0 : spread * inv_m;
    for (auto& row : cov)
        for (double& e : row) e = e * inv_m;

    const std::optional<Svd3> svd = svd3(cov);
    if (!svd || !all_finite(svd->u) || !all_finite(svd->v)) return identity4();

    Matrix3d uvt;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            uvt[i][j] = svd->u[i][0] * svd->v[j][0] + svd->u[i][1] * svd->v[j][1] + svd->u[i][2] * svd->v[j][2];
    const double s = det3(uvt) < 0 ? -1.0 : 1.0;
    const Matrix3d r = rotation_from(svd->u, svd->v, s);

    double scale = 1.0;
    if (with_scaling && variance > 0) scale = (svd->sigma[0] + svd->sigma[1] + s * svd->sigma[2]) / variance;

    Matrix4d out = identity4();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[i][j] = scale * r[i][j];
    // The translation uses the stored block c*R as it is.
    for (int i = 0; i < 3; ++i)
        out[i][3] = mu_q[i] - (out[i][0] * mu_p[0] + out[i][1] * mu_p[1] + out[i][2] * mu_p[2]);
    return out;
}

Matrix4d estimate_point_to_plane(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                 std::span<const Vector3d> target_normals, std::span<const Vector2i> corres) {
    const std::size_t m = corres.size();
    if (m == 0 || target.empty() || target_normals.size() != target.size()) return identity4();

    // Lower triangle of sum J J^T and sum r J, each entry summed in pair order, every pair's row
    // J | r formed as it is added (a stored row per pair would be the largest array of an ICP
    // iteration). The entries are separate sums, so with a second thread the system's rows 0-3
    // and 4-5 (14 and 13 entries) are summed at the same time, each still over the pairs in
    // order; each part sums into its own locals (in registers, and no cache line shared with the
    // other thread) and stores its entries at the end.
    Matrix6d a{};
    Vector6d g{};
    auto accumulate = [&]<int First, int Last>() {
        Matrix6d sa{};
        Vector6d sg{};
        for (const Vector2i& pair : corres) {
            const Vector3d& p = source[pair[0]];
            const Vector3d& q = target[pair[1]];
            const Vector3d& n = target_normals[pair[1]];
            const Vector3d pn = cross(p, n);
            const double row[6] = {pn[0], pn[1], pn[2], n[0], n[1], n[2]};
            const double r = dot(sub(p, q), n);
            for (int i = First; i < Last; ++i) {
                for (int j = 0; j <= i; ++j) sa[i][j] = sa[i][j] + row[i] * row[j];
                sg[i] = sg[i] + r * row[i];
            }
        }
        for (int i = First; i < Last; ++i) {
            for (int j = 0; j <= i; ++j) a[i][j] = sa[i][j];
            g[i] = sg[i];
        }
    };
    if (parallel::num_threads() > 1 && m >= kSplitSums) {
        parallel::parallel_for(2, [&](std::size_t part) {
            if (part == 0) accumulate.template operator()<0, 4>();
            else accumulate.template operator()<4, 6>();
        });
    } else {
        accumulate.template operator()<0, 6>();
    }
    for (double& e : g) e = -e;
    return vector_to_transform(ldlt6_solve(a, g));
}

Matrix4d estimate(const TransformationEstimation& method, std::span<const Vector3d> source,
                  std::span<const Vector3d> target, std::span<const Vector3d> target_normals,
                  std::span<const Vector2i> corres) {
    if (method.is_point_to_plane()) return estimate_point_to_plane(source, target, target_normals, corres);
    return estimate_point_to_point(source, target, corres, method.with_scaling());
}

Matrix4d vector_to_transform(const Vector6d& x) {
    struct Quaternion {
        double w, x, y, z;
    };
    auto product = [](const Quaternion& a, const Quaternion& b) {
        return Quaternion{a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z, a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y,
                          a.w * b.y + a.y * b.w + a.z * b.x - a.x * b.z, a.w * b.z + a.z * b.w + a.x * b.y - a.y * b.x};
    };
    const double ha = 0.5 * x[0], hb = 0.5 * x[1], hg = 0.5 * x[2];
    const Quaternion qx{std::cos(ha), std::sin(ha), 0.0, 0.0};
    const Quaternion qy{std::cos(hb), 0.0, std::sin(hb), 0.0};
    const Quaternion qz{std::cos(hg), 0.0, 0.0, std::sin(hg)};
    const Quaternion q = product(product(qz, qy), qx);

    const double tx = 2.0 * q.x, ty = 2.0 * q.y, tz = 2.0 * q.z;
    const double twx = tx * q.w, twy = ty * q.w, twz = tz * q.w;
    const double txx = tx * q.x, txy = ty * q.x, txz = tz * q.x;
    const double tyy = ty * q.y, tyz = tz * q.y, tzz = tz * q.z;
    Matrix4d out = identity4();
    out[0] = {1.0 - (tyy + tzz), txy - twz, txz + twy, x[3]};
    out[1] = {txy + twz, 1.0 - (txx + tzz), tyz - twx, x[4]};
    out[2] = {txz - twy, tyz + twx, 1.0 - (txx + tyy), x[5]};
    return out;
}

Result<double> compute_rmse(const TransformationEstimation& method, std::span<const Vector3d> source,
                            std::span<const Vector3d> target, std::span<const Vector3d> target_normals,
                            std::span<const Vector2i> corres) {
    if (auto error = validate_correspondences(corres, source.size(), target.size())) return *error;
    const std::size_t m = corres.size();
    if (m == 0) return 0.0;
    double sum = 0.0;
    if (method.is_point_to_plane()) {
        if (target.empty() || target_normals.size() != target.size()) return 0.0;
        for (const Vector2i& c : corres) {
            const double r = dot(sub(source[c[0]], target[c[1]]), target_normals[c[1]]);
            sum = sum + r * r;
        }
    } else {
        for (const Vector2i& c : corres) {
            const Vector3d d = sub(source[c[0]], target[c[1]]);
            sum = sum + dot(d, d);
        }
    }
    return std::sqrt(sum / static_cast<double>(m));
}

Result<Matrix4d> compute_transformation(const TransformationEstimation& method, std::span<const Vector3d> source,
                                        std::span<const Vector3d> target, std::span<const Vector3d> target_normals,
                                        std::span<const Vector2i> corres) {
    if (auto error = validate_correspondences(corres, source.size(), target.size())) return *error;
    return estimate(method, source, target, target_normals, corres);
}

}  // namespace nubiro::registration
