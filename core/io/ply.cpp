#include "core/io/ply.hpp"

#include <algorithm>
#include <initializer_list>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "core/io/utf8.hpp"
#include "core/number_text.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::io::ply {

std::size_t size_of(ValueType t) {
    switch (t) {
        case ValueType::Int8:
        case ValueType::UInt8: return 1;
        case ValueType::Int16:
        case ValueType::UInt16: return 2;
        case ValueType::Int32:
        case ValueType::UInt32:
        case ValueType::Float32: return 4;
        case ValueType::Float64: return 8;
    }
    return 8;
}

namespace {

// ---- header ----------------------------------------------------------------------------------

bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_ascii_space(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !is_ascii_space(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::optional<ValueType> value_type(std::string_view word) {
    static constexpr std::pair<std::string_view, ValueType> kWords[] = {
        {"char", ValueType::Int8},     {"int8", ValueType::Int8},       {"uchar", ValueType::UInt8},
        {"uint8", ValueType::UInt8},   {"short", ValueType::Int16},     {"int16", ValueType::Int16},
        {"ushort", ValueType::UInt16}, {"uint16", ValueType::UInt16},   {"int", ValueType::Int32},
        {"int32", ValueType::Int32},   {"uint", ValueType::UInt32},     {"uint32", ValueType::UInt32},
        {"float", ValueType::Float32}, {"float32", ValueType::Float32}, {"double", ValueType::Float64},
        {"float64", ValueType::Float64}};
    for (auto [w, t] : kWords)
        if (w == word) return t;
    return std::nullopt;
}

// Digits only, one optional leading "+", within the 64-bit unsigned range.
std::optional<std::uint64_t> element_count(std::string_view word) {
    if (!word.empty() && word.front() == '+') word.remove_prefix(1);
    if (word.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

// Handles one header line after the first; false on a malformed line.
bool header_line(std::string_view line, Header& h, bool& has_format) {
    const std::vector<std::string_view> w = split_words(line);
    if (w.empty()) return true;
    if (w[0] == "format") {
        if (w.size() < 2) return false;
        if (w[1] == "ascii")
            h.encoding = Encoding::Ascii;
        else if (w[1] == "binary_little_endian")
            h.encoding = Encoding::BinaryLittleEndian;
        else if (w[1] == "binary_big_endian")
            h.encoding = Encoding::BinaryBigEndian;
        else
            return false;
        has_format = true;
    } else if (w[0] == "element") {
        if (w.size() < 3) return false;
        auto count = element_count(w[2]);
        if (!count) return false;
        h.elements.push_back({std::string(w[1]), *count, {}});
    } else if (w[0] == "property") {
        if (h.elements.empty()) return false;
        Property p;
        if (w.size() >= 2 && w[1] == "list") {
            if (w.size() < 5) return false;
            auto count_type = value_type(w[2]), item_type = value_type(w[3]);
            if (!count_type || !item_type) return false;
            p = {std::string(w[4]), true, *count_type, *item_type};
        } else {
            if (w.size() < 3) return false;
            auto type = value_type(w[1]);
            if (!type) return false;
            p = {std::string(w[2]), false, ValueType::UInt8, *type};
        }
        h.elements.back().properties.push_back(std::move(p));
    }
    // "comment", "obj_info" and unknown keywords are ignored; "end_header" is the caller's.
    return true;
}

// ---- counts and bounds -----------------------------------------------------------------------

// A list length value as a count: truncated towards zero, NaN and negatives 0, saturating.
std::uint64_t list_count(double v) {
    if (!(v > 0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

// The fewest body bytes a row of `e` can take (lists empty): binary sizes, or for text one
// token per property.
std::uint64_t min_row_bytes(const Element& e, Encoding enc) {
    std::uint64_t n = 0;
    for (const Property& p : e.properties)
        n += enc == Encoding::Ascii ? 1 : size_of(p.is_list ? p.count_type : p.value_type);
    return n;
}

// ---- binary values ---------------------------------------------------------------------------

template <class T, bool Swap>
inline T load_raw(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (Swap && sizeof(T) > 1) {
        using U = std::conditional_t<sizeof(T) == 2, std::uint16_t,
                                     std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
        U u = std::bit_cast<U>(v);
        if constexpr (sizeof(T) == 2)
            u = __builtin_bswap16(u);
        else if constexpr (sizeof(T) == 4)
            u = __builtin_bswap32(u);
        else
            u = __builtin_bswap64(u);
        v = std::bit_cast<T>(u);
    }
    return v;
}

template <bool Swap>
inline double load(ValueType t, const unsigned char* p) {
    switch (t) {
        case ValueType::Int8: return load_raw<std::int8_t, Swap>(p);
        case ValueType::UInt8: return load_raw<std::uint8_t, Swap>(p);
        case ValueType::Int16: return load_raw<std::int16_t, Swap>(p);
        case ValueType::UInt16: return load_raw<std::uint16_t, Swap>(p);
        case ValueType::Int32: return load_raw<std::int32_t, Swap>(p);
        case ValueType::UInt32: return load_raw<std::uint32_t, Swap>(p);
        case ValueType::Float32: return load_raw<float, Swap>(p);
        case ValueType::Float64: return load_raw<double, Swap>(p);
    }
    return 0.0;
}

inline void store(const ScalarSink& s, std::uint64_t row, double v) {
    if (!s.base) return;
    s.base[row * s.stride] = s.divisor == 1.0 ? v : v / s.divisor;
}

// Decodes rows of an element whose properties are all scalars with direct sinks. Rows have a
// fixed size, so they are split over the worker pool; each row writes its own slots only.
// Adjacent native float64 values that land in adjacent slots (x, y, z of one point) are copied
// as one run.
template <bool Swap>
void decode_fixed_rows(const unsigned char* rows, std::uint64_t count, const Element& e,
                       const std::vector<ScalarSink>& sinks) {
    struct Column {
        std::size_t offset;
        ValueType type;
        ScalarSink sink;
        std::size_t run = 1;  // float64 values copied together (plain copies only)
    };
    std::vector<Column> columns;
    std::size_t row_size = 0;
    for (std::size_t k = 0; k < e.properties.size(); ++k) {
        const ValueType type = e.properties[k].value_type;
        const ScalarSink& sink = sinks[k];
        if (sink.base) {
            const bool plain = !Swap && type == ValueType::Float64 && sink.divisor == 1.0;
            Column* last = columns.empty() ? nullptr : &columns.back();
            if (plain && last && last->type == ValueType::Float64 && last->sink.divisor == 1.0 && last->run < 3 &&
                last->offset + 8 * last->run == row_size && last->sink.stride == sink.stride &&
                last->sink.base + last->run == sink.base)
                ++last->run;
            else
                columns.push_back({row_size, type, sink});
        }
        row_size += size_of(type);
    }
    if (columns.empty()) return;
    parallel::parallel_for_chunks(
        static_cast<std::size_t>(count),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                const unsigned char* row = rows + r * row_size;
                for (const Column& c : columns) {
                    if (c.run > 1) {
                        double* to = c.sink.base + r * c.sink.stride;
                        if (c.run == 3)
                            std::memcpy(to, row + c.offset, 24);
                        else
                            std::memcpy(to, row + c.offset, 16);
                    } else {
                        store(c.sink, r, load<Swap>(c.type, row + c.offset));
                    }
                }
            }
        },
        16384);
}

// ---- the walker ------------------------------------------------------------------------------

class TextTokens {
public:
    explicit TextTokens(std::string_view s) : s_(s) {}
    std::optional<double> next() {
        while (i_ < s_.size() && is_ascii_space(s_[i_])) ++i_;
        const std::size_t start = i_;
        while (i_ < s_.size() && !is_ascii_space(s_[i_])) ++i_;
        if (i_ == start) return std::nullopt;
        return text::parse_strict(s_.substr(start, i_ - start));
    }

private:
    std::string_view s_;
    std::size_t i_ = 0;
};

class BinaryReader {
public:
    BinaryReader(std::string_view s, bool swap)
        : p_(reinterpret_cast<const unsigned char*>(s.data())), n_(s.size()), swap_(swap) {}
    std::optional<double> next(ValueType t) {
        const std::size_t size = size_of(t);
        if (n_ - i_ < size) return std::nullopt;
        const double v = swap_ ? load<true>(t, p_ + i_) : load<false>(t, p_ + i_);
        i_ += size;
        return v;
    }
    std::size_t left() const { return n_ - i_; }
    const unsigned char* position() const { return p_ + i_; }
    void skip(std::size_t bytes) { i_ += bytes; }

private:
    const unsigned char* p_;
    std::size_t n_;
    std::size_t i_ = 0;
    bool swap_;
};

template <class Next>
bool walk_rows(std::size_t ei, const Element& e, const std::vector<std::optional<ScalarSink>>& sinks,
               BodyConsumer& consumer, Next&& next) {
    for (std::uint64_t row = 0; row < e.count; ++row) {
        if (row % 65536 == 0) {
            parallel::check_cancelled();
            parallel::report_progress("parsing", row, e.count);
        }
        for (std::size_t k = 0; k < e.properties.size(); ++k) {
            const Property& p = e.properties[k];
            if (!p.is_list) {
                auto v = next(p.value_type);
                if (!v) return false;
                if (sinks[k])
                    store(*sinks[k], row, *v);
                else if (!consumer.value({ei, row, k, 0, 0, *v}))
                    return false;
                continue;
            }
            auto length = next(p.count_type);
            if (!length) return false;
            const std::uint64_t n = list_count(*length);
            if (!consumer.value({ei, row, k, 0, n, *length})) return false;
            for (std::uint64_t j = 1; j <= n; ++j) {
                auto v = next(p.value_type);
                if (!v || !consumer.value({ei, row, k, j, n, *v})) return false;
                if (j == n) break;  // n may be the largest count
            }
        }
    }
    return true;
}

bool walk_binary(std::string_view body, const Header& h, BodyConsumer& consumer) {
    const bool swap = (h.encoding == Encoding::BinaryBigEndian) == (std::endian::native == std::endian::little);
    BinaryReader in(body, swap);
    for (std::size_t ei = 0; ei < h.elements.size(); ++ei) {
        const Element& e = h.elements[ei];
        if (e.properties.empty()) continue;  // rows without values take no bytes
        std::vector<std::optional<ScalarSink>> sinks(e.properties.size());
        bool fixed = true;
        for (std::size_t k = 0; k < e.properties.size(); ++k) {
            if (!e.properties[k].is_list) sinks[k] = consumer.sink(ei, k);
            fixed = fixed && sinks[k].has_value();
        }
        if (fixed) {
            const std::uint64_t row_size = min_row_bytes(e, h.encoding);
            if (e.count > in.left() / row_size) return false;
            std::vector<ScalarSink> direct;
            for (auto& s : sinks) direct.push_back(*s);
            if (swap)
                decode_fixed_rows<true>(in.position(), e.count, e, direct);
            else
                decode_fixed_rows<false>(in.position(), e.count, e, direct);
            in.skip(static_cast<std::size_t>(e.count * row_size));
            continue;
        }
        if (!walk_rows(ei, e, sinks, consumer, [&](ValueType t) { return in.next(t); })) return false;
    }
    return true;
}

bool walk_text(std::string_view body, const Header& h, BodyConsumer& consumer) {
    if (!valid_utf8(body)) return false;
    TextTokens in(body);
    for (std::size_t ei = 0; ei < h.elements.size(); ++ei) {
        const Element& e = h.elements[ei];
        if (e.properties.empty()) continue;
        std::vector<std::optional<ScalarSink>> sinks(e.properties.size());
        for (std::size_t k = 0; k < e.properties.size(); ++k)
            if (!e.properties[k].is_list) sinks[k] = consumer.sink(ei, k);
        if (!walk_rows(ei, e, sinks, consumer, [&](ValueType) { return in.next(); })) return false;
    }
    return true;
}

// ---- consumers -------------------------------------------------------------------------------

const Element* first_element(const Header& h, std::string_view name, std::size_t* index = nullptr) {
    for (std::size_t i = 0; i < h.elements.size(); ++i)
        if (h.elements[i].name == name) {
            if (index) *index = i;
            return &h.elements[i];
        }
    return nullptr;
}

bool has_property(const Element& e, std::string_view name) {
    return std::any_of(e.properties.begin(), e.properties.end(), [&](const Property& p) { return p.name == name; });
}

// Fills points, normals and colours from the first "vertex" element.
class VertexConsumer : public BodyConsumer {
public:
    // False when the file has no usable vertex element.
    bool prepare(const Header& h) {
        vertex_ = first_element(h, "vertex", &vertex_index_);
        if (!vertex_ || vertex_->count == 0 || !has_property(*vertex_, "x")) return false;
        const auto n = static_cast<std::size_t>(vertex_->count);  // bounded by the body's size
        // Every row sets every property it has, so an array whose three components all have
        // a property needs no zero fill first.
        auto allocate = [&](Storage<Vector3d>& array, std::initializer_list<std::string_view> names) {
            if (std::all_of(names.begin(), names.end(), [&](std::string_view m) { return has_property(*vertex_, m); }))
                array.resize_for_overwrite(n);
            else
                array.resize(n, Vector3d{0, 0, 0});
        };
        allocate(points, {"x", "y", "z"});
        if (has_property(*vertex_, "nx")) allocate(normals, {"nx", "ny", "nz"});
        if (has_property(*vertex_, "red")) allocate(colors, {"red", "green", "blue"});
        for (const Property& p : vertex_->properties) targets_.push_back(target(p.name));
        return true;
    }

    std::optional<ScalarSink> sink(std::size_t element, std::size_t property) override {
        if (element != vertex_index_) return ScalarSink{};
        return targets_[property];
    }

    bool value(const ValueEvent& v) override {
        if (v.element == vertex_index_) store(targets_[v.property], v.row, v.value);
        return true;
    }

    std::size_t vertex_count() const { return points.size(); }

    Storage<Vector3d> points, normals, colors;

private:
    ScalarSink target(std::string_view name) {
        static constexpr std::string_view kNames[] = {"x", "y", "z", "nx", "ny", "nz", "red", "green", "blue"};
        for (std::size_t i = 0; i < 9; ++i) {
            if (name != kNames[i]) continue;
            Storage<Vector3d>& array = i < 3 ? points : i < 6 ? normals : colors;
            if (array.size() == 0) return {};
            return {array.data()->data() + i % 3, 3, i < 6 ? 1.0 : 255.0};
        }
        return {};
    }

    const Element* vertex_ = nullptr;
    std::size_t vertex_index_ = std::numeric_limits<std::size_t>::max();
    std::vector<ScalarSink> targets_;
};

// Vertices as above, plus the polygons of the first "face" element's index list.
class MeshConsumer : public VertexConsumer {
public:
    bool prepare(const Header& h) {
        if (!VertexConsumer::prepare(h)) return false;
        const Element* face = first_element(h, "face", &face_index_);
        if (!face) return true;
        for (std::string_view name : {"vertex_indices", "vertex_index"}) {
            for (std::size_t k = 0; k < face->properties.size(); ++k)
                if (face->properties[k].name == name) {
                    list_property_ = k;
                    return true;
                }
        }
        return true;
    }

    bool value(const ValueEvent& v) override {
        if (v.element != face_index_ || v.property != list_property_) return VertexConsumer::value(v);
        if (v.list_position == 0) {
            current_.clear();
            return true;
        }
        // An index is an integral value in the 32-bit unsigned range (-0 included).
        if (!(v.value >= 0 && v.value <= 4294967295.0) || v.value != std::trunc(v.value)) return false;
        current_.push_back(static_cast<std::uint32_t>(v.value));
        if (v.list_position == v.list_length) {
            indices_.insert(indices_.end(), current_.begin(), current_.end());
            ends_.push_back(indices_.size());
        }
        return true;
    }

    // Triangles of every stored polygon, in order; false on a bad polygon.
    bool triangles(std::vector<Vector3i>& out, std::uint64_t budget) const {
        std::size_t begin = 0;
        for (std::size_t end : ends_) {
            const std::size_t m = end - begin;
            if (m < 3) return false;
            for (std::size_t i = begin; i < end; ++i)
                if (indices_[i] >= vertex_count()) return false;
            if (m == 3) {
                out.push_back(triangle(indices_[begin], indices_[begin + 1], indices_[begin + 2]));
            } else {
                std::vector<std::uint32_t> polygon(indices_.begin() + static_cast<std::ptrdiff_t>(begin),
                                                   indices_.begin() + static_cast<std::ptrdiff_t>(end));
                if (!triangulate(std::move(polygon), points.span(), out, budget)) return false;
            }
            begin = end;
        }
        return true;
    }

    static Vector3i triangle(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
        return {static_cast<std::int32_t>(a), static_cast<std::int32_t>(b), static_cast<std::int32_t>(c)};
    }

private:
    std::size_t face_index_ = std::numeric_limits<std::size_t>::max();
    std::size_t list_property_ = std::numeric_limits<std::size_t>::max();
    std::vector<std::uint32_t> current_, indices_;
    std::vector<std::size_t> ends_;
};

// ---- ear clipping ----------------------------------------------------------------------------

// Even-odd crossing test of P against the triangle A, B, C projected onto the plane of the
// coordinates u (across) and w (along the crossing ray's sweep).
bool inside_projected(const Vector3d& p, const Vector3d& a, const Vector3d& b, const Vector3d& c, int u, int w) {
    bool inside = false;
    const Vector3d* edges[3][2] = {{&a, &b}, {&b, &c}, {&c, &a}};
    for (auto& [from, to] : edges) {
        const Vector3d& s = *from;
        const Vector3d& t = *to;
        const bool spans = (s[w] <= p[w] && p[w] < t[w]) || (t[w] <= p[w] && p[w] < s[w]);
        if (spans && p[u] > (p[w] - s[w]) * (t[u] - s[u]) / (t[w] - s[w]) + s[u]) inside = !inside;
    }
    return inside;
}

// The projection plane for a polygon with this normal: the two coordinates orthogonal to the
// normal's largest component, so an upright polygon (a wall) does not collapse to a line. Ties go
// to z, then y, keeping x-y for every polygon that is not clearly upright.
std::pair<int, int> projection_axes(const Vector3d& normal) {
    const double ax = std::fabs(normal[0]), ay = std::fabs(normal[1]), az = std::fabs(normal[2]);
    if (az >= ax && az >= ay) return {0, 1};
    if (ay >= ax) return {2, 0};
    return {1, 2};
}

// Ear clipping costs up to cubic time in a polygon's size, and a small file can declare one
// huge polygon. Point-in-triangle tests are counted against a budget that grows with the
// file's size (ample for real polygons), so a hostile file fails in bounded time.
std::uint64_t ear_test_budget(std::size_t file_bytes) {
    return (std::uint64_t{1} << 24) + 1024 * static_cast<std::uint64_t>(file_bytes);
}

}  // namespace

// ---- public entry points -----------------------------------------------------------------------

std::optional<Header> parse_header(std::string_view data) {
    Header h;
    bool has_format = false;
    std::size_t pos = 0;
    bool first = true;
    while (true) {
        const std::size_t lf = data.find('\n', pos);
        if (lf == std::string_view::npos) return std::nullopt;
        std::string_view line = data.substr(pos, lf - pos);
        pos = lf + 1;
        if (!valid_utf8(line)) return std::nullopt;
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {
            if (trim_unicode_space(line) != "ply") return std::nullopt;
            first = false;
            continue;
        }
        const std::vector<std::string_view> words = split_words(line);
        if (!words.empty() && words[0] == "end_header") {
            if (!has_format) return std::nullopt;
            h.body_offset = pos;
            return h;
        }
        if (!header_line(line, h, has_format)) return std::nullopt;
    }
}

bool body_can_hold(std::string_view data, const Header& header) {
    const std::uint64_t body = data.size() - std::min(data.size(), header.body_offset);
    unsigned __int128 need = 0;
    for (const Element& e : header.elements) need += static_cast<unsigned __int128>(e.count) * min_row_bytes(e, header.encoding);
    // Text tokens need a separator between each other.
    if (header.encoding == Encoding::Ascii) return need == 0 || 2 * need - 1 <= body;
    return need <= body;
}

bool walk_body(std::string_view data, const Header& header, BodyConsumer& consumer) {
    if (header.body_offset > data.size() || !body_can_hold(data, header)) return false;
    const std::string_view body = data.substr(header.body_offset);
    return header.encoding == Encoding::Ascii ? walk_text(body, header, consumer) : walk_binary(body, header, consumer);
}

std::optional<CloudData> read_point_cloud(std::string_view data) {
    auto header = parse_header(data);
    if (!header || !body_can_hold(data, *header)) return std::nullopt;
    VertexConsumer consumer;
    if (!consumer.prepare(*header) || !walk_body(data, *header, consumer)) return std::nullopt;
    return CloudData{std::move(consumer.points), std::move(consumer.normals), std::move(consumer.colors)};
}

std::optional<MeshData> read_mesh(std::string_view data) {
    auto header = parse_header(data);
    if (!header || !body_can_hold(data, *header)) return std::nullopt;
    MeshConsumer consumer;
    if (!consumer.prepare(*header) || !walk_body(data, *header, consumer)) return std::nullopt;
    std::vector<Vector3i> triangles;
    if (!consumer.triangles(triangles, ear_test_budget(data.size()))) return std::nullopt;
    MeshData mesh{std::move(consumer.points), std::move(consumer.normals), std::move(consumer.colors), {}};
    mesh.triangles.assign(std::move(triangles));
    return mesh;
}

bool triangulate(std::vector<std::uint32_t> p, std::span<const Vector3d> v, std::vector<Vector3i>& out,
                 std::uint64_t& budget) {
    std::size_t m = p.size();
    Vector3d normal{0, 0, 0};
    for (std::size_t u = 1; u <= m; ++u) {
        const Vector3d& cur = v[p[u % m]];
        const Vector3d& prev = v[p[u - 1]];
        const Vector3d& next = v[p[(u + 1) % m]];
        const Vector3d c = cross(sub(cur, prev), sub(next, cur));
        normal = add(normal, c);
    }
    const double norm2 = squared_norm(normal);
    const double length = std::sqrt(norm2);
    if (norm2 == 0 || !std::isfinite(length)) return false;
    const double inv = 1.0 / length;
    normal = {normal[0] * inv, normal[1] * inv, normal[2] * inv};
    const auto [axis_u, axis_w] = projection_axes(normal);

    while (m > 3) {
        bool clipped = false;
        for (std::size_t u = 1; u + 1 < m && !clipped; ++u) {
            const Vector3d& prev = v[p[u - 1]];
            const Vector3d& cur = v[p[u]];
            const Vector3d& next = v[p[u + 1]];
            if (!(dot(cross(sub(cur, prev), sub(next, cur)), normal) > 0)) continue;
            if (budget < m) return false;
            budget -= m;
            bool blocked = false;
            for (std::size_t k = 0; k < m && !blocked; ++k)
                if (k + 1 < u || k > u + 1) blocked = inside_projected(v[p[k]], prev, cur, next, axis_u, axis_w);
            if (blocked) continue;
            out.push_back(MeshConsumer::triangle(p[u - 1], p[u], p[u + 1]));
            p.erase(p.begin() + static_cast<std::ptrdiff_t>(u));
            --m;
            clipped = true;
        }
        if (!clipped) return false;
    }
    out.push_back(MeshConsumer::triangle(p[0], p[1], p[2]));
    return true;
}

// ---- writers -----------------------------------------------------------------------------------

std::uint8_t color_byte(double c) {
    if (!(c > 0)) return 0;  // NaN and everything at or below 0
    if (c > 1) c = 1;
    // Round half away from zero without a library call: x - trunc(x) is exact for 0 < x <= 255.
    const double x = c * 255.0;
    const int whole = static_cast<int>(x);
    return static_cast<std::uint8_t>(whole + (x - whole >= 0.5 ? 1 : 0));
}

namespace {

constexpr std::size_t kRowsPerBlock = 8192;
constexpr std::size_t kBlocksPerBatch = 16;

struct VertexColumns {
    std::span<const Vector3d> points, normals, colors;  // normals / colors empty when not written
};

std::string header_text(const VertexColumns& c, bool ascii, const std::size_t* faces) {
    std::string h = "ply\n";
    h += ascii ? "format ascii 1.0\n" : "format binary_little_endian 1.0\n";
    h += "comment Created by nubiro\n";
    h += "element vertex " + std::to_string(c.points.size()) + "\n";
    h += "property double x\nproperty double y\nproperty double z\n";
    if (!c.normals.empty()) h += "property double nx\nproperty double ny\nproperty double nz\n";
    if (!c.colors.empty()) h += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    if (faces) h += "element face " + std::to_string(*faces) + "\nproperty list uchar uint vertex_indices\n";
    h += "end_header\n";
    return h;
}

// Formats rows [begin, end) of the vertex block into `out`.
void vertex_rows(const VertexColumns& c, bool ascii, std::size_t begin, std::size_t end, std::string& out) {
    const bool with_normals = !c.normals.empty(), with_colors = !c.colors.empty();
    if (!ascii) {
        static_assert(std::endian::native == std::endian::little, "binary output assumes a little-endian host");
        const std::size_t row_size = 24 + (with_normals ? 24 : 0) + (with_colors ? 3 : 0);
        const std::size_t at = out.size();
        out.resize(at + (end - begin) * row_size);
        char* p = out.data() + at;
        for (std::size_t i = begin; i < end; ++i) {
            std::memcpy(p, c.points[i].data(), 24);
            p += 24;
            if (with_normals) {
                std::memcpy(p, c.normals[i].data(), 24);
                p += 24;
            }
            if (with_colors) {
                for (int k = 0; k < 3; ++k) *p++ = static_cast<char>(color_byte(c.colors[i][k]));
            }
        }
        return;
    }
    auto value = [&](double x, bool last) {
        text::append_general(out, x);
        out += last ? '\n' : ' ';
    };
    for (std::size_t i = begin; i < end; ++i) {
        const bool tail = !with_normals && !with_colors;
        value(c.points[i][0], false), value(c.points[i][1], false), value(c.points[i][2], tail);
        if (with_normals) {
            value(c.normals[i][0], false), value(c.normals[i][1], false), value(c.normals[i][2], !with_colors);
        }
        if (with_colors) {
            for (int k = 0; k < 3; ++k) {
                text::append_integer(out, color_byte(c.colors[i][k]));
                out += k == 2 ? '\n' : ' ';
            }
        }
    }
}

void face_rows(std::span<const Vector3i> t, bool ascii, std::size_t begin, std::size_t end, std::string& out) {
    if (!ascii) {
        const std::size_t at = out.size();
        out.resize(at + (end - begin) * 13);
        char* p = out.data() + at;
        for (std::size_t i = begin; i < end; ++i) {
            *p++ = '\x03';
            std::memcpy(p, t[i].data(), 12);  // two's complement: a negative index as its uint32 pattern
            p += 12;
        }
        return;
    }
    for (std::size_t i = begin; i < end; ++i) {
        out += "3";
        for (int k = 0; k < 3; ++k) {
            out += ' ';
            text::append_integer(out, static_cast<std::uint32_t>(t[i][k]));
        }
        out += '\n';
    }
}

// Formats n rows in blocks on the worker pool, each block into its own reused buffer, and
// hands the blocks to `write` in row order.
template <class Rows>
bool write_rows(std::size_t n, Rows&& rows, const Sink& write) {
    std::vector<std::string> blocks(std::min(kBlocksPerBatch, (n + kRowsPerBlock - 1) / kRowsPerBlock));
    for (std::size_t first = 0; first < n; first += kRowsPerBlock * kBlocksPerBatch) {
        const std::size_t batch_rows = std::min(n - first, kRowsPerBlock * kBlocksPerBatch);
        const std::size_t count = (batch_rows + kRowsPerBlock - 1) / kRowsPerBlock;
        parallel::parallel_for(count, [&](std::size_t b) {
            const std::size_t begin = first + b * kRowsPerBlock;
            blocks[b].clear();
            rows(begin, std::min(begin + kRowsPerBlock, first + batch_rows), blocks[b]);
        });
        for (std::size_t b = 0; b < count; ++b)
            if (!write(blocks[b])) return false;
    }
    return true;
}

bool write_vertices_and_faces(const VertexColumns& c, const std::span<const Vector3i>* faces, bool ascii,
                              const Sink& write) {
    const std::size_t face_count = faces ? faces->size() : 0;
    if (!write(header_text(c, ascii, faces ? &face_count : nullptr))) return false;
    if (!write_rows(
            c.points.size(), [&](std::size_t b, std::size_t e, std::string& out) { vertex_rows(c, ascii, b, e, out); },
            write))
        return false;
    if (!faces) return true;
    return write_rows(
        faces->size(), [&](std::size_t b, std::size_t e, std::string& out) { face_rows(*faces, ascii, b, e, out); },
        write);
}

}  // namespace

bool write_point_cloud(const geometry::PointCloud& cloud, bool ascii, const Sink& write) {
    VertexColumns c{cloud.points.span(), {}, {}};
    if (cloud.normals.size() == cloud.points.size()) c.normals = cloud.normals.span();
    if (cloud.colors.size() == cloud.points.size()) c.colors = cloud.colors.span();
    return write_vertices_and_faces(c, nullptr, ascii, write);
}

bool write_mesh(std::span<const Vector3d> vertices, std::span<const Vector3d> normals, std::span<const Vector3d> colors,
                std::span<const Vector3i> triangles, bool ascii, const Sink& write) {
    return write_vertices_and_faces({vertices, normals, colors}, &triangles, ascii, write);
}

}  // namespace nubiro::io::ply
