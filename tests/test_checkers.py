"""Correspondence checkers and the RANSAC convergence criteria objects."""
import copy
import math

import numpy as np
import pytest

from nubiro.cpu.pybind.pipelines import registration as reg

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
