"""The io submodule: FileGeometry, format resolution, path arguments, argument checks, point
filtering, and file-system failures that give empty objects or False instead of raising."""
import os
import pathlib
import threading

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry, io

BUNNY = pathlib.Path(__file__).parent / "data" / "bunny.ply"


def test_file_geometry_enumeration():
    members = [("CONTENTS_UNKNOWN", 0), ("CONTAINS_POINTS", 1), ("CONTAINS_LINES", 2), ("CONTAINS_TRIANGLES", 4)]
    assert io.FileGeometry.__module__ == "nubiro.cpu.pybind.io"
    for name, value in members:
        m = getattr(io.FileGeometry, name)
        assert getattr(io, name) is m
        assert (m.name, m.value, int(m), repr(m)) == (name, value, value, f"<FileGeometry.{name}: {value}>")
    with pytest.raises(TypeError, match="No constructor defined for FileGeometry"):
        io.FileGeometry()
    assert io.CONTAINS_POINTS != geometry.Geometry.PointCloud


def ply_bytes(vertices, faces=None, face_props="property list uchar int vertex_indices"):
    head = f"ply\nformat ascii 1.0\nelement vertex {vertices}\nproperty float x\n"
    if faces is not None:
        head += f"element face {faces}\n{face_props}\n"
    return head + "end_header\n" + "1\n" * vertices + "0\n" * (faces or 0)


@pytest.mark.parametrize("name, content, expected", [
    ("a.xyz", None, io.CONTAINS_POINTS),               # not even opened
    ("a.ply", None, io.CONTENTS_UNKNOWN),              # missing
    ("a.ply", ply_bytes(2), io.CONTAINS_POINTS),
    ("a.ply", ply_bytes(2, 0), io.CONTAINS_POINTS),    # no faces
    ("a.ply", ply_bytes(2, 1), io.CONTAINS_TRIANGLES),
    ("a.ply", ply_bytes(0, 1, "property list uchar int vertex_index"), io.CONTAINS_TRIANGLES),
    ("a.ply", ply_bytes(2, 1, "property list uchar int indices"), io.CONTAINS_POINTS),
    ("a.ply", ply_bytes(0), io.CONTENTS_UNKNOWN),
    ("a.ply", "ply\nformat ascii 1.0\nend_header\n", io.CONTENTS_UNKNOWN),
    ("a.ply", "ply\nelement vertex 1\nend_header\n", io.CONTENTS_UNKNOWN),
    ("a.PLY", ply_bytes(2), io.CONTAINS_POINTS),
    ("a.obj", ply_bytes(2), io.CONTENTS_UNKNOWN),
])
def test_read_file_geometry_type(tmp_path, name, content, expected):
    path = tmp_path / name
    if content is not None:
        path.write_text(content)
    assert io.read_file_geometry_type(path) == expected


def test_format_resolution(tmp_path):
    data = BUNNY.read_bytes()
    for name in ("upper.PLY", "mixed.PlY", "x.tar.ply"):
        (tmp_path / name).write_bytes(data)
        assert len(io.read_point_cloud(str(tmp_path / name)).points) == 1839
    ply = str(tmp_path / "upper.PLY")
    assert len(io.read_point_cloud(ply, format="PLY").points) == 0      # explicit, case-sensitive
    assert len(io.read_point_cloud(ply, format="ply").points) == 1839
    assert len(io.read_point_cloud(ply, format="xyz").points) == 1839 + 3674  # every line of three numbers
    (tmp_path / "pts.txt").write_text("1 2 3\n")
    assert len(io.read_point_cloud(str(tmp_path / "pts.txt")).points) == 0
    assert len(io.read_point_cloud(str(tmp_path / "pts.txt"), format="xyz").points) == 1
    # The last point anywhere in the path: a directory name with a point.
    d = tmp_path / "data.v1"
    d.mkdir()
    (d / "cloud").write_bytes(data)
    assert len(io.read_point_cloud(str(d / "cloud")).points) == 0
    assert len(io.read_point_cloud(str(d / "cloud"), format="ply").points) == 1839


def test_path_arguments(tmp_path):
    class Custom:
        def __fspath__(self):
            return str(BUNNY)

    class BytesPath:
        def __fspath__(self):
            return b"cloud.ply"

    assert len(io.read_point_cloud(Custom()).points) == 1839
    assert len(io.read_point_cloud(filename=BUNNY).points) == 1839
    with pytest.raises(TypeError, match="^expected str, bytes or os.PathLike object, not int$"):
        io.read_point_cloud(3)                                          # os.fspath's own error
    for bad in (b"cloud.ply", BytesPath()):
        with pytest.raises(TypeError, match="^argument 'filename': 'bytes' object cannot be converted to 'PyString'$"):
            io.read_point_cloud(bad)
    assert len(io.read_point_cloud(str(BUNNY) + "\0.ply").points) == 0  # embedded NUL names no file
    # Non-ASCII and surrogate-escaped names name the same file Python would.
    for name in ("nuage-é.ply", os.fsdecode(b"raw-\xff.ply")):
        target = tmp_path / name
        target.write_bytes(BUNNY.read_bytes())
        assert len(io.read_point_cloud(str(target)).points) == 1839
        assert io.write_point_cloud(str(target), io.read_point_cloud(BUNNY))


@pytest.mark.parametrize("call, message", [
    (lambda: io.read_point_cloud(str(BUNNY), format=1), "argument 'format': 'int' object cannot be converted to 'PyString'"),
    (lambda: io.read_point_cloud(str(BUNNY), remove_nan_points=1), "argument 'remove_nan_points': "),
    (lambda: io.read_point_cloud(str(BUNNY), print_progress=None), "argument 'print_progress': "),
    (lambda: io.read_point_cloud_from_bytes(bytearray(b"1 2 3"), "mem::xyz"),
     "argument 'bytes': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: io.write_point_cloud("a.ply", "cloud"), "argument 'pointcloud': 'str' object cannot be converted"),
    (lambda: io.write_point_cloud("a.ply", geometry.PointCloud(), format=None), "argument 'format': "),
    (lambda: io.write_point_cloud("a.ply", geometry.PointCloud(), compressed=0), "argument 'compressed': "),
    (lambda: io.write_point_cloud_to_bytes(geometry.PointCloud(), "mem::xyz", write_ascii=1), "argument 'write_ascii': "),
    (lambda: io.read_point_cloud(), "read_point_cloud() missing 1 required positional argument: 'filename'"),
    (lambda: io.write_point_cloud_to_bytes(geometry.PointCloud(), fmt="x"), "unexpected keyword argument 'fmt'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_byte_string_formats():
    pc = geometry.PointCloud()
    pc.points = np.array([[1.0, 2.0, 3.0]])
    for fmt in ("auto", "xyz", "MEM::XYZ", ""):
        with pytest.raises(ValueError) as info:
            io.write_point_cloud_to_bytes(pc, format=fmt)
        assert str(info.value) == "unsupported byte format: " + fmt
        assert len(io.read_point_cloud_from_bytes(b"1 2 3", format=fmt).points) == 0
    assert io.write_point_cloud_to_bytes(pc, "mem::xyz") == b"1.0000000000 2.0000000000 3.0000000000\n"


def test_writers_choose_by_file_name(tmp_path, make_cloud):
    pc = make_cloud([[1, 2, 3]])
    empty = geometry.PointCloud()
    assert not io.write_point_cloud(str(tmp_path / "e.ply"), empty) and not (tmp_path / "e.ply").exists()
    assert io.write_point_cloud(str(tmp_path / "e.xyz"), empty) and (tmp_path / "e.xyz").read_bytes() == b""
    assert not io.write_point_cloud(str(tmp_path / "a.txt"), pc) and not (tmp_path / "a.txt").exists()
    # The format argument is converted but the file name decides.
    assert io.write_point_cloud(str(tmp_path / "b.XYZ"), pc, format="ply", write_ascii=True)
    assert (tmp_path / "b.XYZ").read_bytes() == b"1.0000000000 2.0000000000 3.0000000000\n"
    assert io.write_point_cloud(tmp_path / "c.ply", pc, format="xyz")
    assert (tmp_path / "c.ply").read_bytes().startswith(b"ply\nformat binary_little_endian 1.0\n")


def test_file_system_failures(tmp_path, make_cloud):
    pc = make_cloud([[1, 2, 3]])
    (tmp_path / "dir.ply").mkdir()
    (tmp_path / "dir.xyz").mkdir()
    for name in ("dir.ply", "dir.xyz", "missing.ply", "missing.xyz", "no/such/dir.ply", "no/such/dir.xyz"):
        assert len(io.read_point_cloud(str(tmp_path / name)).points) == 0
        if "missing" not in name:
            assert not io.write_point_cloud(str(tmp_path / name), pc)
    assert io.read_file_geometry_type(str(tmp_path / "dir.ply")) == io.CONTENTS_UNKNOWN
    for device in ("/dev/zero", "/dev/null"):
        assert len(io.read_point_cloud(device, format="xyz").points) == 0
    if os.geteuid() != 0:
        locked = tmp_path / "locked.ply"
        locked.write_bytes(BUNNY.read_bytes())
        locked.chmod(0)
        assert len(io.read_point_cloud(str(locked)).points) == 0
        assert not io.write_point_cloud(str(locked), pc)
    fifo = tmp_path / "pipe.ply"
    os.mkfifo(fifo)
    assert len(io.read_point_cloud(str(fifo)).points) == 0   # no writer: no hang
    assert not io.write_point_cloud(str(fifo), pc)            # no reader: no hang


@pytest.mark.parametrize("nan, inf, kept", [
    (False, False, [0, 1, 2, 3]), (True, False, [0, 2, 3]), (False, True, [0, 1, 3]), (True, True, [0, 3])])
def test_point_filtering(tmp_path, make_cloud, nan, inf, kept):
    pts = np.array([[1, 2, 3], [np.nan, 0, 0], [0, 0, -np.inf], [4, 5, 6]], dtype=float)
    nrm = np.array([[0, 0, 1], [0, 1, 0], [1, 0, 0], [np.nan, np.inf, 0]], dtype=float)
    col = np.array([[0.2, 0.4, 0.6], [0.0, 0.0, 0.0], [1.0, 1.0, 1.0], [0.8, 0.6, 0.4]])
    path = str(tmp_path / "f.ply")
    assert io.write_point_cloud(path, make_cloud(pts, normals=nrm, colors=col))
    pc = io.read_point_cloud(path, remove_nan_points=nan, remove_infinite_points=inf)
    np.testing.assert_array_equal(np.asarray(pc.points), pts[kept])
    np.testing.assert_array_equal(np.asarray(pc.normals), nrm[kept])   # only coordinates are tested
    np.testing.assert_array_equal(np.asarray(pc.colors), np.round(col[kept] * 255) / 255)
    got = io.read_point_cloud_from_bytes(b"1 2 3\nnan 0 0\n0 0 -inf\n4 5 6\n", "mem::xyz", nan, inf)
    np.testing.assert_array_equal(np.asarray(got.points), pts[kept])


def test_cloud_stays_borrowed_while_written_without_the_lock(tmp_path, make_cloud):
    pc = make_cloud(np.zeros((200_000, 3)))
    fifo = tmp_path / "slow.ply"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    result = []
    writer = threading.Thread(target=lambda: result.append(io.write_point_cloud(str(fifo), pc)))
    writer.start()
    try:
        # The pipe fills up and blocks the writer; this thread still runs, and writes to the cloud
        # are refused while it is borrowed.
        for _ in range(1000):
            try:
                pc.paint_uniform_color([1, 0, 0])
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                break
            threading.Event().wait(0.005)
        else:
            pytest.fail("the write never held the cloud")
    finally:
        received = 0
        while writer.is_alive() or True:
            try:
                chunk = os.read(reader, 1 << 20)
            except BlockingIOError:
                if not writer.is_alive():
                    break
                threading.Event().wait(0.001)
                continue
            if not chunk and not writer.is_alive():
                break
            received += len(chunk)
        writer.join()
        os.close(reader)
    assert result == [True] and received > 200_000 * 24
    assert pc.paint_uniform_color([1, 0, 0]) is pc
