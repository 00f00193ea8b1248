"""TriangleMesh.compute_vertex_normals on a 1_000_000-triangle grid mesh, next to the NumPy
expression that computes the same normals (np.cross, np.add.at, then normalisation of both
the triangle and the vertex normals).

Target: at most 0.5x NumPy.
"""
import numpy as np
from _timing import best, report

from nubiro import geometry
from nubiro.cpu.pybind import _internal

SIDE = 708  # 2 * 707 * 707 = 999_698 triangles
ii, jj = np.meshgrid(np.arange(SIDE, dtype=np.float64), np.arange(SIDE, dtype=np.float64), indexing="ij")
rng = np.random.default_rng(0)
vertices = np.column_stack((ii.ravel(), jj.ravel(), rng.random(SIDE * SIDE) * 0.5))
cell = (np.arange(SIDE - 1)[:, None] * SIDE + np.arange(SIDE - 1)[None, :]).ravel()
triangles = np.concatenate((np.column_stack((cell, cell + SIDE, cell + 1)),
                            np.column_stack((cell + 1, cell + SIDE, cell + SIDE + 1)))).astype(np.int32)

mesh = geometry.TriangleMesh()
mesh.vertices = vertices
mesh.triangles = triangles


def ours():
    mesh.triangle_normals.clear()  # so the triangle normals are computed afresh each time
    mesh.compute_vertex_normals()


def numpy_baseline():
    a, b, c = vertices[triangles[:, 0]], vertices[triangles[:, 1]], vertices[triangles[:, 2]]
    fn = np.cross(b - a, c - a)
    vn = np.zeros_like(vertices)
    for k in range(3):
        np.add.at(vn, triangles[:, k], fn)
    fn /= np.linalg.norm(fn, axis=1, keepdims=True)
    vn /= np.linalg.norm(vn, axis=1, keepdims=True)
    return vn


print(f"{len(triangles)} triangles, {len(vertices)} vertices, {_internal.num_threads()} threads")
report("compute_vertex_normals()", best(ours, repeat=5), "np.cross + np.add.at + norm", best(numpy_baseline, repeat=3),
       0.5)
assert np.allclose(np.asarray(mesh.vertex_normals), numpy_baseline(), rtol=0, atol=1e-12)
