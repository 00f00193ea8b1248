#include "core/number_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace nubiro::text {
namespace {

// Large enough for "%.100f" of the largest double (309 integer digits) and for the plain
// shortest form of the smallest subnormal (323 zeros after the point).
constexpr std::size_t kBufferSize = 512;
constexpr int kMaxFixedDecimals = 100;

constexpr std::uint64_t kQuietNanBits = 0x7ff8000000000000ULL;
constexpr std::uint64_t kSignBit = 0x8000000000000000ULL;

// printf's spelling of the special values; "-nan" keeps the sign bit visible.
bool append_special(std::string& out, double x) {
    if (std::isnan(x)) {
        out += std::signbit(x) ? "-nan" : "nan";
        return true;
    }
    if (std::isinf(x)) {
        out += x < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

template <class... Format>
void append_to_chars(std::string& out, double x, Format... format) {
    std::array<char, kBufferSize> buf;
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), x, format...);
    out.append(buf.data(), end);
}

// Shortest round-trip digits of a finite nonzero |x| as a digit string without trailing zeros
// and the decimal exponent of its first digit (x = d.ddd × 10^exponent).
struct Digits {
    std::string digits;
    int exponent;
};

Digits shortest_digits(double magnitude) {
    std::array<char, 64> buf;
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), magnitude,
                                   std::chars_format::scientific);
    std::string_view sci(buf.data(), static_cast<std::size_t>(end - buf.data()));
    const std::size_t e = sci.find('e');
    Digits d{};
    for (char c : sci.substr(0, e))
        if (c != '.') d.digits += c;
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    const std::string_view exp_text = sci.substr(e + 1);
    const bool negative = exp_text.front() == '-';
    std::from_chars(exp_text.data() + 1, exp_text.data() + exp_text.size(), d.exponent);
    if (negative) d.exponent = -d.exponent;
    return d;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_nocase(std::string_view s, std::size_t at, std::string_view word) {
    if (s.size() - at < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if (ascii_lower(s[at + i]) != word[i]) return false;
    return true;
}

// Length of the longest prefix of s that is a complete float token (0 if none). Every such
// prefix is pure ASCII, so it never ends inside a multi-byte UTF-8 character.
std::size_t longest_float_prefix(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (starts_with_nocase(s, i, "infinity")) return i + 8;
    if (starts_with_nocase(s, i, "inf") || starts_with_nocase(s, i, "nan")) return i + 3;

    std::size_t j = i;
    while (j < s.size() && is_digit(s[j])) ++j;
    bool any_digit = j > i;
    if (j < s.size() && s[j] == '.') {
        const std::size_t fraction = ++j;
        while (j < s.size() && is_digit(s[j])) ++j;
        any_digit = any_digit || j > fraction;
    }
    if (!any_digit) return 0;
    std::size_t best = j;
    if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        std::size_t k = j + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        const std::size_t exponent_digits = k;
        while (k < s.size() && is_digit(s[k])) ++k;
        if (k > exponent_digits) best = k;
    }
    return best;
}

// Decimal exponent of the leading nonzero digit of a number token without sign; only its sign
// matters (it tells overflow from underflow), so the explicit exponent saturates.
long long leading_digit_exponent(std::string_view number) {
    const std::size_t e = std::min(number.find_first_of("eE"), number.size());
    const std::string_view mantissa = number.substr(0, e);
    long long explicit_exponent = 0;
    if (e < number.size()) {
        std::size_t k = e + 1;
        const bool negative = number[k] == '-';
        if (number[k] == '+' || number[k] == '-') ++k;
        for (; k < number.size(); ++k)
            explicit_exponent = std::min(explicit_exponent * 10 + (number[k] - '0'), 1LL << 40);
        if (negative) explicit_exponent = -explicit_exponent;
    }
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_of("123456789");
    const long long position = first < point ? static_cast<long long>(point - first) - 1
                                             : -static_cast<long long>(first - point);
    return explicit_exponent + position;
}

// Value of a complete token accepted by longest_float_prefix.
double token_value(std::string_view token) {
    const bool negative = token.front() == '-';
    std::string_view body = token;
    if (body.front() == '+' || body.front() == '-') body.remove_prefix(1);

    double magnitude = 0.0;
    if (ascii_lower(body.front()) == 'n') {
        magnitude = std::bit_cast<double>(kQuietNanBits);
    } else if (ascii_lower(body.front()) == 'i') {
        magnitude = std::numeric_limits<double>::infinity();
    } else {
        auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), magnitude,
                                         std::chars_format::general);
        if (ec == std::errc::result_out_of_range)
            magnitude = leading_digit_exponent(body) >= 0 ? std::numeric_limits<double>::infinity()
                                                          : 0.0;
    }
    return negative ? -magnitude : magnitude;
}

// printf-style spellings that the strict grammar does not cover: "nan(ind)", "-nan(ind)",
// "infinite", "-INFINITE".
std::optional<double> special_spelling(std::string_view token) {
    const double inf = std::numeric_limits<double>::infinity();
    if (starts_with_nocase(token, 0, "nan")) return std::bit_cast<double>(kQuietNanBits);
    if (starts_with_nocase(token, 0, "inf")) return inf;  // "inf" itself or longer
    if (starts_with_nocase(token, 0, "-nan")) return std::bit_cast<double>(kQuietNanBits | kSignBit);
    if (starts_with_nocase(token, 0, "-inf")) return -inf;
    return std::nullopt;
}

}  // namespace

void append_general(std::string& out, double x) { append_general(out, x, 6); }

void append_general(std::string& out, double x, int digits) {
    if (append_special(out, x)) return;
    append_to_chars(out, x, std::chars_format::general, std::clamp(digits, 1, 17));
}

void append_exponent(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "nan";
        return;
    }
    if (append_special(out, x)) return;
    append_to_chars(out, x, std::chars_format::scientific, 6);
}

void append_fixed(std::string& out, double x, int decimals) {
    if (append_special(out, x)) return;
    append_to_chars(out, x, std::chars_format::fixed, std::clamp(decimals, 0, kMaxFixedDecimals));
}

void append_fixed10(std::string& out, double x) { append_fixed(out, x, 10); }

void append_shortest(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
        return;
    }
    if (append_special(out, x)) return;
    if (std::signbit(x)) out += '-';
    if (x == 0.0) {
        out += '0';
        return;
    }
    const Digits d = shortest_digits(std::fabs(x));
    const auto count = static_cast<int>(d.digits.size());
    if (d.exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
    } else if (count <= d.exponent + 1) {
        out += d.digits;
        out.append(static_cast<std::size_t>(d.exponent + 1 - count), '0');
    } else {
        const auto integer_digits = static_cast<std::size_t>(d.exponent + 1);
        out.append(d.digits, 0, integer_digits);
        out += '.';
        out.append(d.digits, integer_digits);
    }
}

void append_integer(std::string& out, std::int64_t v) {
    std::array<char, 24> buf;
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), v);
    out.append(buf.data(), end);
}

std::string format_general(double x) {
    std::string s;
    append_general(s, x);
    return s;
}

std::string format_exponent(double x) {
    std::string s;
    append_exponent(s, x);
    return s;
}

std::string format_fixed10(double x) {
    std::string s;
    append_fixed10(s, x);
    return s;
}

std::string format_fixed(double x, int decimals) {
    std::string s;
    append_fixed(s, x, decimals);
    return s;
}

std::string format_shortest(double x) {
    std::string s;
    append_shortest(s, x);
    return s;
}

std::string format_integer(std::int64_t v) {
    std::string s;
    append_integer(s, v);
    return s;
}

std::optional<double> parse_strict(std::string_view token) {
    if (token.empty() || longest_float_prefix(token) != token.size()) return std::nullopt;
    return token_value(token);
}

std::optional<double> parse_lenient(std::string_view token) {
    if (auto v = parse_strict(token)) return v;
    if (auto v = special_spelling(token)) return v;
    // Strict failed, so the longest accepted prefix is a proper prefix: exactly the first
    // prefix a longest-first search would accept.
    const std::size_t n = longest_float_prefix(token);
    if (n == 0) return std::nullopt;
    return token_value(token.substr(0, n));
}

}  // namespace nubiro::text
