// Statistical outlier removal (k neighbours, standard-deviation multiplier); single-threaded in PCL.
#include <pcl/filters/statistical_outlier_removal.h>

#include "peer_io.hpp"

int main(int argc, char** argv) {
    peer::require_args(argc, 5, "statistical_outlier_removal points.bin repeat k std_ratio");
    const auto cloud = peer::read_points(argv[1]);
    const int repeat = std::atoi(argv[2]), k = std::atoi(argv[3]);
    const double ratio = std::atof(argv[4]);
    pcl::PointCloud<pcl::PointXYZ> kept;
    const peer::Timing timing = peer::best_times(repeat, [&] {
        pcl::StatisticalOutlierRemoval<pcl::PointXYZ> filter;
        filter.setInputCloud(cloud);
        filter.setMeanK(k);
        filter.setStddevMulThresh(ratio);
        filter.filter(kept);
    });
    peer::print(timing, std::to_string(kept.size()) + " kept");
}
