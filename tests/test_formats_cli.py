"""The commands on every format: info's format details, convert, --format, register on PCD/LAZ."""
import json

import numpy as np
import pytest

import nubiro
from nubiro import __main__ as cli
from support import cloud, rigid


def test_info_prints_pcd_details(tmp_path, capsys):
    path = tmp_path / "frame.pcd"
    points = np.arange(24, dtype=float).reshape(8, 3)
    points[3] = np.nan
    nubiro.write(path, cloud(points), width=4, height=2, viewpoint=(1, 2, 3, 1, 0, 0, 0),
                 fields={"ring": np.arange(8, dtype=np.uint16)})
    assert cli.main(["info", str(path)]) == 0
    out = capsys.readouterr().out
    assert "8 points (1 of them NaN or infinite)" in out
    assert "PCD 0.7, DATA binary" in out and "fields: x F4, y F4, z F4, ring U2" in out
    assert "organized 4 x 2" in out and "translation (1, 2, 3)" in out and "not applied" in out


def test_info_prints_las_details(tmp_path, capsys):
    pytest.importorskip("laspy")
    path = tmp_path / "survey.laz"
    nubiro.write(path, cloud([[0, 0, 0], [1, 1, 1], [2, 2, 2]], colors=[[1, 0, 0]] * 3), scale=0.01,
                 fields={"classification": np.array([2, 2, 6], dtype=np.uint8)})
    assert cli.main(["info", str(path)]) == 0
    out = capsys.readouterr().out
    assert "LAZ 1.2, point format 3" in out and "scale (0.01, 0.01, 0.01)" in out
    assert "points by class: 2 ground 2, 6 building 1" in out and "CRS: none declared" in out


def test_convert_between_formats_keeps_points_and_fields(tmp_path, capsys):
    rng = np.random.default_rng(1)
    source = tmp_path / "a.pcd"
    points = rng.normal(size=(300, 3))
    nubiro.write(source, cloud(points), precision="double", fields={"intensity": rng.random(300).astype(np.float32)})
    chain = [tmp_path / "b.pcd", tmp_path / "c.ply", tmp_path / "d.xyzn"]
    assert cli.main(["convert", str(source), str(chain[0]), "--encoding", "binary_compressed", "--precision",
                     "double"]) == 0
    for a, b in zip(chain, chain[1:]):
        assert cli.main(["convert", str(a), str(b)]) == 0
    assert np.array_equal(np.asarray(nubiro.read(chain[-1]).points), points)
    _, fields = nubiro.read(chain[0], fields=True)
    assert np.array_equal(fields["intensity"], nubiro.read(source, fields=True)[1]["intensity"])
    assert cli.main(["convert", str(source), str(tmp_path / "e.pcd"), "--voxel-size", "10"]) == 0
    assert len(nubiro.read(tmp_path / "e.pcd").points) == 1
    assert "a.pcd (300 points) -> " in capsys.readouterr().err


@pytest.mark.parametrize("argv, message", [
    (["convert", "in.ply", "out.dat"], "out.dat: the extension '.dat' is not a point-cloud format"),
    (["convert", "in.ply", "out.ply", "--scale", "0.01"], "--scale applies to LAS/LAZ output, not PLY"),
    (["convert", "in.ply", "out.e57"], "E57 is read, not written"),
    (["info", "x.ply", "--format", "obj"], "invalid choice: 'obj'"),
])
def test_format_usage_errors_exit_2(argv, message, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(argv)
    assert stop.value.code == 2 and message in capsys.readouterr().err


def test_unknown_extension_names_the_readable_ones_and_format_forces_one(tmp_path, capsys):
    path = tmp_path / "scan.txt"
    path.write_text("1 2 3\n4 5 6\n")
    assert cli.main(["info", str(path)]) == 1
    err = capsys.readouterr().err
    assert "scan.txt: the extension '.txt'" in err and ".pcd .las .laz .e57" in err and "--format forces one" in err
    assert cli.main(["info", str(path), "--format", "xyz"]) == 0
    assert "2 points" in capsys.readouterr().out


def test_register_reads_pcd_and_laz(tmp_path, capsys):
    pytest.importorskip("laspy")
    rng = np.random.default_rng(2)
    mesh = nubiro.io.read_triangle_mesh(cli.bundled_bunny())
    target = cloud(cli.sample_surface(mesh, 6000, rng))
    source = cloud(cli.sample_surface(mesh, 6000, rng))
    motion = rigid(nubiro.geometry.get_rotation_matrix_from_xyz([0.3, -0.2, 0.5]), [1.0, 0.5, -0.5])
    source.transform(motion)
    nubiro.write(tmp_path / "s.pcd", source, encoding="binary_compressed", precision="double")
    nubiro.write(tmp_path / "t.laz", target)
    assert cli.main(["register", str(tmp_path / "s.pcd"), str(tmp_path / "t.laz"), "--json"]) == 0
    result = json.loads(capsys.readouterr().out)
    assert np.abs(np.asarray(result["transformation"]) - np.linalg.inv(motion)).max() < 0.05
