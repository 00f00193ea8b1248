// The PLY polygon file format: a header parser, a body walker that hands every value to a
// consumer, the point-cloud and polygon-mesh consumers, and the writers.
//
// Readers take their bytes from a source (memory or a file read in blocks) and fail as a whole
// (std::nullopt): a damaged or shrinking file never yields part of an object. Before anything is allocated for a body, the declared row
// counts are checked against the bytes that are actually there, so a header cannot make the
// reader reserve (or loop over) more than the file could hold.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/geometry/point_cloud.hpp"
#include "core/io/color_bytes.hpp"
#include "core/io/output.hpp"
#include "core/io/source.hpp"
#include "core/result.hpp"
#include "core/storage.hpp"
#include "core/types.hpp"

namespace nubiro::io::ply {

enum class Encoding { Ascii, BinaryLittleEndian, BinaryBigEndian };

// The value types of the header's type words; every value is handed on as a float64.
enum class ValueType : std::uint8_t { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

std::size_t size_of(ValueType t);

struct Property {
    std::string name;
    bool is_list = false;
    ValueType count_type = ValueType::UInt8;  // lists only
    ValueType value_type = ValueType::Float64;  // the scalar's type, or a list's item type
};

struct Element {
    std::string name;
    std::uint64_t count = 0;
    std::vector<Property> properties;
};

struct Header {
    Encoding encoding = Encoding::Ascii;
    std::vector<Element> elements;
    std::size_t body_offset = 0;  // just past the LF that ends "end_header"
};

std::optional<Header> parse_header(std::string_view data);
// The header at the start of a source, reading no more of a file than the header needs.
std::optional<Header> read_header_of(const Source& source);

// One value of the body. For a scalar property list_position and list_length are 0; a list
// first reports its length (list_position 0, value = the length) and then its items at
// positions 1 ... length.
struct ValueEvent {
    std::size_t element;
    std::uint64_t row;
    std::size_t property;
    std::uint64_t list_position;
    std::uint64_t list_length;
    double value;
};

// Where the walker may store a scalar property's values directly, row by row, instead of
// reporting them as events: row r's value v goes to base[r * stride] (divided by `divisor`
// when it is not 1). A null base drops the values.
struct ScalarSink {
    double* base = nullptr;
    std::size_t stride = 0;
    double divisor = 1.0;
};

class BodyConsumer {
public:
    virtual ~BodyConsumer() = default;
    // A direct destination for scalar property p of element e, or nullopt for events.
    virtual std::optional<ScalarSink> sink(std::size_t element, std::size_t property) { return std::nullopt; }
    // Returns false to stop the walk as failed.
    virtual bool value(const ValueEvent& event) = 0;
};

// Whether the body could hold every declared row: a cheap lower bound on the bytes the rows
// need (no list items counted), checked before anything is sized by a declared count.
bool body_can_hold(std::uint64_t size, const Header& header);

// Walks every row of every element in header order; false on any malformed or missing value.
// Data after the last row is ignored.
bool walk_body(std::string_view data, const Header& header, BodyConsumer& consumer);

struct CloudData {
    Storage<Vector3d> points, normals, colors;  // normals / colors empty when the file has none
};
// A scalar property of the vertex element that the cloud does not hold (intensity, a label,
// alpha, any unknown name): one value per vertex, and the type the header declared.
struct ExtraProperty {
    std::string name;
    ValueType type;
    Storage<double> values;
};
std::optional<CloudData> read_point_cloud(const Source& source);
std::optional<CloudData> read_point_cloud(std::string_view data);
// As above, also keeping the vertex element's other scalar properties in `extras` (header
// order, the first of several with one name; list properties are left out). The reader above
// skips those values and allocates nothing for them.
std::optional<CloudData> read_point_cloud(const Source& source, std::vector<ExtraProperty>& extras);

struct MeshData {
    Storage<Vector3d> vertices, vertex_normals, vertex_colors;
    Storage<Vector3i> triangles;
};
std::optional<MeshData> read_mesh(const Source& source);
std::optional<MeshData> read_mesh(std::string_view data);

// Triangulates a polygon of vertex positions (indices known to be valid) by ear clipping,
// appending the triangles; false when it has no usable normal, no ear can be found, or the
// point-in-triangle tests would exceed `budget` (decremented by the tests made).
bool triangulate(std::vector<std::uint32_t> polygon, std::span<const Vector3d> vertices,
                 std::vector<Vector3i>& out, std::uint64_t& budget);

// Writers put their bytes into an Output (see output.hpp): binary rows have a fixed size, so
// on a file their blocks are filled and written in parallel after the header.
bool write_point_cloud(const geometry::PointCloud& cloud, bool ascii, const Output& out);

// A vertex property written after the cloud's own columns: `count` values of `type` at
// `values` (host byte order), one per point. The caller keeps them alive during the write.
struct ExtraColumn {
    std::string name;
    ValueType type = ValueType::Float64;
    const void* values = nullptr;
    std::size_t count = 0;
};
// The cloud's rows followed by the extra columns, in their own types; as text, integers are
// whole and floats keep the digits that read back to the same value (9 for float, 17 for
// double). Errors for a column the file cannot hold (a name that is not one header word or
// is taken, a length other than the point count); false when the output refuses a piece.
Result<bool> write_point_cloud(const geometry::PointCloud& cloud, std::span<const ExtraColumn> extra, bool ascii,
                               const Output& out);
bool write_point_cloud(const geometry::PointCloud& cloud, bool ascii, const Sink& write);
bool write_mesh(std::span<const Vector3d> vertices, std::span<const Vector3d> normals,
                std::span<const Vector3d> colors, std::span<const Vector3i> triangles, bool ascii,
                const Output& out);

}  // namespace nubiro::io::ply
