// Checks the number text forms against the C library's printf/strtod (C locale) over millions
// of doubles, and the parsers against a literal, regex-based reading of their grammar.
//
//   number_text_check [values-per-family]     (default 400000; exits non-zero on any mismatch)
#include "core/number_text.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

namespace {

using nubiro::text::format_exponent;
using nubiro::text::format_fixed;
using nubiro::text::format_fixed10;
using nubiro::text::format_general;
using nubiro::text::format_integer;
using nubiro::text::format_shortest;
using nubiro::text::parse_lenient;
using nubiro::text::parse_strict;

long failures = 0;

void fail(const std::string& what) {
    if (++failures <= 40) std::fprintf(stderr, "FAIL %s\n", what.c_str());
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }
double from_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

std::string hex(double x) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(bits(x)));
    return buf;
}

std::string printf_text(const char* format, double x) {
    char small[64];
    int n = std::snprintf(small, sizeof small, format, x);
    if (n < static_cast<int>(sizeof small)) return small;
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, x);
    big.resize(static_cast<std::size_t>(n));
    return big;
}

std::string printf_precision(const char* format, int precision, double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, precision, x);
    return buf;
}

std::string general_digits(double x, int digits) {
    std::string s;
    nubiro::text::append_general(s, x, digits);
    return s;
}

// ---------------------------------------------------------------- value families

struct Family {
    const char* name;
    double (*make)(std::mt19937_64&);
};

const Family kFamilies[] = {
    {"random bit patterns", [](std::mt19937_64& g) { return from_bits(g()); }},
    {"subnormals", [](std::mt19937_64& g) { return from_bits(g() & 0x800fffffffffffffULL); }},
    {"near the extremes",
     [](std::mt19937_64& g) {
         // Exponent fields next to 0 and 2046, where subnormal and overflow edges live.
         const std::uint64_t e = (g() & 1) ? g() % 4 : 2043 + g() % 4;
         return from_bits((g() & 0x800fffffffffffffULL) | (e << 52));
     }},
    {"ordinary magnitudes",
     [](std::mt19937_64& g) {
         const std::uint64_t e = 1023 - 60 + g() % 120;
         return from_bits((g() & 0x800fffffffffffffULL) | (e << 52));
     }},
    {"dyadic ties",
     [](std::mt19937_64& g) {
         // k / 2^j has a short exact decimal expansion ending in 5: exact ties for every form.
         const double k = static_cast<double>(g() % 2000000);
         const double v = std::ldexp(k, -static_cast<int>(g() % 45));
         return (g() & 1) ? -v : v;
     }},
    {"half integers",
     [](std::mt19937_64& g) {
         const double v = static_cast<double>(g() >> (11 + g() % 52)) + 0.5;
         return (g() & 1) ? -v : v;
     }},
    {"integers",
     [](std::mt19937_64& g) {
         const double v = static_cast<double>(g() >> (g() % 64));
         return (g() & 1) ? -v : v;
     }},
    {"short decimals and neighbours",
     [](std::mt19937_64& g) {
         // d.ddddd5 × 10^k and its neighbours: the rounding boundaries of six and seven digits.
         char buf[64];
         std::snprintf(buf, sizeof buf, "%llu.%llu5e%d",
                       static_cast<unsigned long long>(g() % 10),
                       static_cast<unsigned long long>(g() % 10000000),
                       static_cast<int>(g() % 60) - 30);
         double v = std::strtod(buf, nullptr);
         const int step = static_cast<int>(g() % 5) - 2;
         for (int i = 0; i < std::abs(step); ++i)
             v = std::nextafter(v, step > 0 ? HUGE_VAL : -HUGE_VAL);
         return v;
     }},
};

const double kSpecials[] = {
    0.0, -0.0, 1.0, -1.0, 0.5, 1e-4, 1e-5, 999999.0, 999999.5, 9999995.0, 0.1 + 0.2, 1e20, 1e21,
    1e22, 1e23, 2.0, 30.0, 1e-6, 1e100, 2e100, 1.5e-7, -2.5e6, 3.14159265, 42.0, 2.5e-3,
    std::numeric_limits<double>::max(), std::numeric_limits<double>::min(),
    std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
    from_bits(0x7ff8000000000000ULL), from_bits(0xfff8000000000000ULL),
    from_bits(0x7ff0000000000001ULL), from_bits(0xffffffffffffffffULL),
};

// ---------------------------------------------------------------- printf-like forms

void check_printf_forms(double x) {
    struct Form {
        const char* printf_format;
        std::string (*ours)(double);
    };
    static const Form forms[] = {
        {"%g", format_general},
        {"%.9g", [](double v) { return general_digits(v, 9); }},
        {"%.17g", [](double v) { return general_digits(v, 17); }},
        {"%e", format_exponent},
        {"%.10f", format_fixed10},
        {"%.4f", [](double v) { return format_fixed(v, 4); }},
        {"%.6f", [](double v) { return format_fixed(v, 6); }},
    };
    for (const Form& f : forms) {
        std::string expected = printf_text(f.printf_format, x);
        if (std::isnan(x) && f.ours == format_exponent) expected = "nan";
        const std::string got = f.ours(x);
        if (got != expected)
            fail(std::string(f.printf_format) + " of " + hex(x) + ": got " + got + ", expected " +
                 expected);
    }
}

// ---------------------------------------------------------------- shortest form

// Significant digits of a positive value written by "%.Ne": digits and exponent of the first.
struct Decimal {
    std::string digits;
    int exponent;
};

Decimal decimal_from_e(const std::string& s) {
    Decimal d{};
    const std::size_t e = s.find('e');
    for (char c : s.substr(0, e))
        if (c != '.') d.digits += c;
    d.exponent = std::atoi(s.c_str() + e + 1);
    return d;
}

double decimal_value(const Decimal& d) {
    const std::string s = "0." + d.digits + "e" + std::to_string(d.exponent + 1);
    return std::strtod(s.c_str(), nullptr);
}

// The neighbouring value on the same digit count: one unit in the last digit up or down,
// carrying across decades (so 1.00e5 - 1 unit is 9.99e4).
Decimal step(Decimal d, int direction) {
    int i = static_cast<int>(d.digits.size()) - 1;
    if (direction > 0) {
        while (i >= 0 && d.digits[i] == '9') d.digits[i--] = '0';
        if (i < 0) {
            d.digits.insert(d.digits.begin(), '1');
            d.digits.pop_back();
            ++d.exponent;
        } else {
            ++d.digits[i];
        }
    } else {
        while (i >= 0 && d.digits[i] == '0') d.digits[i--] = '9';
        --d.digits[i];
        if (d.digits[0] == '0') {
            d.digits.erase(d.digits.begin());
            d.digits.push_back('9');
            --d.exponent;
        }
    }
    return d;
}

// Significant digits of our plain form and the decimal exponent of the first one.
bool digits_of_plain(const std::string& plain, Decimal& out) {
    std::string_view s = plain;
    if (!s.empty() && s.front() == '-') s.remove_prefix(1);
    const std::size_t point = std::min(s.find('.'), s.size());
    if (point < s.size() && (s.back() == '0' || s.back() == '.')) return false;
    if (s.find_first_not_of("0123456789.") != std::string_view::npos) return false;
    if (point > 1 && s.front() == '0') return false;
    const std::size_t first = s.find_first_of("123456789");
    if (first == std::string_view::npos) return false;
    out.digits.clear();
    for (std::size_t i = first; i < s.size(); ++i)
        if (s[i] != '.') out.digits += s[i];
    while (out.digits.size() > 1 && out.digits.back() == '0') out.digits.pop_back();
    out.exponent = first < point ? static_cast<int>(point - first) - 1
                                 : -static_cast<int>(first - point);
    return true;
}

void check_shortest(double x) {
    const std::string got = format_shortest(x);
    if (std::isnan(x)) {
        if (got != "NaN") fail("shortest of NaN " + hex(x) + ": " + got);
        return;
    }
    if (std::isinf(x) || x == 0.0) {
        const char* expected = std::isinf(x) ? (x < 0 ? "-inf" : "inf") : (std::signbit(x) ? "-0" : "0");
        if (got != expected) fail("shortest of " + hex(x) + ": " + got);
        return;
    }
    Decimal ours;
    if (!digits_of_plain(got, ours) || (got.front() == '-') != (x < 0)) {
        fail("shortest of " + hex(x) + " is not plain decimal: " + got);
        return;
    }
    if (bits(std::strtod(got.c_str(), nullptr)) != bits(x)) {
        fail("shortest of " + hex(x) + " does not read back: " + got);
        return;
    }
    const double a = std::fabs(x);
    const int n = static_cast<int>(ours.digits.size());
    // Minimal: no decimal with one digit fewer reads back. The nearest such decimal and its two
    // neighbours bracket every candidate inside the round-trip interval.
    if (n > 1) {
        const Decimal r = decimal_from_e(printf_precision("%.*e", n - 2, a));
        for (const Decimal& c : {step(r, -1), r, step(r, +1)})
            if (decimal_value(c) == a) fail("shortest of " + hex(x) + " not minimal: " + got);
    }
    // Closest: the correctly rounded n-digit decimal wins whenever it reads back.
    const Decimal nearest = decimal_from_e(printf_precision("%.*e", n - 1, a));
    if (decimal_value(nearest) == a && (nearest.digits.substr(0, n) != ours.digits ||
                                        nearest.exponent != ours.exponent))
        fail("shortest of " + hex(x) + " not the closest: " + got);
}

// ---------------------------------------------------------------- parsing

// The token grammar written out as a regular expression, independent of the scanner.
const std::regex kFloatToken(
    R"([+-]?(([iI][nN][fF]([iI][nN][iI][tT][yY])?)|([nN][aA][nN])|((\d+\.?\d*|\.\d+)([eE][+-]?\d+)?)))");

bool same_value(std::optional<double> a, std::optional<double> b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || bits(*a) == bits(*b);
}

std::string show(std::optional<double> v) {
    return v ? printf_text("%.17g", *v) + " (" + hex(*v) + ")" : std::string("no value");
}

// strtod in the C locale agrees with the grammar's values for every accepted token, apart
// from the NaN payload rule, which is ours.
std::optional<double> reference_strict(const std::string& token) {
    if (!std::regex_match(token, kFloatToken)) return std::nullopt;
    const double v = std::strtod(token.c_str(), nullptr);
    if (std::isnan(v)) return from_bits(token.front() == '-' ? 0xfff8000000000000ULL : 0x7ff8000000000000ULL);
    return v;
}

// Positions that start a character: a well-formed multi-byte sequence counts as one
// character, any other byte (a stray continuation byte, a truncated sequence) as one of its own.
std::vector<bool> character_starts(const std::string& token) {
    std::vector<bool> starts(token.size() + 1, false);
    std::size_t i = 0;
    while (i < token.size()) {
        starts[i] = true;
        const auto lead = static_cast<unsigned char>(token[i]);
        const std::size_t length = lead >= 0xf0 && lead <= 0xf4 ? 4
                                   : lead >= 0xe0 && lead <= 0xef ? 3
                                   : lead >= 0xc2 && lead <= 0xdf ? 2
                                                                  : 1;
        bool well_formed = i + length <= token.size();
        for (std::size_t k = 1; well_formed && k < length; ++k)
            well_formed = (static_cast<unsigned char>(token[i + k]) & 0xc0) == 0x80;
        i += well_formed ? length : 1;
    }
    starts[token.size()] = true;
    return starts;
}

// The lenient steps exactly as described, trying every prefix.
std::optional<double> reference_lenient(const std::string& token) {
    if (auto v = reference_strict(token)) return v;
    std::string lower = token;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const std::string_view s = lower;
    if (s.size() >= 3) {
        if (s.starts_with("nan")) return from_bits(0x7ff8000000000000ULL);
        if (s == "inf" || (s.size() > 3 && s.starts_with("inf"))) return HUGE_VAL;
        if (s.size() > 3 && s.starts_with("-nan")) return from_bits(0xfff8000000000000ULL);
        if (s.size() > 3 && s.starts_with("-inf")) return -HUGE_VAL;
    }
    const std::vector<bool> starts = character_starts(token);
    for (std::size_t n = token.size() - 1; n >= 1 && n < token.size(); --n) {
        if (!starts[n]) continue;  // would end inside a character
        if (auto v = reference_strict(token.substr(0, n))) return v;
    }
    return std::nullopt;
}

void check_parse_tables() {
    const double inf = HUGE_VAL;
    const double qnan = from_bits(0x7ff8000000000000ULL);
    const double negative_nan = from_bits(0xfff8000000000000ULL);
    struct Case {
        const char* token;
        std::optional<double> strict;
        std::optional<double> lenient;
    };
    const std::optional<double> none;
    const Case cases[] = {
        {"", none, none},
        {"+", none, none},
        {"-", none, none},
        {".", none, none},
        {"e5", none, none},
        {"1e", none, 1.0},
        {"2e", none, 2.0},
        {"0x10", none, 0.0},
        {"infinit", none, inf},
        {"1 2", none, 1.0},
        {" 1", none, none},
        {"1 ", none, 1.0},
        {"INF", inf, inf},
        {"-Infinity", -inf, -inf},
        {"+nan", qnan, qnan},
        {"nan", qnan, qnan},
        {"-nan", negative_nan, negative_nan},
        {"NaN", qnan, qnan},
        {"1E+3", 1000.0, 1000.0},
        {"1", 1.0, 1.0},
        {"1.", 1.0, 1.0},
        {".5", 0.5, 0.5},
        {"1.5", 1.5, 1.5},
        {"+1.5e-3", 1.5e-3, 1.5e-3},
        {"1.e5", 1e5, 1e5},
        {"-0", -0.0, -0.0},
        {"1e400", inf, inf},
        {"-1e400", -inf, -inf},
        {"1e-400", 0.0, 0.0},
        {"-1e-400", -0.0, -0.0},
        {"0.000001e-320", 0.0, 0.0},
        {"123456789e-331", from_bits(0x0000000000000002ULL), none},
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min(), none},
        {"2.4703282292062327e-324", 0.0, 0.0},
        {"2.4703282292062328e-324", std::numeric_limits<double>::denorm_min(), none},
        {"1.7976931348623158e308", std::numeric_limits<double>::max(), none},
        {"1.7976931348623159e308", inf, none},
        {"0e99999999999999999999", 0.0, 0.0},
        {"1e99999999999999999999", inf, inf},
        {"1e-99999999999999999999", 0.0, 0.0},
        {"1_000", none, 1.0},
        {"1,5", none, 1.0},
        {"abc", none, none},
        {"in", none, none},
        {"inf5", none, inf},
        {"12abc", none, 12.0},
        {"1.5abc", none, 1.5},
        {"1.#INF", none, 1.0},
        {"nan(ind)", none, qnan},
        {"-nan(ind)", none, negative_nan},
        {"infinite", none, inf},
        {"-INFINITE", none, -inf},
        {"+nanx", none, qnan},
        {"+infx", none, inf},
        {"-in", none, none},
        {"1.5\xc3\xa9", none, 1.5},
        {"\xc3\xa9", none, none},
        {"\xe2\x82\xac""5", none, none},
        {"7\xf0\x9f\x99\x82", none, 7.0},
        {"5\x80", none, 5.0},
        {"5\xe2\x82", none, 5.0},
    };
    for (const Case& c : cases) {
        const std::optional<double> strict = parse_strict(c.token);
        const std::optional<double> lenient = parse_lenient(c.token);
        const std::optional<double> expected_lenient = c.lenient ? c.lenient : c.strict ? c.strict : none;
        if (!same_value(strict, c.strict))
            fail(std::string("strict '") + c.token + "': got " + show(strict) + ", expected " + show(c.strict));
        if (!same_value(lenient, expected_lenient))
            fail(std::string("lenient '") + c.token + "': got " + show(lenient) + ", expected " +
                 show(expected_lenient));
    }
}

// Random tokens over the characters the grammar cares about, plus non-ASCII bytes.
void check_parse_random(std::mt19937_64& g, long count) {
    static const std::string_view pieces[] = {
        "0", "1", "5", "9", "7", ".", "e", "E", "+", "-", "inf", "INF", "inity", "nan", "NaN",
        "x", " ", "#", "(", "i", "n", "a", "\xc3\xa9", "\xe2\x82\xac", "\x80", "e308", "e-330"};
    for (long i = 0; i < count; ++i) {
        std::string token;
        const int length = static_cast<int>(g() % 7);
        for (int k = 0; k < length; ++k) token += pieces[g() % std::size(pieces)];
        if (!same_value(parse_strict(token), reference_strict(token)))
            fail("strict random '" + token + "': got " + show(parse_strict(token)) + ", expected " +
                 show(reference_strict(token)));
        if (!same_value(parse_lenient(token), reference_lenient(token)))
            fail("lenient random '" + token + "': got " + show(parse_lenient(token)) + ", expected " +
                 show(reference_lenient(token)));
    }
}

// Long digit strings and extreme exponents: correct rounding against strtod.
void check_parse_values(std::mt19937_64& g, long count) {
    for (long i = 0; i < count; ++i) {
        std::string token = (g() & 1) ? "-" : "";
        const int int_digits = static_cast<int>(g() % 25);
        const int frac_digits = static_cast<int>(g() % 25);
        for (int k = 0; k < int_digits; ++k) token += static_cast<char>('0' + g() % 10);
        if (frac_digits > 0 || int_digits == 0) token += '.';
        for (int k = 0; k < frac_digits || (int_digits == 0 && k == 0); ++k)
            token += static_cast<char>('0' + g() % 10);
        if (g() & 1) token += "e" + std::to_string(static_cast<int>(g() % 700) - 350);
        const std::optional<double> got = parse_strict(token);
        const double expected = std::strtod(token.c_str(), nullptr);
        if (!got || bits(*got) != bits(expected))
            fail("value of '" + token + "': got " + show(got) + ", expected " + show(expected));
    }
}

void check_round_trip(double x) {
    if (std::isnan(x)) return;
    const std::string text = printf_text("%.17g", x);
    const std::optional<double> back = parse_strict(text);
    if (!back || bits(*back) != bits(x)) fail("round trip of " + text + ": " + show(back));
}

void check_named_examples() {
    struct Example {
        std::string got;
        std::string expected;
    };
    const double nan_neg = from_bits(0xfff8000000000000ULL);
    const Example examples[] = {
        {format_general(0.5), "0.5"},
        {format_general(1e-5), "1e-05"},
        {format_general(1e-4), "0.0001"},
        {format_general(1e6), "1e+06"},
        {format_general(999999.0), "999999"},
        {format_general(999999.5), "1e+06"},
        {format_general(0.1 + 0.2), "0.3"},
        {format_general(-0.0), "-0"},
        {format_general(nan_neg), "-nan"},
        {format_general(1.5e-7), "1.5e-07"},
        {format_general(1e100), "1e+100"},
        {format_general(-2.5e6), "-2.5e+06"},
        {format_general(3.14159265), "3.14159"},
        {format_general(2.5e-3), "0.0025"},
        {format_exponent(2.0), "2.000000e+00"},
        {format_exponent(-0.0), "-0.000000e+00"},
        {format_exponent(nan_neg), "nan"},
        {format_exponent(2e100), "2.000000e+100"},
        {format_fixed10(1e-11), "0.0000000000"},
        {format_fixed10(1e20), "100000000000000000000.0000000000"},
        {format_fixed10(-0.0), "-0.0000000000"},
        {format_fixed10(nan_neg), "-nan"},
        {format_fixed(nan_neg, 4), "-nan"},
        {format_fixed(-HUGE_VAL, 6), "-inf"},
        {format_shortest(0.1 + 0.2), "0.30000000000000004"},
        {format_shortest(1.0), "1"},
        {format_shortest(100.0), "100"},
        {format_shortest(2.5e-3), "0.0025"},
        {format_shortest(1e21), "1000000000000000000000"},
        {format_shortest(1e23), "100000000000000000000000"},
        {format_shortest(std::numeric_limits<double>::denorm_min()), "0." + std::string(323, '0') + "5"},
        {format_shortest(nan_neg), "NaN"},
        {format_shortest(-0.0), "-0"},
        {format_integer(0), "0"},
        {format_integer(-42), "-42"},
        {format_integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
    };
    for (const Example& e : examples)
        if (e.got != e.expected) fail("example: got " + e.got + ", expected " + e.expected);
}

}  // namespace

int main(int argc, char** argv) {
    const long per_family = argc > 1 ? std::atol(argv[1]) : 400000;
    std::mt19937_64 g(20240611);

    check_named_examples();
    check_parse_tables();
    for (double x : kSpecials) {
        check_printf_forms(x);
        check_shortest(x);
        check_round_trip(x);
    }
    long values = 0;
    for (const Family& family : kFamilies) {
        const long before = failures;
        for (long i = 0; i < per_family; ++i) {
            const double x = family.make(g);
            check_printf_forms(x);
            check_shortest(x);
            check_round_trip(x);
        }
        values += per_family;
        std::printf("%-32s %ld values, %ld failures\n", family.name, per_family, failures - before);
    }
    check_parse_random(g, per_family);
    check_parse_values(g, per_family);
    std::printf("%ld doubles x 7 printf forms + shortest + round trip; %ld random tokens; "
                "%ld random decimal strings\n", values, per_family, per_family);
    if (failures > 0) {
        std::printf("FAILED: %ld mismatches\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
