"""XYZ text: the forgiving line reader, the fixed ten-decimal writer and the byte-string API."""
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import io


def read_text(text):
    data = text.encode() if isinstance(text, str) else text
    return np.asarray(io.read_point_cloud_from_bytes(data, format="mem::xyz").points)


@pytest.mark.parametrize("text, expected", [
    ("1 2 3", [[1, 2, 3]]),
    ("1,2,3", []),                               # one token
    ("1 2\n", []),
    ("1 2 3 4 5", [[1, 2, 3]]),
    ("1.5abc 2 3", [[1.5, 2, 3]]),               # longest parseable prefix
    ("12abc -7e 2.", [[12, -7, 2]]),
    ("- 1 2\nabc 1 2\n", []),                    # tokens without a value drop the line
    ("1 2 3\r\n4 5 6\r\n", [[1, 2, 3], [4, 5, 6]]),
    ("\n   \n\t\n1 2 3", [[1, 2, 3]]),           # blank lines; last line needs no LF
    ("1 2 3\r4 5 6\r", [[1, 2, 3]]),             # CR alone does not end a line
    ("# 1 2 3\n1 2 3 # note\n", [[1, 2, 3]]),
    ("1\v2 3 4", [[1, 3, 4]]),                  # vertical tab is not white space
    ("  \t1\f2\t3  ", [[1, 2, 3]]),
])
def test_reader_lines(text, expected):
    got = read_text(text)
    assert got.shape == (len(expected), 3)
    np.testing.assert_array_equal(got, np.asarray(expected, dtype=float).reshape(-1, 3))


def test_reader_special_spellings_and_non_ascii():
    p = read_text("nan(ind) inf -INF\n-nan(ind) infinite -INFINITE\n")
    assert math.isnan(p[0, 0]) and not math.copysign(1, p[0, 0]) < 0
    assert p[0, 1] == math.inf and p[0, 2] == -math.inf
    assert math.isnan(p[1, 0]) and math.copysign(1, p[1, 0]) < 0
    assert p[1, 1] == math.inf and p[1, 2] == -math.inf
    # Invalid UTF-8 in a byte string and non-ASCII characters: the numbers before them count.
    np.testing.assert_array_equal(read_text(b"1\xff 2\xc3\xa9 3\xe2\x28\n\xff 1 2\n"), [[1, 2, 3]])
    np.testing.assert_array_equal(read_text("1é 2 3€".encode()), [[1, 2, 3]])


def test_writer_fixed_ten_decimals():
    pc = io.read_point_cloud_from_bytes(b"1.5 -0.25 0\n1e20 1e-11 -0\n", format="mem::xyz")
    assert io.write_point_cloud_to_bytes(pc, format="mem::xyz") == (
        b"1.5000000000 -0.2500000000 0.0000000000\n"
        b"100000000000000000000.0000000000 0.0000000000 -0.0000000000\n")
    specials = np.array([[np.nan, -np.nan, np.inf], [-np.inf, 0, 0]])
    from nubiro.cpu.pybind import geometry
    q = geometry.PointCloud()
    q.points = specials
    assert io.write_point_cloud_to_bytes(q, format="mem::xyz") == (
        b"nan -nan inf\n-inf 0.0000000000 0.0000000000\n")
    assert io.write_point_cloud_to_bytes(geometry.PointCloud(), format="mem::xyz") == b""


def test_round_trip_keeps_ten_decimals(make_cloud, tmp_path):
    rng = np.random.default_rng(1)
    pts = np.vstack([rng.normal(scale=1e3, size=(200, 3)), [[np.nan, np.inf, -np.inf]]])
    pc = make_cloud(pts, normals=np.ones_like(pts), colors=np.zeros_like(pts))
    path = tmp_path / "c.xyz"
    assert io.write_point_cloud(str(path), pc)
    back = io.read_point_cloud(str(path))
    assert not back.has_normals() and not back.has_colors()
    np.testing.assert_array_equal(np.asarray(back.points), np.round(pts, 10))
    assert path.read_bytes() == io.write_point_cloud_to_bytes(pc, format="mem::xyz")
    filtered = io.read_point_cloud(str(path), remove_nan_points=True, remove_infinite_points=True)
    assert len(filtered.points) == 200


def test_file_must_be_utf8_but_bytes_are_decoded(tmp_path):
    path = tmp_path / "bad.xyz"
    path.write_bytes(b"1 2 3\n\xff\n")
    assert len(io.read_point_cloud(str(path)).points) == 0
    assert len(read_text(b"1 2 3\n\xff\n")) == 1
