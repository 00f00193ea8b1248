// Checks the colour byte rule, and that the two-point form (two lanes at a time where the target
// has them) gives the same bytes as the one-value form, over edge values and millions of random
// doubles. The rule is checked against std::round of the clamped, scaled value (round half away
// from zero), NaN giving 0.
//
//   color_bytes_check     (exits non-zero on any mismatch)
#include "core/io/color_bytes.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

namespace {

using nubiro::Vector3d;
using nubiro::io::color_byte;
using nubiro::io::color_bytes2;
using nubiro::io::for_each_color;

long failures = 0;

void fail(const char* what, double c, unsigned got, unsigned want) {
    if (++failures <= 40)
        std::fprintf(stderr, "FAIL %s: %a (0x%016llx) gives %u, expected %u\n", what, c,
                     static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(c)), got, want);
}

unsigned expected(double c) {
    if (std::isnan(c)) return 0;
    return static_cast<unsigned>(std::round(std::fmin(std::fmax(c, 0.0), 1.0) * 255.0));
}

}  // namespace

int main() {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 2.0, inf, -inf, std::numeric_limits<double>::quiet_NaN(),
                                  -std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min(),
                                  -std::numeric_limits<double>::denorm_min(), 1e300, -1e300, 0.5};
    for (int b = 0; b <= 256; ++b) {
        for (const double v : {b / 255.0, (b + 0.5) / 255.0}) {
            values.push_back(v);
            values.push_back(std::nextafter(v, -inf));
            values.push_back(std::nextafter(v, inf));
        }
    }
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> around(-0.25, 1.25);
    for (int i = 0; i < 3'000'000; ++i) values.push_back(around(random));
    for (int i = 0; i < 1'000'000; ++i) values.push_back(std::bit_cast<double>(random()));  // any bits, NaNs included

    for (const double c : values)
        if (const unsigned got = color_byte(c), want = expected(c); got != want) fail("color_byte", c, got, want);

    // Every value in every lane: points of (v[i], v[i+1], v[i+2]) pairs shifted one value at a time.
    std::vector<Vector3d> points(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        points[i] = {values[i], values[(i + 1) % values.size()], values[(i + 2) % values.size()]};
    for (std::size_t i = 0; i + 2 <= points.size(); ++i) {
        const std::uint64_t two = color_bytes2(points.data() + i);
        for (int p = 0; p < 2; ++p)
            for (int k = 0; k < 3; ++k) {
                const unsigned got = (two >> (8 * (3 * p + k))) & 0xff, want = color_byte(points[i + p][k]);
                if (got != want) fail("color_bytes2", points[i + p][k], got, want);
            }
        if (two >> 48) fail("color_bytes2 (high bytes)", points[i][0], static_cast<unsigned>(two >> 48), 0);
    }
    // Odd and even counts, the last point of an odd run through the one-value form.
    for (const std::size_t count : {0, 1, 2, 3, 7}) {
        std::size_t calls = 0;
        for_each_color(points.data(), count, [&](std::size_t i, std::uint32_t rgb) {
            ++calls;
            const std::uint32_t want = color_byte(points[i][0]) | color_byte(points[i][1]) << 8 | color_byte(points[i][2]) << 16;
            if (rgb != want) fail("for_each_color", points[i][0], rgb, want);
        });
        if (calls != count) fail("for_each_color (calls)", 0.0, static_cast<unsigned>(calls), static_cast<unsigned>(count));
    }

    std::printf("%zu values, %zu point pairs: %ld mismatches\n", values.size(), points.size() - 1, failures);
    return failures == 0 ? 0 : 1;
}
