"""``distance A B``: how far the points of cloud A lie from cloud B (after a registration, say):
per point of A the distance to its nearest point of B, summarised as mean, RMS, median, 95th
percentile and maximum, with the symmetric Hausdorff and Chamfer distances."""
from __future__ import annotations

import argparse
import json
import os
import sys

import numpy as np

from nubiro import measure, pipeline

NAME = "distance"
HELP = "distances from the points of one cloud to the nearest points of another"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("a", metavar="A", help="point-cloud file whose points are measured")
    parser.add_argument("b", metavar="B", help="point-cloud file they are measured against")
    pipeline.add_format_argument(parser)
    parser.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    parser.add_argument("--quiet", "-q", action="store_true", help="no progress on standard error")
    parser.add_argument("--plot", metavar="HIST.png", default=argparse.SUPPRESS,
                        help="draw a histogram of the distances (needs the 'viz' extra)")


def run(args: argparse.Namespace) -> int:
    plot = getattr(args, "plot", None)
    if plot is not None and not os.path.isdir(os.path.dirname(os.path.abspath(plot))):
        raise pipeline.InputError(f"{plot}: the folder {os.path.dirname(os.path.abspath(plot))} does not exist")
    a, b = (pipeline.read_cloud(p, args.format, progress=not args.quiet) for p in (args.a, args.b))
    ab = measure.nearest_distances(a, b)
    stats = measure.summarise(ab, measure.nearest_distances(b, a))
    report = {"a": args.a, "b": args.b, "points": stats.count, "mean": stats.mean, "rms": stats.rms,
              "median": float(np.median(ab)), "p95": float(np.percentile(ab, 95)), "max": stats.max,
              "hausdorff": stats.hausdorff, "chamfer": stats.chamfer}
    if args.json:
        print(json.dumps(report))
    else:
        print(f"distance from {args.a} ({len(a.points)} points) to {args.b} ({len(b.points)} points)")
        for key, label in (("mean", "mean"), ("rms", "RMS"), ("median", "median"), ("p95", "95th percentile"),
                           ("max", "maximum"), ("hausdorff", "Hausdorff (both ways)"),
                           ("chamfer", "Chamfer (sum of both means)")):
            print(f"  {label:<25} {report[key]:.6g}")
    if plot is not None:
        from nubiro import _plot
        _plot.distance_histogram(plot, ab, f"{os.path.basename(args.a)} to {os.path.basename(args.b)}")
        print(f"histogram written to {plot}", file=sys.stderr)
    return 0
