"""Pairwise registration from scratch: global alignment by feature matching, then ICP.

The one pipeline behind ``python -m nubiro`` (demo and ``register``) and `nubiro.batch`:

1. voxel down-sampling of both clouds to `voxel_size`;
2. normals from neighbourhoods of radius 2 x voxel (at most 30 neighbours);
3. FPFH features from neighbourhoods of radius 5 x voxel (at most 100 neighbours);
4. RANSAC over mutual feature matches (point-to-point samples of 3, edge-length and distance
   checkers, 100 000 iterations at confidence 0.999), seeded so the result is reproducible;
5. ICP on the full clouds from the RANSAC result, correspondences within 0.4 x voxel
   (generalized ICP, or any method under a robust kernel, by `nubiro.align.icp`);
6. the judgement: the pair counts as registered when the final fitness is at least
   `min_fitness` (default 0.3) and the inlier RMSE is at most `max_rmse` (default 0.6) times the
   ICP correspondence distance. Clouds with nothing in common still give a transformation, but
   a poor one: on unrelated pairs (the bunny scan against a sphere, a box or random points) the
   fitness stays below 0.3 or the RMSE, the distance of chance matches, sits above 0.6 of the
   distance, while overlapping scans of the same surface reach 0.36 and more at RMSE 0.57 or less.
"""
from __future__ import annotations

import argparse
import math
import threading
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from . import align
from .cpu.pybind import geometry, utility
from .cpu.pybind.pipelines import registration as reg

ICP_METHODS = ("point-to-plane", "point-to-point", "gicp")

Progress = Callable[[str, float], None]  # (stage description, seconds)

MIN_FITNESS = 0.3  # share of source points with a target point within the ICP distance
MAX_RMSE = 0.6  # inlier RMSE as a share of the ICP correspondence distance


# The random engine is one per process: seeding and the RANSAC draws of one registration must not
# interleave with another thread's, or neither result would be reproducible.
_engine_lock = threading.Lock()


class RegistrationError(Exception):
    """The clouds cannot be registered (empty, or nothing in common)."""


class InputError(Exception):
    """A file that cannot be used; the message names it."""


def read_file(path: str, format: str | None = None, *, remove_non_finite: bool = True,
              progress: bool = False) -> tuple[geometry.PointCloud, dict, dict]:
    """`nubiro.formats.inspect` with every failure as an InputError naming the file."""
    from . import formats
    try:
        return formats.inspect(path, format=format, remove_non_finite=remove_non_finite, progress=progress,
                               force="--format")
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except OSError:
        raise InputError(f"{path}: not a readable file") from None
    except (formats.FormatError, ImportError) as e:
        raise InputError(str(e) if str(e).startswith(f"{path}: ") else f"{path}: {e}") from None


def read_cloud(path: str, format: str | None = None, *, progress: bool = False) -> geometry.PointCloud:
    """A point cloud from any file `nubiro.read` knows (a mesh file gives its vertices), without
    its NaN and infinite points; `format` forces a format instead of the extension's."""
    cloud = read_file(path, format, progress=progress)[0]
    if not cloud.has_points():
        raise InputError(f"{path}: no points could be read (the file holds none that are finite)")
    return cloud


def add_format_argument(parser: argparse.ArgumentParser) -> None:
    """The --format flag of every command that reads files."""
    from .formats import FORMATS
    parser.add_argument("--format", choices=FORMATS, type=str.lower, metavar="NAME",
                        help=f"read the input files as this format whatever their extension ({', '.join(FORMATS)})")


@dataclass
class Registration:
    transformation: np.ndarray
    fitness: float
    inlier_rmse: float
    correspondences: int
    seconds: float
    voxel_size: float
    global_fitness: float = 0.0
    stages: dict[str, float] = field(default_factory=dict)
    ok: bool = True  # the judgement: False when fitness or RMSE says the clouds were not registered
    reason: str | None = None  # why not, in one line

    def as_json(self) -> dict:
        return {"ok": self.ok, "reason": self.reason, "transformation": self.transformation.tolist(),
                "fitness": self.fitness, "inlier_rmse": self.inlier_rmse, "correspondences": self.correspondences,
                "voxel_size": self.voxel_size, "seconds": self.seconds}


def judge(fitness: float, inlier_rmse: float, distance: float, *, min_fitness: float = MIN_FITNESS,
          max_rmse: float = MAX_RMSE) -> str | None:
    """Why a result with this fitness and inlier RMSE (ICP correspondence distance `distance`)
    does not count as registered, or None when it does."""
    if not fitness >= min_fitness:
        return (f"fitness {fitness:.3f} is below {min_fitness:g}: only {100 * fitness:.1f}% of the source points "
                f"lie within {distance:.3g} of the target")
    if not inlier_rmse <= max_rmse * distance:
        return (f"inlier RMSE {inlier_rmse:.3g} is above {max_rmse:g} of the correspondence distance {distance:.3g}: "
                f"the matches are no closer than chance")
    return None


def extent(*clouds: geometry.PointCloud) -> float:
    """The largest bounding-box diagonal of the clouds."""
    return max(float(np.linalg.norm(c.get_max_bound() - c.get_min_bound())) for c in clouds)


def default_voxel_size(*clouds: geometry.PointCloud) -> float:
    """A voxel size from the clouds' extent: 1/40 of the largest bounding-box diagonal,
    rounded to two significant digits."""
    diagonal = extent(*clouds)
    if not math.isfinite(diagonal) or diagonal <= 0:
        raise RegistrationError("cannot choose a voxel size: the clouds have no extent")
    raw = diagonal / 40
    return float(f"{raw:.2g}")


def rotation_error_degrees(a: np.ndarray, b: np.ndarray) -> float:
    """Angle of the rotation that takes the rotation part of `a` to that of `b`."""
    r = np.asarray(a)[:3, :3].T @ np.asarray(b)[:3, :3]
    return math.degrees(math.acos(max(-1.0, min(1.0, (np.trace(r) - 1) / 2))))


def _timed(stages: dict[str, float], progress: Progress | None, name: str, fn):
    start = time.perf_counter()
    value = fn()
    stages[name] = time.perf_counter() - start
    if progress:
        progress(name, stages[name])
    return value


MIN_POINTS = 10  # fewer points (after down-sampling) carry no usable shape
FEW_POINTS = 100  # with fewer, a failed feature matching is blamed on the voxel size
MIN_NEIGHBOURS = 3  # a normal and a feature need at least this many neighbours


def median_neighbours(cloud: geometry.PointCloud, radius: float, max_nn: int, sample: int = 200) -> int:
    """The median number of other points within `radius` (at most `max_nn`) of up to `sample`
    evenly spaced points of the cloud."""
    n = len(cloud.points)
    if n == 0:
        return 0
    tree = geometry.KDTreeFlann(cloud)
    points = np.asarray(cloud.points)
    picks = np.unique(np.linspace(0, n - 1, min(n, sample)).astype(np.int64))
    counts = [tree.search_hybrid_vector_3d(points[i], radius, max_nn + 1)[0] - 1 for i in picks]
    return int(np.median(counts))


def _span_hint(*clouds: geometry.PointCloud) -> str:
    span = extent(*clouds)
    return f"the clouds span {span:.3g}; 1/40 of that is {float(f'{span / 40:.2g}'):g}"


def _check_voxel_size(voxel_size: float, clouds: tuple[geometry.PointCloud, geometry.PointCloud],
                      down: tuple[geometry.PointCloud, geometry.PointCloud], notes: Callable[[str], None] | None) -> None:
    """Says what the voxel size did to the clouds, and stops with RegistrationError (naming a
    better size) when it leaves too few points or points too far apart for features."""
    for name, cloud in zip(("source", "target"), clouds):
        if len(cloud.points) < MIN_POINTS:
            raise RegistrationError(f"the {name} cloud has only {len(cloud.points)} points: too few to register "
                                    f"(at least {MIN_POINTS})")
    counts = [len(d.points) for d in down]
    radius = 5 * voxel_size
    neighbours = [median_neighbours(d, radius, 100) for d in down]
    if notes:
        notes(f"voxel size {voxel_size:g} leaves {counts[0]} and {counts[1]} points, with a median of "
              f"{neighbours[0]} and {neighbours[1]} neighbours within the feature radius {radius:.3g}")
    hint = _span_hint(*clouds)
    if min(counts) < MIN_POINTS:
        raise RegistrationError(f"voxel size {voxel_size:g} leaves {counts[0]} and {counts[1]} points: use a smaller "
                                f"--voxel-size ({hint})")
    if min(neighbours) < MIN_NEIGHBOURS:
        raise RegistrationError(f"voxel size {voxel_size:g} leaves the points apart: a median of {neighbours[0]} and "
                                f"{neighbours[1]} neighbours within the feature radius {radius:.3g}, so normals and "
                                f"features are noise: use a larger --voxel-size ({hint})")


def _features(cloud: geometry.PointCloud, voxel_size: float):
    down = cloud.voxel_down_sample(voxel_size)
    down.estimate_normals(geometry.KDTreeSearchParamHybrid(2 * voxel_size, 30))
    return down


def register(source: geometry.PointCloud, target: geometry.PointCloud, voxel_size: float | None = None, *,
             icp: str = "point-to-plane", seed: int = 0, progress: Progress | None = None,
             kernel: str | tuple[str, float] | None = None, min_fitness: float = MIN_FITNESS,
             max_rmse: float = MAX_RMSE, notes: Callable[[str], None] | None = None) -> Registration:
    """Finds the rigid transformation that moves `source` onto `target`. The input clouds are
    not changed (normals for point-to-plane ICP are estimated on a copy of the target).
    `kernel` ("NAME", "NAME:SCALE" or a (name, scale) pair) makes the ICP step robust (see
    `nubiro.align.icp`).

    The result's `ok` and `reason` carry the judgement (see `judge`): a pair below `min_fitness`
    or above `max_rmse` x the ICP correspondence distance (0.4 x voxel) is not registered.
    RegistrationError is raised only when there is nothing to judge (an empty cloud, a voxel
    size that leaves too few points or too few neighbours, no consistent feature matches);
    `notes` hears what the voxel size did (points left, neighbours found)."""
    if icp not in ICP_METHODS:
        raise ValueError(f"icp must be one of {', '.join(ICP_METHODS)}, not {icp!r}")
    if isinstance(kernel, str):
        kernel = align.parse_kernel(kernel)
    kernel_name = align.check_kernel(kernel)
    for name, cloud in (("source", source), ("target", target)):
        if not cloud.has_points():
            raise RegistrationError(f"the {name} cloud has no points")
    if voxel_size is None:
        voxel_size = default_voxel_size(source, target)
    if not (voxel_size > 0 and math.isfinite(voxel_size)):
        raise ValueError(f"voxel size must be a positive number, not {voxel_size}")

    stages: dict[str, float] = {}
    start = time.perf_counter()
    src, tgt = _timed(stages, progress, "down-sample and normals",
                      lambda: (_features(source, voxel_size), _features(target, voxel_size)))
    _check_voxel_size(voxel_size, (source, target), (src, tgt), notes)
    fpfh = geometry.KDTreeSearchParamHybrid(5 * voxel_size, 100)
    src_f, tgt_f = _timed(stages, progress, "FPFH features",
                          lambda: (reg.compute_fpfh_feature(src, fpfh), reg.compute_fpfh_feature(tgt, fpfh)))

    distance = 1.5 * voxel_size

    def ransac() -> reg.RegistrationResult:
        with _engine_lock:
            utility.random.seed(seed)
            return reg.registration_ransac_based_on_feature_matching(
                src, tgt, src_f, tgt_f, True, distance, reg.TransformationEstimationPointToPoint(False), 3,
                [reg.CorrespondenceCheckerBasedOnEdgeLength(0.9), reg.CorrespondenceCheckerBasedOnDistance(distance)],
                reg.RANSACConvergenceCriteria(100000, 0.999))

    coarse = _timed(stages, progress, "RANSAC on feature matches", ransac)
    if coarse.fitness == 0:
        if min(len(src.points), len(tgt.points)) < FEW_POINTS:
            raise RegistrationError(f"no consistent feature matches: voxel size {voxel_size:g} leaves {len(src.points)} "
                                    f"and {len(tgt.points)} points, too few to match: use a smaller --voxel-size "
                                    f"({_span_hint(source, target)})")
        raise RegistrationError("no consistent feature matches: the clouds seem to have nothing in common")

    estimator: reg.TransformationEstimation
    if icp == "point-to-plane":
        full_target = geometry.PointCloud(target)
        if not full_target.has_normals():
            _timed(stages, progress, "target normals",
                   lambda: full_target.estimate_normals(geometry.KDTreeSearchParamHybrid(2 * voxel_size, 30)))
        estimator = reg.TransformationEstimationPointToPlane()
    else:
        full_target, estimator = target, reg.TransformationEstimationPointToPoint(False)
    if icp == "gicp" or kernel is not None:
        robust = _timed(stages, progress, f"ICP ({icp}{f', {kernel_name} kernel' if kernel_name else ''})",
                        lambda: align.icp(source, full_target, method=icp, max_correspondence_distance=0.4 * voxel_size,
                                          init=coarse.transformation, kernel=kernel, max_iterations=50))
        transformation, fitness, rmse = robust.transformation, robust.fitness, robust.inlier_rmse
        correspondences = round(robust.fitness * len(source.points))
    else:
        fine = _timed(stages, progress, f"ICP ({icp})", lambda: reg.registration_icp(
            source, full_target, 0.4 * voxel_size, coarse.transformation, estimator,
            reg.ICPConvergenceCriteria(1e-6, 1e-6, 50)))
        transformation, fitness, rmse = np.asarray(fine.transformation), fine.fitness, fine.inlier_rmse
        correspondences = len(fine.correspondence_set)
    reason = judge(fitness, rmse, 0.4 * voxel_size, min_fitness=min_fitness, max_rmse=max_rmse)
    return Registration(transformation=transformation, fitness=fitness, inlier_rmse=rmse,
                        correspondences=correspondences, seconds=time.perf_counter() - start, voxel_size=voxel_size,
                        global_fitness=coarse.fitness, stages=stages, ok=reason is None, reason=reason)
