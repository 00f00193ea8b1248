// How many points the library can number. Point numbers are held in 32 bits where memory per
// point matters: unsigned in the search index and the index lists of plane fitting, Euclidean
// clusters, exact duplicates and mesh distances (so at most 2^32 - 1 points), signed in correspondence pairs
// (so at most 2^31 - 1 points on either side). An input beyond is refused where it enters,
// before any number could wrap. Like running out of memory, this is a capacity limit rather
// than a fault in the data, so it is thrown as std::length_error (the extension reports it as
// PanicException carrying the message), the same way the search index refuses.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace nubiro {

inline constexpr std::uint64_t kMaxIndexedPoints = 0xFFFFFFFFu;  // unsigned 32-bit point numbers
inline constexpr std::uint64_t kMaxPairedPoints = 0x7FFFFFFFu;   // signed 32-bit pair indices

// Throws "too many {what}: {n}, at most {limit} are supported" when n > limit.
inline void require_count(std::size_t n, std::uint64_t limit, const char* what) {
    if (n > limit)
        throw std::length_error("too many " + std::string(what) + ": " + std::to_string(n) + ", at most " +
                                std::to_string(limit) + " are supported");
}

}  // namespace nubiro
