"""E57 reading through pye57: the ``e57`` extra.

Every scan of the file is moved by its pose into the file's common frame; the scans make one
cloud (or one cloud each). Colours are scaled to [0, 1] (8-bit or 16-bit channels) and
intensity is kept as a field.
"""
from __future__ import annotations

import importlib
from typing import Any

import numpy as np

from ._native_api import native as _native  # noqa: F401  (loads the extension first)
from .cpu.pybind import geometry

EXTRA = "pip install 'nubiro[e57]'"


def _pye57() -> Any:
    try:
        return importlib.import_module("pye57")  # untyped, so looked up by name
    except ImportError as e:
        raise ImportError(f"reading E57 needs pye57: {EXTRA}") from e


def _scan(e57: Any, index: int) -> tuple[geometry.PointCloud, dict[str, np.ndarray]]:
    data = e57.read_scan(index, intensity=True, colors=True, transform=True, ignore_missing_fields=True)
    cloud = geometry.PointCloud()
    cloud.points = np.column_stack([data["cartesianX"], data["cartesianY"], data["cartesianZ"]]).astype(np.float64)
    fields: dict[str, np.ndarray] = {}
    if all(k in data for k in ("colorRed", "colorGreen", "colorBlue")):
        rgb = np.column_stack([data["colorRed"], data["colorGreen"], data["colorBlue"]]).astype(np.float64)
        cloud.colors = rgb / (255.0 if rgb.size == 0 or rgb.max() <= 255 else 65535.0)
    if "intensity" in data:
        fields["intensity"] = np.asarray(data["intensity"])
    return cloud, fields


def _what(error: Exception) -> str:
    """The first line of the library's message: the rest is its debug dump (source files and
    line numbers inside the library)."""
    lines = str(error).strip().splitlines()
    return lines[0] if lines else type(error).__name__


def read_scans(path: str) -> list[tuple[geometry.PointCloud, dict[str, np.ndarray]]]:
    pye57 = _pye57()
    try:
        e57 = pye57.E57(path)
    except Exception as e:  # the library reports damaged files with its own exception types
        raise ValueError(f"cannot open: {_what(e)}") from None
    try:
        return [_scan(e57, i) for i in range(e57.scan_count)]
    except Exception as e:
        raise ValueError(f"cannot read a scan: {_what(e)}") from None
    finally:
        e57.close()


def read(path: str) -> tuple[geometry.PointCloud, dict[str, np.ndarray], dict]:
    scans = read_scans(path)
    if not scans:
        raise ValueError("the file holds no scans")
    cloud = geometry.PointCloud()
    cloud.points = np.concatenate([np.asarray(c.points) for c, _ in scans])
    if all(c.has_colors() for c, _ in scans):
        cloud.colors = np.concatenate([np.asarray(c.colors) for c, _ in scans])
    fields: dict[str, np.ndarray] = {}
    if all("intensity" in f for _, f in scans):
        fields["intensity"] = np.concatenate([f["intensity"] for _, f in scans])
    fields["scan"] = np.concatenate([np.full(len(c.points), i, dtype=np.int32) for i, (c, _) in enumerate(scans)])
    return cloud, fields, {"format": "e57", "scans": [len(c.points) for c, _ in scans]}
