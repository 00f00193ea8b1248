"""The before/after view of a registration: the target, the source where it was and the source
moved by the registration, in three colours, with two buttons that switch between before and
after."""
from __future__ import annotations

from typing import Any

import numpy as np

from ._show import Figure, show
from .cpu.pybind import geometry

TARGET, BEFORE, AFTER = "#1f77b4", "#ff7f0e", "#2ca02c"


def before_after(source: geometry.PointCloud, target: geometry.PointCloud, transformation: Any, *,
                 source_name: str = "source", target_name: str = "target", title: str | None = None,
                 max_points: int = 300_000) -> Figure:
    """A `Figure` of `target`, `source` and `source` moved by the 4x4 `transformation`; opens on
    "after" (target and moved source), and a button shows "before" (target and source)."""
    if title is None:
        title = f"{source_name} registered onto {target_name}"
    moved = geometry.PointCloud(source)
    moved.transform(np.asarray(transformation, dtype=np.float64))
    figure = show(target, source, moved, colors=[TARGET, BEFORE, AFTER], max_points=max_points, title=title,
                  names=[target_name, f"{source_name} (before)", f"{source_name} (registered)"])
    plot = figure.figure
    plot.data[1].visible = False
    plot.update_layout(
        showlegend=True,
        updatemenus=[{"type": "buttons", "direction": "right", "active": 1, "x": 0.01, "xanchor": "left",
                      "y": 0.01, "yanchor": "bottom",
                      "buttons": [{"label": "before", "method": "restyle", "args": [{"visible": [True, True, False]}]},
                                  {"label": "after", "method": "restyle", "args": [{"visible": [True, False, True]}]}]}],
    )
    return figure
