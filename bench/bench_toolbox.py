"""Cleaning, segmentation and measurement on a scanned table with objects (bench/data.py
table_scene), next to the peers, for 1 and 2 threads:

- statistical outlier removal (k = 30, ratio 1) on 1M points vs PCL StatisticalOutlierRemoval;
- radius outlier removal (5 neighbours within 1 cm) on 1M points vs PCL RadiusOutlierRemoval;
- plane RANSAC, 1000 iterations, 1 cm, on 1M points vs PCL SACSegmentation (SACMODEL_PLANE,
  probability 1 so it runs every iteration, coefficients refined, same thread count);
- Euclidean clusters (1 cm) on 1M points vs PCL EuclideanClusterExtraction (KD-tree build
  included);
- DBSCAN (eps 2 cm, 10 points) on 200k points vs scikit-learn DBSCAN(algorithm="kd_tree");
- nearest distances 1M to 1M vs SciPy cKDTree(b).query(a), build included.

Target for each: at most 0.5x the fastest peer at the same thread count. PCL's outlier filters
and cluster extraction have no threads: they run once, single-threaded, and both our counts are
compared with that figure. On one thread the PCL ratios are also given in process CPU time,
which a busy machine disturbs less than wall time. Our thread count is fixed when the pool
starts, so each count runs in its own interpreter (RAYON_NUM_THREADS). The PCL programs are
built on the first run (bench/pcl, needs libpcl-dev).
"""
import json
import os
import subprocess
import sys
import tempfile

import pcl_peer
from _timing import best, best_cpu, report
from data import table_scene
from scipy.spatial import cKDTree
from sklearn.cluster import DBSCAN

from nubiro import filters, measure, segmentation
from nubiro.cpu.pybind import geometry

MILLION = 1_000_000
# name: (PCL program, its arguments, our call on the 1M-point cloud)
SERIAL_PEERS = {
    "statistical outliers k=30": ("statistical_outlier_removal", (30, 1.0),
                                  lambda pc: filters.remove_statistical_outliers(pc, 30, 1.0)),
    "radius outliers 5 in 1 cm": ("radius_outlier_removal", (5, 0.01),
                                  lambda pc: filters.remove_radius_outliers(pc, 5, 0.01)),
    "euclidean clusters 1 cm": ("euclidean_clusters", (0.01, 1),
                                lambda pc: segmentation.euclidean_clusters(pc, 0.01)),
}


def cloud(points):
    pc = geometry.PointCloud()
    pc.points = points
    return pc


def serial_peers(path: str) -> None:
    """PCL's single-threaded figures, measured once and shared by both thread counts."""
    pts = table_scene(MILLION)
    figures = {}
    for name, (program, args, _) in SERIAL_PEERS.items():
        wall, summary, cpu = pcl_peer.run_timed(program, pts, *args, repeat=2)
        figures[name] = (wall, cpu)
        print(f"  pcl {program}: {summary}", file=sys.stderr)
    with open(path, "w") as f:
        json.dump(figures, f)


def measure_all(threads: int, peers_path: str) -> None:
    pts = table_scene(MILLION)
    pc = cloud(pts)
    with open(peers_path) as f:
        serial = json.load(f)
    for name, (_, _, ours_call) in SERIAL_PEERS.items():
        label = f"{name}, 1e6 table scene, {threads} thr"
        ours = best(lambda: ours_call(pc), repeat=2)
        pcl_wall, pcl_cpu = serial[name]
        report(label, ours, "pcl (1 thread)", pcl_wall, 0.5)
        if threads == 1:
            report(label + " cpu", best_cpu(lambda: ours_call(pc), repeat=2), "pcl cpu", pcl_cpu, 0.5)

    label = f"plane RANSAC 1000 it, 1e6 table scene, {threads} thr"
    ours = best(lambda: segmentation.segment_plane(pc, 0.01, iterations=1000), repeat=2)
    pcl, _, pcl_cpu = pcl_peer.run_timed("plane_segmentation", pts, 0.01, 1000, threads, repeat=2)
    report(label, ours, "pcl SACSegmentation", pcl, 0.5)
    if threads == 1:
        ours_cpu = best_cpu(lambda: segmentation.segment_plane(pc, 0.01, iterations=1000), repeat=2)
        report(label + " cpu", ours_cpu, "pcl SACSegmentation cpu", pcl_cpu, 0.5)

    small = table_scene(200_000, seed=1)
    small_pc = cloud(small)
    label = f"dbscan eps 2 cm, 10 pts, 2e5 table scene, {threads} thr"
    ours = best(lambda: segmentation.dbscan(small_pc, 0.02, 10), repeat=2)
    peer = best(lambda: DBSCAN(eps=0.02, min_samples=10, algorithm="kd_tree", n_jobs=threads).fit(small), repeat=2)
    report(label, ours, "sklearn DBSCAN kd_tree", peer, 0.5)

    other = table_scene(MILLION, seed=2)
    other_pc = cloud(other)
    label = f"nearest distances 1e6 to 1e6, {threads} thr"
    ours = best(lambda: measure.nearest_distances(pc, other_pc), repeat=3)
    peer = best(lambda: cKDTree(other).query(pts, workers=threads), repeat=3)
    report(label, ours, "cKDTree build + query", peer, 0.5)


if __name__ == "__main__":
    if len(sys.argv) > 2:
        measure_all(int(sys.argv[1]), sys.argv[2])
    else:
        print(f"machine: {os.cpu_count()} logical CPUs")
        pcl_peer.build()
        with tempfile.TemporaryDirectory() as tmp:
            peers = os.path.join(tmp, "pcl.json")
            serial_peers(peers)
            for threads in (1, 2):
                env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
                subprocess.run([sys.executable, __file__, str(threads), peers], env=env, check=True)
