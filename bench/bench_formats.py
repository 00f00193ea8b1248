"""PCD and LAZ input/output on 1_000_000 points with normals and colours, next to NumPy's raw file
functions (the memory-bandwidth floor), pypcd4 and laspy, measured in the same run.

Targets: PCD binary read at most 1.2x numpy.fromfile of the same body with a structured dtype
and at most 0.5x pypcd4; binary_compressed read at most 0.5x pypcd4; PCD binary write at most
1.3x ndarray.tofile; LAZ read at most 1.1x laspy.read plus the array copies a user would write
by hand; peak memory of any read at most 1.2x the resulting cloud (and fields) plus the file.

Peak memory is measured in a fresh interpreter: the growth of the resident-set high-water mark
(VmHWM) across one read (the reading libraries already imported).
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
from _timing import paired, remover, report
from data import bunny_points

import nubiro
from nubiro import geometry

N = 1_000_000
# The body nubiro writes by default: float32 x y z, rgb packed in a float, normal and curvature.
DTYPE = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("rgb", "<u4"), ("normal_x", "<f4"),
                  ("normal_y", "<f4"), ("normal_z", "<f4"), ("curvature", "<f4")])


def body_offset(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    return head.index(b"\nDATA ") + head[head.index(b"\nDATA ") + 1:].index(b"\n") + 2


rng = np.random.default_rng(0)
pts = bunny_points(N)
nrm = rng.normal(size=(N, 3))
nrm /= np.linalg.norm(nrm, axis=1, keepdims=True)
col = rng.integers(0, 256, size=(N, 3)) / 255.0
pc = geometry.PointCloud()
pc.points, pc.normals, pc.colors = pts, nrm, col

tmp = tempfile.mkdtemp(prefix="nubiro-bench-formats-")
binary, compressed, laz = (os.path.join(tmp, name) for name in ("b.pcd", "c.pcd", "c.laz"))
nubiro.write(binary, pc)
nubiro.write(compressed, pc, encoding="binary_compressed")
rows = np.fromfile(binary, dtype=DTYPE, offset=body_offset(binary))
raw = os.path.join(tmp, "rows.bin")

print(f"{N} points with normals and colours; {os.cpu_count()} logical processors, "
      f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}")
ours, floor = paired(lambda: nubiro.read(binary), lambda: np.fromfile(binary, dtype=DTYPE, offset=body_offset(binary)),
                     repeat=15)
report("nubiro.read (PCD binary)", ours, "numpy.fromfile (body)", floor, 1.2)
written = os.path.join(tmp, "w.pcd")
ours, peer = paired(lambda: nubiro.write(written, pc), lambda: rows.tofile(raw), repeat=15, before=remover(written, raw))
report("nubiro.write (PCD binary)", ours, "ndarray.tofile", peer, 1.3)
try:
    import pypcd4

    ours, peer = paired(lambda: nubiro.read(binary), lambda: pypcd4.PointCloud.from_path(binary), repeat=7)
    report("nubiro.read (PCD binary)", ours, "pypcd4 from_path", peer, 0.5)
    ours, peer = paired(lambda: nubiro.read(compressed), lambda: pypcd4.PointCloud.from_path(compressed), repeat=7)
    report("nubiro.read (PCD binary_compressed)", ours, "pypcd4 from_path", peer, 0.5)
except ImportError:
    print("pypcd4 not installed: skipped")

try:
    import laspy

    nubiro.write(laz, pc)

    def by_hand():
        las = laspy.read(laz)
        xyz = np.column_stack((las.x, las.y, las.z))
        rgb = np.column_stack((las.red, las.green, las.blue)) / 65535.0
        return xyz, rgb

    ours, peer = paired(lambda: nubiro.read(laz), by_hand, repeat=5)
    report("nubiro.read (LAZ)", ours, "laspy.read + copies", peer, 1.1)
except ImportError:
    print("laspy not installed: skipped")

# The optional readers' own modules are imported before measuring: the figure is the read's.
probe = """
import sys, numpy as np, nubiro
try:
    import laspy, lazrs
except ImportError:
    pass
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
before = hwm()
cloud, fields = nubiro.read(sys.argv[1], fields=True)
result = sum(np.asarray(a).nbytes for a in (cloud.points, cloud.normals, cloud.colors)) + sum(
    a.nbytes for a in fields.values())
print(hwm() - before, result)
"""
for path in (binary, compressed, laz):
    if not os.path.exists(path):
        continue
    done = subprocess.run([sys.executable, "-c", probe, path], capture_output=True, text=True, check=True)
    growth, result = map(int, done.stdout.split())
    size = os.path.getsize(path)
    ratio = growth / (result + size)
    print(f"read peak memory {os.path.basename(path)}: high-water growth {growth / 2**20:.1f} MiB, result "
          f"{result / 2**20:.1f} MiB, file {size / 2**20:.1f} MiB -> {ratio:.3f}x result + file "
          f"{'ok' if ratio <= 1.2 else 'MISSES target 1.2x'}")

for name in os.listdir(tmp):
    os.remove(os.path.join(tmp, name))
os.rmdir(tmp)
