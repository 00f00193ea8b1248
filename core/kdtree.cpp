#include "core/kdtree.hpp"

#include "core/parallel.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include <sys/mman.h>

#include "core/fixed_sort.hpp"
#include "core/kdtree_distance.hpp"
#include "core/parallel.hpp"
#include "core/point_limits.hpp"

namespace nubiro {

namespace {

using kdtree_detail::dims_of;
using kdtree_detail::squared_distance;

constexpr double kWorstStart = std::numeric_limits<double>::max();
constexpr double kSpanThreshold = 0.99999;
// The fewest points a subtree built as one task of the parallel build holds.
constexpr std::size_t kMinTaskPoints = 16384;

// Nodes to reserve for a subtree over m points. Scanned surfaces come to about m / 4 (leaves
// of 15 points at most, 8 on average); a reservation just short of that would make the array
// grow to twice its size and copy itself at the end of the build. Pages never written cost no
// memory, so the reservation is generous: growth starts only beyond an average leaf of 4.
inline std::size_t node_reserve(std::size_t m) { return m / 2 + 1; }

// Per-dimension (low, high) pairs. Fixed size for d = 3 so that boxes live in registers.
template <int D>
struct Box {
    std::array<double, D> low, high;
    explicit Box(std::size_t) {}
};
template <>
struct Box<0> {
    std::vector<double> low, high;
    explicit Box(std::size_t d) : low(d), high(d) {}
};

// Union bound that ignores a NaN operand, so an unordered coordinate cannot widen a box into NaN.
inline double lower_of(double a, double b) { return std::fmin(a, b); }
inline double higher_of(double a, double b) { return std::fmax(a, b); }

// The k nearest seen so far, ascending; a point equal in distance to one already held goes
// after it, and a full set drops its last entry.
template <class Index>
class KnnSet {
public:
    static constexpr bool kTakesLeaves = false;
    // Only points closer than `bound` are taken; the search prunes against it until k are held.
    KnnSet(std::size_t k, Index* indices, double* dist2, double bound = kWorstStart)
        : k_(k), idx_(indices), dist_(dist2) {
        dist_[k_ - 1] = bound;
    }
    double worst() const { return dist_[k_ - 1]; }
    void offer(std::uint32_t j, double dist) {
        // Locals, so the stores into the arrays need not reload the members.
        double* const d = dist_;
        Index* const idx = idx_;
        const std::size_t k = k_;
        std::size_t i = count_;
        if (i == k) {
            if (!(d[k - 1] > dist)) return;  // the full set would drop it
            --i;                              // the last entry falls out
        } else {
            ++count_;
        }
        for (; i > 0 && d[i - 1] > dist; --i) {
            d[i] = d[i - 1];
            idx[i] = idx[i - 1];
        }
        d[i] = dist;
        idx[i] = j;
    }
    std::size_t count() const { return count_; }

private:
    std::size_t k_;
    std::size_t count_ = 0;
    Index* idx_;
    double* dist_;
};

// Every point strictly inside the radius, in traversal order until sorted.
class RadiusSet {
public:
    static constexpr bool kTakesLeaves = false;
    RadiusSet(double r2, std::vector<Neighbor>& hits) : r2_(r2), hits_(hits) {}
    double worst() const { return r2_; }
    void offer(std::uint32_t j, double dist) { hits_.push_back({j, dist}); }

private:
    double r2_;
    std::vector<Neighbor>& hits_;
};

// The position ranges of the leaves the traversal reaches within a radius: every point within
// it, and others of the same leaves.
class LeafSet {
public:
    static constexpr bool kTakesLeaves = true;
    LeafSet(double r2, std::vector<std::uint32_t>& out) : r2_(r2), out_(out) {}
    double worst() const { return r2_; }
    void offer_leaf(std::uint32_t begin, std::uint32_t end) {
        out_.push_back(begin);
        out_.push_back(end);
    }

private:
    double r2_;
    std::vector<std::uint32_t>& out_;
};

bool finite_point(const double* p, std::size_t d) {
    for (std::size_t c = 0; c < d; ++c)
        if (!std::isfinite(p[c])) return false;
    return true;
}

// Per-thread offsets for the general dimension; d = 3 keeps them on the stack.
std::vector<double>& thread_offsets(std::size_t d) {
    thread_local std::vector<double> offsets;
    if (offsets.size() < d) offsets.resize(d);
    return offsets;
}

// Number of leading (ascending) entries strictly below r2.
std::size_t count_below(const double* dist2, std::size_t count, double r2) {
    return static_cast<std::size_t>(std::partition_point(dist2, dist2 + count, [r2](double v) { return v < r2; }) -
                                    dist2);
}

// What a k-nearest search bounded by `bound` prunes against (see search_knn_below); NaN stays
// NaN (nothing is below it), and no bound at all is the usual start.
double pruning_bound(double bound) {
    if (!(bound < kWorstStart)) return bound >= kWorstStart ? kWorstStart : bound;
    return bound + std::abs(bound) * 0x1p-20;
}

// The found entries below `bound`: only a finite bound was widened for pruning, so only then can
// entries at or past it have been taken (the plain search's results need no pass).
std::size_t kept_below(const double* dist2, std::size_t count, double bound) {
    return bound < kWorstStart ? count_below(dist2, count, bound) : count;
}

std::vector<Neighbor>& thread_hits() {
    thread_local std::vector<Neighbor> hits;
    return hits;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Build

// Memory straight from the system for large blocks, handed back to it when freed. The parallel
// build's per-task node arrays live in it: the allocator would keep their freed blocks (in the
// worker threads' own pools), and the tree's final array would then stand beside them at the
// peak instead of taking their place.
template <class T>
struct ReturnedMemory {
    using value_type = T;
    static constexpr std::size_t kFromSystem = std::size_t{64} << 10;  // bytes

    ReturnedMemory() = default;
    template <class U>
    ReturnedMemory(const ReturnedMemory<U>&) {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kFromSystem) return static_cast<T*>(::operator new(bytes));
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kFromSystem) ::operator delete(p);
        else ::munmap(p, bytes);
    }
    template <class U>
    bool operator==(const ReturnedMemory<U>&) const { return true; }
};

template <int D, class Nodes = std::vector<KDTree::Node>>
struct KDTreeBuilder {
    using Node = KDTree::Node;

    std::size_t d;
    double* pts;          // coordinates in permutation order; moved with the permutation
    std::uint32_t* perm;  // point numbers
    Nodes& nodes;

    std::size_t dims() const { return dims_of<D>(d); }
    double coord(std::size_t pos, std::size_t c) const { return pts[pos * dims() + c]; }

    void swap_positions(std::size_t a, std::size_t b) {
        std::swap(perm[a], perm[b]);
        double* pa = pts + a * dims();
        double* pb = pts + b * dims();
        for (std::size_t c = 0; c < dims(); ++c) std::swap(pa[c], pb[c]);
    }

    // Tight box of the points at [left, right), seeded by the first one.
    void tight_box(std::size_t left, std::size_t right, Box<D>& box) const {
        for (std::size_t c = 0; c < dims(); ++c) box.low[c] = box.high[c] = coord(left, c);
        for (std::size_t pos = left + 1; pos < right; ++pos) {
            for (std::size_t c = 0; c < dims(); ++c) {
                const double v = coord(pos, c);
                if (v < box.low[c]) box.low[c] = v;
                if (v > box.high[c]) box.high[c] = v;
            }
        }
    }

    // Smallest and largest coordinate c over [left, right), seeded by the first point.
    void range_extent(std::size_t left, std::size_t right, std::size_t c, double& lo, double& hi) const {
        lo = hi = coord(left, c);
        for (std::size_t pos = left + 1; pos < right; ++pos) {
            const double v = coord(pos, c);
            if (v < lo) lo = v;
            if (v > hi) hi = v;
        }
    }

    // Cut dimension: among the dimensions whose box span is within 0.99999 of the largest, the
    // one whose points spread most (the lowest on ties). Also yields that dimension's extent.
    std::size_t choose_cut(std::size_t left, std::size_t right, const Box<D>& box, double& lo, double& hi) const {
        double max_span = box.high[0] - box.low[0];
        for (std::size_t i = 1; i < dims(); ++i) {
            const double span = box.high[i] - box.low[i];
            if (span > max_span) max_span = span;
        }
        const double threshold = max_span * kSpanThreshold;
        std::size_t cut = 0;
        double best_spread = -1.0;
        bool have_extent = false;
        if constexpr (D == 3) {
            // One pass over the range for all candidates; each dimension's fold is unchanged.
            std::array<bool, 3> candidate{};
            bool any = false;
            for (std::size_t i = 0; i < 3; ++i) {
                candidate[i] = (box.high[i] - box.low[i]) > threshold;
                any = any || candidate[i];
            }
            if (any) {
                std::array<double, 3> mn{coord(left, 0), coord(left, 1), coord(left, 2)};
                std::array<double, 3> mx = mn;
                for (std::size_t pos = left + 1; pos < right; ++pos) {
                    const double* p = pts + pos * 3;
                    for (std::size_t i = 0; i < 3; ++i) {
                        if (p[i] < mn[i]) mn[i] = p[i];
                        if (p[i] > mx[i]) mx[i] = p[i];
                    }
                }
                for (std::size_t i = 0; i < 3; ++i) {
                    if (!candidate[i]) continue;
                    const double spread = mx[i] - mn[i];
                    if (spread > best_spread) {
                        cut = i;
                        best_spread = spread;
                        lo = mn[i];
                        hi = mx[i];
                        have_extent = true;
                    }
                }
            }
        } else {
            for (std::size_t i = 0; i < dims(); ++i) {
                if (!((box.high[i] - box.low[i]) > threshold)) continue;
                double mn, mx;
                range_extent(left, right, i, mn, mx);
                const double spread = mx - mn;
                if (spread > best_spread) {
                    cut = i;
                    best_spread = spread;
                    lo = mn;
                    hi = mx;
                    have_extent = true;
                }
            }
        }
        if (!have_extent) range_extent(left, right, cut, lo, hi);
        return cut;
    }

    // Two scans over [left, left + count): first everything below cut_val to the front, then
    // everything equal to it; the split lands as close to the middle as those bounds allow.
    std::size_t partition(std::size_t left, std::size_t count, std::size_t cut, double cut_val) {
        const double* c = pts + left * dims() + cut;
        const std::size_t stride = dims();
        const std::size_t lim1 = partition_pass(left, 0, count, [&](std::size_t p) { return c[p * stride] < cut_val; });
        const std::size_t lim2 =
            partition_pass(left, lim1, count, [&](std::size_t p) { return c[p * stride] <= cut_val; });
        const std::size_t half = count / 2;
        if (lim1 > half) return lim1;
        if (lim2 < half) return lim2;
        return half;
    }

    // One two-ended scan from l: the positions that do not belong left are met from the front,
    // those that do from the back, and the t-th of the first kind swaps with the t-th of the
    // second for as long as they have not crossed. Returns where the left part ends.
    //
    // While the two ends are far apart they are read a block at a time, the positions to swap
    // noted without branches (a branch per point would be a coin toss on unsorted data), then
    // swapped pairwise in the same order; the last stretch is the plain scan, which picks up
    // exactly where the blocks left off.
    template <class BelongsLeft>
    std::size_t partition_pass(std::size_t left, std::size_t l, std::size_t count, BelongsLeft belongs_left) {
        constexpr std::size_t kBlock = 64;
        std::size_t r = count - 1;
        std::uint8_t off_l[kBlock], off_r[kBlock];
        std::size_t num_l = 0, num_r = 0, start_l = 0, start_r = 0, done_l = 0, done_r = 0;
        // Both blocks fit between l and r without overlapping.
        while (l + 2 * kBlock <= r + 1) {
            if (num_l == done_l) {
                num_l = done_l = 0;
                start_l = l;
                for (std::size_t i = 0; i < kBlock; ++i) {
                    off_l[num_l] = static_cast<std::uint8_t>(i);
                    num_l += !belongs_left(l + i);
                }
            }
            if (num_r == done_r) {
                num_r = done_r = 0;
                start_r = r;
                for (std::size_t i = 0; i < kBlock; ++i) {
                    off_r[num_r] = static_cast<std::uint8_t>(i);
                    num_r += belongs_left(r - i);
                }
            }
            const std::size_t pairs = std::min(num_l - done_l, num_r - done_r);
            for (std::size_t t = 0; t < pairs; ++t)
                swap_positions(left + start_l + off_l[done_l + t], left + start_r - off_r[done_r + t]);
            done_l += pairs;
            done_r += pairs;
            if (num_l == done_l) l = start_l + kBlock;
            if (num_r == done_r) r = start_r - kBlock;
        }
        // A block still holding unswapped positions: the scan resumes at its next one.
        if (num_l != done_l) l = start_l + off_l[done_l];
        if (num_r != done_r) r = start_r - off_r[done_r];
        for (;;) {
            while (l <= r && belongs_left(l)) ++l;
            while (r != 0 && l <= r && !belongs_left(r)) --r;
            if (l > r || r == 0) break;
            swap_positions(left + l, left + r);
            ++l;
            --r;
        }
        return l;
    }

    // Builds the subtree over [left, right) and refines `box` to the points it holds.
    std::uint32_t divide(std::size_t left, std::size_t right, Box<D>& box) {
        if (right - left >= 8192) parallel::check_cancelled();  // the tree is discarded then
        const std::size_t self = nodes.size();
        if (self >= Node::kLeaf) throw std::length_error("kd-tree node count exceeds 32 bits");
        nodes.emplace_back();

        if (right - left <= KDTree::kLeafSize) {
            Node& n = nodes[self];
            n.dim = Node::kLeaf;
            n.child2 = 0;
            n.u.leaf.begin = static_cast<std::uint32_t>(left);
            n.u.leaf.end = static_cast<std::uint32_t>(right);
            tight_box(left, right, box);
            return static_cast<std::uint32_t>(self);
        }

        double lo, hi;
        const std::size_t cut = choose_cut(left, right, box, lo, hi);
        const double split = (box.low[cut] + box.high[cut]) * 0.5;
        const double cut_val = split < lo ? lo : (hi < split ? hi : split);
        const std::size_t split_at = partition(left, right - left, cut, cut_val);

        Box<D> box1 = box;
        box1.high[cut] = cut_val;
        divide(left, left + split_at, box1);
        Box<D> box2 = box;
        box2.low[cut] = cut_val;
        const std::uint32_t child2 = divide(left + split_at, right, box2);

        Node& n = nodes[self];
        n.dim = static_cast<std::uint32_t>(cut);
        n.child2 = child2;
        n.u.div.low = box1.high[cut];
        n.u.div.high = box2.low[cut];
        for (std::size_t i = 0; i < dims(); ++i) {
            box.low[i] = lower_of(box1.low[i], box2.low[i]);
            box.high[i] = higher_of(box1.high[i], box2.high[i]);
        }
        return static_cast<std::uint32_t>(self);
    }

    // Root box in permutation order; divide then refines it.
    Box<D> root_box(std::size_t m) const {
        Box<D> box(dims());
        for (std::size_t c = 0; c < dims(); ++c) box.low[c] = box.high[c] = coord(0, c);
        for (std::size_t pos = 1; pos < m; ++pos) {
            for (std::size_t c = 0; c < dims(); ++c) {
                const double v = coord(pos, c);
                if (box.low[c] > v) box.low[c] = v;
                if (box.high[c] < v) box.high[c] = v;
            }
        }
        return box;
    }

    void run(std::size_t m, std::vector<double>& root_low, std::vector<double>& root_high) {
        Box<D> box = root_box(m);
        divide(0, m, box);
        root_low.assign(box.low.begin(), box.low.end());
        root_high.assign(box.high.begin(), box.high.end());
    }
};

// The same tree built on the worker pool. Once a range is split, its two halves touch
// disjoint parts of the permutation and depend on nothing but their own incoming boxes, so:
//  1. the top of the tree is split level by level, the ranges of one level in parallel, until
//     every open range is small enough to be one task;
//  2. the tasks build their subtrees in parallel, each into its own node array numbered from 0;
//  3. one pass in pre-order numbers the top nodes, appends each task's nodes shifted to their
//     final numbers, and refines the top boxes from the bottom up exactly as divide() does.
// Every cut, partition and box is computed by the same code on the same values as in the
// single-threaded build, so the tree is identical for any number of threads.
template <int D>
struct ParallelKDTreeBuilder {
    using Node = KDTree::Node;
    using TaskNodes = std::vector<Node, ReturnedMemory<Node>>;

    struct Range {
        std::size_t left, right;
        Box<D> box;  // incoming box, refined in place once the subtree is built
        // A range split up front: its cut and its two halves (indices into `ranges`).
        bool split = false;
        std::size_t cut = 0;
        double cut_val = 0;
        std::size_t child1 = 0, child2 = 0;
        // A task: the nodes of its subtree, numbered from 0.
        TaskNodes nodes;
    };

    std::size_t d;
    double* pts;
    std::uint32_t* perm;
    std::vector<Node>& nodes;
    std::vector<Range> ranges;

    KDTreeBuilder<D, TaskNodes> builder(TaskNodes& out) const { return {d, pts, perm, out}; }

    void run(std::size_t m, std::size_t task_size, std::vector<double>& root_low, std::vector<double>& root_high) {
        TaskNodes unused;
        ranges.push_back({0, m, builder(unused).root_box(m)});

        // 1. Split the top; the decisions of one level are made in parallel, recorded per range.
        std::vector<std::size_t> level{0}, tasks;
        while (!level.empty()) {
            std::vector<std::size_t> open;
            for (std::size_t r : level) (ranges[r].right - ranges[r].left > task_size ? open : tasks).push_back(r);
            struct Split {
                std::size_t cut, at;
                double cut_val;
            };
            std::vector<Split> splits(open.size());
            parallel::parallel_for(open.size(), [&](std::size_t i) {
                const Range& r = ranges[open[i]];
                KDTreeBuilder<D, TaskNodes> b = builder(unused);
                double lo, hi;
                const std::size_t cut = b.choose_cut(r.left, r.right, r.box, lo, hi);
                const double split = (r.box.low[cut] + r.box.high[cut]) * 0.5;
                const double cut_val = split < lo ? lo : (hi < split ? hi : split);
                splits[i] = {cut, b.partition(r.left, r.right - r.left, cut, cut_val), cut_val};
            });
            level.clear();
            for (std::size_t i = 0; i < open.size(); ++i) {
                const Split s = splits[i];
                const std::size_t left = ranges[open[i]].left, right = ranges[open[i]].right;
                Box<D> box1 = ranges[open[i]].box, box2 = ranges[open[i]].box;
                box1.high[s.cut] = s.cut_val;
                box2.low[s.cut] = s.cut_val;
                ranges.push_back({left, left + s.at, std::move(box1)});
                ranges.push_back({left + s.at, right, std::move(box2)});
                Range& r = ranges[open[i]];
                r.split = true;
                r.cut = s.cut;
                r.cut_val = s.cut_val;
                r.child1 = ranges.size() - 2;
                r.child2 = ranges.size() - 1;
                level.push_back(r.child1);
                level.push_back(r.child2);
            }
        }

        // 2. The subtrees below, largest first so that no thread is left with a big one at the end.
        std::sort(tasks.begin(), tasks.end(), [&](std::size_t a, std::size_t b) {
            return ranges[a].right - ranges[a].left > ranges[b].right - ranges[b].left;
        });
        parallel::parallel_for(tasks.size(), [&](std::size_t i) {
            Range& r = ranges[tasks[i]];
            r.nodes.reserve(node_reserve(r.right - r.left));
            builder(r.nodes).divide(r.left, r.right, r.box);
        });

        // 3. Number, append and refine in pre-order, into an array of the exact final size (each
        // task's nodes are released once moved, so the nodes are held about once at the peak).
        std::size_t total = 0;
        for (const Range& r : ranges) total += r.split ? 1 : r.nodes.size();
        nodes.reserve(total);
        assemble(0);
        root_low.assign(ranges[0].box.low.begin(), ranges[0].box.low.end());
        root_high.assign(ranges[0].box.high.begin(), ranges[0].box.high.end());
    }

    std::uint32_t assemble(std::size_t ri) {
        Range& r = ranges[ri];
        const std::size_t self = nodes.size();
        if (!r.split) {
            if (r.nodes.size() > Node::kLeaf - self) throw std::length_error("kd-tree node count exceeds 32 bits");
            for (Node n : r.nodes) {
                if (n.dim != Node::kLeaf) n.child2 += static_cast<std::uint32_t>(self);
                nodes.push_back(n);
            }
            TaskNodes().swap(r.nodes);
            return static_cast<std::uint32_t>(self);
        }
        if (self >= Node::kLeaf) throw std::length_error("kd-tree node count exceeds 32 bits");
        nodes.emplace_back();
        assemble(r.child1);
        const std::uint32_t child2 = assemble(r.child2);
        const Box<D>& box1 = ranges[r.child1].box;
        const Box<D>& box2 = ranges[r.child2].box;
        Node& n = nodes[self];
        n.dim = static_cast<std::uint32_t>(r.cut);
        n.child2 = child2;
        n.u.div.low = box1.high[r.cut];
        n.u.div.high = box2.low[r.cut];
        for (std::size_t i = 0; i < dims_of<D>(d); ++i) {
            r.box.low[i] = lower_of(box1.low[i], box2.low[i]);
            r.box.high[i] = higher_of(box1.high[i], box2.high[i]);
        }
        return static_cast<std::uint32_t>(self);
    }
};

void KDTree::clear() {
    dim_ = 0;
    count_ = 0;
    std::vector<std::uint32_t>().swap(perm_);
    std::vector<double>().swap(pts_);
    std::vector<Node>().swap(nodes_);
    std::vector<double>().swap(root_low_);
    std::vector<double>().swap(root_high_);
    depth_ = 0;
}

namespace {

// Nodes are numbered in pre-order, so a parent comes before its children.
std::size_t tree_depth(std::span<const KDTree::Node> nodes) {
    std::vector<std::uint32_t> depth(nodes.size(), 0);
    std::uint32_t deepest = 0;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].dim == KDTree::Node::kLeaf) continue;
        const std::uint32_t below = depth[i] + 1;
        depth[i + 1] = depth[nodes[i].child2] = below;
        deepest = std::max(deepest, below);
    }
    return deepest;
}

}  // namespace

bool KDTree::build(const double* coords, std::size_t d, std::size_t n) {
    clear();
    if (d == 0 || n == 0) return false;
    require_count(n, kMaxIndexedPoints, "points for a search index");

    // Only finite points enter the tree, in ascending point number.
    std::size_t finite = 0;
    for (std::size_t j = 0; j < n; ++j) finite += finite_point(coords + j * d, d);
    perm_.reserve(finite);
    pts_.reserve(finite * d);
    for (std::size_t j = 0; j < n; ++j) {
        const double* p = coords + j * d;
        if (!finite_point(p, d)) continue;
        perm_.push_back(static_cast<std::uint32_t>(j));
        pts_.insert(pts_.end(), p, p + d);
    }
    dim_ = d;
    count_ = n;
    if (finite == 0) return true;

    // Small inputs stay on this thread: below a few tasks per thread the split-up costs more
    // than it saves.
    const std::size_t threads = parallel::num_threads();
    const std::size_t task_size = std::max<std::size_t>(kMinTaskPoints, finite / (8 * threads));
    if (threads > 1 && finite >= 4 * kMinTaskPoints) {
        if (d == 3)
            ParallelKDTreeBuilder<3>{d, pts_.data(), perm_.data(), nodes_, {}}.run(finite, task_size, root_low_, root_high_);
        else
            ParallelKDTreeBuilder<0>{d, pts_.data(), perm_.data(), nodes_, {}}.run(finite, task_size, root_low_, root_high_);
    } else {
        nodes_.reserve(node_reserve(finite));
        if (d == 3)
            KDTreeBuilder<3>{d, pts_.data(), perm_.data(), nodes_}.run(finite, root_low_, root_high_);
        else
            KDTreeBuilder<0>{d, pts_.data(), perm_.data(), nodes_}.run(finite, root_low_, root_high_);
    }
    depth_ = tree_depth(nodes_);
    return true;
}

std::vector<std::uint32_t> KDTree::query_order() const {
    std::vector<std::uint32_t> order;
    order.reserve(count_);
    order.assign(perm_.begin(), perm_.end());
    const std::vector<std::uint32_t> rest = not_indexed();
    order.insert(order.end(), rest.begin(), rest.end());
    return order;
}

std::vector<std::uint32_t> KDTree::not_indexed() const {
    std::vector<std::uint32_t> rest;
    if (perm_.size() == count_) return rest;
    std::vector<bool> indexed(count_, false);
    for (const std::uint32_t i : perm_) indexed[i] = true;
    for (std::size_t i = 0; i < count_; ++i)
        if (!indexed[i]) rest.push_back(static_cast<std::uint32_t>(i));
    return rest;
}

bool KDTree::build_from_points(std::span<const Vector3d> points) {
    return build(points.empty() ? nullptr : points.front().data(), 3, points.size());
}

// ---------------------------------------------------------------------------------------------
// Queries

template <int D>
struct KDTreeSearch {
    using Node = KDTree::Node;

    const KDTree& tree;
    const double* q;
    double* off;

    std::size_t dims() const { return dims_of<D>(tree.dim_); }

    // Offers the leaf's points closer than the set's worst distance at entry, in order.
    template <class Set>
    void scan_leaf(const Node& n, Set& set) const {
        if constexpr (Set::kTakesLeaves) {
            set.offer_leaf(n.u.leaf.begin, n.u.leaf.end);
        } else {
            const double worst = set.worst();
            const double* pts = tree.pts_.data();
            const std::uint32_t* perm = tree.perm_.data();
            for (std::uint32_t pos = n.u.leaf.begin; pos < n.u.leaf.end; ++pos) {
                const double dist = squared_distance<D>(q, pts + pos * dims(), tree.dim_, worst);
                if (dist < worst) set.offer(perm[pos], dist);
            }
        }
    }

    // The children of split node ni nearer to and farther from the query, and the squared
    // distance from the query to the far child's side of the cut.
    struct Sides {
        std::uint32_t near_child, far_child;
        double cut;
    };
    [[gnu::always_inline]] Sides sides_of(const Node& n, std::uint32_t ni) const {
        const double v = q[n.dim];
        const double diff1 = v - n.u.div.low;
        const double diff2 = v - n.u.div.high;
        if (diff1 + diff2 < 0) return {ni + 1, n.child2, diff2 * diff2};
        return {n.child2, ni + 1, diff1 * diff1};
    }

    template <class Set>
    void visit(std::uint32_t ni, double mindist, Set& set) const {
        const Node& n = tree.nodes_[ni];
        if (n.dim == Node::kLeaf) return scan_leaf(n, set);
        const std::uint32_t c = n.dim;
        const Sides s = sides_of(n, ni);
        visit(s.near_child, mindist, set);
        const double saved = off[c];
        const double far_dist = (mindist + s.cut) - saved;
        off[c] = s.cut;
        if (far_dist <= set.worst()) visit(s.far_child, far_dist, set);
        off[c] = saved;
    }

    // The same traversal without recursion, for d = 3: each pending far child waits on a stack
    // with the distance and offsets it would be visited with. A child's offsets differ from its
    // parent's only in the cut dimension, so a frame carries them whole and nothing needs undoing;
    // and a frame is taken up exactly when the recursion would have returned from the near
    // child, so the pruning test sees the same set.
    struct Frame {
        std::uint32_t node;
        double mindist;
        double off[3];
    };

    template <class Set>
    void visit_iterative(double mindist, Set& set, Frame* stack) const {
        static_assert(D == 3);
        const Node* nodes = tree.nodes_.data();
        std::size_t top = 0;
        std::uint32_t ni = 0;
        for (;;) {
            const Node& n = nodes[ni];
            if (n.dim != Node::kLeaf) {
                const std::uint32_t c = n.dim;
                const Sides s = sides_of(n, ni);
                Frame& f = stack[top++];
                f.node = s.far_child;
                f.mindist = (mindist + s.cut) - off[c];
                f.off[0] = off[0];
                f.off[1] = off[1];
                f.off[2] = off[2];
                f.off[c] = s.cut;
                ni = s.near_child;
                continue;
            }
            scan_leaf(n, set);
            // Back up to the nearest pending far child close enough to hold a candidate.
            for (;;) {
                if (top == 0) return;
                const Frame& f = stack[--top];
                if (f.mindist <= set.worst()) {
                    ni = f.node;
                    mindist = f.mindist;
                    off[0] = f.off[0];
                    off[1] = f.off[1];
                    off[2] = f.off[2];
                    break;
                }
            }
        }
    }

    template <class Set>
    void run(Set& set, Frame* stack = nullptr) const {
        double m = 0.0;
        for (std::size_t i = 0; i < dims(); ++i) {
            off[i] = 0.0;
            const double qi = q[i];
            if (qi < tree.root_low_[i]) {
                const double t = qi - tree.root_low_[i];
                off[i] = t * t;
                m = m + off[i];
            }
            if (qi > tree.root_high_[i]) {
                const double t = qi - tree.root_high_[i];
                off[i] = t * t;
                m = m + off[i];
            }
        }
        if constexpr (D == 3) {
            if (stack) return visit_iterative(m, set, stack);
        }
        visit(0, m, set);
    }
};

namespace {

// Runs the traversal with the dimension-specialised search; d = 3 keeps offsets on the stack.
template <class Set>
void run_traversal(const KDTree& tree, const double* q, Set& set) {
    if (tree.dimension() == 3) {
        using Frame = KDTreeSearch<3>::Frame;
        thread_local std::vector<Frame> stack;
        if (stack.size() < tree.depth()) stack.resize(tree.depth());
        double off[3];
        KDTreeSearch<3>{tree, q, off}.run(set, stack.data());
    } else {
        std::vector<double>& off = thread_offsets(tree.dimension());
        KDTreeSearch<0>{tree, q, off.data()}.run(set);
    }
}

}  // namespace

std::size_t KDTree::search_knn(const double* query, std::size_t k, std::uint32_t* indices, double* dist2) const {
    return search_knn_below(query, k, kWorstStart, indices, dist2);
}

// Why a bound gives the same points in the same order: the traversal visits nodes in a fixed
// order and only ever skips a subtree whose box is farther than the current k-th distance (or
// the bound), which could not hold a point the set would take. The set keeps the first k of
// the points it is offered in (distance, visiting order); with a bound it is offered the
// points below the bound among those, in the same order. The box distances are sums formed
// incrementally and can round a few units in the last place above the distance of a point on
// the box's corner, so the search prunes against a slightly larger value than the bound (a
// millionth more) and drops the points between the two at the end: nothing below the bound
// that the plain search finds is ever pruned away. (The plain search's own pruning against its
// k-th distance has no such margin; only a point it skipped that way could differ.)
std::size_t KDTree::search_knn_below(const double* query, std::size_t k, double bound, std::uint32_t* indices,
                                     double* dist2) const {
    // A capacity above the number of indexed points cannot change the result.
    const std::size_t kk = std::min(k, perm_.size());
    if (kk == 0) return 0;
    KnnSet<std::uint32_t> set(kk, indices, dist2, pruning_bound(bound));
    run_traversal(*this, query, set);
    return kept_below(dist2, set.count(), bound);
}

std::size_t KDTree::search_radius(const double* query, double r, std::vector<Neighbor>& hits) const {
    hits.clear();
    if (perm_.empty()) return 0;
    RadiusSet set(r * r, hits);
    run_traversal(*this, query, set);
    fixed_sort(hits.data(), hits.size(), [](const Neighbor& h) { return h.dist2; });
    return hits.size();
}

std::size_t KDTree::search_hybrid(const double* query, double r, std::size_t max_nn, std::uint32_t* indices,
                                  double* dist2) const {
    // The nearest max_nn strictly inside the radius: the radius bounds the search itself.
    return search_knn_below(query, max_nn, r * r, indices, dist2);
}

void KDTree::leaves_within(const double* query, double r, std::vector<std::uint32_t>& out) const {
    if (perm_.empty()) return;
    LeafSet set(r * r, out);
    run_traversal(*this, query, set);
}

std::uint32_t KDTree::leaf_at(std::size_t pos) const {
    // Leaves come in pre-order, which is also the order of their ranges. first_leaf(i) is the
    // first leaf numbered i or later (a split node's first child is the next node, so it is at
    // most depth() steps on); the leaf sought follows the last i whose first leaf starts at or
    // before pos.
    const std::uint32_t count = static_cast<std::uint32_t>(nodes_.size());
    auto first_leaf = [&](std::uint32_t i) {
        while (nodes_[i].dim != Node::kLeaf) ++i;
        return i;
    };
    std::uint32_t lo = 0, hi = count;
    while (hi - lo > 1) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (nodes_[first_leaf(mid)].u.leaf.begin <= pos) lo = mid;
        else hi = mid;
    }
    return first_leaf(lo);
}

long KDTree::knn(const double* query, std::size_t query_len, long k, std::vector<std::uint64_t>& indices,
                 std::vector<double>& dist2) const {
    if (empty() || query_len != dim_ || k < 0) return -1;
    return knn_below(query, static_cast<std::size_t>(k), kWorstStart, indices, dist2);
}

long KDTree::knn_below(const double* query, std::size_t k, double bound, std::vector<std::uint64_t>& indices,
                       std::vector<double>& dist2) const {
    indices.clear();
    dist2.clear();
    const std::size_t kk = std::min(k, perm_.size());
    if (kk == 0) return 0;
    indices.resize(kk);
    dist2.resize(kk);
    KnnSet<std::uint64_t> set(kk, indices.data(), dist2.data(), pruning_bound(bound));
    run_traversal(*this, query, set);
    const std::size_t count = kept_below(dist2.data(), set.count(), bound);
    indices.resize(count);
    dist2.resize(count);
    return static_cast<long>(count);
}

long KDTree::radius(const double* query, std::size_t query_len, double r, std::vector<std::uint64_t>& indices,
                    std::vector<double>& dist2) const {
    if (empty() || query_len != dim_) return -1;
    std::vector<Neighbor>& hits = thread_hits();
    search_radius(query, r, hits);
    indices.resize(hits.size());
    dist2.resize(hits.size());
    for (std::size_t i = 0; i < hits.size(); ++i) {
        indices[i] = hits[i].index;
        dist2[i] = hits[i].dist2;
    }
    return static_cast<long>(hits.size());
}

long KDTree::hybrid(const double* query, std::size_t query_len, double r, long max_nn,
                    std::vector<std::uint64_t>& indices, std::vector<double>& dist2) const {
    if (empty() || query_len != dim_ || max_nn < 0) return -1;
    return knn_below(query, static_cast<std::size_t>(max_nn), r * r, indices, dist2);
}

}  // namespace nubiro
