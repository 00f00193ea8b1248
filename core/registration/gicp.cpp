#include "core/registration/gicp.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "core/eigen_solvers.hpp"
#include "core/kdtree.hpp"
#include "core/number_text.hpp"
#include "core/parallel.hpp"
#include "core/registration/registration.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::registration {
namespace {

// Pairs per task of the term phase.
constexpr std::size_t kTermChunk = 512;

// One pair's share of the normal equations: the lower triangle of w J^T W J (row by row),
// w J^T W r and the weighted squared error. `cost` is NaN for a source point without a usable
// pair.
struct Term {
    double h[21];
    double g[6];
    double cost;
};

// R C R^T, symmetric by construction (the upper triangle computed, then mirrored).
Matrix3d rotate_covariance(const Matrix3d& r, const Matrix3d& c) {
    Matrix3d rc;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) rc[i][j] = r[i][0] * c[0][j] + r[i][1] * c[1][j] + r[i][2] * c[2][j];
    Matrix3d out;
    for (int i = 0; i < 3; ++i)
        for (int j = i; j < 3; ++j) out[i][j] = out[j][i] = rc[i][0] * r[j][0] + rc[i][1] * r[j][1] + rc[i][2] * r[j][2];
    return out;
}

// Inverse of a symmetric positive definite 3x3 matrix by its cofactors; false when it is not
// positive definite or the inverse is not finite.
bool invert_spd(const Matrix3d& m, Matrix3d& out) {
    const double c00 = m[1][1] * m[2][2] - m[1][2] * m[1][2];
    const double c01 = m[1][2] * m[0][2] - m[0][1] * m[2][2];
    const double c02 = m[0][1] * m[1][2] - m[1][1] * m[0][2];
    const double det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
    if (!(det > 0) || !(m[0][0] > 0)) return false;
    const double inv = 1.0 / det;
    const double c11 = m[0][0] * m[2][2] - m[0][2] * m[0][2];
    const double c12 = m[0][1] * m[0][2] - m[0][0] * m[1][2];
    const double c22 = m[0][0] * m[1][1] - m[0][1] * m[0][1];
    out = {{{c00 * inv, c01 * inv, c02 * inv}, {c01 * inv, c11 * inv, c12 * inv}, {c02 * inv, c12 * inv, c22 * inv}}};
    return std::isfinite(inv) && std::isfinite(out[0][0]) && std::isfinite(out[1][1]) && std::isfinite(out[2][2]);
}

// Term of the 3-vector residual r with information W and J = [A I], A = -[p]x:
// J^T W J = [[A^T W A, A^T W], [W A, W]], J^T W r = [A^T W r; W r], all scaled by w.
void vector_term(const Vector3d& p, const Vector3d& r, const Matrix3d& wm, double w, Term& t) {
    const Matrix3d a = {{{0, p[2], -p[1]}, {-p[2], 0, p[0]}, {p[1], -p[0], 0}}};
    Matrix3d wa;  // W A
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) wa[i][j] = wm[i][0] * a[0][j] + wm[i][1] * a[1][j] + wm[i][2] * a[2][j];
    const Vector3d wr = {dot(wm[0], r), dot(wm[1], r), dot(wm[2], r)};
    double j_t_w_j[6][6];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j <= i; ++j)  // A^T W A
            j_t_w_j[i][j] = a[0][i] * wa[0][j] + a[1][i] * wa[1][j] + a[2][i] * wa[2][j];
        for (int j = 0; j < 3; ++j) j_t_w_j[3 + i][j] = wa[i][j];  // W A
        for (int j = 0; j <= i; ++j) j_t_w_j[3 + i][3 + j] = wm[i][j];
    }
    int k = 0;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j <= i; ++j) t.h[k++] = w * j_t_w_j[i][j];
    for (int i = 0; i < 3; ++i) {
        t.g[i] = w * (a[0][i] * wr[0] + a[1][i] * wr[1] + a[2][i] * wr[2]);
        t.g[3 + i] = w * wr[i];
    }
    t.cost = w * dot(r, wr);
}

// Term of the scalar residual r with Jacobian row j, scaled by w.
void scalar_term(const double (&j)[6], double r, double w, Term& t) {
    int k = 0;
    for (int a = 0; a < 6; ++a) {
        const double wj = w * j[a];
        for (int b = 0; b <= a; ++b) t.h[k++] = wj * j[b];
        t.g[a] = wj * r;
    }
    t.cost = w * (r * r);
}

bool finite_term(const Term& t) {
    double s = t.cost;
    for (const double v : t.h) s += v * 0.0;
    for (const double v : t.g) s += v * 0.0;
    return std::isfinite(s);
}

std::string count_mismatch(const char* what, std::size_t got, const char* cloud, std::size_t n) {
    return std::string(what) + " has " + std::to_string(got) + " entries for " + std::to_string(n) + " " + cloud +
           " points";
}

}  // namespace

Matrix4d se3_exp(const std::array<double, 6>& x) {
    const double wx = x[0], wy = x[1], wz = x[2];
    const double theta2 = wx * wx + wy * wy + wz * wz;
    const double theta = std::sqrt(theta2);
    // sin(t)/t and (1 - cos(t))/t^2, by their series where the closed forms lose precision.
    double a, b;
    if (theta < 1e-4) {
        a = 1.0 - theta2 / 6.0;
        b = 0.5 - theta2 / 24.0;
    } else {
        a = std::sin(theta) / theta;
        b = (1.0 - std::cos(theta)) / theta2;
    }
    // R = I + a K + b K^2 with K = [omega]x; K^2 = omega omega^T - theta^2 I.
    Matrix4d out = identity4();
    const double k[3][3] = {{0, -wz, wy}, {wz, 0, -wx}, {-wy, wx, 0}};
    const double w[3] = {wx, wy, wz};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i][j] = (i == j ? 1.0 : 0.0) + a * k[i][j] + b * (w[i] * w[j] - (i == j ? theta2 : 0.0));
    out[0][3] = x[3];
    out[1][3] = x[4];
    out[2][3] = x[5];
    return out;
}

Result<IcpResult> icp(const IcpInputs& in, const Matrix4d& init, const IcpOptions& options) {
    const double dmax = options.max_distance;
    if (!(dmax > 0 && std::isfinite(dmax)))
        return value_error("max_correspondence_distance must be a positive number, not " + text::format_general(dmax));
    if (options.max_iterations < 0)
        return value_error("max_iterations must not be negative, not " + std::to_string(options.max_iterations));
    if (!(options.tolerance >= 0))
        return value_error("tolerance must not be negative, not " + text::format_general(options.tolerance));
    const IcpMethod method = options.method;
    if (method == IcpMethod::PointToPlane && in.target_normals.size() != in.target.size())
        return value_error(count_mismatch("target_normals", in.target_normals.size(), "target", in.target.size()));
    if (method == IcpMethod::Generalized) {
        if (in.source_covariances.size() != in.source.size())
            return value_error(count_mismatch("source_covariances", in.source_covariances.size(), "source",
                                              in.source.size()));
        if (in.target_covariances.size() != in.target.size())
            return value_error(count_mismatch("target_covariances", in.target_covariances.size(), "target",
                                              in.target.size()));
    }

    IcpResult out;
    out.transformation = all_finite(init) ? init : identity4();
    const std::size_t n = in.source.size();
    if (n == 0 || in.target.empty()) return out;

    KDTree tree;
    tree.build_from_points(in.target);
    EvaluationScratch search;
    search.keep_moved = true;
    std::vector<Term> terms(n);
    const RobustKernel kernel = options.kernel;

    Matrix4d t = out.transformation;
    for (std::int32_t iteration = 0; iteration < options.max_iterations; ++iteration) {
        parallel::check_cancelled();
        evaluate(in.source, tree, dmax, t, false, &search);
        const Match* matches = search.matches.data();
        const Vector3d* moved = search.moved.data();
        const Matrix3d rotation = {{{t[0][0], t[0][1], t[0][2]}, {t[1][0], t[1][1], t[1][2]}, {t[2][0], t[2][1], t[2][2]}}};

        parallel::parallel_for_chunks(
            n,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    Term& term = terms[i];
                    term.cost = std::nan("");
                    if (matches[i].target == Match::kNotFound) continue;
                    const std::uint32_t j = matches[i].target;
                    const Vector3d& p = moved[i];
                    const Vector3d& q = in.target[j];
                    const Vector3d r = sub(p, q);
                    switch (method) {
                        case IcpMethod::PointToPoint:
                            vector_term(p, r, identity3(), kernel.weight(std::sqrt(dot(r, r))), term);
                            break;
                        case IcpMethod::PointToPlane: {
                            const Vector3d& nq = in.target_normals[j];
                            const Vector3d pn = cross(p, nq);
                            const double jac[6] = {pn[0], pn[1], pn[2], nq[0], nq[1], nq[2]};
                            const double e = dot(r, nq);
                            scalar_term(jac, e, kernel.weight(e), term);
                            break;
                        }
                        case IcpMethod::Generalized: {
                            const Matrix3d cp = rotate_covariance(rotation, in.source_covariances[i]);
                            const Matrix3d& cq = in.target_covariances[j];
                            Matrix3d sum, info;
                            for (int a = 0; a < 3; ++a)
                                for (int b = 0; b < 3; ++b) sum[a][b] = cq[a][b] + cp[a][b];
                            if (!invert_spd(sum, info)) continue;
                            vector_term(p, r, info, kernel.weight(std::sqrt(dot(r, r))), term);
                            break;
                        }
                    }
                    if (!finite_term(term)) term.cost = std::nan("");
                }
            },
            kTermChunk);

        // The normal equations, summed in source order.
        double h[21] = {}, g[6] = {};
        std::size_t used = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Term& term = terms[i];
            if (!(term.cost == term.cost)) continue;
            for (int k = 0; k < 21; ++k) h[k] = h[k] + term.h[k];
            for (int k = 0; k < 6; ++k) g[k] = g[k] + term.g[k];
            ++used;
        }
        if (used == 0) break;
        Matrix6d a{};
        Vector6d minus_g;
        for (int r = 0, k = 0; r < 6; ++r) {
            for (int c = 0; c <= r; ++c) a[r][c] = a[c][r] = h[k++];
            minus_g[r] = -g[r];
        }
        const Vector6d step = ldlt6_solve(a, minus_g);
        const Matrix4d update = se3_exp(step);
        if (!all_finite(update)) break;
        const Matrix4d next = multiply(update, t);
        if (!all_finite(next)) break;
        t = next;
        ++out.iterations;
        const double angle = std::sqrt(step[0] * step[0] + step[1] * step[1] + step[2] * step[2]);
        const double shift = std::sqrt(step[3] * step[3] + step[4] * step[4] + step[5] * step[5]);
        if (angle < options.tolerance && shift < options.tolerance * dmax) {
            out.converged = true;
            break;
        }
    }

    parallel::check_cancelled();
    const RegistrationResult final_pairs = evaluate(in.source, tree, dmax, t, false, &search);
    out.transformation = t;
    out.fitness = final_pairs.fitness;
    out.inlier_rmse = final_pairs.inlier_rmse;
    return out;
}

}  // namespace nubiro::registration
