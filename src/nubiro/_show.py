"""An interactive 3-D view of clouds, meshes, boxes and voxel grids: one self-contained HTML page
(the plotting library's JavaScript embedded, so it works offline) that also shows inline in
Jupyter.

Drawing is plotly's (the ``viz`` extra). Large clouds are thinned for display to a point budget,
one point per cell of a cubic grid (see ``_thinning``), and the page says how many points it shows.
Coordinates go to the page as float32 in plotly's binary array encoding, which keeps a page of
300 000 points near 10 MB and quick to write; clouds far from the origin are shifted first so
float32 keeps their detail, and the axis titles say by how much.
"""
from __future__ import annotations

import importlib
import math
import os
import re
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

from . import _thinning
from .cpu.pybind import geometry

__all__ = ["show", "Figure"]

# One colour per geometry, in order; labels use the same cycle.
PALETTE = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#17becf",
           "#bcbd22", "#7f7f7f", "#aec7e8", "#ffbb78", "#98df8a", "#ff9896", "#c5b0d5", "#c49c94",
           "#f7b6d2", "#9edae5", "#dbdb8d", "#393b79")
NOISE = "#b0b0b0"  # negative labels (points no cluster took)
SCALAR_COLORSCALE = "Viridis"
DRAWABLE = "PointCloud, TriangleMesh, AxisAlignedBoundingBox, VoxelGrid or an (n, 3) array of points"

# Point size on screen, in pixels, from the spacing of the shown points: the scene's diagonal is
# about this many pixels at first, and points are drawn a little wider than their spacing so a
# surface reads as closed.
VIEW_PIXELS = 450
OVERLAP = 1.3
MIN_SIZE, MAX_SIZE = 1.0, 6.0

_BINARY_ARRAY = re.compile(r'"bdata":"[^"]*"')


def available() -> bool:
    """Whether plotly (the ``viz`` extra) can be imported.

    Returns
    -------
    bool
        False when the import fails; `show` then raises ImportError.
    """
    try:
        importlib.import_module("plotly")
    except ImportError:
        return False
    return True


def _plotly() -> Any:
    try:
        return importlib.import_module("plotly.graph_objects")
    except ImportError:
        raise ImportError("nubiro.show needs plotly: pip install 'nubiro[viz]'") from None


def _group(n: int) -> str:
    return f"{n:,}".replace(",", " ")


class Figure:
    """A 3-D view made by `show`.

    Shows itself inline in Jupyter; `save` writes it as one HTML file that needs no network.

    Attributes
    ----------
    figure : plotly.graph_objects.Figure
        The underlying figure, for further styling.
    shown_points, total_points : int
        Points drawn and points in the clouds given (they differ when clouds were thinned).
    """

    def __init__(self, figure: Any, shown_points: int, total_points: int) -> None:
        self.figure = figure
        self.shown_points = shown_points
        self.total_points = total_points

    def to_html(self, full_html: bool = True) -> str:
        """The view as HTML, with the plotting library's JavaScript inlined (no network needed).

        Parameters
        ----------
        full_html : bool
            True: a whole page that fills its window; False: an embeddable ``<div>`` 600
            pixels high.

        Returns
        -------
        str
        """
        # A page fills its window; a notebook cell has no height of its own to fill.
        page = self.figure.to_html(include_plotlyjs=True, full_html=full_html, config={"displaylogo": False},
                                   default_height="100%" if full_html else "600px")
        # The embedded JSON spells "/" as "\u002f" (with "<" escaped too, so no "</script>" can
        # appear); in base64 arrays that costs a fifth of their size, and a plain "/" is safe there.
        return _BINARY_ARRAY.sub(lambda m: m.group(0).replace("\\u002f", "/"), page)

    def save(self, path: str | os.PathLike[str]) -> str:
        """Write the page (see `to_html`) to a file.

        Parameters
        ----------
        path : str or os.PathLike
            Conventionally ending in ``.html``; an existing file is replaced.

        Returns
        -------
        str
            The path written.

        Raises
        ------
        OSError
            If the file cannot be written; the message names it.
        """
        path = os.fspath(path)
        try:
            with open(path, "w", encoding="utf-8") as out:
                out.write(self.to_html())
        except OSError as e:
            raise OSError(f"{path}: cannot write the page: {e.strerror or e}") from None
        return path

    def _repr_html_(self) -> str:
        return self.to_html(full_html=False)

    def __repr__(self) -> str:
        return f"<nubiro.show Figure: {_group(self.shown_points)} of {_group(self.total_points)} points>"


# ---- what each geometry becomes ----------------------------------------------------------------


@dataclass
class _Item:
    kind: str                       # "cloud", "mesh", "box" or "voxels"
    name: str
    points: np.ndarray              # cloud points, mesh vertices, box corners, voxel corners
    own_colors: np.ndarray | None   # per point / vertex / voxel RGB in [0, 1], or None
    triangles: np.ndarray | None = None
    voxel_size: float = 0.0
    voxel_origin: np.ndarray | None = None
    voxel_index: np.ndarray | None = None


def _item(g: Any, name: str) -> _Item:
    if isinstance(g, geometry.PointCloud):
        return _Item("cloud", name, np.asarray(g.points), np.asarray(g.colors) if g.has_colors() else None)
    if isinstance(g, geometry.TriangleMesh):
        return _Item("mesh", name, np.asarray(g.vertices),
                     np.asarray(g.vertex_colors) if g.has_vertex_colors() else None,
                     triangles=np.asarray(g.triangles))
    if isinstance(g, geometry.AxisAlignedBoundingBox):
        # Boxes are white and voxels grey unless someone painted them: only a painted colour is their own.
        color = np.asarray(g.color, dtype=np.float64)
        return _Item("box", name, np.array([g.min_bound, g.max_bound], dtype=np.float64),
                     None if (color == 1.0).all() else color.reshape(1, 3))
    if isinstance(g, geometry.VoxelGrid):
        voxels = g.get_voxels()
        index = np.array([v.grid_index for v in voxels], dtype=np.float64).reshape(-1, 3)
        colors = np.array([v.color for v in voxels], dtype=np.float64).reshape(-1, 3)
        painted = g.has_colors() and not (colors == 0.5).all()
        origin = np.asarray(g.origin, dtype=np.float64)
        corners = np.concatenate([origin + g.voxel_size * index, origin + g.voxel_size * (index + 1)])
        return _Item("voxels", name, corners, colors if painted else None, voxel_size=float(g.voxel_size), voxel_origin=origin,
                     voxel_index=index)
    points = _as_points(g)
    if points is not None:
        return _Item("cloud", name, points, None)
    raise TypeError(f"show() cannot draw a {type(g).__module__}.{type(g).__qualname__}; it draws a {DRAWABLE}")


def _as_points(g: Any) -> np.ndarray | None:
    """Points given as any array-like of shape (n, 3) (an array of any numeric dtype or layout, a
    list of triples) as float64; None for anything else."""
    if isinstance(g, (str, bytes)):
        return None
    try:
        a = np.asarray(g)
    except (TypeError, ValueError):  # ragged nesting
        return None
    if a.ndim == 2 and a.shape[1] == 3 and a.dtype.kind in "biuf":
        return a.astype(np.float64, copy=False)
    return None


def _is_rgb(value: Any) -> bool:
    return (isinstance(value, (list, tuple)) and len(value) == 3
            and all(isinstance(c, (int, float, np.number)) and not isinstance(c, bool) for c in value))


def _per_geometry(colors: Any, count: int) -> list[Any]:
    """One colour request per geometry: a list or tuple gives one entry per geometry (unless it
    is a single RGB triple); anything else applies to every geometry."""
    if isinstance(colors, (list, tuple)) and not _is_rgb(colors):
        if len(colors) != count:
            raise ValueError(f"colors: {len(colors)} entries for {count} geometries (give one per geometry)")
        return list(colors)
    return [colors] * count


# ---- colours --------------------------------------------------------------------------------------


@dataclass
class _Paint:
    """How one trace is coloured: a single colour, a per-point index into a palette, or a
    per-point scalar on the shared colour bar."""
    single: str | None = None
    index: np.ndarray | None = None
    palette: list[str] | None = None
    scalar: np.ndarray | None = None


def _hex(rgb: np.ndarray) -> str:
    r, g, b = (int(round(float(np.clip(c, 0.0, 1.0)) * 255)) for c in rgb)
    return f"#{r:02x}{g:02x}{b:02x}"


def _rgb_paint(rgb: np.ndarray) -> _Paint:
    # Per-point colour strings would cost ~10 bytes a point; instead each point carries a small
    # index into the colours actually used, quantised to 5 bits a channel (invisible at point size).
    q = np.clip(np.round(np.nan_to_num(rgb) * 31), 0, 31).astype(np.uint16)
    code = (q[:, 0] << 10) | (q[:, 1] << 5) | q[:, 2]
    used, index = np.unique(code, return_inverse=True)
    channels = np.column_stack((used >> 10, (used >> 5) & 31, used & 31)) / 31.0
    palette = [_hex(c) for c in channels]
    if len(palette) == 1:
        return _Paint(single=palette[0])
    return _Paint(index=index.reshape(-1).astype(np.uint16), palette=palette)


def _label_paint(labels: np.ndarray) -> _Paint:
    slot = np.where(labels < 0, len(PALETTE), labels % len(PALETTE)).astype(np.uint8)
    return _Paint(index=slot, palette=[*PALETTE, NOISE])


def _paint(request: Any, item: _Item, position: int) -> _Paint:
    default = PALETTE[position % len(PALETTE)]
    if request is None:
        if item.own_colors is not None and len(item.own_colors):
            return _rgb_paint(item.own_colors) if len(item.own_colors) > 1 else _Paint(single=_hex(item.own_colors[0]))
        return _Paint(single=default)
    if isinstance(request, str):
        if request == "height":
            if item.kind not in ("cloud", "mesh"):
                return _Paint(single=default)
            return _Paint(scalar=item.points[:, 2])
        return _Paint(single=request)
    if _is_rgb(request):
        return _Paint(single=_hex(np.asarray(request, dtype=np.float64)))
    values = np.asarray(request)
    if item.kind not in ("cloud", "mesh"):
        raise ValueError(f"colors for {item.name}: a {item.kind} takes one colour, not per-point values")
    if values.shape[:1] != (len(item.points),) or values.ndim not in (1, 2) or (
            values.ndim == 2 and values.shape[1] != 3):
        raise ValueError(f"colors for {item.name}: expected {len(item.points)} values or an "
                         f"({len(item.points)}, 3) RGB array, got shape {values.shape}")
    if values.ndim == 2:
        return _rgb_paint(values.astype(np.float64))
    if values.dtype.kind in "biu":
        return _label_paint(values.astype(np.int64))
    if values.dtype.kind != "f":
        raise ValueError(f"colors for {item.name}: per-point values must be numbers, not {values.dtype}")
    return _Paint(scalar=values)


def _take(paint: _Paint, rows: np.ndarray) -> _Paint:
    return _Paint(single=paint.single, palette=paint.palette,
                  index=None if paint.index is None else paint.index[rows],
                  scalar=None if paint.scalar is None else paint.scalar[rows])


def _palette_scale(palette: list[str]) -> list[list[Any]]:
    last = len(palette) - 1
    return [[i / last, c] for i, c in enumerate(palette)]


def _marker_colour(paint: _Paint) -> dict[str, Any]:
    if paint.single is not None:
        return {"color": paint.single}
    if paint.scalar is not None:
        return {"color": paint.scalar.astype(np.float32), "coloraxis": "coloraxis"}
    assert paint.index is not None and paint.palette is not None
    return {"color": paint.index, "colorscale": _palette_scale(paint.palette), "cmin": 0,
            "cmax": len(paint.palette) - 1, "showscale": False}


def _mesh_colour(paint: _Paint) -> dict[str, Any]:
    if paint.single is not None:
        return {"color": paint.single}
    if paint.scalar is not None:
        return {"intensity": paint.scalar.astype(np.float32), "intensitymode": "vertex", "coloraxis": "coloraxis"}
    assert paint.index is not None and paint.palette is not None
    return {"intensity": paint.index, "intensitymode": "vertex", "colorscale": _palette_scale(paint.palette),
            "cmin": 0, "cmax": len(paint.palette) - 1, "showscale": False}


# ---- traces ------------------------------------------------------------------------------------


def _f32(a: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(a, dtype=np.float32)


def _point_size(points: np.ndarray, scene: float) -> float:
    """Pixels per point: the points' mean spacing, as if spread over a surface with the area of
    half their bounding box (exact for a flat cloud, close for a scanned object), on screen."""
    finite = points[np.isfinite(points).all(axis=1)]
    if len(finite) == 0 or scene <= 0:
        return 3.0
    ex, ey, ez = finite.max(axis=0) - finite.min(axis=0)
    area = ex * ey + ey * ez + ez * ex
    if area <= 0:  # a line: spacing along it
        area = float(max(ex, ey, ez)) ** 2 / len(finite)
    spacing = math.sqrt(area / len(finite))
    return float(np.clip(OVERLAP * spacing * VIEW_PIXELS / scene, MIN_SIZE, MAX_SIZE))


def _cube_mesh(item: _Item, shift: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Eight corners and twelve triangles per voxel."""
    assert item.voxel_index is not None and item.voxel_origin is not None
    unit = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]])
    faces = np.array([[0, 1, 2], [0, 2, 3], [4, 6, 5], [4, 7, 6], [0, 4, 5], [0, 5, 1],
                      [1, 5, 6], [1, 6, 2], [2, 6, 7], [2, 7, 3], [3, 7, 4], [3, 4, 0]])
    corners = (item.voxel_index[:, None, :] + unit[None, :, :]) * item.voxel_size + (item.voxel_origin - shift)
    triangles = faces[None, :, :] + 8 * np.arange(len(item.voxel_index))[:, None, None]
    return corners.reshape(-1, 3), triangles.reshape(-1, 3)


def _box_lines(lo: np.ndarray, hi: np.ndarray) -> np.ndarray:
    """The twelve edges of a box as one polyline with NaN breaks."""
    c = np.array([[hi[0] if (k >> 0) & 1 else lo[0], hi[1] if (k >> 1) & 1 else lo[1], hi[2] if (k >> 2) & 1 else lo[2]]
                  for k in range(8)])
    edges = [(0, 1), (1, 3), (3, 2), (2, 0), (4, 5), (5, 7), (7, 6), (6, 4), (0, 4), (1, 5), (2, 6), (3, 7)]
    gap = np.full(3, np.nan)
    return np.array([row for a, b in edges for row in (c[a], c[b], gap)])


def _traces(go: Any, item: _Item, paint: _Paint, shift: np.ndarray, size: float) -> list[Any]:
    if item.kind == "cloud":
        p = item.points - shift
        return [go.Scatter3d(x=_f32(p[:, 0]), y=_f32(p[:, 1]), z=_f32(p[:, 2]), mode="markers", name=item.name,
                             marker={"size": size, "line": {"width": 0}, **_marker_colour(paint)},
                             hoverinfo="x+y+z+name")]
    if item.kind == "mesh":
        p, t = item.points - shift, item.triangles
        assert t is not None
        return [go.Mesh3d(x=_f32(p[:, 0]), y=_f32(p[:, 1]), z=_f32(p[:, 2]),
                          i=t[:, 0].astype(np.int32), j=t[:, 1].astype(np.int32), k=t[:, 2].astype(np.int32),
                          name=item.name, showlegend=True, flatshading=False, **_mesh_colour(paint))]
    if item.kind == "box":
        p = _box_lines(item.points[0] - shift, item.points[1] - shift)
        colour = paint.single or PALETTE[0]
        return [go.Scatter3d(x=p[:, 0], y=p[:, 1], z=p[:, 2], mode="lines", name=item.name,
                             line={"color": colour, "width": 3}, connectgaps=False)]
    corners, triangles = _cube_mesh(item, shift)
    if paint.single is None and item.own_colors is not None:
        cube_paint = _rgb_paint(np.repeat(item.own_colors, 8, axis=0))
    else:
        cube_paint = _Paint(single=paint.single or PALETTE[0])
    return [go.Mesh3d(x=_f32(corners[:, 0]), y=_f32(corners[:, 1]), z=_f32(corners[:, 2]),
                      i=triangles[:, 0].astype(np.int32), j=triangles[:, 1].astype(np.int32),
                      k=triangles[:, 2].astype(np.int32), name=item.name, showlegend=True, flatshading=True,
                      **_mesh_colour(cube_paint))]


def _bounds(items: list[_Item]) -> tuple[np.ndarray, np.ndarray]:
    los, his = [], []
    for item in items:
        finite = item.points[np.isfinite(item.points).all(axis=1)]
        if len(finite):
            los.append(finite.min(axis=0))
            his.append(finite.max(axis=0))
    if not los:
        return np.zeros(3), np.zeros(3)
    return np.min(los, axis=0), np.max(his, axis=0)


def _shift_for(lo: np.ndarray, hi: np.ndarray) -> np.ndarray:
    """An offset to subtract when float32 would blur the scene: far from the origin compared with
    its size (e.g. map coordinates). Rounded to a power of ten so the axis titles stay readable."""
    centre, extent = 0.5 * (lo + hi), float((hi - lo).max())
    if float(np.abs(centre).max()) <= 100 * max(extent, 1e-300):
        return np.zeros(3)
    step = 10.0 ** math.floor(math.log10(extent)) if extent > 0 else 1.0
    return np.round(centre / step) * step


def _axis_title(axis: str, offset: float) -> str:
    if offset == 0:
        return axis
    return f"{axis} − {offset:.15g}" if offset > 0 else f"{axis} + {-offset:.15g}"


# ---- the view --------------------------------------------------------------------------------


def show(*geometries: Any, colors: Any = None, point_size: float | None = None, max_points: int | None = 300_000,
         title: str | None = None, names: Sequence[str] | None = None, colorbar: str | None = None) -> Figure:
    """An interactive 3-D view of point clouds, meshes, boxes and voxel grids.

    Parameters
    ----------
    *geometries : PointCloud, TriangleMesh, AxisAlignedBoundingBox, VoxelGrid or (n, 3) array-like
        What to draw: clouds as points, meshes as surfaces, boxes as wireframes and voxel grids as
        cubes. All share one scale on the three axes, and the first view shows all of them.
    colors : optional
        ``None`` (default): each geometry's own colours, else one colour per geometry. A colour
        (name, ``"#rrggbb"`` or an RGB triple in [0, 1]), ``"height"`` (by z, with a colour bar)
        or a per-point array applies to every geometry; a list or tuple gives one such entry per
        geometry. Per-point arrays: floats are scalars on a colour bar (e.g. a distance),
        integers are labels (one colour each; negative labels grey), (n, 3) floats are RGB.
    point_size : float, optional
        Marker size in pixels; by default from the density of the points shown.
    max_points : int or None
        Display budget for all clouds together (default 300 000; ``None``: no limit). Larger
        clouds are thinned to it, one point per occupied cell of a cubic grid, each cloud in
        proportion to its size, and the title says how many points are shown.
    title : str, optional
        Title of the page.
    names : sequence of str, optional
        Legend entries, one per geometry (default "cloud 1", "mesh 2", ...).
    colorbar : str, optional
        Title of the colour bar of per-point scalars.

    Returns
    -------
    Figure
        Renders inline in Jupyter; ``Figure.save("view.html")`` writes a page that works offline.

    Raises
    ------
    TypeError
        A geometry of a type it cannot draw (the message names the type).
    ValueError
        `colors`, `names` or `max_points` that do not fit the geometries.
    ImportError
        plotly is not installed (``pip install 'nubiro[viz]'``).
    """
    go = _plotly()
    if names is not None and len(names) != len(geometries):
        raise ValueError(f"names: {len(names)} entries for {len(geometries)} geometries")
    if max_points is not None and (isinstance(max_points, bool) or int(max_points) != max_points or max_points < 1):
        raise ValueError(f"max_points must be a positive integer or None, not {max_points!r}")
    if point_size is not None and not (point_size > 0 and math.isfinite(point_size)):
        raise ValueError(f"point_size must be a positive number, not {point_size!r}")
    items = []
    for position, g in enumerate(geometries):
        default_name = f"{_item_kind_name(g)} {position + 1}"
        items.append(_item(g, str(names[position]) if names is not None else default_name))
    paints = [_paint(request, item, k) for k, (request, item) in
              enumerate(zip(_per_geometry(colors, len(items)), items))]

    total = sum(len(item.points) for item in items if item.kind == "cloud")
    shown = total
    if max_points is not None and total > max_points:
        shown = 0
        for k, item in enumerate(items):
            if item.kind != "cloud":
                continue
            share = max(1, int(max_points * len(item.points) // total))
            rows = _thinning.thin(item.points, share)
            items[k] = _Item("cloud", item.name, item.points[rows],
                             None if item.own_colors is None else item.own_colors[rows])
            paints[k] = _take(paints[k], rows)
            shown += len(rows)

    lo, hi = _bounds(items)
    shift = _shift_for(lo, hi)
    scene_size = float(np.linalg.norm(hi - lo))
    figure = go.Figure()
    for item, paint in zip(items, paints):
        size = point_size if point_size is not None else _point_size(item.points, scene_size)
        for trace in _traces(go, item, paint, shift, size):
            figure.add_trace(trace)

    heading = title if title is not None else ""
    if shown != total:
        note = f"showing {_group(shown)} of {_group(total)} points"
        heading = f"{heading}<br><sub>{note}</sub>" if heading else note
    # One scale on all axes, and the whole scene inside the first view: explicit ranges with the
    # box's proportions (plotly's own "data" mode scales by the mean extent, so a long scene
    # would run out of the picture).
    span = float((hi - lo).max())
    pad = 0.02 * span if span > 0 else 1.0
    ranges = np.column_stack((lo - shift - pad, hi - shift + pad))
    widths = ranges[:, 1] - ranges[:, 0]
    axes = {f"{a}axis": {"title": {"text": _axis_title(a, float(s))}, "range": list(map(float, r)),
                         "autorange": False} for a, s, r in zip("xyz", shift, ranges)}
    ratio = widths / widths.max()
    # plotly's default eye frames a unit cube; move it in or out with the scene's bounding sphere.
    eye = 1.25 * float(np.linalg.norm(ratio)) / math.sqrt(3.0)
    figure.update_layout(
        title={"text": heading} if heading else None,
        scene={"aspectmode": "manual", "aspectratio": dict(zip("xyz", map(float, ratio))),
               "camera": {"eye": {"x": eye, "y": eye, "z": eye}}, **axes},
        legend={"itemsizing": "constant", "x": 0.01, "xanchor": "left", "y": 0.99, "yanchor": "top"},
        margin={"l": 0, "r": 0, "b": 0, "t": 60 if heading else 10},
        coloraxis={"colorscale": SCALAR_COLORSCALE, "colorbar": {"title": {"text": colorbar or ""}}},
        showlegend=len(items) > 1,
    )
    return Figure(figure, shown, total)


def _item_kind_name(g: Any) -> str:
    if isinstance(g, geometry.TriangleMesh):
        return "mesh"
    if isinstance(g, geometry.AxisAlignedBoundingBox):
        return "box"
    if isinstance(g, geometry.VoxelGrid):
        return "voxels"
    return "cloud"
