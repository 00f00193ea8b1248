"""TriangleMesh: record, predicates, copies, array views and NumPy sharing, transforms that pick
their arrays by count, and the two normal computations. Expected normals are computed
independently with NumPy elementwise operations (never fused) in the order the library
promises, so they compare bit for bit."""
import copy
import hashlib
import inspect
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry, utility

Mesh = geometry.TriangleMesh
NAN = float("nan")


def arr(view):
    return np.asarray(view).copy()


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and (a.view(np.uint64) == b.view(np.uint64)).all()


def make_mesh(vertices=(), triangles=(), vertex_normals=None, triangle_normals=None):
    m = Mesh()
    m.vertices = np.asarray(vertices, np.float64).reshape(-1, 3)
    m.triangles = np.asarray(triangles, np.int32).reshape(-1, 3)
    if vertex_normals is not None:
        m.vertex_normals = np.asarray(vertex_normals, np.float64).reshape(-1, 3)
    if triangle_normals is not None:
        m.triangle_normals = np.asarray(triangle_normals, np.float64).reshape(-1, 3)
    return m


# ---- independent reference ----------------------------------------------------------------------

def ref_normalize(n):
    """The scaled per-normal normalisation, rows at a time; a NaN x gives (0, 0, 1)."""
    n = np.array(n, np.float64).reshape(-1, 3)
    with np.errstate(all="ignore"):
        s = np.fmax(np.fmax(np.abs(n[:, 0]), np.abs(n[:, 1])), np.abs(n[:, 2]))
        x, y, z = n[:, 0] / s, n[:, 1] / s, n[:, 2] / s
        q = (x * x + y * y) + z * z
        length = s * np.sqrt(q)
        out = np.where((q > 0)[:, None], n / length[:, None], n)
    out[np.isnan(out[:, 0])] = [0, 0, 1]
    return out


def ref_triangle_normals(v, t):
    v, t = np.asarray(v, np.float64), np.asarray(t, np.int64).reshape(-1, 3)
    ok = ((t >= 0) & (t < len(v))).all(axis=1)
    safe = np.where(ok[:, None], t, 0)
    a, b, c = v[safe[:, 0]], v[safe[:, 1]], v[safe[:, 2]]
    e1, e2 = b - a, c - a
    n = np.column_stack((e1[:, 1] * e2[:, 2] - e1[:, 2] * e2[:, 1],
                         e1[:, 2] * e2[:, 0] - e1[:, 0] * e2[:, 2],
                         e1[:, 0] * e2[:, 1] - e1[:, 1] * e2[:, 0]))
    n[~ok] = 0
    return n, ok


def ref_vertex_sums(nv, t, tn, ok):
    sums = np.zeros((nv, 3))
    for (a, b, c), n, good in zip(np.asarray(t).tolist(), np.asarray(tn), ok):
        if good:
            for k in (a, b, c):
                sums[k] = sums[k] + n
    return sums


def random_mesh(seed, nv=60, nt=300):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=(nv, 3)) * 10.0 ** rng.integers(-3, 4, size=(nv, 1))
    t = rng.integers(0, nv, size=(nt, 3))
    t[rng.random(nt) < 0.05, rng.integers(0, 3)] = -1  # invalid indices ...
    t[rng.random(nt) < 0.05, rng.integers(0, 3)] = nv  # ... at both ends
    repeat = rng.random(nt) < 0.05
    t[repeat, 1] = t[repeat, 0]  # repeated corners: zero area
    return v, t.astype(np.int32)


# ---- record --------------------------------------------------------------------------------------

def test_class():
    assert [c.__name__ for c in Mesh.__bases__] == ["MeshBase"] and Mesh.__doc__ == ""
    assert issubclass(Mesh, geometry.Geometry3D)
    assert str(inspect.signature(Mesh)) == "(other=None)"
    with pytest.raises(TypeError):
        type("Sub", (Mesh,), {})
    m = Mesh()
    assert m.get_geometry_type() == geometry.Geometry.TriangleMesh and repr(m.get_geometry_type()) == "<Type.TriangleMesh: 6>"
    assert m.dimension() == 3
    assert repr(m) == "TriangleMesh with 0 vertices and 0 triangles."
    assert repr(make_mesh(np.zeros((4, 3)), [[0, 1, 2], [0, 1, 3]])) == "TriangleMesh with 4 vertices and 2 triangles."
    with pytest.raises(AttributeError):
        m.extra = 1


@pytest.mark.parametrize("nv, nvn, nvc, nt, ntn, expected", [
    # has_vertices, has_vertex_normals, has_vertex_colors, has_triangles, has_triangle_normals, is_empty
    (0, 0, 0, 0, 0, (False, False, False, False, False, True)),
    (0, 2, 2, 1, 1, (False, False, False, True, True, True)),
    (3, 3, 2, 0, 0, (True, True, False, False, False, False)),
    (3, 2, 3, 2, 2, (True, False, True, True, True, False)),
    (3, 3, 3, 2, 1, (True, True, True, True, False, False)),
])
def test_predicates(nv, nvn, nvc, nt, ntn, expected):
    m = Mesh()
    m.vertices, m.vertex_normals, m.vertex_colors = np.zeros((nv, 3)), np.zeros((nvn, 3)), np.zeros((nvc, 3))
    m.triangles, m.triangle_normals = np.zeros((nt, 3), np.int32), np.zeros((ntn, 3))
    assert (m.has_vertices(), m.has_vertex_normals(), m.has_vertex_colors(), m.has_triangles(),
            m.has_triangle_normals(), m.is_empty()) == expected


def test_copies_are_deep_and_of_the_exact_class():
    m = make_mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]], [[0, 0, 1]] * 3, [[0, 0, 1]])
    m.vertex_colors = [[1, 0, 0]] * 3
    for c in (Mesh(m), copy.copy(m), copy.deepcopy(m), m.__deepcopy__(object())):
        assert type(c) is Mesh and c is not m
        for name in ("vertices", "vertex_normals", "vertex_colors", "triangles", "triangle_normals"):
            assert arr(getattr(c, name)).tolist() == arr(getattr(m, name)).tolist()
        c.vertices[0] = [9, 9, 9]
        c.triangles.append([2, 1, 0])
    assert arr(m.vertices)[0].tolist() == [0, 0, 0] and len(m.triangles) == 1
    assert len(Mesh(None).vertices) == 0
    with pytest.raises(TypeError, match=r"^argument 'other': 'PointCloud' object cannot be converted to 'TriangleMesh'$"):
        Mesh(geometry.PointCloud())


def test_clear_empties_all_five_arrays():
    m = make_mesh(np.ones((3, 3)), [[0, 1, 2]], np.ones((3, 3)), np.ones((1, 3)))
    m.vertex_colors = np.ones((3, 3))
    views = [m.vertices, m.vertex_normals, m.vertex_colors, m.triangles, m.triangle_normals]
    assert m.clear() is m and [len(v) for v in views] == [0] * 5


# ---- views -----------------------------------------------------------------------------------------

def test_views_share_memory_with_the_mesh():
    m = make_mesh([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
    tri = np.asarray(m.triangles)
    assert type(m.triangles) is utility.Vector3iVector and tri.dtype == np.int32
    assert tri.base is m and tri.flags.writeable
    tri[0] = [2, 1, 0]
    assert arr(m.triangles).tolist() == [[2, 1, 0]]
    v = np.asarray(m.vertices)
    v[1] = [5, 5, 5]
    assert m.get_max_bound().tolist() == [5, 5, 5]
    for name in ("vertex_normals", "vertex_colors", "triangle_normals"):
        view = getattr(m, name)
        assert type(view) is utility.Vector3dVector and np.asarray(view).shape == (0, 3)


def test_assigning_attributes():
    m = Mesh()
    m.triangles = [[0, 1, 2], [2, 3, 4]]  # any (n, 3) array-like, converted to int32
    assert arr(m.triangles).tolist() == [[0, 1, 2], [2, 3, 4]]
    m.triangles = np.array([[7, 8, 9]], np.int64)
    assert arr(m.triangles).dtype == np.int32 and arr(m.triangles).tolist() == [[7, 8, 9]]
    with pytest.raises(TypeError, match="^invalid array shape$"):
        m.triangles = np.zeros((2, 4), np.int32)
    m.vertex_normals = m.vertices  # a view of the same mesh is copied in
    m.vertices = [[1, 2, 3]]
    assert len(m.vertex_normals) == 0 and len(m.vertices) == 1
    m.vertices = [[1.5, 2, 3], [4, 5, 6]]
    m.triangles = m.vertices  # another kind of view on the same mesh goes through NumPy's conversion
    m.vertex_colors = m.triangles
    assert arr(m.triangles).tolist() == [[1, 2, 3], [4, 5, 6]] and arr(m.vertex_colors).tolist() == [[1, 2, 3], [4, 5, 6]]
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del m.triangles


def test_use_after_growth_of_mesh_arrays():
    # Arrays exported before the mesh's storage moved or shrank must stay safe to use.
    m = make_mesh(np.ones((3, 3)), [[0, 1, 2]])
    arrays = [np.asarray(m.vertices), np.asarray(m.triangles)]
    for i in range(200):
        m.vertices.append([i, i, i])
        m.triangles.extend(np.full((5, 3), i % 3, np.int32))
        if i % 20 == 0:
            arrays += [np.asarray(m.vertices), np.asarray(m.triangles), np.asarray(m.vertex_normals),
                       np.asarray(m.triangle_normals), np.asarray(m.vertex_colors)]
            m.compute_vertex_normals()  # replaces both normal arrays
            m.vertices = np.zeros((i + 50, 3))
            m.clear()
            m.vertices = np.ones((10, 3))
            m.triangles = [[0, 1, 2]]
        m.paint_uniform_color([0.5, 0.5, 0.5])
        m.vertex_colors.insert(0, [1, 1, 1])
    m.vertices = np.zeros((1, 3))
    del m
    for a in arrays:
        assert np.isfinite(a).all()
        a[...] = 2
        assert (a == 2).all()


# ---- queries and transforms ----------------------------------------------------------------------

def test_bounds_center_and_box():
    m = make_mesh([[NAN, 5, 1], [2, 3, NAN], [-1, 4, 0]])
    assert m.get_min_bound().tolist() == [-1, 3, 0] and m.get_max_bound().tolist() == [2, 5, 1]
    box = m.get_axis_aligned_bounding_box()
    assert type(box) is geometry.AxisAlignedBoundingBox
    assert (box.min_bound.tolist(), box.max_bound.tolist(), box.color.tolist()) == ([-1, 3, 0], [2, 5, 1], [1, 1, 1])
    empty = Mesh()
    assert np.isnan(empty.get_min_bound()).all() and empty.get_center().tolist() == [0, 0, 0]
    assert np.isnan(empty.get_axis_aligned_bounding_box().max_bound).all()
    assert make_mesh([[0, 0, 0], [1, 2, 4]]).get_center().tolist() == [0.5, 1, 2]


R90 = geometry.get_rotation_matrix_from_xyz([0, 0, math.pi / 2])


@pytest.mark.parametrize("nvn, ntn, vn_moves, tn_moves", [
    (3, 0, True, False),  # the documented case: vertex normals only
    (3, 1, True, True),
    (2, 1, False, True),
    (0, 2, False, False),  # triangle-normal count differs from the triangle count
])
def test_rotate_and_transform_pick_normal_arrays_by_count(nvn, ntn, vn_moves, tn_moves):
    v = [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
    T = np.eye(4)
    T[:3, :3] = 2 * R90  # the normal rule renormalises, so only the direction shows
    for apply in (lambda m: m.rotate(R90, center=[0, 0, 0]), lambda m: m.transform(T)):
        m = make_mesh(v, [[0, 1, 2]], [[1, 0, 0]] * nvn, [[1, 0, 0]] * ntn)
        assert apply(m) is m
        moved = [0, 1, 0]
        expected_vn = np.reshape([moved if vn_moves else [1, 0, 0]] * nvn, (-1, 3))
        expected_tn = np.reshape([moved if tn_moves else [1, 0, 0]] * ntn, (-1, 3))
        assert np.allclose(arr(m.vertex_normals), expected_vn, atol=1e-15)
        assert np.allclose(arr(m.triangle_normals), expected_tn, atol=1e-15)


def test_triangle_normals_follow_transforms_without_vertices():
    m = make_mesh([], [[0, 1, 2]], triangle_normals=[[2, 0, 0]])
    m.rotate(R90)
    assert np.allclose(arr(m.triangle_normals), [[0, 2, 0]], atol=1e-15)  # not normalised
    T = np.diag([2.0, 1, 1, 1])
    m = make_mesh([], [[0, 1, 2]], triangle_normals=[[1, 1, 0]])
    m.transform(T)
    assert same_bits(arr(m.triangle_normals), ref_normalize([[0.5, 1, 0]]))
    assert len(m.vertices) == 0


def test_rotate_moves_vertices_about_their_mean_by_default():
    m = make_mesh([[1, 0, 0], [3, 0, 0]])
    m.rotate(R90)
    assert np.allclose(arr(m.vertices), [[2, -1, 0], [2, 1, 0]], atol=1e-15)


def test_translate_and_scale_leave_normals_alone():
    m = make_mesh([[0, 0, 0], [2, 2, 2]], [[0, 1, 1]], [[1, 0, 0]] * 2, [[0, 3, 0]])
    assert m.translate([1, 1, 1]) is m and arr(m.vertices).tolist() == [[1, 1, 1], [3, 3, 3]]
    m.translate([0, 0, 0], relative=False)
    assert arr(m.vertices).tolist() == [[-1, -1, -1], [1, 1, 1]]
    assert m.scale(-2, [1, 1, 1]) is m and arr(m.vertices).tolist() == [[5, 5, 5], [1, 1, 1]]
    assert arr(m.vertex_normals).tolist() == [[1, 0, 0]] * 2 and arr(m.triangle_normals).tolist() == [[0, 3, 0]]
    empty = Mesh()
    assert empty.translate([1, 2, 3], relative=False) is empty and len(empty.vertices) == 0


def test_paint_uniform_color_replaces_vertex_colors():
    m = make_mesh(np.zeros((3, 3)))
    m.vertex_colors = np.zeros((5, 3))
    assert m.paint_uniform_color([2, -1, NAN]) is m
    assert arr(m.vertex_colors).tolist() == [[1, 0, 0]] * 3 and m.has_vertex_colors()


def test_normalize_normals_processes_both_arrays_whatever_their_counts():
    m = make_mesh(np.zeros((1, 3)), [], [[3, 4, 0], [0, 0, 0]], [[NAN, 1, 1], [1e-200, 0, 0]])
    assert m.normalize_normals() is m
    assert same_bits(arr(m.vertex_normals), [[0.6, 0.8, 0], [0, 0, 0]])
    assert same_bits(arr(m.triangle_normals), [[0, 0, 1], [1, 0, 0]])


def test_methods_convert_arguments_before_changing_anything():
    m = make_mesh([[1, 2, 3]])
    for call in (lambda: m.translate([1, 2]), lambda: m.translate([1, 1, 1], relative=1),
                 lambda: m.rotate(np.eye(3), center="abc"), lambda: m.compute_vertex_normals(normalized=1),
                 lambda: m.compute_triangle_normals(None)):
        with pytest.raises(TypeError):
            call()
    assert arr(m.vertices).tolist() == [[1, 2, 3]] and len(m.vertex_normals) == 0


# ---- normals ------------------------------------------------------------------------------------

UNIT = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]


@pytest.mark.parametrize("vertices, triangle, expected", [
    (UNIT, [0, 1, 2], [0, 0, 1]),
    (UNIT, [0, 2, 1], [0, 0, -1]),  # clockwise
    ([[0, 0, 0], [2, 0, 0], [0, 2, 0]], [0, 1, 2], [0, 0, 4]),  # twice the area, unnormalised
    (UNIT, [0, 1, -1], [0, 0, 0]),
    (UNIT, [3, 1, 2], [0, 0, 0]),  # index equal to the vertex count
    (UNIT, [0, 1, -2147483648], [0, 0, 0]),
    (UNIT, [0, 0, 1], [0, 0, 0]),  # repeated corner: zero area
    ([[0, 0, 0], [1, 1, 1], [2, 2, 2]], [0, 1, 2], [0, 0, 0]),  # collinear
])
def test_triangle_normal_of_one_triangle(vertices, triangle, expected):
    m = make_mesh(vertices, [triangle])
    assert m.compute_triangle_normals(False) is m
    assert arr(m.triangle_normals).tolist() == [expected]
    m.compute_triangle_normals()  # a zero normal stays zero when normalised
    assert same_bits(arr(m.triangle_normals), ref_normalize([expected]))


def test_triangle_normals_match_the_reference_bit_for_bit():
    v, t = random_mesh(1)
    m = make_mesh(v, t, triangle_normals=np.ones((7, 3)))
    m.compute_triangle_normals(normalized=False)
    expected, _ = ref_triangle_normals(v, t)
    assert same_bits(arr(m.triangle_normals), expected)
    m.compute_triangle_normals()
    assert same_bits(arr(m.triangle_normals), ref_normalize(expected))


def test_compute_triangle_normals_also_normalises_vertex_normals():
    m = make_mesh(UNIT, [[0, 1, 2]], [[0, 0, 2]] * 2)  # two normals for three vertices: still normalised
    m.compute_triangle_normals(True)
    assert arr(m.vertex_normals).tolist() == [[0, 0, 1]] * 2
    m = make_mesh(UNIT, [[0, 1, 2]], [[0, 0, 2]] * 3)
    m.compute_triangle_normals(False)
    assert arr(m.vertex_normals).tolist() == [[0, 0, 2]] * 3


@pytest.mark.parametrize("compute", ["compute_triangle_normals", "compute_vertex_normals"])
@pytest.mark.parametrize("vertices, triangles", [([], [[0, 1, 2]]), (UNIT, [])])
def test_nothing_changes_without_vertices_or_triangles(compute, vertices, triangles):
    m = make_mesh(vertices, triangles, [[0, 0, 2]], [[0, 2, 0]] * 2)
    getattr(m, compute)()
    assert arr(m.vertex_normals).tolist() == [[0, 0, 2]] and arr(m.triangle_normals).tolist() == [[0, 2, 0]] * 2


def test_vertex_normals_of_a_tetrahedron():
    v = [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]]
    t = [[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]]  # outward facing
    m = make_mesh(v, t)
    m.compute_vertex_normals(False)
    assert arr(m.triangle_normals).tolist() == [[0, 0, -1], [0, -1, 0], [-1, 0, 0], [1, 1, 1]]
    assert arr(m.vertex_normals).tolist() == [[-1, -1, -1], [1, 0, 0], [0, 1, 0], [0, 0, 1]]
    m = make_mesh(v, t)
    m.compute_vertex_normals()
    s = 1 / math.sqrt(3)
    assert np.allclose(arr(m.vertex_normals), [[-s, -s, -s], [1, 0, 0], [0, 1, 0], [0, 0, 1]], rtol=0, atol=1e-16)
    assert np.allclose(arr(m.triangle_normals), [[0, 0, -1], [0, -1, 0], [-1, 0, 0], [s, s, s]], rtol=0, atol=1e-16)


def test_vertex_normals_are_area_weighted_or_use_stored_normals():
    # Areas 1 and 3 sharing vertex 0.
    v = [[0, 0, 0], [2, 0, 0], [0, 1, 0], [0, 0, 3], [0, -2, 0]]
    t = [[0, 1, 2], [0, 3, 4]]
    m = make_mesh(v, t)
    m.compute_vertex_normals(False)
    assert arr(m.triangle_normals).tolist() == [[0, 0, 2], [6, 0, 0]]  # left in the mesh, unnormalised
    assert arr(m.vertex_normals)[0].tolist() == [6, 0, 2]
    m = make_mesh(v, t, triangle_normals=[[0, 0, 1], [1, 0, 0]])  # stored unit normals are used as they are
    m.compute_vertex_normals(False)
    assert arr(m.vertex_normals)[0].tolist() == [1, 0, 1]
    m = make_mesh(v, t, triangle_normals=[[0, 0, 1]])  # count differs: recomputed
    m.compute_vertex_normals(False)
    assert arr(m.vertex_normals)[0].tolist() == [6, 0, 2]


def test_invalid_and_degenerate_triangles_add_nothing():
    v = UNIT + [[5, 5, 5], [6, 6, 6]]
    t = [[0, 1, 2], [0, 1, 5], [-1, 3, 4], [3, 3, 4], [3, 4, 2147483647]]
    m = make_mesh(v, t, triangle_normals=[[9, 9, 9]] * 5)  # stored normals of invalid triangles are skipped too
    m.compute_vertex_normals(False)
    # Triangle 3 is valid though flat, and names vertex 3 twice: it adds to it twice.
    assert arr(m.vertex_normals).tolist() == [[9, 9, 9]] * 3 + [[18, 18, 18], [9, 9, 9]]
    m = make_mesh(v, t)
    m.compute_vertex_normals()
    # Vertices 3 and 4 only belong to a zero-area triangle: their normals stay zero.
    assert arr(m.vertex_normals).tolist() == [[0, 0, 1]] * 3 + [[0, 0, 0]] * 2
    assert arr(m.triangle_normals).tolist() == [[0, 0, 1]] + [[0, 0, 0]] * 4


def test_vertex_normals_match_the_reference_bit_for_bit():
    v, t = random_mesh(2)
    m = make_mesh(v, t, vertex_normals=np.ones((3, 3)))
    m.compute_vertex_normals(False)
    tn, ok = ref_triangle_normals(v, t)
    sums = ref_vertex_sums(len(v), t, tn, ok)
    assert same_bits(arr(m.triangle_normals), tn) and same_bits(arr(m.vertex_normals), sums)
    m = make_mesh(v, t)
    m.compute_vertex_normals()
    assert same_bits(arr(m.vertex_normals), ref_normalize(sums))
    assert same_bits(arr(m.triangle_normals), ref_normalize(tn))


NORMALS_SNIPPET = """
import hashlib, numpy as np
from nubiro.cpu.pybind import geometry
rng = np.random.default_rng(5)
m = geometry.TriangleMesh()
m.vertices = rng.normal(size=(40000, 3))
t = rng.integers(-10, 40010, size=(250000, 3)).astype(np.int32)
m.triangles = t
m.compute_vertex_normals()
a = geometry.TriangleMesh(m)
a.triangle_normals = np.zeros((0, 3))
a.compute_vertex_normals(False)
h = hashlib.sha256()
for x in (m.vertex_normals, m.triangle_normals, a.vertex_normals, a.triangle_normals):
    h.update(np.ascontiguousarray(np.asarray(x)).tobytes())
print(h.hexdigest())
"""


def test_normals_are_identical_for_any_thread_count(run_python):
    assert run_python(NORMALS_SNIPPET, RAYON_NUM_THREADS="1") == run_python(NORMALS_SNIPPET, RAYON_NUM_THREADS="3")


def test_methods_respect_the_access_discipline(held_all):
    m = make_mesh(UNIT, [[0, 1, 2]])
    with held_all((m, False, m.normalize_normals)):
        assert repr(m) == "TriangleMesh with 3 vertices and 1 triangles." and m.has_triangles()  # reads go on
        for change in (m.compute_vertex_normals, m.compute_triangle_normals, lambda: m.translate([1, 1, 1])):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                change()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            m.triangles.append([2, 1, 0])  # through a view: write access on the mesh too
    assert len(m.vertex_normals) == 0 and len(m.triangles) == 1
    with held_all((m, True, lambda: m.has_vertices())):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            m.get_center()
