import pathlib
import pickle
import types

import numpy as np
import pytest

from nubiro.cpu.pybind import _internal, geometry, io, utility
from nubiro.cpu.pybind.pipelines import registration

BUNNY = pathlib.Path(__file__).parent / "data" / "bunny.ply"

# Values chosen to expose lossy transport: a NaN with a payload, signed zeros, extremes.
ODD = np.array([np.frombuffer(b"\x01\x00\x00\x00\x00\x00\xf8\x7f", np.float64)[0], -0.0, 5e-324,
                1.7976931348623157e308, -np.inf, 1 / 3])


def odd_rows(n, k=3):
    return np.resize(ODD, n * k).reshape(n, k)


def cloud():
    pc = geometry.PointCloud()
    pc.points, pc.normals, pc.colors = odd_rows(4), odd_rows(4)[::-1], odd_rows(2)
    return pc


def feature():
    f = registration.Feature()
    f.resize(33, 3)
    f.data = np.resize(ODD, 99).reshape(33, 3)
    return f


def mesh():
    m = geometry.TriangleMesh()
    m.vertices, m.vertex_normals, m.vertex_colors = odd_rows(4), odd_rows(4)[::-1], odd_rows(4)[:, ::-1]
    m.triangles = [[0, 2**31 - 1, -(2**31)], [3, 2, 1]]
    m.triangle_normals = odd_rows(2)
    return m


def box():
    b = geometry.AxisAlignedBoundingBox()
    b.min_bound, b.max_bound, b.color = ODD[:3], ODD[3:], ODD[[2, 0, 1]]
    return b


def voxel_grid(odd_colors=False):
    pc = geometry.PointCloud()
    pc.points = np.random.default_rng(3).normal(size=(3000, 3))
    grid = geometry.VoxelGrid.create_from_point_cloud(pc, 0.25)
    grid.origin, grid.voxel_size = ODD[:3], -0.0
    if odd_colors:  # the constructors make grey voxels only; the state hook can carry any colour
        origin, size, buckets, keys, colors, order = _internal.voxel_grid_state(grid)
        _internal.voxel_grid_restore(grid, origin, size, buckets, keys, odd_rows(len(keys)), order)
    return grid


def registration_result():
    r = registration.RegistrationResult()
    r.transformation = odd_rows(4, 4)
    r.correspondence_set = [[0, 2**31 - 1], [-1, 5]]
    r.fitness, r.inlier_rmse = ODD[0], -0.0
    return r


def arrays(obj, *names):
    return tuple(np.asarray(getattr(obj, n)).tobytes() for n in names)


def grid_state(g):
    """Everything a grid shows, in order, plus its voxel map's exported state."""
    voxels = g.get_voxels()
    shown = (np.array([v.grid_index for v in voxels]).tobytes(), np.array([v.color for v in voxels]).tobytes(),
             _internal.voxel_grid_bucket_count(g), np.float64(g.voxel_size).tobytes(),
             *(np.asarray(a).tobytes() for a in (g.origin, g.get_min_bound(), g.get_max_bound(), g.get_center())))
    return shown + tuple(np.asarray(part).tobytes() for part in _internal.voxel_grid_state(g))


# (name, factory, state): `state` reduces an object to bytes and plain values compared exactly.
CASES = [
    ("PointCloud", cloud, lambda o: arrays(o, "points", "normals", "colors")),
    ("Feature", feature, lambda o: (o.data.tobytes(), o.dimension(), o.num())),
    ("KNN", lambda: geometry.KDTreeSearchParamKNN(7), repr),
    ("Radius", lambda: geometry.KDTreeSearchParamRadius(0.25), repr),
    ("Hybrid", lambda: geometry.KDTreeSearchParamHybrid(0.5, 12), repr),
    ("Vector3dVector", lambda: utility.Vector3dVector(odd_rows(5)), lambda o: np.asarray(o).tobytes()),
    ("Vector2dVector", lambda: utility.Vector2dVector(odd_rows(3, 2)), lambda o: np.asarray(o).tobytes()),
    ("Vector3iVector", lambda: utility.Vector3iVector([[1, -2, 2**31 - 1]]), lambda o: np.asarray(o).tobytes()),
    ("Vector2iVector", lambda: utility.Vector2iVector([[0, -(2**31)], [4, 5]]), lambda o: np.asarray(o).tobytes()),
    ("Vector4iVector", lambda: utility.Vector4iVector([[1, 2, 3, 4]]), lambda o: np.asarray(o).tobytes()),
    ("IntVector", lambda: utility.IntVector([3, -1, 2**31 - 1]), lambda o: np.asarray(o).tobytes()),
    ("DoubleVector", lambda: utility.DoubleVector(list(ODD)), lambda o: np.asarray(o).tobytes()),
    ("Matrix3dVector", lambda: _internal.matrix_vector(odd_rows(6)), lambda o: np.asarray(o).tobytes()),
    ("Matrix4dVector", lambda: _internal.matrix_vector(odd_rows(8, 4)), lambda o: np.asarray(o).tobytes()),
    ("empty Matrix4dVector", utility.Matrix4dVector, lambda o: (len(o), repr(o))),
    ("view", lambda: cloud().normals, lambda o: np.asarray(o).tobytes()),
    ("TriangleMesh", mesh,
     lambda o: arrays(o, "vertices", "vertex_normals", "vertex_colors", "triangles", "triangle_normals")),
    ("AxisAlignedBoundingBox", box, lambda o: arrays(o, "min_bound", "max_bound", "color")),
    ("Voxel", lambda: geometry.Voxel(np.array([1, -(2**31), 2**31 - 1], np.int32), ODD[:3]),
     lambda o: arrays(o, "grid_index", "color")),
    ("VoxelGrid", voxel_grid, grid_state),
    ("VoxelGrid odd colours", lambda: voxel_grid(odd_colors=True), grid_state),
    ("empty VoxelGrid", geometry.VoxelGrid, grid_state),
    ("RegistrationResult", lambda: registration_result(),
     lambda o: arrays(o, "transformation", "correspondence_set", "fitness", "inlier_rmse")),
    ("ICPConvergenceCriteria", lambda: registration.ICPConvergenceCriteria(-0.0, ODD[0], 7),
     lambda o: arrays(o, "relative_fitness", "relative_rmse", "max_iteration")),
    ("PointToPoint", lambda: registration.TransformationEstimationPointToPoint(True), repr),
    ("PointToPlane", registration.TransformationEstimationPointToPlane, repr),
    ("RANSACConvergenceCriteria", lambda: registration.RANSACConvergenceCriteria(5, ODD[0]),
     lambda o: arrays(o, "max_iteration", "confidence")),
    ("EdgeLength", lambda: registration.CorrespondenceCheckerBasedOnEdgeLength(ODD[0]),
     lambda o: arrays(o, "similarity_threshold", "require_pointcloud_alignment_")),
    ("Distance", lambda: registration.CorrespondenceCheckerBasedOnDistance(-0.0),
     lambda o: arrays(o, "distance_threshold", "require_pointcloud_alignment_")),
    ("Normal", lambda: registration.CorrespondenceCheckerBasedOnNormal(5e-324),
     lambda o: arrays(o, "normal_angle_threshold", "require_pointcloud_alignment_")),
]


@pytest.mark.parametrize("factory, state", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
@pytest.mark.parametrize("protocol", [2, 5])
def test_round_trip_is_exact_and_independent(factory, state, protocol):
    original = factory()
    buffers = []
    data = pickle.dumps(original, protocol=protocol, buffer_callback=buffers.append if protocol == 5 else None)
    copy = pickle.loads(data, buffers=buffers)
    assert type(copy) is type(original) and copy is not original
    assert state(copy) == state(original)
    if hasattr(copy, "points"):  # loading copies out of the buffers: the copy owns its data
        np.asarray(original.points)[:] = 0
        buffers.clear()
        assert state(copy) == state(factory())


def test_large_arrays_travel_out_of_band():
    pc = geometry.PointCloud()
    pc.points = np.random.default_rng(0).random((100_000, 3))
    buffers = []
    data = pickle.dumps(pc, protocol=5, buffer_callback=buffers.append)
    assert len(data) < 2_000 and sum(memoryview(b).nbytes for b in buffers) == 100_000 * 24
    assert np.asarray(pickle.loads(data, buffers=buffers).points).tobytes() == np.asarray(pc.points).tobytes()


class TaggedCloud(geometry.PointCloud):
    pass


def test_subclass_keeps_its_class_and_attributes():
    pc = TaggedCloud()
    pc.points = [[1, 2, 3]]
    pc.tag = "scan 7"
    copy = pickle.loads(pickle.dumps(pc))
    assert type(copy) is TaggedCloud and copy.tag == "scan 7" and np.asarray(copy.points).tolist() == [[1, 2, 3]]


def test_kdtree_stays_unpicklable():
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(geometry.KDTreeFlann())


def _classes(module, seen):
    """The extension's classes, walking its submodules."""
    for name in dir(module):
        value = getattr(module, name)
        if isinstance(value, types.ModuleType) and id(value) not in seen:
            seen.add(id(value))
            yield from _classes(value, seen)
        elif isinstance(value, type) and value.__module__.startswith("nubiro.cpu.pybind"):
            yield value


def test_every_value_class_has_a_round_trip_row():
    from nubiro.cpu import pybind
    classes = set(_classes(pybind, set()))
    assert geometry.KDTreeFlann in classes and geometry.VoxelGrid in classes
    picklable = {cls for cls in classes if hasattr(cls, "__copy__") or "__reduce_ex__" in vars(cls)}
    covered = {type(factory()) for _, factory, _ in CASES}
    assert sorted(c.__name__ for c in picklable - covered) == []
    assert geometry.KDTreeFlann not in picklable


# ---- VoxelGrid: the voxel map's exact state ---------------------------------------------------------------

def test_grid_from_real_data_keeps_its_voxel_order():
    grid = geometry.VoxelGrid.create_from_point_cloud(io.read_point_cloud(str(BUNNY)), 0.05)
    copy = pickle.loads(pickle.dumps(grid, protocol=5))
    assert grid_state(copy) == grid_state(grid) and len(copy.get_voxels()) > 1000


def _first_shared_bucket(state):
    """Position p in the iteration order whose node shares its bucket with the node at p + 1."""
    _, _, buckets, keys, _, order = state
    bucket = [_internal.hash_voxel_key(*map(int, keys[i])) % buckets for i in order]
    return next(p for p in range(len(order) - 1) if bucket[p] == bucket[p + 1])


def _with(state, **changes):
    names = ("origin", "voxel_size", "bucket_count", "keys", "colors", "order")
    parts = dict(zip(names, state))
    parts.update({k: v(parts) if callable(v) else v for k, v in changes.items()})
    return tuple(parts[n] for n in names)


def _duplicate_key(s):
    keys, order = s["keys"].copy(), s["order"]
    p = _first_shared_bucket(tuple(s.values()))
    keys[order[p + 1]] = keys[order[p]]
    return keys


def _split_bucket(s):
    order = list(s["order"])
    order.append(order.pop(_first_shared_bucket(tuple(s.values())) + 1))
    return np.array(order, np.uint32)


def _repeat_first(s):
    order = s["order"].copy()
    order[1] = order[0]
    return order


def _out_of_range(s):
    order = s["order"].copy()
    order[0] = len(order)
    return order


MALFORMED = [
    ("order repeats a node", dict(order=_repeat_first), ValueError, "list every node once"),
    ("order names no node", dict(order=_out_of_range), ValueError, "list every node once"),
    ("order too short", dict(order=lambda s: s["order"][:-1]), ValueError, "list every node once"),
    ("nodes missing", dict(keys=lambda s: s["keys"][:-1], colors=lambda s: s["colors"][:-1]), ValueError,
     "list every node once"),
    ("colours too short", dict(colors=lambda s: s["colors"][:-1]), ValueError, "keys and colors differ"),
    ("no bucket", dict(bucket_count=0), ValueError, "too few buckets"),
    ("one bucket", dict(bucket_count=1), ValueError, "too few buckets"),
    ("fewer buckets than nodes", dict(bucket_count=2), ValueError, "too few buckets"),
    ("count the map never uses", dict(bucket_count=lambda s: s["bucket_count"] + 1), ValueError, "not a bucket count"),
    ("huge table", dict(bucket_count=2**61 - 1), ValueError, "more buckets than the nodes need"),
    ("negative count", dict(bucket_count=-1), ValueError, "out of range"),
    ("count past 64 bits", dict(bucket_count=2**64), ValueError, "out of range"),
    ("bucket split in two runs", dict(order=_split_bucket), ValueError, "consecutive"),
    ("duplicate key", dict(keys=_duplicate_key), ValueError, "distinct"),
    ("order of another dtype", dict(order=lambda s: s["order"].astype(np.int64)), TypeError, "uint32"),
]


@pytest.mark.parametrize("changes, exc, message", [m[1:] for m in MALFORMED], ids=[m[0] for m in MALFORMED])
def test_malformed_grid_state_is_refused_and_changes_nothing(changes, exc, message):
    source = voxel_grid()
    target = voxel_grid(odd_colors=True)
    before = grid_state(target)
    with pytest.raises(exc, match=message):
        _internal.voxel_grid_restore(target, *_with(_internal.voxel_grid_state(source), **changes))
    assert grid_state(target) == before


def test_any_consistent_state_is_restored_as_given():
    # Whole bucket runs in any order make a sound map: it lists its voxels in that order and
    # exports the same state again.
    origin, size, buckets, keys, colors, order = _internal.voxel_grid_state(voxel_grid())
    bucket = [_internal.hash_voxel_key(*map(int, keys[i])) % buckets for i in order]
    runs, start = [], 0
    for p in range(1, len(order) + 1):
        if p == len(order) or bucket[p] != bucket[p - 1]:
            runs.append(order[start:p])
            start = p
    rng = np.random.default_rng(5)
    for _ in range(3):
        shuffled = np.concatenate([runs[i] for i in rng.permutation(len(runs))]).astype(np.uint32)
        grid = geometry.VoxelGrid()
        _internal.voxel_grid_restore(grid, origin, size, buckets, keys, colors, shuffled)
        assert [v.grid_index.tolist() for v in grid.get_voxels()] == keys[shuffled].tolist()
        again = _internal.voxel_grid_state(grid)
        assert again[2] == buckets and again[5].tobytes() == shuffled.tobytes() and again[3].tobytes() == keys.tobytes()


def _keys(n, spread, seed):
    rng = np.random.default_rng(seed)
    return [tuple(map(int, k)) for k in rng.integers(-spread, spread, size=(n, 3))]


@pytest.mark.parametrize("keys, more", [
    ([], _keys(40, 9, 1)),  # never sized: the first insertion sizes it
    (_keys(1, 3, 2), _keys(30, 3, 3)),
    (_keys(12, 2, 4), []),
    (_keys(700, 6, 5), _keys(3000, 9, 6)),  # several growths before and after, duplicates included
])
def test_restored_map_goes_on_like_the_original(keys, more):
    order, buckets, restored_order, restored_buckets = _internal.voxel_map_restore(keys, more)
    assert (restored_order, restored_buckets) == (order, buckets)
