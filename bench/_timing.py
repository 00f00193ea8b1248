"""Shared timing helpers: best-of-N wall time and ratio lines against a peer in the same run."""
from __future__ import annotations

import json
import math
import os
import time
import timeit
from typing import Callable, NamedTuple


def best(fn: Callable[[], object], number: int = 1, repeat: int = 7) -> float:
    """Best time of one call, in seconds (the minimum is the least noisy estimate)."""
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def best_cpu(fn: Callable[[], object], repeat: int = 7) -> float:
    """Best process CPU time of one call, in seconds (load on a shared machine inflates it less
    than wall time)."""
    times = []
    for _ in range(repeat):
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return min(times)


class PairTimes(NamedTuple):
    ours: float
    peer: float
    ours_cpu: float
    peer_cpu: float


def paired_times(ours: Callable[[], object], peer: Callable[[], object], repeat: int = 9,
                 before: Callable[[], object] | None = None) -> PairTimes:
    """Best wall and process-CPU times of two calls measured alternately, so both see the same
    machine load. `before` runs untimed ahead of every call (file writes remove their outputs
    with it); each call's result is freed after the clocks stop."""
    wall, cpu = [math.inf, math.inf], [math.inf, math.inf]
    for _ in range(repeat):
        for k, fn in enumerate((ours, peer)):
            if before is not None:
                before()
            w, c = time.perf_counter(), time.process_time()
            result = fn()
            wall[k] = min(wall[k], time.perf_counter() - w)
            cpu[k] = min(cpu[k], time.process_time() - c)
            del result
    return PairTimes(wall[0], wall[1], cpu[0], cpu[1])


def paired(ours: Callable[[], object], peer: Callable[[], object], repeat: int = 9,
           before: Callable[[], object] | None = None) -> tuple[float, float]:
    """Best wall times of two calls measured alternately (see paired_times)."""
    times = paired_times(ours, peer, repeat, before)
    return times.ours, times.peer


def remover(*paths: str) -> Callable[[], None]:
    """Removes the given files if present. Writing over a file the previous round wrote makes
    the file system finish (or wait for) that earlier write first; alternating with a peer, each
    side then pays for the other's, so timed writes go to files that do not exist yet."""
    def remove() -> None:
        for path in paths:
            if os.path.exists(path):
                os.unlink(path)
    return remove


def stmt_best(stmt: str, env: dict, number: int, repeat: int = 7) -> float:
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number


def report(name: str, ours: float, peer_name: str, peer: float, target: float | None = None) -> float:
    ratio = ours / peer
    verdict = "" if target is None else ("  ok" if ratio <= target else f"  MISSES target {target}x")
    print(f"{name:<48} {ours * 1e6:12.3f} us   {peer_name:<28} {peer * 1e6:12.3f} us   ratio {ratio:6.3f}{verdict}")
    record = os.environ.get("NUBIRO_BENCH_RECORD")  # bench/summary.py collects every figure here
    if record:
        with open(record, "a") as f:
            f.write(json.dumps({"name": name, "ours": ours, "peer_name": peer_name, "peer": peer, "ratio": ratio,
                                "target": target, "threads": os.environ.get("RAYON_NUM_THREADS", "all")}) + "\n")
    return ratio
