// Voxel-grid down-sampling (centroid per occupied voxel); the filter runs on one thread.
#include <pcl/filters/voxel_grid.h>

#include "peer_io.hpp"

int main(int argc, char** argv) {
    peer::require_args(argc, 4, "voxel_grid points.bin repeat voxel_size");
    const auto cloud = peer::read_points(argv[1]);
    const int repeat = std::atoi(argv[2]);
    const float size = static_cast<float>(std::atof(argv[3]));
    pcl::PointCloud<pcl::PointXYZ> out;
    const peer::Timing timing = peer::best_times(repeat, [&] {
        pcl::VoxelGrid<pcl::PointXYZ> grid;
        grid.setInputCloud(cloud);
        grid.setLeafSize(size, size, size);
        grid.filter(out);
    });
    peer::print(timing, std::to_string(out.size()) + " points");
}
