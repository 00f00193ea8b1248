// libFuzzer target: the strict and lenient number parses on arbitrary text, and the text forms
// of arbitrary doubles (the shortest form must read back exactly).
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/number_text.hpp"

using namespace nubiro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view token(reinterpret_cast<const char*>(data), size);
    const auto strict = text::parse_strict(token);
    const auto lenient = text::parse_lenient(token);
    if (strict && !lenient) std::abort();
    if (size >= 8) {
        double x;
        std::memcpy(&x, data, 8);
        text::format_general(x);
        text::format_exponent(x);
        text::format_fixed10(x);
        text::format_fixed(x, data[size - 1] % 101);
        const auto back = text::parse_strict(text::format_shortest(x));
        if (!std::isnan(x) && (!back || std::memcmp(&*back, &x, 8) != 0)) std::abort();
    }
    return 0;
}
