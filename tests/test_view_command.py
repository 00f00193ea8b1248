import json
import os
import shutil
import subprocess

import numpy as np
import pytest

pytest.importorskip("plotly", reason="the 3-D view needs plotly (the 'viz' extra)")

from nubiro import __main__ as cli
from nubiro import _show
from nubiro.cpu.pybind import geometry, io
from support import page_figure, rigid

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Where the README's picture of the page lives; the browser test rewrites it when asked to.
SCREENSHOT = os.path.join(ROOT, "docs", "view.png")


@pytest.fixture(scope="module")
def scans(tmp_path_factory):
    """Two samplings of the bunny, the second moved; files a.ply (PLY) and b.xyz (XYZ)."""
    rng = np.random.default_rng(11)
    mesh = io.read_triangle_mesh(cli.bundled_bunny())
    a, b = geometry.PointCloud(), geometry.PointCloud()
    a.points = cli.sample_surface(mesh, 6000, rng)
    b.points = cli.sample_surface(mesh, 5000, rng)
    motion = rigid(geometry.get_rotation_matrix_from_xyz([0.3, -0.2, 0.4]), [1.5, -0.5, 0.8])
    b.transform(motion)
    d = tmp_path_factory.mktemp("scans")
    assert io.write_point_cloud(str(d / "a.ply"), a) and io.write_point_cloud(str(d / "b.xyz"), b)
    return str(d / "a.ply"), str(d / "b.xyz"), np.asarray(a.points), np.asarray(b.points)


def xyz(trace):
    return np.column_stack((trace["x"], trace["y"], trace["z"])).astype(np.float64)


# ---- view -------------------------------------------------------------------------------------------


def test_view_writes_one_page_with_every_file(scans, tmp_path, capsys):
    a, b, pa, pb = scans
    out = str(tmp_path / "both.html")
    assert cli.main(["view", a, b, "--out", out]) == 0
    traces, layout = page_figure(out)
    assert [t["name"] for t in traces] == ["a.ply", "b.xyz"]
    np.testing.assert_allclose(xyz(traces[0]), pa, atol=1e-5)
    np.testing.assert_allclose(xyz(traces[1]), pb, atol=1e-5)
    assert traces[0]["marker"]["color"] != traces[1]["marker"]["color"]
    assert "page written to " + out in capsys.readouterr().err


def test_view_colours_by_height_and_thins_to_max_points(scans, tmp_path):
    a, _, pa, _ = scans
    out = str(tmp_path / "height.html")
    assert cli.main(["view", a, "--color-by", "height", "--max-points", "1000", "--out", out]) == 0
    traces, layout = page_figure(out)
    shown = xyz(traces[0])
    assert 850 <= len(shown) <= 1000 and "of 6 000 points" in layout["title"]["text"]
    np.testing.assert_allclose(traces[0]["marker"]["color"], shown[:, 2], rtol=1e-6)
    assert layout["coloraxis"]["colorbar"]["title"]["text"] == "height"


def test_view_colours_each_file_by_its_distance_to_the_others(scans, tmp_path):
    from scipy.spatial import cKDTree
    a, b, pa, pb = scans
    out = str(tmp_path / "distance.html")
    assert cli.main(["view", a, b, "--color-by", "distance", "--out", out]) == 0
    traces, layout = page_figure(out)
    for trace, other in zip(traces, (pb, pa)):
        want = cKDTree(other).query(xyz(trace))[0]  # the shown points are the files' own
        np.testing.assert_allclose(trace["marker"]["color"], want, rtol=1e-5, atol=1e-5)
    assert layout["coloraxis"]["colorbar"]["title"]["text"] == "distance"


@pytest.mark.parametrize("display", [None, ":0"])
def test_view_opens_the_browser_only_when_there_is_a_display(scans, tmp_path, monkeypatch, display):
    opened = []
    monkeypatch.setattr("webbrowser.open", lambda url: opened.append(url) or True)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    if display is None:
        monkeypatch.delenv("DISPLAY", raising=False)
    else:
        monkeypatch.setenv("DISPLAY", display)
    monkeypatch.chdir(tmp_path)
    assert cli.main(["view", scans[0]]) == 0
    if display is None:
        assert opened == [] and len(page_figure(tmp_path / "view.html")[0]) == 1
    else:
        (url,) = opened
        path = url.removeprefix("file://")
        assert not os.path.exists(tmp_path / "view.html")
        assert url.startswith("file:///") and len(page_figure(path)[0]) == 1
        os.remove(path)


def test_view_bad_input(scans, tmp_path, capsys, monkeypatch):
    a = scans[0]
    garbage = tmp_path / "garbage.ply"
    garbage.write_bytes(b"ply\nformat nonsense\n")
    out = str(tmp_path / "never.html")
    for argv, message in [
        (["view", str(tmp_path / "missing.ply"), "--out", out], "missing.ply: no such file"),
        (["view", a, str(garbage), "--out", out], "garbage.ply: "),
        (["view", a, "--color-by", "no_such_field", "--out", out], "a.ply: "),
        (["view", a, "--color-by", "distance", "--out", out], "needs two files"),
        (["view", a, "--out", str(tmp_path / "no" / "dir" / "v.html")], "v.html: cannot write the page"),
    ]:
        assert cli.main(argv) == 1, argv
        err = capsys.readouterr().err
        assert err.startswith("python -m nubiro: ") and message in err and err.count("\n") == 1, err
    assert not os.path.exists(out)

    with pytest.raises(SystemExit) as usage:
        cli.main(["view", a, "--max-points", "0"])
    assert usage.value.code == 2
    capsys.readouterr()
    monkeypatch.setattr(_show, "available", lambda: False)
    assert cli.main(["view", a, "--out", out]) == 2
    assert "pip install 'nubiro[viz]'" in capsys.readouterr().err


# ---- register --html --------------------------------------------------------------------------------


def test_register_html_toggles_between_before_and_after(scans, tmp_path, capsys):
    a, b, pa, pb = scans
    out = str(tmp_path / "before_after.html")
    assert cli.main(["register", a, b, "--json", "--html", out]) == 0
    t = np.array(json.loads(capsys.readouterr().out)["transformation"])
    traces, layout = page_figure(out)
    target, before, after = traces
    assert [target["name"], before["name"], after["name"]] == ["b.xyz", "a.ply (before)", "a.ply (registered)"]
    assert len({tr["marker"]["color"] for tr in traces}) == 3
    np.testing.assert_allclose(xyz(before), pa, atol=1e-5)
    np.testing.assert_allclose(xyz(after), pa @ t[:3, :3].T + t[:3, 3], atol=1e-4)
    # Opens on "after"; the two buttons switch the source's two traces.
    assert before["visible"] is False and after.get("visible", True) is True
    (menu,) = layout["updatemenus"]
    assert menu["active"] == 1
    assert {b["label"]: b["args"][0]["visible"] for b in menu["buttons"]} == {
        "before": [True, True, False], "after": [True, False, True]}


# ---- in a real browser ------------------------------------------------------------------------------


def _browser():
    return next((p for p in map(shutil.which, ("chromium", "chromium-browser", "google-chrome")) if p), None)


def render(page, png, size=(800, 560)):
    """A screenshot of the page by a headless browser (software WebGL)."""
    # Not under this process's sanitizer preloads: the browser is not ours to check.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")}
    done = subprocess.run([_browser(), "--headless=new", "--no-sandbox", "--disable-gpu", "--use-angle=swiftshader",
                           "--enable-unsafe-swiftshader", "--hide-scrollbars", "--no-first-run",
                           f"--window-size={size[0]},{size[1]}", "--virtual-time-budget=15000",
                           f"--user-data-dir={os.path.dirname(png)}/profile", f"--screenshot={png}",
                           "file://" + os.path.abspath(page)],
                          env=env, capture_output=True, text=True, timeout=180)
    assert os.path.exists(png), done.stderr[-2000:]


@pytest.mark.skipif(_browser() is None, reason="no headless browser: install Debian's chromium "
                    "(apt-get install chromium; .ci/run does this when it can)")
def test_page_renders_in_a_headless_browser(tmp_path):
    PIL = pytest.importorskip("PIL.Image", reason="reading the screenshot needs pillow (the 'test' extra)")
    rng = np.random.default_rng(2)
    mesh = io.read_triangle_mesh(cli.bundled_bunny())
    bunny = geometry.PointCloud()
    bunny.points = cli.sample_surface(mesh, 60_000, rng)
    page = _show.show(bunny, colors="height", colorbar="height", title="bunny.ply").save(tmp_path / "bunny.html")
    png = str(tmp_path / "bunny.png")
    render(page, png)
    image = np.asarray(PIL.open(png).convert("RGB")).astype(int)
    h, w, _ = image.shape
    # The plot's background and grid are greys and a pale blue; the cloud's colours are vivid.
    vivid = (image.max(axis=2) - image.min(axis=2)) > 60
    centre = vivid[h // 4: 3 * h // 4, w // 5: 3 * w // 5]
    edges = vivid[:, :w // 10]
    assert centre.mean() > 0.2, f"the cloud covers only {centre.mean():.1%} of the middle of the picture"
    assert edges.mean() < 0.01  # and nothing vivid at the far left: not a page-wide colour
    if os.environ.get("NUBIRO_WRITE_SCREENSHOT"):
        os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
        PIL.open(png).convert("RGB").quantize(colors=128).save(SCREENSHOT, optimize=True)
