import concurrent.futures
import json
import os

import numpy as np
import pytest

from nubiro import __main__ as cli
from nubiro import batch, pipeline
from nubiro.cpu.pybind import PanicException, geometry, io

VOXEL = 0.4


@pytest.fixture(scope="module")
def pairs(tmp_path_factory):
    """Six moved copies of the bunny (files and clouds mixed) with the motions that take each
    copy back onto the scan."""
    rng = np.random.default_rng(11)
    mesh = io.read_triangle_mesh(cli.bundled_bunny())
    d = tmp_path_factory.mktemp("batch")
    scan = geometry.PointCloud()
    scan.points = cli.sample_surface(mesh, 8_000, rng)
    io.write_point_cloud(str(d / "scan.ply"), scan)
    items, truths = [], []
    for i in range(6):
        moved = geometry.PointCloud()
        moved.points = cli.sample_surface(mesh, 8_000, rng)
        motion = np.eye(4)
        motion[:3, :3] = geometry.get_rotation_matrix_from_xyz(rng.uniform(-1.0, 1.0, 3))
        motion[:3, 3] = rng.uniform(-3, 3, 3)
        moved.transform(motion)
        truths.append(np.linalg.inv(motion))
        if i % 2:
            items.append((moved, scan))
        else:
            io.write_point_cloud(str(d / f"moved{i}.xyz"), moved)
            items.append((str(d / f"moved{i}.xyz"), str(d / "scan.ply")))
    return items, truths, d


def transformations(results):
    return [r.transformation.tobytes() for r in results]


@pytest.fixture(scope="module")
def serial(pairs):
    return batch.register_pairs(pairs[0], voxel_size=VOXEL, seed=3)


def test_serial_results_give_the_known_motions(pairs, serial):
    items, truths, _ = pairs
    assert [r.index for r in serial] == list(range(len(items)))
    for r, truth in zip(serial, truths):
        assert r.ok and r.fitness > 0.9
        assert pipeline.rotation_error_degrees(r.transformation, truth) < 1.0
        assert np.linalg.norm(r.transformation[:3, 3] - truth[:3, 3]) < 0.1


@pytest.mark.parametrize("pool_class", [concurrent.futures.ProcessPoolExecutor, concurrent.futures.ThreadPoolExecutor])
def test_executors_give_identical_bytes(pairs, serial, pool_class):
    # Threads share the process's one random engine: pairs running side by side must not mix
    # their draws.
    with pool_class(3) as pool:
        done = batch.register_pairs(pairs[0], voxel_size=VOXEL, seed=3, executor=pool)
    assert transformations(done) == transformations(serial)
    assert [r.fitness for r in done] == [r.fitness for r in serial]


def test_dask_cluster_gives_identical_bytes(pairs, serial):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        done = batch.register_pairs(pairs[0], voxel_size=VOXEL, seed=3, executor=client)
    assert transformations(done) == transformations(serial)


def test_failed_pairs_keep_the_others(pairs, serial, tmp_path):
    items = list(pairs[0][:2])
    (tmp_path / "empty.xyz").write_text("")
    items.insert(1, (str(tmp_path / "missing.ply"), items[0][1]))
    items.append((str(tmp_path / "empty.xyz"), items[0][1]))
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        done = batch.register_pairs(items, voxel_size=VOXEL, seed=3, executor=pool)
    assert [r.ok for r in done] == [True, False, True, False]
    assert "missing.ply" in done[1].error and "empty.xyz" in done[3].error
    # Pair seeds follow positions: the good pairs moved to positions 0 and 2 here.
    assert done[0].transformation.tobytes() == serial[0].transformation.tobytes()


def _die(*args):
    os._exit(3)


class DyingExecutor(concurrent.futures.ProcessPoolExecutor):
    """Runs the second task in a worker that dies at once."""

    def __init__(self):
        super().__init__(1)
        self.count = 0

    def submit(self, fn, *args, **kwargs):
        self.count += 1
        if self.count == 2:
            return concurrent.futures.ProcessPoolExecutor(1).submit(_die)
        return super().submit(fn, *args, **kwargs)


def test_a_dying_worker_fails_only_its_pair(pairs, serial):
    with DyingExecutor() as pool:
        done = batch.register_pairs(pairs[0][:3], voxel_size=VOXEL, seed=3, executor=pool)
    assert [r.ok for r in done] == [True, False, True]
    assert "BrokenProcessPool" in done[1].error
    assert transformations([done[0], done[2]]) == transformations([serial[0], serial[2]])


@pytest.mark.parametrize("executor", [None, "threads"])
def test_a_panicking_pair_fails_only_itself(pairs, serial, monkeypatch, executor):
    # PanicException is a BaseException: it must still become that pair's error.
    real = pipeline.register

    def register(source, target, voxel_size, *, seed, **kwargs):
        if seed == batch.pair_seed(3, 1):
            raise PanicException("internal fault")
        return real(source, target, voxel_size, seed=seed, **kwargs)
    monkeypatch.setattr(pipeline, "register", register)
    items = pairs[0][:3]
    if executor is None:
        done = batch.register_pairs(items, voxel_size=VOXEL, seed=3)
    else:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            done = batch.register_pairs(items, voxel_size=VOXEL, seed=3, executor=pool)
    assert [r.ok for r in done] == [True, False, True]
    assert done[1].error == "PanicException: internal fault"
    assert transformations([done[0], done[2]]) == transformations([serial[0], serial[2]])


def test_a_panic_escaping_a_worker_fails_only_its_pair(pairs, monkeypatch):
    def register_one(index, *args):
        raise PanicException("worker fault")
    monkeypatch.setattr(batch, "register_one", register_one)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        done = batch.register_pairs(pairs[0][:2], voxel_size=VOXEL, executor=pool)
    assert [r.error for r in done] == ["PanicException: worker fault"] * 2


def test_unwritable_out_fails_before_any_worker_starts(pairs, tmp_path, monkeypatch, capsys):
    csv = tmp_path / "pairs.csv"
    csv.write_text(f"{pairs[0][0][0]},{pairs[0][0][1]}\n")
    started = []
    monkeypatch.setattr(batch, "_executor", lambda args: started.append(args))
    out = tmp_path / "no-such-dir" / "results.jsonl"
    assert cli.main(["batch", str(csv), "--voxel-size", str(VOXEL), "--workers", "2", "--out", str(out)]) == 2
    err = capsys.readouterr().err
    assert f"cannot write {out}" in err and "Traceback" not in err
    assert started == []


def test_batch_command_writes_json_lines(pairs, serial, tmp_path, capsys):
    items, _, d = pairs
    csv = tmp_path / "pairs.csv"
    files = [p for p in items if isinstance(p[0], str)]
    csv.write_text("source,target\n" + "".join(f"{s},{t}\n" for s, t in files) + f"{d / 'nope.ply'},{files[0][1]}\n")
    out = tmp_path / "results.jsonl"
    assert cli.main(["batch", str(csv), "--voxel-size", str(VOXEL), "--seed", "3", "--out", str(out)]) == 1
    lines = [json.loads(l) for l in out.read_text().splitlines()]
    register_keys = {"ok", "reason", "transformation", "fitness", "inlier_rmse", "correspondences", "voxel_size",
                     "seconds"}
    assert [set(l) for l in lines] == [{"source", "target"} | register_keys] * 4
    assert [l["ok"] for l in lines] == [True, True, True, False]
    assert "nope.ply" in lines[3]["reason"]
    assert np.array(lines[0]["transformation"]).tobytes() == serial[0].transformation.tobytes()
    assert capsys.readouterr().err.count("pair ") == 4


def test_generalized_icp_with_a_kernel(pairs):
    items, truths, _ = pairs
    results = batch.register_pairs(items[:2], voxel_size=VOXEL, seed=3, icp="gicp", kernel="cauchy")
    for r, truth in zip(results, truths):
        assert r.ok and r.fitness > 0.9
        assert pipeline.rotation_error_degrees(r.transformation, truth) < 1.0


def test_bad_arguments():
    with pytest.raises(ValueError, match="voxel_size"):
        batch.register_pairs([], voxel_size=0)
    with pytest.raises(ValueError, match="icp"):
        batch.register_pairs([], voxel_size=1, icp="plane")
    with pytest.raises(ValueError, match="kernel scale must be a positive number"):
        batch.register_pairs([], voxel_size=1, kernel=("tukey", -2.0))
    assert batch.register_pairs([], voxel_size=1) == []
