#pragma once
// The k nearest neighbours of every indexed (finite) point of a cloud, visited in the KD-tree's
// leaf order and found a leaf at a time (KDTree::search_knn_indexed): the same results as one
// search per point, at a fraction of the cost. `visit(i, indices, d2)` sees point i's
// neighbours and their squared distances in ascending order (the point itself usually first);
// it runs on the pool, each i exactly once, so it may write only to slot i of its outputs.
// Points left out of the tree are not visited. Buffers are per thread and reused.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/kdtree.hpp"
#include "core/parallel.hpp"

namespace nubiro {

namespace knn_sweep_detail {

// Neighbours found in one batch, at most: a few hundred points' worth keeps them in cache
// until the visits use them.
inline constexpr std::size_t kRunEntries = 8192;

struct RunBuffers {
    std::vector<std::uint32_t> indices, counts;
    std::vector<double> dist2;
};

inline RunBuffers& run_buffers() {
    thread_local RunBuffers buffers;
    return buffers;
}

}  // namespace knn_sweep_detail

// k is the capacity asked for; each point gets min(k, indexed points) neighbours, as from
// KDTree::search_knn.
template <class Visit>
void for_each_knn_in_leaf_order(const KDTree& tree, std::size_t k, std::size_t chunk, Visit&& visit) {
    using namespace knn_sweep_detail;
    const std::span<const std::uint32_t> leaf_order = tree.permutation();
    k = std::min(k, leaf_order.size());  // the same results, and buffers no larger than needed
    const std::size_t run = std::max<std::size_t>(1, kRunEntries / std::max<std::size_t>(k, 1));
    parallel::parallel_for_chunks(
        leaf_order.size(),
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            RunBuffers& buf = run_buffers();
            for (std::size_t first = begin; first < end; first += run) {
                const std::size_t last = std::min(end, first + run);
                if (buf.counts.size() < last - first) buf.counts.resize(last - first);
                if (buf.indices.size() < (last - first) * k) {
                    buf.indices.resize((last - first) * k);
                    buf.dist2.resize((last - first) * k);
                }
                tree.search_knn_indexed(first, last, k, buf.indices.data(), buf.dist2.data(), buf.counts.data());
                for (std::size_t pos = first; pos < last; ++pos) {
                    const std::size_t o = pos - first, found = buf.counts[o];
                    visit(leaf_order[pos], std::span<const std::uint32_t>(buf.indices.data() + o * k, found),
                          std::span<const double>(buf.dist2.data() + o * k, found));
                }
            }
        },
        chunk);
}

}  // namespace nubiro
