// Correspondence search and evaluation of a rigid transformation, the ICP driver and the
// information matrix.
//
// Evaluation moves every source point by the transformation, asks the target's KD-tree for its
// nearest neighbour and accepts the pair when the squared distance is strictly below the
// squared maximum distance. The queries run on the worker pool, one record per source point;
// counting, summing and listing the pairs then happen on one thread in ascending source
// order, so every result is bit-identical for any number of threads.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

#include "core/kdtree.hpp"
#include "core/registration/estimation.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::registration {

struct RegistrationResult {
    std::vector<Vector2i> correspondence_set;  // (source, target), ascending source index
    Matrix4d transformation = identity4();     // the transformation that was evaluated
    double inlier_rmse = 0.0;                  // sqrt(mean squared distance of the pairs)
    double fitness = 0.0;                      // pairs / source points
};

// The nearest target point of one moved source point; kNotFound when none lies close enough.
struct Match {
    static constexpr std::uint32_t kNotFound = 0xFFFFFFFFu;
    std::uint32_t target = kNotFound;
    double dist2 = 0.0;
};

// Per-point records and the moved source, reused by repeated evaluations (ICP, RANSAC).
struct EvaluationScratch {
    std::vector<Match> matches;
    bool keep_moved = false;  // also store the moved source points in `moved`
    std::vector<Vector3d> moved;
    // The order in which the source points are searched: neighbours in space one after the
    // other, so consecutive queries walk the same part of the tree. Made from the source on the
    // first call (a rigid motion keeps it spatially coherent) and kept while the source size is
    // unchanged. It only schedules the work: any permutation gives the same result.
    std::vector<std::uint32_t> order;
    // Where each point stands in `order`, and the matches in that order. Each thread writes its
    // own stretch of these; they are then gathered into point order. (Written straight into
    // point order, both threads kept writing into the same cache lines.)
    std::vector<std::uint32_t> rank;
    std::vector<Match> matches_in_order;
};

// Evaluates `transformation` against a prebuilt 3-D tree over the target points. With
// collect_pairs false the correspondence set stays empty (fitness and RMSE are unchanged).
// A distance that is not positive (or NaN) gives the empty result; so does an empty source or
// an empty target tree. `scratch`, when given, keeps its buffers between calls; with
// keep_moved set, scratch->moved then holds the moved source points (filled whenever the
// search ran, that is whenever pairs may have been found).
RegistrationResult evaluate(std::span<const Vector3d> source, const KDTree& target_tree, double max_distance,
                            const Matrix4d& transformation, bool collect_pairs = true,
                            EvaluationScratch* scratch = nullptr);

// Builds the target tree, then evaluates (pairs collected).
RegistrationResult evaluate_registration(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                         double max_distance, const Matrix4d& transformation);

struct ICPConvergenceCriteria {
    double relative_fitness = 1e-6;  // compared with absolute differences, strictly
    double relative_rmse = 1e-6;
    std::int32_t max_iteration = 30;
};

// Iterative closest point from `init`: estimate an update from the current pairs, compose it
// on the left (T := U*T), re-evaluate; stops when fitness and RMSE both change by less than
// the criteria, after max_iteration updates, or on an update that is not finite.
// RuntimeError "Invalid max_correspondence_distance." for a distance <= 0, and
// "PointToPlaneICP requires target pointcloud to have normals." for point-to-plane without one
// normal per target point (checked only when both clouds have points).
Result<RegistrationResult> registration_icp(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                            std::span<const Vector3d> target_normals, double max_distance,
                                            const Matrix4d& init, const TransformationEstimation& method,
                                            const ICPConvergenceCriteria& criteria);

// Sum over the pairs found under `transformation` of G^T G for the matched target point
// q = (x, y, z), G = [[0, z, -y, 1, 0, 0], [-z, 0, x, 0, 1, 0], [y, -x, 0, 0, 0, 1]]; rows and
// columns 0-2 are rotation, 3-5 translation.
Matrix6d get_information_matrix(std::span<const Vector3d> source, std::span<const Vector3d> target,
                                double max_distance, const Matrix4d& transformation);

}  // namespace nubiro::registration
