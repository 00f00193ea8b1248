"""PointCloud.estimate_normals: both eigen-solvers, orientation, fallbacks and degenerate input."""
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry

KNN, Radius, Hybrid = geometry.KDTreeSearchParamKNN, geometry.KDTreeSearchParamRadius, geometry.KDTreeSearchParamHybrid
SOLVERS = pytest.mark.parametrize("fast", [True, False], ids=["closed_form", "iterative"])


def arr(v):
    return np.asarray(v)


def normals_of(pc, *args, **kwargs):
    pc.estimate_normals(*args, **kwargs)
    return arr(pc.normals).copy()


def grid(plane):
    a, b = (c.ravel().astype(float) for c in np.meshgrid(np.arange(10), np.arange(10)))
    zero = np.zeros(100)
    return np.column_stack((a, b, zero) if plane == "z" else (zero, a, b))


def surface(n=400, seed=3):
    """A noisy curved patch: neighbourhoods with all six covariance entries non-zero."""
    rng = np.random.default_rng(seed)
    xy = rng.random((n, 2)) * 4 - 2
    z = 0.3 * np.sin(xy[:, 0]) * np.cos(1.3 * xy[:, 1]) + 0.01 * rng.standard_normal(n)
    pts = np.column_stack((xy, z))
    rot = np.linalg.qr(rng.standard_normal((3, 3)))[0]
    return pts @ rot.T + [1.5, -2.0, 0.7]


# ---- a literal model of the arithmetic, for bit-for-bit comparison -----------------------------


def model_covariance(pts, idx):
    sx = sy = sz = sxx = syy = szz = sxy = syz = sxz = 0.0
    for j in idx:
        x, y, z = (float(c) for c in pts[j])
        sx += x; sy += y; sz += z
        sxx += x * x; syy += y * y; szz += z * z
        sxy += x * y; syz += y * z; sxz += x * z
    m = float(len(idx))
    mx, my, mz = sx / m, sy / m, sz / m
    return (sxx / m - mx * mx, sxy / m - mx * my, sxz / m - mx * mz,
            syy / m - my * my, syz / m - my * mz, szz / m - mz * mz)


def scaled(c, s):
    return [v / s for v in c]


def largest(c):
    s = abs(c[0])
    for v in c[1:]:
        s = abs(v) if abs(v) > s else s
    return s


def model_closed_form(c):
    s = largest(c)
    if s == 0:
        return (0.0, 0.0, 0.0)
    a00, a01, a02, a11, a12, a22 = scaled(c, s)
    off = (a01 * a01 + a02 * a02) + a12 * a12
    if off <= 1e-16 or off != off:
        if a00 <= a11 and a00 <= a22:
            return (1.0, 0.0, 0.0)
        if a11 <= a22 and a11 <= a00:
            return (0.0, 1.0, 0.0)
        return (0.0, 0.0, 1.0)
    q = ((a11 + a22) + a00) / 3
    b00, b11, b22 = a00 - q, a11 - q, a22 - q
    p = math.sqrt((2 * off + ((b00 * b00 + b11 * b11) + b22 * b22)) / 6)
    if p < 1e-16:
        return (0.0, 0.0, 0.0)
    k00 = b11 * b22 - a12 * a12
    k01 = a01 * b22 - a12 * a02
    k02 = a01 * a12 - b11 * a02
    h = min(max((((b00 * k00 - a01 * k01) + a02 * k02) / ((p * p) * p)) * 0.5, -1.0), 1.0)
    theta = math.acos(h) / 3
    beta2, beta0 = 2 * math.cos(theta), 2 * math.cos(theta + 2.0943951023931953)
    e0, e1, e2 = q + beta0 * p, q - (beta2 + beta0) * p, beta2 * p + q
    mu = e1 if e1 < e0 else e0
    lam = e2 if e2 < mu else mu
    u0, u1, u2 = a00 - lam, a11 - lam, a22 - lam
    ws = [(a01 * a12 - a02 * u1, a01 * a02 - a12 * u0, u0 * u1 - a01 * a01),
          (a01 * u2 - a12 * a02, a02 * a02 - u0 * u2, a12 * u0 - a01 * a02),
          (u1 * u2 - a12 * a12, a12 * a02 - a01 * u2, a01 * a12 - a02 * u1)]
    best, w = None, None
    for cand in ws:
        d = (cand[0] * cand[0] + cand[1] * cand[1]) + cand[2] * cand[2]
        if best is None or d > best:
            best, w = d, cand
    if best <= 1e-16:
        return (0.0, 0.0, 0.0)
    r = math.sqrt(best)
    return tuple(v / r for v in w)


def model_iterative(c):
    tiny = 2.2250738585072014e-308
    s = largest(c) or 1.0
    a00, a01, a02, a11, a12, a22 = scaled(c, s)
    Q = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    d = [a00, a11, a22]
    e = [a01, a12]
    if a02 * a02 > tiny:
        beta = math.sqrt(a02 * a02 + a01 * a01)
        g = 1 / beta
        m1, m2 = a01 * g, a02 * g
        t = (a22 - a11) * m2 + (2 * m1) * a12
        d = [a00, a11 + m2 * t, a22 - m2 * t]
        e = [beta, a12 - t * m1]
        Q = [[1.0, 0.0, 0.0], [0.0, m1, m2], [0.0, m2, -m1]]
    it, start, end = 0, 0, 2
    while True:
        for i in range(start, end):
            scaled_e = e[i] * 4503599627370496.0
            if abs(e[i]) < tiny or scaled_e * scaled_e <= abs(d[i]) + abs(d[i + 1]):
                e[i] = 0.0
        while end > 0 and e[end - 1] == 0:
            end -= 1
        if end == 0:
            break
        if it == 90:
            return (0.0, 0.0, 0.0)
        it += 1
        start = end - 1
        while start > 0 and e[start - 1] != 0:
            start -= 1
        t = (d[end - 1] - d[end]) * 0.5
        g = e[end - 1]
        if t == 0:
            mu = d[end] - abs(g)
        else:
            big, small = max(abs(t), abs(g)), min(abs(t), abs(g))
            ratio = small / big
            h = big * math.sqrt(1 + ratio * ratio)
            den = t + (h if t > 0 else -h)
            mu = d[end] - g * g / den if g * g != 0 else d[end] - g / (den / g)
        x, z = d[start] - mu, e[start]
        k = start
        while k < end and z != 0:
            if x == 0:
                cs, sn = 0.0, (1.0 if z < 0 else -1.0)
            elif abs(x) > abs(z):
                r = z / x
                u = math.sqrt(1 + r * r) * (-1 if x < 0 else 1)
                cs = 1 / u
                sn = -r * cs
            else:
                r = x / z
                u = math.sqrt(1 + r * r) * (-1 if z < 0 else 1)
                sn = -1 / u
                cs = -r * sn
            dk, ek, dk1 = d[k], e[k], d[k + 1]
            sdk, dkp1 = sn * dk + cs * ek, sn * ek + cs * dk1
            d[k] = cs * (cs * dk - sn * ek) - sn * (cs * ek - sn * dk1)
            d[k + 1] = sn * sdk + cs * dkp1
            e[k] = cs * sdk - sn * dkp1
            if k > start:
                e[k - 1] = cs * e[k - 1] - sn * z
            x = e[k]
            if k < end - 1:
                z = -sn * e[k + 1]
                e[k + 1] = cs * e[k + 1]
            for row in Q:
                row[k], row[k + 1] = cs * row[k] - sn * row[k + 1], sn * row[k] + cs * row[k + 1]
            k += 1
    mu = d[1] if d[1] < d[0] else d[0]
    j = 2 if d[2] < mu else (1 if d[1] < d[0] else 0)
    return (Q[0][j], Q[1][j], Q[2][j])


def model_normals(pts, neighbours, fast, reference=None):
    out = []
    for i, idx in enumerate(neighbours):
        if len(idx) < 3:
            out.append((0.0, 0.0, 1.0))
            continue
        c = model_covariance(pts, idx)
        v = model_closed_form(c) if fast else model_iterative(c)
        if any(x != x for x in v) or math.sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]) < 1e-9:
            v = (0.0, 0.0, 1.0)
        if reference is not None:
            r = reference[i]
            if (v[0] * r[0] + v[1] * r[1]) + v[2] * r[2] < 0:
                v = (-v[0], -v[1], -v[2])
        out.append(v)
    return np.array(out, dtype=np.float64)


@SOLVERS
@pytest.mark.parametrize("param", [KNN(30), KNN(7), Radius(0.35), Hybrid(0.3, 12)], ids=repr)
@pytest.mark.parametrize("oriented", [False, True])
def test_normals_equal_the_written_arithmetic_bit_for_bit(make_cloud, fast, param, oriented):
    pts = surface()
    reference = np.random.default_rng(5).standard_normal((len(pts), 3)) if oriented else None
    tree = geometry.KDTreeFlann(make_cloud(pts))
    neighbours = [list(tree.search_vector_3d(p, param)[1]) for p in pts]
    pc = make_cloud(pts, normals=reference)
    got = normals_of(pc, param, fast)
    expected = model_normals(pts, neighbours, fast, reference)
    assert got.tobytes() == expected.tobytes()
    assert np.allclose(np.linalg.norm(got, axis=1), 1.0)
    assert arr(pc.points).tobytes() == pts.tobytes()


# ---- documented shapes -------------------------------------------------------------------------


@SOLVERS
@pytest.mark.parametrize("plane, normal", [("z", [0, 0, 1]), ("x", [1, 0, 0])])
def test_planar_grids(make_cloud, fast, plane, normal):
    pts = grid(plane)
    assert (normals_of(make_cloud(pts), fast_normal_computation=fast) == normal).all()
    flipped = normals_of(make_cloud(pts, normals=np.tile(np.negative(normal), (100, 1))), None, fast)
    assert (flipped == np.negative(normal)).all()


@pytest.mark.parametrize("fast, expected", [(True, [0, 0, 1]), (False, [1, 0, 0])])
def test_coincident_points(make_cloud, fast, expected):
    assert (normals_of(make_cloud([[1, 2, 3]] * 4), fast_normal_computation=fast) == expected).all()


@SOLVERS
def test_collinear_points(make_cloud, fast):
    i = np.arange(10.0)
    got = normals_of(make_cloud(np.column_stack((i, 2 * i, 3 * i))), fast_normal_computation=fast)
    if fast:
        assert (got == [0, 0, 1]).all()
    else:
        assert np.allclose(np.linalg.norm(got, axis=1), 1) and np.allclose(got @ [1, 2, 3], 0, atol=1e-12)


@SOLVERS
@pytest.mark.parametrize("spread, axis", [
    ((1, 2, 3), 0), ((2, 1, 3), 1), ((3, 2, 1), 2),
    ((1, 1, 2), 0), ((2, 1, 1), 1), ((2, 2, 1), 2), ((1, 2, 1), 0), ((1, 1, 1), 0),
])
def test_diagonal_covariance_picks_smallest_axis_x_then_y_on_ties(make_cloud, fast, spread, axis):
    pts = np.concatenate([np.diag(spread), -np.diag(spread)]).astype(float)
    got = normals_of(make_cloud(pts), fast_normal_computation=fast)
    assert (got == np.eye(3)[axis]).all()


# ---- fallbacks ----------------------------------------------------------------------------------


@pytest.mark.parametrize("param", [
    KNN(2), KNN(1), KNN(0), KNN(-1), Radius(0.0), Radius(0.5), Radius(float("nan")), Hybrid(0.0, 30),
    Hybrid(10.0, 2), Hybrid(10.0, -1), Hybrid(float("nan"), 30),
], ids=repr)
@SOLVERS
def test_too_few_neighbours_give_the_unoriented_fallback(make_cloud, param, fast):
    # Integer grid: spacing 1, so a radius of 0.5 finds only the point itself.
    pc = make_cloud(grid("z"), normals=np.tile([0.2, 0.1, -1.0], (100, 1)))
    assert (normals_of(pc, param, fast) == [0, 0, 1]).all()


def test_two_point_cloud_is_never_oriented(make_cloud):
    pc = make_cloud([[0, 0, 0], [1, 1, 1]], normals=[[0, 0, -1], [1, 0, 0]])
    assert normals_of(pc).tolist() == [[0, 0, 1]] * 2


def test_validation_fallback_is_oriented(make_cloud):
    # The closed-form solver yields nothing for coincident points; the fallback then follows
    # the prior normal's side, negating all three components.
    pc = make_cloud([[1, 2, 3]] * 3, normals=[[0, 0, -1], [5, 5, -0.1], [0, 0, 1]])
    got = normals_of(pc)
    assert got.tolist() == [[0, 0, -1], [0, 0, -1], [0, 0, 1]]
    assert np.signbit(got[:2, :2]).all() and not np.signbit(got[2]).any()


# ---- state, orientation, bad input --------------------------------------------------------------


def test_empty_cloud_keeps_whatever_normals_it_has(make_cloud):
    pc = make_cloud([], normals=[[1, 2, 3], [4, 5, 6]])
    assert pc.estimate_normals() is None
    assert arr(pc.normals).tolist() == [[1, 2, 3], [4, 5, 6]]


@SOLVERS
def test_orientation_follows_prior_normals_and_mismatched_counts_are_dropped(make_cloud, fast):
    pts = surface(300, seed=11)
    free = normals_of(make_cloud(pts), None, fast)
    prior = np.random.default_rng(2).standard_normal((300, 3))
    got = normals_of(make_cloud(pts, normals=prior), None, fast)
    flip = (free * prior).sum(axis=1) < 0
    assert flip.any() and not flip.all()
    assert got.tobytes() == np.where(flip[:, None], -free, free).tobytes()
    mismatched = make_cloud(pts, normals=prior[:5])
    assert normals_of(mismatched, None, fast).tobytes() == free.tobytes()
    assert len(mismatched.normals) == 300 and len(mismatched.colors) == 0


def test_normals_are_written_in_place_into_shared_storage(make_cloud):
    pc = make_cloud(surface(50), normals=np.tile([0, 0, 1.0], (50, 1)))
    view = arr(pc.normals)
    pc.estimate_normals()
    assert np.shares_memory(view, arr(pc.normals)) and view.tobytes() == arr(pc.normals).tobytes()


def test_nonfinite_points_get_the_fallback_and_leave_the_others_alone(make_cloud):
    pts = surface(200, seed=4)
    clean = normals_of(make_cloud(pts))
    bad = np.insert(pts, [0, 50, 200], [[np.nan, 0, 0], [np.inf, 1, 1], [0, -np.inf, np.nan]], axis=0)
    got = normals_of(make_cloud(bad, normals=np.tile([0, 0, -1.0], (203, 1))))
    keep = np.ones(203, bool)
    keep[[0, 51, 202]] = False
    assert (got[~keep] == [0, 0, 1]).all()
    flip = ((clean[:, 0] * 0.0 + clean[:, 1] * 0.0) + clean[:, 2] * -1.0) < 0
    assert got[keep].tobytes() == np.where(flip[:, None], -clean, clean).tobytes()


@pytest.mark.parametrize("call, message", [
    (lambda pc: pc.estimate_normals(5), "argument 'search_param': 'int' object cannot be converted to 'KDTreeSearchParam'"),
    (lambda pc: pc.estimate_normals(geometry.KDTreeFlann()), "argument 'search_param': "),
    (lambda pc: pc.estimate_normals(None, "yes"), "argument 'fast_normal_computation': "),
    (lambda pc: pc.estimate_normals(KNN(), True, 3), ""),
    (lambda pc: pc.estimate_normals(knn=3), ""),
])
def test_argument_errors_change_nothing(make_cloud, call, message):
    pc = make_cloud(surface(40), normals=np.ones((40, 3)))
    before = arr(pc.normals).copy()
    with pytest.raises(TypeError) as info:
        call(pc)
    assert str(info.value).startswith(message)
    assert arr(pc.normals).tobytes() == before.tobytes()


def test_keywords_and_defaults(make_cloud):
    pts = surface(120, seed=8)
    default = normals_of(make_cloud(pts))
    assert normals_of(make_cloud(pts), search_param=KNN(30), fast_normal_computation=True).tobytes() == default.tobytes()
    assert normals_of(make_cloud(pts), search_param=None).tobytes() == default.tobytes()


def test_holds_write_access(make_cloud, held):
    pc = make_cloud(surface(60))
    for write in (False, True):
        with held(pc, write=write):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                pc.estimate_normals()
    assert len(pc.normals) == 0


def test_same_bytes_for_any_thread_count(run_python):
    code = """
import hashlib, numpy as np
from nubiro.cpu.pybind import geometry as g
rng = np.random.default_rng(0)
xy = rng.random((30000, 2)) * 10
pts = np.column_stack((xy, np.sin(xy[:, 0]) * np.cos(xy[:, 1]) + 0.01 * rng.standard_normal(30000)))
for fast in (True, False):
    pc = g.PointCloud(); pc.points = pts; pc.normals = rng.standard_normal((30000, 3))
    pc.estimate_normals(g.KDTreeSearchParamHybrid(0.3, 20), fast)
    print(hashlib.sha256(np.asarray(pc.normals).tobytes()).hexdigest())
"""
    assert run_python(code, RAYON_NUM_THREADS="1") == run_python(code, RAYON_NUM_THREADS="3")
