// Voxel keys and the ordered chained hash map that collects records per voxel.
//
// Every voxel method emits its records in the map's iteration order, so the map follows one
// fixed discipline: all nodes form a single linked list that iteration walks; each bucket holds
// the node *preceding* its first node (or the list head), so a bucket's nodes are consecutive
// in the list; a new node goes to the front of its bucket, or to the front of the whole list
// when its bucket is empty; the bucket count grows through fixed prime steps, and a rehash
// relinks the nodes in list order. Changing any of these steps changes the output order, so
// they are written out exactly and must not be "improved".
//
// A map's whole state is its bucket count, its nodes (key, value) in insertion order and its
// iteration order; links, hashes and bucket entries follow from these, and so does the growth
// threshold: 0 while the map has never been sized (one bucket, no nodes), the bucket count
// afterwards. restore() rebuilds a map from that state.
//
// Recipe: the node list, bucket policy, insertion position and rehash of GCC's libstdc++
// std::unordered_map with unique keys and the default maximum load factor of 1, as in GCC 12
// (bits/hashtable.h: _M_insert_bucket_begin and _M_rehash_aux; bits/hashtable_policy.h and
// src/c++11/hashtable_c++0x.cc: _Prime_rehash_policy with its small table for counts up to
// 13 and growth factor 2). Its prime table is cut after 21023161 here, and larger counts are
// continued by trial division (next_bucket_count). The key hash is the hash_combine step of
// the Boost C++ Libraries before release 1.81 (boost/container_hash/hash.hpp), applied to
// the three cell indices from seed 0. Written from the algorithms, not copied; see
// THIRD_PARTY_NOTICES.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "core/fetch_ahead.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nubiro {

// Integer cell indices of a voxel.
struct VoxelKey {
    std::int32_t x = 0, y = 0, z = 0;
    friend bool operator==(const VoxelKey&, const VoxelKey&) = default;
};

// Cell index of a coordinate already expressed in voxel units: floor, then int32 with
// saturation; NaN gives 0. Written without a call to floor (which is a library call on the
// baseline instruction set): inside the int32 range, truncation corrected by one below zero
// is the floor, and floor(v) leaves that range exactly when v does.
inline std::int32_t voxel_index(double v) {
    if (v != v) return 0;
    if (v < -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    if (v >= 2147483648.0) return std::numeric_limits<std::int32_t>::max();
    const auto t = static_cast<std::int32_t>(v);  // toward zero
    return static_cast<double>(t) > v ? t - 1 : t;
}

#if defined(__SSE2__)
namespace detail {
// voxel_index of both lanes, branch-free: NaN to 0, clamped to the int32 range (floor leaves
// the range exactly when the clamp changes the value, and then saturates to the same bound),
// truncated, and lowered by one where truncation went up.
inline __m128i voxel_index2(__m128d v) {
    v = _mm_and_pd(v, _mm_cmpord_pd(v, v));
    v = _mm_min_pd(_mm_max_pd(v, _mm_set1_pd(-2147483648.0)), _mm_set1_pd(2147483647.0));
    const __m128i t = _mm_cvttpd_epi32(v);
    const __m128i above = _mm_shuffle_epi32(_mm_castpd_si128(_mm_cmpgt_pd(_mm_cvtepi32_pd(t), v)), 0x08);
    return _mm_add_epi32(t, above);  // the mask is -1 where truncation went up
}
}  // namespace detail
#endif

// The cell of point p in a grid with corner `origin` and cells of `size`: voxel_index of
// (p - origin) / size on each axis. The SSE2 path does the same IEEE operations two lanes at a
// time; the key computation is a large share of every voxel method's time.
inline VoxelKey voxel_key(const Vector3d& p, const Vector3d& origin, double size) {
#if defined(__SSE2__)
    const __m128d s = _mm_set1_pd(size);
    const __m128d xy = _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(p.data()), _mm_loadu_pd(origin.data())), s);
    const __m128d z = _mm_div_sd(_mm_sub_sd(_mm_load_sd(p.data() + 2), _mm_load_sd(origin.data() + 2)), s);
    const __m128i ixy = detail::voxel_index2(xy), iz = detail::voxel_index2(z);
    return {_mm_cvtsi128_si32(ixy), _mm_cvtsi128_si32(_mm_srli_si128(ixy, 4)), _mm_cvtsi128_si32(iz)};
#else
    return {voxel_index((p[0] - origin[0]) / size), voxel_index((p[1] - origin[1]) / size),
            voxel_index((p[2] - origin[2]) / size)};
#endif
}

// voxel_key of every point p[0], ..., p[count - 1], handed to put(i, key). The SSE2 path takes
// two points' six coordinates as three lane pairs (x0 y0, z0 x1, y1 z1), so no lane idles;
// each coordinate goes through the same operations as in voxel_key.
template <class Put>
inline void for_each_voxel_key(const Vector3d* p, std::size_t count, const Vector3d& origin, double size, Put&& put) {
    std::size_t i = 0;
#if defined(__SSE2__)
    static_assert(sizeof(Vector3d) == 3 * sizeof(double) && sizeof(VoxelKey) == 3 * sizeof(std::int32_t),
                  "points and keys are packed triples");
    const __m128d s = _mm_set1_pd(size);
    const __m128d oxy = _mm_loadu_pd(origin.data()), ozx = _mm_set_pd(origin[0], origin[2]),
                  oyz = _mm_loadu_pd(origin.data() + 1);
    for (; i + 2 <= count; i += 2) {
        const double* v = p[i].data();
        fetch_ahead(v);
        const __m128i xyzx = _mm_unpacklo_epi64(detail::voxel_index2(_mm_div_pd(_mm_sub_pd(_mm_loadu_pd(v), oxy), s)),
                                                detail::voxel_index2(_mm_div_pd(_mm_sub_pd(_mm_loadu_pd(v + 2), ozx), s)));
        const __m128i yz = detail::voxel_index2(_mm_div_pd(_mm_sub_pd(_mm_loadu_pd(v + 4), oyz), s));
        VoxelKey two[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(two), xyzx);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&two[1].y), yz);
        put(i, two[0]);
        put(i + 1, two[1]);
    }
#endif
    for (; i < count; ++i) put(i, voxel_key(p[i], origin, size));
}

// Three rounds of the classic hash-combine step from seed 0, each component hashing to itself
// (sign-extended); 64-bit wrapping arithmetic.
inline std::uint64_t hash_voxel_key(const VoxelKey& k) {
    constexpr std::uint64_t kGolden = 0x9e3779b9u;
    auto widen = [](std::int32_t v) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(v)); };
    std::uint64_t h = widen(k.x) + kGolden;
    h ^= (h >> 2) + kGolden + (h << 6) + widen(k.y);
    h ^= (h >> 2) + kGolden + (h << 6) + widen(k.z);
    return h;
}

struct VoxelKeyHash {
    std::uint64_t operator()(const VoxelKey& k) const { return hash_voxel_key(k); }
};

// The bucket count the map grows to for a wish of n: 1 for 0, a small table up to 12, the
// smallest tabled prime >= n up to 21023161, past that the first odd number >= n without an
// odd divisor.
std::uint64_t next_bucket_count(std::uint64_t n);

// The iteration order (as positions in `hashes`) of a map that starts unsized and has distinct
// keys with these hashes inserted in turn, growing as it goes: what find_or_insert of each key
// leaves, computed without building the map.
std::vector<std::uint32_t> grown_map_order(std::span<const std::uint64_t> hashes);

// x mod d through one 128-bit multiply with a precomputed reciprocal (exact for every 64-bit
// x and d >= 1), since the map takes a remainder on every lookup.
class Modulus {
public:
    explicit Modulus(std::uint64_t d = 1) : d_(d), m_(~static_cast<unsigned __int128>(0) / d + 1) {}
    std::uint64_t divisor() const { return d_; }
    std::uint64_t operator()(std::uint64_t x) const {
        const unsigned __int128 low = m_ * x;
        const unsigned __int128 bottom = (static_cast<unsigned __int128>(static_cast<std::uint64_t>(low)) * d_) >> 64;
        const unsigned __int128 top = static_cast<unsigned __int128>(static_cast<std::uint64_t>(low >> 64)) * d_;
        return static_cast<std::uint64_t>((bottom + top) >> 64);
    }

private:
    std::uint64_t d_;
    unsigned __int128 m_;
};

template <class Value, class Key = VoxelKey, class Hash = VoxelKeyHash>
class VoxelMap {
public:
    // Nodes live in one array in insertion order; list links are slot numbers where slot 0 is
    // the head and slot i + 1 is node i. A link of 0 means "no successor" (the head is never
    // one), and a bucket holding kEmpty has no nodes.
    using Slot = std::uint32_t;
    static constexpr Slot kEmpty = std::numeric_limits<Slot>::max();

    struct Node {
        Key key;
        Slot next;
        std::uint64_t hash;
        Value value;
    };

    std::size_t size() const { return nodes_.size(); }
    std::uint64_t bucket_count() const { return buckets_.size(); }
    std::uint64_t bucket_of(std::uint64_t hash) const { return mod_(hash); }

    // Nodes by insertion number (not iteration order).
    const std::vector<Node>& nodes() const { return nodes_; }
    std::vector<Node>& nodes() { return nodes_; }

    void reserve_nodes(std::size_t n) { nodes_.reserve(n); }

    // Readies an empty map for `buckets` keys: rehashed to that many buckets (when there are at
    // least 2) with the growth threshold there too, so those insertions never grow it.
    void presize(std::uint64_t buckets) {
        if (buckets < 2) return;
        rehash(buckets);
        threshold_ = buckets;
    }

    // Insertion number of the key's node, or -1.
    std::int64_t find(const Key& key, std::uint64_t hash) const {
        const std::uint64_t b = mod_(hash);
        const Slot pred = buckets_[b];
        if (pred == kEmpty) return -1;
        Slot s = next_of(pred);
        for (;;) {
            const Node& n = nodes_[s - 1];
            // A matching key has the same hash, hence the same bucket: testing the key first
            // decides the same way as testing the bucket first.
            if (n.hash == hash && n.key == key) return static_cast<std::int64_t>(s - 1);
            if (n.next == 0) return -1;
            s = n.next;
            if (mod_(nodes_[s - 1].hash) != b) return -1;
        }
    }

    // The key's value, inserted as Value{} when absent; `inserted` tells which. The reference
    // stays valid until the next insertion.
    Value& find_or_insert(const Key& key, bool* inserted = nullptr) { return find_or_insert(key, Hash{}(key), inserted); }
    Value& find_or_insert(const Key& key, std::uint64_t hash, bool* inserted = nullptr) {
        return nodes_[index_of(key, hash, inserted)].value;
    }

    // Insertion number of the key's node, inserted (with Value{}) when absent.
    std::size_t index_of(const Key& key, std::uint64_t hash, bool* inserted = nullptr) {
        const std::int64_t found = find(key, hash);
        if (inserted) *inserted = found < 0;
        if (found >= 0) return static_cast<std::size_t>(found);
        insert_node(key, hash);
        return nodes_.size() - 1;
    }

    // A hint for a run of lookups, so that their dependent memory reads overlap: stage 0
    // fetches the bucket entry of `hash`, stage 1 the node that entry names, stage 2 that node's
    // successor (the bucket's first node). Issue the stages a few lookups apart, in order. The
    // map is not changed and nothing is decided by it.
    void prefetch(std::uint64_t hash, int stage) const {
        const std::uint64_t b = mod_(hash);
        if (stage == 0) {
            __builtin_prefetch(&buckets_[b]);
            return;
        }
        const Slot pred = buckets_[b];
        if (pred == kEmpty) return;
        if (stage == 1) {
            if (pred != 0) __builtin_prefetch(&nodes_[pred - 1]);
            return;
        }
        if (const Slot first = next_of(pred); first != 0) __builtin_prefetch(&nodes_[first - 1]);
    }

    // Fills an empty map with distinct keys, leaving exactly the map that presize(
    // next_bucket_count(n)) followed by find_or_insert of each key in turn would leave. With the
    // size fixed up front nothing grows, so the outcome has a closed form: each bucket's nodes
    // form one run, runs appear latest-started first, and within a run the latest insertion
    // comes first. So a node links to the previous node of its bucket, a run's earliest node to
    // the latest node of the run started before it, and each bucket holds the earliest node of
    // the run started after it: one pass in insertion order and one over the runs, instead of
    // one scattered list update per key. value_of(key) gives each node's value.
    template <class ValueOf>
    void assign_distinct(std::span<const Key> keys, std::span<const std::uint64_t> hashes, ValueOf value_of) {
        const std::size_t n = keys.size();
        if (n == 0) return;
        if (n >= kEmpty - 1) throw std::length_error("voxel map is full");
        const std::uint64_t count = next_bucket_count(n);
        const Modulus mod(count);
        // Buckets first, in a pass of independent remainders, so that the pass that follows can
        // fetch its per-bucket entries ahead.
        std::vector<std::uint64_t> bucket(n);
        for (std::size_t t = 0; t < n; ++t) bucket[t] = mod(hashes[t]);
        struct Run {
            std::uint64_t bucket;
            Slot earliest;
        };
        std::vector<Run> runs;  // in the order they start
        runs.reserve(std::min<std::uint64_t>(n, count));
        std::vector<Slot> latest(count, kEmpty);  // per bucket, its latest node so far
        nodes_.clear();
        nodes_.reserve(n);
        constexpr std::size_t kAhead = 16;
        for (std::size_t t = 0; t < n; ++t) {
            if (t + kAhead < n) __builtin_prefetch(&latest[bucket[t + kAhead]]);
            const std::uint64_t b = bucket[t];
            const auto s = static_cast<Slot>(t + 1);
            Slot next = latest[b];
            if (next == kEmpty) {
                runs.push_back({b, s});
                next = 0;  // the earliest-started run ends the list; the others are linked below
            }
            latest[b] = s;
            nodes_.push_back(Node{keys[t], next, hashes[t], value_of(keys[t])});
        }
        for (std::size_t r = 1; r < runs.size(); ++r) nodes_[runs[r].earliest - 1].next = latest[runs[r - 1].bucket];
        head_next_ = latest[runs.back().bucket];
        for (std::size_t r = 0; r < runs.size(); ++r)
            latest[runs[r].bucket] = r + 1 < runs.size() ? runs[r + 1].earliest : 0;
        buckets_ = std::move(latest);
        mod_ = mod;
        threshold_ = count;
    }

    // Calls f(node) for every node in iteration order.
    template <class F>
    void for_each(F&& f) const {
        for (Slot s = head_next_; s != 0; s = nodes_[s - 1].next) f(nodes_[s - 1]);
    }

    // Inserts a key known to be absent (skipping the search), with Value{}.
    void insert_absent(const Key& key, std::uint64_t hash) { insert_node(key, hash); }

    // Insertion numbers in iteration order.
    std::vector<std::uint32_t> iteration_order() const {
        std::vector<std::uint32_t> order;
        order.reserve(nodes_.size());
        for (Slot s = head_next_; s != 0; s = nodes_[s - 1].next) order.push_back(s - 1);
        return order;
    }

    // Rebuilds the map from the state that bucket_count(), nodes() and iteration_order() show:
    // `nodes` hold the keys and values in insertion order (their links and hashes are
    // recomputed). The state may come from untrusted bytes, so everything is checked before it
    // is used: a state no map can be in is refused with the reason, leaving the map as it was.
    // A map presized for many more keys than it holds cannot be restored: bucket counts above
    // max(13, next_bucket_count(2n)), more than growth gives n nodes, are refused so that a
    // small state cannot demand a huge table.
    std::optional<Error> restore(std::uint64_t count, std::vector<Node> nodes, std::span<const std::uint32_t> order) {
        const std::size_t n = nodes.size();
        if (order.size() != n) return value_error("the iteration order must list every node once");
        if (n >= kEmpty - 1) return value_error("too many nodes");
        if (count == 1 ? n != 0 : count < std::max<std::uint64_t>(n, 2))
            return value_error("too few buckets for the nodes");
        if (count > std::max<std::uint64_t>(13, next_bucket_count(2 * static_cast<std::uint64_t>(n))))
            return value_error("more buckets than the nodes need");
        if (count != 1 && next_bucket_count(count) != count) return value_error("not a bucket count the map uses");

        std::vector<std::uint8_t> listed(n, 0);
        for (const std::uint32_t i : order) {
            if (i >= n || listed[i]) return value_error("the iteration order must list every node once");
            listed[i] = 1;
        }
        VoxelMap made;
        made.nodes_ = std::move(nodes);
        for (std::size_t i = 0; i < n; ++i) {
            Node& node = made.nodes_[order[i]];
            node.hash = Hash{}(node.key);
            node.next = i + 1 < n ? order[i + 1] + 1 : 0;
        }
        made.head_next_ = n ? order[0] + 1 : 0;
        // Each bucket holds the slot before its first node; its nodes must form one run.
        made.buckets_.assign(count, kEmpty);
        made.mod_ = Modulus(count);
        std::uint64_t run = count;  // bucket of the current run; none yet
        Slot before = 0;
        for (const std::uint32_t i : order) {
            const std::uint64_t b = made.mod_(made.nodes_[i].hash);
            if (b != run) {
                if (made.buckets_[b] != kEmpty) return value_error("a bucket's nodes must be consecutive");
                made.buckets_[b] = before;
                run = b;
            }
            before = i + 1;
        }
        // Lookups stop at a key's first node, so each node is found at its own number exactly
        // when the keys are distinct.
        for (std::size_t i = 0; i < n; ++i)
            if (made.find(made.nodes_[i].key, made.nodes_[i].hash) != static_cast<std::int64_t>(i))
                return value_error("the keys must be distinct");
        made.threshold_ = count == 1 ? 0 : count;
        *this = std::move(made);
        return std::nullopt;
    }

private:
    Slot next_of(Slot s) const { return s == 0 ? head_next_ : nodes_[s - 1].next; }
    Slot& next_ref(Slot s) { return s == 0 ? head_next_ : nodes_[s - 1].next; }

    void insert_node(const Key& key, std::uint64_t hash) {
        const std::uint64_t count = nodes_.size();
        if (count >= kEmpty - 1) throw std::length_error("voxel map is full");
        if (count + 1 > threshold_) {
            std::uint64_t wish = count + 1;
            if (threshold_ == 0 && wish < 11) wish = 11;
            const std::uint64_t buckets = buckets_.size();
            if (static_cast<double>(wish) >= static_cast<double>(buckets)) {
                const std::uint64_t grown = next_bucket_count(std::max(wish + 1, 2 * buckets));
                rehash(grown);
                threshold_ = grown;
            } else {
                threshold_ = buckets;
            }
        }
        nodes_.push_back(Node{key, 0, hash, Value{}});
        const Slot s = static_cast<Slot>(nodes_.size());
        const std::uint64_t b = mod_(hash);
        const Slot pred = buckets_[b];
        if (pred != kEmpty) {
            nodes_[s - 1].next = next_of(pred);
            next_ref(pred) = s;
        } else {
            nodes_[s - 1].next = head_next_;
            head_next_ = s;
            if (const Slot after = nodes_[s - 1].next; after != 0) buckets_[mod_(nodes_[after - 1].hash)] = s;
            buckets_[b] = 0;
        }
    }

    void rehash(std::uint64_t count) {
        std::vector<Slot> fresh(count, kEmpty);
        const Modulus mod(count);
        Slot p = head_next_;
        head_next_ = 0;
        std::uint64_t begin_bucket = 0;
        while (p != 0) {
            Node& n = nodes_[p - 1];
            const Slot q = n.next;
            const std::uint64_t b = mod(n.hash);
            if (fresh[b] == kEmpty) {
                n.next = head_next_;
                head_next_ = p;
                fresh[b] = 0;
                if (n.next != 0) fresh[begin_bucket] = p;
                begin_bucket = b;
            } else {
                Slot& pred_next = next_ref(fresh[b]);
                n.next = pred_next;
                pred_next = p;
            }
            p = q;
        }
        buckets_ = std::move(fresh);
        mod_ = mod;
    }

    std::vector<Node> nodes_;
    std::vector<Slot> buckets_ = std::vector<Slot>(1, kEmpty);
    Modulus mod_{1};
    Slot head_next_ = 0;
    std::uint64_t threshold_ = 0;
};

}  // namespace nubiro
