#include "core/io/lzf.hpp"

#include <cstring>
#include <vector>

namespace nubiro::io::lzf {

namespace {

std::string num(std::size_t v) { return std::to_string(v); }

constexpr std::size_t kMaxLiteral = 32;
constexpr std::size_t kMaxDistance = 8192;
constexpr std::size_t kMaxMatch = 7 + 255 + 2;
constexpr int kHashBits = 14;

std::uint32_t hash3(const std::uint8_t* p) {
    const std::uint32_t v = std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
    return (v * 2654435761u) >> (32 - kHashBits);
}

}  // namespace

std::optional<std::string> decompress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
    const std::size_t in_size = in.size(), out_size = out.size();
    std::size_t ip = 0, op = 0;
    while (ip < in_size) {
        const unsigned c = in[ip++];
        if (c < 32) {
            const std::size_t len = c + 1;
            if (len > in_size - ip)
                return "literal run of " + num(len) + " bytes at input byte " + num(ip - 1) + " runs past the end of the input";
            if (len > out_size - op)
                return "literal run of " + num(len) + " bytes at output byte " + num(op) + " runs past the " +
                       num(out_size) + " bytes expected";
            if (in_size - ip >= kMaxLiteral && out_size - op >= kMaxLiteral) {
                // A fixed-size copy compiles to a few vector moves instead of a library call; the
                // bytes past the run are overwritten by the runs that follow (the stream must
                // still fill the output exactly, checked at the end).
                std::memcpy(out.data() + op, in.data() + ip, kMaxLiteral);
            } else {
                std::memcpy(out.data() + op, in.data() + ip, len);
            }
            ip += len;
            op += len;
            continue;
        }
        std::size_t len = c >> 5;
        if (len == 7) {
            if (ip >= in_size) return "input ends inside a back-reference at input byte " + num(ip - 1);
            len += in[ip++];
        }
        len += 2;
        if (ip >= in_size) return "input ends inside a back-reference at input byte " + num(ip - 1);
        const std::size_t distance = ((std::size_t{c} & 31) << 8 | in[ip++]) + 1;
        if (distance > op)
            return "back-reference " + num(distance) + " bytes back at output byte " + num(op) +
                   " reaches before the start of the output";
        if (len > out_size - op)
            return "back-reference of " + num(len) + " bytes at output byte " + num(op) + " runs past the " +
                   num(out_size) + " bytes expected";
        std::uint8_t* dst = out.data() + op;
        const std::uint8_t* src = dst - distance;
        if (distance >= 8 && out_size - op >= len + 8) {
            // Eight bytes at a time: with the source at least 8 bytes back, every word read has
            // been written already, overlapping or not. The last word may spill past the run
            // (within the output, overwritten later).
            for (std::size_t k = 0; k < len; k += 8) std::memcpy(dst + k, src + k, 8);
        } else if (distance >= len) {
            std::memcpy(dst, src, len);
        } else {
            for (std::size_t k = 0; k < len; ++k) dst[k] = src[k];  // overlapping: byte by byte
        }
        op += len;
    }
    if (op != out_size) return "stream ends after " + num(op) + " of the " + num(out_size) + " bytes expected";
    return std::nullopt;
}

std::string compress(std::span<const std::uint8_t> in) {
    const std::size_t n = in.size();
    std::string out;
    out.reserve(n + n / kMaxLiteral + 16);
    std::vector<std::size_t> table(std::size_t{1} << kHashBits, SIZE_MAX);
    std::size_t literal_start = 0;  // first byte of the pending literal run

    auto flush_literals = [&](std::size_t end) {
        while (literal_start < end) {
            const std::size_t len = std::min(kMaxLiteral, end - literal_start);
            out.push_back(static_cast<char>(len - 1));
            out.append(reinterpret_cast<const char*>(in.data() + literal_start), len);
            literal_start += len;
        }
    };

    std::size_t ip = 0;
    while (ip + 2 < n) {
        const std::uint32_t h = hash3(in.data() + ip);
        const std::size_t ref = table[h];
        table[h] = ip;
        if (ref != SIZE_MAX && ip - ref - 1 < kMaxDistance && in[ref] == in[ip] && in[ref + 1] == in[ip + 1] &&
            in[ref + 2] == in[ip + 2]) {
            const std::size_t limit = std::min(kMaxMatch, n - ip);
            std::size_t len = 3;
            while (len < limit && in[ref + len] == in[ip + len]) ++len;
            flush_literals(ip);
            const std::size_t distance = ip - ref - 1, code = len - 2;
            if (code < 7) {
                out.push_back(static_cast<char>(code << 5 | distance >> 8));
            } else {
                out.push_back(static_cast<char>(7 << 5 | distance >> 8));
                out.push_back(static_cast<char>(code - 7));
            }
            out.push_back(static_cast<char>(distance & 255));
            ip += len;
            literal_start = ip;
            // Remember the last positions of the match too, so the next run can refer to them.
            for (std::size_t k = ip >= 2 ? ip - 2 : 0; k < ip && k + 2 < n; ++k) table[hash3(in.data() + k)] = k;
            continue;
        }
        ++ip;
    }
    flush_literals(n);
    return out;
}

}  // namespace nubiro::io::lzf
