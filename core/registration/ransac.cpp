#include "core/registration/ransac.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/kdtree.hpp"
#include "core/parallel.hpp"
#include "core/random.hpp"
#include "core/vector_ops.hpp"
#include "core/point_limits.hpp"

namespace nubiro::registration {
namespace {

// Quick scores look at about this many source points, the early-exit estimate at about this
// many putative pairs.
constexpr std::int64_t kQuickScorePoints = 2048;
constexpr std::int64_t kInlierRatioPairs = 5000;
// A proposal is scored on the whole cloud only if its quick fitness is within this of the best.
constexpr double kQuickScoreMargin = 0.02;

// ceil(x) into 32 bits, saturating; NaN gives 0.
std::int32_t ceil_to_int32(double x) {
    const double c = std::ceil(x);
    if (std::isnan(c)) return 0;
    if (c >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (c <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(c);
}

// Everything one call reads and never changes.
struct Problem {
    const geometry::PointCloud& source;
    const geometry::PointCloud& target;
    std::span<const Vector2i> pairs;
    double max_distance;
    TransformationEstimation method;
    std::size_t sample_size;  // ransac_n
    std::span<const CorrespondenceChecker> checkers;
    const KDTree& tree;
    random::IntRange draw_range;
    std::int64_t draw_budget;

    double max_dist2() const { return max_distance * max_distance; }
};

// Draws pair numbers until `sample` holds sample_size distinct pairs; false when the sample is
// still incomplete after draw_budget + 1 draws.
bool draw_sample(const Problem& p, Vector2i* sample) {
    std::size_t size = 0;
    for (std::int64_t draws = 1;; ++draws) {
        const Vector2i pair = p.pairs[static_cast<std::size_t>(random::uniform_int(p.draw_range))];
        if (std::find(sample, sample + size, pair) == sample + size) sample[size++] = pair;
        if (size == p.sample_size) return true;
        if (draws > p.draw_budget) return false;
    }
}

// Share of about kQuickScorePoints evenly strided source points that land within the distance.
//
// The share only decides whether the proposal is scored on the whole cloud, which it is not
// when a best fitness `known_best` > 0 exceeds it by more than the margin. So the count stops
// early, returning -1, once even finding every remaining point could not change that: the
// share and the test are monotonic in the count, so the verdict is the one the full count
// would give.
double quick_fitness(const Problem& p, const Matrix4d& t, double known_best) {
    constexpr std::int64_t kBoundEvery = 64;
    const std::span<const Vector3d> source = p.source.points.span();
    const auto size = static_cast<std::int64_t>(source.size());
    const std::int64_t stride = std::max<std::int64_t>(1, size / kQuickScorePoints);
    const std::int64_t looked_total = (size + stride - 1) / stride;
    const double max_dist2 = p.max_dist2();
    std::int64_t looked = 0, found = 0;
    for (std::int64_t i = 0; i < size; i += stride) {
        if (known_best > 0 && looked % kBoundEvery == 0) {
            const double at_most = static_cast<double>(found + (looked_total - looked)) / static_cast<double>(looked_total);
            if (known_best > at_most + kQuickScoreMargin) return -1.0;
        }
        ++looked;
        const Vector3d moved = apply(t, source[static_cast<std::size_t>(i)]);
        std::uint32_t j;
        double dist2;
        if (p.tree.search_knn_below(moved.data(), 1, max_dist2, &j, &dist2) == 1) ++found;
    }
    return found == 0 ? 0.0 : static_cast<double>(found) / static_cast<double>(looked);
}

// Share of about kInlierRatioPairs evenly strided putative pairs that `t` brings within the
// distance.
double inlier_ratio(const Problem& p, const Matrix4d& t) {
    const auto m = static_cast<std::int64_t>(p.pairs.size());
    const std::int64_t stride = std::max<std::int64_t>(1, m / kInlierRatioPairs);
    const std::span<const Vector3d> source = p.source.points.span(), target = p.target.points.span();
    const double max_dist2 = p.max_dist2();
    std::int64_t inliers = 0;
    for (std::int64_t k = 0; k < m; k += stride) {
        const Vector2i& pair = p.pairs[static_cast<std::size_t>(k)];
        if (max_dist2 > squared_distance(apply(t, source[pair[0]]), target[pair[1]])) ++inliers;
    }
    return static_cast<double>(inliers) / static_cast<double>((m - 1) / stride + 1);
}

// A sample's transformation once it has passed the finiteness test and every checker, with
// its quick fitness; viable false otherwise.
struct Proposal {
    bool viable = false;
    Matrix4d transformation;
    double quick_fitness = 0.0;
};

// `known_best`: a fitness the best will have reached by the time the proposal is judged.
Proposal propose(const Problem& p, std::span<const Vector2i> sample, double known_best) {
    Proposal out;
    out.transformation = estimate(p.method, p.source.points.span(), p.target.points.span(),
                                  p.target.normals.span(), sample);
    if (!all_finite(out.transformation)) return out;
    for (const CorrespondenceChecker& c : p.checkers)
        if (!check(c, p.source, p.target, sample, out.transformation)) return out;
    out.viable = true;
    out.quick_fitness = quick_fitness(p, out.transformation, known_best);
    return out;
}

RegistrationResult full_score(const Problem& p, const Matrix4d& t, bool collect_pairs) {
    // Per-thread buffers: full scores run on the workers of a batch as well as on the caller.
    thread_local EvaluationScratch scratch;
    return evaluate(p.source.points.span(), p.tree, p.max_distance, t, collect_pairs, &scratch);
}

// The best result so far and the iteration limit it implies; every acceptance goes through
// here in iteration order.
class Search {
public:
    Search(const Problem& p, const RANSACConvergenceCriteria& criteria)
        : p_(p), limit_(criteria.max_iteration), estimate_(criteria.max_iteration),
          log_miss_(std::log(1.0 - criteria.confidence)) {}

    std::int64_t limit() const { return limit_; }
    const RegistrationResult& best() const { return best_; }

    // Whether a proposal's quick fitness makes a full score worthwhile.
    bool worth_scoring(double quick) const {
        return quick > 0 && !(best_.fitness > 0 && best_.fitness > quick + kQuickScoreMargin);
    }

    // Takes the proposal when its full score beats the best, and then lowers the iteration
    // limit to what the inlier ratio says is needed.
    void consider(const Matrix4d& t, const RegistrationResult& score) {
        if (!(score.fitness > best_.fitness ||
              (score.fitness == best_.fitness && score.inlier_rmse < best_.inlier_rmse)))
            return;
        best_ = full_score(p_, t, true);
        const double all_inliers = std::pow(inlier_ratio(p_, t), static_cast<double>(p_.sample_size));
        double needed = 1.0;
        if (all_inliers < 1.0) {
            needed = estimate_;
            if (all_inliers > 0.0) {
                const double q = log_miss_ / std::log(1.0 - all_inliers);
                if (std::isfinite(q) && q >= 0.0) needed = q;
            }
        }
        if (needed < static_cast<double>(limit_)) estimate_ = ceil_to_int32(needed);
        limit_ = std::min(estimate_, limit_);
    }

    // Iterations run so far and the best fitness, for a watcher; stops here when cancelled.
    void report(std::int64_t iterations, std::int64_t max_iteration) const {
        parallel::check_cancelled();
        parallel::report_progress("RANSAC iterations", static_cast<std::uint64_t>(iterations),
                                  static_cast<std::uint64_t>(std::min<std::int64_t>(max_iteration, limit_)));
        parallel::report_score(best_.fitness);
    }

private:
    const Problem& p_;
    RegistrationResult best_;
    std::int32_t limit_;     // L: iterations from here on are not run
    std::int32_t estimate_;  // E: iterations the best so far says are needed
    double log_miss_;        // ln(1 - confidence)
};

void run_sequential(const Problem& p, Search& search, std::int64_t max_iteration) {
    std::vector<Vector2i> sample(p.sample_size);
    for (std::int64_t k = 0; k < max_iteration && k < search.limit(); ++k) {
        search.report(k, max_iteration);
        if (!draw_sample(p, sample.data())) continue;
        const Proposal proposal = propose(p, sample, search.best().fitness);
        if (!proposal.viable || !search.worth_scoring(proposal.quick_fitness)) continue;
        search.consider(proposal.transformation, full_score(p, proposal.transformation, false));
    }
}

// The same iterations in batches: samples are drawn in iteration order on this thread, the
// proposals (estimate, checkers, quick score) are made on the pool, and the results are then
// accepted in iteration order, exactly as the sequential loop does.
//
// Full scores cost about as much as a hundred proposals, so where they run decides how well
// the pool is used. A batch with many proposals that the best so far does not rule out scores
// them all at once on the pool, one per task; the in-order walk then computes any other score
// it still needs on its own, spread over the pool. The best only rises during the walk, so
// every proposal it will want scored is among those. Should the iteration limit fall inside a
// batch, the engine is put back to where the sequential loop would have left it.
void run_batched(const Problem& p, Search& search, std::int64_t max_iteration, std::size_t threads) {
    struct Slot {
        bool drawn = false;
        Proposal proposal;
        bool scored = false;
        RegistrationResult score;
    };
    const std::int64_t first_batch = std::max<std::int64_t>(4, 2 * static_cast<std::int64_t>(threads));
    const std::int64_t largest_batch = std::max<std::int64_t>(64, 16 * static_cast<std::int64_t>(threads));
    const std::size_t n = p.sample_size;
    std::vector<Vector2i> samples;
    std::vector<Slot> slots;
    std::vector<std::size_t> to_score;

    std::int64_t start = 0, size = first_batch;
    while (start < search.limit() && start < max_iteration) {
        search.report(start, max_iteration);
        const std::int64_t count = std::min(max_iteration, start + size) - start;
        const auto batch = static_cast<std::size_t>(count);
        samples.resize(batch * n);
        slots.assign(batch, Slot{});
        const double best_before = search.best().fitness;

        const random::Snapshot before = random::snapshot();
        for (std::size_t b = 0; b < batch; ++b) slots[b].drawn = draw_sample(p, samples.data() + b * n);

        parallel::parallel_for(batch, [&](std::size_t b) {
            if (!slots[b].drawn) return;
            slots[b].proposal =
                propose(p, std::span<const Vector2i>(samples.data() + b * n, n), best_before);
        });

        to_score.clear();
        for (std::size_t b = 0; b < batch; ++b) {
            const Proposal& proposal = slots[b].proposal;
            const double quick = proposal.quick_fitness;
            if (slots[b].drawn && proposal.viable && quick > 0 &&
                !(best_before > 0 && best_before > quick + kQuickScoreMargin))
                to_score.push_back(b);
        }
        if (to_score.size() >= 4 * threads) {
            parallel::parallel_for(to_score.size(), [&](std::size_t i) {
                Slot& slot = slots[to_score[i]];
                slot.score = full_score(p, slot.proposal.transformation, false);
                slot.scored = true;
            });
        }

        for (std::size_t b = 0; b < batch; ++b) {
            if (start + static_cast<std::int64_t>(b) >= search.limit()) {
                random::restore(before);
                std::vector<Vector2i> discarded(n);
                for (std::size_t r = 0; r < b; ++r) draw_sample(p, discarded.data());
                return;
            }
            const Slot& slot = slots[b];
            if (!slot.drawn || !slot.proposal.viable || !search.worth_scoring(slot.proposal.quick_fitness)) continue;
            const Matrix4d& t = slot.proposal.transformation;
            search.consider(t, slot.scored ? slot.score : full_score(p, t, false));
        }
        start += count;
        size = std::min(2 * size, largest_batch);
    }
}

}  // namespace

Result<RegistrationResult> registration_ransac_based_on_correspondence(
    const geometry::PointCloud& source, const geometry::PointCloud& target, std::span<const Vector2i> corres,
    double max_distance, const TransformationEstimation& method, std::int32_t ransac_n,
    std::span<const CorrespondenceChecker> checkers, const RANSACConvergenceCriteria& criteria) {
    require_count(source.points.size(), kMaxPairedPoints, "points in the source cloud");
    require_count(target.points.size(), kMaxPairedPoints, "points in the target cloud");
    if (auto error = validate_correspondences(corres, source.points.size(), target.points.size())) return *error;
    if (ransac_n < 3 || corres.size() < static_cast<std::size_t>(ransac_n) || !(max_distance > 0) ||
        source.is_empty() || target.is_empty())
        return RegistrationResult();

    KDTree tree;
    tree.build_from_points(target.points.span());
    const Problem problem{source,
                          target,
                          corres,
                          max_distance,
                          method,
                          static_cast<std::size_t>(ransac_n),
                          checkers,
                          tree,
                          random::int_range(0, static_cast<std::int64_t>(corres.size()) - 1),
                          std::max<std::int64_t>(128, 32 * static_cast<std::int64_t>(ransac_n))};
    Search search(problem, criteria);
    const std::size_t threads = parallel::num_threads();
    // A stopped search puts the engine back, so the next run draws what this one would have.
    const random::Snapshot engine_before = random::snapshot();
    try {
        if (threads > 1)
            run_batched(problem, search, criteria.max_iteration, threads);
        else
            run_sequential(problem, search, criteria.max_iteration);
    } catch (const parallel::Cancelled&) {
        random::restore(engine_before);
        throw;
    }
    if (!(search.best().fitness > 0)) return RegistrationResult();
    return search.best();
}

Result<RegistrationResult> registration_ransac_based_on_feature_matching(
    const geometry::PointCloud& source, const geometry::PointCloud& target, const Feature& source_feature,
    const Feature& target_feature, bool mutual_filter, double max_distance, const TransformationEstimation& method,
    std::int32_t ransac_n, std::span<const CorrespondenceChecker> checkers, const RANSACConvergenceCriteria& criteria) {
    if (!(max_distance > 0) || ransac_n < 3) return RegistrationResult();
    const std::vector<Vector2i> corres =
        correspondences_from_features(source_feature, target_feature, mutual_filter, 0.1f);
    return registration_ransac_based_on_correspondence(source, target, corres, max_distance, method, ransac_n,
                                                       checkers, criteria);
}

}  // namespace nubiro::registration
