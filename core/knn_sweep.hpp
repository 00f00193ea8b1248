#pragma once
// The k nearest neighbours of every finite point of a cloud, visited in the KD-tree's leaf order:
// consecutive queries touch the same nodes and points, so far fewer cache misses than in the
// cloud's own order, and the same results. `visit(i, found, d2)` sees point i's squared distances
// in ascending order (the point itself first); it runs on the pool, each i exactly once, so it may
// write only to slot i of its outputs. Buffers are made once per chunk, not per point.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/kdtree.hpp"
#include "core/parallel.hpp"
#include "core/types.hpp"

namespace nubiro {

template <class Visit>
void for_each_knn_in_leaf_order(const KDTree& tree, std::span<const Vector3d> points, std::size_t k,
                                std::size_t chunk, Visit&& visit) {
    const std::span<const std::uint32_t> leaf_order = tree.permutation();
    parallel::parallel_for_chunks(
        leaf_order.size(),
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            std::vector<std::uint32_t> idx(k);
            std::vector<double> d2(k);
            for (std::size_t j = begin; j < end; ++j) {
                const std::uint32_t i = leaf_order[j];
                const std::size_t found = tree.search_knn(points[i].data(), k, idx.data(), d2.data());
                visit(i, found, std::span<const double>(d2.data(), found));
            }
        },
        chunk);
}

}  // namespace nubiro
