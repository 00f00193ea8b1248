// Robust kernels for iteratively reweighted least squares.
//
// A kernel rho replaces the squared residual r^2 / 2 of a correspondence; each Gauss-Newton
// step then solves the weighted least-squares problem with the weight w(r) = rho'(r) / r of the
// residual at the current estimate. With scale c:
//     Huber          w = 1 for |r| <= c, c / |r| beyond          (quadratic core, linear tails)
//     Tukey          w = (1 - (r/c)^2)^2 for |r| < c, 0 beyond   (pairs beyond c are ignored)
//     Cauchy         w = 1 / (1 + (r/c)^2)
//     Geman-McClure  w = (c^2 / (c^2 + r^2))^2
// None keeps every weight 1 (plain least squares).
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/result.hpp"

namespace nubiro::registration {

enum class KernelKind : std::uint8_t { None = 0, Huber, Tukey, Cauchy, GemanMcClure };

struct RobustKernel {
    KernelKind kind = KernelKind::None;
    double scale = 1.0;

    double weight(double r) const;
};

// "huber", "tukey", "cauchy", "geman-mcclure" (or "none").
std::optional<KernelKind> kernel_kind(std::string_view name);
std::string_view kernel_name(KernelKind kind);

// The kernel, or ValueError "kernel scale must be a positive number, not {scale}" for a scale
// that is not positive and finite (ignored for None).
Result<RobustKernel> make_kernel(KernelKind kind, double scale);

}  // namespace nubiro::registration
