#include "core/geometry/rotation.hpp"

#include <cmath>

namespace nubiro::geometry {
namespace {

Matrix3d rx(double t) {
    const double c = std::cos(t), s = std::sin(t);
    return {{{1, 0, 0}, {0, c, -s}, {0, s, c}}};
}
Matrix3d ry(double t) {
    const double c = std::cos(t), s = std::sin(t);
    return {{{c, 0, s}, {0, 1, 0}, {-s, 0, c}}};
}
Matrix3d rz(double t) {
    const double c = std::cos(t), s = std::sin(t);
    return {{{c, -s, 0}, {s, c, 0}, {0, 0, 1}}};
}

Matrix3d operator*(const Matrix3d& a, const Matrix3d& b) {
    Matrix3d m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = (a[i][0] * b[0][j] + a[i][1] * b[1][j]) + a[i][2] * b[2][j];
    return m;
}

}  // namespace

Matrix3d get_rotation_matrix_from_xyz(const Vector3d& r) { return rx(r[0]) * ry(r[1]) * rz(r[2]); }
Matrix3d get_rotation_matrix_from_xzy(const Vector3d& r) { return rx(r[0]) * rz(r[1]) * ry(r[2]); }
Matrix3d get_rotation_matrix_from_yxz(const Vector3d& r) { return ry(r[0]) * rx(r[1]) * rz(r[2]); }
Matrix3d get_rotation_matrix_from_yzx(const Vector3d& r) { return ry(r[0]) * rz(r[1]) * rx(r[2]); }
Matrix3d get_rotation_matrix_from_zxy(const Vector3d& r) { return rz(r[0]) * rx(r[1]) * ry(r[2]); }
Matrix3d get_rotation_matrix_from_zyx(const Vector3d& r) { return rz(r[0]) * ry(r[1]) * rx(r[2]); }

Matrix3d get_rotation_matrix_from_axis_angle(const Vector3d& v) {
    const double theta = std::sqrt(v[2] * v[2] + (v[0] * v[0] + v[1] * v[1]));
    if (!(theta > 1e-12)) return identity3();  // also catches NaN
    const double x = v[0] / theta, y = v[1] / theta, z = v[2] / theta;
    const double c = std::cos(theta), s = std::sin(theta), k = 1 - c;
    return {{
        {c + k * x * x, k * x * y - s * z, k * x * z + s * y},
        {k * x * y + s * z, c + k * y * y, k * y * z - s * x},
        {k * x * z - s * y, k * y * z + s * x, c + k * z * z},
    }};
}

Result<Matrix3d> get_rotation_matrix_from_quaternion(const std::array<double, 4>& q) {
    double w = q[0], x = q[1], y = q[2], z = q[3];
    const double n2 = (y * y + w * w) + (x * x + z * z);
    if (!(std::isfinite(n2) && n2 > 0)) return value_error("quaternion must be finite and have non-zero norm");
    const double n = std::sqrt(n2);
    w /= n;
    x /= n;
    y /= n;
    z /= n;
    return Matrix3d{{
        {1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
        {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
        {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)},
    }};
}

}  // namespace nubiro::geometry
