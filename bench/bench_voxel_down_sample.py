"""voxel_down_sample of 1_000_000 points sampled on the bunny to about 10 % and 1 % of the
points, next to small_gicp's voxelgrid_sampling, PCL's VoxelGrid and a NumPy np.unique baseline,
at the same thread count (1 and 2; PCL's filter and NumPy run on one thread). Then the extra
peak memory of one call.

Targets: at most 0.3x the faster of small_gicp and PCL, at most 0.3x NumPy; extra peak memory
below 3x the input. Memory is measured in a fresh interpreter: the cloud is filled, the
kernel's peak-RSS mark is reset (/proc/self/clear_refs), and the peak after the call (VmHWM)
minus the resident size before it (VmRSS) is the call's extra peak, result included. Each
thread count runs in its own interpreter (RAYON_NUM_THREADS).
"""
import os
import subprocess
import sys


import numpy as np
import pcl_peer
import small_gicp
from _timing import best, best_cpu, report
from data import bunny_points

from nubiro.cpu.pybind import geometry

SIZES = {"~10 %": 0.053, "~1 %": 0.175}


def numpy_down_sample(pts: np.ndarray, size: float) -> np.ndarray:
    keys = np.floor((pts - pts.min(axis=0)) / size).astype(np.int32)
    _, inverse, counts = np.unique(keys, axis=0, return_inverse=True, return_counts=True)
    inverse = inverse.ravel()
    return np.column_stack([np.bincount(inverse, weights=pts[:, k]) / counts for k in range(3)])


def measure(threads: int) -> None:
    pts = bunny_points(1_000_000, seed=1)
    pc = geometry.PointCloud()
    pc.points = pts
    for share, size in SIZES.items():
        count = len(pc.voxel_down_sample(size).points)
        label = f"voxel_down_sample {share} ({count}), 1e6 bunny, {threads} thr"
        ours = best(lambda: pc.voxel_down_sample(size), repeat=7)
        sg = best(lambda: small_gicp.voxelgrid_sampling(pts, size, num_threads=threads), repeat=7)
        pcl, _, pcl_cpu = pcl_peer.run_timed("voxel_grid", pts, size, repeat=7)
        report(label, ours, "small_gicp.voxelgrid_sampling", sg)
        report(label, ours, "pcl VoxelGrid (1 thread)", pcl)
        peer, name = min((sg, "small_gicp"), (pcl, "pcl"))
        report(label, ours, f"faster peer ({name})", peer, 0.3)
        if threads == 1:
            report(label, ours, "numpy unique + bincount", best(lambda: numpy_down_sample(pts, size), repeat=3), 0.3)
            ours_cpu = best_cpu(lambda: pc.voxel_down_sample(size))
            sg_cpu = best_cpu(lambda: small_gicp.voxelgrid_sampling(pts, size, num_threads=1))
            report(label + " cpu", ours_cpu, "small_gicp cpu", sg_cpu)
            report(label + " cpu", ours_cpu, "pcl VoxelGrid cpu", pcl_cpu)
            report(label + " cpu", ours_cpu, "faster peer cpu", min(sg_cpu, pcl_cpu), 0.3)


MEMORY_PROBE = """
import sys
import numpy as np
from nubiro.cpu.pybind import geometry

def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024

pc = geometry.PointCloud()
pc.points = np.load(sys.argv[1])
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
out = pc.voxel_down_sample(float(sys.argv[2]))
print(status("VmHWM") - before, len(out.points))
"""


def memory() -> None:
    import tempfile
    pts = bunny_points(1_000_000, seed=1)
    with tempfile.NamedTemporaryFile(suffix=".npy") as f:
        np.save(f.name, pts)
        for share, size in SIZES.items():
            done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, f.name, str(size)], check=True,
                                  capture_output=True, text=True)
            extra, count = map(int, done.stdout.split())
            ratio = extra / pts.nbytes
            verdict = "  ok" if ratio < 3 else "  MISSES target 3x"
            print(f"voxel_down_sample {share} ({count}) extra peak memory {extra / 2**20:8.1f} MiB "
                  f"= {ratio:5.2f}x the {pts.nbytes / 2**20:.1f} MiB input{verdict}")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        measure(int(sys.argv[1]))
    else:
        print(f"machine: {os.cpu_count()} logical CPUs")
        pcl_peer.build()
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            subprocess.run([sys.executable, __file__, str(threads)], env=env, check=True)
        memory()
