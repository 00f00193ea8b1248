"""Distances between point clouds, and from a point cloud to a triangle mesh.

Each function reads its inputs without copying or changing them; the results are the same, bit
for bit, for any number of worker threads. A query point with a NaN or infinite coordinate gets
distance NaN and index -1.
"""
from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

import numpy as np

from ._native_api import native as _native
from .cpu.pybind import geometry

__all__ = ["nearest_distances", "DistanceSummary", "summary", "MeshDistances", "point_to_mesh"]


def nearest_distances(a: geometry.PointCloud, b: geometry.PointCloud, *, return_indices: bool = False) -> Any:
    """The distance from every point of `a` to its nearest point in `b`.

    Parameters
    ----------
    a, b : PointCloud
        `b` must hold at least one point with finite coordinates.
    return_indices : bool
        Also return, per point of `a`, the number of its nearest point in `b`.

    Returns
    -------
    distances : ndarray of float64, shape (len(a.points),)
    indices : ndarray of int64
        Only with ``return_indices=True``.

    Raises
    ------
    ValueError
        If `b` has no finite point.
    """
    distances, indices = _native.nearest_distances(a, b)
    return (distances, indices) if return_indices else distances


@dataclass(frozen=True)
class DistanceSummary:
    """How far cloud `a` lies from cloud `b` (see `summary`)."""

    mean: float       # mean distance from a point of a to b
    rms: float        # root mean square of those distances
    max: float        # the largest of them (one-sided Hausdorff distance)
    hausdorff: float  # the larger of the two one-sided maxima
    chamfer: float    # mean a -> b plus mean b -> a
    count: int        # finite points of a that were measured

    def as_dict(self) -> dict[str, float]:
        return asdict(self)


def summary(a: geometry.PointCloud, b: geometry.PointCloud) -> DistanceSummary:
    """Mean, RMS and maximum of the distances from `a` to `b`, the symmetric Hausdorff
    distance and the Chamfer distance; points with a non-finite coordinate are left out.

    Raises
    ------
    ValueError
        If either cloud has no finite point.
    """
    ab, _ = _native.nearest_distances(a, b)
    try:
        ba, _ = _native.nearest_distances(b, a)
    except ValueError:
        raise ValueError("a has no points with finite coordinates") from None
    return summarise(ab, ba)


def summarise(ab: np.ndarray, ba: np.ndarray) -> DistanceSummary:
    """The summary from the nearest distances both ways (NaN entries are left out), for callers
    that also want the distances themselves."""
    ab = ab[~np.isnan(ab)]
    ba = ba[~np.isnan(ba)]
    if len(ab) == 0:
        raise ValueError("a has no points with finite coordinates")
    if len(ba) == 0:
        raise ValueError("b has no points with finite coordinates")
    return DistanceSummary(mean=float(ab.mean()), rms=float(np.sqrt(np.mean(ab * ab))), max=float(ab.max()),
                           hausdorff=float(max(ab.max(), ba.max())), chamfer=float(ab.mean() + ba.mean()),
                           count=int(len(ab)))


@dataclass(frozen=True)
class MeshDistances:
    """Per point, the nearest point on a mesh (see `point_to_mesh`)."""

    distances: np.ndarray  # float64, NaN for a non-finite point
    triangles: np.ndarray  # int64 number of the nearest triangle, -1 for a non-finite point
    closest: np.ndarray    # (n, 3) nearest points on the mesh


def point_to_mesh(cloud: geometry.PointCloud, mesh: geometry.TriangleMesh) -> MeshDistances:
    """The distance from every point to the nearest point on the mesh's triangles.

    Among triangles at the same distance the lowest-numbered one is reported. Triangles with a
    non-finite vertex are ignored.

    Raises
    ------
    ValueError
        If a triangle refers to a vertex that does not exist, or no triangle is usable.
    """
    distances, triangles, closest = _native.point_to_mesh(cloud, mesh)
    return MeshDistances(distances, triangles, closest)
