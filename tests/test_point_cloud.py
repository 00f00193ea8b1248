"""PointCloud: record, queries, edits, rigid transforms, rotation matrices, attribute views
and NumPy sharing. Expected values are computed independently with NumPy elementwise
operations (never fused) in the operation order the library promises, so they compare
exactly; only dot products, whose order is free, are compared with a tolerance or on data
where every order is exact."""
import copy
import gc
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry, utility

PC = geometry.PointCloud
NAN = float("nan")


def arr(view):
    return np.asarray(view).copy()  # detached (np.array would share: __array__ ignores `copy`)


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and (a.view(np.uint64) == b.view(np.uint64)).all()


def index_order_center(p):
    total = np.zeros(3)
    for row in p:
        total = total + row
    return total / len(p)


def random_points(seed, n=200, scale=100.0):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, 3)) * scale * 10.0 ** rng.integers(-3, 4, size=(n, 1))


# ---- record and queries ------------------------------------------------------------------------------


def test_new_cloud():
    pc = PC()
    assert (pc.is_empty(), pc.has_points(), pc.has_normals(), pc.has_colors()) == (True, False, False, False)
    assert repr(pc) == "PointCloud with 0 points." and pc.dimension() == 3
    assert pc.get_center().tolist() == [0, 0, 0]
    assert np.isnan(pc.get_min_bound()).all() and np.isnan(pc.get_max_bound()).all()
    kind = pc.get_geometry_type()
    assert kind == geometry.Geometry.PointCloud and repr(kind) == "<Type.PointCloud: 1>"
    assert len(PC(None).points) == 0


@pytest.mark.parametrize("n_points, n_normals, n_colors, expected", [
    (0, 0, 0, (False, False, False, True)),
    (0, 2, 2, (False, False, False, True)),  # is_empty looks at the points only
    (2, 1, 0, (True, False, False, False)),
    (2, 2, 0, (True, True, False, False)),
    (2, 0, 2, (True, False, True, False)),
    (2, 3, 3, (True, False, False, False)),
    (2, 2, 2, (True, True, True, False)),
])
def test_predicates(make_cloud, n_points, n_normals, n_colors, expected):
    pc = make_cloud(np.ones((n_points, 3)), np.ones((n_normals, 3)), np.ones((n_colors, 3)))
    assert (pc.has_points(), pc.has_normals(), pc.has_colors(), pc.is_empty()) == expected
    assert repr(pc) == f"PointCloud with {n_points} points."


def test_normals_count_follows_edits_through_views(make_cloud):
    pc = make_cloud([[0, 0, 0], [1, 2, 3]], [[0, 0, 1]])
    assert not pc.has_normals()
    pc.normals.append([0, 1, 0])
    assert pc.has_normals()
    pc.points.append([5, 5, 5])  # changes the points only
    assert not pc.has_normals() and len(pc.normals) == 2
    pc.points = np.zeros((5, 3))
    assert len(pc.normals) == 2 and not pc.has_normals()


@pytest.mark.parametrize("points, lo, hi", [
    ([[NAN, 5, 1], [2, 3, NAN]], [2, 3, 1], [2, 5, 1]),
    ([[NAN, 1, 1], [NAN, 2, 0]], [NAN, 1, 0], [NAN, 2, 1]),
    ([[1, -0.0, 3]], [1, -0.0, 3], [1, -0.0, 3]),
    ([[-math.inf, 0, 0], [math.inf, NAN, 0]], [-math.inf, 0, 0], [math.inf, 0, 0]),
])
def test_bounds_skip_nan(make_cloud, points, lo, hi):
    pc = make_cloud(points)
    assert same_bits(pc.get_min_bound(), lo) and same_bits(pc.get_max_bound(), hi)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_bounds_and_center_of_random_clouds(make_cloud, seed):
    p = random_points(seed)
    p[::7, seed % 3] = NAN
    pc = make_cloud(p)
    assert same_bits(pc.get_min_bound(), np.nanmin(p, axis=0)) and same_bits(pc.get_max_bound(), np.nanmax(p, axis=0))
    q = random_points(seed + 10)
    assert same_bits(make_cloud(q).get_center(), index_order_center(q))


# ---- construction, copies, clear ---------------------------------------------------------------------------


def test_copies_are_deep_and_independent(make_cloud):
    pc = make_cloud([[1, 2, 3]], [[0, 0, 1]], [[0.5, 0.5, 0.5]])
    for c in (PC(pc), PC(other=pc), copy.copy(pc), copy.deepcopy(pc), pc.__deepcopy__("anything")):
        assert type(c) is PC
        c.points.append([4, 5, 6])
        c.normals[0] = [1, 0, 0]
        c.colors.clear()
        assert arr(pc.points).tolist() == [[1, 2, 3]] and arr(pc.normals).tolist() == [[0, 0, 1]]
        assert len(pc.colors) == 1


@pytest.mark.parametrize("other", [np.zeros((2, 3)), [[1, 2, 3]], utility.Vector3dVector(), 0, geometry.Geometry.PointCloud])
def test_constructor_takes_only_point_clouds(other):
    with pytest.raises(TypeError) as info:
        PC(other)
    assert str(info.value) == f"argument 'other': '{type(other).__name__}' object cannot be converted to 'PointCloud'"


def test_clear_empties_all_arrays_and_existing_views(make_cloud):
    pc = make_cloud(np.ones((4, 3)), np.ones((4, 3)), np.ones((2, 3)))
    views = [pc.points, pc.normals, pc.colors]
    assert pc.clear() is pc
    assert [len(v) for v in views] == [0, 0, 0] and pc.is_empty()


# ---- edits ---------------------------------------------------------------------------------------------------


def scaled_normalize(n):
    """The scaled normalisation, steps 1 to 3, on one normal."""
    finite = [abs(c) for c in n if not math.isnan(c)]
    s = np.float64(max(finite) if finite else NAN)
    with np.errstate(all="ignore"):
        x, y, z = (np.float64(c) / s for c in n)
        q = (x * x + y * y) + z * z
        if q > 0:
            length = s * np.sqrt(q)
            return [n[0] / length, n[1] / length, n[2] / length]
    return list(n)


def normalized(n):
    r = scaled_normalize(n)
    return [0.0, 0.0, 1.0] if math.isnan(r[0]) else r


@pytest.mark.parametrize("normal, expected", [
    ([3, 4, 0], [0.6, 0.8, 0]),
    ([0, 0, 0], [0, 0, 0]),
    ([NAN, 1, 1], [0, 0, 1]),
    ([1, NAN, 1], [1, NAN, 1]),  # only a NaN x triggers the replacement
    ([NAN, NAN, NAN], [0, 0, 1]),
    ([1e-200, 0, 0], [1, 0, 0]),  # no underflow
    ([1e300, 1e300, 0], [math.sqrt(0.5), math.sqrt(0.5), 0]),  # no overflow
    ([-2, 0, 0], [-1, 0, 0]),
    ([math.inf, 0, 0], [math.inf, 0, 0]),  # inf/inf is NaN: left as it is
])
def test_normalize_normals_table(make_cloud, normal, expected):
    pc = make_cloud([[0, 0, 0]], [normal])
    assert pc.normalize_normals() is pc
    assert np.allclose(arr(pc.normals)[0], expected, rtol=1e-15, atol=0, equal_nan=True)
    assert same_bits(arr(pc.normals)[0], normalized(normal))


def test_normalize_normals_whatever_their_count(make_cloud):
    rng = np.random.default_rng(5)
    normals = rng.normal(size=(300, 3)) * 10.0 ** rng.integers(-300, 300, size=(300, 1))
    normals[::11] = 0
    pc = make_cloud(np.zeros((2, 3)), normals)  # 2 points, 300 normals
    pc.normalize_normals()
    assert same_bits(arr(pc.normals), [normalized(n) for n in normals.tolist()])
    assert arr(pc.points).tolist() == [[0, 0, 0]] * 2


@pytest.mark.parametrize("color, stored", [
    ([2, -1, 0.5], [1, 0, 0.5]),
    ([NAN, 0.25, 1], [0, 0.25, 1]),
    ([math.inf, -math.inf, 1e-300], [1, 0, 1e-300]),
    (np.array([0.1, 0.2, 0.3]), [0.1, 0.2, 0.3]),
])
@pytest.mark.parametrize("n_points, n_colors", [(3, 0), (3, 5), (0, 2)])
def test_paint_uniform_color(make_cloud, color, stored, n_points, n_colors):
    pc = make_cloud(np.ones((n_points, 3)), np.ones((n_points, 3)), np.zeros((n_colors, 3)))
    assert pc.paint_uniform_color(color) is pc
    assert arr(pc.colors).tolist() == [stored] * n_points  # previous colours discarded
    assert pc.has_colors() == (n_points > 0)
    assert arr(pc.normals).tolist() == [[1, 1, 1]] * n_points


# ---- rotation matrices ----------------------------------------------------------------------------------------


def elementary(axis, t):
    c, s = math.cos(t), math.sin(t)  # the C library's cos and sin
    return np.array({
        "x": [[1, 0, 0], [0, c, -s], [0, s, c]],
        "y": [[c, 0, s], [0, 1, 0], [-s, 0, c]],
        "z": [[c, -s, 0], [s, c, 0], [0, 0, 1]],
    }[axis])


def mm(a, b):
    """3x3 product with elementwise NumPy operations, summed left to right."""
    return (a[:, 0, None] * b[0]) + (a[:, 1, None] * b[1]) + (a[:, 2, None] * b[2])


ORDERS = ["xyz", "xzy", "yxz", "yzx", "zxy", "zyx"]


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("angles", [(0.3, -1.2, 2.5), (math.pi, math.pi / 2, -math.pi / 3), (0, 0, 0), (1e-9, 7, -40)])
def test_euler_rotations(order, angles):
    got = getattr(geometry, f"get_rotation_matrix_from_{order}")(angles)
    expected = mm(mm(elementary(order[0], angles[0]), elementary(order[1], angles[1])), elementary(order[2], angles[2]))
    # Every entry of these products has at most two nonzero terms, so any order is exact.
    assert got.dtype == np.float64 and got.shape == (3, 3) and (got == expected).all()


def test_euler_rotation_edge_cases():
    xyz = geometry.get_rotation_matrix_from_xyz
    assert np.allclose(xyz([0, 0, math.pi / 2]) @ [1, 0, 0], [0, 1, 0], atol=1e-15)
    a, b, c = 0.4, -0.9, 1.7
    assert np.allclose(xyz([a, b, c]), xyz([a, 0, 0]) @ xyz([0, b, 0]) @ xyz([0, 0, c]), rtol=0, atol=1e-15)
    assert not np.allclose(geometry.get_rotation_matrix_from_zyx([a, b, c]), xyz([a, b, c]).T)


def rodrigues(v):
    x, y, z = v
    theta = math.sqrt(z * z + (x * x + y * y))
    u = np.array(v) / theta
    c, s = math.cos(theta), math.sin(theta)
    cross = np.array([[0, -u[2], u[1]], [u[2], 0, -u[0]], [-u[1], u[0], 0]])
    return c * np.eye(3) + (1 - c) * np.outer(u, u) + s * cross


@pytest.mark.parametrize("v, expected", [
    ([0, 0, 0], np.eye(3)),
    ([NAN, 0, 0], np.eye(3)),
    ([1e-12, 0, 0], np.eye(3)),  # θ must exceed 1e-12
    ([0, 0, math.pi], rodrigues([0, 0, math.pi])),
    ([2e-12, 0, 0], rodrigues([2e-12, 0, 0])),
    ([0.3, -0.4, 1.2], rodrigues([0.3, -0.4, 1.2])),
    ([-5, 2, 0.5], rodrigues([-5, 2, 0.5])),
])
def test_axis_angle(v, expected):
    got = geometry.get_rotation_matrix_from_axis_angle(v)
    assert np.allclose(got, expected, rtol=0, atol=2e-16 * 8)
    if np.array_equal(expected, np.eye(3)):
        assert (got == np.eye(3)).all()
    assert np.allclose(got @ got.T, np.eye(3), atol=1e-15)


def quaternion_reference(q):
    w, x, y, z = (float(c) for c in q)
    n = math.sqrt((y * y + w * w) + (x * x + z * z))
    w, x, y, z = w / n, x / n, y / n, z / n
    return [[1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
            [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
            [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]]


@pytest.mark.parametrize("q", [(2, 0, 0, 0), (1, 2, 3, 4), (0.5, -0.5, 0.5, -0.5), (1e-150, 0, 1e-150, 0),
                               (-0.3, 0.1, 0.9, 0.2), (0, 0, 0, 7)])
def test_quaternion(q):
    got = geometry.get_rotation_matrix_from_quaternion(q)
    assert same_bits(got, quaternion_reference(q))


@pytest.mark.parametrize("q", [(0, 0, 0, 0), (math.inf, 0, 0, 0), (NAN, 0, 0, 0), (1e200, 0, 0, 0), (0, 0, -math.inf, 1)])
def test_quaternion_without_finite_nonzero_norm(q):
    with pytest.raises(ValueError) as info:
        geometry.get_rotation_matrix_from_quaternion(q)
    assert str(info.value) == "quaternion must be finite and have non-zero norm"


# ---- rigid transforms ----------------------------------------------------------------------------------------


def test_every_transform_returns_the_cloud(make_cloud):
    pc = make_cloud([[1, 2, 3]])
    for result in (pc.transform(np.eye(4)), pc.translate([1, 1, 1]), pc.scale(2.0, [0, 0, 0]), pc.rotate(np.eye(3)),
                   pc.normalize_normals(), pc.paint_uniform_color([1, 1, 1]), pc.clear()):
        assert result is pc


@pytest.mark.parametrize("call", [
    lambda pc: pc.transform(np.diag([2.0, 3, 4, 1])),
    lambda pc: pc.translate([1, 2, 3]),
    lambda pc: pc.translate([1, 2, 3], relative=False),
    lambda pc: pc.scale(3.0, [1, 1, 1]),
    lambda pc: pc.rotate(np.ones((3, 3))),
    lambda pc: pc.rotate(np.ones((3, 3)), [1, 2, 3]),
])
def test_transforms_of_an_empty_cloud_do_nothing(call):
    pc = PC()
    pc.normals = [[1, 0, 0]]
    call(pc)
    assert pc.is_empty() and arr(pc.normals).tolist() == [[1, 0, 0]]


@pytest.mark.parametrize("seed", [1, 2])
def test_translate(make_cloud, seed):
    p, n = random_points(seed), random_points(seed + 1)
    t = np.array([0.1, -2.5e3, 7.25])
    pc = make_cloud(p, n, np.ones_like(p))
    pc.translate(t)
    assert same_bits(arr(pc.points), p + t) and same_bits(arr(pc.normals), n)
    pc = make_cloud(p, n)
    pc.translate(t, relative=False)
    assert same_bits(arr(pc.points), p + (t - index_order_center(p)))
    assert np.allclose(pc.get_center(), t, rtol=1e-12, atol=1e-9)
    assert same_bits(arr(pc.normals), n)
    exact = make_cloud([[0, 0, 0], [2, 4, 6]]).translate([1, 1, 1], relative=False)
    assert exact.get_center().tolist() == [1, 1, 1]


@pytest.mark.parametrize("factor", [2.0, -0.5, 0.0, 1e-300, 3.7])
def test_scale(make_cloud, factor):
    p, n = random_points(3), random_points(4)
    c = np.array([1.5, -2.0, 1e3])
    pc = make_cloud(p, n)
    pc.scale(factor, c)
    assert same_bits(arr(pc.points), (p - c) * factor + c) and same_bits(arr(pc.normals), n)
    assert arr(make_cloud([[1, -2, 3]]).scale(2.0, [0, 0, 0]).points).tolist() == [[2, -4, 6]]


@pytest.mark.parametrize("r", [np.eye(3), np.array([[2.0, 0, 1], [0, 3, 0], [1, 0, -1]]), np.ones((3, 3)) * 0.5])
@pytest.mark.parametrize("center", [None, (0.5, -1.5, 2.0)])
def test_rotate_on_exact_data(make_cloud, r, center):
    rng = np.random.default_rng(9)
    p = rng.integers(-50, 50, size=(40, 3)).astype(np.float64)  # sums of products are exact in any order
    n = rng.integers(-5, 5, size=(40, 3)).astype(np.float64)
    pc = make_cloud(p, n)
    c = index_order_center(p) if center is None else np.array(center)
    pc.rotate(r, center)
    d = p - c
    assert same_bits(arr(pc.points), (d[:, 0, None] * r[:, 0] + d[:, 1, None] * r[:, 1] + d[:, 2, None] * r[:, 2]) + c)
    assert same_bits(arr(pc.normals), n[:, 0, None] * r[:, 0] + n[:, 1, None] * r[:, 1] + n[:, 2, None] * r[:, 2])


def test_rotate_general(make_cloud):
    p, n = random_points(6), random_points(7)
    r = geometry.get_rotation_matrix_from_axis_angle([0.3, 1.1, -0.7])
    pc = make_cloud(p, n)
    pc.rotate(r, [1, 2, 3])
    assert np.allclose(arr(pc.points), (p - [1, 2, 3]) @ r.T + [1, 2, 3], rtol=1e-13, atol=1e-9)
    assert np.allclose(arr(pc.normals), n @ r.T, rtol=1e-13, atol=1e-9)  # not normalised


@pytest.mark.parametrize("last_row, factor", [((0, 0, 0, 1), 1.0), ((0, 0, 0, 2), 0.5), ((0, 0, 0, -4), -0.25)])
def test_transform_points_on_exact_data(make_cloud, last_row, factor):
    rng = np.random.default_rng(11)
    t = rng.integers(-4, 5, size=(4, 4)).astype(np.float64)
    t[3] = last_row
    p = rng.integers(-100, 100, size=(50, 3)).astype(np.float64)
    pc = make_cloud(p)
    pc.transform(t)
    h = np.hstack([p, np.ones((len(p), 1))])
    assert same_bits(arr(pc.points), (h @ t[:3].T) * factor)


def test_transform_with_vanishing_weight_gives_nan_points(make_cloud):
    t = np.eye(4)
    t[3] = (0, 0, 0, 0)
    pc = make_cloud([[1, 2, 3], [0, 0, 0]])
    assert np.isnan(arr(pc.transform(t).points)).all()
    t[3] = (1, 0, 0, -1)  # w = x - 1 is 0 for the first point, 1e-10 for the second
    pc = make_cloud([[1, 5, 5], [1 + 1e-10, 5, 5], [3, 4, 2]])
    got = arr(pc.transform(t).points)
    assert np.isnan(got[:2]).all() and got[2].tolist() == [1.5, 2, 1]


def normal_matrix(m):
    c = np.empty((3, 3))
    for i in range(3):
        for j in range(3):
            rows, cols = [k for k in range(3) if k != i], [k for k in range(3) if k != j]
            minor = m[rows[0], cols[0]] * m[rows[1], cols[1]] - m[rows[0], cols[1]] * m[rows[1], cols[0]]
            c[i, j] = -minor if (i + j) % 2 else minor
    det = (m[0, 0] * c[0, 0] + m[1, 0] * c[1, 0]) + m[2, 0] * c[2, 0]
    return c / det if abs(det) > 1e-12 else np.eye(3)


def transformed_normal(nm, n):
    r = scaled_normalize(list(nm @ n))
    return [0.0, 0.0, 0.0] if math.isnan(r[0]) else r


@pytest.mark.parametrize("t, normals", [
    (np.diag([2.0, 1, 1, 1]), [[1, 1, 0]]),
    (np.diag([0.0, 0, 0, 1]), [[3, 4, 0], [0, 0, 0], [0, 0, 1e-200]]),  # singular: identity, still normalised
    (np.diag([1.0, 1, 1, 1]), [[NAN, 1, 0], [0, NAN, 1]]),  # NaN x after the map: (0, 0, 0)
    (np.diag([1e-7, 1, 1, 1]), [[1, 1, 1]]),  # det 1e-7 is not singular
    (np.diag([1e-13, 1, 1, 1]), [[1, 1, 1]]),  # det below the threshold
])
def test_transform_normals(make_cloud, t, normals):
    pc = make_cloud(np.zeros((len(normals), 3)), normals)
    pc.transform(t)
    expected = [transformed_normal(normal_matrix(t[:3, :3]), np.array(n, dtype=np.float64)) for n in normals]
    assert same_bits(arr(pc.normals), expected)
    if t[0, 0] == 2:
        assert np.allclose(arr(pc.normals), [[1 / math.sqrt(5), 2 / math.sqrt(5), 0]], rtol=1e-15)


def test_transform_normals_of_a_general_matrix(make_cloud):
    rng = np.random.default_rng(12)
    t = np.vstack([rng.normal(size=(3, 4)), [0, 0, 0, 1]])
    n = rng.normal(size=(100, 3))
    pc = make_cloud(rng.normal(size=(100, 3)), n)
    pc.transform(t)
    expected = n @ np.linalg.inv(t[:3, :3])
    expected /= np.linalg.norm(expected, axis=1, keepdims=True)
    assert np.allclose(arr(pc.normals), expected, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("call", [
    lambda pc: pc.rotate(np.diag([2.0, 2, 2]), [0, 0, 0]),
    lambda pc: pc.transform(np.diag([2.0, 2, 2, 1])),
])
def test_mismatched_normal_count_keeps_normals(make_cloud, call):
    pc = make_cloud([[1, 2, 3], [4, 5, 6], [7, 8, 9]], [[3, 0, 0], [0, 4, 0]])
    call(pc)
    assert arr(pc.points).tolist() == [[2, 4, 6], [8, 10, 12], [14, 16, 18]]
    assert arr(pc.normals).tolist() == [[3, 0, 0], [0, 4, 0]]


def test_colors_never_change_under_transforms(make_cloud):
    colors = [[2.0, -1, NAN]]
    pc = make_cloud([[1, 2, 3]], [[0, 0, 1]], colors)
    pc.transform(np.diag([2.0, 3, 4, 1])).translate([1, 1, 1]).scale(-2, [0, 0, 0]).rotate(np.ones((3, 3)))
    assert same_bits(arr(pc.colors), colors)


# ---- attributes, views and NumPy sharing -----------------------------------------------------------------------


@pytest.mark.parametrize("make, expected", [
    (lambda: np.arange(6.0).reshape(2, 3), [[0, 1, 2], [3, 4, 5]]),
    (lambda: np.arange(12.0).reshape(4, 3)[::2], [[0, 1, 2], [6, 7, 8]]),
    (lambda: np.asfortranarray(np.arange(6.0).reshape(2, 3)), [[0, 1, 2], [3, 4, 5]]),
    (lambda: [[1, 2, 3]], [[1, 2, 3]]),
    (lambda: np.array([[1, 2, 3]], dtype=np.int32), [[1, 2, 3]]),
    (lambda: np.array([[0.5, 2, 3]], dtype=np.float32), [[0.5, 2, 3]]),
    (lambda: utility.Vector3dVector([[7, 8, 9]]), [[7, 8, 9]]),
    (lambda: utility.Vector3iVector([[7, 8, 9]]), [[7, 8, 9]]),
    (lambda: np.zeros((0, 3)), []),
], ids=["c-order", "strided", "fortran", "list", "int32", "float32", "Vector3dVector", "Vector3iVector", "empty"])
@pytest.mark.parametrize("attr", ["points", "normals", "colors"])
def test_attribute_assignment(make_cloud, attr, make, expected):
    value = make()
    pc = make_cloud([[1, 1, 1]] * 3, [[2, 2, 2]] * 3, [[3, 3, 3]] * 3)
    before = {a: arr(getattr(pc, a)).tolist() for a in ("points", "normals", "colors")}
    setattr(pc, attr, value)
    assert arr(getattr(pc, attr)).tolist() == expected
    assert all(arr(getattr(pc, a)).tolist() == before[a] for a in before if a != attr)
    np.asarray(value)[...] = -1  # the assigned object is not adopted
    assert arr(getattr(pc, attr)).tolist() == expected


@pytest.mark.parametrize("value, exc, message", [
    ([[1, 2]], TypeError, "invalid array shape"),
    (np.zeros((2, 4)), TypeError, "invalid array shape"),
    (utility.Vector2dVector([[1, 2]]), TypeError, "invalid array shape"),
    ([], TypeError, "cannot convert argument to a (n, k) array"),
    ([1, 2, 3], TypeError, "cannot convert argument to a (n, k) array"),
    (np.zeros((1, 1, 3)), TypeError, "cannot convert argument to a (n, k) array"),
    ([[1, 2, 3], [1]], ValueError, None),
])
def test_failed_assignment_leaves_the_array(make_cloud, value, exc, message):
    pc = make_cloud([[1, 2, 3]])
    with pytest.raises(exc) as info:
        pc.points = value
    if message:
        assert str(info.value) == message
    assert arr(pc.points).tolist() == [[1, 2, 3]]


def test_shared_array_of_a_view(make_cloud):
    pc = make_cloud([[0, 0, 0], [4, 5, 6]])
    a = np.asarray(pc.points)
    assert a.base is pc and a.flags.writeable and a.dtype == np.float64 and a.shape == (2, 3)
    a[0] = (1, 2, 3)
    assert pc.points[0].tolist() == [1, 2, 3]
    pc.translate([1, 1, 1])  # in-place edits keep the memory
    assert a.tolist() == [[2, 3, 4], [5, 6, 7]]
    for dtype in (np.float32, np.float64):
        c = np.asarray(pc.points, dtype=dtype)
        c[...] = 0
    assert arr(pc.points).tolist() == [[2, 3, 4], [5, 6, 7]]
    assert np.asarray(PC().points).shape == (0, 3)
    assert type(pc.points).__array__.__doc__.startswith("Shared-memory ndarray")


def test_saved_copy_does_not_follow_later_edits(make_cloud):
    # np.array passes copy=True (NumPy 2) and must get a copy; np.asarray keeps sharing.
    pc = make_cloud([[0, 0, 0], [4, 5, 6]], normals=[[0, 0, 1]] * 2)
    before, shared = np.array(pc.points), np.asarray(pc.points)
    normals = pc.normals.__array__(copy=True)
    pc.translate([1, 1, 1]).normals[0] = (1, 0, 0)
    assert before.tolist() == [[0, 0, 0], [4, 5, 6]] and normals.tolist() == [[0, 0, 1]] * 2
    assert shared.tolist() == [[1, 1, 1], [5, 6, 7]] and shared.base is pc


def test_views_follow_the_current_array(make_cloud):
    pc = make_cloud([[1, 2, 3]])
    v1, v2 = pc.points, pc.points
    assert v1 is not v2 and v1 == v2 and v1 == utility.Vector3dVector([[1, 2, 3]])
    pc.points = np.zeros((5, 3))
    assert len(v1) == 5 and repr(v1).startswith("std::vector<Eigen::Vector3d> with 5 elements.")
    v1[4] = [9, 9, 9]
    v2.insert(0, [8, 8, 8])
    assert arr(pc.points)[[0, 5]].tolist() == [[8, 8, 8], [9, 9, 9]] and len(v2) == 6
    assert v2.pop(0).tolist() == [8, 8, 8] and v2.count([9, 9, 9]) == 1
    v2.remove([9, 9, 9])
    assert len(pc.points) == 4


def test_assigning_views(make_cloud):
    pc = make_cloud([[1, 2, 3], [4, 5, 6]])
    pc.normals = pc.points
    pc.points[0] = [0, 0, 0]
    assert arr(pc.normals).tolist() == [[1, 2, 3], [4, 5, 6]]
    pc.points = pc.points
    assert arr(pc.points).tolist() == [[0, 0, 0], [4, 5, 6]]
    other = PC()
    other.points = pc.points
    pc.points.append([7, 7, 7])
    assert len(other.points) == 2


def test_view_keeps_its_cloud_alive(make_cloud):
    view = make_cloud([[1, 2, 3]]).points
    gc.collect()
    view.append([4, 5, 6])
    assert arr(view).tolist() == [[1, 2, 3], [4, 5, 6]]
    assert np.asarray(view).base.has_points()


def test_copy_of_a_view_is_free_standing(make_cloud):
    pc = make_cloud([[1, 2, 3]])
    for c in (copy.copy(pc.points), copy.deepcopy(pc.points), utility.Vector3dVector(pc.points)):
        c.append([0, 0, 0])
        assert len(pc.points) == 1 and np.asarray(c).base is c


def test_views_of_a_subclass_instance():
    class Sub(PC):
        pass

    s = Sub()
    s.points = [[1, 2, 3]]
    s.points.append([4, 5, 6])
    assert np.asarray(s.points).base is s and len(s.points) == 2


@pytest.mark.parametrize("value", [[[1, 2, 3]], [[1, 2]]])
def test_assignment_takes_write_access_before_converting(make_cloud, held, value):
    pc = make_cloud([[0, 0, 0]])
    with held(pc, write=False):
        with pytest.raises(RuntimeError) as info:
            pc.points = value
        assert str(info.value) == "Already borrowed"
    assert arr(pc.points).tolist() == [[0, 0, 0]]


def test_use_after_growth_of_cloud_arrays(make_cloud):
    # Arrays exported before the cloud's storage moved or shrank must stay safe to use.
    pc = make_cloud(np.ones((3, 3)), np.ones((3, 3)), np.ones((3, 3)))
    arrays = [np.asarray(pc.points), np.asarray(pc.normals), np.asarray(pc.colors)]
    for i in range(200):
        pc.points.append([i, i, i])
        pc.normals.extend(np.full((5, 3), float(i)))
        if i % 20 == 0:
            arrays += [np.asarray(pc.points), np.asarray(pc.colors)]
            pc.points = np.zeros((i + 50, 3))
            pc.clear()
            pc.points = np.ones((10, 3))
        pc.paint_uniform_color([0.5, 0.5, 0.5])
        pc.colors.insert(0, [1, 1, 1])
    pc.points = np.zeros((1, 3))
    del pc
    for a in arrays:
        assert np.isfinite(a).all()
        a[...] = 2.0
        assert (a == 2.0).all()
