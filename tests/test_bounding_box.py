"""AxisAlignedBoundingBox: construction, emptiness and measures, corners, point selection,
text forms, merging, translate/scale, the refused rotate/transform, and the boxes that other
geometries return."""
import copy
import inspect

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry, utility

Box = geometry.AxisAlignedBoundingBox
NAN = float("nan")
INF = float("inf")


def corners(b):
    return b.min_bound.tolist(), b.max_bound.tolist()


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and (a.view(np.uint64) == b.view(np.uint64)).all()


def test_class():
    assert [c.__name__ for c in Box.__bases__] == ["Geometry3D"] and Box.__doc__ == ""
    assert str(inspect.signature(Box)) == "(min_bound=None, max_bound=None)"
    with pytest.raises(TypeError):
        type("Sub", (Box,), {})
    b = Box()
    kind = b.get_geometry_type()
    assert repr(kind) == "<Type.AxisAlignedBoundingBox: 12>" and kind.value == 12 and b.dimension() == 3
    with pytest.raises(AttributeError):
        b.extra = 1


@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, ([0, 0, 0], [0, 0, 0])),
    ((None, "not a vector"), {}, ([0, 0, 0], [0, 0, 0])),
    ((), {"max_bound": [1, 1, 1]}, ([0, 0, 0], [0, 0, 0])),
    (([1, 2, 3], [0, 5, 6]), {}, ([0, 2, 3], [1, 5, 6])),  # x is out of order: every axis is reordered
    (([0, 0, 0], [1, 1, 1]), {}, ([0, 0, 0], [1, 1, 1])),
    (([1, NAN, 3], [0, 5, NAN]), {}, ([0, 5, 3], [1, 5, 3])),  # NaN skipped while reordering
    (([0, NAN, 0], [1, 1, 1]), {}, ([0, NAN, 0], [1, 1, 1])),  # in order: kept as given
    ((np.array([3.0, 0, 0]), np.array([[1.0], [1], [1]])), {}, ([1, 0, 0], [3, 1, 1])),
])
def test_construction_from_bounds(args, kwargs, expected):
    b = Box(*args, **kwargs)
    got = corners(b)
    assert np.array_equal(got, expected, equal_nan=True)
    assert b.color.tolist() == [1, 1, 1]


@pytest.mark.parametrize("args, message", [
    (([1, 2, 3],), "'list' object cannot be converted to 'AxisAlignedBoundingBox'"),
    ((5, None), "'int' object cannot be converted to 'AxisAlignedBoundingBox'"),
    (([1, 2], [1, 2, 3]), "expected 3-vector"),
    (([1, 2, 3], "abc"), "expected 3-vector"),
    ((np.zeros(6)[::2], [1, 2, 3]), "The given array is not contiguous"),
])
def test_construction_errors_carry_bare_messages(args, message):
    with pytest.raises(TypeError) as info:
        Box(*args)
    assert str(info.value) == message


def test_copies_are_deep_and_exact():
    b = Box([0, 0, 0], [1, 2, 3])
    b.color = [0.1, 0.2, 0.3]
    for c in (Box(b), copy.copy(b), copy.deepcopy(b), b.__deepcopy__(None), b.get_axis_aligned_bounding_box()):
        assert type(c) is Box and c is not b
        assert corners(c) == corners(b) and c.color.tolist() == [0.1, 0.2, 0.3]
        c.min_bound = [-1, -1, -1]
        assert b.min_bound.tolist() == [0, 0, 0]


def test_attributes_store_values_unchanged():
    b = Box()
    b.min_bound = [5, 5, 5]  # not reordered against max_bound
    b.color = [2, -1, NAN]  # not clamped
    assert corners(b) == ([5, 5, 5], [0, 0, 0])
    assert np.array_equal(b.color, [2, -1, NAN], equal_nan=True)
    got = b.min_bound
    got[0] = 9  # reading gives a copy
    assert b.min_bound[0] == 5
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del b.color
    with pytest.raises(TypeError, match="^expected 3-vector$"):
        b.max_bound = [1, 2]
    assert b.max_bound.tolist() == [0, 0, 0]


@pytest.mark.parametrize("lo, hi, empty, volume, center", [
    ([0, 0, 0], [0, 0, 0], True, 0.0, [0, 0, 0]),  # the default box
    ([0, 0, 0], [2, 3, 4], False, 24.0, [1, 1.5, 2]),
    ([0, 0, 0], [1e-5, 1e-5, 1e-5], True, 1e-5 * (1e-5 * 1e-5), [0, 0, 0]),  # volume 1e-15 <= 1e-12
    ([0, 0, 0], [2e-4, 2e-4, 2e-4], False, 2e-4 * (2e-4 * 2e-4), [1e-4, 1e-4, 1e-4]),
    ([0, 0, 0], [NAN, 1, 1], False, NAN, [NAN, 0.5, 0.5]),  # a NaN volume does not make a box empty
])
def test_emptiness_volume_and_center(lo, hi, empty, volume, center):
    b = Box()
    b.min_bound, b.max_bound = lo, hi
    assert b.is_empty() is empty
    assert same_bits(b.volume(), volume)
    assert np.array_equal(b.get_center(), center, equal_nan=True)


def test_inverted_box():
    b = Box()
    b.min_bound, b.max_bound = [0, 2, 0], [1, 1, 1]
    assert b.is_empty() and b.volume() == 0.0 and b.get_center().tolist() == [0, 0, 0]
    assert b.get_extent().tolist() == [1, -1, 1] and b.get_half_extent().tolist() == [0.5, -0.5, 0.5]
    assert b.get_max_extent() == 1
    # A negative extent collapses the corners onto the minimum.
    assert np.asarray(b.get_box_points()).tolist() == [[0, 2, 0]] * 8


def test_volume_evaluation_order():
    # (dz)((dy)(dx)): with dx dy overflowing first the product is inf, not what dx (dy dz) gives.
    b = Box([0, 0, 0], [1e200, 1e200, 1e-200])
    assert b.volume() == 1e-200 * (1e200 * 1e200) == INF


def test_max_extent_skips_nan():
    b = Box()
    b.min_bound, b.max_bound = [0, 0, 0], [NAN, 2, 1]
    assert b.get_max_extent() == 2
    b.max_bound = [NAN, NAN, NAN]
    assert np.isnan(b.get_max_extent())


def test_box_points():
    pts = Box([0, 0, 0], [1, 2, 3]).get_box_points()
    assert type(pts) is utility.Vector3dVector and np.asarray(pts).base is pts  # free-standing
    assert np.asarray(pts).tolist() == [[0, 0, 0], [1, 0, 0], [0, 2, 0], [0, 0, 3],
                                        [1, 2, 0], [0, 2, 3], [1, 0, 3], [1, 2, 3]]
    # Adding zero turns -0.0 into +0.0 in the computed corners; the first and last are copied.
    b = Box()
    b.min_bound, b.max_bound = [-0.0, -0.0, -0.0], [1, 1, 1]
    signs = np.signbit(np.asarray(b.get_box_points()))
    assert signs[0].all() and not signs[1:].any()


def test_point_selection_margin_and_nan():
    pts = utility.Vector3dVector([[-1e-9, 0.5, 0.5], [-2e-9, 0.5, 0.5], [1 + 1e-9, 1, 1], [NAN, 0.5, 0.5],
                                  [0.5, 0.5, 0.5], [1 + 2e-9, 0.5, 0.5], [0, 0, 0]])
    assert Box([0, 0, 0], [1, 1, 1]).get_point_indices_within_bounding_box(pts) == [0, 2, 4, 6]
    inverted = Box()
    inverted.min_bound = [1, 1, 1]  # not checked for emptiness or order
    assert inverted.get_point_indices_within_bounding_box(pts) == []
    pc = geometry.PointCloud()
    pc.points = [[0.5, 0.5, 0.5], [3, 3, 3]]
    assert Box([0, 0, 0], [1, 1, 1]).get_point_indices_within_bounding_box(pc.points) == [0]  # a view works
    with pytest.raises(TypeError, match="^argument 'points': 'list' object cannot be converted to 'Vector3dVector'$"):
        Box().get_point_indices_within_bounding_box([[0, 0, 0]])


def test_create_from_points():
    empty = Box.create_from_points(utility.Vector3dVector())
    assert corners(empty) == ([0, 0, 0], [0, 0, 0])  # not NaN
    pts = utility.Vector3dVector([[NAN, 5, 1], [2, 3, NAN], [4, 4, 4]])
    b = Box.create_from_points(pts)
    assert corners(b) == ([2, 3, 1], [4, 5, 4]) and b.color.tolist() == [1, 1, 1]
    with pytest.raises(TypeError, match="^argument 'points': 'ndarray' object cannot be converted to 'Vector3dVector'$"):
        Box.create_from_points(np.zeros((2, 3)))


@pytest.mark.parametrize("value, expected", [
    (0.0, "0.0000"), (1.0, "1.0000"), (-4e-5, "-0.0000"), (2.5e-5, "0.0000"), (-0.0, "-0.0000"),
    (0.00015, "0.0001"),  # 0.00015 is stored just below the tie
    (0.00025, "0.0003"),  # ... and this one just above
    (1234567.123456, "1234567.1235"), (NAN, "NaN"), (INF, "inf"), (-INF, "-inf"),
])
def test_print_info_four_decimals(value, expected):
    b = Box()
    b.min_bound = [value, 0, 0]
    assert b.get_print_info() == f"AxisAlignedBoundingBox: min: ({expected}, 0.0000, 0.0000), max: (0.0000, 0.0000, 0.0000)"


def test_repr_uses_general_form():
    assert repr(Box()) == "AxisAlignedBoundingBox: min: (0, 0, 0), max: (0, 0, 0)"
    b = Box()
    b.min_bound, b.max_bound = [1e-5, -2.5e6, NAN], [3.14159265, 42, -INF]
    assert repr(b) == "AxisAlignedBoundingBox: min: (1e-05, -2.5e+06, nan), max: (3.14159, 42, -inf)"


def test_in_place_addition():
    red = Box([1, 1, 1], [2, 2, 2])
    red.color = [1, 0, 0]
    b = Box()
    b += red  # an empty box takes everything, colour included
    assert corners(b) == ([1, 1, 1], [2, 2, 2]) and b.color.tolist() == [1, 0, 0]
    keep = b
    b += Box([0, 1.5, 1.5], [1.5, 3, 1.5])  # flat: empty, changes nothing
    assert b is keep and corners(b) == ([1, 1, 1], [2, 2, 2])
    other = Box([0, 1.5, 1.5], [1.5, 3, 5])
    other.color = [0, 0, 1]
    b += other
    assert corners(b) == ([0, 1, 1], [2, 3, 5]) and b.color.tolist() == [1, 0, 0]
    b += b
    assert corners(b) == ([0, 1, 1], [2, 3, 5])
    # NaN corners are skipped when merging.
    n = Box()
    n.min_bound, n.max_bound = [NAN, 0, 0], [3, 3, NAN]
    b += n
    assert corners(b) == ([0, 0, 0], [3, 3, 5])
    for bad in (1, [0, 0, 0], geometry.PointCloud()):
        with pytest.raises(TypeError, match="unsupported operand"):
            b += bad
    with pytest.raises(TypeError):
        b + other  # no plain addition


def test_in_place_addition_declines_a_box_in_use(held_all):
    b = Box([0, 0, 0], [1, 1, 1])
    with held_all((b, False, lambda: b.translate([0, 0, 0]))):
        with pytest.raises(TypeError, match="unsupported operand"):
            b += Box([0, 0, 0], [2, 2, 2])
    assert corners(b) == ([0, 0, 0], [1, 1, 1])


@pytest.mark.parametrize("lo, hi, t, relative, expected", [
    ([0, 0, 0], [1, 1, 1], [1, 2, 3], True, ([1, 2, 3], [2, 3, 4])),
    ([0, 0, 0], [2, 2, 2], [0, 0, 0], False, ([-1, -1, -1], [1, 1, 1])),  # centre moves onto t
    ([0, 0, 0], [0, 0, 0], [1, 1, 1], False, ([1, 1, 1], [1, 1, 1])),  # empty: centre (0, 0, 0)
    ([5, 5, 5], [5, 5, 6], [1, 1, 1], False, ([6, 6, 6], [6, 6, 7])),  # flat, so empty, too
])
def test_translate(lo, hi, t, relative, expected):
    b = Box(lo, hi)
    assert b.translate(t, relative=relative) is b
    assert corners(b) == expected


@pytest.mark.parametrize("f, center, expected", [
    (2.0, [0, 0, 0], ([2, 2, 2], [4, 4, 4])),
    (2.0, [1, 1, 1], ([1, 1, 1], [3, 3, 3])),
    (-1.0, [0, 0, 0], ([-2, -2, -2], [-1, -1, -1])),  # corners exchanged
    (NAN, [0, 0, 0], ([NAN] * 3, [NAN] * 3)),
])
def test_scale(f, center, expected):
    b = Box([1, 1, 1], [2, 2, 2])
    assert b.scale(f, center) is b
    assert same_bits(corners(b), expected)
    with pytest.raises(TypeError):
        b.scale(2.0)  # the centre is required


def test_rotate_and_transform_are_refused_whatever_the_arguments():
    b = Box([0, 0, 0], [1, 1, 1])
    for call in (lambda: b.rotate(np.eye(3)), lambda: b.rotate("anything", center=5), lambda: b.rotate(None)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == ("[AxisAlignedBoundingBox::Rotate] Cannot rotate AABB. "
                                   "Convert to OrientedBoundingBox first.")
    for t in (np.eye(4), "x"):
        with pytest.raises(RuntimeError) as info:
            b.transform(t)
        assert str(info.value) == ("[AxisAlignedBoundingBox::Transform] Cannot apply general transform. "
                                   "Convert to OrientedBoundingBox first or use Translate/Scale.")
    assert corners(b) == ([0, 0, 0], [1, 1, 1])


def test_clear_restores_the_default_box():
    b = Box([1, 1, 1], [2, 2, 2])
    b.color = [0, 0, 0]
    assert b.clear() is b and corners(b) == ([0, 0, 0], [0, 0, 0]) and b.color.tolist() == [1, 1, 1]


def test_box_of_a_point_cloud(make_cloud):
    b = make_cloud([[NAN, 5, 1], [2, 3, NAN], [-1, 4, 0]]).get_axis_aligned_bounding_box()
    assert type(b) is Box and corners(b) == ([-1, 3, 0], [2, 5, 1]) and b.color.tolist() == [1, 1, 1]
    empty = geometry.PointCloud().get_axis_aligned_bounding_box()
    assert np.isnan(empty.min_bound).all() and np.isnan(empty.max_bound).all()
