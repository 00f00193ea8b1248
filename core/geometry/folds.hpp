// Minimum and maximum where a NaN never replaces a number: the result is NaN only when both
// values are. Bounds, extents and box merges all fold coordinates this way.
#pragma once

namespace nubiro::geometry {

inline double nan_skipping_min(double acc, double v) { return (v < acc || acc != acc) ? v : acc; }
inline double nan_skipping_max(double acc, double v) { return (v > acc || acc != acc) ? v : acc; }

}  // namespace nubiro::geometry
