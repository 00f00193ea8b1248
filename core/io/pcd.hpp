// The PCD point-cloud file: a text header naming the per-point fields (FIELDS, SIZE, TYPE,
// COUNT), the grid (WIDTH x HEIGHT = POINTS; HEIGHT > 1 for organized clouds from depth
// cameras), the sensor's VIEWPOINT, and a body that is ascii (one point per line), binary
// (point records back to back) or binary_compressed (the records transposed field by field,
// then LZF-compressed, preceded by the compressed and uncompressed sizes).
//
// The reader maps x y z, normal_x normal_y normal_z and rgb / rgba (packed 8-bit channels)
// onto a point cloud and keeps every other field as raw values of its own type. Every size in
// the header is checked against the bytes that are actually there before anything is
// allocated, so a damaged or hostile file gives an error message, never a crash, a hang or a
// huge allocation. Errors are values whose message names the header line or body part at fault.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/geometry/point_cloud.hpp"
#include "core/io/output.hpp"
#include "core/io/source.hpp"
#include "core/result.hpp"

namespace nubiro::io::pcd {

enum class Encoding { Ascii, Binary, BinaryCompressed };
std::string_view encoding_name(Encoding e);

struct Field {
    std::string name;
    char type = 'F';       // 'I' signed, 'U' unsigned, 'F' floating point
    std::uint32_t size = 4;  // bytes per value: 1, 2, 4 or 8 (F: 4 or 8)
    std::uint64_t count = 1;  // values per point
    std::uint64_t bytes() const { return size * count; }
};

struct Header {
    std::string version;  // as written, e.g. "0.7" or ".5"
    std::vector<Field> fields;
    std::uint64_t width = 0, height = 1, points = 0;
    std::array<double, 7> viewpoint{0, 0, 0, 1, 0, 0, 0};  // tx ty tz qw qx qy qz
    Encoding encoding = Encoding::Ascii;
    std::size_t body_offset = 0;  // first byte after the DATA line
    std::uint64_t record_size() const;  // bytes of one point in a binary body
};

Result<Header> parse_header(std::string_view data);

// A field the reader does not map onto the cloud: its values as stored, little-endian,
// point after point (count values each).
struct FieldValues {
    Field field;
    std::vector<std::uint8_t> bytes;
};

struct Cloud {
    Header header;
    geometry::PointCloud cloud;  // normals / colours only when the file has them
    std::vector<FieldValues> fields;  // in header order; padding fields ("_") left out
};

// Reads a file's bytes from memory or from a file in blocks (a binary body is read chunk by
// chunk by the threads that decode it, never held whole). With remove_non_finite, points with a NaN or infinite
// coordinate are dropped together with their values in every field; without it, an organized
// cloud keeps its grid (row after row, WIDTH points each). Without keep_fields, only the cloud
// is decoded and `fields` stays empty.
Result<Cloud> read(const Source& source, bool remove_non_finite, bool keep_fields = true);
Result<Cloud> read(std::string_view data, bool remove_non_finite, bool keep_fields = true);

struct WriteOptions {
    Encoding encoding = Encoding::Binary;
    bool double_precision = false;  // F8 coordinates and normals instead of F4
    std::uint64_t width = 0, height = 0;  // 0, 0: one row of all points
    std::array<double, 7> viewpoint{0, 0, 0, 1, 0, 0, 0};
};

// Writes x y z (+ rgb packed in a float) (+ normal_x normal_y normal_z curvature) and then the
// extra fields, each with one row per point. False when the output refuses a piece. Errors for shapes that cannot be written (a grid that does not match
// the point count, an extra field of the wrong length). A binary body goes to a file in
// parallel blocks, each written at its own offset.
Result<bool> write(const geometry::PointCloud& cloud, std::span<const FieldValues> extra, const WriteOptions& options,
                   const Output& out);

}  // namespace nubiro::io::pcd
