"""nubiro.read / nubiro.write: every format, PCD in depth, damaged files, atomic writes."""
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import nubiro
from support import cloud

rng = np.random.default_rng(5)
N = 500
POINTS = rng.normal(size=(N, 3)) * 50
NORMALS = rng.normal(size=(N, 3))
COLORS = rng.integers(0, 256, size=(N, 3)) / 255.0  # exactly representable as bytes


def full_cloud():
    return cloud(POINTS, NORMALS, COLORS)


def f32(a):
    return np.asarray(a, dtype=np.float32).astype(np.float64)


# name, write options, (points, normals) expected back, colours kept, normals kept
ROUND_TRIPS = [
    ("c.pcd", {}, f32, True, True),
    ("c.pcd", {"encoding": "binary_compressed"}, f32, True, True),
    ("c.pcd", {"encoding": "ascii"}, f32, True, True),
    ("c.pcd", {"precision": "double"}, np.asarray, True, True),
    ("c.pcd", {"precision": "double", "encoding": "binary_compressed"}, np.asarray, True, True),
    ("c.pcd", {"precision": "double", "encoding": "ascii"}, np.asarray, True, True),
    ("c.ply", {}, np.asarray, True, True),
    ("c.xyzn", {}, np.asarray, False, True),
    ("c.xyzrgb", {}, np.asarray, True, False),
    ("c.pts", {}, np.asarray, True, False),
]


@pytest.mark.parametrize("name, options, expect, colours, normals", ROUND_TRIPS)
def test_round_trip_keeps_points_normals_and_colours(tmp_path, name, options, expect, colours, normals):
    path = tmp_path / name
    nubiro.write(path, full_cloud(), **options)
    back = nubiro.read(path)
    assert np.array_equal(np.asarray(back.points), expect(POINTS))
    assert back.has_normals() == normals and back.has_colors() == colours
    if normals:
        assert np.array_equal(np.asarray(back.normals), expect(NORMALS))
    if colours:
        assert np.array_equal(np.asarray(back.colors), COLORS)


@pytest.mark.parametrize("encoding", ["binary", "binary_compressed", "ascii"])
def test_pcd_extra_fields_of_every_type_round_trip(tmp_path, encoding):
    fields = {
        "i1": rng.integers(-128, 128, N).astype(np.int8), "u1": rng.integers(0, 256, N).astype(np.uint8),
        "i2": rng.integers(-2**15, 2**15, N).astype(np.int16), "ring": rng.integers(0, 2**16, N).astype(np.uint16),
        "i4": rng.integers(-2**31, 2**31, N).astype(np.int32), "u4": rng.integers(0, 2**32, N).astype(np.uint32),
        "i8": rng.integers(-2**62, 2**62, N).astype(np.int64) * 2 + 1,
        "u8": rng.integers(0, 2**63, N).astype(np.uint64) * 2 + 1,
        "intensity": rng.random(N).astype(np.float32), "t": rng.random(N) * 1e9,
        "histogram": rng.random((N, 5)).astype(np.float32),  # COUNT 5
    }
    fields["intensity"][:3] = [np.inf, -np.inf, np.float32(1e-40)]  # denormal too
    path = tmp_path / "f.pcd"
    nubiro.write(path, cloud(POINTS), fields=fields, encoding=encoding)
    back, got = nubiro.read(path, fields=True)
    assert set(got) == set(fields)
    for name, values in fields.items():
        assert got[name].dtype == values.dtype and np.array_equal(got[name], values), name


def test_pcd_written_by_pypcd4_reads_back_identically(tmp_path):
    pypcd4 = pytest.importorskip("pypcd4")
    xyz = rng.normal(size=(N, 3)).astype(np.float32)
    intensity = rng.random(N).astype(np.float32)
    ring = rng.integers(0, 64, N).astype(np.uint16)
    pc = pypcd4.PointCloud.from_points([xyz[:, 0], xyz[:, 1], xyz[:, 2], intensity, ring],
                                       ("x", "y", "z", "intensity", "ring"),
                                       (np.float32, np.float32, np.float32, np.float32, np.uint16))
    for encoding in pypcd4.Encoding:
        path = tmp_path / f"{encoding.value}.pcd"
        pc.save(path, encoding=encoding)
        back, fields = nubiro.read(path, fields=True)
        assert np.array_equal(np.asarray(back.points), xyz.astype(np.float64)), encoding
        assert np.array_equal(fields["intensity"], intensity) and np.array_equal(fields["ring"], ring)


@pytest.mark.parametrize("encoding", ["binary", "binary_compressed"])
def test_pcd_we_write_reads_in_pypcd4(tmp_path, encoding):
    pypcd4 = pytest.importorskip("pypcd4")
    path = tmp_path / "ours.pcd"
    nubiro.write(path, full_cloud(), encoding=encoding)
    theirs = pypcd4.PointCloud.from_path(path)
    assert theirs.fields == ("x", "y", "z", "rgb", "normal_x", "normal_y", "normal_z", "curvature")
    a = theirs.numpy()
    assert np.array_equal(a[:, :3], f32(POINTS)) and np.array_equal(a[:, 4:7], f32(NORMALS))
    rgb = pypcd4.PointCloud.decode_rgb(a[:, 3])
    assert np.array_equal(rgb / 255.0, COLORS)


@pytest.mark.parametrize("ascii", [False, True])
def test_ply_extra_fields_round_trip(tmp_path, ascii):
    fields = {
        "i1": rng.integers(-128, 128, N).astype(np.int8), "label": rng.integers(0, 256, N).astype(np.uint8),
        "i2": rng.integers(-2**15, 2**15, N).astype(np.int16), "u2": rng.integers(0, 2**16, N).astype(np.uint16),
        "i4": rng.integers(-2**31, 2**31, N).astype(np.int32), "u4": rng.integers(0, 2**32, N).astype(np.uint32),
        "intensity": rng.random(N).astype(np.float32), "t": rng.random(N) * 1e9,
    }
    fields["t"][:2] = [np.inf, np.nan]
    odd = {"ok": rng.random(N) > 0.5, "scan": np.arange(N, dtype=np.int64), "h": rng.random((N, 2)).astype(np.float32)}
    points = POINTS.copy()
    points[3] = np.nan
    nubiro.write(tmp_path / "f.ply", cloud(points, NORMALS, COLORS), fields={**fields, **odd}, ascii=ascii)
    nubiro.write(tmp_path / "plain.ply", cloud(points, NORMALS, COLORS), ascii=ascii)
    back, got = nubiro.read(tmp_path / "f.ply", fields=True, remove_non_finite=False)
    plain = nubiro.read(tmp_path / "plain.ply", remove_non_finite=False)
    for attribute in ("points", "normals", "colors"):  # the cloud's columns as the plain writer has them
        assert np.array_equal(np.asarray(getattr(back, attribute)), np.asarray(getattr(plain, attribute)), equal_nan=True)
    assert list(got) == [*fields, "ok", "scan", "h_0", "h_1"]
    for name, values in fields.items():
        assert got[name].dtype == values.dtype and np.array_equal(got[name], values, equal_nan=True), name
    assert got["ok"].dtype == np.uint8 and np.array_equal(got["ok"], odd["ok"])
    assert got["scan"].dtype == np.int32 and np.array_equal(got["scan"], odd["scan"])
    assert np.array_equal(np.column_stack([got["h_0"], got["h_1"]]), odd["h"])
    finite, kept = nubiro.read(tmp_path / "f.ply", fields=True)  # the NaN point goes with its field values
    assert len(finite.points) == N - 1 and np.array_equal(kept["label"], np.delete(fields["label"], 3))


WRITE_PLY_WITH_FIELDS = """
import sys, numpy as np, nubiro
data = np.load(sys.argv[1])
pc = nubiro.geometry.PointCloud()
pc.points, pc.normals, pc.colors = data["points"], data["normals"], data["colors"]
fields = {name: data[name] for name in ("label", "ring", "intensity", "t")}
for ascii in (False, True):
    nubiro.write(f"{sys.argv[2]}/{'text' if ascii else 'binary'}.ply", pc, fields=fields, ascii=ascii)
"""


def test_ply_fields_of_a_large_cloud_are_byte_exact_for_any_thread_count(tmp_path, fresh_env):
    # 66-byte rows: many blocks filled by several threads, each written at its own offset.
    n = 100_003
    data = {"points": rng.normal(size=(n, 3)) * 100, "normals": rng.normal(size=(n, 3)),
            "colors": rng.integers(0, 256, size=(n, 3)) / 255.0, "label": rng.integers(0, 256, n).astype(np.uint8),
            "ring": rng.integers(0, 2**16, n).astype(np.uint16), "intensity": rng.random(n).astype(np.float32),
            "t": rng.random(n) * 1e9}
    np.savez(tmp_path / "data.npz", **data)
    files = {}
    for threads in ("1", "3"):
        out = tmp_path / threads
        out.mkdir()
        subprocess.run([sys.executable, "-c", WRITE_PLY_WITH_FIELDS, str(tmp_path / "data.npz"), str(out)], check=True,
                       env=fresh_env(RAYON_NUM_THREADS=threads), timeout=120)
        files[threads] = {kind: (out / f"{kind}.ply").read_bytes() for kind in ("binary", "text")}
    assert files["1"] == files["3"]
    rows = np.empty(n, dtype=[("p", "<f8", 3), ("n", "<f8", 3), ("c", "u1", 3), ("label", "u1"), ("ring", "<u2"),
                              ("intensity", "<f4"), ("t", "<f8")])
    rows["p"], rows["n"], rows["c"] = data["points"], data["normals"], np.rint(data["colors"] * 255)
    for name in ("label", "ring", "intensity", "t"):
        rows[name] = data[name]
    assert files["1"]["binary"].endswith(b"property double t\nend_header\n" + rows.tobytes())
    back, got = nubiro.read(tmp_path / "1" / "text.ply", fields=True)
    assert all(np.array_equal(got[name], data[name]) for name in ("label", "ring", "intensity", "t"))


@pytest.mark.parametrize("encoding", ["binary_little_endian", "binary_big_endian", "ascii"])
def test_ply_written_by_plyfile_reads_back_its_properties(tmp_path, encoding):
    plyfile = pytest.importorskip("plyfile")
    # A list property (left out by the reader) between the scalars; not in big-endian files,
    # whose rows with lists plyfile itself writes with unswapped scalars.
    lists = [("ids", "O")] if encoding != "binary_big_endian" else []
    v = np.zeros(N, dtype=[("x", "f4"), ("y", "f4"), ("z", "f4"), ("scalar_Intensity", "f4"), ("class", "u1"),
                           *lists, ("dist", "f8"), ("ring", "u2"), ("tag", "i4"), ("x2", "i1")])
    for k, axis in enumerate("xyz"):
        v[axis] = POINTS[:, k]
    v["scalar_Intensity"], v["class"], v["dist"] = rng.random(N), rng.integers(0, 256, N), rng.normal(size=N)
    v["ring"], v["tag"], v["x2"] = rng.integers(0, 2**16, N), rng.integers(-2**31, 2**31, N), -128
    if lists:
        v["ids"] = [np.arange(k % 4, dtype=np.int32) for k in range(N)]
    faces = np.array([([0, 1, 2], 7)], dtype=[("vertex_indices", "O"), ("flag", "u1")])
    path = tmp_path / "theirs.ply"
    plyfile.PlyData([plyfile.PlyElement.describe(v, "vertex", val_types={"ids": "int32"}),
                     plyfile.PlyElement.describe(faces, "face")],
                    text=encoding == "ascii", byte_order="<" if encoding != "binary_big_endian" else ">").write(path)
    back, fields = nubiro.read(path, fields=True)
    assert np.array_equal(np.asarray(back.points), v[["x", "y", "z"]].tolist())
    assert list(fields) == ["scalar_Intensity", "class", "dist", "ring", "tag", "x2"]
    for name, values in fields.items():
        assert values.dtype == v.dtype[name] and np.array_equal(values, v[name]), name
    assert nubiro.describe(path)["field_names"] == list(fields)


def test_ply_text_values_outside_their_type_come_back_as_float64(tmp_path):
    path = tmp_path / "t.ply"
    path.write_text("ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty uchar u\n"
                    "property int whole\nend_header\n0 1.5 7\n1 300 -2\n")
    _, fields = nubiro.read(path, fields=True)
    assert fields["u"].dtype == np.float64 and fields["u"].tolist() == [1.5, 300]
    assert fields["whole"].dtype == np.int32 and fields["whole"].tolist() == [7, -2]


@pytest.mark.parametrize("fields, message", [
    ({"big": np.full(N, 2**40)}, "field 'big': values beyond 32 bits"),
    ({"nx": np.zeros(N)}, "field 'nx': the name is taken by the cloud's own values"),
    ({"h": np.zeros((N, 2)), "h_0": np.zeros(N)}, "field 'h_0': the name is taken by another column"),
    ({"two words": np.zeros(N)}, "field 'two words': a PLY property name is one word"),
    ({"c": np.zeros(N, dtype=np.complex64)}, "field 'c': dtype complex64 has no PLY type"),
])
def test_ply_refuses_fields_it_cannot_store(tmp_path, fields, message):
    path = tmp_path / "keep.ply"
    nubiro.write(path, full_cloud())
    before = path.read_bytes()
    with pytest.raises(nubiro.FormatError, match=f"keep.ply: PLY: {message}"):
        nubiro.write(path, full_cloud(), fields=fields)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["keep.ply"]


@pytest.mark.parametrize("precision", ["float", "double"])
def test_one_non_finite_point_is_dropped_wherever_it_lies(tmp_path, precision):
    # Binary bodies are decoded two points at a time, with a last point alone: one bad
    # coordinate in each place and axis must be found.
    path = tmp_path / "one.pcd"
    for at in range(5):
        for axis in range(3):
            for bad in (np.nan, np.inf, -np.inf):
                points = np.arange(15, dtype=float).reshape(5, 3)
                points[at, axis] = bad
                nubiro.write(path, cloud(points, NORMALS[:5], COLORS[:5]), precision=precision)
                kept = nubiro.read(path)
                assert np.array_equal(np.asarray(kept.points), np.delete(points, at, axis=0)), (at, axis, bad)
                assert len(kept.normals) == len(kept.colors) == 4


def pcd_file(path, header, body=b""):
    path.write_bytes(header.encode() + body)
    return path


ORGANIZED = """# .PCD v0.7
VERSION 0.7
FIELDS x y z rgb label
SIZE 4 4 4 4 2
TYPE F F F U U
COUNT 1 1 1 1 1
WIDTH 3
HEIGHT 2
VIEWPOINT 1 2 3 1 0 0 0
POINTS 6
DATA ascii
0 0 1 16711680 1
nan nan nan 0 2
1 0 1 65280 3
0 1 1 255 4
1 1 nan 0 5
1 1 1 4294967295 6
"""


def test_organized_pcd_keeps_its_grid_or_drops_its_holes(tmp_path):
    path = pcd_file(tmp_path / "frame.pcd", ORGANIZED)
    grid, fields = nubiro.read(path, remove_non_finite=False, fields=True)
    info = nubiro.describe(path)
    assert (info["width"], info["height"], info["viewpoint"]) == (3, 2, (1, 2, 3, 1, 0, 0, 0))
    assert np.asarray(grid.points).reshape(2, 3, 3)[1, 2].tolist() == [1, 1, 1]
    assert np.isnan(np.asarray(grid.points)[[1, 4]]).any(axis=1).all()
    assert fields["label"].tolist() == [1, 2, 3, 4, 5, 6]
    # rgba as uint32: red, green, blue channels to byte / 255; the viewpoint is not applied
    assert np.asarray(grid.colors)[[0, 2, 3]].tolist() == [[1, 0, 0], [0, 1, 0], [0, 0, 1]]
    kept, fields = nubiro.read(path, fields=True)
    assert len(kept.points) == 4 and fields["label"].tolist() == [1, 3, 4, 6]
    assert np.asarray(kept.colors)[-1].tolist() == [1, 1, 1]


def test_old_headers_padding_and_counts(tmp_path):
    # Version .5: no TYPE (floats), no COUNT, no WIDTH; a padding field and a 3-value field.
    body = b"".join(struct.pack("<3f4x3f", i, 2 * i, 3 * i, i, i, i) for i in range(4))
    path = pcd_file(tmp_path / "old.pcd", "VERSION .5\nFIELDS x y z _ v\nSIZE 4 4 4 4 4\nCOUNT 1 1 1 1 3\n"
                    "POINTS 4\nDATA binary\n", body)
    c, fields = nubiro.read(path, fields=True)
    assert np.asarray(c.points)[3].tolist() == [3, 6, 9]
    assert list(fields) == ["v"] and fields["v"].shape == (4, 3) and fields["v"].dtype == np.float32


# file content (after the name), expected message after "bad.pcd: PCD: "
HEADER = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH {w}\nHEIGHT 1\nPOINTS {n}\nDATA {data}\n"
DAMAGED = [
    ("truncated header", b"VERSION 0.7\nFIELDS x y z\nSIZE 4 4", "header ends without a DATA line"),
    ("not a PCD", b"ply\nformat ascii 1.0\n", "not a PCD header: line 1 starts with 'ply'"),
    ("POINTS vs grid", HEADER.format(w=10, n=11, data="ascii").encode(),
     "POINTS 11 disagrees with WIDTH x HEIGHT = 10 x 1"),
    ("SIZE count", b"FIELDS x y z\nSIZE 4 4\nWIDTH 1\nDATA ascii\n", "SIZE has 2 values for 3 FIELDS"),
    ("SIZE/TYPE", b"FIELDS x y z\nSIZE 4 4 2\nTYPE F F F\nWIDTH 1\nDATA ascii\n", "field z: TYPE F with SIZE 2"),
    ("unknown TYPE", b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F Q\nWIDTH 1\nDATA ascii\n", "field z: TYPE Q with SIZE 4"),
    ("huge COUNT", b"FIELDS x y z\nSIZE 8 8 8\nCOUNT 1 1 4611686018427387904\nWIDTH 1\nDATA binary\n",
     "field z: COUNT 4611686018427387904 is too large"),
    ("unknown DATA", HEADER.format(w=1, n=1, data="zip").encode(), "'zip' is not ascii, binary or binary_compressed"),
    ("short binary", HEADER.format(w=100, n=100, data="binary").encode() + bytes(812),
     "DATA binary: 100 points of 12 bytes need 1200 bytes, the file has 812 after the header"),
    ("short ascii", HEADER.format(w=3, n=3, data="ascii").encode() + b"1 2 3\n4 5\n7 8 9 10\n",
     "DATA ascii: point 1 (line 11) has 2 values, the header declares 3"),
    ("few lines", HEADER.format(w=3, n=3, data="ascii").encode() + b"1 2 3\n4 5 6\n\n\n\n\n\n",
     "DATA ascii: 3 points declared, 2 found"),
    ("bad number", HEADER.format(w=1, n=1, data="ascii").encode() + b"1 2 x3\n", "'x3' is not a value of field z"),
    ("ascii too many points", HEADER.format(w=10**12, n=10**12, data="ascii").encode() + b"1 2 3\n",
     "DATA ascii: 1000000000000 points of 3 values cannot fit"),
    ("compressed size", HEADER.format(w=100, n=100, data="binary_compressed").encode()
     + struct.pack("<II", 812, 1200) + bytes(640), "DATA binary_compressed: compressed size 812 exceeds the 640 bytes left"),
    ("uncompressed size 2^40", HEADER.format(w=2**40 // 12 + 1, n=2**40 // 12 + 1, data="binary_compressed").encode()
     + struct.pack("<II", 4, 2**32 - 1) + bytes(4), "uncompressed size 4294967295 disagrees with 91625968982 points of 12 bytes"),
    ("impossible ratio", HEADER.format(w=10**6, n=10**6, data="binary_compressed").encode()
     + struct.pack("<II", 4, 12 * 10**6) + bytes(4), "uncompressed size 12000000 cannot come from 4 compressed bytes"),
    ("back-reference", HEADER.format(w=1, n=1, data="binary_compressed").encode()
     + struct.pack("<II", 3, 12) + bytes([0x20, 0x05, 0x00]), "reaches before the start of the output"),
    ("literal past end", HEADER.format(w=1, n=1, data="binary_compressed").encode()
     + struct.pack("<II", 14, 12) + bytes([12]) + bytes(13), "runs past the 12 bytes expected"),
    ("stream too short", HEADER.format(w=1, n=1, data="binary_compressed").encode()
     + struct.pack("<II", 5, 12) + bytes([3, 1, 2, 3, 4]), "stream ends after 4 of the 12 bytes expected"),
    ("no size words", HEADER.format(w=1, n=1, data="binary_compressed").encode() + b"\0\0",
     "ends before its compressed and uncompressed sizes"),
]


@pytest.mark.parametrize("content, message", [d[1:] for d in DAMAGED], ids=[d[0] for d in DAMAGED])
def test_damaged_pcd_raises_format_error_naming_the_file(tmp_path, content, message):
    path = tmp_path / "bad.pcd"
    path.write_bytes(content)
    with pytest.raises(nubiro.FormatError) as e:
        nubiro.read(path)
    assert str(e.value).startswith(f"{path}: PCD: ") and message in str(e.value)


def test_damaged_other_formats_raise_format_error(tmp_path):
    cut_binary = (b"ply\nformat binary_little_endian 1.0\nelement vertex 5\nproperty float x\nproperty uchar label\n"
                  b"property list uchar int ids\nend_header\n" + bytes(5 * 6 - 1))  # one byte short
    for name, content in [("a.ply", b"ply\nformat ascii 1.0\nelement vertex 5\nproperty float x\nend_header\n1\n"),
                          ("b.ply", cut_binary), ("a.xyz", b"hello\n"), ("a.xyzn", b"1 2 3\n"), ("a.pts", b"12\n")]:
        (tmp_path / name).write_bytes(content)
        for fields in (False, True):
            with pytest.raises(nubiro.FormatError, match=f"^{tmp_path / name}: "):
                nubiro.read(tmp_path / name, fields=fields)


def test_missing_unreadable_and_unknown_files(tmp_path):
    with pytest.raises(FileNotFoundError):
        nubiro.read(tmp_path / "none.pcd")
    with pytest.raises(IsADirectoryError):
        nubiro.read(tmp_path)
    (tmp_path / "scan.dat").write_text("1 2 3\n")
    with pytest.raises(nubiro.FormatError, match=r"scan.dat: the extension .\.dat. .* reads .ply .xyz .*; format= forces one"):
        nubiro.read(tmp_path / "scan.dat")
    assert np.asarray(nubiro.read(tmp_path / "scan.dat", format="XYZ").points).tolist() == [[1, 2, 3]]
    with pytest.raises(ValueError, match="unknown format 'obj'"):
        nubiro.read(tmp_path / "scan.dat", format="obj")
    if os.geteuid() != 0:  # root reads everything
        locked = tmp_path / "locked.pcd"
        nubiro.write(locked, full_cloud())
        locked.chmod(0)
        with pytest.raises(PermissionError):
            nubiro.read(locked)


def test_failed_write_leaves_the_existing_file_and_no_temporary(tmp_path):
    path = tmp_path / "keep.pcd"
    nubiro.write(path, full_cloud())
    before = path.read_bytes()
    with pytest.raises(nubiro.FormatError, match="keep.pcd: PCD: width x height = 7 x 7 does not hold the 500 points"):
        nubiro.write(path, full_cloud(), width=7, height=7)
    with pytest.raises(ValueError, match="field 'bad' must have one row per point"):
        nubiro.write(path, full_cloud(), fields={"bad": np.zeros(3)})
    with pytest.raises(TypeError, match="the PCD writer has no option 'scale'"):
        nubiro.write(path, full_cloud(), scale=0.1)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["keep.pcd"]
    with pytest.raises(FileNotFoundError):
        nubiro.write(tmp_path / "no" / "such.pcd", full_cloud())


@pytest.mark.parametrize("name, options", [("c.pcd", {}), ("c.pcd", {"precision": "double"}), ("c.ply", {})])
def test_writing_over_a_larger_file_leaves_exactly_the_new_one(tmp_path, name, options):
    # Binary bodies reserve their blocks before they are written; the file must still end
    # where the body does, whatever stood there before.
    from nubiro import io

    big = cloud(np.tile(POINTS, (40, 1)), np.tile(NORMALS, (40, 1)), np.tile(COLORS, (40, 1)))
    fresh, path = tmp_path / ("fresh_" + name), tmp_path / name
    nubiro.write(fresh, full_cloud(), **options)
    nubiro.write(path, big, **options)
    nubiro.write(path, full_cloud(), **options)
    assert path.read_bytes() == fresh.read_bytes()
    if name.endswith(".ply"):  # the plain writer truncates the file in place instead
        assert io.write_point_cloud(str(path), big) and io.write_point_cloud(str(path), full_cloud())
        assert io.write_point_cloud(str(fresh), full_cloud()) and path.read_bytes() == fresh.read_bytes()


def test_las_read_matches_laspy_and_write_chooses_scale(tmp_path):
    laspy = pytest.importorskip("laspy")
    header = laspy.LasHeader(point_format=3, version="1.2")
    header.scales, header.offsets = [0.01, 0.01, 0.001], [1000.0, 2000.0, 0.0]
    las = laspy.LasData(header)
    las.X, las.Y, las.Z = (rng.integers(-10**6, 10**6, N) for _ in range(3))
    las.red, las.green, las.blue = (rng.integers(0, 65536, N) for _ in range(3))
    las.classification = rng.integers(0, 8, N)
    las.intensity = rng.integers(0, 65536, N)
    for name in ("t.las", "t.laz"):
        las.write(tmp_path / name)
        back, fields = nubiro.read(tmp_path / name, fields=True)
        assert np.array_equal(np.asarray(back.points), np.column_stack([las.x, las.y, las.z]))
        assert np.array_equal(np.asarray(back.colors) * 65535, np.column_stack([las.red, las.green, las.blue]))
        assert np.array_equal(fields["classification"], las.classification)
        assert np.array_equal(fields["intensity"], las.intensity)
    info = nubiro.describe(tmp_path / "t.laz")
    assert info["format"] == "laz" and info["scale"] == [0.01, 0.01, 0.001] and info["point_format"] == 3
    assert sum(info["classes"].values()) == N
    # Writing: 0.1 mm by default, point format 7 for LAS 1.4 with colours, fields kept.
    nubiro.write(tmp_path / "w.laz", back, version="1.4", fields={"classification": fields["classification"]})
    written = laspy.read(tmp_path / "w.laz")
    assert written.header.point_format.id == 7 and list(written.header.scales) == [0.0001] * 3
    assert np.abs(np.column_stack([written.x, written.y, written.z]) - np.asarray(back.points)).max() <= 0.00005
    assert np.array_equal(written.classification, fields["classification"])


def test_las_refuses_what_it_cannot_store(tmp_path):
    pytest.importorskip("laspy")
    path = tmp_path / "x.las"
    with pytest.raises(nubiro.FormatError, match="x.las: LAS: LAS cannot store NaN"):
        nubiro.write(path, cloud([[0, 0, np.nan]]))
    with pytest.raises(nubiro.FormatError, match="do not fit in 32-bit integers"):
        nubiro.write(path, cloud([[0, 0, 0], [1e6, 0, 0]]))
    nubiro.write(path, cloud([[0, 0, 0], [1e6, 0, 0]]), scale=0.001)
    assert np.asarray(nubiro.read(path).points)[1, 0] == 1e6
    path.write_bytes(b"LASF" + bytes(50))
    with pytest.raises(nubiro.FormatError, match="x.las: LAS: "):
        nubiro.read(path)


def test_missing_extra_names_it(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "laspy", None)
    (tmp_path / "a.laz").write_bytes(b"LASF")
    with pytest.raises(ImportError, match=r"pip install 'nubiro\[las\]'"):
        nubiro.read(tmp_path / "a.laz")


def test_e57_scans_are_moved_by_their_poses(tmp_path):
    pye57 = pytest.importorskip("pye57")
    path = str(tmp_path / "two.e57")
    scans = [rng.normal(size=(50, 3)), rng.normal(size=(70, 3))]
    with pye57.E57(path, mode="w") as e57:
        for k, pts in enumerate(scans):
            data = {"cartesianX": pts[:, 0], "cartesianY": pts[:, 1], "cartesianZ": pts[:, 2],
                    "intensity": np.full(len(pts), 0.5 * k), "colorRed": np.full(len(pts), 255, np.uint8),
                    "colorGreen": np.zeros(len(pts), np.uint8), "colorBlue": np.zeros(len(pts), np.uint8)}
            e57.write_scan_raw(data, rotation=np.array([0.0, 0.0, 0.0, 1.0]) if k else np.array([1.0, 0, 0, 0]),
                               translation=np.array([10.0 * k, 0.0, 0.0]))
    whole, fields = nubiro.read(path, fields=True)
    moved = scans[1] * [-1, -1, 1] + [10, 0, 0]  # half a turn about z (quaternion w x y z = 0 0 0 1)
    assert np.allclose(np.asarray(whole.points), np.vstack([scans[0], moved]))
    assert np.asarray(whole.colors).tolist()[0] == [1, 0, 0] and fields["scan"].tolist() == [0] * 50 + [1] * 70
    parts = nubiro.read(path, scans=True)
    assert [len(p.points) for p in parts] == [50, 70]
    # Damaged copies: one line naming the file, without the library's debug dump.
    data = open(path, "rb").read()
    flipped = bytearray(data)
    flipped[len(data) // 2] ^= 0xFF
    for name, content, message in [("cut.e57", data[:2000], "ErrorBadFileLength"),
                                   ("flipped.e57", bytes(flipped), "ErrorBadChecksum"),
                                   ("text.e57", b"garbage", "cannot open")]:
        (tmp_path / name).write_bytes(content)
        with pytest.raises(nubiro.FormatError, match=f"^{tmp_path / name}: E57: .*{message}") as e:
            nubiro.read(tmp_path / name)
        assert "\n" not in str(e.value)


@pytest.mark.parametrize("encoding", ["binary", "binary_compressed", "ascii"])
def test_pcd_without_points_reads_as_an_empty_cloud(tmp_path, encoding):
    # A header with wide fields and no points: nothing to decode, nothing to allocate.
    path = pcd_file(tmp_path / "none.pcd", f"FIELDS x y z h\nSIZE 4 4 4 8\nCOUNT 1 1 1 1000000000\nWIDTH 0\n"
                                           f"DATA {encoding}\n", b"\0" * 8 if encoding == "binary_compressed" else b"")
    empty, fields = nubiro.read(path, fields=True)
    assert len(empty.points) == 0 and fields["h"].shape == (0, 1000000000)
    nubiro.write(tmp_path / "w.pcd", empty, encoding=encoding, fields=fields)
    assert len(nubiro.read(tmp_path / "w.pcd").points) == 0
