// A read-ahead hint for loops that stream through large arrays.
//
// The processor's own stream prefetch stops at every page boundary and falls behind a loop that
// reads an array of points (or several arrays at once, a few kilobytes of each in turn) faster
// than memory delivers it. Such loops fetch each source this far ahead of the element they
// read; measured on 1M points: filling a PCD body 15 -> 11 ms, the voxel keys of a cloud
// 12 -> 4 ms, on one thread; sorting 2M edge records, whose partitions scan from both ends,
// 114 -> 104 ms. The address is formed as an integer: near the end of an array it
// points past it, which a prefetch may do but pointer arithmetic may not.
#pragma once
#include <cstdint>

namespace nubiro {

inline constexpr std::uintptr_t kFetchDistance = 4096;

inline void fetch_ahead(const void* source) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(source) + kFetchDistance));
}

// The same for a loop that walks an array downward.
inline void fetch_behind(const void* source) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(source) - kFetchDistance));
}

}  // namespace nubiro
