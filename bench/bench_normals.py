"""estimate_normals(KDTreeSearchParamKNN(30)) on 200_000 points sampled on the bunny, next to
small_gicp's estimate_normals(num_neighbors=30) and PCL's NormalEstimationOMP (k = 30), at the
same thread count, for 1 and 2 threads.

Target: at most 0.45x the faster peer. Every figure includes building the KD-tree. Our thread
count is fixed when the pool starts, so each count runs in its own interpreter
(RAYON_NUM_THREADS); the peers get the same count explicitly. The PCL program is built on the
first run (bench/pcl, needs libpcl-dev). On one thread the ratios are also given in process
CPU time, which a busy machine disturbs less than wall time.
"""
import os
import subprocess
import sys


import pcl_peer
import small_gicp
from _timing import best, best_cpu, report
from data import bunny_points

from nubiro.cpu.pybind import geometry


def measure(threads: int) -> None:
    pts = bunny_points(200_000)
    pc = geometry.PointCloud()
    pc.points = pts
    ours = best(lambda: pc.estimate_normals(geometry.KDTreeSearchParamKNN(30)), repeat=5)
    sg = best(lambda: small_gicp.estimate_normals(small_gicp.PointCloud(pts), num_neighbors=30, num_threads=threads),
              repeat=5)
    pcl, _, pcl_cpu = pcl_peer.run_timed("normal_estimation", pts, 30, threads, repeat=5)
    label = f"estimate_normals knn=30, 2e5 bunny, {threads} thr"
    report(label, ours, "small_gicp.estimate_normals", sg)
    report(label, ours, "pcl NormalEstimationOMP", pcl)
    peer, name = min((sg, "small_gicp"), (pcl, "pcl"))
    report(label, ours, f"faster peer ({name})", peer, 0.45)
    if threads == 1:
        ours_cpu = best_cpu(lambda: pc.estimate_normals(geometry.KDTreeSearchParamKNN(30)), repeat=5)
        sg_cpu = best_cpu(lambda: small_gicp.estimate_normals(small_gicp.PointCloud(pts), num_neighbors=30, num_threads=1),
                          repeat=5)
        report(label + " cpu", ours_cpu, "small_gicp cpu", sg_cpu)
        report(label + " cpu", ours_cpu, "pcl NormalEstimationOMP cpu", pcl_cpu)
        report(label + " cpu", ours_cpu, "faster peer cpu", min(sg_cpu, pcl_cpu), 0.45)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        measure(int(sys.argv[1]))
    else:
        print(f"machine: {os.cpu_count()} logical CPUs")
        pcl_peer.build()
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            subprocess.run([sys.executable, __file__, str(threads)], env=env, check=True)
