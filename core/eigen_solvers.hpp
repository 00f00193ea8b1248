// Small dense solvers with a fixed sequence of floating-point operations: a 3x3 singular value
// decomposition (two-sided Jacobi), a 6x6 symmetric solve (LDL^T with diagonal pivoting) and
// two ways to the eigenvector of the smallest eigenvalue of a symmetric 3x3 matrix (closed form
// and iterative), used by normal estimation.
// Registration results and the sign of every normal depend on their exact steps, thresholds and
// fall-backs, so each follows one recipe operation by operation; do not replace them with a
// library call.
#pragma once
#include <array>
#include <optional>

#include "core/types.hpp"

namespace nubiro {

using Vector6d = std::array<double, 6>;
using Matrix6d = std::array<Vector6d, 6>;  // row-major

struct Svd3 {
    Matrix3d u;      // left singular vectors in the columns
    Vector3d sigma;  // singular values, descending
    Matrix3d v;      // right singular vectors in the columns
};

// c = u * diag(sigma) * v^T. Empty when c holds a NaN or an infinite entry.
std::optional<Svd3> svd3(const Matrix3d& c);

// Solves a x = b for symmetric a, reading only its lower triangle. Never fails: components that
// meet a zero (or subnormal) pivot come out as 0, so a singular system yields a partial
// solution, possibly the zero vector.
Vector6d ldlt6_solve(const Matrix6d& a, const Vector6d& b);

// The six distinct entries of a symmetric 3x3 matrix.
struct Symmetric3 {
    double c00, c01, c02, c11, c12, c22;
};

// Closed form: eigenvalues from the trigonometric solution of the characteristic cubic, the
// eigenvector as the longest cross product of two rows of the shifted matrix. Zero vector when
// the direction is undetermined.
Vector3d smallest_eigenvector_closed_form(const Symmetric3& c);

// Iterative: Householder reduction to tridiagonal form, then implicit symmetric QR steps with
// a Wilkinson shift, accumulating the rotations. Zero vector when the iteration does not
// converge.
Vector3d smallest_eigenvector_iterative(const Symmetric3& c);

}  // namespace nubiro
