#include "core/io/pcd.hpp"

#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/io/color_bytes.hpp"
#include "core/io/fresh_stores.hpp"
#include "core/io/lzf.hpp"
#include "core/io/source.hpp"
#include "core/number_text.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

static_assert(std::endian::native == std::endian::little, "binary PCD bodies are read as little-endian");

namespace nubiro::io::pcd {

std::string_view encoding_name(Encoding e) {
    switch (e) {
        case Encoding::Ascii: return "ascii";
        case Encoding::Binary: return "binary";
        case Encoding::BinaryCompressed: return "binary_compressed";
    }
    return "ascii";
}

namespace {

using std::to_string;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !is_space(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// Shown in messages: at most 40 bytes of a word, printable ASCII only.
std::string quoted(std::string_view word) {
    std::string out = "'";
    for (std::size_t i = 0; i < word.size() && i < 40; ++i) {
        const char c = word[i];
        out += (c >= 32 && c < 127) ? c : '?';
    }
    if (word.size() > 40) out += "...";
    return out + "'";
}

std::optional<std::uint64_t> parse_count(std::string_view w) {
    std::uint64_t v = 0;
    if (w.empty()) return std::nullopt;
    const auto [end, ec] = std::from_chars(w.data(), w.data() + w.size(), v);
    if (ec != std::errc() || end != w.data() + w.size()) return std::nullopt;
    return v;
}

std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
    return r;
}

bool known_type(char type, std::uint32_t size) {
    if (type == 'F') return size == 4 || size == 8;
    if (type == 'I' || type == 'U') return size == 1 || size == 2 || size == 4 || size == 8;
    return false;
}

bool is_colour(const Field& f) { return (f.name == "rgb" || f.name == "rgba") && f.size == 4; }

void put_double(double v, std::uint32_t size, std::uint8_t* dst) {
    if (size == 4) {
        const float f = static_cast<float>(v);
        std::memcpy(dst, &f, 4);
    } else {
        std::memcpy(dst, &v, 8);
    }
}

}  // namespace

std::uint64_t Header::record_size() const {
    std::uint64_t total = 0;
    for (const Field& f : fields) total += f.bytes();  // sizes are checked when the header is parsed
    return total;
}

Result<Header> parse_header(std::string_view data) {
    auto fail = [](std::string message) -> Result<Header> { return value_error(std::move(message)); };
    Header h;
    std::optional<std::vector<std::string_view>> sizes, types, counts;
    std::optional<std::uint64_t> width, height, points;
    bool have_fields = false, first = true;
    std::size_t pos = 0, line_number = 0;
    while (true) {
        if (pos >= data.size()) return fail("header ends without a DATA line");
        const std::size_t lf = data.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? data.size() : lf;
        const std::string_view line = data.substr(pos, end - pos);
        pos = lf == std::string_view::npos ? data.size() : lf + 1;
        ++line_number;
        const std::vector<std::string_view> words = split_words(line);
        if (words.empty() || words[0][0] == '#') continue;
        const std::string_view key = words[0];
        const std::span<const std::string_view> values(words.data() + 1, words.size() - 1);
        const std::string where = "header line " + to_string(line_number) + " (" + std::string(key) + ")";
        auto need_values = [&](std::size_t n) { return values.size() >= n; };
        if (key == "VERSION") {
            if (!need_values(1)) return fail(where + ": no version");
            h.version = std::string(values[0]);
        } else if (key == "FIELDS" || key == "COLUMNS") {
            if (!need_values(1)) return fail(where + ": no field names");
            h.fields.clear();
            for (std::string_view name : values) h.fields.push_back(Field{std::string(name)});
            have_fields = true;
        } else if (key == "SIZE") {
            sizes.emplace(values.begin(), values.end());
        } else if (key == "TYPE") {
            types.emplace(values.begin(), values.end());
        } else if (key == "COUNT") {
            counts.emplace(values.begin(), values.end());
        } else if (key == "WIDTH" || key == "HEIGHT" || key == "POINTS") {
            if (!need_values(1)) return fail(where + ": no value");
            const auto v = parse_count(values[0]);
            if (!v) return fail(where + ": " + quoted(values[0]) + " is not a count");
            (key == "WIDTH" ? width : key == "HEIGHT" ? height : points) = *v;
        } else if (key == "VIEWPOINT") {
            if (!need_values(7)) return fail(where + ": needs 7 numbers (translation, then a quaternion w x y z)");
            for (std::size_t i = 0; i < 7; ++i) {
                const auto v = text::parse_strict(values[i]);
                if (!v) return fail(where + ": " + quoted(values[i]) + " is not a number");
                h.viewpoint[i] = *v;
            }
        } else if (key == "DATA") {
            if (!need_values(1)) return fail(where + ": no encoding");
            if (values[0] == "ascii")
                h.encoding = Encoding::Ascii;
            else if (values[0] == "binary")
                h.encoding = Encoding::Binary;
            else if (values[0] == "binary_compressed")
                h.encoding = Encoding::BinaryCompressed;
            else
                return fail(where + ": " + quoted(values[0]) + " is not ascii, binary or binary_compressed");
            h.body_offset = pos;
            break;
        } else if (first) {
            return fail("not a PCD header: line " + to_string(line_number) + " starts with " + quoted(key));
        } else {
            return fail("header line " + to_string(line_number) + ": unknown keyword " + quoted(key));
        }
        first = false;
    }

    if (!have_fields) return fail("header has no FIELDS line");
    const std::size_t nf = h.fields.size();
    auto per_field = [&](const char* key, const std::optional<std::vector<std::string_view>>& list) -> std::optional<std::string> {
        if (list && list->size() != nf)
            return std::string(key) + " has " + to_string(list->size()) + " values for " + to_string(nf) + " FIELDS";
        return std::nullopt;
    };
    for (auto [key, list] : {std::pair{"SIZE", &sizes}, std::pair{"TYPE", &types}, std::pair{"COUNT", &counts}})
        if (auto e = per_field(key, *list)) return fail(*e);
    for (std::size_t i = 0; i < nf; ++i) {
        Field& f = h.fields[i];
        if (sizes) {
            const auto s = parse_count((*sizes)[i]);
            if (!s || *s > 8) return fail("SIZE of field " + f.name + ": " + quoted((*sizes)[i]) + " is not 1, 2, 4 or 8");
            f.size = static_cast<std::uint32_t>(*s);
        }
        if (types) {
            const std::string_view t = (*types)[i];
            if (t.size() != 1) return fail("TYPE of field " + f.name + ": " + quoted(t) + " is not I, U or F");
            f.type = t[0];
        } else {
            f.type = f.size == 4 || f.size == 8 ? 'F' : 'U';  // the oldest files have no TYPE line
        }
        if (counts) {
            const auto c = parse_count((*counts)[i]);
            if (!c || *c == 0) return fail("COUNT of field " + f.name + ": " + quoted((*counts)[i]) + " is not a positive count");
            f.count = *c;
        }
        if (!known_type(f.type, f.size))
            return fail("field " + f.name + ": TYPE " + std::string(1, f.type) + " with SIZE " + to_string(f.size) +
                        " is not a value type (I and U take 1, 2, 4 or 8 bytes, F 4 or 8)");
    }
    // The record size must stay representable whatever COUNT says.
    std::uint64_t record = 0;
    for (const Field& f : h.fields) {
        const auto b = checked_mul(f.size, f.count);
        if (!b || __builtin_add_overflow(record, *b, &record))
            return fail("field " + f.name + ": COUNT " + to_string(f.count) + " is too large");
    }

    if (!width && !points) return fail("header has neither WIDTH nor POINTS");
    h.height = height.value_or(1);
    h.width = width ? *width : h.height ? *points / h.height : 0;
    const auto grid = checked_mul(h.width, h.height);
    h.points = points ? *points : grid.value_or(0);
    if (!grid || *grid != h.points)
        return fail("POINTS " + to_string(h.points) + " disagrees with WIDTH x HEIGHT = " + to_string(h.width) + " x " +
                    to_string(h.height));
    return h;
}

// ---- reading ---------------------------------------------------------------------------------

namespace {

// Where the values of one field lie within a chunk of points: the chunk's point k starts at
// base + k * stride.
struct Column {
    const std::uint8_t* base;
    std::size_t stride;
};

template <class T>
double load(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}

// The first value of each of `count` points into out[0], out[out_stride], ...
template <class T>
void load_column(Column c, std::size_t count, double* out, std::size_t out_stride) {
    const std::uint8_t* p = c.base;
    for (std::size_t k = 0; k < count; ++k, p += c.stride, out += out_stride) *out = load<T>(p);
}

void load_any(const Field& f, Column c, std::size_t count, double* out, std::size_t out_stride) {
    switch (f.type == 'F' ? f.size * 16 : f.type == 'I' ? f.size * 16 + 1 : f.size * 16 + 2) {
        case 4 * 16: return load_column<float>(c, count, out, out_stride);
        case 8 * 16: return load_column<double>(c, count, out, out_stride);
        case 1 * 16 + 1: return load_column<std::int8_t>(c, count, out, out_stride);
        case 2 * 16 + 1: return load_column<std::int16_t>(c, count, out, out_stride);
        case 4 * 16 + 1: return load_column<std::int32_t>(c, count, out, out_stride);
        case 8 * 16 + 1: return load_column<std::int64_t>(c, count, out, out_stride);
        case 1 * 16 + 2: return load_column<std::uint8_t>(c, count, out, out_stride);
        case 2 * 16 + 2: return load_column<std::uint16_t>(c, count, out, out_stride);
        case 4 * 16 + 2: return load_column<std::uint32_t>(c, count, out, out_stride);
        case 8 * 16 + 2: return load_column<std::uint64_t>(c, count, out, out_stride);
    }
}

// byte / 255 for every byte value: the same quotients as dividing, without a division per channel.
struct ColourBytes {
    double value[256];
    constexpr ColourBytes() : value() {
        for (int b = 0; b < 256; ++b) value[b] = static_cast<double>(b) / 255.0;
    }
};
constexpr ColourBytes kColourBytes;

// Reads fill fresh arrays, so the loops below that write whole points store them past the
// cache (store_triple); each task calls finish_stores before it ends.
void load_colours(Column c, std::size_t count, Vector3d* out) {
    const double* byte = kColourBytes.value;
    const auto packed = [&](std::size_t k) {
        std::uint32_t v;
        std::memcpy(&v, c.base + k * c.stride, 4);
        return v;
    };
    std::size_t k = 0;
#if defined(__SSE2__)
    // Two points at a time where the slots start on a 16-byte boundary (as fresh arrays do).
    if (reinterpret_cast<std::uintptr_t>(out) % 16 == 0) {
        for (; k + 2 <= count; k += 2) {
            const std::uint32_t v = packed(k), w = packed(k + 1);
            store_two_triples(out[k].data(), _mm_set_pd(byte[(v >> 8) & 255], byte[(v >> 16) & 255]),
                              _mm_set_pd(byte[(w >> 16) & 255], byte[v & 255]),
                              _mm_set_pd(byte[w & 255], byte[(w >> 8) & 255]));
        }
    }
#endif
    for (; k < count; ++k) {
        const std::uint32_t v = packed(k);
        store_triple(out[k].data(), byte[(v >> 16) & 255], byte[(v >> 8) & 255], byte[v & 255]);
    }
}

// Three fields of type T into each point's slot, a point at a time; whether every value is
// finite. x - x is +0 (no bit set) exactly for finite x, NaN otherwise, so or-ing the bits
// tells without a comparison per value.
template <class T>
bool load_triples(const Column (&c)[3], std::size_t count, Vector3d* out) {
    std::uint64_t not_finite = 0;
    std::size_t k = 0;
#if defined(__SSE2__)
    // Two points at a time where the slots start on a 16-byte boundary (as fresh arrays do).
    if (reinterpret_cast<std::uintptr_t>(out) % 16 == 0) {
        __m128d any = _mm_setzero_pd();
        for (; k + 2 <= count; k += 2) {
            const auto at = [&](int field, std::size_t point) { return load<T>(c[field].base + point * c[field].stride); };
            const __m128d a = _mm_set_pd(at(1, k), at(0, k)), b = _mm_set_pd(at(0, k + 1), at(2, k)),
                          d = _mm_set_pd(at(2, k + 1), at(1, k + 1));
            any = _mm_or_pd(any, _mm_or_pd(_mm_sub_pd(a, a), _mm_or_pd(_mm_sub_pd(b, b), _mm_sub_pd(d, d))));
            store_two_triples(out[k].data(), a, b, d);
        }
        not_finite = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_castpd_si128(any), _mm_setzero_si128())) != 0xffff;
    }
#endif
    for (; k < count; ++k) {
        const double x = load<T>(c[0].base + k * c[0].stride), y = load<T>(c[1].base + k * c[1].stride),
                     z = load<T>(c[2].base + k * c[2].stride);
        not_finite |= std::bit_cast<std::uint64_t>(x - x) | std::bit_cast<std::uint64_t>(y - y) |
                      std::bit_cast<std::uint64_t>(z - z);
        store_triple(out[k].data(), x, y, z);
    }
    return not_finite == 0;
}

constexpr std::size_t kChunk = 16384;  // points per parallel task
constexpr std::size_t kRun = 1024;     // points per pass over the fields (their bytes stay in cache)

// Lays out the columns of points [begin, end) (chunk-relative, see Column); false when their
// bytes cannot be had (a file that shrank). Called from several threads at once.
using ChunkColumns = std::function<bool(std::size_t begin, std::size_t end, std::span<Column> columns)>;

// A kept field's values, `width` bytes each, from `stride` bytes apart to back to back.
template <std::size_t Width>
void gather(const std::uint8_t* src, std::size_t stride, std::size_t count, std::uint8_t* dst) {
    for (std::size_t k = 0; k < count; ++k) std::memcpy(dst + k * Width, src + k * stride, Width);
}

void gather_any(const std::uint8_t* src, std::size_t stride, std::size_t count, std::size_t width, std::uint8_t* dst) {
    if (stride == width) return void(std::memcpy(dst, src, count * width));
    switch (width) {  // fixed sizes become plain moves instead of a library call per value
        case 1: return gather<1>(src, stride, count, dst);
        case 2: return gather<2>(src, stride, count, dst);
        case 4: return gather<4>(src, stride, count, dst);
        case 8: return gather<8>(src, stride, count, dst);
        default:
            for (std::size_t k = 0; k < count; ++k) std::memcpy(dst + k * width, src + k * stride, width);
    }
}

// The cloud and (with keep_fields) the other fields of `header.points` points, chunk by chunk
// on the worker pool. `non_finite` tells whether any point has a NaN or infinite coordinate,
// found while the chunk is still in cache, so a clean cloud needs no second pass.
Result<Cloud> assemble(Header header, const ChunkColumns& chunk_columns, bool keep_fields, bool& non_finite) {
    Cloud out;
    const std::size_t n = header.points;
    const auto& fields = header.fields;
    // Which field feeds which role: the first of each name wins.
    constexpr std::size_t kNone = SIZE_MAX;
    std::size_t xyz[3] = {kNone, kNone, kNone}, normal[3] = {kNone, kNone, kNone}, colour = kNone;
    static constexpr const char* kXyz[3] = {"x", "y", "z"};
    static constexpr const char* kNormal[3] = {"normal_x", "normal_y", "normal_z"};
    std::vector<std::size_t> kept;  // fields handed on as they are
    for (std::size_t f = 0; f < fields.size(); ++f) {
        bool mapped = false;
        for (int k = 0; k < 3; ++k) {
            if (fields[f].name == kXyz[k] && xyz[k] == kNone) xyz[k] = f, mapped = true;
            if (fields[f].name == kNormal[k] && normal[k] == kNone) normal[k] = f, mapped = true;
        }
        if (!mapped && is_colour(fields[f]) && colour == kNone) colour = f, mapped = true;
        if (!mapped && keep_fields && fields[f].name != "_") kept.push_back(f);
    }
    const bool has_normals = normal[0] != kNone || normal[1] != kNone || normal[2] != kNone;
    geometry::PointCloud& cloud = out.cloud;
    cloud.points.resize_for_overwrite(n);
    if (has_normals) cloud.normals.resize_for_overwrite(n);
    if (colour != kNone) cloud.colors.resize_for_overwrite(n);
    out.fields.resize(kept.size());
    for (std::size_t j = 0; j < kept.size(); ++j) {
        out.fields[j].field = fields[kept[j]];
        out.fields[j].bytes.resize(n * fields[kept[j]].bytes());
    }

    // How a role set is decoded, decided once per read: 4 or 8 when all three roles are filled
    // by floats of that size (a point at a time), else 0 (a field at a time, through its type).
    const auto float_triple = [&](const std::size_t (&roles)[3]) -> char {
        for (std::size_t r : roles)
            if (r == kNone || fields[r].type != 'F' || fields[r].size != fields[roles[0]].size) return 0;
        return static_cast<char>(fields[roles[0]].size);
    };
    const char xyz_kind = float_triple(xyz), normal_kind = float_triple(normal);
    std::atomic<bool> complete{true}, any_non_finite{false};
    parallel::parallel_for_chunks(
        n,
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            // At most a handful of fields are mapped; the rest are copied through.
            thread_local std::vector<Column> columns;
            columns.resize(fields.size());
            if (!chunk_columns(begin, end, columns)) {
                complete.store(false, std::memory_order_relaxed);
                return;
            }
            // The roles' values of the run of points [skip, skip + count) of the chunk; whether
            // they are all finite (always true unless `check_finite`).
            auto fill = [&](Storage<Vector3d>& dst, const std::size_t (&roles)[3], char kind, std::size_t skip,
                            std::size_t count, bool check_finite) {
                Vector3d* out = dst.data() + begin + skip;
                if (kind) {
                    Column c[3];
                    for (int k = 0; k < 3; ++k) {
                        c[k] = columns[roles[k]];
                        c[k].base += skip * c[k].stride;
                    }
                    return kind == 4 ? load_triples<float>(c, count, out) : load_triples<double>(c, count, out);
                }
                double* base = out->data();
                for (int k = 0; k < 3; ++k) {
                    if (roles[k] != kNone) {
                        const Column c = columns[roles[k]];
                        load_any(fields[roles[k]], {c.base + skip * c.stride, c.stride}, count, base + k, 3);
                    } else {
                        for (std::size_t i = 0; i < count; ++i) base[3 * i + k] = 0.0;
                    }
                }
                return !check_finite || std::all_of(out, out + count, [](const Vector3d& p) { return is_finite(p); });
            };
            const std::size_t count = end - begin;
            // Runs short enough that a run's records stay in cache across the fields.
            for (std::size_t skip = 0; skip < count; skip += kRun) {
                const std::size_t run = std::min(kRun, count - skip);
                if (!fill(cloud.points, xyz, xyz_kind, skip, run, true)) any_non_finite.store(true, std::memory_order_relaxed);
                if (has_normals) fill(cloud.normals, normal, normal_kind, skip, run, false);
                if (colour != kNone) {
                    const Column c = columns[colour];
                    load_colours({c.base + skip * c.stride, c.stride}, run, cloud.colors.data() + begin + skip);
                }
            }
            for (std::size_t j = 0; j < kept.size(); ++j) {
                const std::size_t width = out.fields[j].field.bytes();
                const Column c = columns[kept[j]];
                gather_any(c.base, c.stride, count, width, out.fields[j].bytes.data() + begin * width);
            }
            finish_stores();
        },
        kChunk);
    if (!complete.load()) return value_error("the file changed size while it was being read");
    non_finite = any_non_finite.load();
    out.header = std::move(header);
    return out;
}

// Drops the points with a NaN or infinite coordinate, with their normals, colours and fields.
void drop_non_finite(Cloud& c) {
    auto& points = c.cloud.points;
    const std::size_t n = points.size();
    std::size_t first_bad = 0;
    while (first_bad < n && is_finite(points[first_bad])) ++first_bad;
    if (first_bad == n) return;
    std::size_t kept = first_bad;
    const bool normals = c.cloud.normals.size() == n, colours = c.cloud.colors.size() == n;
    for (std::size_t i = first_bad; i < n; ++i) {
        const Vector3d& p = points[i];
        if (!is_finite(p)) continue;
        points[kept] = p;
        if (normals) c.cloud.normals[kept] = c.cloud.normals[i];
        if (colours) c.cloud.colors[kept] = c.cloud.colors[i];
        for (FieldValues& f : c.fields) {
            const std::size_t w = f.field.bytes();
            std::memmove(f.bytes.data() + kept * w, f.bytes.data() + i * w, w);
        }
        ++kept;
    }
    points.resize_for_overwrite(kept);
    if (normals) c.cloud.normals.resize_for_overwrite(kept);
    if (colours) c.cloud.colors.resize_for_overwrite(kept);
    for (FieldValues& f : c.fields) f.bytes.resize(kept * f.field.bytes());
}

// One ascii value into its binary form.
template <class T>
bool store_integer(std::string_view token, std::uint8_t* dst) {
    T v{};
    const char* first = token.data() + (token.size() > 1 && token[0] == '+' ? 1 : 0);
    const auto [end, ec] = std::from_chars(first, token.data() + token.size(), v);
    if (ec != std::errc() || end != token.data() + token.size()) {
        // Some writers print integer fields in floating-point form ("3.0", "1e3").
        const auto d = text::parse_strict(token);
        const double high = std::ldexp(1.0, std::numeric_limits<T>::digits), low = std::is_signed_v<T> ? -high : 0.0;
        if (!d || std::trunc(*d) != *d || *d < low || *d >= high) return false;
        v = static_cast<T>(*d);
    }
    std::memcpy(dst, &v, sizeof v);
    return true;
}

bool store_value(const Field& f, std::string_view token, std::uint8_t* dst) {
    if (f.type == 'F') {
        // Packed colour channels are written as an unsigned integer (never a NaN to lose), or
        // by some writers as the float with the same bits.
        if (is_colour(f) && store_integer<std::uint32_t>(token, dst)) return true;
        const auto d = text::parse_strict(token);
        if (!d) return false;
        put_double(*d, f.size, dst);
        return true;
    }
    switch (f.size * 2 + (f.type == 'I')) {
        case 2: return store_integer<std::uint8_t>(token, dst);
        case 3: return store_integer<std::int8_t>(token, dst);
        case 4: return store_integer<std::uint16_t>(token, dst);
        case 5: return store_integer<std::int16_t>(token, dst);
        case 8: return store_integer<std::uint32_t>(token, dst);
        case 9: return store_integer<std::int32_t>(token, dst);
        case 16: return store_integer<std::uint64_t>(token, dst);
        case 17: return store_integer<std::int64_t>(token, dst);
    }
    return false;
}

// Parses an ascii body (one point per line) into binary records.
Result<std::vector<std::uint8_t>> parse_ascii(std::string_view body, const Header& h, std::size_t header_lines) {
    const std::uint64_t n = h.points, record = h.record_size();
    std::uint64_t values_per_point = 0;
    for (const Field& f : h.fields) values_per_point += f.count;
    // Each value takes at least one character and one separator: bound the count before
    // sizing anything by it.
    const auto least = checked_mul(n, 2 * values_per_point);
    if (!least || *least > body.size() + 1)
        return value_error("DATA ascii: " + to_string(n) + " points of " + to_string(values_per_point) +
                           " values cannot fit in the " + to_string(body.size()) + " bytes after the header");
    std::vector<std::uint8_t> records(n * record);
    std::size_t pos = 0, line_number = header_lines;
    std::vector<std::string_view> tokens;
    for (std::uint64_t i = 0; i < n;) {
        if (pos >= body.size())
            return value_error("DATA ascii: " + to_string(n) + " points declared, " + to_string(i) + " found");
        const std::size_t lf = body.find('\n', pos);
        const std::size_t end = lf == std::string_view::npos ? body.size() : lf;
        const std::string_view line = body.substr(pos, end - pos);
        pos = end + 1;
        ++line_number;
        tokens.clear();
        std::size_t k = 0;
        while (k < line.size()) {
            while (k < line.size() && is_space(line[k])) ++k;
            const std::size_t start = k;
            while (k < line.size() && !is_space(line[k])) ++k;
            if (k > start) tokens.push_back(line.substr(start, k - start));
        }
        if (tokens.empty()) continue;
        const std::string where = "DATA ascii: point " + to_string(i) + " (line " + to_string(line_number) + ")";
        if (tokens.size() < values_per_point)
            return value_error(where + " has " + to_string(tokens.size()) + " values, the header declares " +
                               to_string(values_per_point));
        std::uint8_t* dst = records.data() + i * record;
        std::size_t t = 0;
        for (const Field& f : h.fields) {
            for (std::uint64_t c = 0; c < f.count; ++c, ++t, dst += f.size) {
                if (!store_value(f, tokens[t], dst))
                    return value_error(where + ": " + quoted(tokens[t]) + " is not a value of field " + f.name +
                                       " (TYPE " + std::string(1, f.type) + ", SIZE " + to_string(f.size) + ")");
            }
        }
        if ((i & 4095) == 0) parallel::check_cancelled();
        ++i;
    }
    return records;
}

std::size_t count_lines(std::string_view text) {
    std::size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

std::uint32_t load_u32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The header from the start of the source, reading more only while the DATA line is not in
// what has been read (a header is a few hundred bytes; a file may be gigabytes).
Result<std::pair<Header, std::size_t>> read_header(const Source& source, ReadBuffer& buffer) {
    std::uint64_t want = 64 * 1024;
    while (true) {
        const std::uint64_t size = std::min<std::uint64_t>(want, source.size());
        bool ok = true;
        std::string_view prefix = view_of(source, 0, static_cast<std::size_t>(size), buffer, ok);
        if (!ok) return value_error("the file changed size while it was being read");
        const bool whole = size == source.size();
        if (!whole) prefix = prefix.substr(0, prefix.rfind('\n') + 1);  // complete lines only
        Result<Header> h = parse_header(prefix);
        if (h) return std::pair{std::move(*h), count_lines(prefix.substr(0, h->body_offset))};
        if (whole || h.error().message != "header ends without a DATA line") return h.error();
        want *= 4;
    }
}

}  // namespace

Result<Cloud> read(const Source& source, bool remove_non_finite, bool keep_fields) {
    ReadBuffer buffer;  // bytes read from a file: the header, an ascii or a compressed body
    auto parsed = read_header(source, buffer);
    if (!parsed) return parsed.error();
    Header h = std::move(parsed->first);
    const std::size_t header_lines = parsed->second;
    const std::uint64_t body_offset = h.body_offset, body_size = source.size() - h.body_offset;
    const std::uint64_t n = h.points, record = h.record_size();
    const std::string encoding = "DATA " + std::string(encoding_name(h.encoding)) + ": ";
    const std::string shrank = "the file changed size while it was being read";
    const auto need = checked_mul(n, record);
    if (!need)
        return value_error(encoding + to_string(n) + " points of " + to_string(record) + " bytes are more than any file holds");
    std::vector<std::size_t> offsets;  // of each field within a record
    for (std::size_t f = 0, at = 0; f < h.fields.size(); at += h.fields[f].bytes(), ++f) offsets.push_back(at);

    // Records in memory, point after point: every field at its offset, `record` bytes apart.
    auto records_in = [&](const std::uint8_t* base) -> ChunkColumns {
        return [&, base](std::size_t begin, std::size_t, std::span<Column> columns) {
            for (std::size_t f = 0; f < columns.size(); ++f) columns[f] = {base + begin * record + offsets[f], record};
            return true;
        };
    };

    Result<Cloud> out = value_error("");
    bool non_finite = false;  // set by assemble
    if (h.encoding == Encoding::Binary) {
        if (*need > body_size)
            return value_error(encoding + to_string(n) + " points of " + to_string(record) + " bytes need " +
                               to_string(*need) + " bytes, the file has " + to_string(body_size) + " after the header");
        if (const char* memory = source.memory()) {
            const auto* body = reinterpret_cast<const std::uint8_t*>(memory + body_offset);
            out = assemble(std::move(h), records_in(body), keep_fields, non_finite);
        } else {
            // Each chunk of records is read by the thread that decodes it, into a buffer of its
            // own: the body is never held whole, and reading runs in parallel with decoding.
            out = assemble(std::move(h), [&](std::size_t begin, std::size_t end, std::span<Column> columns) {
                thread_local ReadBuffer chunk;
                bool ok = true;
                const std::string_view bytes =
                    view_of(source, body_offset + begin * record, (end - begin) * record, chunk, ok);
                const auto* base = reinterpret_cast<const std::uint8_t*>(bytes.data());
                for (std::size_t f = 0; f < columns.size(); ++f) columns[f] = {base + offsets[f], record};
                return ok;
            }, keep_fields, non_finite);
        }
    } else if (h.encoding == Encoding::BinaryCompressed) {
        bool ok = true;
        if (body_size < 8)
            return value_error(encoding + "the body ends before its compressed and uncompressed sizes (" +
                               to_string(body_size) + " bytes)");
        char sizes[8];
        if (!source.read_at(body_offset, 8, sizes)) return value_error(shrank);
        const std::uint64_t compressed = load_u32(sizes), uncompressed = load_u32(sizes + 4);
        if (compressed > body_size - 8)
            return value_error(encoding + "compressed size " + to_string(compressed) + " exceeds the " +
                               to_string(body_size - 8) + " bytes left");
        if (uncompressed != *need)
            return value_error(encoding + "uncompressed size " + to_string(uncompressed) + " disagrees with " +
                               to_string(n) + " points of " + to_string(record) + " bytes (" + to_string(*need) + ")");
        if (uncompressed > lzf::max_decompressed_size(compressed))
            return value_error(encoding + "uncompressed size " + to_string(uncompressed) + " cannot come from " +
                               to_string(compressed) + " compressed bytes");
        // Not zero-filled: the decoder either fills every byte or fails.
        const auto plain = std::make_unique_for_overwrite<std::uint8_t[]>(uncompressed);
        if (uncompressed) {
            const std::string_view packed = view_of(source, body_offset + 8, compressed, buffer, ok);
            if (!ok) return value_error(shrank);
            const auto* in = reinterpret_cast<const std::uint8_t*>(packed.data());
            if (auto e = lzf::decompress({in, packed.size()}, {plain.get(), uncompressed}))
                return value_error(encoding + "damaged compressed data: " + *e);
        }
        buffer.release();  // the compressed bytes are not needed any more
        // Field-major: all values of the first field, then all of the second, ...
        std::vector<std::size_t> starts, widths;
        for (std::size_t f = 0, at = 0; f < h.fields.size(); at += n * widths.back(), ++f) {
            starts.push_back(at);
            widths.push_back(h.fields[f].bytes());
        }
        out = assemble(std::move(h), [&](std::size_t begin, std::size_t, std::span<Column> columns) {
            for (std::size_t f = 0; f < columns.size(); ++f) columns[f] = {plain.get() + starts[f] + begin * widths[f], widths[f]};
            return true;
        }, keep_fields, non_finite);
    } else {
        bool ok = true;
        const std::string_view body = view_of(source, body_offset, body_size, buffer, ok);
        if (!ok) return value_error(shrank);
        Result<std::vector<std::uint8_t>> records = parse_ascii(body, h, header_lines);
        if (!records) return records.error();
        buffer.release();
        out = assemble(std::move(h), records_in(records->data()), keep_fields, non_finite);
    }
    if (out && remove_non_finite && non_finite) drop_non_finite(*out);
    return out;
}

Result<Cloud> read(std::string_view data, bool remove_non_finite, bool keep_fields) {
    return read(MemorySource(data), remove_non_finite, keep_fields);
}

// ---- writing ---------------------------------------------------------------------------------

namespace {

enum class Source { PointX, PointY, PointZ, NormalX, NormalY, NormalZ, Curvature, Colour, Extra };

struct OutField {
    Field field;
    Source source;
    const FieldValues* extra = nullptr;
};

// r | g << 8 | b << 16 as the packed float's bits: opaque, as depth cameras write it.
inline std::uint32_t packed_colour(std::uint32_t rgb) {
    return 255u << 24 | (rgb & 0xffu) << 16 | (rgb & 0xff00u) | rgb >> 16;
}

template <class T>
void put_column(const Vector3d* v, int k, std::size_t count, std::uint8_t* dst, std::size_t stride) {
    for (std::size_t i = 0; i < count; ++i, dst += stride) {
        const T x = static_cast<T>(v[i][k]);
        std::memcpy(dst, &x, sizeof x);
    }
}

// x, y and z of each vector into three neighbouring fields of one precision. Single precision
// converts x and y in one instruction: the same rounding as one cast each.
template <class T>
void put_vectors(const Vector3d* v, std::size_t count, std::uint8_t* dst, std::size_t stride) {
    for (std::size_t i = 0; i < count; ++i, dst += stride) {
        fetch_ahead(v + i);
        if constexpr (std::is_same_v<T, double>) {
            std::memcpy(dst, v[i].data(), 24);
        } else {
#if defined(__SSE2__)
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_castps_si128(_mm_cvtpd_ps(_mm_loadu_pd(v[i].data()))));
#else
            const float xy[2] = {static_cast<float>(v[i][0]), static_cast<float>(v[i][1])};
            std::memcpy(dst, xy, 8);
#endif
            const float z = static_cast<float>(v[i][2]);
            std::memcpy(dst + 8, &z, 4);
        }
    }
}

// Field `f` of points [first, first + count) into dst, dst + stride, ...: one field at a time,
// so the type is decided once per run of points, not once per value.
void encode(const OutField& f, const geometry::PointCloud& cloud, std::size_t first, std::size_t count,
            std::uint8_t* dst, std::size_t stride) {
    const bool f4 = f.field.size == 4;
    switch (f.source) {
        case Source::PointX:
        case Source::PointY:
        case Source::PointZ: {
            const int k = static_cast<int>(f.source) - static_cast<int>(Source::PointX);
            return f4 ? put_column<float>(cloud.points.data() + first, k, count, dst, stride)
                      : put_column<double>(cloud.points.data() + first, k, count, dst, stride);
        }
        case Source::NormalX:
        case Source::NormalY:
        case Source::NormalZ: {
            const int k = static_cast<int>(f.source) - static_cast<int>(Source::NormalX);
            return f4 ? put_column<float>(cloud.normals.data() + first, k, count, dst, stride)
                      : put_column<double>(cloud.normals.data() + first, k, count, dst, stride);
        }
        case Source::Curvature: {
            const float zero4 = 0;
            const double zero8 = 0;
            if (f4) {
                for (std::size_t i = 0; i < count; ++i, dst += stride) std::memcpy(dst, &zero4, 4);
            } else {
                for (std::size_t i = 0; i < count; ++i, dst += stride) std::memcpy(dst, &zero8, 8);
            }
            return;
        }
        case Source::Colour:
            for_each_color(cloud.colors.data() + first, count, [&](std::size_t i, std::uint32_t rgb) {
                const std::uint32_t v = packed_colour(rgb);
                std::memcpy(dst + i * stride, &v, 4);
            });
            return;
        case Source::Extra: {
            const std::size_t w = f.field.bytes();
            const std::uint8_t* src = f.extra->bytes.data() + first * w;
            if (stride == w) {
                std::memcpy(dst, src, count * w);
            } else {
                for (std::size_t i = 0; i < count; ++i, dst += stride, src += w) std::memcpy(dst, src, w);
            }
            return;
        }
    }
}

// Rows [first, first + count) at dst, `record` bytes apart. The writer lists x, y and z (of
// the points, and of the normals) next to each other at one precision; each such triple is
// filled as one.
void encode_rows(std::span<const OutField> fields, const geometry::PointCloud& cloud, std::size_t first,
                 std::size_t count, std::uint8_t* dst, std::size_t record) {
    for (std::size_t j = 0; j < fields.size(); ++j) {
        const OutField& f = fields[j];
        const bool points = f.source == Source::PointX, normals = f.source == Source::NormalX;
        if ((points || normals) && j + 2 < fields.size() && fields[j + 2].source == Source(int(f.source) + 2)) {
            const Vector3d* v = (points ? cloud.points.data() : cloud.normals.data()) + first;
            if (f.field.size == 4) put_vectors<float>(v, count, dst, record);
            else put_vectors<double>(v, count, dst, record);
            dst += 3 * f.field.bytes();
            j += 2;
        } else {
            encode(f, cloud, first, count, dst, record);
            dst += f.field.bytes();
        }
    }
}

void append_number(std::string& out, const Field& f, const std::uint8_t* p) {
    char buf[64];
    std::to_chars_result r{};
    auto as = [&](auto v) {
        std::memcpy(&v, p, sizeof v);
        return std::to_chars(buf, buf + sizeof buf, v);
    };
    if (is_colour(f)) {
        r = as(std::uint32_t{});  // packed channels, as an unsigned integer: never a NaN to lose
    } else if (f.type == 'F') {
        if (f.size == 4) {
            float v;
            std::memcpy(&v, p, 4);
            if (std::isnan(v)) r = {std::copy_n("nan", 3, buf), std::errc()};
            else r = std::to_chars(buf, buf + sizeof buf, v);
        } else {
            double v;
            std::memcpy(&v, p, 8);
            if (std::isnan(v)) r = {std::copy_n("nan", 3, buf), std::errc()};
            else r = std::to_chars(buf, buf + sizeof buf, v);
        }
    } else {
        switch (f.size * 2 + (f.type == 'I')) {
            case 2: r = as(std::uint8_t{}); break;
            case 3: r = as(std::int8_t{}); break;
            case 4: r = as(std::uint16_t{}); break;
            case 5: r = as(std::int16_t{}); break;
            case 8: r = as(std::uint32_t{}); break;
            case 9: r = as(std::int32_t{}); break;
            case 16: r = as(std::uint64_t{}); break;
            default: r = as(std::int64_t{}); break;
        }
    }
    out.append(buf, r.ptr);
}

std::string number_text(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

}  // namespace

Result<bool> write(const geometry::PointCloud& cloud, std::span<const FieldValues> extra, const WriteOptions& options,
                   const Output& out) {
    const Sink& sink = out.write;
    const std::size_t n = cloud.points.size();
    std::uint64_t width = options.width, height = options.height;
    if (width == 0 && height == 0) width = n, height = 1;
    const auto grid = checked_mul(width, height);
    if (!grid || *grid != n)
        return value_error("a grid of " + to_string(width) + " x " + to_string(height) + " does not hold the " +
                           to_string(n) + " points");

    const std::uint32_t real = options.double_precision ? 8 : 4;
    std::vector<OutField> fields;
    fields.push_back({{"x", 'F', real}, Source::PointX});
    fields.push_back({{"y", 'F', real}, Source::PointY});
    fields.push_back({{"z", 'F', real}, Source::PointZ});
    if (cloud.has_colors()) fields.push_back({{"rgb", 'F', 4}, Source::Colour});
    if (cloud.has_normals()) {
        fields.push_back({{"normal_x", 'F', real}, Source::NormalX});
        fields.push_back({{"normal_y", 'F', real}, Source::NormalY});
        fields.push_back({{"normal_z", 'F', real}, Source::NormalZ});
        fields.push_back({{"curvature", 'F', real}, Source::Curvature});
    }
    for (const FieldValues& e : extra) {
        const Field& f = e.field;
        if (f.name.empty() || f.name.find_first_of(" \t\r\n\f\v#") != std::string::npos)
            return value_error("field name " + quoted(f.name) + " cannot be written (empty, or has spaces or '#')");
        for (const OutField& o : fields)
            if (o.field.name == f.name) return value_error("field " + f.name + " is written twice");
        if (!known_type(f.type, f.size) || f.count == 0)
            return value_error("field " + f.name + ": TYPE " + std::string(1, f.type) + " SIZE " + to_string(f.size) +
                               " COUNT " + to_string(f.count) + " cannot be written");
        if (e.bytes.size() != n * f.bytes())
            return value_error("field " + f.name + " has " + to_string(e.bytes.size() / f.bytes()) +
                               " values for " + to_string(n) + " points");
        fields.push_back({f, Source::Extra, &e});
    }
    std::size_t record = 0;
    for (const OutField& f : fields) record += f.field.bytes();

    std::string header = "# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS";
    for (const OutField& f : fields) header += " " + f.field.name;
    header += "\nSIZE";
    for (const OutField& f : fields) header += " " + to_string(f.field.size);
    header += "\nTYPE";
    for (const OutField& f : fields) header += std::string(" ") + f.field.type;
    header += "\nCOUNT";
    for (const OutField& f : fields) header += " " + to_string(f.field.count);
    header += "\nWIDTH " + to_string(width) + "\nHEIGHT " + to_string(height) + "\nVIEWPOINT";
    for (double v : options.viewpoint) header += " " + number_text(v);
    header += "\nPOINTS " + to_string(n) + "\nDATA " + std::string(encoding_name(options.encoding)) + "\n";
    if (!sink(header)) return false;

    if (options.encoding == Encoding::Binary) {
        auto rows = [&](std::size_t begin, std::size_t end, char* to) {
            auto* dst = reinterpret_cast<std::uint8_t*>(to);
            // A few rows at a time, so that the strided stores of one field after another land
            // in lines the first field brought into the core's first-level cache.
            constexpr std::size_t kTileBytes = 4096;
            const std::size_t tile = std::max<std::size_t>(1, kTileBytes / record);
            for (std::size_t first = begin; first < end; first += tile) {
                encode_rows(fields, cloud, first, std::min(tile, end - first), dst + (first - begin) * record, record);
            }
        };
        if (!write_rows_at(header.size(), n, record, rows, out)) return false;
    } else if (options.encoding == Encoding::BinaryCompressed) {
        // Field-major: every point's value of one field, then the next field.
        std::vector<std::uint8_t> plain(n * record);
        std::size_t offset = 0;
        for (const OutField& f : fields) {
            const std::size_t w = f.field.bytes();
            std::uint8_t* base = plain.data() + offset;
            parallel::parallel_for_chunks(
                n,
                [&](std::size_t begin, std::size_t end) {
                    encode(f, cloud, begin, end - begin, base + begin * w, w);
                },
                kChunk);
            offset += n * w;
        }
        if (plain.size() > std::numeric_limits<std::uint32_t>::max())
            return value_error("the body of " + to_string(plain.size()) +
                               " bytes is too large for binary_compressed (at most 4 GiB); write binary instead");
        const std::string packed = lzf::compress(plain);
        if (packed.size() > std::numeric_limits<std::uint32_t>::max())
            return value_error("the compressed body is too large for binary_compressed (at most 4 GiB); write binary instead");
        char sizes[8];
        const auto c = static_cast<std::uint32_t>(packed.size()), u = static_cast<std::uint32_t>(plain.size());
        std::memcpy(sizes, &c, 4);
        std::memcpy(sizes + 4, &u, 4);
        if (!sink({sizes, 8}) || !sink(packed)) return false;
    } else {
        auto rows = [&](std::size_t begin, std::size_t end, std::string& text) {
            std::vector<std::uint8_t> values(record);  // one point's values, as stored
            for (std::size_t i = begin; i < end; ++i) {
                std::uint8_t* dst = values.data();
                bool first_value = true;
                for (const OutField& f : fields) {
                    encode(f, cloud, i, 1, dst, f.field.bytes());
                    for (std::uint64_t k = 0; k < f.field.count; ++k) {
                        if (!first_value) text += ' ';
                        first_value = false;
                        append_number(text, f.field, dst + k * f.field.size);
                    }
                    dst += f.field.bytes();
                }
                text += '\n';
            }
        };
        if (!write_rows_in_order(n, rows, sink)) return false;
    }
    return true;
}

}  // namespace nubiro::io::pcd
