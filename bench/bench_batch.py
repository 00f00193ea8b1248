"""Batch registration on a 2-worker Dask LocalCluster against the same pairs run serially, and the
pickled size of a 1M-point cloud with normals and colours against its raw array bytes.

Targets: speed-up at least 1.7x on 2 cores; pickled size at most 1.01x the raw bytes.
Each worker process runs one thread (RAYON_NUM_THREADS=1), and so does the serial run, so the
speed-up measures scale-out over processes, not the worker pool.
"""
import os

os.environ["RAYON_NUM_THREADS"] = "1"  # before the extension starts its pool

import pickle  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
from _timing import report  # noqa: E402
from data import bunny_points  # noqa: E402

from nubiro import batch, geometry  # noqa: E402

PAIRS = 32
VOXEL = 0.4  # about 1/40 of the bunny's extent


def moved_pairs(n: int) -> list:
    rng = np.random.default_rng(5)
    target = geometry.PointCloud()
    target.points = bunny_points(30_000, seed=1)
    pairs = []
    for i in range(n):
        source = geometry.PointCloud()
        source.points = bunny_points(30_000, seed=100 + i)
        motion = np.eye(4)
        motion[:3, :3] = geometry.get_rotation_matrix_from_xyz(rng.uniform(-0.8, 0.8, 3))
        motion[:3, 3] = rng.uniform(-3, 3, 3)
        source.transform(motion)
        pairs.append((source, target))
    return pairs


def main() -> None:
    import distributed

    print(f"machine: {os.cpu_count()} logical CPUs; {PAIRS} bunny pairs of 30 000 points")
    pairs = moved_pairs(PAIRS)
    start = time.perf_counter()
    serial = batch.register_pairs(pairs, voxel_size=VOXEL, seed=1)
    serial_seconds = time.perf_counter() - start
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  env={"RAYON_NUM_THREADS": "1"}) as cluster, distributed.Client(cluster) as client:
        batch.register_pairs(pairs[:2], voxel_size=VOXEL, seed=1, executor=client)  # warm the workers up
        start = time.perf_counter()
        parallel = batch.register_pairs(pairs, voxel_size=VOXEL, seed=1, executor=client)
        cluster_seconds = time.perf_counter() - start
    same = all(a.transformation.tobytes() == b.transformation.tobytes() for a, b in zip(serial, parallel))
    print(f"all {PAIRS} results identical on the cluster and serially: {same}; "
          f"{sum(r.ok for r in serial)} pairs registered")
    report(f"{PAIRS} pairs on a 2-worker LocalCluster", cluster_seconds, "the same pairs serially", serial_seconds,
           0.59)  # a speed-up of at least 1.7x
    print(f"speed-up {serial_seconds / cluster_seconds:.2f}x (target at least 1.7x)")

    cloud = geometry.PointCloud()
    rng = np.random.default_rng(0)
    cloud.points, cloud.normals, cloud.colors = rng.random((3, 1_000_000, 3))
    raw = 3 * 1_000_000 * 3 * 8
    buffers: list = []
    size = len(pickle.dumps(cloud, protocol=5, buffer_callback=buffers.append))
    size += sum(memoryview(b).nbytes for b in buffers)
    print(f"pickled 1M-point cloud with normals and colours: {size} bytes against {raw} raw, "
          f"{size / raw:.6f}x (target at most 1.01x)")


if __name__ == "__main__":
    main()
