// FPFHEstimationOMP on a cloud read from a raw file, timed; the peer of compute_fpfh_feature.
//
//   fpfh <cloud.bin> <radius> <max_nn> <threads> <repeats>
//
// cloud.bin: int64 n, then n points (3 float64 each), then n normals (3 float64 each).
// The search is the radius search capped at max_nn nearest points, like a hybrid search.
// Prints the best wall time of one computation in seconds, and the number of descriptors.
#include <pcl/features/fpfh_omp.h>
#include <pcl/point_types.h>
#include <pcl/search/kdtree.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <vector>

namespace {

// The radius search with every query capped at max_nn nearest points.
template <class P>
class CappedKdTree : public pcl::search::KdTree<P> {
public:
    explicit CappedKdTree(unsigned int max_nn) : max_nn_(max_nn) {}
    using pcl::search::KdTree<P>::radiusSearch;
    int radiusSearch(const P& point, double radius, pcl::Indices& k_indices, std::vector<float>& k_sqr_distances,
                     unsigned int) const override {
        return pcl::search::KdTree<P>::radiusSearch(point, radius, k_indices, k_sqr_distances, max_nn_);
    }

private:
    unsigned int max_nn_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: fpfh cloud.bin radius max_nn threads repeats\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::int64_t n = 0;
    in.read(reinterpret_cast<char*>(&n), sizeof n);
    std::vector<double> values(static_cast<std::size_t>(6 * n));
    in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(double)));
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const double radius = std::atof(argv[2]);
    const auto max_nn = static_cast<unsigned int>(std::atoi(argv[3]));
    const int threads = std::atoi(argv[4]);
    const int repeats = std::atoi(argv[5]);

    pcl::PointCloud<pcl::PointXYZ>::Ptr points(new pcl::PointCloud<pcl::PointXYZ>);
    pcl::PointCloud<pcl::Normal>::Ptr normals(new pcl::PointCloud<pcl::Normal>);
    for (std::int64_t i = 0; i < n; ++i) {
        const double* p = values.data() + 3 * i;
        const double* q = values.data() + 3 * (n + i);
        points->push_back(pcl::PointXYZ(static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])));
        normals->push_back(pcl::Normal(static_cast<float>(q[0]), static_cast<float>(q[1]), static_cast<float>(q[2])));
    }

    double best = std::numeric_limits<double>::infinity();
    std::size_t count = 0;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        pcl::FPFHEstimationOMP<pcl::PointXYZ, pcl::Normal, pcl::FPFHSignature33> fpfh(threads);
        fpfh.setInputCloud(points);
        fpfh.setInputNormals(normals);
        fpfh.setSearchMethod(typename pcl::search::KdTree<pcl::PointXYZ>::Ptr(new CappedKdTree<pcl::PointXYZ>(max_nn)));
        fpfh.setRadiusSearch(radius);
        pcl::PointCloud<pcl::FPFHSignature33> out;
        fpfh.compute(out);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
        count = out.size();
    }
    std::printf("%.9f %zu\n", best, count);
    return 0;
}
