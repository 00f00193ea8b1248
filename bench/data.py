"""Realistic clouds for benchmarks: points sampled on the surface of the scanned bunny mesh."""
from __future__ import annotations

from pathlib import Path

import numpy as np

BUNNY = Path(__file__).resolve().parents[1] / "tests" / "data" / "bunny.ply"


def read_ascii_ply_mesh(path: Path = BUNNY) -> tuple[np.ndarray, np.ndarray]:
    """Vertices (n, 3) and triangles (m, 3) of an ASCII PLY mesh with x, y, z and a face list."""
    lines = path.read_text().splitlines()
    end = lines.index("end_header")
    counts = {l.split()[1]: int(l.split()[2]) for l in lines[:end] if l.startswith("element")}
    nv, nf = counts["vertex"], counts["face"]
    body = lines[end + 1:]
    vertices = np.array([l.split()[:3] for l in body[:nv]], dtype=np.float64)
    faces = np.array([l.split()[1:4] for l in body[nv:nv + nf]], dtype=np.int64)
    return vertices, faces


def bunny_points(n: int, seed: int = 0) -> np.ndarray:
    """n points sampled uniformly (area-weighted) on the bunny's surface."""
    v, f = read_ascii_ply_mesh()
    a, b, c = v[f[:, 0]], v[f[:, 1]], v[f[:, 2]]
    area = 0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1)
    rng = np.random.default_rng(seed)
    tri = rng.choice(len(f), size=n, p=area / area.sum())
    r1, r2 = rng.random((2, n))
    s = np.sqrt(r1)
    w = np.column_stack((1 - s, s * (1 - r2), s * r2))
    return w[:, :1] * a[tri] + w[:, 1:2] * b[tri] + w[:, 2:] * c[tri]
