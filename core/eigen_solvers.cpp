#include "core/eigen_solvers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/vector_ops.hpp"

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

namespace {

constexpr double kInverseEpsilon = 4503599627370496.0;  // 2^52
constexpr double kTwoThirdsPi = 2.0943951023931953;

double largest_magnitude(const Symmetric3& c) {
    double s = std::fabs(c.c00);
    for (const double v : {c.c01, c.c02, c.c11, c.c12, c.c22}) {
        const double a = std::fabs(v);
        if (a > s) s = a;
    }
    return s;
}

Symmetric3 scaled(const Symmetric3& c, double s) {
    return {c.c00 / s, c.c01 / s, c.c02 / s, c.c11 / s, c.c12 / s, c.c22 / s};
}

// sqrt(t^2 + g^2) scaled by the larger magnitude.
double scaled_hypot(double t, double g) {
    if (std::isinf(t) || std::isinf(g)) return std::numeric_limits<double>::infinity();
    if (t != t || g != g) return std::numeric_limits<double>::quiet_NaN();
    const double at = std::fabs(t), ag = std::fabs(g);
    const double big = at > ag ? at : ag;
    const double small = at > ag ? ag : at;
    const double r = small / big;
    return big * std::sqrt(1 + r * r);
}

}  // namespace

Vector3d smallest_eigenvector_closed_form(const Symmetric3& c) {
    const double s = largest_magnitude(c);
    if (s == 0) return {0, 0, 0};
    const auto [a00, a01, a02, a11, a12, a22] = scaled(c, s);

    const double off = (a01 * a01 + a02 * a02) + a12 * a12;
    if (off <= 1e-16 || off != off) {
        if (a00 <= a11 && a00 <= a22) return {1, 0, 0};
        if (a11 <= a22 && a11 <= a00) return {0, 1, 0};
        return {0, 0, 1};
    }

    const double q = ((a11 + a22) + a00) / 3;
    const double b00 = a00 - q, b11 = a11 - q, b22 = a22 - q;
    const double p = std::sqrt((2 * off + ((b00 * b00 + b11 * b11) + b22 * b22)) / 6);
    if (p < 1e-16) return {0, 0, 0};

    const double k00 = b11 * b22 - a12 * a12;
    const double k01 = a01 * b22 - a12 * a02;
    const double k02 = a01 * a12 - b11 * a02;
    double h = (((b00 * k00 - a01 * k01) + a02 * k02) / ((p * p) * p)) * 0.5;
    h = std::max(h, -1.0);
    h = std::min(h, 1.0);

    const double theta = std::acos(h) / 3;
    const double beta2 = 2 * std::cos(theta);
    const double beta0 = 2 * std::cos(theta + kTwoThirdsPi);
    const double e0 = q + beta0 * p;
    const double e1 = q - (beta2 + beta0) * p;
    const double e2 = beta2 * p + q;
    const double low01 = e1 < e0 ? e1 : e0;
    const double lambda = e2 < low01 ? e2 : low01;

    const double u0 = a00 - lambda, u1 = a11 - lambda, u2 = a22 - lambda;
    const Vector3d w0 = {a01 * a12 - a02 * u1, a01 * a02 - a12 * u0, u0 * u1 - a01 * a01};
    const Vector3d w1 = {a01 * u2 - a12 * a02, a02 * a02 - u0 * u2, a12 * u0 - a01 * a02};
    const Vector3d w2 = {u1 * u2 - a12 * a12, a12 * a02 - a01 * u2, a01 * a12 - a02 * u1};
    const double d0 = squared_norm(w0);
    const double d1 = squared_norm(w1);
    const double d2 = squared_norm(w2);

    const Vector3d* w = &w0;
    double best = d0;
    if (d1 > best) {
        w = &w1;
        best = d1;
    }
    if (d2 > best) {
        w = &w2;
        best = d2;
    }
    if (best <= 1e-16) return {0, 0, 0};
    const double len = std::sqrt(best);
    return {(*w)[0] / len, (*w)[1] / len, (*w)[2] / len};
}

Vector3d smallest_eigenvector_iterative(const Symmetric3& c) {
    double s = largest_magnitude(c);
    if (s == 0) s = 1;
    const auto [a00, a01, a02, a11, a12, a22] = scaled(c, s);

    double d[3], e[2];
    double Q[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    d[0] = a00;
    if (a02 * a02 <= kSmallestNormal) {
        d[1] = a11;
        d[2] = a22;
        e[0] = a01;
        e[1] = a12;
    } else {
        const double beta = std::sqrt(a02 * a02 + a01 * a01);
        const double g = 1 / beta;
        const double m1 = a01 * g;
        const double m2 = a02 * g;
        const double t = (a22 - a11) * m2 + (2 * m1) * a12;
        d[1] = a11 + m2 * t;
        d[2] = a22 - m2 * t;
        e[0] = beta;
        e[1] = a12 - t * m1;
        Q[1][1] = m1;
        Q[1][2] = m2;
        Q[2][1] = m2;
        Q[2][2] = -m1;
    }

    int iter = 0;
    int start = 0, end = 2;
    for (;;) {
        for (int i = start; i < end; ++i) {
            if (std::fabs(e[i]) < kSmallestNormal) {
                e[i] = 0;
            } else {
                const double scaled_e = e[i] * kInverseEpsilon;
                if (scaled_e * scaled_e <= std::fabs(d[i]) + std::fabs(d[i + 1])) e[i] = 0;
            }
        }
        while (end > 0 && e[end - 1] == 0) --end;
        if (end == 0) break;
        if (iter == 90) return {0, 0, 0};
        ++iter;
        start = end - 1;
        while (start > 0 && e[start - 1] != 0) --start;

        const double t = (d[end - 1] - d[end]) * 0.5;
        const double g = e[end - 1];
        double mu;
        if (t == 0) {
            mu = d[end] - std::fabs(g);
        } else {
            const double h = scaled_hypot(t, g);
            const double den = t + (t > 0 ? h : -h);
            const double g2 = g * g;
            mu = g2 != 0 ? d[end] - g2 / den : d[end] - g / (den / g);
        }

        double x = d[start] - mu;
        double z = e[start];
        for (int k = start; k < end && z != 0; ++k) {
            double cs, sn;
            if (x == 0) {
                cs = 0;
                sn = z < 0 ? 1 : -1;
            } else if (std::fabs(x) > std::fabs(z)) {
                const double r = z / x;
                double u = std::sqrt(1 + r * r);
                if (x < 0) u = -u;
                cs = 1 / u;
                sn = -r * cs;
            } else {
                const double r = x / z;
                double u = std::sqrt(1 + r * r);
                if (z < 0) u = -u;
                sn = -1 / u;
                cs = -r * sn;
            }
            const double dk = d[k], ek = e[k], dk1 = d[k + 1];
            const double sdk = sn * dk + cs * ek;
            const double dkp1 = sn * ek + cs * dk1;
            d[k] = cs * (cs * dk - sn * ek) - sn * (cs * ek - sn * dk1);
            d[k + 1] = sn * sdk + cs * dkp1;
            e[k] = cs * sdk - sn * dkp1;
            if (k > start) e[k - 1] = cs * e[k - 1] - sn * z;
            x = e[k];
            if (k < end - 1) {
                z = -sn * e[k + 1];
                e[k + 1] = cs * e[k + 1];
            }
            for (auto& row : Q) {
                const double qk = row[k], qk1 = row[k + 1];
                row[k] = cs * qk - sn * qk1;
                row[k + 1] = sn * qk + cs * qk1;
            }
        }
    }

    const double low01 = d[1] < d[0] ? d[1] : d[0];
    const int j = d[2] < low01 ? 2 : (d[1] < d[0] ? 1 : 0);
    return {Q[0][j], Q[1][j], Q[2][j]};
}


}  // namespace nubiro
