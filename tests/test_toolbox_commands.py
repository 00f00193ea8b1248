import json

import numpy as np
import pytest
from scipy.spatial import cKDTree

import nubiro
from nubiro import __main__ as cli
from nubiro.cpu.pybind import io
from support import cloud


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    """A table top (z = 0, 2 x 2) with a box standing on it and stray points far above it."""
    rng = np.random.default_rng(5)
    top = np.column_stack((rng.uniform(0, 2, 8000), rng.uniform(0, 2, 8000), rng.normal(0, 0.001, 8000)))
    box = rng.uniform([0.6, 0.6, 0.05], [0.9, 0.9, 0.35], (2000, 3))
    stray = rng.uniform([-1, -1, 1.5], [3, 3, 3], (40, 3))
    path = tmp_path_factory.mktemp("table") / "table.ply"
    assert io.write_point_cloud(str(path), cloud(np.vstack((top, box, stray))))
    return str(path)


def read_points(path):
    return np.asarray(io.read_point_cloud(path).points)


def test_clean_removes_strays_and_the_table_top(table, tmp_path, capsys):
    out = str(tmp_path / "objects.xyz")
    argv = ["clean", table, out, "--voxel-size", "0.01", "--outliers", "10,1.0", "--remove-planes", "1",
            "--plane-distance", "0.01"]
    assert cli.main(argv) == 0
    left = read_points(out)
    assert len(left) > 500 and (left[:, 2] >= 0.04).all()  # the table's points are gone
    assert (left[:, 2] <= 0.36).all()  # and so are the stray points above it
    err = capsys.readouterr().err
    assert "plane 1:" in err and f"{len(left)} points written" in err
    # The same run gives the same file, bit for bit.
    again = str(tmp_path / "again.xyz")
    assert cli.main(argv[:2] + [again] + argv[3:] + ["--quiet"]) == 0
    assert open(out, "rb").read() == open(again, "rb").read() and capsys.readouterr().err == ""


@pytest.mark.parametrize("name", ["copy.ply", "copy.pcd"])
def test_clean_without_steps_copies_the_cloud(table, tmp_path, name):
    out = str(tmp_path / name)
    assert cli.main(["clean", table, out, "--quiet"]) == 0
    # PCD keeps float32 coordinates by default
    np.testing.assert_allclose(np.asarray(nubiro.read(out).points), read_points(table), rtol=0, atol=1e-6)


@pytest.mark.parametrize("argv", [
    ["clean", "in.ply"],
    ["clean", "in.ply", "out.ply", "--outliers", "3"],
    ["clean", "in.ply", "out.ply", "--outliers", "0,2"],
    ["clean", "in.ply", "out.ply", "--outliers", "5,-1"],
    ["clean", "in.ply", "out.ply", "--outliers", "5,nan"],
    ["clean", "in.ply", "out.ply", "--voxel-size", "0"],
    ["clean", "in.ply", "out.ply", "--remove-planes", "2"],
    ["clean", "in.ply", "out.ply", "--plane-distance", "0.1"],
    ["clean", "in.ply", "out.ply", "--remove-planes", "0", "--plane-distance", "0.1"],
    ["distance", "a.ply"],
])
def test_usage_errors_exit_with_2(argv, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(argv)
    assert stop.value.code == 2 and "usage:" in capsys.readouterr().err


def test_clean_data_errors_are_one_line_with_exit_1(table, tmp_path, capsys):
    flat = str(tmp_path / "flat.xyz")
    grid = np.stack(np.meshgrid(np.arange(10.0), np.arange(10.0), [0.0]), -1).reshape(-1, 3)
    assert io.write_point_cloud(flat, cloud(grid))
    cases = [
        ([str(tmp_path / "missing.ply"), str(tmp_path / "out.ply")], "missing.ply"),
        # OUT is checked before the input is read
        ([str(tmp_path / "missing.ply"), str(tmp_path / "no" / "out.ply")], "does not exist"),
        ([table, str(tmp_path)], str(tmp_path)),
        ([table, str(tmp_path / "out.foo")], "not a point-cloud format"),
        ([flat, str(tmp_path / "out.ply"), "--remove-planes", "1", "--plane-distance", "0.1"], "no points left"),
    ]
    for argv, named in cases:
        assert cli.main(["clean", "--quiet"] + argv) == 1
        err = capsys.readouterr().err.strip()
        assert "\n" not in err and named in err and "Traceback" not in err


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    rng = np.random.default_rng(8)
    a, b = rng.normal(size=(700, 3)), rng.normal(size=(900, 3)) + [0.1, 0, 0]
    d = tmp_path_factory.mktemp("pair")
    assert io.write_point_cloud(str(d / "a.ply"), cloud(a)) and io.write_point_cloud(str(d / "b.xyz"), cloud(b))
    return str(d / "a.ply"), str(d / "b.xyz"), a, b


def test_distance_json_matches_a_brute_force_reference(pair, capsys):
    path_a, path_b, _, _ = pair
    a, b = read_points(path_a), read_points(path_b)  # as stored in the files
    assert cli.main(["distance", path_a, path_b, "--json"]) == 0
    got = json.loads(capsys.readouterr().out)
    ab = np.sqrt(((a[:, None, :] - b[None, :, :]) ** 2).sum(-1)).min(1)
    ba = cKDTree(a).query(b)[0]
    want = {"points": len(a), "mean": ab.mean(), "rms": np.sqrt((ab ** 2).mean()), "median": np.median(ab),
            "p95": np.percentile(ab, 95), "max": ab.max(), "hausdorff": max(ab.max(), ba.max()),
            "chamfer": ab.mean() + ba.mean()}
    assert got["a"] == path_a and got["b"] == path_b
    for key, value in want.items():
        assert got[key] == pytest.approx(value, rel=1e-12), key


def test_distance_text_and_histogram(pair, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    path_a, path_b, a, _ = pair
    hist = tmp_path / "hist.png"
    assert cli.main(["distance", path_a, path_b, "--plot", str(hist)]) == 0
    out, err = capsys.readouterr()
    lines = out.splitlines()
    assert lines[0] == f"distance from {path_a} ({len(a)} points) to {path_b} (900 points)"
    assert [line.split()[0] for line in lines[1:]] == ["mean", "RMS", "median", "95th", "maximum", "Hausdorff",
                                                       "Chamfer"]
    assert hist.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and str(hist) in err


@pytest.mark.parametrize("which", ["a", "b", "plot"])
def test_distance_data_errors_are_one_line_with_exit_1(pair, tmp_path, capsys, which):
    path_a, path_b, _, _ = pair
    missing = str(tmp_path / "missing.ply")
    argv = {"a": [missing, path_b], "b": [path_a, missing],
            "plot": [missing, path_b, "--plot", str(tmp_path / "no" / "hist.png")]}[which]
    # An unwritable --plot is a usage error, refused (exit 2) before the inputs are even read.
    assert cli.main(["distance"] + argv) == (2 if which == "plot" else 1)
    err = capsys.readouterr().err.strip()
    assert "\n" not in err and "Traceback" not in err
    assert ("does not exist" if which == "plot" else "missing.ply") in err
