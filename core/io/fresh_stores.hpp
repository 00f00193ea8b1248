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

#if defined(__SSE2__)
// Stores two points (x0 y0, z0 x1, y1 z1) into two fresh Vector3d slots from `to`, which must
// be on a 16-byte boundary: whole vectors, no trip through the integer registers.
inline void store_two_triples(double* to, __m128d x0y0, __m128d z0x1, __m128d y1z1) {
    _mm_stream_pd(to, x0y0);
    _mm_stream_pd(to + 2, z0x1);
    _mm_stream_pd(to + 4, y1z1);
}
#endif

// Makes the bypassing stores of this thread visible: call it before the thread reports its
// block done.
inline void finish_stores() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

}  // namespace nubiro::io
