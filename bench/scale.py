"""How time and peak memory grow with the cloud's size, for KD-tree build, voxel down-sampling,
normal estimation, one point-to-plane ICP iteration and binary PLY read and write, next to the
peers that do the same job (pykdtree and small_gicp, NumPy's raw file functions), on points
sampled on the bunny's surface.

    python bench/scale.py                 # 10^5 and 10^6 points (about a minute)
    python bench/scale.py --big           # also 10^7 and 3 x 10^7 (needs ~12 GB of memory)
    python bench/scale.py --sizes 1e5 3e6 --plot docs/scale.png --table /tmp/scale.md
    python bench/scale.py --big --ops "ICP iteration (point-to-plane)"

Every (operation, size) runs in a fresh interpreter: the call runs once on 64 points (so the
library's code it runs is paged in, which would otherwise count as resident memory), the inputs
are built, the kernel's peak-RSS mark is reset (/proc/self/clear_refs), the operation runs once for the memory figure
(peak minus the resident size before it: the call's extra peak, result included), then its time
is the best of a few repeats. "Held" is the size of the data the call works on (the cloud's
arrays; for a write the cloud, for a read the cloud it produces). Costs should grow no faster
than n log n (the "per n log n" column stays flat) and the extra peak stay within 1.5x the data
held.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

# One operation, run in a child: build inputs, reset the peak mark, run once, time repeats.
CHILD = r"""
import json, os, sys, tempfile, time
import numpy as np
sys.path.insert(0, {here!r})
from data import bunny_points
from nubiro.cpu.pybind import geometry, io
from nubiro.cpu.pybind.pipelines import registration as reg

op, who, n, repeat = {op!r}, {who!r}, {n}, {repeat}

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024

tmp = tempfile.mkdtemp(prefix="nubiro-scale-")
ply = os.path.join(tmp, "cloud.ply")
ROW = np.dtype([("p", "<f8", 3), ("n", "<f8", 3), ("c", "u1", 3)])


def setup(n):
    # The call to measure on n points, and the bytes of data it works on.
    pts = bunny_points(n, seed=1)
    rng = np.random.default_rng(2)
    cloud = geometry.PointCloud()
    cloud.points = pts
    held = pts.nbytes

    if op == "kdtree build":
        if who == "ours":
            run = lambda: geometry.KDTreeFlann(cloud)
        else:
            from pykdtree.kdtree import KDTree
            run = lambda: KDTree(pts)
    elif op == "voxel down-sampling (1 %)":
        size = 0.175  # the same cells at every size (about 1 % of 10^6 points)
        if who == "ours":
            run = lambda: cloud.voxel_down_sample(size)
        else:
            import small_gicp
            run = lambda: small_gicp.voxelgrid_sampling(pts, size, num_threads=os.cpu_count())
    elif op == "normals (knn 30)":
        if who == "ours":
            param = geometry.KDTreeSearchParamKNN(30)
            run = lambda: cloud.estimate_normals(param)
        else:
            import small_gicp
            run = lambda: small_gicp.estimate_normals(small_gicp.PointCloud(pts), num_neighbors=30,
                                                      num_threads=os.cpu_count())
        held = 2 * pts.nbytes
    elif op == "ICP iteration (point-to-plane)":
        # A pair 2 mm apart; the call's time (target tree included) over the iterations it made: 5
        # for ours (thresholds 0), as many as the peer reports for it.
        source_pts = pts + 0.002
        if who == "ours":
            cloud.estimate_normals(geometry.KDTreeSearchParamKNN(20))
            source = geometry.PointCloud()
            source.points = source_pts
            criteria = reg.ICPConvergenceCriteria(0.0, 0.0, 5)
            method = reg.TransformationEstimationPointToPlane()
            run = lambda: reg.registration_icp(source, cloud, 0.02, np.eye(4), method, criteria)
        else:
            import small_gicp
            target, source = small_gicp.PointCloud(pts), small_gicp.PointCloud(source_pts)
            tree = small_gicp.KdTree(target, num_threads=os.cpu_count())
            small_gicp.estimate_normals(target, tree, num_threads=os.cpu_count())
            run = lambda: (small_gicp.KdTree(target, num_threads=os.cpu_count()),
                           small_gicp.align(target, source, tree, registration_type="PLANE_ICP",
                                            max_correspondence_distance=0.02, num_threads=os.cpu_count(),
                                            max_iterations=5))[1]
        held = 3 * pts.nbytes
    elif op in ("PLY write (binary)", "PLY read (binary)"):
        cloud.normals = rng.normal(size=(n, 3))
        cloud.colors = rng.random((n, 3))
        held = 3 * pts.nbytes
        assert io.write_point_cloud(ply, cloud)
        with open(ply, "rb") as f:
            body = f.read(4096).index(b"end_header\n") + len(b"end_header\n")
        if who != "ours":
            rows = np.fromfile(ply, dtype=ROW, offset=body)
            del cloud
        if op == "PLY write (binary)":
            out = os.path.join(tmp, "out.ply")
            run = (lambda: io.write_point_cloud(out, cloud)) if who == "ours" else (lambda: rows.tofile(out))
        else:
            run = (lambda: io.read_point_cloud(ply)) if who == "ours" else (lambda: np.fromfile(ply, dtype=ROW, offset=body))
    return run, held


# A first call pages in the code it runs (hundreds of KiB of the library, counted in the
# resident size); a call on a few points does that before the figures are taken.
setup(64)[0]()
run, held = setup(n)

with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
result = run()
peak = status("VmHWM:") - before
del result
times = []
for _ in range(repeat):
    t = time.perf_counter()
    run()
    times.append(time.perf_counter() - t)
for name in os.listdir(tmp):
    os.remove(os.path.join(tmp, name))
os.rmdir(tmp)
iterations = 1
if op.startswith("ICP"):
    iterations = 5 if who == "ours" else max(run().iterations, 1)
seconds = min(times) / iterations
print(json.dumps({{"seconds": seconds, "peak": peak, "held": held}}))
"""

OPS = {
    "kdtree build": "pykdtree",
    "voxel down-sampling (1 %)": "small_gicp",
    "normals (knn 30)": "small_gicp",
    "ICP iteration (point-to-plane)": "small_gicp",
    "PLY write (binary)": "ndarray.tofile",
    "PLY read (binary)": "numpy.fromfile",
}


def measure(op: str, who: str, n: int, repeat: int) -> dict | None:
    code = CHILD.format(here=str(HERE), op=op, who=who, n=n, repeat=repeat)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if done.returncode:
        print(f"  {op} / {who} at {n}: failed ({done.stderr.strip().splitlines()[-1:]})", file=sys.stderr)
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--big", action="store_true", help="add 10^7 and 3 x 10^7 points")
    parser.add_argument("--sizes", nargs="+", type=float, help="point counts (overrides the defaults)")
    parser.add_argument("--plot", default=None, help="write the log-log plot here (PNG)")
    parser.add_argument("--table", default=None, help="write the Markdown table here")
    parser.add_argument("--ops", nargs="+", choices=list(OPS), metavar="OP",
                        help="only these operations (names as in the table)")
    args = parser.parse_args(argv)
    sizes = [int(s) for s in args.sizes] if args.sizes else [10**5, 10**6] + ([10**7, 3 * 10**7] if args.big else [])

    rows = []
    for n in sizes:
        repeat = 3 if n <= 10**6 else 1
        for op, peer in OPS.items():
            if args.ops and op not in args.ops:
                continue
            ours = measure(op, "ours", n, repeat)
            theirs = measure(op, "peer", n, repeat)
            if not ours:
                continue
            row = {"op": op, "n": n, "ours": ours["seconds"], "peak": ours["peak"], "held": ours["held"],
                   "peer_name": peer, "peer": theirs["seconds"] if theirs else None}
            rows.append(row)
            ratio = f"{row['ours'] / row['peer']:.2f}x {peer}" if row["peer"] else "peer failed"
            print(f"{op:<32} n={n:>9,}  {row['ours'] * 1e3:10.1f} ms  ({ratio})  "
                  f"extra peak {row['peak'] / row['held']:.2f}x held", file=sys.stderr, flush=True)

    table = render(rows)
    print(table)
    if args.table:
        Path(args.table).write_text(table)
    if args.plot:
        plot(rows, args.plot)
    return 0


def render(rows: list[dict]) -> str:
    cpus = os.cpu_count()
    lines = [f"{cpus} logical CPUs, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}; "
             "time: best of 3 (1 above 10^6); per n log n: time / (n log2 n) in ns, relative to the "
             "smallest size; extra peak: the call's peak memory beyond what was resident before, "
             "result included, over the data held.", "",
             "| Operation | Points | Ours | Peer | Ratio | Per n log n (rel.) | Extra peak / held |",
             "|---|---|---|---|---|---|---|"]
    first: dict[str, float] = {}
    for r in rows:
        per = r["ours"] / (r["n"] * math.log2(r["n"]))
        first.setdefault(r["op"], per)
        peer = f"{r['peer_name']} {fmt(r['peer'])}" if r["peer"] else "-"
        ratio = f"{r['ours'] / r['peer']:.2f}" if r["peer"] else "-"
        lines.append(f"| {r['op']} | {r['n']:,} | {fmt(r['ours'])} | {peer} | {ratio} | "
                     f"{per / first[r['op']]:.2f} | {r['peak'] / r['held']:.2f} |")
    return "\n".join(lines) + "\n"


def fmt(seconds: float) -> str:
    return f"{seconds:.2f} s" if seconds >= 1 else f"{seconds * 1e3:.1f} ms"


def plot(rows: list[dict], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5.5))
    for i, op in enumerate(OPS):
        mine = [r for r in rows if r["op"] == op]
        if not mine:
            continue
        colour = f"C{i}"
        ax.loglog([r["n"] for r in mine], [r["ours"] for r in mine], "o-", color=colour, label=op)
        theirs = [r for r in mine if r["peer"]]
        ax.loglog([r["n"] for r in theirs], [r["peer"] for r in theirs], "x--", color=colour, alpha=0.6,
                  label=f"  {OPS[op]}")
    ns = sorted({r["n"] for r in rows})
    if len(ns) > 1:
        base = min(r["ours"] for r in rows if r["n"] == ns[0])
        ax.loglog(ns, [base * n * math.log2(n) / (ns[0] * math.log2(ns[0])) for n in ns], ":", color="grey",
                  label="n log n")
    ax.set_xlabel("points")
    ax.set_ylabel("seconds (best run)")
    ax.set_title("Time against cloud size (solid: ours, dashed: the peer)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=90)


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
