// Element types shared by every core module. Plain aggregates with a fixed layout, so a
// growable array of them is a dense row-major (n, k) block that NumPy can view directly.
#pragma once
#include <array>
#include <cstdint>

namespace nubiro {

template <class Scalar, int K>
using Vec = std::array<Scalar, K>;

using Vector2d = Vec<double, 2>;
using Vector3d = Vec<double, 3>;
using Vector2i = Vec<std::int32_t, 2>;
using Vector3i = Vec<std::int32_t, 3>;
using Vector4i = Vec<std::int32_t, 4>;

// Row-major: m[i][j] is row i, column j.
using Matrix3d = std::array<Vector3d, 3>;
using Matrix4d = std::array<std::array<double, 4>, 4>;

inline Matrix3d identity3() { return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}; }
inline Matrix4d identity4() { return {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}}; }

}  // namespace nubiro
