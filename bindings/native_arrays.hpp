// Shared by the nubiro._native files that take and return clouds with point numbers: int64
// arrays both ways, new clouds, and running a cloud operation with the interpreter lock released.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "bindings/classes.hpp"
#include "bindings/numpy.hpp"
#include "core/geometry/mesh.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/result.hpp"

namespace nubiro::py::native {

using Cloud = geometry::PointCloud;
using CloudObject = Object<Cloud>;
using MeshObject = Object<geometry::TriangleMesh>;

// A new 1-D int64 / float64 array holding a copy of `values`.
Ref int64_array(std::span<const std::int64_t> values);
Ref float64_array(std::span<const double> values);
// A new (n, 3) float64 array.
Ref vector3_array(std::span<const Vector3d> values);

// The values of a 1-D C-contiguous native int64 array (borrowed; the caller keeps it alive);
// a TypeError naming `name` otherwise.
std::span<const std::int64_t> int64_values(PyObject* o, const char* name);

// A new PointCloud object holding `cloud`.
Ref cloud_object(Cloud&& cloud);

// The cloud argument at position i.
inline PyObject* cloud_arg(Args& a, std::size_t i) { return a.get<Instance<CloudObject>>(i).object(); }
inline const Cloud& cloud_of(PyObject* o) { return value_of<Cloud>(o); }

// Runs `work(cloud)` under read access to the cloud with the interpreter lock released, then
// raises the error value it may return. Work must not touch Python objects.
template <class Work>
auto with_cloud(PyObject* cloud, Work&& work) {
    auto result = [&] {
        ReadAccess r(cloud);
        return released([&] {
            return work(cloud_of(cloud));
        });
    }();
    if (!result) raise(result.error());
    return std::move(result.value());
}

// (cloud, indices) tuple for a selection result.
PyObject* selection_tuple(Cloud&& cloud, std::span<const std::int64_t> indices);

}  // namespace nubiro::py::native
