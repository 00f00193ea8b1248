"""``merge SCAN... --voxel-size V``: registers many scans into the frame of the first one (pairs of
consecutive scans, loop closures, pose-graph optimisation) and writes them as one cloud."""
from __future__ import annotations

import argparse
import concurrent.futures
import json
import math
import os
import sys
from functools import partial

from nubiro import batch, formats, pipeline

NAME = "merge"
HELP = "register many scans into one frame with a pose graph and write them as one cloud"


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


def fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, not {text}")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    from nubiro.multiway import LOOP_CLOSURES
    parser.add_argument("scans", nargs="+", metavar="SCAN", help="point-cloud files, in the order they were taken")
    parser.add_argument("--voxel-size", type=positive_float, required=True, help="down-sampling voxel size")
    pipeline.add_format_argument(parser)
    parser.add_argument("--out", metavar="merged.ply", default="merged.ply",
                        help="where the merged cloud goes, in the format of its extension (default merged.ply)")
    parser.add_argument("--poses", metavar="poses.json", help="write each scan's pose and the edges kept and rejected")
    parser.add_argument("--loop-closure", choices=LOOP_CLOSURES, default="overlap",
                        help="which other pairs to register besides consecutive ones: those that overlap after "
                             "odometry (default), all, or none")
    parser.add_argument("--min-fitness", type=fraction, default=0.3, metavar="F",
                        help="a pair must match at least this share of its source scan's points (default 0.3)")
    parser.add_argument("--seed", type=int, default=argparse.SUPPRESS, help="base random seed (default 0)")
    parser.add_argument("--plot", metavar="FILE.png", default=argparse.SUPPRESS,
                        help="draw the scan positions before and after the optimisation (needs the 'viz' extra)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler address (needs the 'distributed' extra)")
    parser.add_argument("--workers", type=int, default=0, help="local worker processes when no scheduler is given")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress on standard error (each pair's report included)")
    parser.set_defaults(check=partial(check_arguments, parser))


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors (exit 2), found before any registration starts: an output format that
    cannot be written."""
    try:
        out = formats.format_of(args.out)
    except formats.FormatError:
        out = None
    if out in (None, "e57"):
        writable = " ".join(ext for ext, name in formats.EXTENSIONS.items() if name != "e57")
        parser.error(f"--out {args.out}: the extension names no format nubiro writes ({writable})")


def _writable(path: str, what: str) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path) or not os.path.isdir(folder) or not os.access(folder, os.W_OK) \
            or (os.path.exists(path) and not os.access(path, os.W_OK)):
        raise pipeline.InputError(f"cannot write the {what} to {path}")


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" + ("" if n == 1 else "s")


def run(args: argparse.Namespace) -> int:
    from nubiro import multiway
    # Outputs that cannot be written stop the command before any registration starts.
    _writable(args.out, "merged cloud")
    if args.poses:
        _writable(args.poses, "poses")
    if args.plot:
        _writable(args.plot, "plot")
    if args.workers < 0:
        raise pipeline.InputError(f"--workers must be 0 or more, not {args.workers}")

    executor = batch._executor(args)
    try:
        result = multiway.register_scans(args.scans, voxel_size=args.voxel_size, loop_closure=args.loop_closure,
                                         executor=executor, seed=args.seed, min_fitness=args.min_fitness,
                                         progress=None if args.quiet else lambda line: print(line, file=sys.stderr),
                                         format=args.format)
    finally:
        if isinstance(executor, concurrent.futures.Executor):
            executor.shutdown()
        elif executor is not None:  # a Dask client: disconnect, leave the scheduler running
            executor.close()

    placed = [k for k, pose in enumerate(result.poses) if pose is not None]
    if not placed:
        raise pipeline.InputError("none of the scans could be read")
    merged = result.merge()
    try:
        formats.write(args.out, merged)
    except (OSError, formats.FormatError) as error:
        why = getattr(error, "strerror", None) or error
        raise pipeline.InputError(f"cannot write the merged cloud to {args.out}: {why}") from None
    if args.poses:
        with open(args.poses, "w") as f:
            json.dump(result.as_json(), f, indent=1)
    if args.plot:
        from nubiro import _plot
        _plot.trajectory(args.plot, result.initial, result.poses, result.graph.edges, result.rejected)

    kept = result.kept
    closures = sum(e.loop_closure for e in kept)
    print(f"{len(placed)} of {len(result.poses)} scans registered into the frame of {result.labels[placed[0]]}")
    print(f"edges kept: {len(kept) - closures} odometry, {_count(closures, 'loop closure')}; "
          f"rejected: {_count(len(result.rejected), 'loop closure')}")
    for e in result.rejected:
        print(f"  rejected: {result.labels[e.source]} -> {result.labels[e.target]}")
    for k, why in sorted(result.failed.items()):
        print(f"  not registered: {result.labels[k]}: {why}")
    print(f"{len(merged.points)} points written to {args.out}" + (f"; poses to {args.poses}" if args.poses else "")
          + (f"; plot to {args.plot}" if args.plot else ""))
    return 0 if not result.failed else 1
