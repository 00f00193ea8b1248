// TriangleMesh: construction and copies, the five array views, queries, edits, rigid
// transforms and the normal computations.
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

// ---- edits (all arguments converted before the mesh changes) ---------------------------------

template <class F>
PyObject* edit(PyObject* self, F&& change) {
    WriteAccess w(self);
    change(mesh(self));
    return self_ref(self);
}

PyObject* transform(PyObject* self, Args& a) {
    Matrix4d t = a.get<Matrix4d>(0);
    return edit(self, [&](Mesh& m) { m.transform(t); });
}

PyObject* translate(PyObject* self, Args& a) {
    Vector3d t = a.get<Vector3d>(0);
    bool relative = a.get<bool>(1, true);
    return edit(self, [&](Mesh& m) { m.translate(t, relative); });
}

PyObject* scale(PyObject* self, Args& a) {
    double f = a.get<double>(0);
    Vector3d center = a.get<Vector3d>(1);
    return edit(self, [&](Mesh& m) { m.scale(f, center); });
}

PyObject* rotate(PyObject* self, Args& a) {
    Matrix3d r = a.get<Matrix3d>(0);
    auto center = a.optional<Vector3d>(1);
    return edit(self, [&](Mesh& m) { center ? m.rotate(r, *center) : m.rotate(r); });
}

PyObject* normalize_normals(PyObject* self, Args&) {
    return edit(self, [](Mesh& m) { m.normalize_normals(); });
}

PyObject* paint_uniform_color(PyObject* self, Args& a) {
    Vector3d color = a.get<Vector3d>(0);
    return edit(self, [&](Mesh& m) { m.paint_uniform_color(color); });
}

PyObject* compute_triangle_normals(PyObject* self, Args& a) {
    bool normalized = a.get<bool>(0, true);
    return edit(self, [&](Mesh& m) { m.compute_triangle_normals(normalized); });
}

PyObject* compute_vertex_normals(PyObject* self, Args& a) {
    bool normalized = a.get<bool>(0, true);
    return edit(self, [&](Mesh& m) { m.compute_vertex_normals(normalized); });
}

PyObject* clear(PyObject* self, Args&) {
    return edit(self, [](Mesh& m) { m.clear(); });
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
        method<"TriangleMesh.clear()", clear>(),
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
        method<"TriangleMesh.transform(transformation)", transform>(),
        method<"TriangleMesh.translate(translation, relative=True)", translate>(),
        method<"TriangleMesh.scale(scale, center)", scale>(),
        method<"TriangleMesh.rotate(r, center=None)", rotate>(),
        method<"TriangleMesh.normalize_normals()", normalize_normals>(),
        method<"TriangleMesh.paint_uniform_color(color)", paint_uniform_color>(),
        method<"TriangleMesh.compute_triangle_normals(normalized=True)", compute_triangle_normals>(),
        method<"TriangleMesh.compute_vertex_normals(normalized=True)", compute_vertex_normals>(),
    };
    add_type(module, make_value_class<Mesh>(std::move(cls)));
}

}  // namespace nubiro::py
