"""RANSAC registration: the loop's rules, the random engine it leaves behind, bad input, and a
real global alignment."""
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import _internal, geometry, utility
from nubiro.cpu.pybind.pipelines import registration as reg
from support import cloud

P2P = reg.TransformationEstimationPointToPoint()


def reference_words(seed, n):
    return [int(w) for w in np.random.RandomState(seed)._bit_generator.random_raw(n)]


class Draws:
    """The engine's range draws, replayed from the reference words (multiply and reject)."""

    def __init__(self, seed):
        self.words = reference_words(seed, 20000)
        self.used = 0

    def uniform(self, count):
        m = self.words[self.used] * count
        self.used += 1
        if m % 2**32 < count:
            t = (2**32 - count) % count
            while m % 2**32 < t:
                m = self.words[self.used] * count
                self.used += 1
        return m >> 32

    def next_word(self):
        return self.words[self.used]


def rigid(angle_deg=75.0, axis=(1.0, 2.0, 0.5), t=(3.0, -2.0, 1.0)):
    axis = np.asarray(axis) / np.linalg.norm(axis)
    T = np.eye(4)
    T[:3, :3] = geometry.get_rotation_matrix_from_axis_angle(np.deg2rad(angle_deg) * axis)
    T[:3, 3] = t
    return T


@pytest.fixture(scope="module")
def scene():
    """A source cloud, its rigidly moved copy as target, and putative pairs of which 40% are right."""
    rng = np.random.default_rng(3)
    pts = rng.random((1500, 3)) * [4.0, 3.0, 2.0]
    T = rigid()
    src, tgt = cloud(pts), cloud(pts @ T[:3, :3].T + T[:3, 3])
    idx = rng.permutation(1500)[:600]
    wrong = rng.random(600) < 0.6
    corres = np.column_stack((idx, np.where(wrong, rng.integers(0, 1500, 600), idx))).astype(np.int32)
    return src, tgt, corres, T


def rotation_error_deg(E, T):
    c = (np.trace(E[:3, :3].T @ T[:3, :3]) - 1) / 2
    return np.degrees(np.arccos(np.clip(c, -1, 1)))


def test_recovers_the_motion_from_noisy_pairs(scene):
    src, tgt, corres, T = scene
    utility.random.seed(1)
    res = reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.05, P2P, 3,
                                                          [reg.CorrespondenceCheckerBasedOnEdgeLength(0.9)])
    np.testing.assert_allclose(res.transformation, T, atol=1e-9)
    assert res.fitness == 1.0
    pairs = np.asarray(res.correspondence_set)
    # The pairs of the full evaluation (every source point, ascending), not the putative ones.
    assert pairs.tolist() == [[i, i] for i in range(1500)]


def test_inputs_that_give_the_empty_result_leave_the_engine_alone(scene):
    src, tgt, corres, _ = scene
    calls = [
        lambda: reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.05, P2P, 2),
        lambda: reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.0, P2P),
        lambda: reg.registration_ransac_based_on_correspondence(src, tgt, corres, -1.0, P2P),
        lambda: reg.registration_ransac_based_on_correspondence(src, tgt, corres, math.nan, P2P),
        lambda: reg.registration_ransac_based_on_correspondence(src, tgt, corres[:2], 0.05),
        lambda: reg.registration_ransac_based_on_correspondence(geometry.PointCloud(), tgt, np.zeros((0, 2), np.int32), 0.05),
        lambda: reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.05,
                                                                criteria=reg.RANSACConvergenceCriteria(0)),
        lambda: reg.registration_ransac_based_on_feature_matching(src, tgt, reg.Feature(), reg.Feature(), False, 0.0),
        lambda: reg.registration_ransac_based_on_feature_matching(src, tgt, reg.Feature(), reg.Feature(), False, math.nan),
        lambda: reg.registration_ransac_based_on_feature_matching(src, tgt, reg.Feature(), reg.Feature(), False, 0.05,
                                                                  ransac_n=2),
    ]
    for call in calls:
        utility.random.seed(5)
        res = call()
        assert (res.fitness, res.inlier_rmse, len(res.correspondence_set)) == (0.0, 0.0, 0)
        np.testing.assert_array_equal(res.transformation, np.eye(4))
        assert _internal.random_words(1) == reference_words(5, 1)


def test_invalid_pairs_raise_before_any_draw(scene):
    src, tgt, corres, _ = scene
    bad = corres.copy()
    bad[4] = [1500, 0]
    utility.random.seed(5)
    with pytest.raises(ValueError, match=r"^correspondence 4 source index 1500 is out of bounds for 1500 points$"):
        reg.registration_ransac_based_on_correspondence(src, tgt, bad, 0.05, ransac_n=2)
    bad[4] = [0, -3]
    with pytest.raises(ValueError, match=r"^correspondence 4 has negative target index -3$"):
        reg.registration_ransac_based_on_correspondence(src, tgt, bad, 0.05)
    assert _internal.random_words(1) == reference_words(5, 1)


def test_feature_columns_beyond_the_cloud_are_invalid_pairs():
    src = cloud([[0, 0, 0], [1, 0, 0], [0, 1, 0]])
    f = reg.Feature()
    f.data = np.arange(4, dtype=np.float64)[None, :]  # four descriptors for three points
    with pytest.raises(ValueError, match=r"^correspondence 3 source index 3 is out of bounds for 3 points$"):
        reg.registration_ransac_based_on_feature_matching(src, src, f, f, False, 1.0)


def test_perfect_first_sample_ends_the_loop_after_one_iteration(scene):
    # Every pair right: the first sample is accepted, its inlier ratio is 1, so E = 1 and only
    # the three draws of iteration 0 are made (with confidence 0 likewise: E = L = 0).
    src, tgt, _, _ = scene
    corres = np.column_stack((np.arange(1500), np.arange(1500))).astype(np.int32)
    for confidence in (0.999, 0.0):
        utility.random.seed(8)
        res = reg.registration_ransac_based_on_correspondence(
            src, tgt, corres, 0.05, criteria=reg.RANSACConvergenceCriteria(1000, confidence))
        assert res.fitness == 1.0
        model = Draws(8)
        sample = set()
        while len(sample) < 3:
            sample.add(model.uniform(1500))
        assert _internal.random_words(1) == [model.next_word()]


def test_samples_that_cannot_be_completed_are_abandoned_after_129_draws():
    pts = [[0, 0, 0], [1, 0, 0], [0, 1, 0]]
    src = cloud(pts)
    utility.random.seed(2)
    dup = np.array([[0, 0], [1, 1], [1, 1]], dtype=np.int32)  # two distinct pairs
    res = reg.registration_ransac_based_on_correspondence(src, src, dup, 1.0,
                                                          criteria=reg.RANSACConvergenceCriteria(7))
    assert res.fitness == 0.0
    model = Draws(2)
    for _ in range(7 * 129):
        model.uniform(3)
    assert _internal.random_words(1) == [model.next_word()]


def test_three_distinct_pairs_are_always_the_sample():
    pts = np.array([[0, 0, 0], [1, 0, 0], [0, 2, 0]], dtype=np.float64)
    T = rigid(30.0)
    src, tgt = cloud(pts), cloud(pts @ T[:3, :3].T + T[:3, 3])
    corres = np.array([[0, 0], [1, 1], [2, 2]], dtype=np.int32)
    res = reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.01)
    np.testing.assert_allclose(res.transformation, T, atol=1e-12)
    assert res.fitness == 1.0


def test_checkers_reject_and_nan_distance_accepts_nothing(scene):
    src, tgt, corres, _ = scene
    crit = reg.RANSACConvergenceCriteria(200)
    # No edge can be at least twice as long as the other both ways round.
    for kwargs in ({"max_correspondence_distance": 0.05, "checkers": [reg.CorrespondenceCheckerBasedOnEdgeLength(2.0)]},
                   {"max_correspondence_distance": float("nan")}):
        res = reg.registration_ransac_based_on_correspondence(src, tgt, corres, criteria=crit, **kwargs)
        assert res.fitness == 0.0 and len(res.correspondence_set) == 0


def test_point_to_plane_without_target_normals_is_not_an_error(scene):
    src, tgt, corres, _ = scene
    res = reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.05,
                                                          reg.TransformationEstimationPointToPlane(),
                                                          criteria=reg.RANSACConvergenceCriteria(50))
    # Every estimate is the identity, which aligns next to nothing here.
    np.testing.assert_array_equal(res.transformation, np.eye(4))
    assert res.fitness < 0.01


@pytest.mark.parametrize("checkers, message", [
    (reg.CorrespondenceCheckerBasedOnEdgeLength(), "argument 'checkers'"),
    ("abc", "argument 'checkers'"),
    ([reg.CorrespondenceCheckerBasedOnEdgeLength(), 3], "argument 'checkers'"),
])
def test_checker_argument_must_be_a_sequence_of_checkers(scene, checkers, message):
    src, tgt, corres, _ = scene
    with pytest.raises(TypeError, match=message):
        reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.05, checkers=checkers)


def test_checkers_in_a_tuple_and_criteria_none(scene):
    src, tgt, corres, T = scene
    res = reg.registration_ransac_based_on_correspondence(
        src, tgt, corres, 0.05, None, 3, (reg.CorrespondenceCheckerBasedOnEdgeLength(0.9),), None)
    np.testing.assert_allclose(res.transformation, T, atol=1e-9)


# ---- the same answer and the same engine state for any number of workers ------------------------

SCRIPT = """
import numpy as np
from nubiro.cpu.pybind import _internal, geometry, utility
from nubiro.cpu.pybind.pipelines import registration as reg
rng = np.random.default_rng(3)
pts = rng.random((1500, 3)) * [4.0, 3.0, 2.0]
R = geometry.get_rotation_matrix_from_xyz(np.array([0.4, 1.2, -0.3]))
src = geometry.PointCloud(); src.points = pts
tgt = geometry.PointCloud(); tgt.points = pts @ R.T + [1.0, 2.0, 3.0] + 0.01 * rng.standard_normal(pts.shape)
idx = rng.permutation(1500)[:900]
corres = np.column_stack((idx, np.where(rng.random(900) < 0.7, rng.integers(0, 1500, 900), idx))).astype(np.int32)
checkers = [reg.CorrespondenceCheckerBasedOnEdgeLength(0.9), reg.CorrespondenceCheckerBasedOnDistance(0.05)]
out = []
for seed, n, crit in ((11, 3, reg.RANSACConvergenceCriteria(100000, 0.999)),
                      (12, 4, reg.RANSACConvergenceCriteria(300, 1.0)),
                      (13, 3, reg.RANSACConvergenceCriteria(100000, 0.9))):
    utility.random.seed(seed)
    res = reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.04, None, n, checkers, crit)
    out.append((res.transformation.tobytes().hex(), res.fitness.hex(), res.inlier_rmse.hex(),
                np.asarray(res.correspondence_set).tobytes().hex(), _internal.random_words(3)))
f = reg.Feature(); f.data = np.vstack((pts.T, rng.random((2, 1500))))
g = reg.Feature(); g.data = np.vstack((pts.T[:, ::-1], rng.random((2, 1500))))
utility.random.seed(14)
res = reg.registration_ransac_based_on_feature_matching(src, tgt, f, g, True, 0.05, None, 3, checkers)
out.append((res.transformation.tobytes().hex(), res.fitness.hex(), _internal.random_words(3)))
normals = rng.standard_normal(pts.shape)
src.normals = normals / np.linalg.norm(normals, axis=1, keepdims=True)
fpfh = reg.compute_fpfh_feature(src, geometry.KDTreeSearchParamHybrid(0.4, 50))
out.append(fpfh.data.tobytes().hex())
print(_internal.num_threads(), repr(out))
"""


def test_results_and_engine_state_do_not_depend_on_the_worker_count(run_python):
    # The script also computes FPFH on its cloud with random normals.
    runs = {}
    for threads in ("1", "2", "5"):
        count, text = run_python(SCRIPT, RAYON_NUM_THREADS=threads).split(" ", 1)
        assert count == threads
        runs[threads] = text
    assert runs["1"] == runs["2"] == runs["5"]
    assert "0x0.0p+0" not in runs["1"]  # every call found an alignment


def test_same_seed_same_result_and_the_sequence_continues(scene):
    src, tgt, corres, _ = scene
    crit = reg.RANSACConvergenceCriteria(1000, 0.9999)
    utility.random.seed(21)
    a = reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.05, criteria=crit)
    b_words = _internal.random_words(2)
    utility.random.seed(21)
    b = reg.registration_ransac_based_on_correspondence(src, tgt, corres, 0.05, criteria=crit)
    assert _internal.random_words(2) == b_words
    np.testing.assert_array_equal(a.transformation, b.transformation)
    assert a.fitness == b.fitness and a.inlier_rmse == b.inlier_rmse
    assert b_words != reference_words(21, 2)  # the call consumed draws


# ---- global alignment of the scanned bunny ----------------------------------------------------

def bunny_vertices(path):
    lines = path.read_text().splitlines()
    end = lines.index("end_header")
    n = next(int(l.split()[2]) for l in lines[:end] if l.startswith("element vertex"))
    return np.array([l.split()[:3] for l in lines[end + 1:end + 1 + n]], dtype=np.float64)


def test_bunny_global_alignment_then_icp(request):
    v = bunny_vertices(request.path.parent / "data" / "bunny.ply")
    T = rigid(75.0)
    rng = np.random.default_rng(0)
    voxel = 0.3

    def prepare(points):
        d = cloud(points).voxel_down_sample(voxel)
        d.estimate_normals(geometry.KDTreeSearchParamHybrid(2 * voxel, 30))
        return d, reg.compute_fpfh_feature(d, geometry.KDTreeSearchParamHybrid(5 * voxel, 100))

    src, fs = prepare(v)
    tgt, ft = prepare(v @ T[:3, :3].T + T[:3, 3] + 0.002 * rng.standard_normal(v.shape))
    utility.random.seed(7)
    res = reg.registration_ransac_based_on_feature_matching(
        src, tgt, fs, ft, True, 1.5 * voxel, P2P, 3,
        [reg.CorrespondenceCheckerBasedOnEdgeLength(0.9), reg.CorrespondenceCheckerBasedOnDistance(1.5 * voxel)],
        reg.RANSACConvergenceCriteria(100000, 0.999))
    assert rotation_error_deg(res.transformation, T) < 2.0
    refined = reg.registration_icp(src, tgt, 0.5 * voxel, res.transformation,
                                   reg.TransformationEstimationPointToPlane(),
                                   reg.ICPConvergenceCriteria(1e-9, 1e-9, 100))
    assert rotation_error_deg(refined.transformation, T) < 0.1
    assert np.linalg.norm(refined.transformation[:3, 3] - T[:3, 3]) < 0.05
