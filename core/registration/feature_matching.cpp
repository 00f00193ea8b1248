// Putative correspondences from descriptors: nearest neighbours in feature space, optionally
// kept only when mutual.
#include <cmath>
#include <limits>

#include "core/kdtree.hpp"
#include "core/parallel.hpp"
#include "core/registration/feature.hpp"
#include "core/point_limits.hpp"

namespace nubiro::registration {
namespace {

// For every query column, its nearest column of `data` (or -1: no index over `data`, a
// dimension that differs from it, or no finite neighbour).
std::vector<std::int32_t> nearest_columns(const Feature& query, const Feature& data) {
    std::vector<std::int32_t> nearest(query.num, -1);
    KDTree tree;
    if (!tree.build(data.data.data(), data.dimension, data.num) || query.dimension != tree.dimension()) return nearest;
    parallel::parallel_for(
        query.num,
        [&](std::size_t k) {
            std::uint32_t index = 0;
            double dist2 = 0.0;
            if (tree.search_knn(query.descriptor(k), 1, &index, &dist2) == 1)
                nearest[k] = static_cast<std::int32_t>(index);
        },
        16);
    return nearest;
}

// ratio * count in single precision, truncated toward zero into 32 bits (NaN gives 0).
std::int64_t mutual_threshold(float ratio, std::uint64_t count) {
    const float t = ratio * static_cast<float>(count);
    if (std::isnan(t)) return 0;
    if (t >= 2147483647.0f) return std::numeric_limits<std::int32_t>::max();
    if (t <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(t);
}

}  // namespace

std::vector<Vector2i> correspondences_from_features(const Feature& source, const Feature& target, bool mutual_filter,
                                                    float mutual_consistency_ratio) {
    // Pairs hold signed 32-bit column numbers.
    require_count(source.num, kMaxPairedPoints, "features in the source set");
    require_count(target.num, kMaxPairedPoints, "features in the target set");
    std::vector<Vector2i> pairs;
    if (source.num == 0 || target.num == 0) return pairs;
    const std::vector<std::int32_t> forward = nearest_columns(source, target);
    const auto in_target = [&](std::int32_t j) { return j >= 0 && static_cast<std::uint64_t>(j) < target.num; };
    for (std::size_t k = 0; k < forward.size(); ++k)
        if (in_target(forward[k])) pairs.push_back({static_cast<std::int32_t>(k), forward[k]});
    if (!mutual_filter) return pairs;

    const std::vector<std::int32_t> backward = nearest_columns(target, source);
    std::vector<Vector2i> mutual;
    for (std::size_t k = 0; k < forward.size(); ++k) {
        const std::int32_t j = forward[k];
        if (in_target(j) && backward[static_cast<std::size_t>(j)] == static_cast<std::int32_t>(k))
            mutual.push_back({static_cast<std::int32_t>(k), j});
    }
    if (static_cast<std::int64_t>(mutual.size()) >= mutual_threshold(mutual_consistency_ratio, source.num))
        return mutual;
    return pairs;
}

}  // namespace nubiro::registration
