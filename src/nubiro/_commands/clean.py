"""``clean IN OUT``: the usual preparation of a scan, in this order: voxel down-sampling,
statistical outlier removal, then peeling off the largest planes (a floor, a table top); the
remaining points are written to OUT. Each step runs only when asked for."""
from __future__ import annotations

import argparse
import math
import os
import sys
from functools import partial
from typing import Callable

from nubiro import filters, formats, pipeline, segmentation
from nubiro.cpu.pybind import geometry

NAME = "clean"
HELP = "down-sample, remove stray points and cut out planes, then write the rest"


def outlier_spec(text: str) -> tuple[int, float]:
    """'k,ratio' as in '--outliers 20,2.0'."""
    parts = text.split(",")
    if len(parts) != 2:
        raise argparse.ArgumentTypeError(f"expected k,ratio such as 20,2.0, not {text!r}")
    try:
        k, ratio = int(parts[0]), float(parts[1])
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected an integer k and a number ratio, not {text!r}") from None
    if k < 1:
        raise argparse.ArgumentTypeError(f"k must be at least 1, not {k}")
    if not (ratio > 0 and math.isfinite(ratio)):
        raise argparse.ArgumentTypeError(f"ratio must be a positive number, not {parts[1]}")
    return k, ratio


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    from nubiro.__main__ import positive_float
    parser.add_argument("input", metavar="IN", help="point-cloud file to clean")
    parser.add_argument("output", metavar="OUT", help="where to write the cleaned cloud (.ply, .pcd, .las, .xyz, ...)")
    pipeline.add_format_argument(parser)
    parser.add_argument("--voxel-size", type=positive_float, metavar="V", help="down-sample to this voxel size first")
    parser.add_argument("--outliers", type=outlier_spec, metavar="K,RATIO",
                        help="remove points whose mean distance to their K nearest neighbours exceeds the "
                             "cloud's mean by more than RATIO standard deviations (e.g. 20,2.0)")
    parser.add_argument("--remove-planes", type=positive_int, metavar="N",
                        help="cut out the N largest planes (needs --plane-distance)")
    parser.add_argument("--plane-distance", type=positive_float, metavar="D",
                        help="a point within D of a plane belongs to it")
    parser.add_argument("--seed", type=int, default=argparse.SUPPRESS, help="random seed of the plane search (default 0)")
    parser.add_argument("--quiet", action="store_true", help="print nothing on success")
    parser.set_defaults(check=partial(check_arguments, parser))


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors that argparse cannot see one option at a time."""
    if (args.remove_planes is None) != (args.plane_distance is None):
        parser.error("--remove-planes and --plane-distance go together")


def writable_target(path: str) -> None:
    """Fail before any work when OUT cannot be written."""
    try:
        formats.format_of(path)
    except formats.FormatError as e:
        raise pipeline.InputError(str(e)) from None
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise pipeline.InputError(f"{path}: the folder {folder} does not exist")
    if os.path.isdir(path) or not os.access(folder, os.W_OK) or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise pipeline.InputError(f"{path}: cannot write here")


def run(args: argparse.Namespace) -> int:
    writable_target(args.output)
    cloud = pipeline.read_cloud(args.input, args.format, progress=not args.quiet)
    def say(line: str) -> None:
        if not args.quiet:
            print(line, file=sys.stderr)

    say(f"{args.input}: {len(cloud.points)} points")

    if args.voxel_size is not None:
        cloud = cloud.voxel_down_sample(args.voxel_size)
        say(f"  voxel size {args.voxel_size:g}: {len(cloud.points)} points")
    if args.outliers is not None:
        k, ratio = args.outliers
        cloud, _ = filters.remove_statistical_outliers(cloud, k, ratio)
        say(f"  outliers (k {k}, ratio {ratio:g}): {len(cloud.points)} points kept")
    if args.remove_planes is not None:
        cloud = remove_planes(cloud, args.remove_planes, args.plane_distance, getattr(args, "seed", 0), say)

    if not cloud.has_points():
        raise pipeline.InputError(f"{args.input}: no points left after cleaning")
    write(args.output, cloud)
    say(f"{args.output}: {len(cloud.points)} points written")
    return 0


def remove_planes(cloud: geometry.PointCloud, count: int, distance: float, seed: int,
                  say: Callable[[str], None]) -> geometry.PointCloud:
    if len(cloud.points) < 3:
        say("  no planes: fewer than three points")
        return cloud
    try:
        planes, rest = segmentation.segment_planes(cloud, distance, count, seed=seed % 2**32)
    except ValueError as e:  # no plane at all (collinear or too few finite points)
        say(f"  no planes: {e}")
        return cloud
    for number, plane in enumerate(planes, 1):
        a, b, c, d = plane.model
        say(f"  plane {number}: {len(plane.inliers)} points, {a:+.4f} x {b:+.4f} y {c:+.4f} z {d:+.4f} = 0, "
            f"RMSE {plane.rmse:.4g}")
    return filters.select(cloud, rest) if planes else cloud


def write(path: str, cloud: geometry.PointCloud) -> None:
    try:
        formats.write(path, cloud)
    except formats.FormatError as e:  # its message names the file
        raise pipeline.InputError(str(e)) from None
    except (OSError, ValueError) as e:
        raise pipeline.InputError(f"{path}: {e}") from None
