#include "core/registration/feature.hpp"

#include <cstring>

namespace nubiro::registration {
namespace {

constexpr std::uint64_t kMaxValues = std::uint64_t{1} << 60;

// True when d * n fits below 2^60 (which also rules out overflow).
bool size_ok(std::uint64_t d, std::uint64_t n) { return n == 0 || d <= (kMaxValues - 1) / n; }

}  // namespace

std::optional<Error> Feature::resize(std::int64_t dim, std::int64_t n) {
    if (dim < 0) return value_error("dim must be non-negative");
    if (n < 0) return value_error("n must be non-negative");
    const auto d = static_cast<std::uint64_t>(dim), k = static_cast<std::uint64_t>(n);
    if (!size_ok(d, k)) return value_error("feature dimensions are too large");
    data.assign(d * k, 0.0);
    dimension = d;
    num = k;
    return std::nullopt;
}

std::optional<Error> Feature::set_data(const void* base, std::uint64_t d, std::uint64_t n, std::ptrdiff_t row_stride,
                                       std::ptrdiff_t col_stride) {
    if (!size_ok(d, n)) return value_error("feature dimensions are too large");
    std::vector<double> values(d * n);
    const auto* bytes = static_cast<const unsigned char*>(base);
    for (std::uint64_t k = 0; k < n; ++k) {
        const unsigned char* column = bytes + static_cast<std::ptrdiff_t>(k) * col_stride;
        double* out = values.data() + d * k;
        for (std::uint64_t r = 0; r < d; ++r)
            std::memcpy(out + r, column + static_cast<std::ptrdiff_t>(r) * row_stride, sizeof(double));
    }
    data = std::move(values);
    dimension = d;
    num = n;
    return std::nullopt;
}

void Feature::copy_rows_to(double* out) const {
    for (std::uint64_t r = 0; r < dimension; ++r)
        for (std::uint64_t k = 0; k < num; ++k) out[r * num + k] = data[r + dimension * k];
}

}  // namespace nubiro::registration
