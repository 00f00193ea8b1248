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


def page_figure(path):
    """The figure embedded in a saved view page: (traces, layout), with binary arrays decoded to
    NumPy arrays."""
    import base64
    import json
    import re

    html = open(path, encoding="utf-8").read()
    start = html.index("Plotly.newPlot(")
    rest = html[start + len("Plotly.newPlot("):]
    rest = rest[rest.index(",") + 1:].lstrip()
    decoder = json.JSONDecoder()
    traces, end = decoder.raw_decode(rest)
    rest = rest[end:].lstrip()[1:].lstrip()
    layout, _ = decoder.raw_decode(rest)
    dtypes = {"f4": "<f4", "f8": "<f8", "i1": "i1", "u1": "u1", "i2": "<i2", "u2": "<u2", "i4": "<i4", "u4": "<u4"}

    def decode(value):
        if isinstance(value, dict) and "bdata" in value:
            return np.frombuffer(base64.b64decode(value["bdata"]), dtype=dtypes[value["dtype"]])
        if isinstance(value, dict):
            return {k: decode(v) for k, v in value.items()}
        if isinstance(value, list) and value and all(v is None or (isinstance(v, (int, float)) and not isinstance(v, bool)) for v in value):
            return np.array([np.nan if v is None else v for v in value], dtype=np.float64)
        if isinstance(value, list):
            return [decode(v) for v in value]
        return value

    assert re.search(r"<script[^>]*\bsrc=", html) is None, "the page loads a script from elsewhere"
    return decode(traces), decode(layout)


def surface_points(mesh, n, rng):
    """n points uniformly (area-weighted) on a triangle mesh."""
    v, f = np.asarray(mesh.vertices), np.asarray(mesh.triangles)
    a, b, c = v[f[:, 0]], v[f[:, 1]], v[f[:, 2]]
    area = 0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1)
    tri = rng.choice(len(f), size=n, p=area / area.sum())
    s, r = np.sqrt(rng.random(n)), rng.random(n)
    return (1 - s)[:, None] * a[tri] + (s * (1 - r))[:, None] * b[tri] + (s * r)[:, None] * c[tri]


def visible_from(points, camera, spacing):
    """The points a camera at `camera` sees: a depth buffer over the viewing directions, with
    cells of about two point spacings, keeps the points at most one spacing behind the nearest
    point of their cell."""
    centre = points.mean(axis=0)
    forward = (centre - camera) / np.linalg.norm(centre - camera)
    right = np.cross(forward, (0.0, 1.0, 0.0))
    right /= np.linalg.norm(right)
    up = np.cross(right, forward)
    rel = points - camera
    depth = rel @ forward
    cell = 2 * spacing / depth.min()
    u = np.floor((rel @ right) / depth / cell).astype(np.int64)
    w = np.floor((rel @ up) / depth / cell).astype(np.int64)
    key = (u - u.min()) * (w.max() - w.min() + 1) + (w - w.min())
    nearest = np.full(key.max() + 1, np.inf)
    np.minimum.at(nearest, key, depth)
    return depth <= nearest[key] + spacing


def partial_views(count=12, points=20_000, noise=0.004, seed=0):
    """Scans of the bundled bunny mesh from `count` cameras on a ring around it (20 degrees above
    the horizon), each with Gaussian noise (a fraction of the extent) and moved by its own known
    motion. Returns (clouds, truths, extent): truths[k] maps scan k into the frame of scan 0."""
    from importlib import resources

    from nubiro.cpu.pybind import io

    rng = np.random.default_rng(seed)
    mesh = io.read_triangle_mesh(str(resources.files("nubiro") / "data" / "bunny.ply"))
    surface = surface_points(mesh, points, rng)
    extent = float(np.linalg.norm(surface.max(axis=0) - surface.min(axis=0)))
    spacing = extent * np.sqrt(2.0 / points)
    centre = surface.mean(axis=0)
    clouds, motions = [], []
    for k in range(count):
        angle = 2 * np.pi * k / count
        camera = centre + 1.5 * extent * np.array((np.cos(angle) * np.cos(0.35), np.sin(0.35),
                                                    np.sin(angle) * np.cos(0.35)))
        seen = surface[visible_from(surface, camera, spacing)]
        seen = seen + rng.normal(scale=noise * extent, size=seen.shape)
        motion = rigid(geometry.get_rotation_matrix_from_xyz(rng.uniform(-0.6, 0.6, 3)),
                       rng.uniform(-0.3, 0.3, 3) * extent)
        scan = cloud(seen)
        scan.transform(motion)
        clouds.append(scan)
        motions.append(motion)
    truths = [motions[0] @ np.linalg.inv(m) for m in motions]
    return clouds, truths, extent
