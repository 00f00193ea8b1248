"""LAS and LAZ through laspy (with the lazrs backend for LAZ): the ``las`` extra.

Coordinates are laspy's scaled values (``X * scale + offset`` as float64), 16-bit colours
become value / 65535, and every other dimension is a field. Files are read chunk by chunk into
arrays sized once from the header, so a large file is never held twice.
"""
from __future__ import annotations

import importlib
import os
import sys
import time
from typing import Any

import numpy as np

from ._native_api import native as _native
from .cpu.pybind import geometry

# Points per read: LAZ files are compressed in chunks of 50 000 points that lazrs decompresses in
# parallel, one per core; the transient copies of one read stay small beside the result.
CHUNK = 50_000 * max(2, os.cpu_count() or 1)
EXTRA = "pip install 'nubiro[las]'"
COLOUR_FORMATS = {"1.2": 3, "1.4": 7}
PLAIN_FORMATS = {"1.2": 1, "1.4": 6}


def _laspy() -> Any:
    try:
        return importlib.import_module("laspy")  # untyped, so looked up by name
    except ImportError as e:
        raise ImportError(f"reading and writing LAS/LAZ needs laspy with lazrs: {EXTRA}") from e


class _Progress:
    """A one-line bar on standard error, drawn only once a read has taken over a second."""

    def __init__(self, label: str, total: int, enabled: bool) -> None:
        self.label, self.total, self.enabled = label, total, enabled
        self.start = time.perf_counter()
        self.shown = False

    def update(self, done: int) -> None:
        if not self.enabled or self.total == 0 or time.perf_counter() - self.start < 1.0:
            return
        width = 30
        filled = width * done // self.total
        sys.stderr.write(f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] {100 * done // self.total:3d}% "
                         f"({done}/{self.total} points)")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _crs(header: Any) -> str | None:
    """The coordinate system the file declares, as text, or None."""
    try:
        crs = header.parse_crs()
        if crs is not None:
            return str(crs.to_string())
    except Exception:  # pyproj missing or an unreadable record: fall back to the raw records
        pass
    for vlr in header.vlrs:
        if getattr(vlr, "record_id", None) == 2112:  # OGC WKT
            wkt = getattr(vlr, "string", None)
            if wkt:
                return str(wkt).strip("\0")
        keys = getattr(vlr, "geo_keys", None)
        if keys:
            for key in keys:  # ProjectedCSTypeGeoKey, GeographicTypeGeoKey
                if key.id in (3072, 2048) and 0 < key.value_offset < 32767:
                    return f"EPSG:{key.value_offset}"
    return None


def _details(header: Any, classes: np.ndarray | None) -> dict[str, Any]:
    out: dict[str, Any] = {
        "format": "laz" if header.are_points_compressed else "las",
        "version": str(header.version),
        "point_format": int(header.point_format.id),
        "scale": [float(v) for v in header.scales],
        "offset": [float(v) for v in header.offsets],
        "crs": _crs(header),
    }
    if classes is not None:
        counts = np.bincount(classes.astype(np.int64, copy=False), minlength=0) if len(classes) else np.zeros(0, int)
        out["classes"] = {int(c): int(k) for c, k in enumerate(counts) if k}
    return out


def read(path: str, *, progress: bool = False,
         fields: bool = True) -> tuple[geometry.PointCloud, dict[str, np.ndarray], dict]:
    """The cloud, its other dimensions (only when `fields`: unpacking them costs as much as the
    coordinates) and the file's details."""
    laspy = _laspy()
    try:
        with laspy.open(path) as reader:
            header = reader.header
            n = int(header.point_count)
            names = [d for d in header.point_format.dimension_names if d not in ("X", "Y", "Z")]
            colours = all(c in names for c in ("red", "green", "blue"))
            if not fields:
                names = [d for d in names if d in ("red", "green", "blue")]
            # Filled in place through the cloud's own arrays: the points are never held twice.
            cloud = _native.zero_cloud(n, colours)
            points = np.asarray(cloud.points)
            rgb = np.asarray(cloud.colors) if colours else None
            values_of: dict[str, np.ndarray] = {}
            bar = _Progress(f"reading {path}", n, progress)
            done = 0
            for chunk in reader.chunk_iterator(CHUNK):
                m = len(chunk)
                if done + m > n:
                    raise ValueError(f"more points than the {n} the header declares")
                points[done:done + m, 0] = chunk.x
                points[done:done + m, 1] = chunk.y
                points[done:done + m, 2] = chunk.z
                for name in names:
                    values = np.asarray(chunk[name])
                    if rgb is not None and name in ("red", "green", "blue"):
                        rgb[done:done + m, ("red", "green", "blue").index(name)] = values / 65535.0
                        continue
                    if name not in values_of:
                        values_of[name] = np.empty((n,) + values.shape[1:], dtype=values.dtype)
                    values_of[name][done:done + m] = values
                done += m
                bar.update(done)
            bar.close()
            if done != n:
                raise ValueError(f"the header declares {n} points, the file holds {done}")
    except laspy.errors.LaspyException as e:
        raise ValueError(str(e)) from None
    except (EOFError, OSError) as e:
        if isinstance(e, (FileNotFoundError, PermissionError)):
            raise
        raise ValueError(f"damaged or truncated file ({e})") from None
    details = _details(header, values_of.get("classification"))
    return cloud, values_of, details


def write(path: str, cloud: geometry.PointCloud, fields: dict[str, np.ndarray], *, compressed: bool,
          scale: Any = 0.0001, offset: Any = None, version: str = "1.2", point_format: int | None = None) -> None:
    laspy = _laspy()
    if version not in COLOUR_FORMATS:
        raise ValueError(f"version must be '1.2' or '1.4', not {version!r}")
    points = np.asarray(cloud.points)
    if not np.isfinite(points).all():
        raise ValueError("LAS cannot store NaN or infinite coordinates (read with remove_non_finite=True)")
    scales = np.broadcast_to(np.asarray(scale, dtype=np.float64), (3,)).copy()
    if not (np.isfinite(scales).all() and (scales > 0).all()):
        raise ValueError(f"scale must be positive, got {scale!r}")
    if offset is None:
        # A round number near the low corner keeps the integers small and the offset readable.
        low = points.min(0) if len(points) else np.zeros(3)
        offsets = np.floor(low / (scales * 1e4)) * (scales * 1e4)
    else:
        offsets = np.broadcast_to(np.asarray(offset, dtype=np.float64), (3,)).copy()
    if len(points):
        span = (np.array([points.min(0), points.max(0)]) - offsets) / scales
        if np.abs(span).max() > 2**31 - 1:
            raise ValueError(f"coordinates do not fit in 32-bit integers at scale {scales.tolist()}: "
                             "give a larger scale")
    colours = cloud.has_colors()
    fmt = point_format if point_format is not None else (COLOUR_FORMATS if colours else PLAIN_FORMATS)[version]
    header = laspy.LasHeader(point_format=int(fmt), version=version)
    header.scales = scales
    header.offsets = offsets
    standard = set(header.point_format.dimension_names)
    for name, values in fields.items():
        if name not in standard and name not in ("X", "Y", "Z"):
            shape = values.shape[1:]
            header.add_extra_dim(laspy.ExtraBytesParams(name=name, type=values.dtype if not shape else
                                                        np.dtype((values.dtype, shape))))
    las = laspy.LasData(header)
    las.x, las.y, las.z = points[:, 0], points[:, 1], points[:, 2]
    if colours and {"red", "green", "blue"} <= standard:
        c = np.clip(np.nan_to_num(np.asarray(cloud.colors), nan=0.0), 0.0, 1.0)
        rgb = np.round(c * 65535.0).astype(np.uint16)
        las.red, las.green, las.blue = rgb[:, 0], rgb[:, 1], rgb[:, 2]
    for name, values in fields.items():
        if name in ("X", "Y", "Z"):
            raise ValueError(f"field {name!r} is the scaled coordinate itself")
        las[name] = values
    try:
        las.write(path, do_compress=compressed)
    except laspy.errors.LaspyException as e:
        raise ValueError(str(e)) from None
