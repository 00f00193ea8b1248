#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

namespace nubiro::parallel {
namespace {

// More chunks than threads, so a thread that drew cheap indexes takes over work from the rest.
constexpr std::size_t kChunksPerThread = 16;
constexpr std::size_t kStoppableChunks = 256;
constexpr std::size_t kLongestStoppableChunk = 64;

// RAYON_NUM_THREADS counts only when it is a plain positive decimal number.
std::size_t thread_count_from_environment() {
    const char* text = std::getenv("RAYON_NUM_THREADS");
    if (text == nullptr || *text == '\0') return 0;
    std::size_t value = 0;
    for (const char c : std::string_view(text)) {
        if (c < '0' || c > '9') return 0;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t configured_thread_count() {
    if (const std::size_t from_environment = thread_count_from_environment(); from_environment > 0)
        return from_environment;
    return std::max(1u, std::thread::hardware_concurrency());
}

struct Job {
    Job(detail::RangeBody body, void* context, std::size_t n, std::size_t chunk, Operation* op)
        : body(body), context(context), n(n), chunk(chunk), op(op) {}

    const detail::RangeBody body;
    void* const context;
    const std::size_t n;
    const std::size_t chunk;
    Operation* const op;  // the caller's operation, carried to the workers
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> error_taken{false};
    std::exception_ptr error;  // written only by the thread that set error_taken
};

thread_local Operation* current = nullptr;

// Takes chunks until the range is exhausted, a body has failed or the operation is cancelled.
void work_on(Job& job) noexcept {
    CurrentOperation scope(job.op);
    while (!job.stop.load(std::memory_order_relaxed)) {
        const std::size_t begin = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
        if (begin >= job.n) return;
        const std::size_t end = begin + std::min(job.chunk, job.n - begin);
        try {
            check_cancelled();
            job.body(job.context, begin, end);
        } catch (...) {
            if (!job.error_taken.exchange(true)) job.error = std::current_exception();
            job.stop.store(true, std::memory_order_relaxed);
        }
        if (job.op) job.op->loop_advanced(end - begin);
    }
}

// Workers sleep until a job offers helper slots. One job runs at a time: the `busy` flag goes
// to the first caller, every other loop runs on its own thread (see parallel.hpp). The job
// lives on the caller's stack, so the caller withdraws the unclaimed slots and waits for the
// workers that did join before it returns.
class Pool {
public:
    explicit Pool(std::size_t threads) {
        for (std::size_t i = 1; i < threads; ++i) {
            try {
                std::thread([this] { worker_loop(); }).detach();
            } catch (const std::system_error&) {
                break;  // run with the workers the system would give us
            }
            ++size_;
        }
    }

    std::size_t size() const { return size_; }

    bool try_acquire() { return !busy_.exchange(true, std::memory_order_acquire); }
    void release() { busy_.store(false, std::memory_order_release); }

    void run(Job& job) {
        const std::size_t chunks = job.n / job.chunk + (job.n % job.chunk != 0);
        const std::size_t helpers = std::min(size_ - 1, chunks - 1);
        {
            std::lock_guard lock(mutex_);
            job_ = &job;
            open_slots_ = helpers;
        }
        for (std::size_t i = 0; i < helpers; ++i) wake_.notify_one();
        work_on(job);
        std::unique_lock lock(mutex_);
        open_slots_ = 0;
        job_ = nullptr;
        finished_.wait(lock, [this] { return active_ == 0; });
    }

private:
    void worker_loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return open_slots_ > 0; });
            --open_slots_;
            ++active_;
            Job& job = *job_;
            lock.unlock();
            work_on(job);
            lock.lock();
            if (--active_ == 0) finished_.notify_one();
        }
    }

    std::size_t size_ = 1;
    std::atomic<bool> busy_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    Job* job_ = nullptr;
    std::size_t open_slots_ = 0;
    std::size_t active_ = 0;
};

// Never destroyed: detached workers may still be waiting on it while the process exits.
Pool& pool() {
    static Pool* const instance = new Pool(configured_thread_count());
    return *instance;
}

}  // namespace

std::size_t num_threads() { return pool().size(); }

namespace detail {

std::size_t chunk_length(std::size_t n, std::size_t min_chunk) {
    min_chunk = std::max<std::size_t>(min_chunk, 1);
    if (n <= min_chunk) return n;
    const std::size_t threads = num_threads();
    if (current == nullptr) {
        if (threads == 1) return n;
        const std::size_t target_chunks = threads * kChunksPerThread;
        return std::max(min_chunk, n / target_chunks + (n % target_chunks != 0));
    }
    // Inside an operation chunks stay short, even on one thread, so a stop request is heard
    // within a few milliseconds however costly each index is.
    const std::size_t target_chunks =
        std::max({threads * kChunksPerThread, kStoppableChunks, n / kLongestStoppableChunk});
    return std::max(min_chunk, n / target_chunks + (n % target_chunks != 0));
}

void run_chunks(std::size_t n, std::size_t chunk, RangeBody body, void* context) {
    Pool& p = pool();
    if (!p.try_acquire()) {
        for (std::size_t begin = 0; begin < n; begin += chunk) {
            check_cancelled();
            body(context, begin, begin + std::min(chunk, n - begin));
        }
        return;
    }
    Job job(body, context, n, chunk, current);
    if (current) current->loop_started(n);
    p.run(job);
    p.release();
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace detail

namespace {
// Bumped by request_cancel(); an operation started before the bump counts as cancelled.
std::atomic<std::uint64_t> cancel_generation{0};
}  // namespace

Operation::Operation() noexcept
    : generation_(cancel_generation.load(std::memory_order_relaxed)),
      score_(std::numeric_limits<double>::quiet_NaN()) {}

bool Operation::cancelled() const noexcept {
    return stop_.load(std::memory_order_relaxed) ||
           cancel_generation.load(std::memory_order_relaxed) != generation_;
}

Operation::Progress Operation::progress() const noexcept {
    return {stage_.load(std::memory_order_relaxed), done_.load(std::memory_order_relaxed),
            total_.load(std::memory_order_relaxed), score_.load(std::memory_order_relaxed)};
}

void Operation::begin_stage(const char* stage) noexcept {
    reports_own_.store(false, std::memory_order_relaxed);
    stage_.store(stage, std::memory_order_relaxed);
    total_.store(0, std::memory_order_relaxed);
    done_.store(0, std::memory_order_relaxed);
}

void Operation::report(const char* stage, std::uint64_t done, std::uint64_t total) noexcept {
    reports_own_.store(true, std::memory_order_relaxed);
    stage_.store(stage, std::memory_order_relaxed);
    total_.store(total, std::memory_order_relaxed);
    done_.store(done, std::memory_order_relaxed);
}

void Operation::report_score(double score) noexcept { score_.store(score, std::memory_order_relaxed); }

void Operation::loop_started(std::uint64_t total) noexcept {
    if (reports_own_.load(std::memory_order_relaxed)) return;
    done_.store(0, std::memory_order_relaxed);
    total_.store(total, std::memory_order_relaxed);
}

void Operation::loop_advanced(std::uint64_t count) noexcept {
    if (!reports_own_.load(std::memory_order_relaxed)) done_.fetch_add(count, std::memory_order_relaxed);
}

CurrentOperation::CurrentOperation(Operation* op) noexcept : previous_(current) { current = op; }
CurrentOperation::~CurrentOperation() { current = previous_; }

Operation* current_operation() noexcept { return current; }

void request_cancel() noexcept { cancel_generation.fetch_add(1, std::memory_order_relaxed); }

bool cancel_requested() noexcept { return current != nullptr && current->cancelled(); }

void report_stage(const char* stage) noexcept {
    if (current) current->begin_stage(stage);
}

void report_progress(const char* stage, std::uint64_t done, std::uint64_t total) noexcept {
    if (current) current->report(stage, done, total);
}

void report_score(double score) noexcept {
    if (current) current->report_score(score);
}

}  // namespace nubiro::parallel
