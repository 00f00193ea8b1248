// Radius outlier removal (at least min_points neighbours within radius); single-threaded in PCL.
#include <pcl/filters/radius_outlier_removal.h>

#include "peer_io.hpp"

int main(int argc, char** argv) {
    peer::require_args(argc, 5, "radius_outlier_removal points.bin repeat min_points radius");
    const auto cloud = peer::read_points(argv[1]);
    const int repeat = std::atoi(argv[2]), min_points = std::atoi(argv[3]);
    const double radius = std::atof(argv[4]);
    pcl::PointCloud<pcl::PointXYZ> kept;
    const peer::Timing timing = peer::best_times(repeat, [&] {
        pcl::RadiusOutlierRemoval<pcl::PointXYZ> filter;
        filter.setInputCloud(cloud);
        filter.setRadiusSearch(radius);
        filter.setMinNeighborsInRadius(min_points);
        filter.filter(kept);
    });
    peer::print(timing, std::to_string(kept.size()) + " kept");
}
