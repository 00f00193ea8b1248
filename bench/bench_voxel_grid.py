"""VoxelGrid.create_from_point_cloud on 1_000_000 bunny surface points, next to
PointCloud.voxel_down_sample on the same cloud and voxel size (both collect the occupied cells
through the same voxel map).

Target: at most 1.0x voxel_down_sample.
"""
from _timing import best, report
from data import bunny_points

from nubiro import geometry
from nubiro.cpu.pybind import _internal

cloud = geometry.PointCloud()
cloud.points = bunny_points(1_000_000)
print(f"1000000 bunny points, {_internal.num_threads()} threads")
for size in (0.02, 0.05, 0.2):
    grid = geometry.VoxelGrid.create_from_point_cloud(cloud, size)
    print(f"voxel_size {size}: {len(grid.get_voxels())} voxels")
    report(f"VoxelGrid.create_from_point_cloud({size})", best(lambda: geometry.VoxelGrid.create_from_point_cloud(cloud, size)),
           "voxel_down_sample", best(lambda: cloud.voxel_down_sample(size)), 1.0)
