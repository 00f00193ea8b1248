// Colour components in [0, 1] as the bytes files store: clamp to [0, 1], scale by 255, round
// half away from zero; NaN gives 0.
//
// Written without branches on the value (colours of real scans are noise to a branch
// predictor). The two-point form does the same IEEE operations on two lanes at a time, so both
// give the same bytes; writers use it for runs of points, where the rounding is a large share
// of a binary body's time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/fetch_ahead.hpp"
#include "core/types.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nubiro::io {

inline std::uint8_t color_byte(double c) {
    c = c > 0 ? c : 0.0;  // NaN and everything at or below 0
    c = c < 1 ? c : 1.0;
    // Round half away from zero without a library call: x - trunc(x) is exact for 0 <= x <= 255.
    const double x = c * 255.0;
    const int whole = static_cast<int>(x);
    return static_cast<std::uint8_t>(whole + static_cast<int>(x - whole >= 0.5));
}

#if defined(__SSE2__)
namespace detail {
// color_byte of both lanes, as the low two 32-bit lanes of the result.
inline __m128i color_byte2(__m128d c) {
    // max(c, 0) returns its second operand when c is NaN, and min(c, 1) its first unless 1 is
    // smaller: the same choices as the scalar comparisons.
    c = _mm_min_pd(_mm_max_pd(c, _mm_setzero_pd()), _mm_set1_pd(1.0));
    const __m128d x = _mm_mul_pd(c, _mm_set1_pd(255.0));
    const __m128i whole = _mm_cvttpd_epi32(x);
    const __m128d up = _mm_cmpge_pd(_mm_sub_pd(x, _mm_cvtepi32_pd(whole)), _mm_set1_pd(0.5));
    // Each lane's all-ones mask (-1) into the low two 32-bit lanes; subtracting it adds one.
    return _mm_sub_epi32(whole, _mm_shuffle_epi32(_mm_castpd_si128(up), _MM_SHUFFLE(3, 3, 2, 0)));
}
}  // namespace detail
#endif

// The colour bytes of points c[0] and c[1]: r0 g0 b0 r1 g1 b1 in the low six bytes, in that
// order from the lowest.
inline std::uint64_t color_bytes2(const Vector3d* c) {
#if defined(__SSE2__)
    const double* v = c[0].data();
    static_assert(sizeof(Vector3d) == 3 * sizeof(double), "points are packed triples");
    const __m128i rgbr = _mm_unpacklo_epi64(detail::color_byte2(_mm_loadu_pd(v)), detail::color_byte2(_mm_loadu_pd(v + 2)));
    const __m128i gb = detail::color_byte2(_mm_loadu_pd(v + 4));
    const __m128i words = _mm_packs_epi32(rgbr, gb);  // every value is in 0..255: no saturation
    std::uint64_t bytes;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&bytes), _mm_packus_epi16(words, words));
    return bytes & 0xffffffffffffull;
#else
    std::uint64_t bytes = 0;
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 3; ++k) bytes |= std::uint64_t{color_byte(c[i][k])} << (8 * (3 * i + k));
    return bytes;
#endif
}

// Calls put(i, bytes) for every point i in [0, count), bytes = r | g << 8 | b << 16. The
// colours are read as a stream, fetched ahead (the writers call this on whole columns).
template <class Put>
inline void for_each_color(const Vector3d* c, std::size_t count, Put&& put) {
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        fetch_ahead(c + i);
        const std::uint64_t two = color_bytes2(c + i);
        put(i, static_cast<std::uint32_t>(two & 0xffffff));
        put(i + 1, static_cast<std::uint32_t>(two >> 24));
    }
    if (i < count)
        put(i, std::uint32_t{color_byte(c[i][0])} | std::uint32_t{color_byte(c[i][1])} << 8 |
                   std::uint32_t{color_byte(c[i][2])} << 16);
}

}  // namespace nubiro::io
