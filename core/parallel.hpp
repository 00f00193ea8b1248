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
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <type_traits>

namespace nubiro::parallel {

// ---- cooperative cancellation and progress ----
// A long operation runs inside an Operation made current on its thread (the binding layer does
// this around every call that releases the interpreter lock). Loops started under it carry it
// to the pool workers, which stop handing out chunks once it is cancelled; long serial loops
// call check_cancelled() between units of work (iterations, blocks of points). Either way the
// operation ends with Cancelled on its calling thread. An operation writes its outputs only
// after its loops end, so a cancelled one leaves its inputs unchanged.
//
// Progress is read by another thread while the operation runs: the share of the current
// parallel loop done, unless the operation reports its own (iterations, bytes, best score).
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "cancelled"; }
};

class Operation {
public:
    struct Progress {
        const char* stage;  // nullptr until the operation names one
        std::uint64_t done;
        std::uint64_t total;  // 0 when unknown
        double score;         // NaN when the operation reports none
    };

    Operation() noexcept;
    void cancel() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool cancelled() const noexcept;
    Progress progress() const noexcept;

    // Used by the operation itself (through report_stage / report_progress / report_score below).
    void begin_stage(const char* stage) noexcept;
    void report(const char* stage, std::uint64_t done, std::uint64_t total) noexcept;
    void report_score(double score) noexcept;
    // Used by the pool for the share of a loop, ignored once the operation reports its own.
    void loop_started(std::uint64_t total) noexcept;
    void loop_advanced(std::uint64_t count) noexcept;

private:
    std::atomic<bool> stop_{false};
    std::uint64_t generation_;
    std::atomic<bool> reports_own_{false};
    std::atomic<const char*> stage_{nullptr};
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> total_{0};
    std::atomic<double> score_;
};

// Makes `op` the current operation of the calling thread for a scope.
class CurrentOperation {
public:
    explicit CurrentOperation(Operation* op) noexcept;
    ~CurrentOperation();
    CurrentOperation(const CurrentOperation&) = delete;
    CurrentOperation& operator=(const CurrentOperation&) = delete;

private:
    Operation* previous_;
};

Operation* current_operation() noexcept;

// Cancels every operation running now (not later ones).
void request_cancel() noexcept;
// True once the current operation (if any) has been cancelled.
bool cancel_requested() noexcept;
inline void check_cancelled() {
    if (cancel_requested()) throw Cancelled{};
}
// The current operation, if any, enters `stage` (a literal); its progress is the share of the
// stage's parallel loops done until the stage reports its own counts.
void report_stage(const char* stage) noexcept;
// Progress of the current operation, if any: `done` of `total` units of `stage` (a literal).
void report_progress(const char* stage, std::uint64_t done, std::uint64_t total) noexcept;
void report_score(double score) noexcept;

// Calls body(begin, end) on consecutive ranges of `block` indexes covering [0, n), in order on
// the calling thread, checking for a stop before each range: long serial passes use it so a
// stop is heard within one block, not after the whole pass.
template <class F>
void serial_blocks(std::size_t n, std::size_t block, F&& body) {
    for (std::size_t begin = 0; begin < n; begin += block) {
        check_cancelled();
        body(begin, n - begin < block ? n : begin + block);
    }
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
