// The geometry base classes, GeometryType and the rotation-matrix functions.
#include "bindings/enums.hpp"
#include "bindings/module.hpp"
#include "core/geometry/rotation.hpp"

namespace nubiro::py {

namespace {

PyTypeObject* geometry_type_enum = nullptr;
PyTypeObject* geometry3d = nullptr;
PyTypeObject* mesh_base = nullptr;

template <Matrix3d (*Rotation)(const Vector3d&)>
PyObject* euler(Args& a) {
    return result(Rotation(a.get<Vector3d>(0)));
}

PyObject* quaternion(Args& a) {
    return result(unwrap(geometry::get_rotation_matrix_from_quaternion(a.get<Vector4d>(0))));
}

PyTypeObject* make_base(const char* name, PyTypeObject* base, std::vector<PyMethodDef> methods = {}) {
    ClassSpec cls{kGeometry, name};
    cls.base = base;
    cls.subclassable = true;
    cls.methods = std::move(methods);
    return make_class(std::move(cls));
}

}  // namespace

Ref geometry_type(int value) { return enum_member(geometry_type_enum, value); }
PyTypeObject* geometry3d_type() { return geometry3d; }
PyTypeObject* mesh_base_type() { return mesh_base; }

void add_geometry_bases(PyObject* module) {
    using namespace geometry;
    geometry_type_enum = make_enum({kGeometry, "GeometryType", "<Type.",
                                    {{"Unspecified", 0},
                                     {"PointCloud", 1},
                                     {"VoxelGrid", 2},
                                     {"TriangleMesh", 6},
                                     {"AxisAlignedBoundingBox", 12}}});
    add_type(module, geometry_type_enum);

    PyTypeObject* base = make_base("Geometry", nullptr);
    auto* base_obj = reinterpret_cast<PyObject*>(base);
    check(PyObject_SetAttrString(base_obj, "Type", reinterpret_cast<PyObject*>(geometry_type_enum)));
    for (auto [name, value] : {std::pair{"Unspecified", 0}, {"PointCloud", 1}, {"VoxelGrid", 2}, {"TriangleMesh", 6}})
        check(PyObject_SetAttrString(base_obj, name, geometry_type(value).get()));
    add_type(module, base);

    geometry3d = make_base(
        "Geometry3D", base,
        {static_method<"Geometry3D.get_rotation_matrix_from_xyz(rotation)", euler<get_rotation_matrix_from_xyz>>(),
         static_method<"Geometry3D.get_rotation_matrix_from_yzx(rotation)", euler<get_rotation_matrix_from_yzx>>(),
         static_method<"Geometry3D.get_rotation_matrix_from_zxy(rotation)", euler<get_rotation_matrix_from_zxy>>(),
         static_method<"Geometry3D.get_rotation_matrix_from_xzy(rotation)", euler<get_rotation_matrix_from_xzy>>(),
         static_method<"Geometry3D.get_rotation_matrix_from_zyx(rotation)", euler<get_rotation_matrix_from_zyx>>(),
         static_method<"Geometry3D.get_rotation_matrix_from_yxz(rotation)", euler<get_rotation_matrix_from_yxz>>(),
         static_method<"Geometry3D.get_rotation_matrix_from_axis_angle(rotation)",
                       euler<get_rotation_matrix_from_axis_angle>>(),
         static_method<"Geometry3D.get_rotation_matrix_from_quaternion(rotation)", quaternion>()});
    add_type(module, geometry3d);
    add_type(module, make_base("Geometry2D", base));
}

void add_mesh_base(PyObject* module) {
    mesh_base = make_base("MeshBase", geometry3d);
    add_type(module, mesh_base);
}

void add_rotation_functions(PyObject* module) {
    for (const char* name : {"get_rotation_matrix_from_xyz", "get_rotation_matrix_from_yzx", "get_rotation_matrix_from_zxy",
                             "get_rotation_matrix_from_xzy", "get_rotation_matrix_from_zyx", "get_rotation_matrix_from_yxz",
                             "get_rotation_matrix_from_axis_angle", "get_rotation_matrix_from_quaternion"})
        add(module, name, check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(geometry3d), name)));
}

}  // namespace nubiro::py
