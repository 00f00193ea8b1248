// k nearest neighbours of the tree's own points, a leaf at a time, with the plain search's
// exact results.
//
// The points of one leaf lie close together, so their neighbourhoods overlap. Take the leaf's
// point nearest its centre as the pivot, at distance r0 from its k-th neighbour: every other
// point q of the leaf, at distance dq from the pivot, has its k nearest within r0 + dq (the
// pivot's k neighbours are that close), so all of those lie within r0 + 2 * delta of the pivot,
// delta being the largest dq. The points of the leaves a radius search of that reach visits are
// the candidates, kept in rings around the pivot. Each q then sorts out its k nearest from the
// rings it needs with arithmetic instead of a tree walk: the squared distances (the same
// operations as the search's), a bucket count over [0, (r0 + dq)^2] that brings the k + 1
// smallest to the front in bucket order, and an insertion sort of that nearly sorted front.
// The pivot itself is found the same way, among candidates gathered for the previous pivot's
// r0 (widened by a quarter), or by the plain search when that does not hold it; a leaf too
// small to pay for candidates takes its points from the previous leaf's, when they cover them.
//
// When is that the plain search's answer? The search keeps the first k of the points it meets
// in (distance, visiting order), and it skips a subtree when the box distance, summed
// incrementally, exceeds its current k-th distance. Those sums round, so a skipped subtree may
// hold a point a few units in the last place nearer than they say. Hence the batch result is
// taken only when the k nearest have distinct distances (no order among equals to decide) and
// the (k+1)-th is farther than the k-th by a relative 2^-30, far above any such rounding (which
// grows with the depth of the tree, about 2^-52 per level): then both searches return the
// same points in ascending distance. A point whose neighbourhood has ties or near-ties at
// the boundary, or whose candidates cannot be trusted to cover it, gets the plain search.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/kdtree.hpp"
#include "core/kdtree_distance.hpp"

namespace nubiro {
namespace {

// Bucket count for the front selection: about two buckets per candidate in range, so that the
// front comes out nearly sorted.
constexpr std::uint32_t kBuckets = 128;
// Below this many neighbours a point's own search is cheaper than its share of a leaf's
// candidates (measured on scanned surfaces: even at about 11, twice as fast from 20 on).
constexpr std::size_t kFewestForBatch = 12;
// Rings of candidates around the pivot.
constexpr std::uint32_t kRings = 32;
// Relative gap the (k+1)-th distance must keep from the k-th (see above).
constexpr double kGap = 0x1p-30;
// Widening of the bounds computed through square roots, far above their rounding.
constexpr double kSlack = 0x1p-24;
// Larger candidate sets than this many per neighbour (a leaf spread far wider than the
// neighbourhoods) go to the plain search.
constexpr std::size_t kMaxCandidatesPerNeighbor = 64;

// The plain search's own squared distance (the vectorised loop in from_candidates spells out
// the same operations).
inline double squared_distance3(const double* a, const double* b) {
    return kdtree_detail::squared_distance<3>(a, b, 3, 0.0);
}

// Per-thread scratch; grows to the largest candidate set seen and then allocates nothing.
struct BatchScratch {
    std::vector<std::uint32_t> leaves;         // (begin, end) position ranges to look at
    std::vector<double> x, y, z, dist;         // candidates' coordinates and distance to q
    std::vector<std::uint32_t> index;          // candidates' point numbers
    std::vector<std::int32_t> bucket;          // candidates' ring, then their bucket for q
    std::vector<double> front_dist;            // the front, by bucket then sorted
    std::vector<std::uint32_t> front_index;
    std::vector<std::uint32_t> members;        // positions within the reach, then q's front members
};

BatchScratch& batch_scratch() {
    thread_local BatchScratch scratch;
    return scratch;
}

}  // namespace

struct IndexedKnn {
    const KDTree& tree;
    std::size_t k;  // the caller's stride
    std::size_t kk;  // neighbours per point: k, or every indexed point when fewer
    std::size_t first;
    std::uint32_t* indices;
    double* dist2;
    std::uint32_t* counts;

    const double* point(std::size_t pos) const { return tree.pts_.data() + pos * tree.dim_; }

    double plain(std::size_t pos) const {
        const std::size_t o = pos - first;
        counts[o] = static_cast<std::uint32_t>(tree.search_knn(point(pos), kk, indices + o * k, dist2 + o * k));
        return counts[o] == kk ? dist2[o * k + kk - 1] : -1.0;
    }

    // Candidates in rings around the pivot: index c of the scratch arrays is in ring
    // floor(squared distance * ring_scale) or an earlier one, rings in order from 0 to kRings - 1.
    struct Rings {
        double reach = 0, scale = 0;
        std::uint32_t end[kRings + 1];  // end[b + 1]: candidates in rings up to b
    };

    void all_plain(std::size_t begin, std::size_t end, std::size_t except) const {
        for (std::size_t pos = begin; pos < end; ++pos)
            if (pos != except) plain(pos);
    }

    // The last candidate set: for the pivot at `centre` whose k-th neighbour is at r0.
    Rings rings;
    std::size_t centre = 0;
    double r0 = -1;  // negative while there is none

    void leaf(std::size_t begin, std::size_t end) {
        BatchScratch& s = batch_scratch();
        // Too few points to pay for candidates of their own: those of the last leaf, nearby,
        // may cover them.
        if (end - begin < 3) {
            for (std::size_t pos = begin; pos < end; ++pos)
                if (!(r0 >= 0 && from_rings(s, pos))) plain(pos);
            return;
        }
        // The pivot: the point nearest the centre of the leaf's box (the first of equals).
        double lo[3], hi[3];
        for (int c = 0; c < 3; ++c) lo[c] = hi[c] = point(begin)[c];
        for (std::size_t pos = begin + 1; pos < end; ++pos)
            for (int c = 0; c < 3; ++c) {
                lo[c] = std::min(lo[c], point(pos)[c]);
                hi[c] = std::max(hi[c], point(pos)[c]);
            }
        const double middle[3] = {(lo[0] + hi[0]) * 0.5, (lo[1] + hi[1]) * 0.5, (lo[2] + hi[2]) * 0.5};
        std::size_t pivot = begin;
        double best = squared_distance3(point(begin), middle);
        for (std::size_t pos = begin + 1; pos < end; ++pos) {
            const double d = squared_distance3(point(pos), middle);
            if (d < best) {
                best = d;
                pivot = pos;
            }
        }
        double delta = 0;
        for (std::size_t pos = begin; pos < end; ++pos)
            delta = std::max(delta, std::sqrt(squared_distance3(point(pos), point(pivot))));

        // With the last pivot's distance as a hint, the candidates come first (for a reach a
        // quarter wider than the hint asks), and the pivot takes its neighbours from them like
        // every other point: every point within `limit` of it is a candidate. Without one, or
        // if that fails, the pivot gets the plain search.
        const double hint = r0;
        r0 = -1;
        bool have = false;
        double r0_2 = -1;
        if (hint >= 0) {
            const double reach = hint * 1.25 + 2 * delta;
            have = reach > 0 && std::isfinite(reach) && collect(s, pivot, reach);
            if (have) {
                double limit = reach - reach * kSlack;
                limit = limit * limit;
                if (from_candidates(s, rings.end[kRings], pivot, limit)) r0_2 = dist2[(pivot - first) * k + kk - 1];
            }
        }
        if (r0_2 < 0) r0_2 = plain(pivot);
        if (!(r0_2 >= 0)) return all_plain(begin, end, pivot);
        // Every other point's neighbours lie within r0 + 2 * delta of the pivot.
        const double reach = std::sqrt(r0_2) + 2 * delta;
        if (!(have && reach <= rings.reach)) {
            if (!(reach > 0) || !std::isfinite(reach) || !collect(s, pivot, reach)) return all_plain(begin, end, pivot);
        }
        centre = pivot;
        r0 = std::sqrt(r0_2);
        for (std::size_t pos = begin; pos < end; ++pos)
            if (pos != pivot && !from_rings(s, pos)) plain(pos);
    }

    // The k nearest of the point at pos from the candidate set, if it covers the point.
    bool from_rings(BatchScratch& s, std::size_t pos) const {
        const double dq = std::sqrt(squared_distance3(point(pos), point(centre)));
        // Every point within `limit` of this one (squared; it holds the pivot's k neighbours)
        // is within `need` of the pivot, so in the rings up to need's.
        const double bound = r0 + dq;
        double limit = bound * bound;
        limit = limit + limit * kSlack;
        const double need = std::sqrt(limit) + dq;
        double need2 = need * need;
        need2 = need2 + need2 * kSlack;
        if (!(need <= rings.reach + rings.reach * (kSlack * 0.5)) || !(need2 * rings.scale < kRings)) return false;
        const std::size_t used = rings.end[static_cast<std::uint32_t>(need2 * rings.scale) + 1];
        return from_candidates(s, used, pos, limit);
    }

    // Candidates for a pivot and reach: the points of the leaves a search of radius `reach`
    // reaches that lie within it (a little wider, for rounding), in rings by squared distance
    // (a counting sort), so that a point near the pivot reads only the inner rings it needs.
    // False when there are too many to be worth it.
    bool collect(BatchScratch& s, std::size_t pivot, double reach) {
        s.leaves.clear();
        tree.leaves_within(point(pivot), reach + reach * kSlack, s.leaves);
        std::size_t seen = 0;
        for (std::size_t l = 0; l < s.leaves.size(); l += 2) seen += s.leaves[l + 1] - s.leaves[l];
        if (seen > kMaxCandidatesPerNeighbor * kk) return false;
        if (s.x.size() < seen) {
            s.x.resize(seen);
            s.y.resize(seen);
            s.z.resize(seen);
            s.dist.resize(seen);
            s.index.resize(seen);
            s.bucket.resize(seen);
            s.front_dist.resize(seen + 1);
            s.front_index.resize(seen + 1);
            s.members.resize(seen + 1);
        }
        const double reach2 = reach * reach;
        rings.reach = reach;
        rings.scale = kRings / (reach2 + reach2 * kSlack * 4);
        // Ring kRings: beyond the reach, dropped. Two counts, for even and odd points, so that
        // runs of one ring do not wait on each other's increments.
        std::uint32_t count[2][kRings + 1] = {};
        std::int32_t* ring = s.bucket.data();
        std::uint32_t* kept = s.members.data();  // positions within the reach, in visiting order
        std::size_t c = 0, m = 0;
        const double* pv = point(pivot);
        for (std::size_t l = 0; l < s.leaves.size(); l += 2)
            for (std::uint32_t pos = s.leaves[l]; pos < s.leaves[l + 1]; ++pos, ++c) {
                const double scaled = squared_distance3(pv, point(pos)) * rings.scale;
                const std::int32_t b = static_cast<std::int32_t>(scaled < kRings ? scaled : kRings);
                ++count[c & 1][b];
                ring[m] = b;
                kept[m] = pos;
                m += b < static_cast<std::int32_t>(kRings);
            }
        std::uint32_t* ring_end = rings.end;
        ring_end[0] = 0;
        for (std::uint32_t b = 0; b < kRings; ++b) ring_end[b + 1] = ring_end[b] + count[0][b] + count[1][b];
        std::uint32_t fill[kRings];
        std::copy(ring_end, ring_end + kRings, fill);
        for (std::size_t t = 0; t < m; ++t) {
            const std::uint32_t pos = kept[t];
            const std::uint32_t o = fill[ring[t]]++;
            s.x[o] = point(pos)[0];
            s.y[o] = point(pos)[1];
            s.z[o] = point(pos)[2];
            s.index[o] = tree.perm_[pos];
        }
        return true;
    }

    // The k nearest of the point at pos from the candidates; false when the plain search must
    // decide (see the file's opening comment).
    bool from_candidates(BatchScratch& s, std::size_t n, std::size_t pos, double limit) const {
        const double* q = point(pos);
        const double qx = q[0], qy = q[1], qz = q[2];
        const double scale = kBuckets / limit;
        double* __restrict dist = s.dist.data();
        std::int32_t* __restrict bucket = s.bucket.data();
        const double* __restrict xs = s.x.data();
        const double* __restrict ys = s.y.data();
        const double* __restrict zs = s.z.data();
        const std::uint32_t* __restrict index = s.index.data();
        // Buckets 0..kBuckets - 1 split [0, limit) evenly, in order; kBuckets holds the rest
        // of [0, limit] and a little beyond it, kBuckets + 1 the points farther still.
        constexpr double kLastBucket = kBuckets + 1;
        for (std::size_t c = 0; c < n; ++c) {
            const double t0 = qx - xs[c], t1 = qy - ys[c], t2 = qz - zs[c];
            double d = t0 * t0;
            d = d + t1 * t1;
            d = d + t2 * t2;
            dist[c] = d;
            const double scaled = d * scale;
            bucket[c] = static_cast<std::int32_t>(scaled < kLastBucket ? scaled : kLastBucket);
        }
        // Two counts, for even and odd candidates, so that runs of one bucket do not wait on
        // each other's increments.
        std::uint32_t histogram[2][kBuckets + 2] = {};
        for (std::size_t c = 0; c < n; ++c) ++histogram[c & 1][bucket[c]];
        // The front: whole buckets up to the one holding the (k+1)-th smallest (or all).
        std::uint32_t start[kBuckets + 2];
        std::uint32_t taken = 0, last = 0;
        for (; last <= kBuckets + 1; ++last) {
            start[last] = taken;
            taken += histogram[0][last] + histogram[1][last];
            if (taken > kk) break;
        }
        if (taken < kk) return false;  // cannot happen: the pivot's neighbours are in range
        if (last > kBuckets + 1) last = kBuckets + 1;
        double* fd = s.front_dist.data();
        std::uint32_t* fi = s.front_index.data();
        // The front's members in candidate order (appended without branches), then each to
        // its bucket's next slot.
        std::uint32_t* members = s.members.data();
        std::size_t count = 0;
        for (std::size_t c = 0; c < n; ++c) {
            members[count] = static_cast<std::uint32_t>(c);
            count += static_cast<std::uint32_t>(bucket[c]) <= last;
        }
        for (std::size_t t = 0; t < count; ++t) {
            const std::uint32_t c = members[t];
            const std::uint32_t o = start[bucket[c]]++;
            fd[o] = dist[c];
            fi[o] = index[c];
        }
        // Insertion sort of the front; across buckets it is already in order.
        for (std::uint32_t i = 1; i < taken; ++i) {
            const double d = fd[i];
            const std::uint32_t j = fi[i];
            std::uint32_t t = i;
            for (; t > 0 && fd[t - 1] > d; --t) {
                fd[t] = fd[t - 1];
                fi[t] = fi[t - 1];
            }
            fd[t] = d;
            fi[t] = j;
        }
        for (std::size_t t = 1; t < kk; ++t)
            if (!(fd[t - 1] < fd[t])) return false;
        // Every point within `limit` is a candidate, so the k nearest are the front's first k
        // (the pivot's k neighbours are within it), and the nearest point left out is the
        // front's next one if that is within the limit, else beyond the limit.
        const double kth = fd[kk - 1];
        const double next = taken > kk ? std::min(fd[kk], limit) : limit;
        if (!(kth <= limit) || !(next > kth + kth * kGap)) return false;

        const std::size_t o = pos - first;
        std::memcpy(indices + o * k, fi, kk * sizeof(std::uint32_t));
        std::memcpy(dist2 + o * k, fd, kk * sizeof(double));
        counts[o] = static_cast<std::uint32_t>(kk);
        return true;
    }
};

void KDTree::search_knn_indexed(std::size_t first, std::size_t last, std::size_t k, std::uint32_t* indices,
                                double* dist2, std::uint32_t* counts) const {
    last = std::min(last, perm_.size());
    if (first >= last) return;
    const std::size_t kk = std::min(k, perm_.size());
    IndexedKnn batch{*this, k, kk, first, indices, dist2, counts};
    if (dim_ != 3 || kk < kFewestForBatch) {
        for (std::size_t pos = first; pos < last; ++pos) batch.plain(pos);
        return;
    }
    std::uint32_t ni = leaf_at(first);
    for (std::size_t pos = first;;) {
        const std::size_t end = std::min<std::size_t>(nodes_[ni].u.leaf.end, last);
        batch.leaf(pos, end);
        pos = end;
        if (pos >= last) return;
        do ++ni;
        while (nodes_[ni].dim != Node::kLeaf);
    }
}

}  // namespace nubiro
