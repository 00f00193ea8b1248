"""The Feature matrix: shape rules, the data attribute, copies and its use as a search index."""
import copy

import numpy as np
import pytest

from nubiro.cpu.pybind.geometry import KDTreeFlann
from nubiro.cpu.pybind.pipelines.registration import Feature

TOO_LARGE = "feature dimensions are too large"


def feature(values):
    f = Feature()
    f.data = np.asarray(values, dtype=np.float64)
    return f


def state(f):
    return f.dimension(), f.num(), f.data.tolist()


VALUES = np.arange(12.0).reshape(3, 4) * 0.5


@pytest.mark.parametrize(
    "dim, n, message",
    [
        (-1, 5, "dim must be non-negative"),
        (3, -1, "n must be non-negative"),
        (-1, -1, "dim must be non-negative"),
        (2**30, 2**30, TOO_LARGE),
        (2**31 - 1, 2**31 - 1, TOO_LARGE),
        (-(2**31), 2**30, "dim must be non-negative"),
    ],
)
def test_resize_rejects_bad_shapes_and_keeps_the_values(dim, n, message):
    f = feature(VALUES)
    with pytest.raises(ValueError) as err:
        f.resize(dim, n)
    assert str(err.value) == message
    assert state(f) == (3, 4, VALUES.tolist())


@pytest.mark.parametrize("dim, n", [(2, 3), (0, 5), (5, 0), (0, 0), (0, 2**31 - 1), (33, 1)])
def test_resize_gives_zeros_of_the_new_shape(dim, n):
    f = feature(VALUES)
    assert f.resize(dim, n) is None
    assert (f.dimension(), f.num()) == (dim, n)
    assert type(f.dimension()) is int and type(f.num()) is int
    data = f.data
    assert data.shape == (dim, n) and data.dtype == np.float64 and not data.any()


def test_resize_argument_conversion():
    f = feature(VALUES)
    f.resize(np.int64(2), n=np.int32(1))
    assert (f.dimension(), f.num()) == (2, 1)
    for args, error in [((2.0, 1), TypeError), ((2, "1"), TypeError), ((2**31, 1), OverflowError), ((2,), TypeError)]:
        with pytest.raises(error):
            f.resize(*args)
    with pytest.raises(TypeError, match="^argument 'dim': "):
        f.resize(2.0, 1)
    assert state(f) == (2, 1, [[0.0], [0.0]])


def test_data_assignment_sets_the_shape():
    f = Feature()
    f.resize(2, 3)
    assert f.data.tolist() == [[0.0] * 3] * 2
    f.data = np.array([[1.0], [2.0], [3.0], [4.0]])
    assert state(f) == (4, 1, [[1.0], [2.0], [3.0], [4.0]])
    f.data = np.zeros((0, 5))
    assert (f.dimension(), f.num(), f.data.shape) == (0, 5, (0, 5))


def strided(values):
    wide = np.zeros((values.shape[0], 3 * values.shape[1]))
    wide[:, ::3] = values
    return wide[:, ::3]


@pytest.mark.parametrize(
    "layout",
    [np.ascontiguousarray, np.asfortranarray, strided, lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1]],
    ids=["c", "fortran", "strided", "negative-strides"],
)
def test_data_is_read_through_strides(layout):
    given = layout(VALUES)
    assert np.array_equal(given, VALUES)
    assert state(feature(given)) == (3, 4, VALUES.tolist())


@pytest.mark.parametrize(
    "value, type_name",
    [
        ([[1.0, 2.0]], "list"),
        (np.zeros((2, 2), np.float32), "ndarray"),
        (np.zeros((2, 2), np.int64), "ndarray"),
        (np.zeros(4), "ndarray"),
        (np.zeros((1, 2, 2)), "ndarray"),
        (None, "NoneType"),
    ],
)
def test_data_assignment_type_errors_leave_the_feature_unchanged(value, type_name):
    f = feature(VALUES)
    with pytest.raises(TypeError) as err:
        f.data = value
    assert str(err.value) == f"argument 'data': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert state(f) == (3, 4, VALUES.tolist())


def test_data_cannot_be_deleted():
    f = feature(VALUES)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del f.data
    assert state(f) == (3, 4, VALUES.tolist())


def test_data_reads_are_independent_copies():
    f = feature(VALUES)
    first, second = f.data, f.data
    assert first is not second and not np.shares_memory(first, second)
    first[0, 0] = 99.0
    assert second[0, 0] == 0.0 and f.data[0, 0] == 0.0
    source = VALUES.copy()
    g = feature(source)
    source[:] = -1.0
    assert g.data.tolist() == VALUES.tolist()


@pytest.mark.parametrize(
    "make_copy",
    [Feature, lambda f: Feature(other=f), copy.copy, copy.deepcopy, lambda f: f.__deepcopy__({}),
     lambda f: f.__copy__()],
    ids=["constructor", "keyword", "copy", "deepcopy", "deepcopy-memo", "dunder-copy"],
)
def test_copies_are_independent(make_copy):
    f = feature(VALUES)
    g = make_copy(f)
    assert type(g) is Feature and g is not f
    f.resize(1, 1)
    assert state(g) == (3, 4, VALUES.tolist())
    g.data = np.ones((2, 2))
    assert state(f) == (1, 1, [[0.0]])


def test_constructor_arguments():
    assert (Feature().dimension(), Feature().num(), Feature().data.shape) == (0, 0, (0, 0))
    assert (Feature(None).dimension(), Feature(other=None).num()) == (0, 0)
    for value, type_name in [(1, "int"), (VALUES, "ndarray"), ([[1.0]], "list")]:
        with pytest.raises(TypeError) as err:
            Feature(value)
        assert str(err.value) == f"argument 'other': '{type_name}' object cannot be converted to 'Feature'"


@pytest.mark.parametrize("dim, n", [(0, 0), (33, 5), (2, 2**20)])
def test_repr(dim, n):
    f = Feature()
    f.resize(dim, n)
    assert repr(f) == f"Feature class with dimension = {dim} and num = {n}\nAccess its data via data member."


def test_columns_are_the_descriptors_of_a_search_index():
    # Descriptor k is column k of data: an index over the feature finds column k itself.
    rng = np.random.default_rng(4)
    values = rng.random((33, 60))
    tree = KDTreeFlann(feature(values))
    for k in (0, 17, 59):
        count, idx, dist = tree.search_knn_vector_xd(values[:, k].copy(), 1)
        assert (count, list(idx), list(dist)) == (1, [k], [0.0])
    assert tree.search_knn_vector_xd(values[:, 0].copy()[:32], 1)[0] == -1
    assert tree.set_feature(feature(values[:3])) is True
    assert list(tree.search_knn_vector_3d(values[:3, 7].tolist(), 1)[1]) == [7]
