#include "core/geometry/orient_tangent_plane.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <queue>
#include <vector>

#include "core/kdtree.hpp"
#include "core/knn_sweep.hpp"
#include "core/parallel.hpp"
#include "core/parallel_fixed_sort.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::geometry {
namespace {

// Points are numbered below 2^32 (the index's limit), so edges fit in 16 bytes. The sort only
// compares weights, so the record's width does not change the order of equal weights.
struct Edge {
    std::uint32_t a, b;
    double weight;
};
using Edges = std::vector<Edge>;

constexpr std::size_t kMinChunk = 256;
// Edges, points or queue entries per stop check in the serial passes.
constexpr std::size_t kSerialBlock = std::size_t{1} << 16;


inline void negate(Vector3d& n) { n = {-n[0], -n[1], -n[2]}; }

// 1 - |cos| of the angle between two normals: 0 for parallel or opposite normals.
inline double dissimilarity(const Vector3d& a, const Vector3d& b) { return 1.0 - std::fabs(dot(a, b)); }

class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n), size_(n, 1) { std::iota(parent_.begin(), parent_.end(), 0u); }

    // Path halving.
    std::uint32_t find(std::uint32_t x) {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }

    // Starts loading x's entry, for a find a few edges later.
    void prefetch(std::uint32_t x) const { __builtin_prefetch(parent_.data() + x); }

    std::size_t size() const { return parent_.size(); }

    // Union by size; on equal sizes the first root stays the root. False when already joined.
    bool unite(std::uint32_t a, std::uint32_t b) {
        std::uint32_t root = find(a), child = find(b);
        if (root == child) return false;
        if (size_[root] < size_[child]) std::swap(root, child);
        parent_[child] = root;
        size_[root] += size_[child];
        return true;
    }

private:
    std::vector<std::uint32_t> parent_, size_;
};

// Minimum spanning forest: the edges sorted by weight with the fixed sort, then accepted in
// that order whenever they join two trees. Leaves the forest's partition in `forest`.
Edges kruskal(Edges& edges, DisjointSets& forest) {
    parallel_fixed_sort(edges.data(), edges.size(), [](const Edge& e) { return e.weight; });
    Edges tree;
    // After n - 1 merges the forest is one tree, and every later edge would close a cycle.
    const std::size_t spanning = forest.size() - 1;
    // The forest's entries are read at random: the ends of an edge this far ahead are fetched.
    constexpr std::size_t kAhead = 16;
    parallel::serial_blocks(edges.size(), kSerialBlock, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end && tree.size() < spanning; ++i) {
            if (i + kAhead < edges.size()) {
                forest.prefetch(edges[i + kAhead].a);
                forest.prefetch(edges[i + kAhead].b);
            }
            if (forest.unite(edges[i].a, edges[i].b)) tree.push_back(edges[i]);
        }
    });
    return tree;
}

// The k-nearest list of every point, `width` slots per point.
struct NeighbourLists {
    std::size_t width = 0;
    std::vector<std::uint32_t> index;  // n * width
    std::vector<std::uint32_t> count;  // n

    std::span<const std::uint32_t> of(std::size_t i) const { return {index.data() + i * width, count[i]}; }
};

NeighbourLists neighbour_lists(const KDTree& tree, std::span<const Vector3d> points, long kk) {
    NeighbourLists lists;
    const std::size_t n = points.size();
    lists.count.assign(n, 0);
    // A negative count gives empty lists; a count above the indexed points cannot add any.
    if (kk <= 0) return lists;
    lists.width = std::min(static_cast<std::size_t>(kk), tree.permutation().size());
    if (lists.width == 0) return lists;
    lists.index.resize(n * lists.width);
    // Found in the index's leaf order, a leaf at a time; points left out of the index
    // (non-finite) keep their empty lists.
    for_each_knn_in_leaf_order(tree, lists.width, kMinChunk,
                               [&](std::uint32_t i, std::span<const std::uint32_t> nb, std::span<const double>) {
                                   lists.count[i] = static_cast<std::uint32_t>(nb.size());
                                   std::copy(nb.begin(), nb.end(), lists.index.data() + std::size_t{i} * lists.width);
                               });
    return lists;
}

// The cone test: the neighbour stays unless it leaves the tangent plane of `normal` more
// steeply than the tolerance (a NaN ratio, from coincident points, stays).
struct ConeEdge {
    bool kept;
    double along_normal;  // |dot(n, d)|
    double length2;
};
inline ConeEdge cone_edge(const Vector3d& p, const Vector3d& normal, const Vector3d& q, double cos_alpha_tol) {
    const Vector3d d = sub(q, p);
    const double a = std::fabs(dot(normal, d));
    const double l2 = squared_norm(d);
    return {!(a / std::sqrt(l2) > cos_alpha_tol), a, l2};
}

// The edges taken from the neighbour lists, both in order of point and then of list position:
// the first tree's candidates (weight: squared length plus lambda times the distance to the
// tangent plane) and the normal-similarity edges of the final tree (the candidates among each
// list's first `similarity_limit` entries, weight: dissimilarity of the normals).
struct ListEdges {
    Edges candidates;
    Edges similar;  // from position `room` on: the final tree's edges go in front of them
    std::size_t room = 0;
};

ListEdges list_edges(const NeighbourLists& lists, std::span<const Vector3d> points, std::span<const Vector3d> normals,
                     double lambda, double cos_alpha_tol, std::size_t similarity_limit) {
    const std::size_t n = points.size();
    const std::size_t width = lists.width;
    ListEdges edges;
    // Room for the list lengths (an edge per entry other than the point itself), and in front
    // of the similarity edges for a spanning forest, which has at most n - 1 edges.
    std::size_t entries = 0, similar_entries = 0;
    for (std::size_t i = 0; i < n; ++i) {
        entries += lists.count[i];
        similar_entries += std::min<std::size_t>(lists.count[i], similarity_limit);
    }
    edges.candidates.reserve(entries);
    edges.room = n - 1;
    edges.similar.reserve(edges.room + similar_entries);
    edges.similar.resize(edges.room);
    if (width == 0) return edges;

    // Blocks of points: one parallel pass (the only one that reads the neighbours' points and
    // normals) fills each point's slots with its kept edges and their similarity weights (the
    // kept edges of a list prefix come first); the slots are then appended in point order.
    const std::size_t block = std::max<std::size_t>(1, (std::size_t{1} << 16) / width);
    Edges slots(std::min(block, n) * width);
    std::vector<double> similarity(slots.size());
    std::vector<std::uint32_t> kept(std::min(block, n)), kept_similar(kept.size());
    for (std::size_t first = 0; first < n; first += block) {
        const std::size_t last = std::min(n, first + block);
        parallel::parallel_for(
            last - first,
            [&](std::size_t b) {
                const std::size_t i = first + b;
                const auto list = lists.of(i);
                Edge* out = slots.data() + b * width;
                double* sim = similarity.data() + b * width;
                std::uint32_t count = 0, count_similar = 0;
                for (std::size_t pos = 0; pos < list.size(); ++pos) {
                    const std::uint32_t j = list[pos];
                    if (j == i) continue;
                    const ConeEdge c = cone_edge(points[i], normals[i], points[j], cos_alpha_tol);
                    if (!c.kept) continue;
                    out[count] = {static_cast<std::uint32_t>(i), j, c.length2 + c.along_normal * lambda};
                    if (pos < similarity_limit) sim[count_similar++] = dissimilarity(normals[i], normals[j]);
                    ++count;
                }
                kept[b] = count;
                kept_similar[b] = count_similar;
            },
            kMinChunk);
        for (std::size_t b = 0; b < last - first; ++b) {
            const Edge* from = slots.data() + b * width;
            for (std::uint32_t t = 0; t < kept_similar[b]; ++t)
                edges.similar.push_back({from[t].a, from[t].b, similarity[b * width + t]});
            edges.candidates.insert(edges.candidates.end(), from, from + kept[b]);
        }
    }
    return edges;
}

// Joins the components of the first forest one at a time. Each round takes the component C of
// the smallest point outside the root component (point 0's, or the first finite point's when
// point 0 is not finite); every member u of C offers the first point
// outside C in its k-nearest list, for the smallest list length kk + 1, 2 (kk + 1), ... (capped at
// n) that holds one; the closest offer (ties: the smaller member) becomes an edge.
//
// The offers are examined lazily, as in Prim's algorithm: every member holds a lower bound of
// its offer's distance in a priority queue ordered by (bound, member), and only the front member
// is ever queried. The front member with an offer made for the current C is the round's winner:
// every other member's offer is at least its bound, which is not below the winner's key. An
// offer can only move further away as C grows, and list lengths that held no outsider never
// hold one later, so bounds and lengths carry over from round to round.
//
// Bounds start at 0 and rise with every list that holds no outsider. For a large C that alone
// would walk every member's list across C; there the distance to the nearest outsider, found
// in an index over the outsiders, bounds each member at once.
//
// When C grows by another component, the next round's C is still the component of the same
// smallest point, so the queue carries over; when C reaches point 0's component, the next one
// starts from scratch.
class ComponentJoiner {
public:
    ComponentJoiner(const KDTree& tree, std::span<const Vector3d> points, DisjointSets& forest, std::uint64_t kk)
        : tree_(tree), points_(points), n_(points.size()) {
        label_.resize(n_);
        std::vector<std::uint32_t> id_of_root(n_, kNone);
        std::uint32_t components = 0;
        for (std::uint32_t p = 0; p < n_; ++p) {
            const std::uint32_t r = forest.find(p);
            if (id_of_root[r] == kNone) id_of_root[r] = components++;
            label_[p] = id_of_root[r];
        }
        // Members of every component, ascending.
        first_member_.assign(components + 1, 0);
        for (std::uint32_t p = 0; p < n_; ++p) ++first_member_[label_[p] + 1];
        for (std::uint32_t c = 0; c < components; ++c) first_member_[c + 1] += first_member_[c];
        members_.resize(n_);
        std::vector<std::uint32_t> next(first_member_.begin(), first_member_.end() - 1);
        for (std::uint32_t p = 0; p < n_; ++p) members_[next[label_[p]]++] = p;
        state_.assign(components, State::Apart);
        initial_cap_ = kk >= n_ ? n_ : std::min<std::uint64_t>(n_, kk + 1);
    }

    // Appends the joining edges to `tree`.
    void join(Edges& tree) {
        // A point that is not finite is in no neighbour list and no search finds it: alone in
        // its component, nothing can join it, so it is left out. (Taken as a round's C it would
        // end the joining early; taken as the root, every other round would search the whole
        // cloud for it, member by member.)
        std::uint32_t root = 0;
        while (root < n_ && !is_finite(points_[root])) ++root;
        if (root == n_) return;
        for (std::uint32_t p = 0; p < n_; ++p)
            if (!is_finite(points_[p])) state_[label_[p]] = State::WithZero;
        state_[label_[root]] = State::WithZero;
        std::uint32_t m = 0;
        for (;;) {
            while (m < n_ && state_[label_[m]] == State::WithZero) ++m;
            if (m == n_) return;
            start(label_[m]);
            for (;;) {
                if (++steps_ % kSerialBlock == 0) parallel::check_cancelled();
                const std::uint32_t u = winner();
                if (u == kNone) return;  // no member offers anything: the rest stays apart
                const std::uint32_t w = offer_[u];
                tree.push_back({u, w, offer_dist2_[u]});
                const std::uint32_t d = label_[w];
                if (state_[d] == State::WithZero) {
                    for (std::uint32_t c : grown_) state_[c] = State::WithZero;
                    break;
                }
                // C grows by D; the winner's offer is now inside, its key still a lower bound.
                ++round_;
                add_component(d);
                queue_.push({key_[u], u});
                bound_by_outsiders();
            }
        }
    }

private:
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    static constexpr std::uint64_t kNoRound = std::numeric_limits<std::uint64_t>::max();
    // C is bounded through an outsider index from this size on, when the index costs no more
    // than a few queries per member, and again whenever it has doubled since.
    static constexpr std::size_t kBoundMin = 256;
    static constexpr std::size_t kOutsidersPerMember = 64;
    // WithZero: joined to the root component (or left out, not finite).
    enum class State : std::uint8_t { Apart, WithZero, Current };

    struct Entry {
        double key;
        std::uint32_t member;
        // Min-queue on (key, member).
        bool operator<(const Entry& o) const { return key > o.key || (key == o.key && member > o.member); }
    };

    void start(std::uint32_t c) {
        queue_ = {};
        grown_.clear();
        size_ = 0;
        bounded_size_ = 0;
        if (cap_.empty()) {
            cap_.resize(n_);
            key_.resize(n_);
            offer_.resize(n_);
            offer_dist2_.resize(n_);
            offer_round_.resize(n_);
            retired_.resize(n_);
        }
        ++round_;
        add_component(c);
        bound_by_outsiders();
    }

    void add_component(std::uint32_t c) {
        state_[c] = State::Current;
        grown_.push_back(c);
        size_ += first_member_[c + 1] - first_member_[c];
        for (std::uint32_t i = first_member_[c]; i < first_member_[c + 1]; ++i) {
            const std::uint32_t u = members_[i];
            cap_[u] = initial_cap_;
            key_[u] = 0.0;
            offer_round_[u] = kNoRound;
            retired_[u] = 0;
            queue_.push({0.0, u});
        }
    }

    // Raises every member's bound to its distance from the nearest point outside C.
    void bound_by_outsiders() {
        if (size_ < kBoundMin || size_ < 2 * bounded_size_ || size_ * kOutsidersPerMember < n_ - size_) return;
        bounded_size_ = size_;
        std::vector<Vector3d> outsiders;
        outsiders.reserve(n_ - size_);
        for (std::size_t p = 0; p < n_; ++p)
            if (state_[label_[p]] != State::Current) outsiders.push_back(points_[p]);
        KDTree index;
        if (!index.build_from_points(outsiders)) return;
        std::vector<std::uint32_t> active;
        active.reserve(size_);
        for (std::uint32_t c : grown_)
            for (std::uint32_t i = first_member_[c]; i < first_member_[c + 1]; ++i)
                if (!retired_[members_[i]]) active.push_back(members_[i]);
        parallel::parallel_for(
            active.size(),
            [&](std::size_t i) {
                const std::uint32_t u = active[i];
                std::uint32_t nearest;
                double dist2;
                if (index.search_knn(points_[u].data(), 1, &nearest, &dist2) == 1) key_[u] = std::max(key_[u], dist2);
            },
            kMinChunk);
        std::vector<Entry> entries;
        entries.reserve(active.size());
        for (const std::uint32_t u : active) entries.push_back({key_[u], u});
        queue_ = std::priority_queue<Entry>(std::less<Entry>(), std::move(entries));
    }

    // Pops members until the front one holds an offer made for the current C; kNone when the
    // queue runs dry.
    std::uint32_t winner() {
        while (!queue_.empty()) {
            if (++steps_ % kSerialBlock == 0) parallel::check_cancelled();
            const std::uint32_t u = queue_.top().member;
            queue_.pop();
            if (offer_round_[u] == round_) return u;
            if (examine(u))
                queue_.push({key_[u], u});
            else
                retired_[u] = 1;
        }
        return kNone;
    }

    // Queries u's list at its current length. False when u can never offer anything again.
    bool examine(std::uint32_t u) {
        for (;;) {
            const std::size_t cap = cap_[u];
            if (index_.size() < cap) {
                index_.resize(cap);
                dist2_.resize(cap);
            }
            const std::size_t count = tree_.search_knn(points_[u].data(), cap, index_.data(), dist2_.data());
            for (std::size_t pos = 0; pos < count; ++pos) {
                if (state_[label_[index_[pos]]] != State::Current) {
                    offer_[u] = index_[pos];
                    offer_dist2_[u] = dist2_[pos];
                    offer_round_[u] = round_;
                    key_[u] = std::max(key_[u], dist2_[pos]);
                    return true;
                }
            }
            // A short list already holds every point at a finite distance, and a full-length
            // one every point: longer lists would not hold an outsider either.
            if (count < cap || cap >= n_) return false;
            cap_[u] = std::min<std::size_t>(2 * cap, n_);
            key_[u] = std::max(key_[u], dist2_[count - 1]);
            offer_round_[u] = kNoRound;
            // Go on doubling only while u stays at the front.
            if (!queue_.empty() && Entry{key_[u], u} < queue_.top()) return true;
        }
    }

    const KDTree& tree_;
    std::span<const Vector3d> points_;
    const std::size_t n_;
    std::size_t initial_cap_ = 0;

    std::vector<std::uint32_t> label_;         // component of every point
    std::vector<std::uint32_t> first_member_;  // per component, into members_
    std::vector<std::uint32_t> members_;
    std::vector<State> state_;                 // per component
    std::vector<std::uint32_t> grown_;         // the components making up C
    std::size_t size_ = 0;                     // members of C
    std::size_t bounded_size_ = 0;             // members of C at the last outsider bound

    std::uint64_t round_ = 0;
    std::uint64_t steps_ = 0;                  // rounds and queue pops, for the stop checks
    std::priority_queue<Entry> queue_;
    // Per member of C:
    std::vector<std::size_t> cap_;            // list length to query next
    std::vector<double> key_;                 // lower bound of the offer's squared distance
    std::vector<std::uint32_t> offer_;        // the offer, valid when offer_round_ == round_
    std::vector<double> offer_dist2_;
    std::vector<std::uint64_t> offer_round_;
    std::vector<std::uint8_t> retired_;       // can never offer anything
    std::vector<std::uint32_t> index_;        // query scratch
    std::vector<double> dist2_;
};

// Adjacency lists of a tree, every edge seen from both ends in edge order.
struct Adjacency {
    std::vector<std::size_t> first;  // n + 1
    std::vector<std::uint32_t> next;

    Adjacency(const Edges& tree, std::size_t n) : first(n + 1, 0), next(2 * tree.size()) {
        for (const Edge& e : tree) {
            ++first[e.a + 1];
            ++first[e.b + 1];
        }
        for (std::size_t i = 0; i < n; ++i) first[i + 1] += first[i];
        std::vector<std::size_t> fill(first.begin(), first.end() - 1);
        for (const Edge& e : tree) {
            next[fill[e.a]++] = e.b;
            next[fill[e.b]++] = e.a;
        }
    }
};

// The first of the finite points with the lowest z (point 0 when none is finite): a point that
// is not finite has no edges, and seeded there the propagation would orient nothing.
std::uint32_t lowest_point(std::span<const Vector3d> points) {
    std::uint32_t s = 0;
    while (s < points.size() && !is_finite(points[s])) ++s;
    if (s == points.size()) return 0;
    for (std::uint32_t i = s + 1; i < points.size(); ++i)
        if (is_finite(points[i]) && points[s][2] > points[i][2]) s = i;
    return s;
}

// Breadth-first from the seed, which is flipped when `flip_seed`: every point reached takes the
// side of the point that reached it. The sides are decided first and the normals flipped only
// once all are known, so a stopped run leaves them as they were. A point's final normal is its
// own or exactly its negation, so its dot with an unreached normal is that of its own, negated
// when flipped: the decisions are the ones flipping as it goes would make.
void propagate(const Adjacency& adjacency, std::span<Vector3d> normals, std::uint32_t seed, bool flip_seed) {
    enum Side : std::uint8_t { kUnreached, kKept, kFlipped };
    std::vector<std::uint8_t> side(normals.size(), kUnreached);
    std::vector<std::uint32_t> queue;
    queue.reserve(normals.size());
    side[seed] = flip_seed ? kFlipped : kKept;
    queue.push_back(seed);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        if (head % kSerialBlock == 0) parallel::check_cancelled();
        const std::uint32_t v = queue[head];
        const bool v_flipped = side[v] == kFlipped;
        for (std::size_t i = adjacency.first[v]; i < adjacency.first[v + 1]; ++i) {
            const std::uint32_t w = adjacency.next[i];
            if (side[w] != kUnreached) continue;
            const double d = dot(normals[v], normals[w]);
            side[w] = (v_flipped ? d > 0 : d < 0) ? kFlipped : kKept;
            queue.push_back(w);
        }
    }
    for (std::size_t i = 0; i < normals.size(); ++i)
        if (side[i] == kFlipped) negate(normals[i]);
}

double seconds_since(std::chrono::steady_clock::time_point& t) {
    const auto now = std::chrono::steady_clock::now();
    const double s = std::chrono::duration<double>(now - t).count();
    t = now;
    return s;
}

}  // namespace

void orient_normals_consistent_tangent_plane(std::span<const Vector3d> points, std::span<Vector3d> normals,
                                             std::uint64_t k, double lambda, double cos_alpha_tol,
                                             TangentPlaneTimings* timings) {
    const std::size_t n = points.size();
    if (n == 0) return;
    auto clock = std::chrono::steady_clock::now();
    TangentPlaneTimings spent;

    parallel::report_stage("orienting normals: neighbourhoods");
    KDTree tree;
    tree.build_from_points(points);
    const std::uint64_t kk = k >= 3 ? k : 2;
    // The queries take the count as a signed 32-bit value (its low 32 bits).
    const auto query_kk = static_cast<std::int32_t>(static_cast<std::uint32_t>(kk));
    NeighbourLists lists = neighbour_lists(tree, points, query_kk);
    spent.neighbourhoods = seconds_since(clock);

    parallel::report_stage("orienting normals: candidate edges");
    std::span<const Vector3d> const_normals(normals.data(), normals.size());
    ListEdges edges = list_edges(lists, points, const_normals, lambda, cos_alpha_tol,
                                 static_cast<std::size_t>(std::min<std::uint64_t>(k, lists.width)));
    lists = NeighbourLists();
    parallel::report_stage("orienting normals: spanning trees");
    Edges tree_edges;
    {
        DisjointSets forest(n);
        tree_edges = kruskal(edges.candidates, forest);
        edges.candidates = Edges();
        ComponentJoiner(tree, points, forest, kk).join(tree_edges);
    }
    for (Edge& e : tree_edges) e.weight = dissimilarity(normals[e.a], normals[e.b]);
    // The first tree, then the similarity edges, in one array.
    Edges& extended = edges.similar;
    std::copy(tree_edges.begin(), tree_edges.end(), extended.begin());
    std::copy(extended.begin() + static_cast<std::ptrdiff_t>(edges.room), extended.end(),
              extended.begin() + static_cast<std::ptrdiff_t>(tree_edges.size()));
    extended.resize(extended.size() - (edges.room - tree_edges.size()));
    tree_edges = Edges();
    Edges final_tree;
    {
        DisjointSets forest(n);
        final_tree = kruskal(extended, forest);
    }
    extended = Edges();
    spent.trees = seconds_since(clock);

    parallel::report_stage("orienting normals: propagation");
    const Adjacency adjacency(final_tree, n);
    const std::uint32_t seed = lowest_point(points);
    const Vector3d& s = normals[seed];
    propagate(adjacency, normals, seed, 0.0 * s[0] + 0.0 * s[1] < s[2]);
    spent.propagation = seconds_since(clock);
    if (timings) *timings = spent;
}

}  // namespace nubiro::geometry
