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

// ---- attributes ------------------------------------------------------------------------------

int vertices_target, vertex_normals_target, vertex_colors_target, triangles_target, triangle_normals_target;

template <class E, int* Target>
PyObject* get_array(MeshObject* self) {
    ReadAccess r(&self->head.ob_base);
    return make_view<E>(&self->head.ob_base, *Target).release();
}

template <class E, Storage<E> Mesh::*Array>
void set_array(MeshObject* self, PyObject* value) {
    assign_attribute<E>(&self->head.ob_base, self->value.*Array, value);
}

template <class E, Storage<E> Mesh::*Array>
Storage<E>& view_storage(PyObject* owner) {
    return mesh(owner).*Array;
}

template <class E, Storage<E> Mesh::*Array>
int register_target() {
    return register_view_target<E>({type_of<MeshObject>, "view owner is not a TriangleMesh", view_storage<E, Array>});
}

template <class E, int* Target, Storage<E> Mesh::*Array>
PyGetSetDef array_property(const char* name) {
    return property<get_array<E, Target>, set_array<E, Array>>(name);
}

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
    vertices_target = register_target<Vector3d, &Mesh::vertices>();
    vertex_normals_target = register_target<Vector3d, &Mesh::vertex_normals>();
    vertex_colors_target = register_target<Vector3d, &Mesh::vertex_colors>();
    triangles_target = register_target<Vector3i, &Mesh::triangles>();
    triangle_normals_target = register_target<Vector3d, &Mesh::triangle_normals>();

    ClassSpec cls{kGeometry, "TriangleMesh", "(other=None)"};
    cls.base = mesh_base_type();
    cls.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"TriangleMesh(other=None)", init_copy<Mesh>>)},
                 {Py_tp_repr, reinterpret_cast<void*>(repr)}};
    cls.properties = {array_property<Vector3d, &vertices_target, &Mesh::vertices>("vertices"),
                      array_property<Vector3d, &vertex_normals_target, &Mesh::vertex_normals>("vertex_normals"),
                      array_property<Vector3d, &vertex_colors_target, &Mesh::vertex_colors>("vertex_colors"),
                      array_property<Vector3i, &triangles_target, &Mesh::triangles>("triangles"),
                      array_property<Vector3d, &triangle_normals_target, &Mesh::triangle_normals>("triangle_normals")};
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
