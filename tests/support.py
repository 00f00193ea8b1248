"""Small builders shared by the test modules (importable because pytest puts tests/ on sys.path)."""
import numpy as np

from nubiro.cpu.pybind import geometry


def cloud(points=(), normals=None, colors=None):
    """A PointCloud filled through its attributes."""
    pc = geometry.PointCloud()
    pc.points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    if normals is not None:
        pc.normals = np.asarray(normals, dtype=np.float64).reshape(-1, 3)
    if colors is not None:
        pc.colors = np.asarray(colors, dtype=np.float64).reshape(-1, 3)
    return pc


def rigid(r, t):
    """The 4x4 transformation with rotation block r and translation t."""
    m = np.eye(4)
    m[:3, :3] = r
    m[:3, 3] = t
    return m
