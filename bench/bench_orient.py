"""Consistent normal orientation next to normal estimation on the same cloud and thread count.

Target: orient_normals_consistent_tangent_plane(10) on 200_000 bunny points within 2.0x of
estimate_normals(KDTreeSearchParamKNN(30)). Also prints the stage split (neighbourhood search,
spanning trees, propagation) and the peak memory of one orientation, measured in a fresh
interpreter as the growth of the peak resident set size over the loaded cloud (Linux).

    python bench/bench_orient.py [n]
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
from _timing import paired, report
from data import bunny_points

from nubiro.cpu.pybind import _internal, geometry

N = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000


def cloud_with_normals(n):
    pc = geometry.PointCloud()
    pc.points = bunny_points(n, seed=0)
    pc.estimate_normals(geometry.KDTreeSearchParamKNN(30))
    return pc



PEAK = """
import numpy as np
from nubiro.cpu.pybind import geometry

def hwm():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM"))

pc = geometry.PointCloud()
pc.points = np.load({points!r})
pc.normals = np.load({normals!r})
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak restarts from the current resident size
before = hwm()
pc.orient_normals_consistent_tangent_plane(10)
print((hwm() - before) / 1024)
"""


def peak_mib(points, normals):
    """Growth of the peak resident set during one orientation, in a fresh interpreter."""
    with tempfile.TemporaryDirectory() as tmp:
        paths = [os.path.join(tmp, name) for name in ("points.npy", "normals.npy")]
        np.save(paths[0], points)
        np.save(paths[1], normals)
        done = subprocess.run([sys.executable, "-c", PEAK.format(points=paths[0], normals=paths[1])],
                              capture_output=True, text=True)
    return float(done.stdout) if done.returncode == 0 else float("nan")


if __name__ == "__main__":
    print(f"machine: {os.cpu_count()} logical CPUs, pool: {_internal.num_threads()} threads, {N} bunny points")
    pc = cloud_with_normals(N)
    normals = np.asarray(pc.normals).copy()
    flipped = normals * np.random.default_rng(1).choice([-1.0, 1.0], size=(N, 1))

    def reset():
        pc.normals = flipped

    # Both calls start from the flipped normals (estimation overwrites them anyway).
    ours, peer = paired(lambda: pc.orient_normals_consistent_tangent_plane(10),
                        lambda: pc.estimate_normals(geometry.KDTreeSearchParamKNN(30)), repeat=5, before=reset)
    stages = []
    for _ in range(3):
        reset()
        stages.append(_internal.orient_stage_timings(pc, 10))
    split = min(stages, key=sum)
    print(f"orient_normals_consistent_tangent_plane(10)   {ours * 1e3:9.1f} ms   "
          f"(neighbourhoods {split[0] * 1e3:.1f} ms, spanning trees {split[1] * 1e3:.1f} ms, "
          f"propagation {split[2] * 1e3:.1f} ms)")
    print(f"peak memory of one orientation: {peak_mib(np.asarray(pc.points), flipped):.1f} MiB "
          f"(points and normals: {2 * N * 24 / 2**20:.1f} MiB)")
    report(f"orient_normals_consistent_tangent_plane(10), {N} bunny", ours,
           "estimate_normals(KDTreeSearchParamKNN(30))", peer, target=2.0)
