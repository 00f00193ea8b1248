"""The fixed sort, the KD-tree index and its Python face (KDTreeFlann, search parameters).

Results are checked against NumPy brute force with the index's own summation order, so
squared distances must match bit for bit; equal-distance orders are checked where the rules
let a test derive them.
"""
import functools
import math

import numpy as np
import pytest

from nubiro.cpu import pybind
from nubiro.cpu.pybind import geometry
from nubiro.cpu.pybind.pipelines import registration

KDTreeFlann = geometry.KDTreeFlann
KNN = geometry.KDTreeSearchParamKNN
Radius = geometry.KDTreeSearchParamRadius
Hybrid = geometry.KDTreeSearchParamHybrid
fixed_sort_order = pybind._internal.fixed_sort_order

DBL_MAX = np.finfo(np.float64).max
NAN, INF = float("nan"), float("inf")
NOT_CONVERTIBLE = "'{}' object cannot be converted to 'PyArray<T, D>'"


# ---- a literal transcription of the fixed sort -------------------------------------------------


def quot(a, b):
    """Integer division rounding towards zero, as the sort's index arithmetic does."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def fixed_sort(recs, less, heap_ranges=None):
    """Sorts `recs` in place step by step; `less(a, b)` compares two records.

    Ranges finished by the heap sort are appended to `heap_ranges`.
    """
    n = len(recs)
    if n == 0:
        return

    def lt(i, j):
        return less(recs[i], recs[j])

    def sift(f, hole, length, v):
        top = hole
        child = hole
        while child < quot(length - 1, 2):
            child = 2 * (child + 1)
            if lt(f + child, f + child - 1):
                child -= 1
            recs[f + hole] = recs[f + child]
            hole = child
        if length % 2 == 0 and child == quot(length - 2, 2):
            child = 2 * (child + 1)
            recs[f + hole] = recs[f + child - 1]
            hole = child - 1
        parent = quot(hole - 1, 2)
        while hole > top and less(recs[f + parent], v):
            recs[f + hole] = recs[f + parent]
            hole = parent
            parent = quot(hole - 1, 2)
        recs[f + hole] = v

    def heap_sort(f, l):
        if heap_ranges is not None:
            heap_ranges.append((f, l))
        length = l - f
        if length >= 2:
            for parent in range(quot(length - 2, 2), -1, -1):
                sift(f, parent, length, recs[f + parent])
        while l - f > 1:
            l -= 1
            v = recs[l]
            recs[l] = recs[f]
            sift(f, 0, l - f, v)

    def introsort(f, l, d):
        while l - f > 16:
            if d == 0:
                heap_sort(f, l)
                return
            d -= 1
            a, b, c = f + 1, f + quot(l - f, 2), l - 1
            if lt(a, b):
                m = b if lt(b, c) else (c if lt(a, c) else a)
            else:
                m = a if lt(a, c) else (c if lt(b, c) else b)
            recs[f], recs[m] = recs[m], recs[f]
            left, right = f + 1, l
            while True:
                while lt(left, f):
                    left += 1
                right -= 1
                while lt(f, right):
                    right -= 1
                if left >= right:
                    cut = left
                    break
                recs[left], recs[right] = recs[right], recs[left]
                left += 1
            introsort(cut, l, d)
            l = cut

    def unguarded_insert(i):
        v = recs[i]
        j = i
        while less(v, recs[j - 1]):
            recs[j] = recs[j - 1]
            j -= 1
        recs[j] = v

    def guarded_insertion(e):
        for i in range(1, e):
            v = recs[i]
            if less(v, recs[0]):
                recs[1 : i + 1] = recs[0:i]
                recs[0] = v
            else:
                unguarded_insert(i)

    introsort(0, n, 2 * (n.bit_length() - 1))
    if n > 16:
        guarded_insertion(16)
        for i in range(16, n):
            unguarded_insert(i)
    else:
        guarded_insertion(n)


def oracle_order(keys, heap_ranges=None):
    recs = list(enumerate(keys))
    fixed_sort(recs, lambda a, b: a[1] < b[1], heap_ranges)
    return [payload for payload, _ in recs]


def adversarial_keys(n):
    """Keys that drive every partition of the sort towards the worst case.

    The adversary answers comparisons lazily, freezing an undecided item only when two
    undecided items meet; items never frozen keep one shared (equal) key.
    """
    gas = n
    val = [gas] * n
    state = {"solid": 0, "candidate": 0}

    def less(x, y):
        x, y = x[0], y[0]
        if val[x] == gas and val[y] == gas:
            frozen = x if x == state["candidate"] else y
            val[frozen] = state["solid"]
            state["solid"] += 1
        if val[x] == gas:
            state["candidate"] = x
        elif val[y] == gas:
            state["candidate"] = y
        return val[x] < val[y]

    fixed_sort([(i,) for i in range(n)], less)
    return [float(v) for v in val]


# ---- the fixed sort ----------------------------------------------------------------------------

EQUAL_17 = [8, 16, 15, 14, 13, 12, 11, 10, 9, 0, 7, 6, 5, 4, 3, 2, 1]
EQUAL_40 = [30, 21, 22, 23, 24, 25, 26, 27, 28, 29, 20, 31, 32, 33, 34, 35, 36, 37, 38, 39,
            10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 11, 12, 13, 14, 15, 16, 17, 18, 19]


@pytest.mark.parametrize("order", [oracle_order, fixed_sort_order], ids=["transcription", "index"])
@pytest.mark.parametrize("expected", [EQUAL_17, EQUAL_40], ids=["17", "40"])
def test_sort_equal_keys_leave_in_documented_order(order, expected):
    assert order([0.25] * len(expected)) == expected


@pytest.mark.parametrize("n", range(17))
def test_sort_is_stable_up_to_16_records(n):
    keys = [float(k) for k in np.random.default_rng(n).integers(0, 3, n)]
    assert fixed_sort_order(keys) == sorted(range(n), key=lambda i: keys[i])


@pytest.mark.parametrize("n, alphabet", [(17, 2), (40, 3), (100, 2), (257, 5), (1000, 50), (3000, 3000)])
def test_sort_matches_transcription(n, alphabet):
    keys = [float(k) for k in np.random.default_rng(n).integers(0, alphabet, n)]
    assert fixed_sort_order(keys) == oracle_order(keys)


@pytest.mark.parametrize("n", [100, 600])
def test_sort_depth_limit_hands_over_to_heap_sort(n):
    # Halving the keys pairs them up without changing the degenerate path, so the heap sort
    # also meets equal keys; the transcription confirms that it is reached.
    keys = [k // 2 for k in adversarial_keys(n)]
    heap_ranges = []
    expected = oracle_order(keys, heap_ranges)
    assert heap_ranges and max(l - f for f, l in heap_ranges) > n // 2
    assert len(set(keys)) < n
    assert fixed_sort_order(keys) == expected


@pytest.mark.parametrize(
    "keys",
    [
        [NAN] * 40,
        [NAN] + [float(i) for i in range(30, 0, -1)],
        [float(i) if i % 3 else NAN for i in range(100, 0, -1)],
        [NAN if i % 7 == 0 else float(i % 5) for i in range(1000)],
        [float(i) for i in range(20)] + [NAN],
        adversarial_keys(200)[:150] + [NAN] * 50,
    ],
    ids=["all", "first", "every-third", "every-seventh", "last", "adversarial"],
)
def test_sort_survives_nan_keys(keys):
    assert sorted(fixed_sort_order(keys)) == list(range(len(keys)))


# ---- brute force with the index's summation order ----------------------------------------------


def sq_dists(points, q):
    """Squared distances from q to every row, summed in the index's fixed order."""
    s = (np.asarray(q, dtype=np.float64).ravel() - points) ** 2
    d = s.shape[1]
    if d <= 3:
        total = s[:, 0].copy()
        for i in range(1, d):
            total = total + s[:, i]
        return total
    total = np.zeros(len(points))
    i = 0
    while i + 4 <= d:
        total = total + (((s[:, i] + s[:, i + 1]) + s[:, i + 2]) + s[:, i + 3])
        i += 4
    for i in range(i, d):
        total = total + s[:, i]
    return total


def brute(points, q, kind, r=None, k=None):
    """(indices, dist2) ascending; equal distances by point number."""
    dist = sq_dists(points, q)
    with np.errstate(invalid="ignore"):
        keep = dist < (r * r if kind == "radius" else DBL_MAX)
    idx = np.flatnonzero(keep)
    idx = idx[np.argsort(dist[idx], kind="stable")]
    if kind != "radius":
        idx = idx[:k]
    if kind == "hybrid":
        idx = idx[dist[idx] < r * r]
    return idx, dist[idx]


def unpack(result):
    count, idx, dist = result
    assert type(idx) is pybind.utility.IntVector and type(dist) is pybind.utility.DoubleVector
    idx, dist = list(idx), list(dist)
    assert len(idx) == len(dist) == max(count, 0)
    return count, idx, dist


def call(tree, q, kind, r=None, k=None, via="xd"):
    """One query through one of the four entry styles."""
    if via.startswith("param"):
        param = {"knn": lambda: KNN(k), "radius": lambda: Radius(r), "hybrid": lambda: Hybrid(r, k)}[kind]()
        method = tree.search_vector_3d if via == "param_3d" else tree.search_vector_xd
        return method(q, param)
    suffix = "3d" if via == "3d" else "xd"
    args = {"knn": (k,), "radius": (r,), "hybrid": (r, k)}[kind]
    return getattr(tree, f"search_{kind}_vector_{suffix}")(q, *args)


def cloud_of(points):
    pc = geometry.PointCloud()
    pc.points = np.ascontiguousarray(points, dtype=np.float64).reshape(-1, 3)
    return pc


def feature_of(points):
    f = registration.Feature()
    f.data = np.ascontiguousarray(np.asarray(points, dtype=np.float64).T)
    return f


def strided_columns(points):
    """A (d, N) view that is neither C- nor Fortran-contiguous."""
    wide = np.zeros((points.shape[1], 2 * len(points)))
    wide[:, ::2] = points.T
    return wide[:, ::2]


# Each source builds an index over the rows of an (N, d) array.
SOURCES = {
    "cloud": cloud_of,
    "matrix": lambda p: np.ascontiguousarray(p.T),
    "matrix_fortran": lambda p: p.T,
    "matrix_strided": strided_columns,
    "feature": feature_of,
}


# ---- random data against brute force ------------------------------------------------------------


def random_points(d, n, rng, dirty):
    if d == 3:
        pts = rng.random((n, 3))
    else:
        # Histogram-like descriptors in a few clusters, so radii hold a handful of points.
        centres = rng.random((12, d)) * 10
        pts = centres[rng.integers(0, 12, n)] + rng.normal(0, 0.6, (n, d))
    if dirty:
        bad = rng.choice(n, n // 10, replace=False)
        values = rng.choice([NAN, INF, -INF], len(bad))
        cols = rng.integers(0, d, len(bad))
        pts[bad, cols] = values
        pts[bad[::3], :] = NAN
    return pts


def queries_for(pts, rng, m=24):
    finite = pts[np.isfinite(pts).all(axis=1)]
    lo, hi = finite.min(axis=0), finite.max(axis=0)
    span = hi - lo
    picks = finite[rng.choice(len(finite), m // 3, replace=False)]
    return np.concatenate(
        [
            picks,  # on a point: distance 0
            picks + rng.normal(0, 0.01, picks.shape) * span,
            lo - 0.3 * span + rng.random((m - 2 * len(picks), pts.shape[1])) * 1.6 * span,  # also outside the box
        ]
    )


def radius_holding(dist, count):
    """A radius whose sphere holds about `count` points, not on a point's distance."""
    finite = np.sort(dist[dist < DBL_MAX])
    if count == 0:
        return math.sqrt(finite[0]) * 0.5
    return math.sqrt((finite[count - 1] + finite[count]) / 2)


# (kind, k or max_nn, points the radius should hold); "n+" asks for more than there are points.
FORMS = [
    ("knn", 1, None),
    ("knn", 9, None),
    ("knn", "n+", None),
    ("radius", None, 0),
    ("radius", None, 25),
    ("hybrid", 6, 25),
    ("hybrid", 60, 25),
]


DATASETS = {"d3": (3, False), "d3-nonfinite": (3, True), "d33": (33, False), "d33-nonfinite": (33, True)}


@functools.lru_cache(maxsize=None)
def dataset(name):
    d, dirty = DATASETS[name]
    rng = np.random.default_rng(1000 * d + dirty)
    pts = random_points(d, 2500 if d == 3 else 1500, rng, dirty)
    return pts, queries_for(pts, rng)


@pytest.mark.parametrize("data, source", [(data, source) for data in DATASETS for source in SOURCES
                                          if source != "cloud" or DATASETS[data][0] == 3])
@pytest.mark.parametrize("form", FORMS, ids=lambda f: f"{f[0]}-{f[1]}-{f[2]}")
def test_random_queries_equal_brute_force(data, source, form):
    pts, queries = dataset(data)
    d = pts.shape[1]
    tree = KDTreeFlann(SOURCES[source](pts))
    kind, k, hold = form
    if k == "n+":
        k = len(pts) + 3
    vias = ["3d", "xd", "param_3d", "param_xd"] if d == 3 else ["xd", "param_xd"]
    for q in queries:
        r = None if hold is None else radius_holding(sq_dists(pts, q), hold)
        exp_idx, exp_dist = brute(pts, q, kind, r=r, k=k)
        assert len(set(exp_dist)) == len(exp_dist)  # no ties: the order is unique
        for via in vias:
            count, idx, dist = unpack(call(tree, q, kind, r=r, k=k, via=via))
            assert idx == exp_idx.tolist(), via
            assert dist == exp_dist.tolist(), via


@pytest.mark.parametrize("data", DATASETS)
def test_batch_search_matches_single_queries(data):
    # The unchecked path that internal callers use gives the same neighbours.
    pts, queries = dataset(data)
    tree = KDTreeFlann(np.ascontiguousarray(pts.T))
    k = 7
    idx, dist = pybind._internal.knn_batch(tree, np.ascontiguousarray(queries), k)
    for q, row_idx, row_dist in zip(queries, idx, dist):
        _, one_idx, one_dist = unpack(tree.search_knn_vector_xd(q, k))
        assert row_idx.tolist() == one_idx and row_dist.tolist() == one_dist


def test_distance_overflow_is_not_a_neighbour():
    # Squared distances that overflow to infinity never count, not even for k > n.
    tree = KDTreeFlann(cloud_of([[0, 0, 0], [1e200, 0, 0], [3, 0, 0]]))
    assert unpack(tree.search_knn_vector_3d([0, 0, 0], 5)) == (2, [0, 2], [0.0, 9.0])
    assert unpack(tree.search_radius_vector_3d([0, 0, 0], INF)) == (2, [0, 2], [0.0, 9.0])


# ---- equal distances ---------------------------------------------------------------------------

AXES = np.array([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]], float)


@pytest.mark.parametrize("n, nonfinite", [(1, 0), (2, 0), (7, 0), (15, 0), (20, 5)])
def test_single_leaf_breaks_ties_by_point_number(n, nonfinite):
    # At most 15 indexed points form one leaf whose order is the point numbers. Non-finite
    # points are left out of the index, so 20 points of which 5 are NaN are one leaf too.
    rng = np.random.default_rng(n)
    pts = np.concatenate([AXES, 2 * AXES, AXES, 2 * AXES])[rng.permutation(24)[:n]]
    pts[rng.choice(n, nonfinite, replace=False)] = NAN
    tree = KDTreeFlann(cloud_of(pts))
    q = [0.0, 0.0, 0.0]
    expected_idx, expected_dist = brute(pts, q, "knn", k=n)
    assert unpack(tree.search_knn_vector_3d(q, n)) == (n - nonfinite, expected_idx.tolist(), expected_dist.tolist())
    expected_idx, expected_dist = brute(pts, q, "radius", r=1.5)
    assert unpack(tree.search_radius_vector_3d(q, 1.5)) == (len(expected_idx), expected_idx.tolist(),
                                                             expected_dist.tolist())


@pytest.mark.parametrize(
    "query, traversal",
    [
        # All 40 copies share every coordinate, so each split halves its range without swaps;
        # a query at or above the copies along the cut dimension 0 visits the second half first.
        ([-1.0, 0.0, 0.0], list(range(40))),
        ([3.0, 0.0, 0.0], [*range(30, 40), *range(20, 30), *range(10, 20), *range(10)]),
        ([0.5, 7.0, -2.0], [*range(30, 40), *range(20, 30), *range(10, 20), *range(10)]),
    ],
    ids=["below", "above", "level"],
)
def test_duplicates_follow_traversal_then_sort_order(query, traversal):
    tree = KDTreeFlann(cloud_of([[0.5, 0.0, 0.0]] * 40))
    count, idx, dist = unpack(tree.search_knn_vector_3d(query, 50))
    assert (count, idx) == (40, traversal) and len(set(dist)) == 1
    for k in (1, 5, 17):
        assert unpack(tree.search_knn_vector_3d(query, k))[1] == traversal[:k]
        assert unpack(tree.search_hybrid_vector_3d(query, 100.0, k))[1] == traversal[:k]
    count, idx, dist = unpack(tree.search_radius_vector_3d(query, 100.0))
    assert idx == [traversal[i] for i in EQUAL_40]


def grid(shape, copies=1, pad=0):
    """Integer grid points (copies in a row per point), with `pad` constant extra coordinates."""
    axes = np.meshgrid(*[np.arange(s, dtype=float) for s in shape], indexing="ij")
    pts = np.repeat(np.stack([a.ravel() for a in axes], axis=1), copies, axis=0)
    return np.concatenate([pts, np.full((len(pts), pad), 2.0)], axis=1)


# (grid shape, copies of each point, constant extra coordinates, source)
GRIDS = {
    "cloud-10x10x10": ((10, 10, 10), 1, 0, cloud_of),
    "cloud-6x5x4-thrice": ((6, 5, 4), 3, 0, cloud_of),
    "matrix-2d-20x20-twice": ((20, 20), 2, 0, SOURCES["matrix"]),
    "feature-5d-6x6x6-thrice": ((6, 6, 6), 3, 2, feature_of),
}


@pytest.fixture(scope="module", params=GRIDS)
def grid_index(request):
    shape, copies, pad, source = GRIDS[request.param]
    pts = grid(shape, copies, pad)
    return pts, KDTreeFlann(source(pts)), len(shape), copies


def grid_queries(pts, rng):
    lo, hi = pts.min(axis=0), pts.max(axis=0)
    on_points = pts[rng.choice(len(pts), 8)]
    outside = rng.integers(lo - 2, hi + 3, (8, pts.shape[1])).astype(float)
    return np.concatenate([on_points, on_points + 0.5, outside])


def test_grid_results_equal_brute_force_as_sets(grid_index):
    pts, tree, _, _ = grid_index
    n = len(pts)
    for q in grid_queries(pts, np.random.default_rng(7)):
        _, everything, all_dist = unpack(tree.search_knn_vector_xd(q, n))
        assert sorted(everything) == list(range(n)) and all_dist == sorted(all_dist)
        dist_to = sq_dists(pts, q)
        for k in (1, 6, 27, 40):
            exp_idx, exp_dist = brute(pts, q, "knn", k=k)
            _, idx, dist = unpack(tree.search_knn_vector_xd(q, k))
            assert dist == exp_dist.tolist()
            below = set(exp_idx[exp_dist < exp_dist[-1]].tolist())
            assert below <= set(idx) and set(idx) - below <= set(np.flatnonzero(dist_to == exp_dist[-1]).tolist())
            # Ties at the last distance are cut where the traversal order puts them, so a
            # smaller k gives a prefix of a larger one.
            assert idx == everything[:k]
            for r in (0.9, 2.0, 2.5):
                keep = sum(x < r * r for x in dist)
                assert unpack(tree.search_hybrid_vector_xd(q, r, k)) == (keep, idx[:keep], dist[:keep])
        for r in (1.0, 1.5, 2.0, 3.0):  # 1, 2 and 3 lie exactly on grid distances: excluded
            exp_idx, exp_dist = brute(pts, q, "radius", r=r)
            _, idx, dist = unpack(tree.search_radius_vector_xd(q, r))
            assert dist == exp_dist.tolist() and sorted(idx) == sorted(exp_idx.tolist())


class TreeOracle:
    """A transcription of the index's build and traversal over finite points, in plain Python
    floats; it fixes the order of equal distances, which brute force cannot."""

    LEAF = 15

    def __init__(self, pts):
        self.pts = [list(map(float, p)) for p in pts]
        self.d = len(self.pts[0])
        self.perm = list(range(len(self.pts)))
        self.nodes = []
        low, high = list(self.pts[0]), list(self.pts[0])
        for p in self.pts[1:]:
            for i, v in enumerate(p):
                if low[i] > v:
                    low[i] = v
                if high[i] < v:
                    high[i] = v
        self.box = [low, high]
        self.divide(0, len(self.pts), self.box)

    def coord(self, pos, i):
        return self.pts[self.perm[pos]][i]

    def extent(self, left, right, i):
        lo = hi = self.coord(left, i)
        for pos in range(left + 1, right):
            v = self.coord(pos, i)
            if v < lo:
                lo = v
            if v > hi:
                hi = v
        return lo, hi

    def partition(self, left, count, cut, cut_val):
        def c(p):
            return self.coord(left + p, cut)

        def scan(l, below):
            r = count - 1
            while True:
                while l <= r and below(c(l)):
                    l += 1
                while r != 0 and l <= r and not below(c(r)):
                    r -= 1
                if l > r or r == 0:
                    return l
                self.perm[left + l], self.perm[left + r] = self.perm[left + r], self.perm[left + l]
                l += 1
                r -= 1

        lim1 = scan(0, lambda v: v < cut_val)
        lim2 = scan(lim1, lambda v: v <= cut_val)
        half = count // 2
        return lim1 if lim1 > half else (lim2 if lim2 < half else half)

    def divide(self, left, right, box):
        low, high = box
        me = len(self.nodes)
        self.nodes.append(None)
        if right - left <= self.LEAF:
            self.nodes[me] = (left, right)
            for i in range(self.d):
                low[i], high[i] = self.extent(left, right, i)
            return me
        spans = [high[i] - low[i] for i in range(self.d)]
        max_span = spans[0]
        for span in spans[1:]:
            if span > max_span:
                max_span = span
        threshold = max_span * 0.99999
        cut, best = 0, -1.0
        for i in range(self.d):
            if spans[i] > threshold:
                lo, hi = self.extent(left, right, i)
                if hi - lo > best:
                    cut, best = i, hi - lo
        lo, hi = self.extent(left, right, cut)
        split = (low[cut] + high[cut]) * 0.5
        cut_val = lo if split < lo else (hi if hi < split else split)
        split_at = self.partition(left, right - left, cut, cut_val)
        box1 = [list(low), list(high)]
        box1[1][cut] = cut_val
        child1 = self.divide(left, left + split_at, box1)
        box2 = [list(low), list(high)]
        box2[0][cut] = cut_val
        child2 = self.divide(left + split_at, right, box2)
        self.nodes[me] = (cut, box1[1][cut], box2[0][cut], child1, child2)
        for i in range(self.d):
            low[i] = min(box1[0][i], box2[0][i])
            high[i] = max(box1[1][i], box2[1][i])
        return me

    def dist(self, q, p):
        s = [(a - b) * (a - b) for a, b in zip(q, p)]
        if len(s) <= 3:
            total = s[0]
            for x in s[1:]:
                total = total + x
            return total
        total, i = 0.0, 0
        while i + 4 <= len(s):
            total = total + (((s[i] + s[i + 1]) + s[i + 2]) + s[i + 3])
            i += 4
        for x in s[i:]:
            total = total + x
        return total

    def traverse(self, q, worst, offer):
        q = [float(v) for v in q]
        off = [0.0] * self.d
        m = 0.0
        for i in range(self.d):
            if q[i] < self.box[0][i]:
                off[i] = (q[i] - self.box[0][i]) * (q[i] - self.box[0][i])
                m = m + off[i]
            if q[i] > self.box[1][i]:
                off[i] = (q[i] - self.box[1][i]) * (q[i] - self.box[1][i])
                m = m + off[i]

        def visit(node, m):
            if len(self.nodes[node]) == 2:
                w = worst()
                for pos in range(*self.nodes[node]):
                    j = self.perm[pos]
                    dist = self.dist(q, self.pts[j])
                    if dist < w:
                        offer(j, dist)
                return
            c, div_low, div_high, child1, child2 = self.nodes[node]
            diff1, diff2 = q[c] - div_low, q[c] - div_high
            if diff1 + diff2 < 0:
                near, far, cut = child1, child2, diff2 * diff2
            else:
                near, far, cut = child2, child1, diff1 * diff1
            visit(near, m)
            saved = off[c]
            m_far = (m + cut) - saved
            off[c] = cut
            if m_far <= worst():
                visit(far, m_far)
            off[c] = saved

        visit(0, m)

    def knn(self, q, k):
        if k == 0:
            return [], []
        idx, dist = [None] * k, [None] * (k - 1) + [DBL_MAX]
        count = 0

        def offer(j, d):
            nonlocal count
            i = count
            while i > 0 and dist[i - 1] > d:
                if i < k:
                    idx[i], dist[i] = idx[i - 1], dist[i - 1]
                i -= 1
            if i < k:
                idx[i], dist[i] = j, d
            if count < k:
                count += 1

        self.traverse(q, lambda: dist[k - 1], offer)
        return idx[:count], dist[:count]

    def radius(self, q, r):
        hits = []
        self.traverse(q, lambda: r * r, lambda j, d: hits.append((j, d)))
        fixed_sort(hits, lambda a, b: a[1] < b[1])
        return [j for j, _ in hits], [d for _, d in hits]

    def hybrid(self, q, r, max_nn):
        idx, dist = self.knn(q, max_nn)
        keep = sum(d < r * r for d in dist)
        return idx[:keep], dist[:keep]


def assert_orders_follow_oracle(pts, tree):
    oracle = TreeOracle(pts)
    for q in grid_queries(pts, np.random.default_rng(9)):
        for kind, args in [("knn", (1,)), ("knn", (13,)), ("knn", (len(pts),)), ("radius", (1.5,)),
                           ("radius", (2.6,)), ("hybrid", (2.6, 20))]:
            count, idx, dist = unpack(getattr(tree, f"search_{kind}_vector_xd")(q, *args))
            assert (idx, dist) == getattr(oracle, kind)(q, *args), (kind, args)


def test_grid_orders_follow_build_and_traversal_rules(grid_index):
    pts, tree, _, _ = grid_index
    assert_orders_follow_oracle(pts, tree)


@pytest.mark.parametrize(
    "extents, spacing, n, source",
    [((21, 22, 14), (1, 0.9375, 1.25), 700, cloud_of), ((9, 10, 8, 3), (1, 0.9375, 1, 1), 500, SOURCES["matrix"])],
    ids=["3d-cloud", "4d-matrix"],
)
def test_lattice_orders_follow_build_and_traversal_rules(extents, spacing, n, source):
    # Random points of a lattice with exact binary spacings: many ties and repeated points,
    # and boxes whose spans differ by a few percent, so the span threshold of the cut choice
    # shows in the tie order too.
    pts = np.random.default_rng(n).integers(0, extents, (n, len(extents))) * np.array(spacing)
    assert_orders_follow_oracle(pts, KDTreeFlann(source(pts)))


def test_grid_equal_distance_shell_is_sorted_traversal_order(grid_index):
    # Around an inner cell's centre every hit within radius 1 lies at the same distance, so
    # the knn order of those hits is their traversal order, and the radius result is that
    # list in the order the fixed sort leaves equal keys (unstable beyond 16 hits).
    pts, tree, grid_dims, copies = grid_index
    offset = np.zeros(pts.shape[1])
    offset[:grid_dims] = 0.5
    inner = np.flatnonzero((pts[:, :grid_dims] < pts[:, :grid_dims].max(axis=0)).all(axis=1))
    for q in pts[np.random.default_rng(3).choice(inner, 12)] + offset:
        count, idx, dist = unpack(tree.search_radius_vector_xd(q, 1.0))
        assert count == copies * 2**grid_dims and len(set(dist)) == 1
        _, traversal, _ = unpack(tree.search_knn_vector_xd(q, count))
        assert sorted(traversal) == sorted(idx)
        assert idx == [traversal[i] for i in oracle_order([dist[0]] * count)]


def test_same_points_give_same_results_whatever_the_source():
    pts = grid((7, 6, 5), copies=2)
    trees = [KDTreeFlann(make(pts)) for make in SOURCES.values()]
    for q in grid_queries(pts, np.random.default_rng(5)):
        for method, args in [("search_knn_vector_3d", (30,)), ("search_radius_vector_3d", (2.3,)),
                             ("search_hybrid_vector_xd", (2.3, 20)), ("search_radius_vector_xd", (1.1,))]:
            results = [unpack(getattr(t, method)(q, *args)) for t in trees]
            assert all(r == results[0] for r in results[1:]), method


# ---- special values and counts -----------------------------------------------------------------

SMALL = np.random.default_rng(11).random((40, 3))


def small_trees():
    """The same 40 points as a 3-D index and embedded in a 33-D one."""
    wide = np.zeros((40, 33))
    wide[:, 5:8] = SMALL
    return [(KDTreeFlann(cloud_of(SMALL)), SMALL, "3d"), (KDTreeFlann(feature_of(wide)), wide, "xd")]


ALL_FORMS = [("knn", None, 5), ("radius", 0.4, None), ("hybrid", 0.4, 5)]


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
@pytest.mark.parametrize("form", ALL_FORMS, ids=lambda f: f[0])
def test_query_with_nonfinite_coordinate_finds_nothing(bad, form):
    kind, r, k = form
    for tree, pts, via in small_trees():
        q = pts[3].copy()
        q[-1] = bad
        for style in (via, "param_" + via):
            assert unpack(call(tree, q, kind, r=r if r is None else INF, k=k, via=style)) == (0, [], [])
            assert unpack(call(tree, q, kind, r=r, k=k, via=style)) == (0, [], [])


@pytest.mark.parametrize(
    "kind, r, k, expected",
    [
        ("radius", 0.0, None, "none"),  # strict test: not even the point at distance 0
        ("radius", -0.3, None, "radius 0.3"),
        ("radius", NAN, None, "none"),
        ("radius", INF, None, "all"),
        ("hybrid", 0.0, 5, "none"),
        ("hybrid", -0.3, 5, "hybrid 0.3"),
        ("hybrid", NAN, 5, "none"),
        ("hybrid", 0.3, 0, "none"),
        ("hybrid", INF, 100, "all"),
        ("knn", None, 0, "none"),
        ("knn", None, 41, "all"),
        ("knn", None, 2**31 - 1, "all"),
    ],
)
def test_radius_and_count_edge_values(kind, r, k, expected):
    for tree, pts, via in small_trees():
        q = pts[7]
        want = {"none": ([], []), "all": brute(pts, q, "knn", k=len(pts)),
                "radius 0.3": brute(pts, q, "radius", r=0.3), "hybrid 0.3": brute(pts, q, "hybrid", r=0.3, k=5)}
        exp_idx, exp_dist = want[expected]
        for style in (via, "param_" + via):
            assert unpack(call(tree, q, kind, r=r, k=k, via=style)) == (len(exp_idx), list(exp_idx), list(exp_dist))


EMPTY_SOURCES = {
    "none": lambda: KDTreeFlann(),
    "explicit-none": lambda: KDTreeFlann(None),
    "empty-cloud": lambda: KDTreeFlann(geometry.PointCloud()),
    "zero-points": lambda: KDTreeFlann(np.zeros((5, 0))),
    "zero-dimension": lambda: KDTreeFlann(np.zeros((0, 5))),
    "empty-feature": lambda: KDTreeFlann(registration.Feature()),
    "feature-0x5": lambda: KDTreeFlann(resized(0, 5)),
    "feature-4x0": lambda: KDTreeFlann(resized(4, 0)),
    "emptied-by-set": lambda: emptied(),
}


def resized(dim, n):
    f = registration.Feature()
    f.resize(dim, n)
    return f


def emptied():
    tree = KDTreeFlann(SMALL.T)
    assert tree.set_matrix_data(np.zeros((3, 0))) is False
    return tree


def every_query(tree, q3, qx, knn=3, max_nn=3):
    """All eight query methods, each form also through a parameter object."""
    yield tree.search_knn_vector_3d(q3, knn)
    yield tree.search_radius_vector_3d(q3, 1.0)
    yield tree.search_hybrid_vector_3d(q3, 1.0, max_nn)
    yield tree.search_knn_vector_xd(qx, knn)
    yield tree.search_radius_vector_xd(qx, 1.0)
    yield tree.search_hybrid_vector_xd(qx, 1.0, max_nn)
    for param in (KNN(knn), Radius(1.0), Hybrid(1.0, max_nn)):
        yield tree.search_vector_3d(q3, param)
        yield tree.search_vector_xd(qx, param)


@pytest.mark.parametrize("make", EMPTY_SOURCES.values(), ids=EMPTY_SOURCES)
def test_empty_index_answers_minus_one(make):
    tree = make()
    for qx in (np.zeros(3), np.zeros(5), np.zeros(0)):
        for result in every_query(tree, [0, 0, 0], qx):
            assert unpack(result) == (-1, [], [])


def test_minus_one_for_negative_counts_and_wrong_lengths():
    tree3 = KDTreeFlann(cloud_of(SMALL))
    negative = [tree3.search_knn_vector_3d(SMALL[0], -1), tree3.search_hybrid_vector_3d(SMALL[0], 1.0, -1),
                tree3.search_knn_vector_xd(SMALL[0], -5), tree3.search_hybrid_vector_xd(SMALL[0], 1.0, -2**31),
                tree3.search_vector_3d(SMALL[0], KNN(-1)), tree3.search_vector_xd(SMALL[0], Hybrid(1.0, -1))]
    wide = KDTreeFlann(np.zeros((33, 10)))
    wrong_length = [tree3.search_knn_vector_xd(np.zeros(2), 1), tree3.search_radius_vector_xd(np.zeros(4), 1.0),
                    tree3.search_hybrid_vector_xd(np.zeros(33), 1.0, 1), tree3.search_vector_xd(np.zeros(0), KNN(1)),
                    wide.search_knn_vector_3d([0, 0, 0], 1), wide.search_radius_vector_3d([0, 0, 0], 1.0),
                    wide.search_hybrid_vector_3d([0, 0, 0], 1.0, 1), wide.search_vector_3d([0, 0, 0], Radius(1.0)),
                    wide.search_knn_vector_xd(np.zeros(32), 1)]
    for result in negative + wrong_length:
        assert unpack(result) == (-1, [], [])
    assert unpack(wide.search_knn_vector_xd(np.zeros(33), 2))[0] == 2


@pytest.mark.parametrize("source", ["cloud", "matrix", "feature"])
def test_index_of_only_nonfinite_points_finds_nothing(source):
    pts = np.array([[NAN, 0, 0], [0, INF, 0], [-INF, NAN, 1]])
    tree = KDTreeFlann(SOURCES[source](pts))
    for result in every_query(tree, [0, 0, 0], np.zeros(3)):
        assert unpack(result) == (0, [], [])
    assert unpack(tree.search_radius_vector_3d([0, 0, 0], INF)) == (0, [], [])
    # Built from points, so the other -1 rules still apply.
    assert unpack(tree.search_knn_vector_xd(np.zeros(2), 1)) == (-1, [], [])
    assert unpack(tree.search_knn_vector_3d([0, 0, 0], -1)) == (-1, [], [])
    assert unpack(tree.search_hybrid_vector_3d([0, 0, 0], 1.0, -1)) == (-1, [], [])
    assert KDTreeFlann().set_matrix_data(pts.T) is True


# ---- construction and rebuilding ---------------------------------------------------------------


def test_sources_and_rebuild_results():
    tree = KDTreeFlann()
    assert tree.set_geometry(cloud_of(SMALL)) is True
    assert unpack(tree.search_knn_vector_3d(SMALL[4], 1))[1] == [4]
    assert tree.set_feature(feature_of(SMALL[:10] + 5)) is True
    assert unpack(tree.search_knn_vector_3d(SMALL[4] + 5, 1))[1] == [4]
    assert tree.set_matrix_data(SMALL[:20].T) is True
    assert unpack(tree.search_knn_vector_3d(SMALL[4], 25))[0] == 20
    # Rebuilding to empty replaces the old index.
    assert tree.set_geometry(geometry.PointCloud()) is False
    assert unpack(tree.search_knn_vector_3d(SMALL[4], 1)) == (-1, [], [])
    assert tree.set_feature(registration.Feature()) is False
    assert tree.set_matrix_data(np.zeros((0, 4))) is False
    # Keywords as in the signatures; a PointCloud subclass is a PointCloud.
    sub = type("Cloud", (geometry.PointCloud,), {})(cloud_of(SMALL))
    assert KDTreeFlann(data=sub).set_geometry(geometry=sub) is True
    assert tree.set_feature(feature=feature_of(SMALL)) and tree.set_matrix_data(data=SMALL.T)


def test_rows_as_matrix_give_an_index_over_columns():
    # An (N, 3) array is N-dimensional with 3 points.
    tree = KDTreeFlann(np.ascontiguousarray(SMALL[:5]))
    assert unpack(tree.search_knn_vector_3d(SMALL[0], 1)) == (-1, [], [])
    count, idx, _ = unpack(tree.search_knn_vector_xd(SMALL[:5, 2].copy(), 10))
    assert count == 3 and idx[0] == 2


@pytest.mark.parametrize(
    "value, type_name",
    [
        ([[0.0, 1.0], [2.0, 3.0]], "list"),
        (np.zeros((3, 4), np.float32), "ndarray"),
        (np.zeros((3, 4), np.int64), "ndarray"),
        (np.zeros(3), "ndarray"),
        (np.zeros((3, 4, 1)), "ndarray"),
        ("points", "str"),
        (KNN(), "KDTreeSearchParamKNN"),
    ],
)
def test_wrong_source_types(value, type_name):
    message = NOT_CONVERTIBLE.format(type_name)
    with pytest.raises(TypeError) as err:
        KDTreeFlann(value)
    assert str(err.value) == message
    tree = KDTreeFlann(SMALL.T)
    with pytest.raises(TypeError, match=f"^argument 'data': {message}$"):
        tree.set_matrix_data(value)
    with pytest.raises(TypeError, match=f"^argument 'geometry': '{type_name}' object cannot be converted to 'PointCloud'$"):
        tree.set_geometry(value)
    with pytest.raises(TypeError, match=f"^argument 'feature': '{type_name}' object cannot be converted to 'Feature'$"):
        tree.set_feature(value)
    # Failed conversions leave the index as it was.
    assert unpack(tree.search_knn_vector_3d(SMALL[9], 1))[1] == [9]


@pytest.mark.parametrize(
    "method, value, type_name",
    [
        ("set_geometry", "feature", "Feature"),
        ("set_geometry", "matrix", "ndarray"),
        ("set_feature", "cloud", "PointCloud"),
        ("set_feature", "matrix", "ndarray"),
        ("set_matrix_data", "cloud", "PointCloud"),
        ("set_matrix_data", "feature", "Feature"),
    ],
)
def test_set_methods_take_their_own_kind_only(method, value, type_name):
    target = {"set_geometry": "PointCloud", "set_feature": "Feature", "set_matrix_data": "PyArray<T, D>"}[method]
    name = {"set_geometry": "geometry", "set_feature": "feature", "set_matrix_data": "data"}[method]
    with pytest.raises(TypeError) as err:
        getattr(KDTreeFlann(), method)(SOURCES[value](SMALL))
    assert str(err.value) == f"argument '{name}': '{type_name}' object cannot be converted to '{target}'"


def test_index_keeps_its_own_copy_of_the_coordinates():
    pts = SMALL.copy()
    cloud, matrix, feature = cloud_of(pts), pts.T.copy(), feature_of(pts)
    trees = [KDTreeFlann(cloud), KDTreeFlann(matrix), KDTreeFlann(feature)]
    rebuilt = KDTreeFlann()
    rebuilt.set_geometry(cloud)
    trees.append(rebuilt)
    before = [unpack(t.search_knn_vector_3d(SMALL[0], 5)) for t in trees]
    np.asarray(cloud.points)[:] = 100.0
    cloud.points = np.full((3, 3), 50.0)
    matrix[:] = 100.0
    feature.data = np.full((3, 40), 100.0)
    assert [unpack(t.search_knn_vector_3d(SMALL[0], 5)) for t in trees] == before
    assert rebuilt.set_geometry(cloud) and unpack(rebuilt.search_knn_vector_3d(SMALL[0], 5))[0] == 3


# ---- query values ------------------------------------------------------------------------------


def test_query_shapes_and_memory_order():
    tree = KDTreeFlann(cloud_of(SMALL))
    q = SMALL[12] + 0.01
    expected = unpack(tree.search_knn_vector_xd(q, 4))
    assert expected[1][0] == 12
    for form in (q.reshape(3, 1), q.reshape(1, 3), np.asfortranarray(q.reshape(3, 1))):
        assert unpack(tree.search_knn_vector_xd(form, 4)) == expected
        assert unpack(tree.search_knn_vector_3d(form, 4)) == expected
    # 3-D queries also take any sequence of three numbers.
    for form in (q.tolist(), tuple(q), q.astype(np.float32).astype(np.float64), q.astype(np.float32)):
        assert unpack(tree.search_knn_vector_3d(form, 4))[1] == expected[1]
    assert unpack(tree.search_knn_vector_3d(np.array([0, 0, 1]), 1))[0] == 1
    # x-d queries are the elements in memory order, whatever the shape.
    wide = KDTreeFlann(np.random.default_rng(2).random((33, 50)))
    block = np.random.default_rng(3).random((11, 3))
    assert unpack(wide.search_knn_vector_xd(block.T, 5)) == unpack(wide.search_knn_vector_xd(block.ravel(), 5))
    assert unpack(wide.search_radius_vector_xd(block, 1.5)) == unpack(wide.search_radius_vector_xd(block.ravel(), 1.5))


NON_CONTIGUOUS = [np.arange(3.0)[::-1], np.zeros((3, 3))[:, 0], np.zeros((3, 6))[:, ::2]]


@pytest.mark.parametrize("query", NON_CONTIGUOUS, ids=["reversed", "column", "strided"])
@pytest.mark.parametrize("method", ["search_knn_vector_xd", "search_knn_vector_3d"])
def test_non_contiguous_query(method, query):
    tree = KDTreeFlann(np.zeros((query.size, 4)))
    with pytest.raises(TypeError) as err:
        getattr(tree, method)(query, 1)
    assert str(err.value) == "The given array is not contiguous"


@pytest.mark.parametrize(
    "query, message",
    [
        (np.zeros(3, np.float32), NOT_CONVERTIBLE.format("ndarray")),
        (np.zeros(3, np.int64), NOT_CONVERTIBLE.format("ndarray")),
        (np.zeros(3, np.float32)[::-1], NOT_CONVERTIBLE.format("ndarray")),
        ([0.0, 0.0, 0.0], NOT_CONVERTIBLE.format("list")),
        (1.0, NOT_CONVERTIBLE.format("float")),
    ],
)
def test_xd_query_must_be_a_float64_array(query, message):
    tree = KDTreeFlann(np.zeros((3, 4)))
    for call_it in (lambda: tree.search_knn_vector_xd(query, 1), lambda: tree.search_radius_vector_xd(query, 1.0),
                    lambda: tree.search_vector_xd(query, KNN())):
        with pytest.raises(TypeError) as err:
            call_it()
        assert str(err.value) == f"argument 'query': {message}"


@pytest.mark.parametrize("query", [[0.0, 0.0], [0, 0, 0, 0], "abc", np.zeros(4), np.zeros((2, 2)), 3.0, None])
def test_3d_query_must_be_a_3_vector(query):
    tree = KDTreeFlann(cloud_of(SMALL))
    for call_it in (lambda: tree.search_knn_vector_3d(query, 1), lambda: tree.search_hybrid_vector_3d(query, 1.0, 1),
                    lambda: tree.search_vector_3d(query, Radius(1.0))):
        with pytest.raises(TypeError, match="^expected 3-vector$"):
            call_it()


@pytest.mark.parametrize(
    "call_it, error, message",
    [
        (lambda t: t.search_knn_vector_3d([0, 0, 0], 1.0), TypeError, "^argument 'knn': "),
        (lambda t: t.search_knn_vector_xd(np.zeros(3), 2**31), OverflowError, None),
        (lambda t: t.search_hybrid_vector_3d([0, 0, 0], 1.0, -2**31 - 1), OverflowError, None),
        (lambda t: t.search_radius_vector_3d([0, 0, 0], "1"), TypeError, "^argument 'radius': "),
        (lambda t: t.search_vector_3d([0, 0, 0], 3), TypeError,
         "^argument 'search_param': 'int' object cannot be converted to 'KDTreeSearchParam'$"),
        (lambda t: t.search_vector_xd(np.zeros(3), None), TypeError, "^argument 'search_param': "),
        (lambda t: t.search_knn_vector_3d([0, 0, 0]), TypeError, "missing 1 required positional argument: 'knn'"),
        (lambda t: t.search_radius_vector_xd(query=np.zeros(3), radius=1.0, knn=1), TypeError,
         "got an unexpected keyword argument 'knn'"),
    ],
    ids=["knn-float", "knn-overflow", "max_nn-overflow", "radius-str", "param-int", "param-none", "missing",
         "unexpected-keyword"],
)
def test_query_argument_errors(call_it, error, message):
    with pytest.raises(error, match=message):
        call_it(KDTreeFlann(cloud_of(SMALL)))


def test_numbers_convert_like_any_argument():
    tree = KDTreeFlann(cloud_of(SMALL))
    expected = unpack(tree.search_hybrid_vector_3d(SMALL[1], 0.5, 4))
    assert unpack(tree.search_hybrid_vector_3d(query=SMALL[1], radius=np.float32(0.5), max_nn=np.int64(4))) == expected
    assert unpack(tree.search_knn_vector_3d(SMALL[1], True))[0] == 1


# ---- search parameters -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda: KNN(), "KDTreeSearchParamKNN(knn=30)"),
        (lambda: KNN(knn=-7), "KDTreeSearchParamKNN(knn=-7)"),
        (lambda: Radius(1.0), "KDTreeSearchParamRadius(radius=1)"),
        (lambda: Radius(3), "KDTreeSearchParamRadius(radius=3)"),
        (lambda: Radius(radius=0.5), "KDTreeSearchParamRadius(radius=0.5)"),
        (lambda: Radius(2.5e-3), "KDTreeSearchParamRadius(radius=0.0025)"),
        (lambda: Radius(1e-7), "KDTreeSearchParamRadius(radius=0.0000001)"),
        (lambda: Radius(0.1 + 0.2), "KDTreeSearchParamRadius(radius=0.30000000000000004)"),
        (lambda: Radius(1e21), "KDTreeSearchParamRadius(radius=1" + "0" * 21 + ")"),
        (lambda: Radius(NAN), "KDTreeSearchParamRadius(radius=NaN)"),
        (lambda: Radius(-INF), "KDTreeSearchParamRadius(radius=-inf)"),
        (lambda: Radius(-0.0), "KDTreeSearchParamRadius(radius=-0)"),
        (lambda: Hybrid(0.25, 20), "KDTreeSearchParamHybrid(radius=0.25, max_nn=20)"),
        (lambda: Hybrid(max_nn=-1, radius=-1.5), "KDTreeSearchParamHybrid(radius=-1.5, max_nn=-1)"),
    ],
)
def test_search_param_repr(make, text):
    assert repr(make()) == text


def test_search_param_types_and_attributes():
    base = geometry.KDTreeSearchParam
    assert (base.KNNSearch, base.RadiusSearch, base.HybridSearch) == (0, 1, 2)
    assert all(type(getattr(base, n)) is int for n in ("KNNSearch", "RadiusSearch", "HybridSearch"))
    assert KNN.HybridSearch == 2
    with pytest.raises(TypeError, match="^No constructor defined for KDTreeSearchParam$"):
        base()
    params = [KNN(), Radius(0.5), Hybrid(0.5, 3)]
    assert [p.get_search_type() for p in params] == [0, 1, 2]
    assert all(isinstance(p, base) for p in params)
    assert (params[0].knn, params[1].radius, params[2].radius, params[2].max_nn) == (30, 0.5, 0.5, 3)

    knn, radius = params[0], params[1]
    knn.knn = np.int16(4)
    radius.radius = -2
    assert (knn.knn, radius.radius, repr(radius)) == (4, -2.0, "KDTreeSearchParamRadius(radius=-2)")
    assert (knn.get_search_type(), radius.get_search_type()) == (0, 1)
    for obj, name in [(knn, "knn"), (radius, "radius")]:
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(obj, name)
    with pytest.raises(TypeError, match="^argument 'knn': "):
        knn.knn = 2.0
    with pytest.raises(OverflowError):
        knn.knn = 2**31
    with pytest.raises(TypeError, match="^argument 'radius': "):
        radius.radius = "x"
    assert (knn.knn, radius.radius) == (4, -2.0)
    for name in ("radius", "max_nn"):
        with pytest.raises(AttributeError):
            setattr(params[2], name, 1)
    assert repr(params[2]) == "KDTreeSearchParamHybrid(radius=0.5, max_nn=3)"
    for make in (lambda: Radius(), lambda: Hybrid(0.5), lambda: KNN(1.5), lambda: Hybrid(0.5, 1, 2)):
        with pytest.raises(TypeError):
            make()


def test_search_param_values_take_effect_in_queries():
    tree = KDTreeFlann(cloud_of(SMALL))
    knn, radius = KNN(2), Radius(-0.25)
    knn.knn = 6
    assert unpack(tree.search_vector_3d(SMALL[0], knn)) == unpack(tree.search_knn_vector_3d(SMALL[0], 6))
    assert unpack(tree.search_vector_xd(SMALL[0], radius)) == unpack(tree.search_radius_vector_3d(SMALL[0], 0.25))
    radius.radius = NAN
    assert unpack(tree.search_vector_3d(SMALL[0], radius)) == (0, [], [])
    knn.knn = -1
    assert unpack(tree.search_vector_3d(SMALL[0], knn)) == (-1, [], [])
    assert unpack(tree.search_vector_3d(query=SMALL[0], search_param=Hybrid(0.3, 2))) == unpack(
        tree.search_hybrid_vector_3d(SMALL[0], 0.3, 2))


# ---- access discipline -------------------------------------------------------------------------


def test_queries_read_and_rebuilds_write(held_all):
    tree = KDTreeFlann(SMALL.T.copy())
    cloud, feature, param = cloud_of(SMALL), feature_of(SMALL), KNN(3)
    expected = unpack(tree.search_knn_vector_3d(SMALL[0], 3))
    rebuilds = [lambda: tree.set_matrix_data(SMALL.T), lambda: tree.set_geometry(cloud),
                lambda: tree.set_feature(feature)]

    with held_all((tree, True, lambda: tree.search_knn_vector_3d(SMALL[0], 1))):
        for query in (lambda: tree.search_knn_vector_3d(SMALL[0], 1), lambda: tree.search_radius_vector_xd(SMALL[0], 1.0),
                      lambda: tree.search_vector_3d(SMALL[0], param)):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                query()
        for rebuild in rebuilds:
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                rebuild()

    with held_all((tree, False, lambda: tree.set_matrix_data(SMALL.T)), (cloud, True, lambda: KDTreeFlann(cloud)),
                  (param, True, lambda: tree.search_vector_3d(SMALL[0], param))):
        assert unpack(tree.search_knn_vector_3d(SMALL[0], 3)) == expected
        for rebuild in rebuilds:
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                rebuild()
        for use in (lambda: KDTreeFlann(cloud), lambda: KDTreeFlann().set_geometry(cloud),
                    lambda: tree.search_vector_xd(SMALL[0], param)):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                use()
    assert unpack(tree.search_knn_vector_3d(SMALL[0], 3)) == expected


# ---- parallel build ----------------------------------------------------------------------------

BUILD_SNIPPET = """
import hashlib
import numpy as np
from nubiro.cpu.pybind import geometry, _internal

rng = np.random.default_rng(5)
# Coarse coordinates give many equal values and duplicate points; a few points are not finite.
cube = np.round(rng.random((250_000, 3)) * 40) / 40
cube[rng.choice(len(cube), 500, replace=False), rng.integers(0, 3, 500)] = np.nan
flat = rng.random((120_000, 3))
flat[:, 2] = 0.5
wide = np.round(rng.normal(size=(5, 70_000)), 1)
clouds = []
for pts in (cube, flat):
    pc = geometry.PointCloud()
    pc.points = pts
    clouds.append(geometry.KDTreeFlann(pc))
for tree in clouds + [geometry.KDTreeFlann(wide)]:
    print(hashlib.sha256(_internal.kdtree_layout(tree)).hexdigest())
"""


def test_build_gives_the_same_tree_for_any_thread_count(run_python):
    assert run_python(BUILD_SNIPPET, RAYON_NUM_THREADS="1") == run_python(BUILD_SNIPPET, RAYON_NUM_THREADS="3")


@pytest.mark.parametrize("dims", [3, 5])
def test_radius_bounded_search_is_the_knn_prefix_below_the_radius(dims):
    # The hybrid search prunes with the radius from the start; it must keep exactly the leading
    # k-nearest entries below r^2, ties and all. Coordinates on a coarse lattice with many
    # duplicates make equal distances common, and radii equal to a found distance sit on the
    # boundary (strictly below: excluded).
    rng = np.random.default_rng(dims)
    pts = np.round(rng.uniform(0, 4, (3000, dims)) * 2) / 2
    tree = KDTreeFlann(pts.T.copy())
    search_knn = tree.search_knn_vector_3d if dims == 3 else tree.search_knn_vector_xd
    search_hybrid = tree.search_hybrid_vector_3d if dims == 3 else tree.search_hybrid_vector_xd
    for q in np.r_[pts[:40], rng.uniform(-1, 5, (40, dims))]:
        for k in (1, 7, 40):
            _, idx, dist = unpack(search_knn(q, k))
            for r in {math.sqrt(dist[0]), math.sqrt(dist[len(dist) // 2]), math.sqrt(dist[-1]), 0.3,
                      math.sqrt(np.nextafter(dist[-1], INF))}:
                keep = sum(d < r * r for d in dist)  # the search squares the radius the same way
                assert unpack(search_hybrid(q, r, k)) == (keep, idx[:keep], dist[:keep])
