// Normal estimation: per point, the direction of least spread of its neighbourhood, i.e. the
// eigenvector of the smallest eigenvalue of the neighbourhood's covariance.
//
// Both eigen-solvers (the closed form in core/eigen_solvers, the iterative one below) are
// written operation by operation: the sign of every normal is part of the result, so the order
// of the floating-point operations must stay as it is.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/eigen_solvers.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/kdtree.hpp"
#include "core/parallel.hpp"

namespace nubiro::geometry {
namespace {

constexpr double kSmallestNormal = 2.2250738585072014e-308;
constexpr double kInverseEpsilon = 4503599627370496.0;  // 2^52
constexpr Vector3d kFallback = {0, 0, 1};

// Population covariance as mean of products minus product of means, summed in the
// neighbours' order.
Symmetric3 covariance(const Vector3d* points, const std::uint32_t* neighbors, std::size_t m) {
    double sx = 0, sy = 0, sz = 0, sxx = 0, syy = 0, szz = 0, sxy = 0, syz = 0, sxz = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const Vector3d& p = points[neighbors[j]];
        const double x = p[0], y = p[1], z = p[2];
        sx += x;
        sy += y;
        sz += z;
        sxx += x * x;
        syy += y * y;
        szz += z * z;
        sxy += x * y;
        syz += y * z;
        sxz += x * z;
    }
    const double n = static_cast<double>(m);
    const double mx = sx / n, my = sy / n, mz = sz / n;
    return {sxx / n - mx * mx, sxy / n - mx * my, sxz / n - mx * mz,
            syy / n - my * my, syz / n - my * mz, szz / n - mz * mz};
}

double squared_length(double x, double y, double z) { return (x * x + y * y) + z * z; }

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

// Iterative: Householder reduction to tridiagonal form, then implicit symmetric QR steps with
// a Wilkinson shift, accumulating the rotations. Zero vector when the iteration does not
// converge.
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

// Neighbour scratch owned by one thread and reused by every point it handles.
struct NeighborBuffers {
    std::vector<std::uint32_t> indices;
    std::vector<double> dist2;
    std::vector<Neighbor> hits;
};

NeighborBuffers& thread_buffers() {
    thread_local NeighborBuffers buffers;
    return buffers;
}

// The point numbers of the neighbourhood of `query`, in query order; nullptr when the search
// yields nothing usable (including a negative count).
const std::uint32_t* neighborhood(const KDTree& tree, const SearchParam& param, const Vector3d& query,
                                  NeighborBuffers& buf, std::size_t& count) {
    count = 0;
    auto capacity = [&](std::int32_t k) {
        const std::size_t cap = std::min<std::size_t>(static_cast<std::size_t>(k), tree.size());
        if (buf.indices.size() < cap) {
            buf.indices.resize(cap);
            buf.dist2.resize(cap);
        }
        return cap;
    };
    switch (param.kind) {
        case SearchParam::KNN: {
            if (param.knn < 0) return nullptr;
            const std::size_t cap = capacity(param.knn);
            count = tree.search_knn(query.data(), cap, buf.indices.data(), buf.dist2.data());
            return buf.indices.data();
        }
        case SearchParam::Hybrid: {
            if (param.max_nn < 0) return nullptr;
            const std::size_t cap = capacity(param.max_nn);
            count = tree.search_hybrid(query.data(), param.radius, cap, buf.indices.data(), buf.dist2.data());
            return buf.indices.data();
        }
        case SearchParam::Radius: {
            count = tree.search_radius(query.data(), param.radius, buf.hits);
            if (buf.indices.size() < count) {
                buf.indices.resize(count);
                buf.dist2.resize(count);
            }
            for (std::size_t j = 0; j < count; ++j) buf.indices[j] = static_cast<std::uint32_t>(buf.hits[j].index);
            return buf.indices.data();
        }
    }
    return nullptr;
}

// Points in the index's leaf order, then those the index left out (non-finite ones). Every
// point's normal depends only on the point itself, so the order is free; neighbouring queries
// in a row find the same leaves and coordinates already in cache.
std::vector<std::uint32_t> query_order(const KDTree& tree, std::size_t n) {
    const std::span<const std::uint32_t> perm = tree.permutation();
    std::vector<std::uint32_t> order(perm.begin(), perm.end());
    if (order.size() < n) {
        std::vector<bool> indexed(n, false);
        for (const std::uint32_t i : perm) indexed[i] = true;
        for (std::size_t i = 0; i < n; ++i)
            if (!indexed[i]) order.push_back(static_cast<std::uint32_t>(i));
    }
    return order;
}

}  // namespace

PointCloud& PointCloud::estimate_normals(const SearchParam& param, bool fast_normal_computation) {
    const std::size_t n = points.size();
    if (n == 0) return *this;

    // Computed aside and stored at the end: the normals held before the call are the
    // orientation reference, and nothing changes until every normal is known.
    const bool oriented = has_normals();
    const Vector3d* reference = oriented ? normals.data() : nullptr;
    KDTree tree;
    tree.build_from_points(points.span());
    std::vector<Vector3d> result(n);
    const Vector3d* pts = points.data();
    const std::vector<std::uint32_t> order = query_order(tree, n);

    parallel::parallel_for_chunks(
        n,
        [&](std::size_t begin, std::size_t end) {
            NeighborBuffers& buf = thread_buffers();
            for (std::size_t pos = begin; pos < end; ++pos) {
                const std::size_t i = order[pos];
                std::size_t m = 0;
                const std::uint32_t* nb = neighborhood(tree, param, pts[i], buf, m);
                if (m < 3) {
                    result[i] = kFallback;
                    continue;
                }
                const Symmetric3 cov = covariance(pts, nb, m);
                Vector3d v = fast_normal_computation ? smallest_eigenvector(cov)
                                                     : smallest_eigenvector_iterative(cov);
                if (std::isnan(v[0]) || std::isnan(v[1]) || std::isnan(v[2]) ||
                    std::sqrt(squared_length(v[0], v[1], v[2])) < 1e-9)
                    v = kFallback;
                if (reference) {
                    const Vector3d& r = reference[i];
                    const double dot = (v[0] * r[0] + v[1] * r[1]) + v[2] * r[2];
                    if (dot < 0) v = {-v[0], -v[1], -v[2]};
                }
                result[i] = v;
            }
        },
        64);

    if (oriented)
        std::copy(result.begin(), result.end(), normals.begin());
    else
        normals.assign(result.data(), n);
    return *this;
}

}  // namespace nubiro::geometry
