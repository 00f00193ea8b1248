// What each binding file contributes to the module tree (called by PyInit_pybind in order).
#pragma once
#include "bindings/py.hpp"

namespace nubiro::py {

inline constexpr const char* kGeometry = "nubiro.cpu.pybind.geometry";
inline constexpr const char* kUtility = "nubiro.cpu.pybind.utility";
inline constexpr const char* kIo = "nubiro.cpu.pybind.io";
inline constexpr const char* kRegistration = "nubiro.cpu.pybind.pipelines.registration";
inline constexpr const char* kRoot = "nubiro.cpu.pybind";
inline constexpr const char* kNative = "nubiro._native";

// Adds `obj` (a new reference, consumed) to `module` under `name`.
void add(PyObject* module, const char* name, Ref obj);
void add_type(PyObject* module, PyTypeObject* type);  // under the type's __name__

// geometry
void add_geometry_bases(PyObject* geometry);      // GeometryType, Geometry, Geometry3D, Geometry2D
void add_point_cloud(PyObject* geometry);         // PointCloud
void add_bounding_box(PyObject* geometry);        // AxisAlignedBoundingBox
void add_search_classes(PyObject* geometry);      // KDTreeSearchParam*, KDTreeFlann
void add_mesh_base(PyObject* geometry);           // MeshBase
void add_triangle_mesh(PyObject* geometry);       // TriangleMesh
void add_voxel_grid(PyObject* geometry);          // Voxel, VoxelGrid
void add_rotation_functions(PyObject* geometry);  // module-level names taken from Geometry3D
// utility
void add_containers(PyObject* utility);
void add_verbosity(PyObject* utility);
void add_random(PyObject* random);  // utility.random.seed
// io
void add_io(PyObject* io);             // FileGeometry and the read/write functions
// pipelines.registration
void add_feature(PyObject* registration);
void add_local_registration(PyObject* registration);  // RegistrationResult, estimators, ICP
void add_global_registration(PyObject* registration);  // FPFH, matching, checkers, RANSAC
// private hooks used by the test suite
void add_internal(PyObject* internal);
void add_random_hooks(PyObject* internal);
void add_internal_voxel_map(PyObject* internal);
void add_internal_voxel_grid(PyObject* internal);
void add_orientation_hooks(PyObject* internal);  // stage timings of the consistent orientation
// nubiro._native, the private module behind the package's top-level Python API (one file each)
void add_native_formats(PyObject* native);       // PCD and the other file formats
void add_native_filters(PyObject* native);       // outlier removal, selection, sampling
void add_native_segmentation(PyObject* native);  // planes, clusters
void add_native_measure(PyObject* native);       // cloud-to-cloud and cloud-to-mesh distances
void add_native_align(PyObject* native);         // covariances, generalized ICP, robust kernels
void add_native_operations(PyObject* native);    // Ctrl-C, cancellation and progress of long calls

PyTypeObject* geometry3d_type();
PyTypeObject* mesh_base_type();

}  // namespace nubiro::py

namespace nubiro::py {
Ref geometry_type(int value);  // a new GeometryType member
}

namespace nubiro::registration {
struct RegistrationResult;
}
namespace nubiro::py {
Ref new_registration_result(registration::RegistrationResult&& value);  // a new RegistrationResult
}

namespace nubiro::geometry {
struct AxisAlignedBoundingBox;
}
namespace nubiro::py {
Ref box_object(const geometry::AxisAlignedBoundingBox& box);  // a new AxisAlignedBoundingBox
}
