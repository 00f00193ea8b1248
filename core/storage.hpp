// Growable array of trivially copyable elements whose memory may be lent out.
//
// A NumPy array can be made directly over a Storage's memory (see mark_exported). Such an
// array lives as long as the object that owns the Storage (the array's base object), but the
// Storage itself keeps changing: it may grow, be refilled or be replaced. Releasing the old
// block then would leave the array pointing at freed memory. Instead, a block that has been
// exported is never freed while the Storage lives: whenever it would be replaced, it moves to
// the `retired_` list, which dies with the Storage. Old arrays therefore always point at live
// memory (holding the contents as they were when the block was replaced); blocks never lent
// out are freed as usual, so code that never exports pays nothing.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace nubiro {

// Large blocks are backed by transparent huge pages where the system allows it on request:
// filling a fresh multi-megabyte array otherwise costs one page fault per 4 KiB, which can
// dominate a fast loop (NumPy does the same for its arrays).
inline void advise_huge_pages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t kMin = std::size_t{4} << 20, kPage = 4096;
    if (bytes < kMin) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kPage - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p, (void)bytes;
#endif
}

template <class T>
class Storage {
    static_assert(std::is_trivially_copyable_v<T>, "Storage holds plain data only");

public:
    Storage() = default;
    Storage(const T* first, std::size_t n) { assign(first, n); }
    explicit Storage(std::span<const T> s) { assign(s.data(), s.size()); }
    Storage(const Storage& other) { assign(other.data(), other.size()); }
    Storage& operator=(const Storage& other) {
        if (this != &other) assign(other.data(), other.size());
        return *this;
    }
    Storage(Storage&& other) noexcept { take(other); }
    Storage& operator=(Storage&& other) noexcept {
        if (this != &other) {
            release_block();
            take(other);
        }
        return *this;
    }
    ~Storage() = default;

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return cap_; }
    bool empty() const { return size_ == 0; }
    T* data() { return block_.get(); }
    const T* data() const { return block_.get(); }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    T& operator[](std::size_t i) { return block_[i]; }
    const T& operator[](std::size_t i) const { return block_[i]; }
    std::span<T> span() { return {data(), size_}; }
    std::span<const T> span() const { return {data(), size_}; }
    operator std::span<const T>() const { return span(); }

    // The current block is (or may be) referenced from outside: never free it.
    void mark_exported() const { exported_.store(true, std::memory_order_relaxed); }
    std::size_t retired_blocks() const { return retired_.size(); }

    void clear() { size_ = 0; }

    void reserve(std::size_t n) {
        if (n > cap_) reallocate(n);
    }

    void resize(std::size_t n, const T& fill = T{}) {
        if (n > cap_) reallocate(grown(n));
        for (std::size_t i = size_; i < n; ++i) block_[i] = fill;
        size_ = n;
    }

    // Sets the size to n without initialising new elements (the caller overwrites them all).
    void resize_for_overwrite(std::size_t n) {
        if (n > cap_) reallocate(n);
        size_ = n;
    }

    void push_back(const T& v) {
        T copy = v;  // v may live in this storage
        if (size_ == cap_) reallocate(grown(size_ + 1));
        block_[size_++] = copy;
    }

    void insert(std::size_t pos, const T& v) {
        T copy = v;
        if (size_ == cap_) reallocate(grown(size_ + 1));
        std::memmove(static_cast<void*>(data() + pos + 1), data() + pos, (size_ - pos) * sizeof(T));
        block_[pos] = copy;
        ++size_;
    }

    void erase(std::size_t pos) {
        std::memmove(static_cast<void*>(data() + pos), data() + pos + 1, (size_ - pos - 1) * sizeof(T));
        --size_;
    }

    // Appends n elements; `first` may point into this storage.
    void append(const T* first, std::size_t n) {
        if (n == 0) return;
        if (size_ + n > cap_) {
            std::unique_ptr<T[]> keep;  // keeps `first` readable across the reallocation
            const bool aliases = first >= data() && first < data() + cap_;
            reallocate(grown(size_ + n), aliases ? &keep : nullptr);
        }
        std::memmove(static_cast<void*>(data() + size_), first, n * sizeof(T));
        size_ += n;
    }

    // Replaces the contents with n elements; `first` may point into this storage.
    void assign(const T* first, std::size_t n) {
        if (n > cap_) {
            std::unique_ptr<T[]> keep;
            const bool aliases = first >= data() && first < data() + cap_;
            reallocate_empty(n, aliases ? &keep : nullptr);
        }
        if (n) std::memmove(static_cast<void*>(data()), first, n * sizeof(T));
        size_ = n;
    }
    void assign(std::span<const T> s) { assign(s.data(), s.size()); }

    // Takes over a freshly computed result (e.g. from a core algorithm).
    void assign(std::vector<T>&& v) { assign(v.data(), v.size()); }

private:
    static std::size_t grown(std::size_t need) { return std::max<std::size_t>(need, 2 * need > 8 ? need + need / 2 : 8); }

    // Moves to a new block of capacity n, keeping the elements.
    void reallocate(std::size_t n, std::unique_ptr<T[]>* keep_old = nullptr) {
        std::unique_ptr<T[]> fresh(new T[n]);
        advise_huge_pages(fresh.get(), n * sizeof(T));
        if (size_) std::memcpy(static_cast<void*>(fresh.get()), data(), size_ * sizeof(T));
        replace_block(std::move(fresh), n, keep_old);
    }
    // Moves to a new block of capacity n without copying (the caller refills it).
    void reallocate_empty(std::size_t n, std::unique_ptr<T[]>* keep_old) {
        std::unique_ptr<T[]> fresh(new T[n]);
        advise_huge_pages(fresh.get(), n * sizeof(T));
        replace_block(std::move(fresh), n, keep_old);
    }
    void replace_block(std::unique_ptr<T[]> fresh, std::size_t n, std::unique_ptr<T[]>* keep_old) {
        std::unique_ptr<T[]> old = std::move(block_);
        block_ = std::move(fresh);
        cap_ = n;
        if (old) {
            if (exported_.load(std::memory_order_relaxed))
                retired_.push_back(std::move(old));
            else if (keep_old)
                *keep_old = std::move(old);
        }
        exported_.store(false, std::memory_order_relaxed);
    }
    void release_block() {
        if (block_ && exported_.load(std::memory_order_relaxed)) retired_.push_back(std::move(block_));
        block_.reset();
        size_ = cap_ = 0;
        exported_.store(false, std::memory_order_relaxed);
    }
    void take(Storage& other) {
        block_ = std::move(other.block_);
        size_ = other.size_;
        cap_ = other.cap_;
        exported_.store(other.exported_.load(std::memory_order_relaxed), std::memory_order_relaxed);
        for (auto& b : other.retired_) retired_.push_back(std::move(b));
        other.retired_.clear();
        other.size_ = other.cap_ = 0;
        other.exported_.store(false, std::memory_order_relaxed);
    }

    std::unique_ptr<T[]> block_;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
    mutable std::atomic<bool> exported_{false};
    std::vector<std::unique_ptr<T[]>> retired_;
};

}  // namespace nubiro
