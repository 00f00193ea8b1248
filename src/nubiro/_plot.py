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
