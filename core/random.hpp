// The process-wide random engine: one 32-bit Mersenne Twister (MT19937, the reference output
// sequence for a given seed) behind one lock, and the integer-range rule every draw uses.
//
// Every random draw in the library comes from here, so a caller that seeds the engine gets the
// same draws on any machine. The engine seeds itself on first use (4 bytes of /dev/urandom,
// else the sub-second nanoseconds of the wall clock).
//
// Recipes: the generator and its initialisation follow the authors' reference code
// mt19937ar.c (M. Matsumoto and T. Nishimura, "Mersenne Twister: A 623-dimensionally
// equidistributed uniform pseudo-random number generator", ACM TOMACS 8(1), 1998; code of
// 2002-01-26), whose licence is carried in THIRD_PARTY_NOTICES. Bounded draws use D. Lemire,
// "Fast Random Integer Generation in an Interval", ACM TOMACS 29(1), 2019 (algorithm 5, on
// 32-bit words).
//
// Each operation takes the lock once for its whole duration. If an operation ever fails while
// holding it, the state may be half-updated: every later operation then throws instead of
// drawing from it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace nubiro::random {

// The MT19937 generator itself, without lock or default seeding.
class Mt19937 {
public:
    static constexpr std::size_t kWords = 624;

    explicit Mt19937(std::uint32_t seed = 5489u) { reseed(seed); }
    void reseed(std::uint32_t seed);
    std::uint32_t next();

    std::array<std::uint32_t, kWords> mt{};
    std::size_t index = kWords;  // kWords: regenerate before the next output

private:
    void twist();
};

// A draw range of `count` consecutive integers starting at `low`.
struct IntRange {
    std::int64_t low;
    std::uint64_t count;  // 1 ... 2^32
};
// [low, high] for 32-bit bounds; low > high is a programming error and throws
// std::logic_error("low must be <= high").
IntRange int_range(std::int64_t low, std::int64_t high);

using Snapshot = Mt19937;

// Replaces the whole state with the reference initialisation from `seed`.
void seed(std::uint32_t seed);
// low + a uniform value in [0, count) by Lemire's multiply-and-reject rule.
std::int64_t uniform_int(const IntRange& range);
// The same rule on an engine of the caller's own (1 <= count <= 2^32), for operations that
// take a seed of their own instead of sharing the process-wide engine.
std::uint64_t draw_below(Mt19937& engine, std::uint64_t count);
// The next raw 32-bit output (for checks of the generator itself).
std::uint32_t next_word();
// A copy of the state (seeding by default first if needed), and putting one back.
Snapshot snapshot();
void restore(const Snapshot& state);

namespace detail {
// Runs `fn` on the engine under its lock (throws like any operation once poisoned); a throw
// from `fn` poisons the engine. Used to check the fault state.
void with_engine_locked(void (*fn)(Mt19937&));
}  // namespace detail

}  // namespace nubiro::random
