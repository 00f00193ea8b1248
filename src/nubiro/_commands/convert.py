"""``convert IN OUT``: a point-cloud file in any format nubiro reads, written in any format it
writes, optionally down-sampled on the way. Per-point fields (intensity, classification, ...)
travel along when both formats hold them and the points are not down-sampled."""
from __future__ import annotations

import argparse
import sys
from functools import partial

from nubiro import formats, pipeline

NAME = "convert"
HELP = "convert a point-cloud file to another format (PLY, XYZ family, PCD, LAS/LAZ), optionally down-sampled"

# Writer options offered as flags: (flag, option name, the formats that take it).
WRITER_FLAGS = (("encoding", "encoding", ("pcd",)), ("precision", "precision", ("pcd",)),
                ("ascii", "ascii", ("ply",)), ("scale", "scale", ("las", "laz")))


def add_arguments(parser: argparse.ArgumentParser) -> None:
    from nubiro.__main__ import positive_float
    parser.add_argument("input", metavar="IN", help="point-cloud file to read")
    parser.add_argument("output", metavar="OUT", help="file to write; its extension names the format")
    pipeline.add_format_argument(parser)
    parser.add_argument("--to", choices=formats.FORMATS, type=str.lower, metavar="NAME",
                        help="write this format whatever OUT's extension")
    parser.add_argument("--voxel-size", type=positive_float, help="down-sample to one point per voxel of this size")
    parser.add_argument("--encoding", choices=("binary", "binary_compressed", "ascii"),
                        help="PCD body encoding (default binary)")
    parser.add_argument("--precision", choices=("float", "double"),
                        help="PCD value type: float (F4, default) or double (F8, exact float64)")
    parser.add_argument("--ascii", action="store_true", default=None, help="PLY as text instead of binary")
    parser.add_argument("--scale", type=positive_float, help="LAS/LAZ coordinate resolution (default 0.0001)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar while reading large files")
    parser.set_defaults(check=partial(check_arguments, parser))


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors (exit 2): an output format that cannot be told, a flag for another format."""
    try:
        out = formats.format_of(args.output, args.to, force="--to")
    except formats.FormatError as e:
        parser.error(str(e))
    if out == "e57":
        parser.error("E57 is read, not written: choose another output format")
    for flag, _, takes in WRITER_FLAGS:
        if getattr(args, flag) is not None and out not in takes:
            parser.error(f"--{flag} applies to {'/'.join(t.upper() for t in takes)} output, not {out.upper()}")


def run(args: argparse.Namespace) -> int:
    cloud, fields, _ = pipeline.read_file(args.input, args.format, progress=not args.quiet)
    if not cloud.has_points():
        raise pipeline.InputError(f"{args.input}: no points could be read (the file holds none that are finite)")
    read_points = len(cloud.points)
    out = formats.format_of(args.output, args.to)
    if args.voxel_size is not None:
        cloud = cloud.voxel_down_sample(args.voxel_size)
        fields = {}  # one point per voxel: per-point values have nothing to follow
    if out not in formats.FIELD_WRITERS:
        fields = {}
    options = {name: getattr(args, flag) for flag, name, _ in WRITER_FLAGS if getattr(args, flag) is not None}
    try:
        formats.write(args.output, cloud, format=args.to, fields=fields or None, **options)
    except formats.FormatError as e:
        raise pipeline.InputError(str(e)) from None
    except (OSError, ImportError) as e:
        raise pipeline.InputError(f"{args.output}: cannot be written: {getattr(e, 'strerror', None) or e}") from None
    kept = f", fields {', '.join(fields)}" if fields else ""
    print(f"{args.input} ({read_points} points) -> {args.output} ({formats.TITLES[out]}, {len(cloud.points)} points"
          f"{kept})", file=sys.stderr)
    return 0
