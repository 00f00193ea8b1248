"""PLY meshes: the polygon consumer with its index rules, ear clipping as written, the mesh
writer byte for byte, and the mesh functions of the io submodule."""
import struct
from pathlib import Path

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry, io

BUNNY = Path(__file__).parent / "data" / "bunny.ply"


def mesh_file(vertices, faces, face_header="property list uchar int vertex_indices", extra=""):
    head = f"ply\nformat ascii 1.0\nelement vertex {len(vertices)}\nproperty double x\nproperty double y\n" \
           f"property double z\n{extra}element face {len(faces)}\n{face_header}\nend_header\n"
    return head + "".join(" ".join(map(str, v)) + "\n" for v in vertices) + \
        "".join(" ".join(map(str, [len(f), *f])) + "\n" for f in faces)


@pytest.fixture
def read(tmp_path):
    def read(text):
        path = tmp_path / "m.ply"
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        m = io.read_triangle_mesh(str(path))
        return np.asarray(m.vertices), np.asarray(m.triangles)
    return read


SQUARE = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]


@pytest.mark.parametrize("vertices, faces, triangles", [
    (SQUARE, [(0, 1, 2, 3)], [(0, 1, 2), (0, 2, 3)]),
    (SQUARE, [(0, 1, 2), (2, 3, 0)], [(0, 1, 2), (2, 3, 0)]),
    (SQUARE, [()], []),                                                    # empty list stores nothing
    # An L-shaped hexagon: the reflex corner at position 3 is skipped; ears come in order.
    ([(0, 0, 0), (2, 0, 0), (2, 1, 0), (1, 1, 0), (1, 2, 0), (0, 2, 0)], [(0, 1, 2, 3, 4, 5)],
     [(0, 1, 2), (0, 2, 3), (0, 3, 4), (0, 4, 5)]),
    # Clockwise square: the normal follows the winding, so it still clips.
    (SQUARE, [(3, 2, 1, 0)], [(3, 2, 1), (3, 1, 0)]),
    # A concave arrow where the first convex corner holds another vertex inside its triangle.
    ([(0, 0, 0), (4, 0, 0), (4, 4, 0), (2, 1, 0), (0, 4, 0)], [(0, 1, 2, 3, 4)],
     [(1, 2, 3), (0, 1, 3), (0, 3, 4)]),
])
def test_polygons_become_triangles(read, vertices, faces, triangles):
    v, t = read(mesh_file(vertices, faces))
    assert len(v) == len(vertices)
    np.testing.assert_array_equal(t, np.asarray(triangles, dtype=np.int32).reshape(-1, 3))


ARROW = [(0, 0), (4, 0), (4, 4), (2, 1), (0, 4)]


# The concave arrow above stood up in each vertical plane, both windings, and tilted so that
# the normal's largest component is x: the ear test projects along that component, so the
# clipping is the same as lying flat.
@pytest.mark.parametrize("place", [
    lambda a, b: (a, 0, b),                   # x-z wall
    lambda a, b: (0, a, b),                   # y-z wall
    lambda a, b: (0, b, a),                   # y-z wall, other winding
    lambda a, b: (0.25 * a, a, b),            # leaning wall, normal mostly along x
    lambda a, b: (a, b, 0.5 * a),             # sloping roof, normal still mostly along z
], ids=["xz", "yz", "zy", "leaning", "roof"])
def test_upright_concave_polygons_clip_like_flat_ones(read, place):
    v, t = read(mesh_file([place(a, b) for a, b in ARROW], [(0, 1, 2, 3, 4)]))
    assert len(v) == len(ARROW)
    np.testing.assert_array_equal(t, [(1, 2, 3), (0, 1, 3), (0, 3, 4)])


@pytest.mark.parametrize("faces, header", [
    ([(0, 1, 1.5)], None),                          # fractional index
    ([(0, 1, 4)], None),                            # index equal to the vertex count
    ([(0, 1, -1)], None),
    ([(0, 1, "nan")], "property list uchar float vertex_indices"),
    ([(0, 1, 4294967296)], "property list uchar double vertex_indices"),
    ([(0, 1)], None),                               # fewer than three indices
    ([(0, 1, 2, 3)], None),                         # collinear: zero normal (vertices below)
])
def test_bad_faces_fail_the_whole_read(read, faces, header):
    vertices = [(0, 0, 0), (1, 0, 0), (2, 0, 0), (3, 0, 0)]
    v, t = read(mesh_file(vertices, faces, header or "property list uchar int vertex_indices"))
    assert len(v) == 0 and len(t) == 0


def test_index_property_choice_and_negative_zero(read):
    header = "property list uchar int other\nproperty list uchar double vertex_index\nproperty uchar flag"
    text = mesh_file(SQUARE, [], header).replace("element face 0", "element face 1") + "2 7 7 3 -0 1 2 9\n"
    v, t = read(text)
    np.testing.assert_array_equal(t, [[0, 1, 2]])
    # Without an index list the mesh has vertices and no triangles.
    v, t = read(mesh_file(SQUARE, [(0, 1, 2)], "property list uchar int corners"))
    assert len(v) == 4 and len(t) == 0


def test_binary_mesh_with_vertex_attributes(read):
    head = ("ply\nformat binary_big_endian 1.0\nelement face 2\nproperty list uchar uint vertex_indices\n"
            "element vertex 4\nproperty float x\nproperty float y\nproperty float z\nproperty float nx\n"
            "property float ny\nproperty float nz\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
            "end_header\n").encode()
    body = struct.pack(">B3I", 3, 0, 1, 2) + struct.pack(">B4I", 4, 0, 1, 2, 3)
    body += b"".join(struct.pack(">6f3B", *v, 0, 0, 1, 255, 0, 51) for v in SQUARE)
    v, t = read(head + body)      # faces before vertices: triangulated after the body
    np.testing.assert_array_equal(t, [[0, 1, 2], [0, 1, 2], [0, 2, 3]])
    np.testing.assert_array_equal(v, SQUARE)


def test_bunny_mesh():
    m = io.read_triangle_mesh(BUNNY)
    assert (len(m.vertices), len(m.triangles)) == (1839, 3674)
    assert not m.has_vertex_normals() and not m.has_triangle_normals()
    lines = BUNNY.read_text().splitlines()
    body = lines[lines.index("end_header") + 1:]
    np.testing.assert_array_equal(np.asarray(m.triangles)[:5], [list(map(int, l.split()[1:])) for l in body[1839:1844]])


def test_mesh_writer_byte_exact_and_round_trip(tmp_path):
    m = geometry.TriangleMesh()
    m.vertices = np.array([[0.5, 1e-5, 1e6], [1.0, 2.0, 3.0], [-0.0, 42.0, 3.14159265]])
    m.vertex_normals = np.array([[0, 0, 1.0]] * 3)
    m.vertex_colors = np.array([[1.0, 0.5, 0.0]] * 3)
    m.triangles = np.array([[0, 1, 2], [2, 1, -1]], dtype=np.int32)
    head = ("ply\nformat {}\ncomment Created by nubiro\nelement vertex 3\nproperty double x\nproperty double y\n"
            "property double z\n{}element face 2\nproperty list uchar uint vertex_indices\nend_header\n")
    normals = "property double nx\nproperty double ny\nproperty double nz\n"
    colors = "property uchar red\nproperty uchar green\nproperty uchar blue\n"
    path = str(tmp_path / "m.ply")
    assert io.write_triangle_mesh(path, m, write_ascii=True)     # normals by default, no colours
    assert Path(path).read_bytes() == (head.format("ascii 1.0", normals) +
                                       "0.5 1e-05 1e+06 0 0 1\n1 2 3 0 0 1\n-0 42 3.14159 0 0 1\n"
                                       "3 0 1 2\n3 2 1 4294967295\n").encode()
    assert io.write_triangle_mesh(path, m, write_vertex_normals=False, write_vertex_colors=True)
    expected = head.format("binary_little_endian 1.0", colors).encode()
    for v in np.asarray(m.vertices):
        expected += struct.pack("<3d", *v) + bytes([255, 128, 0])
    expected += struct.pack("<B3I", 3, 0, 1, 2) + struct.pack("<B3I", 3, 2, 1, 4294967295)
    assert Path(path).read_bytes() == expected
    # Binary round trip of the bunny: vertices bit for bit, triangles unchanged.
    bunny = io.read_triangle_mesh(BUNNY)
    bunny.vertex_normals = np.random.default_rng(0).normal(size=(1839, 3))
    assert io.write_triangle_mesh(path, bunny)
    back = io.read_triangle_mesh(path)
    assert np.asarray(back.vertices).tobytes() == np.asarray(bunny.vertices).tobytes()
    assert np.asarray(back.vertex_normals).tobytes() == np.asarray(bunny.vertex_normals).tobytes()
    np.testing.assert_array_equal(np.asarray(back.triangles), np.asarray(bunny.triangles))


def test_mesh_functions_dispatch_and_failures(tmp_path):
    m = io.read_triangle_mesh(BUNNY)
    for name in ("m.xyz", "m.obj", "noext"):
        assert not io.write_triangle_mesh(str(tmp_path / name), m) and not (tmp_path / name).exists()
    assert not io.write_triangle_mesh(str(tmp_path / "e.ply"), geometry.TriangleMesh())
    assert not (tmp_path / "e.ply").exists()
    assert io.write_triangle_mesh(tmp_path / "UP.PLY", m)
    assert len(io.read_triangle_mesh(tmp_path / "UP.PLY").triangles) == 3674
    (tmp_path / "c.xyz").write_text("1 2 3\n")
    assert len(io.read_triangle_mesh(str(tmp_path / "c.xyz")).vertices) == 0
    assert len(io.read_triangle_mesh(str(tmp_path / "missing.ply")).vertices) == 0
    with pytest.raises(TypeError, match="argument 'mesh'"):
        io.write_triangle_mesh("a.ply", geometry.PointCloud())
    with pytest.raises(TypeError, match="argument 'write_triangle_uvs'"):
        io.write_triangle_mesh("a.ply", m, write_triangle_uvs=1)
    with pytest.raises(TypeError, match="argument 'enable_post_processing'"):
        io.read_triangle_mesh(BUNNY, enable_post_processing=None)


def test_polygon_of_thousands_of_vertices(read):
    # A fan-shaped polygon: one ear per pass at the first corner, thousands of passes.
    n = 6000
    vertices = [(i, 0, 0) for i in range(n)] + [(n / 2, 1, 0)]
    v, t = read(mesh_file(vertices, [tuple(range(n, -1, -1))]))
    assert len(t) == n - 1
    np.testing.assert_array_equal(t[:2], [[n, n - 1, n - 2], [n, n - 2, n - 3]])
