// The io submodule: FileGeometry and the read/write functions for files and byte strings.
// File problems never raise: readers give empty objects, writers False.
#include "bindings/enums.hpp"
#include "bindings/module.hpp"
#include "core/io/mod.hpp"

namespace nubiro::py {
namespace {

using Cloud = geometry::PointCloud;
using CloudObject = Object<Cloud>;
using Mesh = geometry::TriangleMesh;
using MeshObject = Object<Mesh>;

PyTypeObject* file_geometry = nullptr;

PyObject* new_cloud(Cloud&& value) {
    Ref out = new_object<Cloud>(type_of<CloudObject>());
    value_of<Cloud>(out.get()) = std::move(value);
    return out.release();
}

io::ReadOptions read_options(Args& a) {
    io::ReadOptions options;
    options.remove_nan_points = a.get<bool>(2, false);
    options.remove_infinite_points = a.get<bool>(3, false);
    a.get<bool>(4, false);  // print_progress: checked, no effect
    return options;
}

PyObject* read_point_cloud(Args& a) {
    Path path = a.get<Path>(0);
    std::string format = a.get<std::string>(1, "auto");
    io::ReadOptions options = read_options(a);
    Cloud cloud;
    {
        released([&] {
            cloud = io::read_point_cloud(path.native, format, options);
        });
    }
    return new_cloud(std::move(cloud));
}

PyObject* read_point_cloud_from_bytes(Args& a) {
    Bytes bytes = a.get<Bytes>(0);
    std::string format = a.get<std::string>(1, "auto");
    io::ReadOptions options = read_options(a);
    return new_cloud(io::read_point_cloud_from_bytes(bytes.data, format, options));
}

PyObject* write_point_cloud(Args& a) {
    Path path = a.get<Path>(0);
    auto cloud = a.get<Instance<CloudObject>>(1);
    a.get<std::string>(2, "auto");  // the file name decides the format
    bool write_ascii = a.get<bool>(3, false);
    a.get<bool>(4, false);  // compressed
    a.get<bool>(5, false);  // print_progress
    ReadAccess r(cloud.object());
    bool written;
    {
        released([&] {
            written = io::write_point_cloud(path.native, cloud.ptr->value, write_ascii);
        });
    }
    return boolean(written);
}

PyObject* write_point_cloud_to_bytes(Args& a) {
    auto cloud = a.get<Instance<CloudObject>>(0);
    std::string format = a.get<std::string>(1, "auto");
    a.get<bool>(2, false);  // write_ascii
    a.get<bool>(3, false);  // compressed
    a.get<bool>(4, false);  // print_progress
    ReadAccess r(cloud.object());
    std::string text = unwrap(io::write_point_cloud_to_bytes(cloud.ptr->value, format));
    return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* read_triangle_mesh(Args& a) {
    Path path = a.get<Path>(0);
    a.get<bool>(1, false);  // enable_post_processing
    a.get<bool>(2, false);  // print_progress
    Ref out = new_object<Mesh>(type_of<MeshObject>());
    value_of<Mesh>(out.get()) = io::read_triangle_mesh(path.native);
    return out.release();
}

PyObject* write_triangle_mesh(Args& a) {
    Path path = a.get<Path>(0);
    auto mesh = a.get<Instance<MeshObject>>(1);
    bool write_ascii = a.get<bool>(2, false);
    a.get<bool>(3, false);  // compressed
    bool write_vertex_normals = a.get<bool>(4, true);
    bool write_vertex_colors = a.get<bool>(5, false);
    a.get<bool>(6, false);  // write_triangle_uvs
    a.get<bool>(7, false);  // print_progress
    ReadAccess r(mesh.object());
    return boolean(io::write_triangle_mesh(path.native, mesh.ptr->value, write_ascii, write_vertex_normals,
                                           write_vertex_colors));
}

PyObject* read_file_geometry_type(Args& a) {
    Path path = a.get<Path>(0);
    return enum_member(file_geometry, static_cast<int>(io::read_file_geometry_type(path.native))).release();
}

}  // namespace

void add_io(PyObject* module) {
    static const std::vector<std::pair<const char*, int>> members = {
        {"CONTENTS_UNKNOWN", 0}, {"CONTAINS_POINTS", 1}, {"CONTAINS_LINES", 2}, {"CONTAINS_TRIANGLES", 4}};
    file_geometry = make_enum({kIo, "FileGeometry", "<FileGeometry.", members});
    for (auto [name, value] : members)
        check(PyObject_SetAttrString(reinterpret_cast<PyObject*>(file_geometry), name,
                                     enum_member(file_geometry, value).get()));
    add_type(module, file_geometry);
    for (auto [name, value] : members)
        add(module, name, check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(file_geometry), name)));

    add_functions(module,
                  {function<"read_file_geometry_type(filename)", read_file_geometry_type>(),
                   function<"read_point_cloud(filename, format=\"auto\", remove_nan_points=False, "
                            "remove_infinite_points=False, print_progress=False)",
                            read_point_cloud>(),
                   function<"read_point_cloud_from_bytes(bytes, format=\"auto\", remove_nan_points=False, "
                            "remove_infinite_points=False, print_progress=False)",
                            read_point_cloud_from_bytes>(),
                   function<"write_point_cloud(filename, pointcloud, format=\"auto\", write_ascii=False, "
                            "compressed=False, print_progress=False)",
                            write_point_cloud>(),
                   function<"write_point_cloud_to_bytes(pointcloud, format=\"auto\", write_ascii=False, "
                            "compressed=False, print_progress=False)",
                            write_point_cloud_to_bytes>(),
                   function<"read_triangle_mesh(filename, enable_post_processing=False, print_progress=False)",
                            read_triangle_mesh>(),
                   function<"write_triangle_mesh(filename, mesh, write_ascii=False, compressed=False, "
                            "write_vertex_normals=True, write_vertex_colors=False, write_triangle_uvs=False, "
                            "print_progress=False)",
                            write_triangle_mesh>()});
}

}  // namespace nubiro::py
