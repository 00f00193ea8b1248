// Candidates come from a KD-tree over the triangle centroids: with R the largest distance from a
// centroid to its triangle's corners, every point of a triangle lies within R of its centroid.
// So once some triangle is known to lie at distance u from p, only triangles whose centroid is
// within u + R can be nearer; those are tested exactly.
#include "core/measure/point_to_mesh.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/kdtree.hpp"
#include "core/kdtree_ball.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"
#include "core/point_limits.hpp"

namespace nubiro::measure {
namespace {

Vector3d along(const Vector3d& a, const Vector3d& d, double t) { return {a[0] + t * d[0], a[1] + t * d[1], a[2] + t * d[2]}; }
Vector3d closest_on_segment(const Vector3d& p, const Vector3d& a, const Vector3d& b) {
    const Vector3d ab = sub(b, a);
    const double len2 = dot(ab, ab);
    if (!(len2 > 0)) return a;
    const double t = std::clamp(dot(sub(p, a), ab) / len2, 0.0, 1.0);
    return along(a, ab, t);
}

}  // namespace

// Voronoi regions of the triangle in turn: corners, sides, then the face.
Vector3d closest_on_triangle(const Vector3d& p, const Vector3d& a, const Vector3d& b, const Vector3d& c) {
    const Vector3d ab = sub(b, a), ac = sub(c, a);
    if (!(squared_norm(cross(ab, ac)) > 0)) {
        const Vector3d candidates[3] = {closest_on_segment(p, a, b), closest_on_segment(p, b, c),
                                        closest_on_segment(p, c, a)};
        Vector3d best = candidates[0];
        for (const Vector3d& q : candidates)
            if (squared_distance(p, q) < squared_distance(p, best)) best = q;
        return best;
    }
    const Vector3d ap = sub(p, a);
    const double d1 = dot(ab, ap), d2 = dot(ac, ap);
    if (d1 <= 0 && d2 <= 0) return a;
    const Vector3d bp = sub(p, b);
    const double d3 = dot(ab, bp), d4 = dot(ac, bp);
    if (d3 >= 0 && d4 <= d3) return b;
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0 && d1 >= 0 && d3 <= 0) return along(a, ab, d1 / (d1 - d3));
    const Vector3d cp = sub(p, c);
    const double d5 = dot(ab, cp), d6 = dot(ac, cp);
    if (d6 >= 0 && d5 <= d6) return c;
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0 && d2 >= 0 && d6 <= 0) return along(a, ac, d2 / (d2 - d6));
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0) return along(b, sub(c, b), (d4 - d3) / ((d4 - d3) + (d5 - d6)));
    const double denom = 1 / (va + vb + vc);
    const double v = vb * denom, w = vc * denom;
    return {a[0] + ab[0] * v + ac[0] * w, a[1] + ab[1] * v + ac[1] * w, a[2] + ab[2] * v + ac[2] * w};
}

Result<MeshDistances> point_to_mesh(std::span<const Vector3d> points, std::span<const Vector3d> vertices,
                                    std::span<const Vector3i> triangles) {
    require_count(triangles.size(), kMaxIndexedPoints, "triangles in the mesh");
    parallel::report_stage("distances to the mesh");
    const auto nv = static_cast<std::int64_t>(vertices.size());
    std::vector<std::uint32_t> usable;  // triangle numbers, by centroid number
    std::vector<Vector3d> centroids;
    double reach = 0;  // the largest centroid-to-corner distance
    for (std::size_t t = 0; t < triangles.size(); ++t) {
        const Vector3i& tri = triangles[t];
        for (const std::int32_t v : tri)
            if (v < 0 || v >= nv)
                return value_error("mesh triangle " + std::to_string(t) + " refers to vertex " + std::to_string(v) +
                                   " of " + std::to_string(nv));
        const Vector3d &a = vertices[tri[0]], &b = vertices[tri[1]], &c = vertices[tri[2]];
        if (!is_finite(a) || !is_finite(b) || !is_finite(c)) continue;
        const Vector3d g = {(a[0] + b[0] + c[0]) / 3, (a[1] + b[1] + c[1]) / 3, (a[2] + b[2] + c[2]) / 3};
        reach = std::max({reach, std::sqrt(squared_distance(g, a)), std::sqrt(squared_distance(g, b)), std::sqrt(squared_distance(g, c))});
        usable.push_back(static_cast<std::uint32_t>(t));
        centroids.push_back(g);
    }
    if (usable.empty()) return value_error("mesh has no triangles with finite vertices");
    KDTree tree;
    tree.build_from_points(centroids);

    const std::size_t n = points.size();
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    MeshDistances out{std::vector<double>(n), std::vector<std::int64_t>(n), std::vector<Vector3d>(n)};
    auto corner = [&](std::uint32_t t, int k) -> const Vector3d& { return vertices[triangles[t][k]]; };
    parallel::parallel_for_chunks(
        n,
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            std::vector<Neighbor> hits;
            for (std::size_t i = begin; i < end; ++i) {
                const Vector3d& p = points[i];
                if (!is_finite(p)) {
                    out.distances[i] = kNaN;
                    out.triangles[i] = -1;
                    out.closest[i] = {kNaN, kNaN, kNaN};
                    continue;
                }
                std::uint32_t first;
                double first_d2;
                tree.search_knn(p.data(), 1, &first, &first_d2);
                std::uint32_t best_t = usable[first];
                Vector3d best_q = closest_on_triangle(p, corner(best_t, 0), corner(best_t, 1), corner(best_t, 2));
                double best_d2 = squared_distance(p, best_q);
                // A little slack keeps rounding in the bound from dropping a candidate.
                const double bound = (std::sqrt(best_d2) + reach) * (1 + 1e-9) + 1e-300;
                search_closed_ball(tree, p.data(), bound, hits);
                for (const Neighbor& h : hits) {
                    const std::uint32_t t = usable[h.index];
                    if (t == best_t) continue;
                    const double lower = std::sqrt(h.dist2) - reach;
                    if (lower > 0 && lower * lower > best_d2 * (1 + 1e-9)) continue;
                    const Vector3d q = closest_on_triangle(p, corner(t, 0), corner(t, 1), corner(t, 2));
                    const double d2 = squared_distance(p, q);
                    if (d2 < best_d2 || (d2 == best_d2 && t < best_t)) best_t = t, best_q = q, best_d2 = d2;
                }
                out.distances[i] = std::sqrt(best_d2);
                out.triangles[i] = best_t;
                out.closest[i] = best_q;
            }
        },
        256);
    return out;
}

}  // namespace nubiro::measure
