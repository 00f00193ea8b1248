#include "bindings/orient_normals.hpp"

#include <optional>

#include "bindings/classes.hpp"
#include "core/geometry/orient_normals.hpp"
#include "core/geometry/orient_tangent_plane.hpp"
#include "bindings/module.hpp"

namespace nubiro::py {
namespace {

using Cloud = geometry::PointCloud;

// Runs one orientation with write access to the cloud and the interpreter lock released.
template <class F>
PyObject* orient(PyObject* self, F&& run) {
    std::optional<Error> error;
    {
        WriteAccess w(self);
        released([&] {
            error = run(value_of<Cloud>(self));
        });
    }
    if (error) raise(*error);
    return none();
}

}  // namespace

PyObject* orient_normals_to_align_with_direction(PyObject* self, Args& a) {
    const Vector3d reference = a.optional<Vector3d>(0).value_or(Vector3d{0.0, 0.0, 1.0});
    return orient(self, [&](Cloud& c) { return geometry::orient_normals_to_align_with_direction(c, reference); });
}

PyObject* orient_normals_towards_camera_location(PyObject* self, Args& a) {
    const Vector3d camera = a.optional<Vector3d>(0).value_or(Vector3d{0.0, 0.0, 0.0});
    return orient(self, [&](Cloud& c) { return geometry::orient_normals_towards_camera_location(c, camera); });
}

PyObject* orient_normals_consistent_tangent_plane(PyObject* self, Args& a) {
    const std::uint64_t k = a.get<std::uint64_t>(0);
    const double lambda = a.get<double>(1, 0.0);
    const double cos_alpha_tol = a.get<double>(2, 1.0);
    return orient(self, [&](Cloud& c) {
        return geometry::orient_normals_consistent_tangent_plane(c, k, lambda, cos_alpha_tol);
    });
}

namespace {

// Runs the consistent orientation on a cloud with normals and returns the seconds spent in
// its stages: (neighbourhoods, trees, propagation).
PyObject* orient_stage_timings(Args& a) {
    auto cloud = a.get<Instance<Object<Cloud>>>(0);
    const std::uint64_t k = a.get<std::uint64_t>(1);
    PyObject* self = cloud.object();
    geometry::TangentPlaneTimings t;
    {
        WriteAccess w(self);
        Cloud& c = value_of<Cloud>(self);
        if (!c.has_normals()) raise(PyExc_RuntimeError, "the cloud has no normals");
        released([&] {
            geometry::orient_normals_consistent_tangent_plane(c.points.span(), c.normals.span(), k, 0.0, 1.0, &t);
        });
    }
    return Py_BuildValue("(ddd)", t.neighbourhoods, t.trees, t.propagation);
}

}  // namespace

void add_orientation_hooks(PyObject* internal) {
    add_functions(internal, {function<"orient_stage_timings(cloud, k)", orient_stage_timings>()});
}

}  // namespace nubiro::py
