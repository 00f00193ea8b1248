"""Thinning a cloud for display: one point per occupied cell of a cubic grid, with the cell size
chosen so that the number of occupied cells just fits a budget.

Unlike taking every k-th point, this keeps sparse parts of a scan (a distant wall, a thin pole)
and thins only where points crowd together, so the picture keeps its shape. Each kept point is
an input point (the first of its cell in input order), so colours, labels and scalars stay
exact instead of being averaged across a boundary.
"""
from __future__ import annotations

import math

import numpy as np

# The search accepts a cell size whose cell count lands in [LOW * budget, budget].
LOW = 0.85
MAX_STEPS = 12


def _cell_keys(points: np.ndarray, lo: np.ndarray, size: float) -> np.ndarray:
    """One integer per point naming its cell (equal keys <=> same cell)."""
    cells = np.floor((points - lo) / size).astype(np.int64)
    dims = cells.max(axis=0) + 1
    if float(dims[0]) * float(dims[1]) * float(dims[2]) < 2.0 ** 62:
        return (cells[:, 0] * dims[1] + cells[:, 1]) * dims[2] + cells[:, 2]
    # Too many cells for one int64: name each cell by its rank among the distinct triples.
    return np.unique(cells, axis=0, return_inverse=True)[1].reshape(-1)


def _count(points: np.ndarray, lo: np.ndarray, size: float) -> int:
    keys = np.sort(_cell_keys(points, lo, size))
    return int(np.count_nonzero(keys[1:] != keys[:-1])) + 1


def cell_size_for(points: np.ndarray, budget: int) -> float:
    """A cell size whose occupied-cell count is at most `budget` and, unless the cloud's cells
    jump over the window, at least LOW * budget. Needs finite points and budget >= 1."""
    lo, hi = points.min(axis=0), points.max(axis=0)
    longest = float((hi - lo).max())
    if longest == 0.0:
        return 1.0
    lo = lo.astype(np.float64)
    # Count ~ size^-d where d is the cloud's apparent dimension (2 for a scanned surface); the
    # exponent is re-estimated from the last two steps, so lines and volumes converge too.
    target = 0.5 * (LOW + 1.0) * budget
    size, dim = longest / math.sqrt(budget), 2.0
    best_fit: float | None = None
    previous: tuple[float, int] | None = None
    for _ in range(MAX_STEPS):
        count = _count(points, lo, size)
        if count <= budget:
            if best_fit is None or size < best_fit:
                best_fit = size
            if count >= LOW * budget:
                return size
        if previous is not None and previous[1] != count and previous[0] != size:
            dim = min(3.0, max(0.5, math.log(count / previous[1]) / math.log(previous[0] / size)))
        previous = (size, count)
        size *= (count / target) ** (1.0 / dim)
    if best_fit is not None:
        return best_fit
    while _count(points, lo, size) > budget:
        size *= 1.5
    return size


def thin(points: np.ndarray, budget: int) -> np.ndarray:
    """Ascending indices of at most `budget` points of `points` (n, 3), one per occupied cell;
    non-finite points are never kept. All indices when the finite points already fit."""
    finite = np.flatnonzero(np.isfinite(points).all(axis=1))
    if len(finite) <= budget:
        return finite
    kept = points[finite]
    size = cell_size_for(kept, budget)
    keys = _cell_keys(kept, kept.min(axis=0).astype(np.float64), size)
    first = np.unique(keys, return_index=True)[1]
    return finite[np.sort(first)]
