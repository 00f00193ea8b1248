"""nubiro.segmentation: plane RANSAC on synthetic scenes, DBSCAN against scikit-learn, Euclidean
clusters against a brute-force reference."""
import math

import numpy as np
import pytest

from nubiro import segmentation
from support import cloud

NAN = math.nan


def noisy_plane(normal, d, n=4000, noise=0.005, outliers=1500, seed=0):
    """Points near the plane n.x + d = 0 plus uniform outliers in the same box."""
    rng = np.random.default_rng(seed)
    normal = np.asarray(normal, dtype=float) / np.linalg.norm(normal)
    u = np.cross(normal, [1.0, 0, 0] if abs(normal[0]) < 0.9 else [0, 1.0, 0])
    u /= np.linalg.norm(u)
    v = np.cross(normal, u)
    st = rng.uniform(-1, 1, (n, 2))
    on = -d * normal + st[:, :1] * u + st[:, 1:] * v + rng.normal(0, noise, (n, 1)) * normal
    return np.r_[on, rng.uniform(-1.5, 1.5, (outliers, 3))]


def angle_degrees(a, b):
    return math.degrees(math.acos(min(1.0, abs(float(np.dot(a, b))))))


@pytest.mark.parametrize("normal, d", [([0, 0, 1], 0.2), ([1, 2, -3], -0.1), ([-1, 0.1, 0], 0.0)])
def test_segment_plane_recovers_a_noisy_plane(normal, d):
    pts = noisy_plane(normal, d)
    found = segmentation.segment_plane(cloud(pts), 0.02, iterations=200, seed=3)
    unit = np.asarray(normal, float) / np.linalg.norm(normal)
    assert angle_degrees(found.model[:3], unit) < 0.5
    assert abs(np.linalg.norm(found.model[:3]) - 1) < 1e-12
    assert np.argmax(np.abs(found.model[:3])) == np.argmax(found.model[:3])  # sign convention
    dist = np.abs(pts @ found.model[:3] + found.model[3])
    np.testing.assert_array_equal(found.inliers, np.flatnonzero(dist <= 0.02))
    assert found.inliers.dtype == np.int64
    assert found.rmse == pytest.approx(math.sqrt(np.mean(dist[found.inliers] ** 2)), rel=1e-9)
    assert np.isin(np.arange(4000), found.inliers).mean() > 0.99


def test_segment_plane_is_seeded_and_skips_non_finite_points():
    pts = noisy_plane([0, 0, 1], 0.0, n=500, outliers=500)
    pts[[0, 10]] = NAN
    a = segmentation.segment_plane(cloud(pts), 0.02, iterations=50, seed=5)
    b = segmentation.segment_plane(cloud(pts), 0.02, iterations=50, seed=5)
    np.testing.assert_array_equal(a.model, b.model)
    np.testing.assert_array_equal(a.inliers, b.inliers)
    assert 0 not in a.inliers and 10 not in a.inliers


def test_adaptive_stop_finds_the_same_clear_plane():
    pts = noisy_plane([0, 1, 0], 0.3, outliers=200)
    full = segmentation.segment_plane(cloud(pts), 0.02)
    early = segmentation.segment_plane(cloud(pts), 0.02, probability=0.99)
    assert angle_degrees(full.model[:3], early.model[:3]) < 0.5


def test_segment_planes_peels_floor_and_wall():
    rng = np.random.default_rng(1)
    floor = np.c_[rng.uniform(0, 2, (3000, 2)), rng.normal(0, 0.003, 3000)]
    wall = np.c_[rng.uniform(0, 2, 1500), rng.normal(2, 0.003, 1500), rng.uniform(0.1, 1, 1500)]
    junk = rng.uniform(0, 2, (100, 3))
    pts = np.r_[floor, wall, junk]
    planes, rest = segmentation.segment_planes(cloud(pts), 0.01, 3, min_inliers=500)
    assert len(planes) == 2
    assert angle_degrees(planes[0].model[:3], [0, 0, 1]) < 0.5
    assert angle_degrees(planes[1].model[:3], [0, 1, 0]) < 0.5
    assert np.isin(np.arange(3000), planes[0].inliers).mean() > 0.99
    taken = np.concatenate([p.inliers for p in planes])
    assert len(np.intersect1d(planes[0].inliers, planes[1].inliers)) == 0
    np.testing.assert_array_equal(np.sort(np.r_[taken, rest]), np.arange(len(pts)))


@pytest.mark.parametrize("pts, match", [
    (np.zeros((2, 3)), "at least 3"),
    (np.array([[0, 0, 0], [1, 0, 0], [NAN, 0, 0]]), "at least 3"),
    (np.c_[np.arange(10.0), np.zeros(10), np.zeros(10)], "collinear"),
    (np.zeros((10, 3)), "collinear"),
])
def test_segment_plane_without_a_plane(pts, match):
    with pytest.raises(ValueError, match=match):
        segmentation.segment_plane(cloud(pts), 0.1)


# ---- DBSCAN --------------------------------------------------------------------------------------

sklearn_cluster = pytest.importorskip("sklearn.cluster")


def blobs(seed, n=600):
    rng = np.random.default_rng(seed)
    centers = rng.uniform(0, 4, (6, 3))
    pts = centers[rng.integers(0, 6, n)] + rng.normal(0, 0.25, (n, 3))
    return np.r_[pts, rng.uniform(-1, 5, (n // 5, 3))]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("eps, min_points", [(0.15, 4), (0.3, 10), (0.5, 1), (0.25, 30)])
def test_dbscan_labels_equal_scikit_learn(seed, eps, min_points):
    pts = blobs(seed)
    want = sklearn_cluster.DBSCAN(eps=eps, min_samples=min_points, algorithm="kd_tree").fit(pts).labels_
    got = segmentation.dbscan(cloud(pts), eps, min_points)
    assert got.dtype == np.int64
    np.testing.assert_array_equal(got, want)


def test_dbscan_border_point_and_exact_eps():
    # On a line: cluster 0 has core points at 4 and 5, cluster 1 at 1 and 2. The point at 3 lies
    # exactly eps from a core point of each but has only three neighbours, itself included, so it
    # is a border point and goes to the lower-numbered cluster.
    xs = [4, 4.5, 5, 6, 0, 1, 1.5, 2, 3, 9]
    pts = np.c_[xs, np.zeros(10), np.zeros(10)]
    got = segmentation.dbscan(cloud(pts), 1.0, 4)
    want = sklearn_cluster.DBSCAN(eps=1.0, min_samples=4, algorithm="kd_tree").fit(pts).labels_
    np.testing.assert_array_equal(got, want)
    np.testing.assert_array_equal(got, [0, 0, 0, 0, 1, 1, 1, 1, 0, -1])


@pytest.mark.parametrize("pts, want", [
    (np.zeros((0, 3)), []),
    (np.array([[1.0, 1, 1]]), [-1]),
    (np.zeros((5, 3)), [0] * 5),
    (np.array([[0, 0, 0], [NAN, 0, 0], [0, 0, 0.1]]), [0, -1, 0]),
])
def test_dbscan_small_cases(pts, want):
    np.testing.assert_array_equal(segmentation.dbscan(cloud(pts), 0.5, 2), want)


# ---- Euclidean clusters --------------------------------------------------------------------------


def reference_components(points, tol):
    fin = np.flatnonzero(np.isfinite(points).all(axis=1))
    p = points[fin]
    d = p[:, None, :] - p[None, :, :]
    adj = np.einsum("ijk,ijk->ij", d, d) <= tol * tol
    label = -np.ones(len(p), dtype=int)
    comps = []
    for s in range(len(p)):
        if label[s] >= 0:
            continue
        label[s] = len(comps)
        stack, members = [s], []
        while stack:
            i = stack.pop()
            members.append(i)
            for j in np.flatnonzero(adj[i] & (label < 0)):
                label[j] = len(comps)
                stack.append(j)
        comps.append(np.sort(fin[members]))
    return sorted(comps, key=lambda c: (-len(c), c[0]))


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("tol", [0.1, 0.3])
def test_euclidean_clusters_match_reference(seed, tol):
    pts = blobs(seed, 300)
    pts[5] = NAN
    got = segmentation.euclidean_clusters(cloud(pts), tol)
    want = reference_components(pts, tol)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w)
    sized = segmentation.euclidean_clusters(cloud(pts), tol, min_size=3, max_size=50)
    assert [list(c) for c in sized] == [list(w) for w in want if 3 <= len(w) <= 50]


@pytest.mark.parametrize("pts, want", [
    (np.zeros((0, 3)), []),
    (np.array([[1.0, 1, 1]]), [[0]]),
    (np.zeros((5, 3)), [[0, 1, 2, 3, 4]]),
    (np.full((3, 3), NAN), []),
    (np.array([[0, 0, 0], [NAN, 0, 0], [0, 0, 0.5], [0, 0, 2], [0, 0, 2.5]]), [[0, 2], [3, 4]]),
    (np.array([[0, 0, 0], [0, 0, 0.5000001], [-0.5, 0, 0]]), [[0, 2], [1]]),  # just beyond the tolerance
])
def test_euclidean_clusters_small_cases(pts, want):
    assert [list(c) for c in segmentation.euclidean_clusters(cloud(pts), 0.5)] == want


@pytest.mark.parametrize("offset", [0.0, 1e12])  # far out, the extent is too large for a grid of cells
def test_links_exactly_at_the_tolerance_near_and_far_from_the_origin(offset):
    pts = np.random.default_rng(4).integers(0, 8, (400, 3)).astype(float) + offset  # neighbours 1 apart
    pts[::5, 2] += 0.5  # and some half-way between
    got = segmentation.euclidean_clusters(cloud(pts), 1.0)
    want = reference_components(pts - offset, 1.0)
    assert [list(c) for c in got] == [list(w) for w in want]
    labels = sklearn_cluster.DBSCAN(eps=1.0, min_samples=4, algorithm="kd_tree").fit(pts - offset).labels_
    np.testing.assert_array_equal(segmentation.dbscan(cloud(pts), 1.0, 4), labels)


@pytest.mark.parametrize("call, match", [
    (lambda pc: segmentation.segment_plane(pc, 0.0), "distance"),
    (lambda pc: segmentation.segment_plane(pc, NAN), "distance"),
    (lambda pc: segmentation.segment_plane(pc, 0.1, iterations=0), "iterations"),
    (lambda pc: segmentation.segment_plane(pc, 0.1, probability=0.0), "probability"),
    (lambda pc: segmentation.segment_planes(pc, 0.1, 0), "count"),
    (lambda pc: segmentation.dbscan(pc, 0.0, 5), "eps"),
    (lambda pc: segmentation.dbscan(pc, NAN, 5), "eps"),
    (lambda pc: segmentation.dbscan(pc, 0.1, 0), "min_points"),
    (lambda pc: segmentation.euclidean_clusters(pc, -1.0), "tolerance"),
    (lambda pc: segmentation.euclidean_clusters(pc, 0.1, min_size=0), "min_size"),
    (lambda pc: segmentation.euclidean_clusters(pc, 0.1, min_size=5, max_size=4), "max_size"),
])
def test_bad_input(call, match):
    pc = cloud(blobs(0, 50))
    before = np.array(pc.points)
    with pytest.raises(ValueError, match=match):
        call(pc)
    np.testing.assert_array_equal(np.asarray(pc.points), before)


@pytest.mark.parametrize("call", [
    lambda pc: segmentation.segment_plane(pc, 0.1, iterations=20),
    lambda pc: segmentation.segment_planes(pc, 0.1, 2, iterations=20),
    lambda pc: segmentation.dbscan(pc, 0.3, 4),
    lambda pc: segmentation.euclidean_clusters(pc, 0.3),
])
def test_input_cloud_is_never_changed(call):
    pts = blobs(1, 200)
    pts[7] = NAN
    rng = np.random.default_rng(2)
    pc = cloud(pts, normals=rng.random(pts.shape), colors=rng.random(pts.shape))
    before = [np.array(getattr(pc, n)) for n in ("points", "normals", "colors")]
    call(pc)
    for b, name in zip(before, ("points", "normals", "colors")):
        np.testing.assert_array_equal(np.asarray(getattr(pc, name)), b)
