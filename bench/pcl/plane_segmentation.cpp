// Plane RANSAC with a fixed number of iterations (probability 1 disables the early stop),
// coefficients refined on the inliers, on a given number of threads.
#include <pcl/ModelCoefficients.h>
#include <pcl/sample_consensus/method_types.h>
#include <pcl/sample_consensus/model_types.h>
#include <pcl/segmentation/sac_segmentation.h>

#include "peer_io.hpp"

int main(int argc, char** argv) {
    peer::require_args(argc, 6, "plane_segmentation points.bin repeat distance iterations threads");
    const auto cloud = peer::read_points(argv[1]);
    const int repeat = std::atoi(argv[2]), iterations = std::atoi(argv[4]), threads = std::atoi(argv[5]);
    const double distance = std::atof(argv[3]);
    pcl::PointIndices inliers;
    pcl::ModelCoefficients model;
    const peer::Timing timing = peer::best_times(repeat, [&] {
        pcl::SACSegmentation<pcl::PointXYZ> seg;
        seg.setOptimizeCoefficients(true);
        seg.setModelType(pcl::SACMODEL_PLANE);
        seg.setMethodType(pcl::SAC_RANSAC);
        seg.setDistanceThreshold(distance);
        seg.setMaxIterations(iterations);
        seg.setProbability(1.0);
        seg.setNumberOfThreads(threads);
        seg.setInputCloud(cloud);
        seg.segment(inliers, model);
    });
    peer::print(timing, std::to_string(inliers.indices.size()) + " inliers");
}
