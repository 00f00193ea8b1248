"""Every python snippet of the README runs on its own, pasted into a file in a fresh folder holding
only the example files a reader would have."""
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from nubiro import __main__ as cli
from nubiro.cpu.pybind import geometry, io

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def snippets():
    """(heading, code) for each python block; the heading is the section's or the bold lead-in's,
    numbered from the second block under the same one."""
    text = open(README).read()
    found = []
    for block in re.finditer(r"```python\n(.*?)```", text, re.S):
        prose = re.sub(r"```.*?```", "", text[:block.start()], flags=re.S)  # no comments of code as headings
        headings = [(m.start(), m.group(1)) for m in re.finditer(r"^#+ (.+)$", prose, re.M)]
        headings += [(m.start(), m.group(1)) for m in re.finditer(r"^\*\*(.+?)\.?\*\*", prose, re.M)]
        heading = max(headings)[1].replace("`", "")
        same = sum(h == heading or h.startswith(heading + " (") for h, _ in found)
        found.append((f"{heading} ({same + 1})" if same else heading, block.group(1)))
    return found


SNIPPETS = snippets()

# What a snippet's result must show beyond running cleanly (appended to it, guarded like the
# batch snippet's own work so worker processes do not repeat it).
CHECKS = {
    "Quick start": "assert result.fitness == 1.0 and result.inlier_rmse < 1e-6",
    "Global registration": "assert fine.fitness > 0.5",
    "Many pairs, many machines": "assert all(r.ok for r in results)",
}


@pytest.fixture(scope="module")
def example_files(tmp_path_factory):
    """The files the snippets name: small bunny scans about 0.2 across, the bunny mesh, and a
    table top (1 x 0.6 m) with two boxes on it and a few stray points above."""
    folder = tmp_path_factory.mktemp("examples")
    rng = np.random.default_rng(0)
    mesh = io.read_triangle_mesh(cli.bundled_bunny())
    for name in ("scan1.ply", "scan2.ply", "a.ply", "b.ply", "c.ply"):
        cloud = geometry.PointCloud()
        cloud.points = cli.sample_surface(mesh, 4000, rng) * 0.02
        assert io.write_point_cloud(str(folder / name), cloud)
    assert io.write_triangle_mesh(str(folder / "bunny.ply"), mesh)
    top = np.c_[rng.uniform(0, 1, 6000), rng.uniform(0, 0.6, 6000), rng.normal(0, 0.001, 6000)]
    boxes = np.r_[rng.uniform([0.2, 0.2, 0.03], [0.3, 0.3, 0.15], (1500, 3)),
                  rng.uniform([0.6, 0.3, 0.03], [0.7, 0.45, 0.1], (1500, 3))]
    table = geometry.PointCloud()
    table.points = np.r_[top, boxes, rng.uniform([0, 0, 0.3], [1, 0.6, 0.6], (30, 3))]
    assert io.write_point_cloud(str(folder / "table.ply"), table)
    return folder


def test_every_check_names_a_snippet():
    assert set(CHECKS) <= {heading for heading, _ in SNIPPETS}


@pytest.mark.parametrize("heading, code", SNIPPETS, ids=[heading for heading, _ in SNIPPETS])
def test_snippet_runs_on_its_own(heading, code, example_files, tmp_path, fresh_env):
    shutil.copytree(example_files, tmp_path, dirs_exist_ok=True)
    if heading in CHECKS:
        code += f'if __name__ == "__main__":\n    {CHECKS[heading]}\n'
    (tmp_path / "snippet.py").write_text(code)
    done = subprocess.run([sys.executable, "snippet.py"], cwd=tmp_path, env=fresh_env(), capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, code + "\n" + done.stderr
