"""FPFH descriptors and feature matching."""
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry
from nubiro.cpu.pybind.pipelines import registration as reg


# ---- an independent FPFH written from the definition ----------------------------------------

def pair_feature(p1, n1, p2, n2):
    d = [p2[i] - p1[i] for i in range(3)]
    dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2]
    if dd == 0:
        return 0.0, 0.0, 0.0
    s = math.sqrt(dd)
    a1 = min(max((n1[0] * d[0] + n1[1] * d[1] + n1[2] * d[2]) / s, -1.0), 1.0)
    a2 = min(max((n2[0] * d[0] + n2[1] * d[1] + n2[2] * d[2]) / s, -1.0), 1.0)
    if abs(a2) > abs(a1):
        u, w2, d, f2 = n2, n1, [-x for x in d], -a2
    else:
        u, w2, f2 = n1, n2, a1
    v = [d[1] * u[2] - d[2] * u[1], d[2] * u[0] - d[0] * u[2], d[0] * u[1] - d[1] * u[0]]
    vv = v[0] * v[0] + v[1] * v[1] + v[2] * v[2]
    if vv == 0:
        return 0.0, 0.0, 0.0
    norm = math.sqrt(vv)
    v = [x / norm for x in v]
    w = [u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]]
    dot = lambda a, b: a[0] * b[0] + a[1] * b[1] + a[2] * b[2]
    return math.atan2(dot(w, w2), dot(u, w2)), dot(v, w2), f2


def bin_of(x):
    f = math.floor(x) if not math.isnan(x) else 0
    return int(min(max(f, 0), 10))


def reference_fpfh(points, normals, lists):
    """lists[i] = (indices, squared distances) from the search around point i."""
    n = len(points)
    spfh = np.zeros((n, 33))
    for i, (idx, _) in enumerate(lists):
        if len(idx) <= 1:
            continue
        inc = 100.0 / (len(idx) - 1)
        for j in idx[1:]:
            f0, f1, f2 = pair_feature(points[i], normals[i], points[j], normals[j])
            spfh[i, bin_of(((f0 + math.pi) * 11) / (2 * math.pi))] += inc
            spfh[i, 11 + bin_of((f1 + 1) * 11 * 0.5)] += inc
            spfh[i, 22 + bin_of((f2 + 1) * 11 * 0.5)] += inc
    out = np.zeros((n, 33))
    for i, (idx, dist2) in enumerate(lists):
        if len(idx) <= 1:
            continue
        sums = [0.0, 0.0, 0.0]
        for j, q in zip(idx[1:], dist2[1:]):
            if q == 0:
                continue
            for b in range(33):
                g = spfh[j, b] / q
                sums[b // 11] += g
                out[i, b] += g
        sums = [100.0 / s if s != 0 else 0.0 for s in sums]
        for b in range(33):
            out[i, b] = out[i, b] * sums[b // 11] + spfh[i, b]
    return out.T


def search_lists(pc, param):
    tree = geometry.KDTreeFlann(pc)
    pts = np.asarray(pc.points)
    lists = []
    for p in pts:
        _, idx, d2 = tree.search_vector_3d(p, param)
        lists.append((list(idx), list(d2)))
    return lists


@pytest.fixture(scope="module")
def surface(request):
    """A wavy sheet with slightly noisy unit normals, a duplicated point and a coincident pair."""
    rng = np.random.default_rng(5)
    xy = rng.random((160, 2))
    z = 0.1 * np.sin(4 * xy[:, 0]) * np.cos(3 * xy[:, 1])
    pts = np.column_stack((xy, z))
    pts[7] = pts[3]
    nrm = np.column_stack((-0.4 * np.cos(4 * xy[:, 0]) * np.cos(3 * xy[:, 1]),
                           0.3 * np.sin(4 * xy[:, 0]) * np.sin(3 * xy[:, 1]), np.ones(160)))
    nrm += 0.05 * rng.standard_normal(nrm.shape)
    nrm[::5] *= -1  # unoriented normals
    nrm /= np.linalg.norm(nrm, axis=1, keepdims=True)
    pc = geometry.PointCloud()
    pc.points = pts
    pc.normals = nrm
    return pc


@pytest.mark.parametrize("param", [geometry.KDTreeSearchParamKNN(12), geometry.KDTreeSearchParamRadius(0.12),
                                   geometry.KDTreeSearchParamHybrid(0.15, 9)], ids=["knn", "radius", "hybrid"])
def test_fpfh_matches_the_definition(surface, param):
    f = reg.compute_fpfh_feature(surface, param)
    assert (f.dimension(), f.num()) == (33, 160)
    expected = reference_fpfh(np.asarray(surface.points), np.asarray(surface.normals), search_lists(surface, param))
    np.testing.assert_array_equal(f.data, expected)


def test_fpfh_histograms_are_normalised(surface):
    data = reg.compute_fpfh_feature(surface, geometry.KDTreeSearchParamKNN(12)).data
    # Neighbours' share 100 plus the point's own SPFH 100, per group of 11 bins.
    for g in range(3):
        np.testing.assert_allclose(data[11 * g:11 * (g + 1)].sum(axis=0), 200.0, rtol=1e-12)


def test_knn_1_gives_zero_columns(surface):
    data = reg.compute_fpfh_feature(surface, geometry.KDTreeSearchParamKNN(1)).data
    assert not data.any()


def test_negative_knn_and_max_nn_give_empty_neighbourhoods(surface):
    for param in (geometry.KDTreeSearchParamKNN(-3), geometry.KDTreeSearchParamHybrid(0.2, -1)):
        assert not reg.compute_fpfh_feature(surface, param).data.any()


def test_coincident_neighbour_lands_in_the_middle_bins_and_is_not_weighted(make_cloud):
    # Point 0 and 1 coincide; point 2 is off to the side.
    pc = make_cloud([[0, 0, 0], [0, 0, 0], [1, 0, 0]], normals=[[0, 0, 1], [0, 0, 1], [0, 1, 0]])
    data = reg.compute_fpfh_feature(pc, geometry.KDTreeSearchParamKNN(2)).data
    # 0 and 1 each see the other first (or themselves): both SPFH histograms put their one
    # increment of 100 in bins 5, 16 and 27, and the zero distance is never weighted.
    for col in (0, 1):
        expected = np.zeros(33)
        expected[[5, 16, 27]] = 100.0
        np.testing.assert_array_equal(data[:, col], expected)


def test_first_entry_is_skipped_even_when_it_is_another_point(make_cloud):
    # Duplicates: the search may list the other copy first; whatever comes first is skipped.
    pc = make_cloud([[0, 0, 0], [0, 0, 0], [0.5, 0, 0]], normals=[[0, 0, 1]] * 3)
    lists = search_lists(pc, geometry.KDTreeSearchParamKNN(3))
    expected = reference_fpfh(np.asarray(pc.points), np.asarray(pc.normals), lists)
    np.testing.assert_array_equal(reg.compute_fpfh_feature(pc, geometry.KDTreeSearchParamKNN(3)).data, expected)


def test_flipping_every_normal_follows_the_formulas(surface):
    flipped = geometry.PointCloud(surface)
    flipped.normals = -np.asarray(surface.normals)
    param = geometry.KDTreeSearchParamKNN(8)
    expected = reference_fpfh(np.asarray(flipped.points), np.asarray(flipped.normals), search_lists(flipped, param))
    np.testing.assert_array_equal(reg.compute_fpfh_feature(flipped, param).data, expected)


@pytest.mark.parametrize("points, normals", [([[0, 0, 0]], None), ([[0, 0, 0], [1, 0, 0]], [[0, 0, 1]]), ([], None)],
                         ids=["one point without normal", "incomplete normals", "empty"])
def test_missing_normals_raise(make_cloud, points, normals):
    with pytest.raises(RuntimeError, match=r"^Failed because input point cloud has no normal\.$"):
        reg.compute_fpfh_feature(make_cloud(points, normals=normals), geometry.KDTreeSearchParamKNN(5))


def test_fpfh_argument_errors(make_cloud):
    with pytest.raises(TypeError, match="argument 'search_param'"):
        reg.compute_fpfh_feature(make_cloud([[0, 0, 0]], normals=[[0, 0, 1]]), 5)
    with pytest.raises(TypeError, match="argument 'input'"):
        reg.compute_fpfh_feature(None, geometry.KDTreeSearchParamKNN(5))


# ---- feature matching -------------------------------------------------------------------------

def feature(columns):
    f = reg.Feature()
    f.data = np.asarray(columns, dtype=np.float64).reshape(-1, len(columns[0]) if columns else 0)
    return f


def feature_from(data):
    f = reg.Feature()
    f.data = np.asarray(data, dtype=np.float64)
    return f


def pairs(v):
    return np.asarray(v).reshape(-1, 2).tolist()


def test_identical_features_match_themselves():
    rng = np.random.default_rng(1)
    f = feature_from(rng.random((33, 40)))
    for mutual in (False, True):
        assert pairs(reg.correspondences_from_features(f, f, mutual)) == [[i, i] for i in range(40)]


def test_forward_matching_is_nearest_in_feature_space():
    rng = np.random.default_rng(2)
    src, dst = rng.random((5, 30)), rng.random((5, 45))
    nearest = np.argmin(((src.T[:, None, :] - dst.T[None, :, :]) ** 2).sum(axis=2), axis=1)
    got = pairs(reg.correspondences_from_features(feature_from(src), feature_from(dst)))
    assert got == [[k, int(j)] for k, j in enumerate(nearest)]


# Source columns 0, 10, ..., 490; target columns 0, 10, ..., 270. The first 28 source columns
# match mutually; the other 22 all pick target 27, whose own nearest is source 27.
LINE_SOURCE = feature_from(10.0 * np.arange(50)[None, :])
LINE_TARGET = feature_from(10.0 * np.arange(28)[None, :])
FORWARD = [[k, min(k, 27)] for k in range(50)]
MUTUAL = [[k, k] for k in range(28)]


@pytest.mark.parametrize("ratio, expected", [
    (0.0, MUTUAL),
    (0.56, MUTUAL),     # 28 of 50 needed, 28 found
    (0.58, FORWARD),    # 0.58 * 50 is 29 in single precision (28.999... in double)
    (1.0, FORWARD),
    (float("nan"), MUTUAL),
], ids=["zero", "just enough", "single precision", "all", "nan"])
def test_mutual_filter_threshold(ratio, expected):
    got = reg.correspondences_from_features(LINE_SOURCE, LINE_TARGET, True, ratio)
    assert pairs(got) == expected
    assert pairs(reg.correspondences_from_features(LINE_SOURCE, LINE_TARGET, False, ratio)) == FORWARD


def test_mutual_pairs_need_both_directions():
    # Three source columns all nearest to target 0, whose own nearest is the third.
    src = feature_from([[0.0, 1.0, 5.0]])
    dst = feature_from([[5.2]])
    assert pairs(reg.correspondences_from_features(src, dst, True, 0.0)) == [[2, 0]]
    dst2 = feature_from([[10.0, 20.0]])
    src2 = feature_from([[9.0, 11.0, 19.0]])  # 0 -> 0, 1 -> 0, 2 -> 1; backward: 0 -> 0 (tie 9/11), 1 -> 2
    assert pairs(reg.correspondences_from_features(src2, dst2, True, 0.0)) == [[0, 0], [2, 1]]


@pytest.mark.parametrize("src, dst", [
    (np.zeros((33, 4)), np.zeros((32, 4))),   # different dimensions
    (np.zeros((33, 0)), np.zeros((33, 4))),   # no source columns
    (np.zeros((33, 4)), np.zeros((33, 0))),   # no target columns
    (np.zeros((0, 4)), np.zeros((0, 4))),     # zero-dimensional descriptors
])
def test_matching_without_possible_queries_is_empty(src, dst):
    for mutual in (False, True):
        assert len(reg.correspondences_from_features(feature_from(src), feature_from(dst), mutual, 0.0)) == 0


def test_matching_returns_a_new_container_and_checks_arguments():
    f = feature_from(np.eye(3))
    out = reg.correspondences_from_features(f, f)
    assert type(out).__name__ == "Vector2iVector"
    with pytest.raises(TypeError, match="argument 'mutual_filter'"):
        reg.correspondences_from_features(f, f, 1)
    with pytest.raises(TypeError, match="argument 'target_features'"):
        reg.correspondences_from_features(f, np.eye(3))
