"""Command-line demo: ``python -m nubiro``.

Builds a point cloud sampled on a torus, moves it with a rigid transform, indexes it with a
KD-tree and answers a few neighbourhood queries, printing what it did and how long it took.
"""
from __future__ import annotations

import argparse
import time

import numpy as np

import nubiro
from nubiro import geometry


def torus(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    u, v = rng.uniform(0.0, 2.0 * np.pi, (2, n))
    big, small = 1.0, 0.3
    return np.column_stack(
        ((big + small * np.cos(v)) * np.cos(u), (big + small * np.cos(v)) * np.sin(u), small * np.sin(v))
    )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m nubiro", description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=200_000, help="number of points to sample")
    parser.add_argument("--seed", type=int, default=1, help="random seed for the sampling")
    args = parser.parse_args(argv)

    print(f"nubiro {nubiro.__version__}: submodules geometry, utility, io, pipelines.registration")
    cloud = geometry.PointCloud()
    cloud.points = torus(args.points, args.seed)
    print(f"{cloud}  bounds {np.round(cloud.get_min_bound(), 3)} .. {np.round(cloud.get_max_bound(), 3)}")

    rotation = geometry.get_rotation_matrix_from_xyz([0.1, -0.2, 0.3])
    start = time.perf_counter()
    cloud.rotate(rotation, center=[0.0, 0.0, 0.0]).translate([0.5, 0.0, -0.25])
    print(f"rotated and translated in {1e3 * (time.perf_counter() - start):.2f} ms; "
          f"centre now {np.round(cloud.get_center(), 4)}")

    start = time.perf_counter()
    tree = geometry.KDTreeFlann(cloud)
    print(f"KD-tree over {len(cloud.points)} points built in {1e3 * (time.perf_counter() - start):.1f} ms")

    query = np.asarray(cloud.points)[0]
    count, indices, distances = tree.search_knn_vector_3d(query, 5)
    print(f"5 nearest to point 0: {list(indices)}  (squared distances {np.round(np.asarray(distances), 6)})")
    count, _, _ = tree.search_radius_vector_3d(query, 0.05)
    print(f"{count} points within 0.05 of point 0")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
