"""Fields as PLY vertex properties: the columns the native writer puts after the cloud's own.

The writer takes each column as a 1-D array of one of PLY's eight value types and checks the
names itself; this module only brings NumPy values into that form.
"""
from __future__ import annotations

import numpy as np

# The value types a PLY property can have.
_TYPES = frozenset(np.dtype(t) for t in (np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
                                         np.float32, np.float64))


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
    """One (property name, contiguous 1-D values) per column: an (n, k) field gives k
    properties ``name_0`` ... ``name_{k-1}``."""
    columns: list[tuple[str, np.ndarray]] = []
    for name, values in fields.items():
        values = _column_type(name, values)
        if values.ndim == 1:
            columns.append((name, np.ascontiguousarray(values)))
        else:
            columns.extend((f"{name}_{k}", np.ascontiguousarray(values[:, k])) for k in range(values.shape[1]))
    return columns
