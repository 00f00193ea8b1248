// PointCloud methods that choose the signs of the normals.
#pragma once
#include "bindings/args.hpp"

namespace nubiro::py {

PyObject* orient_normals_to_align_with_direction(PyObject* self, Args& a);
PyObject* orient_normals_towards_camera_location(PyObject* self, Args& a);
PyObject* orient_normals_consistent_tangent_plane(PyObject* self, Args& a);

inline constexpr char kAlignWithDirectionDoc[] =
    "Function to orient the normals of a point cloud.\n\nArgs:\n    orientation_reference "
    "(numpy.ndarray[numpy.float64[3, 1]],\n        optional, default=array([0., 0., 1.])): Normals are oriented\n"
    "        with respect to orientation_reference.\n\nReturns:\n    None";
inline constexpr char kTowardsCameraDoc[] =
    "Function to orient the normals of a point cloud.\n\nArgs:\n    camera_location "
    "(numpy.ndarray[numpy.float64[3, 1]], optional,\n        default=array([0., 0., 0.])): Normals are oriented with\n"
    "        towards the camera_location.\n\nReturns:\n    None";
inline constexpr char kTangentPlaneDoc[] =
    "Function to consistently orient the normals of a point cloud based\non tangent planes.\n\nArgs:\n"
    "    k (int): Number of k nearest neighbors used in constructing the\n        Riemannian graph used to "
    "propagate normal orientation.\n    lambda (float, optional, default=0.0): penalty constant on the\n"
    "        distance to the tangent plane.\n    cos_alpha_tol (float, optional, default=1.0): treshold that\n"
    "        defines the amplitude of the cone spanned by the reference\n        normal.\n\nReturns:\n    None";

}  // namespace nubiro::py
