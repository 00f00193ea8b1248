"""Outlier removal, sampling, segmentation and distances give the same bytes for 1 and 3 worker
threads (each run in a fresh interpreter, as the pool size is fixed per process)."""

SNIPPET = """
import hashlib, numpy as np
from nubiro import filters, measure, segmentation
from nubiro.cpu.pybind import geometry as g

rng = np.random.default_rng(0)
floor = np.c_[rng.uniform(-2, 2, (40000, 2)), rng.normal(0, 0.004, 40000)]
blobs = rng.uniform(-1.5, 1.5, (12, 3))[rng.integers(0, 12, 30000)] + rng.normal(0, 0.08, (30000, 3))
pts = np.r_[floor, blobs, rng.uniform(-2, 2, (3000, 3))]
pts[::997] = np.nan
pc = g.PointCloud(); pc.points = pts
other = g.PointCloud(); other.points = pts[::3] + 0.01
mesh = g.TriangleMesh(); mesh.vertices = rng.uniform(-2, 2, (300, 3)); mesh.triangles = rng.integers(0, 300, (400, 3)).astype(np.int32)

def out(*arrays):
    h = hashlib.sha256()
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())
    print(h.hexdigest())

kept, idx, means = filters.remove_statistical_outliers(pc, 20, 1.0, return_distances=True)
out(np.asarray(kept.points), idx, means)
out(filters.remove_radius_outliers(pc, 8, 0.05)[1])
out(filters.remove_duplicates(pc, 0.01)[1], filters.remove_duplicates(pc)[1])
out(filters.farthest_point_sample(pc, 200, start=1)[1], filters.random_sample(pc, 999, seed=4)[1])
out(filters.crop(pc, [-1, -1, -0.5], [1, 1, 0.5])[1])
for probability in (1.0, 0.99):
    plane = segmentation.segment_plane(pc, 0.01, iterations=300, probability=probability, seed=9)
    out(plane.model, plane.inliers, np.float64(plane.rmse))
planes, rest = segmentation.segment_planes(pc, 0.01, 2, iterations=100)
out(rest, *[p.model for p in planes])
out(segmentation.dbscan(pc, 0.05, 10))
out(*segmentation.euclidean_clusters(pc, 0.03, min_size=5))
d, i = measure.nearest_distances(pc, other, return_indices=True)
out(d, i)
m = measure.point_to_mesh(other, mesh)
out(m.distances, m.triangles, m.closest)
"""


def test_same_bytes_for_any_thread_count(run_python):
    one = run_python(SNIPPET, RAYON_NUM_THREADS="1")
    assert len(one.split()) == 12  # every step printed
    assert one == run_python(SNIPPET, RAYON_NUM_THREADS="3")
