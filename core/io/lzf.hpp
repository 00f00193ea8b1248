// LZF, the small byte-oriented LZ77 codec used by compressed point-cloud bodies.
//
// A stream is a sequence of runs, each starting with a control byte c:
//   c < 32:  a literal run; the next c + 1 bytes are copied to the output;
//   c >= 32: a back-reference of length (c >> 5) + 2, extended by the next byte when c >> 5 is 7;
//            it copies from `distance` = ((c & 31) << 8 | next byte) + 1 bytes back in the output.
// Back-references may overlap the bytes they produce (a run of one repeated byte).
//
// The decoder checks every length against both buffers, so a damaged stream gives an error
// message and never reads or writes outside them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace nubiro::io::lzf {

// Decodes `in` into exactly out.size() bytes; the reason on failure (the stream runs past
// the end of the output, a back-reference reaches before its start, the input ends inside a
// run, or the stream ends before the output is full).
std::optional<std::string> decompress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

// The most output `compressed_size` bytes of any stream can decode to: a back-reference of
// 3 bytes yields at most 264.
inline std::uint64_t max_decompressed_size(std::uint64_t compressed_size) { return compressed_size / 3 * 264 + 264; }

// Encodes `in`; the result may be slightly larger than the input when nothing repeats (one
// control byte per 32 literals). Deterministic: the same input always gives the same bytes.
std::string compress(std::span<const std::uint8_t> in);

}  // namespace nubiro::io::lzf
