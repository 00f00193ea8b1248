"""Before/after pictures of a registration: two orthographic projections (top and front), the
source in orange and the target in blue, before and after moving the source."""
from __future__ import annotations

import importlib
from typing import Any

import numpy as np


def available() -> bool:
    try:
        importlib.import_module("matplotlib")
    except ImportError:
        return False
    return True


def _thin(points: np.ndarray, limit: int = 20_000) -> np.ndarray:
    step = max(1, len(points) // limit)
    return points[::step]


def before_after(path: str, source, target, transformation: np.ndarray) -> None:
    # matplotlib is an optional extra (viz): imported by name, so the package type-checks without it.
    importlib.import_module("matplotlib").use("Agg")
    plt: Any = importlib.import_module("matplotlib.pyplot")

    src = _thin(np.asarray(source.points))
    moved = src @ np.asarray(transformation)[:3, :3].T + np.asarray(transformation)[:3, 3]
    tgt = _thin(np.asarray(target.points))
    fig, axes = plt.subplots(2, 2, figsize=(10, 10))
    for row, (title, s) in enumerate((("before", src), ("after", moved))):
        for col, (view, (i, j)) in enumerate((("top (x, y)", (0, 1)), ("front (x, z)", (0, 2)))):
            ax = axes[row][col]
            ax.scatter(tgt[:, i], tgt[:, j], s=0.3, c="tab:blue", label="target")
            ax.scatter(s[:, i], s[:, j], s=0.3, c="tab:orange", label="source")
            ax.set_title(f"{title}: {view}")
            ax.set_aspect("equal")
            ax.set_xticks([])
            ax.set_yticks([])
    axes[0][0].legend(loc="upper right", markerscale=10)
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
