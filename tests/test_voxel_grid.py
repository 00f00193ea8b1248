"""VoxelGrid and Voxel: the two static constructors and the fixed order of the voxels they
produce, bounds and centre, the translation-only transforms, the Voxel record and its
conversions, reprs and copies."""
import copy
import inspect
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import _internal, geometry

Grid = geometry.VoxelGrid
Voxel = geometry.Voxel
NAN = float("nan")


def indices(grid):
    return [v.grid_index.tolist() for v in grid.get_voxels()]


def row(n):
    return [[i + 0.5, 0.5, 0.5] for i in range(n)]


def test_classes():
    assert [c.__name__ for c in Grid.__bases__] == ["Geometry3D"] and Grid.__doc__ == ""
    assert [c.__name__ for c in Voxel.__bases__] == ["object"] and Voxel.__doc__ == ""
    assert str(inspect.signature(Grid)) == "()"
    assert str(inspect.signature(Voxel)) == "(grid_index=None, color=None)"
    for cls in (Grid, Voxel):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert not hasattr(Grid, "__copy__") and not hasattr(Grid, "__deepcopy__")
    g = Grid()
    assert g.get_geometry_type() == geometry.Geometry.VoxelGrid and repr(g.get_geometry_type()) == "<Type.VoxelGrid: 2>"
    assert g.dimension() == 3
    with pytest.raises(TypeError):
        Grid(1)


def test_new_grid():
    g = Grid()
    assert (g.is_empty(), g.has_voxels(), g.has_colors()) == (True, False, True)
    assert g.origin.tolist() == [0, 0, 0] and g.voxel_size == 0 and g.get_voxels() == []
    assert g.get_min_bound().tolist() == [0, 0, 0] and g.get_max_bound().tolist() == [0, 0, 0]
    assert g.get_center().tolist() == [0, 0, 0] and repr(g) == "VoxelGrid with 0 voxels."
    assert _internal.voxel_grid_bucket_count(g) == 1


# ---- construction and order ---------------------------------------------------------------------

def test_three_voxels_in_documented_order(make_cloud):
    g = Grid.create_from_point_cloud(make_cloud(row(3)), 1)
    assert g.origin.tolist() == [0, 0, 0] and g.voxel_size == 1
    # The key map holds (2, 0, 0), (1, 0, 0), (0, 0, 0); the grid's 3-bucket map re-inserts them.
    assert _internal.voxel_grid_bucket_count(g) == 3
    assert indices(g) == [[0, 0, 0], [1, 0, 0], [2, 0, 0]]
    assert all(v.color.tolist() == [0.5, 0.5, 0.5] for v in g.get_voxels())
    assert g.get_min_bound().tolist() == [0, 0, 0] and g.get_max_bound().tolist() == [3, 1, 1]
    assert g.get_center().tolist() == [1.5, 0.5, 0.5]
    box = g.get_axis_aligned_bounding_box()
    assert (box.min_bound.tolist(), box.max_bound.tolist(), box.color.tolist()) == ([0, 0, 0], [3, 1, 1], [1, 1, 1])
    assert repr(g) == "VoxelGrid with 3 voxels." and (g.is_empty(), g.has_voxels()) == (False, True)


def test_twenty_voxels_in_documented_order(make_cloud):
    g = Grid.create_from_point_cloud(make_cloud(row(20)), 1)
    assert _internal.voxel_grid_bucket_count(g) == 23
    assert [i[0] for i in indices(g)] == [10, 11, 7, 4, 12, 6, 8, 5, 3, 2, 1, 0, 17, 13, 16, 14, 9, 19, 15, 18]


def test_cloud_colours_are_not_read_and_same_cell_points_share_a_voxel(make_cloud):
    g = Grid.create_from_point_cloud(make_cloud([[0.1, 0.2, 0.3], [0.2, 0.1, 0.3]], colors=[[1, 0, 0]] * 2), 1)
    assert repr(g) == "VoxelGrid with 1 voxels." and g.get_voxels()[0].color.tolist() == [0.5, 0.5, 0.5]


def test_origin_is_half_a_cell_below_the_smallest_coordinates(make_cloud):
    pts = [[1.25, -3, 7], [NAN, 2, 7.5], [0.25, NAN, 9]]
    g = Grid.create_from_point_cloud(make_cloud(pts), 0.5)
    assert g.origin.tolist() == [0.25 - 0.25, -3 - 0.25, 7 - 0.25]
    # The NaN coordinates give index 0 on their axis.
    assert sorted(indices(g)) == sorted([[2, 0, 0], [0, 10, 1], [0, 0, 4]])


def test_keys_follow_the_cell_rule(make_cloud):
    # Keys, bounds and the map order all match a model of the cell rule and map discipline.
    rng = np.random.default_rng(3)
    pts = rng.normal(size=(2000, 3)) * 3
    s = 0.7
    g = Grid.create_from_point_cloud(make_cloud(pts), s)
    m = np.nanmin(pts, axis=0) - 0.5 * s
    keys = np.floor((pts - m) / s).astype(np.int64)
    assert sorted(map(tuple, indices(g))) == sorted(set(map(tuple, keys.tolist())))
    assert g.get_min_bound().tolist() == (m + s * keys.min(axis=0)).tolist()
    assert g.get_max_bound().tolist() == (m + s * (keys.max(axis=0) + 1.0)).tolist()
    centers = np.array(indices(g), np.float64) * s + m + 0.5 * s
    total = np.zeros(3)
    for c in centers:  # iteration order
        total = total + c
    assert g.get_center().tolist() == (total / len(centers)).tolist()


@pytest.mark.parametrize("p, inside", [
    ([1, 0.5, 0.5], False),  # upper bound exclusive
    ([0, 0.5, 0.5], True),
    ([-1e-12, 0.5, 0.5], False),
    ([0.5, 0.5, NAN], True),  # a comparison with NaN counts as passed
])
def test_within_bounds(make_cloud, p, inside):
    g = Grid.create_from_point_cloud_within_bounds(make_cloud([p]), 1, [0, 0, 0], [1, 1, 1])
    assert g.origin.tolist() == [0, 0, 0] and g.voxel_size == 1
    assert indices(g) == ([[int(math.floor(p[0])), 0, 0]] if inside else [])


def test_within_bounds_keeps_bounds_as_given(make_cloud):
    g = Grid.create_from_point_cloud_within_bounds(make_cloud([[0.5, 0.5, 0.5]]), 2, [1, -1, 0], [0, 1, 1])
    assert g.origin.tolist() == [1, -1, 0] and indices(g) == []  # inverted bounds leave every point out
    g = Grid.create_from_point_cloud_within_bounds(make_cloud([]), 2, [1, 2, 3], [4, 5, 6])
    assert g.origin.tolist() == [1, 2, 3] and g.voxel_size == 2 and g.is_empty()
    assert _internal.voxel_grid_bucket_count(g) == 1


SIZE_MESSAGE = "voxel_size must be positive."
OVERFLOW_MESSAGE = "voxel_size is potentially too small for the given bounds, may lead to integer overflow in indices."


@pytest.mark.parametrize("points, size, message", [
    ([[0, 0, 0]], 0, "voxel_size must be positive for VoxelGrid creation."),
    ([[0, 0, 0]], -1, "voxel_size must be positive for VoxelGrid creation."),
    ([[0, 0, 0], [5, 5, 5]], NAN, "voxel_size must be positive for VoxelGrid creation."),
    ([[0, 0, 0]], -math.inf, "voxel_size must be positive for VoxelGrid creation."),
    ([[0, 0, 0], [10, 0, 0]], 1e-9, OVERFLOW_MESSAGE),
    ([[0, 0, 0], [math.inf, 0, 0]], 1, OVERFLOW_MESSAGE),
])
def test_create_errors(make_cloud, points, size, message):
    with pytest.raises(RuntimeError) as info:
        Grid.create_from_point_cloud(make_cloud(points), size)
    assert str(info.value) == message


@pytest.mark.parametrize("size, lo, hi, message", [
    (0, [0, 0, 0], [1, 1, 1], SIZE_MESSAGE),
    (-2, [0, 0, 0], [1, 1, 1], SIZE_MESSAGE),
    (NAN, [0, 0, 0], [1, 1, 1], SIZE_MESSAGE),
    (1e-9, [0, 0, 0], [10, 1, 1], OVERFLOW_MESSAGE),
    (1, [0, 0, 0], [NAN, 3e9, 1], OVERFLOW_MESSAGE),  # NaN differences skipped
])
def test_within_bounds_errors_even_for_an_empty_cloud(size, lo, hi, message):
    with pytest.raises(RuntimeError) as info:
        Grid.create_from_point_cloud_within_bounds(geometry.PointCloud(), size, lo, hi)
    assert str(info.value) == message


def test_degenerate_sizes_without_error(make_cloud):
    for size in (-1, NAN):  # empty cloud: no test
        assert Grid.create_from_point_cloud(geometry.PointCloud(), size).voxel_size == 0
    # A NaN upper bound lets every coordinate above the minimum in; far cells saturate.
    g = Grid.create_from_point_cloud_within_bounds(make_cloud([[1e300, 0.5, 0.5], [3e9, 0.5, 0.5], [-1, 0.5, 0.5]]), 1,
                                                   [0, 0, 0], [NAN, 1, 1])
    assert indices(g) == [[2**31 - 1, 0, 0]]
    with pytest.raises(TypeError, match="^argument 'input': 'TriangleMesh' object cannot be converted to 'PointCloud'$"):
        Grid.create_from_point_cloud(geometry.TriangleMesh(), 1)


@pytest.mark.parametrize("n, extra", [(0, 0), (0, 3), (1, 0), (2, 1), (3, 0), (12, 2), (13, 5), (20, 0), (500, 40),
                                      (5000, 3000)])
def test_grid_map_built_in_bulk_equals_the_written_insertions(n, extra):
    # The grid's map is filled in bulk; it must be the very map that sizing it up front and then
    # inserting the keys one by one gives, down to where later insertions and growth lead.
    rng = np.random.default_rng(n + extra)
    pool = {tuple(k) for k in rng.integers(-50, 50, size=(2 * (n + extra) + 10, 3)).tolist()}
    keys = sorted(pool, key=lambda k: rng.random())[:n + extra]
    written, written_buckets, bulk, bulk_buckets = _internal.voxel_map_presized(keys[:n], keys[n:] + keys[:2])
    assert bulk == written and bulk_buckets == written_buckets
    assert sorted(written) == sorted(keys)


# ---- attributes and transforms ---------------------------------------------------------------------

@pytest.fixture
def grid(make_cloud):
    return Grid.create_from_point_cloud(make_cloud(row(3)), 1)


def test_attributes(grid):
    grid.origin = [1, 2, 3]
    grid.voxel_size = 2
    assert grid.origin.tolist() == [1, 2, 3] and grid.voxel_size == 2 and len(grid.get_voxels()) == 3
    assert grid.get_min_bound().tolist() == [1, 2, 3] and grid.get_max_bound().tolist() == [7, 4, 5]
    with pytest.raises(TypeError, match="^argument 'voxel_size': "):
        grid.voxel_size = "big"
    with pytest.raises(TypeError, match="^expected 3-vector$"):
        grid.origin = [1, 2]
    for name in ("origin", "voxel_size"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(grid, name)


def test_translate_and_scale(grid):
    assert grid.translate([1, 2, 3]) is grid and grid.origin.tolist() == [1, 2, 3]
    grid.translate([1, 2, 3], relative=False)  # the origin itself is placed
    assert grid.origin.tolist() == [1, 2, 3]
    assert grid.scale(-2, [1, 1, 1]) is grid
    assert grid.origin.tolist() == [1, -1, -3] and grid.voxel_size == -2
    assert indices(grid) == [[0, 0, 0], [1, 0, 0], [2, 0, 0]]


NEAR = np.eye(3)
NEAR[0, 1] = 1e-12


@pytest.mark.parametrize("r, accepted", [
    (np.eye(3), True),
    (NEAR, True),
    (np.eye(3) * (1 + 2e-12), False),
    (geometry.get_rotation_matrix_from_xyz([0, 0, math.pi / 2]), False),
    (np.diag([1.0, 1, NAN]), False),
])
def test_rotate_accepts_only_the_identity(grid, r, accepted):
    if accepted:
        assert grid.rotate(r, center=[5, 5, 5]) is grid
    else:
        with pytest.raises(RuntimeError) as info:
            grid.rotate(r)
        assert str(info.value) == "VoxelGrid rotation is unsupported; revoxelize the geometry instead"
    assert grid.origin.tolist() == [0, 0, 0] and grid.voxel_size == 1


def transform_with(**entries):
    t = np.eye(4)
    for (i, j), v in entries.get("at", {}).items():
        t[i, j] = v
    return t


@pytest.mark.parametrize("t, origin", [
    (transform_with(at={(0, 3): 5}), [5, 0, 0]),
    (transform_with(at={(0, 3): 1, (1, 3): -2, (2, 3): 3, (3, 3): 1 + 5e-13}), [1, -2, 3]),
    (transform_with(at={(0, 3): math.inf}), None),
    (transform_with(at={(3, 0): 1e-9}), None),
    (transform_with(at={(3, 3): 2}), None),
    (transform_with(at={(1, 1): -1}), None),
])
def test_transform_accepts_only_translations(grid, t, origin):
    if origin is not None:
        assert grid.transform(t) is grid and grid.origin.tolist() == origin
    else:
        with pytest.raises(RuntimeError) as info:
            grid.transform(t)
        assert str(info.value) == "VoxelGrid only supports identity or pure translation transforms"
        assert grid.origin.tolist() == [0, 0, 0]


def test_clear(grid):
    grid.origin = [1, 1, 1]
    assert grid.clear() is grid and grid.is_empty() and grid.voxel_size == 0 and grid.origin.tolist() == [0, 0, 0]
    assert _internal.voxel_grid_bucket_count(grid) == 1


# ---- Voxel ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("grid_index, expected", [
    (None, [0, 0, 0]),
    ([1, 2, 3], [1, 2, 3]),
    ((np.int64(-4), 5, 6), [-4, 5, 6]),
    ([1, 2], [0, 0, 0]),  # the constructor never reports a wrong length
    ([1, 2, 3, 4], [0, 0, 0]),
    (np.array([7, 8, 9], np.int32), [7, 8, 9]),
    (np.array([7, 8], np.int32), [0, 0, 0]),
    (np.array([7, 8, 9], np.int64), [7, 8, 9]),  # through the sequence path
])
def test_voxel_grid_index_in_constructor(grid_index, expected):
    v = Voxel(grid_index)
    assert v.grid_index.dtype == np.int32 and v.grid_index.tolist() == expected and v.color.tolist() == [0, 0, 0]


@pytest.mark.parametrize("grid_index, exc, message", [
    (np.arange(6, dtype=np.int32)[::2], TypeError, "^The given array is not contiguous$"),
    ("abc", TypeError, None),
    ([1.5, 2, 3], TypeError, None),
    ([2**31, 0, 0], OverflowError, None),
    (5, TypeError, None),
])
def test_voxel_constructor_errors_are_bare(grid_index, exc, message):
    with pytest.raises(exc, match=message) as info:
        Voxel(grid_index)
    assert not str(info.value).startswith("argument")


def test_voxel_attributes_copies_and_repr():
    v = Voxel([1, -2, 3], [0.5, 1e-5, 2])
    assert repr(v) == "Voxel(grid_index=1 -2 3, color=0.5 1e-05 2)"
    assert repr(Voxel()) == "Voxel(grid_index=0 0 0, color=0 0 0)"
    v.grid_index = np.array([4, 5, 6])
    v.color = [NAN, 0, 1]
    assert v.grid_index.tolist() == [4, 5, 6] and repr(v) == "Voxel(grid_index=4 5 6, color=nan 0 1)"
    with pytest.raises(TypeError, match="^expected 3-vector$"):
        v.grid_index = [1, 2]
    with pytest.raises(TypeError):
        v.grid_index = "123"
    with pytest.raises(TypeError, match="^expected 3-vector$"):
        v.color = [1, 2]
    for name in ("grid_index", "color"):
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(v, name)
    got = v.grid_index
    got[0] = 99  # a new array each time
    assert v.grid_index[0] == 4
    for c in (copy.copy(v), copy.deepcopy(v), v.__deepcopy__(None)):
        assert type(c) is Voxel and c is not v and repr(c) == repr(v)
        c.grid_index = [0, 0, 0]
        assert v.grid_index.tolist() == [4, 5, 6]


def test_listed_voxels_are_copies(grid):
    first = grid.get_voxels()[0]
    first.grid_index = [9, 9, 9]
    assert indices(grid)[0] == [0, 0, 0]


GRID_SNIPPET = """
import hashlib, numpy as np
from nubiro.cpu.pybind import geometry
rng = np.random.default_rng(9)
pc = geometry.PointCloud()
pc.points = rng.normal(size=(300000, 3))
h = hashlib.sha256()
for g in (geometry.VoxelGrid.create_from_point_cloud(pc, 0.05),
          geometry.VoxelGrid.create_from_point_cloud_within_bounds(pc, 0.1, [-1, -1, -1], [1, 1, 1])):
    h.update(np.array([v.grid_index for v in g.get_voxels()], np.int32).tobytes())
    h.update(np.concatenate((g.origin, g.get_center(), [g.voxel_size])).tobytes())
print(h.hexdigest())
"""


def test_grids_are_identical_for_any_thread_count(run_python):
    assert run_python(GRID_SNIPPET, RAYON_NUM_THREADS="1") == run_python(GRID_SNIPPET, RAYON_NUM_THREADS="3")


SPARSE_GRID_SNIPPET = """
import numpy as np
from nubiro.cpu.pybind import geometry
rng = np.random.default_rng(11)
# Nearly every point opens a cell of its own, which makes the pool split the search for the
# distinct cells; repeats come early, late and out of bounds.
cells = rng.integers(-300, 300, size=(120000, 3)) + 0.5
pc = geometry.PointCloud()
pc.points = np.concatenate((cells, cells[::-7], cells[:5000]))
for g in (geometry.VoxelGrid.create_from_point_cloud(pc, 1.0),
          geometry.VoxelGrid.create_from_point_cloud_within_bounds(pc, 1.0, [-300, -250, -300], [250, 300, 100])):
    print(len(g.get_voxels()), np.array([v.grid_index for v in g.get_voxels()], np.int32).tobytes().hex())
"""


def test_sparse_grids_are_identical_for_any_thread_count(run_python):
    one = run_python(SPARSE_GRID_SNIPPET, RAYON_NUM_THREADS="1")
    assert one == run_python(SPARSE_GRID_SNIPPET, RAYON_NUM_THREADS="2")
    assert one == run_python(SPARSE_GRID_SNIPPET, RAYON_NUM_THREADS="3")
