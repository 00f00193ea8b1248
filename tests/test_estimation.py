"""Transformation estimation: the two estimators, their residuals, pair validation, the
estimator classes, and the written arithmetic reproduced bit for bit."""
import copy
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry
from nubiro.cpu.pybind.pipelines import registration as reg
from nubiro.cpu.pybind.utility import Vector2iVector
from support import cloud, rigid

PointToPoint = reg.TransformationEstimationPointToPoint
PointToPlane = reg.TransformationEstimationPointToPlane


def pairs(n):
    return Vector2iVector(np.stack([np.arange(n), np.arange(n)], axis=1).astype(np.int32))


def rotation(axis, degrees):
    axis = np.asarray(axis, dtype=np.float64) / np.linalg.norm(axis)
    return geometry.get_rotation_matrix_from_axis_angle(axis * math.radians(degrees))


def moved(points, m):
    return points @ m[:3, :3].T + m[:3, 3]


RNG = np.random.default_rng(7)
SOURCE = RNG.uniform(-1.0, 1.0, (40, 3))
MOTION = rigid(rotation([1, 2, 3], 20.0), [0.3, -0.2, 0.5])
UNIT_NORMALS = RNG.normal(size=(40, 3))
UNIT_NORMALS /= np.linalg.norm(UNIT_NORMALS, axis=1, keepdims=True)


# ---- point-to-point ------------------------------------------------------------------------------

def test_point_to_point_recovers_a_rigid_motion():
    target = moved(SOURCE, MOTION)
    for scaling in (False, True):
        t = PointToPoint(scaling).compute_transformation(cloud(SOURCE), cloud(target), pairs(40))
        np.testing.assert_allclose(t, MOTION, atol=1e-12)
        assert t[3].tolist() == [0.0, 0.0, 0.0, 1.0]


def scaled_block(t):
    """The scale c and rotation R of a [c R | t] block."""
    c = np.cbrt(np.linalg.det(t[:3, :3]))
    return c, t[:3, :3] / c


@pytest.mark.parametrize("case", ["translation", "reflection", "scaled by two", "single pair", "collinear",
                                  "one source point"])
def test_point_to_point_cases(case):
    src = SOURCE[:6]
    if case == "translation":
        tgt = src + [1.5, -2.0, 0.25]
        t = PointToPoint().compute_transformation(cloud(src), cloud(tgt), pairs(6))
        np.testing.assert_allclose(t[:3, :3], np.eye(3), atol=1e-14)
        np.testing.assert_allclose(t[:3, 3], [1.5, -2.0, 0.25], atol=1e-14)
    elif case == "reflection":
        # The best orthogonal map is a mirror; a proper rotation comes back.
        tgt = src * [1.0, 1.0, -1.0]
        t = PointToPoint().compute_transformation(cloud(src), cloud(tgt), pairs(6))
        assert np.linalg.det(t[:3, :3]) == pytest.approx(1.0, abs=1e-12)
        np.testing.assert_allclose(t[:3, :3] @ t[:3, :3].T, np.eye(3), atol=1e-12)
    elif case == "scaled by two":
        tgt = 2.0 * src
        with_scale = PointToPoint(True).compute_transformation(cloud(src), cloud(tgt), pairs(6))
        np.testing.assert_allclose(with_scale[:3, :3], 2.0 * np.eye(3), atol=1e-13)
        np.testing.assert_allclose(with_scale[:3, 3], 0.0, atol=1e-13)
        without = PointToPoint(False).compute_transformation(cloud(src), cloud(tgt), pairs(6))
        assert scaled_block(without)[0] == pytest.approx(1.0, abs=1e-12)
    elif case == "single pair":
        # One pair: no rotation information, the translation takes the point onto its partner.
        t = PointToPoint(True).compute_transformation(cloud([[1.0, 2.0, 3.0]]), cloud([[4.0, 4.0, 4.0]]), pairs(1))
        assert t.tolist() == [[1, 0, 0, 3], [0, 1, 0, 2], [0, 0, 1, 1], [0, 0, 0, 1]]
    elif case == "collinear":
        line = np.outer(np.linspace(-1.0, 1.0, 7), [1.0, 2.0, 2.0])
        target = moved(line, MOTION)
        t = PointToPoint().compute_transformation(cloud(line), cloud(target), pairs(7))
        np.testing.assert_allclose(moved(line, t), target, atol=1e-12)
        np.testing.assert_allclose(t[:3, :3] @ t[:3, :3].T, np.eye(3), atol=1e-12)
    elif case == "one source point":
        # Every pair starts at one point whose mean does not round back to it: no spread, so no
        # scale, whatever with_scaling says, and no NaN.
        for copies in (7, 8):
            src = np.tile([0.1, 0.2, 0.3], (copies, 1))
            tgt = RNG.uniform(-1.0, 1.0, (copies, 3))
            t = PointToPoint(True).compute_transformation(cloud(src), cloud(tgt), pairs(copies))
            assert np.isfinite(t).all()
            c, r = scaled_block(t)
            assert c == pytest.approx(1.0, abs=1e-12)
            np.testing.assert_allclose(r @ r.T, np.eye(3), atol=1e-12)
            np.testing.assert_allclose(moved(src[:1], t)[0], tgt.mean(axis=0), atol=1e-12)


def test_point_to_point_degenerate_input_gives_the_identity():
    empty = Vector2iVector()
    assert (PointToPoint().compute_transformation(cloud(SOURCE), cloud(SOURCE), empty) == np.eye(4)).all()
    for bad in (np.nan, np.inf):
        src = SOURCE[:5].copy()
        src[2, 1] = bad
        t = PointToPoint(True).compute_transformation(cloud(src), cloud(SOURCE[:5]), pairs(5))
        assert (t == np.eye(4)).all()


# ---- point-to-plane ------------------------------------------------------------------------------

def test_point_to_plane_translation_is_solved_exactly():
    shift = np.array([0.02, -0.01, 0.03])
    target = cloud(SOURCE, UNIT_NORMALS)
    t = PointToPlane().compute_transformation(cloud(SOURCE + shift), target, pairs(40))
    np.testing.assert_allclose(t[:3, :3], np.eye(3), atol=1e-14)
    np.testing.assert_allclose(t[:3, 3], -shift, atol=1e-15)


def test_point_to_plane_is_one_linearised_step():
    # A small motion is recovered to first order; iterating would converge.
    small = rigid(rotation([0, 1, 1], 0.5), [0.001, 0.002, -0.001])
    target = moved(SOURCE, small)
    normals = UNIT_NORMALS
    t = PointToPlane().compute_transformation(cloud(SOURCE), cloud(target, normals), pairs(40))
    np.testing.assert_allclose(t, small, atol=1e-4)
    np.testing.assert_allclose(t[:3, :3] @ t[:3, :3].T, np.eye(3), atol=1e-14)


@pytest.mark.parametrize("case", ["no pairs", "no normals", "fewer normals", "empty target"])
def test_point_to_plane_without_usable_normals_gives_the_identity_and_zero_rmse(case):
    src, corres = cloud(SOURCE[:5]), pairs(5)
    target = {
        "no pairs": cloud(SOURCE[:5], UNIT_NORMALS[:5]),
        "no normals": cloud(SOURCE[:5] + 1.0),
        "fewer normals": cloud(SOURCE[:5] + 1.0, UNIT_NORMALS[:4]),
        "empty target": cloud(np.zeros((0, 3))),
    }[case]
    if case in ("no pairs", "empty target"):
        corres = Vector2iVector()
    est = PointToPlane()
    assert (est.compute_transformation(src, target, corres) == np.eye(4)).all()
    assert est.compute_rmse(src, target, corres) == 0.0


def test_point_to_plane_planar_normals_leave_the_free_directions_at_zero():
    # Every normal is +z: only the height and the tilts are constrained; the singular pivots of
    # the other three unknowns give zeros instead of NaN.
    plane = np.column_stack([RNG.uniform(-1, 1, 30), RNG.uniform(-1, 1, 30), np.zeros(30)])
    target = cloud(plane, np.tile([0.0, 0.0, 1.0], (30, 1)))
    source = cloud(plane + [0.3, -0.4, 0.05])
    t = PointToPlane().compute_transformation(source, target, pairs(30))
    assert np.isfinite(t).all()
    np.testing.assert_allclose(t[:3, :3], np.eye(3), atol=1e-13)
    np.testing.assert_allclose(t[:3, 3], [0.0, 0.0, -0.05], atol=1e-13)


def test_point_to_plane_subnormal_pivots_are_zeroed():
    # Normals of length 1e-160 make every pivot subnormal: each component is set to zero.
    tiny = UNIT_NORMALS * 1e-160
    t = PointToPlane().compute_transformation(cloud(SOURCE + 0.01), cloud(SOURCE, tiny), pairs(40))
    assert (t == np.eye(4)).all()


# ---- residuals -----------------------------------------------------------------------------------

def test_compute_rmse_sums_in_pair_order():
    src, tgt = SOURCE[:9], moved(SOURCE[:9], MOTION)
    corres = np.array([[3, 1], [0, 0], [8, 2], [3, 3], [5, 7]], dtype=np.int32)
    total = 0.0
    for s, t in corres:
        d = src[s] - tgt[t]
        total += d[0] * d[0] + d[1] * d[1] + d[2] * d[2]
    expected = math.sqrt(total / len(corres))
    assert PointToPoint().compute_rmse(cloud(src), cloud(tgt), Vector2iVector(corres)) == expected
    assert PointToPoint(True).compute_rmse(cloud(src), cloud(tgt), Vector2iVector(corres)) == expected

    normals = UNIT_NORMALS[:9]
    total = 0.0
    for s, t in corres:
        d = src[s] - tgt[t]
        r = d[0] * normals[t][0] + d[1] * normals[t][1] + d[2] * normals[t][2]
        total += r * r
    expected = math.sqrt(total / len(corres))
    assert PointToPlane().compute_rmse(cloud(src), cloud(tgt, normals), Vector2iVector(corres)) == expected
    assert PointToPoint().compute_rmse(cloud(src), cloud(tgt), Vector2iVector()) == 0.0


# ---- pair validation -----------------------------------------------------------------------------

@pytest.mark.parametrize("corres, message", [
    ([[-1, 0]], "correspondence 0 has negative source index -1"),
    ([[0, -7]], "correspondence 0 has negative target index -7"),
    ([[0, 0], [4, 0]], "correspondence 1 source index 4 is out of bounds for 4 points"),
    ([[0, 5]], "correspondence 0 target index 5 is out of bounds for 5 points"),
    ([[-1, 5]], "correspondence 0 has negative source index -1"),
    ([[9, -1]], "correspondence 0 has negative target index -1"),
    ([[1, 1], [2, 2], [3, 9], [-1, 0]], "correspondence 2 target index 9 is out of bounds for 5 points"),
])
@pytest.mark.parametrize("est", [PointToPoint(), PointToPoint(True), PointToPlane()], ids=repr)
@pytest.mark.parametrize("method", ["compute_rmse", "compute_transformation"])
def test_invalid_pairs_raise_and_change_nothing(corres, message, est, method):
    src, tgt = cloud(SOURCE[:4]), cloud(SOURCE[:5], UNIT_NORMALS[:5])
    corres = Vector2iVector(np.array(corres, dtype=np.int32))
    before = (np.asarray(src.points).copy(), np.asarray(tgt.points).copy(), np.asarray(corres).copy())
    with pytest.raises(ValueError) as err:
        getattr(est, method)(src, tgt, corres)
    assert str(err.value) == message
    assert (np.asarray(src.points) == before[0]).all() and (np.asarray(tgt.points) == before[1]).all()
    assert (np.asarray(corres) == before[2]).all()


def test_pair_arguments_convert_like_containers():
    src, tgt = cloud(SOURCE[:3]), cloud(SOURCE[:3])
    est = PointToPoint()
    as_list = est.compute_rmse(src, tgt, [[0, 1], [2, 2]])
    assert as_list == est.compute_rmse(src, tgt, np.array([[0, 1], [2, 2]], dtype=np.int32))
    with pytest.raises(TypeError, match="^argument 'corres': invalid array shape$"):
        est.compute_rmse(src, tgt, [[0, 1, 2]])
    with pytest.raises(TypeError, match="^argument 'source': "):
        est.compute_rmse(np.zeros((3, 3)), tgt, [[0, 1]])


# ---- the classes ---------------------------------------------------------------------------------

def test_estimator_classes():
    with pytest.raises(TypeError, match="^No constructor defined for TransformationEstimation$"):
        reg.TransformationEstimation()
    est = PointToPoint(with_scaling=True)
    assert isinstance(est, reg.TransformationEstimation) and est.with_scaling is True
    assert repr(est) == "TransformationEstimationPointToPoint(with_scaling=True)"
    twin = copy.copy(est)
    est.with_scaling = False
    assert repr(est) == "TransformationEstimationPointToPoint(with_scaling=False)"
    assert type(twin) is PointToPoint and twin.with_scaling is True and copy.deepcopy(est).with_scaling is False
    assert repr(PointToPoint()) == "TransformationEstimationPointToPoint(with_scaling=False)"
    # The flag switches the estimator itself.
    src, tgt = cloud(SOURCE[:6]), cloud(2.0 * SOURCE[:6])
    assert est.compute_transformation(src, tgt, pairs(6))[0, 0] == pytest.approx(1.0)
    est.with_scaling = True
    assert est.compute_transformation(src, tgt, pairs(6))[0, 0] == pytest.approx(2.0)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del est.with_scaling
    with pytest.raises(TypeError, match="^argument 'with_scaling': "):
        est.with_scaling = 1
    with pytest.raises(TypeError):
        PointToPoint(1)

    plane = PointToPlane()
    assert repr(plane) == "TransformationEstimationPointToPlane"
    assert type(copy.copy(plane)) is PointToPlane and type(copy.deepcopy(plane)) is PointToPlane
    with pytest.raises(TypeError):
        PointToPlane(True)


# ---- the written arithmetic, bit for bit ---------------------------------------------------------
# A direct transcription of the estimators' recipe in Python floats (IEEE doubles with correctly
# rounded sqrt and the platform's sin/cos, as in the library), compared bit for bit.

TINY = 2.2250738585072014e-308
EPS2 = 4.440892098500626e-16


def ref_svd3(c):
    if any(math.isnan(e) for row in c for e in row):
        return None
    scale = max(abs(e) for row in c for e in row)
    if math.isinf(scale):
        return None
    if scale == 0:
        scale = 1.0
    w = [[e / scale for e in row] for row in c]
    u = [[1.0 if i == j else 0.0 for j in range(3)] for i in range(3)]
    v = [row[:] for row in u]
    max_diag = max(abs(w[0][0]), abs(w[1][1]), abs(w[2][2]))
    while True:
        rotated = False
        for p, q in ((1, 0), (2, 0), (2, 1)):
            threshold = max(TINY, EPS2 * max_diag)
            if not (abs(w[p][q]) > threshold or abs(w[q][p]) > threshold):
                continue
            rotated = True
            tau, delta = w[p][p] + w[q][q], w[q][p] - w[p][q]
            if abs(delta) < TINY:
                c1, s1 = 1.0, 0.0
            else:
                ratio = tau / delta
                h = math.sqrt(ratio * ratio + 1)
                c1, s1 = ratio / h, 1 / h
            x = c1 * w[p][p] + s1 * w[q][p]
            y = c1 * w[p][q] + s1 * w[q][q]
            z = c1 * w[q][q] - s1 * w[p][q]
            if 2 * abs(y) < TINY:
                c2, s2 = 1.0, 0.0
            else:
                theta = (x - z) / (2 * abs(y))
                root = math.sqrt(theta * theta + 1)
                t = 1 / (theta + root) if theta > 0 else 1 / (theta - root)
                c2 = 1 / math.sqrt(t * t + 1)
                s2 = -(1.0 if t > 0 else -1.0) * (y / abs(y)) * abs(t) * c2
            cl, sl = c1 * c2 + s1 * s2, s1 * c2 - c1 * s2
            for k in range(3):
                wp, wq = w[p][k], w[q][k]
                w[p][k], w[q][k] = cl * wp + sl * wq, cl * wq - sl * wp
            for k in range(3):
                up, uq = u[k][p], u[k][q]
                u[k][p], u[k][q] = cl * up + sl * uq, cl * uq - sl * up
            for m in (w, v):
                for k in range(3):
                    xp, xq = m[k][p], m[k][q]
                    m[k][p], m[k][q] = c2 * xp - s2 * xq, c2 * xq + s2 * xp
            max_diag = max(max_diag, abs(w[p][p]), abs(w[q][q]))
        if not rotated:
            break
    d = []
    for i in range(3):
        if w[i][i] < 0:
            for k in range(3):
                u[k][i] = -u[k][i]
        d.append(abs(w[i][i]) * scale)

    def swap(a, b):
        d[a], d[b] = d[b], d[a]
        for m in (u, v):
            for k in range(3):
                m[k][a], m[k][b] = m[k][b], m[k][a]

    big = max(range(3), key=lambda i: (d[i], -i))
    if d[big] != 0:
        if big != 0:
            swap(0, big)
        if d[2] > d[1] and max(d[1], d[2]) != 0:
            swap(1, 2)
    return u, d, v


def ref_point_to_point(src, tgt, corres, scaling):
    m = len(corres)
    if m == 0:
        return np.eye(4)
    inv = 1.0 / m
    sp, sq = [0.0] * 3, [0.0] * 3
    for s, t in corres:
        for k in range(3):
            sp[k] += src[s][k]
            sq[k] += tgt[t][k]
    mp, mq = [e * inv for e in sp], [e * inv for e in sq]
    spread, c = 0.0, [[0.0] * 3 for _ in range(3)]
    for s, t in corres:
        a = [src[s][k] - mp[k] for k in range(3)]
        b = [tgt[t][k] - mq[k] for k in range(3)]
        spread += a[0] * a[0] + a[1] * a[1] + a[2] * a[2]
        for i in range(3):
            for j in range(3):
                c[i][j] += b[i] * a[j]
    var = spread * inv
    c = [[e * inv for e in row] for row in c]
    svd = ref_svd3(c)
    if svd is None:
        return np.eye(4)
    u, d, v = svd
    uvt = [[u[i][0] * v[j][0] + u[i][1] * v[j][1] + u[i][2] * v[j][2] for j in range(3)] for i in range(3)]
    det = (uvt[0][0] * (uvt[1][1] * uvt[2][2] - uvt[1][2] * uvt[2][1])
           - uvt[0][1] * (uvt[1][0] * uvt[2][2] - uvt[1][2] * uvt[2][0])
           + uvt[0][2] * (uvt[1][0] * uvt[2][1] - uvt[1][1] * uvt[2][0]))
    sign = -1.0 if det < 0 else 1.0
    r = [[u[i][0] * v[j][0] + u[i][1] * v[j][1] + (u[i][2] * sign) * v[j][2] for j in range(3)] for i in range(3)]
    scale = (d[0] + d[1] + sign * d[2]) / var if scaling and var > 0 else 1.0
    out = np.eye(4)
    for i in range(3):
        for j in range(3):
            out[i][j] = scale * r[i][j]
    for i in range(3):
        out[i][3] = mq[i] - (out[i][0] * mp[0] + out[i][1] * mp[1] + out[i][2] * mp[2])
    return out


def ref_ldlt6(a, b):
    a = [row[:] for row in a]
    perm = list(range(6))
    for k in range(6):
        p = k
        for i in range(k + 1, 6):
            if abs(a[i][i]) > abs(a[p][p]):
                p = i
        perm[k] = p
        if p != k:
            for j in range(k):
                a[k][j], a[p][j] = a[p][j], a[k][j]
            for i in range(p + 1, 6):
                a[i][k], a[i][p] = a[i][p], a[i][k]
            a[k][k], a[p][p] = a[p][p], a[k][k]
            for i in range(k + 1, p):
                a[i][k], a[p][i] = a[p][i], a[i][k]
        if k > 0:
            w = [a[j][j] * a[k][j] for j in range(k)]
            s = a[k][0] * w[0]
            for j in range(1, k):
                s += a[k][j] * w[j]
            a[k][k] -= s
            for i in range(k + 1, 6):
                s = a[i][0] * w[0]
                for j in range(1, k):
                    s += a[i][j] * w[j]
                a[i][k] -= s
        if k == 0 and a[0][0] == 0:
            perm = list(range(6))
            break
        if a[k][k] != 0 and k < 5:
            for i in range(k + 1, 6):
                a[i][k] /= a[k][k]
    y = list(b)
    for k in range(6):
        y[k], y[perm[k]] = y[perm[k]], y[k]
    for i in range(1, 6):
        s = a[i][0] * y[0]
        for j in range(1, i):
            s += a[i][j] * y[j]
        y[i] -= s
    y = [y[i] / a[i][i] if abs(a[i][i]) > TINY else 0.0 for i in range(6)]
    for i in range(4, -1, -1):
        s = a[i + 1][i] * y[i + 1]
        for j in range(i + 2, 6):
            s += a[j][i] * y[j]
        y[i] -= s
    for k in range(5, -1, -1):
        y[k], y[perm[k]] = y[perm[k]], y[k]
    return y


def ref_point_to_plane(src, tgt, normals, corres):
    a = [[0.0] * 6 for _ in range(6)]
    g = [0.0] * 6
    for s, t in corres:
        p, q, n = src[s], tgt[t], normals[t]
        j = [p[1] * n[2] - p[2] * n[1], p[2] * n[0] - p[0] * n[2], p[0] * n[1] - p[1] * n[0], n[0], n[1], n[2]]
        r = (p[0] - q[0]) * n[0] + (p[1] - q[1]) * n[1] + (p[2] - q[2]) * n[2]
        for i in range(6):
            for k in range(i + 1):
                a[i][k] += j[i] * j[k]
            g[i] += r * j[i]
    x = ref_ldlt6(a, [-e for e in g])
    # Rz(gamma) Ry(beta) Rx(alpha) through qz*qy*qx; each quaternion entry has at most two
    # non-zero terms, so the product's order of summation cannot change the bits.
    cx, sx = math.cos(0.5 * x[0]), math.sin(0.5 * x[0])
    cy, sy = math.cos(0.5 * x[1]), math.sin(0.5 * x[1])
    cz, sz = math.cos(0.5 * x[2]), math.sin(0.5 * x[2])
    w0, x0, y0, z0 = cz * cy, -(sz * sy), cz * sy, sz * cy
    qw, qx, qy, qz = w0 * cx - x0 * sx, w0 * sx + x0 * cx, y0 * cx + z0 * sx, z0 * cx - y0 * sx
    out = np.eye(4)
    out[0, :3] = [1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)]
    out[1, :3] = [2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)]
    out[2, :3] = [2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)]
    out[:3, 3] = x[3:]
    return out


def random_problem(seed, n=25):
    rng = np.random.default_rng(seed)
    src = rng.normal(size=(n, 3)) * rng.uniform(0.1, 10.0, 3)
    motion = rigid(rotation(rng.normal(size=3), rng.uniform(0, 40)), rng.normal(size=3))
    tgt = moved(src, motion) + rng.normal(scale=0.01, size=(n, 3))
    normals = rng.normal(size=(n, 3))
    normals /= np.linalg.norm(normals, axis=1, keepdims=True)
    corres = rng.integers(0, n, size=(n + 5, 2)).astype(np.int32)
    return src, tgt, normals, corres


@pytest.mark.parametrize("seed", range(6))
def test_estimates_match_the_written_arithmetic_bit_for_bit(seed):
    src, tgt, normals, corres = random_problem(seed)
    s, t = cloud(src), cloud(tgt, normals)
    args = (src.tolist(), tgt.tolist())
    pc = [tuple(c) for c in corres.tolist()]
    for scaling in (False, True):
        ours = PointToPoint(scaling).compute_transformation(s, t, Vector2iVector(corres))
        assert ours.tobytes() == ref_point_to_point(*args, pc, scaling).tobytes()
    ours = PointToPlane().compute_transformation(s, t, Vector2iVector(corres))
    assert ours.tobytes() == ref_point_to_plane(*args, normals.tolist(), pc).tobytes()
