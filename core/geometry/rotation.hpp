// Rotation matrices from Euler angles, an axis-angle vector or a quaternion.
#pragma once
#include <array>

#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::geometry {

// Component i of `rotation` is the angle (radians) about the i-th axis named in the suffix;
// the elementary matrices are multiplied in suffix order, e.g. xyz gives Rx(a)*Ry(b)*Rz(c).
Matrix3d get_rotation_matrix_from_xyz(const Vector3d& rotation);
Matrix3d get_rotation_matrix_from_xzy(const Vector3d& rotation);
Matrix3d get_rotation_matrix_from_yxz(const Vector3d& rotation);
Matrix3d get_rotation_matrix_from_yzx(const Vector3d& rotation);
Matrix3d get_rotation_matrix_from_zxy(const Vector3d& rotation);
Matrix3d get_rotation_matrix_from_zyx(const Vector3d& rotation);

// `rotation` is the axis times the angle; a zero, tiny (<= 1e-12) or NaN vector gives identity.
Matrix3d get_rotation_matrix_from_axis_angle(const Vector3d& rotation);

// `rotation` is (w, x, y, z), normalised before use. ValueError when its squared norm is
// zero, infinite or NaN.
Result<Matrix3d> get_rotation_matrix_from_quaternion(const std::array<double, 4>& rotation);

}  // namespace nubiro::geometry
