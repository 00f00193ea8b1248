"""The 3-D view page (nubiro.show, the `view` command) next to numpy.savetxt of the same points.

- `view` on a 1M-point cloud (the table scene of bench/data.py, coloured by height): the
  page, thinned to the default 300 000 shown points, written by nubiro.show(...).save(), and
  the whole command from a binary PLY file (read included); target 1.5x numpy.savetxt of the
  1M points;
- the page's size with 300 000 shown points: target under 12 MB.

Needs the 'viz' extra (plotly).
"""
import os
import tempfile

import numpy as np
from _timing import best, report
from data import table_scene

import nubiro
from nubiro import __main__ as cli
from nubiro.cpu.pybind import geometry, io


def main() -> None:
    pts = table_scene(1_000_000)
    pc = geometry.PointCloud()
    pc.points = pts
    with tempfile.TemporaryDirectory() as tmp:
        page, text, ply = (os.path.join(tmp, name) for name in ("view.html", "points.txt", "scene.ply"))
        assert io.write_point_cloud(ply, pc)
        peer = best(lambda: np.savetxt(text, pts), repeat=3)
        ours = best(lambda: nubiro.show(pc, colors=pts[:, 2]).save(page), repeat=3)
        report("show(1e6 points, by height).save", ours, "numpy.savetxt 1e6 points", peer, 1.5)
        command = best(lambda: cli.main(["view", ply, "--color-by", "height", "--out", page]), repeat=3)
        report("view scene.ply (1e6 points, read included)", command, "numpy.savetxt 1e6 points", peer, 1.5)

        shown = geometry.PointCloud()
        shown.points = pts[:300_000]
        nubiro.show(shown, colors=pts[:300_000, 2]).save(page)
        size = os.path.getsize(page) / 1e6
        print(f"{'page with 300 000 points, coloured by height':<48} {size:12.2f} MB   target under 12 MB   "
              f"{'ok' if size < 12 else 'MISSES target'}")


if __name__ == "__main__":
    main()
