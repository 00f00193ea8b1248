#include "core/eigen_solvers.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace nubiro {
namespace {

constexpr double kSmallestNormal = 2.2250738585072014e-308;
constexpr double kTwoEpsilon = 4.440892098500626e-16;

// Jacobi sweeps converge quadratically; this bound only keeps a pathological input from
// spinning forever.
constexpr int kMaxSweeps = 1000;

double sign_of(double t) { return t > 0 ? 1.0 : -1.0; }

void swap_columns(Matrix3d& m, int a, int b) {
    for (int k = 0; k < 3; ++k) std::swap(m[k][a], m[k][b]);
}

// One two-sided rotation of the (p, q) plane: a left rotation on the rows of w (and the
// columns of u) and a right rotation on the columns of w and v, which together zero w(p, q)
// and w(q, p).
void rotate_plane(Matrix3d& w, Matrix3d& u, Matrix3d& v, int p, int q) {
    double c1 = 1.0, s1 = 0.0;
    const double tau = w[p][p] + w[q][q];
    const double delta = w[q][p] - w[p][q];
    if (!(std::fabs(delta) < kSmallestNormal)) {
        const double ratio = tau / delta;
        const double h = std::sqrt(ratio * ratio + 1.0);
        c1 = ratio / h;
        s1 = 1.0 / h;
    }
    const double x = c1 * w[p][p] + s1 * w[q][p];
    const double y = c1 * w[p][q] + s1 * w[q][q];
    const double z = c1 * w[q][q] - s1 * w[p][q];

    double c2 = 1.0, s2 = 0.0;
    const double abs_y = std::fabs(y);
    if (!(2.0 * abs_y < kSmallestNormal)) {
        const double theta = (x - z) / (2.0 * abs_y);
        const double root = std::sqrt(theta * theta + 1.0);
        const double t = theta > 0 ? 1.0 / (theta + root) : 1.0 / (theta - root);
        c2 = 1.0 / std::sqrt(t * t + 1.0);
        s2 = -sign_of(t) * (y / abs_y) * std::fabs(t) * c2;
    }
    const double cl = c1 * c2 + s1 * s2;
    const double sl = s1 * c2 - c1 * s2;

    for (int k = 0; k < 3; ++k) {
        const double wp = w[p][k], wq = w[q][k];
        w[p][k] = cl * wp + sl * wq;
        w[q][k] = cl * wq - sl * wp;
    }
    for (int k = 0; k < 3; ++k) {
        const double up = u[k][p], uq = u[k][q];
        u[k][p] = cl * up + sl * uq;
        u[k][q] = cl * uq - sl * up;
    }
    for (Matrix3d* m : {&w, &v}) {
        for (int k = 0; k < 3; ++k) {
            const double xp = (*m)[k][p], xq = (*m)[k][q];
            (*m)[k][p] = c2 * xp - s2 * xq;
            (*m)[k][q] = c2 * xq + s2 * xp;
        }
    }
}

}  // namespace

std::optional<Svd3> svd3(const Matrix3d& c) {
    double scale = 0.0;
    for (const auto& row : c) {
        for (const double e : row) {
            if (std::isnan(e)) return std::nullopt;
            scale = std::max(scale, std::fabs(e));
        }
    }
    if (std::isinf(scale)) return std::nullopt;
    if (scale == 0.0) scale = 1.0;

    Matrix3d w;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) w[i][j] = c[i][j] / scale;
    Matrix3d u = identity3(), v = identity3();

    double max_diag = std::max({std::fabs(w[0][0]), std::fabs(w[1][1]), std::fabs(w[2][2])});
    constexpr std::pair<int, int> kPlanes[3] = {{1, 0}, {2, 0}, {2, 1}};
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        bool rotated = false;
        for (const auto& [p, q] : kPlanes) {
            const double threshold = std::max(kSmallestNormal, kTwoEpsilon * max_diag);
            if (std::fabs(w[p][q]) > threshold || std::fabs(w[q][p]) > threshold) {
                rotated = true;
                rotate_plane(w, u, v, p, q);
                max_diag = std::max({max_diag, std::fabs(w[p][p]), std::fabs(w[q][q])});
            }
        }
        if (!rotated) break;
    }

    Svd3 out{u, {}, v};
    for (int i = 0; i < 3; ++i) {
        if (w[i][i] < 0)
            for (int k = 0; k < 3; ++k) out.u[k][i] = -out.u[k][i];
        out.sigma[i] = std::fabs(w[i][i]) * scale;
    }

    // Descending order: the largest first (the first of equals), then the remaining two.
    int largest = 0;
    for (int i = 1; i < 3; ++i)
        if (out.sigma[i] > out.sigma[largest]) largest = i;
    if (out.sigma[largest] == 0.0) return out;
    if (largest != 0) {
        std::swap(out.sigma[0], out.sigma[largest]);
        swap_columns(out.u, 0, largest);
        swap_columns(out.v, 0, largest);
    }
    if (out.sigma[2] > out.sigma[1] && std::max(out.sigma[1], out.sigma[2]) != 0.0) {
        std::swap(out.sigma[1], out.sigma[2]);
        swap_columns(out.u, 1, 2);
        swap_columns(out.v, 1, 2);
    }
    return out;
}

Vector6d ldlt6_solve(const Matrix6d& input, const Vector6d& b) {
    Matrix6d a = input;
    std::array<int, 6> pivot{0, 1, 2, 3, 4, 5};

    for (int k = 0; k < 6; ++k) {
        // Symmetric pivoting on the largest remaining diagonal, kept within the lower triangle.
        int p = k;
        double biggest = std::fabs(a[k][k]);
        for (int i = k + 1; i < 6; ++i) {
            if (std::fabs(a[i][i]) > biggest) {
                biggest = std::fabs(a[i][i]);
                p = i;
            }
        }
        pivot[k] = p;
        if (p != k) {
            for (int j = 0; j < k; ++j) std::swap(a[k][j], a[p][j]);
            for (int i = p + 1; i < 6; ++i) std::swap(a[i][k], a[i][p]);
            std::swap(a[k][k], a[p][p]);
            for (int i = k + 1; i < p; ++i) std::swap(a[i][k], a[p][i]);
        }

        if (k > 0) {
            double w[6];
            for (int j = 0; j < k; ++j) w[j] = a[j][j] * a[k][j];
            double s = a[k][0] * w[0];
            for (int j = 1; j < k; ++j) s = s + a[k][j] * w[j];
            a[k][k] = a[k][k] - s;
            for (int i = k + 1; i < 6; ++i) {
                double t = a[i][0] * w[0];
                for (int j = 1; j < k; ++j) t = t + a[i][j] * w[j];
                a[i][k] = a[i][k] - t;
            }
        }

        if (k == 0 && a[0][0] == 0.0) {
            // Nothing to factor: the solve below runs on the matrix as it stands.
            for (int i = 0; i < 6; ++i) pivot[i] = i;
            break;
        }
        if (a[k][k] != 0.0 && k < 5)
            for (int i = k + 1; i < 6; ++i) a[i][k] = a[i][k] / a[k][k];
    }

    Vector6d y = b;
    for (int k = 0; k < 6; ++k) std::swap(y[k], y[pivot[k]]);
    for (int i = 1; i < 6; ++i) {
        double s = a[i][0] * y[0];
        for (int j = 1; j < i; ++j) s = s + a[i][j] * y[j];
        y[i] = y[i] - s;
    }
    for (int i = 0; i < 6; ++i) y[i] = std::fabs(a[i][i]) > kSmallestNormal ? y[i] / a[i][i] : 0.0;
    for (int i = 4; i >= 0; --i) {
        double s = a[i + 1][i] * y[i + 1];
        for (int j = i + 2; j < 6; ++j) s = s + a[j][i] * y[j];
        y[i] = y[i] - s;
    }
    for (int k = 5; k >= 0; --k) std::swap(y[k], y[pivot[k]]);
    return y;
}

}  // namespace nubiro
