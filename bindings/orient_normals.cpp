#include "bindings/orient_normals.hpp"

#include <optional>

#include "bindings/classes.hpp"
#include "core/geometry/orient_normals.hpp"

namespace nubiro::py {
namespace {

using Cloud = geometry::PointCloud;

// Runs one orientation with write access to the cloud and the interpreter lock released.
template <class F>
PyObject* orient(PyObject* self, F&& run) {
    std::optional<Error> error;
    {
        WriteAccess w(self);
        ReleaseGil unlocked;
        error = run(value_of<Cloud>(self));
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

}  // namespace nubiro::py
