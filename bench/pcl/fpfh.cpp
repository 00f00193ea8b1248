// FPFH signatures with FPFHEstimationOMP on a given number of threads (KD-tree build included).
// The file holds the n points followed by their n normals (2n rows of x, y, z). The search is
// PCL's radius search capped at the max_nn nearest points, the same neighbourhood as a hybrid
// search. The summary line also gives the least CPU time of one computation (all threads).
#include <pcl/features/fpfh_omp.h>
#include <pcl/search/kdtree.h>

#include <ctime>

#include "peer_io.hpp"

namespace {

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
    peer::require_args(argc, 6, "fpfh points_then_normals.bin repeat radius max_nn threads");
    const auto rows = peer::read_points(argv[1]);
    const int repeat = std::atoi(argv[2]);
    const double radius = std::atof(argv[3]);
    const auto max_nn = static_cast<unsigned int>(std::atoi(argv[4]));
    const int threads = std::atoi(argv[5]);
    const std::size_t n = rows->size() / 2;
    pcl::PointCloud<pcl::PointXYZ>::Ptr points(new pcl::PointCloud<pcl::PointXYZ>);
    pcl::PointCloud<pcl::Normal>::Ptr normals(new pcl::PointCloud<pcl::Normal>);
    for (std::size_t i = 0; i < n; ++i) {
        points->push_back((*rows)[i]);
        const pcl::PointXYZ& v = (*rows)[n + i];
        normals->push_back(pcl::Normal(v.x, v.y, v.z));
    }
    pcl::PointCloud<pcl::FPFHSignature33> signatures;
    double cpu = std::numeric_limits<double>::infinity();
    const double seconds = peer::best_of(repeat, [&] {
        const std::clock_t start = std::clock();
        pcl::FPFHEstimationOMP<pcl::PointXYZ, pcl::Normal, pcl::FPFHSignature33> estimation(threads);
        estimation.setInputCloud(points);
        estimation.setInputNormals(normals);
        estimation.setSearchMethod(pcl::search::KdTree<pcl::PointXYZ>::Ptr(new CappedKdTree<pcl::PointXYZ>(max_nn)));
        estimation.setRadiusSearch(radius);
        estimation.compute(signatures);
        cpu = std::min(cpu, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    });
    std::printf("%.9f\n%zu signatures, cpu %.9f\n", seconds, signatures.size(), cpu);
}
