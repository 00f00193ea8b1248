// Which neighbourhood a search asks for: the k nearest, all within a radius, or the nearest
// within a radius up to a count.
#pragma once
#include <cstdint>

namespace nubiro {

struct SearchParam {
    enum Kind : int { KNN = 0, Radius = 1, Hybrid = 2 };
    Kind kind = KNN;
    std::int32_t knn = 30;
    double radius = 0.0;
    std::int32_t max_nn = 0;
};

}  // namespace nubiro
