"""Evaluation of a transformation, RegistrationResult, ICP and its criteria, and the
information matrix."""
import copy
import math

import numpy as np
import pytest

from nubiro.cpu.pybind import geometry
from nubiro.cpu.pybind.pipelines import registration as reg
from nubiro.cpu.pybind.utility import Vector2iVector
from support import cloud, rigid

DATA = __import__("pathlib").Path(__file__).parent / "data" / "bunny.ply"


def moved_exactly(points, m):
    """R p + t with each row summed left to right, as the evaluation moves points."""
    x, y, z = points[:, 0], points[:, 1], points[:, 2]
    return np.column_stack([((m[i, 0] * x + m[i, 1] * y) + m[i, 2] * z) + m[i, 3] for i in range(3)])


def state(result):
    return (result.transformation.tobytes(), np.asarray(result.correspondence_set).tobytes(),
            result.fitness, result.inlier_rmse)


RNG = np.random.default_rng(3)
SOURCE = RNG.uniform(0.0, 1.0, (300, 3))
TARGET = RNG.uniform(0.0, 1.0, (250, 3))
MOTION = rigid(geometry.get_rotation_matrix_from_xyz([0.1, -0.05, 0.2]), [0.05, 0.0, -0.03])


# ---- evaluation ----------------------------------------------------------------------------------

def test_evaluation_matches_a_brute_force_search():
    result = reg.evaluate_registration(cloud(SOURCE), cloud(TARGET), 0.08, MOTION)
    p = moved_exactly(SOURCE, MOTION)
    diff = p[:, None, :] - TARGET[None, :, :]
    d2 = (diff[..., 0] * diff[..., 0] + diff[..., 1] * diff[..., 1]) + diff[..., 2] * diff[..., 2]
    nearest = d2.argmin(axis=1)
    best = d2[np.arange(len(p)), nearest]
    keep = np.flatnonzero(best < 0.08 * 0.08)
    assert 0 < len(keep) < len(p)
    expected_pairs = np.column_stack([keep, nearest[keep]])
    assert np.asarray(result.correspondence_set).tolist() == expected_pairs.tolist()
    total = 0.0
    for i in keep:  # the running sum in source order
        total += best[i]
    assert result.fitness == len(keep) / len(p)
    assert result.inlier_rmse == math.sqrt(total / len(keep))
    assert result.transformation.tobytes() == MOTION.tobytes()


@pytest.mark.parametrize("distance", [0.0, -1.0, float("nan"), 1e-200])
def test_evaluation_without_a_usable_distance_is_empty(distance):
    result = reg.evaluate_registration(cloud(SOURCE), cloud(SOURCE), distance, MOTION)
    assert (result.fitness, result.inlier_rmse, len(result.correspondence_set)) == (0.0, 0.0, 0)
    assert (result.transformation == MOTION).all()


def test_evaluation_edge_cases():
    # Exactly at the distance is not close enough.
    at = reg.evaluate_registration(cloud([[0.0, 0.0, 0.0], [0.5, 0.0, 0.0]]), cloud([[1.0, 0.0, 0.0]]), 1.0)
    assert np.asarray(at.correspondence_set).tolist() == [[1, 0]] and at.fitness == 0.5
    assert at.inlier_rmse == 0.5
    # Empty source or target.
    for s, t in [(np.zeros((0, 3)), TARGET), (SOURCE, np.zeros((0, 3)))]:
        r = reg.evaluate_registration(cloud(s), cloud(t), 1.0)
        assert (r.fitness, r.inlier_rmse, len(r.correspondence_set)) == (0.0, 0.0, 0)
        assert (r.transformation == np.eye(4)).all()
    # Identical clouds: every point finds itself.
    r = reg.evaluate_registration(cloud(SOURCE), cloud(SOURCE), 0.01)
    assert np.asarray(r.correspondence_set).tolist() == [[i, i] for i in range(len(SOURCE))]
    assert (r.fitness, r.inlier_rmse) == (1.0, 0.0)
    # Target indices may repeat; source indices never do.
    r = reg.evaluate_registration(cloud([[0.0, 0, 0], [0.1, 0, 0], [5.0, 0, 0], [0.2, 0, 0]]),
                                  cloud([[0.05, 0, 0], [9.0, 0, 0]]), 1.0)
    assert np.asarray(r.correspondence_set).tolist() == [[0, 0], [1, 0], [3, 0]]
    # Points that are not finite never match.
    src = SOURCE[:5].copy()
    src[1, 0], src[3, 2] = np.nan, np.inf
    r = reg.evaluate_registration(cloud(src), cloud(SOURCE[:5]), 0.01)
    assert np.asarray(r.correspondence_set)[:, 0].tolist() == [0, 2, 4]


def test_evaluation_arguments():
    src, tgt = cloud(SOURCE[:10]), cloud(SOURCE[:10])
    before = np.asarray(src.points).copy()
    r = reg.evaluate_registration(src, tgt, max_correspondence_distance=1, transformation=None)
    assert r.fitness == 1.0 and (np.asarray(src.points) == before).all()
    with pytest.raises(TypeError, match="^expected 4x4 matrix$"):
        reg.evaluate_registration(src, tgt, 1.0, np.eye(3))
    with pytest.raises(TypeError, match="^argument 'max_correspondence_distance': "):
        reg.evaluate_registration(src, tgt, "1")
    with pytest.raises(TypeError, match="^argument 'target': "):
        reg.evaluate_registration(src, None, 1.0)


# ---- RegistrationResult --------------------------------------------------------------------------

def test_registration_result_record():
    r = reg.RegistrationResult()
    assert (r.fitness, r.inlier_rmse, len(r.correspondence_set)) == (0.0, 0.0, 0)
    assert r.transformation.tolist() == np.eye(4).tolist() and r.transformation.dtype == np.float64
    assert repr(r) == ("RegistrationResult with fitness=0.000000e+00, inlier_rmse=0.000000e+00, "
                       "and correspondence_set size of 0\nAccess transformation to get result.")
    r.fitness, r.inlier_rmse = 0.5, np.float32(0.25)
    r.correspondence_set = [[0, 1], [2, 3]]
    r.transformation = MOTION
    assert repr(r) == ("RegistrationResult with fitness=5.000000e-01, inlier_rmse=2.500000e-01, "
                       "and correspondence_set size of 2\nAccess transformation to get result.")
    # Reads are copies.
    pairs = r.correspondence_set
    pairs.append([7, 7])
    assert len(r.correspondence_set) == 2
    r.transformation[0, 0] = 9.0
    assert (r.transformation == MOTION).all()
    # Copies are independent.
    for twin in (copy.copy(r), copy.deepcopy(r)):
        assert type(twin) is reg.RegistrationResult and state(twin) == state(r)
        twin.correspondence_set = Vector2iVector()
        twin.fitness = 1.0
        assert len(r.correspondence_set) == 2 and r.fitness == 0.5
    for name in ("transformation", "fitness", "inlier_rmse", "correspondence_set"):
        with pytest.raises(AttributeError, match="can't delete attribute"):
            delattr(r, name)
    with pytest.raises(TypeError):
        r.fitness = "high"
    with pytest.raises(TypeError, match="^expected 4x4 matrix$"):
        r.transformation = np.eye(3)
    with pytest.raises(TypeError):
        r.correspondence_set = [[1, 2, 3]]
    assert state(r)[1:] == (np.array([[0, 1], [2, 3]], dtype=np.int32).tobytes(), 0.5, 0.25)
    with pytest.raises(TypeError):
        reg.RegistrationResult(1)


# ---- ICPConvergenceCriteria ----------------------------------------------------------------------

def test_icp_convergence_criteria():
    c = reg.ICPConvergenceCriteria()
    assert (c.relative_fitness, c.relative_rmse, c.max_iteration) == (1e-6, 1e-6, 30)
    assert repr(c) == "ICPConvergenceCriteria(relative_fitness=1.000000e-06, relative_rmse=1.000000e-06, max_iteration=30)"
    c = reg.ICPConvergenceCriteria(max_iteration=-4, relative_rmse=0)
    assert (c.relative_fitness, c.relative_rmse, c.max_iteration) == (1e-6, 0.0, -4)
    c.relative_fitness, c.max_iteration = -2.5, np.int64(2**31 - 1)
    twin = copy.deepcopy(c)
    c.max_iteration = 3
    assert (twin.relative_fitness, twin.max_iteration) == (-2.5, 2**31 - 1) and copy.copy(c).max_iteration == 3
    with pytest.raises(OverflowError):
        c.max_iteration = 2**31
    with pytest.raises(TypeError, match="^argument 'max_iteration': "):
        c.max_iteration = 3.0
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del c.relative_rmse
    assert c.max_iteration == 3


# ---- ICP -----------------------------------------------------------------------------------------

def read_mesh():
    lines = DATA.read_text().splitlines()
    end = lines.index("end_header")
    nv = next(int(l.split()[2]) for l in lines if l.startswith("element vertex"))
    nf = next(int(l.split()[2]) for l in lines if l.startswith("element face"))
    v = np.array([l.split()[:3] for l in lines[end + 1:end + 1 + nv]], dtype=np.float64)
    f = np.array([l.split()[1:4] for l in lines[end + 1 + nv:end + 1 + nv + nf]], dtype=np.int64)
    return v, f


def surface_sample(n, seed=0):
    """n points on the bunny's surface with the normals of the triangles they lie on."""
    v, f = read_mesh()
    a, b, c = v[f[:, 0]], v[f[:, 1]], v[f[:, 2]]
    cross = np.cross(b - a, c - a)
    area = np.linalg.norm(cross, axis=1)
    keep = area > 0
    a, b, c, cross, area = a[keep], b[keep], c[keep], cross[keep], area[keep]
    rng = np.random.default_rng(seed)
    tri = rng.choice(len(a), size=n, p=area / area.sum())
    r1, r2 = rng.random((2, n))
    s = np.sqrt(r1)
    pts = (1 - s)[:, None] * a[tri] + (s * (1 - r2))[:, None] * b[tri] + (s * r2)[:, None] * c[tri]
    return pts, cross[tri] / area[tri][:, None]


@pytest.fixture(scope="module")
def bunny():
    points, normals = surface_sample(6000)
    extent = np.linalg.norm(points.max(axis=0) - points.min(axis=0))
    centre = points.mean(axis=0)
    r = geometry.get_rotation_matrix_from_axis_angle(np.array([0.3, 1.0, -0.5]) / np.linalg.norm([0.3, 1.0, -0.5])
                                                     * math.radians(5.0))
    shift = np.array([1.0, -1.0, 1.0]) / math.sqrt(3) * 0.01 * extent
    truth = rigid(r, centre - r @ centre + shift)  # 5 degrees about the centre, then 1 % of the extent
    inverse = np.linalg.inv(truth)
    source = points[::2] @ inverse[:3, :3].T + inverse[:3, 3]
    return source, cloud(points, normals), truth, extent


@pytest.mark.parametrize("method", [reg.TransformationEstimationPointToPoint(), reg.TransformationEstimationPointToPlane()],
                         ids=repr)
def test_icp_recovers_a_small_motion_of_the_bunny(bunny, method):
    source, target, truth, extent = bunny
    result = reg.registration_icp(cloud(source), target, 0.05 * extent, estimation_method=method)
    t = result.transformation
    angle = math.degrees(math.acos(min(1.0, (np.trace(t[:3, :3] @ truth[:3, :3].T) - 1) / 2)))
    assert angle < 0.1
    assert np.linalg.norm(t[:3, 3] - truth[:3, 3]) < 0.001 * extent
    assert result.fitness == 1.0 and result.inlier_rmse < 1e-4 * extent


def test_icp_validation_and_empty_input():
    some, empty = cloud(SOURCE[:20]), cloud(np.zeros((0, 3)))
    plane = reg.TransformationEstimationPointToPlane()
    for s, t in [(some, some), (empty, empty)]:
        for d in (0.0, -1.0, float("nan")):
            with pytest.raises(RuntimeError, match=r"^Invalid max_correspondence_distance\.$"):
                reg.registration_icp(s, t, d)
    with pytest.raises(RuntimeError, match=r"^PointToPlaneICP requires target pointcloud to have normals\.$"):
        reg.registration_icp(some, some, 0.1, estimation_method=plane)
    with pytest.raises(RuntimeError, match="normals"):
        reg.registration_icp(some, cloud(SOURCE[:20], SOURCE[:19]), 0.1, estimation_method=plane)
    for s, t in [(empty, some), (some, empty)]:
        r = reg.registration_icp(s, t, 0.1, MOTION, plane)
        assert (r.transformation == MOTION).all() and (r.fitness, r.inlier_rmse, len(r.correspondence_set)) == (0, 0, 0)
    with pytest.raises(TypeError, match="^argument 'estimation_method': "):
        reg.registration_icp(some, some, 0.1, estimation_method=reg.ICPConvergenceCriteria())


def test_icp_without_iterations_is_the_evaluation():
    src, tgt = cloud(SOURCE), cloud(TARGET)
    r = reg.registration_icp(src, tgt, 0.1, MOTION, criteria=reg.ICPConvergenceCriteria(max_iteration=0))
    assert state(r) == state(reg.evaluate_registration(src, tgt, 0.1, MOTION))


def test_icp_on_identical_clouds_stops_after_one_iteration():
    src = cloud(SOURCE)
    once = reg.registration_icp(src, src, 0.05, criteria=reg.ICPConvergenceCriteria(max_iteration=1))
    default = reg.registration_icp(src, src, 0.05)
    assert state(default) == state(once)
    assert default.fitness == 1.0 and default.inlier_rmse < 1e-12


@pytest.mark.parametrize("method", [reg.TransformationEstimationPointToPoint(True), reg.TransformationEstimationPointToPlane()],
                         ids=repr)
def test_icp_iterations_compose_on_the_left(bunny, method):
    # With zero thresholds every iteration runs: three iterations equal three chained single
    # iterations, each starting from the transformation the previous one returned.
    source, target, _, extent = bunny
    src = cloud(source[:800])
    d = 0.05 * extent
    start = rigid(np.eye(3), [0.001 * extent, 0.0, 0.0])
    chained = start
    for _ in range(3):
        step = reg.registration_icp(src, target, d, chained, method, reg.ICPConvergenceCriteria(0, 0, 1))
        chained = step.transformation
    whole = reg.registration_icp(src, target, d, start, method, reg.ICPConvergenceCriteria(0, 0, 3))
    assert state(whole) == state(step)
    two = reg.registration_icp(src, target, d, start, method, reg.ICPConvergenceCriteria(0, 0, 2))
    assert two.transformation.tobytes() != whole.transformation.tobytes()


def test_icp_stops_on_an_update_that_is_not_finite():
    # Coordinates near 1e160 overflow the point-to-plane system (their squares do not fit),
    # while the distances still do: the update is NaN, so the first evaluation is returned.
    big = SOURCE[:10] * 1e160
    target = cloud(big, np.tile([0.0, 0.0, 1.0], (10, 1)))
    source = cloud(big + [0.0, 0.0, 1e150])
    r = reg.registration_icp(source, target, 1e153, estimation_method=reg.TransformationEstimationPointToPlane())
    assert state(r) == state(reg.evaluate_registration(source, target, 1e153))
    assert r.fitness == 1.0


def test_icp_leaves_its_inputs_alone(bunny):
    source, target, _, extent = bunny
    src = cloud(source)
    before = (np.asarray(src.points).copy(), np.asarray(target.points).copy(), np.asarray(target.normals).copy())
    reg.registration_icp(src, target, 0.05 * extent, estimation_method=reg.TransformationEstimationPointToPlane())
    after = (np.asarray(src.points), np.asarray(target.points), np.asarray(target.normals))
    assert all((a == b).all() for a, b in zip(before, after))


# ---- information matrix --------------------------------------------------------------------------

def test_information_matrix():
    info = reg.get_information_matrix_from_point_clouds(cloud([[1.0, 2.0, 3.0]]), cloud([[1.0, 2.0, 3.0]]), 1.0,
                                                        np.eye(4))
    x, y, z = 1.0, 2.0, 3.0
    table = [[y * y + z * z, -x * y, -x * z, 0, -z, y],
             [-x * y, x * x + z * z, -y * z, z, 0, -x],
             [-x * z, -y * z, x * x + y * y, -y, x, 0],
             [0, z, -y, 1, 0, 0],
             [-z, 0, x, 0, 1, 0],
             [y, -x, 0, 0, 0, 1]]
    assert info.shape == (6, 6) and info.dtype == np.float64 and info.tolist() == table
    # Two source points on one target point count it twice; only target points enter.
    twice = reg.get_information_matrix_from_point_clouds(cloud([[1.1, 2.0, 3.0], [0.9, 2.0, 3.0]]),
                                                         cloud([[1.0, 2.0, 3.0]]), 1.0, np.eye(4))
    assert twice.tolist() == (2 * np.array(table)).tolist()
    assert not reg.get_information_matrix_from_point_clouds(cloud(SOURCE), cloud(SOURCE), 0.0, np.eye(4)).any()
    # In general: the sum of G^T G over the matched target points.
    info = reg.get_information_matrix_from_point_clouds(cloud(SOURCE), cloud(TARGET), 0.08, MOTION)
    pairs = np.asarray(reg.evaluate_registration(cloud(SOURCE), cloud(TARGET), 0.08, MOTION).correspondence_set)
    expected = np.zeros((6, 6))
    for x, y, z in TARGET[pairs[:, 1]]:
        g = np.array([[0, z, -y, 1, 0, 0], [-z, 0, x, 0, 1, 0], [y, -x, 0, 0, 0, 1]])
        expected += g.T @ g
    np.testing.assert_allclose(info, expected, rtol=1e-12, atol=1e-12)
    assert (info == info.T).all()


# ---- thread counts -------------------------------------------------------------------------------

def test_results_do_not_depend_on_the_thread_count(run_python):
    code = """
import hashlib, numpy as np
from nubiro.cpu.pybind import geometry
from nubiro.cpu.pybind.pipelines import registration as reg
rng = np.random.default_rng(5)
pts = rng.normal(size=(40000, 3))
normals = pts / np.linalg.norm(pts, axis=1, keepdims=True)
target = geometry.PointCloud(); target.points = pts; target.normals = normals
source = geometry.PointCloud(); source.points = pts[::2] * 1.01 + 0.02
h = hashlib.sha256()
def add(r):
    h.update(r.transformation.tobytes()); h.update(np.asarray(r.correspondence_set).tobytes())
    h.update(np.float64([r.fitness, r.inlier_rmse]).tobytes())
add(reg.evaluate_registration(source, target, 0.1))
for m in (reg.TransformationEstimationPointToPoint(True), reg.TransformationEstimationPointToPlane()):
    add(reg.registration_icp(source, target, 0.1, None, m, reg.ICPConvergenceCriteria(0, 0, 5)))
h.update(reg.get_information_matrix_from_point_clouds(source, target, 0.1, np.eye(4)).tobytes())
print(h.hexdigest())
"""
    outputs = {run_python(code, RAYON_NUM_THREADS=str(n)) for n in (1, 3)}
    assert len(outputs) == 1


# ---- pickling ------------------------------------------------------------------------------------

@pytest.mark.parametrize("protocol", [2, 5])
def test_pickle_round_trips(protocol):
    import pickle

    import nubiro  # noqa: F401  (installs the pickling support)

    result = reg.evaluate_registration(cloud(SOURCE), cloud(TARGET), 0.08, MOTION)
    result.inlier_rmse = -0.0
    objects = [(result, state), (reg.RegistrationResult(), state),
               (reg.ICPConvergenceCriteria(float("nan"), -0.0, -3), repr),
               (reg.TransformationEstimationPointToPoint(True), repr), (reg.TransformationEstimationPointToPlane(), repr)]
    for obj, describe in objects:
        buffers = []
        twin = pickle.loads(pickle.dumps(obj, protocol=protocol, buffer_callback=buffers.append if protocol == 5 else None),
                            buffers=buffers)
        assert type(twin) is type(obj) and describe(twin) == describe(obj)
    twin = pickle.loads(pickle.dumps(result, protocol=protocol))
    assert math.copysign(1.0, twin.inlier_rmse) == -1.0


# ---- bad input and access ------------------------------------------------------------------------

def test_non_finite_input_gives_finite_answers_or_documented_ones():
    src, tgt = SOURCE[:60].copy(), TARGET[:50].copy()
    src[[3, 7, 11], [0, 1, 2]] = [np.nan, np.inf, -np.inf]
    tgt[[2, 5], [1, 2]] = [np.nan, np.inf]
    normals = np.tile([0.0, 0.0, 1.0], (50, 1))
    normals[[4, 9]] = np.nan
    s, t = cloud(src), cloud(tgt, normals)
    before = (np.asarray(s.points).tobytes(), np.asarray(t.points).tobytes(), np.asarray(t.normals).tobytes())
    for m in (reg.TransformationEstimationPointToPoint(True), reg.TransformationEstimationPointToPlane()):
        r = reg.registration_icp(s, t, 0.2, None, m)
        pairs = np.asarray(r.correspondence_set)
        assert not np.isin(pairs[:, 0], [3, 7, 11]).any() and not np.isin(pairs[:, 1], [2, 5]).any()
        assert 0.0 <= r.fitness <= 1.0 and r.transformation[3].tolist() == [0, 0, 0, 1]
        m.compute_transformation(s, t, r.correspondence_set)
        m.compute_rmse(s, t, r.correspondence_set)
    info = reg.get_information_matrix_from_point_clouds(s, t, 0.2, np.eye(4))
    assert np.isfinite(info).all()
    for d in (np.inf, np.nan):
        reg.evaluate_registration(s, t, d, np.full((4, 4), np.nan))
    after = (np.asarray(s.points).tobytes(), np.asarray(t.points).tobytes(), np.asarray(t.normals).tobytes())
    assert after == before


@pytest.mark.parametrize("call", [
    lambda s, t: reg.evaluate_registration(s, t, 0.1),
    lambda s, t: reg.registration_icp(s, t, 0.1),
    lambda s, t: reg.get_information_matrix_from_point_clouds(s, t, 0.1, np.eye(4)),
    lambda s, t: reg.TransformationEstimationPointToPoint().compute_rmse(s, t, [[0, 0]]),
], ids=["evaluate", "icp", "information", "compute_rmse"])
def test_clouds_being_written_elsewhere_are_refused(held, call):
    s, t = cloud(SOURCE[:20]), cloud(TARGET[:20])
    for busy in (s, t):
        with held(busy, write=True, seconds=0.5):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                call(s, t)
    call(s, t)
