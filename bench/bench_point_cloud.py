"""PointCloud operations on 1_000_000 points, next to the equivalent NumPy expressions.

Targets: transform, rotate, translate, get_center, get_min_bound, normalize_normals within 1.0x
of NumPy; attribute assignment from a C-contiguous (n, 3) float64 array within 1.3x of a.copy().
"""
import numpy as np
from _timing import best, report

from nubiro import geometry

N = 1_000_000
rng = np.random.default_rng(0)
a = rng.random((N, 3))
pc = geometry.PointCloud()
pc.points = a
pc.normals = rng.random((N, 3)) - 0.5
p = np.asarray(pc.points)       # shares memory with the cloud
nrm = np.asarray(pc.normals)
work = a.copy()
wn = np.asarray(pc.normals).copy()

R = geometry.get_rotation_matrix_from_xyz([0.1, 0.2, 0.3])
T = np.eye(4)
T[:3, :3] = R
T[:3, 3] = [1.0, 2.0, 3.0]
t = np.array([1.0, 2.0, 3.0])
c = np.array([0.5, 0.5, 0.5])


def np_transform():
    # points only, written back in place (the cloud also transforms its normals)
    work[:] = work @ T[:3, :3].T + T[:3, 3]


def np_transform_with_normals():
    np_transform()
    wn[:] = wn @ R  # inverse-transpose of a rotation is itself
    np.divide(wn, np.linalg.norm(wn, axis=1, keepdims=True), out=wn)


def np_rotate():
    work[:] = (work - c) @ R.T + c


def np_translate():
    np.add(work, t, out=work)


def np_normalize():
    np.divide(wn, np.linalg.norm(wn, axis=1, keepdims=True), out=wn)


cloud_only = geometry.PointCloud()
cloud_only.points = a

report("transform (points)", best(lambda: cloud_only.transform(T)), "p @ R.T + t (in place)", best(np_transform), 1.0)
report("transform (points + normals)", best(lambda: pc.transform(T)), "numpy points + normals",
       best(np_transform_with_normals), 1.0)
report("rotate(R, center)", best(lambda: cloud_only.rotate(R, c)), "(p - c) @ R.T + c", best(np_rotate), 1.0)
report("translate(t)", best(lambda: cloud_only.translate(t)), "p += t", best(np_translate), 1.0)
report("get_center()", best(pc.get_center), "p.mean(axis=0)", best(lambda: p.mean(axis=0)), 1.0)
report("get_min_bound()", best(pc.get_min_bound), "np.nanmin(p, axis=0)", best(lambda: np.nanmin(p, axis=0)), 1.0)
report("get_min_bound()", best(pc.get_min_bound), "p.min(axis=0) (no NaN skip)", best(lambda: p.min(axis=0)))
report("normalize_normals()", best(pc.normalize_normals), "n /= norm(n)", best(np_normalize), 1.0)


def assign():
    pc.points = a


report("pc.points = a", best(assign), "a.copy()", best(a.copy), 1.3)
