"""Plane segmentation by RANSAC and clustering of point clouds.

Every function reads its cloud without copying or changing it and returns int64 point numbers,
the same, bit for bit, for any number of worker threads. Points with a NaN or infinite
coordinate are never inliers and belong to no cluster.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from . import filters
from ._native_api import native as _native
from .cpu.pybind import geometry

__all__ = ["PlaneSegment", "segment_plane", "segment_planes", "dbscan", "euclidean_clusters"]


@dataclass(frozen=True)
class PlaneSegment:
    """A plane found by `segment_plane`.

    Attributes
    ----------
    model : ndarray, shape (4,)
        ``a, b, c, d`` of the plane ``a x + b y + c z + d = 0``; ``(a, b, c)`` is a unit normal
        whose largest-magnitude component is positive.
    inliers : ndarray of int64
        The points within the distance threshold of the plane, ascending.
    rmse : float
        Root mean square point-to-plane distance of the inliers.
    """

    model: np.ndarray
    inliers: np.ndarray
    rmse: float


def segment_plane(cloud: geometry.PointCloud, distance: float, *, iterations: int = 1000,
                  probability: float = 1.0, seed: int = 0) -> PlaneSegment:
    """The plane that the most points lie near, found by RANSAC and refined by least squares.

    All `iterations` samples of three distinct points are drawn first from a generator seeded
    with `seed`; each sample's plane is scored by its number of points within `distance`, and
    the first best sample wins. Its inliers give the least-squares plane (through their centroid,
    normal along their direction of least spread), against which the inliers and their RMSE are
    taken again.

    Parameters
    ----------
    cloud : PointCloud
        At least three points with finite coordinates.
    distance : float
        Inlier threshold, > 0.
    iterations : int
        Samples drawn, >= 1.
    probability : float
        In (0, 1]. Below 1, the samples are taken in order and the search stops once a better
        plane would have been found with this probability (the usual adaptive count); 1 always
        scores every sample.
    seed : int
        0 <= seed < 2**32.

    Returns
    -------
    PlaneSegment

    Raises
    ------
    ValueError
        For a non-positive or NaN argument, fewer than three finite points, or when every
        sample is collinear.
    """
    model, inliers, rmse = _native.segment_plane(cloud, distance, filters._count(iterations, "iterations"),
                                                 probability, filters._seed(seed))
    return PlaneSegment(model, inliers, rmse)


def segment_planes(cloud: geometry.PointCloud, distance: float, count: int, *, iterations: int = 1000,
                   probability: float = 1.0, seed: int = 0,
                   min_inliers: int = 3) -> tuple[list[PlaneSegment], np.ndarray]:
    """Peel off up to `count` planes, largest first.

    Each round runs `segment_plane` (with seed ``seed + round``) on the points no earlier plane
    took. It stops early when fewer than three points are left, no plane is found or a plane has
    fewer than `min_inliers` inliers (that plane is not returned).

    Parameters
    ----------
    cloud : PointCloud
    distance : float
        Inlier threshold in the cloud's units, > 0.
    count : int
        Most planes to find, at least 1.
    iterations, probability : int, float
        As for `segment_plane`, used in every round.
    seed : int
        0 <= seed < 2**32; round r uses ``(seed + r) % 2**32``.
    min_inliers : int
        Fewest inliers a plane must have to be kept, at least 1.

    Returns
    -------
    planes : list of PlaneSegment
        Inlier numbers refer to the input cloud.
    remaining : ndarray of int64
        The points on none of the planes, ascending.

    Raises
    ------
    TypeError
        If `count`, `min_inliers` or `seed` is not an integer.
    ValueError
        If an argument is out of range, or the first round finds no plane (fewer than three
        finite points, or every sample collinear); a later round that finds none ends the
        search instead.
    """
    rounds = filters._count(count, "count")
    least = filters._count(min_inliers, "min_inliers")
    filters._seed(seed)
    remaining = np.arange(len(cloud.points), dtype=np.int64)
    planes: list[PlaneSegment] = []
    for r in range(rounds):
        rest = cloud if r == 0 else filters.select(cloud, remaining)
        try:
            found = segment_plane(rest, distance, iterations=iterations, probability=probability,
                                  seed=(seed + r) % 2**32)
        except ValueError:
            if r == 0:
                raise  # a bad argument, or a cloud without any plane
            break
        if len(found.inliers) < least:
            break
        planes.append(PlaneSegment(found.model, remaining[found.inliers], found.rmse))
        remaining = np.delete(remaining, found.inliers)
    return planes, remaining


def dbscan(cloud: geometry.PointCloud, eps: float, min_points: int) -> np.ndarray:
    """Density-based clustering; one label per point, -1 for noise.

    The labels are those of scikit-learn's ``DBSCAN(eps, min_samples=min_points)``: the
    neighbours of a point are the points at distance <= `eps`, itself included; a core point has
    at least `min_points` of them; core points within `eps` of each other share a cluster;
    clusters are numbered 0, 1, ... in the order of their lowest-numbered core point; a non-core
    point within `eps` of a core point takes the lowest cluster number among its core
    neighbours, the others are noise. Points with a non-finite coordinate are noise.

    Parameters
    ----------
    cloud : PointCloud
    eps : float
        Neighbourhood radius in the cloud's units, > 0 and finite.
    min_points : int
        Neighbours (the point itself included) that make a core point, at least 1.

    Returns
    -------
    labels : ndarray of int64, shape (len(cloud.points),)

    Raises
    ------
    TypeError
        If `min_points` is not an integer.
    ValueError
        If `eps` is not a positive finite number or `min_points` is not positive.
    """
    return _native.dbscan(cloud, eps, filters._count(min_points, "min_points"))


def euclidean_clusters(cloud: geometry.PointCloud, tolerance: float, min_size: int = 1,
                       max_size: int | None = None) -> list[np.ndarray]:
    """Split a cloud into clusters: two points are in one cluster when a chain of points, each
    within `tolerance` of the next, joins them.

    Parameters
    ----------
    cloud : PointCloud
    tolerance : float
        Linking distance in the cloud's units, > 0 and finite (inclusive).
    min_size, max_size : int
        Clusters with fewer or more points are dropped (no upper limit by default).

    Returns
    -------
    list of ndarray of int64
        One ascending array of point numbers per cluster, largest cluster first (among equal
        sizes, the one with the lowest point number first). Points with a non-finite
        coordinate are in no cluster.

    Raises
    ------
    TypeError
        If `min_size` or `max_size` is not an integer.
    ValueError
        If `tolerance` is not a positive finite number, `min_size` or `max_size` is not
        positive, or `max_size` is below `min_size`.
    """
    low = filters._count(min_size, "min_size")
    high = 2**62 if max_size is None else filters._count(max_size, "max_size")
    if high < low:
        raise ValueError(f"max_size must be at least min_size ({low}), got {high}")
    result: list[Any] = _native.euclidean_clusters(cloud, tolerance, low, high)
    return result
