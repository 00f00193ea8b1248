"""A pose graph: scan poses joined by measured relative motions, optimised together.

Node k holds the pose of scan k, the 4x4 motion that maps the scan into the common frame. An
edge from `source` to `target` holds the measured motion T that maps the source scan onto the
target scan (what `nubiro.pipeline.register(source, target)` returns) and a 6x6 information
matrix saying how firmly the measurement pins each degree of freedom (rotation about x, y, z,
then translation along x, y, z, in the target's frame, as
`registration.get_information_matrix_from_point_clouds` measures it). Odometry edges join
consecutive scans and are trusted; loop closures join any other two and may be wrong.

`PoseGraph.optimize` moves the poses so that every edge agrees with its measurement as well as
the information matrices allow (Levenberg-Marquardt on the motions, with SciPy's sparse LU
factorising each step's normal equations), with loop closures under a robust kernel: a loop closure that disagrees with the
rest of the graph loses its weight, is pruned, and is reported instead of bending the map.

How far an edge disagrees is measured in length: with the information matrix of matched point
pairs, e^T I e / pairs is the mean squared distance by which the disagreement e moves the
matched points. An edge is pruned when that distance exceeds `max_correspondence_distance`.
"""
from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from typing import Any, Iterable, Sequence

import numpy as np

from . import _se3

FORMAT = "nubiro pose graph"


@dataclass
class Edge:
    """A measured motion between two nodes of a `PoseGraph`.

    Attributes
    ----------
    source, target : int
        Node numbers.
    transformation : ndarray, shape (4, 4)
        The rigid motion that maps scan `source` onto scan `target`.
    information : ndarray, shape (6, 6)
        Symmetric positive semi-definite; rotation about x, y, z, then translation.
    loop_closure : bool
        False for odometry (trusted), True for a loop closure (may be pruned).
    """

    source: int
    target: int
    transformation: np.ndarray
    information: np.ndarray
    loop_closure: bool = False

    def as_json(self) -> dict[str, Any]:
        """The edge as a JSON-ready dict (matrices as nested lists).

        Returns
        -------
        dict
            ``source``, ``target``, ``transformation``, ``information``, ``loop_closure``.
        """
        return {"source": self.source, "target": self.target, "transformation": self.transformation.tolist(),
                "information": self.information.tolist(), "loop_closure": self.loop_closure}

    def __repr__(self) -> str:
        kind = "loop closure" if self.loop_closure else "odometry"
        return f"Edge({self.source} -> {self.target}, {kind})"


def _matrix(value: Any, shape: tuple[int, int], name: str) -> np.ndarray:
    try:
        m = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a {shape[0]}x{shape[1]} matrix of numbers") from None
    if m.shape != shape:
        raise ValueError(f"{name} must be a {shape[0]}x{shape[1]} matrix, not of shape {m.shape}")
    if not np.isfinite(m).all():
        raise ValueError(f"{name} has non-finite entries")
    return m


def _motion(value: Any, name: str) -> np.ndarray:
    m = _matrix(value, (4, 4), name)
    if not (np.allclose(m[3], (0, 0, 0, 1)) and np.allclose(m[:3, :3].T @ m[:3, :3], np.eye(3), atol=1e-6)
            and np.linalg.det(m[:3, :3]) > 0):
        raise ValueError(f"{name} is not a rigid motion (a rotation and a translation)")
    return m


class PoseGraph:
    """Scan poses (nodes) joined by measured relative motions (edges).

    Attributes
    ----------
    poses : list of ndarray, shape (4, 4)
        Node k's pose: the rigid motion that maps scan k into the common frame.
    edges : list of Edge
        In the order added.
    """

    def __init__(self) -> None:
        self.poses: list[np.ndarray] = []
        self.edges: list[Edge] = []

    def __repr__(self) -> str:
        closures = sum(e.loop_closure for e in self.edges)
        return (f"PoseGraph with {len(self.poses)} nodes, {len(self.edges) - closures} odometry edges "
                f"and {closures} loop closures")

    def add_node(self, pose: Any = None) -> int:
        """Add a scan with its starting pose.

        Parameters
        ----------
        pose : array_like, shape (4, 4), optional
            A rigid motion (copied); the identity by default.

        Returns
        -------
        int
            The new node's number.

        Raises
        ------
        ValueError
            If `pose` is not a finite 4x4 rigid motion.
        """
        self.poses.append(np.eye(4) if pose is None else _motion(pose, "pose"))
        return len(self.poses) - 1

    def add_edge(self, source: int, target: int, transformation: Any, information: Any = None, *,
                 loop_closure: bool = False) -> Edge:
        """Add the measurement that `transformation` maps scan `source` onto scan `target`.

        Parameters
        ----------
        source, target : int
            Two different existing node numbers.
        transformation : array_like, shape (4, 4)
            A finite rigid motion (copied).
        information : array_like, shape (6, 6), optional
            Symmetric positive semi-definite (stored symmetrised). Without one the edge
            weighs as one matched point pair at the origin (the identity).
        loop_closure : bool
            Whether the edge is a loop closure, which the optimisation may prune.

        Returns
        -------
        Edge
            The edge added.

        Raises
        ------
        ValueError
            If a node number is not an existing node or both are the same, the motion is
            not finite or not rigid, or the information matrix is not finite, symmetric and
            positive semi-definite.
        """
        for name, node in (("source", source), ("target", target)):
            if not isinstance(node, (int, np.integer)) or isinstance(node, bool) or not 0 <= node < len(self.poses):
                raise ValueError(f"{name} must be a node number from 0 to {len(self.poses) - 1}, not {node!r}")
        if source == target:
            raise ValueError(f"an edge must join two different nodes, not {source} to itself")
        motion = _motion(transformation, "transformation")
        info = np.eye(6) if information is None else _matrix(information, (6, 6), "information")
        if not np.allclose(info, info.T, rtol=1e-9, atol=1e-9 * max(1.0, float(np.abs(info).max()))):
            raise ValueError("information must be a symmetric matrix")
        if np.linalg.eigvalsh(info).min() < -1e-9 * max(1.0, float(np.abs(info).max())):
            raise ValueError("information must be positive semi-definite")
        edge = Edge(int(source), int(target), motion, (info + info.T) / 2, bool(loop_closure))
        self.edges.append(edge)
        return edge

    def copy(self) -> PoseGraph:
        """A deep copy: poses and edges with their own arrays.

        Returns
        -------
        PoseGraph
        """
        other = PoseGraph()
        other.poses = [p.copy() for p in self.poses]
        other.edges = [Edge(e.source, e.target, e.transformation.copy(), e.information.copy(), e.loop_closure)
                       for e in self.edges]
        return other

    # ---- JSON --------------------------------------------------------------------------------

    def as_json(self) -> dict[str, Any]:
        """The graph as a JSON-ready dict, what `save` writes.

        Returns
        -------
        dict
            ``format``, ``version`` (1), ``poses`` (nested lists) and ``edges`` (see
            `Edge.as_json`).
        """
        return {"format": FORMAT, "version": 1, "poses": [p.tolist() for p in self.poses],
                "edges": [e.as_json() for e in self.edges]}

    @classmethod
    def from_json(cls, data: Any) -> PoseGraph:
        """The graph from the dict `as_json` gives.

        Parameters
        ----------
        data : dict

        Returns
        -------
        PoseGraph

        Raises
        ------
        ValueError
            If `data` is not a pose graph of version 1, misses an entry, or holds a pose or
            edge that `add_node` or `add_edge` refuses.
        """
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            raise ValueError(f"not a pose graph (expected an object with \"format\": \"{FORMAT}\")")
        if data.get("version") != 1:
            raise ValueError(f"unsupported pose graph version {data.get('version')!r}")
        graph = cls()
        try:
            for pose in data["poses"]:
                graph.add_node(pose)
            for e in data["edges"]:
                graph.add_edge(e["source"], e["target"], e["transformation"], e["information"],
                               loop_closure=bool(e.get("loop_closure", False)))
        except (KeyError, TypeError) as err:
            raise ValueError(f"malformed pose graph: missing or wrong entry {err}") from None
        return graph

    def save(self, path: str | os.PathLike) -> None:
        """Write the graph to a JSON file (see `as_json`).

        Parameters
        ----------
        path : str or os.PathLike

        Raises
        ------
        OSError
            If the file cannot be written.
        """
        with open(path, "w") as f:
            json.dump(self.as_json(), f)

    @classmethod
    def load(cls, path: str | os.PathLike) -> PoseGraph:
        """Read a graph that `save` wrote.

        Parameters
        ----------
        path : str or os.PathLike

        Returns
        -------
        PoseGraph

        Raises
        ------
        OSError
            If the file cannot be read.
        ValueError
            If it is not JSON or not a pose graph; the message starts with the path.
        """
        with open(path) as f:
            try:
                data = json.load(f)
            except json.JSONDecodeError as e:
                raise ValueError(f"{os.fspath(path)}: not JSON: {e}") from None
        try:
            return cls.from_json(data)
        except ValueError as e:
            raise ValueError(f"{os.fspath(path)}: {e}") from None

    # ---- optimisation ------------------------------------------------------------------------

    def optimize(self, *, max_correspondence_distance: float, max_iterations: int = 100) -> Optimization:
        """Poses that agree best with the edges; the graph itself is not changed.

        The first node of the largest connected part keeps its pose; nodes outside that part
        are named in `disconnected` and get no pose.

        Parameters
        ----------
        max_correspondence_distance : float
            The pruning distance, in the scans' units, > 0: a loop closure that disagrees with
            the optimised poses by more than this is rejected.
        max_iterations : int
            The most Levenberg-Marquardt steps per solve.

        Returns
        -------
        Optimization

        Raises
        ------
        ValueError
            If `max_correspondence_distance` is not a positive finite number.
        ImportError
            Without SciPy (the ``multiway`` extra).
        """
        if not (max_correspondence_distance > 0 and math.isfinite(max_correspondence_distance)):
            raise ValueError(f"max_correspondence_distance must be a positive number, not "
                             f"{max_correspondence_distance}")
        return require_solver().optimize(self, float(max_correspondence_distance), int(max_iterations))


def require_solver() -> Any:
    """The optimiser, which needs SciPy (an optional extra).

    Returns
    -------
    module
        The solver module, with ``optimize(graph, distance, max_iterations)``.

    Raises
    ------
    ImportError
        Without SciPy; the message names the ``multiway`` extra.
    """
    try:
        from . import _posegraph_solver
    except ImportError as e:
        raise ImportError(f"pose-graph optimisation needs SciPy: pip install 'nubiro[multiway]' ({e})") from None
    return _posegraph_solver


@dataclass
class Optimization:
    """What `PoseGraph.optimize` found.

    Attributes
    ----------
    poses : list of (ndarray, shape (4, 4)) or None
        The optimised poses; None for a node outside the largest connected part.
    graph : PoseGraph
        The input graph with the optimised poses (rejected edges kept, so it can be
        optimised again).
    rejected : list of Edge
        The pruned loop closures.
    disconnected : list of int
        The nodes outside the largest connected part.
    iterations : int
        Levenberg-Marquardt steps taken in all.
    disagreement : list of float
        Per edge of the graph, how far it is from the optimised poses, in the units of the
        pruning distance (NaN for an edge outside the part).
    """
    poses: list[np.ndarray | None]
    graph: PoseGraph
    rejected: list[Edge] = field(default_factory=list)
    disconnected: list[int] = field(default_factory=list)
    iterations: int = 0
    disagreement: list[float] = field(default_factory=list)

    @property
    def kept(self) -> list[Edge]:
        """The edges that hold the result: not rejected, and inside the connected part."""
        rejected = {id(e) for e in self.rejected}
        part = {k for k, p in enumerate(self.poses) if p is not None}
        return [e for e in self.graph.edges if id(e) not in rejected and e.source in part and e.target in part]


def components(count: int, edges: Iterable[Edge]) -> list[list[int]]:
    """Connected parts of the nodes 0..count-1.

    Parameters
    ----------
    count : int
        The number of nodes.
    edges : iterable of Edge
        Each joins its `source` and `target`, whatever its direction.

    Returns
    -------
    list of list of int
        Each part's nodes, ascending; largest part first (ties: the lower first node).
    """
    parent = list(range(count))

    def root(k: int) -> int:
        while parent[k] != k:
            parent[k] = parent[parent[k]]
            k = parent[k]
        return k

    for e in edges:
        a, b = root(e.source), root(e.target)
        if a != b:
            parent[max(a, b)] = min(a, b)
    parts: dict[int, list[int]] = {}
    for k in range(count):
        parts.setdefault(root(k), []).append(k)
    return sorted(parts.values(), key=lambda p: (-len(p), p[0]))


__all__: Sequence[str] = ["PoseGraph", "Edge", "Optimization", "components"]
