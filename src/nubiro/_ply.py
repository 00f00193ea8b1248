"""PLY with extra per-point properties.

The vertex rows begin as the io module's writer writes them (float64 x y z, then nx ny nz,
then red green blue as bytes) and go on with one property per field, in the field's own type.
Without fields, `nubiro.write` uses that writer itself; this module only adds the columns.
"""
from __future__ import annotations

import re
from typing import IO

import numpy as np

from .cpu.pybind import geometry

# The PLY type word and the little-endian dtype of each value type a field may have.
_TYPES: dict[np.dtype, tuple[str, str]] = {
    np.dtype(np.int8): ("char", "i1"), np.dtype(np.uint8): ("uchar", "u1"),
    np.dtype(np.int16): ("short", "<i2"), np.dtype(np.uint16): ("ushort", "<u2"),
    np.dtype(np.int32): ("int", "<i4"), np.dtype(np.uint32): ("uint", "<u4"),
    np.dtype(np.float32): ("float", "<f4"), np.dtype(np.float64): ("double", "<f8"),
}
# Names the cloud's own columns take: a field by one of these would read back as part of the cloud.
_CLOUD_NAMES = ("x", "y", "z", "nx", "ny", "nz", "red", "green", "blue")
_NAME = re.compile(r"[\x21-\x7e]+")  # printable ASCII, no white space: one header word


def color_bytes(colors: np.ndarray) -> np.ndarray:
    """Colours in [0, 1] as bytes, as the io writer makes them: clamped, times 255, halves
    rounded away from zero, NaN to 0."""
    x = np.clip(colors, 0.0, 1.0)
    np.multiply(x, 255.0, out=x)
    x[np.isnan(x)] = 0.0
    whole = x.astype(np.uint8)  # truncated: x is in [0, 255]
    whole += (x - whole) >= 0.5
    return whole


def _column_type(name: str, values: np.ndarray) -> np.ndarray:
    """`values` in a type PLY has: booleans as bytes, half floats as floats, 64-bit integers as
    32-bit ones when every value fits (PLY has no 64-bit integers)."""
    kind, dtype = values.dtype.kind, values.dtype
    if kind == "b":
        return values.astype(np.uint8)
    if dtype == np.float16:
        return values.astype(np.float32)
    if kind in "iu" and dtype.itemsize == 8:
        for narrow in ((np.int32, np.uint32) if kind == "i" else (np.uint32,)):
            info = np.iinfo(narrow)
            if values.size == 0 or (values.min() >= info.min and values.max() <= info.max):
                return values.astype(narrow)
        raise ValueError(f"field {name!r}: values beyond 32 bits, which PLY cannot hold")
    if dtype.newbyteorder("=") not in _TYPES:
        raise ValueError(f"field {name!r}: dtype {dtype} has no PLY type")
    return values.astype(dtype.newbyteorder("="), copy=False)


def field_columns(fields: dict[str, np.ndarray]) -> list[tuple[str, np.ndarray]]:
    """One (property name, 1-D values) per column: an (n, k) field gives k properties
    ``name_0`` ... ``name_{k-1}``."""
    columns: list[tuple[str, np.ndarray]] = []
    for name, values in fields.items():
        if not _NAME.fullmatch(name):
            raise ValueError(f"field {name!r}: a PLY property name is one word of printable ASCII")
        values = _column_type(name, values)
        if values.ndim == 1:
            columns.append((name, values))
        else:
            columns.extend((f"{name}_{k}", values[:, k]) for k in range(values.shape[1]))
    seen: set[str] = set()
    for name, _ in columns:
        if name in _CLOUD_NAMES or name in seen:
            raise ValueError(f"field {name!r}: the name is taken by "
                             + ("the cloud's own values" if name in _CLOUD_NAMES else "another column"))
        seen.add(name)
    return columns


def write(path: str, cloud: geometry.PointCloud, fields: dict[str, np.ndarray], *, ascii: bool = False) -> None:
    """Writes `cloud` and its `fields` (one row per point, checked by the caller) to `path`."""
    points = np.asarray(cloud.points)
    n = len(points)
    if n == 0:
        raise ValueError("PLY needs at least one point")
    columns: list[tuple[str, str, np.ndarray]] = [(axis, "double", points[:, k]) for k, axis in enumerate("xyz")]
    if cloud.has_normals() and len(cloud.normals) == n:
        normals = np.asarray(cloud.normals)
        columns += [(axis, "double", normals[:, k]) for k, axis in enumerate(("nx", "ny", "nz"))]
    if cloud.has_colors() and len(cloud.colors) == n:
        colors = color_bytes(np.asarray(cloud.colors))
        columns += [(channel, "uchar", colors[:, k]) for k, channel in enumerate(("red", "green", "blue"))]
    columns += [(name, _TYPES[values.dtype][0], values) for name, values in field_columns(fields)]
    header = ["ply", "format ascii 1.0" if ascii else "format binary_little_endian 1.0", "comment Created by nubiro",
              f"element vertex {n}", *(f"property {word} {name}" for name, word, _ in columns), "end_header", ""]
    with open(path, "wb") as f:
        f.write("\n".join(header).encode())
        (_write_text if ascii else _write_binary)(f, columns)


def _write_binary(f: IO[bytes], columns: list[tuple[str, str, np.ndarray]]) -> None:
    rows = np.empty(len(columns[0][2]), dtype=[(name, _TYPES[v.dtype][1]) for name, _, v in columns])
    for name, _, values in columns:
        rows[name] = values
    rows.tofile(f)


def _write_text(f: IO[bytes], columns: list[tuple[str, str, np.ndarray]]) -> None:
    # Coordinates and normals with six significant digits, as the io writer has them; the
    # fields' values in full (nine digits for a float, seventeen for a double, integers whole).
    def form(name: str, values: np.ndarray) -> str:
        if values.dtype.kind in "iu":
            return "%d"
        if name in _CLOUD_NAMES:
            return "%g"
        return "%.9g" if values.dtype == np.float32 else "%.17g"
    table = np.column_stack([values.astype(np.float64) for _, _, values in columns])
    np.savetxt(f, table, fmt=[form(name, values) for name, _, values in columns], delimiter=" ", newline="\n")
