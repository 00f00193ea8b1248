import pickle

import numpy as np
import pytest

from nubiro.cpu.pybind import _internal, geometry, utility
from nubiro.cpu.pybind.pipelines import registration

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


def arrays(obj, *names):
    return tuple(np.asarray(getattr(obj, n)).tobytes() for n in names)


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
