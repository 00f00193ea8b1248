"""nubiro.filters against brute-force NumPy references on small clouds."""
import math

import numpy as np
import pytest

from nubiro import filters
from nubiro.cpu.pybind import geometry
from support import cloud

NAN = math.nan
RNG = np.random.default_rng(7)
RANDOM = RNG.random((300, 3))
WITH_NAN = RANDOM.copy()
WITH_NAN[[3, 50, 299]] = [[NAN, 0, 0], [0, math.inf, 0], [NAN, NAN, NAN]]
IDENTICAL = np.full((20, 3), 0.25)
CLUSTERS = np.r_[RNG.normal(0, 0.05, (100, 3)), RNG.normal(3, 0.05, (100, 3)), [[10, 10, 10], [-5, 0, 4]]]

# The cases every neighbourhood filter must get right.
CLOUDS = {
    "empty": np.zeros((0, 3)),
    "one point": np.array([[1.0, 2.0, 3.0]]),
    "two points": np.array([[0.0, 0, 0], [1.0, 0, 0]]),
    "identical": IDENTICAL,
    "random": RANDOM,
    "nan points": WITH_NAN,
    "clusters with strays": CLUSTERS,
}


def finite_rows(points):
    return np.isfinite(points).all(axis=1)


def pair_d2(points):
    d = points[:, None, :] - points[None, :, :]
    return np.einsum("ijk,ijk->ij", d, d)


def reference_statistical(points, k, ratio):
    fin = finite_rows(points)
    p = points[fin]
    means = np.full(len(points), NAN)
    if len(p):
        d = np.sqrt(np.sort(pair_d2(p), axis=1))[:, 1:k + 1]  # the point itself first, at 0
        means[fin] = d.mean(axis=1) if d.shape[1] else 0.0
    m = means[fin]
    sd = m.std(ddof=1) if len(m) > 1 else 0.0
    kept = np.flatnonzero(fin & (means <= (m.mean() if len(m) else 0.0) + ratio * sd))
    return kept, means


def reference_radius(points, min_points, radius):
    fin = finite_rows(points)
    p = points[fin]
    counts = np.zeros(len(points), dtype=int)
    counts[fin] = (pair_d2(p) <= radius * radius).sum(axis=1) - 1
    return np.flatnonzero(fin & (counts >= min_points))


@pytest.mark.parametrize("name", CLOUDS)
@pytest.mark.parametrize("k, ratio", [(1, 1.0), (6, 0.5), (30, 2.0), (1000, 1.0)])
def test_statistical_outliers_match_reference(name, k, ratio):
    points = CLOUDS[name]
    kept_cloud, kept, means = filters.remove_statistical_outliers(cloud(points), k, ratio, return_distances=True)
    want, want_means = reference_statistical(points, k, ratio)
    np.testing.assert_array_equal(kept, want)
    assert kept.dtype == np.int64
    np.testing.assert_allclose(means, want_means, rtol=1e-12, atol=1e-15)
    np.testing.assert_array_equal(np.asarray(kept_cloud.points), points[want])


def test_statistical_outliers_drop_strays():
    _, kept = filters.remove_statistical_outliers(cloud(CLUSTERS), 10, 1.0)
    assert 200 not in kept and 201 not in kept
    assert len(kept) >= 190


@pytest.mark.parametrize("name", CLOUDS)
@pytest.mark.parametrize("min_points, radius", [(1, 0.1), (4, 0.15), (19, 1e-9), (500, 10.0)])
def test_radius_outliers_match_reference(name, min_points, radius):
    points = CLOUDS[name]
    kept_cloud, kept = filters.remove_radius_outliers(cloud(points), min_points, radius)
    np.testing.assert_array_equal(kept, reference_radius(points, min_points, radius))
    np.testing.assert_array_equal(np.asarray(kept_cloud.points), points[kept])


def test_radius_counts_a_neighbour_exactly_at_the_radius():
    line = np.c_[np.arange(5.0), np.zeros(5), np.zeros(5)]  # spacing exactly 1
    _, kept = filters.remove_radius_outliers(cloud(line), 2, 1.0)
    np.testing.assert_array_equal(kept, [1, 2, 3])  # the ends have one neighbour at distance 1


def test_select_by_indices_and_mask_carries_normals_and_colours():
    pts = RNG.random((10, 3))
    normals, colors = RNG.random((10, 3)), RNG.random((10, 3))
    pc = cloud(pts, normals, colors)
    picked = filters.select(pc, [4, -1, 4, 0])
    for name, full in (("points", pts), ("normals", normals), ("colors", colors)):
        np.testing.assert_array_equal(np.asarray(getattr(picked, name)), full[[4, 9, 4, 0]])
    mask = np.zeros(10, dtype=bool)
    mask[[1, 7]] = True
    np.testing.assert_array_equal(np.asarray(filters.select(pc, mask).colors), colors[[1, 7]])
    assert len(filters.select(pc, []).points) == 0


def test_select_drops_normals_that_do_not_match_the_points():
    pc = cloud(RNG.random((5, 3)), normals=RNG.random((3, 3)))
    assert not filters.select(pc, [0, 1]).has_normals()


def test_crop_box_and_bounding_box_object():
    pts = RNG.uniform(-1, 1, (500, 3))
    pts[0] = [0.5, 0.5, 0.5]  # on the boundary: inside
    pts[1] = [NAN, 0, 0]
    lo, hi = np.array([-0.5, -0.2, -1.0]), np.array([0.5, 0.5, 0.5])
    want = np.flatnonzero(((pts >= lo) & (pts <= hi)).all(axis=1))
    _, kept = filters.crop(cloud(pts), lo, hi)
    np.testing.assert_array_equal(kept, want)
    box = geometry.AxisAlignedBoundingBox(lo, hi)
    np.testing.assert_array_equal(filters.crop(cloud(pts), box)[1], want)


def test_crop_oriented_box():
    pts = RNG.uniform(-2, 2, (2000, 3))
    a = 0.6
    rot = np.array([[math.cos(a), -math.sin(a), 0], [math.sin(a), math.cos(a), 0], [0, 0, 1]])
    center, extent = np.array([0.3, -0.2, 0.1]), np.array([2.0, 1.0, 0.5])
    local = (pts - center) @ rot
    want = np.flatnonzero((np.abs(local) <= extent / 2).all(axis=1))
    _, kept = filters.crop_oriented(cloud(pts), center, rot, extent)
    np.testing.assert_array_equal(kept, want)
    assert 0 < len(kept) < len(pts)


@pytest.mark.parametrize("axis, cols", [(2, [0, 1]), (0, [1, 2]), (1, [0, 2])])
def test_crop_polygon_l_shape(axis, cols):
    pts = RNG.uniform(-0.5, 2.5, (3000, 3))
    ell = [[0, 0], [2, 0], [2, 1], [1, 1], [1, 2], [0, 2]]
    u, v = pts[:, cols[0]], pts[:, cols[1]]
    inside = ((u > 0) & (u < 2) & (v > 0) & (v < 1)) | ((u > 0) & (u < 1) & (v > 0) & (v < 2))
    h = pts[:, axis]
    want = np.flatnonzero(inside & (h >= 0.0) & (h <= 2.0))
    _, kept = filters.crop_polygon(cloud(pts), ell, axis=axis, low=0.0, high=2.0)
    np.testing.assert_array_equal(kept, want)


def test_remove_non_finite():
    pc, kept = filters.remove_non_finite(cloud(WITH_NAN))
    np.testing.assert_array_equal(kept, np.flatnonzero(finite_rows(WITH_NAN)))
    assert np.isfinite(np.asarray(pc.points)).all()


def test_remove_exact_duplicates_keeps_the_first():
    pts = np.array([[1, 2, 3], [0, 0, 0], [1, 2, 3], [-0.0, 0, 0], [NAN, 0, 0], [NAN, 0, 0], [1, 2, 3.0000001]])
    _, kept = filters.remove_duplicates(cloud(pts))
    np.testing.assert_array_equal(kept, [0, 1, 4, 5, 6])


def greedy_unique(points, tol):
    keep = np.ones(len(points), dtype=bool)
    d2 = pair_d2(points)
    for i in range(len(points)):
        if keep[i]:
            later = np.arange(len(points)) > i
            keep[later & (d2[i] <= tol * tol)] = False
    return np.flatnonzero(keep)


@pytest.mark.parametrize("tol", [0.01, 0.05, 0.2])
def test_remove_duplicates_within_tolerance(tol):
    _, kept = filters.remove_duplicates(cloud(RANDOM), tol)
    np.testing.assert_array_equal(kept, greedy_unique(RANDOM, tol))


def test_random_sample_is_seeded_distinct_and_ordered():
    pc = cloud(RANDOM)
    a, b, c = (filters.random_sample(pc, 50, seed=s)[1] for s in (1, 1, 2))
    np.testing.assert_array_equal(a, b)
    assert not np.array_equal(a, c)
    assert len(np.unique(a)) == 50 and np.all(np.diff(a) > 0)
    np.testing.assert_array_equal(filters.random_sample(pc, 10_000)[1], np.arange(300))


def test_every_kth():
    np.testing.assert_array_equal(filters.every_kth(cloud(RANDOM), 7, offset=3)[1], np.arange(3, 300, 7))


def reference_farthest(points, count, start):
    fin = finite_rows(points)
    dist = np.where(fin, np.inf, -np.inf)
    chosen = [start]
    for _ in range(min(count, fin.sum()) - 1):
        dist = np.minimum(dist, ((points - points[chosen[-1]]) ** 2).sum(axis=1))
        dist[chosen] = -1
        dist[~fin] = -np.inf
        chosen.append(int(np.argmax(dist)))
    return chosen


@pytest.mark.parametrize("points, count, start", [(RANDOM, 40, 0), (WITH_NAN, 500, 10), (IDENTICAL, 5, 2)])
def test_farthest_point_sample_matches_reference(points, count, start):
    _, kept = filters.farthest_point_sample(cloud(points), count, start=start)
    np.testing.assert_array_equal(kept, reference_farthest(points, count, start))


EVERY_CALL = [
    lambda pc: filters.remove_statistical_outliers(pc, 5, 1.0),
    lambda pc: filters.remove_radius_outliers(pc, 3, 0.1),
    lambda pc: filters.select(pc, [0, 2]),
    lambda pc: filters.crop(pc, [0, 0, 0], [0.5, 0.5, 0.5]),
    lambda pc: filters.crop_oriented(pc, [0, 0, 0], np.eye(3), [1, 1, 1]),
    lambda pc: filters.crop_polygon(pc, [[0, 0], [1, 0], [0, 1]]),
    filters.remove_non_finite,
    lambda pc: filters.remove_duplicates(pc, 0.05),
    lambda pc: filters.random_sample(pc, 10),
    lambda pc: filters.every_kth(pc, 3),
    lambda pc: filters.farthest_point_sample(pc, 10),
]


@pytest.mark.parametrize("call", EVERY_CALL)
def test_input_cloud_is_never_changed(call):
    pc = cloud(WITH_NAN, normals=RNG.random((300, 3)), colors=RNG.random((300, 3)))
    before = [np.array(getattr(pc, n)) for n in ("points", "normals", "colors")]
    call(pc)
    for b, name in zip(before, ("points", "normals", "colors")):
        np.testing.assert_array_equal(np.asarray(getattr(pc, name)), b)


@pytest.mark.parametrize("call, error, match", [
    (lambda pc: filters.remove_statistical_outliers(pc, 0, 1.0), ValueError, "k"),
    (lambda pc: filters.remove_statistical_outliers(pc, 5, 0.0), ValueError, "std_ratio"),
    (lambda pc: filters.remove_statistical_outliers(pc, 5, NAN), ValueError, "std_ratio"),
    (lambda pc: filters.remove_statistical_outliers(pc, NAN, 1.0), ValueError, "k"),
    (lambda pc: filters.remove_radius_outliers(pc, -1, 0.1), ValueError, "min_points"),
    (lambda pc: filters.remove_radius_outliers(pc, 3, 0.0), ValueError, "radius"),
    (lambda pc: filters.remove_radius_outliers(pc, 3, NAN), ValueError, "radius"),
    (lambda pc: filters.select(pc, [300]), IndexError, "300"),
    (lambda pc: filters.select(pc, [-301]), IndexError, "-301"),
    (lambda pc: filters.select(pc, np.ones(299, dtype=bool)), ValueError, "mask"),
    (lambda pc: filters.select(pc, [[0, 1]]), ValueError, "one-dimensional"),
    (lambda pc: filters.select(pc, [0.5]), TypeError, "integers"),
    (lambda pc: filters.crop(pc, [1, 0, 0], [0, 1, 1]), ValueError, "min_bound"),
    (lambda pc: filters.crop(pc, [NAN, 0, 0], [1, 1, 1]), ValueError, "min_bound"),
    (lambda pc: filters.crop_oriented(pc, [0, 0, 0], np.eye(3), [1, -1, 1]), ValueError, "extent"),
    (lambda pc: filters.crop_polygon(pc, [[0, 0], [1, 0]]), ValueError, "polygon"),
    (lambda pc: filters.crop_polygon(pc, [[0, 0], [1, 0], [0, 1]], axis=3), ValueError, "axis"),
    (lambda pc: filters.remove_duplicates(pc, -0.1), ValueError, "tolerance"),
    (lambda pc: filters.random_sample(pc, 0), ValueError, "count"),
    (lambda pc: filters.random_sample(pc, 5, seed=-1), ValueError, "seed"),
    (lambda pc: filters.every_kth(pc, 0), ValueError, "k"),
    (lambda pc: filters.farthest_point_sample(pc, 5, start=300), ValueError, "start"),
    (lambda pc: filters.farthest_point_sample(pc, 5, start=3), ValueError, "start"),  # a NaN point
    (lambda pc: filters.remove_statistical_outliers([[0, 0, 0]], 5, 1.0), TypeError, "cloud"),
])
def test_bad_input(call, error, match):
    with pytest.raises(error, match=match):
        call(cloud(WITH_NAN))
