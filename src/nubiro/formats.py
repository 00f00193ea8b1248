"""One reader and one writer for every point-cloud file format nubiro knows.

``nubiro.read(path)`` and ``nubiro.write(path, cloud)`` choose the format from the extension
(``.ply .xyz .xyzn .xyzrgb .pts .pcd .las .laz .e57``) or take it from ``format=``. Unlike the
``nubiro.io`` functions (which return an empty cloud or False), these raise:
`FileNotFoundError`, `PermissionError`, `IsADirectoryError`, and `FormatError` for content that
cannot be read, with a message that names the file, the format and what is wrong::

    table.pcd: PCD: DATA binary_compressed: compressed size 812 exceeds the 640 bytes left

PCD, PLY and the text formats are read natively; LAS/LAZ need the ``las`` extra (laspy with the
lazrs backend) and E57 the ``e57`` extra (pye57). A missing extra raises an ImportError that
names it.

Writes are atomic: the file is written under a temporary name in the same folder and renamed
over the target only when complete, so a failed write never leaves a partial file and never
truncates an existing one.
"""
from __future__ import annotations

import os
import stat
import tempfile
from typing import Any, Callable, Mapping

import numpy as np

from . import _ply
from ._native_api import native as _native
from .cpu.pybind import geometry

__all__ = ["read", "write", "describe", "inspect", "FormatError", "FORMATS", "EXTENSIONS", "format_of"]

EXTENSIONS: dict[str, str] = {
    ".ply": "ply", ".xyz": "xyz", ".xyzn": "xyzn", ".xyzrgb": "xyzrgb", ".pts": "pts",
    ".pcd": "pcd", ".las": "las", ".laz": "laz", ".e57": "e57",
}
FORMATS: tuple[str, ...] = tuple(dict.fromkeys(EXTENSIONS.values()))
TITLES = {"ply": "PLY", "xyz": "XYZ", "xyzn": "XYZN", "xyzrgb": "XYZRGB", "pts": "PTS", "pcd": "PCD",
          "las": "LAS", "laz": "LAZ", "e57": "E57"}

Fields = dict[str, np.ndarray]


class FormatError(ValueError):
    """A file whose content cannot be read (or a cloud that cannot be written) in its format.

    A subclass of ValueError. The message starts with the file name, then the format, then
    what is wrong, e.g. ``scan.pcd: PCD: DATA ascii: line 12 has 2 values, expected 3``.
    """


def known_extensions() -> str:
    """The extensions `read` knows, for messages.

    Returns
    -------
    str
        The extensions with their dots, separated by spaces: ``".ply .xyz ..."``.
    """
    return " ".join(EXTENSIONS)


def format_of(path: str | os.PathLike[str], format: str | None = None, *, force: str = "format=") -> str:
    """The format name for `path`: `format` itself when given, else from the extension.

    Parameters
    ----------
    path : str or os.PathLike
        Only its extension is looked at (any case); the file need not exist.
    format : str, optional
        A format name, any case, with or without a leading dot; it wins over the extension.
    force : str
        How the caller names its format argument (``"format="``, ``"--format"``), for the
        message of an unknown extension.

    Returns
    -------
    str
        One of `FORMATS`.

    Raises
    ------
    ValueError
        If `format` is not one of `FORMATS`.
    FormatError
        If the extension is not a known one (the message lists them and says that `force`, the
        way the caller's caller names the format argument, forces one).
    """
    if format is not None:
        name = str(format).lower().lstrip(".")
        if name not in FORMATS:
            raise ValueError(f"unknown format {format!r}: expected one of {', '.join(FORMATS)}")
        return name
    text = os.fspath(path)
    ext = os.path.splitext(text)[1].lower()
    if ext not in EXTENSIONS:
        what = f"the extension {ext!r}" if ext else "no extension"
        raise FormatError(f"{text}: {what} is not a point-cloud format nubiro knows (it reads "
                          f"{known_extensions()}); {force} forces one")
    return EXTENSIONS[ext]


# ---- reading ---------------------------------------------------------------------------------


def _check_readable(path: str) -> None:
    """Raises the OSError a plain open() would, before any reader runs."""
    st = os.stat(path)  # FileNotFoundError, PermissionError (folder), ...
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(21, "Is a directory", path)
    if not os.access(path, os.R_OK):
        raise PermissionError(13, "Permission denied", path)
    if not stat.S_ISREG(st.st_mode):
        raise FormatError(f"{path}: not a regular file")


def _content_error(path: str, fmt: str, error: Exception) -> FormatError:
    return FormatError(f"{path}: {TITLES[fmt]}: {error}")


def _keep_finite(cloud: geometry.PointCloud, fields: Fields) -> tuple[geometry.PointCloud, Fields]:
    """The cloud without points that have a NaN or infinite coordinate, fields alike."""
    points = np.asarray(cloud.points)
    if np.isfinite(points).all():
        return cloud, fields
    kept, indices = _native.remove_non_finite(cloud)
    return kept, {name: values[indices] for name, values in fields.items()}


def _read_pcd(path: str, remove_non_finite: bool, progress: bool, want_fields: bool) -> tuple[geometry.PointCloud, Fields, dict]:
    cloud, fields, header = _native.pcd_read(path, remove_non_finite, want_fields)
    return cloud, fields, {"format": "pcd", **header}


def _read_ply(path: str, remove_non_finite: bool, progress: bool, want_fields: bool) -> tuple[geometry.PointCloud, Fields, dict]:
    cloud, fields = _native.ply_read(path, want_fields)
    if remove_non_finite:
        cloud, fields = _keep_finite(cloud, fields)
    return cloud, fields, {"format": "ply"}


def _text_reader(layout: str) -> Callable[[str, bool, bool, bool], tuple[geometry.PointCloud, Fields, dict]]:
    def read_text(path: str, remove_non_finite: bool, progress: bool, want_fields: bool) -> tuple[geometry.PointCloud, Fields, dict]:
        cloud, intensity = _native.text_read(path, layout)
        fields: Fields = {} if intensity is None else {"intensity": intensity}
        if remove_non_finite:
            cloud, fields = _keep_finite(cloud, fields)
        return cloud, fields, {"format": layout}
    return read_text


def _read_las(path: str, remove_non_finite: bool, progress: bool,
              want_fields: bool) -> tuple[geometry.PointCloud, Fields, dict]:
    from . import _las
    cloud, fields, details = _las.read(path, progress=progress, fields=want_fields)
    if remove_non_finite:
        cloud, fields = _keep_finite(cloud, fields)
    return cloud, fields, details


def _read_e57(path: str, remove_non_finite: bool, progress: bool, want_fields: bool) -> tuple[geometry.PointCloud, Fields, dict]:
    from . import _e57
    cloud, fields, details = _e57.read(path)
    if remove_non_finite:
        cloud, fields = _keep_finite(cloud, fields)
    return cloud, fields, details


_READERS: dict[str, Callable[[str, bool, bool, bool], tuple[geometry.PointCloud, Fields, dict]]] = {
    "pcd": _read_pcd, "ply": _read_ply, "xyz": _text_reader("xyz"), "xyzn": _text_reader("xyzn"),
    "xyzrgb": _text_reader("xyzrgb"), "pts": _text_reader("pts"), "las": _read_las, "laz": _read_las,
    "e57": _read_e57,
}


def _read_any(path: str | os.PathLike[str], format: str | None, remove_non_finite: bool,
              progress: bool, force: str = "format=",
              want_fields: bool = True) -> tuple[geometry.PointCloud, Fields, dict]:
    """The cloud, its fields and the format's details; without `want_fields` a reader may leave
    out fields that cost time to gather (LAS dimensions)."""
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError("path must be a str or os.PathLike[str], not bytes")
    if format is not None:
        format_of(text, format)  # an unknown format name is a usage error, before the file
    _check_readable(text)
    fmt = format_of(text, format, force=force)
    try:
        return _READERS[fmt](text, remove_non_finite, progress, want_fields)
    except FormatError:
        raise
    except ValueError as e:  # the native readers' content errors
        raise _content_error(text, fmt, e) from None


def read(path: str | os.PathLike[str], *, format: str | None = None, remove_non_finite: bool = True,
         fields: bool = False, progress: bool = False, scans: bool = False) -> Any:
    """Read a point cloud from any supported file.

    Parameters
    ----------
    path : str or os.PathLike
    format : str, optional
        One of ``ply xyz xyzn xyzrgb pts pcd las laz e57``; by default from the extension.
    remove_non_finite : bool
        Drop points with a NaN or infinite coordinate (default). With False an organized PCD
        keeps its grid: point ``r * width + c`` is row r, column c (see `describe`).
    fields : bool
        Also return the other per-point values as a dict of arrays, one row per point:
        intensity, classification, return_number, gps_time, ring, any unknown field by name.
        A field with several values per point is an (n, count) array. PLY: the vertex
        element's other scalar properties in their declared types (list properties are left
        out; a text file's integer property with a value outside its type comes back float64).
    progress : bool
        Show a progress bar on standard error while reading large LAS/LAZ files.
    scans : bool
        Return a list with one result per scan (E57 files hold several, each already moved by
        its pose; every other format gives a list of one).

    Returns
    -------
    cloud : PointCloud or tuple or list
        The cloud; ``(cloud, fields)`` with ``fields=True``; a list of those with
        ``scans=True``. Coordinates are in the file's units (LAS: scale and offset applied).
        Colours are in [0, 1] (8-bit channels / 255, LAS 16-bit channels / 65535).

    Raises
    ------
    FileNotFoundError, PermissionError, IsADirectoryError
        The file cannot be opened, as `open` would say.
    FormatError
        Damaged or unsupported content, an unknown extension, or a path that is not a regular
        file; the message names the file.
    ValueError
        `format` is not one of `FORMATS` (raised before the file is looked at).
    TypeError
        `path` is bytes.
    ImportError
        LAS/LAZ or E57 without the ``las`` / ``e57`` extra.
    """
    if scans and format_of(path, format) == "e57":
        from . import _e57
        text = os.fspath(path)
        _check_readable(text)
        try:
            parts = _e57.read_scans(text)
        except ValueError as e:
            raise _content_error(text, "e57", e) from None
        if remove_non_finite:
            parts = [_keep_finite(c, f) for c, f in parts]
        return [(c, f) if fields else c for c, f in parts]
    cloud, extra, _ = _read_any(path, format, remove_non_finite, progress, want_fields=fields)
    result = (cloud, extra) if fields else cloud
    return [result] if scans else result


def inspect(path: str | os.PathLike[str], *, format: str | None = None, remove_non_finite: bool = True,
            progress: bool = False, force: str = "format=") -> tuple[geometry.PointCloud, Fields, dict[str, Any]]:
    """`read` with ``fields=True`` plus the file's own details (see `describe`), in one read.

    Parameters
    ----------
    path, format, remove_non_finite, progress
        As for `read`.
    force : str
        How an unknown extension's message names the format argument (``"--format"`` for a
        command).

    Returns
    -------
    cloud : PointCloud
    fields : dict of ndarray
        The other per-point values, one row per point.
    details : dict
        The format's own details, with at least ``format``; see `describe`.

    Raises
    ------
    FileNotFoundError, PermissionError, IsADirectoryError, FormatError, ValueError, ImportError
        As for `read`.
    """
    return _read_any(path, format, remove_non_finite, progress, force)


def describe(path: str | os.PathLike[str], *, format: str | None = None) -> dict[str, Any]:
    """What a file holds in its format's own terms, as a dict with at least ``format`` and ``points``.

    PCD: ``version``, ``fields`` as (name, type, size, count), ``width``, ``height`` (organized
    when above 1), ``viewpoint`` (tx ty tz qw qx qy qz; reported, never applied) and ``data``.
    LAS/LAZ: ``version``, ``point_format``, ``scale``, ``offset``, ``classes`` (points per
    classification) and ``crs`` when the file declares one (else None). E57: ``scans`` (points
    per scan). Every format: ``attributes`` (normals, colors) and ``field_names`` (the other
    per-point values). ``points`` counts every stored point, NaN ones included.

    Parameters
    ----------
    path : str or os.PathLike
    format : str, optional
        As for `read`; by default from the extension.

    Returns
    -------
    dict
        The keys above for the file's format.

    Raises
    ------
    FileNotFoundError, PermissionError, IsADirectoryError, FormatError, ValueError, ImportError
        As for `read`: the whole file is read.
    """
    cloud, extra, details = _read_any(path, format, False, False)
    out = dict(details)
    out["points"] = len(cloud.points)
    out["attributes"] = [name for name, has in (("normals", cloud.has_normals()), ("colors", cloud.has_colors()))
                         if has]
    out["field_names"] = list(extra)
    return out


# The ASPRS standard classes, for `info`.
LAS_CLASSES = {0: "never classified", 1: "unclassified", 2: "ground", 3: "low vegetation", 4: "medium vegetation",
               5: "high vegetation", 6: "building", 7: "low point (noise)", 8: "model key point", 9: "water",
               10: "rail", 11: "road surface", 12: "overlap", 13: "wire guard", 14: "wire conductor",
               15: "transmission tower", 16: "wire connector", 17: "bridge deck", 18: "high noise"}


def detail_lines(details: dict[str, Any]) -> list[str]:
    """The format's own details as short lines of text, for `info`.

    Parameters
    ----------
    details : dict
        The third item `inspect` returns.

    Returns
    -------
    list of str
        No line for a format without details beyond its name, which is given alone.
    """
    fmt = details.get("format")
    if fmt == "pcd":
        fields = ", ".join(f"{name} {t}{size}" + (f"x{count}" if count > 1 else "")
                           for name, t, size, count in details["fields"])
        w, h = details["width"], details["height"]
        grid = f"organized {w} x {h} (width x height)" if h > 1 else f"unorganized (width {w}, height {h})"
        t, q = details["viewpoint"][:3], details["viewpoint"][3:]
        return [f"PCD {details['version'] or '(no VERSION)'}, DATA {details['data']}", f"fields: {fields}", grid,
                "viewpoint: translation ({:g}, {:g}, {:g}), rotation w x y z ({:g}, {:g}, {:g}, {:g}) "
                "(reported, not applied)".format(*t, *q)]
    if fmt in ("las", "laz"):
        classes = ", ".join(f"{c} {LAS_CLASSES.get(c, 'user-defined')} {k}" for c, k in details.get("classes", {}).items())
        return [f"{TITLES[fmt]} {details['version']}, point format {details['point_format']}",
                "scale ({:g}, {:g}, {:g}), offset ({:g}, {:g}, {:g})".format(*details["scale"], *details["offset"]),
                f"points by class: {classes or 'none'}", f"CRS: {details.get('crs') or 'none declared'}"]
    if fmt == "e57":
        scans = details["scans"]
        return [f"E57, {len(scans)} scan{'s' if len(scans) != 1 else ''}: " + ", ".join(f"{n} points" for n in scans)]
    return [TITLES[fmt]] if fmt in TITLES else []


# ---- writing ---------------------------------------------------------------------------------


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _atomic_write(path: str, fmt: str, write_to: Callable[[str], None]) -> None:
    """Runs write_to(temporary path) in the target's folder, then renames over `path`."""
    folder = os.path.dirname(os.path.abspath(path))
    suffix = next(ext for ext, name in EXTENSIONS.items() if name == fmt)  # writers that go by extension
    handle, temp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".part" + suffix, dir=folder)
    os.close(handle)
    try:
        write_to(temp)
        try:
            mode = stat.S_IMODE(os.stat(path).st_mode)
        except FileNotFoundError:
            mode = 0o666 & ~_umask()
        os.chmod(temp, mode)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise


def _check_cloud(cloud: Any) -> geometry.PointCloud:
    if not isinstance(cloud, geometry.PointCloud):
        raise TypeError(f"cloud must be a nubiro.geometry.PointCloud, not {type(cloud).__name__}")
    return cloud


def _field_values(fields: Mapping[str, Any] | None, n: int) -> dict[str, np.ndarray]:
    out: dict[str, np.ndarray] = {}
    for name, values in (fields or {}).items():
        a = np.asarray(values)
        if a.ndim not in (1, 2) or len(a) != n:
            raise ValueError(f"field {name!r} must have one row per point ({n}), got shape {a.shape}")
        out[str(name)] = a
    return out


_PCD_TYPES = {"i": "I", "u": "U", "f": "F", "b": "U"}


def _write_pcd(path: str, cloud: geometry.PointCloud, fields: dict[str, np.ndarray], *, encoding: str = "binary",
               precision: str = "float", width: int | None = None, height: int | None = None,
               viewpoint: Any = (0, 0, 0, 1, 0, 0, 0)) -> None:
    if precision not in ("float", "double"):
        raise ValueError(f"precision must be 'float' or 'double', not {precision!r}")
    if encoding not in ("binary", "binary_compressed", "ascii"):
        raise ValueError(f"encoding must be 'binary', 'binary_compressed' or 'ascii', not {encoding!r}")
    n = len(cloud.points)
    if (width is None) != (height is None):
        raise ValueError("give both width and height for an organized cloud, or neither")
    if width is not None and (int(width) < 0 or int(height) < 0 or int(width) * int(height) != n):  # type: ignore[arg-type]
        raise ValueError(f"width x height = {width} x {height} does not hold the {n} points")
    vp = np.asarray(viewpoint, dtype=np.float64).reshape(1, -1)
    if vp.shape != (1, 7):
        raise ValueError("viewpoint must hold 7 numbers: tx ty tz qw qx qy qz")
    extra = []
    for name, values in fields.items():
        kind = values.dtype.kind
        if kind not in _PCD_TYPES or values.dtype.itemsize not in (1, 2, 4, 8) or (kind == "f" and values.itemsize < 4):
            raise ValueError(f"field {name!r}: dtype {values.dtype} has no PCD type")
        a = np.ascontiguousarray(values, dtype=values.dtype.newbyteorder("<"))
        count = 1 if a.ndim == 1 else a.shape[1]
        extra.append((name, _PCD_TYPES[kind], a.dtype.itemsize, count, a.tobytes()))
    _native.pcd_write(path, cloud, encoding, precision == "double", int(width or 0), int(height or 0), vp, extra)


def _write_ply(path: str, cloud: geometry.PointCloud, fields: dict[str, np.ndarray], *, ascii: bool = False) -> None:
    if not cloud.has_points():
        raise ValueError("PLY needs at least one point")
    _native.ply_write(path, cloud, bool(ascii), _ply.field_columns(fields))


def _text_writer(layout: str) -> Callable[..., None]:
    def write_text(path: str, cloud: geometry.PointCloud, fields: dict[str, np.ndarray]) -> None:
        _native.text_write(path, cloud, layout)
    return write_text


def _write_las(path: str, cloud: geometry.PointCloud, fields: dict[str, np.ndarray], **options: Any) -> None:
    from . import _las
    _las.write(path, cloud, fields, compressed=path.lower().endswith(".laz"), **options)


def _write_e57(path: str, cloud: geometry.PointCloud, fields: dict[str, np.ndarray]) -> None:
    raise ValueError("nubiro reads E57 but does not write it")


_WRITERS: dict[str, Callable[..., None]] = {
    "pcd": _write_pcd, "ply": _write_ply, "xyz": _text_writer("xyz"), "xyzn": _text_writer("xyzn"),
    "xyzrgb": _text_writer("xyzrgb"), "pts": _text_writer("pts"), "las": _write_las, "laz": _write_las,
    "e57": _write_e57,
}
WRITE_OPTIONS = {
    "pcd": ("encoding", "precision", "width", "height", "viewpoint"),
    "ply": ("ascii",),
    "las": ("scale", "offset", "version", "point_format"),
    "laz": ("scale", "offset", "version", "point_format"),
}
FIELD_WRITERS = ("pcd", "ply", "las", "laz")


def write(path: str | os.PathLike[str], cloud: geometry.PointCloud, *, format: str | None = None,
          fields: Mapping[str, Any] | None = None, **options: Any) -> None:
    """Write a point cloud in any supported format, atomically.

    Parameters
    ----------
    path : str or os.PathLike
    cloud : PointCloud
    format : str, optional
        As in `read`; by default from the extension.
    fields : dict of array-like, optional
        Other per-point values to store (PCD, PLY and LAS/LAZ), one row per point, e.g. the
        dict `read` returns with ``fields=True``. PLY stores each as a vertex property of its
        own type (an (n, k) field as ``name_0`` ... ``name_{k-1}``; booleans as bytes; 64-bit
        integers as 32-bit ones when every value fits, else refused).
    **options
        Per format:

        - PCD: ``encoding`` = ``"binary"`` (default), ``"binary_compressed"`` or ``"ascii"``;
          ``precision`` = ``"float"`` (F4, the default, loads into the usual PCD point types)
          or ``"double"`` (F8, float64 values round-trip bit for bit); ``width`` and ``height``
          for an organized cloud; ``viewpoint`` (tx ty tz qw qx qy qz).
        - PLY: ``ascii`` (default False: binary little-endian; as text, coordinates and
          normals keep six significant digits, field values are written in full).
        - LAS/LAZ: ``scale`` (default 0.0001, i.e. 0.1 mm; one number or three), ``offset``
          (default: from the bounds), ``version`` ``"1.2"`` (default) or ``"1.4"``,
          ``point_format`` (default 3 / 7 with colours, 1 / 6 without).

    Returns
    -------
    None

    Raises
    ------
    FileNotFoundError, PermissionError
        The folder does not exist or cannot be written.
    FormatError
        An unknown extension, a cloud the format cannot store (e.g. LAS coordinates out of
        range, an empty PLY, any E57) or an invalid option value; nothing is written.
    ValueError
        `format` is not one of `FORMATS`, a field does not have one row per point, or
        `fields` are given for a format that holds none.
    TypeError
        `cloud` is not a PointCloud, `path` is bytes, or an option the format's writer does
        not take is given.
    """
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError("path must be a str or os.PathLike[str], not bytes")
    fmt = format_of(text, format)
    cloud = _check_cloud(cloud)
    allowed = WRITE_OPTIONS.get(fmt, ())
    for name in options:
        if name not in allowed:
            takes = f"it takes {', '.join(allowed)}" if allowed else "it takes none"
            raise TypeError(f"the {TITLES[fmt]} writer has no option {name!r} ({takes})")
    values = _field_values(fields, len(cloud.points))
    if values and fmt not in FIELD_WRITERS:
        raise ValueError(f"{TITLES[fmt]} files hold no extra fields (PCD, PLY and LAS/LAZ do)")
    writer = _WRITERS[fmt]
    try:
        _atomic_write(text, fmt, lambda temp: writer(temp, cloud, values, **options))
    except FormatError:
        raise
    except ValueError as e:
        raise FormatError(f"{text}: {TITLES[fmt]}: {e}") from None
