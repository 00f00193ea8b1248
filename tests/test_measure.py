"""nubiro.measure against brute-force NumPy references."""
import math

import numpy as np
import pytest

from nubiro import measure
from nubiro.cpu.pybind import geometry
from support import cloud

NAN = math.nan
RNG = np.random.default_rng(3)


def brute_nearest(a, b):
    fin_b = np.isfinite(b).all(axis=1)
    d2 = ((a[:, None, :] - b[None, fin_b, :]) ** 2).sum(axis=2)
    return np.sqrt(d2.min(axis=1)), np.flatnonzero(fin_b)[d2.argmin(axis=1)]


@pytest.mark.parametrize("a, b", [
    (RNG.random((200, 3)), RNG.random((150, 3))),
    (RNG.random((1, 3)), RNG.random((1, 3))),
    (np.zeros((0, 3)), RNG.random((5, 3))),
    (RNG.random((50, 3)), np.r_[[[NAN, 0, 0]], RNG.random((40, 3))]),
])
def test_nearest_distances_match_brute_force(a, b):
    d, idx = measure.nearest_distances(cloud(a), cloud(b), return_indices=True)
    want_d, want_idx = brute_nearest(a, b)
    np.testing.assert_allclose(d, want_d, rtol=1e-12, atol=0)
    np.testing.assert_array_equal(idx, want_idx)
    assert idx.dtype == np.int64 and d.dtype == np.float64


def test_nearest_distances_of_non_finite_query_points():
    d, idx = measure.nearest_distances(cloud([[0, 0, 0], [NAN, 1, 1]]), cloud([[1, 0, 0]]), return_indices=True)
    assert d[0] == 1.0 and math.isnan(d[1])
    np.testing.assert_array_equal(idx, [0, -1])


def test_summary():
    a, b = RNG.random((300, 3)), RNG.random((200, 3)) + [0.2, 0, 0]
    s = measure.summary(cloud(a), cloud(b))
    ab, ba = brute_nearest(a, b)[0], brute_nearest(b, a)[0]
    assert s.mean == pytest.approx(ab.mean(), rel=1e-12)
    assert s.rms == pytest.approx(math.sqrt((ab ** 2).mean()), rel=1e-12)
    assert s.max == ab.max()
    assert s.hausdorff == max(ab.max(), ba.max())
    assert s.chamfer == pytest.approx(ab.mean() + ba.mean(), rel=1e-12)
    assert s.count == 300
    assert measure.summary(cloud(a), cloud(a)).hausdorff == 0.0


@pytest.mark.parametrize("a, b, match", [
    ([[0, 0, 0]], [], "b has no points"),
    ([[0, 0, 0]], [[NAN, 0, 0]], "b has no points"),
])
def test_nearest_without_reference_points(a, b, match):
    with pytest.raises(ValueError, match=match):
        measure.nearest_distances(cloud(a), cloud(b))


def test_summary_needs_points_on_both_sides():
    with pytest.raises(ValueError, match="a has no points"):
        measure.summary(cloud([[NAN, 0, 0]]), cloud([[0, 0, 0]]))
    with pytest.raises(ValueError, match="has no points"):
        measure.summary(cloud([[0, 0, 0]]), cloud())


def mesh(vertices, triangles):
    m = geometry.TriangleMesh()
    m.vertices = np.asarray(vertices, dtype=np.float64)
    m.triangles = np.asarray(triangles, dtype=np.int32)
    return m


def sampled_triangle_distances(points, corners):
    """Per point and triangle, the distance to the nearest of a dense barycentric grid of samples
    on the triangle: an independent upper bound, within the grid step of the true distance."""
    s, t = np.meshgrid(np.linspace(0, 1, 41), np.linspace(0, 1, 41))
    keep = (s + t) <= 1
    s, t = s[keep], t[keep]
    a, b, c = corners[:, 0], corners[:, 1], corners[:, 2]
    samples = a[:, None] + s[None, :, None] * (b - a)[:, None] + t[None, :, None] * (c - a)[:, None]
    d = np.linalg.norm(points[:, None, None, :] - samples[None], axis=3)
    return d.min(axis=2)


def test_point_to_mesh_regions_of_a_triangle():
    a, b, c = np.array([0.0, 0, 0]), np.array([2.0, 0, 0]), np.array([0.0, 2, 0])
    m = mesh([a, b, c], [[0, 1, 2]])
    pts = np.array([[0.5, 0.5, 1.0],    # above the face
                    [-1, -1, 0.0],      # corner a
                    [3, -1, 0.0],       # corner b
                    [1, -1, 2.0],       # edge ab
                    [2, 2, 0.0],        # edge bc
                    [-1, 1, 0.0]])      # edge ca
    got = measure.point_to_mesh(cloud(pts), m)
    want = [1.0, math.sqrt(2), math.sqrt(2), math.sqrt(5), math.sqrt(2), 1.0]
    np.testing.assert_allclose(got.distances, want, rtol=1e-12)
    np.testing.assert_allclose(np.linalg.norm(got.closest - pts, axis=1), got.distances, rtol=1e-12)
    np.testing.assert_array_equal(got.triangles, 0)


def test_point_to_mesh_on_a_random_mesh_matches_exhaustive_search():
    verts = RNG.random((40, 3))
    tris = RNG.integers(0, 40, (30, 3))
    tris[0] = [0, 0, 1]  # degenerate: a segment
    pts = np.r_[RNG.random((60, 3)) * 1.4 - 0.2, [[NAN, 0, 0]]]
    got = measure.point_to_mesh(cloud(pts), mesh(verts, tris))
    assert math.isnan(got.distances[-1]) and got.triangles[-1] == -1
    sampled = sampled_triangle_distances(pts[:-1], verts[tris])
    step = np.linalg.norm(verts[tris] - verts[tris][:, [1, 2, 0]], axis=2).max() / 20
    d = got.distances[:-1]
    assert np.all(d <= sampled.min(axis=1) + 1e-12)
    assert np.all(d >= sampled.min(axis=1) - step)
    np.testing.assert_allclose(np.linalg.norm(got.closest[:-1] - pts[:-1], axis=1), d, rtol=1e-12)
    # The reported triangle is one at that distance.
    assert np.all(d <= sampled[np.arange(len(d)), got.triangles[:-1]] + 1e-12)


def test_point_to_mesh_prefers_the_lowest_triangle_among_equals():
    v = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 0], [1, 0, 0], [0, 1, 0]]
    got = measure.point_to_mesh(cloud([[0.2, 0.2, 1.0]]), mesh(v, [[3, 4, 5], [0, 1, 2]]))
    np.testing.assert_array_equal(got.triangles, [0])


@pytest.mark.parametrize("verts, tris, match", [
    ([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 3]], "vertex 3"),
    ([[0, 0, 0], [1, 0, 0], [0, 1, 0]], np.zeros((0, 3)), "no triangles"),
    ([[NAN, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], "no triangles"),
])
def test_point_to_mesh_bad_mesh(verts, tris, match):
    with pytest.raises(ValueError, match=match):
        measure.point_to_mesh(cloud([[0, 0, 0]]), mesh(verts, tris))


def test_inputs_are_never_changed():
    a, b = cloud(np.r_[RNG.random((100, 3)), [[NAN, 0, 0]]]), cloud(RNG.random((80, 3)))
    m = mesh(RNG.random((30, 3)), RNG.integers(0, 30, (20, 3)))
    before = [np.array(a.points), np.array(b.points), np.array(m.vertices), np.array(m.triangles)]
    measure.nearest_distances(a, b, return_indices=True)
    measure.summary(a, b)
    measure.point_to_mesh(a, m)
    after = [np.asarray(a.points), np.asarray(b.points), np.asarray(m.vertices), np.asarray(m.triangles)]
    for x, y in zip(before, after):
        np.testing.assert_array_equal(x, y)
