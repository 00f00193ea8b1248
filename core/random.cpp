#include "core/random.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace nubiro::random {

void Mt19937::reseed(std::uint32_t seed) {
    mt[0] = seed;
    for (std::size_t i = 1; i < kWords; ++i)
        mt[i] = 1812433253u * (mt[i - 1] ^ (mt[i - 1] >> 30)) + static_cast<std::uint32_t>(i);
    index = kWords;
}

void Mt19937::twist() {
    constexpr std::size_t kShift = 397;
    constexpr std::uint32_t kMatrix = 0x9908b0dfu, kUpper = 0x80000000u, kLower = 0x7fffffffu;
    for (std::size_t i = 0; i < kWords; ++i) {
        const std::uint32_t y = (mt[i] & kUpper) | (mt[(i + 1) % kWords] & kLower);
        mt[i] = mt[(i + kShift) % kWords] ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
    }
    index = 0;
}

std::uint32_t Mt19937::next() {
    if (index >= kWords) twist();
    std::uint32_t y = mt[index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
}

IntRange int_range(std::int64_t low, std::int64_t high) {
    if (low > high) throw std::logic_error("low must be <= high");
    return {low, static_cast<std::uint64_t>(high - low) + 1};
}

namespace {

// 4 bytes of /dev/urandom, retrying interrupted reads; nothing when they cannot be had.
bool seed_from_urandom(std::uint32_t& out) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char bytes[sizeof out];
    std::size_t have = 0;
    while (have < sizeof bytes) {
        const ssize_t got = ::read(fd, bytes + have, sizeof bytes - have);
        if (got > 0) {
            have += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    ::close(fd);
    if (have != sizeof bytes) return false;
    std::memcpy(&out, bytes, sizeof out);
    return true;
}

std::uint32_t seed_from_clock() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    if (ns < 0) return 0;
    return static_cast<std::uint32_t>(ns % 1'000'000'000);
}

struct SharedEngine {
    std::mutex mutex;
    bool seeded = false;
    bool poisoned = false;
    Mt19937 mt;
};

SharedEngine& shared() {
    static SharedEngine* const engine = new SharedEngine();  // lives until the process ends
    return *engine;
}

// Holds the lock for one operation; an exception leaving the operation poisons the engine.
class Locked {
public:
    Locked() : engine_(shared()), lock_(engine_.mutex), exceptions_(std::uncaught_exceptions()) {
        if (engine_.poisoned) throw std::runtime_error("the random engine failed earlier and cannot be used");
    }
    ~Locked() {
        if (std::uncaught_exceptions() > exceptions_) engine_.poisoned = true;
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    // The engine, seeded by default if nothing seeded it yet.
    Mt19937& seeded() {
        if (!engine_.seeded) {
            std::uint32_t s = 0;
            if (!seed_from_urandom(s)) s = seed_from_clock();
            raw().reseed(s);
        }
        return engine_.mt;
    }
    // The engine as it is; whoever writes it marks it seeded.
    Mt19937& raw() {
        engine_.seeded = true;
        return engine_.mt;
    }

private:
    SharedEngine& engine_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
};

}  // namespace

void seed(std::uint32_t s) {
    Locked engine;
    engine.raw().reseed(s);
}

std::uint64_t draw_below(Mt19937& mt, std::uint64_t count) {
    std::uint64_t m = static_cast<std::uint64_t>(mt.next()) * count;
    std::uint64_t l = m & 0xffffffffu;
    if (l < count) {
        const std::uint64_t t = ((std::uint64_t{1} << 32) - count) % count;
        while (l < t) {
            m = static_cast<std::uint64_t>(mt.next()) * count;
            l = m & 0xffffffffu;
        }
    }
    return m >> 32;
}

std::int64_t uniform_int(const IntRange& range) {
    Locked engine;
    return range.low + static_cast<std::int64_t>(draw_below(engine.seeded(), range.count));
}

std::uint32_t next_word() {
    Locked engine;
    return engine.seeded().next();
}

Snapshot snapshot() {
    Locked engine;
    return engine.seeded();
}

void restore(const Snapshot& state) {
    Locked engine;
    engine.raw() = state;
}

namespace detail {
void with_engine_locked(void (*fn)(Mt19937&)) {
    Locked engine;
    fn(engine.seeded());
}
}  // namespace detail

}  // namespace nubiro::random
