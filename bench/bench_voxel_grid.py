"""VoxelGrid.create_from_point_cloud on 1_000_000 bunny surface points, next to
PointCloud.voxel_down_sample on the same cloud and voxel size (both collect the occupied cells
through the same voxel map). The two are timed alternately, best of 9 each, so a change in the
machine's load affects both alike.

Target: at most 1.0x voxel_down_sample.
"""
from _timing import paired, report
from data import bunny_points

from nubiro import geometry
from nubiro.cpu.pybind import _internal

cloud = geometry.PointCloud()
cloud.points = bunny_points(1_000_000)
print(f"1000000 bunny points, {_internal.num_threads()} threads")
for size in (0.02, 0.05, 0.2):
    grid = geometry.VoxelGrid.create_from_point_cloud(cloud, size)
    print(f"voxel_size {size}: {len(grid.get_voxels())} voxels")
    ours, peer = paired(lambda: geometry.VoxelGrid.create_from_point_cloud(cloud, size),
                        lambda: cloud.voxel_down_sample(size))
    report(f"VoxelGrid.create_from_point_cloud({size})", ours, "voxel_down_sample", peer, 1.0)
