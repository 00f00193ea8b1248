"""PointCloud.voxel_down_sample: averages per voxel in the voxel map's order."""
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import _internal as hooks
from nubiro.cpu.pybind import geometry

POSITIVE = "[VoxelDownSample] voxel_size must be positive."
TOO_SMALL = "[VoxelDownSample] voxel_size is too small relative to the cloud extent."


def arr(v):
    return np.asarray(v)


def snapshot(pc):
    return tuple(arr(a).tobytes() for a in (pc.points, pc.normals, pc.colors))


def model(pts, normals, colors, size):
    """Sums in point order per voxel, emitted in the map order reported by the map hook."""
    low = np.fmin.reduce(pts, axis=0)
    keys = []
    for p in pts:
        key = []
        for k in range(3):
            f = math.floor((p[k] - low[k]) / size) if not math.isnan((p[k] - low[k]) / size) else 0
            key.append(int(min(max(f, -2**31), 2**31 - 1)))
        keys.append(tuple(key))
    ids, order, _ = hooks.voxel_map_insert(keys)
    n_vox = len(order)
    psum, nsum, csum = [[0.0] * 3 for _ in range(n_vox)], [[0.0] * 3 for _ in range(n_vox)], [[0.0] * 3 for _ in range(n_vox)]
    count, has_normal = [0] * n_vox, [False] * n_vox
    for i, v in enumerate(ids):
        for k in range(3):
            psum[v][k] += float(pts[i][k])
        if normals is not None and not np.isnan(normals[i]).any():
            for k in range(3):
                nsum[v][k] += float(normals[i][k])
            has_normal[v] = True
        if colors is not None:
            for k in range(3):
                csum[v][k] += float(colors[i][k])
        count[v] += 1
    out_p = np.array([[s / count[v] for s in psum[v]] for v in order])
    out_n = np.array([[s / count[v] for s in nsum[v]] if has_normal[v] else [0.0] * 3 for v in order])
    out_c = np.array([[s / count[v] for s in csum[v]] for v in order])
    return out_p, out_n, out_c


@pytest.mark.parametrize("n, with_normals, with_colors", [(3000, True, True), (3000, False, True), (3000, True, False),
                                                          (40000, False, False)])
def test_averages_equal_a_point_order_model_bit_for_bit(make_cloud, n, with_normals, with_colors):
    rng = np.random.default_rng(4)
    pts = rng.random((n, 3)) * [4, 3, 2] - 1
    if n > 3000:
        # Large enough to fold its bounds in blocks: x is NaN for the whole first block and
        # scattered NaNs elsewhere; y holds -0.0 and 0.0 as its minimum.
        pts[:12000, 0] = np.nan
        pts[rng.random(n) < 0.01, 2] = np.nan
        pts[:, 1] = np.abs(pts[:, 1])
        pts[[5, 30000], 1] = [0.0, -0.0]
        pts[:, 1] *= 17
    normals = rng.standard_normal((n, 3)) if with_normals else None
    if with_normals:
        normals[rng.random(n) < 0.2, rng.integers(0, 3)] = np.nan
    colors = rng.random((n, 3)) if with_colors else None
    pc = make_cloud(pts, normals, colors)
    before = snapshot(pc)
    out = pc.voxel_down_sample(0.37)
    exp_p, exp_n, exp_c = model(pts, normals, colors, 0.37)
    assert arr(out.points).tobytes() == exp_p.tobytes()
    if with_normals:
        expected_normals = make_cloud(exp_p, exp_n).normalize_normals().normals
        assert arr(out.normals).tobytes() == arr(expected_normals).tobytes()
    else:
        assert len(out.normals) == 0
    if with_colors:
        assert arr(out.colors).tobytes() == exp_c.tobytes()
    else:
        assert len(out.colors) == 0
    assert snapshot(pc) == before and type(out) is geometry.PointCloud


def test_documented_output_orders(make_cloud):
    three = make_cloud([[0.5, 0.5, 0.5], [1.5, 0.5, 0.5], [2.5, 0.5, 0.5]]).voxel_down_sample(1)
    assert arr(three.points).tolist() == [[2.5, 0.5, 0.5], [1.5, 0.5, 0.5], [0.5, 0.5, 0.5]]
    twenty = make_cloud([[i + 0.5, 0.5, 0.5] for i in range(20)]).voxel_down_sample(1.0)
    assert [int(p[0]) for p in arr(twenty.points)] == [18, 15, 14, 16, 13, 17, 0, 1, 2, 8, 3, 5, 6, 19, 4, 7, 9, 11, 10, 12]


def test_cells_count_from_the_minimum_and_boundaries_go_up(make_cloud):
    # x = 1 and x = 3 sit exactly on boundaries measured from min x = 1, so they open voxels.
    pts = [[1, 0, 0], [1.5, 0, 0], [2, 0, 0], [2.75, 0, 0], [3, 0, 0]]
    out = arr(make_cloud(pts).voxel_down_sample(1.0).points)
    assert sorted(out[:, 0].tolist()) == [1.25, 2.375, 3.0]
    assert arr(make_cloud([[7, -8, 9]]).voxel_down_sample(0.01).points).tolist() == [[7, -8, 9]]


def test_nan_coordinates_go_to_cell_zero_and_poison_that_average(make_cloud):
    pts = [[0.2, 0.2, 0.2], [np.nan, 0.3, 0.3], [5.5, 0.1, 0.1]]
    out = arr(make_cloud(pts).voxel_down_sample(1.0).points)
    assert len(out) == 2
    nan_rows = out[np.isnan(out[:, 0])]
    assert nan_rows.shape == (1, 3) and nan_rows[0, 1:].tolist() == [0.25, 0.25]
    only_nan = arr(make_cloud([[np.nan, 1, 2], [np.nan, 3, 2]]).voxel_down_sample(1.5).points)
    assert only_nan.shape == (2, 3) and np.isnan(only_nan[:, 0]).all()


def test_normals_skip_nan_but_divide_by_the_full_count(make_cloud):
    pts = [[0.1, 0, 0], [0.2, 0, 0], [0.3, 0, 0], [5.1, 0, 0], [5.2, 0, 0]]
    normals = [[0, 0, 3], [np.nan, 0, 0], [0, 4, 0], [np.nan, 1, 1], [1, np.nan, 1]]
    out = make_cloud(pts, normals, colors=np.ones((5, 3))).voxel_down_sample(1.0)
    by_x = {round(p[0], 6): n for p, n in zip(arr(out.points), arr(out.normals))}
    assert by_x[5.15].tolist() == [0, 0, 0]
    assert np.allclose(by_x[0.2], [0, 0.8, 0.6], rtol=0, atol=1e-15)
    assert (arr(out.colors) == 1).all()


@pytest.mark.parametrize("normals, colors", [(2, None), (None, 4), (0, 2)])
def test_attributes_take_part_only_with_one_per_point(make_cloud, normals, colors):
    pc = make_cloud(np.eye(3), None if normals is None else np.ones((normals, 3)),
                    None if colors is None else np.ones((colors, 3)))
    out = pc.voxel_down_sample(0.5)
    assert len(out.points) == 3 and len(out.normals) == 0 and len(out.colors) == 0


@pytest.mark.parametrize("size, points, message", [
    (0, [[0, 0, 0]], POSITIVE), (-1, [[0, 0, 0]], POSITIVE), (-np.inf, [[0, 0, 0]], POSITIVE),
    (0.0, [], POSITIVE), (-2, [], POSITIVE), (np.nan, [[0, 0, 0]], POSITIVE), (np.nan, [], POSITIVE),
    (1e-9, [[0, 0, 0], [10, 0, 0]], TOO_SMALL),
    (1.0, [[0, 0, 0], [np.inf, 0, 0]], TOO_SMALL),
    (1.0, [[0, 0, 0], [0, 0, -np.inf]], TOO_SMALL),
    (1e-300, [[0, 0, 0], [0, 1e-290, 0]], TOO_SMALL),
])
def test_errors_leave_the_cloud_as_it_was(make_cloud, size, points, message):
    pc = make_cloud(points, normals=np.ones((len(points), 3)))
    before = snapshot(pc)
    with pytest.raises(RuntimeError) as info:
        pc.voxel_down_sample(size)
    assert str(info.value) == message and snapshot(pc) == before


@pytest.mark.parametrize("size", [float("inf"), 1e300])
def test_unusual_sizes_that_pass_collect_everything_in_one_voxel(make_cloud, size):
    pts = np.array([[0, 0, 0], [1, 2, 3], [-4, 5, 6.5]])
    out = arr(make_cloud(pts).voxel_down_sample(size).points)
    assert out.tolist() == [[((0 + 1) + -4) / 3, ((0 + 2) + 5) / 3, ((0 + 3) + 6.5) / 3]]


def test_empty_cloud_and_argument_errors(make_cloud):
    out = make_cloud([]).voxel_down_sample(0.5)
    assert len(out.points) == 0 and len(out.normals) == 0
    with pytest.raises(TypeError, match="^argument 'voxel_size': "):
        make_cloud([[0, 0, 0]]).voxel_down_sample("1")
    with pytest.raises(TypeError):
        make_cloud([[0, 0, 0]]).voxel_down_sample()


def test_holds_read_access(make_cloud, held):
    pc = make_cloud([[0, 0, 0], [2, 2, 2]])
    with held(pc, write=False):
        assert len(pc.voxel_down_sample(1.0).points) == 2
    with held(pc, write=True):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            pc.voxel_down_sample(1.0)


def test_same_bytes_for_any_thread_count(run_python):
    code = """
import hashlib, numpy as np
from nubiro.cpu.pybind import geometry as g
rng = np.random.default_rng(1)
pc = g.PointCloud(); pc.points = rng.random((300000, 3)) * 5
pc.normals = rng.standard_normal((300000, 3)); pc.colors = rng.random((300000, 3))
for size in (0.05, 0.4):
    out = pc.voxel_down_sample(size)
    print(hashlib.sha256(b"".join(np.asarray(a).tobytes() for a in (out.points, out.normals, out.colors))).hexdigest())
"""
    assert run_python(code, RAYON_NUM_THREADS="1") == run_python(code, RAYON_NUM_THREADS="3")
