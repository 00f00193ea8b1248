"""nubiro's command line: ``python -m nubiro [demo | register | info | batch]``.

Without a command it runs the demo: the bundled bunny scan and a moved, noisy, cropped copy of
it are registered back (down-sampling, normals, FPFH, RANSAC, point-to-plane ICP), and the
recovered motion is compared with the known one; then the scan is written as PCD and LAZ and
read back.

Exit codes: 0 success, 1 unreadable, empty or unregistrable input, 2 usage errors.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from importlib import resources
from typing import Any, Sized

import numpy as np

import nubiro
from nubiro import _commands, _progress, align, formats, pipeline
from nubiro.cpu.pybind import geometry, io

PROG = "python -m nubiro"


def bundled_bunny() -> str:
    return str(resources.files("nubiro") / "data" / "bunny.ply")


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, not {text}")
    return value


KERNEL_HELP = ("robust kernel of the ICP step: huber, tukey, cauchy or geman-mcclure, with an optional scale "
               "(default: a third of the correspondence distance)")


def kernel_arg(text: str) -> str | tuple[str, float]:
    try:
        return align.parse_kernel(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def stderr_progress(stage: str, seconds: float) -> None:
    print(f"  {stage:<34} {seconds * 1e3:9.1f} ms", file=sys.stderr)


def stderr_note(text: str) -> None:
    print(f"  {text}", file=sys.stderr)


def print_matrix(t: np.ndarray) -> None:
    for row in np.asarray(t):
        print("  " + " ".join(f"{v:12.8f}" for v in row))


# ---- demo ------------------------------------------------------------------------------------


def sample_surface(mesh: geometry.TriangleMesh, n: int, rng: np.random.Generator) -> np.ndarray:
    """n points uniformly (area-weighted) on a triangle mesh."""
    v, f = np.asarray(mesh.vertices), np.asarray(mesh.triangles)
    a, b, c = v[f[:, 0]], v[f[:, 1]], v[f[:, 2]]
    area = 0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1)
    tri = rng.choice(len(f), size=n, p=area / area.sum())
    s, r = np.sqrt(rng.random(n)), rng.random(n)
    w = np.column_stack((1 - s, s * (1 - r), s * r))
    return w[:, :1] * a[tri] + w[:, 1:2] * b[tri] + w[:, 2:] * c[tri]


def demo(args: argparse.Namespace) -> int:
    rng = np.random.default_rng(7)
    start = time.perf_counter()
    mesh = io.read_triangle_mesh(bundled_bunny())
    scan = sample_surface(mesh, 40_000, rng)
    extent = float(np.linalg.norm(scan.max(0) - scan.min(0)))
    # The moved copy: an independent sampling, cropped (a slab cut off one side), noisy, and
    # moved by a known rigid motion.
    other = sample_surface(mesh, 40_000, rng)
    other = other[other[:, 0] < np.quantile(other[:, 0], 0.85)]
    other += rng.normal(scale=0.002 * extent, size=other.shape)
    motion = np.eye(4)
    motion[:3, :3] = geometry.get_rotation_matrix_from_xyz(np.radians([30.0, -20.0, 45.0]))
    motion[:3, 3] = np.array([0.3, -0.2, 0.5]) * extent
    target, source = geometry.PointCloud(), geometry.PointCloud()
    target.points = scan
    source.points = other
    source.transform(motion)
    print(f"nubiro {nubiro.__version__} demo: register a moved, cropped, noisy copy of the bunny scan back onto it")
    print(f"  {'data (sample, crop, noise, move)':<34} {(time.perf_counter() - start) * 1e3:9.1f} ms   "
          f"target {len(scan)} points, source {len(other)} points, motion 30/-20/45 degrees")

    def progress(stage: str, seconds: float) -> None:
        print(f"  {stage:<34} {seconds * 1e3:9.1f} ms")

    result = pipeline.register(source, target, None, seed=args.seed, progress=progress)
    truth = np.linalg.inv(motion)
    rotation_error = pipeline.rotation_error_degrees(result.transformation, truth)
    translation_error = float(np.linalg.norm(result.transformation[:3, 3] - truth[:3, 3]))
    print(f"  {'total':<34} {result.seconds * 1e3:9.1f} ms   voxel size {result.voxel_size:g} "
          f"(1/40 of the extent)")
    print(f"rotation error {rotation_error:.4f} degrees, translation error {translation_error:.6f} "
          f"({100 * translation_error / extent:.4f} % of the extent)")
    print(f"fitness {result.fitness:.6f}, inlier RMSE {result.inlier_rmse:.6f}, "
          f"{result.correspondences} correspondences")
    format_round_trips(target)
    if args.plot:
        from nubiro import _plot
        _plot.before_after(args.plot, source, target, result.transformation, result.fitness, result.inlier_rmse)
        print(f"plot written to {args.plot}")
    return 0


def format_round_trips(cloud: geometry.PointCloud) -> None:
    """Writes `cloud` as compressed PCD and, with the las extra, as LAZ in a temporary folder and
    reads each file back: one line per format."""
    import importlib.util
    import tempfile
    print("files: the target written and read back with nubiro.write / nubiro.read")
    points = np.asarray(cloud.points)
    trips: list[tuple[str, str, dict[str, Any]]] = [
        ("PCD binary_compressed, float64", "target.pcd", {"encoding": "binary_compressed", "precision": "double"})]
    if importlib.util.find_spec("laspy") is not None:
        trips.append(("LAZ, scale 0.0001", "target.laz", {}))
    with tempfile.TemporaryDirectory() as folder:
        for label, name, options in trips:
            path = os.path.join(folder, name)
            start = time.perf_counter()
            nubiro.write(path, cloud, **options)
            back = nubiro.read(path)
            seconds = time.perf_counter() - start
            change = float(np.abs(np.asarray(back.points) - points).max())
            print(f"  {label:<34} {seconds * 1e3:9.1f} ms   {len(back.points)} points in "
                  f"{os.path.getsize(path) / 1e6:.2f} MB, largest coordinate change {change:.2g}")
    if len(trips) == 1:
        print(f"  {'LAZ':<34} {'':>12}   skipped: needs laspy (pip install 'nubiro[las]')")


# ---- register --------------------------------------------------------------------------------


def register(args: argparse.Namespace) -> int:
    source, target = (pipeline.read_cloud(p, args.format, progress=not args.quiet) for p in (args.source, args.target))
    voxel = args.voxel_size
    if voxel is None:
        voxel = pipeline.default_voxel_size(source, target)
        if not args.quiet:
            print(f"voxel size {voxel:g} (1/40 of the clouds' extent; set it with --voxel-size)", file=sys.stderr)
    if not args.quiet:
        print(f"registering {args.source} ({len(source.points)} points) onto {args.target} "
              f"({len(target.points)} points)", file=sys.stderr)
    try:
        result = pipeline.register(source, target, voxel, icp=args.icp, seed=args.seed,
                                   progress=None if args.quiet else stderr_progress, kernel=args.kernel,
                                   min_fitness=args.min_fitness, max_rmse=args.max_rmse,
                                   notes=None if args.quiet else stderr_note)
    except pipeline.RegistrationError as e:
        if args.json:
            print(json.dumps({"ok": False, "reason": str(e), "transformation": None}))
        raise pipeline.InputError(f"cannot register {args.source} onto {args.target}: {e}") from None
    if args.json:
        print(json.dumps(result.as_json()))
    else:
        print("transformation (moves SOURCE onto TARGET):")
        print_matrix(result.transformation)
        print(f"fitness {result.fitness:.6f}")
        print(f"inlier RMSE {result.inlier_rmse:.6f}")
    if args.plot:
        from nubiro import _plot
        _plot.before_after(args.plot, source, target, result.transformation, result.fitness, result.inlier_rmse)
        print(f"plot written to {args.plot}", file=sys.stderr)
    if args.html:
        from nubiro._show_registration import before_after
        before_after(source, target, result.transformation, source_name=os.path.basename(args.source),
                     target_name=os.path.basename(args.target)).save(args.html)
        print(f"before/after view written to {args.html}", file=sys.stderr)
    if not result.ok:
        print(f"{PROG}: {args.source} was not registered onto {args.target}: {result.reason}", file=sys.stderr)
        return 1
    return 0


# ---- info ------------------------------------------------------------------------------------


def info(args: argparse.Namespace) -> int:
    path = args.file
    if not os.path.exists(path):
        raise pipeline.InputError(f"{path}: no such file")
    geom: geometry.TriangleMesh | geometry.PointCloud
    arrays: dict[str, Sized]
    details: dict = {}
    fields: dict = {}
    if args.format in (None, "ply") and io.read_file_geometry_type(path) == io.FileGeometry.CONTAINS_TRIANGLES:
        mesh = io.read_triangle_mesh(path)
        if not mesh.has_vertices():
            raise pipeline.InputError(f"{path}: could not read a mesh from it")
        arrays = {"vertices": mesh.vertices, "triangles": mesh.triangles, "vertex_normals": mesh.vertex_normals,
                  "vertex_colors": mesh.vertex_colors, "triangle_normals": mesh.triangle_normals}
        print(f"{path}: TriangleMesh, {len(mesh.vertices)} vertices, {len(mesh.triangles)} triangles")
        geom = mesh
    else:
        cloud, fields, details = pipeline.read_file(path, args.format, remove_non_finite=False, progress=not args.quiet)
        arrays = {"points": cloud.points, "normals": cloud.normals, "colors": cloud.colors}
        finite = int(np.isfinite(np.asarray(cloud.points)).all(axis=1).sum())
        dropped = f" ({len(cloud.points) - finite} of them NaN or infinite)" if finite < len(cloud.points) else ""
        print(f"{path}: PointCloud, {len(cloud.points)} points{dropped}")
        geom = cloud
    lo, hi = geom.get_min_bound(), geom.get_max_bound()
    print(f"  bounds  min ({lo[0]:.6g}, {lo[1]:.6g}, {lo[2]:.6g})  max ({hi[0]:.6g}, {hi[1]:.6g}, {hi[2]:.6g})")
    print("  attributes: " + ", ".join(f"{name} ({len(a)})" for name, a in arrays.items() if len(a)))
    span = float(np.linalg.norm(hi - lo))
    if math.isfinite(span) and span > 0:
        voxel = float(f"{span / 40:.2g}")
        print(f"  extent {span:.6g} (bounding-box diagonal); register would use voxel size {voxel:g}")
    if details.get("format") not in (None, "pcd") and fields:  # PCD lists its fields with their types
        print("  fields: " + ", ".join(f"{name} ({a.dtype}{'x%d' % a.shape[1] if a.ndim > 1 else ''})"
                                       for name, a in fields.items()))
    for line in formats.detail_lines(details):
        print("  " + line)
    return 0


# ---- batch -----------------------------------------------------------------------------------


def batch(args: argparse.Namespace) -> int:
    from nubiro import batch as batch_module
    return batch_module.main(args)


# ---- argument parsing ------------------------------------------------------------------------


def share(text: str) -> float:
    value = positive_float(text)
    if value > 1:
        raise argparse.ArgumentTypeError(f"must be at most 1, not {text}")
    return value


def add_judgement_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--min-fitness", type=share, default=pipeline.MIN_FITNESS, metavar="F",
                   help="least share of source points within the ICP distance of the target for a pair to count as "
                        f"registered (default {pipeline.MIN_FITNESS})")
    p.add_argument("--max-rmse", type=share, default=pipeline.MAX_RMSE, metavar="R",
                   help="largest inlier RMSE, as a share of the ICP correspondence distance (0.4 x voxel size), "
                        f"for a pair to count as registered (default {pipeline.MAX_RMSE})")
    p.add_argument("--quiet", "-q", action="store_true", help="no progress on standard error")



def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog=PROG, description="Point-cloud registration at native speed. "
                                  "Without a command: the registration demo on the bundled bunny scan.")
    top.add_argument("--version", action="version", version=f"nubiro {nubiro.__version__}")
    top.add_argument("--seed", type=int, default=0, help="random seed of the demo's RANSAC (default 0)")
    top.add_argument("--plot", metavar="FILE.png", help="draw before/after views (needs the 'viz' extra)")
    extra = _commands.load()
    names = ["demo", "register", "info", "batch"] + [m.NAME for m in extra]
    commands = top.add_subparsers(dest="command", metavar="{" + ",".join(names) + "}")

    # A sub-command's --seed and --plot leave the top-level value in place unless given, so
    # either flag works before or after the command name (the later one wins).
    d = commands.add_parser("demo", help="register a moved copy of the bundled bunny back onto it")
    d.add_argument("--seed", type=int, default=argparse.SUPPRESS, help="random seed of RANSAC (default 0)")
    d.add_argument("--plot", metavar="FILE.png", default=argparse.SUPPRESS,
                   help="draw before/after views (needs the 'viz' extra)")

    r = commands.add_parser("register", help="global then local registration of two point-cloud files")
    r.add_argument("source", help="point-cloud file to move (any format nubiro reads)")
    r.add_argument("target", help="point-cloud file to move onto")
    pipeline.add_format_argument(r)
    r.add_argument("--voxel-size", type=positive_float, help="down-sampling voxel size (default: from the extent)")
    r.add_argument("--icp", choices=pipeline.ICP_METHODS, default="point-to-plane", help="ICP variant")
    r.add_argument("--kernel", type=kernel_arg, metavar="NAME[:SCALE]", help=KERNEL_HELP)
    r.add_argument("--seed", type=int, default=argparse.SUPPRESS, help="random seed of RANSAC (default 0)")
    r.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    r.add_argument("--plot", metavar="FILE.png", default=argparse.SUPPRESS,
                   help="draw before/after views (needs the 'viz' extra)")
    r.add_argument("--html", metavar="FILE.html", help="write an interactive before/after view (needs the 'viz' extra)")
    add_judgement_arguments(r)

    i = commands.add_parser("info", help="what a point-cloud or mesh file holds, with its format's own details")
    i.add_argument("file")
    pipeline.add_format_argument(i)
    i.add_argument("--quiet", "-q", action="store_true", help="no progress bar on standard error while reading")

    b = commands.add_parser("batch", help="register many pairs listed in a CSV file (source,target per line)")
    b.add_argument("pairs", help="CSV file: one 'source,target' pair of paths per line")
    b.add_argument("--voxel-size", type=positive_float,
                   help="down-sampling voxel size (default: 1/40 of each pair's extent, as register)")
    b.add_argument("--icp", choices=pipeline.ICP_METHODS, default="point-to-plane", help="ICP variant")
    b.add_argument("--kernel", type=kernel_arg, metavar="NAME[:SCALE]", help=KERNEL_HELP)
    b.add_argument("--seed", type=int, default=argparse.SUPPRESS, help="base random seed (default 0)")
    b.add_argument("--scheduler", metavar="ADDRESS", help="Dask scheduler address (needs the 'distributed' extra)")
    b.add_argument("--workers", type=int, default=0, help="local worker processes when no scheduler is given")
    b.add_argument("--out", metavar="results.jsonl", help="write the JSON lines here instead of standard output")
    pipeline.add_format_argument(b)
    add_judgement_arguments(b)

    for module in extra:
        module.add_arguments(commands.add_parser(module.NAME, help=module.HELP))
    return top


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if hasattr(args, "check"):  # a command's checks across options (usage errors, exit 2)
        args.check(args)
    if getattr(args, "plot", None):
        from nubiro import _plot
        if not _plot.available():
            print(f"{PROG}: --plot needs matplotlib: pip install 'nubiro[viz]'", file=sys.stderr)
            return 2
        if problem := _plot.unwritable(args.plot):
            print(f"{PROG}: --plot {args.plot}: {problem}", file=sys.stderr)
            return 2
    if getattr(args, "html", None):
        from nubiro import _paths, _show
        if not _show.available():
            print(f"{PROG}: --html needs plotly: pip install 'nubiro[viz]'", file=sys.stderr)
            return 2
        if problem := _paths.folder_problem(args.html):
            print(f"{PROG}: --html {args.html}: {problem}", file=sys.stderr)
            return 2
    run = {None: demo, "demo": demo, "register": register, "info": info, "batch": batch,
           **{m.NAME: m.run for m in _commands.load()}}[args.command]
    try:
        with _progress.on_stderr(not getattr(args, "quiet", False)):
            code = run(args)
            sys.stdout.flush()  # a reader that went away shows here, not at the interpreter's exit
            return code
    except BrokenPipeError:
        # Whoever read the output stopped early (`| head`): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except (pipeline.InputError, pipeline.RegistrationError) as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    raise SystemExit(main())
