"""Choosing the signs of normals: towards a direction, towards a camera, and consistently
between neighbours along a spanning tree."""
import math
import re

import numpy as np
import pytest

from nubiro.cpu.pybind import _internal, geometry

NO_NORMALS = "No normals in the PointCloud. Call EstimateNormals() first."


def normals_of(pc):
    return np.asarray(pc.normals).copy()


# ---- the algorithm spelled out plainly, as a slow reference for small clouds ------------------------

def _dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


class _Forest:
    def __init__(self, n):
        self.parent, self.size = list(range(n)), [1] * n

    def find(self, x):
        p = self.parent
        while p[x] != x:
            p[x] = p[p[x]]
            x = p[x]
        return x

    def unite(self, a, b):
        ra, rb = self.find(a), self.find(b)
        if ra == rb:
            return False
        child, root = (ra, rb) if self.size[ra] < self.size[rb] else (rb, ra)
        self.parent[child] = root
        self.size[root] += self.size[child]
        return True


def _kruskal(edges, n):
    order = _internal.fixed_sort_order([w for _, _, w in edges])
    forest, tree = _Forest(n), []
    for e in (edges[i] for i in order):
        if forest.unite(e[0], e[1]):
            tree.append(e)
    return tree


def reference_orientation(points, normals, k, lam=0.0, tol=1.0):
    pts = [tuple(map(float, p)) for p in points]
    nrm = [list(map(float, v)) for v in normals]
    n = len(pts)
    pc = geometry.PointCloud()
    pc.points = np.asarray(points, dtype=np.float64)
    index = geometry.KDTreeFlann(pc)

    def knn(i, count):
        c, idx, d2 = index.search_knn_vector_3d(np.array(pts[i]), count)
        return list(idx)[:max(c, 0)], list(d2)[:max(c, 0)]

    kk = k if k >= 3 else 2
    q = kk & 0xFFFFFFFF
    q = q - (1 << 32) if q >= 1 << 31 else q
    lists = [knn(i, q)[0] if q >= 0 else [] for i in range(n)]

    def cone(i, j):
        d = tuple(pts[j][c] - pts[i][c] for c in range(3))
        a = abs(_dot(nrm[i], d))
        l2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2]
        try:
            ratio = a / math.sqrt(l2)
        except ZeroDivisionError:
            ratio = math.nan if a == 0 else math.inf
        return not ratio > tol, a, l2

    edges = []
    for i in range(n):
        for j in lists[i]:
            if j != i:
                keep, a, l2 = cone(i, j)
                if keep:
                    edges.append((i, j, l2 + a * lam))
    t1 = _kruskal(edges, n)
    forest = _Forest(n)
    for a, b, _ in t1:
        forest.unite(a, b)
    # Points that are not finite are in no list: left out, and the root is the first finite point.
    finite = [all(math.isfinite(c) for c in p) for p in pts]
    first_finite = next((i for i in range(n) if finite[i]), None)
    while first_finite is not None:
        r0 = forest.find(first_finite)
        outside = [m for m in range(n) if finite[m] and forest.find(m) != r0]
        if not outside:
            break
        root = forest.find(outside[0])
        best = None
        for u in (p for p in range(n) if forest.find(p) == root):
            cap = min(n, kk + 1)
            while True:
                idx, d2 = knn(u, cap)
                hit = next(((w, d) for w, d in zip(idx, d2) if forest.find(w) != root), None)
                if hit or cap >= n:
                    break
                cap = min(2 * cap, n)
            if hit and (best is None or hit[1] < best[2]):
                best = (u, hit[0], hit[1])
        if best is None:
            break
        t1.append(best)
        forest.unite(best[0], best[1])
    t1 = [(a, b, 1.0 - abs(_dot(nrm[a], nrm[b]))) for a, b, _ in t1]
    for i in range(n):
        for j in lists[i][:k]:
            if j != i and cone(i, j)[0]:
                t1.append((i, j, 1.0 - abs(_dot(nrm[i], nrm[j]))))
    t2 = _kruskal(t1, n)
    adjacency = [[] for _ in range(n)]
    for a, b, _ in t2:
        adjacency[a].append(b)
        adjacency[b].append(a)
    s = first_finite if first_finite is not None else 0
    for i in range(s + 1, n):
        if finite[i] and pts[s][2] > pts[i][2]:
            s = i
    if 0.0 * nrm[s][0] + 0.0 * nrm[s][1] < nrm[s][2]:
        nrm[s] = [-c for c in nrm[s]]
    visited, queue = {s}, [s]
    while queue:
        v = queue.pop(0)
        for w in adjacency[v]:
            if w in visited:
                continue
            visited.add(w)
            if _dot(nrm[v], nrm[w]) < 0:
                nrm[w] = [-c for c in nrm[w]]
            queue.append(w)
    return np.array(nrm)


# ---- fixtures -------------------------------------------------------------------------------------

def sphere(n, seed, flip=True):
    """Points on the unit sphere with their outward normals, randomly flipped."""
    rng = np.random.default_rng(seed)
    p = rng.normal(size=(n, 3))
    p /= np.linalg.norm(p, axis=1, keepdims=True)
    sign = rng.choice([-1.0, 1.0], size=(n, 1)) if flip else 1.0
    return p, p * sign


def clusters(seed, count=6, size=12, spread=0.05, gap=3.0):
    """Small blobs spread far apart, each with noisy random normals."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-gap, gap, size=(count, 3))
    pts = np.concatenate([c + spread * rng.normal(size=(size, 3)) for c in centres])
    nrm = rng.normal(size=pts.shape)
    nrm /= np.linalg.norm(nrm, axis=1, keepdims=True)
    return pts, nrm


def grid(nx, ny):
    x, y = np.meshgrid(np.arange(nx, dtype=float), np.arange(ny, dtype=float), indexing="ij")
    return np.column_stack([x.ravel(), y.ravel(), np.zeros(nx * ny)])


# ---- direction and camera -------------------------------------------------------------------------

def test_align_with_direction(make_cloud):
    pts = np.zeros((5, 3))
    nrm = [[0, 0, -2], [1, 0, 0], [0, 0, 0], [0.5, 0, 0.1], [np.nan, 0, 1]]
    pc = make_cloud(pts, nrm)
    assert pc.orient_normals_to_align_with_direction() is None
    # Flipped into the half-space; perpendicular and NaN left alone; zero becomes (0, 0, 1).
    np.testing.assert_array_equal(normals_of(pc), [[0, 0, 2], [1, 0, 0], [0, 0, 1], [0.5, 0, 0.1], [np.nan, 0, 1]])
    pc.normals = [[0, 0, 0], [0, 0, 1], [1, 1, 1]]
    pc.points = np.zeros((3, 3))
    pc.orient_normals_to_align_with_direction(orientation_reference=np.array([0.0, 0.0, 5.0]))
    np.testing.assert_array_equal(normals_of(pc), [[0, 0, 5], [0, 0, 1], [1, 1, 1]])
    pc.orient_normals_to_align_with_direction([-1, 0, 0])
    np.testing.assert_array_equal(normals_of(pc), [[0, 0, 5], [0, 0, 1], [-1, -1, -1]])


def test_towards_camera(make_cloud):
    pts = [[0, 0, 0], [3, 4, 0], [1, 0, 0], [0, 0, 2]]
    nrm = [[0, 0, 0], [0, 0, 0], [1, 0, 0], [0, 0, 1]]
    pc = make_cloud(pts, nrm)
    assert pc.orient_normals_towards_camera_location() is None
    # Zero at the camera -> (0, 0, 1); zero elsewhere -> unit vector to the camera.
    np.testing.assert_array_equal(normals_of(pc), [[0, 0, 1], [-0.6, -0.8, 0], [-1, 0, 0], [0, 0, -1]])
    pc.orient_normals_towards_camera_location(camera_location=[0, 0, 10])
    np.testing.assert_array_equal(normals_of(pc)[[0, 3]], [[0, 0, 1], [0, 0, 1]])


@pytest.mark.parametrize("call", [
    lambda pc: pc.orient_normals_to_align_with_direction(),
    lambda pc: pc.orient_normals_towards_camera_location([1, 2, 3]),
    lambda pc: pc.orient_normals_consistent_tangent_plane(5),
])
@pytest.mark.parametrize("normals", [None, [[0, 0, 1]], "empty"])
def test_missing_normals_raise_and_change_nothing(make_cloud, call, normals):
    pc = make_cloud([] if normals == "empty" else [[0, 0, 0], [1, 0, 0]],
                    None if normals == "empty" else normals)
    before = normals_of(pc)
    with pytest.raises(RuntimeError, match=f"^{re.escape(NO_NORMALS)}$"):
        call(pc)
    np.testing.assert_array_equal(normals_of(pc), before)


def test_argument_conversion(make_cloud):
    pc = make_cloud([[0, 0, 0]], [[0, 0, 1]])
    with pytest.raises(OverflowError):
        pc.orient_normals_consistent_tangent_plane(-1)
    with pytest.raises(TypeError, match="^argument 'k': "):
        pc.orient_normals_consistent_tangent_plane(2.0)
    with pytest.raises(TypeError, match="^argument 'lambda': "):
        pc.orient_normals_consistent_tangent_plane(3, "x")
    with pytest.raises(TypeError):
        pc.orient_normals_to_align_with_direction([1, 2])
    np.testing.assert_array_equal(normals_of(pc), [[0, 0, 1]])
    pc.orient_normals_consistent_tangent_plane(np.int64(3), **{"lambda": 0.5, "cos_alpha_tol": 0.9})


def test_docstrings_and_signatures():
    pc = geometry.PointCloud
    assert pc.orient_normals_to_align_with_direction.__text_signature__ == "($self, orientation_reference=None)"
    assert pc.orient_normals_towards_camera_location.__doc__.startswith(
        "Function to orient the normals of a point cloud.\n\nArgs:\n    camera_location (numpy.ndarray")
    assert pc.orient_normals_consistent_tangent_plane.__doc__.endswith(
        "treshold that\n        defines the amplitude of the cone spanned by the reference\n        normal.\n\nReturns:\n    None")


# ---- tangent planes -------------------------------------------------------------------------------

@pytest.mark.parametrize("normal, expected", [
    ([0.6, 0.0, 0.8], [-0.6, 0.0, -0.8]),
    ([0.6, 0.0, -0.8], [0.6, 0.0, -0.8]),
    ([0.6, 0.0, 0.0], [0.6, 0.0, 0.0]),
    ([np.inf, 0.0, 1.0], [np.inf, 0.0, 1.0]),  # 0 * inf is NaN: no comparison holds
])
def test_single_point_seed(make_cloud, normal, expected):
    pc = make_cloud([[1, 2, 3]], [normal])
    pc.orient_normals_consistent_tangent_plane(0)
    np.testing.assert_array_equal(normals_of(pc)[0], expected)


@pytest.mark.parametrize("k", [0, 1, 4, 10])
def test_alternating_grid_turns_down(make_cloud, k):
    pts = grid(7, 6)
    nrm = np.zeros_like(pts)
    nrm[:, 2] = np.where(np.arange(len(pts)) % 2 == 0, 1.0, -1.0)
    pc = make_cloud(pts, nrm)
    pc.orient_normals_consistent_tangent_plane(k)
    np.testing.assert_array_equal(normals_of(pc), np.tile([0.0, 0.0, -1.0], (len(pts), 1)))


def test_seed_is_the_first_lowest_point(make_cloud):
    # Two blobs that never join; the seed decides which one is oriented.
    pts = [[0, 0, 1], [0.1, 0, 1], [5, 5, 0], [5.1, 5, 0], [5, 5.1, 0]]
    nrm = [[0, 0, 1], [0, 0, -1], [0, 0, -1], [0, 0, 1], [0, 0, 1]]
    pc = make_cloud(pts, nrm)
    pc.orient_normals_consistent_tangent_plane(3)
    # Everything is joined and oriented from point 2 (the first point at z = 0), turned down.
    np.testing.assert_array_equal(normals_of(pc)[:, 2], [-1, -1, -1, -1, -1])


def test_two_separated_clusters_are_joined(make_cloud):
    rng = np.random.default_rng(3)
    a = rng.normal(scale=0.05, size=(40, 3))
    b = rng.normal(scale=0.05, size=(40, 3)) + [10, 0, 0]
    pts = np.concatenate([a, b])
    pts[:, 2] *= 0.01  # two flat patches, normals along z
    signs = rng.choice([-1.0, 1.0], size=80)
    nrm = np.zeros_like(pts)
    nrm[:, 2] = signs
    pc = make_cloud(pts, nrm)
    pc.orient_normals_consistent_tangent_plane(6)
    out = normals_of(pc)
    # One seed orients both clusters.
    np.testing.assert_array_equal(out[:, 2], np.full(80, -1.0))
    np.testing.assert_array_equal(out, reference_orientation(pts, nrm, 6))


CASES = [
    # (name, cloud, k, lambda, cos_alpha_tol)
    ("sphere k=8", lambda: sphere(150, 1), 8, 0.0, 1.0),
    ("sphere lambda and cone", lambda: sphere(150, 2), 7, 2.5, 0.3),
    ("sphere k=1", lambda: sphere(120, 3), 1, 0.0, 1.0),
    ("clusters k=0", lambda: clusters(4), 0, 0.0, 1.0),
    ("clusters k=4 narrow cone", lambda: clusters(5, count=8, size=6), 4, 1.0, 0.0),
    ("clusters k=2", lambda: clusters(6, count=10, size=5, gap=1.0), 2, 0.0, 0.5),
    ("many tiny components", lambda: clusters(7, count=40, size=2, spread=0.3, gap=2.0), 0, 0.0, 1.0),
    # Components of a few hundred points: members bounded by their nearest outsider, and a
    # component that grows by another before it reaches point 0's.
    ("large components", lambda: clusters(22, count=3, size=300, spread=0.3), 5, 0.0, 1.0),
    ("large components, growing", lambda: clusters(21, count=3, size=300, spread=0.3), 5, 0.0, 1.0),
    ("huge k", lambda: clusters(8, count=3, size=10), 1000, 0.0, 1.0),
    ("k beyond 31 bits", lambda: sphere(40, 9), 2**31 + 7, 0.0, 1.0),
    ("k beyond 32 bits", lambda: clusters(9, count=4, size=5), 2**32 + 3, 0.0, 1.0),
    ("largest k", lambda: clusters(10, count=4, size=5), 2**64 - 1, 0.0, 1.0),
    ("duplicates", lambda: (np.repeat(sphere(30, 10)[0], 3, axis=0), np.repeat(sphere(30, 10)[1], 3, axis=0)), 5, 0.0, 1.0),
    ("flat grid with ties", lambda: (grid(6, 5), np.random.default_rng(11).choice([-1.0, 1.0], (30, 1)) * [0.0, 0.6, 0.8]),
     5, 0.0, 1.0),
]


@pytest.mark.parametrize("name, make, k, lam, tol", CASES, ids=[c[0] for c in CASES])
def test_matches_the_step_by_step_reference(make_cloud, name, make, k, lam, tol):
    pts, nrm = make()
    pc = make_cloud(pts, nrm)
    pc.orient_normals_consistent_tangent_plane(k, lam, tol)
    np.testing.assert_array_equal(normals_of(pc), reference_orientation(pts, nrm, k, lam, tol))


@pytest.mark.parametrize("n", [2_000, 40_000])
def test_sphere_comes_out_consistent(make_cloud, n):
    pts, nrm = sphere(n, 12)
    pc = make_cloud(pts, nrm)
    pc.orient_normals_consistent_tangent_plane(10)
    out = normals_of(pc)
    # Only signs change, and they all agree (outward everywhere, or inward everywhere).
    np.testing.assert_array_equal(np.abs(out), np.abs(nrm))
    side = np.sign(np.einsum("ij,ij->i", out, pts))
    assert abs(side.sum()) == n


def test_sphere_with_estimated_normals_comes_out_consistent(make_cloud):
    pts, _ = sphere(40_000, 14, flip=False)
    pc = make_cloud(pts)
    pc.estimate_normals(geometry.KDTreeSearchParamKNN(30))
    flips = np.random.default_rng(15).choice([-1.0, 1.0], size=(len(pts), 1))
    pc.normals = np.asarray(pc.normals) * flips
    pc.orient_normals_consistent_tangent_plane(10)
    side = np.sign(np.einsum("ij,ij->i", np.asarray(pc.normals), pts))
    assert abs(side.sum()) == len(pts)


def test_nan_input_finishes_and_keeps_signs_only(make_cloud):
    pts, nrm = sphere(300, 13)
    pts[[5, 77]] = np.nan
    nrm[[9, 100]] = [np.nan, 0, 1]
    pc = make_cloud(pts, nrm)
    pc.orient_normals_consistent_tangent_plane(6, np.nan, np.nan)
    out = normals_of(pc)
    np.testing.assert_array_equal(np.abs(out), np.abs(nrm))
    np.testing.assert_array_equal(out, reference_orientation(pts, nrm, 6, np.nan, np.nan))
    pc.normals = nrm
    pc.orient_normals_consistent_tangent_plane(6)
    np.testing.assert_array_equal(normals_of(pc), reference_orientation(pts, nrm, 6))


@pytest.mark.parametrize("nan_at", [[0], [0, 1, 50], [30, 95]])
def test_points_that_are_not_finite_change_nothing_for_the_others(make_cloud, nan_at):
    # Three clusters to join; points that are not finite, the first one among them, neither
    # stop the joining nor make it search the whole cloud for them.
    pts, nrm = clusters(16, count=3, size=40, spread=0.2)
    pc = make_cloud(pts, nrm)
    pc.orient_normals_consistent_tangent_plane(5)
    alone = normals_of(pc)
    with_nan = np.insert(pts, nan_at, np.nan, axis=0)
    with_nan_normals = np.insert(nrm, nan_at, [0.0, 0.0, 1.0], axis=0)
    pc = make_cloud(with_nan, with_nan_normals)
    pc.orient_normals_consistent_tangent_plane(5)
    out = normals_of(pc)
    finite = np.isfinite(with_nan).all(axis=1)
    np.testing.assert_array_equal(out[finite], alone)
    np.testing.assert_array_equal(out[~finite], with_nan_normals[~finite])
    np.testing.assert_array_equal(out, reference_orientation(with_nan, with_nan_normals, 5))


def test_identical_for_any_thread_count(run_python):
    code = """
import hashlib, numpy as np
from nubiro.cpu.pybind import geometry
rng = np.random.default_rng(5)
p = rng.normal(size=(60_000, 3)); p /= np.linalg.norm(p, axis=1, keepdims=True)
p[:30_000, 0] += 3.0  # two shells, joined by the component step
flipped = p * rng.choice([-1.0, 1.0], size=(60_000, 1))
x, y = np.meshgrid(np.arange(240.0), np.arange(240.0))
grid = np.column_stack([x.ravel(), y.ravel(), np.zeros(x.size)])  # every weight tied many times
# With lambda = 0 every edge's reverse has the same weight; a NaN lambda makes every weight NaN.
for points, normals, args in [(p, flipped, (7, 0.5, 0.9)), (p, flipped, (10,)), (p, flipped, (6, float("nan"))),
                              (grid, flipped[:grid.shape[0]], (8,))]:
    pc = geometry.PointCloud(); pc.points = points; pc.normals = normals
    pc.orient_normals_consistent_tangent_plane(*args)
    print(hashlib.sha256(np.asarray(pc.normals).tobytes()).hexdigest())
"""
    assert run_python(code, RAYON_NUM_THREADS="1") == run_python(code, RAYON_NUM_THREADS="3")


def test_holds_write_access(make_cloud, held):
    pc = make_cloud([[0, 0, 0], [1, 0, 0]], [[0, 0, 1], [0, 0, 1]])
    for call in (lambda: pc.orient_normals_to_align_with_direction(),
                 lambda: pc.orient_normals_towards_camera_location(),
                 lambda: pc.orient_normals_consistent_tangent_plane(3)):
        with held(pc, False):
            with pytest.raises(RuntimeError, match="Already borrowed"):
                call()
