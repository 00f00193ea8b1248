"""The Python API takes array-likes wherever it takes arrays: lists, narrower dtypes and strided
views give the same answer as a contiguous float64 (or int64) array."""
import numpy as np
import pytest

import nubiro
from nubiro import align, filters
from nubiro.posegraph import PoseGraph
from support import cloud, rigid

# Multiples of 1/4, so a float32 copy holds exactly the same numbers.
POINTS = np.random.default_rng(3).integers(0, 8, (40, 3)) / 4
CLOUD = cloud(POINTS)
QUARTER_TURN = np.array([[0.0, -1, 0], [1, 0, 0], [0, 0, 1]])
SQUARE = np.array([[0.0, 0], [1, 0], [1, 1], [0, 1]])
MASK = np.arange(40) % 3 == 0


def strided(a):
    """The same values as a view that is not contiguous (every other element of a wider array)."""
    wide = np.repeat(a[..., None], 2, axis=-1)
    return wide[..., 0]


FORMS = {
    "list": lambda a: a.tolist(),
    "narrow": lambda a: a.astype({"f": np.float32, "i": np.int32}.get(a.dtype.kind, a.dtype)),
    "strided": strided,
    "fortran": np.asfortranarray,
}


def points_of(selection):
    return np.asarray(selection[0].points)


def icp_motion(source=POINTS, init=rigid(np.eye(3), [0.25, 0, 0])):
    return align.icp(source, POINTS + [0.25, 0, 0], max_correspondence_distance=0.5, init=init,
                     method="point-to-point").transformation


def edge(transformation=rigid(QUARTER_TURN, [1, 2, 3]), information=np.diag([1.0, 2, 3, 4, 5, 6])):
    graph = PoseGraph()
    graph.add_node()
    graph.add_node()
    e = graph.add_edge(0, 1, transformation, information)
    return np.concatenate([e.transformation.ravel(), e.information.ravel()])


def shown_points(points):
    pytest.importorskip("plotly", reason="the 3-D view needs plotly (the 'viz' extra)")
    trace = nubiro.show(points).figure.data[0]
    return np.column_stack([trace.x, trace.y, trace.z])


# (argument as a float64/int64 array, the call with that argument, its result as an array)
CASES = {
    "select indices": (np.array([4, 0, 7, 7, -1]), lambda v: np.asarray(filters.select(CLOUD, v).points)),
    "select mask": (MASK, lambda v: np.asarray(filters.select(CLOUD, v).points)),
    "crop min_bound": (np.array([0.25, 0.5, 0]), lambda v: points_of(filters.crop(CLOUD, v, [1, 1, 1.5]))),
    "crop max_bound": (np.array([1, 1, 1.5]), lambda v: points_of(filters.crop(CLOUD, [0.25, 0.5, 0], v))),
    "crop_oriented center": (np.array([1, 1, 1.0]),
                             lambda v: points_of(filters.crop_oriented(CLOUD, v, QUARTER_TURN, [1, 2, 1]))),
    "crop_oriented rotation": (QUARTER_TURN,
                               lambda v: points_of(filters.crop_oriented(CLOUD, [1, 1, 1], v, [1, 2, 1]))),
    "crop_oriented extent": (np.array([1, 2, 1.0]),
                             lambda v: points_of(filters.crop_oriented(CLOUD, [1, 1, 1], QUARTER_TURN, v))),
    "crop_polygon polygon": (SQUARE, lambda v: points_of(filters.crop_polygon(CLOUD, v, axis=1))),
    "icp source points": (POINTS, lambda v: icp_motion(source=v)),
    "icp init": (rigid(np.eye(3), [0.25, 0, 0]), lambda v: icp_motion(init=v)),
    "estimate_covariances points": (POINTS, lambda v: align.estimate_covariances(v, 6).matrices),
    "add_edge transformation": (rigid(QUARTER_TURN, [1, 2, 3]), lambda v: edge(transformation=v)),
    "add_edge information": (np.diag([1.0, 2, 3, 4, 5, 6]), lambda v: edge(information=v)),
    "show points": (POINTS, shown_points),
}


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("case", CASES)
def test_array_likes_give_the_same_answer(case, form):
    value, call = CASES[case]
    expected = call(value)
    assert len(expected) > 0
    np.testing.assert_array_equal(call(FORMS[form](value)), expected)
