#include "core/registration/kernels.hpp"

#include <cmath>

#include "core/number_text.hpp"

namespace nubiro::registration {

double RobustKernel::weight(double r) const {
    const double c = scale;
    switch (kind) {
        case KernelKind::None:
            return 1.0;
        case KernelKind::Huber: {
            const double a = std::fabs(r);
            return a <= c ? 1.0 : c / a;
        }
        case KernelKind::Tukey: {
            const double u = r / c;
            const double v = u * u;
            if (!(v < 1.0)) return 0.0;
            const double s = 1.0 - v;
            return s * s;
        }
        case KernelKind::Cauchy: {
            const double u = r / c;
            return 1.0 / (1.0 + u * u);
        }
        case KernelKind::GemanMcClure: {
            const double c2 = c * c;
            const double s = c2 / (c2 + r * r);
            return s * s;
        }
    }
    return 1.0;
}

std::optional<KernelKind> kernel_kind(std::string_view name) {
    if (name == "none") return KernelKind::None;
    if (name == "huber") return KernelKind::Huber;
    if (name == "tukey") return KernelKind::Tukey;
    if (name == "cauchy") return KernelKind::Cauchy;
    if (name == "geman-mcclure") return KernelKind::GemanMcClure;
    return std::nullopt;
}

std::string_view kernel_name(KernelKind kind) {
    switch (kind) {
        case KernelKind::None:
            return "none";
        case KernelKind::Huber:
            return "huber";
        case KernelKind::Tukey:
            return "tukey";
        case KernelKind::Cauchy:
            return "cauchy";
        case KernelKind::GemanMcClure:
            return "geman-mcclure";
    }
    return "none";
}

Result<RobustKernel> make_kernel(KernelKind kind, double scale) {
    if (kind != KernelKind::None && !(scale > 0 && std::isfinite(scale)))
        return value_error("kernel scale must be a positive number, not " + text::format_general(scale));
    return RobustKernel{kind, scale};
}

}  // namespace nubiro::registration
