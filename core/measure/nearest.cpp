#include "core/measure/nearest.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/kdtree.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::measure {

Result<Nearest> nearest_distances(std::span<const Vector3d> query, std::span<const Vector3d> reference,
                                  const char* reference_name) {
    parallel::report_stage("nearest distances");
    KDTree tree;
    tree.build_from_points(reference);
    if (tree.permutation().empty())
        return value_error(std::string(reference_name) + " has no points with finite coordinates");
    Nearest out{std::vector<double>(query.size()), std::vector<std::int64_t>(query.size())};
    parallel::parallel_for_chunks(
        query.size(),
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            for (std::size_t i = begin; i < end; ++i) {
                const Vector3d& p = query[i];
                std::uint32_t j;
                double d2;
                if (is_finite(p) &&
                    tree.search_knn(p.data(), 1, &j, &d2) == 1) {
                    out.distances[i] = std::sqrt(d2);
                    out.indices[i] = j;
                } else {
                    out.distances[i] = std::numeric_limits<double>::quiet_NaN();
                    out.indices[i] = -1;
                }
            }
        },
        1024);
    return out;
}

}  // namespace nubiro::measure
