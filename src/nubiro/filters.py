"""Outlier removal, selection and sampling of point clouds.

Every function reads its cloud without copying or changing it and returns a new cloud together
with the int64 numbers of the points it kept (ascending, except for farthest-point sampling,
which gives them in the order chosen), so the same selection can be applied to other per-point
data: ``labels[kept]``. Normals and colours follow their points when the cloud has one per point.
Points with a NaN or infinite coordinate are never kept by the outlier filters.

The results are the same, bit for bit, for any number of worker threads.
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from ._native_api import native as _native
from .cpu.pybind import geometry

__all__ = [
    "remove_statistical_outliers", "remove_radius_outliers", "select", "crop", "crop_oriented",
    "crop_polygon", "remove_non_finite", "remove_duplicates", "random_sample", "every_kth",
    "farthest_point_sample",
]

Selection = tuple[geometry.PointCloud, np.ndarray]


def remove_statistical_outliers(cloud: geometry.PointCloud, k: int, std_ratio: float, *,
                                return_distances: bool = False) -> Any:
    """Remove points whose neighbours are unusually far away.

    For each point, the mean distance to its `k` nearest other points is taken (the point itself
    does not count; fewer neighbours when the cloud has fewer points). A point is kept when its
    mean is at most ``m + std_ratio * s``, where `m` and `s` are the mean and the sample standard
    deviation (divisor n - 1) of those means over the cloud's finite points.

    Parameters
    ----------
    cloud : PointCloud
    k : int
        Neighbours per point, at least 1.
    std_ratio : float
        Multiple of the standard deviation allowed above the mean, > 0.
    return_distances : bool
        Also return the per-point mean distances (NaN for non-finite points).

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64
        The kept points' numbers, ascending.
    mean_distances : ndarray of float64
        Only with ``return_distances=True``.

    Raises
    ------
    ValueError
        If `k` or `std_ratio` is not positive (or is NaN).
    """
    kept, indices, distances = _native.statistical_outliers(cloud, _count(k, "k"), std_ratio)
    return (kept, indices, distances) if return_distances else (kept, indices)


def remove_radius_outliers(cloud: geometry.PointCloud, min_points: int, radius: float) -> Selection:
    """Keep the points that have at least `min_points` other points within `radius`.

    Parameters
    ----------
    cloud : PointCloud
    min_points : int
        Neighbours required, at least 1 (the point itself does not count).
    radius : float
        Search radius, > 0; a neighbour exactly at the radius counts.

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64

    Raises
    ------
    ValueError
        If `min_points` or `radius` is not positive (or is NaN).
    """
    return _native.radius_outliers(cloud, _count(min_points, "min_points"), radius)


def select(cloud: geometry.PointCloud, indices: Any) -> geometry.PointCloud:
    """The points picked by an index array or a boolean mask, as a new cloud.

    Parameters
    ----------
    cloud : PointCloud
    indices : array_like of int or of bool
        Point numbers (any order, repeats allowed, negative numbers count from the end as in
        NumPy), or a mask with one entry per point.

    Returns
    -------
    PointCloud

    Raises
    ------
    IndexError
        If a point number is out of range.
    ValueError
        If a mask does not have one entry per point, or `indices` is not one-dimensional.
    TypeError
        If `indices` holds neither integers nor booleans.
    """
    return _native.select(cloud, _point_numbers(cloud, indices))


def crop(cloud: geometry.PointCloud, min_bound: Any, max_bound: Any = None) -> Selection:
    """The points inside an axis-aligned box, boundary included.

    Parameters
    ----------
    cloud : PointCloud
    min_bound, max_bound : array_like of 3 floats
        Opposite corners. Alternatively pass an ``AxisAlignedBoundingBox`` as `min_bound` alone.

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64

    Raises
    ------
    ValueError
        If a bound holds NaN or `min_bound` exceeds `max_bound` in some coordinate.
    """
    if max_bound is None and hasattr(min_bound, "get_min_bound"):
        min_bound, max_bound = min_bound.get_min_bound(), min_bound.get_max_bound()
    if max_bound is None:
        raise ValueError("max_bound is required unless min_bound is a bounding box")
    return _native.crop_box(cloud, _vector(min_bound, "min_bound"), _vector(max_bound, "max_bound"))


def crop_oriented(cloud: geometry.PointCloud, center: Any, rotation: Any, extent: Any) -> Selection:
    """The points inside an oriented box, boundary included.

    Parameters
    ----------
    cloud : PointCloud
    center : array_like of 3 floats
        The box's centre.
    rotation : array_like, shape (3, 3)
        Its columns are the box's axes.
    extent : array_like of 3 floats
        Full side lengths along those axes, each >= 0.

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64
        The kept points' numbers, ascending.

    Raises
    ------
    ValueError
        If an argument has the wrong shape, `center` or `rotation` is not finite, or an
        extent is negative or NaN.
    """
    rot = np.asarray(rotation, dtype=np.float64)
    if rot.shape != (3, 3):
        raise ValueError(f"rotation must have shape (3, 3), got {rot.shape}")
    return _native.crop_oriented_box(cloud, _vector(center, "center"), rot, _vector(extent, "extent"))


def crop_polygon(cloud: geometry.PointCloud, polygon: Any, *, axis: int = 2, low: float = -math.inf,
                 high: float = math.inf) -> Selection:
    """The points inside a polygon extruded along a coordinate axis.

    Parameters
    ----------
    cloud : PointCloud
    polygon : array_like, shape (n, 2)
        Vertices (n >= 3) in the plane of the two other coordinates, in increasing order (for
        ``axis=2``: x, y). Inside is decided by the even-odd rule.
    axis : {0, 1, 2}
        The extrusion axis.
    low, high : float
        The extrusion's extent along `axis`, inclusive.

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64
        The kept points' numbers, ascending.

    Raises
    ------
    ValueError
        If `polygon` does not have shape (n, 2), has fewer than 3 vertices or a non-finite
        one, `axis` is not 0, 1 or 2, or `low` exceeds `high` (or either is NaN).
    """
    poly = np.asarray(polygon, dtype=np.float64)
    if poly.ndim != 2 or poly.shape[1] != 2:
        raise ValueError(f"polygon must have shape (n, 2), got {poly.shape}")
    if axis not in (0, 1, 2):
        raise ValueError(f"axis must be 0, 1 or 2, got {axis!r}")
    return _native.crop_polygon(cloud, poly, int(axis), float(low), float(high))


def remove_non_finite(cloud: geometry.PointCloud) -> Selection:
    """Keep the points whose three coordinates are finite (no NaN, no infinity).

    Parameters
    ----------
    cloud : PointCloud

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64
        The kept points' numbers, ascending.
    """
    return _native.remove_non_finite(cloud)


def remove_duplicates(cloud: geometry.PointCloud, tolerance: float = 0.0) -> Selection:
    """Remove repeated points; the first of each group (lowest number) stays.

    Parameters
    ----------
    cloud : PointCloud
    tolerance : float
        0: exact coordinate equality. Above 0: a point goes when it lies within `tolerance`
        (inclusive) of an earlier point that stays. Points with a NaN or infinite coordinate
        always stay.

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64
        The kept points' numbers, ascending.

    Raises
    ------
    ValueError
        If `tolerance` is negative, infinite or NaN.
    """
    return _native.remove_duplicates(cloud, tolerance)


def random_sample(cloud: geometry.PointCloud, count: int, *, seed: int = 0) -> Selection:
    """Draw `count` distinct points uniformly at random.

    The draw depends only on `seed` and the number of points, not on the coordinates; the
    kept points keep their order.

    Parameters
    ----------
    cloud : PointCloud
    count : int
        Points to keep, at least 1; all of them when the cloud has fewer.
    seed : int
        Seed of the generator, 0 <= seed < 2**32.

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64
        The kept points' numbers, ascending.

    Raises
    ------
    TypeError
        If `count` or `seed` is not an integer.
    ValueError
        If `count` is not positive or `seed` is out of range.
    """
    return _native.random_sample(cloud, _count(count, "count"), _seed(seed))


def every_kth(cloud: geometry.PointCloud, k: int, *, offset: int = 0) -> Selection:
    """Keep every `k`-th point: numbers offset, offset + k, offset + 2k, ...

    Parameters
    ----------
    cloud : PointCloud
    k : int
        Step, at least 1.
    offset : int
        The first point number kept, >= 0; an offset past the last point keeps nothing.

    Returns
    -------
    kept : PointCloud
    indices : ndarray of int64
        The kept points' numbers, ascending.

    Raises
    ------
    TypeError
        If `k` or `offset` is not an integer.
    ValueError
        If `k` is not positive or `offset` is negative.
    """
    return _native.every_kth(cloud, _count(k, "k"), _index(offset, "offset"))


def farthest_point_sample(cloud: geometry.PointCloud, count: int, *, start: int = 0) -> Selection:
    """Farthest-point sampling: from point `start`, each next point is the one farthest
    (Euclidean distance) from those chosen so far, the lowest number among equals.

    Parameters
    ----------
    cloud : PointCloud
    count : int
        Points to choose, at least 1; fewer are returned when the cloud has fewer points with
        finite coordinates. Non-finite points are never chosen.
    start : int
        The number of the first point chosen, 0 <= start < number of points; it must have
        finite coordinates.

    Returns
    -------
    kept : PointCloud
        The chosen points, in the order chosen.
    indices : ndarray of int64
        Their numbers, in the order chosen (not sorted).

    Raises
    ------
    TypeError
        If `count` or `start` is not an integer.
    ValueError
        If `count` is not positive, `start` is out of range (so always for an empty cloud) or
        `start` is a point with a non-finite coordinate.
    """
    return _native.farthest_point_sample(cloud, _count(count, "count"), _index(start, "start"))


# ---- argument checks ---------------------------------------------------------------------------


def _count(value: Any, name: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        if isinstance(value, (float, np.floating)) and math.isnan(value):
            raise ValueError(f"{name} must be a positive integer, got nan")
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value}")
    return int(value)


def _index(value: Any, name: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    return int(value)


def _seed(seed: Any) -> int:
    seed = _index(seed, "seed")
    if not 0 <= seed < 2**32:
        raise ValueError(f"seed must lie in [0, 2**32), got {seed}")
    return seed


def _vector(value: Any, name: str) -> np.ndarray:
    v = np.asarray(value, dtype=np.float64)
    if v.shape != (3,):
        raise ValueError(f"{name} must hold 3 numbers, got shape {v.shape}")
    return v


def _point_numbers(cloud: geometry.PointCloud, indices: Any) -> np.ndarray:
    """Point numbers as a contiguous int64 array in [0, n), from an index array or a mask."""
    n = len(cloud.points)
    arr = np.asarray(indices)
    if arr.ndim != 1:
        raise ValueError(f"indices must be one-dimensional, got shape {arr.shape}")
    if arr.dtype == np.bool_:
        if len(arr) != n:
            raise ValueError(f"mask has {len(arr)} entries but the cloud has {n} points")
        return np.flatnonzero(arr).astype(np.int64)
    if arr.size == 0:
        return np.zeros(0, dtype=np.int64)
    if not np.issubdtype(arr.dtype, np.integer):
        raise TypeError(f"indices must be integers or booleans, got {arr.dtype}")
    idx = arr.astype(np.int64)
    bad = (idx < -n) | (idx >= n)
    if bad.any():
        raise IndexError(f"index {idx[bad][0]} is out of range for a cloud of {n} points")
    return np.ascontiguousarray(np.where(idx < 0, idx + n, idx), dtype=np.int64)
