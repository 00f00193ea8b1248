// The fixed sort (core/fixed_sort.hpp) spread over the worker pool, leaving exactly the order the
// sequential sort leaves.
//
// The introsort splits a range at a pivot and then sorts the two parts independently, each
// with the same depth budget; what happens inside a part depends only on its own records. So
// the splits are made level by level (the parts of one level in parallel) until there are
// enough parts to share out and the parts are finished in parallel. For ordered keys each part
// ends fully sorted (see introsort_loop); otherwise the final insertion pass, which can cross
// part boundaries, runs over the whole array on one thread.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/parallel.hpp"
#include "core/fixed_sort.hpp"

namespace nubiro {

template <class T, class Key>
void parallel_fixed_sort(T* records, std::size_t n, const Key& key) {
    using namespace fixed_sort_detail;
    constexpr std::size_t kSequentialBelow = 1 << 15;
    const std::size_t threads = parallel::num_threads();
    if (n < kSequentialBelow || threads == 1) {
        fixed_sort(records, n, key);
        return;
    }
    struct Part {
        T* first;
        T* last;
        std::size_t depth;
    };
    // A part is split further only while it is large; parts of at most kThreshold records are
    // left to the loop below, which treats them as the sequential loop does.
    auto splittable = [](const Part& p) { return static_cast<std::size_t>(p.last - p.first) > kThreshold && p.depth > 0; };
    std::vector<Part> parts{{records, records + n, 2 * floor_log2(n)}};
    // Enough parts to share out, and small enough that a stop request is heard between parts
    // within milliseconds (parts below kSequentialBelow are not split further).
    const std::size_t wanted = std::max(8 * threads, n / kSequentialBelow);
    while (parts.size() < wanted) {
        std::vector<Part> next(2 * parts.size(), Part{nullptr, nullptr, 0});
        bool split_any = false;
        for (const Part& p : parts) split_any = split_any || (splittable(p) && p.last - p.first >= static_cast<std::ptrdiff_t>(kSequentialBelow));
        if (!split_any) break;
        parallel::parallel_for(parts.size(), [&](std::size_t i) {
            const Part p = parts[i];
            if (!splittable(p) || p.last - p.first < static_cast<std::ptrdiff_t>(kSequentialBelow)) {
                next[2 * i] = p;
                return;
            }
            move_median_to_first(p.first, p.first + 1, p.first + (p.last - p.first) / 2, p.last - 1, key);
            T* cut = partition(p.first, p.last, key);
            next[2 * i] = {p.first, cut, p.depth - 1};
            next[2 * i + 1] = {cut, p.last, p.depth - 1};
        });
        parts.clear();
        for (const Part& p : next)
            if (p.first) parts.push_back(p);
    }
    // Keys are checked a block at a time; any unordered key sends the ranges to the final pass.
    constexpr std::size_t kCheckBlock = std::size_t{1} << 16;
    std::vector<std::uint8_t> unordered((n + kCheckBlock - 1) / kCheckBlock);
    parallel::parallel_for(unordered.size(), [&](std::size_t b) {
        unordered[b] = has_unordered_key(records + b * kCheckBlock, records + std::min(n, (b + 1) * kCheckBlock), key);
    });
    if (std::find(unordered.begin(), unordered.end(), 1) != unordered.end()) {
        parallel::parallel_for(parts.size(), [&](std::size_t i) {
            introsort_loop<false>(parts[i].first, parts[i].last, parts[i].depth, key);
        });
        final_insertion(records, records + n, key);
    } else {
        parallel::parallel_for(parts.size(), [&](std::size_t i) {
            introsort_loop<true>(parts[i].first, parts[i].last, parts[i].depth, key);
        });
    }
}

}  // namespace nubiro
