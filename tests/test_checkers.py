"""Correspondence checkers and the RANSAC convergence criteria objects."""
import copy
import math

import numpy as np
import pytest

from nubiro.cpu.pybind.pipelines import registration as reg
from support import cloud

EDGE, DIST, NORMAL = (reg.CorrespondenceCheckerBasedOnEdgeLength, reg.CorrespondenceCheckerBasedOnDistance,
                      reg.CorrespondenceCheckerBasedOnNormal)


@pytest.mark.parametrize("make, attribute, aligned, label", [
    (EDGE, "similarity_threshold", False, "CorrespondenceCheckerBasedOnEdgeLength with similarity_threshold="),
    (DIST, "distance_threshold", True, "CorrespondenceCheckerBasedOnDistance with distance_threshold="),
    (NORMAL, "normal_angle_threshold", False, "CorrespondenceCheckerBasedOnNormal with normal_threshold="),
])
def test_checker_classes(make, attribute, aligned, label):
    c = make(0.05)
    assert isinstance(c, reg.CorrespondenceChecker)
    assert getattr(c, attribute) == 0.05
    assert c.require_pointcloud_alignment_ is aligned
    assert repr(c) == label + "0.050000"
    for dup in (copy.copy(c), copy.deepcopy(c), c.__deepcopy__(_m=None)):
        assert type(dup) is make and getattr(dup, attribute) == 0.05
    with pytest.raises(AttributeError):
        setattr(c, attribute, 1.0)


@pytest.mark.parametrize("value, text", [
    (0.9, "0.900000"), (0.0000005, "0.000000"), (0.0000015, "0.000002"), (0.1234565, "0.123456"),
    (0.0078125, "0.007812"), (0.0234375, "0.023438"), (123456789.125, "123456789.125000"), (-0.0, "-0.000000"),
    (-1.5, "-1.500000"), (1e22, "10000000000000000000000.000000"),
    (math.nan, "NaN"), (-math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"),
])
def test_threshold_text_is_six_decimals_of_the_exact_value(value, text):
    # 0.0000005 is just below a half, 0.0000015 just above; 2**-7 and 3 * 2**-7 are exact ties
    # and go to the even digit.
    assert repr(EDGE(value)).endswith("=" + text)


def test_edge_length_default_and_base_class_has_no_constructor():
    assert EDGE().similarity_threshold == 0.9
    with pytest.raises(TypeError, match="^No constructor defined for CorrespondenceChecker$"):
        reg.CorrespondenceChecker()


@pytest.mark.parametrize("make", [DIST, NORMAL])
def test_required_thresholds(make):
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        make()
    with pytest.raises(TypeError, match="argument '"):
        make("0.1")


def test_ransac_criteria():
    c = reg.RANSACConvergenceCriteria()
    assert (c.max_iteration, c.confidence) == (100000, 0.999)
    assert repr(c) == "RANSACConvergenceCriteria(max_iteration=100000, confidence=9.990000e-01)"
    c = reg.RANSACConvergenceCriteria(confidence=2.0, max_iteration=-5)  # no range checks
    assert repr(c) == "RANSACConvergenceCriteria(max_iteration=-5, confidence=2.000000e+00)"
    c.max_iteration, c.confidence = np.int64(7), 1
    d = copy.deepcopy(c)
    c.max_iteration = 8
    assert (d.max_iteration, d.confidence, copy.copy(c).max_iteration) == (7, 1.0, 8)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del c.confidence
    with pytest.raises(OverflowError):
        c.max_iteration = 2**31
    with pytest.raises(TypeError, match="argument 'max_iteration'"):
        c.max_iteration = 1.5


# ---- Check ------------------------------------------------------------------------------------

def shift(x):
    t = np.eye(4)
    t[0, 3] = x
    return t


SEGMENT = cloud([[0, 0, 0], [1, 0, 0]])
PAIRS = np.array([[0, 0], [1, 1]], dtype=np.int32)


@pytest.mark.parametrize("target_length, ok", [(0.9, True), (0.89, False), (1.11, True), (1.12, False)])
def test_edge_length_bounds(target_length, ok):
    target = cloud([[5, 5, 5], [5 + target_length, 5, 5]])
    # The transformation plays no part in edge lengths.
    assert EDGE(0.9).Check(SEGMENT, target, PAIRS, shift(100.0)) is ok


def test_edge_length_with_one_pair_or_none_passes():
    far = cloud([[0, 0, 0], [100, 0, 0]])
    assert EDGE(0.9).Check(SEGMENT, far, PAIRS[:1], np.eye(4))
    assert EDGE(0.9).Check(SEGMENT, far, np.zeros((0, 2), np.int32), np.eye(4))
    assert not EDGE(0.9).Check(SEGMENT, far, PAIRS, np.eye(4))


@pytest.mark.parametrize("threshold, offset, ok", [(0.5, 0.5, True), (0.5, 0.5000001, False), (0.0, 0.0, True),
                                                   (0.0, 1e-12, False)])
def test_distance_after_the_transformation(threshold, offset, ok):
    target = cloud([[2, 0, 0], [3 + offset, 0, 0]])
    assert DIST(threshold).Check(SEGMENT, target, PAIRS, shift(2.0)) is ok


def test_normal_angle_uses_the_rotation_only():
    src = cloud([[0, 0, 0]], normals=[[1, 0, 0]])
    tgt = cloud([[9, 9, 9]], normals=[[0, 1, 0]])
    quarter = np.eye(4)
    quarter[:3, :3] = [[0, -1, 0], [1, 0, 0], [0, 0, 1]]  # x -> y
    quarter[:3, 3] = [50, 50, 50]
    pair = np.array([[0, 0]], dtype=np.int32)
    assert NORMAL(0.01).Check(src, tgt, pair, quarter)
    assert not NORMAL(0.01).Check(src, tgt, pair, np.eye(4))
    assert NORMAL(math.pi / 2 + 1e-9).Check(src, tgt, pair, np.eye(4))


def test_normal_check_without_normals_and_at_pi():
    src = cloud([[0, 0, 0]], normals=[[1, 0, 0]])
    pair = np.array([[0, 0]], dtype=np.int32)
    assert NORMAL(0.0).Check(src, cloud([[0, 0, 0]]), pair, np.eye(4))
    assert NORMAL(0.0).Check(cloud([[0, 0, 0]]), src, pair, np.eye(4))
    opposite = cloud([[0, 0, 0]], normals=[[-1, 0, 0]])
    assert NORMAL(math.pi).Check(src, opposite, pair, np.eye(4))
    longer = cloud([[0, 0, 0]], normals=[[-2, 0, 0]])  # dot -2 is below cos(pi)
    assert not NORMAL(math.pi).Check(src, longer, pair, np.eye(4))


@pytest.mark.parametrize("pairs, message", [
    ([[0, 0], [-1, 7]], "correspondence 1 has negative source index -1"),
    ([[0, -2]], "correspondence 0 has negative target index -2"),
    ([[2, 0]], "correspondence 0 source index 2 is out of bounds for 2 points"),
    ([[1, 2]], "correspondence 0 target index 2 is out of bounds for 2 points"),
])
def test_check_validates_pairs_first(pairs, message):
    for c in (EDGE(), DIST(1.0), NORMAL(1.0)):
        with pytest.raises(ValueError, match="^" + message + "$"):
            c.Check(SEGMENT, SEGMENT, np.array(pairs, dtype=np.int32), np.eye(4))


def test_check_argument_conversion():
    with pytest.raises(TypeError, match="cannot be converted to 'PyArray<T, D>'"):
        EDGE().Check(SEGMENT, SEGMENT, PAIRS, np.eye(4).tolist())
    with pytest.raises(TypeError, match="argument 'source'"):
        EDGE().Check(None, SEGMENT, PAIRS, np.eye(4))


def test_pickling_keeps_class_and_values():
    import pickle
    for obj, attrs in ((EDGE(0.8), ("similarity_threshold",)), (DIST(-0.0), ("distance_threshold",)),
                       (NORMAL(math.nan), ("normal_angle_threshold",)),
                       (reg.RANSACConvergenceCriteria(12, 0.5), ("max_iteration", "confidence"))):
        back = pickle.loads(pickle.dumps(obj))
        assert type(back) is type(obj) and repr(back) == repr(obj)
        for name in attrs:
            assert np.array_equal(getattr(back, name), getattr(obj, name), equal_nan=True)
