// Normal estimation: per point, the direction of least spread of its neighbourhood, i.e. the
// eigenvector of the smallest eigenvalue of the neighbourhood's covariance.
// The solvers (core/eigen_solvers) fix the order of every floating-point operation: the sign of
// each normal is part of the result.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/eigen_solvers.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/kdtree.hpp"
#include "core/knn_sweep.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::geometry {
namespace {

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

}  // namespace

PointCloud& PointCloud::estimate_normals(const SearchParam& param, bool fast_normal_computation) {
    const std::size_t n = points.size();
    if (n == 0) return *this;

    // Computed aside and stored at the end: the normals held before the call are the
    // orientation reference, and nothing changes until every normal is known.
    parallel::report_stage("normals");
    const bool oriented = has_normals();
    const Vector3d* reference = oriented ? normals.data() : nullptr;
    KDTree tree;
    tree.build_from_points(points.span());
    Storage<Vector3d> result;  // every entry is written below
    result.resize_for_overwrite(n);
    const Vector3d* pts = points.data();
    auto normal_of = [&](std::size_t i, const std::uint32_t* nb, std::size_t m) {
        if (m < 3) {
            result[i] = kFallback;
            return;
        }
        const Symmetric3 cov = covariance(pts, nb, m);
        Vector3d v = fast_normal_computation ? smallest_eigenvector_closed_form(cov) : smallest_eigenvector_iterative(cov);
        if (std::isnan(v[0]) || std::isnan(v[1]) || std::isnan(v[2]) || std::sqrt(squared_norm(v)) < 1e-9) v = kFallback;
        if (reference) {
            if (dot(v, reference[i]) < 0) v = {-v[0], -v[1], -v[2]};
        }
        result[i] = v;
    };
    // Each normal depends only on its own point, so the points go in the tree's query order.
    // With k nearest, one sweep takes the indexed points in batches; the rest (not finite) or
    // every point for the other searches go one at a time below.
    const bool sweep = param.kind == SearchParam::KNN && param.knn >= 0;
    if (sweep) {
        const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(param.knn), tree.size());
        for_each_knn_in_leaf_order(tree, k, 64,
                                   [&](std::uint32_t i, std::span<const std::uint32_t> nb, std::span<const double>) {
                                       normal_of(i, nb.data(), nb.size());
                                   });
    }
    const std::vector<std::uint32_t> order = sweep ? tree.not_indexed() : tree.query_order();
    parallel::parallel_for_chunks(
        order.size(),
        [&](std::size_t begin, std::size_t end) {
            NeighborBuffers& buf = thread_buffers();
            for (std::size_t pos = begin; pos < end; ++pos) {
                const std::size_t i = order[pos];
                std::size_t m = 0;
                const std::uint32_t* nb = neighborhood(tree, param, pts[i], buf, m);
                normal_of(i, nb, m);
            }
        },
        64);

    if (oriented)
        std::copy(result.data(), result.data() + n, normals.data());
    else
        normals = std::move(result);  // handed over, not copied: no second array at the peak
    return *this;
}

}  // namespace nubiro::geometry
