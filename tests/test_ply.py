"""PLY: header parsing, body walking in all three encodings, the point-cloud consumer, the
writers byte for byte, files from an independent PLY library, and damaged files."""
import math
import shutil
import struct
from pathlib import Path

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry, io, utility

BUNNY = Path(__file__).parent / "data" / "bunny.ply"
UNKNOWN, POINTS, TRIANGLES = io.CONTENTS_UNKNOWN, io.CONTAINS_POINTS, io.CONTAINS_TRIANGLES


@pytest.fixture
def ply(tmp_path):
    """Writes bytes (or text) to a fresh .ply file and returns its path as a str."""
    counter = iter(range(10**6))

    def write(data):
        path = tmp_path / f"f{next(counter)}.ply"
        path.write_bytes(data.encode() if isinstance(data, str) else data)
        return str(path)
    return write


def arrays(pc):
    return np.asarray(pc.points), np.asarray(pc.normals), np.asarray(pc.colors)


def ascii_file(header_lines, body):
    return "ply\nformat ascii 1.0\n" + "".join(l + "\n" for l in header_lines) + "end_header\n" + body


XYZ = ["element vertex 2", "property float x", "property float y", "property float z"]


# ---- header -------------------------------------------------------------------------------------

@pytest.mark.parametrize("data, points", [
    (ascii_file(XYZ, "1 2 3\n4 5 6\n"), 2),
    (ascii_file(XYZ, "1 2 3\n4 5 6\n").replace("\n", "\r\n"), 2),             # CR LF everywhere
    (" \u00a0ply\u3000\nformat ascii 2.0 extra\n" + "\n".join(XYZ) + "\n\n  \nend_header  junk\n1 2 3 4 5 6", 2),
    (ascii_file(["comment x", "obj_info y", "whatever line", "element vertex +2 more",
                 "property float64 x extra", "property float32 y"], "1 2 3 4"), 2),
    ("PLY\n" + ascii_file(XYZ, "1 2 3 4 5 6")[4:], 0),                      # first line in capitals
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("format ascii 1.0\n", ""), 0),  # no format line
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("ascii", "binary"), 0),
    (ascii_file(XYZ, "").replace("format ascii 1.0", "format"), 0),
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("vertex 2", "vertex -1"), 0),
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("vertex 2", "vertex +"), 0),
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("vertex 2", "vertex 1e3"), 0),
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("vertex 2", "vertex 18446744073709551616"), 0),
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("vertex 2", "vertex"), 0),
    (ascii_file(["property float x"] + XYZ, "1 2 3 4 5 6"), 0),               # property before element
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("float x", "float128 x"), 0),
    (ascii_file(XYZ, "1 2 3 4 5 6").replace("float x", "float"), 0),
    (ascii_file(XYZ + ["property list uchar x"], "1 2 3 0 4 5 6 0"), 0),
    (ascii_file(XYZ, "1 2 3 4 5 6").encode().replace(b"comment", b"") + b"", 2),
    (b"ply\nformat ascii 1.0\ncomment \xff\n" + "\n".join(XYZ).encode() + b"\nend_header\n1 2 3 4 5 6", 0),
    (ascii_file(XYZ, "")[:-1], 0),                                            # no LF after end_header
])
def test_header_rules(ply, data, points):
    assert len(io.read_point_cloud(ply(data)).points) == points


def test_type_words_and_list_declarations(ply):
    header = ["element vertex 1"] + [f"property {t} p{i}" for i, t in enumerate(
        "char int8 uchar uint8 short int16 ushort uint16 int int32 uint uint32 float float32 double float64".split())]
    header += ["property float64 x", "property list uint8 int32 vertex_indices", "property list uchar float y"]
    pc = io.read_point_cloud(ply(ascii_file(header, " ".join(["1"] * 16) + " 7 2 5 6 3 8 9 10\n")))
    np.testing.assert_array_equal(arrays(pc)[0], [[7, 10, 0]])   # the last list item wins


# ---- body ---------------------------------------------------------------------------------------

def binary_file(endian, types, rows, extra_header=()):
    """A binary PLY with one vertex element of the given (name, type word, struct code) columns."""
    order = "<" if endian == "little" else ">"
    head = f"ply\nformat binary_{endian}_endian 1.0\nelement vertex {len(rows)}\n"
    head += "".join(f"property {t} {n}\n" for n, t, _ in types) + "".join(l + "\n" for l in extra_header)
    body = b"".join(struct.pack(order + "".join(c for _, _, c in types), *r) for r in rows)
    return (head + "end_header\n").encode() + body


ALL_TYPES = [("x", "double", "d"), ("y", "float", "f"), ("z", "int", "i"), ("nx", "uint", "I"),
             ("ny", "short", "h"), ("nz", "ushort", "H"), ("red", "uchar", "B"), ("green", "char", "b"),
             ("blue", "float64", "d")]
ROWS = [(0.1, 1.5, -7, 4000000000, -300, 65535, 255, -128, 127.5),
        (-1e300, -0.0, 2**31 - 1, 0, 32767, 0, 0, 127, math.inf)]


@pytest.mark.parametrize("endian", ["little", "big"])
def test_binary_encodings_read_every_type_exactly(ply, endian):
    p, n, c = arrays(io.read_point_cloud(ply(binary_file(endian, ALL_TYPES, ROWS))))
    np.testing.assert_array_equal(p, [[0.1, 1.5, -7], [-1e300, -0.0, 2**31 - 1]])
    assert math.copysign(1, p[1, 1]) < 0
    np.testing.assert_array_equal(n, [[4000000000, -300, 65535], [0, 32767, 0]])
    np.testing.assert_array_equal(c, [[1.0, -128 / 255, 127.5 / 255], [0, 127 / 255, math.inf]])


def test_text_body_matches_binary_and_ignores_lines(ply):
    text = " ".join(repr(v) for row in ROWS for v in row)        # all values on one line
    header = [f"element vertex {len(ROWS)}"] + [f"property {t} {n}" for n, t, _ in ALL_TYPES]
    for body in (text, text.replace(" ", "\n\t ")):
        a = arrays(io.read_point_cloud(ply(ascii_file(header, body + " trailing junk"))))
        b = arrays(io.read_point_cloud(ply(binary_file("little", ALL_TYPES, ROWS))))
        for x, y in zip(a, b):
            np.testing.assert_array_equal(x, y)


@pytest.mark.parametrize("body, ok", [
    ("1 2 3 4 5 6", True),
    ("1 2 3 4 5", False),              # missing value
    ("1 2 3 4 5 x", False),            # strict parse
    ("1 2 3 4 5 0x10", False),
    ("1 2 3 4 5 6\xe9", False),        # not one token that parses
    ("+1 .5 1e2 -INF nan 6.", True),
])
def test_text_values_are_strict(ply, body, ok):
    assert (len(io.read_point_cloud(ply(ascii_file(XYZ, body))).points) == 2) == ok


@pytest.mark.parametrize("length, items, ok", [
    ("2", "5 6", True), ("2.9", "5 6", True), ("-1", "", True), ("nan", "", True), ("0", "", True),
    ("3", "5 6", False), ("1e30", "5 6", False),
])
def test_text_list_lengths(ply, length, items, ok):
    header = ["element vertex 1", "property float x", "property list float int junk", "property float y"]
    pc = io.read_point_cloud(ply(ascii_file(header, f"1 {length} {items} 9")))
    assert (len(pc.points) == 1) == ok
    if ok:
        np.testing.assert_array_equal(np.asarray(pc.points), [[1, 9, 0]])


def test_other_elements_and_list_rows_in_binary(ply):
    head = ("ply\nformat binary_big_endian 1.0\nelement extra 2\nproperty list ushort double d\n"
            "element vertex 2\nproperty uchar red\nproperty list uchar int skip\nproperty double x\n"
            "property double y\nproperty float ny\nend_header\n").encode()
    body = struct.pack(">H2dH", 2, 1.0, 2.0, 0)
    body += struct.pack(">BB2idd f", 10, 2, 7, 8, 1.5, 2.5, 3.0) + struct.pack(">BBdd f", 20, 0, 3.5, 4.5, 1.0)
    p, n, c = arrays(io.read_point_cloud(ply(head + body + b"ignored tail")))
    np.testing.assert_array_equal(p, [[1.5, 2.5, 0], [3.5, 4.5, 0]])   # no z: 0
    assert n.shape == (0, 3)                                            # ny without nx: no normals
    np.testing.assert_array_equal(c, [[10 / 255, 0, 0], [20 / 255, 0, 0]])
    assert len(io.read_point_cloud(ply(head + body[:-1])).points) == 0  # one byte short


@pytest.mark.parametrize("header", [
    ["element vertex 0", "property float x"],
    ["element vertex 1", "property float y"],
    ["element face 1", "property float x"],
])
def test_vertex_element_required(ply, header):
    assert len(io.read_point_cloud(ply(ascii_file(header, "1"))).points) == 0


# ---- writers --------------------------------------------------------------------------------

def general(x):
    if math.isnan(x):
        return "-nan" if math.copysign(1, x) < 0 else "nan"
    return "%g" % x


@pytest.mark.parametrize("normals, colors", [(False, False), (True, False), (False, True), (True, True)])
def test_writers_byte_exact(make_cloud, tmp_path, normals, colors):
    pts = np.array([[0.1 + 0.2, -0.0, 1e-5], [999999.5, np.nan, -np.nan], [np.inf, 42.0, 3.14159265]])
    nrm = np.array([[1e100, 2.5e-3, 0.5], [0, 1, 0], [1e-4, 123456.7, -2.5e6]])
    col = np.array([[0.5 / 255, 1.5 / 255, 254.5 / 255], [np.nan, -1, 2], [0.2, 0.6, 1.0]])
    pc = make_cloud(pts, normals=nrm if normals else np.zeros((1, 3)), colors=col if colors else None)
    head = "ply\nformat {} 1.0\ncomment Created by nubiro\nelement vertex 3\n"
    head += "property double x\nproperty double y\nproperty double z\n"
    if normals:
        head += "property double nx\nproperty double ny\nproperty double nz\n"
    if colors:
        head += "property uchar red\nproperty uchar green\nproperty uchar blue\n"
    head += "end_header\n"
    bytes_ = [[1, 2, 255], [0, 0, 255], [51, 153, 255]]   # halves away from zero, clamped, NaN -> 0
    text = binary = b""
    for i in range(3):
        row = list(pts[i]) + (list(nrm[i]) if normals else [])
        text += " ".join([general(v) for v in row] + ([str(b) for b in bytes_[i]] if colors else [])).encode() + b"\n"
        binary += struct.pack("<%dd" % len(row), *row) + (bytes(bytes_[i]) if colors else b"")
    for ascii, expected in ((True, head.format("ascii").encode() + text),
                            (False, head.format("binary_little_endian").encode() + binary)):
        path = tmp_path / "w.ply"
        assert io.write_point_cloud(str(path), pc, write_ascii=ascii)
        assert path.read_bytes() == expected


def test_round_trips(make_cloud, tmp_path):
    rng = np.random.default_rng(3)
    n = 20000    # several write blocks
    pts, nrm, col = rng.normal(size=(n, 3)) * 1e3, rng.normal(size=(n, 3)), rng.random((n, 3))
    pc = make_cloud(pts, normals=nrm, colors=col)
    binary, text = str(tmp_path / "b.ply"), str(tmp_path / "a.ply")
    assert io.write_point_cloud(binary, pc) and io.write_point_cloud(text, pc, write_ascii=True)
    p, n_, c = arrays(io.read_point_cloud(binary))
    assert p.tobytes() == pts.tobytes() and n_.tobytes() == nrm.tobytes()
    np.testing.assert_array_equal(c, np.floor(col * 255 + 0.5) / 255)
    p, n_, c = arrays(io.read_point_cloud(text))
    np.testing.assert_array_equal(p, np.array([[float("%.6g" % v) for v in r] for r in pts]))
    np.testing.assert_allclose(n_, nrm, rtol=5e-6)
    np.testing.assert_array_equal(c, np.floor(col * 255 + 0.5) / 255)


# ---- an independent PLY library ---------------------------------------------------------------

@pytest.mark.parametrize("encoding", ["ascii", "binary_little_endian", "binary_big_endian"])
def test_files_from_plyfile(tmp_path, encoding):
    plyfile = pytest.importorskip("plyfile")
    rng = np.random.default_rng(4)
    dtype = [("x", "f4"), ("y", "f4"), ("z", "f8"), ("nx", "f8"), ("ny", "f8"), ("nz", "f8"),
             ("red", "u1"), ("green", "u1"), ("blue", "u1"), ("alpha", "u1"), ("label", "i4")]
    v = np.zeros(500, dtype=dtype)
    for name, t in dtype:
        v[name] = rng.integers(0, 256, 500) if t == "u1" else rng.normal(size=500) * 100
    faces = np.empty(3, dtype=[("vertex_indices", "i4", (3,))])
    faces["vertex_indices"] = [[0, 1, 2], [2, 3, 4], [4, 5, 6]]
    elements = [plyfile.PlyElement.describe(v, "vertex"), plyfile.PlyElement.describe(faces, "face")]
    path = tmp_path / "lib.ply"
    plyfile.PlyData(elements, text=encoding == "ascii",
                    byte_order={"binary_big_endian": ">"}.get(encoding, "<")).write(str(path))
    p, n, c = arrays(io.read_point_cloud(str(path)))
    np.testing.assert_array_equal(p, np.column_stack([v["x"], v["y"], v["z"]]).astype(np.float64))
    np.testing.assert_array_equal(n, np.column_stack([v["nx"], v["ny"], v["nz"]]))
    np.testing.assert_array_equal(c, np.column_stack([v["red"], v["green"], v["blue"]]) / 255)
    assert io.read_file_geometry_type(str(path)) == TRIANGLES


def test_plyfile_reads_what_we_write(make_cloud, tmp_path):
    plyfile = pytest.importorskip("plyfile")
    rng = np.random.default_rng(5)
    pc = make_cloud(rng.normal(size=(50, 3)), normals=rng.normal(size=(50, 3)), colors=rng.random((50, 3)))
    for ascii in (False, True):
        path = str(tmp_path / "ours.ply")
        assert io.write_point_cloud(path, pc, write_ascii=ascii)
        v = plyfile.PlyData.read(path)["vertex"].data
        got = np.column_stack([v[k] for k in ("x", "y", "z")])
        if ascii:
            np.testing.assert_allclose(got, np.asarray(pc.points), rtol=1e-5)
        else:
            np.testing.assert_array_equal(got, np.asarray(pc.points))
        np.testing.assert_array_equal(np.column_stack([v[k] for k in ("red", "green", "blue")]),
                                      np.floor(np.asarray(pc.colors) * 255 + 0.5))


def test_bunny(tmp_path):
    pc = io.read_point_cloud(str(BUNNY))
    assert len(pc.points) == 1839 and not pc.has_normals() and not pc.has_colors()
    assert io.read_file_geometry_type(BUNNY) == TRIANGLES
    lines = BUNNY.read_text().splitlines()
    first = lines[lines.index("end_header") + 1]
    np.testing.assert_array_equal(np.asarray(pc.points)[0], [float(v) for v in first.split()[:3]])


# ---- damaged files ----------------------------------------------------------------------------

def good_binary():
    rows = [(float(i), i * 0.5, -i, 1, 0, 0, 200, 100, 50.0) for i in range(40)]
    types = [(n, t, c) for (n, t, c) in ALL_TYPES]
    return binary_file("little", types, rows, extra_header=["element face 3", "property list uchar int vertex_indices"]) + \
        b"".join(struct.pack("<B3i", 3, i, i + 1, i + 2) for i in range(3))


def good_ascii():
    return BUNNY.read_bytes()[:6000].rsplit(b"\n", 1)[0].replace(b"element vertex 1839", b"element vertex 80") \
        .replace(b"element face 3674", b"element face 0") + b"\n"


@pytest.mark.parametrize("make", [good_binary, good_ascii])
def test_truncated_and_corrupted_files_never_give_partial_clouds(ply, make):
    data = make()
    full = io.read_point_cloud(ply(data))
    n = len(full.points)
    assert n > 0
    body = data.index(b"end_header\n") + len(b"end_header\n")
    # Cut at every header line and at many body positions: empty, or the whole cloud when
    # nothing it needs was cut.
    cuts = [i + 1 for i, b in enumerate(data[:body]) if b == ord("\n")] + [i for i in range(body)] + \
        list(range(body, len(data), 7))
    for cut in cuts:
        got = len(io.read_point_cloud(ply(data[:cut])).points)
        assert got in (0, n)
    rng = np.random.default_rng(6)
    for _ in range(200):
        damaged = bytearray(data)
        for pos in rng.integers(0, len(data), 3):
            damaged[pos] ^= 1 << int(rng.integers(8))
        pc = io.read_point_cloud(ply(bytes(damaged)))
        assert len(pc.points) in (0, n)
        assert len(pc.normals) in (0, n) and len(pc.colors) in (0, n)


@pytest.mark.parametrize("count", ["18446744073709551615", "1000000000000", "4294967296", "41"])
def test_declared_counts_beyond_the_body_fail_at_once(ply, count):
    data = good_binary().replace(b"element vertex 40", b"element vertex " + count.encode())
    assert len(io.read_point_cloud(ply(data)).points) == 0
    text = ascii_file(["element vertex " + count, "property double x"], "1 " * 20)
    assert len(io.read_point_cloud(ply(text)).points) == 0


def test_elements_without_properties_are_skipped(ply):
    header = ["element nothing 18446744073709551615", "element vertex 1", "property float x"]
    assert len(io.read_point_cloud(ply(ascii_file(header, "5"))).points) == 1
    data = binary_file("little", [("x", "double", "d")], [(5.0,)], ["element nothing 18446744073709551615"])
    assert len(io.read_point_cloud(ply(data)).points) == 1


def test_binary_list_lengths_beyond_the_body(ply):
    head = b"ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty double x\n" \
           b"property list uint double junk\nend_header\n"
    assert len(io.read_point_cloud(ply(head + struct.pack("<dI", 1.0, 0xFFFFFFFF) + b"\0" * 64)).points) == 0
    assert len(io.read_point_cloud(ply(head + struct.pack("<dId", 1.0, 1, 2.0))).points) == 1


# ---- large files: read in blocks, written in blocks at their places ----------------------------

def cloud_rows(n, seed):
    rng = np.random.default_rng(seed)
    pts, nrm, col = rng.normal(size=(n, 3)) * 100, rng.normal(size=(n, 3)), rng.random((n, 3))
    rows = np.empty(n, dtype=[("p", "<f8", 3), ("n", "<f8", 3), ("c", "u1", 3)])
    rows["p"], rows["n"], rows["c"] = pts, nrm, np.floor(col * 255 + 0.5)
    return pts, nrm, col, rows


def test_large_binary_writes_are_byte_exact(make_cloud, tmp_path):
    n = 300_001  # many blocks, the last one short
    pts, nrm, col, rows = cloud_rows(n, 11)
    head = (f"ply\nformat binary_little_endian 1.0\ncomment Created by nubiro\nelement vertex {n}\n"
            "property double x\nproperty double y\nproperty double z\n"
            "property double nx\nproperty double ny\nproperty double nz\n"
            "property uchar red\nproperty uchar green\nproperty uchar blue\n")
    path = tmp_path / "big.ply"
    assert io.write_point_cloud(str(path), make_cloud(pts, normals=nrm, colors=col))
    assert path.read_bytes() == (head + "end_header\n").encode() + rows.tobytes()

    tri = np.random.default_rng(12).integers(-5, n, size=(200_000, 3)).astype(np.int32)
    mesh = geometry.TriangleMesh()
    mesh.vertices, mesh.triangles = utility.Vector3dVector(pts), utility.Vector3iVector(tri)
    faces = np.empty(len(tri), dtype=[("k", "u1"), ("i", "<i4", 3)])
    faces["k"], faces["i"] = 3, tri
    path = tmp_path / "mesh.ply"
    assert io.write_triangle_mesh(str(path), mesh)
    expected = (f"ply\nformat binary_little_endian 1.0\ncomment Created by nubiro\nelement vertex {n}\n"
                "property double x\nproperty double y\nproperty double z\n"
                f"element face {len(tri)}\nproperty list uchar uint vertex_indices\nend_header\n").encode()
    assert path.read_bytes() == expected + pts.tobytes() + faces.tobytes()


def test_long_headers_and_list_rows_are_read_through_the_window(ply):
    # Rows with lists have no fixed size and are walked value by value through a small window
    # that is refilled; values straddle its edges. The header alone is longer than the first read.
    n = 120_000
    rng = np.random.default_rng(13)
    x, y, z = rng.normal(size=n), rng.normal(size=n).astype("<f4"), rng.integers(-1000, 1000, n).astype("<i4")
    lengths = rng.integers(0, 4, n)
    head = "ply\nformat binary_little_endian 1.0\n" + "comment padding the header\n" * 5000 + \
        f"element vertex {n}\nproperty double x\nproperty list uchar float junk\nproperty float y\n" \
        "property int z\nend_header\n"
    body = b"".join(struct.pack(f"<dB{k}ffi", x[i], k, *([0.5] * k), y[i], z[i]) for i, k in enumerate(lengths))
    p, _, _ = arrays(io.read_point_cloud(ply(head.encode() + body)))
    np.testing.assert_array_equal(p, np.column_stack([x, y.astype(np.float64), z]))
    assert len(io.read_point_cloud(ply(head.encode() + body[:-1])).points) == 0


def test_a_file_shrinking_during_a_read_gives_empty_or_whole_clouds(make_cloud, tmp_path):
    import threading
    import time

    n = 1_000_000
    pts, nrm, col, _ = cloud_rows(n, 14)
    source = tmp_path / "source.ply"
    assert io.write_point_cloud(str(source), make_cloud(pts, normals=nrm, colors=col))
    size = source.stat().st_size
    outcomes = set()
    for delay in (0.0, 0.002, 0.005, 0.01, 0.02):
        path = tmp_path / "shrinking.ply"
        shutil.copyfile(source, path)

        def shrink():
            time.sleep(delay)
            with open(path, "r+b") as f:
                f.truncate(size // 3)

        cutter = threading.Thread(target=shrink)
        cutter.start()
        pc = io.read_point_cloud(str(path))
        cutter.join()
        got = len(pc.points)
        assert got in (0, n) and len(pc.normals) == got and len(pc.colors) == got
        if got:
            np.testing.assert_array_equal(np.asarray(pc.points), pts)
        outcomes.add(got)
    assert 0 in outcomes
