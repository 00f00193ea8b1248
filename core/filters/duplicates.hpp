// Duplicate removal. The first point of each group (lowest point number) stays; points with a
// NaN or infinite coordinate are never duplicates of anything and stay.
#pragma once
#include <span>

#include "core/filters/select.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::filters {

// tolerance == 0: exact coordinate equality (-0 equals +0). tolerance > 0: a point goes when
// it lies within tolerance (inclusive) of an earlier point that stays. The kept points are
// returned ascending. A negative or NaN tolerance is a value error.
Result<Indices> unique_points(std::span<const Vector3d> points, double tolerance);

}  // namespace nubiro::filters
