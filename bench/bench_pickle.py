"""Pickling: a 1_000_000-point cloud with normals and colours, and a VoxelGrid of about 100_000
voxels (bunny surface points, voxel size 0.05).

Sizes: the pickle's own bytes plus its out-of-band buffers (protocol 5 with a buffer_callback),
and the in-band pickle (protocol 5 without one), against the raw bytes of the arrays.
Times: dump and load, best of 7, next to pickling the same NumPy arrays directly (the peer), in
the same two ways.

Target: the protocol-5 pickle of the cloud at most 1.01x the raw array bytes.
"""
import pickle

import numpy as np
from _timing import best, report
from data import bunny_points

from nubiro import geometry
from nubiro.cpu.pybind import _internal


def out_of_band(obj):
    buffers = []
    data = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    return data, buffers


def measure(name, obj, arrays, raw, target=None):
    data, buffers = out_of_band(obj)
    total = len(data) + sum(memoryview(b).nbytes for b in buffers)
    inband = len(pickle.dumps(obj, protocol=5))
    verdict = "" if target is None else ("  ok" if total / raw <= target else f"  MISSES target {target}x")
    print(f"{name}: raw {raw} bytes; out of band {len(data)} + {total - len(data)} bytes = {total / raw:.6f}x raw{verdict}; "
          f"in band {inband / raw:.6f}x raw")
    peer_data, peer_buffers = out_of_band(arrays)
    report(f"{name} dump, out of band", best(lambda: out_of_band(obj)), "arrays dump, out of band",
           best(lambda: out_of_band(arrays)))
    report(f"{name} load, out of band", best(lambda: pickle.loads(data, buffers=buffers)), "arrays load, out of band",
           best(lambda: pickle.loads(peer_data, buffers=peer_buffers)))
    inband_data, peer_inband = pickle.dumps(obj, protocol=5), pickle.dumps(arrays, protocol=5)
    report(f"{name} dump, in band", best(lambda: pickle.dumps(obj, protocol=5)), "arrays dump, in band",
           best(lambda: pickle.dumps(arrays, protocol=5)))
    report(f"{name} load, in band", best(lambda: pickle.loads(inband_data)), "arrays load, in band",
           best(lambda: pickle.loads(peer_inband)))


points = bunny_points(1_000_000)
rng = np.random.default_rng(1)
normals = rng.normal(size=points.shape)
colors = rng.random(points.shape)
cloud = geometry.PointCloud()
cloud.points, cloud.normals, cloud.colors = points, normals, colors
print(f"{_internal.num_threads()} threads")
measure("PointCloud 1M", cloud, (points, normals, colors), 3 * points.nbytes, target=1.01)

grid = geometry.VoxelGrid.create_from_point_cloud(cloud, 0.05)
voxels = grid.get_voxels()
indices = np.array([v.grid_index for v in voxels], np.int32)
grey = np.array([v.color for v in voxels])
order = np.arange(len(voxels), dtype=np.uint32)  # the peer carries what the grid's state carries
print(f"VoxelGrid: {len(voxels)} voxels")
measure("VoxelGrid", grid, (indices, grey, order), indices.nbytes + grey.nbytes + order.nbytes)
