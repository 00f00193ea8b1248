#include "core/filters/sampling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "core/parallel.hpp"
#include "core/random.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::filters {
namespace {

Error positive(const char* name, std::int64_t v) {
    return value_error(std::string(name) + " must be a positive integer, got " + std::to_string(v));
}

}  // namespace

Result<Indices> random_indices(std::size_t n, std::int64_t count, std::uint32_t seed) {
    if (count < 1) return positive("count", count);
    const std::size_t take = std::min(static_cast<std::size_t>(count), n);
    Indices all(n);
    std::iota(all.begin(), all.end(), std::int64_t{0});
    random::Mt19937 engine(seed);
    for (std::size_t i = 0; i < take; ++i) std::swap(all[i], all[i + random::draw_below(engine, n - i)]);
    all.resize(take);
    std::sort(all.begin(), all.end());
    return all;
}

Result<Indices> every_kth_indices(std::size_t n, std::int64_t k, std::int64_t offset) {
    if (k < 1) return positive("k", k);
    if (offset < 0) return value_error("offset must be non-negative, got " + std::to_string(offset));
    Indices out;
    for (auto i = static_cast<std::size_t>(offset); i < n; i += static_cast<std::size_t>(k))
        out.push_back(static_cast<std::int64_t>(i));
    return out;
}

Result<Indices> farthest_indices(std::span<const Vector3d> points, std::int64_t count, std::int64_t start) {
    if (count < 1) return positive("count", count);
    const auto n = static_cast<std::int64_t>(points.size());
    if (start < 0 || start >= n)
        return value_error("start must be a point number below " + std::to_string(n) + ", got " + std::to_string(start));
    auto finite = [&](std::size_t i) { return is_finite(points[i]); };
    if (!finite(static_cast<std::size_t>(start))) return value_error("start must be a point with finite coordinates");

    // Squared distance to the nearest chosen point; -1 marks chosen points, -inf points that
    // can never be chosen, so neither wins the search for the farthest.
    constexpr double kNever = -std::numeric_limits<double>::infinity();
    std::vector<double> dist(points.size());
    std::size_t available = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        dist[i] = finite(i) ? std::numeric_limits<double>::infinity() : kNever;
        available += finite(i);
    }
    const std::size_t take = std::min(static_cast<std::size_t>(count), available);

    // The farthest point is found per fixed block, then over the blocks in order: the same
    // answer (largest distance, then lowest number) for any thread count.
    constexpr std::size_t kBlock = 4096;
    const std::size_t blocks = (points.size() + kBlock - 1) / kBlock;
    struct Best {
        double dist;
        std::size_t index;
    };
    std::vector<Best> best(blocks);

    Indices chosen;
    chosen.reserve(take);
    std::size_t last = static_cast<std::size_t>(start);
    for (std::size_t s = 0; s < take; ++s) {
        chosen.push_back(static_cast<std::int64_t>(last));
        dist[last] = -1;
        if (s + 1 == take) break;
        parallel::check_cancelled();
        const Vector3d q = points[last];
        parallel::parallel_for(blocks, [&](std::size_t b) {
            Best here{kNever, 0};
            const std::size_t end = std::min(points.size(), (b + 1) * kBlock);
            for (std::size_t i = b * kBlock; i < end; ++i) {
                double d = dist[i];
                if (d >= 0) {
                    const double d2 = squared_distance(points[i], q);
                    if (d2 < d) dist[i] = d = d2;
                }
                if (d > here.dist) here = {d, i};
            }
            best[b] = here;
        });
        Best top{kNever, 0};
        for (const Best& b : best)
            if (b.dist > top.dist) top = b;
        last = top.index;
    }
    return chosen;
}

}  // namespace nubiro::filters
