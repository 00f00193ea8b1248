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
    """How far cloud `a` lies from cloud `b` (see `summary`), in the clouds' units.

    Attributes
    ----------
    mean : float
        Mean distance from a point of `a` to its nearest point of `b`.
    rms : float
        Root mean square of those distances.
    max : float
        The largest of them (the one-sided Hausdorff distance).
    hausdorff : float
        The larger of the two one-sided maxima, a to b and b to a.
    chamfer : float
        Mean distance a to b plus mean distance b to a.
    count : int
        Points of `a` with finite coordinates that were measured.
    """

    mean: float
    rms: float
    max: float
    hausdorff: float
    chamfer: float
    count: int

    def as_dict(self) -> dict[str, float]:
        """The fields as a plain dictionary, for JSON output.

        Returns
        -------
        dict
            ``{"mean": ..., "rms": ..., "max": ..., "hausdorff": ..., "chamfer": ...,
            "count": ...}``.
        """
        return asdict(self)


def summary(a: geometry.PointCloud, b: geometry.PointCloud) -> DistanceSummary:
    """Mean, RMS and maximum of the distances from `a` to `b`, the symmetric Hausdorff
    distance and the Chamfer distance; points with a non-finite coordinate are left out.

    Parameters
    ----------
    a, b : PointCloud
        Each must hold at least one point with finite coordinates.

    Returns
    -------
    DistanceSummary
        Distances in the clouds' units.

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
    """The summary from the nearest distances both ways, for callers that also want the
    distances themselves.

    Parameters
    ----------
    ab, ba : ndarray of float64, shape (n,) and (m,)
        Nearest distances from each point of `a` to `b` and from each point of `b` to `a`, as
        `nearest_distances` returns them; NaN entries (non-finite points) are left out.

    Returns
    -------
    DistanceSummary

    Raises
    ------
    ValueError
        If either array holds no number other than NaN.
    """
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
    """Per point, the nearest point on a mesh (see `point_to_mesh`).

    Attributes
    ----------
    distances : ndarray of float64, shape (n,)
        Distance to the mesh in the data's units; NaN for a point with a non-finite coordinate.
    triangles : ndarray of int64, shape (n,)
        Number of the nearest triangle; -1 for a non-finite point.
    closest : ndarray of float64, shape (n, 3)
        The nearest point on the mesh; NaN for a non-finite point.
    """

    distances: np.ndarray
    triangles: np.ndarray
    closest: np.ndarray


def point_to_mesh(cloud: geometry.PointCloud, mesh: geometry.TriangleMesh) -> MeshDistances:
    """The distance from every point to the nearest point on the mesh's triangles.

    Among triangles at the same distance the lowest-numbered one is reported. Triangles with a
    non-finite vertex are ignored.

    Parameters
    ----------
    cloud : PointCloud
        The query points; a point with a non-finite coordinate gets NaN and triangle -1.
    mesh : TriangleMesh
        At least one triangle whose three vertices are finite.

    Returns
    -------
    MeshDistances
        One entry per point of `cloud`.

    Raises
    ------
    ValueError
        If a triangle refers to a vertex that does not exist, or no triangle is usable.
    """
    distances, triangles, closest = _native.point_to_mesh(cloud, mesh)
    return MeshDistances(distances, triangles, closest)
