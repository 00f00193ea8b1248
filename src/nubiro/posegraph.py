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
    source: int
    target: int
    transformation: np.ndarray
    information: np.ndarray
    loop_closure: bool = False

    def as_json(self) -> dict[str, Any]:
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
    def __init__(self) -> None:
        self.poses: list[np.ndarray] = []
        self.edges: list[Edge] = []

    def __repr__(self) -> str:
        closures = sum(e.loop_closure for e in self.edges)
        return (f"PoseGraph with {len(self.poses)} nodes, {len(self.edges) - closures} odometry edges "
                f"and {closures} loop closures")

    def add_node(self, pose: Any = None) -> int:
        """Adds a scan with its starting pose (identity by default); returns its number."""
        self.poses.append(np.eye(4) if pose is None else _motion(pose, "pose"))
        return len(self.poses) - 1

    def add_edge(self, source: int, target: int, transformation: Any, information: Any = None, *,
                 loop_closure: bool = False) -> Edge:
        """Adds the measurement that `transformation` maps scan `source` onto scan `target`.
        Without an information matrix the edge weighs as one matched point pair at the origin
        (the identity). Non-finite or non-rigid motions and information matrices that are not
        symmetric positive semi-definite are refused with ValueError."""
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
        other = PoseGraph()
        other.poses = [p.copy() for p in self.poses]
        other.edges = [Edge(e.source, e.target, e.transformation.copy(), e.information.copy(), e.loop_closure)
                       for e in self.edges]
        return other

    # ---- JSON --------------------------------------------------------------------------------

    def as_json(self) -> dict[str, Any]:
        return {"format": FORMAT, "version": 1, "poses": [p.tolist() for p in self.poses],
                "edges": [e.as_json() for e in self.edges]}

    @classmethod
    def from_json(cls, data: Any) -> PoseGraph:
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
        with open(path, "w") as f:
            json.dump(self.as_json(), f)

    @classmethod
    def load(cls, path: str | os.PathLike) -> PoseGraph:
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
        """Poses that agree best with the edges. The first node of the largest connected part
        keeps its pose; nodes outside that part are named in `disconnected` and get no pose."""
        if not (max_correspondence_distance > 0 and math.isfinite(max_correspondence_distance)):
            raise ValueError(f"max_correspondence_distance must be a positive number, not "
                             f"{max_correspondence_distance}")
        return require_solver().optimize(self, float(max_correspondence_distance), int(max_iterations))


def require_solver() -> Any:
    """The optimiser, which needs SciPy (an optional extra)."""
    try:
        from . import _posegraph_solver
    except ImportError as e:
        raise ImportError(f"pose-graph optimisation needs SciPy: pip install 'nubiro[multiway]' ({e})") from None
    return _posegraph_solver


@dataclass
class Optimization:
    """What `PoseGraph.optimize` found. `poses[k]` is None for a node outside the largest
    connected part; `graph` is the input graph with the optimised poses (rejected edges kept, so
    it can be optimised again); `rejected` lists the pruned loop closures; `disagreement[i]` is
    how far edge i of the graph is from the optimised poses, in the units of the pruning
    distance (NaN for an edge outside the part)."""
    poses: list[np.ndarray | None]
    graph: PoseGraph
    rejected: list[Edge] = field(default_factory=list)
    disconnected: list[int] = field(default_factory=list)
    iterations: int = 0
    disagreement: list[float] = field(default_factory=list)

    @property
    def kept(self) -> list[Edge]:
        rejected = {id(e) for e in self.rejected}
        part = {k for k, p in enumerate(self.poses) if p is not None}
        return [e for e in self.graph.edges if id(e) not in rejected and e.source in part and e.target in part]


def components(count: int, edges: Iterable[Edge]) -> list[list[int]]:
    """Connected parts of the nodes 0..count-1, largest first (ties: the lower first node)."""
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
