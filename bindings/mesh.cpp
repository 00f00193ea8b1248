// TriangleMesh: construction and copies, the five array views, queries, edits, rigid
// transforms and the normal computations.
#include "bindings/edits.hpp"
#include "bindings/module.hpp"
#include "bindings/vectors.hpp"
#include "core/geometry/bounding_box.hpp"
#include "core/geometry/mesh.hpp"

namespace nubiro::py {
namespace {

using Mesh = geometry::TriangleMesh;
using MeshObject = Object<Mesh>;

Mesh& mesh(PyObject* self) { return value_of<Mesh>(self); }

// ---- queries ---------------------------------------------------------------------------------

template <auto Query>
PyObject* read(PyObject* self, Args&) {
    ReadAccess r(self);
    return Query(mesh(self));
}

PyObject* bounding_box(const Mesh& m) {
    return box_object(geometry::AxisAlignedBoundingBox::from_bounds(m.get_min_bound(), m.get_max_bound())).release();
}

PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        const Mesh& m = mesh(self);
        std::string text = "TriangleMesh with " + std::to_string(m.vertices.size()) + " vertices and " +
                           std::to_string(m.triangles.size()) + " triangles.";
        return PyUnicode_FromString(text.c_str());
    });
}

// ---- normals (the shared edits are in bindings/edits.hpp) -------------------------------------

PyObject* compute_triangle_normals(PyObject* self, Args& a) {
    bool normalized = a.get<bool>(0, true);
    return edits::edit<Mesh>(self, [&](Mesh& m) { m.compute_triangle_normals(normalized); });
}

PyObject* compute_vertex_normals(PyObject* self, Args& a) {
    bool normalized = a.get<bool>(0, true);
    return edits::edit<Mesh>(self, [&](Mesh& m) { m.compute_vertex_normals(normalized); });
}

}  // namespace

void add_triangle_mesh(PyObject* module) {
    ClassSpec cls{kGeometry, "TriangleMesh", "(other=None)"};
    cls.base = mesh_base_type();
    cls.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"TriangleMesh(other=None)", init_copy<Mesh>>)},
                 {Py_tp_repr, reinterpret_cast<void*>(repr)}};
    constexpr const char* wrong_owner = "view owner is not a TriangleMesh";
    cls.properties = {array_field<&Mesh::vertices>("vertices", wrong_owner),
                      array_field<&Mesh::vertex_normals>("vertex_normals", wrong_owner),
                      array_field<&Mesh::vertex_colors>("vertex_colors", wrong_owner),
                      array_field<&Mesh::triangles>("triangles", wrong_owner),
                      array_field<&Mesh::triangle_normals>("triangle_normals", wrong_owner)};
    cls.methods = {
        method<"TriangleMesh.__copy__()", deep_copy<Mesh>>(),
        method<"TriangleMesh.__deepcopy__(_memo)", deep_copy<Mesh>>(),
        method<"TriangleMesh.clear()", edits::clear<Mesh>>(),
        method<"TriangleMesh.is_empty()", read<[](const Mesh& m) { return boolean(m.is_empty()); }>>(),
        method<"TriangleMesh.dimension()", read<[](const Mesh&) { return PyLong_FromLong(3); }>>(),
        method<"TriangleMesh.get_geometry_type()", read<[](const Mesh&) { return geometry_type(6).release(); }>>(),
        method<"TriangleMesh.has_vertices()", read<[](const Mesh& m) { return boolean(m.has_vertices()); }>>(),
        method<"TriangleMesh.has_vertex_normals()", read<[](const Mesh& m) { return boolean(m.has_vertex_normals()); }>>(),
        method<"TriangleMesh.has_vertex_colors()", read<[](const Mesh& m) { return boolean(m.has_vertex_colors()); }>>(),
        method<"TriangleMesh.has_triangles()", read<[](const Mesh& m) { return boolean(m.has_triangles()); }>>(),
        method<"TriangleMesh.has_triangle_normals()", read<[](const Mesh& m) { return boolean(m.has_triangle_normals()); }>>(),
        method<"TriangleMesh.get_min_bound()", read<[](const Mesh& m) { return result(m.get_min_bound()); }>>(),
        method<"TriangleMesh.get_max_bound()", read<[](const Mesh& m) { return result(m.get_max_bound()); }>>(),
        method<"TriangleMesh.get_center()", read<[](const Mesh& m) { return result(m.get_center()); }>>(),
        method<"TriangleMesh.get_axis_aligned_bounding_box()", read<bounding_box>>(),
        method<"TriangleMesh.transform(transformation)", edits::transform<Mesh>>(),
        method<"TriangleMesh.translate(translation, relative=True)", edits::translate<Mesh>>(),
        method<"TriangleMesh.scale(scale, center)", edits::scale<Mesh>>(),
        method<"TriangleMesh.rotate(r, center=None)", edits::rotate<Mesh>>(),
        method<"TriangleMesh.normalize_normals()", edits::normalize_normals<Mesh>>(),
        method<"TriangleMesh.paint_uniform_color(color)", edits::paint_uniform_color<Mesh>>(),
        method<"TriangleMesh.compute_triangle_normals(normalized=True)", compute_triangle_normals>(),
        method<"TriangleMesh.compute_vertex_normals(normalized=True)", compute_vertex_normals>(),
    };
    add_type(module, make_value_class<Mesh>(std::move(cls)));
}

}  // namespace nubiro::py
