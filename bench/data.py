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


def table_scene(n: int, seed: int = 0) -> np.ndarray:
    """n points of a scanned table top (2 m x 1.2 m, 55 % of the points, 2 mm noise) with six
    bunny-shaped objects about 25 cm tall standing on it (43 %) and stray points in the space
    above it (2 %), shuffled."""
    rng = np.random.default_rng(seed)
    n_top, n_stray = int(0.55 * n), int(0.02 * n)
    n_objects = n - n_top - n_stray
    top = np.column_stack((rng.uniform(0, 2, n_top), rng.uniform(0, 1.2, n_top), rng.normal(0, 0.002, n_top)))
    bunny = bunny_points(n_objects, seed=seed)
    bunny = np.column_stack((bunny[:, 0], -bunny[:, 2], bunny[:, 1])) * 0.025  # y-up units to z-up metres
    spots = np.array([[0.3, 0.3], [0.9, 0.35], [1.6, 0.3], [0.4, 0.9], [1.0, 0.85], [1.65, 0.9]])
    which = rng.integers(0, len(spots), n_objects)
    objects = bunny + np.column_stack((spots[which], np.full(n_objects, 0.003)))
    stray = rng.uniform([0, 0, 0.05], [2, 1.2, 0.6], (n_stray, 3))
    points = np.vstack((top, objects, stray))
    return points[rng.permutation(n)]


def _street(rng: np.random.Generator, n: int, car_at: float) -> np.ndarray:
    """n points scanned from a street: the road (40 %), two building fronts with recesses
    (35 %), lamp posts (10 %) and a car, a box 4.5 x 1.8 x 1.5 m whose near end is at x = car_at
    (15 %), each with 1 cm noise."""
    counts = rng.multinomial(n, [0.40, 0.35, 0.10, 0.15])
    road = np.column_stack((rng.uniform(-40, 40, counts[0]), rng.uniform(-8, 8, counts[0]), np.zeros(counts[0])))
    side = rng.choice([-8.0, 8.0], counts[1])
    x = rng.uniform(-40, 40, counts[1])
    recess = np.where(np.floor(x / 6) % 2 == 0, 0.0, 0.8) * np.sign(side)  # doors and windows every 6 m
    fronts = np.column_stack((x, side + recess, rng.uniform(0, 10, counts[1])))
    post_x = np.arange(-35.0, 36.0, 10.0)
    which = rng.integers(0, len(post_x), counts[2])
    angle = rng.uniform(0, 2 * np.pi, counts[2])
    posts = np.column_stack((post_x[which] + 0.1 * np.cos(angle), 6.5 + 0.1 * np.sin(angle),
                             rng.uniform(0, 6, counts[2])))
    box = rng.uniform([0, -1.0, 0.3], [4.5, 0.8, 1.8], (counts[3], 3))
    face = rng.integers(0, 3, counts[3])  # put each point on one of the box's faces
    box[face == 0, 0] = rng.choice([0.0, 4.5], (face == 0).sum())
    box[face == 1, 1] = rng.choice([-1.0, 0.8], (face == 1).sum())
    box[face == 2, 2] = 1.8
    car = box + [car_at, 0.0, 0.0]
    points = np.vstack((road, fronts, posts, car))
    return points + rng.normal(0, 0.01, points.shape)


def street_pair(seed: int = 0, n: int = 120_000) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Two scans of a street taken a few metres apart, as (target, source, truth): independent
    samplings, each seeing only 45 m of road around its own position (so about 70 % overlap), a
    car that drove 3 m between them, and `truth` the 4x4 motion that moves the source onto the
    target (a 2-4 degree turn and a 1-3 m shift)."""
    rng = np.random.default_rng(seed)
    target = _street(rng, n, car_at=-2.0)
    source = _street(rng, n, car_at=1.0)
    target = target[(target[:, 0] > -30) & (target[:, 0] < 15)]
    source = source[(source[:, 0] > -15) & (source[:, 0] < 30)]
    yaw, tilt = np.radians(rng.uniform(2, 4)) * rng.choice([-1, 1]), np.radians(rng.uniform(-0.5, 0.5))
    c, s = np.cos(yaw), np.sin(yaw)
    rot = np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]]) @ np.array(
        [[1, 0, 0], [0, np.cos(tilt), -np.sin(tilt)], [0, np.sin(tilt), np.cos(tilt)]])
    shift = rng.uniform(1, 3) * np.array([1.0, rng.uniform(-0.3, 0.3), 0.02])
    truth = np.eye(4)
    truth[:3, :3], truth[:3, 3] = rot, shift
    # The source scan is expressed in its own frame: the inverse motion applied to the world points.
    source = (source - shift) @ rot
    return target, source, truth
