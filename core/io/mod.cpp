#include "core/io/mod.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "core/io/source.hpp"
#include "core/io/utf8.hpp"
#include "core/parallel.hpp"
#include "core/storage.hpp"
#include "core/io/xyz.hpp"

namespace nubiro::io {

// ---- files -----------------------------------------------------------------------------------

FileBytes::FileBytes(const std::string& path) {
    if (path.find('\0') != std::string::npos) return;  // would name another file
    // Non-blocking, so opening a FIFO without a writer cannot hang; only regular files are read
    // (a device such as /dev/zero would never end).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        ::close(fd);
        return;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == 0) {
        ok_ = true;
    } else {
        copy_.reset(new char[size]);
        advise_huge_pages(copy_.get(), size);  // a fresh multi-megabyte buffer faults far less
        // In pieces, so a watcher sees the bytes arrive and a stop request is heard.
        constexpr std::size_t kPiece = std::size_t{16} << 20;
        std::size_t done = 0;
        while (done < size) {
            parallel::report_progress("reading", done, size);
            if (parallel::cancel_requested()) {
                ::close(fd);
                throw parallel::Cancelled{};
            }
            const ssize_t n = ::read(fd, copy_.get() + done, std::min(kPiece, size - done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ok_ = done == size;
        data_ = copy_.get();
        size_ = ok_ ? size : 0;
    }
    ::close(fd);
}

FileBytes::~FileBytes() = default;

FileWriter::FileWriter(const std::string& path) {
    if (path.find('\0') != std::string::npos) return;
    // Non-blocking open: a FIFO without a reader fails at once instead of waiting.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd_ < 0) return;
    const int flags = ::fcntl(fd_, F_GETFL);
    ok_ = flags >= 0 && ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) == 0;
    struct stat st;
    seekable_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

FileWriter::~FileWriter() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileWriter::write(std::string_view piece) {
    while (ok_ && !piece.empty()) {
        const ssize_t n = ::write(fd_, piece.data(), piece.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok_ = false;
            break;
        }
        piece.remove_prefix(static_cast<std::size_t>(n));
    }
    return ok_;
}

bool FileWriter::write_at(std::uint64_t offset, std::string_view piece) const {
    if (!ok_) return false;
    while (!piece.empty()) {
        const ssize_t n = ::pwrite(fd_, piece.data(), piece.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        piece.remove_prefix(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

void FileWriter::reserve(std::uint64_t offset, std::uint64_t length) const {
#ifdef __linux__
    // A file system that allocates blocks lazily (ext4's delayed allocation) otherwise allocates
    // them all when the file is closed over a truncated one or renamed over another, in the
    // writer's own call: three times the cost of the write itself for a large body. Keeping the
    // size means a failed write still leaves only what was written.
    if (ok_ && seekable_ && length > 0)
        (void)::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length));
#else
    (void)offset;
    (void)length;
#endif
}

bool FileWriter::close() {
    if (fd_ < 0) return false;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return ok_ && closed;
}

// ---- dispatch --------------------------------------------------------------------------------

std::string resolve_format(std::string_view path, std::string_view format) {
    if (format != "auto") return std::string(format);
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return "";
    std::string ext(path.substr(dot + 1));
    // Lower-casing touches ASCII letters only (the only ones that can name a known format).
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

void remove_invalid_points(geometry::PointCloud& cloud, ReadOptions options) {
    if (!options.remove_nan_points && !options.remove_infinite_points) return;
    const std::size_t n = cloud.points.size();
    const bool normals = cloud.normals.size() == n, colors = cloud.colors.size() == n;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Vector3d& p = cloud.points[i];
        bool drop = false;
        for (double c : p) {
            drop = drop || (options.remove_nan_points && std::isnan(c)) || (options.remove_infinite_points && std::isinf(c));
        }
        if (drop) continue;
        cloud.points[kept] = cloud.points[i];
        if (normals) cloud.normals[kept] = cloud.normals[i];
        if (colors) cloud.colors[kept] = cloud.colors[i];
        ++kept;
    }
    cloud.points.resize(kept);
    if (normals) cloud.normals.resize(kept);
    if (colors) cloud.colors.resize(kept);
}

namespace {

geometry::PointCloud from_ply(const Source& source) {
    geometry::PointCloud cloud;
    if (auto read = ply::read_point_cloud(source)) {
        cloud.points = std::move(read->points);
        cloud.normals = std::move(read->normals);
        cloud.colors = std::move(read->colors);
    }
    return cloud;
}

}  // namespace

Output file_output(FileWriter& file) {
    Output out{[&file](std::string_view piece) { return file.write(piece); }, {}, {}};
    if (file.seekable()) {
        out.write_at = [&file](std::uint64_t offset, std::string_view piece) { return file.write_at(offset, piece); };
        out.reserve = [&file](std::uint64_t offset, std::uint64_t length) { file.reserve(offset, length); };
    }
    return out;
}

geometry::PointCloud read_point_cloud(const std::string& path, std::string_view format, ReadOptions options) {
    geometry::PointCloud cloud;
    const std::string resolved = resolve_format(path, format);
    if (resolved == "xyz") {
        FileBytes file(path);
        if (!file.ok() || !valid_utf8(file.view())) return cloud;
        cloud.points = xyz::read(file.view());
    } else if (resolved == "ply") {
        FileSource file(path);
        if (!file.ok()) return cloud;
        cloud = from_ply(file);
    } else {
        return cloud;
    }
    remove_invalid_points(cloud, options);
    return cloud;
}

geometry::PointCloud read_point_cloud_from_bytes(std::string_view bytes, std::string_view format, ReadOptions options) {
    geometry::PointCloud cloud;
    if (format != "mem::xyz") return cloud;
    cloud.points = xyz::read(bytes);
    remove_invalid_points(cloud, options);
    return cloud;
}

bool write_point_cloud(const std::string& path, const geometry::PointCloud& cloud, bool write_ascii) {
    const std::string format = resolve_format(path, "auto");
    if (format == "xyz") {
        FileWriter file(path);
        return file.write(xyz::write(cloud.points.span())) && file.close();
    }
    if (format != "ply" || cloud.points.size() == 0) return false;
    FileWriter file(path);
    const bool written = ply::write_point_cloud(cloud, write_ascii, file_output(file));
    return file.close() && written;
}

Result<std::string> write_point_cloud_to_bytes(const geometry::PointCloud& cloud, std::string_view format) {
    if (format != "mem::xyz") return value_error("unsupported byte format: " + std::string(format));
    return xyz::write(cloud.points.span());
}

geometry::TriangleMesh read_triangle_mesh(const std::string& path) {
    geometry::TriangleMesh mesh;
    if (resolve_format(path, "auto") != "ply") return mesh;
    FileSource file(path);
    if (!file.ok()) return mesh;
    if (auto read = ply::read_mesh(file)) {
        mesh.vertices = std::move(read->vertices);
        mesh.vertex_normals = std::move(read->vertex_normals);
        mesh.vertex_colors = std::move(read->vertex_colors);
        mesh.triangles = std::move(read->triangles);
    }
    return mesh;
}

bool write_triangle_mesh(const std::string& path, const geometry::TriangleMesh& mesh, bool write_ascii,
                         bool write_vertex_normals, bool write_vertex_colors) {
    const std::size_t n = mesh.vertices.size();
    if (resolve_format(path, "auto") != "ply" || n == 0) return false;
    std::span<const Vector3d> normals, colors;
    if (write_vertex_normals && mesh.vertex_normals.size() == n) normals = mesh.vertex_normals.span();
    if (write_vertex_colors && mesh.vertex_colors.size() == n) colors = mesh.vertex_colors.span();
    FileWriter file(path);
    const bool written =
        ply::write_mesh(mesh.vertices.span(), normals, colors, mesh.triangles.span(), write_ascii, file_output(file));
    return file.close() && written;
}

FileContents read_file_geometry_type(const std::string& path) {
    const std::string format = resolve_format(path, "auto");
    if (format == "xyz") return FileContents::Points;
    if (format != "ply") return FileContents::Unknown;
    FileSource file(path);
    if (!file.ok()) return FileContents::Unknown;
    const auto header = ply::read_header_of(file);
    if (!header || header->elements.empty()) return FileContents::Unknown;
    auto first = [&](std::string_view name) -> const ply::Element* {
        for (const auto& e : header->elements)
            if (e.name == name) return &e;
        return nullptr;
    };
    if (const auto* face = first("face"); face && face->count > 0) {
        for (const auto& p : face->properties)
            if (p.name == "vertex_indices" || p.name == "vertex_index") return FileContents::Triangles;
    }
    if (const auto* vertex = first("vertex"); vertex && vertex->count > 0) return FileContents::Points;
    return FileContents::Unknown;
}

}  // namespace nubiro::io
