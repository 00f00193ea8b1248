// Shared plumbing of the peer programs: points in, best-of-N timing out.
//
// Usage of every program: NAME points.bin repeat [operation arguments...]
// points.bin holds n * 3 float64 values (x, y, z per point). The program prints the best wall
// time of `repeat` runs in seconds on the first line, then a result summary on the second.
#pragma once
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace peer {

inline pcl::PointCloud<pcl::PointXYZ>::Ptr read_points(const char* path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    const auto bytes = static_cast<std::size_t>(in.tellg());
    std::vector<double> xyz(bytes / sizeof(double));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(xyz.data()), static_cast<std::streamsize>(xyz.size() * sizeof(double)));
    pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
    cloud->resize(xyz.size() / 3);
    for (std::size_t i = 0; i < cloud->size(); ++i)
        (*cloud)[i] = pcl::PointXYZ(static_cast<float>(xyz[3 * i]), static_cast<float>(xyz[3 * i + 1]),
                                    static_cast<float>(xyz[3 * i + 2]));
    return cloud;
}

// Best wall time of `repeat` calls of `op`, in seconds.
template <class Op>
double best_of(int repeat, Op&& op) {
    double best = std::numeric_limits<double>::infinity();
    for (int r = 0; r < repeat; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        op();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

inline void require_args(int argc, int needed, const char* usage) {
    if (argc < needed) {
        std::fprintf(stderr, "usage: %s\n", usage);
        std::exit(2);
    }
}

}  // namespace peer
