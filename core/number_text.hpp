// Number text: the fixed ways a float64 becomes text and text becomes a float64.
//
// Files and printed objects must be byte-for-byte predictable, so every form here is the
// correctly rounded decimal expansion of the exact binary value (ties to even) and nothing
// depends on the process locale. The printf-like forms keep printf's texts for the special
// values ("nan", "-nan", "inf", "-inf").
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nubiro::text {

// printf "%g" (six significant digits, trailing zeros removed): 0.5, 1e-05, 1e+06, -nan.
std::string format_general(double x);
// printf "%e" (seven significant digits, never trimmed): 1.000000e-06; NaN of either sign is "nan".
std::string format_exponent(double x);
// printf "%.10f": 1.5000000000; every integer digit written out.
std::string format_fixed10(double x);
// printf "%.{decimals}f" for any decimals in [0, 100]: nan/-nan/inf/-inf like printf.
std::string format_fixed(double x, int decimals);
// Shortest digits that read back to x, in plain decimal without exponent: 0.1, 100, 0.0025;
// "NaN", "inf", "-inf", "-0".
std::string format_shortest(double x);
// Plain decimal, "-" for negatives.
std::string format_integer(std::int64_t v);

// Appending variants for writers that build large outputs without a temporary per value.
void append_general(std::string& out, double x);
// printf "%.{digits}g" for digits in [1, 17]: nine read back to the same float32, seventeen
// to the same float64.
void append_general(std::string& out, double x, int digits);
void append_exponent(std::string& out, double x);
void append_fixed10(std::string& out, double x);
void append_fixed(std::string& out, double x, int decimals);
void append_shortest(std::string& out, double x);
void append_integer(std::string& out, std::int64_t v);

// The whole token must be one float: [+-] then digits with an optional point (at least one
// digit), optional exponent; or inf / infinity / nan in any case. No spaces, no hex.
// Out-of-range magnitudes give ±inf or ±0; "-nan" has its sign bit set.
std::optional<double> parse_strict(std::string_view token);
// The strict parse, then printf-style NaN/inf spellings ("nan(ind)", "-INFINITE"), then the
// longest prefix that parses strictly ("1.5abc" -> 1.5). No value if nothing fits.
std::optional<double> parse_lenient(std::string_view token);

}  // namespace nubiro::text
