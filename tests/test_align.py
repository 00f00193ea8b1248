"""nubiro.align: plane covariances, ICP with three error models and robust kernels."""
import math
import pickle

import numpy as np
import pytest

from nubiro import align
from nubiro.cpu.pybind import geometry, io
from support import cloud, rigid

DATA = __import__("pathlib").Path(__file__).parent / "data" / "bunny.ply"


def surface_sample(n, rng):
    """n points uniformly (area-weighted) on the bunny mesh."""
    mesh = io.read_triangle_mesh(str(DATA))
    v, f = np.asarray(mesh.vertices), np.asarray(mesh.triangles)
    a, b, c = v[f[:, 0]], v[f[:, 1]], v[f[:, 2]]
    area = 0.5 * np.linalg.norm(np.cross(b - a, c - a), axis=1)
    tri = rng.choice(len(f), size=n, p=area / area.sum())
    s, r = np.sqrt(rng.random(n)), rng.random(n)
    return (1 - s)[:, None] * a[tri] + (s * (1 - r))[:, None] * b[tri] + (s * r)[:, None] * c[tri]


def rotation_error(m, truth):
    r = np.asarray(m)[:3, :3].T @ truth[:3, :3]
    return math.degrees(math.acos(max(-1.0, min(1.0, (np.trace(r) - 1) / 2))))


MOTION_ANGLES = [4.0, -3.0, 5.0]  # degrees


@pytest.fixture(scope="module")
def scene():
    """A bunny scan and a noisy copy of it moved by a known motion; `truth` moves it back."""
    rng = np.random.default_rng(11)
    target = surface_sample(3000, rng)
    extent = float(np.linalg.norm(target.max(0) - target.min(0)))
    motion = rigid(geometry.get_rotation_matrix_from_xyz(np.radians(MOTION_ANGLES)),
                   np.array([0.02, -0.01, 0.015]) * extent)
    noisy = target + rng.normal(scale=0.001 * extent, size=target.shape)
    source = noisy @ motion[:3, :3].T + motion[:3, 3]
    return {"source": source, "target": target, "extent": extent, "truth": np.linalg.inv(motion)}


# ---- covariances -------------------------------------------------------------------------------

def test_covariances_of_a_plane_keep_epsilon_along_its_normal():
    rng = np.random.default_rng(0)
    uv = rng.uniform(-1, 1, (500, 2))
    r = geometry.get_rotation_matrix_from_xyz([0.3, -0.7, 1.1])
    points = np.column_stack([uv, np.zeros(500)]) @ r.T + [100.0, -50.0, 20.0]  # far from the origin
    cov = align.estimate_covariances(points, k=10, epsilon=1e-3)
    normal = r[:, 2]
    expected = np.eye(3) - (1 - 1e-3) * np.outer(normal, normal)
    assert cov.matrices.shape == (500, 3, 3)
    np.testing.assert_allclose(cov.matrices, np.broadcast_to(expected, (500, 3, 3)), atol=1e-9)
    assert (cov.matrices == cov.matrices.transpose(0, 2, 1)).all()  # exactly symmetric


@pytest.mark.parametrize("case, points, k", [
    ("fewer points than k", [[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0.1]], 20),
    ("two points", [[0, 0, 0], [1, 0, 0]], 20),
    ("collinear", [[t, 2 * t, -t] for t in range(30)], 10),
    ("collinear along an axis", [[0, t, 0] for t in range(30)], 10),
    ("one place", [[1.5, 2.5, 3.5]] * 25, 10),
    ("not finite", [[0, 0, 0], [1, 0, 0], [0, 1, 0], [np.nan, 0, 0], [1, 1, 0], [np.inf, 1, 1]], 4),
])
def test_covariances_are_defined_for_degenerate_neighbourhoods(case, points, k):
    cov = align.estimate_covariances(np.asarray(points, dtype=float), k=k).matrices
    assert cov.shape == (len(points), 3, 3)
    assert np.isfinite(cov).all()
    eig = np.linalg.eigvalsh(cov)
    assert (eig > 0).all() and (eig <= 1 + 1e-12).all()  # positive definite plane model or identity
    finite = np.isfinite(np.asarray(points, dtype=float)).all(axis=1)
    if case in ("two points", "collinear", "collinear along an axis", "one place"):
        assert (cov == np.eye(3)).all()
    assert (cov[~finite] == np.eye(3)).all()


def test_covariances_pickle_compare_and_accept_a_point_cloud(scene):
    pc = cloud(scene["target"])
    cov = align.estimate_covariances(pc, k=15)
    assert cov == align.estimate_covariances(scene["target"], k=15)
    back = pickle.loads(pickle.dumps(cov))
    assert back == cov and back.k == 15 and back.matrices.tobytes() == cov.matrices.tobytes()
    assert not cov.matrices.flags.writeable
    assert cov != align.estimate_covariances(pc, k=16)


@pytest.mark.parametrize("kwargs, error, text", [
    ({"k": 2}, ValueError, "k must be at least 3"),
    ({"k": 2.5}, TypeError, "k must be an integer"),
    ({"epsilon": 0.0}, ValueError, "epsilon"),
    ({"epsilon": 2.0}, ValueError, "epsilon"),
])
def test_covariance_arguments_are_checked(kwargs, error, text):
    with pytest.raises(error, match=text):
        align.estimate_covariances(np.zeros((5, 3)), **kwargs)


def test_covariances_refuse_a_cloud_of_the_wrong_shape():
    with pytest.raises(ValueError, match=r"cloud must have shape \(n, 3\)"):
        align.estimate_covariances(np.zeros((5, 2)))
    with pytest.raises(ValueError, match="shape"):
        align.Covariances(np.zeros((4, 3)))


# ---- ICP -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("method", align.METHODS)
@pytest.mark.parametrize("kernel", [None, "huber", "tukey", "cauchy", "geman-mcclure"])
def test_each_method_recovers_a_known_motion(scene, method, kernel):
    result = align.icp(scene["source"], scene["target"], method=method, kernel=kernel,
                       max_correspondence_distance=0.05 * scene["extent"], max_iterations=60)
    assert rotation_error(result.transformation, scene["truth"]) < 0.1
    shift = np.linalg.norm(result.transformation[:3, 3] - scene["truth"][:3, 3])
    assert shift < 1e-3 * scene["extent"]
    assert result.converged and 0 < result.iterations < 60
    assert result.fitness > 0.99 and 0 < result.inlier_rmse < 0.01 * scene["extent"]
    assert result.method == method
    assert result.kernel == (None if kernel is None else (kernel, 0.05 * scene["extent"] / 3))


@pytest.fixture(scope="module")
def moving_part():
    """A target whose points are 30 % outliers: they lie on a copy of the surface turned by 6
    degrees (a part of the scene that moved between the scans)."""
    rng = np.random.default_rng(2)
    surface = surface_sample(2000, rng)
    extent = float(np.linalg.norm(surface.max(0) - surface.min(0)))
    centre = surface.mean(0)
    turn = geometry.get_rotation_matrix_from_xyz(np.radians([0, 6, 0]))
    target = surface.copy()
    moved = rng.random(len(surface)) < 0.3
    target[moved] = (surface[moved] - centre) @ turn.T + centre
    motion = rigid(geometry.get_rotation_matrix_from_xyz(np.radians([3, -2, 4])),
                   np.array([0.01, -0.005, 0.008]) * extent)
    source = surface_sample(2000, rng) @ motion[:3, :3].T + motion[:3, 3]
    return {"source": source, "target": target, "extent": extent, "truth": np.linalg.inv(motion)}


def test_a_tukey_kernel_ignores_outliers_the_hard_cut_off_lets_in(moving_part):
    def error(kernel):
        result = align.icp(moving_part["source"], moving_part["target"], method="point-to-plane", kernel=kernel,
                           max_correspondence_distance=0.03 * moving_part["extent"], max_iterations=60)
        return rotation_error(result.transformation, moving_part["truth"])

    assert error(None) > 0.5  # the cut-off alone is pulled by the moved part
    assert error("tukey") < 0.5


def test_generalized_icp_recovers_a_motion_from_independent_samplings():
    # Both scans sample the surface independently, so no point has an exact partner: the
    # plane-to-plane model is the one that matches surfaces rather than samples.
    rng = np.random.default_rng(5)
    target, other = surface_sample(4000, rng), surface_sample(4000, rng)
    extent = float(np.linalg.norm(target.max(0) - target.min(0)))
    motion = rigid(geometry.get_rotation_matrix_from_xyz(np.radians([8, -6, 10])), np.array([0.04, 0.0, -0.03]) * extent)
    source = other @ motion[:3, :3].T + motion[:3, 3]
    result = align.icp(source, target, method="gicp", max_correspondence_distance=0.08 * extent)
    assert rotation_error(result.transformation, np.linalg.inv(motion)) < 0.1


def test_given_covariances_and_normals_are_used_as_they_are(scene):
    src, tgt = scene["source"], scene["target"]
    d = 0.05 * scene["extent"]
    plain = align.icp(src, tgt, max_correspondence_distance=d)
    reused = align.icp(src, tgt, max_correspondence_distance=d, source_covariances=align.estimate_covariances(src),
                       target_covariances=align.estimate_covariances(tgt))
    assert reused.transformation.tobytes() == plain.transformation.tobytes()
    # Point-to-plane reads the normals a target cloud holds; garbage normals give a different answer.
    with_normals = cloud(tgt, normals=np.tile([0.0, 0.0, 1.0], (len(tgt), 1)))
    estimated = align.icp(src, tgt, method="point-to-plane", max_correspondence_distance=d)
    held = align.icp(src, with_normals, method="point-to-plane", max_correspondence_distance=d)
    assert held.transformation.tobytes() != estimated.transformation.tobytes()


def test_results_are_identical_for_any_thread_count(run_python):
    code = """
import hashlib, numpy as np
from nubiro import align
rng = np.random.default_rng(4)
t = rng.normal(size=(6000, 3)) * [3, 2, 0.2]
s = t[::2] @ np.array([[0.999, -0.04, 0], [0.04, 0.999, 0], [0, 0, 1]]).T + [0.05, 0.02, 0]
h = hashlib.sha256(align.estimate_covariances(t, k=12).matrices.tobytes())
for method in align.METHODS:
    for kernel in (None, "cauchy"):
        r = align.icp(s, t, method=method, kernel=kernel, max_correspondence_distance=0.5, max_iterations=8)
        h.update(r.transformation.tobytes() + np.array([r.fitness, r.inlier_rmse, r.iterations]).tobytes())
print(h.hexdigest())
"""
    assert run_python(code, RAYON_NUM_THREADS="1") == run_python(code, RAYON_NUM_THREADS="3")


def test_non_finite_points_never_reach_the_transformation(scene):
    src, tgt = scene["source"].copy(), scene["target"].copy()
    src[::50] = np.nan
    tgt[1::40] = np.inf
    for method in align.METHODS:
        result = align.icp(src, tgt, method=method, kernel="huber", max_correspondence_distance=0.05 * scene["extent"])
        assert np.isfinite(result.transformation).all()
        assert rotation_error(result.transformation, scene["truth"]) < 0.1


@pytest.mark.parametrize("source, target", [
    (np.zeros((0, 3)), np.ones((5, 3))),
    (np.ones((5, 3)), np.zeros((0, 3))),
    ([[0.0, 0, 0]], [[50.0, 0, 0]]),  # nothing within reach
])
def test_without_pairs_the_start_is_returned(source, target):
    init = rigid(np.eye(3), [1.0, 2.0, 3.0])
    for method in align.METHODS:
        result = align.icp(source, target, method=method, max_correspondence_distance=1.0, init=init)
        assert (result.transformation == init).all()
        assert (result.fitness, result.inlier_rmse, result.iterations, result.converged) == (0.0, 0.0, 0, False)


@pytest.mark.parametrize("kwargs, error, text", [
    ({"kernel": ("tukey", 0.0)}, ValueError, "kernel scale must be a positive number, not 0.0"),
    ({"kernel": ("huber", -1)}, ValueError, "kernel scale must be a positive number, not -1"),
    ({"kernel": ("cauchy", float("nan"))}, ValueError, "kernel scale must be a positive number, not nan"),
    ({"kernel": ("cauchy", "wide")}, TypeError, "kernel scale must be a number"),
    ({"kernel": "l1"}, ValueError, "kernel must be one of huber, tukey, cauchy, geman-mcclure, not 'l1'"),
    ({"kernel": 3}, TypeError, "kernel must be None, a kernel name or a"),
    ({"method": "plane"}, ValueError, "method must be one of gicp, point-to-plane, point-to-point"),
    ({"max_correspondence_distance": 0}, ValueError, "max_correspondence_distance must be a positive number"),
    ({"max_correspondence_distance": float("inf")}, ValueError, "max_correspondence_distance must be a positive"),
    ({"max_iterations": -1}, ValueError, "max_iterations must be at least 0"),
    ({"tolerance": -1e-3}, ValueError, "tolerance must be a non-negative number"),
    ({"init": np.eye(3)}, ValueError, r"init must have shape \(4, 4\)"),
    ({"init": np.full((4, 4), np.nan)}, ValueError, "init must be finite"),
    ({"source_covariances": align.Covariances(np.tile(np.eye(3), (3, 1, 1)))}, ValueError,
     "source_covariances has 3 matrices for 10 source points"),
    ({"target_covariances": np.tile(np.eye(3), (10, 1, 1))}, TypeError, "must be a Covariances object"),
])
def test_icp_arguments_are_checked(kwargs, error, text):
    points = np.random.default_rng(0).random((10, 3))
    call = {"max_correspondence_distance": 0.5, **kwargs}
    with pytest.raises(error, match=text):
        align.icp(points, points, **call)
