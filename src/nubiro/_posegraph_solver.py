"""Levenberg-Marquardt on a pose graph, with loop closures under a shrinking robust kernel.

Each pose moves by a small motion taken on the left, P <- exp(d) P. An edge's error is the
6-vector e = log(P_t^-1 P_s T^-1), the motion that would still take the measured T to the
estimated one in the target's frame, which is the frame its information matrix is stated in.

Loop closures enter with the Geman-McClure weight (c^2 / (c^2 + s))^2, where s is the edge's
mean squared displacement e^T I e / pairs. The scale c starts at the largest disagreement found
(at most 32 times the final scale) and halves down to the correspondence distance: a wrong loop
closure, far from the rest, loses its weight early, while right ones that only show drift keep
theirs until the map has bent to them. Loop closures still farther off than the correspondence
distance at the end are pruned, and the poses are solved once more, as plain least squares over
the edges that remain.
"""
from __future__ import annotations

import numpy as np
import scipy.sparse  # type: ignore[import-untyped]
import scipy.sparse.linalg  # type: ignore[import-untyped]

from . import _se3
from .posegraph import Edge, Optimization, PoseGraph, components

_WIDEST_START = 32.0  # the kernel's first scale, at most, in units of the final one


class _Problem:
    """The edges of one connected part, as stacked arrays over the part's local node numbers
    (the anchor, which keeps its pose, is local node 0)."""

    def __init__(self, part: list[int], edges: list[Edge]):
        local = {node: k for k, node in enumerate(part)}
        self.size = len(part)
        self.source = np.array([local[e.source] for e in edges], dtype=np.int64)
        self.target = np.array([local[e.target] for e in edges], dtype=np.int64)
        self.measured_inverse = _se3.inverse(np.array([e.transformation for e in edges]).reshape(-1, 4, 4))
        self.information = np.array([e.information for e in edges]).reshape(-1, 6, 6)
        pairs = np.trace(self.information[:, 3:, 3:], axis1=1, axis2=2) / 3
        self.pairs = np.where(pairs > 0, pairs, 1.0)
        self.robust = np.array([e.loop_closure for e in edges], dtype=bool)
        self.laid_out = False

    def _layout(self) -> None:
        """Where each entry of the normal equations goes, fixed once per problem.

        The variables are numbered in an elimination order that keeps the factor sparse: a
        minimum-degree order of the nodes (found on the node graph, 36 times smaller than the
        system), each node's six variables together. Every 6x6 block entry of every edge and every
        diagonal entry then gets its slot in the compressed columns of the system, so that each
        iteration only sums values into slots."""
        self.laid_out = True
        n = self.size - 1
        s, t = self.source - 1, self.target - 1  # variable blocks; the anchor's is -1 and drops out
        self.blocks = [(a >= 0) & (b >= 0) for a, b in ((s, s), (t, t), (s, t), (t, s))]
        self.gradient_blocks = [s >= 0, t >= 0]
        if n <= 0:
            self.position = np.zeros(0, dtype=np.int64)
            return
        both = self.blocks[2]
        rows = np.concatenate((s[both], t[both], np.arange(n)))
        cols = np.concatenate((t[both], s[both], np.arange(n)))
        values = np.concatenate((np.full(2 * int(both.sum()), -1.0), np.full(n, 1.0 + 2 * len(s))))
        pattern = scipy.sparse.csc_matrix((values, (rows, cols)), shape=(n, n))
        node_position = scipy.sparse.linalg.splu(pattern, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0,
                                                 options={"SymmetricMode": True}).perm_c
        offsets = np.arange(6)
        self.position = (6 * node_position[:, None] + offsets).ravel()  # variable -> place in the order

        entry_rows, entry_cols = [], []
        for (a, b), keep in zip(((s, s), (t, t), (s, t), (t, s)), self.blocks):
            r = self.position[(6 * a[keep])[:, None, None] + offsets[None, :, None]]
            c = self.position[(6 * b[keep])[:, None, None] + offsets[None, None, :]]
            entry_rows.append(np.broadcast_to(r, (int(keep.sum()), 6, 6)).ravel())
            entry_cols.append(np.broadcast_to(c, (int(keep.sum()), 6, 6)).ravel())
        size = 6 * n
        entry_rows.append(np.arange(size))
        entry_cols.append(np.arange(size))
        keys = np.concatenate(entry_cols) * size + np.concatenate(entry_rows)
        unique, self.slot = np.unique(keys, return_inverse=True)
        self.slots = len(unique)
        self.indices = unique % size
        self.indptr = np.searchsorted(unique // size, np.arange(size + 1))
        self.diagonal_slot = self.slot[-size:]

    def errors(self, poses: np.ndarray) -> np.ndarray:
        return _se3.log(_se3.inverse(poses[self.target]) @ poses[self.source] @ self.measured_inverse)

    def squared_displacement(self, errors: np.ndarray) -> np.ndarray:
        return np.einsum("mi,mij,mj->m", errors, self.information, errors) / self.pairs

    def weights(self, s: np.ndarray, scale: float | None) -> np.ndarray:
        if scale is None:
            return np.ones_like(s)
        c2 = scale * scale
        return np.where(self.robust, (c2 / (c2 + s)) ** 2, 1.0)

    def cost(self, s: np.ndarray, scale: float | None) -> float:
        if scale is None:
            return float(np.sum(self.pairs * s))
        c2 = scale * scale
        return float(np.sum(self.pairs * np.where(self.robust, c2 * s / (c2 + s), s)))

    def step(self, poses: np.ndarray, errors: np.ndarray, weights: np.ndarray, damping: float) -> np.ndarray:
        """The damped Gauss-Newton step of every node but the anchor, as (size - 1, 6)."""
        if not self.laid_out:
            self._layout()
        # de/dd_s = J^-1(e) Ad(P_t^-1), de/dd_t = -J^-1(e) Ad(P_t^-1), with J^-1(e) ~ I - ad(e)/2.
        jac = (np.eye(6) - 0.5 * _se3.bracket(errors)) @ _se3.adjoint(_se3.inverse(poses[self.target]))
        weighted = self.information * weights[:, None, None]
        jt_w = np.swapaxes(jac, 1, 2) @ weighted
        block = jt_w @ jac
        gradient = (jt_w @ errors[:, :, None])[:, :, 0]

        size = 6 * (self.size - 1)
        signs = (1.0, 1.0, -1.0, -1.0)
        values = np.concatenate([sign * block[keep].ravel() for sign, keep in zip(signs, self.blocks)]
                                + [np.zeros(size)])
        data = np.bincount(self.slot, weights=values, minlength=self.slots)
        diagonal = data[self.diagonal_slot]
        data[self.diagonal_slot] += damping * diagonal + 1e-12 * (1.0 + diagonal.max(initial=0.0))
        h = scipy.sparse.csc_matrix((data, self.indices, self.indptr), shape=(size, size))
        g = np.zeros(size)
        for (a, keep), sign in zip(((self.source - 1, self.gradient_blocks[0]), (self.target - 1, self.gradient_blocks[1])),
                                   (1.0, -1.0)):
            np.add.at(g, self.position[(6 * a[keep])[:, None] + np.arange(6)], sign * gradient[keep])
        # The system is symmetric positive definite: no pivoting, so the order above holds.
        factor = scipy.sparse.linalg.splu(h, permc_spec="NATURAL", diag_pivot_thresh=0,
                                          options={"SymmetricMode": True})
        step = factor.solve(-g)[self.position]
        return step.reshape(-1, 6)


def _minimize(problem: _Problem, poses: np.ndarray, scale: float | None, iterations: int,
              tolerance: float) -> tuple[np.ndarray, int]:
    """Levenberg-Marquardt under a fixed kernel scale (None: plain least squares)."""
    errors = problem.errors(poses)
    s = problem.squared_displacement(errors)
    cost = problem.cost(s, scale)
    damping, done = 1e-7, 0
    while done < iterations and problem.size > 1 and cost > 0:
        done += 1
        delta = problem.step(poses, errors, problem.weights(s, scale), damping)
        trial = poses.copy()
        trial[1:] = _se3.exp(delta) @ poses[1:]
        trial_errors = problem.errors(trial)
        trial_s = problem.squared_displacement(trial_errors)
        trial_cost = problem.cost(trial_s, scale)
        if trial_cost < cost:
            gain = (cost - trial_cost) / cost
            poses, errors, s, cost = trial, trial_errors, trial_s, trial_cost
            damping = max(damping / 10, 1e-12)
            if gain < tolerance:
                break
        elif trial_cost - cost <= tolerance * cost:
            break  # at the minimum to the last digits: a step changes nothing that counts
        else:
            damping *= 4
            if damping > 1e8:
                break
    return poses, done


def optimize(graph: PoseGraph, distance: float, max_iterations: int) -> Optimization:
    count = len(graph.poses)
    iterations = 0
    poses = np.array(graph.poses).reshape(-1, 4, 4)
    part = components(count, graph.edges)[0] if count else []
    inside = set(part)
    edges = [e for e in graph.edges if e.source in inside]
    rejected: list[Edge] = []
    problem = None

    if any(e.loop_closure for e in edges):
        problem = _Problem(part, edges)
        local = poses[part]
        start = np.sqrt(problem.squared_displacement(problem.errors(local))[problem.robust]).max()
        scale = min(max(start, distance), _WIDEST_START * distance)
        while True:
            # A few steps per scale do on the way down; at the final scale the weights only have to
            # settle enough to tell the loop closures to prune, the last solve comes after.
            final = scale <= distance
            local, done = _minimize(problem, local, scale, max_iterations if final else min(max_iterations, 5),
                                    1e-4)
            iterations += done
            if final:
                break
            scale = max(scale / 2, distance)
        far = np.sqrt(problem.squared_displacement(problem.errors(local))) > distance
        rejected = [e for e, off, robust in zip(edges, far, problem.robust) if off and robust]
        poses[part] = local

    pruned = {id(e) for e in rejected}
    kept = [e for e in graph.edges if id(e) not in pruned]
    part = components(count, kept)[0] if count else []
    inside = set(part)
    kept = [e for e in kept if e.source in inside]
    if problem is None or rejected:  # else the same edges as the robust solve: its layout serves
        problem = _Problem(part, kept)
    local, done = _minimize(problem, poses[part], None, max_iterations, 1e-10)
    iterations += done

    result_poses: list[np.ndarray | None] = [None] * count
    for k, node in enumerate(part):
        result_poses[node] = local[k]
    optimised = PoseGraph()
    optimised.poses = [p.copy() if p is not None else graph.poses[k].copy() for k, p in enumerate(result_poses)]
    optimised.edges = list(graph.edges)
    # Every edge inside the part, pruned ones too, with how far it is from the final poses.
    measured = [e for e in graph.edges if e.source in inside and e.target in inside]
    everything = _Problem(part, measured)
    far = np.sqrt(everything.squared_displacement(everything.errors(local)))
    by_edge = {id(e): float(d) for e, d in zip(measured, far)}
    return Optimization(poses=result_poses, graph=optimised, rejected=rejected,
                        disconnected=[k for k in range(count) if k not in inside], iterations=iterations,
                        disagreement=[by_edge.get(id(e), float("nan")) for e in graph.edges])
