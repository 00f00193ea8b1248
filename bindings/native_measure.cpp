// nubiro._native: cloud-to-cloud and cloud-to-mesh distances.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"
#include "bindings/native_arrays.hpp"
#include "core/measure/nearest.hpp"
#include "core/measure/point_to_mesh.hpp"

namespace nubiro::py {
namespace {

using namespace native;

// (distances, indices) from each point of `a` to its nearest point of `b`.
PyObject* nearest_distances(Args& args) {
    PyObject* a = cloud_arg(args, 0);
    PyObject* b = cloud_arg(args, 1);
    Result<measure::Nearest> found = [&] {
        ReadAccess ra(a), rb(b);
        return released([&] {
            return measure::nearest_distances(cloud_of(a).points, cloud_of(b).points, "b");
        });
    }();
    if (!found) raise(found.error());
    Ref d = float64_array(found->distances);
    Ref i = int64_array(found->indices);
    return check(PyTuple_Pack(2, d.get(), i.get())).release();
}

// (distances, triangles, closest points)
PyObject* point_to_mesh(Args& args) {
    PyObject* cloud = cloud_arg(args, 0);
    PyObject* mesh = args.get<Instance<MeshObject>>(1).object();
    Result<measure::MeshDistances> found = [&] {
        ReadAccess rc(cloud), rm(mesh);
        return released([&] {
            const geometry::TriangleMesh& m = value_of<geometry::TriangleMesh>(mesh);
            return measure::point_to_mesh(cloud_of(cloud).points, m.vertices, m.triangles);
        });
    }();
    if (!found) raise(found.error());
    Ref d = float64_array(found->distances);
    Ref t = int64_array(found->triangles);
    Ref q = vector3_array(found->closest);
    return check(PyTuple_Pack(3, d.get(), t.get(), q.get())).release();
}

}  // namespace

void add_native_measure(PyObject* native) {
    add_functions(native, {
        function<"nearest_distances(a, b)", nearest_distances>(),
        function<"point_to_mesh(cloud, mesh)", point_to_mesh>(),
    });
}

}  // namespace nubiro::py
