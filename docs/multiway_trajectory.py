"""Draws docs/multiway.png: a synthetic 300-step walk whose odometry drifts, with 30 right loop
closures and 3 wrong ones, before and after the pose-graph optimisation (needs the 'viz' extra).

    python docs/multiway_trajectory.py
"""
from pathlib import Path

import numpy as np

from nubiro import _plot, _se3
from nubiro.posegraph import PoseGraph

STEPS, CLOSURES, WRONG = 300, 30, 3


def walk(seed: int = 2):
    """Two laps of a rounded square, 0.6 degrees and 2 cm of noise per step."""
    rng = np.random.default_rng(seed)
    turns = 2 * 2 * np.pi * np.arange(STEPS) / STEPS
    xi = np.zeros((STEPS, 6))
    xi[:, 2] = turns + np.pi / 2  # facing along the path
    truth = _se3.exp(xi)
    cos, sin = np.cos(turns), np.sin(turns)
    truth[:, 0, 3] = 10 * np.sign(cos) * np.abs(cos) ** 0.5
    truth[:, 1, 3] = 10 * np.sign(sin) * np.abs(sin) ** 0.5
    sigma = np.array([0.01] * 3 + [0.02] * 3)
    info = np.diag(1 / sigma ** 2) / 1e4

    def measured(source, target):
        return _se3.exp((rng.normal(size=6) * sigma)[None])[0] @ np.linalg.inv(truth[target]) @ truth[source]

    graph = PoseGraph()
    graph.add_node(truth[0])
    for k in range(1, STEPS):
        step = measured(k, k - 1)
        graph.add_node(graph.poses[k - 1] @ step)
        graph.add_edge(k, k - 1, step, info)
    for _ in range(CLOSURES):  # the second lap passes where the first did
        i = int(rng.integers(0, STEPS // 2))
        graph.add_edge(i + STEPS // 2, i, measured(i + STEPS // 2, i), info, loop_closure=True)
    for _ in range(WRONG):
        i, j = (int(v) for v in rng.integers(0, STEPS, 2))
        graph.add_edge(j, i, _se3.exp(rng.normal(size=(1, 6)) * [0.3, 0.3, 0.3, 3, 3, 3])[0], info,
                       loop_closure=True)
    return graph, truth


if __name__ == "__main__":
    graph, truth = walk()
    result = graph.optimize(max_correspondence_distance=0.1)
    print(f"{len(result.rejected)} loop closures rejected")
    _plot.trajectory(str(Path(__file__).with_name("multiway.png")), graph.poses, result.poses, graph.edges,
                     result.rejected, truth=list(truth),
                     title=f"{STEPS} scans, {CLOSURES} loop closures and {WRONG} wrong ones")
