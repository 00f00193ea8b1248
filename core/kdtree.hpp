// KD-tree index over n points of dimension d, answering k-nearest, radius and hybrid queries.
//
// Every observable order is fixed: the tree shape (cut dimension, cut value, partition swaps),
// the node visiting order and the pruning tests decide which of two equidistant points comes
// first, so the build and the traversal follow one exact recipe and must not be "improved".
//
// A built index is immutable and may be queried from any number of threads at once. Queries
// keep their scratch per thread and allocate nothing once it has grown; only the caller's
// output arrays grow.
//
// Points with a NaN or infinite coordinate are kept out of the tree: they could never be
// returned, and in the tree their boxes would poison the pruning of finite points.
//
// Recipe: the single-index tree of the nanoflann library (KDTreeSingleIndexAdaptor, as in
// the 1.x releases up to 1.5): the root box computed in point order, the middle split rule
// (middleSplit_: among the dimensions whose box span is above (1 - 1e-5) of the largest, the
// one with the widest spread of coordinates; the cut at the box middle clamped to that spread),
// the two-pass partition of planeSplit, div_low/div_high per split node, and the depth-first
// search that visits the nearer child first with the incremental box distance. The leaf
// capacity here is 15. Written from the algorithm, not copied; see THIRD_PARTY_NOTICES.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/types.hpp"

namespace nubiro {

// One hit of a radius query; the record the hit list is sorted as.
struct Neighbor {
    std::uint64_t index;
    double dist2;
};

class KDTree {
public:
    KDTree() = default;

    // Replaces the contents with an index over n points of d coordinates each (point-major,
    // n * d values, copied). Returns false, leaving the index empty, when n or d is 0.
    bool build(const double* coords, std::size_t d, std::size_t n);
    bool build_from_points(std::span<const Vector3d> points);

    // 0 while empty.
    std::size_t dimension() const { return dim_; }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // Split nodes on the longest path from the root to a leaf.
    std::size_t depth() const { return depth_; }

    // The checked query forms. Each returns -1 with both outputs untouched when the index is
    // empty, query_len != dimension(), or k / max_nn < 0; otherwise clears both outputs, fills
    // them with the result (point numbers, squared distances, ascending) and returns its size.
    long knn(const double* query, std::size_t query_len, long k, std::vector<std::uint64_t>& indices,
             std::vector<double>& dist2) const;
    long radius(const double* query, std::size_t query_len, double r, std::vector<std::uint64_t>& indices,
                std::vector<double>& dist2) const;
    long hybrid(const double* query, std::size_t query_len, double r, long max_nn,
                std::vector<std::uint64_t>& indices, std::vector<double>& dist2) const;

    // Unchecked entry points for internal callers with many queries (any dimension, with a
    // specialised path for d = 3). The query holds dimension() values. They give the same
    // results as the checked forms and return 0 on an empty index.
    //
    // k nearest into caller arrays of capacity k; returns the count.
    std::size_t search_knn(const double* query, std::size_t k, std::uint32_t* indices, double* dist2) const;
    // The same, keeping only points with a squared distance strictly below `bound`: exactly the
    // leading entries of search_knn's result that are below it, found with the bound pruning
    // from the start (much cheaper when it is tight, e.g. a correspondence distance).
    std::size_t search_knn_below(const double* query, std::size_t k, double bound, std::uint32_t* indices,
                                 double* dist2) const;
    // Radius hits into `hits` (cleared first), in their final order; returns the count.
    std::size_t search_radius(const double* query, double r, std::vector<Neighbor>& hits) const;
    // Hybrid into caller arrays of capacity max_nn; returns the count.
    std::size_t search_hybrid(const double* query, double r, std::size_t max_nn, std::uint32_t* indices,
                              double* dist2) const;
    // The k nearest of each indexed point at positions [first, last) of permutation(): for
    // position p exactly what search_knn(that point, k) returns, written to indices and dist2 at
    // (p - first) * k with its count at counts[p - first]. Much cheaper than one search per
    // point for the points of a whole cloud (see kdtree_batch.cpp).
    void search_knn_indexed(std::size_t first, std::size_t last, std::size_t k, std::uint32_t* indices,
                            double* dist2, std::uint32_t* counts) const;

    // A leaf of at most this many points.
    static constexpr std::size_t kLeafSize = 15;

    // Split node: cut dimension, div_low / div_high, second child (the first child is always
    // the next node, as nodes are numbered in pre-order). Leaf: a range of the permutation.
    struct Node {
        static constexpr std::uint32_t kLeaf = 0xFFFFFFFFu;
        union {
            struct {
                double low, high;
            } div;
            struct {
                std::uint32_t begin, end;
            } leaf;
        } u;
        std::uint32_t dim;     // cut dimension, or kLeaf
        std::uint32_t child2;  // split only
    };

    // Introspection for checks: the permutation (point numbers of the indexed points in leaf
    // order) and the nodes in pre-order.
    std::span<const std::uint32_t> permutation() const { return perm_; }
    // Every point number below size(): the indexed ones in leaf order, then those left out in
    // ascending order. Queries about every point of the cloud run in this order so that
    // consecutive ones walk the same leaves and neighbours (the results do not depend on it).
    std::vector<std::uint32_t> query_order() const;
    // The point numbers left out of the index (not finite), ascending: the tail of query_order().
    std::vector<std::uint32_t> not_indexed() const;
    std::span<const Node> nodes() const { return nodes_; }

private:
    void clear();
    long knn_below(const double* query, std::size_t k, double bound, std::vector<std::uint64_t>& indices,
                   std::vector<double>& dist2) const;
    template <int D, class Nodes>
    friend struct KDTreeBuilder;
    template <int D>
    friend struct KDTreeSearch;
    friend struct IndexedKnn;
    // The node number of the leaf holding permutation position pos (< number indexed).
    std::uint32_t leaf_at(std::size_t pos) const;
    // The leaves a search of radius r around `query` would scan, in its order, appended to out
    // as (begin, end) pairs of permutation positions: they hold every indexed point strictly
    // closer than r, among others.
    void leaves_within(const double* query, double r, std::vector<std::uint32_t>& out) const;

    std::size_t dim_ = 0;
    std::size_t count_ = 0;            // n, finite or not
    std::vector<std::uint32_t> perm_;  // indexed (finite) points, reordered by the build
    std::vector<double> pts_;          // their coordinates in permutation order, point-major
    std::vector<Node> nodes_;
    std::vector<double> root_low_, root_high_;
    std::size_t depth_ = 0;  // split nodes on the longest path from the root
};

}  // namespace nubiro
