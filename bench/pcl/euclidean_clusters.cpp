// Euclidean cluster extraction over a KD-tree (tree build included); single-threaded in PCL.
#include <pcl/search/kdtree.h>
#include <pcl/segmentation/extract_clusters.h>

#include "peer_io.hpp"

int main(int argc, char** argv) {
    peer::require_args(argc, 5, "euclidean_clusters points.bin repeat tolerance min_size");
    const auto cloud = peer::read_points(argv[1]);
    const int repeat = std::atoi(argv[2]), min_size = std::atoi(argv[4]);
    const double tolerance = std::atof(argv[3]);
    std::vector<pcl::PointIndices> clusters;
    const peer::Timing timing = peer::best_times(repeat, [&] {
        clusters.clear();
        pcl::search::KdTree<pcl::PointXYZ>::Ptr tree(new pcl::search::KdTree<pcl::PointXYZ>);
        tree->setInputCloud(cloud);
        pcl::EuclideanClusterExtraction<pcl::PointXYZ> extraction;
        extraction.setClusterTolerance(tolerance);
        extraction.setMinClusterSize(min_size);
        extraction.setMaxClusterSize(std::numeric_limits<int>::max());
        extraction.setSearchMethod(tree);
        extraction.setInputCloud(cloud);
        extraction.extract(clusters);
    });
    peer::print(timing, std::to_string(clusters.size()) + " clusters");
}
