#include "core/registration/registration.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/parallel.hpp"
#include "core/vector_ops.hpp"
#include "core/point_limits.hpp"

namespace nubiro::registration {
namespace {

// Source points per task of the nearest-neighbour phase.
constexpr std::size_t kQueryChunk = 256;
// How many queries ahead a source point is fetched.
constexpr std::size_t kFetchAhead = 8;
// Points per task when the results are gathered into point order.
constexpr std::size_t kGatherChunk = 8192;

// Spreads the low 10 bits of v to every third bit (a Morton code component).
inline std::uint32_t spread_bits(std::uint32_t v) {
    v &= 0x3FFu;
    v = (v | (v << 16)) & 0x030000FFu;
    v = (v | (v << 8)) & 0x0300F00Fu;
    v = (v | (v << 4)) & 0x030C30C3u;
    v = (v | (v << 2)) & 0x09249249u;
    return v;
}

// Point numbers sorted by the Morton code of a grid cell over the points' bounds (a counting
// sort, stable within a cell), with about eight points per cell. Points that are not finite
// go first.
void locality_order(std::span<const Vector3d> points, std::vector<std::uint32_t>& order) {
    const std::size_t n = points.size();
    order.resize(n);
    double low[3], high[3];
    for (int c = 0; c < 3; ++c) {
        low[c] = std::numeric_limits<double>::infinity();
        high[c] = -std::numeric_limits<double>::infinity();
    }
    for (const Vector3d& p : points) {
        for (int c = 0; c < 3; ++c) {
            if (!std::isfinite(p[c])) continue;
            low[c] = std::min(low[c], p[c]);
            high[c] = std::max(high[c], p[c]);
        }
    }
    int bits = 1;
    while (bits < 7 && (std::size_t{1} << (3 * bits)) * 8 < n) ++bits;
    const double cells = static_cast<double>(1u << bits);
    double scale[3];
    for (int c = 0; c < 3; ++c) {
        const double extent = high[c] - low[c];
        scale[c] = extent > 0 && std::isfinite(extent) ? cells / extent : 0.0;
    }
    const std::uint32_t top = (1u << bits) - 1;
    std::vector<std::uint32_t> keys(n);
    parallel::parallel_for(
        n,
        [&](std::size_t i) {
            std::uint32_t key = 0;
            bool finite = true;
            for (int c = 0; c < 3; ++c) {
                const double v = (points[i][c] - low[c]) * scale[c];
                finite = finite && std::isfinite(v);
                const std::uint32_t cell = v >= 0 && v < cells ? static_cast<std::uint32_t>(v) : top;
                key |= spread_bits(cell) << c;
            }
            keys[i] = finite ? key + 1 : 0;
        },
        4096);
    std::vector<std::uint32_t> start((std::size_t{1} << (3 * bits)) + 2, 0);
    for (const std::uint32_t k : keys) ++start[k + 1];
    for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    for (std::size_t i = 0; i < n; ++i) order[start[keys[i]]++] = static_cast<std::uint32_t>(i);
}

}  // namespace

RegistrationResult evaluate(std::span<const Vector3d> source, const KDTree& target_tree, double max_distance,
                            const Matrix4d& transformation, bool collect_pairs, EvaluationScratch* scratch) {
    RegistrationResult out;
    out.transformation = transformation;
    const double max_dist2 = max_distance * max_distance;
    // Nothing can pass the strict test d^2 < max_dist2 when it is not positive (a NaN distance
    // included), so the searches are skipped.
    if (!(max_distance > 0) || !(max_dist2 > 0)) return out;
    const std::size_t n = source.size();
    // Pairs hold signed 32-bit point numbers.
    require_count(n, kMaxPairedPoints, "points in the source cloud");
    require_count(target_tree.size(), kMaxPairedPoints, "points in the target cloud");
    if (n == 0 || target_tree.empty() || target_tree.dimension() != 3) return out;

    EvaluationScratch local;
    EvaluationScratch& s = scratch ? *scratch : local;
    s.matches.resize(n);
    const bool keep_moved = s.keep_moved;
    if (keep_moved) s.moved.resize(n);
    // The search order holds 32-bit point numbers; a larger source is searched in index order.
    const bool reorder = n <= std::numeric_limits<std::uint32_t>::max();
    if (reorder && s.order.size() != n) {
        locality_order(source, s.order);
        s.rank.resize(n);
        for (std::size_t k = 0; k < n; ++k) s.rank[s.order[k]] = static_cast<std::uint32_t>(k);
    }
    const std::uint32_t* order = reorder ? s.order.data() : nullptr;
    // Matches go in search order when there is one, else straight into point order; the moved
    // points are then made again in point order as the matches are gathered.
    if (order) s.matches_in_order.resize(n);
    Match* found_matches = order ? s.matches_in_order.data() : s.matches.data();
    Vector3d* moved = s.moved.data();

    parallel::parallel_for_chunks(
        n,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const std::size_t i = order ? order[k] : k;
                // The search order jumps about the source: its points are fetched ahead.
                if (order && k + kFetchAhead < end) __builtin_prefetch(source.data() + order[k + kFetchAhead]);
                const Vector3d p = apply(transformation, source[i]);
                if (keep_moved && !order) moved[i] = p;
                std::uint32_t j;
                double dist2;
                // Bounded by the correspondence distance: a source point with no target that
                // close ends its search early, and the others prune from the start.
                const std::size_t found = target_tree.search_knn_below(p.data(), 1, max_dist2, &j, &dist2);
                found_matches[k] = found == 1 ? Match{j, dist2} : Match{};
            }
        },
        kQueryChunk);
    Match* matches = s.matches.data();
    if (order) {
        const std::uint32_t* rank = s.rank.data();
        parallel::parallel_for_chunks(
            n,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    matches[i] = found_matches[rank[i]];
                    if (keep_moved) moved[i] = apply(transformation, source[i]);
                }
            },
            kGatherChunk);
    }

    std::size_t count = 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (matches[i].target == Match::kNotFound) continue;
        ++count;
        sum = sum + matches[i].dist2;
    }
    if (count == 0) return out;
    if (collect_pairs) {
        out.correspondence_set.reserve(count);
        for (std::size_t i = 0; i < n; ++i)
            if (matches[i].target != Match::kNotFound)
                out.correspondence_set.push_back(
                    {static_cast<std::int32_t>(i), static_cast<std::int32_t>(matches[i].target)});
    }
    out.fitness = static_cast<double>(count) / static_cast<double>(n);
    out.inlier_rmse = std::sqrt(sum / static_cast<double>(count));
    return out;
}

RegistrationResult evaluate_registration(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                         double max_distance, const Matrix4d& transformation) {
    KDTree tree;
    tree.build_from_points(target);
    return evaluate(source, tree, max_distance, transformation);
}

Result<RegistrationResult> registration_icp(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                            std::span<const Vector3d> target_normals, double max_distance,
                                            const Matrix4d& init, const TransformationEstimation& method,
                                            const ICPConvergenceCriteria& criteria) {
    if (!(max_distance > 0)) return runtime_error("Invalid max_correspondence_distance.");  // NaN included
    if (source.empty() || target.empty()) {
        RegistrationResult empty;
        empty.transformation = init;
        return empty;
    }
    if (method.is_point_to_plane() && target_normals.size() != target.size())
        return runtime_error("PointToPlaneICP requires target pointcloud to have normals.");

    KDTree tree;
    tree.build_from_points(target);
    // The moved source of the current transformation stays in `search.moved`; the estimate
    // reads it instead of moving the points again.
    EvaluationScratch search;
    search.keep_moved = true;

    Matrix4d transformation = init;
    RegistrationResult result = evaluate(source, tree, max_distance, transformation, true, &search);
    for (std::int32_t iteration = 0; iteration < criteria.max_iteration; ++iteration) {
        parallel::check_cancelled();
        parallel::report_progress("ICP iterations", static_cast<std::uint64_t>(iteration),
                                  static_cast<std::uint64_t>(criteria.max_iteration));
        parallel::report_score(result.fitness);
        const Matrix4d update =
            estimate(method, search.moved, target, target_normals, result.correspondence_set);
        if (!all_finite(update)) break;
        transformation = multiply(update, transformation);
        const double previous_fitness = result.fitness;
        const double previous_rmse = result.inlier_rmse;
        // The old pairs are released first, so that they and the new ones are not both held.
        result = RegistrationResult{};
        result = evaluate(source, tree, max_distance, transformation, true, &search);
        if (std::fabs(previous_fitness - result.fitness) < criteria.relative_fitness &&
            std::fabs(previous_rmse - result.inlier_rmse) < criteria.relative_rmse)
            break;
    }
    return result;
}

Matrix6d get_information_matrix(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                double max_distance, const Matrix4d& transformation) {
    KDTree tree;
    tree.build_from_points(target);
    const RegistrationResult found = evaluate(source, tree, max_distance, transformation);

    // The lower triangle of the running sum of G^T G, in pair order; mirrored at the end.
    Matrix6d info{};
    for (const Vector2i& pair : found.correspondence_set) {
        const double x = target[pair[1]][0], y = target[pair[1]][1], z = target[pair[1]][2];
        info[0][0] = info[0][0] + (y * y + z * z);
        info[1][0] = info[1][0] + -(x * y);
        info[1][1] = info[1][1] + (x * x + z * z);
        info[2][0] = info[2][0] + -(x * z);
        info[2][1] = info[2][1] + -(y * z);
        info[2][2] = info[2][2] + (x * x + y * y);
        info[3][1] = info[3][1] + z;
        info[3][2] = info[3][2] + -y;
        info[3][3] = info[3][3] + 1.0;
        info[4][0] = info[4][0] + -z;
        info[4][2] = info[4][2] + x;
        info[4][4] = info[4][4] + 1.0;
        info[5][0] = info[5][0] + y;
        info[5][1] = info[5][1] + -x;
        info[5][5] = info[5][5] + 1.0;
    }
    for (int i = 0; i < 6; ++i)
        for (int j = i + 1; j < 6; ++j) info[i][j] = info[j][i];
    return info;
}

}  // namespace nubiro::registration
