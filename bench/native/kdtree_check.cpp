// Standalone check of the fixed sort and the KD-tree index; exits non-zero on any failure.
//
// Oracles:
//  - a plain transcription of the sort's steps (index arithmetic, comparator-based), compared
//    record for record with the library sort, including an adversarial input that exhausts
//    the depth limit and so reaches the heap sort;
//  - brute force for the result sets and their ascending distances;
//  - a straightforward model of the tree (indirect coordinate access, full-capacity result
//    set, leaf-level worst read once, no early exits) for the exact order of equal distances;
//  - the documented tie properties (single leaf gives point-number order, and so on).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/kdtree.hpp"
#include "core/fixed_sort.hpp"
#include "core/parallel_fixed_sort.hpp"

using namespace nubiro;

namespace {

int g_passed = 0;
int g_failed = 0;

void expect(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        if (g_failed <= 40) std::printf("FAIL: %s\n", what.c_str());
    }
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---------------------------------------------------------------------------------------------
// Reference sort: the steps as written, over positions of a vector and a less-than.

struct RefSort {
    std::function<bool(std::size_t, std::size_t)> less_at;  // key(i) < key(j) on current contents
    std::function<void(std::size_t, std::size_t)> swap_at;
    std::function<void(std::size_t, std::size_t)> copy_to;   // record at dst := record at src
    std::function<void(std::size_t)> save;                   // v := record at i
    std::function<void(std::size_t)> restore;                // record at i := v
    std::function<bool(std::size_t)> v_less;                 // key(v) < key(i)
    std::function<bool(std::size_t)> less_v;                 // key(i) < key(v)
    int heap_sorts = 0;

    void sort(std::size_t n) {
        if (n == 0) return;
        std::size_t lg = 0;
        for (std::size_t m = n; m > 1; m /= 2) ++lg;
        loop(0, n, 2 * lg);
        final_insertion(n);
    }
    void loop(std::size_t f, std::size_t l, std::size_t d) {
        while (l - f > 16) {
            if (d == 0) {
                heap(f, l);
                return;
            }
            d = d - 1;
            std::size_t a = f + 1, b = f + (l - f) / 2, c = l - 1, m;
            if (less_at(a, b)) m = less_at(b, c) ? b : (less_at(a, c) ? c : a);
            else m = less_at(a, c) ? a : (less_at(b, c) ? c : b);
            swap_at(f, m);
            std::size_t left = f + 1, right = l;
            for (;;) {
                while (less_at(left, f)) ++left;
                --right;
                while (less_at(f, right)) --right;
                if (left >= right) break;
                swap_at(left, right);
                ++left;
            }
            loop(left, l, d);
            l = left;
        }
    }
    void unguarded_insert(std::size_t i) {
        save(i);
        std::size_t j = i;
        while (v_less(j - 1)) {
            copy_to(j, j - 1);
            --j;
        }
        restore(j);
    }
    void guarded(std::size_t e) {
        for (std::size_t i = 1; i < e; ++i) {
            save(i);
            if (v_less(0)) {
                for (std::size_t j = i; j > 0; --j) copy_to(j, j - 1);
                restore(0);
            } else {
                unguarded_insert(i);
            }
        }
    }
    void final_insertion(std::size_t n) {
        if (n > 16) {
            guarded(16);
            for (std::size_t i = 16; i < n; ++i) unguarded_insert(i);
        } else {
            guarded(n);
        }
    }
    void heap(std::size_t f, std::size_t l) {
        ++heap_sorts;
        long len = static_cast<long>(l - f);
        if (len >= 2)
            for (long parent = (len - 2) / 2; parent >= 0; --parent) {
                save(f + parent);
                sift(f, parent, len);
            }
        while (l - f > 1) {
            l = l - 1;
            save(l);
            copy_to(l, f);
            sift(f, 0, static_cast<long>(l - f));
        }
    }
    void sift(std::size_t f, long hole, long len) {
        long top = hole, child = hole;
        while (child < (len - 1) / 2) {
            child = 2 * (child + 1);
            if (less_at(f + child, f + child - 1)) child = child - 1;
            copy_to(f + hole, f + child);
            hole = child;
        }
        if (len % 2 == 0 && child == (len - 2) / 2) {
            child = 2 * (child + 1);
            copy_to(f + hole, f + child - 1);
            hole = child - 1;
        }
        long parent = (hole - 1) / 2;
        while (hole > top && less_v(f + parent)) {
            copy_to(f + hole, f + parent);
            hole = parent;
            parent = (hole - 1) / 2;
        }
        restore(f + hole);
    }
};

template <class R, class Key>
int ref_sort(std::vector<R>& a, Key key) {
    R v{};
    RefSort s;
    s.less_at = [&](std::size_t i, std::size_t j) { return key(a[i]) < key(a[j]); };
    s.swap_at = [&](std::size_t i, std::size_t j) { std::swap(a[i], a[j]); };
    s.copy_to = [&](std::size_t d, std::size_t src) { a[d] = a[src]; };
    s.save = [&](std::size_t i) { v = a[i]; };
    s.restore = [&](std::size_t i) { a[i] = v; };
    s.v_less = [&](std::size_t i) { return key(v) < key(a[i]); };
    s.less_v = [&](std::size_t i) { return key(a[i]) < key(v); };
    s.sort(a.size());
    return s.heap_sorts;
}

struct Rec {
    double key;
    std::uint64_t payload;
};
auto rec_key = [](const Rec& r) { return r.key; };

std::vector<Rec> records_from(const std::vector<double>& keys) {
    std::vector<Rec> v(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) v[i] = {keys[i], i};
    return v;
}

std::vector<std::uint64_t> payloads(const std::vector<Rec>& v) {
    std::vector<std::uint64_t> p;
    for (const Rec& r : v) p.push_back(r.payload);
    return p;
}

// Keys that drive quicksort-style partitioning into degenerate splits: the comparisons are
// answered lazily while the reference sort runs, freezing values so that each pivot ends up
// near the bottom of its range. Replaying the frozen keys repeats the same comparisons.
// With tie_group > 1, consecutive frozen values share a key (still consistent, as a value
// never changes once frozen), so the heap sort also meets equal keys.
std::vector<double> adversarial_keys(std::size_t n, std::size_t tie_group = 1) {
    std::vector<double> val(n, static_cast<double>(n));  // "gas": above every frozen value
    std::vector<bool> frozen(n, false);
    std::size_t next_solid = 0;
    std::size_t candidate = 0;
    auto freeze = [&](std::size_t x) {
        frozen[x] = true;
        val[x] = static_cast<double>(next_solid++ / tie_group);
    };
    auto less_items = [&](std::size_t x, std::size_t y) {
        if (!frozen[x] && !frozen[y]) {
            if (x == candidate) freeze(x);
            else freeze(y);
        }
        if (!frozen[x]) candidate = x;
        else if (!frozen[y]) candidate = y;
        return val[x] < val[y];
    };
    std::vector<std::size_t> items(n);
    std::iota(items.begin(), items.end(), 0);
    std::size_t v = 0;
    RefSort s;
    s.less_at = [&](std::size_t i, std::size_t j) { return less_items(items[i], items[j]); };
    s.swap_at = [&](std::size_t i, std::size_t j) { std::swap(items[i], items[j]); };
    s.copy_to = [&](std::size_t d, std::size_t src) { items[d] = items[src]; };
    s.save = [&](std::size_t i) { v = items[i]; };
    s.restore = [&](std::size_t i) { items[i] = v; };
    s.v_less = [&](std::size_t i) { return less_items(v, items[i]); };
    s.less_v = [&](std::size_t i) { return less_items(items[i], v); };
    s.sort(n);
    return val;
}

void check_sort() {
    std::mt19937_64 rng(7);

    // Documented equal-key permutations.
    struct Documented {
        std::size_t n;
        std::vector<std::uint64_t> expected;
    };
    const Documented documented[] = {
        {17, {8, 16, 15, 14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1}},
        {40, {30, 21, 22, 23, 24, 25, 26, 27, 28, 29, 20, 31, 32, 33, 34, 35, 36, 37, 38, 39,
              10, 1,  2,  3,  4,  5,  6,  7,  8,  9,  0,  11, 12, 13, 14, 15, 16, 17, 18, 19}},
    };
    for (const Documented& d : documented) {
        std::vector<Rec> a = records_from(std::vector<double>(d.n, 1.5));
        std::vector<Rec> b = a;
        fixed_sort(a.data(), a.size(), rec_key);
        ref_sort(b, rec_key);
        expect(payloads(a) == d.expected, "sort: documented equal-key order, n=" + std::to_string(d.n));
        expect(payloads(b) == d.expected, "reference sort: documented order, n=" + std::to_string(d.n));
    }

    // Up to 16 records only the guarded insertion runs, which is stable.
    for (std::size_t n = 0; n <= 16; ++n) {
        for (int rep = 0; rep < 50; ++rep) {
            std::vector<double> keys(n);
            for (double& k : keys) k = static_cast<double>(rng() % 3);
            std::vector<Rec> a = records_from(keys), b = a;
            fixed_sort(a.data(), a.size(), rec_key);
            std::stable_sort(b.begin(), b.end(), [](const Rec& x, const Rec& y) { return x.key < y.key; });
            expect(payloads(a) == payloads(b), "sort: stable for n=" + std::to_string(n));
        }
    }

    // Record for record against the reference, across sizes and key distributions.
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 70; ++n) sizes.push_back(n);
    for (std::size_t n : {100, 255, 256, 257, 1000, 4097, 30000}) sizes.push_back(n);
    for (std::size_t n : sizes) {
        for (int dist = 0; dist < 4; ++dist) {
            std::vector<double> keys(n);
            for (std::size_t i = 0; i < n; ++i) {
                switch (dist) {
                    case 0: keys[i] = static_cast<double>(rng() % 4); break;          // heavy ties
                    case 1: keys[i] = std::ldexp(static_cast<double>(rng() >> 11), -53); break;
                    case 2: keys[i] = static_cast<double>(n - i); break;              // descending
                    default: keys[i] = static_cast<double>((i * 7919) % 13) - 6.0; break;
                }
            }
            std::vector<Rec> a = records_from(keys), b = a;
            fixed_sort(a.data(), a.size(), rec_key);
            ref_sort(b, rec_key);
            expect(payloads(a) == payloads(b),
                   "sort == reference, n=" + std::to_string(n) + " dist=" + std::to_string(dist));
            bool ascending = true;
            for (std::size_t i = 1; i < n; ++i) ascending = ascending && !(a[i].key < a[i - 1].key);
            expect(ascending, "sort ascending, n=" + std::to_string(n));
        }
    }

    // The partition swaps block-listed stoppers while whole blocks remain and scans the rest:
    // random sizes and tie densities move the hand-over point and leave stoppers of either side
    // pending in every combination. Every other repetition mixes signs, so +0 and -0 tie too.
    {
        bool same = true, ascending = true;
        for (int rep = 0; rep < 400; ++rep) {
            const std::size_t n = 100 + rng() % 3000;
            const std::uint64_t distinct = 1 + rng() % 300;  // 300 draws: nearly all keys distinct
            std::vector<double> keys(n);
            for (double& k : keys)
                k = distinct == 300 ? std::ldexp(static_cast<double>(rng() >> 11), -53) - 0.5
                                    : static_cast<double>(rng() % distinct) * (rep % 2 && rng() % 2 ? -0.25 : 1.0);
            std::vector<Rec> a = records_from(keys), b = a;
            fixed_sort(a.data(), a.size(), rec_key);
            ref_sort(b, rec_key);
            same = same && payloads(a) == payloads(b);
            for (std::size_t i = 1; i < n; ++i) ascending = ascending && !(a[i].key < a[i - 1].key);
        }
        expect(same, "sort == reference over random sizes and tie densities");
        expect(ascending, "sort ascending over random sizes and tie densities");
    }

    // Degenerate partitions exhaust the depth limit; the heap sort must match step for step.
    for (std::size_t n : {200, 2000, 20000}) {
        std::vector<double> keys = adversarial_keys(n);
        std::vector<Rec> a = records_from(keys), b = a;
        fixed_sort(a.data(), a.size(), rec_key);
        const int heap_sorts = ref_sort(b, rec_key);
        expect(heap_sorts > 0, "adversarial input reaches the heap sort, n=" + std::to_string(n));
        expect(payloads(a) == payloads(b), "sort == reference through the heap sort, n=" + std::to_string(n));
    }
    // Equal keys inside the heap sort decide which child moves up.
    for (std::size_t group : {2, 3}) {
        std::vector<double> keys = adversarial_keys(3000, group);
        std::vector<Rec> a = records_from(keys), b = a;
        fixed_sort(a.data(), a.size(), rec_key);
        const int heap_sorts = ref_sort(b, rec_key);
        expect(heap_sorts > 0, "adversarial input with ties reaches the heap sort, group=" + std::to_string(group));
        expect(payloads(a) == payloads(b), "sort == reference through the heap sort with ties, group=" +
                                               std::to_string(group));
    }

    // The orientation edge record: two indices and a weight.
    {
        struct Edge {
            std::uint64_t a, b;
            double w;
        };
        std::vector<Edge> e(500), f;
        for (std::size_t i = 0; i < e.size(); ++i) e[i] = {i, i * 3, static_cast<double>(rng() % 9)};
        f = e;
        fixed_sort(e.data(), e.size(), [](const Edge& x) { return x.w; });
        ref_sort(f, [](const Edge& x) { return x.w; });
        bool same = true;
        for (std::size_t i = 0; i < e.size(); ++i) same = same && e[i].a == f[i].a && e[i].b == f[i].b;
        expect(same, "sort of edge records == reference");
    }

    // NaN keys: order unspecified, but no access outside the sequence (exact-size heap blocks
    // under the address sanitizer) and the records are permuted, not lost.
    for (std::size_t n : {1, 2, 3, 16, 17, 18, 31, 64, 100, 1000, 5000}) {
        for (int pattern = 0; pattern < 5; ++pattern) {
            std::vector<double> keys(n);
            for (std::size_t i = 0; i < n; ++i) {
                const bool nan = pattern == 0 ? (rng() % 5 == 0)
                               : pattern == 1 ? true
                               : pattern == 2 ? (i == 0)
                               : pattern == 3 ? (i % 17 == 16)
                                              : (i < n / 2);
                keys[i] = nan ? kNaN : (pattern == 4 ? static_cast<double>(n - i) : static_cast<double>(rng() % 50));
            }
            std::vector<Rec> a = records_from(keys);
            fixed_sort(a.data(), a.size(), rec_key);
            std::vector<std::uint64_t> p = payloads(a);
            std::sort(p.begin(), p.end());
            std::vector<std::uint64_t> expected(n);
            std::iota(expected.begin(), expected.end(), 0);
            expect(p == expected, "sort with NaN keys permutes records, n=" + std::to_string(n));
            std::vector<Rec> b = records_from(keys);
            ref_sort(b, rec_key);
            expect(payloads(a) == payloads(b), "sort with NaN keys takes the reference's steps, n=" + std::to_string(n));
        }
    }

    // The sort spread over the pool leaves the sequential order, with and without NaN keys
    // (which keep the final insertion pass over the whole sequence).
    for (std::size_t n : {40000, 300000}) {
        for (int pattern = 0; pattern < 4; ++pattern) {
            std::vector<double> keys(n);
            for (double& k : keys) {
                switch (pattern) {
                    case 0: k = std::ldexp(static_cast<double>(rng() >> 11), -53); break;
                    case 1: k = static_cast<double>(rng() % 50); break;
                    case 2: k = rng() % 1000 == 0 ? kNaN : static_cast<double>(rng() % 5000); break;
                    default: k = rng() % 2 ? 0.0 : -0.0; break;
                }
            }
            std::vector<Rec> a = records_from(keys), b = a;
            fixed_sort(a.data(), a.size(), rec_key);
            parallel_fixed_sort(b.data(), b.size(), rec_key);
            expect(payloads(a) == payloads(b), "pool sort == sequential sort, n=" + std::to_string(n) +
                                                   " pattern=" + std::to_string(pattern));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Reference tree: the rules as written, over the original coordinates.

double ref_distance(const double* q, const double* p, std::size_t d) {
    auto s = [&](std::size_t i) { return (q[i] - p[i]) * (q[i] - p[i]); };
    if (d <= 3) {
        double t = s(0);
        for (std::size_t i = 1; i < d; ++i) t += s(i);
        return t;
    }
    double total = 0;
    std::size_t i = 0;
    for (; d - i >= 4; i += 4) total += ((s(i) + s(i + 1)) + s(i + 2)) + s(i + 3);
    for (; i < d; ++i) total += s(i);
    return total;
}

bool finite_point(const double* p, std::size_t d) {
    for (std::size_t c = 0; c < d; ++c)
        if (!std::isfinite(p[c])) return false;
    return true;
}

struct RefTree {
    struct Node {
        bool leaf;
        std::size_t left, right, cut;
        double div_low, div_high;
        std::size_t child1, child2;
    };
    std::size_t d = 0, n = 0;
    std::vector<double> coords;
    std::vector<std::uint32_t> perm;
    std::vector<Node> nodes;
    std::vector<double> low, high;

    double c(std::size_t pos, std::size_t dim) const { return coords[perm[pos] * d + dim]; }

    void build(const std::vector<double>& xs, std::size_t dim, std::size_t count) {
        d = dim;
        n = count;
        coords = xs;
        for (std::size_t j = 0; j < n; ++j)
            if (finite_point(&coords[j * d], d)) perm.push_back(static_cast<std::uint32_t>(j));
        if (perm.empty()) return;
        low.assign(d, 0);
        high.assign(d, 0);
        for (std::size_t i = 0; i < d; ++i) low[i] = high[i] = c(0, i);
        for (std::size_t p = 1; p < perm.size(); ++p)
            for (std::size_t i = 0; i < d; ++i) {
                double v = c(p, i);
                if (low[i] > v) low[i] = v;
                if (high[i] < v) high[i] = v;
            }
        divide(0, perm.size(), low, high);
    }

    void extent(std::size_t left, std::size_t right, std::size_t i, double& mn, double& mx) const {
        mn = mx = c(left, i);
        for (std::size_t p = left + 1; p < right; ++p) {
            double v = c(p, i);
            if (v < mn) mn = v;
            if (v > mx) mx = v;
        }
    }

    std::size_t divide(std::size_t left, std::size_t right, std::vector<double>& lo, std::vector<double>& hi) {
        std::size_t self = nodes.size();
        nodes.push_back({});
        if (right - left <= 15) {
            nodes[self] = {true, left, right, 0, 0, 0, 0, 0};
            for (std::size_t i = 0; i < d; ++i) {
                lo[i] = hi[i] = c(left, i);
                for (std::size_t p = left + 1; p < right; ++p) {
                    double v = c(p, i);
                    if (v < lo[i]) lo[i] = v;
                    if (v > hi[i]) hi[i] = v;
                }
            }
            return self;
        }
        double max_span = hi[0] - lo[0];
        for (std::size_t i = 1; i < d; ++i)
            if (hi[i] - lo[i] > max_span) max_span = hi[i] - lo[i];
        double threshold = max_span * 0.99999;
        std::size_t cut = 0;
        double best = -1;
        for (std::size_t i = 0; i < d; ++i) {
            if (hi[i] - lo[i] > threshold) {
                double mn, mx;
                extent(left, right, i, mn, mx);
                if (mx - mn > best) {
                    cut = i;
                    best = mx - mn;
                }
            }
        }
        double split = (lo[cut] + hi[cut]) * 0.5, mn, mx;
        extent(left, right, cut, mn, mx);
        double cut_val = split < mn ? mn : (mx < split ? mx : split);

        std::size_t count = right - left, l = 0, r = count - 1;
        auto cv = [&](std::size_t p) { return c(left + p, cut); };
        auto sw = [&](std::size_t a, std::size_t b) { std::swap(perm[left + a], perm[left + b]); };
        for (;;) {
            while (l <= r && cv(l) < cut_val) ++l;
            while (r != 0 && l <= r && cv(r) >= cut_val) --r;
            if (l > r || r == 0) break;
            sw(l, r);
            ++l;
            --r;
        }
        std::size_t lim1 = l;
        r = count - 1;
        for (;;) {
            while (l <= r && cv(l) <= cut_val) ++l;
            while (r != 0 && l <= r && cv(r) > cut_val) --r;
            if (l > r || r == 0) break;
            sw(l, r);
            ++l;
            --r;
        }
        std::size_t lim2 = l, half = count / 2;
        std::size_t split_at = lim1 > half ? lim1 : (lim2 < half ? lim2 : half);

        std::vector<double> lo1 = lo, hi1 = hi;
        hi1[cut] = cut_val;
        std::size_t c1 = divide(left, left + split_at, lo1, hi1);
        std::vector<double> lo2 = lo, hi2 = hi;
        lo2[cut] = cut_val;
        std::size_t c2 = divide(left + split_at, right, lo2, hi2);
        nodes[self] = {false, 0, 0, cut, hi1[cut], lo2[cut], c1, c2};
        for (std::size_t i = 0; i < d; ++i) {
            lo[i] = std::fmin(lo1[i], lo2[i]);
            hi[i] = std::fmax(hi1[i], hi2[i]);
        }
        return self;
    }

    struct Knn {
        std::size_t k, count = 0;
        std::vector<std::uint64_t> idx;
        std::vector<double> dist;
        explicit Knn(std::size_t cap) : k(cap), idx(cap), dist(cap) {
            if (k) dist[k - 1] = kMax;
        }
        double worst() const { return dist[k - 1]; }
        void offer(std::uint64_t j, double dd) {
            std::size_t i = count;
            while (i > 0 && dist[i - 1] > dd) {
                if (i < k) {
                    dist[i] = dist[i - 1];
                    idx[i] = idx[i - 1];
                }
                --i;
            }
            if (i < k) {
                dist[i] = dd;
                idx[i] = j;
            }
            if (count < k) ++count;
        }
    };
    struct Radius {
        double r2;
        std::vector<Neighbor> hits;
        double worst() const { return r2; }
        void offer(std::uint64_t j, double dd) { hits.push_back({j, dd}); }
    };

    template <class Set>
    void visit(std::size_t ni, double m, std::vector<double>& off, const double* q, Set& set) const {
        const Node& nd = nodes[ni];
        if (nd.leaf) {
            double w = set.worst();
            for (std::size_t p = nd.left; p < nd.right; ++p) {
                double dd = ref_distance(q, &coords[perm[p] * d], d);
                if (dd < w) set.offer(perm[p], dd);
            }
            return;
        }
        double v = q[nd.cut], diff1 = v - nd.div_low, diff2 = v - nd.div_high, cut;
        std::size_t near_child, far_child;
        if (diff1 + diff2 < 0) {
            near_child = nd.child1;
            far_child = nd.child2;
            cut = diff2 * diff2;
        } else {
            near_child = nd.child2;
            far_child = nd.child1;
            cut = diff1 * diff1;
        }
        visit(near_child, m, off, q, set);
        double saved = off[nd.cut];
        double m2 = (m + cut) - saved;
        off[nd.cut] = cut;
        double w = set.worst();
        if (m2 <= w) visit(far_child, m2, off, q, set);
        off[nd.cut] = saved;
    }

    template <class Set>
    void search(const double* q, Set& set) const {
        if (perm.empty()) return;
        std::vector<double> off(d, 0.0);
        double m = 0;
        for (std::size_t i = 0; i < d; ++i) {
            if (q[i] < low[i]) {
                off[i] = (q[i] - low[i]) * (q[i] - low[i]);
                m += off[i];
            }
            if (q[i] > high[i]) {
                off[i] = (q[i] - high[i]) * (q[i] - high[i]);
                m += off[i];
            }
        }
        visit(0, m, off, q, set);
    }

    // Capacity min(k, n + 1): above n the set can never fill, exactly as with capacity k.
    long knn(const double* q, long k, std::vector<std::uint64_t>& idx, std::vector<double>& dist) const {
        std::size_t cap = std::min<std::size_t>(static_cast<std::size_t>(k), n + 1);
        idx.clear();
        dist.clear();
        if (cap == 0) return 0;
        Knn set(cap);
        search(q, set);
        idx.assign(set.idx.begin(), set.idx.begin() + set.count);
        dist.assign(set.dist.begin(), set.dist.begin() + set.count);
        return static_cast<long>(set.count);
    }
    long radius(const double* q, double r, std::vector<std::uint64_t>& idx, std::vector<double>& dist) const {
        Radius set{r * r, {}};
        search(q, set);
        ref_sort(set.hits, [](const Neighbor& h) { return h.dist2; });
        idx.clear();
        dist.clear();
        for (const Neighbor& h : set.hits) {
            idx.push_back(h.index);
            dist.push_back(h.dist2);
        }
        return static_cast<long>(idx.size());
    }
    long hybrid(const double* q, double r, long max_nn, std::vector<std::uint64_t>& idx,
                std::vector<double>& dist) const {
        knn(q, max_nn, idx, dist);
        std::size_t keep = 0;
        while (keep < dist.size() && dist[keep] < r * r) ++keep;
        idx.resize(keep);
        dist.resize(keep);
        return static_cast<long>(keep);
    }
};

// ---------------------------------------------------------------------------------------------
// Data sets and queries

struct DataSet {
    std::string name;
    std::size_t d, n;
    std::vector<double> coords;
};

double uniform(std::mt19937_64& rng) { return std::ldexp(static_cast<double>(rng() >> 11), -53); }

DataSet make_data(const std::string& kind, std::size_t d, std::size_t n, std::mt19937_64& rng) {
    DataSet s{kind + " d=" + std::to_string(d) + " n=" + std::to_string(n), d, n, std::vector<double>(n * d)};
    for (std::size_t j = 0; j < n; ++j) {
        double* p = &s.coords[j * d];
        for (std::size_t c = 0; c < d; ++c) {
            if (kind == "grid") p[c] = static_cast<double>(rng() % 6);
            else if (kind == "flat") p[c] = c == 0 ? uniform(rng) : 0.25;  // one spread dimension
            else p[c] = uniform(rng) * 2.0 - 1.0;
        }
        if (kind == "dups" && j >= 8) {  // every point repeats one of a few earlier ones
            std::size_t src = rng() % 8;
            std::copy_n(&s.coords[src * d], d, p);
        }
        if (kind == "nonfinite" && rng() % 10 == 0) {
            const double bad[] = {kNaN, kInf, -kInf};
            p[rng() % d] = bad[rng() % 3];
        }
        if (kind == "clustered" && j % 3 == 0) {  // tight clusters far apart
            for (std::size_t c = 0; c < d; ++c) p[c] = std::round(p[c] * 2.0) * 1000.0 + p[c] * 1e-9;
        }
    }
    return s;
}

std::vector<std::vector<double>> make_queries(const DataSet& s, std::size_t count, std::mt19937_64& rng) {
    std::vector<std::vector<double>> qs;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<double> q(s.d);
        const int kind = static_cast<int>(i % 5);
        for (std::size_t c = 0; c < s.d; ++c) {
            if (kind == 0) q[c] = uniform(rng) * 2.0 - 1.0;
            else if (kind == 1) q[c] = s.coords[(rng() % s.n) * s.d + c];      // a data point
            else if (kind == 2) q[c] = static_cast<double>(rng() % 7) - 0.5;  // grid-ish, off-grid
            else if (kind == 3) q[c] = static_cast<double>(rng() % 6);        // on the grid
            else q[c] = (uniform(rng) - 0.5) * 40.0;                          // mostly outside
        }
        qs.push_back(q);
    }
    std::vector<double> nan_q(s.d, 0.25), inf_q(s.d, 0.25);
    nan_q[s.d / 2] = kNaN;
    inf_q[0] = kInf;
    qs.push_back(nan_q);
    qs.push_back(inf_q);
    return qs;
}

// Brute force: ascending distances of the finite points, by distance only.
std::vector<double> brute_distances(const DataSet& s, const double* q) {
    std::vector<double> out;
    for (std::size_t j = 0; j < s.n; ++j) {
        const double* p = &s.coords[j * s.d];
        if (!finite_point(p, s.d)) continue;
        out.push_back(ref_distance(q, p, s.d));
    }
    return out;
}

bool all_same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same_bits(a[i], b[i])) return false;
    return true;
}

// A result is sound when its indices are distinct finite points whose distances are the ones
// reported, and the reported distances are the expected ascending prefix.
bool sound_result(const DataSet& s, const double* q, const std::vector<std::uint64_t>& idx,
                  const std::vector<double>& dist, const std::vector<double>& expected) {
    if (idx.size() != dist.size() || dist.size() != expected.size()) return false;
    std::vector<std::uint64_t> sorted = idx;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return false;
    for (std::size_t i = 0; i < idx.size(); ++i) {
        if (idx[i] >= s.n) return false;
        const double* p = &s.coords[idx[i] * s.d];
        if (!finite_point(p, s.d) || !same_bits(ref_distance(q, p, s.d), dist[i])) return false;
        if (!same_bits(dist[i], expected[i])) return false;
    }
    return true;
}

void check_tree_shape(const KDTree& tree, const DataSet& s, const RefTree& ref) {
    const std::string& name = s.name;
    std::vector<std::uint32_t> perm(tree.permutation().begin(), tree.permutation().end());
    expect(perm == ref.perm, name + ": permutation equals the model's");
    expect(tree.nodes().size() == ref.nodes.size(), name + ": node count equals the model's");
    bool shape = tree.nodes().size() == ref.nodes.size();
    for (std::size_t i = 0; shape && i < ref.nodes.size(); ++i) {
        const KDTree::Node& a = tree.nodes()[i];
        const RefTree::Node& b = ref.nodes[i];
        if (b.leaf) {
            shape = a.dim == KDTree::Node::kLeaf && a.u.leaf.begin == b.left && a.u.leaf.end == b.right;
        } else {
            shape = a.dim == b.cut && b.child1 == i + 1 && a.child2 == b.child2 &&
                    same_bits(a.u.div.low, b.div_low) && same_bits(a.u.div.high, b.div_high);
        }
    }
    expect(shape, name + ": nodes equal the model's (pre-order, cut, div_low/high)");

    // Independent of the model: leaves tile the permutation in pre-order, hold at most 15
    // points, and each split's bounds are the extremes of its children's points.
    std::size_t next = 0;
    bool tiles = true, bounds = true;
    std::function<std::size_t(std::size_t)> subtree_end = [&](std::size_t ni) -> std::size_t {
        const KDTree::Node& nd = tree.nodes()[ni];
        if (nd.dim == KDTree::Node::kLeaf) return ni + 1;
        return subtree_end(nd.child2);
    };
    // Extent of a subtree's points along one dimension.
    std::function<void(std::size_t, std::size_t, double&, double&)> extent = [&](std::size_t ni, std::size_t c,
                                                                                 double& lo, double& hi) {
        const KDTree::Node& nd = tree.nodes()[ni];
        if (nd.dim == KDTree::Node::kLeaf) {
            for (std::uint32_t p = nd.u.leaf.begin; p < nd.u.leaf.end; ++p) {
                double v = s.coords[perm[p] * s.d + c];
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            return;
        }
        extent(ni + 1, c, lo, hi);
        extent(nd.child2, c, lo, hi);
    };
    for (std::size_t ni = 0; ni < tree.nodes().size(); ++ni) {
        const KDTree::Node& nd = tree.nodes()[ni];
        if (nd.dim == KDTree::Node::kLeaf) {
            tiles = tiles && nd.u.leaf.begin == next && nd.u.leaf.end > nd.u.leaf.begin &&
                    nd.u.leaf.end - nd.u.leaf.begin <= 15;
            next = nd.u.leaf.end;
        } else {
            tiles = tiles && nd.child2 == subtree_end(ni + 1);
            double lo1 = kInf, hi1 = -kInf, lo2 = kInf, hi2 = -kInf;
            extent(ni + 1, nd.dim, lo1, hi1);
            extent(nd.child2, nd.dim, lo2, hi2);
            bounds = bounds && same_bits(nd.u.div.low, hi1) && same_bits(nd.u.div.high, lo2);
        }
    }
    tiles = tiles && next == perm.size();
    expect(tiles, name + ": leaves tile the permutation in pre-order, at most 15 points each");
    expect(bounds, name + ": div_low/div_high are the children's extreme coordinates");
}

void check_queries(const DataSet& s, std::mt19937_64& rng, std::size_t nq) {
    KDTree tree;
    expect(tree.build(s.coords.data(), s.d, s.n), s.name + ": build returns true");
    expect(tree.dimension() == s.d && tree.size() == s.n, s.name + ": dimension and size");
    RefTree ref;
    ref.build(s.coords, s.d, s.n);
    check_tree_shape(tree, s, ref);

    const std::size_t m = ref.perm.size();
    const std::vector<long> ks = {0, 1, 2, 3, 7, 15, 16, 17, 30, static_cast<long>(m) - 1, static_cast<long>(m),
                                  static_cast<long>(s.n) + 5, 1L << 40};
    const std::vector<double> radii = {0.0, -0.3, 0.3, 1.0, 2.0, 1e300, kNaN, kInf};

    std::vector<std::uint64_t> idx, ridx;
    std::vector<double> dist, rdist;
    std::vector<std::uint32_t> fidx;
    std::vector<double> fdist;
    std::vector<Neighbor> hits;
    bool knn_ok = true, knn_model = true, knn_fast = true, radius_ok = true, radius_model = true, radius_fast = true,
         hybrid_ok = true, hybrid_model = true, hybrid_fast = true;
    for (const std::vector<double>& q : make_queries(s, nq, rng)) {
        std::vector<double> all = brute_distances(s, q.data());
        std::vector<double> finite_sorted;
        for (double v : all)
            if (v < kMax) finite_sorted.push_back(v);
        std::sort(finite_sorted.begin(), finite_sorted.end());

        for (long k : ks) {
            if (k < 0) continue;
            idx.assign(3, 99);  // stale contents must be cleared
            dist.assign(3, -1.0);
            long count = tree.knn(q.data(), s.d, k, idx, dist);
            std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(k), finite_sorted.size());
            std::vector<double> expected(finite_sorted.begin(), finite_sorted.begin() + want);
            knn_ok = knn_ok && count == static_cast<long>(want) && sound_result(s, q.data(), idx, dist, expected);
            ref.knn(q.data(), k, ridx, rdist);
            knn_model = knn_model && idx == ridx && all_same_bits(dist, rdist);
            if (static_cast<std::size_t>(k) <= s.n + 5) {
                fidx.assign(static_cast<std::size_t>(k) + 1, 0xABCDu);
                fdist.assign(static_cast<std::size_t>(k) + 1, -2.0);
                std::size_t fc = tree.search_knn(q.data(), static_cast<std::size_t>(k), fidx.data(), fdist.data());
                bool same = fc == static_cast<std::size_t>(count) && fidx[k] == 0xABCDu;  // capacity respected
                for (std::size_t i = 0; same && i < fc; ++i) same = fidx[i] == idx[i] && same_bits(fdist[i], dist[i]);
                knn_fast = knn_fast && same;
            }
        }
        for (double r : radii) {
            idx.assign(2, 7);
            long count = tree.radius(q.data(), s.d, r, idx, dist);
            std::vector<double> expected;
            for (double v : finite_sorted)
                if (v < r * r) expected.push_back(v);
            radius_ok = radius_ok && count == static_cast<long>(expected.size()) &&
                        sound_result(s, q.data(), idx, dist, expected);
            ref.radius(q.data(), r, ridx, rdist);
            radius_model = radius_model && idx == ridx && all_same_bits(dist, rdist);
            std::size_t fc = tree.search_radius(q.data(), r, hits);
            bool same = fc == idx.size() && hits.size() == fc;
            for (std::size_t i = 0; same && i < fc; ++i)
                same = hits[i].index == idx[i] && same_bits(hits[i].dist2, dist[i]);
            radius_fast = radius_fast && same;

            for (long max_nn : {0L, 1L, 5L, 30L, static_cast<long>(s.n) + 1}) {
                long hc = tree.hybrid(q.data(), s.d, r, max_nn, idx, dist);
                std::vector<double> hexp;
                for (std::size_t i = 0; i < expected.size() && static_cast<long>(i) < max_nn; ++i)
                    hexp.push_back(expected[i]);
                hybrid_ok = hybrid_ok && hc == static_cast<long>(hexp.size()) &&
                            sound_result(s, q.data(), idx, dist, hexp);
                ref.hybrid(q.data(), r, max_nn, ridx, rdist);
                hybrid_model = hybrid_model && idx == ridx && all_same_bits(dist, rdist);
                fidx.assign(static_cast<std::size_t>(max_nn) + 1, 0xABCDu);
                fdist.assign(static_cast<std::size_t>(max_nn) + 1, -2.0);
                std::size_t fc2 = tree.search_hybrid(q.data(), r, static_cast<std::size_t>(max_nn), fidx.data(),
                                                     fdist.data());
                bool fsame = fc2 == static_cast<std::size_t>(hc);
                for (std::size_t i = 0; fsame && i < fc2; ++i)
                    fsame = fidx[i] == idx[i] && same_bits(fdist[i], dist[i]);
                hybrid_fast = hybrid_fast && fsame;
            }
        }
    }
    expect(knn_ok, s.name + ": knn set and distances match brute force");
    expect(knn_model, s.name + ": knn order matches the model");
    expect(knn_fast, s.name + ": search_knn matches knn");
    expect(radius_ok, s.name + ": radius set and distances match brute force");
    expect(radius_model, s.name + ": radius order matches the model");
    expect(radius_fast, s.name + ": search_radius matches radius");
    expect(hybrid_ok, s.name + ": hybrid matches brute force");
    expect(hybrid_model, s.name + ": hybrid order matches the model");
    expect(hybrid_fast, s.name + ": search_hybrid matches hybrid");
}

// Non-finite points never change what the finite points answer: the index over all points
// answers exactly as the index over only the finite ones, with point numbers mapped back.
void check_nonfinite_transparent(const DataSet& s, std::mt19937_64& rng) {
    std::vector<double> finite_coords;
    std::vector<std::uint64_t> number;
    for (std::size_t j = 0; j < s.n; ++j) {
        if (!finite_point(&s.coords[j * s.d], s.d)) continue;
        finite_coords.insert(finite_coords.end(), &s.coords[j * s.d], &s.coords[j * s.d] + s.d);
        number.push_back(j);
    }
    KDTree all, only;
    all.build(s.coords.data(), s.d, s.n);
    only.build(finite_coords.data(), s.d, number.size());
    bool same = true;
    std::vector<std::uint64_t> i1, i2;
    std::vector<double> d1, d2;
    for (const std::vector<double>& q : make_queries(s, 60, rng)) {
        for (int form = 0; form < 3; ++form) {
            long c1 = form == 0 ? all.knn(q.data(), s.d, 40, i1, d1)
                    : form == 1 ? all.radius(q.data(), s.d, 0.8, i1, d1)
                                : all.hybrid(q.data(), s.d, 0.8, 25, i1, d1);
            long c2 = form == 0 ? only.knn(q.data(), s.d, 40, i2, d2)
                    : form == 1 ? only.radius(q.data(), s.d, 0.8, i2, d2)
                                : only.hybrid(q.data(), s.d, 0.8, 25, i2, d2);
            for (std::uint64_t& i : i2) i = number[i];
            same = same && c1 == c2 && i1 == i2 && all_same_bits(d1, d2);
        }
    }
    expect(same, s.name + ": non-finite points are transparent to every query form");
}

void check_documented_edges() {
    std::vector<std::uint64_t> idx;
    std::vector<double> dist;
    const double q3[3] = {0, 0, 0};

    // -1 leaves the outputs untouched.
    auto untouched_minus_one = [&](long got, const std::string& what) {
        expect(got == -1 && idx.size() == 1 && idx[0] == 42 && dist.size() == 1 && dist[0] == 4.5, what);
    };
    {
        KDTree never;
        idx.assign(1, 42);
        dist.assign(1, 4.5);
        untouched_minus_one(never.knn(q3, 3, 1, idx, dist), "never built: knn -1");
        untouched_minus_one(never.radius(q3, 3, 1.0, idx, dist), "never built: radius -1");
        untouched_minus_one(never.hybrid(q3, 3, 1.0, 1, idx, dist), "never built: hybrid -1");
        expect(never.dimension() == 0 && never.size() == 0, "never built: dimension and size 0");
        const double one = 1.0;
        expect(!never.build(&one, 3, 0), "build from n=0 returns false");
        untouched_minus_one(never.knn(q3, 3, 1, idx, dist), "built from n=0: knn -1");
        expect(!never.build(&one, 0, 1), "build from d=0 returns false");
        untouched_minus_one(never.radius(q3, 0, 1.0, idx, dist), "built from d=0: radius -1");
        expect(!never.build_from_points({}), "build_from_points of nothing returns false");
    }
    {
        std::vector<Vector3d> pts = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
        KDTree t;
        expect(t.build_from_points(pts), "build_from_points returns true");
        idx.assign(1, 42);
        dist.assign(1, 4.5);
        untouched_minus_one(t.knn(q3, 2, 1, idx, dist), "wrong query length: knn -1");
        untouched_minus_one(t.radius(q3, 4, 1.0, idx, dist), "wrong query length: radius -1");
        untouched_minus_one(t.hybrid(q3, 2, 1.0, 1, idx, dist), "wrong query length: hybrid -1");
        untouched_minus_one(t.knn(q3, 3, -1, idx, dist), "negative k: -1");
        untouched_minus_one(t.hybrid(q3, 3, 1.0, -1, idx, dist), "negative max_nn: -1");
        expect(t.knn(q3, 3, 0, idx, dist) == 0 && idx.empty() && dist.empty(), "k=0: count 0, outputs cleared");
        idx.assign(1, 42);
        expect(t.hybrid(q3, 3, 1.0, 0, idx, dist) == 0 && idx.empty(), "max_nn=0: count 0");
        // A point exactly at the radius is outside it.
        expect(t.radius(q3, 3, 1.0, idx, dist) == 1 && idx[0] == 0, "distance equal to r*r is excluded");
        expect(t.radius(q3, 3, -1.5, idx, dist) == 3, "negative radius acts as its magnitude");
        expect(t.radius(q3, 3, 0.0, idx, dist) == 0, "r=0 returns nothing, even for a point at the query");
        // Rebuilding replaces everything.
        std::vector<Vector3d> moved = {{5, 5, 5}};
        t.build_from_points(moved);
        expect(t.size() == 1 && t.knn(q3, 3, 5, idx, dist) == 1 && dist[0] == 75.0, "rebuild replaces the index");
    }
    {
        // Only non-finite points: still built (dimension and size kept), every query answers 0.
        std::vector<double> bad = {kNaN, 0, 0, 1, kInf, 0, 0, 0, -kInf, kNaN, kNaN, kNaN};
        KDTree t;
        expect(t.build(bad.data(), 3, 4), "all non-finite: build returns true");
        expect(t.dimension() == 3 && t.size() == 4, "all non-finite: dimension and size kept");
        idx.assign(1, 42);
        expect(t.knn(q3, 3, 3, idx, dist) == 0 && idx.empty(), "all non-finite: knn 0");
        expect(t.radius(q3, 3, kInf, idx, dist) == 0, "all non-finite: radius 0");
        expect(t.hybrid(q3, 3, kInf, 3, idx, dist) == 0, "all non-finite: hybrid 0");
        expect(t.knn(q3, 2, 3, idx, dist) == -1, "all non-finite: wrong length still -1");
        std::uint32_t fi[3];
        double fd[3];
        std::vector<Neighbor> hits(2);
        expect(t.search_knn(q3, 3, fi, fd) == 0 && t.search_radius(q3, 1e9, hits) == 0 && hits.empty() &&
                   t.search_hybrid(q3, 1e9, 3, fi, fd) == 0,
               "all non-finite: fast entry points 0");
    }
    {
        // A NaN point must not hide a finite one: with the NaN point first, the tree would
        // otherwise have a NaN root box.
        std::vector<double> xs = {kNaN, kNaN, kNaN};
        for (int j = 0; j < 100; ++j) {
            xs.push_back(j);
            xs.push_back(0);
            xs.push_back(0);
        }
        KDTree t;
        t.build(xs.data(), 3, 101);
        const double q[3] = {41.2, 0, 0};
        expect(t.knn(q, 3, 2, idx, dist) == 2 && idx[0] == 42 && idx[1] == 43, "finite points found past a NaN point");
    }
    // Single leaf (n <= 15): permutation stays in point order and ties come out in point order.
    for (std::size_t n : {1, 2, 8, 15}) {
        std::vector<double> xs;
        for (std::size_t j = 0; j < n; ++j) {
            const double v = (j % 2) ? 1.0 : -1.0;  // every point at squared distance 1 from 0
            xs.insert(xs.end(), {v * (j % 3 == 0), v * (j % 3 == 1), v * (j % 3 == 2)});
        }
        KDTree t;
        t.build(xs.data(), 3, n);
        bool in_order = t.nodes().size() == 1;
        for (std::size_t j = 0; j < n; ++j) in_order = in_order && t.permutation()[j] == j;
        expect(in_order, "single leaf: permutation is point order, n=" + std::to_string(n));
        std::vector<std::uint64_t> expected(n);
        std::iota(expected.begin(), expected.end(), 0);
        t.knn(q3, 3, static_cast<long>(n), idx, dist);
        expect(idx == expected, "single leaf: knn ties in point order, n=" + std::to_string(n));
        t.radius(q3, 3, 2.0, idx, dist);
        expect(idx == expected, "single leaf: radius ties in point order, n=" + std::to_string(n));
    }
    {
        // 17 equal-distance hits in a radius query leave the sort in its documented order; the
        // knn of the same data keeps traversal (here point) order.
        std::vector<double> xs;
        for (int j = 0; j < 17; ++j) xs.insert(xs.end(), {0.0, 0.0, 0.0});
        KDTree t;
        t.build(xs.data(), 3, 17);
        t.radius(q3, 3, 1.0, idx, dist);
        // The root splits [0, 8) | [8, 17) at 0 without swaps; a query on the cut value visits
        // the second child first (diff1 + diff2 < 0 is false).
        std::vector<std::uint64_t> traversal = {8, 9, 10, 11, 12, 13, 14, 15, 16, 0, 1, 2, 3, 4, 5, 6, 7};
        std::vector<std::uint64_t> expected;
        for (std::uint64_t p : {8, 16, 15, 14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1}) expected.push_back(traversal[p]);
        expect(idx == expected, "radius: 17 duplicate hits in the sort's equal-key order");
        t.knn(q3, 3, 17, idx, dist);
        expect(idx == traversal, "knn: duplicates in traversal order");
        t.knn(q3, 3, 20, idx, dist);
        expect(idx.size() == 17, "knn: k > n returns n entries");
    }
    {
        // d=33 grouping: the sum over 33 components in groups of four differs from a plain
        // left-to-right sum in its last bits for these values; the index must use the groups.
        std::vector<double> p(33), q(33, 0.0);
        for (std::size_t i = 0; i < 33; ++i) p[i] = 1.0 + std::ldexp(1.0, -30) * static_cast<double>(i * i % 7) + 1e-3 * i;
        KDTree t;
        t.build(p.data(), 33, 1);
        t.knn(q.data(), 33, 1, idx, dist);
        double plain = 0;
        for (double v : p) plain += v * v;
        expect(dist.size() == 1 && same_bits(dist[0], ref_distance(q.data(), p.data(), 33)),
               "d=33: grouped squared distance");
        if (!same_bits(plain, ref_distance(q.data(), p.data(), 33)))
            expect(!same_bits(dist[0], plain), "d=33: not the plain left-to-right sum");
    }
}

// Concurrent queries on one shared index give the same answers as sequential ones.
void check_threads(std::mt19937_64& rng) {
    DataSet s = make_data("uniform", 3, 3000, rng);
    DataSet x = make_data("uniform", 33, 800, rng);
    KDTree t3, t33;
    t3.build(s.coords.data(), 3, s.n);
    t33.build(x.coords.data(), 33, x.n);
    auto q3 = make_queries(s, 200, rng);
    auto q33 = make_queries(x, 100, rng);
    auto run = [&](std::vector<std::vector<std::uint64_t>>& out) {
        std::vector<std::uint64_t> idx;
        std::vector<double> dist;
        for (const auto& q : q3) {
            t3.radius(q.data(), 3, 0.3, idx, dist);
            out.push_back(idx);
            t3.knn(q.data(), 3, 20, idx, dist);
            out.push_back(idx);
        }
        for (const auto& q : q33) {
            t33.radius(q.data(), 33, 2.4, idx, dist);
            out.push_back(idx);
            t33.hybrid(q.data(), 33, 2.4, 10, idx, dist);
            out.push_back(idx);
        }
    };
    std::vector<std::vector<std::uint64_t>> base, a, b;
    run(base);
    std::thread ta([&] { run(a); });
    std::thread tb([&] { run(b); });
    ta.join();
    tb.join();
    expect(a == base && b == base, "concurrent queries equal sequential ones");
}

}  // namespace

// Searches bounded by a distance against the plain search: the leading entries below the
// bound, the same points in the same order, for every point of a cloud and for shifted queries.
void check_bounded(const DataSet& s) {
    if (s.d != 3) return;
    KDTree tree;
    if (!tree.build(s.coords.data(), 3, s.n)) return;
    for (const std::size_t k : {std::size_t{1}, std::size_t{8}, std::size_t{30}}) {
        for (const double below : {1e-4, 1e-3, 0.02, 1.0}) {
            std::vector<std::uint32_t> idx(k), bounded_idx(k);
            std::vector<double> d2(k), bounded_d2(k);
            bool same = true;
            for (std::size_t j = 0; j < 2 * s.n && same; ++j) {
                double q[3];
                for (int c = 0; c < 3; ++c) q[c] = s.coords[3 * (j % s.n) + c] + (j < s.n ? 0.0 : 0.01 * (c + 1));
                const std::size_t plain = tree.search_knn(q, k, idx.data(), d2.data());
                std::size_t keep = 0;
                while (keep < plain && d2[keep] < below) ++keep;
                const std::size_t found = tree.search_knn_below(q, k, below, bounded_idx.data(), bounded_d2.data());
                same = found == keep && std::equal(idx.begin(), idx.begin() + keep, bounded_idx.begin()) &&
                       std::equal(d2.begin(), d2.begin() + keep, bounded_d2.begin());
            }
            expect(same, s.name + ": search bounded by " + std::to_string(below) + ", k=" + std::to_string(k));
        }
    }
}

// The batched k-nearest of the tree's own points against one plain search per point, with
// several run lengths (a run may start and end inside a leaf).
void check_indexed(const DataSet& s) {
    KDTree tree;
    if (!tree.build(s.coords.data(), s.d, s.n)) return;
    const auto perm = tree.permutation();
    const std::size_t m = perm.size();
    for (const std::size_t k : {std::size_t{1}, std::size_t{3}, std::size_t{12}, std::size_t{13}, std::size_t{30},
                                s.n, s.n + 5}) {
        for (const std::size_t run : {std::size_t{1}, std::size_t{7}, std::size_t{64}, m}) {
            // Whole-cloud neighbourhoods cost n^2 a pass: one run length, small clouds only.
            if (run == 0 || (k >= s.n && (run != m || s.n > 1500))) continue;
            std::vector<std::uint32_t> idx(run * k), plain_idx(k), counts(run);
            std::vector<double> d2(run * k), plain_d2(k);
            bool same = true;
            for (std::size_t first = 0; first < m && same; first += run) {
                const std::size_t last = std::min(m, first + run);
                tree.search_knn_indexed(first, last, k, idx.data(), d2.data(), counts.data());
                for (std::size_t pos = first; pos < last && same; ++pos) {
                    const std::size_t o = pos - first;
                    const std::size_t found =
                        tree.search_knn(&s.coords[perm[pos] * s.d], k, plain_idx.data(), plain_d2.data());
                    same = counts[o] == found &&
                           std::equal(plain_idx.begin(), plain_idx.begin() + found, idx.begin() + o * k) &&
                           std::memcmp(plain_d2.data(), d2.data() + o * k, found * sizeof(double)) == 0;
                }
            }
            expect(same, s.name + ": batched k-nearest of the indexed points, k=" + std::to_string(k) +
                             ", runs of " + std::to_string(run));
        }
    }
}

// Clouds where the batched search's shortcut and its refusals both matter: a sampled sphere
// surface, a jittered lattice (near-ties at every scale), and coordinates whose squared
// distances overflow.
void check_indexed_surfaces(std::mt19937_64& rng) {
    const std::size_t n = 3000;
    DataSet sphere{"sphere n=3000", 3, n, std::vector<double>(3 * n)};
    DataSet lattice{"jittered lattice n=3000", 3, n, std::vector<double>(3 * n)};
    DataSet huge{"huge coordinates n=3000", 3, n, std::vector<double>(3 * n)};
    for (std::size_t j = 0; j < n; ++j) {
        double v[3], len = 0;
        for (double& c : v) {
            c = uniform(rng) * 2.0 - 1.0;
            len += c * c;
        }
        len = std::sqrt(len);
        for (int c = 0; c < 3; ++c) {
            sphere.coords[3 * j + c] = v[c] / len;
            lattice.coords[3 * j + c] = static_cast<double>((j / (c == 0 ? 1 : c == 1 ? 15 : 225)) % 15) +
                                        (rng() % 4 == 0 ? std::ldexp(uniform(rng), -40) : 0.0);
            huge.coords[3 * j + c] = (uniform(rng) * 2.0 - 1.0) * 1e160;
        }
    }
    check_indexed(sphere);
    check_indexed(lattice);
    check_indexed(huge);
}

// Tree shapes against the reference at sizes around the partition's block boundaries, where
// the two ends of a scan meet in every possible state.
void check_shapes_by_size(std::mt19937_64& rng) {
    for (const char* kind : {"uniform", "grid", "dups", "flat"})
        for (std::size_t n : {127, 128, 129, 130, 191, 192, 193, 255, 256, 257, 258, 383, 384, 385, 1000, 4099}) {
            const DataSet s = make_data(kind, 3, n, rng);
            KDTree tree;
            tree.build(s.coords.data(), 3, n);
            RefTree ref;
            ref.build(s.coords, 3, n);
            check_tree_shape(tree, s, ref);
        }
}

int main() {
    check_sort();
    check_documented_edges();

    std::mt19937_64 rng(20240611);
    struct Plan {
        const char* kind;
        std::size_t d, n, queries;
    };
    const Plan plans[] = {
        {"uniform", 3, 2500, 60},   {"grid", 3, 3000, 60},     {"dups", 3, 1200, 40},
        {"nonfinite", 3, 2000, 60}, {"clustered", 3, 1500, 40}, {"flat", 3, 600, 30},
        {"uniform", 33, 1500, 30},  {"grid", 33, 1000, 30},     {"nonfinite", 33, 1200, 30},
        {"dups", 33, 400, 20},      {"uniform", 1, 300, 30},    {"grid", 2, 700, 30},
        {"uniform", 4, 500, 30},    {"grid", 5, 600, 30},       {"uniform", 7, 400, 30},
        {"uniform", 3, 15, 30},     {"uniform", 3, 16, 30},     {"grid", 3, 1, 10},
    };
    for (const Plan& p : plans) {
        DataSet s = make_data(p.kind, p.d, p.n, rng);
        check_queries(s, rng, p.queries);
        check_bounded(s);
        check_indexed(s);
        if (std::string(p.kind) == "nonfinite") check_nonfinite_transparent(s, rng);
    }
    check_threads(rng);
    check_shapes_by_size(rng);
    check_indexed_surfaces(rng);

    std::printf("kdtree_check: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
