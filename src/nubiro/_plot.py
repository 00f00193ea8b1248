"""Before/after pictures of a registration: two orthographic projections (top and front), the
source in orange and the target in blue, before and after moving the source."""
from __future__ import annotations

import importlib
import os
from typing import Any

from ._paths import folder_problem

import numpy as np


def available() -> bool:
    try:
        importlib.import_module("matplotlib")
    except ImportError:
        return False
    return True


def unwritable(path: str) -> str | None:
    """Why matplotlib cannot write a picture to `path` (folder or file type), or None. Checked
    before any work, so a mistyped path costs nothing."""
    if problem := folder_problem(path):
        return problem
    backend_bases: Any = importlib.import_module("matplotlib.backend_bases")
    kinds = sorted(backend_bases.FigureCanvasBase.get_supported_filetypes())
    suffix = os.path.splitext(path)[1].lower().lstrip(".")
    if suffix not in kinds:
        what = f"'.{suffix}' is not a picture type matplotlib writes" if suffix else "the name has no picture suffix"
        return f"{what} (use one of {', '.join('.' + k for k in kinds)})"
    return None


def _thin(points: np.ndarray, limit: int = 20_000) -> np.ndarray:
    step = max(1, len(points) // limit)
    return points[::step]


def before_after(path: str, source, target, transformation: np.ndarray, fitness: float | None = None,
                 inlier_rmse: float | None = None) -> None:
    """The target in blue with the source in orange, half transparent so both stay visible where
    they overlap, before and after moving the source; each view looks along one coordinate axis
    and is named by the two it shows, as nothing says which axis is up."""
    # matplotlib is an optional extra (viz): imported by name, so the package type-checks without it.
    importlib.import_module("matplotlib").use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")

    src = _thin(np.asarray(source.points))
    moved = src @ np.asarray(transformation)[:3, :3].T + np.asarray(transformation)[:3, 3]
    tgt = _thin(np.asarray(target.points))
    fig, axes = plt.subplots(2, 3, figsize=(15, 10))
    for row, (title, s) in enumerate((("before", src), ("after", moved))):
        for col, (i, j) in enumerate(((0, 1), (0, 2), (1, 2))):
            ax = axes[row][col]
            ax.scatter(tgt[:, i], tgt[:, j], s=0.3, c="tab:blue", label="target")
            ax.scatter(s[:, i], s[:, j], s=0.3, c="tab:orange", alpha=0.35, label="source")
            ax.set_title(f"{title}: {'xyz'[i]}-{'xyz'[j]} plane (along {'xyz'[3 - i - j]})")
            ax.set_xlabel("xyz"[i])
            ax.set_ylabel("xyz"[j])
            ax.set_aspect("equal")
            ax.set_xticks([])
            ax.set_yticks([])
    axes[0][0].legend(loc="upper right", markerscale=10)
    if fitness is not None and inlier_rmse is not None:
        fig.suptitle(f"fitness {fitness:.4f}, inlier RMSE {inlier_rmse:.4g}")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def distance_histogram(path: str, distances: np.ndarray, title: str) -> None:
    """A histogram of cloud-to-cloud distances with the mean and the 95th percentile marked."""
    importlib.import_module("matplotlib").use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")

    fig, ax = plt.subplots(figsize=(8, 5))
    ax.hist(distances, bins=100, color="tab:blue")
    mean, p95 = float(np.mean(distances)), float(np.percentile(distances, 95))
    ax.axvline(mean, color="tab:orange", label=f"mean {mean:.4g}")
    ax.axvline(p95, color="tab:red", linestyle="--", label=f"95th percentile {p95:.4g}")
    ax.set_xlabel("distance to the nearest point")
    ax.set_ylabel("points")
    ax.set_title(title)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def trajectory(path: str, before: list, after: list, edges: list, rejected: list, truth: list | None = None,
               title: str = "") -> None:
    """The scan positions (each pose's translation) before and after a pose-graph optimisation,
    side by side, in the plane of their two widest axes: odometry steps as a line, loop closures as
    thin lines between the scans they join, rejected ones dashed red; `truth` in grey when known."""
    importlib.import_module("matplotlib").use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")

    def positions(poses: list) -> np.ndarray:
        return np.array([np.nan * np.ones(3) if p is None else np.asarray(p)[:3, 3] for p in poses])

    panels = (("before optimisation (odometry)", positions(before)), ("after optimisation", positions(after)))
    spread = np.nanmax(panels[1][1], axis=0) - np.nanmin(panels[1][1], axis=0)
    i, j = sorted(np.argsort(-np.nan_to_num(spread))[:2])
    pruned = {id(e) for e in rejected}
    fig, axes = plt.subplots(1, 2, figsize=(10, 5), sharex=True, sharey=True)
    for ax, (name, xyz) in zip(axes, panels):
        if truth is not None:
            t = positions(truth)
            ax.plot(t[:, i], t[:, j], color="0.75", lw=3, label="true path")
        for e in edges:
            if not e.loop_closure:
                continue
            bad = id(e) in pruned
            if bad or name.startswith("after"):
                ax.plot(xyz[[e.source, e.target], i], xyz[[e.source, e.target], j], lw=1.2 if bad else 0.4,
                        color="tab:red" if bad else "tab:green", ls="--" if bad else "-", alpha=0.9 if bad else 0.5)
        ax.plot(xyz[:, i], xyz[:, j], color="tab:blue" if name.startswith("after") else "tab:orange", lw=1,
                marker="o", ms=1.5, label="scan positions")
        ax.set_title(name)
        ax.set_aspect("equal")
        ax.set_xlabel("xyz"[i])
        ax.set_ylabel("xyz"[j])
    axes[0].plot([], [], color="tab:red", ls="--", label="rejected loop closure")
    axes[1].plot([], [], color="tab:green", lw=0.6, label="kept loop closure")
    for ax in axes:
        ax.legend(loc="center", fontsize=8)
    if title:
        fig.suptitle(title)
    fig.tight_layout(rect=(0, 0, 1, 0.95) if title else None)
    fig.savefig(path, dpi=72)
    plt.close(fig)
