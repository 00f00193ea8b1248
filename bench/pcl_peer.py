"""PCL peers for the benchmarks: small C++ programs in bench/pcl, built here on request.

build() configures and builds every program in bench/pcl (one .cpp each) into build/pcl.
run(name, points, *args) writes the points as raw float64 to a temporary file, runs the
program and returns the best time it reports, in seconds (run_timed also the process CPU time
for programs that print it). A new peer is one more .cpp using
bench/pcl/peer_io.hpp; nothing here needs to change.
"""
from __future__ import annotations

import subprocess
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
SOURCE = ROOT / "bench" / "pcl"
BUILD = ROOT / "build" / "pcl"


def build() -> None:
    subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release"], check=True,
                   capture_output=True)
    subprocess.run(["cmake", "--build", str(BUILD), "-j2"], check=True, capture_output=True)


def _run(name: str, points: np.ndarray, args: tuple, repeat: int) -> list[str]:
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        np.ascontiguousarray(points, dtype=np.float64).tofile(f.name)
        done = subprocess.run([str(BUILD / name), f.name, str(repeat), *map(str, args)], check=True,
                              capture_output=True, text=True)
    return done.stdout.splitlines()


def run(name: str, points: np.ndarray, *args: object, repeat: int = 3) -> tuple[float, str]:
    """Best wall time in seconds of `repeat` runs inside the program, and its result summary line."""
    lines = _run(name, points, args, repeat)
    return float(lines[0]), lines[1] if len(lines) > 1 else ""


def run_timed(name: str, points: np.ndarray, *args: object, repeat: int = 3) -> tuple[float, str, float]:
    """As run(), for programs that also report their best process CPU time (third value)."""
    wall, summary, cpu = _run(name, points, args, repeat)[:3]
    return float(wall), summary, float(cpu)
