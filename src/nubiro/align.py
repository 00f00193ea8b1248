"""Local registration that holds on real scans: generalized ICP and robust kernels.

`icp` refines a rigid transformation that roughly aligns two clouds with one of three error
models, optionally under a robust kernel:

``"point-to-point"``
    distances between paired points;
``"point-to-plane"``
    distances from the moved source points to the target's tangent planes;
``"gicp"``
    generalized (plane-to-plane) ICP: each pair weighted by the inverse of the sum of both
    points' plane covariances, so a surface is matched to a surface. It converges from farther
    away and more precisely on scans whose two samplings differ.

Each iteration is a Gauss-Newton step on the rigid motions. A robust kernel (Huber, Tukey,
Cauchy, Geman-McClure) reweights every pair by its residual at the current estimate, so pairs
that do not fit (moving objects, vegetation, the parts seen in one scan only) lose their pull
instead of being counted in full up to the hard cut-off.

Results are identical, bit for bit, for any number of worker threads.
"""
from __future__ import annotations

import importlib
import math
import numbers
from dataclasses import dataclass
from typing import Any, Optional, Tuple, Union

import numpy as np

from .cpu.pybind import geometry

# Made by the extension module imported above.
_native = importlib.import_module("nubiro._native")

__all__ = ["Covariances", "IcpResult", "check_kernel", "estimate_covariances", "icp", "parse_kernel", "KERNELS", "METHODS"]

#: The error models accepted by `icp`.
METHODS = ("gicp", "point-to-plane", "point-to-point")
_METHOD_CODES = {"point-to-point": 0, "point-to-plane": 1, "gicp": 2}

#: The robust kernels accepted by `icp`.
KERNELS = ("huber", "tukey", "cauchy", "geman-mcclure")

#: The default kernel scale, as a fraction of the maximum correspondence distance.
DEFAULT_SCALE_FRACTION = 1 / 3

KernelSpec = Union[None, str, Tuple[str, float]]


def _points(cloud: Any, name: str) -> np.ndarray:
    """The points of a PointCloud or an (n, 3) array-like, as a C-contiguous float64 array
    (a PointCloud's points are read in place, without a copy)."""
    if isinstance(cloud, geometry.PointCloud):
        return np.asarray(cloud.points)
    try:
        points = np.ascontiguousarray(cloud, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"{name} must be a PointCloud or an (n, 3) array of numbers, not "
                        f"{type(cloud).__name__}") from e
    if points.ndim != 2 or points.shape[1] != 3:
        if points.size == 0:
            return np.empty((0, 3))
        raise ValueError(f"{name} must have shape (n, 3), not {points.shape}")
    return points


def _integer(value: Any, name: str, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be at least {low}, not {value}")
    return int(value)


def _positive(value: Any, name: str) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}") from None
    if not (number > 0 and math.isfinite(number)):
        raise ValueError(f"{name} must be a positive number, not {value!r}")
    return number


class Covariances:
    """Per-point plane covariances: an (n, 3, 3) float64 array, one symmetric positive definite
    matrix per point, in the points' order.

    Made by `estimate_covariances`; pass one to `icp` to reuse it across calls (the covariances
    of a source cloud stay valid whatever transformation it is aligned with, as they are rotated
    with it). It pickles and compares by value.

    Parameters
    ----------
    matrices : array_like, shape (n, 3, 3)
        The covariances (copied).
    k : int, optional
        The neighbourhood size they were estimated with, for reference.
    epsilon : float, optional
        The variance kept along each normal, for reference.

    Raises
    ------
    ValueError
        If `matrices` does not have shape (n, 3, 3) or holds a non-finite number.
    """

    __slots__ = ("_matrices", "k", "epsilon")

    def __init__(self, matrices: Any, k: Optional[int] = None, epsilon: Optional[float] = None):
        m = np.array(matrices, dtype=np.float64, order="C", copy=True)
        if m.size == 0:
            m = m.reshape(0, 3, 3)
        if m.ndim != 3 or m.shape[1:] != (3, 3):
            raise ValueError(f"covariances must have shape (n, 3, 3), not {m.shape}")
        if not np.isfinite(m).all():
            raise ValueError("covariances must be finite")
        m.flags.writeable = False
        self._matrices = m
        self.k = k
        self.epsilon = epsilon

    @property
    def matrices(self) -> np.ndarray:
        """The (n, 3, 3) array (read-only)."""
        return self._matrices

    def __len__(self) -> int:
        return len(self._matrices)

    def __array__(self, dtype=None, copy=None):
        return self._matrices if dtype is None else self._matrices.astype(dtype)

    def __reduce__(self):
        return (Covariances, (self._matrices, self.k, self.epsilon))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Covariances):
            return NotImplemented
        return (self.k, self.epsilon) == (other.k, other.epsilon) and np.array_equal(self._matrices, other._matrices)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Covariances({len(self)} points, k={self.k}, epsilon={self.epsilon})"


def estimate_covariances(cloud: Any, k: int = 20, *, epsilon: float = 1e-3) -> Covariances:
    """Plane covariances of every point from its k nearest neighbours.

    The neighbourhood's covariance gives the surface normal n (its smallest eigenvector); the
    covariance kept is the plane model ``I - (1 - epsilon) n n^T``, i.e. the eigenvalues
    replaced by (epsilon, 1, 1) along the normal and the two tangent directions. Points without
    a normal (fewer than 3 finite neighbours, a collinear neighbourhood, a point that is not
    finite) get the identity.

    Parameters
    ----------
    cloud : PointCloud or array_like, shape (n, 3)
        The points.
    k : int, default 20
        Neighbours per point, the point itself included (at least 3). A cloud with fewer points
        uses all of them.
    epsilon : float, default 1e-3
        The variance along the normal relative to the tangent directions, in (0, 1].

    Returns
    -------
    Covariances
        One matrix per point.

    Raises
    ------
    TypeError
        If `cloud` is neither a PointCloud nor numbers, `k` is not an integer or `epsilon` is
        not a number.
    ValueError
        If the points do not have shape (n, 3), `k` is below 3 or `epsilon` is outside (0, 1].
    """
    points = _points(cloud, "cloud")
    k = _integer(k, "k", 3)
    epsilon = _positive(epsilon, "epsilon")
    if epsilon > 1:
        raise ValueError(f"epsilon must lie in (0, 1], not {epsilon!r}")
    return Covariances(_native.covariances(points, k, epsilon), k, epsilon)


@dataclass(frozen=True)
class IcpResult:
    """The outcome of `icp`.

    Attributes
    ----------
    transformation : ndarray, shape (4, 4)
        Moves the source onto the target.
    fitness : float
        Share of the source points with a target point within the maximum correspondence
        distance under `transformation`.
    inlier_rmse : float
        Root mean square distance of those pairs.
    iterations : int
        Gauss-Newton updates applied.
    converged : bool
        Whether the last update fell below the tolerance (rather than the iteration limit
        stopping the loop, or no pair being left).
    method : str
        The error model.
    kernel : tuple of (str, float) or None
        The robust kernel and its scale, or None for plain least squares.
    """

    transformation: np.ndarray
    fitness: float
    inlier_rmse: float
    iterations: int
    converged: bool
    method: str
    kernel: Optional[Tuple[str, float]]


def check_kernel(kernel: KernelSpec) -> Optional[str]:
    """Check a kernel given as `icp` takes it, before any work is done.

    Parameters
    ----------
    kernel : None, str or (str, float)
        No kernel, a kernel name, or a (name, scale) pair with the scale in the points' units.

    Returns
    -------
    str or None
        The kernel's name, or None for None.

    Raises
    ------
    TypeError
        If `kernel` has another form or its scale is not a number.
    ValueError
        If the name is not one of `KERNELS` or the scale is not a positive finite number.
    """
    chosen_kernel = _kernel(kernel, 1.0)
    return None if chosen_kernel is None else chosen_kernel[0]


def _kernel(kernel: KernelSpec, max_distance: float) -> Optional[Tuple[str, float]]:
    if kernel is None:
        return None
    if isinstance(kernel, str):
        name, scale = kernel, max_distance * DEFAULT_SCALE_FRACTION
    elif isinstance(kernel, (tuple, list)) and len(kernel) == 2 and isinstance(kernel[0], str):
        name, raw = kernel
        try:
            scale = float(raw)
        except (TypeError, ValueError):
            raise TypeError(f"kernel scale must be a number, not {type(raw).__name__}") from None
        if not (scale > 0 and math.isfinite(scale)):
            raise ValueError(f"kernel scale must be a positive number, not {raw!r}")
    else:
        raise TypeError("kernel must be None, a kernel name or a (name, scale) pair")
    if name not in KERNELS:
        raise ValueError(f"kernel must be one of {', '.join(KERNELS)}, not {name!r}")
    return name, scale


def parse_kernel(text: str) -> Union[str, Tuple[str, float]]:
    """Read a kernel written ``NAME`` or ``NAME:SCALE``, as on the command line.

    Parameters
    ----------
    text : str
        The name (case and surrounding spaces ignored), optionally followed by a colon and the
        scale in the points' units.

    Returns
    -------
    str or (str, float)
        The form `icp` takes: the lower-case name alone, or a (name, scale) pair.

    Raises
    ------
    ValueError
        If the name is not one of `KERNELS` or the scale is not a positive finite number.
    """
    name, sep, raw = text.strip().partition(":")
    name = name.strip().lower()
    if name not in KERNELS:
        raise ValueError(f"kernel must be one of {', '.join(KERNELS)}, not {name!r}")
    if not sep:
        return name
    try:
        scale = float(raw)
    except ValueError:
        raise ValueError(f"kernel scale must be a positive number, not {raw.strip()!r}") from None
    if not (scale > 0 and math.isfinite(scale)):
        raise ValueError(f"kernel scale must be a positive number, not {raw.strip()!r}")
    return name, scale


def icp(source: Any, target: Any, *, max_correspondence_distance: float, method: str = "gicp",
        init: Any = None, kernel: KernelSpec = None, max_iterations: int = 30, tolerance: float = 1e-6,
        k: int = 20, source_covariances: Optional[Covariances] = None,
        target_covariances: Optional[Covariances] = None) -> IcpResult:
    """Refines the rigid transformation that moves `source` onto `target`.

    Every iteration pairs each moved source point with its nearest target point closer than
    `max_correspondence_distance` and takes one Gauss-Newton step on the rigid motions for the
    chosen error model, each pair weighted by the robust kernel when one is given.

    Parameters
    ----------
    source, target : PointCloud or array_like, shape (n, 3)
        The clouds. Neither is changed.
    max_correspondence_distance : float
        Pairs farther apart are not used (the hard cut-off).
    method : {"gicp", "point-to-plane", "point-to-point"}, default "gicp"
        The error model. Point-to-plane uses the target's normals when it is a PointCloud with
        one per point, otherwise normals from its `k` nearest neighbours; generalized ICP uses
        the clouds' covariances (estimated with `k` neighbours unless given).
    init : array_like, shape (4, 4), optional
        The starting transformation (default: the identity).
    kernel : str or (str, float), optional
        A robust kernel: ``"huber"``, ``"tukey"``, ``"cauchy"`` or ``"geman-mcclure"``, with the
        scale (a distance in the points' units: the residual at which the kernel starts to
        discount a pair) a third of `max_correspondence_distance` unless given as a
        ``(name, scale)`` pair. The residual is the distance between the paired points, or to
        the target plane for point-to-plane.
    max_iterations : int, default 30
        The most updates to apply.
    tolerance : float, default 1e-6
        Converged when an update rotates by less than this (radians) and moves by less than this
        times `max_correspondence_distance`.
    k : int, default 20
        Neighbours for the normals or covariances estimated here.
    source_covariances, target_covariances : Covariances, optional
        Precomputed by `estimate_covariances` (generalized ICP only), one per point.

    Returns
    -------
    IcpResult

    Raises
    ------
    TypeError
        If a cloud, number or integer argument, the kernel or a covariances argument has the
        wrong type.
    ValueError
        For an unknown method or kernel, a distance or kernel scale that is not a positive
        number, a negative tolerance, `max_iterations` below 0 or `k` below 3, clouds or an
        `init` of the wrong shape, a non-finite `init`, or covariances whose count does not
        match their cloud.
    """
    if method not in _METHOD_CODES:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, not {method!r}")
    max_distance = _positive(max_correspondence_distance, "max_correspondence_distance")
    chosen_kernel = _kernel(kernel, max_distance)
    max_iterations = _integer(max_iterations, "max_iterations", 0)
    k = _integer(k, "k", 3)
    try:
        tol = float(tolerance)
    except (TypeError, ValueError):
        raise TypeError(f"tolerance must be a number, not {type(tolerance).__name__}") from None
    if not (tol >= 0 and math.isfinite(tol)):
        raise ValueError(f"tolerance must be a non-negative number, not {tolerance!r}")
    src, tgt = _points(source, "source"), _points(target, "target")
    t0 = None
    if init is not None:
        t0 = np.asarray(init, dtype=np.float64)
        if t0.shape != (4, 4):
            raise ValueError(f"init must have shape (4, 4), not {t0.shape}")
        if not np.isfinite(t0).all():
            raise ValueError("init must be finite")

    normals = source_cov = target_cov = None
    if method == "point-to-plane":
        if isinstance(target, geometry.PointCloud) and target.has_normals():
            normals = np.asarray(target.normals)
        else:
            normals = _native.local_normals(tgt, k)
    elif method == "gicp":
        source_cov = _covariances(source_covariances, src, k, "source")
        target_cov = _covariances(target_covariances, tgt, k, "target")

    name, scale = chosen_kernel if chosen_kernel else ("none", 1.0)
    transformation, fitness, rmse, iterations, converged = _native.icp(
        src, tgt, _METHOD_CODES[method], max_distance, t0, name, scale, max_iterations, tol, normals, source_cov,
        target_cov)
    return IcpResult(transformation=transformation, fitness=fitness, inlier_rmse=rmse, iterations=iterations,
                     converged=converged, method=method, kernel=chosen_kernel)


def _covariances(given: Optional[Covariances], points: np.ndarray, k: int, which: str) -> np.ndarray:
    if given is None:
        return _native.covariances(points, k, 1e-3)
    if not isinstance(given, Covariances):
        raise TypeError(f"{which}_covariances must be a Covariances object, not {type(given).__name__}")
    if len(given) != len(points):
        raise ValueError(f"{which}_covariances has {len(given)} matrices for {len(points)} {which} points")
    return given.matrices
