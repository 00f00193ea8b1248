// Stores into fresh output arrays that bypass the cache.
//
// A reader fills arrays far larger than the caches and does not read them back, so where the
// target has them the stores go straight to memory: no line is fetched only to be overwritten.
// The values are the same either way.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>

namespace nubiro::io {

// Stores x, y, z into one fresh Vector3d slot.
inline void store_triple(double* to, double x, double y, double z) {
#if defined(__SSE2__) && defined(__x86_64__)
    _mm_stream_si64(reinterpret_cast<long long*>(to), std::bit_cast<long long>(x));
    _mm_stream_si64(reinterpret_cast<long long*>(to) + 1, std::bit_cast<long long>(y));
    _mm_stream_si64(reinterpret_cast<long long*>(to) + 2, std::bit_cast<long long>(z));
#else
    to[0] = x, to[1] = y, to[2] = z;
#endif
}

// Makes the bypassing stores of this thread visible: call it before the thread reports its
// block done.
inline void finish_stores() {
#if defined(__SSE2__) && defined(__x86_64__)
    _mm_sfence();
#endif
}

}  // namespace nubiro::io
