#include "core/io/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace nubiro::io {
namespace {

// Length of the well-formed sequence starting at s[i], or 0 (Unicode Table 3-7).
std::size_t sequence_length(const unsigned char* s, std::size_t i, std::size_t n) {
    const unsigned char c = s[i];
    auto cont = [&](std::size_t k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
        return i + k < n && s[i + k] >= lo && s[i + k] <= hi;
    };
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c == 0xE0) return cont(1, 0xA0) && cont(2) ? 3 : 0;
    if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) return cont(1) && cont(2) ? 3 : 0;
    if (c == 0xED) return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
    if (c == 0xF0) return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
    if (c >= 0xF1 && c <= 0xF3) return cont(1) && cont(2) && cont(3) ? 4 : 0;
    if (c == 0xF4) return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
    return 0;
}

// Code point of a valid sequence of `len` bytes.
char32_t decode(const unsigned char* p, std::size_t len) {
    if (len == 1) return p[0];
    if (len == 2) return ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    if (len == 3) return ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    return ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
}

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

}  // namespace

bool valid_utf8(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const std::size_t len = sequence_length(s, i, n);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string_view trim_unicode_space(std::string_view text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t begin = 0;
    while (begin < n) {
        const std::size_t len = sequence_length(s, begin, n);
        if (len == 0 || !is_white_space(decode(s + begin, len))) break;
        begin += len;
    }
    // Walk forward so every character boundary is known; remember where the trailing run of
    // white space starts.
    std::size_t end = begin, i = begin;
    while (i < n) {
        std::size_t len = sequence_length(s, i, n);
        if (len == 0) len = 1;
        i += len;
        if (!is_white_space(decode(s + i - len, len))) end = i;
    }
    return text.substr(begin, end - begin);
}

}  // namespace nubiro::io
