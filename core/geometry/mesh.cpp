#include "core/geometry/mesh.hpp"

#include "core/geometry/point_cloud.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::geometry {
namespace {

constexpr std::size_t kParallelMin = 100'000;
constexpr std::size_t kMinChunk = 16'384;

// Calls body(begin, end) over ranges covering [0, n); only large ranges go to the pool.
template <class Body>
void for_ranges(std::size_t n, Body body) {
    if (n < kParallelMin) {
        body(std::size_t{0}, n);
        return;
    }
    parallel::parallel_for_chunks(n, body, kMinChunk);
}

inline bool valid(std::int32_t index, std::size_t vertex_count) {
    return index >= 0 && static_cast<std::size_t>(index) < vertex_count;
}

inline bool valid(const Vector3i& t, std::size_t vertex_count) {
    return valid(t[0], vertex_count) && valid(t[1], vertex_count) && valid(t[2], vertex_count);
}

// (b - a) x (c - a), component by component.
inline Vector3d face_normal(const Vector3d& a, const Vector3d& b, const Vector3d& c) {
    return cross(sub(b, a), sub(c, a));
}

}  // namespace

Vector3d TriangleMesh::get_min_bound() const { return min_bound(vertices.span()); }
Vector3d TriangleMesh::get_max_bound() const { return max_bound(vertices.span()); }
Vector3d TriangleMesh::get_center() const { return center(vertices.span()); }

TriangleMesh& TriangleMesh::clear() {
    vertices.clear();
    vertex_normals.clear();
    vertex_colors.clear();
    triangles.clear();
    triangle_normals.clear();
    return *this;
}

TriangleMesh& TriangleMesh::normalize_normals() {
    normalize_vectors(vertex_normals.span());
    normalize_vectors(triangle_normals.span());
    return *this;
}

TriangleMesh& TriangleMesh::paint_uniform_color(const Vector3d& color) {
    const Vector3d c = clamp_color(color);
    vertex_colors.clear();
    vertex_colors.resize(vertices.size(), c);
    return *this;
}

TriangleMesh& TriangleMesh::transform(const Matrix4d& t) {
    transform_points(vertices.span(), t);
    if (has_vertex_normals()) transform_normals(vertex_normals.span(), t);
    // Triangle normals follow their own count, also when there are no vertices.
    if (has_triangle_normals()) transform_normals(triangle_normals.span(), t);
    return *this;
}

TriangleMesh& TriangleMesh::translate(const Vector3d& t, bool relative) {
    if (is_empty()) return *this;
    Vector3d d = t;
    if (!relative) {
        const Vector3d c = get_center();
        d = sub(t, c);
    }
    translate_points(vertices.span(), d);
    return *this;
}

TriangleMesh& TriangleMesh::scale(double factor, const Vector3d& c) {
    scale_points(vertices.span(), factor, c);
    return *this;
}

TriangleMesh& TriangleMesh::rotate(const Matrix3d& r, const Vector3d& c) {
    rotate_points(vertices.span(), r, c);
    if (has_vertex_normals()) rotate_vectors(vertex_normals.span(), r);
    if (has_triangle_normals()) rotate_vectors(triangle_normals.span(), r);
    return *this;
}

TriangleMesh& TriangleMesh::rotate(const Matrix3d& r) { return rotate(r, get_center()); }

TriangleMesh& TriangleMesh::compute_triangle_normals(bool normalized) {
    if (!has_vertices() || !has_triangles()) return *this;
    const std::size_t nv = vertices.size();
    const Vector3d* v = vertices.data();
    const Vector3i* tri = triangles.data();
    Storage<Vector3d> normals;
    normals.resize_for_overwrite(triangles.size());
    Vector3d* out = normals.data();
    for_ranges(triangles.size(), [=](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const Vector3i& t = tri[i];
            out[i] = valid(t, nv) ? face_normal(v[t[0]], v[t[1]], v[t[2]]) : Vector3d{0, 0, 0};
        }
    });
    triangle_normals = std::move(normals);
    if (normalized) normalize_normals();
    return *this;
}

TriangleMesh& TriangleMesh::compute_vertex_normals(bool normalized) {
    if (!has_vertices() || !has_triangles()) return *this;
    if (triangle_normals.size() != triangles.size()) compute_triangle_normals(false);
    const std::size_t nv = vertices.size();
    Storage<Vector3d> sums;
    sums.resize(nv, Vector3d{0, 0, 0});
    Vector3d* acc = sums.data();
    const Vector3i* tri = triangles.data();
    const Vector3d* fn = triangle_normals.data();
    // Every vertex sums its faces in triangle order, so this loop stays in that order.
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        const Vector3i& t = tri[i];
        if (!valid(t, nv)) continue;
        const Vector3d n = fn[i];
        for (const std::int32_t k : t) {
            Vector3d& s = acc[k];
            s = add(s, n);
        }
    }
    vertex_normals = std::move(sums);
    if (normalized) normalize_normals();
    return *this;
}

}  // namespace nubiro::geometry
