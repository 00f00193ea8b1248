// Plane segmentation by RANSAC: the plane that most points lie near, refined by least squares.
#pragma once
#include <array>
#include <cstdint>
#include <span>

#include "core/filters/select.hpp"
#include "core/result.hpp"
#include "core/types.hpp"

namespace nubiro::segmentation {

struct PlaneFit {
    std::array<double, 4> model;  // a, b, c, d with (a, b, c) of unit length: ax + by + cz + d = 0
    filters::Indices inliers;     // ascending
    double rmse;                  // root mean square point-to-plane distance of the inliers
};

struct PlaneOptions {
    double distance;          // inlier threshold, > 0
    std::int64_t iterations;  // samples drawn, >= 1
    double probability;       // in (0, 1]; below 1, stop once a better plane is this unlikely
    std::uint32_t seed;
};

// 1. All samples of three distinct finite points are drawn first from a Mersenne Twister
//    seeded with `seed`, so they do not depend on how the scoring is split over threads.
// 2. Each sample's plane is scored by its inlier count (distance at most `distance`); the
//    first sample with the highest count wins. With probability < 1 the samples are taken in
//    order and the run stops after the adaptive count log(1 - p) / log(1 - w^3), w being the
//    best inlier ratio so far.
// 3. The winner's inliers give the least-squares plane (centroid and the direction of least
//    spread); the inliers and their RMSE are taken again against it. Its normal points so that
//    its largest-magnitude component is positive.
// Fewer than three finite points, or only collinear samples, is a value error.
Result<PlaneFit> segment_plane(std::span<const Vector3d> points, const PlaneOptions& options);

}  // namespace nubiro::segmentation
