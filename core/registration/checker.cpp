#include "core/registration/checker.hpp"

#include <cmath>

#include "core/vector_ops.hpp"

namespace nubiro::registration {
namespace {

// Both edges of every pair of pairs must be at least t times the other. Edge lengths do not
// change under a rigid motion, so the source is used as stored.
bool edge_lengths_agree(double t, std::span<const Vector3d> p, std::span<const Vector3d> q,
                        std::span<const Vector2i> pairs) {
    const double t2 = t * t;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        for (std::size_t j = i + 1; j < pairs.size(); ++j) {
            const double a = squared_distance(p[pairs[i][0]], p[pairs[j][0]]);
            const double b = squared_distance(q[pairs[i][1]], q[pairs[j][1]]);
            if (t2 * a > b) return false;
            if (a < t2 * b) return false;
        }
    }
    return true;
}

// Every moved source point lies within t of its partner (exactly t passes).
bool distances_within(double t, std::span<const Vector3d> p, std::span<const Vector3d> q,
                      std::span<const Vector2i> pairs, const Matrix4d& m) {
    const double t2 = t * t;
    for (const Vector2i& pair : pairs) {
        const Vector3d& s = p[pair[0]];
        const Vector3d moved = {m[0][0] * s[0] + m[0][1] * s[1] + m[0][2] * s[2] + m[0][3],
                                m[1][0] * s[0] + m[1][1] * s[1] + m[1][2] * s[2] + m[1][3],
                                m[2][0] * s[0] + m[2][1] * s[1] + m[2][2] * s[2] + m[2][3]};
        if (t2 < squared_distance(moved, q[pair[1]])) return false;
    }
    return true;
}

// Every rotated source normal is within angle t of its partner's normal (dot >= cos t).
bool normals_within(double t, const geometry::PointCloud& source, const geometry::PointCloud& target,
                    std::span<const Vector2i> pairs, const Matrix4d& m) {
    if (!source.has_normals() || !target.has_normals()) return true;  // nothing to judge by
    const double c = std::cos(t);
    for (const Vector2i& pair : pairs) {
        const Vector3d& n = source.normals[static_cast<std::size_t>(pair[0])];
        const Vector3d& g = target.normals[static_cast<std::size_t>(pair[1])];
        if (c > dot(apply_linear(m, n), g)) return false;
    }
    return true;
}

}  // namespace

bool check(const CorrespondenceChecker& checker, const geometry::PointCloud& source,
           const geometry::PointCloud& target, std::span<const Vector2i> pairs, const Matrix4d& transformation) {
    switch (checker.kind) {
        case CorrespondenceChecker::EdgeLength:
            return edge_lengths_agree(checker.threshold, source.points.span(), target.points.span(), pairs);
        case CorrespondenceChecker::Distance:
            return distances_within(checker.threshold, source.points.span(), target.points.span(), pairs,
                                    transformation);
        case CorrespondenceChecker::Normal:
            return normals_within(checker.threshold, source, target, pairs, transformation);
    }
    return true;
}

}  // namespace nubiro::registration
