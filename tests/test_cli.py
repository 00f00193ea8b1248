import json
import os
import subprocess
import sys

import numpy as np
import pytest

from nubiro import __main__ as cli
from nubiro import pipeline
from nubiro.cpu.pybind import geometry, io

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_demo_from_the_repository_root_recovers_the_motion(fresh_env):
    # A newcomer types `python -m nubiro` in the clone's root: `-m` puts that directory first
    # on sys.path, and the package found there must still be the built one.
    done = subprocess.run([sys.executable, "-m", "nubiro"], cwd=ROOT, env=fresh_env(), capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert any("RANSAC" in l for l in lines) and any("ICP" in l for l in lines)
    errors = next(l for l in lines if l.startswith("rotation error")).split()
    assert float(errors[2]) < 1.0 and float(errors[7].strip("(")) < 1.0  # degrees, % of the extent
    pcd = next(l for l in lines if l.strip().startswith("PCD binary_compressed"))
    assert "40000 points" in pcd and pcd.endswith("largest coordinate change 0")  # float64: bit for bit


@pytest.fixture(scope="module")
def moved_pair(tmp_path_factory):
    """A scan in PLY and an independently sampled, moved copy in XYZ, with the motion that
    takes the copy back."""
    rng = np.random.default_rng(3)
    mesh = io.read_triangle_mesh(cli.bundled_bunny())
    target, source = geometry.PointCloud(), geometry.PointCloud()
    target.points = cli.sample_surface(mesh, 15_000, rng)
    source.points = cli.sample_surface(mesh, 15_000, rng)
    motion = np.eye(4)
    motion[:3, :3] = geometry.get_rotation_matrix_from_xyz([0.6, -0.3, 0.9])
    motion[:3, 3] = [2.0, -1.0, 0.5]
    source.transform(motion)
    d = tmp_path_factory.mktemp("pair")
    assert io.write_point_cloud(str(d / "target.ply"), target) and io.write_point_cloud(str(d / "source.xyz"), source)
    extent = float(np.linalg.norm(target.get_max_bound() - target.get_min_bound()))
    return str(d / "source.xyz"), str(d / "target.ply"), np.linalg.inv(motion), extent


def check_motion(transformation, truth, extent):
    t = np.asarray(transformation)
    assert pipeline.rotation_error_degrees(t, truth) < 1.0
    assert np.linalg.norm(t[:3, 3] - truth[:3, 3]) < 0.01 * extent


def test_register_json_recovers_the_motion(moved_pair, capsys):
    source, target, truth, extent = moved_pair
    assert cli.main(["register", source, target, "--json"]) == 0
    out, err = capsys.readouterr()
    result = json.loads(out)
    assert set(result) == {"ok", "reason", "transformation", "fitness", "inlier_rmse", "correspondences",
                           "voxel_size", "seconds"}
    assert result["ok"] is True and result["reason"] is None
    check_motion(result["transformation"], truth, extent)
    assert result["fitness"] > 0.9 and result["correspondences"] > 10_000
    assert "voxel size" in err and "RANSAC" in err  # the chosen size and progress go to stderr


def test_register_text_with_point_to_point(moved_pair, capsys):
    source, target, truth, extent = moved_pair
    assert cli.main(["register", source, target, "--voxel-size", "0.3", "--icp", "point-to-point", "--seed", "5"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("transformation") and out[-2].startswith("fitness") and out[-1].startswith("inlier RMSE")
    check_motion([[float(v) for v in line.split()] for line in out[1:5]], truth, extent)


@pytest.mark.parametrize("options, stage", [
    (["--icp", "gicp"], "ICP (gicp)"),
    (["--icp", "point-to-plane", "--kernel", "tukey"], "ICP (point-to-plane, tukey kernel)"),
    (["--icp", "gicp", "--kernel", "Huber:0.05"], "ICP (gicp, huber kernel)"),
])
def test_register_with_generalized_icp_and_kernels(moved_pair, capsys, options, stage):
    source, target, truth, extent = moved_pair
    assert cli.main(["register", source, target, "--json", "--voxel-size", "0.3"] + options) == 0
    out, err = capsys.readouterr()
    result = json.loads(out)
    check_motion(result["transformation"], truth, extent)
    assert result["fitness"] > 0.9 and result["correspondences"] > 10_000
    assert stage in err


@pytest.fixture
def bad_files(tmp_path):
    (tmp_path / "empty.xyz").write_text("")
    (tmp_path / "garbage.ply").write_bytes(b"ply\nformat binary_little_endian 1.0\nelement vertex 99\n\x00\xff")
    (tmp_path / "noise.xyz").write_bytes(os.urandom(256))
    return tmp_path


@pytest.mark.parametrize("name", ["missing.ply", "empty.xyz", "garbage.ply", "noise.xyz"])
def test_unusable_input_is_one_line_and_exit_code_1(moved_pair, bad_files, capsys, name):
    path = str(bad_files / name)
    assert cli.main(["register", path, moved_pair[1]]) == 1
    err = capsys.readouterr().err.strip()
    assert "\n" not in err and path in err and "Traceback" not in err


def test_clouds_with_nothing_in_common(tmp_path, moved_pair, capsys):
    line = geometry.PointCloud()
    line.points = np.column_stack((np.linspace(0, 1, 50), np.zeros(50), np.zeros(50)))
    io.write_point_cloud(str(tmp_path / "line.xyz"), line)
    assert cli.main(["register", str(tmp_path / "line.xyz"), moved_pair[1], "--voxel-size", "0.3"]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert err[-1].startswith("python -m nubiro: cannot register")


@pytest.fixture(scope="module")
def unrelated(tmp_path_factory):
    """Clouds that share nothing with the bundled scan (a sphere and a box of random points
    around it), one with only five points, the scan as text under a .txt name, and an empty
    pairs file."""
    rng = np.random.default_rng(5)
    d = tmp_path_factory.mktemp("unrelated")
    scan = np.asarray(io.read_point_cloud(cli.bundled_bunny()).points)
    centre, span = scan.mean(0), float(np.linalg.norm(scan.max(0) - scan.min(0)))
    u = rng.normal(size=(3000, 3))
    shapes = {"sphere.ply": centre + u / np.linalg.norm(u, axis=1)[:, None] * span / 3,
              "noise.ply": centre + (rng.random((3000, 3)) - 0.5) * span / 1.7, "five.ply": scan[:5]}
    for name, points in shapes.items():
        c = geometry.PointCloud()
        c.points = points
        assert io.write_point_cloud(str(d / name), c)
    np.savetxt(d / "scan.txt", scan)
    (d / "empty.csv").write_text("# nothing yet\n")
    return d


# Each case: arguments (with {d} the fixture's folder and {scan} the bundled scan), exit code and
# words the one-line message must hold.
FRONT_DOOR_CASES = {
    "sphere onto scan": (["register", "{d}/sphere.ply", "{scan}"], 1, ["not registered", "fitness", "below 0.3"]),
    "scan onto noise": (["register", "{scan}", "{d}/noise.ply"], 1, ["not registered"]),
    "voxel too large": (["register", "{scan}", "{scan}", "--voxel-size", "8"], 1,
                        ["voxel size 8 leaves", "smaller --voxel-size", "1/40 of that is 0.39"]),
    "voxel too small": (["register", "{scan}", "{scan}", "--voxel-size", "0.001"], 1,
                        ["median of 0 and 0 neighbours", "larger --voxel-size"]),
    "too few points": (["register", "{d}/five.ply", "{scan}"], 1, ["only 5 points", "too few"]),
    "plot into a missing folder": (["register", "{scan}", "{scan}", "--plot", "{d}/no/such/views.png"], 2,
                                   ["--plot", "does not exist"]),
    "plot as a point file": (["register", "{scan}", "{scan}", "--plot", "{d}/views.xyz"], 2,
                             ["'.xyz' is not a picture type", ".png"]),
    "batch out into a missing folder": (["batch", "{d}/empty.csv", "--out", "{d}/no/such/r.jsonl"], 2,
                                        ["cannot write"]),
    "empty pairs file": (["batch", "{d}/empty.csv"], 1, ["lists no pairs", "relative to the file"]),
    "unknown extension": (["info", "{d}/scan.txt"], 1, [".txt", "--format"]),
    "unknown extension, format given": (["info", "{d}/scan.txt", "--format", "xyz"], 0, ["extent"]),
}


@pytest.mark.parametrize("case", sorted(FRONT_DOOR_CASES))
def test_front_door_cases(unrelated, capsys, case):
    argv, code, words = FRONT_DOOR_CASES[case]
    argv = [a.format(d=unrelated, scan=cli.bundled_bunny()) for a in argv]
    if "--plot" in argv:
        pytest.importorskip("matplotlib")
    assert cli.main(argv) == code
    out, err = capsys.readouterr()
    message = err.strip().splitlines()[-1] if code else out
    assert all(w in message for w in words), message
    assert "Traceback" not in err
    if "--plot" in argv:
        assert "registering" not in err  # refused before any work


def test_unregistered_json_says_why(unrelated, capsys):
    assert cli.main(["register", str(unrelated / "sphere.ply"), cli.bundled_bunny(), "--json", "--quiet"]) == 1
    out, err = capsys.readouterr()
    result = json.loads(out)
    assert result["ok"] is False and "fitness" in result["reason"] and len(result["transformation"]) == 4
    assert err.count("\n") == 1  # the reason, nothing else
    # Thresholds are the caller's to set: accepting anything turns the same run into a success.
    assert cli.main(["register", str(unrelated / "sphere.ply"), cli.bundled_bunny(), "--json", "--quiet",
                     "--min-fitness", "0.001", "--max-rmse", "1"]) == 0
    assert json.loads(capsys.readouterr().out)["ok"] is True


@pytest.mark.parametrize("argv", [["register", "a.ply"], ["register", "a.ply", "b.ply", "--voxel-size", "0"],
                                  ["register", "a.ply", "b.ply", "--voxel-size", "-1"],
                                  ["register", "a.ply", "b.ply", "--icp", "plane"], ["frobnicate"], ["--no-such"],
                                  ["register", "a.ply", "b.ply", "--kernel", "l1"],
                                  ["register", "a.ply", "b.ply", "--kernel", "tukey:0"],
                                  ["batch", "p.csv", "--voxel-size", "1", "--kernel", "cauchy:nan"]])
def test_usage_errors_exit_with_2(argv, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(argv)
    assert stop.value.code == 2 and "usage:" in capsys.readouterr().err


@pytest.mark.parametrize("argv, seed, plot", [
    (["--seed", "5", "demo"], 5, None),
    (["demo", "--seed", "5"], 5, None),
    (["--seed", "5"], 5, None),
    (["--seed", "5", "demo", "--seed", "6"], 6, None),
    (["--plot", "x.png", "register", "a", "b"], 0, "x.png"),
    (["register", "a", "b", "--plot", "x.png", "--seed", "2"], 2, "x.png"),
    (["--seed", "4", "batch", "p.csv", "--voxel-size", "1"], 4, None),
    (["demo"], 0, None),
])
def test_seed_and_plot_work_before_or_after_the_command(argv, seed, plot):
    args = cli.parser().parse_args(argv)
    assert (args.seed, args.plot) == (seed, plot)


def test_info(moved_pair, bad_files, capsys):
    assert cli.main(["info", cli.bundled_bunny()]) == 0
    out = capsys.readouterr().out
    assert "TriangleMesh, 1839 vertices, 3674 triangles" in out and "bounds" in out
    assert cli.main(["info", moved_pair[0]]) == 0
    assert "PointCloud, 15000 points" in capsys.readouterr().out
    assert cli.main(["info", str(bad_files / "garbage.ply")]) == 1


def test_output_read_by_a_reader_that_stops_early_ends_quietly(fresh_env):
    # `python -m nubiro info bunny.ply | head -0`: the pipe is closed before anything is written.
    info = subprocess.Popen([sys.executable, "-m", "nubiro", "info", cli.bundled_bunny()], env=fresh_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    info.stdout.close()
    err = info.stderr.read().decode()
    assert info.wait(timeout=120) == 141 and err == ""


def test_plot_without_matplotlib_names_the_extra(monkeypatch, capsys):
    from nubiro import _plot
    monkeypatch.setattr(_plot, "available", lambda: False)
    assert cli.main(["--plot", "out.png"]) == 2
    assert "nubiro[viz]" in capsys.readouterr().err


def test_plot_draws_a_picture(moved_pair, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    out = tmp_path / "views.png"
    assert cli.main(["register", moved_pair[0], moved_pair[1], "--plot", str(out)]) == 0
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# Every command that reads files takes --quiet: no progress hook, no bar while reading.
QUIET_COMMANDS = {
    "register": ["register", "{a}", "{b}", "--voxel-size", "0.5"],
    "info": ["info", "{a}"],
    "distance": ["distance", "{a}", "{b}"],
    "clean": ["clean", "{a}", "{out}.ply"],
    "convert": ["convert", "{a}", "{out}.xyz"],
    "view": ["view", "{a}", "--out", "{out}.html"],
}


@pytest.mark.parametrize("quiet", [False, True], ids=["progress", "quiet"])
@pytest.mark.parametrize("command", QUIET_COMMANDS)
def test_quiet_turns_progress_off(command, quiet, moved_pair, tmp_path, monkeypatch):
    from nubiro import _native
    if command == "view":
        pytest.importorskip("plotly")
    hooks, bars = [], []
    monkeypatch.setattr(_native, "set_progress_hook", lambda hook, *rest: hooks.append(hook))
    read_file = pipeline.read_file
    monkeypatch.setattr(pipeline, "read_file", lambda *a, **k: bars.append(k.get("progress")) or read_file(*a, **k))
    a, b = moved_pair[:2]
    argv = [part.format(a=a, b=b, out=tmp_path / "out") for part in QUIET_COMMANDS[command]]
    assert cli.main(argv + (["--quiet"] if quiet else [])) == 0
    assert bars and set(bars) == {not quiet}
    assert [h is not None for h in hooks] == ([] if quiet else [True, False])  # set, then taken away
