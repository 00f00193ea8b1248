"""Runs every benchmark and prints one Markdown table of its figures (ours, the peer, the ratio,
the target), for the README's performance section.

    python bench/summary.py [--targets] [bench_io.py bench_kdtree.py ...] > /tmp/table.md

With --targets only the figures that have a target are listed (the README's table).

Each benchmark prints its own lines as well (to standard error here); its `report` calls are
collected through NUBIRO_BENCH_RECORD.
"""
from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main(args: list[str]) -> int:
    targets_only = "--targets" in args
    names = [a for a in args if a != "--targets"]
    scripts = [HERE / n for n in names] if names else sorted(HERE.glob("bench_*.py"))
    with tempfile.TemporaryDirectory() as tmp:
        record = Path(tmp) / "figures.jsonl"
        record.touch()
        for script in scripts:
            print(f"running {script.name} ...", file=sys.stderr)
            done = subprocess.run([sys.executable, str(script)], cwd=HERE, stdout=sys.stderr,
                                  env=dict(os.environ, NUBIRO_BENCH_RECORD=str(record)))
            if done.returncode:
                print(f"{script.name} failed with exit code {done.returncode}", file=sys.stderr)
        rows = [json.loads(line) for line in record.read_text().splitlines()]
    if targets_only:
        rows = [r for r in rows if r["target"] is not None]
    print(f"Machine: {platform.machine()}, {os.cpu_count()} logical CPUs, Python {platform.python_version()}; "
          "ratio = our time / the peer's time in the same run (lower is better).\n")
    print("| Operation | Threads | Ours | Peer | Peer time | Ratio | Target |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        target = "" if r["target"] is None else f"≤ {r['target']}x"
        print(f"| {r['name']} | {r['threads']} | {fmt(r['ours'])} | {r['peer_name']} | {fmt(r['peer'])} | "
              f"{r['ratio']:.2f} | {target} |")
    return 0


def fmt(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} µs"


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
