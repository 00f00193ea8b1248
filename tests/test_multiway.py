import concurrent.futures
import json
import math

import numpy as np
import pytest
from support import cloud, partial_views

import nubiro
from nubiro import __main__ as cli
from nubiro import _se3, multiway, pipeline
from nubiro.cpu.pybind import io

VOXEL = 0.4  # about 1/40 of the bunny's extent


@pytest.fixture(scope="module")
def views():
    return partial_views(noise=0.001)


@pytest.fixture(scope="module")
def registered(views):
    return multiway.register_scans(views[0], voxel_size=VOXEL)


def assert_near_truth(poses, truths, extent, indices=None):
    """Each pose within 0.5 degrees and 0.5 % of the extent of the truth (relative to scan 0)."""
    for k in indices if indices is not None else range(len(truths)):
        assert pipeline.rotation_error_degrees(poses[k], truths[k]) < 0.5, k
        assert np.linalg.norm(poses[k][:3, 3] - truths[k][:3, 3]) < 0.005 * extent, k


def test_twelve_views_land_on_their_true_poses(views, registered):
    _, truths, extent = views
    assert registered.failed == {}
    np.testing.assert_array_equal(registered.poses[0], np.eye(4))
    assert_near_truth(registered.poses, truths, extent)
    kept = registered.kept
    assert sum(not e.loop_closure for e in kept) == 11 and sum(e.loop_closure for e in kept) >= 6
    # Views half a turn apart share little: the overlap test leaves them out.
    assert all(min(abs(e.source - e.target), 12 - abs(e.source - e.target)) <= 4 for e in registered.graph.edges)


def test_a_wrong_loop_closure_is_pruned(views, registered):
    _, truths, extent = views
    graph = registered.graph.copy()
    graph.poses = [p.copy() for p in registered.initial]  # start again from the odometry alone
    right = np.linalg.inv(truths[2]) @ truths[8]
    turned = _se3.exp(np.array([[0.0, 0.7, 0.0, 0.0, 0.0, 0.0]]))[0]  # 40 degrees about the up axis
    wrong = graph.add_edge(8, 2, turned @ right, graph.edges[0].information, loop_closure=True)
    result = graph.optimize(max_correspondence_distance=1.5 * VOXEL)
    assert any(e is wrong for e in result.rejected)
    assert_near_truth(result.poses, truths, extent)


def test_merge_puts_every_scan_in_the_first_frame(views, registered):
    clouds, truths, _ = views
    merged = registered.merge()
    sizes = [len(c.points) for c in clouds]
    assert len(merged.points) == sum(sizes)
    start = sum(sizes[:5])
    block = np.asarray(merged.points)[start:start + sizes[5]]
    pose = registered.poses[5]
    np.testing.assert_array_equal(block, np.asarray(cloud(np.asarray(clouds[5].points)).transform(pose).points))
    assert np.asarray(clouds[5].points).tobytes() != block.tobytes()  # the input clouds stay where they were
    thinned = registered.merge(voxel_size=1.0)
    assert 0 < len(thinned.points) < len(merged.points) / 5
    with pytest.raises(ValueError, match="voxel_size"):
        registered.merge(voxel_size=0)


@pytest.fixture(scope="module")
def few(views):
    """Five neighbouring views and their registration here, serially."""
    clouds = views[0][:5]
    return clouds, multiway.register_scans(clouds, voxel_size=VOXEL, seed=4)


def poses_bytes(result):
    return [p.tobytes() for p in result.poses]


def test_identical_poses_on_a_process_pool(few):
    clouds, serial = few
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        pooled = multiway.register_scans(clouds, voxel_size=VOXEL, seed=4, executor=pool)
    assert poses_bytes(pooled) == poses_bytes(serial)
    assert [(e.source, e.target) for e in pooled.rejected] == [(e.source, e.target) for e in serial.rejected]


def test_identical_poses_on_a_dask_cluster(few):
    distributed = pytest.importorskip("distributed")
    clouds, serial = few
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        done = multiway.register_scans(clouds, voxel_size=VOXEL, seed=4, executor=client)
    assert poses_bytes(done) == poses_bytes(serial)


@pytest.mark.parametrize("mode, proposed", [("none", []), ("all", [(2, 0), (3, 0), (3, 1)])])
def test_loop_closure_modes(views, mode, proposed):
    clouds, truths, extent = views
    result = multiway.register_scans(clouds[:4], voxel_size=VOXEL, loop_closure=mode)
    assert result.loop_closure_scans == proposed and len(result.loop_closures) == len(proposed)
    assert result.odometry_scans == [(1, 0), (2, 1), (3, 2)]
    assert_near_truth(result.poses, truths[:4], extent)
    if mode == "none":  # nothing to reconcile: the optimum is the chained odometry
        np.testing.assert_allclose(np.array(result.poses), np.array(result.initial), atol=1e-9)


def test_unreadable_and_unregistrable_scans_leave_the_others_registered(views, tmp_path):
    clouds, truths, extent = views
    for k in range(3):
        io.write_point_cloud(str(tmp_path / f"view{k}.ply"), clouds[k])
    junk = cloud(np.random.default_rng(3).uniform(100, 101, (200, 3)))  # far away, nothing in common
    scans = [str(tmp_path / "view0.ply"), str(tmp_path / "gone.ply"), str(tmp_path / "view1.ply"), junk,
             str(tmp_path / "view2.ply")]
    lines = []
    result = multiway.register_scans(scans, voxel_size=VOXEL, progress=lines.append)
    assert sorted(result.failed) == [1, 3]
    assert "no such file" in result.failed[1] and "not joined to the other scans" in result.failed[3]
    assert result.poses[1] is None and result.poses[3] is None
    placed = [result.poses[0], result.poses[2], result.poses[4]]
    assert_near_truth(placed, truths[:3], extent)
    assert any("gone.ply" in line for line in lines) and any("odometry" in line for line in lines)
    assert len(result.merge().points) == sum(len(c.points) for c in clouds[:3])


@pytest.mark.parametrize("scans, kwargs, error, message", [
    ([], {}, ValueError, "scans is empty"),
    ("scan.ply", {}, TypeError, "sequence of paths"),
    ([1.5], {}, TypeError, r"scans\[0\] must be a path or a PointCloud"),
    (["a.ply"], {"voxel_size": 0.0}, ValueError, "voxel_size must be a positive number"),
    (["a.ply"], {"voxel_size": math.nan}, ValueError, "voxel_size must be a positive number"),
    (["a.ply"], {"loop_closure": "nearby"}, ValueError, "loop_closure must be one of overlap, all, none"),
    (["a.ply"], {"icp": "plane"}, ValueError, "icp must be one of"),
    (["a.ply"], {"min_fitness": 1.5}, ValueError, "min_fitness must be a number from 0 to 1"),
    (["a.ply"], {"format": "obj"}, ValueError, "unknown format 'obj'"),
])
def test_bad_arguments_fail_before_any_work(scans, kwargs, error, message):
    with pytest.raises(error, match=message):
        multiway.register_scans(scans, **{"voxel_size": VOXEL, **kwargs})


def test_merge_command(views, tmp_path, capsys):
    clouds = views[0][:3]
    paths = []
    for k, c in enumerate(clouds):
        paths.append(str(tmp_path / f"view{k}.ply"))
        io.write_point_cloud(paths[-1], c)
    out, poses, plot = tmp_path / "merged.ply", tmp_path / "poses.json", tmp_path / "trajectory.png"
    assert cli.main(["merge", *paths, "--voxel-size", str(VOXEL), "--out", str(out), "--poses", str(poses),
                     "--plot", str(plot)]) == 0
    captured = capsys.readouterr()
    assert "odometry 2/2" in captured.err
    assert "3 of 3 scans registered" in captured.out and "edges kept: 2 odometry, 1 loop closure;" in captured.out
    assert len(io.read_point_cloud(str(out)).points) == sum(len(c.points) for c in clouds)
    written = json.loads(poses.read_text())
    assert [s["scan"] for s in written["scans"]] == paths and written["scans"][0]["pose"] == np.eye(4).tolist()
    assert plot.read_bytes().startswith(b"\x89PNG")


def test_merge_command_reads_and_writes_any_format(views, tmp_path, capsys):
    clouds = views[0][:2]
    paths = [str(tmp_path / f"view{k}.scan") for k in range(2)]
    for path, c in zip(paths, clouds):
        nubiro.write(path, c, format="pcd", precision="double")
    out = tmp_path / "merged.pcd"
    argv = ["merge", *paths, "--voxel-size", str(VOXEL), "--loop-closure", "none", "--out", str(out)]
    assert cli.main(argv) == 1 and "--format forces one" in capsys.readouterr().err
    assert cli.main([*argv, "--format", "PCD"]) == 0
    assert "2 of 2 scans registered" in capsys.readouterr().out
    assert nubiro.describe(out)["points"] == sum(len(c.points) for c in clouds)


@pytest.mark.parametrize("argv, code, message", [
    (["merge", "a.ply", "--voxel-size", "0.4", "--out", "/nonexistent/dir/m.ply"], 1, "cannot write the merged cloud"),
    (["merge", "a.ply", "--voxel-size", "0.4", "--out", "m.dat"], 2, "--out m.dat: the extension names no format"),
    (["merge", "a.ply", "--voxel-size", "0.4", "--out", "m.e57"], 2, "--out m.e57: the extension names no format"),
    (["merge", "a.ply", "--voxel-size", "0.4", "--format", "obj"], 2, "invalid choice: 'obj'"),
    (["merge", "a.ply"], 2, "--voxel-size"),
    (["merge", "a.ply", "--voxel-size", "-1"], 2, "must be a positive number"),
    (["merge", "a.ply", "--voxel-size", "0.4", "--loop-closure", "some"], 2, "invalid choice"),
    (["merge", "a.ply", "--voxel-size", "0.4", "--min-fitness", "2"], 2, "must be from 0 to 1"),
])
def test_merge_command_usage_errors(argv, code, message, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if code == 2:
        with pytest.raises(SystemExit) as e:
            cli.main(argv)
        assert e.value.code == 2
    else:
        assert cli.main(argv) == code
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert not (tmp_path / "merged.ply").exists()
