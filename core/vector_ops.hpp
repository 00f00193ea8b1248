// Small fixed-size vector and matrix arithmetic, written once for every module.
//
// Evaluation order: a sum of n terms is evaluated left to right, ((t0 + t1) + t2) + ..., each
// term a single product; nothing is fused into a multiply-add (the build passes
// -ffp-contract=off) and nothing is reassociated. Results promised bit for bit (normals,
// registration, mesh reading) depend on this order, so a caller that needs a different order
// writes it out where it is used, with a comment saying why.
#pragma once
#include <cmath>

#include "core/types.hpp"

namespace nubiro {

inline Vector3d add(const Vector3d& a, const Vector3d& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vector3d sub(const Vector3d& a, const Vector3d& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

inline double dot(const Vector3d& a, const Vector3d& b) { return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]; }
inline double squared_norm(const Vector3d& a) { return dot(a, a); }

inline Vector3d cross(const Vector3d& a, const Vector3d& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// |a - b|^2 from the three differences.
inline double squared_distance(const Vector3d& a, const Vector3d& b) {
    const double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return (dx * dx + dy * dy) + dz * dz;
}

// R p + t with R and t the upper 3x4 block of a 4x4 transformation.
inline Vector3d apply(const Matrix4d& t, const Vector3d& p) {
    return {((t[0][0] * p[0] + t[0][1] * p[1]) + t[0][2] * p[2]) + t[0][3],
            ((t[1][0] * p[0] + t[1][1] * p[1]) + t[1][2] * p[2]) + t[1][3],
            ((t[2][0] * p[0] + t[2][1] * p[1]) + t[2][2] * p[2]) + t[2][3]};
}

// R v with R the upper-left 3x3 block of a 4x4 transformation (a direction: no translation).
inline Vector3d apply_linear(const Matrix4d& t, const Vector3d& v) {
    return {(t[0][0] * v[0] + t[0][1] * v[1]) + t[0][2] * v[2],
            (t[1][0] * v[0] + t[1][1] * v[1]) + t[1][2] * v[2],
            (t[2][0] * v[0] + t[2][1] * v[1]) + t[2][2] * v[2]};
}

// a b for 4x4 matrices.
inline Matrix4d multiply(const Matrix4d& a, const Matrix4d& b) {
    Matrix4d out;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            out[i][j] = ((a[i][0] * b[0][j] + a[i][1] * b[1][j]) + a[i][2] * b[2][j]) + a[i][3] * b[3][j];
    return out;
}

// True when all three coordinates are finite (no NaN, no infinity).
inline bool is_finite(const Vector3d& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// True when no entry of a fixed-size matrix (rows of doubles) is NaN or infinite.
template <class Matrix>
bool all_finite(const Matrix& m) {
    for (const auto& row : m)
        for (const double e : row)
            if (!std::isfinite(e)) return false;
    return true;
}

}  // namespace nubiro
