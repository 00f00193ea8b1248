import os
import re

import numpy as np

from nubiro import __main__ as cli
from nubiro.cpu.pybind import geometry, io

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_readme_examples_run(tmp_path, monkeypatch):
    # The files the examples name: small bunny scans (scaled so the examples' distances fit).
    monkeypatch.chdir(tmp_path)
    rng = np.random.default_rng(0)
    mesh = io.read_triangle_mesh(cli.bundled_bunny())
    for name in ("scan1.ply", "scan2.ply", "a.ply", "b.ply", "c.ply"):
        cloud = geometry.PointCloud()
        cloud.points = cli.sample_surface(mesh, 4000, rng) * 0.02
        assert io.write_point_cloud(name, cloud)
    assert io.write_triangle_mesh("bunny.ply", mesh)
    # A table top (1 x 0.6 m) with two boxes on it and a few stray points above.
    top = np.c_[rng.uniform(0, 1, 6000), rng.uniform(0, 0.6, 6000), rng.normal(0, 0.001, 6000)]
    boxes = np.r_[rng.uniform([0.2, 0.2, 0.03], [0.3, 0.3, 0.15], (1500, 3)),
                  rng.uniform([0.6, 0.3, 0.03], [0.7, 0.45, 0.1], (1500, 3))]
    table = geometry.PointCloud()
    table.points = np.r_[top, boxes, rng.uniform([0, 0, 0.3], [1, 0.6, 0.6], (30, 3))]
    assert io.write_point_cloud("table.ply", table)
    blocks = re.findall(r"```python\n(.*?)```", open(README).read(), re.S)
    code = "\n".join(blocks).replace("from concurrent.futures import ProcessPoolExecutor",
                                     "from concurrent.futures import ThreadPoolExecutor as ProcessPoolExecutor")
    namespace = {"__name__": "__main__"}
    exec(compile(code, README, "exec"), namespace)
    assert all(r.ok for r in namespace["results"]) and namespace["fine"].fitness > 0.5


def test_quick_start_runs_on_its_own(tmp_path):
    # A newcomer pastes the first snippet alone into a fresh interpreter, anywhere.
    import subprocess
    import sys
    first = re.findall(r"```python\n(.*?)```", open(README).read(), re.S)[0]
    done = subprocess.run([sys.executable, "-c", first], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    fitness, rmse = map(float, done.stdout.split())
    assert fitness == 1.0 and rmse < 1e-6
