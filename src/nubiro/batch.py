"""Registration of many cloud pairs on any executor: serially, on a
`concurrent.futures.Executor`, or on a Dask `distributed.Client`.

Each pair runs the pipeline of ``python -m nubiro register`` (`nubiro.pipeline.register`) with
the random engine seeded from the base seed and the pair's position in the input, so a pair's
result is the same bits wherever and in whatever order it runs. Results come back in input
order; a pair that fails (a missing or empty file, clouds with nothing in common, a worker that
died) carries its error and the other pairs keep their results. A pair whose fitness or inlier
RMSE misses the thresholds of `nubiro.pipeline.judge` keeps its transformation but is not `ok`,
with the reason.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import csv
import hashlib
import importlib
import json
import os
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Sequence

import numpy as np

from . import _paths, align, pipeline
from .cpu.pybind import PanicException, geometry
from .cpu.pybind.pipelines import registration as reg

@dataclass
class PairResult:
    index: int
    source: str
    target: str
    transformation: np.ndarray | None = None
    fitness: float = 0.0
    inlier_rmse: float = 0.0
    error: str | None = None  # the pair could not be run through the pipeline
    stages: dict[str, float] = field(default_factory=dict)
    information: np.ndarray | None = None
    reason: str | None = None  # it ran, but the judgement says the clouds were not registered
    correspondences: int = 0
    voxel_size: float | None = None
    seconds: float = 0.0

    @property
    def ok(self) -> bool:
        return self.error is None and self.reason is None

    def as_json(self) -> dict[str, Any]:
        """The object ``register --json`` prints, with the pair's paths in front."""
        out = {"source": self.source, "target": self.target, "ok": self.ok, "reason": self.error or self.reason,
               "transformation": None if self.transformation is None else self.transformation.tolist(),
               "fitness": self.fitness, "inlier_rmse": self.inlier_rmse, "correspondences": self.correspondences,
               "voxel_size": self.voxel_size, "seconds": self.seconds}
        if self.information is not None:
            out["information"] = self.information.tolist()
        return out


def pair_seed(seed: int, index: int) -> int:
    """The engine seed of pair `index`: a hash of the base seed and the position, so pairs draw
    independent samples and every pair's draws are fixed by its position alone."""
    digest = hashlib.blake2b(f"{seed}:{index}".encode(), digest_size=4).digest()
    return int.from_bytes(digest, "little") & 0x7FFFFFFF


def _label(item: Any) -> str:
    if isinstance(item, geometry.PointCloud):
        return f"<PointCloud with {len(item.points)} points>"
    return os.fspath(item)


def _load(item: Any, format: str | None = None) -> geometry.PointCloud:
    return item if isinstance(item, geometry.PointCloud) else pipeline.read_cloud(os.fspath(item), format)


def register_one(index: int, source: Any, target: Any, voxel_size: float | None, icp: str, seed: int,
                 kernel: Any = None, information: bool = False, format: str | None = None,
                 min_fitness: float = pipeline.MIN_FITNESS, max_rmse: float = pipeline.MAX_RMSE) -> PairResult:
    """One pair's registration; errors are returned in the result, not raised. A voxel size of
    None is chosen from the pair's extent, as ``register`` does. With `information`, the result
    carries the 6x6 information matrix of the found motion, from the clouds down-sampled to the
    voxel size with pairs matched within 1.5 voxels."""
    result = PairResult(index, _label(source), _label(target))
    try:
        source, target = _load(source, format), _load(target, format)
        done = pipeline.register(source, target, voxel_size, icp=icp, seed=pair_seed(seed, index), kernel=kernel,
                                 min_fitness=min_fitness, max_rmse=max_rmse)
        voxel = done.voxel_size
        if information:
            result.information = np.asarray(reg.get_information_matrix_from_point_clouds(
                source.voxel_down_sample(voxel), target.voxel_down_sample(voxel), 1.5 * voxel,
                done.transformation))
    except (pipeline.InputError, pipeline.RegistrationError, ValueError, RuntimeError, PanicException) as e:
        result.error = str(e) if isinstance(e, Exception) else f"{type(e).__name__}: {e}"
        return result
    result.transformation, result.fitness, result.inlier_rmse = done.transformation, done.fitness, done.inlier_rmse
    result.stages, result.reason, result.correspondences = done.stages, done.reason, done.correspondences
    result.voxel_size, result.seconds = done.voxel_size, done.seconds
    return result


def _is_dask(obj: Any) -> bool:
    """A Dask client or one of its futures."""
    return type(obj).__module__.split(".")[0] == "distributed"


def register_pairs(pairs: Iterable[tuple[Any, Any]], *, voxel_size: float | None = None, icp: str = "point-to-plane",
                   seed: int = 0, executor: Any = None, progress: Callable[[PairResult], None] | None = None,
                   kernel: Any = None, information: bool = False, format: str | None = None,
                   min_fitness: float = pipeline.MIN_FITNESS, max_rmse: float = pipeline.MAX_RMSE) -> list[PairResult]:
    """Registers each (source, target) pair (file paths or `PointCloud`s) and returns one
    `PairResult` per pair, in input order. `executor` is None (serial), a
    `concurrent.futures.Executor` or a Dask `distributed.Client`; `progress` is called with each
    result as it finishes. `kernel` is a robust kernel for the ICP step, as
    `nubiro.pipeline.register` takes it. With `information`, each result carries the information
    matrix of its motion (see `register_one`). `format` reads every file as that format instead of
    by its extension. `voxel_size` None chooses one per pair from its extent; `min_fitness` and
    `max_rmse` are the thresholds of `nubiro.pipeline.judge`."""
    pairs = list(pairs)
    if icp not in pipeline.ICP_METHODS:
        raise ValueError(f"icp must be one of {', '.join(pipeline.ICP_METHODS)}, not {icp!r}")
    if isinstance(kernel, str):
        kernel = align.parse_kernel(kernel)
    align.check_kernel(kernel)
    if voxel_size is not None and not voxel_size > 0:
        raise ValueError(f"voxel_size must be positive, not {voxel_size}")
    results: list[PairResult | None] = [None] * len(pairs)

    def finish(result: PairResult) -> None:
        results[result.index] = result
        if progress:
            progress(result)

    if executor is None:
        for i, (source, target) in enumerate(pairs):
            finish(register_one(i, source, target, voxel_size, icp, seed, kernel, information, format, min_fitness,
                                max_rmse))
        return results  # type: ignore[return-value]

    dask = _is_dask(executor)
    scattered: dict[int, Any] = {}

    def shipped(item: Any) -> Any:
        """On Dask, a cloud used by several pairs travels to the cluster once."""
        if not (dask and isinstance(item, geometry.PointCloud)):
            return item
        if id(item) not in scattered:
            scattered[id(item)] = executor.scatter(item, hash=False)
        return scattered[id(item)]

    futures = {}
    for i, (source, target) in enumerate(pairs):
        kwargs = {"pure": False} if dask else {}  # Dask would merge equal-looking tasks
        futures[executor.submit(register_one, i, shipped(source), shipped(target), voxel_size, icp, seed, kernel,
                                information, format, min_fitness, max_rmse, **kwargs)] = i
    if dask:
        distributed = importlib.import_module("distributed")  # optional extra
        finished: Iterable[Any] = distributed.as_completed(list(futures))
    else:
        finished = concurrent.futures.as_completed(futures)
    for future in finished:
        i = futures[future]
        try:
            finish(future.result())
        except (Exception, PanicException) as e:  # the worker died or the task could not run
            source, target = pairs[i]
            finish(PairResult(i, _label(source), _label(target), error=f"{type(e).__name__}: {e}"))
    return results  # type: ignore[return-value]


# ---- python -m nubiro batch --------------------------------------------------------------------


def read_pairs(path: str) -> list[tuple[str, str]]:
    """'source,target' rows; blank lines, '#' comments and a 'source,target' header are skipped.
    Relative paths are taken from the CSV file's directory."""
    base = os.path.dirname(os.path.abspath(path))
    pairs = []
    with open(path, newline="") as f:
        for row in csv.reader(f):
            cells = [c.strip() for c in row]
            if not cells or not cells[0] or cells[0].startswith("#") or cells[:2] == ["source", "target"]:
                continue
            if len(cells) != 2:
                raise ValueError(f"{path}: expected 'source,target' per line, got {','.join(row)!r}")
            pairs.append((os.path.join(base, cells[0]), os.path.join(base, cells[1])))
    return pairs


def _executor(args: argparse.Namespace) -> Any:
    if args.scheduler:
        try:
            distributed = importlib.import_module("distributed")
        except ImportError:
            raise SystemExit("python -m nubiro: --scheduler needs Dask: pip install 'nubiro[distributed]'") from None
        return distributed.Client(args.scheduler)
    if args.workers > 0:
        return concurrent.futures.ProcessPoolExecutor(args.workers)
    return None


def main(args: argparse.Namespace) -> int:
    # A path that cannot be written stops here, before the pairs file is read or any worker starts.
    if args.out and (problem := _paths.folder_problem(args.out)):
        print(f"python -m nubiro: cannot write {args.out}: {problem}", file=sys.stderr)
        return 2
    try:
        pairs = read_pairs(args.pairs)
    except (OSError, ValueError, UnicodeDecodeError) as e:
        print(f"python -m nubiro: cannot read the pairs file {args.pairs}: {e}", file=sys.stderr)
        return 1
    if not pairs:
        print(f"python -m nubiro: {args.pairs} lists no pairs (one 'source,target' line per pair, paths relative "
              f"to the file)", file=sys.stderr)
        return 1
    # The output opens before any worker starts: a path that cannot be written stops here.
    try:
        out = open(args.out, "w") if args.out else sys.stdout
    except OSError as e:
        print(f"python -m nubiro: cannot write {args.out}: {e.strerror or e}", file=sys.stderr)
        return 2

    def progress(r: PairResult) -> None:
        if getattr(args, "quiet", False):
            return
        status = f"fitness {r.fitness:.4f}" if r.ok else f"not registered: {r.error or r.reason}"
        print(f"pair {r.index + 1}/{len(pairs)} {r.source} -> {r.target}: {status}", file=sys.stderr)

    executor = None
    try:
        executor = _executor(args)
        results = register_pairs(pairs, voxel_size=args.voxel_size, icp=args.icp, seed=args.seed, executor=executor,
                                 progress=progress, kernel=getattr(args, "kernel", None),
                                 format=getattr(args, "format", None), min_fitness=args.min_fitness,
                                 max_rmse=args.max_rmse)
        for r in results:
            out.write(json.dumps(r.as_json()) + "\n")
    finally:
        if out is not sys.stdout:
            out.close()
        if isinstance(executor, concurrent.futures.Executor):
            executor.shutdown()
        elif executor is not None:  # a Dask client: disconnect, leave the scheduler running
            executor.close()
    return 0 if all(r.ok for r in results) else 1


__all__: Sequence[str] = ["PairResult", "register_pairs", "register_one", "pair_seed", "read_pairs"]
