// Normals from the k nearest neighbours, on a given number of threads (KD-tree build included).
#include <pcl/features/normal_3d_omp.h>
#include <pcl/search/kdtree.h>

#include "peer_io.hpp"

int main(int argc, char** argv) {
    peer::require_args(argc, 5, "normal_estimation points.bin repeat k threads");
    const auto cloud = peer::read_points(argv[1]);
    const int repeat = std::atoi(argv[2]), k = std::atoi(argv[3]), threads = std::atoi(argv[4]);
    pcl::PointCloud<pcl::Normal> normals;
    const peer::Timing timing = peer::best_times(repeat, [&] {
        pcl::NormalEstimationOMP<pcl::PointXYZ, pcl::Normal> estimation(threads);
        estimation.setInputCloud(cloud);
        estimation.setSearchMethod(pcl::search::KdTree<pcl::PointXYZ>::Ptr(new pcl::search::KdTree<pcl::PointXYZ>));
        estimation.setKSearch(k);
        estimation.compute(normals);
    });
    peer::print(timing, std::to_string(normals.size()) + " normals");
}
