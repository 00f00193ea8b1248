// Data-parallel loops on one process-wide worker pool.
//
// The pool is created on first use and lives until the process ends. It has one worker per
// logical processor (RAYON_NUM_THREADS, when it holds a positive integer, sets the count); the
// calling thread is one of them. A loop hands out chunks of its index range through an atomic
// counter, so uneven bodies balance themselves and nothing is allocated per index.
//
// Bodies may run on any thread, in any order and grouping; callers that need a deterministic
// result write one record per index and reduce afterwards on one thread in index order.
//
// A loop started while the pool is already running one (a nested call from inside a body, or
// a second caller thread) runs entirely on its own calling thread, so loops never wait for
// each other and cannot deadlock.
//
// If a body throws, no further chunks are handed out, the chunks already running finish,
// and the first exception is rethrown on the calling thread.
#pragma once
#include <cstddef>
#include <exception>
#include <memory>
#include <type_traits>

namespace nubiro::parallel {

// ---- cooperative cancellation ----
// One process-wide stop request (the Python side sets it on Ctrl-C). Long operations call
// check_cancelled() between units of work (chunks, iterations); it throws Cancelled once a stop
// has been requested. An operation must write its outputs only after its loops end, so a
// cancelled one leaves its inputs unchanged.
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "cancelled"; }
};
void request_cancel() noexcept;
void clear_cancel() noexcept;
bool cancel_requested() noexcept;
inline void check_cancelled() {
    if (cancel_requested()) throw Cancelled{};
}

// Threads a loop may use, the calling thread included (at least 1). Creates the pool.
std::size_t num_threads();

namespace detail {

using RangeBody = void (*)(void* context, std::size_t begin, std::size_t end);

// Chunk length for a loop of n indexes; n itself when the loop should stay on the caller.
std::size_t chunk_length(std::size_t n, std::size_t min_chunk);

// Calls body(context, begin, end) over [0, n) in chunks of `chunk` indexes on the pool.
void run_chunks(std::size_t n, std::size_t chunk, RangeBody body, void* context);

}  // namespace detail

// Calls body(begin, end) on disjoint ranges that together cover [0, n) exactly once; each
// range holds at least min_chunk indexes except possibly the last one.
template <class F>
void parallel_for_chunks(std::size_t n, F&& body, std::size_t min_chunk = 1) {
    const std::size_t chunk = detail::chunk_length(n, min_chunk);
    if (chunk >= n) {
        if (n > 0) body(std::size_t{0}, n);
        return;
    }
    using Body = std::remove_reference_t<F>;
    auto call = [](void* context, std::size_t begin, std::size_t end) {
        (*static_cast<Body*>(context))(begin, end);
    };
    detail::run_chunks(n, chunk, call,
                       const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}

// Calls body(i) exactly once for every i in [0, n); returns when all calls have finished.
template <class F>
void parallel_for(std::size_t n, F&& body, std::size_t min_chunk = 1) {
    parallel_for_chunks(
        n,
        [&body](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) body(i);
        },
        min_chunk);
}

}  // namespace nubiro::parallel
