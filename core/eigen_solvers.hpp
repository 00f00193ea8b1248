// Small dense solvers with a fixed sequence of floating-point operations: a 3x3 singular value
// decomposition (two-sided Jacobi), the smallest eigenvector of a symmetric 3x3 matrix (closed
// form) and a 6x6 symmetric solve (LDL^T with diagonal pivoting).
// Registration results depend on their exact steps, thresholds and fall-backs, so both follow
// one recipe operation by operation; do not replace them with a library call.
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

// The six distinct entries of a symmetric 3x3 matrix.
struct Symmetric3 {
    double c00, c01, c02, c11, c12, c22;
};

// The entry of largest magnitude, and the matrix divided by s entry by entry.
double largest_magnitude(const Symmetric3& c);
Symmetric3 scaled(const Symmetric3& c, double s);

// Unit eigenvector of the smallest eigenvalue: eigenvalues from the trigonometric solution of
// the characteristic cubic, the eigenvector as the longest cross product of two rows of the
// shifted matrix. The zero vector when the direction is undetermined (a zero matrix, or a
// smallest eigenvalue of multiplicity two or more).
Vector3d smallest_eigenvector(const Symmetric3& c);

// Solves a x = b for symmetric a, reading only its lower triangle. Never fails: components that
// meet a zero (or subnormal) pivot come out as 0, so a singular system yields a partial
// solution, possibly the zero vector.
Vector6d ldlt6_solve(const Matrix6d& a, const Vector6d& b);

}  // namespace nubiro
