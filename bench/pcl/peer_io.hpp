// Shared plumbing of the peer programs: points in, best-of-N timing out.
//
// Usage of every program: NAME points.bin repeat [operation arguments...]
// points.bin holds n * 3 float64 values (x, y, z per point). The program prints the best wall
// time of `repeat` runs in seconds on the first line and a result summary on the second;
// programs timed with best_times() add the best process CPU time in seconds on a third line
// (less sensitive to a busy machine for single-threaded runs).
#pragma once
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <time.h>

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

inline double process_cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Best wall time and best process CPU time of `repeat` calls of `op`, in seconds.
struct Timing {
    double wall = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();
};

template <class Op>
Timing best_times(int repeat, Op&& op) {
    Timing best;
    for (int r = 0; r < repeat; ++r) {
        const double c0 = process_cpu_seconds();
        const auto t0 = std::chrono::steady_clock::now();
        op();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double c = process_cpu_seconds() - c0;
        if (s < best.wall) best.wall = s;
        if (c < best.cpu) best.cpu = c;
    }
    return best;
}

// Best wall time of `repeat` calls of `op`, in seconds.
template <class Op>
double best_of(int repeat, Op&& op) {
    return best_times(repeat, op).wall;
}

// The three output lines of a program timed with best_times().
inline void print(const Timing& t, const std::string& summary) {
    std::printf("%.9f\n%s\n%.9f\n", t.wall, summary.c_str(), t.cpu);
}

inline void require_args(int argc, int needed, const char* usage) {
    if (argc < needed) {
        std::fprintf(stderr, "usage: %s\n", usage);
        std::exit(2);
    }
}

}  // namespace peer
