#include "core/io/ply.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <initializer_list>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/io/fresh_stores.hpp"
#include "core/io/utf8.hpp"
#include "core/io/source.hpp"
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

// The type words a header may use; the first word of each type is the one writers use.
constexpr std::pair<std::string_view, ValueType> kTypeWords[] = {
    {"char", ValueType::Int8},     {"int8", ValueType::Int8},       {"uchar", ValueType::UInt8},
    {"uint8", ValueType::UInt8},   {"short", ValueType::Int16},     {"int16", ValueType::Int16},
    {"ushort", ValueType::UInt16}, {"uint16", ValueType::UInt16},   {"int", ValueType::Int32},
    {"int32", ValueType::Int32},   {"uint", ValueType::UInt32},     {"uint32", ValueType::UInt32},
    {"float", ValueType::Float32}, {"float32", ValueType::Float32}, {"double", ValueType::Float64},
    {"float64", ValueType::Float64}};

std::optional<ValueType> value_type(std::string_view word) {
    for (auto [w, t] : kTypeWords)
        if (w == word) return t;
    return std::nullopt;
}

std::string_view type_word(ValueType type) {
    for (auto [w, t] : kTypeWords)
        if (t == type) return w;
    return "double";
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

// Body bytes handed to one decoding step: about the size of a core's private cache, so a block
// read from a file is still there when its rows are decoded.
constexpr std::size_t kBlockBytes = std::size_t{256} << 10;

// Bytes through a table of their 256 results, `run` adjacent bytes per row into adjacent slots.
inline void look_up_runs(std::size_t run, const std::array<double, 256>& table, const unsigned char* in,
                         std::size_t row_size, double* to, std::size_t stride, std::size_t rows) {
    if (run == 3 && stride == 3) {
        for (std::size_t i = 0; i < rows; ++i, in += row_size, to += stride)
            store_triple(to, table[in[0]], table[in[1]], table[in[2]]);
        return;
    }
    for (std::size_t i = 0; i < rows; ++i, in += row_size, to += stride)
        for (std::size_t k = 0; k < run; ++k) to[k] = table[in[k]];
}

// Copies `rows` runs of `run` native float64 values, one per input row, into slots `stride`
// doubles apart. Each run length gets its own loop so the copy is a fixed-size move.
inline void copy_runs(std::size_t run, const unsigned char* in, std::size_t row_size, double* to, std::size_t stride,
                      std::size_t rows) {
    auto loop = [&](auto bytes) {
        for (std::size_t i = 0; i < rows; ++i, in += row_size, to += stride) std::memcpy(to, in, bytes.value);
    };
    if (run == 3 && stride == 3) {
        for (std::size_t i = 0; i < rows; ++i, in += row_size, to += stride) {
            double v[3];
            std::memcpy(v, in, 24);
            store_triple(to, v[0], v[1], v[2]);
        }
        return;
    }
    if (run == 3)
        loop(std::integral_constant<std::size_t, 24>{});
    else if (run == 2)
        loop(std::integral_constant<std::size_t, 16>{});
    else
        loop(std::integral_constant<std::size_t, 8>{});
}

// Decodes the rows of an element whose properties are all scalars with direct sinks, starting
// at `offset` of the source. Rows have a fixed size, so blocks of rows go to the worker pool:
// each block is read (from a file, into its thread's reused buffer) and decoded straight into
// its rows' slots. Adjacent native float64 values that land in adjacent slots (x, y, z of one
// point) are copied as one run. False when the source comes up short.
template <bool Swap>
bool decode_fixed_rows(const Source& source, std::uint64_t offset, std::uint64_t count, const Element& e,
                       const std::vector<ScalarSink>& sinks) {
    // How a column's value gets to its slot: a run of native float64 values copied as they
    // are, a byte looked up in a table of its 256 results (colours: exact quotients without a
    // division per value), or a general load and store.
    enum class Kind : std::uint8_t { Copy, Table, Value };
    struct Column {
        std::size_t offset;
        ValueType type;
        ScalarSink sink;
        Kind kind = Kind::Value;
        std::size_t run = 1;  // float64 values copied together (Copy only)
        std::array<double, 256> table{};
    };
    std::vector<Column> columns;
    std::size_t row_size = 0;
    for (std::size_t k = 0; k < e.properties.size(); ++k) {
        const ValueType type = e.properties[k].value_type;
        const ScalarSink& sink = sinks[k];
        if (sink.base) {
            const bool plain = !Swap && type == ValueType::Float64 && sink.divisor == 1.0;
            Column* last = columns.empty() ? nullptr : &columns.back();
            const bool byte = type == ValueType::UInt8 || type == ValueType::Int8;
            if (plain && last && last->kind == Kind::Copy && last->run < 3 && last->offset + 8 * last->run == row_size &&
                last->sink.stride == sink.stride && last->sink.base + last->run == sink.base) {
                ++last->run;
            } else if (byte && last && last->kind == Kind::Table && last->type == type && last->run < 3 &&
                       last->offset + last->run == row_size && last->sink.stride == sink.stride &&
                       last->sink.base + last->run == sink.base && last->sink.divisor == sink.divisor) {
                ++last->run;  // the same table serves the whole run
            } else {
                Column& c = columns.emplace_back(Column{row_size, type, sink});
                if (plain) {
                    c.kind = Kind::Copy;
                } else if (byte) {
                    c.kind = Kind::Table;
                    for (unsigned b = 0; b < 256; ++b) {
                        const auto byte = static_cast<unsigned char>(b);
                        const double v = load<false>(type, &byte);
                        c.table[b] = sink.divisor == 1.0 ? v : v / sink.divisor;
                    }
                }
            }
        }
        row_size += size_of(type);
    }
    if (columns.empty()) return true;
    const std::size_t block_rows = std::max<std::size_t>(1, kBlockBytes / row_size);
    const std::size_t blocks = static_cast<std::size_t>((count + block_rows - 1) / block_rows);
    std::atomic<bool> short_read{false};
    parallel::parallel_for(blocks, [&](std::size_t b) {
        if (short_read.load(std::memory_order_relaxed)) return;
        const std::size_t first = b * block_rows;
        const std::size_t rows_here = std::min<std::size_t>(block_rows, static_cast<std::size_t>(count) - first);
        thread_local ReadBuffer buffer;
        bool ok = false;
        const std::string_view bytes = view_of(source, offset + first * row_size, rows_here * row_size, buffer, ok);
        if (!ok) {
            short_read.store(true, std::memory_order_relaxed);
            return;
        }
        const auto* base = reinterpret_cast<const unsigned char*>(bytes.data());
        for (const Column& c : columns) {
            // Column by column over the block: each inner loop has one fixed shape.
            const unsigned char* in = base + c.offset;
            double* to = c.sink.base + first * c.sink.stride;
            const std::size_t stride = c.sink.stride;
            switch (c.kind) {
                case Kind::Copy:
                    copy_runs(c.run, in, row_size, to, stride, rows_here);
                    break;
                case Kind::Table:
                    look_up_runs(c.run, c.table, in, row_size, to, stride, rows_here);
                    break;
                case Kind::Value:
                    for (std::size_t i = 0; i < rows_here; ++i, in += row_size)
                        store(c.sink, first + i, load<Swap>(c.type, in));
                    break;
            }
        }
        finish_stores();
    });
    return !short_read.load();
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

// Values one at a time from `offset` on: straight from memory, or from a file through a small
// window that is refilled as it runs out.
class BinaryReader {
public:
    BinaryReader(const Source& source, std::uint64_t offset, bool swap) : source_(source), next_(offset), swap_(swap) {
        if (const char* memory = source.memory()) {
            p_ = reinterpret_cast<const unsigned char*>(memory) + offset;
            n_ = static_cast<std::size_t>(source.size() - offset);
            next_ = source.size();
        }
    }
    std::optional<double> next(ValueType t) {
        const std::size_t size = size_of(t);
        if (n_ - i_ < size && !refill(size)) return std::nullopt;
        const double v = swap_ ? load<true>(t, p_ + i_) : load<false>(t, p_ + i_);
        i_ += size;
        return v;
    }
    // Offset of the next unread byte.
    std::uint64_t offset() const { return next_ - (n_ - i_); }

private:
    // Keeps the unread tail and reads up to a window's worth after it; false when fewer than
    // `need` bytes remain.
    bool refill(std::size_t need) {
        const std::size_t kept = n_ - i_;
        const std::uint64_t left = source_.size() - next_;
        if (kept + left < need) return false;
        if (window_.size() < kBlockBytes) window_.resize(kBlockBytes);
        // Nothing is kept before the first read (p_ is still null then).
        if (kept > 0) std::memmove(window_.data(), p_ + i_, kept);
        const auto more = static_cast<std::size_t>(std::min<std::uint64_t>(left, window_.size() - kept));
        if (!source_.read_at(next_, more, window_.data() + kept)) return false;
        next_ += more;
        p_ = reinterpret_cast<const unsigned char*>(window_.data());
        n_ = kept + more;
        i_ = 0;
        return true;
    }

    const Source& source_;
    std::string window_;
    const unsigned char* p_ = nullptr;
    std::size_t n_ = 0;
    std::size_t i_ = 0;
    std::uint64_t next_;  // source offset just past the window
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

bool walk_binary(const Source& source, const Header& h, BodyConsumer& consumer) {
    const bool swap = (h.encoding == Encoding::BinaryBigEndian) == (std::endian::native == std::endian::little);
    std::uint64_t at = h.body_offset;
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
            if (e.count > (source.size() - at) / row_size) return false;
            std::vector<ScalarSink> direct;
            for (auto& s : sinks) direct.push_back(*s);
            const bool decoded = swap ? decode_fixed_rows<true>(source, at, e.count, e, direct)
                                      : decode_fixed_rows<false>(source, at, e.count, e, direct);
            if (!decoded) return false;
            at += e.count * row_size;
            continue;
        }
        BinaryReader in(source, at, swap);
        if (!walk_rows(ei, e, sinks, consumer, [&](ValueType t) { return in.next(t); })) return false;
        at = in.offset();
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
        if (extras_) keep_other_properties(n);
        return true;
    }

    // Asks prepare() to give the vertex element's other scalar properties columns in `extras`.
    void keep_extras(std::vector<ExtraProperty>& extras) { extras_ = &extras; }

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

    // Every scalar property that has no place in the cloud gets a column of its own (the
    // first of several with one name; later ones stay skipped). Every row sets every scalar
    // property, so the columns need no fill.
    void keep_other_properties(std::size_t n) {
        extras_->clear();
        extras_->reserve(vertex_->properties.size());
        for (std::size_t k = 0; k < vertex_->properties.size(); ++k) {
            const Property& p = vertex_->properties[k];
            if (p.is_list || targets_[k].base) continue;
            if (std::any_of(extras_->begin(), extras_->end(), [&](const ExtraProperty& e) { return e.name == p.name; }))
                continue;
            ExtraProperty& e = extras_->emplace_back(ExtraProperty{p.name, p.value_type, {}});
            e.values.resize_for_overwrite(n);
            targets_[k] = {e.values.data(), 1, 1.0};
        }
    }

    const Element* vertex_ = nullptr;
    std::size_t vertex_index_ = std::numeric_limits<std::size_t>::max();
    std::vector<ScalarSink> targets_;
    std::vector<ExtraProperty>* extras_ = nullptr;
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

namespace {

// Parses the header at the start of `data`; `incomplete` tells a header cut short by the end of
// `data` (no LF after some line before "end_header") from a malformed one.
std::optional<Header> parse_header_prefix(std::string_view data, bool& incomplete) {
    incomplete = false;
    Header h;
    bool has_format = false;
    std::size_t pos = 0;
    bool first = true;
    while (true) {
        const std::size_t lf = data.find('\n', pos);
        if (lf == std::string_view::npos) {
            incomplete = true;
            return std::nullopt;
        }
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

// The header of a source: from a file, a prefix is read and doubled until the header ends in it
// (or turns out malformed), so a damaged file fails without being read whole.
std::optional<Header> read_header(const Source& source) {
    bool incomplete = false;
    if (const char* memory = source.memory())
        return parse_header_prefix({memory, static_cast<std::size_t>(source.size())}, incomplete);
    std::string prefix;
    for (std::uint64_t want = 64 << 10;; want *= 2) {
        const auto n = static_cast<std::size_t>(std::min(want, source.size()));
        prefix.resize(n);
        if (!source.read_at(0, n, prefix.data())) return std::nullopt;
        auto header = parse_header_prefix(prefix, incomplete);
        if (header || !incomplete || n == source.size()) return header;
    }
}

bool walk_source(const Source& source, const Header& header, BodyConsumer& consumer) {
    if (header.body_offset > source.size() || !body_can_hold(source.size(), header)) return false;
    if (header.encoding != Encoding::Ascii) return walk_binary(source, header, consumer);
    // Text is tokenised across lines and checked as UTF-8 as a whole: it is taken in one piece.
    ReadBuffer buffer;
    bool ok = false;
    const std::string_view body =
        view_of(source, header.body_offset, static_cast<std::size_t>(source.size() - header.body_offset), buffer, ok);
    return ok && walk_text(body, header, consumer);
}

}  // namespace

std::optional<Header> parse_header(std::string_view data) {
    bool incomplete = false;
    return parse_header_prefix(data, incomplete);
}

bool body_can_hold(std::uint64_t size, const Header& header) {
    const std::uint64_t body = size - std::min<std::uint64_t>(size, header.body_offset);
    unsigned __int128 need = 0;
    for (const Element& e : header.elements) need += static_cast<unsigned __int128>(e.count) * min_row_bytes(e, header.encoding);
    // Text tokens need a separator between each other.
    if (header.encoding == Encoding::Ascii) return need == 0 || 2 * need - 1 <= body;
    return need <= body;
}

bool walk_body(std::string_view data, const Header& header, BodyConsumer& consumer) {
    return walk_source(MemorySource(data), header, consumer);
}

namespace {

std::optional<CloudData> read_cloud(const Source& source, std::vector<ExtraProperty>* extras) {
    auto header = read_header(source);
    if (!header || !body_can_hold(source.size(), *header)) return std::nullopt;
    VertexConsumer consumer;
    if (extras) consumer.keep_extras(*extras);
    if (!consumer.prepare(*header) || !walk_source(source, *header, consumer)) {
        if (extras) extras->clear();
        return std::nullopt;
    }
    return CloudData{std::move(consumer.points), std::move(consumer.normals), std::move(consumer.colors)};
}

}  // namespace

std::optional<CloudData> read_point_cloud(const Source& source) { return read_cloud(source, nullptr); }

std::optional<CloudData> read_point_cloud(std::string_view data) { return read_point_cloud(MemorySource(data)); }

std::optional<CloudData> read_point_cloud(const Source& source, std::vector<ExtraProperty>& extras) {
    return read_cloud(source, &extras);
}

std::optional<MeshData> read_mesh(const Source& source) {
    auto header = read_header(source);
    if (!header || !body_can_hold(source.size(), *header)) return std::nullopt;
    MeshConsumer consumer;
    if (!consumer.prepare(*header) || !walk_source(source, *header, consumer)) return std::nullopt;
    std::vector<Vector3i> triangles;
    if (!consumer.triangles(triangles, ear_test_budget(static_cast<std::size_t>(source.size())))) return std::nullopt;
    MeshData mesh{std::move(consumer.points), std::move(consumer.normals), std::move(consumer.colors), {}};
    mesh.triangles.assign(std::move(triangles));
    return mesh;
}

std::optional<MeshData> read_mesh(std::string_view data) { return read_mesh(MemorySource(data)); }

std::optional<Header> read_header_of(const Source& source) { return read_header(source); }

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

namespace {

struct VertexColumns {
    std::span<const Vector3d> points, normals, colors;  // normals / colors empty when not written
    std::span<const ExtraColumn> extra;
    std::size_t row_size() const {
        std::size_t size = 24 + (normals.empty() ? 0 : 24) + (colors.empty() ? 0 : 3);
        for (const ExtraColumn& e : extra) size += size_of(e.type);
        return size;
    }
};

std::string header_text(const VertexColumns& c, bool ascii, const std::size_t* faces) {
    std::string h = "ply\n";
    h += ascii ? "format ascii 1.0\n" : "format binary_little_endian 1.0\n";
    h += "comment Created by nubiro\n";
    h += "element vertex " + std::to_string(c.points.size()) + "\n";
    h += "property double x\nproperty double y\nproperty double z\n";
    if (!c.normals.empty()) h += "property double nx\nproperty double ny\nproperty double nz\n";
    if (!c.colors.empty()) h += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    for (const ExtraColumn& e : c.extra) h += "property " + std::string(type_word(e.type)) + " " + e.name + "\n";
    if (faces) h += "element face " + std::to_string(*faces) + "\nproperty list uchar uint vertex_indices\n";
    h += "end_header\n";
    return h;
}

// Values [begin, begin + count) of an extra column into dst, dst + stride, ...
template <std::size_t Size>
void copy_column(const ExtraColumn& e, std::size_t begin, std::size_t count, char* dst, std::size_t stride) {
    const char* src = static_cast<const char*>(e.values) + begin * Size;
    for (std::size_t i = 0; i < count; ++i, src += Size, dst += stride) std::memcpy(dst, src, Size);
}

// An extra value as text: integers whole, floats with the digits that read back to the same
// value, any NaN as "nan".
void append_value(std::string& out, ValueType type, const unsigned char* p) {
    const double v = load<false>(type, p);
    if (type != ValueType::Float32 && type != ValueType::Float64)
        text::append_integer(out, static_cast<std::int64_t>(v));
    else if (std::isnan(v))
        out += "nan";
    else
        text::append_general(out, v, type == ValueType::Float32 ? 9 : 17);
}

// Rows [begin, end) of the binary vertex block at `rows`.
void vertex_rows_binary(const VertexColumns& c, std::size_t begin, std::size_t end, char* rows) {
    static_assert(std::endian::native == std::endian::little, "binary output assumes a little-endian host");
    const std::size_t row_size = c.row_size();
    const bool with_normals = !c.normals.empty();
    // Row i of the block with its point and normal; returns where its colour goes.
    auto row = [&](std::size_t i) {
        char* p = rows + i * row_size;
        fetch_ahead(&c.points[begin + i]);
        std::memcpy(p, c.points[begin + i].data(), 24);
        if (with_normals) {
            fetch_ahead(&c.normals[begin + i]);
            std::memcpy(p + 24, c.normals[begin + i].data(), 24);
        }
        return p + (with_normals ? 48 : 24);
    };
    if (c.colors.empty()) {
        for (std::size_t i = 0; i < end - begin; ++i) row(i);
    } else {
        for_each_color(c.colors.data() + begin, end - begin,
                       [&](std::size_t i, std::uint32_t rgb) { std::memcpy(row(i), &rgb, 3); });
    }
    // The extra columns one at a time, so each value's size is known to the copy.
    std::size_t offset = 24 + (with_normals ? 24 : 0) + (c.colors.empty() ? 0 : 3);
    for (const ExtraColumn& e : c.extra) {
        char* dst = rows + offset;
        switch (size_of(e.type)) {
            case 1: copy_column<1>(e, begin, end - begin, dst, row_size); break;
            case 2: copy_column<2>(e, begin, end - begin, dst, row_size); break;
            case 4: copy_column<4>(e, begin, end - begin, dst, row_size); break;
            default: copy_column<8>(e, begin, end - begin, dst, row_size); break;
        }
        offset += size_of(e.type);
    }
}

// Rows [begin, end) of the text vertex block, appended to `out`.
void vertex_rows_text(const VertexColumns& c, std::size_t begin, std::size_t end, std::string& out) {
    const bool with_normals = !c.normals.empty(), with_colors = !c.colors.empty();
    auto value = [&](double x) {
        text::append_general(out, x);
        out += ' ';
    };
    for (std::size_t i = begin; i < end; ++i) {
        value(c.points[i][0]), value(c.points[i][1]), value(c.points[i][2]);
        if (with_normals) value(c.normals[i][0]), value(c.normals[i][1]), value(c.normals[i][2]);
        if (with_colors) {
            for (int k = 0; k < 3; ++k) {
                text::append_integer(out, color_byte(c.colors[i][k]));
                out += ' ';
            }
        }
        for (const ExtraColumn& e : c.extra) {
            append_value(out, e.type, static_cast<const unsigned char*>(e.values) + i * size_of(e.type));
            out += ' ';
        }
        out.back() = '\n';  // in place of the last separator
    }
}

// Rows [begin, end) of the binary face block at `rows`: a count byte and three indices each.
void face_rows_binary(std::span<const Vector3i> t, std::size_t begin, std::size_t end, char* rows) {
    for (std::size_t i = begin; i < end; ++i, rows += 13) {
        rows[0] = '\x03';
        std::memcpy(rows + 1, t[i].data(), 12);  // two's complement: a negative index as its uint32 pattern
    }
}

void face_rows_text(std::span<const Vector3i> t, std::size_t begin, std::size_t end, std::string& out) {
    for (std::size_t i = begin; i < end; ++i) {
        out += "3";
        for (int k = 0; k < 3; ++k) {
            out += ' ';
            text::append_integer(out, static_cast<std::uint32_t>(t[i][k]));
        }
        out += '\n';
    }
}

bool write_vertices_and_faces(const VertexColumns& c, const std::span<const Vector3i>* faces, bool ascii,
                              const Output& out) {
    const std::size_t face_count = faces ? faces->size() : 0;
    const std::string header = header_text(c, ascii, faces ? &face_count : nullptr);
    if (!out.write(header)) return false;
    if (ascii) {
        auto vertices = [&](std::size_t b, std::size_t e, std::string& to) { vertex_rows_text(c, b, e, to); };
        auto face_list = [&](std::size_t b, std::size_t e, std::string& to) { face_rows_text(*faces, b, e, to); };
        if (!write_rows_in_order(c.points.size(), vertices, out.write)) return false;
        return !faces || write_rows_in_order(faces->size(), face_list, out.write);
    }
    auto vertices = [&](std::size_t b, std::size_t e, char* to) { vertex_rows_binary(c, b, e, to); };
    auto face_list = [&](std::size_t b, std::size_t e, char* to) { face_rows_binary(*faces, b, e, to); };
    const std::size_t row_size = c.row_size();
    if (!write_rows_at(header.size(), c.points.size(), row_size, vertices, out)) return false;
    const std::uint64_t faces_at = header.size() + std::uint64_t{c.points.size()} * row_size;
    return !faces || write_rows_at(faces_at, faces->size(), 13, face_list, out);
}

}  // namespace

bool write_point_cloud(const geometry::PointCloud& cloud, bool ascii, const Output& out) {
    return *write_point_cloud(cloud, {}, ascii, out);  // no extra column, nothing to refuse
}

Result<bool> write_point_cloud(const geometry::PointCloud& cloud, std::span<const ExtraColumn> extra, bool ascii,
                               const Output& out) {
    // Names the reader maps onto the cloud: a column by one of them would not read back as itself.
    static constexpr std::string_view kCloudNames[] = {"x", "y", "z", "nx", "ny", "nz", "red", "green", "blue"};
    const std::size_t n = cloud.points.size();
    for (std::size_t k = 0; k < extra.size(); ++k) {
        const ExtraColumn& e = extra[k];
        const std::string field = "field '" + e.name + "'";
        const bool one_word = !e.name.empty() && std::all_of(e.name.begin(), e.name.end(), [](char ch) {
            return ch > ' ' && ch < '\x7f';
        });
        if (!one_word) return value_error(field + ": a PLY property name is one word of printable ASCII");
        if (std::find(std::begin(kCloudNames), std::end(kCloudNames), e.name) != std::end(kCloudNames))
            return value_error(field + ": the name is taken by the cloud's own values");
        for (std::size_t j = 0; j < k; ++j)
            if (extra[j].name == e.name) return value_error(field + ": the name is taken by another column");
        if (e.count != n)
            return value_error(field + " has " + std::to_string(e.count) + " values for " + std::to_string(n) +
                               " points");
    }
    VertexColumns c{cloud.points.span(), {}, {}, extra};
    if (cloud.normals.size() == n) c.normals = cloud.normals.span();
    if (cloud.colors.size() == n) c.colors = cloud.colors.span();
    return write_vertices_and_faces(c, nullptr, ascii, out);
}

bool write_point_cloud(const geometry::PointCloud& cloud, bool ascii, const Sink& write) {
    return write_point_cloud(cloud, ascii, Output{write, {}, {}});
}

bool write_mesh(std::span<const Vector3d> vertices, std::span<const Vector3d> normals, std::span<const Vector3d> colors,
                std::span<const Vector3i> triangles, bool ascii, const Output& out) {
    return write_vertices_and_faces({vertices, normals, colors, {}}, &triangles, ascii, out);
}

}  // namespace nubiro::io::ply
