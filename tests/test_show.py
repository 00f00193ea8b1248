import math

import numpy as np
import pytest

pytest.importorskip("plotly", reason="the 3-D view needs plotly (the 'viz' extra)")

import nubiro
from nubiro import _thinning
from nubiro.cpu.pybind import geometry, utility
from support import cloud, page_figure


def saved(tmp_path, figure, name="view.html"):
    return page_figure(figure.save(tmp_path / name))


def xyz(trace):
    return np.column_stack((trace["x"], trace["y"], trace["z"])).astype(np.float64)


def surface(n, seed=0):
    """n points on a wavy sheet 10 x 6 units wide."""
    rng = np.random.default_rng(seed)
    u, v = rng.random(n) * 10, rng.random(n) * 6
    return np.column_stack((u, v, 0.5 * np.sin(u) * np.cos(v)))


# ---- the page -----------------------------------------------------------------------------------


def test_page_is_self_contained_and_holds_every_point(tmp_path):
    a, b = surface(3000, 1), surface(2000, 2) + [0, 0, 5]
    fig = nubiro.show(cloud(a), cloud(b), title="two sheets")
    traces, layout = saved(tmp_path, fig)
    page = (tmp_path / "view.html").read_text()
    assert "Plotly.newPlot" in page and len(page) > 1_000_000  # the library is inlined, not fetched
    assert [t["type"] for t in traces] == ["scatter3d", "scatter3d"]
    # Coordinates travel as float32 binary arrays; they come back to float32 precision, in order.
    np.testing.assert_allclose(xyz(traces[0]), a, rtol=0, atol=1e-5)
    np.testing.assert_allclose(xyz(traces[1]), b, rtol=0, atol=1e-5)
    assert "two sheets" in layout["title"]["text"] and "showing" not in layout["title"]["text"]
    assert fig.shown_points == fig.total_points == 5000
    cell = fig._repr_html_()  # a notebook cell: a <div> of fixed height, the library inlined too
    assert cell.startswith("<div") and "height:600px" in cell and "Plotly.newPlot" in cell and "<html" not in cell


def test_one_scale_on_all_axes_and_everything_in_the_first_view(tmp_path):
    # A long, flat scene: a plain "fit each axis" view would stretch z and cut off the ends.
    line = np.column_stack((np.linspace(-50, 50, 500), np.zeros(500), np.linspace(0, 2, 500)))
    box = geometry.AxisAlignedBoundingBox([0, -3, 0], [4, 3, 1])
    traces, layout = saved(tmp_path, nubiro.show(cloud(line), box))
    scene = layout["scene"]
    widths = np.array([np.ptp(scene[f"{a}axis"]["range"]) for a in "xyz"])
    ratio = np.array([scene["aspectratio"][a] for a in "xyz"])
    np.testing.assert_allclose(ratio, widths / widths.max(), rtol=1e-9)
    for points in (xyz(traces[0]), xyz(traces[1])[np.isfinite(xyz(traces[1])).all(axis=1)]):
        for k, a in enumerate("xyz"):
            lo, hi = scene[f"{a}axis"]["range"]
            assert lo < points[:, k].min() and points[:, k].max() < hi
    eye = np.array(list(scene["camera"]["eye"].values()))
    assert np.linalg.norm(eye) < np.linalg.norm([1.25] * 3)  # moved in: the scene is thinner than a cube


def test_far_from_the_origin_keeps_its_detail(tmp_path):
    # Map coordinates: float32 alone would put these 1 cm apart points on a 0.5 m grid.
    base = np.array([512_345.678, 5_401_234.567, 312.0])
    grid = base + np.stack(np.meshgrid(np.arange(20), np.arange(20), [0.0]), -1).reshape(-1, 3) * 0.01
    traces, layout = saved(tmp_path, nubiro.show(grid))
    titles = [layout["scene"][f"{a}axis"]["title"]["text"] for a in "xyz"]
    shift = np.array([float(t.split(" − ")[1]) if " − " in t else 0.0 for t in titles])
    assert shift[0] > 500_000 and shift[1] > 5_000_000  # the axis titles say what was taken off
    np.testing.assert_allclose(xyz(traces[0]) + shift, grid, rtol=0, atol=1e-4)


# ---- geometries -----------------------------------------------------------------------------------


def test_meshes_boxes_and_voxel_grids(tmp_path):
    mesh = geometry.TriangleMesh()
    mesh.vertices = utility.Vector3dVector([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]])
    mesh.triangles = utility.Vector3iVector([[0, 1, 2], [0, 1, 3], [0, 2, 3], [1, 2, 3]])
    box = geometry.AxisAlignedBoundingBox([0, 0, 0], [2, 1, 1])
    grid = geometry.VoxelGrid.create_from_point_cloud(cloud([[0.1, 0.1, 0.1], [0.9, 0.1, 0.1], [0.1, 0.9, 0.9]]), 0.5)
    traces, _ = saved(tmp_path, nubiro.show(mesh, box, grid))
    m, b, g = traces
    assert m["type"] == "mesh3d" and np.array_equal(np.column_stack((m["i"], m["j"], m["k"])), mesh.triangles)
    # The box: twelve edges, each a segment between two corners that differ in one coordinate.
    assert b["type"] == "scatter3d" and b["mode"] == "lines"
    segments = xyz(b).reshape(12, 3, 3)
    assert np.isnan(segments[:, 2]).all()
    assert (np.count_nonzero(segments[:, 0] != segments[:, 1], axis=1) == 1).all()
    assert {tuple(p) for p in segments[:, :2].reshape(-1, 3)} == {(x, y, z) for x in (0, 2) for y in (0, 1) for z in (0, 1)}
    # The grid: a cube (8 corners, 12 triangles) per voxel, each of the voxel size.
    voxels = len(grid.get_voxels())
    assert g["type"] == "mesh3d" and len(g["x"]) == 8 * voxels and len(g["i"]) == 12 * voxels
    cubes = xyz(g).reshape(voxels, 8, 3)
    np.testing.assert_allclose(np.ptp(cubes, axis=1), 0.5)


@pytest.mark.parametrize("thing, named", [
    (geometry.KDTreeSearchParamKNN(), "KDTreeSearchParamKNN"),
    ([[0.0, 0.0]], "list"),
    (np.zeros((4, 2)), "ndarray"),
    ("bunny.ply", "str"),
])
def test_what_it_cannot_draw_is_a_type_error_naming_it(thing, named):
    with pytest.raises(TypeError, match=rf"cannot draw a [\w.]*\b{named}\b"):
        nubiro.show(cloud(surface(10)), thing)


# ---- colours --------------------------------------------------------------------------------------


def marker_rgb(trace):
    """Per-point colours of a cloud trace as (n, 3) floats in [0, 1]."""
    marker = trace["marker"]
    if isinstance(marker["color"], str):
        c = marker["color"]
        return np.tile([int(c[k:k + 2], 16) / 255 for k in (1, 3, 5)], (len(trace["x"]), 1))
    stops = [s[1] for s in marker["colorscale"]]
    palette = np.array([[int(c[k:k + 2], 16) / 255 for k in (1, 3, 5)] for c in stops])
    assert marker["cmin"] == 0 and marker["cmax"] == len(stops) - 1
    return palette[marker["color"].astype(int)]


def test_own_colours_one_per_geometry_and_explicit_ones(tmp_path):
    rng = np.random.default_rng(4)
    painted = cloud(surface(4000), colors=rng.random((4000, 3)))
    plain_a, plain_b = cloud(surface(50, 1)), cloud(surface(50, 2))
    traces, layout = saved(tmp_path, nubiro.show(painted, plain_a, plain_b))
    # Own colours survive to within the page's 5-bit quantisation (and 8-bit hex).
    assert np.abs(marker_rgb(traces[0]) - np.asarray(painted.colors)).max() <= 0.5 / 31 + 0.5 / 255
    # Clouds without colours get one distinct colour each.
    assert traces[1]["marker"]["color"] != traces[2]["marker"]["color"]
    assert layout["showlegend"] is True

    traces, _ = saved(tmp_path, nubiro.show(painted, plain_a, colors=[(1.0, 0.0, 0.0), "#00ff00"]))
    assert traces[0]["marker"]["color"] == "#ff0000" and traces[1]["marker"]["color"] == "#00ff00"
    traces, _ = saved(tmp_path, nubiro.show(painted, plain_a, colors=(0, 0, 1)))  # one triple: every geometry
    assert traces[0]["marker"]["color"] == traces[1]["marker"]["color"] == "#0000ff"


def test_scalars_share_one_colour_bar_and_labels_get_a_colour_each(tmp_path):
    a, b = surface(300, 1), surface(200, 2) + [0, 0, 3]
    traces, layout = saved(tmp_path, nubiro.show(cloud(a), cloud(b), colors="height", colorbar="height (m)"))
    for trace, points in zip(traces, (a, b)):
        assert trace["marker"]["coloraxis"] == "coloraxis"
        np.testing.assert_allclose(trace["marker"]["color"], points[:, 2], rtol=1e-6)
    assert layout["coloraxis"]["colorbar"]["title"]["text"] == "height (m)"

    labels = np.array([0, 1, 2, -1, 1, 0] * 50)
    traces, _ = saved(tmp_path, nubiro.show(cloud(a[:300]), colors=labels))
    rgb = marker_rgb(traces[0])
    for label in (0, 1, 2, -1):
        same = rgb[labels == label]
        assert (same == same[0]).all()
    assert len({tuple(rgb[labels == k][0]) for k in (0, 1, 2, -1)}) == 4


@pytest.mark.parametrize("colors, message", [
    (["red"], r"1 entries for 2 geometries"),
    (np.zeros(7), r"expected 300 values"),
    (np.zeros((300, 2)), r"expected 300 values"),
    (np.array(["a"] * 300), r"must be numbers"),
])
def test_colours_that_do_not_fit_are_value_errors(colors, message):
    with pytest.raises(ValueError, match=message):
        nubiro.show(cloud(surface(300)), cloud(surface(300, 1)), colors=colors)


# ---- thinning -----------------------------------------------------------------------------------


def test_large_clouds_are_thinned_to_the_budget_and_the_page_says_so(tmp_path):
    big, small = surface(60_000, 1), surface(15_000, 2) + [0, 0, 4]
    fig = nubiro.show(cloud(big), cloud(small), max_points=5000, title="scan")
    traces, layout = saved(tmp_path, fig)
    shown = [len(t["x"]) for t in traces]
    # Each cloud gets its share of the budget and fills most of it.
    assert 0.85 * 4000 <= shown[0] <= 4000 and 0.85 * 1000 <= shown[1] <= 1000
    assert fig.shown_points == sum(shown) and fig.total_points == 75_000
    assert f"showing {sum(shown):,} of 75 000 points".replace(",", " ") in layout["title"]["text"]
    assert layout["title"]["text"].startswith("scan")
    # Shown points are input points, not cell averages.
    for trace, points in zip(traces, (big, small)):
        kept = {tuple(p) for p in points.astype(np.float32)}
        assert all(tuple(p) in kept for p in xyz(trace).astype(np.float32))


def test_thinning_keeps_sparse_parts_and_labels_with_their_points(tmp_path):
    # A dense blob and 40 lone points far away: taking every k-th point would drop most loners.
    rng = np.random.default_rng(5)
    blob = rng.normal(scale=0.2, size=(30_000, 3))
    loners = np.column_stack((np.linspace(10, 50, 40), np.full(40, 10.0), np.zeros(40)))
    points = np.concatenate((blob, loners))
    labels = (points[:, 0] > 5).astype(np.int64)  # 1 exactly on the loners
    traces, _ = saved(tmp_path, nubiro.show(cloud(points), colors=labels, max_points=2000))
    shown = xyz(traces[0])
    far = shown[:, 0] > 5
    assert np.count_nonzero(far) == 40 and len(shown) <= 2000
    rgb = marker_rgb(traces[0])
    assert len({tuple(c) for c in rgb[far]}) == 1 and not (rgb[~far] == rgb[far][0]).all(axis=1).any()


@pytest.mark.parametrize("shape", ["line", "plane", "volume"])
@pytest.mark.parametrize("budget", [1, 1000])
def test_thinning_fills_the_budget_whatever_the_cloud_dimension(shape, budget):
    rng = np.random.default_rng(6)
    n = 20_000
    points = {"line": np.column_stack((rng.random(n) * 100, np.zeros(n), np.zeros(n))),
              "plane": np.column_stack((rng.random((n, 2)) * 100, np.zeros(n))),
              "volume": rng.random((n, 3))}[shape]
    rows = _thinning.thin(points, budget)
    assert math.ceil(_thinning.LOW * budget) <= len(rows) <= budget
    assert (np.diff(rows) > 0).all()


def test_thinning_never_keeps_non_finite_points_and_handles_one_spot():
    points = np.zeros((5000, 3))
    points[::7] = np.nan
    points[3] = [np.inf, 0, 0]
    rows = _thinning.thin(points, 10)
    assert len(rows) == 1 and np.isfinite(points[rows]).all()
    assert len(_thinning.thin(points, 10_000)) == np.isfinite(points).all(axis=1).sum()


@pytest.mark.parametrize("kwargs, message", [
    ({"max_points": 0}, "max_points"),
    ({"max_points": 2.5}, "max_points"),
    ({"point_size": -1}, "point_size"),
    ({"names": ["one", "two"]}, "names"),
])
def test_bad_arguments_name_themselves(kwargs, message):
    with pytest.raises(ValueError, match=message):
        nubiro.show(cloud(surface(10)), **kwargs)


def test_point_size_follows_density(tmp_path):
    sparse, dense = surface(500, 1), surface(50_000, 2)
    traces, _ = saved(tmp_path, nubiro.show(cloud(sparse), cloud(dense + [0, 0, 2]), max_points=None))
    assert traces[0]["marker"]["size"] > traces[1]["marker"]["size"]
    traces, _ = saved(tmp_path, nubiro.show(cloud(sparse), point_size=2.5))
    assert traces[0]["marker"]["size"] == 2.5


# ---- packaging --------------------------------------------------------------------------------------


def test_import_does_not_load_plotly_and_without_it_the_message_names_the_extra(run_python):
    out = run_python(
        "import sys, numpy as np\n"
        "import nubiro\n"
        "print('plotly' in sys.modules)\n"
        "sys.modules['plotly'] = None; sys.modules['plotly.graph_objects'] = None\n"
        "try:\n"
        "    nubiro.show(np.zeros((3, 3)))\n"
        "except ImportError as e:\n"
        "    print(e)\n")
    loaded, message = out.splitlines()
    assert loaded == "False" and "pip install 'nubiro[viz]'" in message
