// Checks the worker pool: coverage, exceptions, nesting, concurrent callers and the
// RAYON_NUM_THREADS rule (in child processes, since the count is fixed per process).
//
//   parallel_check                  run every check; exits non-zero on a failure
//   parallel_check --report         print num_threads() and whether a loop used >1 thread
#include "core/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using nubiro::parallel::num_threads;
using nubiro::parallel::parallel_for;
using nubiro::parallel::parallel_for_chunks;

long failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok && ++failures <= 40) std::fprintf(stderr, "FAIL %s\n", what.c_str());
}

// Every index of [0, n) is visited exactly once, for sizes around the chunking thresholds.
void check_coverage() {
    const std::size_t sizes[] = {0, 1, 2, 3, 7, 31, 32, 33, 100, 1000, 4097, 100003, 1000000};
    const std::size_t min_chunks[] = {1, 3, 64, 5000};
    for (std::size_t n : sizes) {
        for (std::size_t min_chunk : min_chunks) {
            std::vector<std::atomic<int>> visits(n);
            parallel_for(n, [&](std::size_t i) { visits[i].fetch_add(1, std::memory_order_relaxed); },
                         min_chunk);
            const bool once = std::all_of(visits.begin(), visits.end(), [](auto& v) { return v.load() == 1; });
            expect(once, "parallel_for coverage n=" + std::to_string(n) + " min_chunk=" + std::to_string(min_chunk));

            std::mutex m;
            std::vector<std::pair<std::size_t, std::size_t>> ranges;
            parallel_for_chunks(
                n,
                [&](std::size_t begin, std::size_t end) {
                    std::lock_guard lock(m);
                    ranges.emplace_back(begin, end);
                },
                min_chunk);
            std::sort(ranges.begin(), ranges.end());
            bool tiled = true;
            std::size_t expected_begin = 0;
            for (std::size_t r = 0; r < ranges.size(); ++r) {
                const auto [begin, end] = ranges[r];
                const bool last = r + 1 == ranges.size();
                tiled = tiled && begin == expected_begin && end > begin && (last || end - begin >= min_chunk);
                expected_begin = end;
            }
            expect(tiled && expected_begin == n,
                   "parallel_for_chunks tiling n=" + std::to_string(n) + " min_chunk=" + std::to_string(min_chunk));
        }
    }
}

// With more than one thread, a loop whose first body waits for company must get it: helpers
// really join, rather than everything silently running on the caller.
void check_helpers_join() {
    if (num_threads() < 2) return;
    std::set<std::thread::id> seen;
    std::mutex m;
    std::atomic<bool> company{false};
    const auto caller = std::this_thread::get_id();
    parallel_for(64, [&](std::size_t i) {
        {
            std::lock_guard lock(m);
            seen.insert(std::this_thread::get_id());
        }
        if (std::this_thread::get_id() != caller) company = true;
        if (i == 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!company && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        }
    });
    expect(company.load(), "no helper thread joined a loop of 64 indexes");
    expect(seen.size() <= num_threads(), "more distinct threads than num_threads()");
}

struct BodyError : std::runtime_error {
    std::size_t index;
    explicit BodyError(std::size_t i) : std::runtime_error("body failed"), index(i) {}
};

// The first exception reaches the caller, running bodies finish first, and the pool stays usable.
void check_exceptions() {
    for (std::size_t n : {1, 2, 100, 100000}) {
        for (std::size_t bad : {std::size_t{0}, n / 2, n - 1}) {
            std::atomic<int> running{0};
            bool caught = false;
            try {
                parallel_for(n, [&](std::size_t i) {
                    running.fetch_add(1);
                    if (i == bad) {
                        running.fetch_sub(1);
                        throw BodyError(i);
                    }
                    std::this_thread::yield();
                    running.fetch_sub(1);
                });
            } catch (const BodyError& e) {
                caught = e.index == bad;
            }
            const std::string where = " n=" + std::to_string(n) + " bad=" + std::to_string(bad);
            expect(caught, "exception not rethrown to the caller" + where);
            expect(running.load() == 0, "loop returned while bodies were still running" + where);
        }
    }
    // Every index throws: exactly one exception comes out, of the body's type.
    int caught = 0;
    try {
        parallel_for(10000, [](std::size_t i) { throw BodyError(i); });
    } catch (const BodyError&) {
        ++caught;
    }
    expect(caught == 1, "loop where every body throws");

    // An exception from a nested loop travels through the outer one.
    bool nested_caught = false;
    try {
        parallel_for(8, [](std::size_t i) {
            parallel_for(100, [i](std::size_t j) {
                if (i == 3 && j == 57) throw BodyError(j);
            });
        });
    } catch (const BodyError& e) {
        nested_caught = e.index == 57;
    }
    expect(nested_caught, "exception from a nested loop");

    std::atomic<std::size_t> sum{0};
    parallel_for(1000, [&](std::size_t i) { sum += i; });
    expect(sum == 999 * 1000 / 2, "pool unusable after exceptions");
}

// Loops inside bodies (three levels) cover their grids exactly once.
void check_nesting() {
    const std::size_t a = 17, b = 33, c = 9;
    std::vector<std::atomic<int>> visits(a * b * c);
    parallel_for(a, [&](std::size_t i) {
        parallel_for(b, [&](std::size_t j) {
            parallel_for(c, [&](std::size_t k) { visits[(i * b + j) * c + k].fetch_add(1); });
        });
    });
    expect(std::all_of(visits.begin(), visits.end(), [](auto& v) { return v.load() == 1; }),
           "nested loops coverage");
}

// Several external threads running loops (with nested loops and exceptions) at once.
void check_concurrent_callers() {
    constexpr int kCallers = 6;
    std::atomic<long> bad{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([t, &bad] {
            for (int round = 0; round < 200; ++round) {
                const std::size_t n = 1 + static_cast<std::size_t>((t * 7919 + round * 104729) % 5000);
                std::vector<int> visits(n, 0);  // each index written by one body only
                parallel_for(n, [&](std::size_t i) { visits[i] += 1; });
                if (std::count(visits.begin(), visits.end(), 1) != static_cast<long>(n)) ++bad;
                if (round % 10 == 0) {
                    std::vector<std::atomic<int>> grid(40 * 40);
                    parallel_for(40, [&](std::size_t i) {
                        parallel_for(40, [&](std::size_t j) { grid[i * 40 + j].fetch_add(1); });
                    });
                    if (!std::all_of(grid.begin(), grid.end(), [](auto& v) { return v.load() == 1; })) ++bad;
                }
                if (round % 25 == 0) {
                    try {
                        parallel_for(n, [n](std::size_t i) {
                            if (i == n / 2) throw BodyError(i);
                        });
                        ++bad;
                    } catch (const BodyError&) {
                    }
                }
            }
        });
    }
    for (auto& c : callers) c.join();
    expect(bad.load() == 0, "concurrent callers: " + std::to_string(bad.load()) + " bad loops");
}

// Move-only and const bodies are accepted; the body is used in place, never copied.
void check_body_kinds() {
    auto owned = std::make_unique<std::atomic<int>>(0);
    std::atomic<int>* count = owned.get();
    auto move_only = [p = std::move(owned)](std::size_t) { p->fetch_add(1); };
    parallel_for(500, move_only);
    parallel_for(500, std::move(move_only));
    expect(count->load() == 1000, "move-only body");
    const auto constant = [](std::size_t) {};
    parallel_for(500, constant);
}

// --report output: "<num_threads> <used more than one thread: 0/1>".
int report() {
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> other{false};
    parallel_for(64, [&](std::size_t i) {
        if (std::this_thread::get_id() != caller) other = true;
        if (i == 0 && num_threads() > 1) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!other && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        }
    });
    std::printf("%zu %d\n", num_threads(), other.load() ? 1 : 0);
    return 0;
}

std::string run_child(const std::string& self, const char* env_value) {
    std::string command = env_value ? "RAYON_NUM_THREADS='" + std::string(env_value) + "' " : "env -u RAYON_NUM_THREADS ";
    command += "'" + self + "' --report";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buf[128];
        while (std::fgets(buf, sizeof buf, pipe)) output += buf;
        pclose(pipe);
    }
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

void check_thread_count_rule(const std::string& self) {
    const std::string hardware = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
    const std::string hardware_parallel = hardware + (hardware == "1" ? " 0" : " 1");
    struct Case {
        const char* env;
        std::string expected;
    };
    const Case cases[] = {
        {nullptr, hardware_parallel}, {"3", "3 1"},         {"1", "1 0"},
        {"0", hardware_parallel},     {"-2", hardware_parallel}, {"abc", hardware_parallel},
        {"", hardware_parallel},      {"2x", hardware_parallel}, {" 2", hardware_parallel},
        {"99999999999999999999999", hardware_parallel},
    };
    for (const Case& c : cases) {
        const std::string got = run_child(self, c.env);
        expect(got == c.expected, std::string("RAYON_NUM_THREADS=") + (c.env ? c.env : "(unset)") +
                                      ": got '" + got + "', expected '" + c.expected + "'");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--report") return report();
    std::printf("num_threads() = %zu\n", num_threads());
    check_coverage();
    check_helpers_join();
    check_exceptions();
    check_nesting();
    check_concurrent_callers();
    check_body_kinds();
    check_thread_count_rule(argv[0]);
    if (failures > 0) {
        std::printf("FAILED: %ld checks\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
