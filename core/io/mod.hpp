// Reading and writing point clouds and meshes by file name or as byte strings: the format is
// chosen from the file name (or given explicitly) and the work handed to the PLY or XYZ codec.
//
// File problems are not errors here: a reader that cannot open, map or parse its file returns
// an empty object, a writer that cannot create or fill its file returns false.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/geometry/mesh.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/io/ply.hpp"
#include "core/result.hpp"

namespace nubiro::io {

// `format` itself unless it is "auto"; then the text after the last "." anywhere in the path,
// lower-cased ("" without a point).
std::string resolve_format(std::string_view path, std::string_view format);

struct ReadOptions {
    bool remove_nan_points = false;
    bool remove_infinite_points = false;
};

geometry::PointCloud read_point_cloud(const std::string& path, std::string_view format, ReadOptions options);
geometry::PointCloud read_point_cloud_from_bytes(std::string_view bytes, std::string_view format, ReadOptions options);

// The format comes from the file name. False for an unknown format, a PLY cloud without points
// or a failed write.
bool write_point_cloud(const std::string& path, const geometry::PointCloud& cloud, bool write_ascii);
Result<std::string> write_point_cloud_to_bytes(const geometry::PointCloud& cloud, std::string_view format);

// Meshes: PLY only, the format always from the file name. Vertex normals and colours are
// written when asked for and there is one per vertex; a mesh without vertices is not written.
geometry::TriangleMesh read_triangle_mesh(const std::string& path);
bool write_triangle_mesh(const std::string& path, const geometry::TriangleMesh& mesh, bool write_ascii,
                         bool write_vertex_normals, bool write_vertex_colors);

// What a file holds, as the FileGeometry values: 0 unknown, 1 points, 4 triangles.
enum class FileContents : int { Unknown = 0, Points = 1, Lines = 2, Triangles = 4 };
FileContents read_file_geometry_type(const std::string& path);

// Drops points with a NaN (or infinite) coordinate; normals and colours that have one entry
// per point are compacted alongside, others are left as they are.
void remove_invalid_points(geometry::PointCloud& cloud, ReadOptions options);

// Whole-file access. `FileBytes` reads a regular file into memory of its own; `ok()` is false
// when it could not be opened or read completely. (It does not map the file: a mapped file
// that another process truncates mid-read would kill the process with SIGBUS.)
class FileBytes {
public:
    explicit FileBytes(const std::string& path);
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    bool ok() const { return ok_; }
    std::string_view view() const { return {data_, size_}; }

private:
    const char* data_ = "";
    std::size_t size_ = 0;
    std::unique_ptr<char[]> copy_;  // not zero-filled: every byte is read into
    bool ok_ = false;
};

// Creates or truncates `path` and streams pieces into it; `close()` reports whether every
// piece was written and the file closed cleanly.
class FileWriter {
public:
    explicit FileWriter(const std::string& path);
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    bool write(std::string_view piece);
    // Writes `piece` at `offset` without moving the stream position; may run on several
    // threads at once. Returns whether all of it was written. Regular files only (`seekable()`).
    bool write_at(std::uint64_t offset, std::string_view piece) const;
    // Allocates the file's blocks for [offset, offset + length) ahead of writing them, without
    // changing its size. A hint: where the file system cannot, nothing happens.
    void reserve(std::uint64_t offset, std::uint64_t length) const;
    bool seekable() const { return seekable_; }
    bool close();

private:
    int fd_ = -1;
    bool ok_ = false;
    bool seekable_ = false;  // a regular file, not a pipe or a device
};

// The file as an Output: in order, and at offsets from several threads when it is a regular
// file. The writer must outlive the Output.
Output file_output(FileWriter& file);

}  // namespace nubiro::io
