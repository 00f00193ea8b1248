// Stage timings of the consistent orientation on points sampled on a sphere (or on the points
// and normals of a raw dump: n, then x y z nx ny nz per point, little-endian float64).
//
//   orient_bench [k] [dump]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <vector>

#include "core/geometry/orient_tangent_plane.hpp"
#include "core/parallel.hpp"

using nubiro::Vector3d;

int main(int argc, char** argv) {
    const std::uint64_t k = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10;
    std::vector<Vector3d> points, normals;
    if (argc > 2) {
        std::ifstream in(argv[2], std::ios::binary);
        double n = 0;
        in.read(reinterpret_cast<char*>(&n), sizeof n);
        points.resize(static_cast<std::size_t>(n));
        normals.resize(points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            in.read(reinterpret_cast<char*>(points[i].data()), 24);
            in.read(reinterpret_cast<char*>(normals[i].data()), 24);
        }
    } else {
        std::mt19937_64 rng(1);
        std::normal_distribution<double> g;
        std::uniform_int_distribution<int> coin(0, 1);
        for (int i = 0; i < 200000; ++i) {
            Vector3d p{g(rng), g(rng), g(rng)};
            const double len = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
            p = {p[0] / len, p[1] / len, p[2] / len};
            points.push_back(p);
            const double s = coin(rng) ? 1.0 : -1.0;
            normals.push_back({s * p[0], s * p[1], s * p[2]});
        }
    }
    nubiro::geometry::TangentPlaneTimings t;
    nubiro::geometry::orient_normals_consistent_tangent_plane(points, normals, k, 0.0, 1.0, &t);
    std::printf("%zu points, k=%llu, %zu threads: neighbourhoods %.3f s, trees %.3f s, propagation %.3f s\n",
                points.size(), static_cast<unsigned long long>(k), nubiro::parallel::num_threads(), t.neighbourhoods,
                t.trees, t.propagation);
}
