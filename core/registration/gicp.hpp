// Iterative closest point with three error models and robust kernels: point-to-point,
// point-to-plane and generalized (plane-to-plane) ICP.
//
// Each iteration moves the source by the current estimate T, pairs every moved point p with
// its nearest target point q closer than the maximum distance, and takes one Gauss-Newton step
// on SE(3): with the update exp(omega) | v applied on the left, a moved point changes by
// omega x p + v, so the Jacobian of p is [-[p]x  I]. The residuals are
//     point-to-point  r = p - q                       weighted by I
//     point-to-plane  r = n_q . (p - q)                (n_q the target normal)
//     generalized     r = p - q                       weighted by (C_q + R C_p R^T)^-1
// (C the points' plane covariances, R the rotation of T). A robust kernel multiplies each
// pair's normal equations by its weight w(|r|) at the current estimate (iteratively reweighted
// least squares); |r| is the distance between p and q, or to the target plane for
// point-to-plane, so the kernel scale is a length in the points' units.
//
// The per-pair terms are computed on the worker pool, one record per source point, and summed
// on one thread in source order, so the result is bit-identical for any number of threads.
// The loop stops when an update rotates by less than `tolerance` radians and moves by less
// than tolerance x max_distance (converged), after max_iterations updates, when no pair is left
// or when a step is not finite; the transformation is never NaN.
#pragma once
#include <cstdint>
#include <span>

#include "core/registration/kernels.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::registration {

enum class IcpMethod : std::uint8_t { PointToPoint = 0, PointToPlane = 1, Generalized = 2 };

struct IcpInputs {
    std::span<const Vector3d> source;
    std::span<const Vector3d> target;
    std::span<const Vector3d> target_normals;      // point-to-plane: one per target point
    std::span<const Matrix3d> source_covariances;  // generalized: one per source point
    std::span<const Matrix3d> target_covariances;  // generalized: one per target point
};

struct IcpOptions {
    IcpMethod method = IcpMethod::Generalized;
    double max_distance = 0.0;
    RobustKernel kernel;
    std::int32_t max_iterations = 30;
    double tolerance = 1e-6;
};

struct IcpResult {
    Matrix4d transformation = identity4();
    double fitness = 0.0;      // pairs found under the final transformation / source points
    double inlier_rmse = 0.0;  // sqrt(mean squared distance of those pairs)
    std::int32_t iterations = 0;  // updates applied
    bool converged = false;
};

// ValueError for a maximum distance that is not positive and finite, a negative iteration
// count or tolerance, or normals / covariances whose count does not match their cloud.
Result<IcpResult> icp(const IcpInputs& in, const Matrix4d& init, const IcpOptions& options);

// The rigid motion exp(omega) | v of a step (omega, v), rotation by Rodrigues' formula.
Matrix4d se3_exp(const std::array<double, 6>& step);

}  // namespace nubiro::registration
