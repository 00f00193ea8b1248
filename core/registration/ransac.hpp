// Global registration by RANSAC: from putative correspondences, repeatedly estimate a
// transformation from a few random pairs, prune it with the checkers, score it on the cloud
// and keep the best, stopping once a better sample has become unlikely.
//
// The result and the random engine's state afterwards depend only on the inputs and the engine
// state at the start: with more than one worker, iterations are evaluated in batches on the
// pool but accepted in iteration order, exactly as the one-thread loop does.
#pragma once
#include <cstdint>
#include <span>

#include "core/geometry/point_cloud.hpp"
#include "core/registration/checker.hpp"
#include "core/registration/estimation.hpp"
#include "core/registration/feature.hpp"
#include "core/registration/registration.hpp"
#include "core/result.hpp"

namespace nubiro::registration {

struct RANSACConvergenceCriteria {
    double confidence = 0.999;            // wanted probability of having drawn an all-inlier sample
    std::int32_t max_iteration = 100000;  // iteration budget
};

// The empty result (identity, no pairs, fitness 0) when ransac_n < 3, there are fewer pairs
// than ransac_n, the distance is not positive, a cloud is empty, or no sample was accepted.
// ValueError (as for estimation) when a pair does not index real points.
Result<RegistrationResult> registration_ransac_based_on_correspondence(
    const geometry::PointCloud& source, const geometry::PointCloud& target, std::span<const Vector2i> corres,
    double max_distance, const TransformationEstimation& method, std::int32_t ransac_n,
    std::span<const CorrespondenceChecker> checkers, const RANSACConvergenceCriteria& criteria);

// The putative pairs are the feature matches (mutual consistency ratio 0.1); a distance that
// is not positive or ransac_n < 3 gives the empty result without matching.
Result<RegistrationResult> registration_ransac_based_on_feature_matching(
    const geometry::PointCloud& source, const geometry::PointCloud& target, const Feature& source_feature,
    const Feature& target_feature, bool mutual_filter, double max_distance, const TransformationEstimation& method,
    std::int32_t ransac_n, std::span<const CorrespondenceChecker> checkers, const RANSACConvergenceCriteria& criteria);

}  // namespace nubiro::registration
