"""Many scans into one frame: pairwise registration joined by a pose graph.

`register_scans` registers each scan onto the one before it (odometry), chains those motions into
starting poses, proposes loop closures between scans that occupy the same space under those
poses, registers them too, and optimises the pose graph, where a loop closure that disagrees with
the rest is pruned (`nubiro.posegraph`). The pairs run through `nubiro.batch`, serially, on a
`concurrent.futures` executor or on a Dask client; each pair's random draws are fixed by its
position, so the same seed gives the same poses wherever the pairs run.

Needs SciPy (the 'multiway' extra) for the sparse solves.
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Sequence

import numpy as np

from . import batch, formats, pipeline, posegraph
from .cpu.pybind import geometry
from .posegraph import Edge, PoseGraph

LOOP_CLOSURES = ("overlap", "all", "none")

MIN_OVERLAP = 0.3  # share of the smaller scan's occupied cells that the other must occupy too
OVERLAP_CELL = 2.0  # occupancy cell, in voxel sizes


@dataclass
class MultiwayResult:
    """What `register_scans` found.

    Attributes
    ----------
    poses : list of (ndarray, shape (4, 4)) or None
        ``poses[k]`` maps scan k into the frame of the first registered scan; None when the
        scan has no pose (`failed` says why).
    graph : PoseGraph
        The pose graph with the optimised poses and every edge, rejected ones included.
    rejected : list of Edge
        The loop closures the optimisation pruned.
    failed : dict of int to str
        Per scan without a pose, why: unreadable, empty, or not joined to the others.
    initial : list of (ndarray, shape (4, 4)) or None
        The poses chained from the odometry alone, before optimisation.
    odometry, loop_closures : list of batch.PairResult
        Every registration tried, in order.
    odometry_scans, loop_closure_scans : list of (int, int)
        The ``(source, target)`` scan numbers of those registrations.
    labels : list of str
        Per scan, its path, or ``"scan k"`` for a PointCloud.
    clouds : list of PointCloud or None
        The scans as read (None for one that could not be used), for `merge`.
    """
    poses: list[np.ndarray | None]
    graph: PoseGraph
    rejected: list[Edge]
    failed: dict[int, str]
    initial: list[np.ndarray | None]
    odometry: list[batch.PairResult] = field(default_factory=list)
    loop_closures: list[batch.PairResult] = field(default_factory=list)
    odometry_scans: list[tuple[int, int]] = field(default_factory=list)
    loop_closure_scans: list[tuple[int, int]] = field(default_factory=list)
    labels: list[str] = field(default_factory=list)
    clouds: list[geometry.PointCloud | None] = field(default_factory=list, repr=False)

    @property
    def kept(self) -> list[Edge]:
        """The edges that hold the result: not rejected, and between two scans with a pose."""
        rejected = {id(e) for e in self.rejected}
        return [e for e in self.graph.edges if id(e) not in rejected
                and self.poses[e.source] is not None and self.poses[e.target] is not None]

    def merge(self, voxel_size: float | None = None) -> geometry.PointCloud:
        """Every scan with a pose, moved into the common frame, as one cloud.

        Parameters
        ----------
        voxel_size : float, optional
            When given, the merged cloud is down-sampled to this voxel size (in the scans'
            units, > 0).

        Returns
        -------
        PointCloud
            The moved points in scan order; normals and colours are kept when every placed
            scan has them. Empty when no scan has a pose.

        Raises
        ------
        ValueError
            If `voxel_size` is not a positive finite number.
        """
        if voxel_size is not None and not (voxel_size > 0 and math.isfinite(voxel_size)):
            raise ValueError(f"voxel_size must be a positive number, not {voxel_size}")
        placed = []
        for cloud, pose in zip(self.clouds, self.poses):
            if cloud is not None and pose is not None:
                moved = geometry.PointCloud(cloud)
                moved.transform(pose)
                placed.append(moved)
        merged = geometry.PointCloud()
        if placed:
            merged.points = np.concatenate([np.asarray(c.points) for c in placed])
            if all(c.has_normals() for c in placed):
                merged.normals = np.concatenate([np.asarray(c.normals) for c in placed])
            if all(c.has_colors() for c in placed):
                merged.colors = np.concatenate([np.asarray(c.colors) for c in placed])
        return merged.voxel_down_sample(voxel_size) if voxel_size is not None and placed else merged

    def as_json(self) -> dict[str, Any]:
        """Poses and edges for a file: what `python -m nubiro merge --poses` writes.

        Returns
        -------
        dict
            ``scans``: per scan its label, its pose as nested lists (None when it has none)
            and, for a failed scan, ``error``; ``kept`` and ``rejected``: the edges as
            ``source``, ``target``, ``loop_closure`` and ``transformation``.
        """
        def edge(e: Edge) -> dict[str, Any]:
            return {"source": e.source, "target": e.target, "loop_closure": e.loop_closure,
                    "transformation": e.transformation.tolist()}
        return {"scans": [{"scan": label, "pose": None if pose is None else pose.tolist(),
                           **({"error": self.failed[k]} if k in self.failed else {})}
                          for k, (label, pose) in enumerate(zip(self.labels, self.poses))],
                "kept": [edge(e) for e in self.kept], "rejected": [edge(e) for e in self.rejected]}


def _check_scan(k: int, scan: Any) -> None:
    if not isinstance(scan, (geometry.PointCloud, str, os.PathLike)):
        raise TypeError(f"scans[{k}] must be a path or a PointCloud, not {type(scan).__name__}")


def _occupancy(cloud: geometry.PointCloud, pose: np.ndarray, cell: float) -> set[tuple[int, int, int]]:
    points = np.asarray(cloud.points) @ pose[:3, :3].T + pose[:3, 3]
    return set(map(tuple, np.floor(points / cell).astype(np.int64).tolist()))


def _overlapping(cells: dict[int, set], i: int, j: int) -> bool:
    shared = len(cells[i] & cells[j])
    return shared >= MIN_OVERLAP * min(len(cells[i]), len(cells[j]))


def _judge(r: batch.PairResult, min_fitness: float) -> None:
    """A registration that matched too little of the source, or found no usable motion, counts
    as failed."""
    if r.ok and not all(m is not None and np.isfinite(m).all() for m in (r.transformation, r.information)):
        r.error = "the registration gave a non-finite motion"
    elif r.ok and r.fitness < min_fitness:
        r.error = f"too little in common (fitness {r.fitness:.3f} < {min_fitness:g})"


def register_scans(scans: Sequence[Any], *, voxel_size: float, loop_closure: str = "overlap", executor: Any = None,
                   seed: int = 0, icp: str = "point-to-plane", min_fitness: float = 0.3,
                   progress: Callable[[str], None] | None = None, format: str | None = None) -> MultiwayResult:
    """Register every scan into the frame of the first one.

    Consecutive scans are registered pairwise (each onto the one before); more pairs are
    registered as loop closures, and the pose graph of all of them is optimised. A scan that
    cannot be read or registered gets no pose and is named in ``failed``; the others are
    registered all the same.

    Parameters
    ----------
    scans : sequence of str, os.PathLike or PointCloud
        At least one scan.
    voxel_size : float
        Down-sampling voxel size for registration, in the scans' units, > 0; the pose graph
        prunes a loop closure that disagrees by more than 1.5 voxel sizes.
    loop_closure : {"overlap", "all", "none"}
        The pairs registered besides the odometry: "overlap" the scans whose occupied space
        overlaps under the odometry poses (and every pair across a break in the odometry),
        "all" every pair, "none" no other.
    executor : concurrent.futures.Executor or distributed.Client, optional
        Runs the pairs; None runs them here, serially. The result does not depend on it.
    seed : int
        Fixes every pair's random draws.
    icp : {"point-to-plane", "point-to-point", "gicp"}
        The local refinement of each pair.
    min_fitness : float
        In [0, 1]: a registration matching less than this share of its source scan's points
        counts as failed.
    progress : callable, optional
        Gets one line of text per finished step.
    format : str, optional
        Read every file as this format (see `nubiro.read`) whatever its extension.

    Returns
    -------
    MultiwayResult

    Raises
    ------
    TypeError
        If `scans` is a single path or cloud, or holds something else.
    ValueError
        If `scans` is empty, or `voxel_size`, `loop_closure`, `icp`, `min_fitness` or `format`
        is not one of its allowed values.
    ImportError
        Without SciPy (the ``multiway`` extra).
    """
    if isinstance(scans, (str, os.PathLike, geometry.PointCloud)):
        raise TypeError("scans must be a sequence of paths or PointClouds, not a single one")
    scans = list(scans)
    for k, scan in enumerate(scans):
        _check_scan(k, scan)
    if not scans:
        raise ValueError("scans is empty: give at least one path or PointCloud")
    if not (isinstance(voxel_size, (int, float)) and voxel_size > 0 and math.isfinite(voxel_size)):
        raise ValueError(f"voxel_size must be a positive number, not {voxel_size!r}")
    if loop_closure not in LOOP_CLOSURES:
        raise ValueError(f"loop_closure must be one of {', '.join(LOOP_CLOSURES)}, not {loop_closure!r}")
    if icp not in pipeline.ICP_METHODS:
        raise ValueError(f"icp must be one of {', '.join(pipeline.ICP_METHODS)}, not {icp!r}")
    if not (isinstance(min_fitness, (int, float)) and 0 <= min_fitness <= 1):
        raise ValueError(f"min_fitness must be a number from 0 to 1, not {min_fitness!r}")
    if format is not None:
        formats.format_of("", format)  # an unknown name fails here, not once per file
    posegraph.require_solver()
    say = progress or (lambda line: None)
    labels = [f"scan {k}" if isinstance(s, geometry.PointCloud) else os.fspath(s) for k, s in enumerate(scans)]
    clouds, failed = _read(scans, labels, say, format)
    usable = [k for k, c in enumerate(clouds) if c is not None]

    def run(pairs: list[tuple[int, int]], what: str, pair_seed: int) -> list[batch.PairResult]:
        def report(r: batch.PairResult) -> None:
            _judge(r, min_fitness)
            source, target = pairs[r.index]
            status = f"fitness {r.fitness:.3f}" if r.ok else f"failed: {r.error}"
            say(f"{what} {r.index + 1}/{len(pairs)}: {labels[source]} -> {labels[target]}: {status}")
        if not pairs:
            return []
        return batch.register_pairs([(clouds[s], clouds[t]) for s, t in pairs], voxel_size=voxel_size, icp=icp,
                                    seed=pair_seed, executor=executor, progress=report, information=True,
                                    min_fitness=0.0, max_rmse=1.0)  # judged here, by _judge

    odometry = [(usable[n + 1], usable[n]) for n in range(len(usable) - 1)]  # each scan onto the one before
    odometry_results = run(odometry, "odometry", seed)
    graph, segment = _chain(len(scans), usable, odometry, odometry_results)
    initial = [graph.poses[k].copy() if k in segment else None for k in range(len(scans))]

    candidates = _loop_closure_candidates(loop_closure, clouds, graph, segment, set(odometry), voxel_size)
    say(f"{len(candidates)} loop closure{'s' if len(candidates) != 1 else ''} to try")
    closure_results = run(candidates, "loop closure", batch.pair_seed(seed, -1))
    for (source, target), r in zip(candidates, closure_results):
        if r.ok:
            graph.add_edge(source, target, r.transformation, r.information, loop_closure=True)

    optimised = graph.optimize(max_correspondence_distance=1.5 * voxel_size)
    for k in optimised.disconnected:
        if k not in failed:
            errors = [f"{labels[s]} -> {labels[t]}: {r.error}" for (s, t), r in
                      zip(odometry + candidates, odometry_results + closure_results) if k in (s, t) and not r.ok]
            failed[k] = "not joined to the other scans" + (f" ({'; '.join(errors)})" if errors else "")
            say(f"{labels[k]}: {failed[k]}")
    for edge in optimised.rejected:
        say(f"loop closure {labels[edge.source]} -> {labels[edge.target]} rejected: it disagrees with the other edges")
    return MultiwayResult(poses=optimised.poses, graph=optimised.graph, rejected=optimised.rejected, failed=failed,
                          initial=initial, odometry=odometry_results, loop_closures=closure_results,
                          odometry_scans=odometry, loop_closure_scans=candidates, labels=labels, clouds=clouds)


def _read(scans: list[Any], labels: list[str], say: Callable[[str], None],
          format: str | None) -> tuple[list[geometry.PointCloud | None], dict[int, str]]:
    """The scans' clouds (None where one cannot be used) and why each unusable one is."""
    clouds: list[geometry.PointCloud | None] = []
    failed: dict[int, str] = {}
    for k, scan in enumerate(scans):
        try:
            cloud = scan if isinstance(scan, geometry.PointCloud) else pipeline.read_cloud(os.fspath(scan), format)
        except pipeline.InputError as e:
            cloud, failed[k] = None, str(e)
            say(f"{labels[k]}: cannot be read: {e}")
        if cloud is not None and not cloud.has_points():
            cloud, failed[k] = None, "the cloud has no points"
            say(f"{labels[k]}: no points")
        clouds.append(cloud)
    return clouds, failed


def _chain(count: int, usable: list[int], odometry: list[tuple[int, int]],
           results: list[batch.PairResult]) -> tuple[PoseGraph, dict[int, int]]:
    """The graph of the odometry edges, with poses chained along them, and the segment of each
    usable scan: a failed odometry pair starts a new one, whose first scan stays where it is."""
    graph = PoseGraph()
    for _ in range(count):
        graph.add_node()
    segment = dict.fromkeys(usable[:1], 0)
    for (source, target), r in zip(odometry, results):
        if r.ok:
            graph.poses[source] = graph.poses[target] @ r.transformation
            graph.add_edge(source, target, r.transformation, r.information)
            segment[source] = segment[target]
        else:
            segment[source] = segment[target] + 1
    return graph, segment


def _loop_closure_candidates(mode: str, clouds: list[geometry.PointCloud | None], graph: PoseGraph,
                             segment: dict[int, int], consecutive: set[tuple[int, int]],
                             voxel_size: float) -> list[tuple[int, int]]:
    """The (later scan, earlier scan) pairs to register besides the odometry."""
    if mode == "none":
        return []
    usable = sorted(segment)
    pairs = [(j, i) for a, i in enumerate(usable) for j in usable[a + 1:] if (j, i) not in consecutive]
    if mode == "all":
        return pairs
    # Within a segment the chained poses tell which scans share space; across a break nothing
    # does, so every such pair is tried.
    cell = OVERLAP_CELL * voxel_size
    cells = {k: _occupancy(clouds[k].voxel_down_sample(cell), graph.poses[k], cell)  # type: ignore[union-attr]
             for k in usable}
    return [(j, i) for j, i in pairs if segment[j] != segment[i] or _overlapping(cells, i, j)]


__all__: Sequence[str] = ["register_scans", "MultiwayResult", "LOOP_CLOSURES"]
