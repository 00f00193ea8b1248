// Connected components by a lock-free union-find that always hangs the larger root under the
// smaller one. Unions may arrive from many threads in any order: whatever the schedule, every
// component ends with its lowest member as root, so the result is the same for any thread count.
#pragma once
#include <atomic>
#include <cstdint>
#include <vector>

namespace nubiro::segmentation {

class UnionFind {
public:
    explicit UnionFind(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i].store(static_cast<std::uint32_t>(i), std::memory_order_relaxed);
    }

    std::uint32_t find(std::uint32_t x) const {
        for (;;) {
            const std::uint32_t p = parent_[x].load(std::memory_order_acquire);
            if (p == x) return x;
            x = p;
        }
    }

    void unite(std::uint32_t a, std::uint32_t b) {
        for (;;) {
            a = find(a);
            b = find(b);
            if (a == b) return;
            if (a < b) std::swap(a, b);
            std::uint32_t expected = a;  // a is (still) a root: link it under the smaller root b
            if (parent_[a].compare_exchange_strong(expected, b, std::memory_order_acq_rel)) return;
        }
    }

private:
    std::vector<std::atomic<std::uint32_t>> parent_;
};

}  // namespace nubiro::segmentation
