"""``view FILE...``: an interactive 3-D view of point-cloud files, written as one HTML page that
works offline, and opened in the default browser when there is a display."""
from __future__ import annotations

import argparse
import os
import sys
import tempfile
import webbrowser
from typing import Any

import numpy as np

from nubiro import pipeline

NAME = "view"
HELP = "an interactive 3-D view of point-cloud files (an HTML page; needs the 'viz' extra)"

# --color-by values with a fixed meaning; any other value names a per-point field of the files.
AXES = {"x": 0, "y": 1, "z": 2, "height": 2}
COLOR_BY = ("file", "rgb", "height", "x", "y", "z", "distance")
DEFAULT_PAGE = "view.html"  # where the page goes when there is no display to open it on


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="point-cloud files to show together")
    pipeline.add_format_argument(parser)
    parser.add_argument("--out", metavar="view.html",
                        help="write the page here instead of opening it in the browser")
    parser.add_argument("--color-by", metavar="WHAT",
                        help="file (one colour per file), rgb (the files' own colours), height, x, y, z, "
                             "distance (to the nearest point of the other files: where registered scans "
                             "disagree), or a per-point field of the files such as label or intensity "
                             "(default: own colours where the file has them, else one per file)")
    parser.add_argument("--max-points", type=positive_int, default=300_000,
                        help="show at most this many points; larger clouds are thinned evenly (default 300000)")
    parser.add_argument("--title", help="title of the page (default: the file names)")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress on standard error")


def has_display() -> bool:
    if sys.platform in ("darwin", "win32"):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def _field(path: str, name: str, count: int) -> np.ndarray:
    """The per-point field `name` of the file, from the reader that keeps extra fields."""
    import nubiro
    reader = getattr(nubiro, "read", None)
    if reader is None:
        raise pipeline.InputError(f"{path}: cannot colour by {name!r}: this nubiro reads no per-point fields "
                                  f"(use one of {', '.join(COLOR_BY)})")
    try:
        _, fields = reader(path, fields=True)
    except (OSError, ValueError, RuntimeError) as e:
        raise pipeline.InputError(f"{path}: {e}") from None
    if name not in fields:
        have = ", ".join(sorted(fields)) or "none"
        raise pipeline.InputError(f"{path}: no per-point field {name!r} (fields: {have})")
    values = np.asarray(fields[name])
    if values.ndim != 1 or len(values) != count:
        raise pipeline.InputError(f"{path}: field {name!r} is not one value per point")
    return values


def _distances_to_the_others(clouds: list[Any]) -> list[np.ndarray]:
    """Per cloud, the distance from each of its points to the nearest point of the other clouds."""
    from nubiro import measure
    from nubiro.cpu.pybind import geometry
    if len(clouds) < 2:
        raise pipeline.InputError("--color-by distance needs two files or more (each is coloured by its "
                                  "distance to the others)")
    out = []
    for k, cloud in enumerate(clouds):
        others = geometry.PointCloud()
        others.points = np.concatenate([np.asarray(c.points) for j, c in enumerate(clouds) if j != k])
        out.append(measure.nearest_distances(cloud, others))
    return out


def _colours(color_by: str | None, paths: list[str], clouds: list[Any]) -> Any:
    from nubiro._show import PALETTE
    if color_by is None:
        return None
    if color_by == "file":
        return [PALETTE[k % len(PALETTE)] for k in range(len(clouds))]
    if color_by == "rgb":
        return [None if c.has_colors() else PALETTE[k % len(PALETTE)] for k, c in enumerate(clouds)]
    if color_by in AXES:
        return [np.asarray(c.points)[:, AXES[color_by]] for c in clouds]
    if color_by == "distance":
        return _distances_to_the_others(clouds)
    return [_field(path, color_by, len(c.points)) for path, c in zip(paths, clouds)]


def run(args: argparse.Namespace) -> int:
    from nubiro import _show
    if not _show.available():
        print("python -m nubiro: view needs plotly: pip install 'nubiro[viz]'", file=sys.stderr)
        return 2
    clouds = [pipeline.read_cloud(path, args.format, progress=not args.quiet) for path in args.files]
    names = [os.path.basename(p) for p in args.files]
    figure = _show.show(*clouds, colors=_colours(args.color_by, args.files, clouds), max_points=args.max_points,
                        names=names, title=args.title if args.title is not None else ", ".join(names),
                        colorbar=args.color_by if args.color_by not in (None, "file", "rgb") else None)
    out = args.out
    browse = out is None and has_display()
    if out is None and browse:
        handle, out = tempfile.mkstemp(prefix="nubiro-view-", suffix=".html")
        os.close(handle)
    elif out is None:
        out = DEFAULT_PAGE
    try:
        figure.save(out)
    except OSError as e:
        raise pipeline.InputError(str(e)) from None
    print(f"showing {figure.shown_points} of {figure.total_points} points; page written to {out}", file=sys.stderr)
    if browse:
        webbrowser.open("file://" + os.path.abspath(out))
    return 0
