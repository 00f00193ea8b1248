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
