"""KD-tree build and queries next to scipy.spatial.cKDTree (single-threaded queries), pykdtree
and small_gicp's KdTree, same process.

Targets: build over 1_000_000 points within 1.0x of cKDTree and 0.6x of pykdtree (our build runs
on the pool: this figure is for the default thread count); 1_000_000 batch k=1 and 100_000 batch
k=30 queries within 0.8x of cKDTree.query(workers=1); one search_knn_vector_3d(q, 10) call
within 0.3x of one cKDTree.query(q, 10) call and 0.5x of one small_gicp KdTree.knn_search(q, 10)
call. The batch figures time the index itself
(nubiro.cpu.pybind._internal.knn_batch runs the queries on one thread without per-call
binding overhead); the single-call figure includes everything a Python caller pays.
"""
import os

import numpy as np
from _timing import best, report
from data import bunny_points
from scipy.spatial import cKDTree

try:
    from pykdtree.kdtree import KDTree as PyKDTree
except ImportError:  # the bench extra brings it
    PyKDTree = None
try:
    import small_gicp
except ImportError:
    small_gicp = None

from nubiro import geometry
from nubiro.cpu.pybind import _internal

print(f"machine: {os.cpu_count()} logical CPUs")
rng = np.random.default_rng(0)
clouds = {"uniform cube": rng.random((1_000_000, 3)), "bunny surface": bunny_points(1_000_000, seed=1)}

for name, pts in clouds.items():
    pc = geometry.PointCloud()
    pc.points = pts
    tree = geometry.KDTreeFlann()
    report(f"build, 1e6 points ({name})", best(lambda: tree.set_geometry(pc), repeat=3),
           "cKDTree(pts)", best(lambda: cKDTree(pts), repeat=3), 1.0)
    if PyKDTree is not None:
        report(f"build, 1e6 points ({name})", best(lambda: tree.set_geometry(pc), repeat=5),
               "pykdtree KDTree(pts)", best(lambda: PyKDTree(pts), repeat=5), 0.6)
    ref = cKDTree(pts)
    # Queries where a user would ask: uniform in the cube, near the surface for the scan.
    if name == "uniform cube":
        q1 = rng.random((1_000_000, 3))
    else:
        q1 = bunny_points(1_000_000, seed=2) + 1e-3 * rng.standard_normal((1_000_000, 3))
    q30 = pts[rng.choice(len(pts), 100_000)] + 1e-3 * rng.standard_normal((100_000, 3))
    report(f"1e6 queries k=1 ({name})", best(lambda: _internal.knn_batch(tree, q1, 1), repeat=3),
           "cKDTree.query(k=1, workers=1)", best(lambda: ref.query(q1, 1, workers=1), repeat=3), 0.8)
    report(f"1e5 queries k=30 ({name})", best(lambda: _internal.knn_batch(tree, q30, 30), repeat=3),
           "cKDTree.query(k=30, workers=1)", best(lambda: ref.query(q30, 30, workers=1), repeat=3), 0.8)
    q = q30[0].copy()
    report(f"one search_knn_vector_3d(q, 10) ({name})", best(lambda: tree.search_knn_vector_3d(q, 10), number=20000),
           "one cKDTree.query(q, 10)", best(lambda: ref.query(q, 10), number=20000), 0.3)
    if small_gicp is not None:
        sg_tree = small_gicp.KdTree(small_gicp.PointCloud(pts))
        report(f"one search_knn_vector_3d(q, 10) ({name})", best(lambda: tree.search_knn_vector_3d(q, 10), number=20000),
               "one small_gicp KdTree.knn_search(q, 10)", best(lambda: sg_tree.knn_search(q, 10), number=20000), 0.5)
