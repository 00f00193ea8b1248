// The one sort used wherever equal keys can reach a caller (radius hits, orientation edges).
//
// An unstable introsort whose every step is fixed, so the order of equal keys is a pure
// function of the input: median of three over the second, middle and last record, ranges of
// at most 16 records left to a final insertion sort, a depth limit of 2*floor(log2 n) with a
// heap-sort fallback. In place, no allocation. Records are moved whole; the only comparison
// is IEEE less-than on the key, so a library sort (whose steps may differ between versions)
// must not be substituted.
//
// Recipe: the introsort of GCC's libstdc++ std::sort, followed step for step as it stands in
// GCC 12 (bits/stl_algo.h: __introsort_loop with _S_threshold = 16, __move_median_to_first
// over first + 1, middle and last - 1, __unguarded_partition_pivot, __final_insertion_sort;
// bits/stl_heap.h: __make_heap, __pop_heap and __adjust_heap for the fallback). These steps are
// unchanged since GCC 4.9. Written from the algorithm, not copied; see THIRD_PARTY_NOTICES.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "core/fetch_ahead.hpp"

namespace nubiro {

namespace fixed_sort_detail {

inline constexpr std::size_t kThreshold = 16;

template <class T, class Key>
inline bool less(const T& a, const T& b, const Key& key) {
    return key(a) < key(b);
}

// Max-heap sift of v into the hole at `hole` within the heap of `len` records rooted at f.
// The right child wins ties on the way down; then v is pushed back up.
template <class T, class Key>
void sift(T* f, std::ptrdiff_t hole, std::ptrdiff_t len, T v, const Key& key) {
    const std::ptrdiff_t top = hole;
    std::ptrdiff_t child = hole;
    while (child < (len - 1) / 2) {
        child = 2 * (child + 1);
        if (less(f[child], f[child - 1], key)) --child;
        f[hole] = std::move(f[child]);
        hole = child;
    }
    if ((len & 1) == 0 && child == (len - 2) / 2) {
        child = 2 * (child + 1);
        f[hole] = std::move(f[child - 1]);
        hole = child - 1;
    }
    std::ptrdiff_t parent = (hole - 1) / 2;
    while (hole > top && key(f[parent]) < key(v)) {
        f[hole] = std::move(f[parent]);
        hole = parent;
        parent = (hole - 1) / 2;
    }
    f[hole] = std::move(v);
}

template <class T, class Key>
void heap_sort(T* f, T* l, const Key& key) {
    const std::ptrdiff_t len = l - f;
    if (len >= 2) {
        for (std::ptrdiff_t parent = (len - 2) / 2;; --parent) {
            T v = std::move(f[parent]);
            sift(f, parent, len, std::move(v), key);
            if (parent == 0) break;
        }
    }
    while (l - f > 1) {
        --l;
        T v = std::move(*l);
        *l = std::move(*f);
        sift(f, 0, l - f, std::move(v), key);
    }
}

template <class T, class Key>
void move_median_to_first(T* f, T* a, T* b, T* c, const Key& key) {
    T* m;
    if (less(*a, *b, key)) {
        if (less(*b, *c, key)) m = b;
        else if (less(*a, *c, key)) m = c;
        else m = a;
    } else {
        if (less(*a, *c, key)) m = a;
        else if (less(*b, *c, key)) m = c;
        else m = b;
    }
    std::swap(*f, *m);
}

// The partition around the pivot at f: the records from f + 1 upward that are not less than
// the pivot (left stoppers) are swapped, in order, with the records from l - 1 downward that
// the pivot is not less than (right stoppers), until the next left stopper is not below the
// next right one; that left stopper is the cut.
//
// Every swap leaves the records between its two positions untouched, so the stoppers can be
// found ahead of the swaps. While the unscanned middle holds whole blocks, the stoppers of a
// block of kBlock records at each end are listed without a branch per record (a comparison
// that goes either way at random costs a misprediction in a scan loop), and the k-th listed
// left stopper is swapped with the k-th listed right one: the same pairs as the scan loop,
// in the same order. The rest, from the last swapped pair on, is the scan loop itself.
//
// Neither scan of that loop tests the range ends: the median of three leaves a record that
// stops the left scan, and the pivot at f stops the right scan; a position swapped before
// holds a stopper for the scan that meets it. This holds for NaN keys too, because a scan
// stops on every record for which its less-than is false.
inline constexpr std::ptrdiff_t kBlock = 64;
static_assert(kBlock <= 255, "block offsets are kept in bytes");
// Each block scanned fetches the block as far ahead of it (behind it, on the right) as the
// read-ahead distance, one cache line at a time: the scans stream through large ranges.
inline constexpr std::size_t kLineBytes = 64;

template <class T, class Key>
T* partition(T* f, T* l, const Key& key) {
    const auto pivot = key(*f);
    // Stoppers listed as offsets into their block: from base upward on the left, from base
    // downward (1 = base - 1) on the right; [next, count) are still to be swapped.
    std::uint8_t left_offsets[kBlock], right_offsets[kBlock];
    std::ptrdiff_t left_count = 0, left_next = 0, right_count = 0, right_next = 0;
    T* left_base = f + 1;
    T* right_base = l;
    T* unscanned_first = f + 1;
    T* unscanned_last = l;
    // Where the scan loop takes over: after the last swapped left position, and at the last
    // swapped right position (the loop steps down before it scans).
    T* left = f + 1;
    T* right = l;
    for (;;) {
        if (left_next == left_count) {
            const std::ptrdiff_t needed = right_next == right_count ? 2 * kBlock : kBlock;
            if (unscanned_last - unscanned_first < needed) break;
            left_base = unscanned_first;
            left_count = left_next = 0;
            for (std::size_t b = 0; b < sizeof(T) * kBlock; b += kLineBytes)
                fetch_ahead(reinterpret_cast<const char*>(left_base) + b);
            for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
                left_offsets[left_count] = static_cast<std::uint8_t>(i);
                left_count += !(key(left_base[i]) < pivot);
            }
            unscanned_first += kBlock;
        }
        if (right_next == right_count) {
            if (unscanned_last - unscanned_first < kBlock) break;
            right_base = unscanned_last;
            right_count = right_next = 0;
            for (std::size_t b = 1; b <= sizeof(T) * kBlock; b += kLineBytes)
                fetch_behind(reinterpret_cast<const char*>(right_base) - b);
            for (std::ptrdiff_t i = 1; i <= kBlock; ++i) {
                right_offsets[right_count] = static_cast<std::uint8_t>(i);
                right_count += !(pivot < key(right_base[-i]));
            }
            unscanned_last -= kBlock;
        }
        const std::ptrdiff_t pairs = std::min(left_count - left_next, right_count - right_next);
        if (pairs == 0) continue;
        for (std::ptrdiff_t k = 0; k < pairs; ++k)
            std::swap(left_base[left_offsets[left_next + k]], right_base[-right_offsets[right_next + k]]);
        left_next += pairs;
        right_next += pairs;
        left = left_base + left_offsets[left_next - 1] + 1;
        right = right_base - right_offsets[right_next - 1];
    }
    for (;;) {
        while (key(*left) < pivot) ++left;
        --right;
        while (pivot < key(*right)) --right;
        if (!(left < right)) return left;
        std::swap(*left, *right);
        ++left;
    }
}

// Declared here, defined below with the final pass it belongs to.
template <class T, class Key>
void guarded_insertion(T* f, T* e, const Key& key);

// With kSortRanges, each range the loop leaves at kThreshold records or fewer is insertion-
// sorted at once, while it is in cache and on the thread that partitioned it. For ordered keys
// this is what the final insertion pass does: every record before such a range is not greater
// than any record in it, so the pass moves no record across the range's start. Unordered
// (NaN) keys void that argument, and then the ranges are left to the final pass.
template <bool kSortRanges, class T, class Key>
void introsort_loop(T* f, T* l, std::size_t depth, const Key& key) {
    while (static_cast<std::size_t>(l - f) > kThreshold) {
        if (depth == 0) {
            heap_sort(f, l, key);
            return;
        }
        --depth;
        move_median_to_first(f, f + 1, f + (l - f) / 2, l - 1, key);
        T* cut = partition(f, l, key);
        introsort_loop<kSortRanges>(cut, l, depth, key);
        l = cut;
    }
    if constexpr (kSortRanges) guarded_insertion(f, l, key);
}

// True when some key is unordered (a NaN); keys of other types are always ordered.
template <class T, class Key>
bool has_unordered_key(const T* f, const T* l, const Key& key) {
    using K = std::decay_t<decltype(key(*f))>;
    if constexpr (std::is_floating_point_v<K>) {
        bool unordered = false;
        for (; f != l; ++f) {
            const K k = key(*f);
            unordered |= k != k;
        }
        return unordered;
    } else {
        return false;
    }
}

// Insert position i, scanning down while v is less than its predecessor; stops at `floor`.
// Unordered (NaN) keys can break the guarantee that a smaller record precedes position i,
// so the final pass stops at the sequence start; for ordered keys the bound is never reached
// and the order is the unguarded one.
template <class T, class Key>
void insert_down(T* floor, T* i, const Key& key) {
    T v = std::move(*i);
    T* j = i;
    while (j != floor && key(v) < key(*(j - 1))) {
        *j = std::move(*(j - 1));
        --j;
    }
    *j = std::move(v);
}

template <class T, class Key>
void guarded_insertion(T* f, T* e, const Key& key) {
    if (f == e) return;
    for (T* i = f + 1; i != e; ++i) {
        if (key(*i) < key(*f)) {
            T v = std::move(*i);
            for (T* j = i; j != f; --j) *j = std::move(*(j - 1));
            *f = std::move(v);
        } else {
            // key(v) < key(*f) is false here, so the scan stops at f + 1 at the latest.
            insert_down(f + 1, i, key);
        }
    }
}

template <class T, class Key>
void final_insertion(T* f, T* l, const Key& key) {
    if (static_cast<std::size_t>(l - f) > kThreshold) {
        guarded_insertion(f, f + kThreshold, key);
        for (T* i = f + kThreshold; i != l; ++i) insert_down(f, i, key);
    } else {
        guarded_insertion(f, l, key);
    }
}

inline std::size_t floor_log2(std::size_t n) {
    std::size_t k = 0;
    while (n > 1) {
        n >>= 1;
        ++k;
    }
    return k;
}

}  // namespace fixed_sort_detail

// Sorts records[0, n) ascending by key(record), where key returns a double (or any type with
// operator<). The order of equal keys is fixed by the steps above.
template <class T, class Key>
void fixed_sort(T* records, std::size_t n, const Key& key) {
    using namespace fixed_sort_detail;
    if (n == 0) return;
    const std::size_t depth = 2 * floor_log2(n);
    if (has_unordered_key(records, records + n, key)) {
        introsort_loop<false>(records, records + n, depth, key);
        final_insertion(records, records + n, key);
    } else {
        introsort_loop<true>(records, records + n, depth, key);
    }
}

}  // namespace nubiro
