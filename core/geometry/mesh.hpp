// The triangle mesh record: vertices with optional per-vertex normals and colours, triangles as
// vertex-index triples with optional per-triangle normals, and the two normal computations.
//
// Like the point cloud's, the five arrays are independent: their lengths are not kept in step
// and triangle indices are not validated when stored. An index is valid when it lies in
// [0, vertex count); everything that follows an index checks it first.
#pragma once
#include <span>

#include "core/storage.hpp"
#include "core/types.hpp"

namespace nubiro::geometry {

struct TriangleMesh {
    Storage<Vector3d> vertices;
    Storage<Vector3d> vertex_normals;
    Storage<Vector3d> vertex_colors;
    Storage<Vector3i> triangles;
    Storage<Vector3d> triangle_normals;

    bool has_vertices() const { return vertices.size() > 0; }
    bool has_vertex_normals() const { return has_vertices() && vertex_normals.size() == vertices.size(); }
    bool has_vertex_colors() const { return has_vertices() && vertex_colors.size() == vertices.size(); }
    bool has_triangles() const { return triangles.size() > 0; }
    bool has_triangle_normals() const { return has_triangles() && triangle_normals.size() == triangles.size(); }
    bool is_empty() const { return vertices.size() == 0; }

    Vector3d get_min_bound() const;  // over the vertices, as for point clouds
    Vector3d get_max_bound() const;
    Vector3d get_center() const;

    // In-place edits; each returns the mesh.
    TriangleMesh& clear();
    TriangleMesh& normalize_normals();  // vertex normals, then triangle normals
    TriangleMesh& paint_uniform_color(const Vector3d& color);
    TriangleMesh& transform(const Matrix4d& transformation);
    TriangleMesh& translate(const Vector3d& translation, bool relative = true);
    TriangleMesh& scale(double factor, const Vector3d& center);
    TriangleMesh& rotate(const Matrix3d& r, const Vector3d& center);
    TriangleMesh& rotate(const Matrix3d& r);  // about get_center()

    // One unnormalised cross product (b - a) x (c - a) per triangle; (0, 0, 0) for a triangle
    // with an invalid index. Nothing happens without vertices or triangles.
    TriangleMesh& compute_triangle_normals(bool normalized = true);
    // Per vertex, the triangle normals of the valid triangles using it, summed in triangle
    // order. Triangle normals are computed first unless there is one per triangle already.
    TriangleMesh& compute_vertex_normals(bool normalized = true);
};

}  // namespace nubiro::geometry
