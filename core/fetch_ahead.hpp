// A read-ahead hint for loops that stream through large arrays.
//
// The processor's own stream prefetch stops at every page boundary and falls behind a loop that
// reads an array of points (or several arrays at once, a few kilobytes of each in turn) faster
// than memory delivers it. Such loops fetch each source this far ahead of the element they
// read; measured on 1M points: filling a PCD body 15 -> 11 ms, the voxel keys of a cloud
// 12 -> 4 ms, on one thread. The address is formed as an integer: near the end of an array it
// points past it, which a prefetch may do but pointer arithmetic may not.
#pragma once
#include <cstdint>

namespace nubiro {

inline void fetch_ahead(const void* source) {
    constexpr std::uintptr_t kAheadBytes = 4096;
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(source) + kAheadBytes));
}

}  // namespace nubiro
