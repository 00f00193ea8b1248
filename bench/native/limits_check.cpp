// Inputs with more points than 32-bit point numbers can hold are refused where they enter,
// before any number wraps; exits non-zero when one is not.
//
// The oversized inputs are address ranges reserved without access rights, so they cost no
// memory: an operation that refuses up front never touches them, and one that reads a single
// point before refusing ends this program with a fault instead of passing.
#include <sys/mman.h>

#include <cstdio>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>

#include "core/filters/duplicates.hpp"
#include "core/kdtree.hpp"
#include "core/measure/point_to_mesh.hpp"
#include "core/point_limits.hpp"
#include "core/registration/feature.hpp"
#include "core/registration/registration.hpp"
#include "core/segmentation/clusters.hpp"
#include "core/segmentation/plane_ransac.hpp"

using namespace nubiro;

namespace {

int failures = 0;
int checks = 0;

// `count` elements of T that may not be read.
template <class T>
std::span<const T> untouchable(std::uint64_t count) {
    void* p = mmap(nullptr, count * sizeof(T), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        std::exit(2);
    }
    return {static_cast<const T*>(p), static_cast<std::size_t>(count)};
}

void expect_refused(const std::string& what, const std::function<void()>& call) {
    ++checks;
    try {
        call();
        ++failures;
        std::printf("FAIL: %s: accepted\n", what.c_str());
    } catch (const std::length_error& e) {
        std::printf("ok: %s: %s\n", what.c_str(), e.what());
    }
}

}  // namespace

int main() {
    const Vector3d here[3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::span<const Vector3d> small(here, 3);
    const Matrix4d identity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

    // Correspondence pairs are signed 32-bit: one point more than that on the source side.
    const auto paired = untouchable<Vector3d>(kMaxPairedPoints + 1);
    expect_refused("evaluate_registration", [&] { registration::evaluate_registration(paired, small, 1.0, identity); });
    expect_refused("registration_icp", [&] {
        (void)registration::registration_icp(paired, small, {}, 1.0, identity, {}, {});
    });
    expect_refused("get_information_matrix", [&] { registration::get_information_matrix(paired, small, 1.0, identity); });
    registration::Feature many, few;
    many.num = kMaxPairedPoints + 1;  // refused before any descriptor is read
    few.dimension = many.dimension = 1;
    few.num = 1;
    few.data = {0.0};
    expect_refused("correspondences_from_features", [&] {
        registration::correspondences_from_features(many, few, false, 0.1f);
    });

    // Unsigned 32-bit point numbers: one point more than that.
    const auto indexed = untouchable<Vector3d>(kMaxIndexedPoints + 1);
    expect_refused("search index", [&] {
        KDTree tree;
        tree.build_from_points(indexed);
    });
    expect_refused("segment_plane", [&] { (void)segmentation::segment_plane(indexed, {0.1, 10, 1.0, 0}); });
    expect_refused("euclidean_clusters", [&] { (void)segmentation::euclidean_clusters(indexed, 0.1, 1, 10); });
    expect_refused("unique_points", [&] { (void)filters::unique_points(indexed, 0.0); });
    const auto triangles = untouchable<Vector3i>(kMaxIndexedPoints + 1);
    expect_refused("point_to_mesh", [&] { (void)measure::point_to_mesh(small, small, triangles); });

    std::printf("limits_check: %d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
